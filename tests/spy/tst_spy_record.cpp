// The record of a run written before the saved spy log: outside texts made
// safe for one line, what is behind a serial device as /sys describes it
// (fixture trees), the header's lines, and the images' SHA-256 computed away
// from the window's thread.
#include "spy/image_hash.h"
#include "spy/spy_record.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool makeLink(const QString &target, const QString &link)
{
    QDir().mkpath(QFileInfo(link).absolutePath());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

}  // namespace

class TestSpyRecord : public QObject {
    Q_OBJECT

private slots:
    void outsideTextsAreMadeVisible_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QStringLiteral("/data/image \u00e9t\u00e9.bin")
                               << QStringLiteral("/data/image \u00e9t\u00e9.bin");
        QTest::newRow("a forged line") << QStringLiteral("a.bin\r\nImage 2: b.bin")
                                       << QStringLiteral("a.bin\\r\\nImage 2: b.bin");
        QTest::newRow("escape sequence and DEL")
            << QStringLiteral("x\x1b[2J\x7fy") << QStringLiteral("x\\x1b[2J\\x7fy");
        QTest::newRow("C1 and NUL") << QString(QStringLiteral("a\u0085b")) + QChar(0) + QStringLiteral("c")
                                    << QStringLiteral("a\\x85b\\x00c");
        QTest::newRow("direction override and separators")
            << QStringLiteral("nib.\u202etxt\u2028") << QStringLiteral("nib.\\u202etxt\\u2028");
        QTest::newRow("invisible marks") << QStringLiteral("a\u200eb\u200fc\ufeffd")
                                         << QStringLiteral("a\\u200eb\\u200fc\\ufeffd");
        QTest::newRow("a backslash stays unambiguous") << QStringLiteral("a\\x41") << QStringLiteral("a\\\\x41");
        QTest::newRow("too long") << QString(500, QLatin1Char('m'))
                                  << QString(400, QLatin1Char('m')) + QStringLiteral("...");
    }
    void outsideTextsAreMadeVisible()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(visibleText(text), shown);
    }

    void whatIsBehindADevice_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("USB adapter through /dev/com1")
            << "usb"
            << "USB serial adapter 0403:6001 (FTDI, FT232R USB UART, serial A50285BI), DEV/ttyUSB0";
        QTest::newRow("USB adapter that lies about itself")
            << "usb hostile"
            << "USB serial adapter 0403:6001 (FTDI, FT\\r\\nPort: COM9, serial x\\x1by), DEV/ttyUSB0";
        QTest::newRow("built-in port") << "builtin"
                                       << "built-in serial port DEV/ttyS0";
        QTest::newRow("serial card") << "pci"
                                     << "serial card DEV/ttyS4";
        QTest::newRow("link to nothing") << "dangling"
                                         << "nothing: DEV/com1 is not there";
        QTest::newRow("unknown to /sys") << "unknown"
                                         << "serial device DEV/ttyX";
    }
    void whatIsBehindADevice()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        SerialRoots roots;
        QDir().mkpath(dir.filePath(QStringLiteral("dev")));
        roots.dev = QFileInfo(dir.filePath(QStringLiteral("dev"))).canonicalFilePath();
        roots.sys = dir.filePath(QStringLiteral("sys"));
        QString path;
        if (kind.startsWith(QLatin1String("usb"))) {
            const QString usb = roots.sys + QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-2");
            QVERIFY(writeFile(usb + QStringLiteral("/idVendor"), "0403\n"));
            QVERIFY(writeFile(usb + QStringLiteral("/idProduct"), "6001\n"));
            QVERIFY(writeFile(usb + QStringLiteral("/manufacturer"), "FTDI\n"));
            if (kind == QLatin1String("usb hostile")) {
                QVERIFY(writeFile(usb + QStringLiteral("/product"), "FT\r\nPort: COM9\n"));
                QVERIFY(writeFile(usb + QStringLiteral("/serial"), "x\x1by\n"));
            } else {
                QVERIFY(writeFile(usb + QStringLiteral("/product"), "FT232R USB UART\n"));
                QVERIFY(writeFile(usb + QStringLiteral("/serial"), "A50285BI\n"));
            }
            QVERIFY(QDir().mkpath(usb + QStringLiteral("/1-2:1.0/ttyUSB0")));
            QVERIFY(makeLink(usb + QStringLiteral("/1-2:1.0/ttyUSB0"),
                             roots.sys + QStringLiteral("/class/tty/ttyUSB0/device")));
            QVERIFY(writeFile(roots.dev + QStringLiteral("/ttyUSB0"), ""));
            QVERIFY(makeLink(QStringLiteral("ttyUSB0"), roots.dev + QStringLiteral("/com1")));
            path = roots.dev + QStringLiteral("/com1");
        } else if (kind == QLatin1String("builtin") || kind == QLatin1String("pci")) {
            const QString name = kind == QLatin1String("pci") ? QStringLiteral("ttyS4") : QStringLiteral("ttyS0");
            const QString hardware = kind == QLatin1String("pci")
                                         ? roots.sys + QStringLiteral("/devices/pci0000:00/0000:00:1c.0/0000:03:00.0")
                                         : roots.sys + QStringLiteral("/devices/pnp0/00:05");
            QVERIFY(QDir().mkpath(hardware));
            QVERIFY(makeLink(hardware, roots.sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/device")));
            QVERIFY(writeFile(roots.sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/type"), "4\n"));
            QVERIFY(writeFile(roots.dev + QLatin1Char('/') + name, ""));
            path = roots.dev + QLatin1Char('/') + name;
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(makeLink(QStringLiteral("ttyUSB0"), roots.dev + QStringLiteral("/com1")));
            path = roots.dev + QStringLiteral("/com1");
        } else {
            QVERIFY(writeFile(roots.dev + QStringLiteral("/ttyX"), ""));
            path = roots.dev + QStringLiteral("/ttyX");
        }
        expected.replace(QStringLiteral("DEV"), roots.dev);
        QCOMPARE(describeSerialDevice(path, roots), expected);
    }

    void aPseudoTerminalIsNamedSo()
    {
        QCOMPARE(describeSerialDevice(QStringLiteral("/dev/pts/ptmx")),
                 QStringLiteral("pseudo-terminal /dev/pts/ptmx"));
    }

    // Every outside text stays on its own line: the header has exactly the
    // lines it writes, whatever the paths and messages hold.
    void theHeaderNamesTheRunAndCannotBeForged()
    {
        SpyRecordHeader header;
        header.program = QStringLiteral("load_velantra 1.00 (load_qx7100)");
        header.savedAt = QDateTime::fromString(QStringLiteral("2026-12-09T01:14:48+01:00"), Qt::ISODate);
        header.port = QStringLiteral("COM1");
        header.device = QStringLiteral("/dev/com1");
        header.behind = QStringLiteral("pseudo-terminal /dev/pts/3");
        header.portOpen = true;
        SentImage good;
        good.path = QStringLiteral("/data/qx7100.bin");
        good.size = 3;
        good.sha256 = QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        good.jobId = 12;
        good.outcome = QStringLiteral("sent 3 bytes");
        SentImage hostile;
        hostile.path = QStringLiteral("/data/x.bin\r\n  job 99: sent");
        hostile.size = 10;
        hostile.hashError = QStringLiteral("not a regular file");
        hostile.jobId = 13;
        hostile.outcome = QStringLiteral("failed: Unable to write\x1b[31m\r\nfake");
        SentImage refused;
        refused.path = QStringLiteral("/data/y.bin");
        refused.size = 0;
        refused.outcome = QStringLiteral("not sent: error 8");
        header.images = {good, hostile, refused};

        const QString text = spyRecordHeader(header);
        const QStringList lines = text.split(QStringLiteral("\r\n"));
        QCOMPARE(lines,
                 (QStringList{"Spy log of load_velantra 1.00 (load_qx7100)", "Saved: 2026-12-09T01:14:48+01:00",
                              "Port: COM1 (/dev/com1), open", "Behind it: pseudo-terminal /dev/pts/3",
                              "Image 1: /data/qx7100.bin",
                              "  3 bytes, SHA-256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                              "  job 12: sent 3 bytes", "Image 2: /data/x.bin\\r\\n  job 99: sent",
                              "  10 bytes, SHA-256 unknown (not a regular file)",
                              "  job 13: failed: Unable to write\\x1b[31m\\r\\nfake", "Image 3: /data/y.bin",
                              "  0 bytes, SHA-256 being computed", "  no job: not sent: error 8",
                              QString::fromLatin1(kSpyRecordTextStart), ""}));

        SpyRecordHeader empty;
        empty.program = QStringLiteral("load_velantra 1.00 (load_qx7100)");
        empty.savedAt = header.savedAt;
        QVERIFY(spyRecordHeader(empty).contains(QStringLiteral("\r\nPort: none chosen\r\nImages sent: none\r\n")));
        // Universal time is written with its offset too, not as "Z".
        empty.savedAt = QDateTime::fromString(QStringLiteral("2026-12-09T00:14:48Z"), Qt::ISODate);
        QVERIFY(spyRecordHeader(empty).contains(QStringLiteral("\r\nSaved: 2026-12-09T00:14:48+00:00\r\n")));
    }

    void theImageHashIsItsSha256_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("hex");
        QTest::newRow("abc") << QByteArray("abc") << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        QTest::newRow("empty") << QByteArray() << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    }
    void theImageHashIsItsSha256()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, hex);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QVERIFY(writeFile(path, content));
        const ImageDigest digest = sha256OfFile(path);
        QCOMPARE(digest.hex, hex);
        QVERIFY(digest.error.isEmpty());
    }

    // A FIFO or a missing file in the image's place is refused at once: a
    // hash that waited on it would hold a thread until the program ends.
    void whatIsNoImageIsRefusedWithoutWaiting_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("missing") << "missing";
    }
    void whatIsNoImageIsRefusedWithoutWaiting()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        QElapsedTimer clock;
        clock.start();
        const ImageDigest digest = sha256OfFile(path);
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY(digest.hex.isEmpty());
        QVERIFY(!digest.error.isEmpty());
    }

    // A 256 MiB image is hashed while the event loop keeps turning.
    void aLargeImageIsHashedWithoutStoppingTheEventLoop()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.bin"));
        constexpr qint64 kSize = qint64(256) * 1024 * 1024;
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(kSize));  // sparse: zeros that take no disk
            QVERIFY(file.seek(kSize - 4));
            QCOMPARE(file.write("tail"), qint64(4));
        }
        QCryptographicHash reference(QCryptographicHash::Sha256);
        const QByteArray zeros(1024 * 1024, '\0');
        for (qint64 at = 0; at < kSize - zeros.size(); at += zeros.size())
            reference.addData(zeros);
        reference.addData(QByteArray(zeros.size() - 4, '\0') + "tail");

        ImageHasher hasher;
        QString hex, error;
        int id = -1;
        connect(&hasher, &ImageHasher::hashed, this, [&](int n, const QString &h, const QString &e) {
            id = n;
            hex = h;
            error = e;
        });
        qint64 longestGap = 0;
        QElapsedTimer gap;
        QTimer tick;
        tick.setInterval(5);
        connect(&tick, &QTimer::timeout, this, [&] { longestGap = std::max(longestGap, gap.restart()); });
        gap.start();
        tick.start();
        hasher.hash(7, path);
        QTRY_VERIFY_WITH_TIMEOUT(id == 7, 60000);
        QCOMPARE(hex, QString::fromLatin1(reference.result().toHex()));
        QVERIFY(error.isEmpty());
        QVERIFY2(longestGap < 250, qPrintable(QString::number(longestGap)));
    }

    // A hasher that goes away stops reporting (and stops reading soon).
    void aHasherGoneReportsNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QVERIFY(writeFile(path, QByteArray(4 * 1024 * 1024, 'x')));
        int reports = 0;
        {
            ImageHasher hasher;
            connect(&hasher, &ImageHasher::hashed, this, [&] { ++reports; });
            hasher.hash(1, path);
        }
        QTest::qWait(300);
        QCOMPARE(reports, 0);
    }
};

QTEST_GUILESS_MAIN(TestSpyRecord)
#include "tst_spy_record.moc"
