#include "decoder_sim_process.h"

#include <QTest>

DecoderSim::DecoderSim()
{
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_log += m_process.readAllStandardError(); });
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
    m_process.start(program(), arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    m_ptyPath = waitForStatus(QStringLiteral("pty: "), 5000).mid(5);
    return !m_ptyPath.isEmpty();
}

int DecoderSim::stop(int number)
{
    if (m_process.state() != QProcess::NotRunning) {
        signal(number);
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void DecoderSim::signal(int number)
{
    if (m_process.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(m_process.processId()), number);
}

void DecoderSim::readLines()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(end)).trimmed();
        m_partial.remove(0, end + 1);
    }
}

QString DecoderSim::waitForStatus(const QString &prefix, int timeoutMs)
{
    QString found;
    auto look = [&] {
        readLines();
        for (int i = m_taken; i < m_lines.size(); ++i) {
            if (m_lines[i].startsWith(prefix)) {
                m_taken = i + 1;
                found = m_lines[i];
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
    m_log += m_process.readAllStandardError();
    return QStringLiteral("decoder-sim status:\n  ") + m_lines.join(QStringLiteral("\n  "))
        + QStringLiteral("\ndecoder-sim log:\n") + QString::fromLocal8Bit(m_log.right(3000));
}
