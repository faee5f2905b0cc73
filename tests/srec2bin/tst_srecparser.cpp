#include <QMap>
#include <QRandomGenerator>
#include <QtTest>

#include "sparse_image.h"
#include "srec_lines.h"
#include "srec_parser.h"

using srec2bin::ParseError;
using srec2bin::SparseImage;
using srec2bin::SrecParser;

// The converter's core without files: input split anywhere between reads, bytes placed in any order
// across chunks (checked against a plain map of address to byte), the size limit and record counts.
class TestSrecParser : public QObject {
    Q_OBJECT

private slots:
    void splitAnywhere_data();
    void splitAnywhere();
    void fragmentedChunk();
    void randomStores();
    void sizeLimit_data();
    void sizeLimit();
    void recordCount_data();
    void recordCount();
};

namespace {

// The image as one byte string, lowest address first.
QByteArray contents(const SparseImage &image)
{
    QByteArray bytes;
    image.forEachPiece([&](const uint8_t *data, size_t size) {
        bytes.append(reinterpret_cast<const char *>(data), qsizetype(size));
        return true;
    });
    return bytes;
}

// What a parser made of an input.
struct Outcome {
    bool ok = false;
    ParseError error;
    QByteArray image;
    quint32 lowest = 0;
};

Outcome parseInBlocks(const QByteArray &input, int blockSize, uint64_t maxSize = uint64_t(1) << 32)
{
    SparseImage image(0xFF, maxSize);
    SrecParser parser(image);
    Outcome outcome;
    outcome.ok = true;
    for (qsizetype at = 0; at < input.size() && outcome.ok; at += blockSize)
        outcome.ok = parser.feed(input.constData() + at, size_t(qMin<qsizetype>(blockSize, input.size() - at)));
    outcome.ok = outcome.ok && parser.finish();
    outcome.error = parser.error();
    outcome.image = contents(image);
    outcome.lowest = image.lowest();
    return outcome;
}

// A byte-by-byte model of the image: what SparseImage must agree with.
struct ModelImage {
    QMap<quint32, uchar> bytes;

    // Returns false, leaving the model as it was, when a byte is already placed with another value.
    bool store(quint32 address, const QByteArray &data)
    {
        for (qsizetype i = 0; i < data.size(); ++i) {
            const auto it = bytes.constFind(address + quint32(i));
            if (it != bytes.constEnd() && it.value() != uchar(data[i]))
                return false;
        }
        for (qsizetype i = 0; i < data.size(); ++i)
            bytes.insert(address + quint32(i), uchar(data[i]));
        return true;
    }

    QByteArray contents() const
    {
        if (bytes.isEmpty())
            return {};
        const quint32 lowest = bytes.firstKey();
        QByteArray image(qsizetype(bytes.lastKey() - lowest) + 1, '\xFF');
        for (auto it = bytes.constBegin(); it != bytes.constEnd(); ++it)
            image[qsizetype(it.key() - lowest)] = char(it.value());
        return image;
    }
};

// Stores "ADDRESS:HEX ADDRESS:HEX ..." into image and model; returns false at the first store the
// model refuses, after checking that the image refused it too.
bool storeBoth(const QString &stores, SparseImage &image, ModelImage &model)
{
    for (const QString &store : stores.split(' ', Qt::SkipEmptyParts)) {
        const quint32 address = store.section(':', 0, 0).toUInt(nullptr, 16);
        const QByteArray data = QByteArray::fromHex(store.section(':', 1).toLatin1());
        SparseImage::Conflict conflict;
        const SparseImage::StoreResult result =
            image.store(address, reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()), &conflict);
        if (!model.store(address, data)) {
            if (result != SparseImage::StoreResult::Conflict)
                qWarning("store %s was not refused", qPrintable(store));
            return false;
        }
        if (result != SparseImage::StoreResult::Ok)
            qWarning("store %s was refused", qPrintable(store));
    }
    return true;
}

}  // namespace

void TestSrecParser::splitAnywhere_data()
{
    QTest::addColumn<QByteArray>("input");

    QByteArray crLf = s0("header") + s1(0, "00112233") + "\n" + s2(0x10000, "44") + s9();
    crLf.replace("\n", "\r\n");
    crLf.chop(2);
    QTest::newRow("CR LF, blank line, no last line end") << crLf;
    QTest::newRow("last line ends in CR alone") << s1(0, "AA") + srecLine(9, 0, {}) + "\r";
    QByteArray badChecksum = s1(0, "AA") + s1(1, "BB") + "\r\n" + "S1050002AABB94\r\n" + s9();
    QTest::newRow("bad checksum after a blank line") << badChecksum;
    QTest::newRow("longest record, then a longer line")
        << srecLine(1, 0, QByteArray(252, '\x11')) + "\r\n" + "S1" + QByteArray(514, '0') + "\r\n" + s9();
    QTest::newRow("blank line first") << "\r\n" + s1(0, "AA");
    QTest::newRow("data after the end") << s1(0, "AA") + s9() + s1(1, "BB");
}

void TestSrecParser::splitAnywhere()
{
    QFETCH(QByteArray, input);
    const Outcome whole = parseInBlocks(input, int(input.size()));
    for (int blockSize = 1; blockSize < input.size(); ++blockSize) {
        const Outcome split = parseInBlocks(input, blockSize);
        QVERIFY2(split.ok == whole.ok && split.error.line == whole.error.line
                     && split.error.message == whole.error.message && split.image == whole.image,
                 qPrintable(QString("blocks of %1: %2 at line %3, whole: %4 at line %5")
                                .arg(blockSize)
                                .arg(QString::fromStdString(split.error.message))
                                .arg(split.error.line)
                                .arg(QString::fromStdString(whole.error.message))
                                .arg(whole.error.line)));
    }
}

void TestSrecParser::fragmentedChunk()
{
    // Every other byte of one chunk: far more separate ranges than a chunk tracks one by one.
    SparseImage image(0xFF, uint64_t(1) << 32);
    ModelImage model;
    QString stores;
    for (int i = 0; i < 3000; ++i)
        stores += QString("%1:%2 ").arg(0x30000 + 2 * i, 0, 16).arg(i & 0xFF, 2, 16, QChar('0'));
    QVERIFY(storeBoth(stores, image, model));

    // Filling the holes with new bytes while repeating the placed ones is fine; changing one is not.
    QByteArray bridge;
    for (int i = 0; i < 100; ++i)
        bridge += char(i % 2 == 0 ? (i / 2) & 0xFF : 0x5A);
    QVERIFY(storeBoth(QString("30000:") + bridge.toHex(), image, model));
    QVERIFY(!storeBoth("30100:01", image, model));
    QCOMPARE(contents(image).toHex(), model.contents().toHex());
}

void TestSrecParser::randomStores()
{
    // Random ranges of one fixed truth, so that overlaps repeat identical bytes, in random order
    // over a few chunks; then a changed byte must be refused wherever it lands on placed data.
    QRandomGenerator random(7100);
    QByteArray truth(0x50000, '\0');
    for (char &byte : truth)
        byte = char(random.bounded(256));
    SparseImage image(0xFF, uint64_t(1) << 32);
    ModelImage model;
    const quint32 base = 0x7FFE0000;
    for (int i = 0; i < 4000; ++i) {
        const int offset = int(random.bounded(truth.size() - 300));
        const int length = 1 + int(random.bounded(i % 10 == 0 ? 300 : 40));
        QVERIFY(storeBoth(
            QString("%1:%2").arg(base + quint32(offset), 0, 16).arg(QString(truth.mid(offset, length).toHex())), image,
            model));
    }
    QCOMPARE(contents(image).toHex(), model.contents().toHex());

    for (int i = 0; i < 200; ++i) {
        const quint32 address = model.bytes.keys().at(int(random.bounded(model.bytes.size())));
        const QByteArray changed(1, char(model.bytes.value(address) ^ 0x01));
        SparseImage::Conflict conflict;
        QCOMPARE(image.store(address, reinterpret_cast<const uint8_t *>(changed.constData()), 1, &conflict),
                 SparseImage::StoreResult::Conflict);
        QCOMPARE(conflict.address, address);
        QCOMPARE(conflict.held, model.bytes.value(address));
    }
}

void TestSrecParser::sizeLimit_data()
{
    QTest::addColumn<QString>("stores");
    QTest::addColumn<bool>("lastRefused");

    QTest::newRow("exactly the limit") << "0:AA 3:DD" << false;
    QTest::newRow("one byte above") << "0:AA 4:EE" << true;
    QTest::newRow("one byte below the image") << "4:EE 0:AA" << true;
    QTest::newRow("a single store above") << "0:AABBCCDDEE" << true;
    QTest::newRow("far below after a fitting image") << "FFFFFFF0:AABBCCDD 0:11" << true;
}

void TestSrecParser::sizeLimit()
{
    QFETCH(QString, stores);
    QFETCH(bool, lastRefused);
    SparseImage image(0xFF, 4);
    QStringList list = stores.split(' ');
    const QString last = list.takeLast();
    ModelImage model;
    QVERIFY(storeBoth(list.join(' '), image, model));
    const QByteArray before = contents(image);

    const quint32 address = last.section(':', 0, 0).toUInt(nullptr, 16);
    const QByteArray data = QByteArray::fromHex(last.section(':', 1).toLatin1());
    const auto result = image.store(address, reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
    QCOMPARE(result, lastRefused ? SparseImage::StoreResult::TooLarge : SparseImage::StoreResult::Ok);
    if (lastRefused)
        QCOMPARE(contents(image), before);
}

void TestSrecParser::recordCount_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<QByteArray>("countRecord");
    QTest::addColumn<bool>("ok");

    QTest::newRow("S5 exact") << 3 << s5(3) << true;
    QTest::newRow("S5 one short") << 3 << s5(2) << false;
    QTest::newRow("S5 holds the count modulo 16 bits") << 65537 << s5(1) << true;
    QTest::newRow("S6 beyond 16 bits") << 65537 << s6(65537) << true;
    QTest::newRow("S6 modulo 16 bits is wrong") << 65537 << s6(1) << false;
}

void TestSrecParser::recordCount()
{
    QFETCH(int, records);
    QFETCH(QByteArray, countRecord);
    QFETCH(bool, ok);
    QByteArray input;
    for (int i = 0; i < records; ++i)
        input += srecLine(2, quint32(i), QByteArray(1, char(i))) + '\n';
    input += countRecord + s8();
    const Outcome outcome = parseInBlocks(input, 4096);
    QVERIFY2(outcome.ok == ok, outcome.error.message.c_str());
    if (!ok)
        QCOMPARE(outcome.error.line, quint64(records + 1));
}

QTEST_APPLESS_MAIN(TestSrecParser)
#include "tst_srecparser.moc"
