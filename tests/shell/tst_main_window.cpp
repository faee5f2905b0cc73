// The main window as the user first meets it: controls, menus, status panels,
// start-up state, the layout at the creation size and the minimum size.

#include "window_fixture.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QWindow>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT

    // The window with the printer "Bench LPT queue" ready on LPT1:, shown unless told.
    struct Fixture : WindowFixture {
        explicit Fixture(bool show = true)
            : WindowFixture({show ? Show::Exposed : Show::Hidden, QStringLiteral("Bench LPT queue")})
        {}
        QSize clientTwips()
        {
            const int menu = window->menuBar()->height();
            return QSize(qRound(window->twipsX(window->width())), qRound(window->twipsY(window->height() - menu)));
        }
    };

private slots:
    void startUpState()
    {
        Fixture f(false);
        QCOMPARE(f.window->windowTitle(), QStringLiteral("Velantra Loader"));
        QVERIFY(!f.child<QPushButton>("Start")->isEnabled());
        QVERIFY(f.action("com1")->isCheckable() && !f.action("com1")->isChecked());
        QVERIFY(f.action("com2")->isCheckable() && !f.action("com2")->isChecked());
        QCOMPARE(f.panel("Printer")->text(), QStringLiteral("Printer: Bench LPT queue"));
        QCOMPARE(f.panel("Settings")->text(), QStringLiteral("COM settings:"));
        QCOMPARE(f.panel("Printer")->toolTip(), QStringLiteral("Printer name"));
        QCOMPARE(f.panel("Settings")->toolTip(), QStringLiteral("Communications Port Settings"));
        QVERIFY(f.window->filename().isEmpty());
        for (const char *name : {"Textinfo", "txtTerm"}) {
            auto *pane = f.child<QPlainTextEdit>(name);
            QVERIFY2(pane, name);
            QVERIFY(pane->toPlainText().isEmpty());
            QCOMPARE(pane->palette().color(QPalette::Text), QColor(0, 0, 255));
            QCOMPARE(pane->font().family(), QStringLiteral("Courier"));
            QCOMPARE(pane->font().pointSizeF(), 9.75);
            QVERIFY(!pane->font().bold() && !pane->font().italic() && !pane->font().underline());
        }
    }

    void noPrintServerAtStartUpLeavesTheNameEmpty_data()
    {
        QTest::addColumn<int>("state");
        QTest::newRow("no print server") << int(DefaultPrinterInfo::State::NoServer);
        QTest::newRow("no default destination") << int(DefaultPrinterInfo::State::NoDefault);
    }
    void noPrintServerAtStartUpLeavesTheNameEmpty()
    {
        QFETCH(int, state);
        ServiceDoubles doubles;
        doubles.printer->info.state = DefaultPrinterInfo::State(state);
        qx7100_1 window(doubles.services());
        QCOMPARE(window.findChild<QLabel *>("Printer")->text(), QStringLiteral("Printer: "));
        QVERIFY(doubles.messages->warnings.isEmpty());
    }

    void noPrintServerWithTheRealQuery()
    {
        // libcups finds no server on a socket that does not exist.
        qputenv("CUPS_SERVER", QDir::temp().filePath(QStringLiteral("no-cupsd-here-4711.sock")).toLocal8Bit());
        ServiceDoubles doubles;
        LoaderServices services = doubles.services();
        services.printer = makeCupsDefaultPrinter();
        qx7100_1 window(std::move(services));
        QCOMPARE(window.findChild<QLabel *>("Printer")->text(), QStringLiteral("Printer: "));
        QVERIFY(doubles.messages->warnings.isEmpty());
    }

    void menusAsDesigned()
    {
        Fixture f(false);
        const QList<QAction *> bar = f.window->menuBar()->actions();
        QStringList captions;
        for (QAction *a : bar)
            captions << a->text();
        QCOMPARE(captions, (QStringList{"&File", "Com", "Start", "Clear", "?"}));
        QCOMPARE(f.child<QMenu>("Menu_file")->actions(),
                 (QList<QAction *>{f.action("convert"), f.action("file"), f.action("savelog")}));
        QCOMPARE(f.action("convert")->text(), QStringLiteral("&Convert_srec2bin"));
        QCOMPARE(f.action("file")->text(), QStringLiteral("&bin_file_to_load"));
        QCOMPARE(f.action("savelog")->text(), QStringLiteral("&Save spy log..."));
        QCOMPARE(f.action("com1")->text(), QStringLiteral("Com1"));
        QCOMPARE(f.action("com2")->text(), QStringLiteral("Com2"));
        for (const char *name : {"convert", "file", "savelog", "com1", "com2", "start_1", "Clear", "Status"}) {
            QAction *a = f.action(name);
            QVERIFY2(a && a->isEnabled() && a->isVisible(), name);
        }
    }

    void geometryAtCreation()
    {
        Fixture f;
        QCOMPARE(f.clientTwips(), QSize(7770, 4725));
        auto *status = f.child<QStatusBar>("sbrStatus");
        QCOMPARE(qRound(f.window->twipsY(status->height())), 315);
        QCOMPARE(f.panel("Printer")->width(), f.window->pixelsX(4500));
        QCOMPARE(f.panel("Settings")->width(), f.window->pixelsX(20000));
        QCOMPARE(f.panel("Settings")->x(), f.panel("Printer")->width());

        auto *start = f.child<QPushButton>("Start");
        QCOMPARE(start->geometry(), QRect(f.window->pixelsX(1920), f.window->pixelsY(3240), f.window->pixelsX(1575),
                                          f.window->pixelsY(615)));

        // Information pane over the top quarter, spy display 300 twips below it
        // down to the status bar, both full width.
        auto *info = f.child<QPlainTextEdit>("Textinfo");
        auto *spy = f.child<QPlainTextEdit>("txtTerm");
        QCOMPARE(info->geometry().topLeft(), QPoint(0, 0));
        QCOMPARE(info->width(), f.window->width());
        QCOMPARE(info->height(), f.window->pixelsY(1102.5f));
        const float t = f.window->twipsY(info->height());
        QCOMPARE(spy->y(), f.window->pixelsY(t + 300.0f));
        QCOMPARE(spy->height(), f.window->pixelsY(4410.0f - t - 300.0f));
        QCOMPARE(spy->width(), f.window->width());
        // The Start button lies inside the spy display and is drawn in front of it.
        QVERIFY(spy->geometry().contains(start->geometry()));
        QVERIFY(f.window->centralWidget()->children().indexOf(start)
                > f.window->centralWidget()->children().indexOf(spy));
    }

    void focusAndTabOrder()
    {
        Fixture f;
        QTRY_COMPARE(QApplication::focusWidget(), f.child<QWidget>("txtTerm"));
        // The next control that Tab can reach, skipping the panes' inner viewports.
        auto next = [](QWidget *w) {
            do
                w = w->nextInFocusChain();
            while (!(w->focusPolicy() & Qt::TabFocus));
            return w;
        };
        QCOMPARE(next(f.child<QWidget>("txtTerm")), f.child<QWidget>("Textinfo"));
        QCOMPARE(next(f.child<QWidget>("Textinfo")), f.child<QWidget>("Start"));
    }

    // The window manager is given the minimum: a resize below it stops at the
    // smallest outer size above 3000 twips (3000 itself is still too small),
    // and the panes are laid out for the size the window got.
    void minimumOuterSize_data()
    {
        QTest::addColumn<int>("widthTwips");
        QTest::addColumn<int>("heightTwips");
        QTest::addColumn<bool>("hintIgnored");
        QTest::newRow("dragged to 8000 x 2500") << 8000 << 2500 << false;
        QTest::newRow("exactly 3000 high") << 8000 << 3000 << false;
        QTest::newRow("exactly 3000 wide") << 3000 << 6000 << false;
        QTest::newRow("both tiny") << 600 << 600 << false;
        // A window manager that ignores the hint and gives the window a size
        // below it: the snap of the resize procedure brings it back, both
        // dimensions to the minimum, as written.
        QTest::newRow("both tiny, hint ignored") << 600 << 600 << true;
        QTest::newRow("low, hint ignored") << 8000 << 2500 << true;
    }
    void minimumOuterSize()
    {
        QFETCH(int, widthTwips);
        QFETCH(int, heightTwips);
        QFETCH(bool, hintIgnored);
        Fixture f;
        const QSize extra = f.window->frameGeometry().size() - f.window->size();
        // The smallest outer size that allows a layout.
        QSize minimum(f.window->pixelsX(3000), f.window->pixelsY(3000));
        while (f.window->twipsX(minimum.width()) <= 3000.0f)
            minimum.rwidth() += 1;
        while (f.window->twipsY(minimum.height()) <= 3000.0f)
            minimum.rheight() += 1;
        QCOMPARE(f.window->minimumSize(), minimum - extra);

        const QSize asked(f.window->pixelsX(float(widthTwips)), f.window->pixelsY(float(heightTwips)));
        if (hintIgnored)
            f.window->windowHandle()->resize(asked - extra);  // as a window manager would
        else
            f.window->resize(asked - extra);
        const QSize expected = hintIgnored ? minimum : asked.expandedTo(minimum);
        QTRY_COMPARE(f.window->frameGeometry().size(), expected);
        QTest::qWait(20);
        QCOMPARE(f.window->frameGeometry().size(), expected);
        QCOMPARE(f.window->minimumSize(), minimum - extra);

        // Laid out anew: the information pane spans the width, the spy display
        // ends at the status bar.
        auto *client = f.window->centralWidget();
        QCOMPARE(f.child<QWidget>("Textinfo")->width(), f.window->width());
        QVERIFY(qAbs(f.child<QWidget>("txtTerm")->geometry().bottom() + 1 - client->height()) <= 1);
        QVERIFY(f.child<QStatusBar>("sbrStatus")->geometry().bottom() < f.window->height());
    }

    void enlargingBothDimensionsLaysOutAgain()
    {
        Fixture f;
        f.window->resize(f.window->pixelsX(9000), f.window->pixelsY(7000));
        QTRY_COMPARE(f.child<QWidget>("Textinfo")->width(), f.window->pixelsX(9000));
        QCOMPARE(f.child<QWidget>("txtTerm")->width(), f.window->pixelsX(9000));
    }

    void startMenuRightAfterStartUp()
    {
        Fixture f(false);
        const int queriesAtStart = f.doubles.printer->queries;
        f.action("start_1")->trigger();
        QCOMPARE(f.doubles.messages->warnings, QStringList{"No communication port selected"});
        QCOMPARE(f.doubles.printer->queries, queriesAtStart);
        QVERIFY(f.doubles.rawPrint->calls.isEmpty());
    }

    void clearEmptiesBothPanes()
    {
        Fixture f(false);
        f.child<QPlainTextEdit>("Textinfo")->setPlainText("bin file to load: /x.bin");
        f.child<QPlainTextEdit>("txtTerm")->setPlainText("boot\nattente negociation");
        f.action("Clear")->trigger();
        QVERIFY(f.child<QPlainTextEdit>("Textinfo")->toPlainText().isEmpty());
        QVERIFY(f.child<QPlainTextEdit>("txtTerm")->toPlainText().isEmpty());
        f.action("Clear")->trigger();
        QVERIFY(f.child<QPlainTextEdit>("txtTerm")->toPlainText().isEmpty());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
