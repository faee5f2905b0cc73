// The spy display's log: leading backspaces erasing at its end, the bound that
// drops the oldest text (across the chunks it is held in, never half a line
// break), and saving it whole in UTF-8 without leaving partial files.
#include "spy/spy_filter.h"
#include "spy/spy_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Past the size of one chunk of the log, so that cases cross chunks.
constexpr qsizetype kBeyondAChunk = 2200 * 1000;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

}  // namespace

class TestSpyLog : public QObject {
    Q_OBJECT

private slots:
    void leadingBackspacesErase_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("after");
        const QString longLine(kBeyondAChunk, QLatin1Char('a'));
        QTest::newRow("against text") << "prompt> abc" << 2 << "prompt> a";
        QTest::newRow("stops at a line break") << "one\r\nab" << 4 << "one\r\n";
        QTest::newRow("right after a line break") << "one\r\n" << 1 << "one\r\n";
        QTest::newRow("empty log") << "" << 3 << "";
        QTest::newRow("the whole log") << "abc" << 5 << "";
        QTest::newRow("back into an earlier chunk") << "x\r\n" + longLine << int(kBeyondAChunk) - 3 << "x\r\naaa";
        QTest::newRow("a line over two chunks") << "x\r\n" + longLine << int(kBeyondAChunk) + 9 << "x\r\n";
        QTest::newRow("a line over three chunks") << "x\r\n\u0101" + longLine << int(kBeyondAChunk) + 9 << "x\r\n";
        QTest::newRow("8-bit and other characters") << QStringLiteral("\u20ac\u00e9\u0081\r\n\u0080\u2028\U0001F600z")
                                                    << 3 << QStringLiteral("\u20ac\u00e9\u0081\r\n\u0080\u2028");
    }
    void leadingBackspacesErase()
    {
        QFETCH(QString, before);
        QFETCH(int, count);
        QFETCH(QString, after);
        SpyLog log;
        log.append(before);
        QCOMPARE(log.eraseBeforeEnd(count), before.size() - after.size());
        QCOMPARE(log.size(), after.size());
        QCOMPARE(log.text(), after);
        log.append(QStringLiteral("Z"));
        QCOMPARE(log.text(), after + QStringLiteral("Z"));
    }

    void boundDropsTheOldest_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QString>("kept");
        QTest::newRow("under the bound") << 10 << QStringList{"abc", "def"} << "abcdef";
        QTest::newRow("at the bound") << 6 << QStringList{"abc", "def"} << "abcdef";
        QTest::newRow("one over") << 5 << QStringList{"abc", "def"} << "bcdef";
        QTest::newRow("one piece over the bound") << 3 << QStringList{"abcdefgh"} << "fgh";
        QTest::newRow("a line break kept whole") << 4 << QStringList{"ab\r\ncd"} << "\r\ncd";
        QTest::newRow("never half a line break") << 3 << QStringList{"ab\r\n", "cd"} << "cd";
        QTest::newRow("smallest bound") << 1 << QStringList{"ab", "c"} << "c";
        QTest::newRow("cut text, then other characters") << 3 << QStringList{"abcdef", "\u0101"} << "ef\u0101";
        QTest::newRow("other and 8-bit characters") << 4 << QStringList{"\u0101b", "\u20acd\u00e9"} << "b\u20acd\u00e9";
    }
    void boundDropsTheOldest()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, pieces);
        QFETCH(QString, kept);
        SpyLog log(limit);
        for (const QString &piece : pieces)
            log.append(piece);
        QCOMPARE(log.text(), kept);
        QCOMPARE(log.size(), kept.size());
    }

    // Filtered blocks of every size against the same text kept as one string.
    void boundOverManyChunks()
    {
        constexpr qsizetype limit = 2 * kBeyondAChunk;
        SpyLog log(limit);
        QString model;
        QRandomGenerator rng(16);
        for (int i = 0; i < 240; ++i) {
            QString block;
            const int size = int(rng.bounded(i % 20 == 0 ? quint32(kBeyondAChunk) : 3000u));
            for (int k = 0; k < size; ++k) {
                const quint32 roll = rng.bounded(40);
                block += roll == 0 ? QChar(8) : roll == 1 ? QChar(13) : QChar(u'a' + char16_t(roll % 26));
            }
            // Now and then a character beyond the 8-bit set.
            if (i % 37 == 5)
                block.insert(block.size() / 2, QChar(0x0101));
            const SpyFilterResult r = filterSpyBlock(block);
            for (qsizetype k = 0; k < r.leadingBackspaces && !model.isEmpty() && !model.endsWith(QLatin1Char('\n'));
                 ++k)
                model.chop(1);
            model += r.text;
            if (model.size() > limit) {
                model.remove(0, model.size() - limit);
                if (model.startsWith(QLatin1Char('\n')))
                    model.remove(0, 1);
            }
            log.eraseBeforeEnd(r.leadingBackspaces);
            log.append(r.text);
            QCOMPARE(log.size(), model.size());
        }
        QCOMPARE(log.text(), model);

        log.setLimit(10);
        QCOMPARE(log.text(), model.right(10).startsWith(QLatin1Char('\n')) ? model.right(9) : model.right(10));
        log.clear();
        QCOMPARE(log.size(), 0);
        QCOMPARE(log.text(), QString());
    }

    void theDefaultBound()
    {
        QCOMPARE(SpyLog::DefaultLimit, qsizetype(32) * 1024 * 1024);
        QCOMPARE(SpyLog().limit(), SpyLog::DefaultLimit);
    }

    void savesTheTextInUtf8()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("run.log"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(200000, 'o'));
        old.close();
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QVERIFY(old.setPermissions(mode));

        SpyLog log;
        const QString tail = QStringLiteral("\u20ac\u00e9\x1b[0m\r\nfin");
        log.append(QString(kBeyondAChunk, QLatin1Char('x')) + QStringLiteral("\r\n"));
        log.append(tail);
        QString reason;
        QVERIFY2(saveSpyLog(log, path, &reason), qPrintable(reason));
        QCOMPARE(readAll(path), log.text().toUtf8());
        QVERIFY(readAll(path).endsWith("\xe2\x82\xac\xc3\xa9\x1b[0m\r\nfin"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{"run.log"});
        QCOMPARE(QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser),
                 mode & ~(QFile::ReadUser | QFile::WriteUser));

        // Through a link the file it names is replaced; the link stays.
        const QString link = dir.filePath(QStringLiteral("link.log"));
        QVERIFY(QFile::link(path, link));
        SpyLog empty;
        QVERIFY2(saveSpyLog(empty, link, &reason), qPrintable(reason));
        QCOMPARE(readAll(path), QByteArray());
        QVERIFY(QFileInfo(link).isSymLink());
    }

    // Each line keeps the time its first character came in: text is added as
    // "T|text" (the clock reading T seconds), erased as "-N"; "<T>" in the
    // expected text stands for that time written before a line.
    void arrivalTimesOfLines_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        const int none = int(SpyLog::DefaultLimit);
        QTest::newRow("lines of one block share its time")
            << none << QStringList{"1|one\r\ntwo\r\nthr"} << "<1>one\r\n<1>two\r\n<1>thr";
        QTest::newRow("a line goes on in a later block")
            << none << QStringList{"1|one\r\ntw", "2|o\r\nthree"} << "<1>one\r\n<1>two\r\n<2>three";
        QTest::newRow("a line break at a block's end begins no line")
            << none << QStringList{"1|one\r\n", "2|two"} << "<1>one\r\n<2>two";
        QTest::newRow("a line erased whole loses its time")
            << none << QStringList{"1|one\r\nab", "-5", "2|cd"} << "<1>one\r\n<2>cd";
        QTest::newRow("a line erased in part keeps it")
            << none << QStringList{"1|one\r\nab", "-1", "2|cd"} << "<1>one\r\n<1>acd";
        QTest::newRow("an emptied log") << none << QStringList{"1|ab", "-2", "2|x"} << "<2>x";
        QTest::newRow("the bound drops whole lines with their times")
            << 9 << QStringList{"1|first\r\n", "2|second\r\n", "3|third"} << "<2>nd\r\n<3>third";
        QTest::newRow("a cut line break goes with its line")
            << 6 << QStringList{"1|first\r\n", "2|second\r\n", "3|third"} << "<3>third";
        QTest::newRow("a bound of one character") << 1 << QStringList{"1|ab\r\n", "2|c"} << "<2>c";
    }
    void arrivalTimesOfLines()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        const qint64 base = QDateTime(QDate(2026, 12, 9), QTime(1, 14, 48, 123)).toMSecsSinceEpoch();
        qint64 now = base;
        SpyLog log(limit);
        log.setClock([&now] { return now; });
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(QLatin1Char('-'))) {
                log.eraseBeforeEnd(step.mid(1).toInt());
                continue;
            }
            now = base + 1000 * step.section(QLatin1Char('|'), 0, 0).toInt();
            log.append(step.section(QLatin1Char('|'), 1));
        }
        for (int t = 1; t <= 3; ++t)
            expected.replace(QStringLiteral("<%1>").arg(t), spyLineTime(base + 1000 * t) + QLatin1Char(' '));
        QString timed;
        log.forEachTimedPiece([&timed](QStringView piece) { timed += piece; });
        QCOMPARE(timed, expected);
    }

    void aLineTimeIsIsoWithMillisecondsAndOffset()
    {
        const qint64 t = QDateTime(QDate(2026, 12, 9), QTime(1, 14, 48, 7)).toMSecsSinceEpoch();
        const QString written = spyLineTime(t);
        QVERIFY2(
            QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
                .match(written)
                .hasMatch(),
            qPrintable(written));
        QCOMPARE(QDateTime::fromString(written, Qt::ISODateWithMs).toMSecsSinceEpoch(), t);
    }

    // Whatever is added, erased and dropped, one time is kept a line: never
    // one a character, never a line without its time.
    void oneTimeALine()
    {
        SpyLog log(300000);
        qint64 now = 1'700'000'000'000;
        log.setClock([&now] { return now; });
        QRandomGenerator rng(22);
        for (int i = 0; i < 3000; ++i) {
            QString block;
            const int length = rng.bounded(400);
            for (int k = 0; k < length; ++k)
                block +=
                    rng.bounded(12) == 0 ? QStringLiteral("\r\n") : QString(QLatin1Char(char('a' + rng.bounded(26))));
            if (rng.bounded(4) == 0)
                log.eraseBeforeEnd(rng.bounded(30));
            if (rng.bounded(3) == 0)
                now += 1000;
            log.append(block);
        }
        const QString text = log.text();
        QVERIFY(log.size() == 300000);
        const qsizetype lines = text.count(QLatin1Char('\n')) + (text.endsWith(QLatin1Char('\n')) ? 0 : 1);
        QCOMPARE(log.timedLines(), lines);
        // Every line has its time, and the times never go back.
        QString timed;
        log.forEachTimedPiece([&timed](QStringView piece) { timed += piece; });
        const QStringList timedLines = timed.split(QStringLiteral("\r\n"));
        QCOMPARE(timedLines.size(), text.split(QStringLiteral("\r\n")).size());
        QDateTime previous;
        for (const QString &line : timedLines) {
            if (line.isEmpty())
                continue;
            const QDateTime t = QDateTime::fromString(line.section(QLatin1Char(' '), 0, 0), Qt::ISODateWithMs);
            QVERIFY2(t.isValid() && (!previous.isValid() || t >= previous), qPrintable(line.left(40)));
            previous = t;
        }
        QCOMPARE(previous.toMSecsSinceEpoch(), now);
    }

    void aSaveThatCannotBeWritten()
    {
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        SpyLog log;
        log.append(QStringLiteral("text\r\n"));
        QString reason;
        QVERIFY(!saveSpyLog(log, dir.filePath(QStringLiteral("plain/run.log")), &reason));
        QVERIFY(!reason.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{"plain"});
    }
};

QTEST_GUILESS_MAIN(TestSpyLog)
#include "tst_spy_log.moc"
