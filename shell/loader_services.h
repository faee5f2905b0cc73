#pragma once
// The platform services that the main window uses, handed to it at
// construction: main() wires the real ones, tests wire doubles.

#include "convert/process_starter.h"
#include "download/common_dialog.h"
#include "download/default_printer.h"
#include "download/print_job.h"
#include "download/raw_print_library.h"
#include "shell/message_service.h"

#include <QString>
#include <functional>
#include <memory>

struct LoaderServices {
    std::unique_ptr<DefaultPrinter> printer;
    std::unique_ptr<RawPrintLibrary> rawPrint;
    // The print server's jobs, to follow each Start's job; none: no follow-up.
    std::unique_ptr<PrintJobs> printJobs;
    std::unique_ptr<FileDialogService> fileDialog;
    std::unique_ptr<MessageService> messages;
    std::unique_ptr<ProcessStarter> processes;
    // Device path of serial port 1 or 2 (COM1, COM2).
    std::function<QString(int)> serialPortDevice;
    // Full path of the S-record converter program.
    QString converterPath;
};

// The services of a real run: CUPS, the raw-print library and the converter
// from the program's own folder, the machine's serial ports, real dialogs.
LoaderServices makeRealServices(const QString &programFolder);
