// Floods the spy display through a pseudo-terminal at full speed and reports
// the sustained rate, the longest event-loop stall and the memory growth of
// the real window, as one JSON line. The rate counts the time until the last
// byte is shown: the display may update after the byte has been read.

#include "shell/qx7100_1.h"
#include "spy/mscomm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qsizetype kFloodBytes = 32 * 1024 * 1024;

// Decoder-like debug text: block reports with CR LF, now and then a NUL, an
// LF CR pair or a corrected typo with a backspace.
QByteArray decoderText(qsizetype size)
{
    QByteArray out;
    out.reserve(size + 128);
    QRandomGenerator rng(7100);
    for (quint32 block = 0; out.size() < size; ++block) {
        out += "adresse 0x" + QByteArray::number(0x10000u + block * 0x1000u, 16).rightJustified(8, '0');
        if (rng.bounded(7) == 0)
            out += "blocc\b";
        out += " bloc " + QByteArray::number(block);
        if (rng.bounded(11) == 0)
            out += '\0';
        out += rng.bounded(5) == 0 ? "\n\r" : "\r\n";
    }
    out.truncate(size);
    return out;
}

long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

class SilentMessages final : public MessageService {
public:
    int shown = 0;
    void warning(QWidget *, const QString &text) override
    {
        ++shown;
        std::fprintf(stderr, "warning: %s\n", qPrintable(text));
    }
    void error(QWidget *, const QString &text) override
    {
        ++shown;
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
    bool question(QWidget *, const QString &text) override
    {
        ++shown;
        std::fprintf(stderr, "question: %s\n", qPrintable(text));
        return false;
    }
};

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    int master = -1, slave = -1;
    char slaveName[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, slaveName, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }

    const QString device = QString::fromLocal8Bit(slaveName);
    LoaderServices services = makeRealServices(QCoreApplication::applicationDirPath());
    auto *messages = new SilentMessages;
    services.messages.reset(messages);
    services.serialPortDevice = [device](int) { return device; };
    qx7100_1 window(std::move(services));
    window.show();
    window.com_Click(1);
    if (!window.serialPort().portOpen())
        return 1;

    const QByteArray flood = decoderText(kFloodBytes);
    QElapsedTimer clock;
    qsizetype received = 0;
    qint64 receivedAllNs = -1;
    QObject::connect(&window.serialPort(), &MSComm::OnComm, &window, [&] {
        if (window.serialPort().commEvent() == MSComm::comEvReceive) {
            received += window.receiveBuffer().size();
            if (received >= kFloodBytes && receivedAllNs < 0)
                receivedAllNs = clock.nsecsElapsed();
        }
    });
    // The last change of the pane's document after the last byte came in is
    // when that byte is shown.
    auto *pane = window.findChild<QPlainTextEdit *>(QStringLiteral("txtTerm"));
    qint64 lastChangeNs = 0;
    long paneUpdates = 0;
    QObject::connect(pane->document(), &QTextDocument::contentsChange, &window, [&] {
        lastChangeNs = clock.nsecsElapsed();
        ++paneUpdates;
    });

    const long rssStart = rssKiB();
    long rssPeak = rssStart;
    qint64 maxStallMs = 0;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        maxStallMs = std::max(maxStallMs, sinceTick.restart());
        rssPeak = std::max(rssPeak, rssKiB());
        // Quiet for 200 ms after the last byte: whatever was to be shown is.
        if (receivedAllNs >= 0 && clock.nsecsElapsed() - std::max(receivedAllNs, lastChangeNs) > 200'000'000)
            app.quit();
    });

    clock.start();
    sinceTick.start();
    ticker.start();
    std::thread writer([&] {
        for (qsizetype at = 0; at < flood.size();) {
            const ssize_t n =
                ::write(master, flood.constData() + at, size_t(std::min<qsizetype>(65536, flood.size() - at)));
            if (n < 0)
                return;
            at += n;
        }
    });
    QTimer::singleShot(120000, &app, &QApplication::quit);
    app.exec();
    const qint64 shownNs = receivedAllNs < 0 ? clock.nsecsElapsed() : std::max(receivedAllNs, lastChangeNs);
    const double seconds = double(shownNs) / 1e9;
    writer.join();

    const int paneCount = pane->document()->characterCount() + pane->document()->blockCount() - 2;
    std::printf("{\"bytes\": %lld, \"seconds\": %.3f, \"mb_per_s\": %.1f, \"max_stall_ms\": %lld, "
                "\"rss_growth_mib\": %.1f, \"pane_chars\": %d, \"pane_updates\": %ld, \"boxes\": %d}\n",
                static_cast<long long>(received), seconds, double(received) / 1e6 / seconds,
                static_cast<long long>(maxStallMs), double(rssPeak - rssStart) / 1024.0, paneCount, paneUpdates,
                messages->shown);
    ::close(master);
    ::close(slave);
    return received >= kFloodBytes ? 0 : 1;
}
