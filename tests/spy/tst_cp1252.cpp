// Windows-1252 both ways: the bytes 0x80-0x9F, the unassigned five, and '?'
// for what the code page lacks.
#include "spy/cp1252.h"

#include <QtTest>

class TestCp1252 : public QObject {
    Q_OBJECT

private slots:
    void decodesByte_data();
    void decodesByte();
    void everyByteComesBack();
    void encodes_data();
    void encodes();
};

void TestCp1252::decodesByte_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("character");
    QTest::newRow("NUL") << 0x00 << 0x0000;
    QTest::newRow("A") << 0x41 << 0x0041;
    QTest::newRow("DEL") << 0x7F << 0x007F;
    QTest::newRow("euro") << 0x80 << 0x20AC;
    QTest::newRow("unassigned 81") << 0x81 << 0x0081;
    QTest::newRow("low quote") << 0x82 << 0x201A;
    QTest::newRow("ellipsis") << 0x85 << 0x2026;
    QTest::newRow("unassigned 8D") << 0x8D << 0x008D;
    QTest::newRow("Z caron") << 0x8E << 0x017D;
    QTest::newRow("unassigned 8F") << 0x8F << 0x008F;
    QTest::newRow("unassigned 90") << 0x90 << 0x0090;
    QTest::newRow("trade mark") << 0x99 << 0x2122;
    QTest::newRow("unassigned 9D") << 0x9D << 0x009D;
    QTest::newRow("Y diaeresis") << 0x9F << 0x0178;
    QTest::newRow("no-break space") << 0xA0 << 0x00A0;
    QTest::newRow("e acute") << 0xE9 << 0x00E9;
    QTest::newRow("y diaeresis") << 0xFF << 0x00FF;
}

void TestCp1252::decodesByte()
{
    QFETCH(int, byte);
    QFETCH(int, character);
    QCOMPARE(int(cp1252::toUnicode(static_cast<unsigned char>(byte))), character);
    const QString text = cp1252::decode(QByteArray(1, char(byte)));
    QCOMPARE(text.size(), 1);
    QCOMPARE(int(text.at(0).unicode()), character);
}

void TestCp1252::everyByteComesBack()
{
    QByteArray all(256, '\0');
    for (int b = 0; b < 256; ++b)
        all[b] = char(b);
    const QString text = cp1252::decode(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(cp1252::encode(text), all);
}

void TestCp1252::encodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("ascii") << QStringLiteral("Ab1 ~") << QByteArray("Ab1 ~");
    QTest::newRow("euro") << QStringLiteral("\u20AC") << QByteArray("\x80");
    QTest::newRow("latin-1") << QStringLiteral("\u00E9\u00FF") << QByteArray("\xE9\xFF");
    QTest::newRow("C1 control with a 1252 character") << QStringLiteral("\u0080") << QByteArray("?");
    QTest::newRow("C1 control that is unassigned") << QStringLiteral("\u0081") << QByteArray("\x81");
    QTest::newRow("greek omega") << QStringLiteral("\u03A9") << QByteArray("?");
    QTest::newRow("outside the BMP is one character") << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray("?");
    QTest::newRow("mixed") << QStringLiteral("x\u2122\u0161\u4E2Dy") << QByteArray("x\x99\x9A?y");
}

void TestCp1252::encodes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(cp1252::encode(text), bytes);
}

QTEST_APPLESS_MAIN(TestCp1252)
#include "tst_cp1252.moc"
