// The main window under a real window manager (openbox on a private X server,
// started by with-openbox.sh): dragged smaller by the user with the mouse, it
// stops above its minimum outer size of 3000 x 3000 twips, and Qt's idea of
// its size is the size the X server gives it, menus and status bar in sight.

#include "window_fixture.h"

#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QtTest>

namespace {

// Runs xdotool while the event loop goes on, as the window sees a real drag.
bool xdotool(const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(10000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(5);
    if (output)
        *output = process.readAllStandardOutput();
    return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
           && process.exitCode() == 0;
}

// The size of the window as the X server has it.
QSize serverSize(WId window)
{
    QByteArray output;
    if (!xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(window)}, &output))
        return QSize();
    QSize size;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("WIDTH="))
            size.setWidth(line.mid(6).toInt());
        else if (line.startsWith("HEIGHT="))
            size.setHeight(line.mid(7).toInt());
    }
    return size;
}

QString point(int v)
{
    return QString::number(v);
}

}  // namespace

class TestWindowManager : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
                 "run under tests/shell/with-openbox.sh (an X server with openbox)");
    }

    void draggedSmallerStopsAboveTheMinimum_data()
    {
        // Where the bottom-right corner is dragged to, in twips from the
        // window's top-left corner.
        QTest::addColumn<int>("toWidth");
        QTest::addColumn<int>("toHeight");
        QTest::newRow("far past both") << 300 << 300;
        QTest::newRow("narrow") << 1500 << 4500;
        QTest::newRow("low") << 7000 << 1500;
        QTest::newRow("just below both") << 2800 << 2800;
        QTest::newRow("far past both again") << 150 << 450;
        QTest::newRow("narrow again") << 2000 << 6000;
    }
    void draggedSmallerStopsAboveTheMinimum()
    {
        QFETCH(int, toWidth);
        QFETCH(int, toHeight);
        WindowFixture f;
        qx7100_1 &window = *f.window;
        window.move(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Framed by the window manager.
        QTRY_VERIFY(window.frameGeometry().size() != window.size());
        QTest::qWait(200);

        const QRect frame = window.frameGeometry();
        const QPoint from = window.mapToGlobal(QPoint(window.width() - 20, window.height() - 20));
        const QPoint to = frame.topLeft() + QPoint(window.pixelsX(float(toWidth)), window.pixelsY(float(toHeight)));
        QVERIFY(xdotool({"mousemove", point(from.x()), point(from.y())}));
        QVERIFY(xdotool({"keydown", "alt"}));
        QVERIFY(xdotool({"mousedown", "3"}));
        const int steps = 12;
        for (int i = 1; i <= steps; ++i) {
            const QPoint at = from + (to - from) * i / steps;
            QVERIFY(xdotool({"mousemove", point(at.x()), point(at.y())}));
            QTest::qWait(15);
        }
        QVERIFY(xdotool({"mouseup", "3"}));
        QVERIFY(xdotool({"keyup", "alt"}));
        QTest::qWait(500);

        // Qt and the X server agree on the size, and it is above the minimum.
        QTRY_COMPARE_WITH_TIMEOUT(serverSize(window.winId()), window.size(), 3000);
        const QSize outer = window.frameGeometry().size();
        QVERIFY2(window.twipsX(outer.width()) > 3000.0f && window.twipsY(outer.height()) > 3000.0f,
                 qPrintable(QStringLiteral("outer size %1 x %2 twips")
                                .arg(window.twipsX(outer.width()))
                                .arg(window.twipsY(outer.height()))));
        // Every menu and the whole status bar are in sight.
        const QList<QAction *> menus = window.menuBar()->actions();
        QCOMPARE(menus.size(), 5);
        for (QAction *menu : menus) {
            const QRect item = window.menuBar()->actionGeometry(menu);
            QVERIFY2(window.menuBar()->rect().contains(item), qPrintable(menu->text()));
        }
        QCOMPARE(window.statusBar()->geometry().bottom(), window.height() - 1);
        QVERIFY(window.statusBar()->isVisible());
    }
};

QTEST_MAIN(TestWindowManager)
#include "tst_window_manager.moc"
