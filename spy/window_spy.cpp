// The main window's serial procedures: port selection, serial events, the spy
// display and its log, keys to the decoder, Clear and saving the log.

#include "common/shown_text.h"
#include "shell/qx7100_1.h"
#include "spy/cp1252.h"
#include "spy/key_bytes.h"
#include "spy/mscomm.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"

#include <QAction>
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
    spyPane_ = std::make_unique<SpyPane>(txtTerm);
    spyLog_ = std::make_unique<SpyLog>();
    // The display shows received text from the event loop, outside the error
    // trap of AppendSpyText: its failures are reported the same way.
    connect(spyPane_.get(), &SpyPane::flushFailed, this, &qx7100_1::spyError);
}

void qx7100_1::com1_Click()
{
    selectPort(com1, 1, com2);
}

void qx7100_1::com2_Click()
{
    selectPort(com2, 2, com1);
}

void qx7100_1::selectPort(QAction *item, int portNumber, QAction *other)
{
    if (item->isChecked())
        return;
    if (MSComm1->portOpen())
        MSComm1->setPortOpen(false);
    MSComm1->setCommPort(int16_t(portNumber));
    QString reason;
    if (!MSComm1->setPortOpen(true, &reason)) {
        // The port that was open before is closed now: no item keeps its mark.
        portLost(QStringLiteral("Cannot open %1: %2").arg(portLabel(), shownText(reason, kPortReasonLimit)));
        return;
    }
    if (MSComm1->portOpen()) {
        item->setChecked(true);
        other->setChecked(false);
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
    com1->setChecked(false);
    com2->setChecked(false);
    panel(QStringLiteral("Settings"))->setText(QStringLiteral("COM settings:"));
    warn(warning);
}

void qx7100_1::portStopped(const QString &reason)
{
    portLost(QStringLiteral("%1 stopped working: %2. The port is closed.")
                 .arg(portLabel(), shownText(reason, kPortReasonLimit)));
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
    const QString path = services_.fileDialog->getSaveFileName(this, suggested, {QStringLiteral("Log files (*.log)")});
    if (path.isEmpty())
        return;
    QString reason;
    if (!saveSpyLog(*spyLog_, path, &reason))
        warn(QStringLiteral("Cannot save the spy log to %1: %2").arg(shownText(path), reason));
}
