#include "shell/loader_services.h"

LoaderServices makeRealServices(const QString &programFolder)
{
    LoaderServices services;
    services.printer = makeCupsDefaultPrinter();
    services.rawPrint = makeRawPrintLibrary(programFolder + QStringLiteral("/libbinprn32.so"));
    services.printJobs = makeCupsPrintJobs();
    services.fileDialog = makeQtFileDialog();
    services.messages = makeMessageBoxes();
    services.processes = makeProcessStarter();
    services.serialPortDevice = [](int port) { return QStringLiteral("/dev/ttyS%1").arg(port - 1); };
    services.converterPath = programFolder + QStringLiteral("/srec2bin");
    return services;
}
