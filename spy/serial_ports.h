#pragma once
// The loader's port numbers (COM1, COM2; LPT1:, LPT2:) and the devices behind
// them on this machine, and plain words for a serial device that cannot be
// opened. The loader and the bench set-up program both take them from here.
//
// COM1 is /dev/com1 where that link exists, otherwise /dev/ttyS0; COM2 is
// /dev/com2, otherwise /dev/ttyS1. The links are made by a udev rule that the
// bench set-up program writes for one USB serial adapter; once that rule is
// there, COM1 stays /dev/com1 even while the link is absent (the adapter is
// then not plugged in), so the loader never talks to a built-in port by
// mistake.

#include <QString>
#include <QStringList>
#include <functional>

// Where the files that decide and explain the ports live. Tests point each at
// a fixture tree.
struct SerialRoots {
    QString dev = QStringLiteral("/dev");
    QString udevRules = QStringLiteral("/etc/udev/rules.d");
    QString sys = QStringLiteral("/sys");
};

// What the kernel says of the UART behind an open terminal device.
enum class UartKind {
    Unknown,  // no serial driver answers (a pseudo-terminal, a USB CDC device)
    None,     // a serial driver with no UART behind it: a port that is not there
    Present,
};

// Asks the serial driver of an open descriptor (TIOCGSERIAL) and, for an
// unknown type, /sys whether the device is a port of the kernel's serial core.
UartKind kernelUart(int fd, const QString &sysRoot = QStringLiteral("/sys"));
// The same from the driver's answer: the UART type it reported for the
// character device major:minor. Only serial-core ports (those with a "type"
// attribute in /sys) have a UART type; USB serial drivers leave it at zero.
UartKind uartFromType(int type, unsigned major, unsigned minor, const QString &sysRoot);

// The COM numbers there are, in order: the Com menu's items and the bench
// program's com commands.
const QList<int> &comPortNumbers();
bool isComPort(int portNumber);
// The built-in port that is COM N when no adapter has the number: "ttyS0" for COM1.
QString builtinComPort(int portNumber);

// The parallel ports there are (1 for LPT1:, 2 for LPT2:), in order.
const QList<int> &lptPortNumbers();
// "LPT1:" for 1; empty for a number that is no parallel port.
QString lptPortName(int lptNumber);
// True for "LPT1:", "LPT2:": the port names the loader sends an image to.
bool isLptPortName(const QString &portName);
// The devices a raw queue of LPT N may print to, in the order the bench program
// prefers them: the kernel's parallel port of the PC or of a card
// (/dev/lp0 for LPT1:), then a USB-parallel adapter of the usblp driver
// (/dev/usb/lp0).
QStringList lptDevices(int lptNumber);
// The LPT number whose devices include device (a path under /dev); 0 for none.
int lptOfDevice(const QString &device);
// The LPT number of a queue's device URI: parallel:DEVICE with one of the
// devices above; 0 for any other URI.
int lptOfDeviceUri(const QString &deviceUri);

// The udev rule file that gives COM1 or COM2 to an adapter.
QString comRuleFile(int portNumber, const SerialRoots &roots = {});

// The device path of a COM number; empty for any other number.
QString comPortDevice(int portNumber, const SerialRoots &roots = {});

// The USB serial adapters present (/dev/ttyUSB0, /dev/ttyACM0, ...), sorted.
QStringList usbSerialAdapters(const SerialRoots &roots = {});

// The reason given when no device stands for a port number on this machine,
// with the bench program's command that gives the number to an adapter.
QString noDeviceForPort(int portNumber);

// One failed open, as the open path saw it.
struct OpenFailure {
    int portNumber = 0;
    QString path;
    // Qt's words, or empty when the open succeeded but the device turned out
    // to have no UART behind it.
    QString systemReason;
    bool noUart = false;
};

// The reason of a failed open in plain words: the system's reason, or ours
// where the system's misleads or says nothing useful, followed where it helps
// by one sentence on what to do.
QString describeOpenFailure(const OpenFailure &failure, const SerialRoots &roots = {});
