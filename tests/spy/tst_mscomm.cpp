// The serial-port component over pseudo-terminal pairs: the test plays the
// decoder on the master side. No test opens a machine's serial port.
#include "pty_pair.h"
#include "spy/mscomm.h"
#include "spy/serial_ports.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {

// Collects every block that OnComm reports, the way the window reads them.
struct Receiver {
    explicit Receiver(MSComm &comm) : comm_(comm)
    {
        QObject::connect(&comm, &MSComm::OnComm, &context, [this] {
            events.append(comm_.commEvent());
            if (comm_.commEvent() == MSComm::comEvReceive) {
                const QByteArray block = comm_.input();
                blocks.append(block.size());
                data += block;
            }
        });
    }
    bool waitFor(qsizetype bytes, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (data.size() < bytes && !deadline.hasExpired())
            QTest::qWait(5);
        return data.size() >= bytes;
    }

    MSComm &comm_;
    QObject context;
    QList<int> events;
    QList<qsizetype> blocks;
    QByteArray data;
};

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace

class TestMSComm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaults();
    void opensAPseudoTerminal();
    void portNumberIsFixedWhileOpen();
    void openFailure_data();
    void openFailure();
    void bytesArriveWithOnComm();
    void floodArrivesWholeAndInOrder();
    void handlerWithNestedLoopStillReceives();
    void outputReachesTheFarEnd_data();
    void outputReachesTheFarEnd();
    void outputWhileClosedFails();
    void reopensOnTheSameNumber();
    void raisedEvents_data();
    void raisedEvents();
    void farEndClosedFailsOnce();
    void outputAfterFarEndClosedFailsOnce();
    void failureOfAnEndedSessionIsNotReported_data();
    void failureOfAnEndedSessionIsNotReported();
    void lineEventsOfAnEndedSessionAreDropped_data();
    void lineEventsOfAnEndedSessionAreDropped();

private:
    std::unique_ptr<PtyPair> pty_;
    std::unique_ptr<MSComm> comm_;
};

void TestMSComm::init()
{
    pty_ = std::make_unique<PtyPair>();
    QVERIFY2(pty_->isOpen(), qPrintable(pty_->errorString()));
    const QString slave = pty_->slavePath();
    comm_ = std::make_unique<MSComm>([slave](int n) { return n == 1 ? slave : QString(); });
}

void TestMSComm::cleanup()
{
    comm_.reset();
    pty_.reset();
}

void TestMSComm::defaults()
{
    // The machine's own mapping (tested bench by bench in tst_serial_ports):
    // on a machine without the bench's links or rules, the built-in ports.
    QCOMPARE(MSComm::defaultDevice(1), comPortDevice(1));
    QCOMPARE(MSComm::defaultDevice(2), comPortDevice(2));
    if (!QFileInfo::exists(comRuleFile(1)) && !QFileInfo(QStringLiteral("/dev/com1")).isSymLink()
        && !QFileInfo::exists(QStringLiteral("/dev/com1")))
        QCOMPARE(MSComm::defaultDevice(1), QStringLiteral("/dev/ttyS0"));
    QVERIFY(MSComm::defaultDevice(3).isEmpty());
    QCOMPARE(comm_->settings(), QStringLiteral("38400,n,8,1"));
    QCOMPARE(comm_->commPort(), int16_t(1));
    QVERIFY(!comm_->portOpen());
    QCOMPARE(comm_->devicePath(), pty_->slavePath());
}

void TestMSComm::opensAPseudoTerminal()
{
    QString reason;
    QVERIFY2(comm_->setPortOpen(true, &reason), qPrintable(reason));
    QVERIFY(comm_->portOpen());
    QCOMPARE(comm_->settings(), QStringLiteral("38400,n,8,1"));
    QVERIFY(comm_->setPortOpen(true));
    QVERIFY(comm_->setPortOpen(false));
    QVERIFY(!comm_->portOpen());
    QVERIFY(comm_->setPortOpen(false));
}

void TestMSComm::portNumberIsFixedWhileOpen()
{
    QVERIFY(comm_->setPortOpen(true));
    QVERIFY(!comm_->setCommPort(2));
    QCOMPARE(comm_->commPort(), int16_t(1));
    comm_->setPortOpen(false);
    QVERIFY(comm_->setCommPort(2));
    QCOMPARE(comm_->commPort(), int16_t(2));
}

void TestMSComm::openFailure_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing device") << QStringLiteral("/nonexistent/ttyQX") << QStringLiteral("No such file");
    QTest::newRow("not a terminal") << QStringLiteral("FILE") << QString();
    QTest::newRow("no device for the number") << QString() << QStringLiteral("no device");
}

void TestMSComm::openFailure()
{
    QFETCH(QString, device);
    QFETCH(QString, reason);
    QTemporaryFile file;
    if (device == QLatin1String("FILE")) {
        QVERIFY(file.open());
        device = file.fileName();
    }
    MSComm comm([device](int) { return device; });
    QSignalSpy failed(&comm, &MSComm::portFailed);
    QString why;
    QVERIFY(!comm.setPortOpen(true, &why));
    QVERIFY(!comm.portOpen());
    QVERIFY(!why.isEmpty());
    QVERIFY2(why.contains(reason), qPrintable(why));
    QCOMPARE(comm.errorString(), why);
    QCOMPARE(comm.devicePath(), device);
    QTest::qWait(20);
    QCOMPARE(failed.count(), 0);
}

void TestMSComm::bytesArriveWithOnComm()
{
    Receiver rx(*comm_);
    QVERIFY(comm_->setPortOpen(true));
    const QByteArray sent("hello\0\r\n\x80\xff", 10);
    QVERIFY(pty_->write(sent));
    QVERIFY(rx.waitFor(sent.size()));
    QCOMPARE(rx.data, sent);
    QVERIFY(!rx.events.isEmpty());
    for (int e : rx.events)
        QCOMPARE(e, int(MSComm::comEvReceive));
    QVERIFY(comm_->input().isEmpty());
}

void TestMSComm::floodArrivesWholeAndInOrder()
{
    Receiver rx(*comm_);
    QVERIFY(comm_->setPortOpen(true));
    const QByteArray sent = pattern(3 * 1024 * 1024);
    QVERIFY2(pty_->write(sent, 60000), qPrintable(pty_->errorString()));
    QVERIFY(rx.waitFor(sent.size()));
    QCOMPARE(rx.data.size(), sent.size());
    QVERIFY(rx.data == sent);
    for (qsizetype b : rx.blocks)
        QVERIFY(b <= MSComm::InputCap);
    qInfo("%lld bytes in %lld blocks, largest %lld", qlonglong(sent.size()), qlonglong(rx.blocks.size()),
          qlonglong(*std::max_element(rx.blocks.begin(), rx.blocks.end())));
}

// A handler that opens a modal box runs a nested event loop inside OnComm:
// later arrivals must still be reported there.
void TestMSComm::handlerWithNestedLoopStillReceives()
{
    QVERIFY(comm_->setPortOpen(true));
    QByteArray seen;
    int depth = 0;
    int deepest = 0;
    connect(comm_.get(), &MSComm::OnComm, this, [&] {
        ++depth;
        deepest = qMax(deepest, depth);
        seen += comm_->input();
        if (depth == 1) {
            QVERIFY(pty_->write("second"));
            QDeadlineTimer deadline(5000);
            while (!seen.endsWith("second") && !deadline.hasExpired())
                QTest::qWait(5);
        }
        --depth;
    });
    QVERIFY(pty_->write("first"));
    QTRY_COMPARE_WITH_TIMEOUT(seen, QByteArray("firstsecond"), 5000);
    QCOMPARE(deepest, 2);
}

void TestMSComm::outputReachesTheFarEnd_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("one character") << QByteArray("A");
    QTest::newRow("carriage return") << QByteArray("\r");
    QTest::newRow("NUL") << QByteArray(1, '\0');
    QTest::newRow("high byte") << QByteArray("\x80");
    QTest::newRow("several") << QByteArray("ls -l\r");
    QTest::newRow("more than the line takes at once") << pattern(200000);
}

void TestMSComm::outputReachesTheFarEnd()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(comm_->setPortOpen(true));
    QString reason;
    QVERIFY2(comm_->output(bytes, &reason), qPrintable(reason));
    QByteArray got;
    QDeadlineTimer deadline(10000);
    while (got.size() < bytes.size() && !deadline.hasExpired())
        got += pty_->read(50);
    QCOMPARE(got.size(), bytes.size());
    QVERIFY(got == bytes);
}

void TestMSComm::outputWhileClosedFails()
{
    QSignalSpy failed(comm_.get(), &MSComm::portFailed);
    QString reason;
    QVERIFY(!comm_->output("A", &reason));
    QVERIFY(!reason.isEmpty());
    QTest::qWait(20);
    QCOMPARE(failed.count(), 0);
}

void TestMSComm::reopensOnTheSameNumber()
{
    Receiver rx(*comm_);
    QVERIFY(comm_->setPortOpen(true));
    QVERIFY(comm_->setPortOpen(false));
    QVERIFY(comm_->setPortOpen(true));
    QCOMPARE(comm_->commPort(), int16_t(1));
    QVERIFY(pty_->write("after reopen"));
    QVERIFY(rx.waitFor(12));
    QCOMPARE(rx.data, QByteArray("after reopen"));
}

void TestMSComm::raisedEvents_data()
{
    QTest::addColumn<int>("code");
    for (int code : {1, 2, 3, 4, 5, 6, 7, 1001, 1004, 1006, 1008, 1009, 1010, 1011, 999})
        QTest::newRow(qPrintable(QString::number(code))) << code;
}

void TestMSComm::raisedEvents()
{
    QFETCH(int, code);
    QVERIFY(comm_->setPortOpen(true));
    QList<int> seen;
    connect(comm_.get(), &MSComm::OnComm, this, [&] { seen.append(comm_->commEvent()); });
    comm_->raiseEvent(int16_t(code));
    QCOMPARE(seen, QList<int>{code});
    QCOMPARE(int(comm_->commEvent()), code);
    QVERIFY(comm_->portOpen());
}

void TestMSComm::farEndClosedFailsOnce()
{
    Receiver rx(*comm_);
    QSignalSpy failed(comm_.get(), &MSComm::portFailed);
    QSignalSpy gone(comm_.get(), &MSComm::deviceDisconnected);
    QVERIFY(comm_->setPortOpen(true));
    QVERIFY(pty_->write("last words"));
    QVERIFY(rx.waitFor(10));
    pty_->closeMaster();
    pty_->closeSlave();
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 2000);
    QCOMPARE(gone.count(), 1);
    QVERIFY(!comm_->portOpen());
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("the device was disconnected"));
    QCOMPARE(comm_->errorString(), failed.at(0).at(0).toString());
    QTest::qWait(200);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(rx.data, QByteArray("last words"));

    // The component is usable again on a new line.
    PtyPair other;
    const QString slave = other.slavePath();
    MSComm again([slave](int) { return slave; });
    QVERIFY(again.setPortOpen(true));
}

void TestMSComm::outputAfterFarEndClosedFailsOnce()
{
    QSignalSpy failed(comm_.get(), &MSComm::portFailed);
    QSignalSpy gone(comm_.get(), &MSComm::deviceDisconnected);
    QVERIFY(comm_->setPortOpen(true));
    pty_->closeMaster();
    pty_->closeSlave();
    QString reason;
    QVERIFY(!comm_->output("A", &reason));
    QCOMPARE(reason, QStringLiteral("the device was disconnected"));
    QVERIFY(!comm_->portOpen());
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 2000);
    QTest::qWait(200);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(gone.count(), 1);
}

// COM1 fails inside output(); before the event loop reports it, the port is
// opened again. The failure must not be reported against the new session (the
// window would clear the new port's mark and warn about a working port).
void TestMSComm::failureOfAnEndedSessionIsNotReported_data()
{
    QTest::addColumn<int>("reopenAs");
    QTest::newRow("COM2 opened") << 2;
    QTest::newRow("COM1 opened again") << 1;
}

void TestMSComm::failureOfAnEndedSessionIsNotReported()
{
    QFETCH(int, reopenAs);
    PtyPair line2;
    QVERIFY2(line2.isOpen(), qPrintable(line2.errorString()));
    const QString slave2 = line2.slavePath();
    auto line1 = std::make_unique<PtyPair>();
    QString slave1 = line1->slavePath();
    MSComm comm([&](int n) { return n == 1 ? slave1 : slave2; });
    QSignalSpy failed(&comm, &MSComm::portFailed);
    Receiver rx(comm);

    QVERIFY(comm.setPortOpen(true));
    line1->closeMaster();
    line1->closeSlave();
    QVERIFY(!comm.output("A"));
    QVERIFY(!comm.portOpen());

    if (reopenAs == 1) {
        line1 = std::make_unique<PtyPair>();
        slave1 = line1->slavePath();
    }
    QVERIFY(comm.setCommPort(int16_t(reopenAs)));
    QString reason;
    QVERIFY2(comm.setPortOpen(true, &reason), qPrintable(reason));
    QTest::qWait(200);
    QCOMPARE(failed.count(), 0);
    QVERIFY(comm.portOpen());
    PtyPair &line = reopenAs == 1 ? *line1 : line2;
    QVERIFY(line.write("alive"));
    QVERIFY(rx.waitFor(5));
    QCOMPARE(rx.data, QByteArray("alive"));
}

// A line error found with a block is raised from the event loop after the
// block's OnComm; a handler that closes or reopens the port there ends the
// session the error belonged to. A pseudo-terminal keeps no line counts: the
// test gives them.
void TestMSComm::lineEventsOfAnEndedSessionAreDropped_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<QList<int>>("events");
    QTest::newRow("port left open") << "none" << QList<int>{MSComm::comEvReceive, MSComm::comEventOverrun};
    QTest::newRow("port closed") << "close" << QList<int>{MSComm::comEvReceive};
    QTest::newRow("port reopened") << "reopen" << QList<int>{MSComm::comEvReceive};
}

void TestMSComm::lineEventsOfAnEndedSessionAreDropped()
{
    QFETCH(QString, handler);
    QFETCH(QList<int>, events);
    int overruns = 0;
    comm_->setLineCounter([&overruns](int, int(&counts)[MSComm::LineErrorKinds]) {
        for (int &c : counts)
            c = 0;
        counts[MSComm::OverrunErrors] = overruns;
        return true;
    });
    QList<int> seen;
    connect(comm_.get(), &MSComm::OnComm, this, [&] {
        seen.append(comm_->commEvent());
        if (comm_->commEvent() != MSComm::comEvReceive)
            return;
        comm_->input();
        if (handler != QLatin1String("none"))
            comm_->setPortOpen(false);
        if (handler == QLatin1String("reopen"))
            QVERIFY(comm_->setPortOpen(true));
    });
    QVERIFY(comm_->setPortOpen(true));
    overruns = 1;
    QVERIFY(pty_->write("lost bytes"));
    QTRY_VERIFY(!seen.isEmpty());
    QTest::qWait(100);
    QCOMPARE(seen, events);
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
