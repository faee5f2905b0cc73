#include "bench_system.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <grp.h>
#include <unistd.h>

namespace bench {

Roots roots;
QByteArray cupsWaitText = "5";
int cupsWaitMs = 5000;

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

// Runs program with arguments, no shell between. A print-server client's HOME
// is a folder that cannot exist: the clients read ~/.cups/lpoptions and
// ~/.cups/client.conf, which a user may have made a FIFO or a link to a device.
Ran run(const QString &program, const QStringList &arguments, const RunOptions &options)
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
Ran cups(const QString &program, const QStringList &arguments, bool mergeErrors)
{
    RunOptions options;
    options.timeoutMs = cupsWaitMs;
    options.printServer = true;
    options.mergeErrors = mergeErrors;
    return run(program, arguments, options);
}

// The output as the shell's $(...) gives it: trailing line breaks dropped.
bool showingErrors(const Ran &ran)
{
    const QByteArray said = chomp(ran.output);
    if (!said.isEmpty()) {
        for (const QByteArray &line : said.split('\n'))
            writeOut(stderr, visible(line) + '\n');
    }
    return ran.status == 0;
}

QByteArray chomp(QByteArray text)
{
    while (text.endsWith('\n'))
        text.chop(1);
    return text;
}

// The rest of the first line of text that starts with prefix (compared as
// text, never as a pattern: a queue's name may hold any character).
QByteArray afterPrefix(const QByteArray &text, const QByteArray &prefix, bool *found)
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

}  // namespace bench
