#include "shell/display_check.h"
#include "shell/qx7100_1.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {
// The desktop entry's name: the window's class on X11 and its app id on Wayland
// link the window to its launcher and its icon in docks and task bars.
const QString kDesktopId = QStringLiteral("org.velantra.load_qx7100");
}  // namespace

int main(int argc, char *argv[])
{
    // Without a display Qt would abort the program with lines of its own.
    if (!displayReachable(argc, argv)) {
        std::fputs(kNoDisplayMessage, stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // The icon lives in the window library, a static archive: its resource
    // must be pulled in by name.
    Q_INIT_RESOURCE(icons);
    QApplication::setApplicationName(QStringLiteral("load_velantra"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/load_qx7100.png")));
    QGuiApplication::setDesktopFileName(kDesktopId);

    qx7100_1 window(makeRealServices(QCoreApplication::applicationDirPath()));
    // On X11 the class of every window is the application's name when the
    // first window is made, read once: the desktop entry's name then, the
    // program's own name, "load_velantra", for everything else.
    QApplication::setApplicationName(kDesktopId);
    window.winId();
    QApplication::setApplicationName(QStringLiteral("load_velantra"));
    window.show();
    return app.exec();
}
