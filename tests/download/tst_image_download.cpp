// Choosing the image and the Start command, with a scripted dialog, a printer
// double and a recording raw-print library.

#include "service_doubles.h"
#include "shell/qx7100_1.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestImageDownload : public QObject {
    Q_OBJECT

    struct Fixture {
        ServiceDoubles doubles;
        std::unique_ptr<qx7100_1> window;
        Fixture()
        {
            doubles.printer->setReady(QStringLiteral("decoder"), QStringLiteral("LPT1:"));
            window = std::make_unique<qx7100_1>(doubles.services());
        }
        QAction *action(const char *name) { return window->findChild<QAction *>(name); }
        QPlainTextEdit *info() { return window->findChild<QPlainTextEdit *>("Textinfo"); }
        QPushButton *start() { return window->findChild<QPushButton *>("Start"); }
        QString printerPanel() { return window->findChild<QLabel *>("Printer")->text(); }
        void choose(const QString &answer)
        {
            doubles.fileDialog->answers << answer;
            action("file")->trigger();
        }
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
        QTest::newRow("no port, nothing else checked") << false << ready << "COM1:" << "" << "No communication port selected" << false;
        QTest::newRow("port before printer") << false << ready << "LPT1:" << "/a.bin" << "No communication port selected" << false;
        QTest::newRow("no image, LPT2") << true << ready << "LPT2:" << "" << "No file .BIN selected" << true;
        QTest::newRow("printer before image") << true << ready << "USB001" << "" << "Printer port is not local." << true;
        QTest::newRow("lower case") << true << ready << "lpt1:" << "/a.bin" << "Printer port is not local." << true;
        QTest::newRow("no colon") << true << ready << "LPT1" << "/a.bin" << "Printer port is not local." << true;
        QTest::newRow("LPT3") << true << ready << "LPT3:" << "/a.bin" << "Printer port is not local." << true;
        QTest::newRow("trailing blank") << true << ready << "LPT1: " << "/a.bin" << "Printer port is not local." << true;
        QTest::newRow("file URI") << true << ready << "file:///dev/null" << "/a.bin" << "Printer port is not local." << true;
        QTest::newRow("no print server") << true << int(S::NoServer) << "" << "/a.bin"
                                         << "No default printer: the print server is not running." << true;
        QTest::newRow("no default") << true << int(S::NoDefault) << "" << "/a.bin"
                                    << "No default printer: no printer is set as default." << true;
        QTest::newRow("all good") << true << ready << "LPT1:" << "/a.bin" << "" << true;
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
        QCOMPARE(f.doubles.rawPrint->calls,
                 (QStringList{"name:", "send:/img/a.bin", "name:", "send:/img/a.bin"}));
        QCOMPARE(f.doubles.printer->queries, queries + 2);  // looked up afresh each time
        QVERIFY(f.doubles.messages->warnings.isEmpty());
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
