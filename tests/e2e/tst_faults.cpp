// The loader under faults and load that only a whole bench reaches: the decoder going
// away mid-loading, the print server stopping or refusing, the image vanishing, a flood
// on the serial line, a quarter-gigabyte image. In every row the window goes on working
// and no image is altered: the faulted image arrives whole or not at all, and after the
// fault the same window still loads an image byte for byte.

#include "loading_bench.h"
#include "pty_pair.h"
#include "spy/mscomm.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <map>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

enum class Fault {
    SerialSideCloses,
    ServerStoppedBeforeStart,
    ServerKilledWhileSending,
    QueueRejectsJobs,
    ImageDeleted,
    SpyFlood,
    HugeImage,
};

constexpr qint64 MiB = 1 << 20;

// The warning as a pattern: %PATH% is the chosen image, %LINK% COM1's device, and
// %REASON% any words of the system.
QRegularExpression warningPattern(QString text, const QString &path, const QString &link)
{
    text.replace(QStringLiteral("%PATH%"), path).replace(QStringLiteral("%LINK%"), link);
    QStringList pieces = text.split(QStringLiteral("%REASON%"));
    for (QString &piece : pieces)
        piece = QRegularExpression::escape(piece);
    return QRegularExpression(QLatin1Char('^') + pieces.join(QStringLiteral(".+")) + QLatin1Char('$'));
}

// The largest regular file directly in folder, in bytes.
qint64 largestFile(const QString &folder)
{
    qint64 largest = 0;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden))
        largest = qMax(largest, info.size());
    return largest;
}

// Kills the print server (SIGKILL, as a crash would) from its own thread once the
// server has spooled threshold bytes of the job being sent. The server's pid is the one
// that private-cupsd.sh writes to cupsd.pid in its folder before it becomes cupsd.
class ServerKiller {
public:
    ServerKiller(const QString &serverFolder, qint64 threshold)
        : thread_([this, serverFolder, threshold] { run(serverFolder, threshold); })
    {}
    ~ServerKiller() { join(); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    qint64 spooledAtKill() const { return spooled_; }

private:
    void run(const QString &folder, qint64 threshold)
    {
        QFile pidFile(folder + QStringLiteral("/cupsd.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return;
        const pid_t pid = pidFile.readAll().trimmed().toInt();
        const QString spool = folder + QStringLiteral("/spool");
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            const qint64 spooled = largestFile(spool);
            if (spooled >= threshold) {
                spooled_ = spooled;
                ::kill(pid, SIGKILL);
                return;
            }
            QThread::msleep(2);
        }
    }
    std::atomic<qint64> spooled_{-1};
    std::thread thread_;
};

// Samples this process's resident memory from its own thread until destroyed.
class MemoryWatch {
public:
    MemoryWatch() : base_(residentBytes()), peak_(base_)
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                peak_ = qMax<qint64>(peak_, residentBytes());
                QThread::msleep(5);
            }
        });
    }
    ~MemoryWatch()
    {
        stop_ = true;
        thread_.join();
    }
    qint64 growth() const { return peak_ - base_; }

private:
    std::atomic<bool> stop_{false};
    qint64 base_;
    std::atomic<qint64> peak_;
    std::thread thread_;
};

// Writes pseudo-random bytes into the line for the given time, as fast as it takes them.
class Flood {
public:
    Flood(int masterFd, int ms) : thread_([this, masterFd, ms] { run(masterFd, ms); }) {}
    ~Flood() { thread_.join(); }
    bool done() const { return done_; }
    qint64 bytes() const { return bytes_; }

private:
    void run(int fd, int ms)
    {
        char chunk[4096];
        quint64 state = 0x7100;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            for (char &byte : chunk) {
                state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                byte = static_cast<char>(state >> 56);
            }
            size_t done = 0;
            while (done < sizeof chunk && timer.elapsed() < ms) {
                pollfd out{fd, POLLOUT, 0};
                if (::poll(&out, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::write(fd, chunk + done, sizeof chunk - done);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                    bytes_ += n;
                }
            }
        }
        done_ = true;
    }
    std::atomic<bool> done_{false};
    std::atomic<qint64> bytes_{0};
    std::thread thread_;
};

}  // namespace

Q_DECLARE_METATYPE(Fault)

class TestFaults : public QObject {
    Q_OBJECT

    LoadingBench bench;
    QString images;
    std::map<qint64, QByteArray> hashes;  // image size -> SHA-1 of imageOf(size)

    QString imageOf(qint64 size) { return QDir(images).filePath(QStringLiteral("image-%1.bin").arg(size)); }

    // The image of size bytes, written at its first use.
    QString image(qint64 size)
    {
        if (hashes.find(size) == hashes.end())
            hashes[size] = writeRandomFile(imageOf(size), size, quint64(size));
        return imageOf(size);
    }

    // Powers the decoder on and waits for its negotiation prompt in the spy display.
    static void powerOn(WindowUnderTest &w, DecoderSim &sim)
    {
        sim.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("attente negociation"), 5000);
    }

    // A whole loading of a fresh image through the window: it must arrive byte for byte,
    // as the first loading the simulator sees since the fault.
    void stillLoadsAWholeImage(WindowUnderTest &w, DecoderSim &sim)
    {
        const QString recovery = image(MiB + 17);
        powerOn(w, sim);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(bench.expect(recovery));
        const qsizetype warnings = w.doubles.messages->warnings.size();
        w.choose(recovery);
        // A Start within a double-click's time of the last one is taken as part of it.
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        w.clickStart();
        QVERIFY2(w.doubles.messages->warnings.size() == warnings,
                 qPrintable(w.doubles.messages->warnings.mid(warnings).join(QLatin1Char('\n'))));
        QVERIFY2(w.doubles.messages->questions.isEmpty(),
                 qPrintable(w.doubles.messages->questions.join(QLatin1Char('\n'))));
        const QString loaded = sim.waitForStatus(QStringLiteral("loaded: "), 30000);
        QVERIFY2(loaded.startsWith(QStringLiteral("loaded: ok %1 bytes").arg(MiB + 17)), qPrintable(sim.diagnostics()));
        QCOMPARE(hashFile(bench.receivedPath()), hashes[MiB + 17]);
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("mettre sous tension le decodeur !!!"), 5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(bench.setUp(), qPrintable(bench.errorString()));
        images = QDir(bench.workFolder()).filePath(QStringLiteral("images"));
        QVERIFY(QDir().mkpath(images));
    }

    // Each row starts from an empty queue, so that a row that failed midway leaves
    // nothing behind for the next one to trip over.
    void init()
    {
        if (!bench.server().isRunning())
            QVERIFY2(bench.server().start(), qPrintable(bench.server().errorString()));
        QVERIFY(bench.server().cancelAllJobs());
        QVERIFY(bench.server().waitForJobsDone());
    }

    // A failed row shows what the print server saw.
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo("print server's log:\n%s", qPrintable(bench.server().log()));
    }

    void cleanupTestCase()
    {
        for (const auto &entry : hashes)
            QFile::remove(imageOf(entry.first));
        QFile::remove(bench.receivedPath());
    }

    void faults_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<qint64>("imageSize");
        QTest::addColumn<QString>("warning");    // the one warning shown; empty: none
        QTest::addColumn<bool>("imageArrives");  // the image of the row arrives whole (else nothing of it)

        const QString loadError = QStringLiteral("Error while loading %PATH%Error ");
        QTest::newRow("decoder's serial side closes mid-loading")
            << Fault::SerialSideCloses << 4 * MiB
            << QStringLiteral("COM1 (%LINK%) stopped working: %REASON%. "
                              "The port is closed; it opens again when the device is back.")
            << true;
        QTest::newRow("print server stopped before Start")
            << Fault::ServerStoppedBeforeStart << MiB
            << QStringLiteral("No default printer: the print server is not running.") << false;
        QTest::newRow("print server killed while a 256 MiB image is sent")
            << Fault::ServerKilledWhileSending << 256 * MiB << loadError + QStringLiteral("9") << false;
        QTest::newRow("queue rejecting jobs")
            << Fault::QueueRejectsJobs << MiB << loadError + QStringLiteral("8") << false;
        QTest::newRow("image deleted between selection and Start")
            << Fault::ImageDeleted << MiB << loadError + QStringLiteral("3") << false;
        QTest::newRow("5-second flood into the spy display, loading meanwhile")
            << Fault::SpyFlood << 2 * MiB << QString() << true;
        QTest::newRow("256 MiB image") << Fault::HugeImage << 256 * MiB << QString() << true;
    }

    void faults()
    {
        QFETCH(Fault, fault);
        QFETCH(qint64, imageSize);
        QFETCH(QString, warning);
        QFETCH(bool, imageArrives);
        QElapsedTimer rowTime;
        rowTime.start();

        QString chosen = image(imageSize);
        const QByteArray sha = hashes[imageSize];
        QVERIFY(!sha.isEmpty());
        QVERIFY(bench.expect(chosen));

        auto sim = std::make_unique<DecoderSim>();
        QStringList simArguments;
        if (fault == Fault::SerialSideCloses)
            simArguments << QStringLiteral("--close-after-bytes") << QString::number(MiB);
        QVERIFY2(bench.startSim(*sim, simArguments), qPrintable(sim->diagnostics()));

        PtyPair line;
        QVERIFY2(line.isOpen(), qPrintable(line.errorString()));
        const QString link = bench.com1Link();
        const QString com1 = fault == Fault::SpyFlood ? line.slavePath() : link;
        WindowUnderTest w(LoadingBench::programFolder(), [com1] { return com1; });
        w.com1();
        QVERIFY(w.action("com1")->isChecked());
        if (fault != Fault::SpyFlood)
            powerOn(w, *sim);
        if (QTest::currentTestFailed())
            return;

        if (fault == Fault::ImageDeleted) {
            chosen = QDir(images).filePath(QStringLiteral("soon gone.bin"));
            QVERIFY(QFile::copy(image(imageSize), chosen));
        }
        w.choose(chosen);

        switch (fault) {
        case Fault::SerialSideCloses:
            w.clickStart();
            break;
        case Fault::ServerStoppedBeforeStart:
            bench.server().stop();
            w.clickStart();
            QCOMPARE(w.panel("Printer")->text(), QStringLiteral("Printer: "));
            QVERIFY2(bench.server().start(), qPrintable(bench.server().errorString()));
            break;
        case Fault::ServerKilledWhileSending: {
            ServerKiller killer(bench.server().folder(), 32 * MiB);
            w.clickStart();
            killer.join();
            QVERIFY2(killer.spooledAtKill() > 0, "the server was not killed during the send");
            qInfo("print server killed with %lld MiB of %lld spooled", killer.spooledAtKill() / MiB, imageSize / MiB);
            bench.server().kill();
            QVERIFY2(bench.server().start(), qPrintable(bench.server().errorString()));
            // The job lost its document with the server; nothing of it may ever print.
            QVERIFY(bench.server().cancelAllJobs());
            QVERIFY(bench.server().waitForJobsDone());
            break;
        }
        case Fault::QueueRejectsJobs:
            QVERIFY(bench.server().rejectJobs(LoadingBench::queue()));
            w.clickStart();
            QVERIFY(bench.server().acceptJobs(LoadingBench::queue()));
            break;
        case Fault::ImageDeleted:
            QVERIFY(QFile::remove(chosen));
            w.clickStart();
            break;
        case Fault::SpyFlood: {
            QElapsedTimer sinceTick;
            qint64 longestGap = 0;
            qsizetype longestPane = 0;
            QTimer ticker;
            ticker.setInterval(10);
            connect(&ticker, &QTimer::timeout, this, [&] {
                longestGap = qMax(longestGap, sinceTick.restart());
                longestPane = qMax(longestPane, w.spyLength());
            });
            sinceTick.start();
            ticker.start();
            Flood flood(line.masterFd(), 5000);
            QTest::qWait(2000);
            w.clickStart();
            QVERIFY(QTest::qWaitFor([&] { return flood.done(); }, 10000));
            QTest::qWait(200);
            ticker.stop();
            qInfo("flood: %lld KiB in 5 s; longest gap between 10 ms ticks %lld ms; pane at most %lld characters",
                  flood.bytes() / 1024, longestGap, qint64(longestPane));
            QVERIFY2(flood.bytes() > 0, "nothing reached the line");
            QVERIFY(!w.spy()->toPlainText().isEmpty());
            // A responsiveness check, not a speed target: the window keeps serving its timers.
            QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("longest gap %1 ms").arg(longestGap)));
            // Trimmed before each block: at most 16000 characters plus one block, which
            // holds at most InputCap bytes, each CR of them becoming CR LF.
            const qsizetype bound = 16000 + 2 * MSComm::InputCap;
            QVERIFY2(longestPane <= bound, qPrintable(QString::number(longestPane)));
            QVERIFY(w.spyLength() <= bound);
            break;
        }
        case Fault::HugeImage: {
            qint64 growth = 0;
            QElapsedTimer sending;
            sending.start();
            {
                MemoryWatch memory;
                w.clickStart();
                growth = memory.growth();
            }
            qInfo("256 MiB handed to the print server in %lld ms; resident memory grew by %lld KiB", sending.elapsed(),
                  growth / 1024);
            QVERIFY2(growth < 32 * MiB, qPrintable(QStringLiteral("grew by %1 KiB").arg(growth / 1024)));
            break;
        }
        }

        // The expected outcome.
        if (warning.isEmpty()) {
            QVERIFY2(w.doubles.messages->warnings.isEmpty(),
                     qPrintable(w.doubles.messages->warnings.join(QLatin1Char('\n'))));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!w.doubles.messages->warnings.isEmpty(), 10000);
            qInfo("warning: %s", qPrintable(w.doubles.messages->warnings.first()));
            const QRegularExpression expected = warningPattern(warning, chosen, link);
            QVERIFY2(expected.match(w.doubles.messages->warnings.first()).hasMatch(),
                     qPrintable(w.doubles.messages->warnings.first() + QStringLiteral("\ndoes not match\n")
                                + expected.pattern()));
        }

        if (imageArrives) {
            const QString loaded = sim->waitForStatus(QStringLiteral("loaded: "), 120000);
            QVERIFY2(loaded.startsWith(QStringLiteral("loaded: ok %1 bytes").arg(imageSize)),
                     qPrintable(sim->diagnostics()));
            QCOMPARE(hashFile(bench.receivedPath()), sha);
            QFile::remove(bench.receivedPath());
        }

        if (fault == Fault::SerialSideCloses) {
            // Reported once, the port closed, no item marked; the decoder coming back
            // (a new simulator on the same device) is taken up by Com1 again.
            QCOMPARE(w.doubles.messages->warnings.size(), 1);
            QVERIFY(!w.window->serialPort().portOpen());
            QVERIFY(!w.action("com1")->isChecked() && !w.action("com2")->isChecked());
            QCOMPARE(w.panel("Settings")->text(), QStringLiteral("COM settings:"));
            sim->stop();
            sim = std::make_unique<DecoderSim>();
            QVERIFY2(bench.startSim(*sim), qPrintable(sim->diagnostics()));
            w.com1();
            QVERIFY(w.action("com1")->isChecked());
        }
        if (fault != Fault::SpyFlood && !QTest::currentTestFailed())
            stillLoadsAWholeImage(w, *sim);

        QVERIFY2(w.doubles.messages->errors.isEmpty(), qPrintable(w.doubles.messages->errors.join(QLatin1Char('\n'))));
        QVERIFY(bench.server().waitForJobsDone());
        qInfo("row done in %lld ms", rowTime.elapsed());
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
