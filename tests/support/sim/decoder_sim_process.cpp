#include "decoder_sim_process.h"

#include <QTest>

DecoderSim::DecoderSim()
{
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { readLines(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { log_ += process_.readAllStandardError(); });
}

DecoderSim::~DecoderSim()
{
    stop();
}

QString DecoderSim::program()
{
    return QStringLiteral(DECODER_SIM);
}

bool DecoderSim::start(const QStringList &arguments)
{
    process_.start(program(), arguments);
    if (!process_.waitForStarted(5000))
        return false;
    ptyPath_ = waitForStatus(QStringLiteral("pty: "), 5000).mid(5);
    return !ptyPath_.isEmpty();
}

int DecoderSim::stop(int number)
{
    if (process_.state() != QProcess::NotRunning) {
        signal(number);
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

void DecoderSim::signal(int number)
{
    if (process_.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(process_.processId()), number);
}

void DecoderSim::readLines()
{
    partial_ += process_.readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(partial_.left(end)).trimmed();
        partial_.remove(0, end + 1);
    }
}

QString DecoderSim::waitForStatus(const QString &prefix, int timeoutMs)
{
    QString found;
    auto look = [&] {
        readLines();
        for (int i = taken_; i < lines_.size(); ++i) {
            if (lines_[i].startsWith(prefix)) {
                taken_ = i + 1;
                found = lines_[i];
                return true;
            }
        }
        return false;
    };
    if (!QTest::qWaitFor(look, timeoutMs))
        return {};
    return found;
}

QString DecoderSim::diagnostics()
{
    readLines();
    log_ += process_.readAllStandardError();
    return QStringLiteral("decoder-sim status:\n  ") + lines_.join(QStringLiteral("\n  "))
           + QStringLiteral("\ndecoder-sim log:\n") + QString::fromLocal8Bit(log_.right(3000));
}
