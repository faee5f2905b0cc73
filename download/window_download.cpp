// The main window's image commands: choosing the image and sending it to the
// decoder through the default printer.

#include "shell/qx7100_1.h"

#include "common/shown_text.h"
#include "download/job_follower.h"
#include "download/srec_image.h"
#include "spy/serial_ports.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

namespace {
// Start's questions to the print server answer within this time in all.
constexpr int kStartChecksMs = 3000;
// One look at a job of ours gives up after this.
constexpr int kJobLookMs = 500;
}  // namespace

QString qx7100_1::chooseFile(const QString &filter)
{
    CMDialog1.FileName = QString();
    CMDialog1.Filter = filter;
    CMDialog1.Setting23 = 2;
    CMDialog1.ShowOpen(this);
    return CMDialog1.FileName;
}

void qx7100_1::file_Click()
{
    Filename = chooseFile(QStringLiteral("Files (*.bin)|*.bin|"));
    if (!Filename.isEmpty()) {
        Start->setEnabled(true);
        insertInfo(QStringLiteral("bin file to load: ") + Filename);
    } else {
        insertInfo(QStringLiteral("Loader not ready"));
    }
}

void qx7100_1::Start_Click()
{
    // A click that arrived while a send blocked the window, or the second half of
    // a double-click, is no new Start: it would send the image a second time.
    if (sending_)
        return;
    if (sendReturned_.isValid() && sendReturned_.elapsed() < QApplication::doubleClickInterval())
        return;

    if (checkedComPort() == 0) {
        warn(QStringLiteral("No communication port selected"));
        return;
    }

    // One fresh look at the default printer gives its name, its port and its state.
    const QDeadlineTimer checks(kStartChecksMs);
    const DefaultPrinterInfo printer = services_.printer->query(kStartChecksMs);
    panel(QStringLiteral("Printer"))->setText(QStringLiteral("Printer: ") + shownText(printer.deviceName));
    if (printer.state == DefaultPrinterInfo::State::NoServer) {
        warn(QStringLiteral("No default printer: the print server is not running."));
        return;
    }
    if (printer.state == DefaultPrinterInfo::State::NotAnswering) {
        warn(QStringLiteral("No default printer: the print server does not answer."));
        return;
    }
    if (printer.state == DefaultPrinterInfo::State::NoDefault) {
        warn(QStringLiteral("No default printer: no printer is set as default."));
        return;
    }
    if (!isLptPortName(printer.portName)) {
        warn(QStringLiteral("Printer port is not local."));
        return;
    }
    if (Filename.isEmpty()) {
        warn(QStringLiteral("No file .BIN selected"));
        return;
    }
    // A paused queue would keep the image and send it whenever it is resumed,
    // behind any image sent meanwhile.
    if (printer.paused) {
        warn(QStringLiteral("The printer %1 is paused: nothing was sent.").arg(shownText(printer.deviceName)));
        return;
    }

    // S-record text is the converter's input: sent as it is, it would fill the
    // decoder's flash with text.
    if (fileStartsWithSRecord(Filename)) {
        const QString question = QStringLiteral("%1 is an S-record file, not a binary image: convert it with File > "
                                                "Convert_srec2bin first. Send it unchanged anyway?")
                                     .arg(shownText(Filename));
        if (!services_.messages->question(this, question))
            return;
    }

    // An image of ours still in the queue would reach the decoder before this one.
    if (jobFollower_ && jobFollower_->active()) {
        jobFollower_->lookNow(int(qBound<qint64>(1, checks.remainingTime(), qint64(kJobLookMs))));
        if (jobFollower_->active()) {
            const QString question =
                QStringLiteral("An image sent before is still in the print queue of %1 "
                               "(job %2: %3). Cancel it and send this image?")
                    .arg(shownText(jobFollower_->printer()), QString::number(jobFollower_->jobId()),
                         shownText(jobFollower_->stateText()));
            if (!services_.messages->question(this, question))
                return;
            if (jobFollower_->active() && !jobFollower_->cancel(kStartChecksMs)) {
                warn(QStringLiteral("Cannot cancel the job %1 at the printer %2: nothing was sent.")
                         .arg(QString::number(jobFollower_->jobId()), shownText(jobFollower_->printer())));
                return;
            }
        }
    }
    sendImage(printer);
}

namespace {

// A name on disk that is not UTF-8 reaches the window with its bad bytes
// replaced, so the library is handed a path that does not exist: "missing"
// alone would send the technician looking for a file that is there.
QString undecodableNameHint(const QString &path, int result)
{
    constexpr int kFileMissing = 3;
    if (result != kFileMissing || !path.contains(QChar::ReplacementCharacter))
        return QString();
    return QStringLiteral(". The file's name, or a folder's, holds bytes that are not UTF-8 text, so it cannot be "
                          "opened by this name: rename it and choose it again.");
}

}  // namespace

void qx7100_1::sendImage(const DefaultPrinterInfo &printer)
{
    // A finished job's state stays in its panel until the next send.
    if (jobFollower_ && !jobFollower_->active())
        showJob(QString());

    insertInfo(QStringLiteral("Downloading ") + Filename);
    const RawPrintCall name = services_.rawPrint->getDefPrinterName(QByteArray());
    if (!name.called) {
        warn(shownText(name.error));
        return;
    }
    // Only a library too old to tell the bytes it sent leaves the size looked up here.
    const qint64 sizeBefore = QFileInfo(Filename).size();
    sending_ = true;
    const RawPrintCall sent = services_.rawPrint->sendPrnToDefPrinter(QFile::encodeName(Filename));
    sending_ = false;
    const qint64 bytes = sent.bytesSent >= 0 ? sent.bytesSent : sizeBefore;
    if (!sent.called)
        warn(shownText(sent.error));
    else if (sent.result != 0)
        warn(QStringLiteral("Error while loading ") + shownText(Filename) + QStringLiteral("Error ")
             + QString::number(sent.result) + undecodableNameHint(Filename, sent.result));
    if (sent.called)
        noteImageSent(Filename, bytes, sent.result == 0 ? sent.jobId : 0,
                      sent.result == 0 ? QString() : QStringLiteral("not sent: error %1").arg(sent.result));
    if (sent.called && sent.result == 0 && jobFollower_ && sent.jobId > 0)
        jobFollower_->follow(printer.deviceName, sent.jobId, bytes);
    // Counted from the end of the command: clicks queued meanwhile come right after it.
    sendReturned_.start();
}
