#include "convert/process_starter.h"

#include <QPointer>
#include <QProcess>

#include <cstring>
#include <unistd.h>

namespace {

QString signalName(int signal)
{
    const char *name = strsignal(signal);
    return name ? QString::fromLocal8Bit(name) : QStringLiteral("signal %1").arg(signal);
}

class QtProcessStarter final : public ProcessStarter {
public:
    void start(const QString &program, const QStringList &arguments, QObject *context,
               std::function<void(const ProcessOutcome &)> onOutcome) override
    {
        // The process object has no parent: a QProcess kills its child when it
        // is destroyed, and a conversion must run on to its end even when the
        // window closes first. It deletes itself once the program has ended.
        auto *process = new QProcess;
        process->setProgram(program);
        process->setArguments(arguments);
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        // A session of its own: closing the terminal that started the loader
        // must not hang up a conversion in progress.
        process->setChildProcessModifier([] { ::setsid(); });

        QPointer<QObject> receiver(context);
        auto deliver = [receiver, onOutcome](const ProcessOutcome &outcome) {
            if (receiver && onOutcome)
                onOutcome(outcome);
        };

        QObject::connect(process, &QProcess::errorOccurred, process, [process, deliver](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            ProcessOutcome outcome;
            outcome.kind = ProcessOutcome::Kind::NotStarted;
            outcome.detail = process->errorString();
            process->deleteLater();
            deliver(outcome);
        });
        QObject::connect(process, &QProcess::finished, process,
                         [process, deliver](int exitCode, QProcess::ExitStatus status) {
                             ProcessOutcome outcome;
                             outcome.exitCode = exitCode;
                             if (status == QProcess::CrashExit) {
                                 outcome.kind = ProcessOutcome::Kind::Crashed;
                                 // On Unix a crashed child's exit code is the signal that ended it.
                                 outcome.detail = signalName(exitCode);
                             } else if (exitCode != 0) {
                                 outcome.kind = ProcessOutcome::Kind::Failed;
                                 outcome.detail = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
                             } else {
                                 outcome.kind = ProcessOutcome::Kind::Succeeded;
                                 // Warnings of a program that did its work.
                                 outcome.detail = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
                             }
                             process->deleteLater();
                             deliver(outcome);
                         });
        process->start();
    }
};

}  // namespace

std::unique_ptr<ProcessStarter> makeProcessStarter()
{
    return std::make_unique<QtProcessStarter>();
}
