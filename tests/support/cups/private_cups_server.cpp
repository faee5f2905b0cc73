#include "private_cups_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <cups/cups.h>
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
    cupsd_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

PrivateCupsServer::~PrivateCupsServer()
{
    stop();
}

QString PrivateCupsServer::socketPath() const
{
    return dir_.filePath(QStringLiteral("cups.sock"));
}

QString PrivateCupsServer::captureFile() const
{
    return dir_.filePath(QStringLiteral("capture.bin"));
}

QString PrivateCupsServer::log() const
{
    return tail(dir_.filePath(QStringLiteral("log/cupsd.out")), 10) + QLatin1Char('\n')
           + tail(dir_.filePath(QStringLiteral("log/error_log")), 30);
}

bool PrivateCupsServer::isRunning() const
{
    return cupsd_.state() != QProcess::NotRunning;
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
    error_.clear();
    if (isRunning())
        return true;
    if (!dir_.isValid()) {
        error_ = QStringLiteral("cannot create a temporary folder: ") + dir_.errorString();
        return false;
    }
    if (findTool(QStringLiteral("cupsd")).isEmpty()) {
        error_ = QStringLiteral("cupsd not found: install the Debian package cups-daemon");
        return false;
    }
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (bash.isEmpty()) {
        error_ = QStringLiteral("bash not found: install the Debian package bash");
        return false;
    }

    const QString clientDir = dir_.filePath(QStringLiteral("client"));
    QDir().mkpath(clientDir);
    QDir().mkpath(dir_.filePath(QStringLiteral("log")));
    qputenv("CUPS_SERVER", QFile::encodeName(socketPath()));
    qputenv("CUPS_SERVERROOT", QFile::encodeName(clientDir));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
    cupsSetServer(nullptr);

    // A root server runs the real backend as lp, which must reach it through
    // the server's folder.
    if (backend_ == Backend::RealParallel)
        QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                               | QFileDevice::ExeGroup | QFileDevice::ExeOther);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LOADER_CAPTURE_PATH"), captureFile());
    env.insert(QStringLiteral("LOADER_CAPTURE_BACKEND"), QStringLiteral(LOADER_CAPTURE_BACKEND));
    env.insert(QStringLiteral("LOADER_CUPS_BACKEND"),
               backend_ == Backend::RealParallel ? QStringLiteral("real") : QStringLiteral("capture"));
    cupsd_.setProcessEnvironment(env);
    cupsd_.setProcessChannelMode(QProcess::MergedChannels);
    cupsd_.setStandardOutputFile(dir_.filePath(QStringLiteral("log/cupsd.out")), QIODevice::Append);
    cupsd_.start(bash, {QStringLiteral(LOADER_PRIVATE_CUPSD_SCRIPT), QStringLiteral("run"), dir_.path()});
    if (!cupsd_.waitForStarted(5000)) {
        error_ = QStringLiteral("cannot run private-cupsd.sh: ") + cupsd_.errorString();
        return false;
    }

    const QDeadlineTimer deadline(10000);
    while (!answers()) {
        if (!isRunning()) {
            error_ = QStringLiteral("cupsd ended at start-up:\n") + log();
            return false;
        }
        if (deadline.hasExpired()) {
            error_ = QStringLiteral("cupsd does not answer after 10 s:\n") + log();
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
    cupsd_.terminate();
    if (!cupsd_.waitForFinished(5000)) {
        cupsd_.kill();
        cupsd_.waitForFinished(2000);
    }
}

void PrivateCupsServer::kill()
{
    if (!isRunning())
        return;
    cupsd_.kill();
    cupsd_.waitForFinished(2000);
}

bool PrivateCupsServer::runTool(const QString &tool, const char *package, const QStringList &arguments)
{
    const QString path = findTool(tool);
    if (path.isEmpty()) {
        error_ = tool + QStringLiteral(" not found: install the Debian package ") + QLatin1String(package);
        return false;
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CUPS_SERVER"), socketPath());
    env.insert(QStringLiteral("CUPS_SERVERROOT"), dir_.filePath(QStringLiteral("client")));
    process.setProcessEnvironment(env);
    process.start(path, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error_ = tool + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(" failed: ")
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
    queues_.insert(name, deviceUri);
    return !makeDefault || setDefault(name);
}

bool PrivateCupsServer::setDefault(const QString &name)
{
    if (!runTool(QStringLiteral("lpadmin"), "cups-client", {QStringLiteral("-d"), name}))
        return false;
    default_ = name;
    return true;
}

bool PrivateCupsServer::clearDefault()
{
    if (default_.isEmpty())
        return true;
    const QString name = default_;
    if (!runTool(QStringLiteral("lpadmin"), "cups-client", {QStringLiteral("-x"), name}))
        return false;
    default_.clear();
    return addRawQueue(name, queues_.value(name), false);
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
