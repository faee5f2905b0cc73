// Choosing the image and the Start command, with a scripted dialog, a printer
// double and a recording raw-print library.

#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

class TestImageDownload : public QObject {
    Q_OBJECT

    // The window with the printer "decoder" ready on LPT1:.
    struct Fixture : WindowFixture {
        Fixture() : WindowFixture({Show::Hidden, QStringLiteral("decoder")}) {}
        QString printerPanel() { return panel("Printer")->text(); }
    };

private slots:
    void choosingTheImage()
    {
        Fixture f;
        f.choose(QString());
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("Loader not ready"));
        QVERIFY(!f.start()->isEnabled());
        QVERIFY(f.window->filename().isEmpty());
        QCOMPARE(f.doubles.fileDialog->filtersShown.last(), QStringList{"Files (*.bin) (*.bin)"});

        f.choose(QStringLiteral("/images/first.bin"));
        QVERIFY(f.start()->isEnabled());
        QCOMPARE(f.window->filename(), QStringLiteral("/images/first.bin"));
        f.choose(QStringLiteral("/images/my image é.bin"));
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("Loader not readybin file to load: /images/first.bin"
                                                         "bin file to load: /images/my image é.bin"));

        // A cancel after a good choice empties the name but keeps Start enabled.
        f.choose(QString());
        QVERIFY(f.window->filename().isEmpty());
        QVERIFY(f.start()->isEnabled());
        f.action("com1")->setChecked(true);
        f.start()->click();
        QCOMPARE(f.doubles.messages->warnings, QStringList{"No file .BIN selected"});
    }

    void messagesGoToTheInsertionPoint()
    {
        Fixture f;
        f.info()->setPlainText(QStringLiteral("[before][after]"));
        QTextCursor cursor = f.info()->textCursor();
        cursor.setPosition(8);
        f.info()->setTextCursor(cursor);
        f.choose(QStringLiteral("/a.bin"));
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("[before]bin file to load: /a.bin[after]"));

        // A selection is replaced by the message.
        cursor.setPosition(0);
        cursor.setPosition(8, QTextCursor::KeepAnchor);
        f.info()->setTextCursor(cursor);
        f.choose(QString());
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("Loader not readybin file to load: /a.bin[after]"));
    }

    void startChecksInOrder_data()
    {
        QTest::addColumn<bool>("portChecked");
        QTest::addColumn<int>("printerState");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("panelRefreshed");
        using S = DefaultPrinterInfo::State;
        const int ready = int(S::Ready);
        QTest::newRow("no port, nothing else checked") << false << ready << "COM1:"
                                                       << ""
                                                       << "No communication port selected" << false;
        QTest::newRow("port before printer") << false << ready << "LPT1:"
                                             << "/a.bin"
                                             << "No communication port selected" << false;
        QTest::newRow("no image, LPT2") << true << ready << "LPT2:"
                                        << ""
                                        << "No file .BIN selected" << true;
        QTest::newRow("printer before image") << true << ready << "USB001"
                                              << ""
                                              << "Printer port is not local." << true;
        QTest::newRow("lower case") << true << ready << "lpt1:"
                                    << "/a.bin"
                                    << "Printer port is not local." << true;
        QTest::newRow("no colon") << true << ready << "LPT1"
                                  << "/a.bin"
                                  << "Printer port is not local." << true;
        QTest::newRow("LPT3") << true << ready << "LPT3:"
                              << "/a.bin"
                              << "Printer port is not local." << true;
        QTest::newRow("trailing blank") << true << ready << "LPT1: "
                                        << "/a.bin"
                                        << "Printer port is not local." << true;
        QTest::newRow("file URI") << true << ready << "file:///dev/null"
                                  << "/a.bin"
                                  << "Printer port is not local." << true;
        QTest::newRow("no print server") << true << int(S::NoServer) << ""
                                         << "/a.bin"
                                         << "No default printer: the print server is not running." << true;
        QTest::newRow("no default") << true << int(S::NoDefault) << ""
                                    << "/a.bin"
                                    << "No default printer: no printer is set as default." << true;
        QTest::newRow("print server does not answer")
            << true << int(S::NotAnswering) << ""
            << "/a.bin"
            << "No default printer: the print server does not answer." << true;
        QTest::newRow("all good") << true << ready << "LPT1:"
                                  << "/a.bin"
                                  << "" << true;
    }
    void startChecksInOrder()
    {
        QFETCH(bool, portChecked);
        QFETCH(int, printerState);
        QFETCH(QString, port);
        QFETCH(QString, image);
        QFETCH(QString, warning);
        QFETCH(bool, panelRefreshed);
        Fixture f;
        if (!image.isEmpty())
            f.choose(image);
        f.action("com2")->setChecked(portChecked);
        f.doubles.printer->info.state = DefaultPrinterInfo::State(printerState);
        f.doubles.printer->info.deviceName = printerState == int(DefaultPrinterInfo::State::Ready) ? "bench queue" : "";
        f.doubles.printer->info.portName = port;
        f.info()->clear();

        f.action("start_1")->trigger();
        QCOMPARE(f.doubles.messages->warnings, warning.isEmpty() ? QStringList() : QStringList{warning});
        QCOMPARE(f.printerPanel(), panelRefreshed ? "Printer: " + f.doubles.printer->info.deviceName
                                                  : QStringLiteral("Printer: decoder"));
        if (warning.isEmpty()) {
            QCOMPARE(f.info()->toPlainText(), QStringLiteral("Downloading /a.bin"));
            QCOMPARE(f.doubles.rawPrint->calls, (QStringList{"name:", "send:/a.bin"}));
        } else {
            QVERIFY(f.info()->toPlainText().isEmpty());
            QVERIFY(f.doubles.rawPrint->calls.isEmpty());
        }
    }

    void libraryErrorCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("warning");
        QTest::newRow("3") << 3 << "Error while loading /img/a.binError 3";
        QTest::newRow("-1") << -1 << "Error while loading /img/a.binError -1";
        QTest::newRow("most negative") << -32768 << "Error while loading /img/a.binError -32768";
    }
    void libraryErrorCodes()
    {
        QFETCH(int, code);
        QFETCH(QString, warning);
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->sendResult = int16_t(code);
        f.start()->click();
        QCOMPARE(f.doubles.messages->warnings, QStringList{warning});
        QVERIFY(f.info()->toPlainText().endsWith(QStringLiteral("Downloading /img/a.bin")));
        // Start stays enabled and the image chosen, so the same image can go again at once.
        QVERIFY(f.start()->isEnabled());
        QCOMPARE(f.window->filename(), QStringLiteral("/img/a.bin"));
    }

    // A name that is not UTF-8 on disk arrives with replacement characters: the
    // library cannot find it, and the warning says why instead of "missing" alone.
    void undecodableNameIsSaidSo_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("hinted");
        QTest::newRow("bad byte, missing") << QStringLiteral("/img/a\uFFFDb.bin") << 3 << true;
        QTest::newRow("bad byte, other error") << QStringLiteral("/img/a\uFFFDb.bin") << 7 << false;
        QTest::newRow("plain name, missing") << QStringLiteral("/img/ab.bin") << 3 << false;
    }
    void undecodableNameIsSaidSo()
    {
        QFETCH(QString, path);
        QFETCH(int, code);
        QFETCH(bool, hinted);
        Fixture f;
        f.choose(path);
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->sendResult = int16_t(code);
        f.start()->click();
        QCOMPARE(f.doubles.messages->warnings.size(), 1);
        const QString warning = f.doubles.messages->warnings.first();
        QVERIFY2(warning.startsWith(QStringLiteral("Error while loading ") + path + QStringLiteral("Error ")
                                    + QString::number(code)),
                 qPrintable(warning));
        QCOMPARE(warning.contains(QStringLiteral("not UTF-8")), hinted);
    }

    void startAgainSendsAgain()
    {
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        const int queries = f.doubles.printer->queries;
        f.start()->click();
        // A second press after a double-click's time is a Start of its own.
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        f.action("start_1")->trigger();
        QCOMPARE(f.doubles.rawPrint->calls, (QStringList{"name:", "send:/img/a.bin", "name:", "send:/img/a.bin"}));
        QCOMPARE(f.doubles.printer->queries, queries + 2);  // looked up afresh each time
        QVERIFY(f.doubles.messages->warnings.isEmpty());
    }

    // Enter on the focused Start presses it, as Space does; Start is still no
    // default button.
    void enterOnTheFocusedStartSends_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("Enter") << int(Qt::Key_Return) << Qt::KeyboardModifiers(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier);
        QTest::newRow("Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers(Qt::NoModifier);
    }
    void enterOnTheFocusedStartSends()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        Fixture f;
        QVERIFY(f.show(WindowFixture::Show::Active));
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.start()->setFocus();
        QTRY_VERIFY(f.start()->hasFocus());
        QVERIFY(!f.start()->isDefault() && !f.start()->autoDefault());

        QTest::keyClick(f.start(), Qt::Key(key), modifiers);
        QTRY_COMPARE(f.doubles.rawPrint->calls, (QStringList{"name:", "send:/img/a.bin"}));
        QVERIFY(f.doubles.messages->warnings.isEmpty());
        if (key == Qt::Key_Space)
            return;
        // Enter with another modifier is not a press.
        QTest::keyClick(f.start(), Qt::Key(key), modifiers | Qt::ShiftModifier);
        QTest::qWait(20);
        QCOMPARE(f.doubles.rawPrint->calls.size(), 2);
    }

    // Every question to the print server from the window is bounded: about a
    // second at start-up, about three seconds for Start's checks.
    void printServerQueriesAreBounded()
    {
        Fixture f;
        QCOMPARE(f.doubles.printer->budgets, QList<int>{1000});
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.start()->click();
        QCOMPARE(f.doubles.printer->budgets, (QList<int>{1000, 3000}));
    }

    void pausedQueueGetsNothing()
    {
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.doubles.printer->info.paused = true;
        f.info()->clear();
        f.start()->click();
        QCOMPARE(f.doubles.messages->warnings, QStringList{"The printer decoder is paused: nothing was sent."});
        QVERIFY(f.doubles.rawPrint->calls.isEmpty());
        QVERIFY(f.info()->toPlainText().isEmpty());
    }

    // While the job of an earlier Start still waits or goes out, Start asks first.
    void earlierJobStillQueued_data()
    {
        QTest::addColumn<int>("stateAtSecondStart");  // IPP job-state of job 1 then
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("cancelWorks");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("secondSent");
        QTest::addColumn<QString>("warning");
        QTest::newRow("still waiting, No: nothing sent") << 5 << false << true << true << false << "";
        QTest::newRow("still waiting, Yes: cancelled, sent") << 5 << true << true << true << true << "";
        QTest::newRow("still pending, Yes, cancel refused: nothing sent")
            << 3 << true << false << true << false
            << "Cannot cancel the job 1 at the printer decoder: nothing was sent.";
        QTest::newRow("ended since the last look: no question") << 9 << false << true << false << true << "";
    }
    void earlierJobStillQueued()
    {
        QFETCH(int, stateAtSecondStart);
        QFETCH(bool, answer);
        QFETCH(bool, cancelWorks);
        QFETCH(bool, asked);
        QFETCH(bool, secondSent);
        QFETCH(QString, warning);
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->nextJobId = 1;
        f.doubles.printJobs->jobs[1] = FakePrintJobs::state(
            5, QStringLiteral("Printer not connected; will retry in 30 seconds."), {"connecting-to-device"});
        f.start()->click();
        QTRY_COMPARE(f.window->findChild<QLabel *>("Job")->text(),
                     QStringLiteral("Job 1: waiting: Printer not connected; will retry in 30 seconds."));

        f.doubles.printJobs->jobs[1].state = stateAtSecondStart;
        if (stateAtSecondStart != 5)
            f.doubles.printJobs->jobs[1] = FakePrintJobs::state(stateAtSecondStart);
        f.doubles.printJobs->cancelWorks = cancelWorks;
        f.doubles.messages->answer = answer;
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        f.start()->click();

        const QString state = stateAtSecondStart == 5
                                  ? QStringLiteral("waiting: Printer not connected; will retry in 30 seconds.")
                                  : QStringLiteral("waiting");
        QCOMPARE(f.doubles.messages->questions,
                 asked ? QStringList{"An image sent before is still in the print queue of decoder (job 1: " + state
                                     + "). Cancel it and send this image?"}
                       : QStringList());
        QCOMPARE(f.doubles.printJobs->cancelled, asked && answer ? QList<int>{1} : QList<int>());
        QCOMPARE(f.doubles.rawPrint->calls.count(QStringLiteral("send:/img/a.bin")), secondSent ? 2 : 1);
        QCOMPARE(f.doubles.messages->warnings, warning.isEmpty() ? QStringList() : QStringList{warning});
        if (secondSent)
            QTRY_COMPARE(f.window->findChild<QLabel *>("Job")->text(), QStringLiteral("Job 2: ended, state unknown"));
    }

    // Clicks that the platform queued while the send blocked the window, and the
    // second half of a double-click, send nothing more.
    void queuedClicksStartNothing_data()
    {
        QTest::addColumn<bool>("doubleClick");
        QTest::newRow("clicks queued during the send") << false;
        QTest::newRow("double-click") << true;
    }
    void queuedClicksStartNothing()
    {
        QFETCH(bool, doubleClick);
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        QVERIFY(f.show(WindowFixture::Show::Exposed));
        QPushButton *start = f.start();
        f.doubles.rawPrint->whileSending = [start] {
            const QPointF at = QPointF(start->rect().center());
            for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                QCoreApplication::postEvent(
                    start,
                    new QMouseEvent(type, at, start->mapToGlobal(at), Qt::LeftButton,
                                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier));
        };
        if (doubleClick) {
            // Two clicks in quick succession, after a send that returned at once.
            f.doubles.rawPrint->whileSending = nullptr;
            QTest::mouseClick(start, Qt::LeftButton);
            QTest::mouseClick(start, Qt::LeftButton, Qt::NoModifier, QPoint(), 50);
        } else {
            QTest::mouseClick(start, Qt::LeftButton);
        }
        QTest::qWait(100);
        QCOMPARE(f.doubles.rawPrint->calls.count(QStringLiteral("send:/img/a.bin")), 1);
        QVERIFY(f.doubles.messages->warnings.isEmpty());
    }

    // The job panel: at the right end of the status bar, over the end of the
    // Settings panel, its tooltip the whole text; a finished state stays until
    // the next send.
    void jobPanel()
    {
        Fixture f;
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("a.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(2097152, '\x5a'));
        file.close();
        f.choose(image);
        f.action("com1")->setChecked(true);
        QVERIFY(f.show(WindowFixture::Show::Exposed));
        auto *job = f.window->findChild<QLabel *>("Job");
        QVERIFY(job);
        QVERIFY(!job->isVisible());

        f.doubles.rawPrint->nextJobId = 12;
        f.doubles.printJobs->jobs[12] = FakePrintJobs::state(9);
        f.start()->click();
        QTRY_COMPARE(job->text(), QStringLiteral("Job 12: sent 2097152 bytes"));
        QTRY_VERIFY2(
            job->toolTip().startsWith(job->text() + QStringLiteral("\nImage: ") + image)
                && job->toolTip().endsWith(
                    QStringLiteral("\n2097152 bytes, SHA-256 ")
                    + QString::fromLatin1(
                        QCryptographicHash::hash(QByteArray(2097152, '\x5a'), QCryptographicHash::Sha256).toHex())),
            qPrintable(job->toolTip()));
        QVERIFY(job->isVisible());
        auto *bar = f.window->findChild<QStatusBar *>("sbrStatus");
        QCOMPARE(job->geometry().right(), bar->rect().right());
        auto *settings = f.window->findChild<QLabel *>("Settings");
        QVERIFY(job->geometry().left() > f.window->findChild<QLabel *>("Printer")->geometry().right());
        QVERIFY(settings->geometry().intersects(job->geometry()));
        // The panel covers the Settings text under it: what shows there is the
        // job's text alone, whatever Settings holds.
        settings->setText(QStringLiteral("Settings: 38400,n,8,1"));
        const QImage shortSettings = bar->grab(job->geometry()).toImage();
        settings->setText(QStringLiteral("Settings: ") + QString(200, QLatin1Char('W')));
        QCOMPARE(bar->grab(job->geometry()).toImage(), shortSettings);
        QTest::qWait(200);
        QCOMPARE(job->text(), QStringLiteral("Job 12: sent 2097152 bytes"));

        // A Start that fails its checks leaves it; a send replaces it.
        f.doubles.printer->info.portName = QStringLiteral("LPT9:");
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        f.start()->click();
        QCOMPARE(job->text(), QStringLiteral("Job 12: sent 2097152 bytes"));
        f.doubles.printer->info.portName = QStringLiteral("LPT1:");
        f.doubles.rawPrint->sendResult = 9;
        f.start()->click();
        QVERIFY(!job->isVisible());
    }

    // An image that is S-record text goes out only when the user says so; a
    // binary image, and a file the library cannot send, ask nothing.
    void srecordImageAsksFirst_data()
    {
        QTest::addColumn<QByteArray>("content");  // "missing": no file at all
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<int>("libraryResult");
        QTest::addColumn<QString>("warning");
        const QByteArray srec = "S00600004844521B\r\nS107000001020304EE\r\nS9030000FC\r\n";
        QTest::newRow("S-record, No: nothing sent") << srec << false << true << 0 << "";
        QTest::newRow("S-record, Yes: sent unchanged") << srec << true << true << 0 << "";
        QTest::newRow("S2 data first, lower case, No")
            << QByteArray("S206000010aabb84\nS804000000FB\n") << false << true << 0 << "";
        QTest::newRow("binary image starting with S: no question")
            << QByteArray("S1\x00\x01\xff\x5a\n", 7) << false << false << 0 << "";
        QTest::newRow("empty file: the library's own error")
            << QByteArray() << false << false << 6 << "Error while loading IMAGEError 6";
        QTest::newRow("missing file: the library's own error")
            << QByteArray("missing") << false << false << 3 << "Error while loading IMAGEError 3";
    }
    void srecordImageAsksFirst()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        QFETCH(int, libraryResult);
        QFETCH(QString, warning);
        Fixture f;
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("fw_new.srec"));
        if (content != "missing") {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        f.choose(image);
        f.action("com1")->setChecked(true);
        f.doubles.messages->answer = answer;
        f.doubles.rawPrint->sendResult = int16_t(libraryResult);
        f.start()->click();

        QCOMPARE(f.doubles.messages->questions,
                 asked ? QStringList{image
                                     + " is an S-record file, not a binary image: convert it with File > "
                                       "Convert_srec2bin first. Send it unchanged anyway?"}
                       : QStringList());
        const bool sent = !asked || answer;
        QCOMPARE(f.doubles.rawPrint->calls, sent ? (QStringList{"name:", "send:" + image}) : QStringList());
        QCOMPARE(f.doubles.messages->warnings,
                 warning.isEmpty() ? QStringList() : QStringList{QString(warning).replace("IMAGE", image)});
    }

    // The question about S-record text comes before the one about an earlier
    // job: No to it cancels nothing.
    void srecordQuestionBeforeCancellingTheQueue()
    {
        Fixture f;
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("fw_new.srec"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("S9030000FC\n");
        file.close();
        f.choose(image);
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->nextJobId = 1;
        f.doubles.printJobs->jobs[1] = FakePrintJobs::state(5);
        f.doubles.messages->answer = true;
        f.start()->click();
        QTRY_COMPARE(f.window->findChild<QLabel *>("Job")->text(), QStringLiteral("Job 1: waiting"));

        f.doubles.messages->questions.clear();
        f.doubles.messages->answer = false;
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        f.start()->click();
        QCOMPARE(f.doubles.messages->questions.size(), 1);
        QVERIFY(f.doubles.messages->questions.first().contains("S-record"));
        QVERIFY(f.doubles.printJobs->cancelled.isEmpty());
        QCOMPARE(f.doubles.rawPrint->calls.count("send:" + image), 1);
    }

    // At the window's first size, with the port open and a job shown, the
    // Settings text is drawn whole and the job panel takes the room right of
    // it, its whole text in its tooltip; the panels fill the bar to the
    // window's bottom edge.
    void statusBarAtFirstSize_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("text");
        QTest::newRow("short") << ""
                               << "Job 12: sending";
        QTest::newRow("longer than the room") << "Printer not connected; will retry in 30 seconds."
                                              << "Job 12: waiting: Printer not connected; will retry in 30 seconds.";
    }
    void statusBarAtFirstSize()
    {
        QFETCH(QString, message);
        QFETCH(QString, text);
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        QLabel *settings = f.panel("Settings");
        settings->setText(QStringLiteral("Settings: 38400,n,8,1"));
        QVERIFY(f.show(WindowFixture::Show::Exposed));
        auto *bar = f.window->findChild<QStatusBar *>("sbrStatus");
        QLabel *job = f.panel("Job");
        const QRect settingsText(settings->x(), 0, settings->sizeHint().width(), bar->height());
        const QImage alone = bar->grab(settingsText).toImage();

        f.doubles.rawPrint->nextJobId = 12;
        f.doubles.printJobs->jobs[12] =
            message.isEmpty() ? FakePrintJobs::state(5) : FakePrintJobs::state(5, message, {"connecting-to-device"});
        f.start()->click();
        QTRY_COMPARE(job->text(), text);
        QVERIFY(job->isVisible());
        // The whole state first, then the image's lines.
        QCOMPARE(job->toolTip().section(QLatin1Char('\n'), 0, 0), text);
        QCOMPARE(job->geometry().right(), bar->rect().right());
        QVERIFY2(job->geometry().left() > settingsText.right(),
                 qPrintable(QStringLiteral("the job panel starts at %1, the Settings text ends at %2")
                                .arg(job->geometry().left())
                                .arg(settingsText.right())));
        QCOMPARE(bar->grab(settingsText).toImage(), alone);

        // The panels fill the bar from top to bottom and the bar ends at the
        // window's bottom edge: nothing shows under them.
        for (QLabel *panel : {f.panel("Printer"), settings, job}) {
            QCOMPARE(panel->geometry().top(), 0);
            QCOMPARE(panel->geometry().bottom(), bar->rect().bottom());
        }
        QCOMPARE(f.panel("Printer")->geometry().left(), 0);
        QCOMPARE(bar->geometry().bottom(), f.window->rect().bottom());

        // A Settings text set while the job shows moves the job panel too.
        settings->setText(QStringLiteral("COM settings:"));
        settings->setText(QStringLiteral("Settings: 38400,n,8,1"));
        QTest::qWait(50);
        QVERIFY(job->geometry().left() > settingsText.right());
        QCOMPARE(bar->grab(settingsText).toImage(), alone);
        // However long the Settings text, the job panel keeps an eighth of the bar.
        settings->setText(QStringLiteral("Settings: ") + QString(200, QLatin1Char('W')));
        QTRY_COMPARE(job->width(), bar->width() / 8);
        QCOMPARE(job->text(), text);
    }

    // "sent BYTES bytes" is what the library says it sent, not a size looked up
    // around the call: the file may be another size by then. Only a library that
    // does not tell leaves the file's size.
    void sentBytesAreTheLibrarys_data()
    {
        QTest::addColumn<qint64>("librarySays");
        QTest::addColumn<QString>("panel");
        QTest::newRow("library tells") << qint64(24117248) << QStringLiteral("Job 12: sent 24117248 bytes");
        QTest::newRow("library does not tell") << qint64(-1) << QStringLiteral("Job 12: sent 300000000 bytes");
    }

    void sentBytesAreTheLibrarys()
    {
        QFETCH(qint64, librarySays);
        QFETCH(QString, panel);
        Fixture f;
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("a.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(300000000));  // sparse: the size a look before the send finds
        file.close();
        f.choose(image);
        f.action("com1")->setChecked(true);
        QVERIFY(f.show(WindowFixture::Show::Exposed));
        f.doubles.rawPrint->nextJobId = 12;
        f.doubles.rawPrint->bytesSent = librarySays;
        f.doubles.printJobs->jobs[12] = FakePrintJobs::state(9);
        f.start()->click();
        auto *job = f.window->findChild<QLabel *>("Job");
        QVERIFY(job);
        QTRY_COMPARE(job->text(), panel);
    }

    void missingLibraryIsAWarningNotAnExit()
    {
        Fixture f;
        f.choose(QStringLiteral("/img/a.bin"));
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->missingError = QStringLiteral("Cannot load the printing library /opt/libbinprn32.so: gone");
        f.start()->click();
        QCOMPARE(f.doubles.messages->warnings, QStringList{f.doubles.rawPrint->missingError});
        QVERIFY(f.window->isEnabled());
    }
};

QTEST_MAIN(TestImageDownload)
#include "tst_image_download.moc"
