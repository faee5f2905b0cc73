// Prints the default printer as the loader's own default-printer service sees
// it, for the bench set-up test: "NAME PORT", or "no-server" / "not-answering" / "no-default".
// The print server is the one CUPS_SERVER names.

#include "download/default_printer.h"

#include <cstdio>

int main()
{
    const DefaultPrinterInfo info = makeCupsDefaultPrinter()->query(3000);
    switch (info.state) {
    case DefaultPrinterInfo::State::NoServer:
        std::puts("no-server");
        return 1;
    case DefaultPrinterInfo::State::NotAnswering:
        std::puts("not-answering");
        return 1;
    case DefaultPrinterInfo::State::NoDefault:
        std::puts("no-default");
        return 1;
    case DefaultPrinterInfo::State::Ready:
        break;
    }
    std::printf("%s %s\n", info.deviceName.toLocal8Bit().constData(), info.portName.toLocal8Bit().constData());
    return 0;
}
