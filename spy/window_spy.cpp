// The main window's serial procedures: port selection, serial events, the spy
// display and its log, keys to the decoder, Clear and saving the log.

#include "common/shown_text.h"
#include "download/job_follower.h"
#include "shell/qx7100_1.h"
#include "spy/cp1252.h"
#include "spy/image_hash.h"
#include "spy/key_bytes.h"
#include "spy/mscomm.h"
#include "spy/port_return_watch.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"
#include "spy/spy_record.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>

namespace {
// A port's reason holds the system's words and, after them, a hint of ours
// (the adapters present, the bench command): room for both.
constexpr int kPortReasonLimit = 2 * kShownTextLimit;
}  // namespace

void qx7100_1::setUpSerial()
{
    MSComm1 = new MSComm(services_.serialPortDevice, this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    connect(MSComm1, &MSComm::OnComm, this, &qx7100_1::MSComm1_OnComm);
    connect(MSComm1, &MSComm::portFailed, this, &qx7100_1::portStopped);
    portWatch_ = new PortReturnWatch(this);
    connect(portWatch_, &PortReturnWatch::reopened, this, &qx7100_1::portReturned);
    spyPane_ = std::make_unique<SpyPane>(txtTerm);
    spyLog_ = std::make_unique<SpyLog>();
    // The display shows received text from the event loop, outside the error
    // trap of AppendSpyText: its failures are reported the same way.
    connect(spyPane_.get(), &SpyPane::flushFailed, this, &qx7100_1::spyError);
    imageHasher_ = new ImageHasher(this);
    connect(imageHasher_, &ImageHasher::hashed, this, [this](int index, const QString &hex, const QString &error) {
        if (index < 0 || index >= sentImages_.size())
            return;
        sentImages_[index].sha256 = hex;
        sentImages_[index].hashError = error;
        updateJobToolTip();
    });
}

int qx7100_1::checkedComPort() const
{
    for (const ComItem &item : comItems_) {
        if (item.action->isChecked())
            return item.portNumber;
    }
    return 0;
}

void qx7100_1::markComItem(int portNumber)
{
    for (const ComItem &item : comItems_)
        item.action->setChecked(item.portNumber == portNumber);
}

void qx7100_1::com_Click(int portNumber)
{
    if (checkedComPort() == portNumber)
        return;
    // The user's choice ends any wait for a device that went away.
    portWatch_->stop();
    if (MSComm1->portOpen())
        MSComm1->setPortOpen(false);
    MSComm1->setCommPort(int16_t(portNumber));
    portChosen_ = true;
    QString reason;
    if (!MSComm1->setPortOpen(true, &reason)) {
        // The port that was open before is closed now: no item keeps its mark.
        portLost(QStringLiteral("Cannot open %1: %2").arg(portLabel(), shownText(reason, kPortReasonLimit)));
        return;
    }
    if (MSComm1->portOpen()) {
        markComItem(portNumber);
        panel(QStringLiteral("Settings"))->setText(QStringLiteral("Settings: ") + MSComm1->settings());
    }
}

QString qx7100_1::portLabel() const
{
    // A number with no device names the port alone: its reason says why.
    const QString device = MSComm1->devicePath();
    if (device.isEmpty())
        return QStringLiteral("COM%1").arg(MSComm1->commPort());
    return QStringLiteral("COM%1 (%2)").arg(QString::number(MSComm1->commPort()), shownText(device));
}

void qx7100_1::portLost(const QString &warning)
{
    // A failure of another kind ends the wait for a device that went away.
    portWatch_->stop();
    portClosed();
    warn(warning);
}

void qx7100_1::portClosed()
{
    markComItem(0);
    panel(QStringLiteral("Settings"))->setText(QStringLiteral("COM settings:"));
}

// The device went away (an adapter pulled out, the far end closed): the port
// opens again by itself once the same device is back and opens. The wait
// starts before the warning, whose box may stay open a while.
void qx7100_1::portStopped(const QString &reason)
{
    const QString label = portLabel();
    const QString device = MSComm1->devicePath();
    portClosed();
    const bool waiting = portWatch_->start(
        device, [this] { return MSComm1->devicePath(); }, [this] { return MSComm1->setPortOpen(true); });
    warn(QStringLiteral("%1 stopped working: %2. ").arg(label, shownText(reason, kPortReasonLimit))
         + (waiting ? QStringLiteral("The port is closed; it opens again when the device is back.")
                    : QStringLiteral("The port is closed.")));
}

// The port opened again on its own: the marks come back, as after choosing it.
// Nothing is sent to the decoder.
void qx7100_1::portReturned()
{
    if (!MSComm1->portOpen())
        return;
    markComItem(MSComm1->commPort());
    panel(QStringLiteral("Settings"))->setText(QStringLiteral("Settings: ") + MSComm1->settings());
}

void qx7100_1::MSComm1_OnComm()
{
    // The event is read once; the codes are told apart as the component
    // publishes them. Line errors that lose data reopen the port on the same
    // number; every other event is ignored.
    switch (MSComm1->commEvent()) {
    case MSComm::comEventOverrun:
    case MSComm::comEventRxOver:
    case MSComm::comEventDCB:
        reopenPort();
        break;
    case MSComm::comEvReceive: {
        buffer = MSComm1->input();
        QString block = cp1252::decode(buffer);
        AppendSpyText(block);
        break;
    }
    default:
        break;
    }
}

void qx7100_1::reopenPort()
{
    MSComm1->setPortOpen(false);
    QString reason;
    if (!MSComm1->setPortOpen(true, &reason))
        portLost(QStringLiteral("Cannot open %1: %2").arg(portLabel(), shownText(reason, kPortReasonLimit)));
}

void qx7100_1::AppendSpyText(QString &block)
{
    appendSpyBlock(*spyPane_, *spyLog_, block, [this](const QString &description) { spyError(description); });
}

void qx7100_1::spyError(const QString &description)
{
    // While one error box of the spy display is open, later errors are not
    // shown again: each incoming block would open one more nested box.
    if (spyErrorShowing_)
        return;
    spyErrorShowing_ = true;
    services_.messages->error(this, shownText(description));
    spyErrorShowing_ = false;
}

bool qx7100_1::txtTerm_KeyPress(const QString &text, int key, Qt::KeyboardModifiers modifiers)
{
    if (!MSComm1->portOpen())
        return false;
    const KeyBytes mapped = keyBytes(key, modifiers, text);
    if (mapped.kind != KeyKind::Character)
        return false;
    QString reason;
    if (!MSComm1->output(mapped.bytes, &reason)) {
        // The component has closed the port and reports it through portFailed.
        return true;
    }
    spyPane_->caretToEnd();
    return true;
}

bool qx7100_1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == txtTerm) {
        // While the port is open, Ctrl+C and the like go to the decoder: keep
        // the pane's own shortcuts from taking them first.
        if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
            auto *key = static_cast<QKeyEvent *>(event);
            if (event->type() == QEvent::ShortcutOverride) {
                if (MSComm1->portOpen()
                    && keyBytes(key->key(), key->modifiers(), key->text()).kind == KeyKind::Character)
                    event->accept();
                return false;
            }
            // Alt or the logo key with a letter is a menu access key or a desktop
            // shortcut; one that nothing took must not type its letter into
            // the decoder's text.
            if (keyBytes(key->key(), key->modifiers(), key->text()).kind == KeyKind::Shortcut)
                return true;
            if (txtTerm_KeyPress(key->text(), key->key(), key->modifiers()))
                return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void qx7100_1::Clear_Click()
{
    Textinfo->setPlainText(QString());
    spyPane_->clear();
    spyLog_->clear();
}

void qx7100_1::savelog_Click()
{
    const QString suggested =
        QStringLiteral("qx7100-%1.log").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString withTimes = QStringLiteral("Spy log with times (*.log)");
    QString chosenFilter;
    const QString path = services_.fileDialog->getSaveFileName(
        this, suggested, {QStringLiteral("Log files (*.log)"), withTimes}, &chosenFilter);
    if (path.isEmpty())
        return;
    const bool timed = chosenFilter == withTimes;
    const QString header = spyRecordHeader(recordHeader());
    const SpyLog &log = *spyLog_;
    QString reason;
    const auto text = [&](const std::function<void(QStringView)> &sink) {
        sink(header);
        if (timed)
            log.forEachTimedPiece(sink);
        else
            log.forEachPiece(sink);
    };
    if (!saveSpyText(text, path, &reason))
        warn(QStringLiteral("Cannot save the spy log to %1: %2").arg(shownText(path), reason));
}

SpyRecordHeader qx7100_1::recordHeader() const
{
    SpyRecordHeader header;
    const QString version = QCoreApplication::applicationVersion();
    header.program = QStringLiteral("load_velantra %1 (load_qx7100)")
                         .arg(version.isEmpty() ? QStringLiteral("version unknown") : version);
    header.savedAt = QDateTime::currentDateTime();
    if (portChosen_) {
        header.port = QStringLiteral("COM%1").arg(MSComm1->commPort());
        header.device = MSComm1->devicePath();
        header.behind = describeSerialDevice(header.device);
        header.portOpen = MSComm1->portOpen();
    }
    header.images = sentImages_;
    return header;
}

void qx7100_1::noteImageSent(const QString &path, qint64 bytes, int jobId, const QString &outcome)
{
    SentImage image;
    image.path = path;
    image.size = bytes;
    image.jobId = jobId;
    image.outcome = outcome;
    sentImages_.append(image);
    imageHasher_->hash(int(sentImages_.size() - 1), path);
}

// The last image sent with the job that the job panel shows.
const SentImage *qx7100_1::followedImage() const
{
    if (!jobFollower_ || jobFollower_->jobId() <= 0)
        return nullptr;
    for (auto it = sentImages_.crbegin(); it != sentImages_.crend(); ++it)
        if (it->jobId == jobFollower_->jobId())
            return &*it;
    return nullptr;
}

void qx7100_1::noteJobState()
{
    if (!jobFollower_ || jobFollower_->jobId() <= 0)
        return;
    for (auto it = sentImages_.rbegin(); it != sentImages_.rend(); ++it) {
        if (it->jobId == jobFollower_->jobId()) {
            it->outcome = jobFollower_->stateText();
            return;
        }
    }
}

void qx7100_1::updateJobToolTip()
{
    const SentImage *image = followedImage();
    showJobDetails(image ? QStringLiteral("\nImage: ") + visibleText(image->path, 1000) + QStringLiteral("\n")
                               + imageSummary(*image)
                         : QString());
}
