// The bench set-up program's rules without root: what a tty is, what COM1 and
// COM2 resolve to, the udev rule written for a port (hostile USB strings
// included), the texts made visible, the user's lpoptions, and the LPT
// mapping the loader shares. Fixture trees of /sys, /dev and /etc under a
// temporary folder stand for the machine's. The whole program, as root and in
// private namespaces, is tested by tst_bench_setup.sh.
#include "bench_rules.h"
#include "spy/serial_ports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace bench;

namespace {

const QByteArray kUsbRoot = "devices/pci0000:00/0000:00:14.0/usb1";

bool writeFile(const QByteArray &path, const QByteArray &text)
{
    QDir().mkpath(QFile::decodeName(path.left(path.lastIndexOf('/'))));
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

bool makeLink(const QByteArray &target, const QByteArray &path)
{
    QDir().mkpath(QFile::decodeName(path.left(path.lastIndexOf('/'))));
    return ::symlink(target.constData(), path.constData()) == 0;
}

// A bench of fixture trees, built as the kernel lays out /sys: the same bench
// as tst_bench_setup.sh's.
class Bench {
public:
    Bench()
    {
        const QByteArray base = QFile::encodeName(dir.path());
        roots.dev = base + "/dev";
        roots.sys = base + "/sys";
        roots.etc = base + "/etc";
        QDir().mkpath(QFile::decodeName(roots.sys + "/class/tty"));
        QDir().mkpath(QFile::decodeName(roots.dev));
        QDir().mkpath(QFile::decodeName(roots.rulesDir()));
    }

    // A tty under sys/DEVPATH/tty/NAME whose device is sys/PARENT, and a node
    // dev/NAME (a link to /dev/null, a character device).
    void tty(const QByteArray &name, const QByteArray &devpath, const QByteArray &parent = {},
             const QByteArray &type = {})
    {
        const QByteArray folder = roots.sys + '/' + devpath + "/tty/" + name;
        QVERIFY(writeFile(folder + "/dev", "188:0\n"));
        if (!parent.isEmpty())
            QVERIFY(makeLink(roots.sys + '/' + parent, folder + "/device"));
        if (!type.isEmpty())
            QVERIFY(writeFile(folder + "/type", type + '\n'));
        QVERIFY(makeLink(folder, roots.sys + "/class/tty/" + name));
        QVERIFY(makeLink("/dev/null", roots.dev + '/' + name));
    }
    void usb(const QByteArray &socket, const QByteArray &vendor, const QByteArray &product, const QByteArray &serial,
             const QByteArray &maker = "FTDI", const QByteArray &productName = "FT232R USB UART")
    {
        const QByteArray folder = roots.sys + '/' + kUsbRoot + '/' + socket;
        QVERIFY(writeFile(folder + "/idVendor", vendor + '\n'));
        QVERIFY(writeFile(folder + "/idProduct", product + '\n'));
        if (!serial.isEmpty())
            QVERIFY(writeFile(folder + "/serial", serial + '\n'));
        QVERIFY(writeFile(folder + "/manufacturer", maker + '\n'));
        QVERIFY(writeFile(folder + "/product", productName + '\n'));
    }
    // A usb-serial port NAME on interface IFACE of the adapter at SOCKET.
    void usbSerial(const QByteArray &socket, int iface, const QByteArray &name, int port = 0)
    {
        const QByteArray path = kUsbRoot + '/' + socket + '/' + socket + ":1." + QByteArray::number(iface);
        QVERIFY(writeFile(roots.sys + '/' + path + "/bInterfaceNumber",
                          QByteArray::number(iface).rightJustified(2, '0') + '\n'));
        QVERIFY(writeFile(roots.sys + '/' + path + '/' + name + "/port_number", QByteArray::number(port) + '\n'));
        tty(name, path + '/' + name, path + '/' + name);
    }
    // The bench of tst_bench_setup.sh.
    void standard()
    {
        tty("ttyS0", "devices/pnp0/00:05", "devices/pnp0/00:05", "0");
        QDir().mkpath(QFile::decodeName(roots.sys + "/devices/platform/serial8250"));
        tty("ttyS1", "devices/platform/serial8250", "devices/platform/serial8250", "4");
        tty("ttyS2", "devices/platform/serial8250", "devices/platform/serial8250", "0");
        tty("ttyS3", "devices/platform/serial8250", "devices/platform/serial8250", "0");
        const QByteArray card = "devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
        QDir().mkpath(QFile::decodeName(roots.sys + '/' + card));
        tty("ttyS4", card, card, "4");
        tty("ttyS5", card, card, "4");
        usb("1-2", "0403", "6001", "A50285BI");
        usbSerial("1-2", 0, "ttyUSB0");
        usb("1-3", "1a86", "7523", "", "QinHeng", "USB Serial");
        usbSerial("1-3", 0, "ttyUSB1");
        usb("1-4", "0403", "6010", "FT4XYZ", "FTDI", "Dual RS232-HS");
        usbSerial("1-4", 0, "ttyUSB2");
        usbSerial("1-4", 1, "ttyUSB3");
        usb("1-6", "9710", "7840", "MOS4", "MosChip", "4-port serial");
        for (int p = 0; p < 4; ++p)
            usbSerial("1-6", 0, "ttyUSB" + QByteArray::number(4 + p), p);
        usb("1-5", "2341", "0043", "ACM77", "Acme", "CDC serial");
        const QByteArray acm = kUsbRoot + "/1-5/1-5:1.0";
        QVERIFY(writeFile(roots.sys + '/' + acm + "/bInterfaceNumber", "00\n"));
        tty("ttyACM0", acm, acm);
        QDir().mkpath(QFile::decodeName(roots.sys + "/devices/virtual/tty"));
        tty("tty0", "devices/virtual/tty");
    }
    // A one-port adapter at SOCKET with the given strings, as tty NAME.
    void hostile(const QByteArray &socket, const QByteArray &vendor, const QByteArray &product,
                 const QByteArray &serial, const QByteArray &maker, const QByteArray &productName,
                 const QByteArray &name)
    {
        usb(socket, vendor, product, serial, maker, productName);
        usbSerial(socket, 0, name);
    }

    QTemporaryDir dir;
    Roots roots;
};

bool hasControl(const QByteArray &text, bool newlineAllowed)
{
    for (char c : text) {
        const uchar u = uchar(c);
        if ((u < 0x20 && !(newlineAllowed && u == '\n')) || u == 0x7f)
            return true;
    }
    return false;
}

}  // namespace

class TestBenchRules : public QObject {
    Q_OBJECT

private slots:
    void visibleText_data();
    void visibleText();
    void valueChecks_data();
    void valueChecks();
    void compressNames_data();
    void compressNames();
    void classify_data();
    void classify();
    void port_data();
    void port();
    void rule_data();
    void rule();
    void refused_data();
    void refused();
    void resolveCom_data();
    void resolveCom();
    void lpOptions_data();
    void lpOptions();
    void lpOptionsFiles_data();
    void lpOptionsFiles();
    void lptMapping_data();
    void lptMapping();
};

void TestBenchRules::visibleText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("plain") << QByteArray("FT232R USB UART") << QByteArray("FT232R USB UART");
    QTest::newRow("ESC sequences") << QByteArray("Evil\x1b[2J\x1b]0;owned\a Corp")
                                   << QByteArray("Evil\\x1b[2J\\x1b]0;owned\\x07 Corp");
    QTest::newRow("line break and tab") << QByteArray("a\nb\tc") << QByteArray("a\\x0ab\\x09c");
    QTest::newRow("DEL") << QByteArray("a\x7f") << QByteArray("a\\x7f");
    QTest::newRow("C1 control in UTF-8") << QByteArray("a\xc2\x9b"
                                                       "b")
                                         << QByteArray("a\\u009bb");
    QTest::newRow("printable non-ASCII") << QByteArray("caf\xc3\xa9") << QByteArray("caf\xc3\xa9");
    // A backslash before x or u is doubled: no faked escape.
    QTest::newRow("faked escape") << QByteArray("a\\x1b") << QByteArray("a\\\\x1b");
    QTest::newRow("backslash c kept") << QByteArray("Half\\cHidden") << QByteArray("Half\\cHidden");
    QTest::newRow("160 bytes kept") << QByteArray(160, 'L') << QByteArray(160, 'L');
    QTest::newRow("161 bytes cut") << QByteArray(161, 'L') << QByteArray(160, 'L') + "...";
    QTest::newRow("cut never inside a character") << QByteArray(159, 'L') + "\xc3\xa9" << QByteArray(159, 'L') + "...";
    QTest::newRow("4000 bytes") << QByteArray(4000, 'L') << QByteArray(160, 'L') + "...";
}

void TestBenchRules::visibleText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, shown);
    QCOMPARE(visible(text), shown);
}

void TestBenchRules::valueChecks_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("kernel name") << "kernel" << QByteArray("ttyUSB0") << true;
    QTest::newRow("kernel name with a quote") << "kernel" << QByteArray("ttyS9\", RUN+=\"x") << false;
    QTest::newRow("kernel name with a blank") << "kernel" << QByteArray("tty S0") << false;
    QTest::newRow("kernel name too long") << "kernel" << QByteArray(33, 'a') << false;
    QTest::newRow("kernel name empty") << "kernel" << QByteArray() << false;
    QTest::newRow("hex4") << "hex4" << QByteArray("0403") << true;
    QTest::newRow("hex4 upper case") << "hex4" << QByteArray("04A3") << false;
    QTest::newRow("hex4 with a quote") << "hex4" << QByteArray("04\"3") << false;
    QTest::newRow("hex4 too short") << "hex4" << QByteArray("403") << false;
    QTest::newRow("hex2") << "hex2" << QByteArray("01") << true;
    QTest::newRow("hex2 too long") << "hex2" << QByteArray("001") << false;
    QTest::newRow("number") << "number" << QByteArray("12") << true;
    QTest::newRow("number too long") << "number" << QByteArray("1234") << false;
    QTest::newRow("number with a sign") << "number" << QByteArray("-1") << false;
    QTest::newRow("usb path") << "usb" << QByteArray("1-2") << true;
    QTest::newRow("usb path through hubs") << "usb" << QByteArray("3-1.4.2") << true;
    QTest::newRow("usb path, two dashes") << "usb" << QByteArray("1-2-3") << false;
    QTest::newRow("usb path, two dots") << "usb" << QByteArray("1-2..3") << false;
    QTest::newRow("usb path, trailing dot") << "usb" << QByteArray("1-2.") << false;
    QTest::newRow("usb path, dot after dash") << "usb" << QByteArray("1-.2") << false;
    QTest::newRow("usb path, interface") << "usb" << QByteArray("1-2:1.0") << false;
    QTest::newRow("usb path, no port") << "usb" << QByteArray("usb1") << false;
    QTest::newRow("pci slot") << "pci" << QByteArray("0000:03:00.0") << true;
    QTest::newRow("pci slot, function 8") << "pci" << QByteArray("0000:03:00.8") << false;
    QTest::newRow("pci slot, upper case") << "pci" << QByteArray("0000:0A:00.0") << false;
    QTest::newRow("pci bridge name") << "pci" << QByteArray("pci0000:00") << false;
}

void TestBenchRules::valueChecks()
{
    QFETCH(QString, check);
    QFETCH(QByteArray, value);
    QFETCH(bool, accepted);
    bool got = false;
    if (check == QLatin1String("kernel"))
        got = isKernelName(value);
    else if (check == QLatin1String("hex4"))
        got = isHex4(value);
    else if (check == QLatin1String("hex2"))
        got = isHex2(value);
    else if (check == QLatin1String("number"))
        got = isNumber(value);
    else if (check == QLatin1String("usb"))
        got = isUsbPath(value);
    else if (check == QLatin1String("pci"))
        got = isPciName(value);
    QCOMPARE(got, accepted);
}

void TestBenchRules::compressNames_data()
{
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("one") << QByteArrayList{"ttyS0"} << QByteArray("ttyS0");
    QTest::newRow("runs") << QByteArrayList{"ttyS1", "ttyS2", "ttyS3", "ttyS5"} << QByteArray("ttyS1-ttyS3 ttyS5");
    QTest::newRow("numeric order") << QByteArrayList{"ttyS10", "ttyS9", "ttyS11", "ttyS0"}
                                   << QByteArray("ttyS0 ttyS9-ttyS11");
    QTest::newRow("other names left out") << QByteArrayList{"ttyS2", "ttySx", "ttyUSB0"} << QByteArray("ttyS2");
}

void TestBenchRules::compressNames()
{
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArray, shown);
    QCOMPARE(bench::compressNames(names), shown);
}

void TestBenchRules::classify_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("description");
    QTest::newRow("phantom ttyS0") << QByteArray("ttyS0") << int(TtyKind::Phantom) << QByteArray("no UART behind it");
    QTest::newRow("built-in ttyS1") << QByteArray("ttyS1") << int(TtyKind::Builtin)
                                    << QByteArray("built-in port, UART 16550A");
    QTest::newRow("PCI card") << QByteArray("ttyS4") << int(TtyKind::Pci)
                              << QByteArray("PCI serial card 0000:03:00.0, UART 16550A");
    QTest::newRow("adapter with a serial number")
        << QByteArray("ttyUSB0") << int(TtyKind::Usb)
        << QByteArray("USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, USB socket 1-2");
    QTest::newRow("adapter without a serial number")
        << QByteArray("ttyUSB1") << int(TtyKind::Usb)
        << QByteArray("USB 1a86:7523 QinHeng USB Serial, no serial number, USB socket 1-3");
    QTest::newRow("two-port adapter")
        << QByteArray("ttyUSB3") << int(TtyKind::Usb)
        << QByteArray("USB 0403:6010 FTDI Dual RS232-HS, serial FT4XYZ, USB socket 1-4, interface 01 of 2 ports");
    QTest::newRow("four ports on one interface")
        << QByteArray("ttyUSB6") << int(TtyKind::Usb)
        << QByteArray("USB 9710:7840 MosChip 4-port serial, serial MOS4, USB socket 1-6, interface 00 of 4 ports, "
                      "port 2 of the interface");
    QTest::newRow("CDC ACM") << QByteArray("ttyACM0") << int(TtyKind::Usb)
                             << QByteArray("USB 2341:0043 Acme CDC serial, serial ACM77, USB socket 1-5");
    QTest::newRow("virtual terminal") << QByteArray("tty0") << int(TtyKind::Virtual) << QByteArray("not a serial port");
    QTest::newRow("no such tty") << QByteArray("ttyUSB9") << int(TtyKind::None) << QByteArray("not a serial port");
}

void TestBenchRules::classify()
{
    QFETCH(QByteArray, name);
    QFETCH(int, kind);
    QFETCH(QByteArray, description);
    Bench bench;
    bench.standard();
    const TtyInfo info = classifyTty(name, bench.roots.sys);
    QCOMPARE(int(info.kind), kind);
    QCOMPARE(describeTty(name, info, bench.roots.sys), description);
    const QByteArrayList adapters = listAdapters(bench.roots.sys);
    QCOMPARE(adapters.contains(name), kind == int(TtyKind::Usb) || kind == int(TtyKind::Pci));
}

// What a device named on the command line leads to, and the ports refused.
void TestBenchRules::port_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("adapter") << 1 << QByteArray("/dev/ttyUSB0") << QByteArray("ttyUSB0") << QByteArray();
    QTest::newRow("name without /dev") << 2 << QByteArray("ttyUSB1") << QByteArray("ttyUSB1") << QByteArray();
    QTest::newRow("by-id link") << 1 << QByteArray("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")
                                << QByteArray("ttyUSB0") << QByteArray();
    QTest::newRow("PCI card") << 2 << QByteArray("/dev/ttyS5") << QByteArray("ttyS5") << QByteArray();
    QTest::newRow("phantom built-in port")
        << 1 << QByteArray("/dev/ttyS0") << QByteArray()
        << QByteArray("refused: /dev/ttyS0 has no UART behind it: there is no port there (plug a USB serial adapter "
                      "in and give its name)");
    QTest::newRow("built-in port of another number")
        << 1 << QByteArray("/dev/ttyS1") << QByteArray()
        << QByteArray("refused: /dev/ttyS1 is a built-in port, which keeps its own number (COM1 is ttyS0, COM2 is "
                      "ttyS1)");
    QTest::newRow("built-in port of its own number")
        << 2 << QByteArray("/dev/ttyS1") << QByteArray()
        << QByteArray("refused: /dev/ttyS1 is a built-in port: it is COM2 already when no adapter has that number");
    QTest::newRow("pseudo-terminal") << 1 << QByteArray("/dev/pts/0") << QByteArray()
                                     << QByteArray("refused: /dev/pts/0 is a pseudo-terminal, not a serial port");
    QTest::newRow("virtual terminal") << 1 << QByteArray("/dev/tty0") << QByteArray()
                                      << QByteArray("refused: /dev/tty0 is a terminal, not a serial port");
    QTest::newRow("not a terminal") << 1 << QByteArray("/dev/sda") << QByteArray()
                                    << QByteArray("refused: /dev/sda is not a serial port (not a terminal device)");
    QTest::newRow("unknown device")
        << 2 << QByteArray("/dev/ttyUSB9") << QByteArray()
        << QByteArray("no such device: /dev/ttyUSB9 (see load_qx7100-bench check for the serial ports there are)");
    QTest::newRow("name made to break out of the rule")
        << 1 << QByteArray("/dev/ttyS9\", RUN+=\"x\x1b") << QByteArray()
        << QByteArray("refused: /dev/ttyS9\", RUN+=\"x\\x1b leads to ttyS9\", RUN+=\"x\\x1b, which is not a serial "
                      "port's name");
}

void TestBenchRules::port()
{
    QFETCH(int, port);
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, error);
    Bench bench;
    bench.standard();
    QVERIFY(makeLink("../../ttyUSB0", bench.roots.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    QVERIFY(makeLink("/dev/null", bench.roots.dev + "/pts/0"));
    QVERIFY(makeLink("/dev/null", bench.roots.dev + "/sda"));
    QVERIFY(makeLink("/dev/null", bench.roots.dev + "/ttyS9\", RUN+=\"x\x1b"));
    const ComPort found = comPort(port, device, bench.roots);
    QCOMPARE(found.error, error);
    QCOMPARE(found.name, name);
}

// The rule written for a port: its own line, the lines before it, how it finds
// the port, and nothing a device's strings could add. Hostile adapters sit on
// the bench beside the standard ones.
void TestBenchRules::rule_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("pre");
    QTest::addColumn<QByteArray>("why");
    QTest::addColumn<QByteArray>("comment");

    QTest::newRow("adapter with a serial number")
        << 1 << QByteArray("ttyUSB0")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                      "ATTRS{serial}==\"A50285BI\", SYMLINK+=\"com1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray() << QByteArray()
        << QByteArray("# Found by its vendor, product and serial number, in any USB socket.");
    QTest::newRow("adapter without a serial number")
        << 2 << QByteArray("ttyUSB1")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"1-3\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
                      "SYMLINK+=\"com2\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray() << QByteArray("has no serial number")
        << QByteArray("# Found by the USB socket 1-3 it is plugged in: the adapter has no serial number.");
    QTest::newRow("second port of a two-port adapter")
        << 1 << QByteArray("ttyUSB3")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6010\", "
                      "ATTRS{serial}==\"FT4XYZ\", ENV{ID_USB_INTERFACE_NUM}==\"01\", SYMLINK+=\"com1\", "
                      "ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray("SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", IMPORT{builtin}=\"usb_id\"") << QByteArray()
        << QByteArray("# Port: /dev/ttyUSB3, USB 0403:6010 FTDI Dual RS232-HS, serial FT4XYZ, USB socket 1-4, "
                      "interface 01 of 2 ports.");
    QTest::newRow("third port of a four-port interface")
        << 2 << QByteArray("ttyUSB6")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"9710\", ATTRS{idProduct}==\"7840\", "
                      "ATTRS{serial}==\"MOS4\", ENV{ID_USB_INTERFACE_NUM}==\"00\", ENV{.LOAD_QX7100_PORT}==\"2\", "
                      "SYMLINK+=\"com2\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray("SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", IMPORT{builtin}=\"usb_id\"\n"
                      "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb-serial\", ENV{.LOAD_QX7100_PORT}=\"$attr{port_number}\"")
        << QByteArray() << QByteArray();
    QTest::newRow("CDC ACM adapter")
        << 1 << QByteArray("ttyACM0")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
                      "ATTRS{serial}==\"ACM77\", SYMLINK+=\"com1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("port of a PCI card")
        << 2 << QByteArray("ttyS5")
        << QByteArray("SUBSYSTEM==\"tty\", KERNEL==\"ttyS5\", KERNELS==\"0000:03:00.0\", SYMLINK+=\"com2\", "
                      "ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        << QByteArray() << QByteArray() << QByteArray("# A port of the PCI serial card in slot 0000:03:00.0.");

    // Hostile adapters: every value of the rule from a strict set, the strings
    // shown made visible.
    const QByteArray good = ", SYMLINK+=\"com1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    QTest::newRow("product string with \\n and a RUN")
        << 1 << QByteArray("ttyUSB10")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                      "ATTRS{serial}==\"GOOD1\"")
               + good
        << QByteArray() << QByteArray()
        << QByteArray("# Port: /dev/ttyUSB10, USB 0403:6001 FTDI x\\nSUBSYSTEM==\"tty\", RUN+=\"/bin/touch "
                      "/tmp/bench-injected\"\\n#, serial GOOD1, USB socket 2-1.");
    QTest::newRow("serial with a line break and a RUN")
        << 1 << QByteArray("ttyUSB11")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-2\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"")
               + good
        << QByteArray()
        << QByteArray("has a serial number (X\\nRUN+=\"/bin/touch /tmp/bench-injected\") with characters a rule "
                      "cannot match safely (only letters, digits, '.', '_' and '-' are)")
        << QByteArray();
    QTest::newRow("serial with a quote")
        << 1 << QByteArray("ttyUSB12")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-3\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"")
               + good
        << QByteArray()
        << QByteArray("has a serial number (AB\"CD) with characters a rule cannot match safely (only letters, "
                      "digits, '.', '_' and '-' are)")
        << QByteArray();
    for (const auto &[row, socket, name, serial] :
         {std::tuple<const char *, const char *, const char *, const char *>{"serial with %", "2-4", "ttyUSB13", "50%"},
          {"serial with $", "2-5", "ttyUSB14", "$devpath"},
          {"serial with a glob", "2-6", "ttyUSB15", "A5*"}})
        QTest::newRow(row) << 1 << QByteArray(name)
                           << "SUBSYSTEM==\"tty\", KERNELS==\"" + QByteArray(socket)
                                  + "\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"" + good
                           << QByteArray()
                           << "has a serial number (" + QByteArray(serial)
                                  + ") with characters a rule cannot match safely (only letters, digits, '.', '_' "
                                    "and '-' are)"
                           << QByteArray();
    QTest::newRow("serial of 4000 characters")
        << 1 << QByteArray("ttyUSB16")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-7\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"")
               + good
        << QByteArray() << QByteArray("has a serial number longer than a USB serial number can be (4000 characters)")
        << QByteArray();
    QTest::newRow("manufacturer with ESC sequences")
        << 1 << QByteArray("ttyUSB17")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                      "ATTRS{serial}==\"GOOD8\"")
               + good
        << QByteArray() << QByteArray()
        << QByteArray("# Port: /dev/ttyUSB17, USB 0403:6001 Evil\\x1b[2J\\x1b]0;owned\\x07 Corp FT232R USB UART, "
                      "serial GOOD8, USB socket 2-8.");
    // dash's echo once stopped the comment at \c.
    QTest::newRow("product with \\c")
        << 1 << QByteArray("ttyUSB18")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                      "ATTRS{serial}==\"GOOD9\"")
               + good
        << QByteArray() << QByteArray()
        << QByteArray("# Port: /dev/ttyUSB18, USB 0403:6001 FTDI Half\\cHidden, serial GOOD9, USB socket 2-9.");
    QTest::newRow("product of 4000 characters")
        << 1 << QByteArray("ttyUSB19")
        << QByteArray("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                      "ATTRS{serial}==\"GOOD10\"")
               + good
        << QByteArray() << QByteArray()
        << "# Port: /dev/ttyUSB19, USB 0403:6001 FTDI " + QByteArray(155, 'L') + "..., serial GOOD10, USB socket 2-10.";
    QTest::newRow("vendor number with a quote")
        << 1 << QByteArray("ttyUSB20") << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-11\"") + good << QByteArray()
        << QByteArray("has vendor and product numbers (04\"3:6001) that are not the four hexadecimal digits a rule "
                      "can match")
        << QByteArray();
    QTest::newRow("serial with TAB and ESC")
        << 1 << QByteArray("ttyUSB21")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-12\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"")
               + good
        << QByteArray()
        << QByteArray("has a serial number (TAB\\x09ESC\\x1b) with characters a rule cannot match safely (only "
                      "letters, digits, '.', '_' and '-' are)")
        << QByteArray();
    QTest::newRow("serial shared with another adapter present")
        << 1 << QByteArray("ttyUSB22")
        << QByteArray("SUBSYSTEM==\"tty\", KERNELS==\"2-13\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\"")
               + good
        << QByteArray() << QByteArray("shares its serial number with another adapter present") << QByteArray();
}

void TestBenchRules::rule()
{
    QFETCH(int, port);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, pre);
    QFETCH(QByteArray, why);
    QFETCH(QByteArray, comment);
    Bench bench;
    bench.standard();
    const QByteArray inject = "x\\nSUBSYSTEM==\"tty\", RUN+=\"/bin/touch /tmp/bench-injected\"\\n#";
    bench.hostile("2-1", "0403", "6001", "GOOD1", "FTDI", inject, "ttyUSB10");
    bench.hostile("2-2", "0403", "6001", "X\\nRUN+=\"/bin/touch /tmp/bench-injected\"", "FTDI", "FT232R USB UART",
                  "ttyUSB11");
    bench.hostile("2-3", "0403", "6001", "AB\"CD", "FTDI", "FT232R USB UART", "ttyUSB12");
    bench.hostile("2-4", "0403", "6001", "50%", "FTDI", "FT232R USB UART", "ttyUSB13");
    bench.hostile("2-5", "0403", "6001", "$devpath", "FTDI", "FT232R USB UART", "ttyUSB14");
    bench.hostile("2-6", "0403", "6001", "A5*", "FTDI", "FT232R USB UART", "ttyUSB15");
    bench.hostile("2-7", "0403", "6001", QByteArray(4000, 'L'), "FTDI", "FT232R USB UART", "ttyUSB16");
    bench.hostile("2-8", "0403", "6001", "GOOD8", "Evil\x1b[2J\x1b]0;owned\a Corp", "FT232R USB UART", "ttyUSB17");
    bench.hostile("2-9", "0403", "6001", "GOOD9", "FTDI", "Half\\cHidden", "ttyUSB18");
    bench.hostile("2-10", "0403", "6001", "GOOD10", "FTDI", QByteArray(4000, 'L'), "ttyUSB19");
    bench.hostile("2-11", "04\"3", "6001", "GOOD11", "FTDI", "FT232R USB UART", "ttyUSB20");
    bench.hostile("2-12", "0403", "6001", "TAB\tESC\x1b", "FTDI", "FT232R USB UART", "ttyUSB21");
    // A twin of ttyUSB0 (same identity) only where it is the point.
    if (name == "ttyUSB22")
        bench.hostile("2-13", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART", "ttyUSB22");

    const TtyInfo info = classifyTty(name, bench.roots.sys);
    const ComRule rule = comRule(name, info, bench.roots);
    QCOMPARE(rule.error, QByteArray());
    QCOMPARE(rule.pre, pre);
    QCOMPARE(rule.why, why);
    QCOMPARE(rule.foundBy == FoundBy::Socket, !why.isEmpty());
    const QByteArray text = comRuleText(port, name, describeTty(name, info, bench.roots.sys), rule);
    const QByteArrayList lines = text.split('\n');
    QCOMPARE(lines.first(), "# Written by load_qx7100-bench: /dev/com" + QByteArray::number(port) + ", COM"
                                + QByteArray::number(port) + " of the Velantra Loader (load_qx7100).");
    QCOMPARE(lines.value(lines.size() - 2), line);
    QVERIFY(text.endsWith('\n'));
    if (!comment.isEmpty())
        QVERIFY2(lines.contains(comment), text.constData());
    // Nothing but comments, the imports and the rule's own line; no control
    // character but the line breaks; no line of absurd length.
    QVERIFY2(!hasControl(text, true), text.constData());
    for (const QByteArray &l : lines) {
        QVERIFY2(l.isEmpty() || l.startsWith("# ") || l == line || pre.split('\n').contains(l), l.constData());
        QVERIFY2(l.size() <= 400, l.constData());
        if (!l.startsWith('#'))
            QVERIFY2(!l.contains("RUN"), l.constData());
    }
}

// Ports that get no rule at all.
void TestBenchRules::refused_data()
{
    QTest::addColumn<QByteArray>("socket");
    QTest::addColumn<QByteArray>("iface");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("unusual USB path") << QByteArray("usb9") << QByteArray("00")
                                      << QByteArray("refused: /dev/ttyUSB30 sits on an unusual USB path (usb9): a rule "
                                                    "cannot name it");
    QTest::newRow("interface number with a quote")
        << QByteArray("3-1") << QByteArray("0\"")
        << QByteArray("refused: /dev/ttyUSB30 has no usable interface number (0\")");
}

void TestBenchRules::refused()
{
    QFETCH(QByteArray, socket);
    QFETCH(QByteArray, iface);
    QFETCH(QByteArray, error);
    Bench bench;
    bench.usb(socket, "0403", "6010", "TWO");
    bench.usbSerial(socket, 0, "ttyUSB30");
    bench.usbSerial(socket, 1, "ttyUSB31");
    QVERIFY(writeFile(bench.roots.sys + '/' + kUsbRoot + '/' + socket + '/' + socket + ":1.0/bInterfaceNumber",
                      iface + '\n'));
    const TtyInfo info = classifyTty("ttyUSB30", bench.roots.sys);
    QCOMPARE(info.kind, TtyKind::Usb);
    QCOMPARE(comRule("ttyUSB30", info, bench.roots).error, error);
}

void TestBenchRules::resolveCom_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("link to an adapter")
        << QStringList{"com1 ttyUSB0"} << 1 << true
        << QByteArray("/dev/com1 -> ttyUSB0 (USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, USB socket 1-2)");
    QTest::newRow("built-in port") << QStringList{} << 2 << true
                                   << QByteArray("/dev/ttyS1 (built-in port, UART 16550A)");
    QTest::newRow("adapter unplugged")
        << QStringList{"rule1"} << 1 << false
        << QByteArray("the USB serial adapter given COM1 is not plugged in (/etc/udev/rules.d/"
                      "60-load-qx7100-com1.rules is there, /dev/com1 is not); the loader will not fall back to "
                      "/dev/ttyS0. Fix: plug that adapter in, or give COM1 to another one: sudo load_qx7100-bench "
                      "com1 DEVICE");
    QTest::newRow("dangling link")
        << QStringList{"com1 ttyUSB9"} << 1 << false
        << QByteArray("/dev/com1 points to ttyUSB9, which is not there (adapter unplugged?). Fix: plug the adapter in "
                      "again, or give COM1 to another one: sudo load_qx7100-bench com1 DEVICE");
    QTest::newRow("link with control characters")
        << QStringList{"com1 tty\x1b[2J"} << 1 << false
        << QByteArray("/dev/com1 points to tty\\x1b[2J, which is not there (adapter unplugged?). Fix: plug the "
                      "adapter in again, or give COM1 to another one: sudo load_qx7100-bench com1 DEVICE");
    QTest::newRow("not a serial device")
        << QStringList{"file com1"} << 1 << false
        << QByteArray("/dev/com1 is not a serial device. Fix: sudo rm /dev/com1, then sudo load_qx7100-bench com1 "
                      "DEVICE");
    QTest::newRow("phantom ttyS0, the first free adapter")
        << QStringList{} << 1 << false
        << QByteArray("/dev/ttyS0, which has no UART behind it (no port there). Fix: sudo load_qx7100-bench com1 "
                      "/dev/ttyACM0");
    QTest::newRow("phantom ttyS0, ttyACM0 taken by COM2")
        << QStringList{"com2 ttyACM0"} << 1 << false
        << QByteArray("/dev/ttyS0, which has no UART behind it (no port there). Fix: sudo load_qx7100-bench com1 "
                      "/dev/ttyS4");
    QTest::newRow("no ttyS1, no adapter")
        << QStringList{"empty"} << 2 << false
        << QByteArray("/dev/ttyS1 does not exist and no adapter has COM2. Fix: plug a USB serial adapter in, then run "
                      "sudo load_qx7100-bench com2 /dev/ttyUSB0");
}

void TestBenchRules::resolveCom()
{
    QFETCH(QStringList, setup);
    QFETCH(int, port);
    QFETCH(bool, ok);
    QFETCH(QByteArray, text);
    Bench bench;
    if (!setup.contains(QLatin1String("empty")))
        bench.standard();
    for (const QString &item : setup) {
        const QByteArrayList words = item.toUtf8().split(' ');
        if (words[0] == "com1" || words[0] == "com2")
            QVERIFY(makeLink(words[1], bench.roots.dev + '/' + words[0]));
        else if (words[0] == "rule1")
            QVERIFY(writeFile(bench.roots.rulesDir() + '/' + comRuleName(1), "# Written by load_qx7100-bench\n"));
        else if (words[0] == "file")
            QVERIFY(writeFile(bench.roots.dev + '/' + words[1], "x"));
    }
    const ComState state = bench::resolveCom(port, bench.roots);
    QCOMPARE(state.text, text);
    QCOMPARE(state.ok, ok);
}

void TestBenchRules::lpOptions_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("none") << QByteArray("Dest office\n") << QByteArray();
    QTest::newRow("default") << QByteArray("Default office\n") << QByteArray("office");
    QTest::newRow("instance dropped") << QByteArray("Default office/draft media=a4\n") << QByteArray("office");
    QTest::newRow("tab") << QByteArray("Default\toffice") << QByteArray("office");
    QTest::newRow("last one wins") << QByteArray("Default a\nDefault b\n") << QByteArray("b");
    QTest::newRow("not at the start") << QByteArray(" Default a\n") << QByteArray();
    QTest::newRow("no blank") << QByteArray("Defaulta\n") << QByteArray();
}

void TestBenchRules::lpOptions()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, name);
    QCOMPARE(lpOptionsDefault(text), name);
}

// A user's lpoptions that could hang or flood a reader is never read.
void TestBenchRules::lpOptionsFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("absent") << "absent" << int(LpOptions::State::None) << QByteArray();
    QTest::newRow("regular") << "regular" << int(LpOptions::State::Ok) << QByteArray("office");
    QTest::newRow("FIFO") << "fifo" << int(LpOptions::State::Odd) << QByteArray();
    QTest::newRow("link to /dev/zero") << "zero" << int(LpOptions::State::Odd) << QByteArray();
    QTest::newRow("folder") << "folder" << int(LpOptions::State::Odd) << QByteArray();
    QTest::newRow("over 64 KiB") << "big" << int(LpOptions::State::Big) << QByteArray();
    QTest::newRow("dangling link") << "dangling" << int(LpOptions::State::Odd) << QByteArray();
}

void TestBenchRules::lpOptionsFiles()
{
    QFETCH(QString, kind);
    QFETCH(int, state);
    QFETCH(QByteArray, name);
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path()) + "/lpoptions";
    if (kind == QLatin1String("regular"))
        QVERIFY(writeFile(path, "Default office\n"));
    else if (kind == QLatin1String("fifo"))
        QVERIFY(::mkfifo(path.constData(), 0644) == 0);
    else if (kind == QLatin1String("zero"))
        QVERIFY(makeLink("/dev/zero", path));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(QFile::decodeName(path)));
    else if (kind == QLatin1String("big"))
        QVERIFY(writeFile(path, "Default office\n" + QByteArray(70000, '#')));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(makeLink("/nonexistent/lpoptions", path));
    const LpOptions options = readLpOptions(path);
    QCOMPARE(int(options.state), state);
    QCOMPARE(options.defaultName, name);
}

// The one mapping of parallel ports that the loader's Start and the bench
// program both use.
void TestBenchRules::lptMapping_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("lpt");
    QTest::newRow("lp0") << "/dev/lp0" << 1;
    QTest::newRow("usb lp0") << "/dev/usb/lp0" << 1;
    QTest::newRow("lp1") << "/dev/lp1" << 2;
    QTest::newRow("usb lp1") << "/dev/usb/lp1" << 2;
    QTest::newRow("lp2") << "/dev/lp2" << 0;
    QTest::newRow("usb lp3") << "/dev/usb/lp3" << 0;
    QTest::newRow("lp0 with more") << "/dev/lp0x" << 0;
    QTest::newRow("relative") << "lp0" << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestBenchRules::lptMapping()
{
    QFETCH(QString, device);
    QFETCH(int, lpt);
    QCOMPARE(lptOfDevice(device), lpt);
    QCOMPARE(lptOfDeviceUri(QStringLiteral("parallel:") + device), lpt);
    QCOMPARE(lptOfDeviceUri(QStringLiteral("usb:") + device), 0);
    if (lpt) {
        QVERIFY(lptDevices(lpt).contains(device));
        QVERIFY(isLptPortName(lptPortName(lpt)));
        QCOMPARE(lptPortName(lpt), QStringLiteral("LPT%1:").arg(lpt));
    }
    QVERIFY(!isLptPortName(device));
}

QTEST_GUILESS_MAIN(TestBenchRules)
#include "tst_bench_rules.moc"
