#include "private_cups_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cups/cups.h>
#include <csignal>
#include <sys/prctl.h>

namespace {

// Finds a program on PATH or in the administration folders, which a non-root PATH lacks.
QString findTool(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return path;
}

QString tail(const QString &path, int lines)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QStringList all = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    return all.mid(qMax(0, all.size() - lines)).join(QLatin1Char('\n'));
}

}  // namespace

PrivateCupsServer::PrivateCupsServer()
{
    // The server must not outlive a test program that crashes or is killed.
    m_cupsd.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

PrivateCupsServer::~PrivateCupsServer()
{
    stop();
}

QString PrivateCupsServer::socketPath() const
{
    return m_dir.filePath(QStringLiteral("cups.sock"));
}

QString PrivateCupsServer::captureFile() const
{
    return m_dir.filePath(QStringLiteral("capture.bin"));
}

QString PrivateCupsServer::log() const
{
    return tail(m_dir.filePath(QStringLiteral("log/cupsd.out")), 10) + QLatin1Char('\n')
        + tail(m_dir.filePath(QStringLiteral("log/error_log")), 30);
}

bool PrivateCupsServer::isRunning() const
{
    return m_cupsd.state() != QProcess::NotRunning;
}

bool PrivateCupsServer::answers() const
{
    http_t *http = httpConnect2(QFile::encodeName(socketPath()).constData(), 0, nullptr, AF_UNSPEC,
                                HTTP_ENCRYPTION_NEVER, 1, 500, nullptr);
    if (!http)
        return false;
    ipp_t *response = cupsDoRequest(http, ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), "/");
    const bool answered = response != nullptr;
    ippDelete(response);
    httpClose(http);
    return answered;
}

bool PrivateCupsServer::start()
{
    m_error.clear();
    if (isRunning())
        return true;
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder: ") + m_dir.errorString();
        return false;
    }
    if (findTool(QStringLiteral("cupsd")).isEmpty()) {
        m_error = QStringLiteral("cupsd not found: install the Debian package cups-daemon");
        return false;
    }
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (bash.isEmpty()) {
        m_error = QStringLiteral("bash not found: install the Debian package bash");
        return false;
    }

    const QString clientDir = m_dir.filePath(QStringLiteral("client"));
    QDir().mkpath(clientDir);
    QDir().mkpath(m_dir.filePath(QStringLiteral("log")));
    qputenv("CUPS_SERVER", QFile::encodeName(socketPath()));
    qputenv("CUPS_SERVERROOT", QFile::encodeName(clientDir));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
    cupsSetServer(nullptr);

    // A root server runs the real backend as lp, which must reach it through
    // the server's folder.
    if (m_backend == Backend::RealParallel)
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ExeGroup | QFileDevice::ExeOther);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LOADER_CAPTURE_PATH"), captureFile());
    env.insert(QStringLiteral("LOADER_CAPTURE_BACKEND"), QStringLiteral(LOADER_CAPTURE_BACKEND));
    env.insert(QStringLiteral("LOADER_CUPS_BACKEND"),
               m_backend == Backend::RealParallel ? QStringLiteral("real") : QStringLiteral("capture"));
    m_cupsd.setProcessEnvironment(env);
    m_cupsd.setProcessChannelMode(QProcess::MergedChannels);
    m_cupsd.setStandardOutputFile(m_dir.filePath(QStringLiteral("log/cupsd.out")), QIODevice::Append);
    m_cupsd.start(bash, {QStringLiteral(LOADER_PRIVATE_CUPSD_SCRIPT), QStringLiteral("run"), m_dir.path()});
    if (!m_cupsd.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot run private-cupsd.sh: ") + m_cupsd.errorString();
        return false;
    }

    const QDeadlineTimer deadline(10000);
    while (!answers()) {
        if (!isRunning()) {
            m_error = QStringLiteral("cupsd ended at start-up:\n") + log();
            return false;
        }
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("cupsd does not answer after 10 s:\n") + log();
            stop();
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

void PrivateCupsServer::stop()
{
    if (!isRunning())
        return;
    m_cupsd.terminate();
    if (!m_cupsd.waitForFinished(5000)) {
        m_cupsd.kill();
        m_cupsd.waitForFinished(2000);
    }
}

void PrivateCupsServer::kill()
{
    if (!isRunning())
        return;
    m_cupsd.kill();
    m_cupsd.waitForFinished(2000);
}

bool PrivateCupsServer::runTool(const QString &tool, const char *package, const QStringList &arguments)
{
    const QString path = findTool(tool);
    if (path.isEmpty()) {
        m_error = tool + QStringLiteral(" not found: install the Debian package ") + QLatin1String(package);
        return false;
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CUPS_SERVER"), socketPath());
    env.insert(QStringLiteral("CUPS_SERVERROOT"), m_dir.filePath(QStringLiteral("client")));
    process.setProcessEnvironment(env);
    process.start(path, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        m_error = tool + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(" failed: ")
            + QString::fromLocal8Bit(process.readAllStandardError()) + process.errorString();
        return false;
    }
    return true;
}

bool PrivateCupsServer::addRawQueue(const QString &name, const QString &deviceUri, bool makeDefault)
{
    // No model (-m): the queue is raw, its jobs reach the backend untouched.
    if (!runTool(QStringLiteral("lpadmin"), "cups-client",
                 {QStringLiteral("-p"), name, QStringLiteral("-v"), deviceUri, QStringLiteral("-E"),
                  QStringLiteral("-o"), QStringLiteral("printer-error-policy=abort-job")}))
        return false;
    m_queues.insert(name, deviceUri);
    return !makeDefault || setDefault(name);
}

bool PrivateCupsServer::setDefault(const QString &name)
{
    if (!runTool(QStringLiteral("lpadmin"), "cups-client", {QStringLiteral("-d"), name}))
        return false;
    m_default = name;
    return true;
}

bool PrivateCupsServer::clearDefault()
{
    if (m_default.isEmpty())
        return true;
    const QString name = m_default;
    if (!runTool(QStringLiteral("lpadmin"), "cups-client", {QStringLiteral("-x"), name}))
        return false;
    m_default.clear();
    return addRawQueue(name, m_queues.value(name), false);
}

bool PrivateCupsServer::rejectJobs(const QString &name)
{
    return runTool(QStringLiteral("cupsreject"), "cups-client", {name});
}

bool PrivateCupsServer::acceptJobs(const QString &name)
{
    return runTool(QStringLiteral("cupsaccept"), "cups-client", {name});
}

bool PrivateCupsServer::cancelAllJobs()
{
    return runTool(QStringLiteral("cancel"), "cups-client", {QStringLiteral("-a")});
}

bool PrivateCupsServer::clearCapture()
{
    QFile file(captureFile());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

QByteArray PrivateCupsServer::capture() const
{
    QFile file(captureFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PrivateCupsServer::waitForJobsDone(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        http_t *http = httpConnect2(QFile::encodeName(socketPath()).constData(), 0, nullptr, AF_UNSPEC,
                                    HTTP_ENCRYPTION_NEVER, 1, 500, nullptr);
        if (!http)
            return false;
        cups_job_t *jobs = nullptr;
        const int active = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ACTIVE);
        cupsFreeJobs(qMax(active, 0), jobs);
        httpClose(http);
        if (active == 0)
            return true;
        if (active < 0 || deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
}

bool PrivateCupsServer::waitForCapture(qint64 size, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (QFileInfo(captureFile()).size() < size) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}
