#include "loading_bench.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

void ObservedProcessStarter::start(const QString &program, const QStringList &arguments, QObject *context,
                                   std::function<void(const ProcessOutcome &)> onOutcome)
{
    real_->start(program, arguments, context, [this, onOutcome](const ProcessOutcome &outcome) {
        outcomes << outcome;
        onOutcome(outcome);
    });
}

WindowUnderTest::WindowUnderTest(const QString &programFolder, std::function<QString()> com1Device)
    : WindowFixture(Later{})
{
    LoaderServices services = makeRealServices(programFolder);
    processes_ = new ObservedProcessStarter(std::move(services.processes));
    services.processes.reset(processes_);
    services.serialPortDevice = [com1Device](int port) { return port == 1 ? com1Device() : QString(); };
    open(withDialogDoubles(std::move(services)), Show::Shown);
}

QString WindowUnderTest::lastSpyLine() const
{
    for (QTextBlock block = spy()->document()->lastBlock(); block.isValid(); block = block.previous()) {
        if (!block.text().trimmed().isEmpty())
            return block.text();
    }
    return {};
}

qsizetype WindowUnderTest::spyLength() const
{
    const QTextDocument *document = spy()->document();
    // characterCount() holds one separator for each block, the last one included.
    return document->characterCount() - 1 + (document->blockCount() - 1);
}

void WindowUnderTest::com1()
{
    action("com1")->trigger();
}

void WindowUnderTest::clickStart()
{
    QTest::mouseClick(start(), Qt::LeftButton);
}

LoadingBench::LoadingBench() = default;

LoadingBench::~LoadingBench() = default;

QString LoadingBench::programFolder()
{
    return QFileInfo(QStringLiteral(BINPRN32_LIBRARY)).absolutePath();
}

QString LoadingBench::com1Link() const
{
    return work_.filePath(QStringLiteral("com1"));
}

QString LoadingBench::receivedPath() const
{
    return work_.filePath(QStringLiteral("received.bin"));
}

bool LoadingBench::setUp()
{
    if (!work_.isValid()) {
        error_ = QStringLiteral("cannot make a temporary folder: ") + work_.errorString();
        return false;
    }
    if (QFileInfo(QStringLiteral(SREC2BIN_PROGRAM)).absolutePath() != programFolder()) {
        error_ = QStringLiteral("srec2bin and libbinprn32.so are not in the same folder");
        return false;
    }
    // The capture backend appends each job to the server's capture path: a FIFO there
    // hands the bytes to the simulator as they come. The server must find it in place.
    if (::mkfifo(QFile::encodeName(server_.captureFile()).constData(), 0600) != 0) {
        error_ = QStringLiteral("cannot make the capture FIFO: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!server_.start() || !server_.addRawQueue(queue(), QStringLiteral("parallel:/dev/lp0"), true)) {
        error_ = server_.errorString();
        return false;
    }
    return true;
}

bool LoadingBench::startSim(DecoderSim &sim, const QStringList &extra)
{
    return sim.start(QStringList{QStringLiteral("--link"), com1Link(), QStringLiteral("--capture"),
                                 server_.captureFile(), QStringLiteral("--expect"),
                                 work_.filePath(QStringLiteral("expected.bin")), QStringLiteral("--save"),
                                 receivedPath(), QStringLiteral("--no-banner")}
                     + extra);
}

bool LoadingBench::expect(const QString &imagePath)
{
    const QString link = work_.filePath(QStringLiteral("expected.bin"));
    QFile::remove(link);
    return QFile::link(imagePath, link);
}

namespace {
constexpr qint64 Piece = 1 << 20;
}

QByteArray writeRandomFile(const QString &path, qint64 size, quint64 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray piece(Piece, Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (qint64 done = 0; done < size;) {
        const qint64 n = qMin(Piece, size - done);
        // xorshift64: fast enough for a quarter of a gigabyte, and reproducible.
        for (qint64 i = 0; i < n; i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const qint64 k = qMin<qint64>(8, n - i);
            std::memcpy(piece.data() + i, &state, static_cast<size_t>(k));
        }
        const QByteArrayView bytes(piece.constData(), n);
        if (file.write(bytes.data(), n) != n)
            return {};
        hash.addData(bytes);
        done += n;
    }
    if (!file.flush())
        return {};
    return hash.result();
}

QByteArray hashFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return hash.addData(&file) ? hash.result() : QByteArray();
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE);
}
