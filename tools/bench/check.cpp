// check: what the bench has and what it lacks, one line per item, with the
// command that fixes each.

#include "bench_commands.h"
#include "bench_system.h"

#include "spy/serial_ports.h"

#include <QFile>

#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace bench {

namespace {

int fails = 0;

// One line of the check: STATUS (OK, WARN, FAIL, INFO) and text.
void report(const char *status, const QByteArray &text)
{
    if (std::strcmp(status, "FAIL") == 0)
        ++fails;
    QByteArray line(status);
    while (line.size() < 4)
        line += ' ';
    say(line + ' ' + text);
}

// ---- check: serial ports --------------------------------------------------------

void checkSerial()
{
    QByteArrayList builtin, phantoms;
    for (const QByteArray &name : ttyNames(roots.sys, "ttyS*")) {
        if (!isKernelName(name))
            continue;
        const TtyKind kind = classifyTty(name, roots.sys).kind;
        if (kind == TtyKind::Builtin)
            builtin << name;
        else if (kind == TtyKind::Phantom)
            phantoms << name;
    }
    for (const QByteArray &name : builtin)
        report("INFO", "serial: /dev/" + name + ": " + describeTty(name, classifyTty(name, roots.sys), roots.sys));
    if (!phantoms.isEmpty())
        report("INFO", "serial: no UART behind " + compressNames(phantoms) + " (nodes without a port: not usable)");
    const QByteArrayList adapters = listAdapters(roots.sys);
    for (const QByteArray &name : adapters)
        report("INFO", "serial: /dev/" + name + ": " + describeTty(name, classifyTty(name, roots.sys), roots.sys));
    if (adapters.isEmpty())
        report("INFO", "serial: no USB serial adapter or PCI serial card found");

    // A loading needs one serial port: the others are only warnings then.
    QList<ComState> states;
    bool anyOk = false;
    for (int n : comPortNumbers()) {
        states << resolveCom(n, roots);
        anyOk = anyOk || states.back().ok;
    }
    for (qsizetype i = 0; i < states.size(); ++i) {
        const char *status = states[i].ok ? "OK" : anyOk ? "WARN" : "FAIL";
        report(status, "COM" + num(comPortNumbers()[i]) + ": " + states[i].text);
    }
}

// ---- check: groups ---------------------------------------------------------------

// The loader prints through the print server, which owns the parallel port:
// the user needs no group for it. Only the serial port needs dialout.
void checkGroups(const User &user)
{
    const QByteArray p = kProgram;
    if (user.name.isEmpty()) {
        report("WARN", "group dialout: not checked: run as root with no invoking user. Fix: sudo " + p
                           + " check (from the technician's account), or sudo " + p + " check --user NAME");
        return;
    }
    const passwd *pw = findUser(user.name);
    if (!pw) {
        report("FAIL", "user: no such user: " + visible(user.name));
        return;
    }
    if (user.name == "root") {
        report("WARN", "group dialout: the user is root; the loader is meant to run as the technician. Fix: " + p
                           + " check --user NAME");
        return;
    }
    const QByteArray who = visible(user.name);
    const QByteArrayList known = knownGroups(pw);
    const QByteArrayList session = user.self ? sessionGroups() : known;
    const QByteArray why = "the loader cannot open the serial port";
    if (session.contains("dialout"))
        report("OK", "group dialout: " + who + " is a member");
    else if (known.contains("dialout"))
        report("FAIL", "group dialout: " + who + " was added to it after this session began: " + why
                           + ". Fix: log out and in again");
    else
        report("FAIL", "group dialout: " + who + " is not a member: " + why + ". Fix: sudo adduser " + who
                           + " dialout, then log out and in again");
    report("INFO",
           "group lp: not needed: the loader prints through the print server, which drives the parallel port itself");
}

// ---- check: print server and printer ----------------------------------------------

void checkUserDefault(const User &user, const QByteArray &server)
{
    const QByteArray p = kProgram;
    const QByteArray who = visible(user.name);
    const QByteArray shown = visible(server);
    QByteArray over, from;
    const QByteArray lpdest = env("LPDEST"), printer = env("PRINTER");
    if (user.self && !lpdest.isEmpty()) {
        over = lpdest;
        from = "LPDEST=" + visible(lpdest) + " in the environment";
    } else if (user.self && !printer.isEmpty() && printer != "lp") {
        over = printer;
        from = "PRINTER=" + visible(printer) + " in the environment";
    }
    if (over.isEmpty() && !user.home.isEmpty()) {
        const QByteArray file = user.home + "/.cups/lpoptions";
        const LpOptions options = readLpOptions(file);
        switch (options.state) {
        case LpOptions::State::Odd:
            report("FAIL", "user default: " + visible(file)
                               + " is not a regular file (a FIFO, a device or a folder): print clients, the loader's "
                                 "too, can hang reading it. Fix: remove it (rm "
                               + visible(file) + ")");
            return;
        case LpOptions::State::Big:
            report("WARN", "user default: " + visible(file) + " is larger than " + num(kLpOptionsMax)
                               + " bytes: not read. Fix: remove it or cut it down");
            return;
        case LpOptions::State::Ok:
            over = options.defaultName;
            if (!over.isEmpty())
                from = visible(file) + " (Default " + visible(over) + ")";
            break;
        case LpOptions::State::None:
            break;
        }
    }
    if (over.isEmpty())
        report("OK", "user default: " + who + " has no default printer of their own");
    else if (over == server)
        report("OK", "user default: " + from + " names the same printer");
    else if (!server.isEmpty())
        report("FAIL", "user default: " + from + " makes " + visible(over) + " the printer of " + who + ", not " + shown
                           + ". Fix: remove it (or as " + who + ": lpoptions -d " + shown + ")");
    else
        report("FAIL", "user default: " + from + " makes " + visible(over) + " the printer of " + who
                           + ". Fix: remove it, then sudo " + p + " lpt1");
}

void checkPrinter(const User &user)
{
    const QByteArray p = kProgram;
    if (!haveProgram(QStringLiteral("lpstat"))) {
        report("FAIL", "print system: not installed. Fix: sudo apt-get install cups");
        return;
    }
    const ServerState state = serverState();
    switch (state) {
    case ServerState::Stopped:
        report("FAIL", "print server: not running. Fix: " + serviceFix("enable --now", "cups"));
        break;
    case ServerState::Silent:
        report("FAIL",
               "print server: does not answer (waited " + cupsWaitText + " s). Fix: " + serviceFix("restart", "cups"));
        break;
    case ServerState::Running:
        report("OK", "print server: running and answering");
        break;
    }

    QByteArray serverBin = env("LOADER_BENCH_SERVERBIN");
    if (serverBin.isEmpty()) {
        const Ran ran = run(QStringLiteral("cups-config"), {QStringLiteral("--serverbin")});
        serverBin = ran.status == 0 ? chomp(ran.output) : QByteArray("/usr/lib/cups");
    }
    const QByteArray backend = serverBin + "/backend/parallel";
    if (isRegular(backend) && ::access(backend.constData(), X_OK) == 0) {
        QByteArray folder = serverBin;
        if (folder.endsWith('/'))
            folder.chop(1);
        report("OK", "parallel backend: present (" + folder + "/backend/parallel)");
    } else {
        report(
            "FAIL",
            "parallel backend: missing, so no queue can drive a parallel port. Fix: sudo apt-get install cups-filters");
    }
    if (state != ServerState::Running)
        return;

    const QByteArray server = serverDefault();
    const QByteArray shown = visible(server);
    if (server.isEmpty())
        report("FAIL", "default printer: none is set as default. Fix: sudo " + p + " lpt1");
    else
        report("OK", "default printer: " + shown);

    // A user's own default wins over the server's in every client, the loader too.
    if (!user.name.isEmpty())
        checkUserDefault(user, server);
    if (server.isEmpty())
        return;

    const QByteArray uri = queueUri(server);
    const int lpt = lptOfDeviceUri(QFile::decodeName(uri));
    if (lpt)
        report("OK", "printer port: " + shown + " is on " + uri + ", which the loader sees as "
                         + lptPortName(lpt).toLatin1());
    else
        report("FAIL", "printer port: " + shown + " is on " + visible(uri.isEmpty() ? QByteArray("no device") : uri)
                           + ", not a parallel port: Start would answer \"Printer port is not local.\". Fix: sudo " + p
                           + " lpt1");

    const QStringList queue{arg(server)};
    if (hasPrefix(cups(QStringLiteral("lpstat"), QStringList{QStringLiteral("-p")} + queue).output,
                  "printer " + server + " disabled"))
        report("FAIL", "queue " + shown + ": paused, nothing would be sent. Fix: sudo cupsenable " + shown);
    else
        report("OK", "queue " + shown + ": enabled");
    if (hasPrefix(cups(QStringLiteral("lpstat"), QStringList{QStringLiteral("-a")} + queue).output,
                  server + " not accepting"))
        report("FAIL", "queue " + shown + ": rejecting jobs (Start would give Error 8). Fix: sudo cupsaccept " + shown);
    else
        report("OK", "queue " + shown + ": accepting jobs");

    if (!lpt)
        return;
    const QByteArray port = uri.mid(int(std::strlen("parallel:")));
    if (isCharDevice(roots.dev + '/' + port.mid(5))) {
        report("OK", "port device: " + port + " is there");
        return;
    }
    const QByteArray fix =
        port.startsWith("/dev/usb/")
            ? QByteArray("plug the USB-parallel adapter in (driver usblp)")
            : "load the parallel port drivers (sudo modprobe parport_pc; sudo modprobe lp), or plug a USB-parallel "
              "adapter in and run sudo "
                  + p + " lpt" + num(lpt) + " /dev/usb/" + baseName(port);
    report("FAIL", "port device: " + port
                       + " is not there: the parallel backend would wait for it, retrying every 30 seconds for ever. "
                         "Fix: "
                       + fix);
}

// ---- check: programs that take serial adapters ---------------------------------------

QByteArrayList runningPrograms()
{
    QByteArrayList programs;
    DIR *dir = ::opendir(roots.proc.constData());
    if (!dir)
        return programs;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            programs << attribute(roots.proc + '/' + entry->d_name + "/comm");
    }
    ::closedir(dir);
    return programs;
}

void checkGrabbers()
{
    const QByteArray p = kProgram;
    const QByteArrayList programs = runningPrograms();
    if (programs.contains("ModemManager")) {
        // Our own rules say whether ModemManager leaves their adapters alone.
        QByteArray flagged, bare, bareFix;
        for (int n : comPortNumbers()) {
            const QByteArray rule = roots.rulesDir() + '/' + comRuleName(n);
            if (!isRegular(rule) || isLink(rule))
                continue;
            if (readRegular(rule, 1 << 20).contains(kModemManagerFlag)) {
                flagged += " COM" + num(n);
                continue;
            }
            bare += " COM" + num(n);
            const QByteArray name = baseName(readLink(roots.dev + "/com" + num(n)));
            const QByteArray device = isKernelName(name) ? "/dev/" + name : QByteArray("DEVICE");
            bareFix += (bareFix.isEmpty() ? "" : "; ") + QByteArray("sudo ") + p + " com" + num(n) + ' ' + device;
        }
        if (!bare.isEmpty()) {
            report("WARN", "ModemManager: running, and the rule of" + bare
                               + " was written without the flag that keeps it off the adapter: it probes the adapter "
                                 "and can hold the port for seconds. Fix: write the rule again: "
                               + bareFix);
        } else if (!flagged.isEmpty()) {
            report("OK",
                   "ModemManager: running, harmless: the rule of" + flagged + " tells it to leave the adapter alone");
        } else {
            const QByteArray stop =
                hasSystemd() ? "sudo systemctl disable --now ModemManager" : "sudo apt-get remove modemmanager";
            report("WARN", "ModemManager: running; it probes new serial adapters and can hold the port for seconds. "
                           "Fix: give the adapter its COM number (sudo "
                               + p + " com1 DEVICE: its rule keeps ModemManager off it), or " + stop);
        }
    } else {
        report("OK", "ModemManager: not running");
    }
    if (programs.contains("brltty"))
        report("WARN", "brltty: running; it takes some USB serial adapters for braille displays. Fix: sudo apt-get "
                       "remove brltty");
    else
        report("OK", "brltty: not running");
}

}  // namespace

int commandCheck(const QByteArrayList &args)
{
    QByteArray userOption;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QByteArray &a = args[i];
        if (a == "-h" || a == "--help") {
            helpCheck();
            return 0;
        }
        if (a == "--user") {
            if (i + 1 >= args.size())
                usageError("check: --user needs a user name");
            userOption = args[++i];
            continue;
        }
        usageError("check: unexpected argument: " + visible(a));
    }
    const User user = findInvokingUser(userOption);
    checkSerial();
    checkGroups(user);
    checkPrinter(user);
    checkGrabbers();
    if (fails == 0) {
        say("A loading can work on this bench.");
        return 0;
    }
    say(num(fails) + " item(s) stop a loading: fix the FAIL lines above.");
    return 1;
}

}  // namespace bench
