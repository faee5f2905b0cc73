// The default-printer service over libcups: the port from the device URI, and the
// default destination read afresh from a private print server. Also the answers of a
// busy server, which come in parts, for both print-server services of the window.

#include "download/default_printer.h"
#include "download/print_job.h"
#include "private_cups_server.h"
#include "silent_server.h"

#include <QtTest>
#include <atomic>
#include <cups/cups.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

Q_DECLARE_METATYPE(DefaultPrinterInfo::State)

namespace {

// A print server that accepts every connection and then fails it: it closes
// the connection at once, after reading the request, or after answering with
// an error of its own. Runs on a thread of its own until destroyed.
class FailingServer {
public:
    enum class Failure { CloseAtOnce, CloseAfterRequest, HttpError };

    FailingServer(const QString &path, Failure failure) : failure_(failure)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (fd_ < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return;
        memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0)
            return;
        listening_ = true;
        thread_ = std::thread([this] { serve(); });
    }
    ~FailingServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isListening() const { return listening_; }
    int connections() const { return connections_; }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            ++connections_;
            if (failure_ != Failure::CloseAtOnce)
                readRequestHead(client);
            if (failure_ == Failure::HttpError) {
                static const char answer[] =
                    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                (void)!::write(client, answer, sizeof answer - 1);
            }
            ::close(client);
        }
    }
    // Reads until the end of the request's header (or 2 s of silence).
    static void readRequestHead(int client)
    {
        QByteArray seen;
        while (!seen.contains("\r\n\r\n")) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return;
            char buffer[4096];
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0)
                return;
            seen.append(buffer, n);
        }
    }

    Failure failure_;
    int fd_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace

Q_DECLARE_METATYPE(FailingServer::Failure)

class TestDefaultPrinter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void portNameFromDeviceUri_data();
    void portNameFromDeviceUri();
    void readsTheCurrentDefault_data();
    void readsTheCurrentDefault();
    void noDefault();
    void noServer();
    void serverFailsAfterConnecting_data();
    void serverFailsAfterConnecting();
    void answersInParts();

private:
    PrivateCupsServer server_;
    // One service for the whole suite: each query must see the server's state of the moment.
    std::unique_ptr<DefaultPrinter> printer_;
};

void TestDefaultPrinter::initTestCase()
{
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    for (const auto &[name, uri] :
         {std::pair{"decoder_lpt1", "parallel:/dev/lp0"}, std::pair{"decoder_lpt2", "parallel:/dev/lp1"},
          std::pair{"decoder_lpt3", "parallel:/dev/lp2"}, std::pair{"decoder_usb_lpt1", "parallel:/dev/usb/lp0"},
          std::pair{"decoder_usb_lpt2", "parallel:/dev/usb/lp1"}}) {
        QVERIFY2(server_.addRawQueue(QString::fromLatin1(name), QString::fromLatin1(uri), false),
                 qPrintable(server_.errorString()));
    }
    printer_ = makeCupsDefaultPrinter();
}

void TestDefaultPrinter::init()
{
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    QVERIFY2(server_.setDefault(QStringLiteral("decoder_lpt1")), qPrintable(server_.errorString()));
}

void TestDefaultPrinter::portNameFromDeviceUri_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("port");

    QTest::newRow("lp0") << "parallel:/dev/lp0"
                         << "LPT1:";
    QTest::newRow("lp1") << "parallel:/dev/lp1"
                         << "LPT2:";
    QTest::newRow("lp2") << "parallel:/dev/lp2"
                         << "parallel:/dev/lp2";
    QTest::newRow("lp10") << "parallel:/dev/lp10"
                          << "parallel:/dev/lp10";
    QTest::newRow("lp0 with slashes") << "parallel:///dev/lp0"
                                      << "parallel:///dev/lp0";
    QTest::newRow("lp0 upper case") << "PARALLEL:/dev/lp0"
                                    << "PARALLEL:/dev/lp0";
    QTest::newRow("lp0 trailing blank") << "parallel:/dev/lp0 "
                                        << "parallel:/dev/lp0 ";
    QTest::newRow("usb lp0") << "parallel:/dev/usb/lp0"
                             << "LPT1:";
    QTest::newRow("usb lp1") << "parallel:/dev/usb/lp1"
                             << "LPT2:";
    QTest::newRow("usb lp2") << "parallel:/dev/usb/lp2"
                             << "parallel:/dev/usb/lp2";
    QTest::newRow("usb lp0x") << "parallel:/dev/usb/lp0x"
                              << "parallel:/dev/usb/lp0x";
    QTest::newRow("usb lp10") << "parallel:/dev/usb/lp10"
                              << "parallel:/dev/usb/lp10";
    QTest::newRow("usb folder alone") << "parallel:/dev/usb/lp"
                                      << "parallel:/dev/usb/lp";
    QTest::newRow("lp0 with option") << "parallel:/dev/lp0?x"
                                     << "parallel:/dev/lp0?x";
    QTest::newRow("lp0 in a subfolder") << "parallel:/dev/x/lp0"
                                        << "parallel:/dev/x/lp0";
    QTest::newRow("usb lp0 upper case") << "parallel:/dev/USB/lp0"
                                        << "parallel:/dev/USB/lp0";
    QTest::newRow("lp folder alone") << "parallel:/dev/lp"
                                     << "parallel:/dev/lp";
    QTest::newRow("serial lp0") << "serial:/dev/lp0"
                                << "serial:/dev/lp0";
    QTest::newRow("usb") << "usb://Maker/Model?serial=1"
                         << "usb://Maker/Model?serial=1";
    QTest::newRow("network") << "socket://192.0.2.1:9100"
                             << "socket://192.0.2.1:9100";
    QTest::newRow("port name itself") << "LPT1:"
                                      << "LPT1:";
    QTest::newRow("empty") << ""
                           << "";
}

void TestDefaultPrinter::portNameFromDeviceUri()
{
    QFETCH(QString, uri);
    QFETCH(QString, port);
    QCOMPARE(::portNameFromDeviceUri(uri), port);
}

void TestDefaultPrinter::readsTheCurrentDefault_data()
{
    QTest::addColumn<QString>("queue");
    QTest::addColumn<QString>("port");

    QTest::newRow("LPT1") << "decoder_lpt1"
                          << "LPT1:";
    QTest::newRow("LPT2") << "decoder_lpt2"
                          << "LPT2:";
    QTest::newRow("LPT3") << "decoder_lpt3"
                          << "parallel:/dev/lp2";
    QTest::newRow("USB LPT1") << "decoder_usb_lpt1"
                              << "LPT1:";
    QTest::newRow("USB LPT2") << "decoder_usb_lpt2"
                              << "LPT2:";
}

void TestDefaultPrinter::readsTheCurrentDefault()
{
    QFETCH(QString, queue);
    QFETCH(QString, port);
    QVERIFY2(server_.setDefault(queue), qPrintable(server_.errorString()));

    const DefaultPrinterInfo info = printer_->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::Ready);
    QCOMPARE(info.deviceName, queue);
    QCOMPARE(info.portName, port);
}

void TestDefaultPrinter::noDefault()
{
    QVERIFY2(server_.clearDefault(), qPrintable(server_.errorString()));

    const DefaultPrinterInfo info = printer_->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::NoDefault);
    QVERIFY(info.deviceName.isEmpty());
    QVERIFY(info.portName.isEmpty());
}

void TestDefaultPrinter::noServer()
{
    server_.stop();

    const DefaultPrinterInfo info = printer_->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::NoServer);
    QVERIFY(info.deviceName.isEmpty());
    QVERIFY(info.portName.isEmpty());
}

void TestDefaultPrinter::serverFailsAfterConnecting_data()
{
    QTest::addColumn<FailingServer::Failure>("failure");
    QTest::newRow("closed at once") << FailingServer::Failure::CloseAtOnce;
    QTest::newRow("closed after the request") << FailingServer::Failure::CloseAfterRequest;
    QTest::newRow("HTTP error") << FailingServer::Failure::HttpError;
}

// The connection succeeds but the request gets no answer: that is no print
// server to print with, not a server without a default printer.
void TestDefaultPrinter::serverFailsAfterConnecting()
{
    QFETCH(FailingServer::Failure, failure);
    QTemporaryDir dir(QStringLiteral("/tmp/dp-XXXXXX"));
    const QString socket = dir.filePath(QStringLiteral("s"));
    FailingServer server(socket, failure);
    QVERIFY(server.isListening());
    const QByteArray previous = qgetenv("CUPS_SERVER");
    qputenv("CUPS_SERVER", QFile::encodeName(socket));
    cupsSetServer(nullptr);

    const DefaultPrinterInfo info = printer_->query(3000);

    qputenv("CUPS_SERVER", previous);
    cupsSetServer(nullptr);
    QVERIFY(server.connections() > 0);
    QCOMPARE(info.state, DefaultPrinterInfo::State::NoServer);
    QVERIFY(info.deviceName.isEmpty());
    QVERIFY(info.portName.isEmpty());
}

// A busy server's answer may come in parts, its IPP body a while after its HTTP
// header: the default printer and a job's state are read whole, never taken for a
// server that does not answer, and a cancel is known to be done.
void TestDefaultPrinter::answersInParts()
{
    QTemporaryDir dir(QStringLiteral("/tmp/dp-XXXXXX"));
    const QString socket = dir.filePath(QStringLiteral("s"));
    PrintServerScript script;
    script.pauseInAnswerMs = 400;
    script.jobState = 5;  // processing
    ScriptedPrintServer server(socket, script);
    QVERIFY(server.isListening());
    const QByteArray previous = qgetenv("CUPS_SERVER");
    qputenv("CUPS_SERVER", QFile::encodeName(socket));
    cupsSetServer(nullptr);

    const DefaultPrinterInfo info = printer_->query(3000);
    const std::unique_ptr<PrintJobs> jobs = makeCupsPrintJobs();
    const JobLook look = jobs->look(7, 3000);
    const bool cancelled = jobs->cancel(7, 3000);

    qputenv("CUPS_SERVER", previous);
    cupsSetServer(nullptr);
    QCOMPARE(info.state, DefaultPrinterInfo::State::Ready);
    QCOMPARE(info.deviceName, QStringLiteral("qx7100"));
    QCOMPARE(info.portName, QStringLiteral("LPT1:"));
    QCOMPARE(look.outcome, JobLook::Outcome::Answered);
    QCOMPARE(look.state, 5);
    QVERIFY(cancelled);
    QCOMPARE(server.cancelledJobs(), QList<int>{7});
}

QTEST_GUILESS_MAIN(TestDefaultPrinter)
#include "tst_default_printer.moc"
