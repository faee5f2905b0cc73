// A whole loading on the bench's own device names, in a private /dev: COM1 is
// found by the real resolver through /dev/com1, a link to the decoder
// simulator's pseudo-terminal; the default raw queue drives /dev/lp0 through
// the real parallel backend of cups-filters, and /dev/lp0 is a pseudo-terminal
// whose master feeds the simulator's parallel side.

#include "loading_bench.h"
#include "private_dev.h"
#include "pty_pair.h"
#include "spy/serial_ports.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// Copies what arrives on a pseudo-terminal's master into a FIFO, in a thread of
// its own, so that the bytes flow while the window's thread waits in the test.
class Relay {
public:
    Relay(int master, QString fifo) : master_(master), fifo_(std::move(fifo)) {}
    ~Relay() { stop(); }
    void start()
    {
        thread_ = std::thread([this] { run(); });
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    qint64 relayed() const { return relayed_; }

private:
    void run()
    {
        // Non-blocking, retried: the reader (the simulator) may open the FIFO later.
        int out = -1;
        char buffer[65536];
        while (!stop_) {
            if (out < 0)
                out = ::open(QFile::encodeName(fifo_).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || out < 0)
                continue;
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            for (ssize_t done = 0; n > 0 && done < n && !stop_;) {
                const ssize_t w = ::write(out, buffer + done, size_t(n - done));
                if (w > 0) {
                    done += w;
                    relayed_ += w;
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    break;
                } else {
                    pollfd q{out, POLLOUT, 0};
                    ::poll(&q, 1, 50);
                }
            }
        }
        if (out >= 0)
            ::close(out);
    }

    int master_;
    QString fifo_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> relayed_{0};
};

QString dumpWarnings(const QStringList &warnings)
{
    return warnings.join(QLatin1Char('\n'));
}

}  // namespace

class TestRealBench : public QObject {
    Q_OBJECT

    LoadingBench bench;
    QTemporaryDir rules;

private slots:
    void initTestCase()
    {
        QVERIFY2(privatedev::entered(), qPrintable(privatedev::enterError()));
        QVERIFY(rules.isValid());
        // The machine's own udev rules stay out of the way: the bench's rule
        // for COM1 is there only where a case puts it.
        QString error;
        QVERIFY2(privatedev::bindOver(rules.path(), QStringLiteral("/etc/udev/rules.d"), &error), qPrintable(error));
        bench.server().setBackend(PrivateCupsServer::Backend::RealParallel);
        QVERIFY2(bench.setUp(), qPrintable(bench.errorString()));
    }

    void wholeLoadingOnTheBenchNames()
    {
        PtyPair lp0;
        QVERIFY2(lp0.isOpen(), qPrintable(lp0.errorString()));
        QString error;
        QVERIFY2(privatedev::addDeviceNode(QStringLiteral("lp0"), lp0.slavePath(), &error), qPrintable(error));
        Relay relay(lp0.masterFd(), bench.server().captureFile());
        relay.start();

        const qint64 size = 6 * 65536 + 4321;
        const QString image = QDir(bench.workFolder()).filePath(QStringLiteral("qx7100 bench.bin"));
        const QByteArray sha = writeRandomFile(image, size, 11);
        QVERIFY(!sha.isEmpty());

        DecoderSim sim;
        QVERIFY2(bench.startSim(sim, {QStringLiteral("--link"), QStringLiteral("/dev/com1")}),
                 qPrintable(sim.diagnostics()));
        QCOMPARE(comPortDevice(1), QStringLiteral("/dev/com1"));

        WindowUnderTest w(LoadingBench::programFolder(), [] { return comPortDevice(1); });
        QCOMPARE(w.panel("Printer")->text(), QStringLiteral("Printer: ") + LoadingBench::queue());
        w.com1();
        QVERIFY2(w.doubles.messages->warnings.isEmpty(), qPrintable(dumpWarnings(w.doubles.messages->warnings)));
        QVERIFY(w.action("com1")->isChecked());

        sim.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("attente negociation"), 5000);
        w.choose(image);
        QVERIFY(bench.expect(image));
        w.clickStart();
        QVERIFY2(w.doubles.messages->warnings.isEmpty(), qPrintable(dumpWarnings(w.doubles.messages->warnings)));

        const QString loaded = sim.waitForStatus(QStringLiteral("loaded: "), 60000);
        QVERIFY2(loaded.startsWith(QStringLiteral("loaded: ok %1 bytes").arg(size)),
                 qPrintable(sim.diagnostics() + QStringLiteral("\nrelayed %1 bytes\n").arg(relay.relayed())
                            + bench.server().log().right(3000)));
        QCOMPARE(hashFile(bench.receivedPath()), sha);
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("mettre sous tension le decodeur !!!"), 5000);
        QVERIFY(bench.server().waitForJobsDone(30000));
        QVERIFY(w.doubles.messages->warnings.isEmpty());
        QVERIFY(w.doubles.messages->errors.isEmpty());
        relay.stop();
        privatedev::remove(QStringLiteral("lp0"));
    }

    void com1Problems_data()
    {
        QTest::addColumn<bool>("rule");
        QTest::addColumn<QString>("link");  // empty: no /dev/com1
        QTest::addColumn<QString>("warning");
        QTest::newRow("adapter given COM1 not plugged in")
            << true << QString()
            << "Cannot open COM1 (/dev/com1): the USB serial adapter given COM1 is not plugged in.";
        QTest::newRow("dangling link")
            << false << "/dev/ttyUSB9"
            << "Cannot open COM1 (/dev/com1): the link leads to /dev/ttyUSB9, which does not exist. Plug the "
               "adapter in, or give COM1 to another with load_qx7100-bench com1 DEVICE (as root).";
    }

    // The window's warnings as the technician reads them; once the adapter is
    // back (its link returns), the same item opens it.
    void com1Problems()
    {
        QFETCH(bool, rule);
        QFETCH(QString, link);
        QFETCH(QString, warning);
        QFile ruleFile(rules.filePath(QStringLiteral("60-load-qx7100-com1.rules")));
        if (rule) {
            QVERIFY(ruleFile.open(QIODevice::WriteOnly));
            ruleFile.close();
        }
        QString error;
        privatedev::remove(QStringLiteral("com1"));
        if (!link.isEmpty())
            QVERIFY2(privatedev::addLink(QStringLiteral("com1"), link, &error), qPrintable(error));

        WindowUnderTest w(LoadingBench::programFolder(), [] { return comPortDevice(1); });
        w.com1();
        QCOMPARE(w.doubles.messages->warnings, QStringList{warning});
        QVERIFY(!w.action("com1")->isChecked());

        PtyPair adapter;
        QVERIFY2(adapter.isOpen(), qPrintable(adapter.errorString()));
        QVERIFY2(privatedev::addLink(QStringLiteral("com1"), adapter.slavePath(), &error), qPrintable(error));
        w.com1();
        QCOMPARE(w.doubles.messages->warnings.size(), 1);
        QVERIFY(w.action("com1")->isChecked());
        privatedev::remove(QStringLiteral("com1"));
        ruleFile.remove();
    }
};

// The private /dev is made before Qt starts any thread; the cases fail with
// the reason when it could not be made.
int main(int argc, char **argv)
{
    QString error;
    if (!privatedev::enter(&error))
        std::fprintf(stderr, "tst_real_bench: no private /dev: %s\n", qPrintable(error));
    QApplication app(argc, argv);
    TestRealBench test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_real_bench.moc"
