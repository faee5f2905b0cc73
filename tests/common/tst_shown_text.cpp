// Outside texts made fit to show: control characters as visible escapes, a
// length bound that never cuts an escape or a character in two, ordinary
// texts untouched.

#include "common/shown_text.h"

#include <QtTest>

class TestShownText : public QObject {
    Q_OBJECT

private slots:
    void shown_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("expected");

        const QString esc(QChar(0x1B));
        QTest::newRow("ordinary") << QStringLiteral("Unable to write print data: Broken pipe") << 300
                                  << QStringLiteral("Unable to write print data: Broken pipe");
        QTest::newRow("empty") << QString() << 300 << QString();
        QTest::newRow("accents and a backslash")
            << QStringLiteral("Drucker \u00fcberhitzt C:\\temp \u00e9t\u00e9") << 300
            << QStringLiteral("Drucker \u00fcberhitzt C:\\temp \u00e9t\u00e9");
        QTest::newRow("html stays as characters") << QStringLiteral("<b>Paper jam</b> &amp; <img src=x>") << 300
                                                  << QStringLiteral("<b>Paper jam</b> &amp; <img src=x>");
        QTest::newRow("CR LF TAB") << QStringLiteral("a\r\nb\tc") << 300 << QStringLiteral("a\\r\\nb\\tc");
        QTest::newRow("ESC BEL BS NUL") << esc + QStringLiteral("[2J\a\bx") + QChar(0) << 300
                                        << QStringLiteral("\\x1b[2J\\x07\\x08x\\x00");
        QTest::newRow("DEL and C1") << QStringLiteral("a\u007fb\u0085c\u009bd") << 300
                                    << QStringLiteral("a\\x7fb\\x85c\\x9bd");
        QTest::newRow("direction override and line separator")
            << QStringLiteral("exe.\u202etxt\u2028x") << 300 << QStringLiteral("exe.\\u202etxt\\u2028x");
        QTest::newRow("emoji kept") << QStringLiteral("ok \U0001F600") << 300 << QStringLiteral("ok \U0001F600");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b") << 300
                                        << QStringLiteral("a\\ud800b");

        QTest::newRow("exactly at the limit")
            << QString(300, QLatin1Char('x')) << 300 << QString(300, QLatin1Char('x'));
        QTest::newRow("one over the limit")
            << QString(301, QLatin1Char('x')) << 300 << QString(297, QLatin1Char('x')) + QStringLiteral("...");
        QTest::newRow("32 KB message in a tooltip")
            << QString(32768, QLatin1Char('m')) << 4000 << QString(3997, QLatin1Char('m')) + QStringLiteral("...");
        QTest::newRow("escape not cut in two") << QString(295, QLatin1Char('x')) + esc + QString(10, QLatin1Char('y'))
                                               << 300 << QString(295, QLatin1Char('x')) + QStringLiteral("...");
        QTest::newRow("surrogate pair not cut in two")
            << QString(296, QLatin1Char('x')) + QStringLiteral("\U0001F600\U0001F600\U0001F600") << 300
            << QString(296, QLatin1Char('x')) + QStringLiteral("...");
        QTest::newRow("pair just fits") << QString(296, QLatin1Char('x')) + QStringLiteral("\U0001F600") << 300
                                        << QString(296, QLatin1Char('x')) + QStringLiteral("\U0001F600");
        QTest::newRow("tiny limit") << QStringLiteral("abcdef") << 1 << QStringLiteral("a...");

        QString lines;
        for (int i = 1; i <= 200; ++i)
            lines += QStringLiteral("<p>line %1</p>\r\n").arg(i);
        QString shownLines = lines;
        shownLines.replace(QStringLiteral("\r\n"), QStringLiteral("\\r\\n"));
        QTest::newRow("200-line html message") << lines << 300 << shownLines.left(297) + QStringLiteral("...");
    }

    void shown()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        QFETCH(QString, expected);
        const QString shown = shownText(text, limit);
        QCOMPARE(shown, expected);
        QVERIFY(shown.size() <= qMax(limit, 4));
        for (const QChar c : shown)
            QVERIFY2(c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F), qPrintable(shown));
        // Showing it again changes nothing.
        QCOMPARE(shownText(shown, limit), shown);
    }
};

QTEST_GUILESS_MAIN(TestShownText)
#include "tst_shown_text.moc"
