// The window's serial procedures over a pseudo-terminal playing the decoder:
// port selection, live text, keys to the decoder, line events, a lost line,
// the log of the whole run and saving it (failed saves in a private mount
// namespace: a read-only bind mount, a full file system).

#include "spy/cp1252.h"
#include "spy/mscomm.h"
#include "spy/spy_filter.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"
#include "spy/spy_record.h"
#include "window_fixture.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <utility>

namespace {

// The pane's whole text with its line breaks as CR LF.
QString paneText(const QPlainTextEdit *pane)
{
    QString raw = pane->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return raw;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The spy display's text of a saved log: what follows the record's header
// (which must be there).
QByteArray savedText(const QByteArray &saved)
{
    const QByteArray end = QByteArray(kSpyRecordTextStart) + "\r\n";
    const qsizetype at = saved.indexOf(end);
    return saved.startsWith("Spy log of ") && at > 0 ? saved.mid(at + end.size()) : QByteArray("<no header>");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Name);
}

// Moves this process into a mount namespace of its own, once, with every
// mount private to it: what the cases mount never reaches the machine.
// Returns what failed, or an empty text.
QString privateMountNamespace()
{
    static const QString failure = []() -> QString {
        if (::unshare(CLONE_NEWNS) != 0)
            return QStringLiteral("unshare(CLONE_NEWNS): %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QStringLiteral("making / private: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }();
    return failure;
}

// Decoder-like debug text: block reports with CR LF, now and then a NUL, an
// LF CR pair, a corrected typo, an escape sequence or 8-bit characters.
QByteArray decoderFlood(qsizetype size)
{
    QByteArray out;
    QRandomGenerator rng(16000);
    for (quint32 block = 0; out.size() < size; ++block) {
        out += "adresse 0x" + QByteArray::number(0x10000u + block * 0x1000u, 16).rightJustified(8, '0');
        if (rng.bounded(7) == 0)
            out += "blocc\b";
        out += " bloc " + QByteArray::number(block);
        if (rng.bounded(11) == 0)
            out += QByteArray("\0\x1b[1m\x80\xe9\xa0", 8);
        out += rng.bounded(5) == 0 ? "\n\r" : "\r\n";
    }
    out.truncate(size);
    return out;
}

}  // namespace

class TestSpyWindow : public QObject {
    Q_OBJECT

    // The window with COM1 and COM2 on pseudo-terminals, shown and active when told.
    struct Fixture : WindowFixture {
        explicit Fixture(bool show = false) : WindowFixture({show ? Show::Active : Show::Hidden, QString(), true}) {}
        QString settings() { return panel("Settings")->text(); }
        QString shown() { return spy()->toPlainText(); }
    };

private slots:
    void decoderTextReachesTheSpyDisplay()
    {
        Fixture f;
        QVERIFY(f.line1->isOpen());
        f.action("com1")->trigger();
        QVERIFY(f.action("com1")->isChecked());
        QVERIFY(!f.action("com2")->isChecked());
        QCOMPARE(f.settings(), QStringLiteral("Settings: 38400,n,8,1"));
        QVERIFY(f.doubles.messages->warnings.isEmpty());

        QVERIFY(f.line1->write(QByteArray("boot v2\r\nRAM\0 ok\r\nattente negociation\r", 38)));
        QTRY_COMPARE(f.shown(), QStringLiteral("boot v2\nRAM ok\nattente negociation\n"));

        // A CR LF split over two reads is one line break; LF CR is one too.
        QVERIFY(f.line1->write("x\r"));
        QTRY_VERIFY(f.shown().endsWith(QStringLiteral("x\n")));
        QVERIFY(f.line1->write("\ny\n\rz"));
        QTRY_VERIFY(f.shown().endsWith(QStringLiteral("x\ny\nz")));

        // Bytes above 0x7F through the 8-bit character set.
        QVERIFY(f.line1->write(QByteArray("\r\n\x80\xe9\xff", 5)));
        QTRY_VERIFY(f.shown().endsWith(QStringLiteral("\n\u20ac\u00e9\u00ff")));
        QCOMPARE(f.window->receiveBuffer().right(3), QByteArray("\x80\xe9\xff", 3));

        // Choosing the checked item again leaves the open port alone.
        f.action("com1")->trigger();
        QVERIFY(f.action("com1")->isChecked());
        QVERIFY(f.window->serialPort().portOpen());
    }

    void keysGoToTheDecoderWhileThePortIsOpen()
    {
        Fixture f(true);
        f.spy()->setFocus();
        QTest::keyClicks(f.spy(), "ab");
        QCOMPARE(f.shown(), QStringLiteral("ab"));  // port closed: the pane takes the keys

        f.action("com1")->trigger();
        f.line1->readFor(50);
        f.spy()->moveCursor(QTextCursor::Start);
        QTest::keyClicks(f.spy(), "hi");
        QTest::keyClick(f.spy(), Qt::Key_Backspace);
        QTest::keyClick(f.spy(), Qt::Key_Return);
        QTest::keyClick(f.spy(), Qt::Key_C, Qt::ControlModifier);
        QTest::keyClick(f.spy(), Qt::Key_Escape);
        QCOMPARE(f.line1->read(2000, 6), QByteArray("hi\b\r\x03\x1b"));
        QCOMPARE(f.shown(), QStringLiteral("ab"));
        QCOMPARE(f.spy()->textCursor().position(), 2);  // caret moved to the end

        // Tab moves the focus and is never sent.
        QTest::keyClick(f.spy(), Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), f.window->findChild<QWidget *>("Textinfo"));
        QCOMPARE(f.line1->readFor(50), QByteArray());
    }

    // Alt or the logo key with a letter never types the letter into the
    // decoder's text nor sends it, whether the port is open or not; the menus'
    // access keys still work.
    void altAndLogoKeysNeverTypeText_data()
    {
        QTest::addColumn<bool>("portOpen");
        QTest::newRow("port open") << true;
        QTest::newRow("port closed") << false;
    }
    void altAndLogoKeysNeverTypeText()
    {
        QFETCH(bool, portOpen);
        Fixture f(true);
        if (portOpen)
            f.action("com1")->trigger();
        QCOMPARE(f.window->serialPort().portOpen(), portOpen);
        QString prompt = QStringLiteral("attente negociation\r\n> ");
        f.window->AppendSpyText(prompt);
        QTRY_COMPARE(f.shown(), QStringLiteral("attente negociation\n> "));
        f.spy()->setFocus();
        QTRY_VERIFY(f.spy()->hasFocus());
        f.line1->readFor(50);

        QTest::keyClick(f.spy(), Qt::Key_X, Qt::AltModifier);
        QTest::keyClick(f.spy(), Qt::Key_Q, Qt::AltModifier | Qt::ShiftModifier);
        QTest::keyClick(f.spy(), Qt::Key_E, Qt::MetaModifier);
        QTest::keyClick(f.spy(), Qt::Key_1, Qt::MetaModifier);
        QCOMPARE(f.line1->readFor(100), QByteArray());
        QCOMPARE(f.shown(), QStringLiteral("attente negociation\n> "));

        // Alt+F still opens the File menu.
        auto *fileMenu = f.window->findChild<QMenu *>("Menu_file");
        QTest::keyClick(f.spy(), Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(fileMenu->isVisible());
        fileMenu->close();
        QCOMPARE(f.shown(), QStringLiteral("attente negociation\n> "));
        QCOMPARE(f.line1->readFor(50), QByteArray());
    }

    // While an error box of the spy display is open, further errors of the
    // display are not shown; once it is closed, the next one is.
    void nestedSpyErrorsOpenOneBox()
    {
        Fixture f;
        SpyPane &pane = f.window->spyPane();
        int boxes = 0;
        f.doubles.messages->whileOpen = [&] {
            if (boxes++ > 0)
                return;
            emit pane.flushFailed(QStringLiteral("second"));
            emit pane.flushFailed(QStringLiteral("third"));
        };
        emit pane.flushFailed(QStringLiteral("first"));
        QCOMPARE(f.doubles.messages->errors, QStringList{"first"});
        emit pane.flushFailed(QStringLiteral("later"));
        QCOMPARE(f.doubles.messages->errors, (QStringList{"first", "later"}));
    }

    void keysFindTheWholeText()
    {
        Fixture f(true);
        f.spy()->setFocus();
        QTRY_VERIFY(f.spy()->hasFocus());
        // Port closed: the pane takes the keys after text that was still to be shown.
        QString prompt = QStringLiteral("boot> ");
        f.window->AppendSpyText(prompt);
        QTest::keyClicks(f.spy(), "ab");
        QCOMPARE(f.shown(), QStringLiteral("boot> ab"));

        // Port open: the key is sent and the caret goes after all the text.
        f.action("com1")->trigger();
        f.line1->readFor(50);
        f.spy()->moveCursor(QTextCursor::Start);
        QString more = QStringLiteral("\r\nready");
        f.window->AppendSpyText(more);
        QTest::keyClick(f.spy(), Qt::Key_H);
        QCOMPARE(f.line1->read(2000, 1), QByteArray("h"));
        QCOMPARE(f.shown(), QStringLiteral("boot> ab\nready"));
        QCOMPARE(f.spy()->textCursor().position(), f.spy()->document()->characterCount() - 1);
    }

    void clearDropsTextStillToBeShown()
    {
        Fixture f;
        QString shown = QStringLiteral("shown\r\n");
        f.window->AppendSpyText(shown);
        QTRY_COMPARE(f.shown(), QStringLiteral("shown\n"));
        QString waiting = QStringLiteral("waiting");
        f.window->AppendSpyText(waiting);
        QCOMPARE(f.window->spyLog().text(), QStringLiteral("shown\r\nwaiting"));
        f.action("Clear")->trigger();
        QCOMPARE(f.shown(), QString());
        QCOMPARE(f.window->spyLog().size(), 0);
        QTest::qWait(100);
        QCOMPARE(f.shown(), QString());
        QString after = QStringLiteral("after");
        f.window->AppendSpyText(after);
        QTRY_COMPARE(f.shown(), QStringLiteral("after"));
        QCOMPARE(f.window->spyLog().text(), QStringLiteral("after"));
    }

    void switchingPortsClosesTheFirstBeforeOpeningTheSecond()
    {
        Fixture f;
        // Both numbers name the same device: the second open can only succeed
        // once the first port has been closed.
        f.device2 = f.device1;
        f.action("com1")->trigger();
        QVERIFY(f.action("com1")->isChecked());
        f.action("com2")->trigger();
        QVERIFY(f.doubles.messages->warnings.isEmpty());
        QVERIFY(f.action("com2")->isChecked());
        QVERIFY(!f.action("com1")->isChecked());
        QCOMPARE(f.window->serialPort().commPort(), int16_t(2));
    }

    void aPortThatCannotBeOpened()
    {
        Fixture f;
        f.action("com1")->trigger();
        f.device2 = QStringLiteral("/nonexistent/ttyQX");
        f.action("com2")->trigger();
        QCOMPARE(f.doubles.messages->warnings.size(), 1);
        QVERIFY2(f.doubles.messages->warnings[0].startsWith(QStringLiteral("Cannot open COM2 (/nonexistent/ttyQX): ")),
                 qPrintable(f.doubles.messages->warnings[0]));
        QVERIFY(!f.action("com1")->isChecked());
        QVERIFY(!f.action("com2")->isChecked());
        QCOMPARE(f.settings(), QStringLiteral("COM settings:"));
        QVERIFY(!f.window->serialPort().portOpen());

        // The program goes on: COM1 opens again.
        f.action("com1")->trigger();
        QVERIFY(f.action("com1")->isChecked());
    }

    // Where no device stands for the number (COM2 of the rehearsal), the
    // warning says so and how to give the number to an adapter.
    void aNumberWithNoDevice()
    {
        Fixture f;
        f.device2.clear();
        f.action("com2")->trigger();
        QCOMPARE(f.doubles.messages->warnings,
                 QStringList{"Cannot open COM2: no device stands for COM2 on this PC: give the number to a USB serial "
                             "adapter with sudo load_qx7100-bench com2 DEVICE."});
        QVERIFY(!f.action("com2")->isChecked());
    }

    void lineErrorsReopenOrAreIgnored_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("reopens");
        for (int code : {1006, 1008, 1011})
            QTest::newRow(qPrintable(QString::number(code))) << code << true;
        for (int code : {1001, 1004, 1009, 1010, 1, 3, 4, 5, 6, 7, 4242})
            QTest::newRow(qPrintable(QString::number(code))) << code << false;
    }
    void lineErrorsReopenOrAreIgnored()
    {
        QFETCH(int, code);
        QFETCH(bool, reopens);
        Fixture f;
        f.action("com2")->trigger();
        // Pointing COM2 elsewhere shows whether the port was opened again.
        f.device2 = QStringLiteral("/nonexistent/ttyQX");
        f.window->serialPort().raiseEvent(int16_t(code));
        QCOMPARE(f.doubles.messages->warnings.size(), reopens ? 1 : 0);
        QCOMPARE(f.window->serialPort().portOpen(), !reopens);
        QCOMPARE(f.window->serialPort().commPort(), int16_t(2));
    }

    void overrunReopensOnTheSameNumber()
    {
        Fixture f;
        f.action("com2")->trigger();
        f.window->serialPort().raiseEvent(MSComm::comEventOverrun);
        QVERIFY(f.window->serialPort().portOpen());
        QCOMPARE(f.window->serialPort().commPort(), int16_t(2));
        QVERIFY(f.action("com2")->isChecked());
        QVERIFY(f.line2->write("still here"));
        QTRY_COMPARE(f.shown(), QStringLiteral("still here"));
    }

    void theDecoderSideGoingAwayIsSurvived()
    {
        Fixture f;
        f.action("com1")->trigger();
        QVERIFY(f.line1->write("before\r\n"));
        QTRY_COMPARE(f.shown(), QStringLiteral("before\n"));
        f.line1->closeSlave();
        f.line1->closeMaster();
        QTRY_COMPARE(f.doubles.messages->warnings.size(), 1);
        QTest::qWait(100);
        QCOMPARE(f.doubles.messages->warnings.size(), 1);  // reported once
        QVERIFY2(
            f.doubles.messages->warnings[0].startsWith(QStringLiteral("COM1 (%1) stopped working: ").arg(f.device1)),
            qPrintable(f.doubles.messages->warnings[0]));
        // A pseudo-terminal named directly is not waited for: its number
        // goes to the next terminal opened.
        QVERIFY(f.doubles.messages->warnings[0].endsWith(QStringLiteral(". The port is closed.")));
        QVERIFY(!f.window->serialPort().portOpen());
        QVERIFY(!f.action("com1")->isChecked());
        QCOMPARE(f.settings(), QStringLiteral("COM settings:"));
        QCOMPARE(f.shown(), QStringLiteral("before\n"));
    }

    void textKeepsComingBehindAWarningBox()
    {
        Fixture f;
        f.action("com1")->trigger();
        f.doubles.printer->info.state = DefaultPrinterInfo::State::NoServer;
        bool seen = false;
        f.doubles.messages->whileOpen = [&] {
            f.line1->write("behind the box");
            seen = QTest::qWaitFor([&] { return f.shown() == QStringLiteral("behind the box"); }, 3000);
        };
        f.action("start_1")->trigger();
        QVERIFY(seen);
        QCOMPARE(f.doubles.messages->warnings.size(), 1);
    }

    void textKeepsComingBehindTheAboutWindow()
    {
        Fixture f(true);
        f.action("com1")->trigger();
        bool seen = false;
        QTimer::singleShot(0, [&] {
            f.line1->write("about open");
            seen = QTest::qWaitFor([&] { return f.shown() == QStringLiteral("about open"); }, 3000);
            if (QWidget *about = QApplication::activeModalWidget())
                about->close();
        });
        f.action("Status")->trigger();
        QVERIFY(seen);
    }

    void leadingBackspacesEraseWhatIsShown_data()
    {
        QTest::addColumn<QString>("pane");
        QTest::addColumn<QString>("block");
        QTest::addColumn<QString>("shown");
        QTest::newRow("against text") << "prompt> abc"
                                      << "\b\bX"
                                      << "prompt> aX";
        QTest::newRow("more than the line") << "one\r\nab"
                                            << "\b\b\b\bZ"
                                            << "one\nZ";
        QTest::newRow("against a line break") << "one\r\n"
                                              << "\bY"
                                              << "one\nY";
        QTest::newRow("empty pane") << ""
                                    << "\b\bQ"
                                    << "Q";
        QTest::newRow("within the block") << ""
                                          << "ab\b\bc"
                                          << "c";
        QTest::newRow("NUL removed alone") << "" << QString::fromLatin1("a\0b", 3) << "ab";
    }
    void leadingBackspacesEraseWhatIsShown()
    {
        QFETCH(QString, pane);
        QFETCH(QString, block);
        QFETCH(QString, shown);
        Fixture f;
        QString seed = pane;
        f.window->AppendSpyText(seed);
        f.window->AppendSpyText(block);
        QTRY_COMPARE(f.shown(), shown);
        QCOMPARE(f.spy()->textCursor().position(), f.spy()->document()->characterCount() - 1);
        QVERIFY(f.doubles.messages->errors.isEmpty());
        QCOMPARE(f.window->spyLog().text(), paneText(f.spy()));
    }

    void paneIsTrimmedBeforeTheBlockIsAdded()
    {
        Fixture f;
        auto counted = [&] { return f.shown().size() + f.spy()->blockCount() - 1; };  // CR LF as two
        // 1142 lines of 12 characters and CR LF, then 12 more: 16000 counted.
        QString seed = QString(QStringLiteral("abcdefghijkl\r\n")).repeated(1142) + QStringLiteral("abcdefghijkl");
        f.window->AppendSpyText(seed);
        QString empty;
        f.window->AppendSpyText(empty);
        QTRY_COMPARE(counted(), 16000);  // kept whole

        QString one = QStringLiteral("!");
        f.window->AppendSpyText(one);  // 16001 now
        QString next = QStringLiteral("next");
        f.window->AppendSpyText(next);
        QTRY_COMPARE(counted(), 11905 + 4);
        QVERIFY(f.shown().endsWith(QStringLiteral("abcdefghijkl!next")));
    }

    // Many times what the pane keeps, through the line: the saved log is the
    // filter's output for every block received, the pane keeps its text and
    // the port stays open.
    void theWholeRunIsSaved()
    {
        Fixture f;
        f.action("com1")->trigger();
        QList<QByteArray> blocks;
        qsizetype received = 0;
        connect(&f.window->serialPort(), &MSComm::OnComm, f.window.get(), [&] {
            if (f.window->serialPort().commEvent() == MSComm::comEvReceive) {
                blocks << f.window->receiveBuffer();
                received += blocks.constLast().size();
            }
        });
        const QByteArray flood = decoderFlood(12 * SpyPane::TrimAbove);
        QVERIFY(f.line1->write(flood, 20000));
        QTRY_COMPARE_WITH_TIMEOUT(received, flood.size(), 20000);
        QVERIFY(blocks.join() == flood);

        QString expected;
        for (const QByteArray &bytes : std::as_const(blocks)) {
            const SpyFilterResult r = filterSpyBlock(cp1252::decode(bytes));
            for (qsizetype k = 0; k < r.leadingBackspaces && !expected.isEmpty() && !expected.endsWith(u'\n'); ++k)
                expected.chop(1);
            expected += r.text;
        }
        QVERIFY(expected.size() > 10 * SpyPane::TrimAbove);
        QTRY_VERIFY(paneText(f.spy()).size() > 11000 && expected.endsWith(paneText(f.spy())));
        const QString paneBefore = paneText(f.spy());

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bench 3.log"));
        f.doubles.fileDialog->saveAnswers << path;
        f.action("savelog")->trigger();
        QVERIFY2(f.doubles.messages->warnings.isEmpty(), qPrintable(f.doubles.messages->warnings.join('\n')));
        const QByteArray saved = savedText(fileBytes(path));
        QCOMPARE(saved.size(), expected.toUtf8().size());
        QVERIFY(saved == expected.toUtf8());
        QCOMPARE(saved.count("\r\n"), expected.count(QLatin1String("\r\n")));
        QCOMPARE(saved.count('\n'), saved.count("\r\n"));
        QCOMPARE(paneText(f.spy()), paneBefore);
        QVERIFY(f.window->serialPort().portOpen());
        QCOMPARE(entries(dir.path()), QStringList{"bench 3.log"});

        QCOMPARE(f.doubles.fileDialog->suggestedNames.size(), 1);
        const QString suggested = f.doubles.fileDialog->suggestedNames[0];
        QVERIFY2(QRegularExpression(QStringLiteral("^qx7100-\\d{8}-\\d{6}\\.log$")).match(suggested).hasMatch(),
                 qPrintable(suggested));
        QCOMPARE(f.doubles.fileDialog->saveFiltersShown[0],
                 (QStringList{"Log files (*.log)", "Spy log with times (*.log)"}));

        // More text after a save goes on the end of the same log.
        QVERIFY(f.line1->write("\r\nencore"));
        QTRY_VERIFY(f.window->spyLog().text().endsWith(QStringLiteral("\r\nencore")));
        QCOMPARE(f.window->spyLog().size(), expected.size() + 8);
    }

    // The saved log is the record of the run: the header names the program,
    // the port and what is behind it, and each image sent with its size,
    // SHA-256, job and how the job ended; with times chosen, each line starts
    // with the time its first character came in.
    void theSavedLogIsTheRecordOfTheRun()
    {
        WindowFixture f({WindowFixture::Show::Hidden, QStringLiteral("bench"), true});
        f.action("com1")->trigger();
        QVERIFY(f.window->serialPort().portOpen());
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("qx7100 fw.bin"));
        QByteArray bytes(100000, '\0');
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7);
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(bytes), bytes.size());
        }
        const QString sha = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        f.choose(image);
        f.doubles.rawPrint->nextJobId = 12;
        f.doubles.printJobs->jobs[12] = FakePrintJobs::state(9);
        QVERIFY(f.line1->write("boot v2\r\nRAM ok\r\n"));
        QTRY_COMPARE(f.spy()->toPlainText(), QStringLiteral("boot v2\nRAM ok\n"));
        f.start()->click();
        auto *job = f.panel("Job");
        QTRY_COMPARE(job->text(), QStringLiteral("Job 12: sent 100000 bytes"));
        QTRY_COMPARE(job->toolTip(),
                     QStringLiteral("Job 12: sent 100000 bytes\nImage: %1\n100000 bytes, SHA-256 %2").arg(image, sha));
        QVERIFY(f.line1->write("flash ok"));
        QTRY_VERIFY(f.spy()->toPlainText().endsWith(QStringLiteral("flash ok")));

        const QString path = dir.filePath(QStringLiteral("record.log"));
        f.doubles.fileDialog->saveAnswers << path;
        f.doubles.fileDialog->saveFilterAnswers << QStringLiteral("Spy log with times (*.log)");
        f.action("savelog")->trigger();
        QVERIFY2(f.doubles.messages->warnings.isEmpty(), qPrintable(f.doubles.messages->warnings.join('\n')));
        const QStringList lines = QString::fromUtf8(fileBytes(path)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 11);
        QVERIFY2(lines[0].startsWith(QStringLiteral("Spy log of load_velantra ")), qPrintable(lines[0]));
        QVERIFY2(
            QRegularExpression(QStringLiteral("^Saved: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"))
                .match(lines[1])
                .hasMatch(),
            qPrintable(lines[1]));
        QCOMPARE(lines[2], QStringLiteral("Port: COM1 (%1), open").arg(f.device1));
        QCOMPARE(lines[3], QStringLiteral("Behind it: pseudo-terminal %1").arg(f.device1));
        QCOMPARE(lines[4], QStringLiteral("Image 1: ") + image);
        QCOMPARE(lines[5], QStringLiteral("  100000 bytes, SHA-256 ") + sha);
        QCOMPARE(lines[6], QStringLiteral("  job 12: sent 100000 bytes"));
        QCOMPARE(lines[7], QString::fromLatin1(kSpyRecordTextStart));
        const QString time = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d ");
        const QStringList text{"boot v2", "RAM ok", "flash ok"};
        for (int i = 0; i < 3; ++i)
            QVERIFY2(
                QRegularExpression(QLatin1Char('^') + time + text[i] + QLatin1Char('$')).match(lines[8 + i]).hasMatch(),
                qPrintable(lines[8 + i]));

        // Without times, the same record and the text as it is.
        f.doubles.fileDialog->saveAnswers << path;
        f.action("savelog")->trigger();
        QCOMPARE(savedText(fileBytes(path)), QByteArray("boot v2\r\nRAM ok\r\nflash ok"));
        QVERIFY(fileBytes(path).contains("\r\n  job 12: sent 100000 bytes\r\n"));
    }

    void aCancelledSaveDoesNothing()
    {
        Fixture f;
        QString text = QStringLiteral("text\r\n");
        f.window->AppendSpyText(text);
        const QStringList here = entries(QDir::currentPath());
        f.action("savelog")->trigger();
        QCOMPARE(f.doubles.fileDialog->suggestedNames.size(), 1);
        QVERIFY(f.doubles.messages->warnings.isEmpty());
        QCOMPARE(entries(QDir::currentPath()), here);
        QCOMPARE(f.window->spyLog().text(), text);
    }

    void theLogKeepsTheNewestText()
    {
        Fixture f;
        f.window->spyLog().setLimit(10);
        QString text = QStringLiteral("oldest\r\nlines\r\nnewest");
        f.window->AppendSpyText(text);
        QTemporaryDir dir;
        f.doubles.fileDialog->saveAnswers << dir.filePath(QStringLiteral("run.log"));
        f.action("savelog")->trigger();
        QCOMPARE(savedText(fileBytes(dir.filePath(QStringLiteral("run.log")))), QByteArray("es\r\nnewest"));
    }

    void aSaveThatCannotBeWritten_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("parent is a file") << "parent file" << QString::fromLocal8Bit(std::strerror(ENOTDIR));
        QTest::newRow("read-only mount") << "read-only" << QString::fromLocal8Bit(std::strerror(EROFS));
        QTest::newRow("read-only mount, file there")
            << "read-only existing" << QString::fromLocal8Bit(std::strerror(EROFS));
        QTest::newRow("full file system, file there")
            << "full existing" << QString::fromLocal8Bit(std::strerror(ENOSPC));
    }
    void aSaveThatCannotBeWritten()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        Fixture f;
        f.action("com1")->trigger();
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("target"));
        QVERIFY(QDir().mkpath(target));
        const QByteArray old("old log\r\n");
        auto writeOld = [&] {
            QFile file(target + QStringLiteral("/old.log"));
            return file.open(QIODevice::WriteOnly) && file.write(old) == old.size();
        };

        bool mounted = false;
        auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(qPrintable(target), MNT_DETACH);
        });
        QString path;
        QStringList left;
        if (kind == QLatin1String("parent file")) {
            QFile plain(dir.filePath(QStringLiteral("plain")));
            QVERIFY(plain.open(QIODevice::WriteOnly));
            path = dir.filePath(QStringLiteral("plain/run.log"));
        } else {
            const QString failure = privateMountNamespace();
            QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral("this case needs a private mount namespace "
                                                                  "(root or CAP_SYS_ADMIN, unshare allowed): ")
                                                   + failure));
            if (kind.startsWith(QLatin1String("read-only"))) {
                QVERIFY(writeOld());
                QVERIFY2(::mount(qPrintable(target), qPrintable(target), nullptr, MS_BIND, nullptr) == 0,
                         std::strerror(errno));
                mounted = true;
                QVERIFY2(::mount(nullptr, qPrintable(target), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                         std::strerror(errno));
            } else {
                QVERIFY2(::mount("tmpfs", qPrintable(target), "tmpfs", 0, "size=64k") == 0, std::strerror(errno));
                mounted = true;
                QVERIFY(writeOld());
            }
            path =
                target
                + (kind.endsWith(QLatin1String("existing")) ? QStringLiteral("/old.log") : QStringLiteral("/run.log"));
            left = QStringList{"old.log"};
        }
        // More than the full file system takes.
        QString text = QString(QStringLiteral("adresse 0x00010000 bloc 1\r\n")).repeated(8000);
        f.window->AppendSpyText(text);
        QTRY_VERIFY(paneText(f.spy()).size() > 11000);
        const QString paneBefore = paneText(f.spy());

        f.doubles.fileDialog->saveAnswers << path;
        f.action("savelog")->trigger();
        QCOMPARE(f.doubles.messages->warnings.size(), 1);
        const QString warning = f.doubles.messages->warnings[0];
        const QString prefix = QStringLiteral("Cannot save the spy log to %1: ").arg(path);
        QVERIFY2(warning.startsWith(prefix) && warning.size() > prefix.size(), qPrintable(warning));
        if (!reason.isEmpty())
            QVERIFY2(warning.contains(reason, Qt::CaseInsensitive), qPrintable(warning));
        QCOMPARE(entries(target), left);
        if (!left.isEmpty())
            QCOMPARE(fileBytes(target + QStringLiteral("/old.log")), old);
        QVERIFY(!QFile::exists(path) || path.endsWith(QLatin1String("old.log")));
        QCOMPARE(paneText(f.spy()), paneBefore);
        QVERIFY(f.window->serialPort().portOpen());
        QVERIFY(f.action("com1")->isChecked());
    }
};

QTEST_MAIN(TestSpyWindow)
#include "tst_spy_window.moc"
