#pragma once
// Starting an outside program without waiting for it, behind an interface so
// that tests can record the start and play the program's outcome.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QObject;

struct ProcessOutcome {
    enum class Kind {
        NotStarted,  // the program could not be started; detail is the reason
        Failed,      // it ended with a nonzero exit code; detail is its own message
        Crashed,     // it was stopped by a signal or crashed; detail is the reason
        Succeeded,   // it ended with exit code 0; detail is what it said on standard error, if anything
    };
    Kind kind = Kind::Succeeded;
    int exitCode = 0;
    QString detail;
};

class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    // Starts program with the arguments as they stand (no shell, no splitting
    // at blanks) and returns at once. onOutcome runs later on the caller's
    // thread, once the program's fate is known, unless the window is gone.
    virtual void start(const QString &program, const QStringList &arguments, QObject *context,
                       std::function<void(const ProcessOutcome &)> onOutcome) = 0;
};

// Real processes, with QProcess. A program still running when the loader ends
// runs on to its end.
std::unique_ptr<ProcessStarter> makeProcessStarter();
