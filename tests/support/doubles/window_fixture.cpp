#include "window_fixture.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

WindowFixture::WindowFixture() : WindowFixture(Options()) {}

WindowFixture::WindowFixture(const Options &options)
{
    if (!options.readyPrinter.isEmpty())
        doubles.printer->setReady(options.readyPrinter, QStringLiteral("LPT1:"));
    if (options.ptyPorts) {
        line1 = std::make_unique<PtyPair>();
        line2 = std::make_unique<PtyPair>();
        device1 = line1->slavePath();
        device2 = line2->slavePath();
        doubles.serialPortDevice = [this](int port) { return port == 1 ? device1 : device2; };
    }
    open(doubles.services(), options.show);
}

WindowFixture::WindowFixture(LoaderServices services, Show show)
{
    open(withDialogDoubles(std::move(services)), show);
}

LoaderServices WindowFixture::withDialogDoubles(LoaderServices services)
{
    LoaderServices mine = doubles.services();
    services.fileDialog = std::move(mine.fileDialog);
    services.messages = std::move(mine.messages);
    // The rest go with mine.
    doubles.printer = nullptr;
    doubles.rawPrint = nullptr;
    doubles.printJobs = nullptr;
    doubles.processes = nullptr;
    return services;
}

void WindowFixture::open(LoaderServices services, Show how)
{
    window = std::make_unique<qx7100_1>(std::move(services));
    QVERIFY(show(how));
}

bool WindowFixture::show(Show how)
{
    if (how == Show::Hidden)
        return true;
    window->show();
    if (how == Show::Shown)
        return true;
    window->activateWindow();
    return how == Show::Active ? QTest::qWaitForWindowActive(window.get()) : QTest::qWaitForWindowExposed(window.get());
}

QAction *WindowFixture::action(const char *name) const
{
    return child<QAction>(name);
}

QPlainTextEdit *WindowFixture::info() const
{
    return child<QPlainTextEdit>("Textinfo");
}

QPlainTextEdit *WindowFixture::spy() const
{
    return child<QPlainTextEdit>("txtTerm");
}

QPushButton *WindowFixture::start() const
{
    return child<QPushButton>("Start");
}

QLabel *WindowFixture::panel(const char *key) const
{
    return child<QStatusBar>("sbrStatus")->findChild<QLabel *>(QLatin1String(key));
}

void WindowFixture::choose(const QString &path)
{
    doubles.fileDialog->answers << path;
    action("file")->trigger();
}

void WindowFixture::convert(const QString &srecPath)
{
    doubles.fileDialog->answers << srecPath;
    action("convert")->trigger();
}
