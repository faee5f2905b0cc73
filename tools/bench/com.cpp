// com1, com2: a udev rule that gives one serial port the number.

#include "bench_commands.h"
#include "bench_system.h"

#include "common/safe_save.h"
#include "common/write_all.h"
#include "spy/serial_ports.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

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
    const bool written = fd >= 0 && writeAll(fd, text.constData(), size_t(text.size())) == 0;
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
    const bool written = writeAll(fd, text.constData(), size_t(text.size())) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.c_str());
        return std::string();
    }
    return temporary;
}

}  // namespace

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
    RunOptions showErrors;
    showErrors.mergeErrors = true;
    if (!showingErrors(
            run(QStringLiteral("udevadm"), {QStringLiteral("control"), QStringLiteral("--reload")}, showErrors)))
        die(com + ": udevadm control --reload failed");
    if (!showingErrors(
            run(QStringLiteral("udevadm"),
                {QStringLiteral("trigger"), QStringLiteral("--action=change"), QStringLiteral("--subsystem-match=tty")},
                showErrors)))
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

}  // namespace bench
