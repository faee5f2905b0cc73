// The raw-print library through the parallel backend that a bench runs (the
// one of cups-filters), not our capture stand-in: a private print server whose
// raw queue drives a pseudo-terminal, read on its master side. The cases that
// need the bench's own device names (/dev/lp0, /dev/usb/lp0) run in a private
// /dev, where those names are pseudo-terminals.

#include "binprn32.h"
#include "download/default_printer.h"
#include "private_cups_server.h"
#include "private_dev.h"
#include "pty_pair.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    rng.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray everyByteValue()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    // Line ends in every order: a terminal left cooking its output would change them.
    bytes.append("\n\n\r\r\n\n\r", 7);
    for (int i = 255; i >= 0; --i)
        bytes.append(char(i));
    return bytes;
}

}  // namespace

class TestRealParallel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void imageArrivesUnchanged_data();
    void imageArrivesUnchanged();
    void benchDeviceNames_data();
    void benchDeviceNames();

private:
    // Sends image through libbinprn32 to the default queue and reads it off the
    // pseudo-terminal's master.
    void sendAndRead(PtyPair &pty, const QByteArray &image);

    PrivateCupsServer server_;
    QTemporaryDir files_;
};

void TestRealParallel::initTestCase()
{
    QVERIFY(files_.isValid());
    server_.setBackend(PrivateCupsServer::Backend::RealParallel);
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
}

void TestRealParallel::init()
{
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    QVERIFY(server_.waitForJobsDone());
}

void TestRealParallel::sendAndRead(PtyPair &pty, const QByteArray &image)
{
    // The backend runs as lp under a root print server.
    QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0666) == 0);
    const QString path = files_.filePath(QStringLiteral("image.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(image), image.size());
    file.close();

    QCOMPARE(vbSendPrnToDefPrinter(QFile::encodeName(path).constData()), int16_t(BINPRN32_OK));
    const QByteArray got = pty.read(60000, image.size());
    QVERIFY2(server_.waitForJobsDone(30000), qPrintable(server_.log().right(3000)));
    // Nothing more follows the image.
    const QByteArray after = pty.readFor(200);
    QVERIFY2(got.size() + after.size() == image.size(),
             qPrintable(QStringLiteral("%1 of %2 bytes arrived; print server log:\n%3")
                            .arg(got.size() + after.size())
                            .arg(image.size())
                            .arg(server_.log().right(3000))));
    QVERIFY(got == image);
}

void TestRealParallel::imageArrivesUnchanged_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("all 256 byte values") << everyByteValue();
    QTest::newRow("3 MiB random") << randomBytes(3 * 1024 * 1024, 20261207);
}

// Library level: the queue names the pseudo-terminal itself.
void TestRealParallel::imageArrivesUnchanged()
{
    QFETCH(QByteArray, image);
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QVERIFY2(server_.addRawQueue(QStringLiteral("direct"), QStringLiteral("parallel:") + pty.slavePath(), true),
             qPrintable(server_.errorString()));
    sendAndRead(pty, image);
}

void TestRealParallel::benchDeviceNames_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("port");
    QTest::newRow("PC's parallel port lp0") << "lp0"
                                            << "LPT1:";
    QTest::newRow("USB-parallel adapter usb/lp0") << "usb/lp0"
                                                  << "LPT1:";
    QTest::newRow("USB-parallel adapter usb/lp1") << "usb/lp1"
                                                  << "LPT2:";
}

// The queue on the bench's own device name: the loader sees the port as LPT1:
// (or LPT2:) and the image reaches the port unchanged.
void TestRealParallel::benchDeviceNames()
{
    QFETCH(QString, device);
    QFETCH(QString, port);
    QVERIFY2(privatedev::entered(), qPrintable(privatedev::enterError()));
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QString error;
    QVERIFY2(privatedev::addDeviceNode(device, pty.slavePath(), &error), qPrintable(error));
    const QString queue = QStringLiteral("bench_") + QString(device).replace(QLatin1Char('/'), QLatin1Char('_'));
    QVERIFY2(server_.addRawQueue(queue, QStringLiteral("parallel:/dev/") + device, true),
             qPrintable(server_.errorString()));

    const DefaultPrinterInfo info = makeCupsDefaultPrinter()->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::Ready);
    QCOMPARE(info.deviceName, queue);
    QCOMPARE(info.portName, port);

    sendAndRead(pty, randomBytes(1024 * 1024 + 17, 7));
    privatedev::remove(device);
}

// The private /dev is made before Qt starts any thread; a case that needs it
// fails with the reason when it could not be made.
int main(int argc, char **argv)
{
    QString error;
    if (!privatedev::enter(&error))
        std::fprintf(stderr, "tst_real_parallel: no private /dev: %s\n", qPrintable(error));
    QCoreApplication app(argc, argv);
    TestRealParallel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_real_parallel.moc"
