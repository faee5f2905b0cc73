// The main window as a Wayland client (under weston, started by
// with-weston.sh): the compositor takes it as a top-level window with the
// loader's caption, and each menu of its menu bar opens on a surface that the
// compositor shows. What the compositor was told is read from its own protocol
// log, not from Qt's idea of the window.

#include "window_fixture.h"

#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QWindow>
#include <QtTest>

namespace {

constexpr int kExposeTimeoutMs = 10000;

// What the compositor logged so far.
QString compositorLog()
{
    QFile log(qEnvironmentVariable("WESTON_PROTOCOL_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(log.readAll());
}

int countOf(const QString &text, const QRegularExpression &pattern)
{
    int n = 0;
    for (auto it = pattern.globalMatch(text); it.hasNext(); it.next())
        ++n;
    return n;
}

}  // namespace

class TestWaylandWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QGuiApplication::platformName() == QLatin1String("wayland"),
                 "run under tests/wayland/with-weston.sh (weston, and Qt's Wayland plugin: the Debian package "
                 "qt6-wayland)");
        QVERIFY2(QFile::exists(qEnvironmentVariable("WESTON_PROTOCOL_LOG")), "no compositor protocol log");
    }

    void windowWithCaptionAndMenus()
    {
        WindowFixture f;
        QVERIFY(f.show(WindowFixture::Show::Exposed));
        QWindow *handle = f.window->windowHandle();
        QVERIFY(handle);
        QTRY_VERIFY_WITH_TIMEOUT(handle->isExposed(), kExposeTimeoutMs);

        // The compositor received the caption for a top-level window and
        // configured that window.
        QTRY_VERIFY_WITH_TIMEOUT(compositorLog().contains(QStringLiteral("xdg_toplevel@")), kExposeTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(compositorLog().contains(QStringLiteral(".set_title(\"Velantra Loader\")")),
                                 kExposeTimeoutMs);
        QVERIFY(compositorLog().contains(QStringLiteral("xdg_surface@")));

        const QList<QAction *> entries = f.window->menuBar()->actions();
        int menus = 0;
        // A surface for the menu: a pop-up where the compositor has a seat
        // (input devices); the headless one has none, and Qt then shows a menu
        // as a window of its own.
        static const QRegularExpression surfaceMade(
            QStringLiteral("xdg_surface@\\d+\\.get_(popup|toplevel)\\(new id xdg_\\w+@(\\d+)"));
        for (QAction *entry : entries) {
            QMenu *menu = entry->menu();
            if (!menu || !entry->isVisible())
                continue;
            ++menus;
            const int madeBefore = countOf(compositorLog(), surfaceMade);
            const QRect at = f.window->menuBar()->actionGeometry(entry);
            menu->popup(f.window->menuBar()->mapToGlobal(at.bottomLeft()));
            QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible() && menu->windowHandle() && menu->windowHandle()->isExposed(),
                                     kExposeTimeoutMs);
            // The compositor made the menu's surface, and configured it.
            QTRY_VERIFY_WITH_TIMEOUT(countOf(compositorLog(), surfaceMade) > madeBefore, kExposeTimeoutMs);
            QRegularExpressionMatch made;
            for (auto it = surfaceMade.globalMatch(compositorLog()); it.hasNext();)
                made = it.next();
            const QString configured = QStringLiteral("xdg_%1@%2.configure(").arg(made.captured(1), made.captured(2));
            QTRY_VERIFY2_WITH_TIMEOUT(compositorLog().contains(configured), qPrintable(configured), kExposeTimeoutMs);
            QVERIFY2(!menu->actions().isEmpty(), qPrintable(entry->text()));
            menu->close();
            QTRY_VERIFY(!menu->isVisible());
        }
        QVERIFY2(menus >= 2, "the menu bar has its File and Com menus");
    }
};

QTEST_MAIN(TestWaylandWindow)
#include "tst_wayland_window.moc"
