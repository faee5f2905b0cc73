#pragma once
// The decoder simulator (tools/decoder-sim) as a child process of a test.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>

// The decoder simulator as a child process, followed through its status lines while
// the calling thread's events go on being processed (a window may live in that thread).
class DecoderSim {
public:
    DecoderSim();
    ~DecoderSim();
    DecoderSim(const DecoderSim &) = delete;
    DecoderSim &operator=(const DecoderSim &) = delete;

    // The simulator program's path.
    static QString program();
    // Starts decoder-sim with the arguments and waits for its "pty:" line. False when it
    // does not come within 5 s; diagnostics() then says why.
    bool start(const QStringList &arguments);
    // The slave path of the "pty:" line, empty before it came.
    QString ptyPath() const { return ptyPath_; }
    // Asks it to end with the signal and waits 5 s for it, then kills it. Returns its
    // exit code when it ended by itself, -1 when it had to be killed or crashed. Safe to
    // call twice.
    int stop(int number = SIGTERM);
    void signal(int number);
    bool running() const { return process_.state() == QProcess::Running; }
    // The first status line not yet taken that starts with prefix (earlier lines are
    // passed over and stay in statusLines()); empty when none comes within timeoutMs.
    QString waitForStatus(const QString &prefix, int timeoutMs = 5000);
    QStringList statusLines() const { return lines_; }
    // Status lines and the simulator's log, for failure messages.
    QString diagnostics();

private:
    void readLines();
    QProcess process_;
    QStringList lines_;
    int taken_ = 0;
    QByteArray partial_;
    QByteArray log_;
    QString ptyPath_;
};
