// The raw-print library against a private print server: images arrive unchanged,
// every failure gives its own code, and a failed send never prints a partial image.

#include "binprn32.h"
#include "binprn32_io.h"
#include "private_cups_server.h"
#include "silent_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLibrary>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>

namespace {

const QString Queue = QStringLiteral("qx7100");

using SendFunction = int16_t (*)(const char *);
using NameFunction = int32_t (*)(char *);
using SendJobFunction = int16_t (*)(const char *, int32_t *);

// The fault that the seam injects into an otherwise real send.
enum class Fault { CannotOpen, ReadFailsMidway, ServerGoesAway, ServerFailsAtEnd };

struct Seam {
    Fault fault;
    PrivateCupsServer *server;
    int reads = 0;
    int writes = 0;
};

int seamOpen(void *context, const char *path)
{
    auto *seam = static_cast<Seam *>(context);
    if (seam->fault == Fault::CannotOpen) {
        errno = EACCES;
        return -1;
    }
    return binprn32_system_io.open_file(nullptr, path);
}

ssize_t seamRead(void *context, int fd, void *buffer, size_t size)
{
    auto *seam = static_cast<Seam *>(context);
    // The first read fills the first chunk; the second one fails after the job exists.
    if (seam->fault == Fault::ReadFailsMidway && ++seam->reads == 2) {
        errno = EIO;
        return -1;
    }
    return binprn32_system_io.read_file(nullptr, fd, buffer, size);
}

http_status_t seamWrite(void *context, http_t *http, const char *buffer, size_t length)
{
    auto *seam = static_cast<Seam *>(context);
    if (seam->fault == Fault::ServerGoesAway && ++seam->writes == 2)
        seam->server->kill();
    return binprn32_system_io.write_data(nullptr, http, buffer, length);
}

ipp_status_t seamFinish(void *context, http_t *http, const char *destination)
{
    auto *seam = static_cast<Seam *>(context);
    if (seam->fault == Fault::ServerFailsAtEnd)
        return IPP_STATUS_ERROR_INTERNAL;
    return binprn32_system_io.finish_document(nullptr, http, destination);
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(20260705);
    rng.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

}  // namespace

Q_DECLARE_METATYPE(Fault)

class TestBinprn32 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void exportsOnlyItsInterface();
    void getDefPrinterNameWritesNothing();
    void sendsImageUnchanged_data();
    void sendsImageUnchanged();
    void failureCodes_data();
    void failureCodes();
    void seamFailureCodes_data();
    void seamFailureCodes();
    void reportsTheJobItCreated();
    void silentServerIsGivenUp();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);

    PrivateCupsServer server_;
    QTemporaryDir files_;
    QLibrary library_{QStringLiteral(LOADER_BINPRN32_PATH)};
    SendFunction send_ = nullptr;
    NameFunction name_ = nullptr;
    SendJobFunction sendJob_ = nullptr;
};

QString TestBinprn32::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = files_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

void TestBinprn32::initTestCase()
{
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    QVERIFY2(server_.addRawQueue(Queue, QStringLiteral("parallel:/dev/lp0"), true), qPrintable(server_.errorString()));
    QVERIFY(files_.isValid());
    QVERIFY2(library_.load(), qPrintable(library_.errorString()));
    send_ = reinterpret_cast<SendFunction>(library_.resolve("vbSendPrnToDefPrinter"));
    name_ = reinterpret_cast<NameFunction>(library_.resolve("vbGetDefPrinterName"));
    sendJob_ = reinterpret_cast<SendJobFunction>(library_.resolve("vbSendPrnToDefPrinterJob"));
    QVERIFY(send_ && name_ && sendJob_);
}

// Every test starts with a running server whose accepting default queue is ours.
void TestBinprn32::init()
{
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    QVERIFY2(server_.setDefault(Queue), qPrintable(server_.errorString()));
    QVERIFY2(server_.acceptJobs(Queue), qPrintable(server_.errorString()));
    QVERIFY(server_.waitForJobsDone());
    QVERIFY(server_.clearCapture());
}

void TestBinprn32::exportsOnlyItsInterface()
{
    QVERIFY(!library_.resolve("binprn32_send_to_default"));
    QVERIFY(!library_.resolve("binprn32_system_io"));
}

void TestBinprn32::getDefPrinterNameWritesNothing()
{
    char text[4] = {'\0', 'x', 'y', 'z'};
    QCOMPARE(name_(text), 0);
    QCOMPARE(QByteArray(text, 4), QByteArray("\0xyz", 4));
    QCOMPARE(name_(nullptr), 0);
}

void TestBinprn32::sendsImageUnchanged_data()
{
    QTest::addColumn<QByteArray>("image");

    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte.append(char(i));
    for (int i = 255; i >= 0; --i)
        everyByte.append(char(i));
    QTest::newRow("all 256 byte values") << everyByte;
    QTest::newRow("one byte") << QByteArray(1, '\x1b');
    QTest::newRow("exactly one chunk") << randomBytes(BINPRN32_CHUNK_SIZE);
    QTest::newRow("one chunk and a byte") << randomBytes(BINPRN32_CHUNK_SIZE + 1);
    QTest::newRow("16 MiB random") << randomBytes(16 * 1024 * 1024);
}

void TestBinprn32::sendsImageUnchanged()
{
    QFETCH(QByteArray, image);
    const QString path = writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());

    QCOMPARE(send_(QFile::encodeName(path).constData()), int16_t(BINPRN32_OK));

    QVERIFY2(server_.waitForJobsDone(30000), qPrintable(server_.log()));
    const QByteArray captured = server_.capture();
    QCOMPARE(captured.size(), image.size());
    QVERIFY(captured == image);
}

void TestBinprn32::failureCodes_data()
{
    QTest::addColumn<QString>("file");       // image, missing, dir, empty, or a path as it stands
    QTest::addColumn<QString>("condition");  // of the server: ok, stopped, nodefault, rejecting
    QTest::addColumn<int>("code");

    QTest::newRow("no print server") << "image"
                                     << "stopped" << BINPRN32_ERR_NO_SERVER;
    QTest::newRow("no default destination") << "image"
                                            << "nodefault" << BINPRN32_ERR_NO_DEFAULT;
    QTest::newRow("missing file") << "missing"
                                  << "ok" << BINPRN32_ERR_FILE_MISSING;
    QTest::newRow("empty path") << ""
                                << "ok" << BINPRN32_ERR_FILE_MISSING;
    QTest::newRow("directory") << "dir"
                               << "ok" << BINPRN32_ERR_NOT_REGULAR;
    QTest::newRow("empty file") << "empty"
                                << "ok" << BINPRN32_ERR_EMPTY;
    QTest::newRow("read error") << "/proc/self/mem"
                                << "ok" << BINPRN32_ERR_READ;
    QTest::newRow("queue rejecting jobs") << "image"
                                          << "rejecting" << BINPRN32_ERR_JOB_REFUSED;
    // A bad file is reported as such even when no server could take it.
    QTest::newRow("missing file, no server") << "missing"
                                             << "stopped" << BINPRN32_ERR_FILE_MISSING;
}

void TestBinprn32::failureCodes()
{
    QFETCH(QString, file);
    QFETCH(QString, condition);
    QFETCH(int, code);

    QString path = file;
    if (file == QLatin1String("image"))
        path = writeFile(QStringLiteral("image.bin"), randomBytes(100000));
    else if (file == QLatin1String("missing"))
        path = files_.filePath(QStringLiteral("no such image.bin"));
    else if (file == QLatin1String("dir"))
        path = files_.path();
    else if (file == QLatin1String("empty"))
        path = writeFile(QStringLiteral("empty.bin"), {});

    if (condition == QLatin1String("stopped"))
        server_.stop();
    else if (condition == QLatin1String("nodefault"))
        QVERIFY2(server_.clearDefault(), qPrintable(server_.errorString()));
    else if (condition == QLatin1String("rejecting"))
        QVERIFY2(server_.rejectJobs(Queue), qPrintable(server_.errorString()));

    QCOMPARE(int(send_(QFile::encodeName(path).constData())), code);

    // Nothing reached the printer, and no job was left behind.
    if (server_.isRunning())
        QVERIFY(server_.waitForJobsDone());
    QVERIFY(server_.capture().isEmpty());
}

void TestBinprn32::seamFailureCodes_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("code");

    QTest::newRow("file cannot be opened") << Fault::CannotOpen << BINPRN32_ERR_CANNOT_OPEN;
    QTest::newRow("read error after the first chunk") << Fault::ReadFailsMidway << BINPRN32_ERR_READ;
    QTest::newRow("server goes away mid-send") << Fault::ServerGoesAway << BINPRN32_ERR_NOT_ACCEPTED;
    QTest::newRow("server fails the document") << Fault::ServerFailsAtEnd << BINPRN32_ERR_NOT_ACCEPTED;
}

void TestBinprn32::seamFailureCodes()
{
    QFETCH(Fault, fault);
    QFETCH(int, code);
    const QString path = writeFile(QStringLiteral("image.bin"), randomBytes(4 * BINPRN32_CHUNK_SIZE));
    QVERIFY(!path.isEmpty());

    // libcups ignores SIGPIPE process-wide at its first use; a program may have restored
    // it since, and a server going away must still not end the program.
    std::signal(SIGPIPE, SIG_DFL);
    Seam seam{fault, &server_};
    const binprn32_io io{&seam, seamOpen, seamRead, seamWrite, seamFinish};
    QCOMPARE(int(binprn32_send_to_default(&io, QFile::encodeName(path).constData(), nullptr)), code);

    // The half-sent job is cancelled: no partial image ever prints. A server that went
    // away could not be told; restarted, it keeps the job without its document, pending.
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    if (fault == Fault::ServerGoesAway)
        QVERIFY2(server_.cancelAllJobs(), qPrintable(server_.errorString()));
    QVERIFY2(server_.waitForJobsDone(), qPrintable(server_.log()));
    QVERIFY(server_.capture().isEmpty());
}

// The number given back is the job the server holds the image under; a failed
// send gives 0 and the same code as vbSendPrnToDefPrinter.
void TestBinprn32::reportsTheJobItCreated()
{
    const QString path = writeFile(QStringLiteral("image.bin"), randomBytes(300000));
    int32_t job = -1;
    QCOMPARE(sendJob_(QFile::encodeName(path).constData(), &job), int16_t(BINPRN32_OK));
    QVERIFY(job > 0);
    QVERIFY(server_.waitForJobsDone(30000));
    cups_job_t *jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 0, CUPS_WHICHJOBS_COMPLETED);
    bool found = false;
    for (int i = 0; i < n; ++i)
        found = found || (jobs[i].id == job && QByteArray(jobs[i].dest) == Queue.toUtf8() && jobs[i].size > 0);
    cupsFreeJobs(qMax(n, 0), jobs);
    QVERIFY2(found, "the job is not in the server's history");
    QCOMPARE(server_.capture().size(), 300000);

    job = -1;
    QCOMPARE(sendJob_(QFile::encodeName(files_.filePath(QStringLiteral("none.bin"))).constData(), &job),
             int16_t(BINPRN32_ERR_FILE_MISSING));
    QCOMPARE(job, 0);
    QCOMPARE(sendJob_(QFile::encodeName(path).constData(), nullptr), int16_t(BINPRN32_OK));
}

// A server that accepts the connection and never answers holds the send about
// three seconds, not the 30 s of a stalled document.
void TestBinprn32::silentServerIsGivenUp()
{
    const QString socket = files_.filePath(QStringLiteral("silent.sock"));
    SilentServer silent(socket);
    QVERIFY(silent.isListening());
    const QByteArray saved = qgetenv("CUPS_SERVER");
    qputenv("CUPS_SERVER", QFile::encodeName(socket));
    cupsSetServer(nullptr);
    const QString path = writeFile(QStringLiteral("image.bin"), randomBytes(1000));
    QElapsedTimer timer;
    timer.start();
    int32_t job = -1;
    const int16_t code = sendJob_(QFile::encodeName(path).constData(), &job);
    const qint64 took = timer.elapsed();
    qputenv("CUPS_SERVER", saved);
    cupsSetServer(nullptr);
    QCOMPARE(code, int16_t(BINPRN32_ERR_NO_SERVER));
    QCOMPARE(job, 0);
    QVERIFY(silent.connections() > 0);
    qInfo("given up after %lld ms", took);
    QVERIFY2(took < 10000, qPrintable(QString::number(took)));
}

QTEST_GUILESS_MAIN(TestBinprn32)
#include "tst_binprn32.moc"
