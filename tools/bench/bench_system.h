#pragma once
// What the bench program's commands share: its messages, the outside
// programs it runs (always with an argument list, never through a shell), the
// print server's answers, and the user the check is for.

#include "bench_rules.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <pwd.h>

namespace bench {

// The roots read and changed (the system's, or a test's fixture trees).
extern Roots roots;
// Seconds to wait for the print server, as given and in milliseconds.
extern QByteArray cupsWaitText;
extern int cupsWaitMs;

// ---- messages ----
void writeOut(FILE *stream, const QByteArray &text);
// A line on standard output.
void say(const QByteArray &line);
// "load_qx7100-bench: MESSAGE" on standard error, exit status 1.
[[noreturn]] void die(const QByteArray &message);
// The same with a pointer to --help, exit status 2.
[[noreturn]] void usageError(const QByteArray &message);
QByteArray num(qint64 value);
bool isRoot();
QByteArray env(const char *name);

// ---- outside programs ----
bool haveProgram(const QString &name);
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
Ran run(const QString &program, const QStringList &arguments, const RunOptions &options = {});
// A print-server client, bounded in time.
Ran cups(const QString &program, const QStringList &arguments, bool mergeErrors = false);
// Shows what a program that changes something said (standard output and error
// run together), if anything, on standard error made visible; true when it succeeded.
bool showingErrors(const Ran &ran);
// The output as the shell's $(...) gives it: trailing line breaks dropped.
QByteArray chomp(QByteArray text);
// The rest of the first line of text that starts with prefix (compared as
// text, never as a pattern: a queue's name may hold any character).
QByteArray afterPrefix(const QByteArray &text, const QByteArray &prefix, bool *found = nullptr);
bool hasPrefix(const QByteArray &text, const QByteArray &prefix);
// A program argument from raw bytes.
QString arg(const QByteArray &bytes);

enum class ServerState { Running, Stopped, Silent };
// Whether the print server runs and answers.
ServerState serverState();
// The server's default destination, without any user's or environment's override.
QByteArray serverDefault();
QByteArray queueUri(const QByteArray &queue);
QByteArray queueInfo(const QByteArray &queue);
// Advice that fits the machine: how to start or restart a service.
bool hasSystemd();
QByteArray serviceFix(const QByteArray &action, const QByteArray &service);

// ---- the invoking user ----
struct User {
    QByteArray name;  // empty: none known (root alone)
    QByteArray home;
    bool self = false;  // that user runs this program: its session's groups and environment count
};
// The passwd entry of a name, or of a number as id(1) takes it.
const passwd *findUser(const QByteArray &name);
// The user named by option, else the one who ran sudo or pkexec, else the one running this program.
User findInvokingUser(const QByteArray &option);
// The groups the system gives the user at log-in.
QByteArrayList knownGroups(const passwd *pw);
// The groups of this process's session.
QByteArrayList sessionGroups();

}  // namespace bench
