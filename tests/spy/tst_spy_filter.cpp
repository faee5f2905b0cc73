// The spy display filter against its four passes: chosen cases, then many
// random blocks compared with a literal (slow) rendering of the passes.
#include "spy/cp1252.h"
#include "spy/spy_filter.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

// The four passes run literally: each search starts again at the first character
// after every change. A NUL goes alone; a backspace at the start is dropped and
// counted.
SpyFilterResult literalPasses(QString block)
{
    SpyFilterResult r;
    for (qsizetype p; (p = block.indexOf(QChar(0))) >= 0;)
        block.remove(p, 1);
    for (qsizetype p; (p = block.indexOf(QChar(8))) >= 0;) {
        if (p == 0) {
            block.remove(0, 1);
            ++r.leadingBackspaces;
        } else {
            block.remove(p - 1, 2);
        }
    }
    for (qsizetype p; (p = block.indexOf(QChar(10))) >= 0;)
        block.remove(p, 1);
    for (qsizetype p = 0; (p = block.indexOf(QChar(13), p)) >= 0; ++p)
        block.insert(p + 1, QChar(10));
    r.text = block;
    return r;
}

QString bytes(const QByteArray &b)
{
    return cp1252::decode(b);
}

}  // namespace

class TestSpyFilter : public QObject {
    Q_OBJECT

private slots:
    void filters_data();
    void filters();
    void highBytesPassUnchanged();
    void matchesWrittenPasses_data();
    void matchesWrittenPasses();
};

void TestSpyFilter::filters_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<int>("leading");

    QTest::newRow("empty") << QByteArray() << QByteArray() << 0;
    QTest::newRow("plain text") << QByteArray("abc") << QByteArray("abc") << 0;
    QTest::newRow("other controls pass") << QByteArray("\t\x1b\x07\x7f") << QByteArray("\t\x1b\x07\x7f") << 0;
    QTest::newRow("NUL removed alone") << QByteArray("a\0b", 3) << QByteArray("ab") << 0;
    QTest::newRow("leading NUL") << QByteArray("\0x", 2) << QByteArray("x") << 0;
    QTest::newRow("only NUL and LF") << QByteArray("\0\n\0\n", 4) << QByteArray() << 0;
    QTest::newRow("backspace") << QByteArray("ab\bc") << QByteArray("ac") << 0;
    QTest::newRow("backspace run erases as many") << QByteArray("ab\b\b") << QByteArray() << 0;
    QTest::newRow("two leading backspaces") << QByteArray("\b\bx") << QByteArray("x") << 2;
    QTest::newRow("run longer than the text") << QByteArray("a\b\b\bb") << QByteArray("b") << 2;
    QTest::newRow("lone backspace") << QByteArray("\b") << QByteArray() << 1;
    QTest::newRow("NULs go before backspaces") << QByteArray("a\0\bc", 4) << QByteArray("c") << 0;
    QTest::newRow("backspace takes the LF") << QByteArray("x\r\n\b") << QByteArray("x\r\n") << 0;
    QTest::newRow("backspace takes the CR") << QByteArray("x\r\by") << QByteArray("xy") << 0;
    QTest::newRow("LF CR") << QByteArray("x\n\ry") << QByteArray("x\r\ny") << 0;
    QTest::newRow("lone LF breaks no line") << QByteArray("x\ny") << QByteArray("xy") << 0;
    QTest::newRow("CR LF") << QByteArray("x\r\ny") << QByteArray("x\r\ny") << 0;
    QTest::newRow("lone CR") << QByteArray("x\ry") << QByteArray("x\r\ny") << 0;
    QTest::newRow("trailing CR") << QByteArray("x\r") << QByteArray("x\r\n") << 0;
    QTest::newRow("leading LF of a split CR LF") << QByteArray("\ny") << QByteArray("y") << 0;
    QTest::newRow("CR CR") << QByteArray("\r\r") << QByteArray("\r\n\r\n") << 0;
    QTest::newRow("blank lines") << QByteArray("a\r\n\r\nb") << QByteArray("a\r\n\r\nb") << 0;
}

void TestSpyFilter::filters()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, shown);
    QFETCH(int, leading);
    const SpyFilterResult r = filterSpyBlock(bytes(block));
    QCOMPARE(r.text, bytes(shown));
    QCOMPARE(r.leadingBackspaces, qsizetype(leading));
}

void TestSpyFilter::highBytesPassUnchanged()
{
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high.append(char(b));
    const SpyFilterResult r = filterSpyBlock(bytes(high));
    QCOMPARE(r.text, bytes(high));
    QCOMPARE(r.text.at(0), QChar(0x20AC));
    QCOMPARE(r.text.at(0x7F), QChar(0x00FF));
    QCOMPARE(r.leadingBackspaces, qsizetype(0));
}

void TestSpyFilter::matchesWrittenPasses_data()
{
    QTest::addColumn<QByteArray>("alphabet");
    QTest::addColumn<int>("maxLength");
    QTest::addColumn<int>("blocks");
    QTest::newRow("controls only") << QByteArray("\0\b\n\r", 4) << 24 << 20000;
    QTest::newRow("mostly text") << QByteArray("\0\b\n\rabcdefg\xe9\x80", 13) << 80 << 20000;
    QTest::newRow("backspace heavy") << QByteArray("\b\b\bab\r", 6) << 200 << 5000;
    QTest::newRow("long blocks") << QByteArray("\0\b\n\rxyz \x9f", 9) << 3000 << 300;
}

void TestSpyFilter::matchesWrittenPasses()
{
    QFETCH(QByteArray, alphabet);
    QFETCH(int, maxLength);
    QFETCH(int, blocks);
    QRandomGenerator random(4711);
    for (int i = 0; i < blocks; ++i) {
        QByteArray raw(random.bounded(maxLength + 1), '\0');
        for (char &c : raw)
            c = alphabet.at(random.bounded(int(alphabet.size())));
        const QString block = bytes(raw);
        const SpyFilterResult fast = filterSpyBlock(block);
        const SpyFilterResult slow = literalPasses(block);
        if (fast.text != slow.text || fast.leadingBackspaces != slow.leadingBackspaces)
            QFAIL(qPrintable(QStringLiteral("block %1 differs: %2").arg(i).arg(QString::fromLatin1(raw.toHex()))));
    }
}

QTEST_APPLESS_MAIN(TestSpyFilter)
#include "tst_spy_filter.moc"
