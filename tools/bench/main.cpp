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

#include "bench_rules.h"

#include "common/safe_save.h"
#include "spy/serial_ports.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace bench;

namespace {

Roots roots;
// Seconds to wait for the print server, as given and as a number.
QByteArray cupsWaitText = "5";
int cupsWaitMs = 5000;
int fails = 0;

// ---- messages ---------------------------------------------------------------

void writeOut(FILE *stream, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

void say(const QByteArray &line)
{
    writeOut(stdout, line + '\n');
}

[[noreturn]] void die(const QByteArray &message)
{
    writeOut(stderr, QByteArray(kProgram) + ": " + message + '\n');
    std::exit(1);
}

[[noreturn]] void usageError(const QByteArray &message)
{
    writeOut(stderr, QByteArray(kProgram) + ": " + message + '\n' + "Try '" + kProgram + " --help'.\n");
    std::exit(2);
}

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

QByteArray num(qint64 value)
{
    return QByteArray::number(value);
}

bool isRoot()
{
    return ::geteuid() == 0;
}

QByteArray env(const char *name)
{
    return qgetenv(name);
}

// ---- outside programs ----------------------------------------------------------

bool haveProgram(const QString &name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

struct Ran {
    int status = 127;  // the exit status; 124 when it got no answer in time
    QByteArray output;
};

struct RunOptions {
    int timeoutMs = -1;        // -1: wait for the end
    bool printServer = false;  // a print-server client: HOME that cannot exist
    bool noUserDefault = false;
    bool mergeErrors = false;  // standard error into the output (else dropped)
    QString folder;
};

// Runs program with arguments, no shell between. A print-server client's HOME
// is a folder that cannot exist: the clients read ~/.cups/lpoptions and
// ~/.cups/client.conf, which a user may have made a FIFO or a link to a device.
Ran run(const QString &program, const QStringList &arguments, const RunOptions &options = {})
{
    Ran ran;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (options.printServer)
        environment.insert(QStringLiteral("HOME"), QStringLiteral("/dev/null/no-home"));
    if (options.noUserDefault) {
        environment.remove(QStringLiteral("LPDEST"));
        environment.remove(QStringLiteral("PRINTER"));
    }
    process.setProcessEnvironment(environment);
    if (!options.folder.isEmpty())
        process.setWorkingDirectory(options.folder);
    process.setProcessChannelMode(options.mergeErrors ? QProcess::MergedChannels : QProcess::SeparateChannels);
    if (!options.mergeErrors)
        process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        return ran;
    if (!process.waitForFinished(options.timeoutMs)) {
        process.kill();
        process.waitForFinished(-1);
        ran.status = 124;
        ran.output = process.readAllStandardOutput();
        return ran;
    }
    ran.output = process.readAllStandardOutput();
    ran.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + 9;
    return ran;
}

// A print-server client, bounded in time.
Ran cups(const QString &program, const QStringList &arguments, bool mergeErrors = false)
{
    RunOptions options;
    options.timeoutMs = cupsWaitMs;
    options.printServer = true;
    options.mergeErrors = mergeErrors;
    return run(program, arguments, options);
}

// The output as the shell's $(...) gives it: trailing line breaks dropped.
QByteArray chomp(QByteArray text)
{
    while (text.endsWith('\n'))
        text.chop(1);
    return text;
}

// The rest of the first line of text that starts with prefix (compared as
// text, never as a pattern: a queue's name may hold any character).
QByteArray afterPrefix(const QByteArray &text, const QByteArray &prefix, bool *found = nullptr)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(prefix)) {
            if (found)
                *found = true;
            return line.mid(prefix.size());
        }
    }
    if (found)
        *found = false;
    return QByteArray();
}

bool hasPrefix(const QByteArray &text, const QByteArray &prefix)
{
    bool found = false;
    afterPrefix(text, prefix, &found);
    return found;
}

QString arg(const QByteArray &bytes)
{
    return QFile::decodeName(bytes);
}

enum class ServerState { Running, Stopped, Silent };

// "lpstat -r" only connects (a stopped server's socket may still accept), so a request follows.
ServerState serverState()
{
    const Ran ran = cups(QStringLiteral("lpstat"), {QStringLiteral("-r")});
    if (ran.status == 124)
        return ServerState::Silent;
    if (chomp(ran.output) != "scheduler is running")
        return ServerState::Stopped;
    if (cups(QStringLiteral("lpstat"), {QStringLiteral("-v")}).status == 124)
        return ServerState::Silent;
    return ServerState::Running;
}

// The server's default destination, without any user's or environment's override.
QByteArray serverDefault()
{
    RunOptions options;
    options.timeoutMs = cupsWaitMs;
    options.printServer = true;
    options.noUserDefault = true;
    options.folder = QStringLiteral("/");
    const QByteArray out = chomp(run(QStringLiteral("lpstat"), {QStringLiteral("-d")}, options).output);
    const QByteArray prefix = "system default destination: ";
    return out.startsWith(prefix) ? out.mid(prefix.size()) : QByteArray();
}

QByteArray queueUri(const QByteArray &queue)
{
    const Ran ran = cups(QStringLiteral("lpstat"), {QStringLiteral("-v"), arg(queue)});
    return afterPrefix(ran.output, "device for " + queue + ": ");
}

QByteArray queueInfo(const QByteArray &queue)
{
    const Ran ran = cups(QStringLiteral("lpstat"), {QStringLiteral("-l"), QStringLiteral("-p"), arg(queue)});
    const QByteArray prefix = "Description: ";
    for (const QByteArray &line : ran.output.split('\n')) {
        qsizetype at = 0;
        while (at < line.size() && std::isspace(uchar(line[at])))
            ++at;
        if (line.mid(at).startsWith(prefix))
            return line.mid(at + prefix.size());
    }
    return QByteArray();
}

// Advice that fits the machine: how to start or restart a service.
bool hasSystemd()
{
    return isDirectory(roots.run + "/systemd/system");
}

QByteArray serviceFix(const QByteArray &action, const QByteArray &service)
{
    if (hasSystemd())
        return "sudo systemctl " + action + ' ' + service;
    if (action == "enable --now")
        return "sudo service " + service + " start";
    return "sudo service " + service + ' ' + action.mid(action.indexOf(' ') + 1);
}

// ---- the invoking user ------------------------------------------------------

struct User {
    QByteArray name;  // empty: none known (root alone)
    QByteArray home;
    bool self = false;  // that user runs this program: its session's groups and environment count
};

QByteArray nameOfUid(uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QByteArray(pw->pw_name) : QByteArray();
}

// The passwd entry of a name, or of a number as id(1) takes it.
const passwd *findUser(const QByteArray &name)
{
    if (name.isEmpty())
        return nullptr;
    if (const passwd *pw = ::getpwnam(name.constData()))
        return pw;
    bool ok = false;
    const uint uid = name.toUInt(&ok);
    return ok ? ::getpwuid(uid_t(uid)) : nullptr;
}

User findInvokingUser(const QByteArray &option)
{
    User user;
    user.name = option;
    const QByteArray sudoUser = env("SUDO_USER");
    if (user.name.isEmpty() && !sudoUser.isEmpty() && sudoUser != "root")
        user.name = sudoUser;
    const QByteArray pkexecUid = env("PKEXEC_UID");
    if (user.name.isEmpty() && !pkexecUid.isEmpty()) {
        if (const passwd *pw = findUser(pkexecUid))
            user.name = pw->pw_name;
    }
    const QByteArray me = nameOfUid(::geteuid());
    if (user.name.isEmpty() && !isRoot())
        user.name = me;
    user.self = !user.name.isEmpty() && user.name == me;
    if (user.self)
        user.home = env("HOME");
    else if (const passwd *pw = findUser(user.name))
        user.home = pw->pw_dir;
    return user;
}

QByteArrayList groupNames(const gid_t *groups, int count)
{
    QByteArrayList names;
    for (int i = 0; i < count; ++i) {
        const group *gr = ::getgrgid(groups[i]);
        names << (gr ? QByteArray(gr->gr_name) : num(groups[i]));
    }
    return names;
}

// The groups the system gives the user at log-in.
QByteArrayList knownGroups(const passwd *pw)
{
    int count = 64;
    QList<gid_t> groups(count);
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0)
            return {};
    }
    return groupNames(groups.constData(), count);
}

// The groups of this process's session.
QByteArrayList sessionGroups()
{
    const int count = ::getgroups(0, nullptr);
    QList<gid_t> groups(std::max(count, 0) + 1);
    groups[0] = ::getegid();
    const int got = ::getgroups(count, groups.data() + 1);
    return groupNames(groups.constData(), got < 0 ? 1 : got + 1);
}

// ---- help -------------------------------------------------------------------

void helpMain()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( COMMAND [OPTION]...
Sets up this PC as a bench for the Velantra Loader (load_qx7100).

Commands:
  check              list what the bench has and what is missing, with the
                     command that fixes each; exit status 0 only when a loading
                     can work (1: something is missing, 2: usage error)
  com1|com2 DEVICE   give the USB or PCI serial port DEVICE (e.g. /dev/ttyUSB0)
                     the number COM1 or COM2: a udev rule links it to /dev/com1
                     or /dev/com2 (root)
  lpt1|lpt2 [DEVICE] make a raw print queue on the parallel port DEVICE (default
                     /dev/lp0 or /dev/lp1, or /dev/usb/lp0 or /dev/usb/lp1 when
                     only a USB-parallel adapter is there) the default printer,
                     seen by the loader as LPT1: or LPT2: (root)
  help [COMMAND]     this text, or the help of COMMAND (also COMMAND --help)

Environment, for tests (each names a folder standing in for the system's):
  LOADER_BENCH_DEV (/dev), LOADER_BENCH_SYS (/sys), LOADER_BENCH_ETC (/etc),
  LOADER_BENCH_PROC (/proc), LOADER_BENCH_SERVERBIN (the print server's
  ServerBin, default: cups-config --serverbin), CUPS_SERVER (the print server),
  LOADER_BENCH_CUPS_TIMEOUT (seconds to wait for the print server, default 5)

See the manual page load_qx7100-bench(8).
)");
}

void helpCheck()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( check [--user NAME]
Lists, one line per item, what the bench has (OK), what may get in the way
(WARN) and what stops a loading (FAIL), with the command that fixes it:
serial ports and adapters, what COM1 and COM2 are, the user's group dialout
(the group lp is not needed: the loader prints through the print server), the print server, its parallel backend, the default printer (and the
user's own defaults that override it), its port as the loader sees it, whether
it is paused or rejecting jobs, whether its port device exists, and programs
that take serial adapters (ModemManager, harmless for an adapter whose COM rule
tells it to keep off; brltty). Root commands in the advice are given with sudo.

The user whose groups and defaults are checked is the one who ran sudo or
pkexec, else the one running this program; --user NAME names another.
Runs as any user (com1, com2, lpt1 and lpt2 need root); a user's own session is checked best by running it as
that user. Exit status: 0 a loading can work, 1 something is missing, 2 usage.
)");
}

void helpCom()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( com1|com2 DEVICE [--rules-dir DIR] [--no-trigger]
Gives the serial port DEVICE (a USB serial adapter such as /dev/ttyUSB0 or
/dev/ttyACM0, or a port of a PCI serial card) the number COM1 or COM2: writes
/etc/udev/rules.d/60-load-qx7100-com1.rules (or -com2) which links it to
/dev/com1 (/dev/com2) and tells ModemManager to leave it alone, then reloads
udev and triggers the serial devices.

A USB adapter is found by its vendor, product and serial number, so the link
follows it from socket to socket; an adapter without a serial number is found
by the USB socket it is plugged in (the link then follows the socket); so is
one whose serial number holds characters other than letters, digits, '.', '_'
and '-', or that another adapter present shares. On an
adapter with several ports the port's interface number is matched too; a PCI
card's port is found by the card's slot and the port's name.
Refuses a built-in port, a port with no UART behind it, a pseudo-terminal or
anything that is not a serial port. Replaces its own earlier rule; never a
file it did not write.

  --rules-dir DIR   write the rule into DIR instead (for tests; root is then
                    not needed unless udev is triggered)
  --no-trigger      do not reload or trigger udev
)");
}

void helpLpt()
{
    const QByteArray p = kProgram;
    writeOut(stdout, "Usage: " + p + R"( lpt1|lpt2 [DEVICE]
Creates or updates the raw queue qx7100-lpt1 (qx7100-lpt2) on parallel:DEVICE
and makes it the print server's default printer, enabled and accepting jobs,
with the error policy abort-job (a failed job never leaves the queue stopped).
Jobs pass through it unchanged. The loader sees the queue as LPT1: (LPT2:).

DEVICE is /dev/lp0 or /dev/usb/lp0 for LPT1, /dev/lp1 or /dev/usb/lp1 for LPT2
(the PC's or a PCIe card's parallel port, or a USB-parallel adapter). Without
DEVICE: /dev/lp0 (/dev/lp1), or /dev/usb/lp0 (/dev/usb/lp1) when only an
adapter is there. Says so when a user's own default printer (~/.cups/lpoptions,
LPDEST, PRINTER) or /etc/cups/lpoptions will still win. A queue of that name
that this program did not make is left alone.
Needs root, unless CUPS_SERVER names another print server (tests).
)");
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

// ---- com1 / com2 ----------------------------------------------------------------

// Where udev can check a rules file on its own (udevadm verify, systemd 253 and
// later), the rule is checked before it is installed: false with what udev
// said when it refuses the rule.
bool verifyRule(const QByteArray &text, const QByteArray &file, QByteArray *said)
{
    if (!haveProgram(QStringLiteral("udevadm")))
        return true;
    const Ran help = run(QStringLiteral("udevadm"), {QStringLiteral("verify"), QStringLiteral("--help")});
    if (help.status != 0)
        return true;
    QTemporaryDir folder;
    if (!folder.isValid()) {
        *said = "cannot make a temporary folder";
        return false;
    }
    const QByteArray copy = QFile::encodeName(folder.path()) + '/' + file;
    const int fd = ::open(copy.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    const bool written = fd >= 0 && safe_save::writeAll(fd, text.constData(), size_t(text.size())) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!written) {
        *said = "cannot write a copy to check";
        return false;
    }
    // Style (spacing) is not soundness: where udev can leave it out, it does.
    QStringList arguments{QStringLiteral("verify"), QStringLiteral("--resolve-names=never")};
    if (help.output.contains("--no-style"))
        arguments << QStringLiteral("--no-style");
    arguments << QFile::decodeName(copy);
    RunOptions options;
    options.mergeErrors = true;
    const Ran ran = run(QStringLiteral("udevadm"), arguments, options);
    *said = chomp(ran.output);
    return ran.status == 0;
}

// The rule's temporary file: made anew in the rules folder itself (never an
// existing file or a link planted at its name), written whole. Empty when it
// cannot be written.
std::string writeTemporary(const QByteArray &target, const QByteArray &text)
{
    std::string temporary;
    int fd = -1;
    if (safe_save::createTemporary(target.toStdString(), 0644, temporary, &fd) != 0)
        return std::string();
    const bool written = safe_save::writeAll(fd, text.constData(), size_t(text.size())) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.c_str());
        return std::string();
    }
    return temporary;
}

int commandCom(int n, const QByteArrayList &args)
{
    const QByteArray p = kProgram;
    const QByteArray com = "com" + num(n);
    QByteArray device, rulesDir;
    bool trigger = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QByteArray &a = args[i];
        if (a == "-h" || a == "--help") {
            helpCom();
            return 0;
        }
        if (a == "--no-trigger") {
            trigger = false;
        } else if (a == "--rules-dir") {
            if (i + 1 >= args.size())
                usageError(com + ": --rules-dir needs a folder");
            rulesDir = args[++i];
        } else if (a.startsWith('-')) {
            usageError(com + ": unknown option: " + visible(a));
        } else {
            if (!device.isEmpty())
                usageError(com + ": one DEVICE only");
            device = a;
        }
    }
    if (device.isEmpty())
        usageError(com + ": which device? e.g. " + p + ' ' + com + " /dev/ttyUSB0 (see " + p + " check)");
    if (!isRoot() && (rulesDir.isEmpty() || trigger))
        die(com + ": changes the system's udev rules, so it must be run as root: sudo " + p + ' ' + com + ' '
            + visible(device));
    const QByteArray shownDir = rulesDir.isEmpty() ? QByteArray("/etc/udev/rules.d") : rulesDir;
    if (rulesDir.isEmpty())
        rulesDir = roots.rulesDir();

    const ComPort port = comPort(n, device, roots);
    if (!port.error.isEmpty())
        die(com + ": " + port.error);
    const QByteArray &name = port.name;
    const TtyInfo &info = port.info;
    const ComRule rule = comRule(name, info, roots);
    if (!rule.error.isEmpty())
        die(com + ": " + rule.error);
    const QByteArray what = describeTty(name, info, roots.sys);

    // No other number may name the same port.
    for (int m : comPortNumbers()) {
        const QByteArray otherRule = rulesDir + '/' + comRuleName(m);
        if (m != n && isRegular(otherRule) && readRegular(otherRule, 1 << 20).contains(comRuleLine(m, rule)))
            die(com + ": refused: /dev/" + name + " is COM" + num(m) + " already (" + shownDir + '/' + comRuleName(m)
                + "); give COM" + num(n) + " another port, or remove that file first");
    }

    if (!isDirectory(rulesDir))
        die(com + ": no such folder: " + shownDir);
    const QByteArray file = comRuleName(n);
    const QByteArray target = rulesDir + '/' + file;
    if (isLink(target) || (exists(target) && !isRegular(target)))
        die(com + ": " + shownDir + '/' + file
            + " is not a plain file (a link or something else): left as it is (remove it yourself if it should go)");
    const bool replaced = exists(target);
    if (replaced && !readRegular(target, 4096).startsWith("# Written by " + p))
        die(com + ": " + shownDir + '/' + file + " exists and was not written by " + p
            + ": left as it is (remove it yourself if it should go)");

    const QByteArray text = comRuleText(n, name, what, rule);
    const std::string temporary = writeTemporary(target, text);
    if (temporary.empty())
        die(com + ": cannot write into " + shownDir);
    QByteArray said;
    if (!verifyRule(text, file, &said)) {
        ::unlink(temporary.c_str());
        die(com + ": udev does not accept the rule written for /dev/" + name + ": " + visible(said)
            + "; nothing changed");
    }
    if (::chmod(temporary.c_str(), 0644) != 0 || ::rename(temporary.c_str(), target.constData()) != 0) {
        ::unlink(temporary.c_str());
        die(com + ": cannot write " + shownDir + '/' + file);
    }
    say((replaced ? "Replaced " : "Wrote ") + shownDir + '/' + file + ": COM" + num(n) + " is /dev/" + name + " ("
        + what + ").");
    if (rule.foundBy == FoundBy::Socket)
        say("This adapter " + rule.why + ", so the rule knows it by its USB socket (" + rule.socket + "): /dev/com"
            + num(n)
            + " follows the socket, not the adapter. Plug it always into the same socket, or run this command "
              "again after moving it.");

    if (!trigger) {
        say("udev not reloaded (--no-trigger).");
        return 0;
    }
    if (run(QStringLiteral("udevadm"), {QStringLiteral("control"), QStringLiteral("--reload")}).status != 0)
        die(com + ": udevadm control --reload failed");
    if (run(QStringLiteral("udevadm"),
            {QStringLiteral("trigger"), QStringLiteral("--action=change"), QStringLiteral("--subsystem-match=tty")})
            .status
        != 0)
        die(com + ": udevadm trigger failed");
    run(QStringLiteral("udevadm"), {QStringLiteral("settle"), QStringLiteral("--timeout=10")});
    const QByteArray link = roots.dev + "/com" + num(n);
    if (!exists(link)) {
        writeOut(stderr, p + ": /dev/com" + num(n)
                             + " did not appear: unplug the adapter and plug it in again, then: " + p + " check\n");
        return 1;
    }
    say("/dev/com" + num(n) + " -> " + visible(readLink(link)) + ": the loader's Com > Com" + num(n) + " opens it.");
    return 0;
}

// ---- lpt1 / lpt2 ----------------------------------------------------------------

// Runs a print-server command that changes something; its own words, if any,
// go to standard error made visible.
bool cupsChange(const QString &program, const QStringList &arguments)
{
    const Ran ran = cups(program, arguments, true);
    const QByteArray said = chomp(ran.output);
    if (!said.isEmpty()) {
        for (const QByteArray &line : said.split('\n'))
            writeOut(stderr, visible(line) + '\n');
    }
    return ran.status == 0;
}

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
    if (!cupsChange(QStringLiteral("lpadmin"), {QStringLiteral("-d"), arg(queue)}))
        die(lpt + ": cannot make " + queue + " the default printer");
    if (!cupsChange(QStringLiteral("cupsenable"), {arg(queue)}))
        die(lpt + ": cannot enable " + queue);
    if (!cupsChange(QStringLiteral("cupsaccept"), {arg(queue)}))
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
