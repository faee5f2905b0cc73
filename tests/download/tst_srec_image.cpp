// Telling S-record text from a binary image by the file's first line.

#include "download/srec_image.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestSrecImage : public QObject {
    Q_OBJECT

private slots:
    void firstLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("wholeFile");
        QTest::addColumn<bool>("srec");
        const QByteArray data = "S107000001020304EE\nS9030000FC\n";
        QTest::newRow("S0 header first") << "S00600004844521B\n" + data << false << true;
        QTest::newRow("S1 data first") << data << false << true;
        QTest::newRow("S2 data first") << QByteArray("S206000010AABB84\nS804000000FB\n") << false << true;
        QTest::newRow("S3 data first") << QByteArray("S30700000010AABB83\nS70500000000FA\n") << false << true;
        QTest::newRow("CR LF") << QByteArray("S00600004844521B\r\nS107000001020304EE\r\n") << false << true;
        QTest::newRow("lower-case hex") << QByteArray("S206000010aabb84\n") << false << true;
        QTest::newRow("one record, no line end, whole file") << QByteArray("S9030000FC") << true << true;
        QTest::newRow("end of record cut by the read, not the file") << QByteArray("S9030000FC") << false << false;
        QTest::newRow("binary starting with S") << QByteArray("S\x01\x02\x03\xff\x00\nxyz", 10) << false << false;
        QTest::newRow("text starting with S1") << QByteArray("S1 firmware build\n") << false << false;
        QTest::newRow("checksum wrong") << QByteArray("S107000001020304EF\n") << false << false;
        QTest::newRow("count too long") << QByteArray("S108000001020304EE\n") << false << false;
        QTest::newRow("count too short") << QByteArray("S106000001020304EE\n") << false << false;
        QTest::newRow("odd number of digits") << QByteArray("S107000001020304EE0\n") << false << false;
        QTest::newRow("reserved S4") << QByteArray("S40300FCFD\n") << false << false;
        QTest::newRow("S3 count below its address") << QByteArray("S30300FC\n") << false << false;
        QTest::newRow("lower-case s") << QByteArray("s107000001020304EE\n") << false << false;
        QTest::newRow("blank before the record") << QByteArray(" S107000001020304EE\n") << false << false;
        QTest::newRow("empty") << QByteArray() << true << false;
    }
    void firstLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, wholeFile);
        QFETCH(bool, srec);
        QCOMPARE(startsWithSRecord(text, wholeFile), srec);
    }

    // Files: only a regular file is read, and only its start; nothing blocks.
    void files_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("srec");
        const QByteArray longest = "S3FF00000000" + QByteArray(250 * 2, 'A');
        QTest::newRow("S-record file") << "file" << QByteArray("S00600004844521B\r\nS9030000FC\r\n") << true;
        QTest::newRow("one record without line end") << "file" << QByteArray("S9030000FC") << true;
        QTest::newRow("image of 1 MiB starting with S")
            << "file" << QByteArray("S1").append(QByteArray(1 << 20, '\x5a')) << false;
        QTest::newRow("empty file") << "file" << QByteArray() << false;
        QTest::newRow("FIFO") << "fifo" << QByteArray() << false;
        QTest::newRow("folder") << "folder" << QByteArray() << false;
        QTest::newRow("missing") << "missing" << QByteArray() << false;
        // A record of the greatest count is read whole, line end and all.
        QTest::newRow("longest record") << "file" << longest + "FC\r\nS9030000FC\r\n" << true;
        QTest::newRow("longest record, bad checksum") << "file" << longest + "FB\r\nS9030000FC\r\n" << false;
    }
    void files()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        QFETCH(bool, srec);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("image.bin")));
        } else if (kind != QLatin1String("missing")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
            file.close();
        }
        QCOMPARE(fileStartsWithSRecord(path), srec);
    }
};

QTEST_MAIN(TestSrecImage)
#include "tst_srec_image.moc"
