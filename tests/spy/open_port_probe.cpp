// Opens one device through MSComm and prints the outcome: "open", or the
// reason of the failure. The serial-port tests run it as another user.
#include "spy/mscomm.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: open_port_probe DEVICE\n");
        return 2;
    }
    const QString device = QString::fromLocal8Bit(argv[1]);
    MSComm comm([device](int) { return device; });
    QString reason;
    const bool opened = comm.setPortOpen(true, &reason);
    std::printf("%s\n", opened ? "open" : reason.toLocal8Bit().constData());
    return opened ? 0 : 1;
}
