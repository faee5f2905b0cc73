#pragma once
// A private print server (cupsd) for one test program, under a temporary folder.

#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Runs a cupsd of its own (configuration, socket, spool, logs and a ServerBin with
// the capture backend as "parallel", all under a temporary folder) through
// private-cupsd.sh, and points this process's libcups at it. Root is not needed.
//
// start() sets CUPS_SERVER to the server's socket in this process (and resets
// libcups's cached server name in the calling thread), points CUPS_SERVERROOT at an
// empty client folder so that no lpoptions or client.conf of the machine interferes,
// and removes LPDEST and PRINTER: the server's default is then the client's default.
// Call it before anything else in the thread uses libcups. Other threads that
// already used libcups must call cupsSetServer(nullptr) themselves.
//
// The server is killed together with this process if the process dies (parent-death
// signal), and stopped by the destructor, which also removes the folder.
class PrivateCupsServer {
public:
    PrivateCupsServer();
    ~PrivateCupsServer();
    PrivateCupsServer(const PrivateCupsServer &) = delete;
    PrivateCupsServer &operator=(const PrivateCupsServer &) = delete;

    // Which program answers as the parallel backend from the next start(): our capture
    // backend (the default), or the system's real one of cups-filters, which writes to
    // the device that the queue's URI names.
    enum class Backend { Capture, RealParallel };
    void setBackend(Backend backend) { backend_ = backend; }

    // Starts the server (again: queues added before survive a stop) and waits until it
    // answers requests. False with errorString() set when it cannot: a missing cupsd
    // names the Debian package cups-daemon.
    bool start();
    // Stops the server (SIGTERM, SIGKILL after 5 s) and waits until it has gone.
    void stop();
    // Kills the server at once (SIGKILL), as a crashing or vanishing server would go.
    void kill();
    bool isRunning() const;

    QString errorString() const { return error_; }
    QString folder() const { return dir_.path(); }
    QString socketPath() const;
    // The file the capture backend appends every job's bytes to.
    QString captureFile() const;
    // The server's error log, for failure messages.
    QString log() const;

    // Adds a raw queue (no driver) with ErrorPolicy abort-job that accepts jobs;
    // parallel:/dev/lp0 and parallel:/dev/lp1 reach the capture backend.
    // A missing lpadmin names the Debian package cups-client.
    bool addRawQueue(const QString &name, const QString &deviceUri, bool makeDefault);
    bool setDefault(const QString &name);
    // Leaves the server with no default destination. CUPS has no request for that:
    // the default queue is deleted and added again with the same device.
    bool clearDefault();
    // The queue refuses new jobs (cupsreject) / accepts them again (cupsaccept).
    bool rejectJobs(const QString &name);
    bool acceptJobs(const QString &name);
    // Cancels every job on the server (cancel -a).
    bool cancelAllJobs();

    // Empties the capture file (creating it if needed).
    bool clearCapture();
    QByteArray capture() const;
    // True once the server holds no pending or printing job; false on timeout or
    // when the server does not answer.
    bool waitForJobsDone(int timeoutMs = 10000);
    // True once the capture file holds at least size bytes; false on timeout.
    bool waitForCapture(qint64 size, int timeoutMs = 10000);

private:
    bool runTool(const QString &tool, const char *package, const QStringList &arguments);
    bool answers() const;
    QString error_;
    QTemporaryDir dir_;
    QProcess cupsd_;
    QMap<QString, QString> queues_;  // name -> device URI of the queues added here
    QString default_;
    Backend backend_ = Backend::Capture;
};
