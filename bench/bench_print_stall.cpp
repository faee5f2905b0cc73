// The window against a print server that accepts connections and never answers
// (a Unix socket that reads and never replies): time from construction to the
// window shown, the longest event-loop stall at start-up and around Start, and
// the time until Start's warning. Several runs; prints the medians as one JSON line.
//
//   build/bench_print_stall [RUNS]    (default 7)

#include "service_doubles.h"
#include "shell/qx7100_1.h"
#include "silent_server.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cups/cups.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? double(values[n / 2]) : (double(values[n / 2 - 1]) + double(values[n / 2])) / 2.0;
}

// Longest gap between the ticks of a 5 ms timer while it runs.
class StallWatch {
public:
    StallWatch()
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { longest_ = qMax(longest_, since_.restart()); });
        since_.start();
        timer_.start();
    }
    qint64 stop()
    {
        timer_.stop();
        return qMax(longest_, since_.elapsed());
    }

private:
    QTimer timer_;
    QElapsedTimer since_;
    qint64 longest_ = 0;
};

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 7;

    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("silent.sock"));
    SilentServer silent(socket);
    if (!silent.isListening()) {
        std::fputs("bench_print_stall: cannot listen on a Unix socket\n", stderr);
        return 1;
    }
    qputenv("CUPS_SERVER", QFile::encodeName(socket));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
    cupsSetServer(nullptr);

    std::vector<qint64> shown, startUpStall, warningAfter, startStall;
    for (int run = 0; run < runs; ++run) {
        LoaderServices services = makeRealServices(QCoreApplication::applicationDirPath());
        auto *messages = new RecordingMessages;
        services.messages.reset(messages);
        auto *dialog = new ScriptedFileDialog;
        dialog->answers << QStringLiteral("/nonexistent/image.bin");
        services.fileDialog.reset(dialog);

        // Start-up: the stall is the construction itself, run from the event loop.
        StallWatch startUp;
        QElapsedTimer sinceStart;
        std::unique_ptr<qx7100_1> window;
        qint64 toShown = -1;
        QTimer::singleShot(20, [&] {
            sinceStart.start();
            window = std::make_unique<qx7100_1>(std::move(services));
            window->show();
        });
        if (!QTest::qWaitFor(
                [&] {
                    return window && window->isVisible() && window->windowHandle()
                           && window->windowHandle()->isExposed();
                },
                10000))
            std::fprintf(stderr, "run %d: the window was not shown within 10 s\n", run);
        toShown = sinceStart.elapsed();
        QTest::qWait(50);
        shown.push_back(toShown);
        startUpStall.push_back(startUp.stop());

        window->findChild<QAction *>(QStringLiteral("com1"))->setChecked(true);
        window->findChild<QAction *>(QStringLiteral("file"))->trigger();
        StallWatch atStart;
        QElapsedTimer sinceClick;
        QTimer::singleShot(20, [&] {
            sinceClick.start();
            window->findChild<QPushButton *>(QStringLiteral("Start"))->click();
        });
        if (!QTest::qWaitFor([&] { return !messages->warnings.isEmpty(); }, 20000))
            std::fprintf(stderr, "run %d: no warning within 20 s\n", run);
        warningAfter.push_back(sinceClick.elapsed());
        QTest::qWait(50);
        startStall.push_back(atStart.stop());
        if (messages->warnings.value(0) != QLatin1String("No default printer: the print server does not answer."))
            std::fprintf(stderr, "run %d: unexpected warning: %s\n", run, qPrintable(messages->warnings.value(0)));
    }

    std::printf("{\"runs\": %d, \"shown_ms\": %.0f, \"startup_stall_ms\": %.0f, \"start_warning_ms\": %.0f, "
                "\"start_stall_ms\": %.0f}\n",
                runs, median(shown), median(startUpStall), median(warningAfter), median(startStall));
    return 0;
}
