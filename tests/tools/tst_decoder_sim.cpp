// The decoder simulator, driven as the loader and the print server drive it: its text
// read from the pseudo-terminal's slave, images written to its FIFO or capture file.

#include "decoder_sim_process.h"
#include "pty_pair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray randomImage(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char &byte : bytes)
        byte = static_cast<char>(rng.bounded(256));
    return bytes;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFU;
    for (char byte : data) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) ? 0xEDB88320U ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

QString hex8(quint32 value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

// The lines a terminal shows for raw firmware output: NULs dropped, a backspace erasing
// the character before it, CR LF, LF CR, CR or LF each one line break.
QStringList shownLines(const QByteArray &raw)
{
    QStringList lines;
    QString line;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\0')
            continue;
        if (c == '\b') {
            line.chop(1);
        } else if (c == '\r' || c == '\n') {
            if (i + 1 < raw.size() && (raw[i + 1] == '\r' || raw[i + 1] == '\n') && raw[i + 1] != c)
                ++i;
            lines << line;
            line.clear();
        } else {
            line += QLatin1Char(c);
        }
    }
    if (!line.isEmpty())
        lines << line;
    return lines;
}

const QStringList BannerLines = {
    QString(),
    QStringLiteral("QX7100 boot v2.13"),
    QStringLiteral("RAM test 0x00000000-0x007FFFFF ... ok"),
    QStringLiteral("flash id 0x0089 0x0018, 2048 Ko"),
    QStringLiteral("cles face avant: mode telechargement"),
    QStringLiteral("attente negociation"),
};
const QByteArray BannerEnd = "attente negociation\r\n";

// Hands a job to the simulator as the capture backend does: open, write, close. Into a
// regular file the bytes go in pieces with short pauses, so that the file grows under it.
bool writeJob(const QString &path, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool pauses = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<size_t>(std::min<qsizetype>(bytes.size() - done, 7000));
        const ssize_t n = ::write(fd, bytes.constData() + done, piece);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += n;
        if (pauses)
            QThread::msleep(5);
    }
    return ::close(fd) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

enum class Trigger { StartUp, Sigusr1, BootCommand, TerminalKey };

// One step of a loading row: a job handed over, or the capture file emptied between jobs.
struct Job {
    QByteArray bytes;
    bool emptyCaptureFirst = false;
};

const QByteArray Image = randomImage(5 * 4096 + 123, 7100);

QByteArray corrupted(QByteArray bytes, qsizetype at)
{
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    return bytes;
}

}  // namespace

Q_DECLARE_METATYPE(Trigger)
Q_DECLARE_METATYPE(Job)

class TestDecoderSim : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void powerOn_data();
    void powerOn();
    void pacing_data();
    void pacing();
    void loading_data();
    void loading();
    void keys_data();
    void keys();
    void serialSideCloses_data();
    void serialSideCloses();
    void cleanUpOnExit_data();
    void cleanUpOnExit();

private:
    QTemporaryDir dir_;
};

void TestDecoderSim::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    QVERIFY(dir_.isValid());
    const QString file = dir_.filePath(QStringLiteral("plain-file"));
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));

    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << QStringLiteral("Usage: decoder-sim");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--speed")} << 2
                                    << QStringLiteral("unknown option --speed");
    QTest::newRow("missing value") << QStringList{QStringLiteral("--capture")} << 2
                                   << QStringLiteral("--capture needs a value");
    QTest::newRow("block size zero") << QStringList{QStringLiteral("--block-size=0")} << 2
                                     << QStringLiteral("--block-size: not a number");
    QTest::newRow("negative timeout") << QStringList{QStringLiteral("--timeout"), QStringLiteral("-1")} << 2
                                      << QStringLiteral("--timeout: not a number");
    QTest::newRow("fifo without capture")
        << QStringList{QStringLiteral("--fifo")} << 2 << QStringLiteral("--fifo needs --capture");
    QTest::newRow("fifo over a file") << QStringList{QStringLiteral("--capture"), file, QStringLiteral("--fifo")} << 1
                                      << QStringLiteral("exists and is not a FIFO");
    QTest::newRow("capture is a folder") << QStringList{QStringLiteral("--capture"), dir_.path()} << 1
                                         << QStringLiteral("neither a FIFO nor a regular file");
    QTest::newRow("link over a file") << QStringList{QStringLiteral("--link"), file} << 1
                                      << QStringLiteral("exists and is not a symbolic link");
}

void TestDecoderSim::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QProcess process;
    process.start(DecoderSim::program(), arguments);
    QVERIFY(process.waitForFinished(5000));
    const QString all = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(all.contains(output), qPrintable(all));
    QVERIFY2(!all.contains(QStringLiteral("pty: /")), "no serial side is published when the set-up fails");
}

void TestDecoderSim::powerOn_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Trigger>("trigger");
    QTest::addColumn<bool>("noisy");

    QTest::newRow("at start-up") << QStringList() << Trigger::StartUp << true;
    QTest::newRow("at start-up, clean") << QStringList{QStringLiteral("--clean")} << Trigger::StartUp << false;
    QTest::newRow("SIGUSR1") << QStringList() << Trigger::Sigusr1 << true;
    QTest::newRow("SIGUSR1 without a banner at start-up")
        << QStringList{QStringLiteral("--no-banner")} << Trigger::Sigusr1 << true;
    QTest::newRow("boot typed on the console") << QStringList() << Trigger::BootCommand << true;
}

void TestDecoderSim::powerOn()
{
    QFETCH(QStringList, arguments);
    QFETCH(Trigger, trigger);
    QFETCH(bool, noisy);

    DecoderSim sim;
    QVERIFY2(sim.start(arguments), qPrintable(sim.diagnostics()));
    const QString slave = sim.ptyPath();
    PtySlave terminal;
    QVERIFY(terminal.open(slave));

    const bool bannerAtStart = !arguments.contains(QStringLiteral("--no-banner"));
    if (bannerAtStart)
        QVERIFY(!terminal.readUntil(BannerEnd).isEmpty());
    else
        QVERIFY(terminal.readFor(200).isEmpty());
    if (trigger == Trigger::Sigusr1)
        sim.signal(SIGUSR1);
    if (trigger == Trigger::BootCommand) {
        QVERIFY(terminal.write("boot\r"));
        QCOMPARE(terminal.readUntil("boot\r\n"), QByteArray("boot\r\n"));
    }

    const QByteArray raw = trigger == Trigger::StartUp ? QByteArray() : terminal.readUntil(BannerEnd);
    if (trigger != Trigger::StartUp) {
        QVERIFY2(!raw.isEmpty(), qPrintable(sim.diagnostics()));
        QCOMPARE(shownLines(raw), BannerLines);
        QCOMPARE(raw.contains('\0') && raw.contains("\n\r") && raw.contains('\b'), noisy);
    }
    QVERIFY(!sim.waitForStatus(QStringLiteral("power-on")).isEmpty());
    QVERIFY2(terminal.readFor(100).isEmpty(), "nothing follows the banner");
    QCOMPARE(sim.stop(), 0);
}

void TestDecoderSim::pacing_data()
{
    QTest::addColumn<int>("baud");
    QTest::newRow("9600 baud") << 9600;
    QTest::newRow("38400 baud") << 38400;
}

// Paced output never comes faster than the line could carry it (a lower bound only:
// the machine may always be slower).
void TestDecoderSim::pacing()
{
    QFETCH(int, baud);

    QElapsedTimer timer;
    timer.start();
    DecoderSim sim;
    QVERIFY(sim.start({QStringLiteral("--baud"), QString::number(baud)}));
    const QString slave = sim.ptyPath();
    PtySlave terminal;
    QVERIFY(terminal.open(slave));
    const QByteArray raw = terminal.readUntil(BannerEnd, 5000);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(shownLines(raw), BannerLines);

    const double bytesPerSecond = baud / 10.0;
    const double burst = bytesPerSecond * 0.02;
    const double shortest = (static_cast<double>(raw.size()) - burst) / bytesPerSecond * 1000.0;
    QVERIFY2(static_cast<double>(elapsed) >= shortest * 0.9,
             qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(raw.size()).arg(elapsed)));
}

void TestDecoderSim::loading_data()
{
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("before");  // in the capture file before start-up
    QTest::addColumn<QList<Job>>("jobs");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<QStringList>("shown");  // lines the terminal shows, in this order
    QTest::addColumn<bool>("saved");         // --save holds the last job's bytes

    const QString size = QString::number(Image.size());
    const QString sum = hex8(crc32(Image));
    const QStringList whole = {
        QStringLiteral("adresse 0x00010000 bloc 1"),           QStringLiteral("adresse 0x00011000 bloc 2"),
        QStringLiteral("adresse 0x00012000 bloc 3"),           QStringLiteral("adresse 0x00013000 bloc 4"),
        QStringLiteral("adresse 0x00014000 bloc 5"),           QStringLiteral("adresse 0x00015000 bloc 6"),
        QStringLiteral("image verifiee: %1 octets").arg(size), QStringLiteral("mettre sous tension le decodeur !!!"),
    };
    const QString ok = QStringLiteral("loaded: ok %1 bytes crc32 %2").arg(size, sum);
    const QStringList expect = {QStringLiteral("--expect"), dir_.filePath(QStringLiteral("expected.bin"))};

    QTest::newRow("FIFO") << true << expect << QByteArray() << QList<Job>{{Image}} << QStringList{ok} << whole << true;
    QTest::newRow("growing file, earlier jobs skipped")
        << false << expect << randomImage(1000, 1) << QList<Job>{{Image}} << QStringList{ok} << whole << true;
    QTest::newRow("file read from its start") << false << expect + QStringList{QStringLiteral("--from-start")} << Image
                                              << QList<Job>() << QStringList{ok} << whole << true;
    QTest::newRow("FIFO, two jobs") << true << expect << QByteArray() << QList<Job>{{Image}, {Image}}
                                    << QStringList{ok, ok} << whole + whole << true;
    QTest::newRow("file emptied between jobs") << false << expect << QByteArray() << QList<Job>{{Image}, {Image, true}}
                                               << QStringList{ok, ok} << whole + whole << true;
    QTest::newRow("FIFO, 38400 baud") << true << expect + QStringList{QStringLiteral("--baud"), QStringLiteral("38400")}
                                      << QByteArray() << QList<Job>{{Image}} << QStringList{ok} << whole << true;

    const QByteArray bad = corrupted(Image, 9000);
    QTest::newRow("corrupt image")
        << true << expect << QByteArray() << QList<Job>{{bad}}
        << QStringList{QStringLiteral("loaded: bad corrupt at 0x00012328 (offset 9000), %1 bytes crc32 %2")
                           .arg(size, hex8(crc32(bad)))}
        << QStringList{QStringLiteral("adresse 0x00015000 bloc 6"),
                       QStringLiteral("erreur: image corrompue a l'adresse 0x00012328")}
        << true;
    QTest::newRow("short image")
        << false << expect << QByteArray() << QList<Job>{{Image.left(10000)}}
        << QStringList{QStringLiteral("loaded: bad incomplete 10000 of %1 bytes").arg(size)}
        << QStringList{QStringLiteral("adresse 0x00011000 bloc 2"), QStringLiteral("adresse 0x00012000 bloc 3"),
                       QStringLiteral("erreur: image incomplete (10000 octets sur %1)").arg(size)}
        << true;
    QTest::newRow("longer than expected: the rest is a new loading")
        << true << expect << QByteArray() << QList<Job>{{Image + QByteArray(100, 'x')}}
        << QStringList{ok, QStringLiteral("loaded: bad incomplete 100 of %1 bytes").arg(size)}
        << QStringList{QStringLiteral("mettre sous tension le decodeur !!!"),
                       QStringLiteral("adresse 0x00010000 bloc 1"),
                       QStringLiteral("erreur: image incomplete (100 octets sur %1)").arg(size)}
        << false;
    QTest::newRow("no expected image: accepted after a quiet time")
        << true << QStringList() << QByteArray() << QList<Job>{{Image}} << QStringList{ok}
        << QStringList{QStringLiteral("adresse 0x00015000 bloc 6"),
                       QStringLiteral("image recue: %1 octets, crc32 0x%2").arg(size, sum),
                       QStringLiteral("mettre sous tension le decodeur !!!")}
        << true;
    QTest::newRow("expected image missing")
        << true << QStringList{QStringLiteral("--expect"), dir_.filePath(QStringLiteral("missing.bin"))} << QByteArray()
        << QList<Job>{{Image}}
        << QStringList{QStringLiteral("loaded: bad cannot read the expected image %1: No such file or directory")
                           .arg(dir_.filePath(QStringLiteral("missing.bin")))}
        << QStringList{QStringLiteral("erreur: verification impossible")} << true;
}

void TestDecoderSim::loading()
{
    QFETCH(bool, fifo);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, before);
    QFETCH(QList<Job>, jobs);
    QFETCH(QStringList, statuses);
    QFETCH(QStringList, shown);
    QFETCH(bool, saved);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString capture = dir.filePath(QStringLiteral("capture"));
    const QString save = dir.filePath(QStringLiteral("received.bin"));
    {
        QFile expected(dir_.filePath(QStringLiteral("expected.bin")));
        QVERIFY(expected.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(expected.write(Image), Image.size());
    }
    if (!fifo) {
        QFile file(capture);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(before), before.size());
    }

    DecoderSim sim;
    QStringList arguments = options;
    arguments << QStringLiteral("--capture") << capture << QStringLiteral("--save") << save
              << QStringLiteral("--block-size") << QStringLiteral("4096") << QStringLiteral("--timeout")
              << QStringLiteral("0.3");
    if (fifo)
        arguments << QStringLiteral("--fifo");
    QVERIFY2(sim.start(arguments), qPrintable(sim.diagnostics()));
    const QString slave = sim.ptyPath();
    PtySlave terminal;
    QVERIFY(terminal.open(slave));
    QVERIFY(!terminal.readUntil(BannerEnd).isEmpty());

    qsizetype status = 0;
    for (const Job &job : jobs) {
        if (job.emptyCaptureFirst)
            QVERIFY(QFile::resize(capture, 0));
        QVERIFY(writeJob(capture, job.bytes));
        // One job after the other, as the print queue runs them.
        if (status < statuses.size() && jobs.size() > 1) {
            const QString line = sim.waitForStatus(QStringLiteral("loaded: "));
            QVERIFY2(!line.isEmpty(), qPrintable(sim.diagnostics()));
            QCOMPARE(line, statuses.at(status++));
        }
    }
    for (; status < statuses.size(); ++status) {
        const QString line = sim.waitForStatus(QStringLiteral("loaded: "));
        QVERIFY2(!line.isEmpty(), qPrintable(sim.diagnostics()));
        QCOMPARE(line, statuses.at(status));
    }

    const QByteArray raw = terminal.readFor(300);
    const QStringList lines = shownLines(raw);
    qsizetype from = 0;
    for (const QString &line : shown) {
        const qsizetype at = lines.indexOf(line, from);
        QVERIFY2(at >= 0,
                 qPrintable(
                     QStringLiteral("\"%1\" not shown in order; shown:\n%2").arg(line, lines.join(QLatin1Char('\n')))));
        from = at + 1;
    }
    QCOMPARE(lines.last(), shown.last());
    QVERIFY2(raw.endsWith("\r\n"), "every line ends with CR LF");
    if (saved)
        QCOMPARE(readFile(save), jobs.isEmpty() ? before : jobs.last().bytes);
    QCOMPARE(sim.stop(), 0);
}

void TestDecoderSim::keys_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<QByteArray>("echo");

    QTest::newRow("printable") << QByteArray("abc") << QByteArray("abc");
    QTest::newRow("DEL erases") << QByteArray("ab\x7f") << QByteArray("ab\b \b");
    QTest::newRow("BS erases") << QByteArray("ab\b\bc") << QByteArray("ab\b \b\b \bc");
    QTest::newRow("backspace on an empty line") << QByteArray("\x7f\ba") << QByteArray("a");
    QTest::newRow("backspace after Enter") << QByteArray("a\r\x7f") << QByteArray("a\r\ncommande inconnue: a\r\n");
    QTest::newRow("control bytes ignored") << QByteArray("a\x01\x1b"
                                                         "b\t")
                                           << QByteArray("ab");
    QTest::newRow("CR LF is one Enter") << QByteArray("help\r\n")
                                        << QByteArray("help\r\ncommandes: help, boot, status\r\n");
    QTest::newRow("lone LF is Enter") << QByteArray("HELP\n")
                                      << QByteArray("HELP\r\ncommandes: help, boot, status\r\n");
    QTest::newRow("empty line") << QByteArray("\r\r") << QByteArray("\r\n\r\n");
    QTest::newRow("status") << QByteArray("status\r") << QByteArray("status\r\nchargements: 0, dernier: aucun\r\n");
    QTest::newRow("Latin-1 letter") << QByteArray("\xe9\x7f") << QByteArray("\xe9\b \b");
}

void TestDecoderSim::keys()
{
    QFETCH(QByteArray, typed);
    QFETCH(QByteArray, echo);

    DecoderSim sim;
    QVERIFY(sim.start({QStringLiteral("--no-banner")}));
    const QString slave = sim.ptyPath();
    PtySlave terminal;
    QVERIFY(terminal.open(slave));
    QVERIFY(terminal.write(typed));
    QCOMPARE(terminal.readFor(150), echo);
    QCOMPARE(sim.stop(), 0);
}

void TestDecoderSim::serialSideCloses_data()
{
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("SIGUSR2") << true;
    QTest::newRow("--close-after-bytes") << false;
}

// The loader sees the serial line hang up mid-loading while the image still arrives whole.
void TestDecoderSim::serialSideCloses()
{
    QFETCH(bool, bySignal);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = randomImage(300 * 1024 + 17, 42);
    const QString expected = dir.filePath(QStringLiteral("expected.bin"));
    const QString fifo = dir.filePath(QStringLiteral("capture.fifo"));
    const QString save = dir.filePath(QStringLiteral("received.bin"));
    const QString link = dir.filePath(QStringLiteral("com1"));
    {
        QFile file(expected);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(image), image.size());
    }
    QStringList arguments{QStringLiteral("--capture"),
                          fifo,
                          QStringLiteral("--fifo"),
                          QStringLiteral("--expect"),
                          expected,
                          QStringLiteral("--save"),
                          save,
                          QStringLiteral("--link"),
                          link};
    if (!bySignal)
        arguments << QStringLiteral("--close-after-bytes") << QStringLiteral("100000");

    DecoderSim sim;
    QVERIFY2(sim.start(arguments), qPrintable(sim.diagnostics()));
    PtySlave terminal;
    QVERIFY(terminal.open(link));
    QVERIFY(!terminal.readUntil(BannerEnd).isEmpty());

    const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    auto send = [fd](const QByteArray &bytes) {
        return ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    };
    QVERIFY(send(image.left(150 * 1024)));
    if (bySignal) {
        QVERIFY(!terminal.readUntil("bloc 2\r\n").isEmpty());
        sim.signal(SIGUSR2);
    }
    QVERIFY2(!sim.waitForStatus(QStringLiteral("serial: closed")).isEmpty(), qPrintable(sim.diagnostics()));
    QVERIFY(terminal.hungUp());
    QVERIFY2(!QFileInfo(link).isSymLink(), "the link goes with the serial side");

    QVERIFY(send(image.mid(150 * 1024)));
    QCOMPARE(::close(fd), 0);
    QCOMPARE(sim.waitForStatus(QStringLiteral("loaded: ")),
             QStringLiteral("loaded: ok %1 bytes crc32 %2").arg(image.size()).arg(hex8(crc32(image))));
    QVERIFY(readFile(save) == image);

    sim.signal(SIGUSR1);
    QVERIFY(sim.running());
    QCOMPARE(sim.stop(), 0);
}

void TestDecoderSim::cleanUpOnExit_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("fifoThere");  // the FIFO was made by someone else

    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP, FIFO not made here") << int(SIGHUP) << true;
}

void TestDecoderSim::cleanUpOnExit()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, fifoThere);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath(QStringLiteral("capture.fifo"));
    const QString link = dir.filePath(QStringLiteral("com1"));
    if (fifoThere)
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));  // left over from an earlier run

    DecoderSim sim;
    QVERIFY2(sim.start({QStringLiteral("--link"), link, QStringLiteral("--capture"), fifo, QStringLiteral("--fifo")}),
             qPrintable(sim.diagnostics()));
    const QString slave = sim.ptyPath();
    QCOMPARE(QFileInfo(link).symLinkTarget(), slave);
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(fifo).constData(), &info) == 0 && S_ISFIFO(info.st_mode));

    QCOMPARE(sim.stop(signalNumber), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo::exists(fifo), fifoThere);
}

QTEST_GUILESS_MAIN(TestDecoderSim)
#include "tst_decoder_sim.moc"
