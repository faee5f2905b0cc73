#include "shell/loader_services.h"
#include "spy/serial_ports.h"

LoaderServices makeRealServices(const QString &programFolder)
{
    LoaderServices services;
    services.printer = makeCupsDefaultPrinter();
    services.rawPrint = makeRawPrintLibrary(programFolder + QStringLiteral("/libbinprn32.so"));
    services.printJobs = makeCupsPrintJobs();
    services.fileDialog = makeQtFileDialog();
    services.messages = makeMessageBoxes();
    services.processes = makeProcessStarter();
    services.serialPortDevice = [](int port) { return comPortDevice(port); };
    services.converterPath = programFolder + QStringLiteral("/srec2bin");
    return services;
}
