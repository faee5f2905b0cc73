// load_qx7100-bench: sets up a PC as a bench for the Velantra Loader and says
// what it still lacks. A serial port becomes COM1 or COM2 through a udev rule
// that links one adapter to /dev/com1 or /dev/com2; LPT1 or LPT2 is a raw print
// queue on a parallel port (or USB-parallel adapter) made the default printer.
//
// Everything it reads or changes sits under roots that tests can point at
// fixture trees: LOADER_BENCH_DEV, LOADER_BENCH_SYS, LOADER_BENCH_ETC,
// LOADER_BENCH_PROC, LOADER_BENCH_RUN, LOADER_BENCH_SERVERBIN, and CUPS_SERVER
// for the print server. Messages always name the real paths (/dev/com1,
// /etc/udev/rules.d/...). Outside programs run with argument lists, never
// through a shell.

#include "bench_commands.h"
#include "bench_system.h"
#include "spy/serial_ports.h"

#include <QCoreApplication>

using namespace bench;

namespace {

QByteArray rootFrom(const char *variable, const char *fallback)
{
    const QByteArray value = env(variable);
    return value.isEmpty() ? QByteArray(fallback) : value;
}

// The command's number: 1 of "com1" when 1 is in numbers; 0 otherwise.
int numberOf(const QByteArray &command, const char *prefix, const QList<int> &numbers)
{
    if (!command.startsWith(prefix))
        return 0;
    for (int n : numbers) {
        if (command == prefix + num(n))
            return n;
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    // The outside programs are found where root keeps them too.
    qputenv("PATH", env("PATH") + ":/usr/sbin:/sbin");
    roots.dev = rootFrom("LOADER_BENCH_DEV", "/dev");
    roots.sys = rootFrom("LOADER_BENCH_SYS", "/sys");
    roots.etc = rootFrom("LOADER_BENCH_ETC", "/etc");
    roots.proc = rootFrom("LOADER_BENCH_PROC", "/proc");
    roots.run = rootFrom("LOADER_BENCH_RUN", "/run");
    // A print server that accepts connections but never answers must not hang us.
    cupsWaitText = rootFrom("LOADER_BENCH_CUPS_TIMEOUT", "5");
    bool ok = false;
    const double seconds = cupsWaitText.toDouble(&ok);
    cupsWaitMs = ok && seconds > 0 && seconds < 86400 ? int(seconds * 1000) : 5000;

    QByteArrayList args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    // No Qt option is taken from the command line: the arguments are ours.
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    if (args.isEmpty())
        usageError("which command? check, com1, com2, lpt1 or lpt2");
    const QByteArray command = args.takeFirst();
    if (command == "-h" || command == "--help") {
        helpMain();
        return 0;
    }
    if (command == "help") {
        const QByteArray topic = args.value(0);
        if (topic.isEmpty())
            helpMain();
        else if (topic == "check")
            helpCheck();
        else if (numberOf(topic, "com", comPortNumbers()))
            helpCom();
        else if (numberOf(topic, "lpt", lptPortNumbers()))
            helpLpt();
        else
            usageError("help: unknown command: " + visible(topic));
        return 0;
    }
    if (command == "check")
        return commandCheck(args);
    if (const int n = numberOf(command, "com", comPortNumbers()))
        return commandCom(n, args);
    if (const int n = numberOf(command, "lpt", lptPortNumbers()))
        return commandLpt(n, args);
    usageError("unknown command: " + visible(command));
}
