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
#include <functional>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Queue = QStringLiteral("qx7100");

using SendFunction = int16_t (*)(const char *);
using NameFunction = int32_t (*)(char *);
using SendJobFunction = int16_t (*)(const char *, int32_t *);
using SendJob2Function = int16_t (*)(const char *, int32_t *, int64_t *);

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

// File operations with a test's own steps around the real ones: between the check of
// the path and its open, and after each read of the document.
struct FileSeam {
    std::function<void(const char *path)> beforeOpen;
    std::function<void(int reads)> beforeRead;  // reads done so far
    std::function<void(int reads)> afterRead;
    int reads = 0;
    qint64 bytesRead = 0;
    qint64 readLimit = -1;  // a read beyond this many bytes fails (a file that would stream for ever)
};

int fileSeamOpen(void *context, const char *path)
{
    auto *seam = static_cast<FileSeam *>(context);
    if (seam->beforeOpen)
        seam->beforeOpen(path);
    return binprn32_system_io.open_file(nullptr, path);
}

ssize_t fileSeamRead(void *context, int fd, void *buffer, size_t size)
{
    auto *seam = static_cast<FileSeam *>(context);
    if (seam->readLimit >= 0 && seam->bytesRead > seam->readLimit) {
        errno = EIO;
        return -1;
    }
    if (seam->beforeRead)
        seam->beforeRead(seam->reads);
    const ssize_t n = binprn32_system_io.read_file(nullptr, fd, buffer, size);
    if (n > 0)
        seam->bytesRead += n;
    ++seam->reads;
    if (seam->afterRead)
        seam->afterRead(seam->reads);
    return n;
}

const binprn32_io *fileSeamIo(FileSeam *seam)
{
    static binprn32_io io;
    io = binprn32_system_io;
    io.context = seam;
    io.open_file = fileSeamOpen;
    io.read_file = fileSeamRead;
    return &io;
}

// Points this thread's libcups at a scripted server for the scope's lifetime.
class ScriptedScope {
public:
    explicit ScriptedScope(const QString &socket) : saved_(qgetenv("CUPS_SERVER"))
    {
        qputenv("CUPS_SERVER", QFile::encodeName(socket));
        cupsSetServer(nullptr);
    }
    ~ScriptedScope()
    {
        qputenv("CUPS_SERVER", saved_);
        cupsSetServer(nullptr);
    }
    ScriptedScope(const ScriptedScope &) = delete;
    ScriptedScope &operator=(const ScriptedScope &) = delete;

private:
    QByteArray saved_;
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(20260705);
    rng.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

}  // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(PrintServerScript::Answer)

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
    void documentNeedsTheServersAnswer_data();
    void documentNeedsTheServersAnswer();
    void answersInParts_data();
    void answersInParts();
    void fileChangingDuringTheSend_data();
    void fileChangingDuringTheSend();
    void swappedInBetweenCheckAndOpen_data();
    void swappedInBetweenCheckAndOpen();
    void reportedSizeZeroIsEmpty();
    void jobNameFromAnyFileName_data();
    void jobNameFromAnyFileName();
    void nonUtf8NameIsSent();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);

    PrivateCupsServer server_;
    QTemporaryDir files_;
    QLibrary library_{QStringLiteral(LOADER_BINPRN32_PATH)};
    SendFunction send_ = nullptr;
    NameFunction name_ = nullptr;
    SendJobFunction sendJob_ = nullptr;
    SendJob2Function sendJob2_ = nullptr;
};

QString TestBinprn32::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = files_.filePath(name);
    QFile::remove(path);
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
    sendJob2_ = reinterpret_cast<SendJob2Function>(library_.resolve("vbSendPrnToDefPrinterJob2"));
    QVERIFY(send_ && name_ && sendJob_ && sendJob2_);
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
    // Its size is 0, whatever reading it would give.
    QTest::newRow("file of reported size 0") << "/proc/self/mem"
                                             << "ok" << BINPRN32_ERR_EMPTY;
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
    QCOMPARE(int(binprn32_send_to_default(&io, QFile::encodeName(path).constData(), nullptr, nullptr)), code);

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

    // The count of bytes sent is the library's own: the file's size at the open.
    int64_t bytes = -1;
    job = -1;
    QVERIFY(server_.waitForJobsDone(30000));
    server_.clearCapture();
    QCOMPARE(sendJob2_(QFile::encodeName(path).constData(), &job, &bytes), int16_t(BINPRN32_OK));
    QVERIFY(job > 0);
    QCOMPARE(bytes, int64_t(300000));
    QVERIFY(server_.waitForJobsDone(30000));
    QCOMPARE(server_.capture().size(), 300000);
    QCOMPARE(sendJob2_(QFile::encodeName(files_.filePath(QStringLiteral("none.bin"))).constData(), &job, &bytes),
             int16_t(BINPRN32_ERR_FILE_MISSING));
    QCOMPARE(job, 0);
    QCOMPARE(bytes, int64_t(0));
    QCOMPARE(sendJob2_(QFile::encodeName(path).constData(), nullptr, nullptr), int16_t(BINPRN32_OK));
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

// Success is the server's answer to the document: a server that takes every byte
// and then closes, stays silent or answers too late has not accepted the image, and
// the call ends within the stall limit after the last byte.
void TestBinprn32::documentNeedsTheServersAnswer_data()
{
    QTest::addColumn<PrintServerScript::Answer>("answer");
    QTest::addColumn<int>("slowMs");
    QTest::addColumn<int>("code");

    using A = PrintServerScript::Answer;
    QTest::newRow("answered") << A::Normally << 0 << BINPRN32_OK;
    QTest::newRow("answered after 1 s") << A::Slowly << 1000 << BINPRN32_OK;
    QTest::newRow("refused") << A::Fail << 0 << BINPRN32_ERR_NOT_ACCEPTED;
    QTest::newRow("closed after the document") << A::Close << 0 << BINPRN32_ERR_NOT_ACCEPTED;
    QTest::newRow("silent after the document") << A::Never << 0 << BINPRN32_ERR_NOT_ACCEPTED;
    QTest::newRow("answered after 20 s") << A::Slowly << 20000 << BINPRN32_ERR_NOT_ACCEPTED;
}

void TestBinprn32::documentNeedsTheServersAnswer()
{
    QFETCH(PrintServerScript::Answer, answer);
    QFETCH(int, slowMs);
    QFETCH(int, code);

    PrintServerScript script;
    script.document = answer;
    script.slowMs = slowMs;
    ScriptedPrintServer scripted(files_.filePath(QStringLiteral("scripted.sock")), script);
    QVERIFY(scripted.isListening());
    const QByteArray image = randomBytes(3 * BINPRN32_CHUNK_SIZE + 17);
    const QString path = writeFile(QStringLiteral("image.bin"), image);

    int32_t job = -1;
    QElapsedTimer timer;
    timer.start();
    int16_t result;
    {
        ScriptedScope scope(files_.filePath(QStringLiteral("scripted.sock")));
        result = sendJob_(QFile::encodeName(path).constData(), &job);
    }
    const qint64 took = timer.elapsed();
    qInfo("answered with %d after %lld ms", int(result), took);

    QCOMPARE(int(result), code);
    QCOMPARE(scripted.documents().size(), 1);
    QVERIFY(scripted.documents().first() == image);
    QVERIFY2(took < BINPRN32_STALL_TIMEOUT_MS + 2000, qPrintable(QString::number(took)));
    if (code == BINPRN32_OK) {
        QCOMPARE(job, 7);
        QVERIFY(scripted.cancelledJobs().isEmpty());
    } else {
        QCOMPARE(job, 0);
        QCOMPARE(scripted.cancelledJobs(), QList<int>{7});
    }
}

// A busy server's answer may come in parts, its IPP body a while after its HTTP header.
// Every answer so split is read whole: the job is created and the image handed over
// once, never reported as lost after the server acted on it. An answer that stops
// midway is a server that does not answer.
void TestBinprn32::answersInParts_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("code");
    QTest::newRow("every answer in two parts, 400 ms apart") << 400 << BINPRN32_OK;
    QTest::newRow("an answer that stops midway") << 20000 << BINPRN32_ERR_NO_SERVER;
}

void TestBinprn32::answersInParts()
{
    QFETCH(int, pauseMs);
    QFETCH(int, code);

    PrintServerScript script;
    script.pauseInAnswerMs = pauseMs;
    const QString socket = files_.filePath(QStringLiteral("parts.sock"));
    ScriptedPrintServer scripted(socket, script);
    QVERIFY(scripted.isListening());
    const QByteArray image = randomBytes(2 * BINPRN32_CHUNK_SIZE + 5);
    const QString path = writeFile(QStringLiteral("image.bin"), image);

    int32_t job = -1;
    QElapsedTimer timer;
    timer.start();
    int16_t result;
    {
        ScriptedScope scope(socket);
        result = sendJob_(QFile::encodeName(path).constData(), &job);
    }
    const qint64 took = timer.elapsed();
    qInfo("code %d after %lld ms", int(result), took);

    QCOMPARE(int(result), code);
    if (code == BINPRN32_OK) {
        QCOMPARE(job, 7);
        QCOMPARE(scripted.documents().size(), 1);
        QVERIFY(scripted.documents().first() == image);
        QVERIFY(scripted.cancelledJobs().isEmpty());
    } else {
        QCOMPARE(job, 0);
        QVERIFY(scripted.documents().isEmpty());
        // libcups reads on for the rest of an answer it gave up: one more pause of 2 s at most.
        QVERIFY2(took < BINPRN32_PREPARE_TIMEOUT_MS + 2000 + 1000, qPrintable(QString::number(took)));
    }
}

// The image is the file as opened: exactly its size then. A file cut short during the
// send fails and its job is cancelled; what is added to it after the open is not sent.
void TestBinprn32::fileChangingDuringTheSend_data()
{
    QTest::addColumn<QString>("change");  // cut, cut before, grow
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("jobCreated");

    QTest::newRow("cut short after the first chunk") << "cut" << BINPRN32_ERR_FILE_CHANGED << true;
    QTest::newRow("cut to nothing before the first read") << "cut before" << BINPRN32_ERR_FILE_CHANGED << false;
    QTest::newRow("grown after the first chunk") << "grow" << BINPRN32_OK << true;
    QTest::newRow("grown after the last chunk") << "grow late" << BINPRN32_OK << true;
}

void TestBinprn32::fileChangingDuringTheSend()
{
    QFETCH(QString, change);
    QFETCH(int, code);
    QFETCH(bool, jobCreated);

    const QString socket = files_.filePath(QStringLiteral("scripted.sock"));
    ScriptedPrintServer scripted(socket);
    const QByteArray image = randomBytes(4 * BINPRN32_CHUNK_SIZE + 100);
    const QString path = writeFile(QStringLiteral("image.bin"), image);
    const QByteArray file = QFile::encodeName(path);

    FileSeam seam;
    seam.afterRead = [&](int reads) {
        if (change == QLatin1String("cut") && reads == 1)
            QVERIFY(::truncate(file.constData(), BINPRN32_CHUNK_SIZE + 10) == 0);
        const int growAt = change == QLatin1String("grow") ? 1 : change == QLatin1String("grow late") ? 5 : 0;
        if (reads == growAt) {
            QFile grow(path);
            QVERIFY(grow.open(QIODevice::Append));
            grow.write(randomBytes(3 * BINPRN32_CHUNK_SIZE));
        }
    };
    seam.beforeRead = [&](int reads) {
        // After the open and its checks, before anything is read.
        if (change == QLatin1String("cut before") && reads == 0)
            QVERIFY(::truncate(file.constData(), 0) == 0);
    };
    const binprn32_io io = *fileSeamIo(&seam);
    int64_t bytes = -1;
    {
        ScriptedScope scope(socket);
        QCOMPARE(int(binprn32_send_to_default(&io, file.constData(), nullptr, &bytes)), code);
    }

    const QByteArrayList operations = scripted.operations();
    QCOMPARE(operations.contains("Create-Job"), jobCreated);
    if (code == BINPRN32_OK) {
        QCOMPARE(scripted.documents().size(), 1);
        QCOMPARE(scripted.documents().first().size(), image.size());
        QVERIFY(scripted.documents().first() == image);
        QCOMPARE(bytes, int64_t(image.size()));
    } else if (jobCreated) {
        QCOMPARE(scripted.cancelledJobs(), QList<int>{7});
        QVERIFY(bytes < image.size());
    }
}

// A FIFO or a device put in place of the checked file before it is opened is refused,
// and the call does not block on it.
void TestBinprn32::swappedInBetweenCheckAndOpen_data()
{
    QTest::addColumn<QString>("swap");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to /dev/null") << "null";
}

void TestBinprn32::swappedInBetweenCheckAndOpen()
{
    QFETCH(QString, swap);
    const QString socket = files_.filePath(QStringLiteral("scripted.sock"));
    ScriptedPrintServer scripted(socket);
    const QString path = writeFile(QStringLiteral("image.bin"), randomBytes(1000));
    const QByteArray file = QFile::encodeName(path);

    FileSeam seam;
    seam.beforeOpen = [&](const char *p) {
        ::unlink(p);
        if (swap == QLatin1String("fifo"))
            QVERIFY(::mkfifo(p, 0600) == 0);
        else
            QVERIFY(::symlink("/dev/null", p) == 0);
    };
    ScriptedScope scope(socket);
    QElapsedTimer timer;
    timer.start();
    auto result = std::async(std::launch::async, [&] {
        ScriptedScope inner(socket);
        return binprn32_send_to_default(fileSeamIo(&seam), file.constData(), nullptr, nullptr);
    });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Blocked in the open of the FIFO: a writer that comes and goes lets it go (the
        // read then ends) before the test fails.
        ::close(::open(file.constData(), O_RDWR | O_NONBLOCK));
        result.wait();
        QFAIL("the send blocked in the open of a FIFO");
    }
    ::unlink(file.constData());
    QCOMPARE(int(result.get()), BINPRN32_ERR_NOT_REGULAR);
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY(scripted.operations().isEmpty());
}

// A file whose size is reported 0 is empty, even one that would stream without end
// (a link to /proc/self/pagemap gives 256 GiB): it is refused without reading it.
void TestBinprn32::reportedSizeZeroIsEmpty()
{
    const QString socket = files_.filePath(QStringLiteral("scripted.sock"));
    ScriptedPrintServer scripted(socket);
    const QString link = files_.filePath(QStringLiteral("pagemap.bin"));
    QFile::remove(link);
    QVERIFY(QFile::link(QStringLiteral("/proc/self/pagemap"), link));
    FileSeam seam;
    seam.readLimit = 4 * BINPRN32_CHUNK_SIZE;  // where the old reading would have gone on for hours
    ScriptedScope scope(socket);
    QCOMPARE(int(binprn32_send_to_default(fileSeamIo(&seam), QFile::encodeName(link).constData(), nullptr, nullptr)),
             BINPRN32_ERR_EMPTY);
    QCOMPARE(seam.bytesRead, qint64(0));
    QVERIFY(scripted.operations().isEmpty());
}

// The job's name is the file's name, made a valid text of at most 255 bytes with its
// control characters (and bytes that are not UTF-8) shown as visible escapes.
void TestBinprn32::jobNameFromAnyFileName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("jobName");

    QTest::newRow("plain") << QByteArray("image.bin") << QByteArray("image.bin");
    QTest::newRow("UTF-8") << QByteArray("\xc3\xa9t\xc3\xa9.bin") << QByteArray("\xc3\xa9t\xc3\xa9.bin");
    QTest::newRow("newline") << QByteArray("a\nb.bin") << QByteArray("a\\x0Ab.bin");
    QTest::newRow("ESC and BEL") << QByteArray("\x1b[31m\x07.bin") << QByteArray("\\x1B[31m\\x07.bin");
    QTest::newRow("DEL and a C1 control") << QByteArray("a\x7f\xc2\x9b.bin") << QByteArray("a\\x7F\\xC2\\x9B.bin");
    QTest::newRow("Latin-1, not UTF-8") << QByteArray("caf\xe9.bin") << QByteArray("caf\\xE9.bin");
    QTest::newRow("cut UTF-8 sequence") << QByteArray("a\xe2\x82.bin") << QByteArray("a\\xE2\\x82.bin");
    QTest::newRow("255 newlines") << QByteArray(250, '\n') + ".bin" << QByteArray("\\x0A").repeated(63) + "...";
}

void TestBinprn32::jobNameFromAnyFileName()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, jobName);
    const QString socket = files_.filePath(QStringLiteral("scripted.sock"));
    ScriptedPrintServer scripted(socket);
    const QByteArray path = QFile::encodeName(files_.path()) + '/' + name;
    {
        QFile file;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        QVERIFY(::write(fd, "image", 5) == 5);
        ::close(fd);
    }
    int16_t code;
    {
        ScriptedScope scope(socket);
        code = sendJob_(path.constData(), nullptr);
    }
    ::unlink(path.constData());
    QCOMPARE(int(code), BINPRN32_OK);
    QCOMPARE(scripted.jobNames(), QByteArrayList{jobName});
    QVERIFY(jobName.size() <= 255);
}

// A path is the file system's bytes: a name that is not UTF-8 reaches the real print
// server and the port like any other.
void TestBinprn32::nonUtf8NameIsSent()
{
    const QByteArray image = randomBytes(70000);
    const QByteArray path = QFile::encodeName(files_.path()) + "/caf\xe9\x1b.bin";
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    QVERIFY(::write(fd, image.constData(), size_t(image.size())) == image.size());
    ::close(fd);
    const int16_t code = send_(path.constData());
    ::unlink(path.constData());
    QVERIFY2(code == BINPRN32_OK, qPrintable(QString::number(code) + QLatin1Char('\n') + server_.log()));
    QVERIFY2(server_.waitForJobsDone(30000), qPrintable(server_.log()));
    QVERIFY(server_.capture() == image);
}

QTEST_GUILESS_MAIN(TestBinprn32)
#include "tst_binprn32.moc"
