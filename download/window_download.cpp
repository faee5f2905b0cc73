// The main window's image commands: choosing the image and sending it to the
// decoder through the default printer.

#include "shell/qx7100_1.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QPushButton>

namespace {
const QString kLptPorts[] = {QStringLiteral("LPT1:"), QStringLiteral("LPT2:")};
}

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
    if (!com1->isChecked() && !com2->isChecked()) {
        warn(QStringLiteral("No communication port selected"));
        return;
    }

    // One fresh look at the default printer gives both its name and its port.
    const DefaultPrinterInfo printer = services_.printer->query();
    panel(QStringLiteral("Printer"))->setText(QStringLiteral("Printer: ") + printer.deviceName);
    if (printer.state == DefaultPrinterInfo::State::NoServer) {
        warn(QStringLiteral("No default printer: the print server is not running."));
        return;
    }
    if (printer.state == DefaultPrinterInfo::State::NoDefault) {
        warn(QStringLiteral("No default printer: no printer is set as default."));
        return;
    }
    if (printer.portName != kLptPorts[0] && printer.portName != kLptPorts[1]) {
        warn(QStringLiteral("Printer port is not local."));
        return;
    }
    if (Filename.isEmpty()) {
        warn(QStringLiteral("No file .BIN selected"));
        return;
    }

    insertInfo(QStringLiteral("Downloading ") + Filename);
    const RawPrintCall name = services_.rawPrint->getDefPrinterName(QByteArray());
    if (!name.called) {
        warn(name.error);
        return;
    }
    const RawPrintCall sent = services_.rawPrint->sendPrnToDefPrinter(QFile::encodeName(Filename));
    if (!sent.called) {
        warn(sent.error);
        return;
    }
    if (sent.result != 0)
        warn(QStringLiteral("Error while loading ") + Filename + QStringLiteral("Error ") + QString::number(sent.result));
}
