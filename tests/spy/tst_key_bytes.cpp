// Keys typed into the spy display while the port is open: what goes out.
#include "spy/key_bytes.h"

#include <QtTest>

Q_DECLARE_METATYPE(KeyKind)

class TestKeyBytes : public QObject {
    Q_OBJECT

private slots:
    void maps_data();
    void maps();
};

void TestKeyBytes::maps_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<KeyKind>("kind");
    QTest::addColumn<QByteArray>("bytes");

    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const auto chr = KeyKind::Character;
    const auto no = KeyKind::NotCharacter;

    QTest::newRow("letter") << int(Qt::Key_A) << none << "a" << chr << QByteArray("a");
    QTest::newRow("shifted letter") << int(Qt::Key_A) << shift << "A" << chr << QByteArray("A");
    QTest::newRow("digit on the keypad") << int(Qt::Key_5) << Qt::KeyboardModifiers(Qt::KeypadModifier) << "5" << chr
                                         << QByteArray("5");
    QTest::newRow("space") << int(Qt::Key_Space) << none << " " << chr << QByteArray(" ");
    QTest::newRow("Enter") << int(Qt::Key_Return) << none << "\r" << chr << QByteArray("\r");
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier) << "\r" << chr
                                  << QByteArray("\r");
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << "\b" << chr << QByteArray("\b");
    QTest::newRow("Backspace without text") << int(Qt::Key_Backspace) << none << "" << chr << QByteArray("\b");
    QTest::newRow("Esc") << int(Qt::Key_Escape) << none << "\x1b" << chr << QByteArray("\x1b");
    QTest::newRow("Esc without text") << int(Qt::Key_Escape) << none << "" << chr << QByteArray("\x1b");
    QTest::newRow("Tab is never sent") << int(Qt::Key_Tab) << none << "\t" << no << QByteArray();
    QTest::newRow("Shift+Tab is never sent") << int(Qt::Key_Backtab) << shift << "" << no << QByteArray();
    QTest::newRow("Ctrl+A as control text") << int(Qt::Key_A) << ctrl << "\x01" << chr << QByteArray("\x01");
    QTest::newRow("Ctrl+C without text") << int(Qt::Key_C) << ctrl << "" << chr << QByteArray("\x03");
    QTest::newRow("Ctrl+C with the letter as text") << int(Qt::Key_C) << ctrl << "c" << chr << QByteArray("\x03");
    QTest::newRow("Ctrl+Shift+Z") << int(Qt::Key_Z) << (ctrl | shift) << "\x1a" << chr << QByteArray("\x1a");
    QTest::newRow("Ctrl+[") << int(Qt::Key_BracketLeft) << ctrl << "\x1b" << chr << QByteArray("\x1b");
    QTest::newRow("Ctrl+]") << int(Qt::Key_BracketRight) << ctrl << "" << chr << QByteArray("\x1d");
    QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << ctrl << "" << chr << QByteArray("\n");
    QTest::newRow("Ctrl+Backspace") << int(Qt::Key_Backspace) << ctrl << "" << chr << QByteArray("\x7f");
    QTest::newRow("Ctrl+digit") << int(Qt::Key_1) << ctrl << "1" << no << QByteArray();
    QTest::newRow("euro sign") << int(Qt::Key_unknown) << none << "\u20AC" << chr << QByteArray("\x80");
    QTest::newRow("e acute") << int(Qt::Key_Eacute) << none << "\u00E9" << chr << QByteArray("\xE9");
    QTest::newRow("not in the code page") << int(Qt::Key_unknown) << none << "\u0416" << chr << QByteArray("?");
    QTest::newRow("several characters in order")
        << int(Qt::Key_unknown) << none << "a\u00E9\u4E2D" << chr << QByteArray("a\xE9?");
    QTest::newRow("outside the BMP") << int(Qt::Key_unknown) << none << "\U0001F600" << chr << QByteArray("?");
    QTest::newRow("arrow") << int(Qt::Key_Left) << none << "" << no << QByteArray();
    QTest::newRow("Delete") << int(Qt::Key_Delete) << none << "\x7f" << no << QByteArray();
    QTest::newRow("function key") << int(Qt::Key_F5) << none << "" << no << QByteArray();
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << shift << "" << no << QByteArray();
    const auto shortcut = KeyKind::Shortcut;
    const Qt::KeyboardModifiers alt = Qt::AltModifier;
    const Qt::KeyboardModifiers meta = Qt::MetaModifier;
    QTest::newRow("Alt+letter is a menu key") << int(Qt::Key_F) << alt << "f" << shortcut << QByteArray();
    QTest::newRow("Alt+Shift+letter") << int(Qt::Key_F) << (alt | shift) << "F" << shortcut << QByteArray();
    QTest::newRow("Ctrl+Alt+letter") << int(Qt::Key_T) << (ctrl | alt) << "t" << shortcut << QByteArray();
    QTest::newRow("logo key+letter") << int(Qt::Key_E) << meta << "e" << shortcut << QByteArray();
    QTest::newRow("logo key+digit") << int(Qt::Key_1) << meta << "1" << shortcut << QByteArray();
    QTest::newRow("Alt+Enter") << int(Qt::Key_Return) << alt << "\r" << shortcut << QByteArray();
    QTest::newRow("Alt+Tab is no shortcut") << int(Qt::Key_Tab) << alt << "\t" << no << QByteArray();
    QTest::newRow("Alt alone") << int(Qt::Key_Alt) << alt << "" << no << QByteArray();
    QTest::newRow("Alt+arrow") << int(Qt::Key_Left) << alt << "" << no << QByteArray();
    QTest::newRow("dead key") << int(Qt::Key_Dead_Acute) << none << "" << no << QByteArray();
}

void TestKeyBytes::maps()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(KeyKind, kind);
    QFETCH(QByteArray, bytes);
    const KeyBytes out = keyBytes(key, modifiers, text);
    QCOMPARE(out.kind, kind);
    QCOMPARE(out.bytes, bytes);
}

QTEST_APPLESS_MAIN(TestKeyBytes)
#include "tst_key_bytes.moc"
