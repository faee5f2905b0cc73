// The about window: its text word for word, and its keys.

#include "shell/about.h"

#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestAbout : public QObject {
    Q_OBJECT

    static QPlainTextEdit *text(About &about) { return about.findChild<QPlainTextEdit *>("Text1"); }
    static QPushButton *ok(About &about) { return about.findChild<QPushButton *>("Command1"); }
    // Shows about and waits until it is exposed, active and its text has the focus.
    static void showWithTheTextFocused(About &about)
    {
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        about.activateWindow();
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(text(about)));
    }

private slots:
    void textAsDesigned()
    {
        const QString t = About::aboutText();
        QCOMPARE(t.size(), 1660);
        const QStringList lines = t.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 28);  // 27 lines, the last one ended too
        QVERIFY(lines.last().isEmpty());
        QCOMPARE(t.count(QStringLiteral("\r\n")), 27);
        QCOMPARE(t.count(QLatin1Char('\n')), 27);
        QCOMPARE(t.count(QLatin1Char('\r')), 27);
        QVERIFY(lines[0].endsWith(QStringLiteral(".BIN files  in the   ARVELLON ")));
        QVERIFY(lines[5].endsWith(QStringLiteral("used to ")));
        QVERIFY(lines[10].contains(QStringLiteral("Compatible  mode"))
                && lines[10].contains(QStringLiteral("RAW  for")));
        QVERIFY(lines[10].endsWith(QStringLiteral("printer ")));
        QCOMPARE(lines[12], QStringLiteral("   Menu: "));
        QVERIFY(lines[13].startsWith(QStringLiteral("\t Convert_srec2bin"))
                && lines[13].endsWith(QStringLiteral("to  bin file. ")));
        QVERIFY(lines[14].startsWith(QStringLiteral("\t Bin_file_to_load")));
        QVERIFY(lines[15].startsWith(QString(17, QLatin1Char(' ')) + QStringLiteral("Com,")));
        QVERIFY(lines[16].startsWith(QString(17, QLatin1Char(' ')) + QStringLiteral("Clear,")));
        for (int i : {18, 19, 20, 21})
            QVERIFY2(lines[i].endsWith(QLatin1Char(' ')) && !lines[i].endsWith(QStringLiteral("  ")),
                     qPrintable(lines[i]));
        QVERIFY(lines[18].contains(QStringLiteral("you can  switch")));
        QVERIFY(lines[23].endsWith(QStringLiteral("switch on  ")));
        QVERIFY(lines[24].contains(QStringLiteral("that  signify")));
        QCOMPARE(lines[26], QStringLiteral("Velantra loader V2.0 08/00  WIN98, NT4."));
        for (int i : {2, 7, 17, 25})
            QVERIFY(lines[i].isEmpty());
    }

    void windowAsDesigned()
    {
        QMainWindow owner;
        About about(&owner);
        QCOMPARE(about.windowTitle(), QStringLiteral("About"));
        QVERIFY(about.isModal());
        QCOMPARE(about.size(), QSize(532, 433));
        QCOMPARE(text(about)->geometry(), QRect(8, 0, 513, 385));
        QCOMPARE(ok(about)->geometry(), QRect(208, 400, 89, 25));
        QCOMPARE(ok(about)->text(), QStringLiteral("Ok"));
        QVERIFY(!ok(about)->isDefault() && !ok(about)->autoDefault());
        QVERIFY(!text(about)->isReadOnly());
        QCOMPARE(text(about)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(text(about)->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(text(about)->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        // The pane shows the 27 lines; its line breaks are its own.
        QCOMPARE(text(about)->toPlainText(), About::aboutText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }

    void keys()
    {
        QMainWindow owner;
        owner.show();
        About about(&owner);
        showWithTheTextFocused(about);
        if (QTest::currentTestFailed())
            return;

        const int blocks = text(about)->blockCount();
        QTest::keyClick(text(about), Qt::Key_Return);
        QCOMPARE(text(about)->blockCount(), blocks + 1);
        QVERIFY(about.isVisible());

        QTest::keyClick(text(about), Qt::Key_Escape);
        QVERIFY(about.isVisible());
        QTest::keyClick(&about, Qt::Key_Escape);
        QVERIFY(about.isVisible());

        QTest::keyClick(text(about), Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ok(about)));
        QTest::keyClick(ok(about), Qt::Key_Space);
        QTRY_VERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    // Enter on the focused "Ok" presses it, though it is no default button.
    void enterPressesTheFocusedOk_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("Enter") << int(Qt::Key_Return) << Qt::KeyboardModifiers(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier);
    }
    void enterPressesTheFocusedOk()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QMainWindow owner;
        owner.show();
        About about(&owner);
        showWithTheTextFocused(about);
        if (QTest::currentTestFailed())
            return;

        // In the text box Enter is a line break, and Esc closes nothing.
        const int blocks = text(about)->blockCount();
        QTest::keyClick(text(about), Qt::Key(key), modifiers);
        QCOMPARE(text(about)->blockCount(), blocks + 1);
        QVERIFY(about.isVisible());
        QTest::keyClick(text(about), Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ok(about)));
        QVERIFY(!ok(about)->isDefault() && !ok(about)->autoDefault());
        QTest::keyClick(ok(about), Qt::Key_Escape);
        QVERIFY(about.isVisible());

        QTest::keyClick(ok(about), Qt::Key(key), modifiers);
        QTRY_VERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void editsAreLostOnClosing()
    {
        QMainWindow owner;
        {
            About about(&owner);
            text(about)->setPlainText(QStringLiteral("scribbled over"));
            QTest::mouseClick(ok(about), Qt::LeftButton);
        }
        About again(&owner);
        QCOMPARE(text(again)->toPlainText().size(), 1660 - 27);
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
