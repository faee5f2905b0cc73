// Which device COM1 and COM2 are, and the words of a failed open, against
// fixture trees of /dev, the udev rules and /sys, and through MSComm over
// pseudo-terminals. Cases that need another user run a probe dropped to
// nobody. No test opens a machine's serial port.
#include "pty_pair.h"
#include "spy/mscomm.h"
#include "spy/serial_ports.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A bench's files under one temporary folder.
class Fixture {
public:
    Fixture()
    {
        roots.dev = dir.path() + QStringLiteral("/dev");
        roots.udevRules = dir.path() + QStringLiteral("/etc/udev/rules.d");
        roots.sys = dir.path() + QStringLiteral("/sys");
        QDir().mkpath(roots.dev);
        QDir().mkpath(roots.udevRules);
        QDir().mkpath(roots.sys + QStringLiteral("/class/tty"));
    }
    bool link(const QString &name, const QString &target) const
    {
        return QFile::link(target, roots.dev + QLatin1Char('/') + name);
    }
    bool rule(int port) const
    {
        QFile file(comRuleFile(port, roots));
        return file.open(QIODevice::WriteOnly) && file.write("# test\n") > 0;
    }
    bool adapter(const QString &name) const { return QDir().mkpath(roots.sys + QStringLiteral("/class/tty/") + name); }
    // Stages a bench from a few words: com1 (a link to target), dangling1, rule1,
    // rule2, usb0 and acm0 (adapters in /sys).
    bool stage(const QStringList &items, const QString &target) const
    {
        for (const QString &item : items) {
            bool ok = true;
            if (item == QLatin1String("com1"))
                ok = link(QStringLiteral("com1"), target);
            else if (item == QLatin1String("com2"))
                ok = link(QStringLiteral("com2"), target);
            else if (item == QLatin1String("dangling1"))
                ok = link(QStringLiteral("com1"), roots.dev + QStringLiteral("/ttyUSB7"));
            else if (item == QLatin1String("rule1"))
                ok = rule(1);
            else if (item == QLatin1String("rule2"))
                ok = rule(2);
            else if (item == QLatin1String("usb0"))
                ok = adapter(QStringLiteral("ttyUSB0"));
            else if (item == QLatin1String("acm0"))
                ok = adapter(QStringLiteral("ttyACM0"));
            else if (item == QLatin1String("ttyS0"))
                ok = adapter(QStringLiteral("ttyS0"));
            else
                return false;
            if (!ok)
                return false;
        }
        return true;
    }

    QTemporaryDir dir;
    SerialRoots roots;
};

QString currentUser()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
}

}  // namespace

class TestSerialPorts : public QObject {
    Q_OBJECT

private slots:
    void comPortDevice_data();
    void comPortDevice();
    void describeOpenFailure_data();
    void describeOpenFailure();

    void opensThroughTheComLink();
    void adapterNotPluggedIn();
    void portWithoutUartIsRefused_data();
    void portWithoutUartIsRefused();
    void kernelUartOfAPseudoTerminal();
    void uartFromType_data();
    void uartFromType();
    void ioErrorOnOpenGetsTheAdapterHint();
    void lockFileNamesTheProgram();
    void otherUser_data();
    void otherUser();

private:
    QString runProbe(const QString &device, bool *ran);
};

void TestSerialPorts::comPortDevice_data()
{
    QTest::addColumn<QStringList>("bench");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");

    QTest::newRow("COM1 bare") << QStringList{} << 1 << "ttyS0";
    QTest::newRow("COM2 bare") << QStringList{} << 2 << "ttyS1";
    QTest::newRow("COM1 linked") << QStringList{"com1"} << 1 << "com1";
    QTest::newRow("COM2 linked") << QStringList{"com2"} << 2 << "com2";
    QTest::newRow("COM2 with only COM1 linked") << QStringList{"com1", "rule1"} << 2 << "ttyS1";
    QTest::newRow("COM1 with only COM2 linked") << QStringList{"com2", "rule2"} << 1 << "ttyS0";
    QTest::newRow("COM1 rule, link absent") << QStringList{"rule1"} << 1 << "com1";
    QTest::newRow("COM2 rule, link absent") << QStringList{"rule2"} << 2 << "com2";
    QTest::newRow("COM1 dangling link") << QStringList{"dangling1"} << 1 << "com1";
    QTest::newRow("COM1 with adapters only") << QStringList{"usb0", "acm0"} << 1 << "ttyS0";
    QTest::newRow("port 0") << QStringList{"com1", "rule1"} << 0 << "";
    QTest::newRow("port 3") << QStringList{"com1", "rule1"} << 3 << "";
}

void TestSerialPorts::comPortDevice()
{
    QFETCH(QStringList, bench);
    QFETCH(int, port);
    QFETCH(QString, device);
    Fixture f;
    QVERIFY(f.stage(bench, QStringLiteral("/dev/null")));
    const QString expected = device.isEmpty() ? QString() : f.roots.dev + QLatin1Char('/') + device;
    QCOMPARE(::comPortDevice(port, f.roots), expected);
}

void TestSerialPorts::describeOpenFailure_data()
{
    QTest::addColumn<QStringList>("bench");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");  // under the fixture's dev root
    QTest::addColumn<QString>("systemReason");
    QTest::addColumn<bool>("noUart");
    QTest::addColumn<QString>("words");  // {dev} stands for the fixture's dev root, {user} for this user

    const QString enoent = qt_error_string(ENOENT);
    const QString eio = qt_error_string(EIO);
    const QString eacces = qt_error_string(EACCES);
    const QString ebusy = qt_error_string(EBUSY);
    const QString noAdapter = QStringLiteral(
        "No USB serial adapter is plugged in: plug one in and give it COM1 with load_qx7100-bench com1 DEVICE "
        "(as root).");

    QTest::newRow("COM1 adapter not plugged in") << QStringList{"rule1"} << 1 << "com1" << enoent << false
                                                 << "the USB serial adapter given COM1 is not plugged in.";
    QTest::newRow("COM2 adapter not plugged in") << QStringList{"rule2"} << 2 << "com2" << enoent << false
                                                 << "the USB serial adapter given COM2 is not plugged in.";
    QTest::newRow("COM1 link gone without a rule") << QStringList{} << 1 << "com1" << enoent << false << enoent;
    QTest::newRow("dangling link")
        << QStringList{"dangling1"} << 1 << "com1" << enoent << false
        << "the link leads to {dev}/ttyUSB7, which does not exist. Plug the adapter in, or give COM1 to another "
           "with load_qx7100-bench com1 DEVICE (as root).";
    QTest::newRow("dangling link with its rule")
        << QStringList{"dangling1", "rule1"} << 1 << "com1" << enoent << false
        << "the link leads to {dev}/ttyUSB7, which does not exist. Plug the adapter in, or give COM1 to another "
           "with load_qx7100-bench com1 DEVICE (as root).";
    QTest::newRow("no UART, no adapter") << QStringList{"ttyS0"} << 1 << "ttyS0" << QString() << true
                                         << "no serial port is behind this device. " + noAdapter;
    QTest::newRow("no UART, one adapter")
        << QStringList{"usb0"} << 1 << "ttyS0" << QString() << true
        << "no serial port is behind this device. The USB serial adapter {dev}/ttyUSB0 is present: give it COM1 "
           "with load_qx7100-bench com1 {dev}/ttyUSB0 (as root).";
    QTest::newRow("no UART on COM2, two adapters")
        << QStringList{"usb0", "acm0"} << 2 << "ttyS1" << QString() << true
        << "no serial port is behind this device. USB serial adapters present: {dev}/ttyACM0, {dev}/ttyUSB0; give "
           "the decoder's one COM2 with load_qx7100-bench com2 DEVICE (as root).";
    QTest::newRow("input/output error")
        << QStringList{"usb0"} << 1 << "ttyS0" << eio << false
        << eio
               + ". The USB serial adapter {dev}/ttyUSB0 is present: give it COM1 with load_qx7100-bench com1 "
                 "{dev}/ttyUSB0 (as root).";
    QTest::newRow("no ttyS node") << QStringList{} << 1 << "ttyS0" << enoent << false << enoent + ". " + noAdapter;
    QTest::newRow("permission denied")
        << QStringList{"com1"} << 1 << "com1" << eacces << false
        << eacces
               + ". The user {user} must be in the dialout group (as root: adduser {user} dialout) and log in again.";
    QTest::newRow("locked, holder unknown")
        << QStringList{} << 1 << "ttyUSB9"
        << "Permission error while locking the device" << false << "another program is using the port";
    QTest::newRow("busy, holder unknown")
        << QStringList{} << 1 << "ttyUSB9" << ebusy << false << "another program is using the port";
    QTest::newRow("other reasons unchanged") << QStringList{"com1"} << 1 << "com1"
                                             << "Unsupported operation" << false << "Unsupported operation";
    QTest::newRow("missing device elsewhere") << QStringList{} << 1 << "ttyQX" << enoent << false << enoent;
}

void TestSerialPorts::describeOpenFailure()
{
    QFETCH(QStringList, bench);
    QFETCH(int, port);
    QFETCH(QString, device);
    QFETCH(QString, systemReason);
    QFETCH(bool, noUart);
    QFETCH(QString, words);
    Fixture f;
    QVERIFY(f.stage(bench, QStringLiteral("/dev/null")));
    const OpenFailure failure{port, f.roots.dev + QLatin1Char('/') + device, systemReason, noUart};
    words.replace(QLatin1String("{dev}"), f.roots.dev).replace(QLatin1String("{user}"), currentUser());
    QCOMPARE(::describeOpenFailure(failure, f.roots), words);
}

void TestSerialPorts::opensThroughTheComLink()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    Fixture f;
    QVERIFY(f.stage({"com1", "rule1"}, pty.slavePath()));
    const SerialRoots roots = f.roots;
    MSComm comm([roots](int n) { return ::comPortDevice(n, roots); });
    comm.setSystem(f.roots);
    QCOMPARE(comm.devicePath(), f.roots.dev + QStringLiteral("/com1"));
    QString reason;
    QVERIFY2(comm.setPortOpen(true, &reason), qPrintable(reason));
    QByteArray got;
    QObject::connect(&comm, &MSComm::OnComm, &comm, [&] { got += comm.input(); });
    QVERIFY(pty.write("attente negociation\r\n"));
    QTRY_COMPARE(got, QByteArray("attente negociation\r\n"));
}

// Once the bench has given COM1 to an adapter, an absent link never falls back
// to the built-in port, even where that port exists.
void TestSerialPorts::adapterNotPluggedIn()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    Fixture f;
    QVERIFY(f.stage({"rule1"}, QString()));
    QVERIFY(f.link(QStringLiteral("ttyS0"), pty.slavePath()));
    const SerialRoots roots = f.roots;
    MSComm comm([roots](int n) { return ::comPortDevice(n, roots); });
    comm.setSystem(f.roots);
    QString reason;
    QVERIFY(!comm.setPortOpen(true, &reason));
    QVERIFY(!comm.portOpen());
    QCOMPARE(comm.devicePath(), f.roots.dev + QStringLiteral("/com1"));
    QCOMPARE(reason, QStringLiteral("the USB serial adapter given COM1 is not plugged in."));

    // Plugged back in: the link returns and the same component opens it.
    QVERIFY(f.link(QStringLiteral("com1"), pty.slavePath()));
    QVERIFY2(comm.setPortOpen(true, &reason), qPrintable(reason));
}

void TestSerialPorts::portWithoutUartIsRefused_data()
{
    QTest::addColumn<int>("uart");
    QTest::addColumn<bool>("opens");
    QTest::newRow("no UART") << int(UartKind::None) << false;
    QTest::newRow("UART present") << int(UartKind::Present) << true;
    QTest::newRow("not a serial driver") << int(UartKind::Unknown) << true;
}

void TestSerialPorts::portWithoutUartIsRefused()
{
    QFETCH(int, uart);
    QFETCH(bool, opens);
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    Fixture f;
    QVERIFY(f.stage({"usb0"}, QString()));
    const QString slave = pty.slavePath();
    MSComm comm([slave](int) { return slave; });
    int askedFd = -1;
    comm.setSystem(f.roots, [&](int fd) {
        askedFd = fd;
        return UartKind(uart);
    });
    QString reason;
    QCOMPARE(comm.setPortOpen(true, &reason), opens);
    QCOMPARE(comm.portOpen(), opens);
    QVERIFY(askedFd >= 0);
    if (!opens) {
        QCOMPARE(reason, QStringLiteral("no serial port is behind this device. The USB serial adapter %1/ttyUSB0 "
                                        "is present: give it COM1 with load_qx7100-bench com1 %1/ttyUSB0 (as root).")
                             .arg(f.roots.dev));
        // Nothing of the refused open stays behind: the device can be opened again.
        comm.setSystem(f.roots, [](int) { return UartKind::Present; });
        QVERIFY2(comm.setPortOpen(true, &reason), qPrintable(reason));
    }
}

void TestSerialPorts::kernelUartOfAPseudoTerminal()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(kernelUart(fd), UartKind::Unknown);
    ::close(fd);
    QCOMPARE(kernelUart(-1), UartKind::Unknown);
}

void TestSerialPorts::uartFromType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("serialCore");
    QTest::addColumn<int>("kind");
    QTest::newRow("16550A") << 4 << true << int(UartKind::Present);
    QTest::newRow("built-in port without UART") << 0 << true << int(UartKind::None);
    // USB serial drivers report type 0 for every adapter: never taken as missing.
    QTest::newRow("USB serial adapter") << 0 << false << int(UartKind::Unknown);
}

void TestSerialPorts::uartFromType()
{
    QFETCH(int, type);
    QFETCH(bool, serialCore);
    QFETCH(int, kind);
    Fixture f;
    const QString device = f.roots.sys + QStringLiteral("/dev/char/4:64");
    QVERIFY(QDir().mkpath(device));
    if (serialCore) {
        QFile attribute(device + QStringLiteral("/type"));
        QVERIFY(attribute.open(QIODevice::WriteOnly));
        attribute.write(QByteArray::number(type) + '\n');
    }
    QCOMPARE(::uartFromType(type, 4, 64, f.roots.sys), UartKind(kind));
    QCOMPARE(::uartFromType(type, 4, 65, f.roots.sys), type == 0 ? UartKind::Unknown : UartKind::Present);
}

// A pseudo-terminal whose slave is still locked answers every open with an
// input/output error, as a built-in port without a UART can.
void TestSerialPorts::ioErrorOnOpenGetsTheAdapterHint()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    Fixture f;
    QVERIFY(f.stage({"acm0"}, QString()));
    MSComm comm([slave](int) { return slave; });
    comm.setSystem(f.roots);
    QString reason;
    const bool opened = comm.setPortOpen(true, &reason);
    ::close(master);
    QVERIFY(!opened);
    QCOMPARE(reason, qt_error_string(EIO)
                         + QStringLiteral(". The USB serial adapter %1/ttyACM0 is present: give it "
                                          "COM1 with load_qx7100-bench com1 %1/ttyACM0 (as root).")
                               .arg(f.roots.dev));
}

// A lock file left by a program that is running, in the folder where the
// serial library looks for it.
void TestSerialPorts::lockFileNamesTheProgram()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QString name = pty.slavePath().mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString lockFolder = QStringLiteral("/var/lock");
    QVERIFY2(QFileInfo(lockFolder).isWritable(), "the test needs a writable /var/lock for a lock file");
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY2(holder.waitForStarted(), "the test needs the program sleep");
    QFile lock(lockFolder + QStringLiteral("/LCK..") + name);
    QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // The serial library's own format: process number, program, host.
    lock.write(QByteArray::number(holder.processId()) + "\nsleep\n" + QSysInfo::machineHostName().toUtf8() + '\n');
    lock.close();

    const qint64 pid = holder.processId();
    const QString slave = pty.slavePath();
    MSComm comm([slave](int) { return slave; });
    QString reason;
    const bool opened = comm.setPortOpen(true, &reason);
    lock.remove();
    holder.kill();
    holder.waitForFinished();
    QVERIFY(!opened);
    QCOMPARE(reason, QStringLiteral("another program (sleep, process %1) is using the port").arg(pid));
}

// Runs the probe as nobody where this test runs as root, else as this user.
QString TestSerialPorts::runProbe(const QString &device, bool *ran)
{
    *ran = false;
    QProcess probe;
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/open_port_probe");
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            return QStringLiteral("the test needs setpriv (Debian package util-linux) to run as nobody");
        probe.start(setpriv, {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                              QStringLiteral("--clear-groups"), program, device});
    } else {
        probe.start(program, {device});
    }
    if (!probe.waitForFinished(20000))
        return QStringLiteral("the probe did not run: ") + probe.errorString();
    *ran = true;
    return QString::fromLocal8Bit(probe.readAllStandardOutput()).trimmed();
}

void TestSerialPorts::otherUser_data()
{
    QTest::addColumn<bool>("exclusive");
    QTest::addColumn<QString>("words");
    QTest::newRow("permission denied") << false
                                       << qt_error_string(EACCES)
                                              + QStringLiteral(
                                                  ". The user USER must be in the dialout group (as root: adduser "
                                                  "USER dialout) and log in again.");
    QTest::newRow("held exclusively") << true << QStringLiteral("another program");
}

void TestSerialPorts::otherUser()
{
    QFETCH(bool, exclusive);
    QFETCH(QString, words);
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    const QByteArray slave = QFile::encodeName(pty.slavePath());
    const int fd = ::open(slave.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    if (exclusive) {
        QVERIFY(::chmod(slave.constData(), 0666) == 0);
        QVERIFY(::ioctl(fd, TIOCEXCL) == 0);
    } else {
        QVERIFY(::chmod(slave.constData(), 0) == 0);
    }
    bool ran = false;
    const QString got = runProbe(pty.slavePath(), &ran);
    ::close(fd);
    QVERIFY2(ran, qPrintable(got));
    const QString user = ::geteuid() == 0 ? QStringLiteral("nobody") : currentUser();
    words.replace(QLatin1String("USER"), user);
    if (exclusive) {
        QVERIFY2(got.startsWith(words) && got.endsWith(QLatin1String("is using the port")), qPrintable(got));
    } else {
        QCOMPARE(got, words);
    }
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serial_ports.moc"
