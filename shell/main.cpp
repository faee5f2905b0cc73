#include "shell/qx7100_1.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The icon lives in the window library, a static archive: its resource
    // must be pulled in by name.
    Q_INIT_RESOURCE(icons);
    QApplication::setApplicationName(QStringLiteral("load_velantra"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/load_qx7100.png")));

    qx7100_1 window(makeRealServices(QCoreApplication::applicationDirPath()));
    window.show();
    return app.exec();
}
