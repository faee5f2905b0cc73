// lpt1, lpt2: a raw print queue on a parallel port, made the default printer.

#include "bench_commands.h"
#include "bench_system.h"

#include "spy/serial_ports.h"

#include <QFile>

#include <cstring>

namespace bench {

int commandLpt(int n, const QByteArrayList &args)
{
    const QByteArray p = kProgram;
    const QByteArray lpt = "lpt" + num(n);
    QByteArray device;
    for (const QByteArray &a : args) {
        if (a == "-h" || a == "--help") {
            helpLpt();
            return 0;
        }
        if (a.startsWith('-'))
            usageError(lpt + ": unknown option: " + visible(a));
        if (!device.isEmpty())
            usageError(lpt + ": one DEVICE only");
        device = a;
    }
    const QStringList devices = lptDevices(n);
    const QByteArray parallel = QFile::encodeName(devices[0]), adapter = QFile::encodeName(devices[1]);
    if (device.isEmpty())
        device = !exists(roots.dev + parallel.mid(4)) && exists(roots.dev + adapter.mid(4)) ? adapter : parallel;
    const int owner = lptOfDevice(QFile::decodeName(device));
    if (owner != n) {
        if (owner)
            usageError(lpt + ": " + device + " is LPT" + num(owner) + " for the loader: use " + p + " lpt" + num(owner)
                       + ' ' + device);
        usageError(lpt + ": " + visible(device) + " is not a port the loader counts as LPT" + num(n) + " (" + parallel
                   + " or " + adapter + ")");
    }
    if (!isRoot() && env("CUPS_SERVER").isEmpty())
        die(lpt + ": changes the print server's queues, so it must be run as root: sudo " + p + ' ' + lpt + ' '
            + device);
    if (!haveProgram(QStringLiteral("lpadmin")) || !haveProgram(QStringLiteral("lpstat")))
        die(lpt + ": the print system is not installed: sudo apt-get install cups");
    switch (serverState()) {
    case ServerState::Stopped:
        die(lpt + ": the print server is not running: " + serviceFix("enable --now", "cups"));
    case ServerState::Silent:
        die(lpt + ": the print server does not answer: " + serviceFix("restart", "cups"));
    case ServerState::Running:
        break;
    }

    const QByteArray queue = "qx7100-" + lpt;
    const QByteArray mark = "made by " + p;
    const QByteArray info = "QX7100 decoder on LPT" + num(n) + " (" + mark + ")";
    if (cups(QStringLiteral("lpstat"), {QStringLiteral("-p"), arg(queue)}).status == 0
        && !queueInfo(queue).endsWith("(" + mark + ")"))
        die(lpt + ": a queue named " + queue + " exists that " + p + " did not make: left as it is (remove it with "
            + "lpadmin -x " + queue + ", then run this again)");
    const QByteArray was = serverDefault();

    // No model (-m): a raw queue, whose jobs reach the port unchanged.
    const Ran made = cups(QStringLiteral("lpadmin"),
                          {QStringLiteral("-p"), arg(queue), QStringLiteral("-D"), arg(info), QStringLiteral("-v"),
                           arg("parallel:" + device), QStringLiteral("-E"), QStringLiteral("-o"),
                           QStringLiteral("printer-error-policy=abort-job"), QStringLiteral("-o"),
                           QStringLiteral("printer-is-shared=false")},
                          true);
    if (made.status != 0) {
        const QByteArray out = chomp(made.output);
        if (out.contains("Bad device-uri") || out.contains("bad device-uri") || out.contains("device-uri scheme"))
            die(lpt + ": the print server has no parallel backend: sudo apt-get install cups-filters (" + visible(out)
                + ")");
        die(lpt + ": lpadmin failed: " + visible(out));
    }
    if (!showingErrors(cups(QStringLiteral("lpadmin"), {QStringLiteral("-d"), arg(queue)}, true)))
        die(lpt + ": cannot make " + queue + " the default printer");
    if (!showingErrors(cups(QStringLiteral("cupsenable"), {arg(queue)}, true)))
        die(lpt + ": cannot enable " + queue);
    if (!showingErrors(cups(QStringLiteral("cupsaccept"), {arg(queue)}, true)))
        die(lpt + ": cannot make " + queue + " accept jobs");
    say("LPT" + num(n) + ": the queue " + queue + " on parallel:" + device
        + " is the default printer (raw, error policy abort-job).");
    if (!was.isEmpty() && was != queue)
        say("It replaces " + visible(was) + " as the default printer.");
    if (!isCharDevice(roots.dev + '/' + device.mid(5)))
        say("Note: " + device + " is not there now; jobs would wait for it, the backend retrying every 30 seconds.");

    // Defaults that still win over the server's.
    const QByteArray system = readLpOptions(roots.etc + "/cups/lpoptions").defaultName;
    if (!system.isEmpty() && system != queue)
        say("Note: /etc/cups/lpoptions makes " + visible(system)
            + " the default of every user: remove its Default line.");
    const User user = findInvokingUser(QByteArray());
    if (user.name.isEmpty())
        return 0;
    const QByteArray who = visible(user.name);
    if (!user.home.isEmpty()) {
        const QByteArray file = user.home + "/.cups/lpoptions";
        const LpOptions options = readLpOptions(file);
        if (!options.defaultName.isEmpty() && options.defaultName != queue)
            say("Note: " + visible(file) + " still makes " + visible(options.defaultName) + " the default of " + who
                + ": as " + who + ", run lpoptions -d " + queue);
        else if (options.state == LpOptions::State::Odd)
            say("Note: " + visible(file) + " is not a regular file: print clients can hang reading it; remove it.");
    }
    if (user.self) {
        for (const char *variable : {"LPDEST", "PRINTER"}) {
            const QByteArray value = env(variable);
            if (!value.isEmpty() && value != queue && (std::strcmp(variable, "LPDEST") == 0 || value != "lp"))
                say("Note: " + QByteArray(variable) + '=' + visible(value) + " in the environment still wins for " + who
                    + ": unset it.");
        }
    }
    return 0;
}

}  // namespace bench
