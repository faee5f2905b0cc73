// The main window as a Wayland client (under weston, started by
// with-weston.sh): the compositor takes it as a top-level window with the
// loader's caption, and each menu of its menu bar opens as a pop-up that the
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
        static const QRegularExpression popupMade(QStringLiteral("xdg_surface@\\d+\\.get_popup\\("));
        static const QRegularExpression popupConfigured(QStringLiteral("xdg_popup@\\d+\\.configure\\("));
        for (QAction *entry : entries) {
            QMenu *menu = entry->menu();
            if (!menu || !entry->isVisible())
                continue;
            ++menus;
            const int madeBefore = countOf(compositorLog(), popupMade);
            const int configuredBefore = countOf(compositorLog(), popupConfigured);
            const QRect at = f.window->menuBar()->actionGeometry(entry);
            menu->popup(f.window->menuBar()->mapToGlobal(at.bottomLeft()));
            QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible() && menu->windowHandle() && menu->windowHandle()->isExposed(),
                                     kExposeTimeoutMs);
            // The compositor made the pop-up and placed it.
            QTRY_VERIFY_WITH_TIMEOUT(countOf(compositorLog(), popupMade) > madeBefore, kExposeTimeoutMs);
            QTRY_VERIFY_WITH_TIMEOUT(countOf(compositorLog(), popupConfigured) > configuredBefore, kExposeTimeoutMs);
            QVERIFY2(!menu->actions().isEmpty(), qPrintable(entry->text()));
            menu->close();
            QTRY_VERIFY(!menu->isVisible());
        }
        QVERIFY2(menus >= 2, "the menu bar has its File and Com menus");
    }
};

QTEST_MAIN(TestWaylandWindow)
#include "tst_wayland_window.moc"
