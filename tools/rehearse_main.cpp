// load_qx7100-rehearse: the loader's own window and services for a rehearsal without
// hardware. COM1 is the decoder simulator's pseudo-terminal and every print request
// goes to a private print server whose queue feeds the simulator. Started by
// tools/rehearse (installed: load_qx7100-rehearse), which sets all of that up; the
// shipped load_qx7100 reads no command line.

#include "rehearsal_env.h"
#include "shell/display_check.h"
#include "shell/qx7100_1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Without a display Qt would abort the program with lines of its own.
    if (!displayReachable(argc, argv)) {
        std::fputs("load_qx7100-rehearse: no display: start it from the desktop, or set DISPLAY or WAYLAND_DISPLAY\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("load_velantra"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    // The icons live in the window library: pull its resources in explicitly.
    Q_INIT_RESOURCE(icons);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/load_qx7100.png")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The Velantra Loader wired for a rehearsal: COM1 is the decoder simulator's serial line and\n"
                       "images go to a private print server. The command load_qx7100-rehearse (tools/rehearse in the\n"
                       "sources) starts it with the simulator and the server."));
    parser.addHelpOption();
    const QCommandLineOption com1(QStringLiteral("com1"), QStringLiteral("Device that COM1 opens."),
                                  QStringLiteral("DEVICE"));
    const QCommandLineOption com2(QStringLiteral("com2"), QStringLiteral("Device that COM2 opens (default: none)."),
                                  QStringLiteral("DEVICE"));
    const QCommandLineOption server(QStringLiteral("cups-server"),
                                    QStringLiteral("Socket of the private print server that receives the images."),
                                    QStringLiteral("SOCKET"));
    parser.addOptions({com1, com2, server});
    parser.process(app);
    if (!parser.isSet(com1) || !parser.isSet(server)) {
        std::fputs("load_qx7100-rehearse: --com1 and --cups-server are needed; start the rehearsal with "
                   "load_qx7100-rehearse (tools/rehearse in the sources)\n",
                   stderr);
        return 2;
    }

    // Before libcups is first used: a rehearsal must never reach the machine's printers,
    // and no default of the user's may name another queue.
    useRehearsalPrintServer(parser.value(server), QString::fromLatin1(RehearsalQueue));

    LoaderServices services = makeRealServices(QCoreApplication::applicationDirPath());
    const QString com1Device = parser.value(com1);
    const QString com2Device = parser.value(com2);
    services.serialPortDevice = [com1Device, com2Device](int port) {
        return port == 1 ? com1Device : port == 2 ? com2Device : QString();
    };

    qx7100_1 window(std::move(services));
    window.setWindowTitle(QStringLiteral("Velantra Loader (rehearsal)"));
    window.show();
    return app.exec();
}
