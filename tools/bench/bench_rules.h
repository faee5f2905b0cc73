#pragma once
// The rules of the bench set-up program that need no root and change nothing:
// what a tty is (read from /sys), what COM1 and COM2 resolve to, the text of
// the udev rule that gives a port its COM number, and the checks that every
// value taken from a device passes before it reaches a rule or a terminal.
//
// Everything here works on bytes (QByteArray), as the kernel hands them over:
// a name or a USB string may hold any byte, and is shown through visible()
// and written into a rule only after a check of its character set.
// Each function reads only under the roots it is given.

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

namespace bench {

constexpr const char *kProgram = "load_qx7100-bench";
// The most bytes of an outside text shown in one place (then cut, with "...").
constexpr int kVisibleLimit = 160;
// The flag in a COM rule that keeps ModemManager from probing the adapter.
constexpr const char *kModemManagerFlag = "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";

// The folders that stand for the system's /dev, /sys, /etc, /proc and /run.
struct Roots {
    QByteArray dev = "/dev";
    QByteArray sys = "/sys";
    QByteArray etc = "/etc";
    QByteArray proc = "/proc";
    QByteArray run = "/run";

    // /etc/udev/rules.d under etc.
    QByteArray rulesDir() const;
};

// File checks on raw paths. exists, isRegular, isDirectory and isCharDevice
// follow links; present and isLink do not.
bool exists(const QByteArray &path);
bool present(const QByteArray &path);
bool isLink(const QByteArray &path);
bool isRegular(const QByteArray &path);
bool isDirectory(const QByteArray &path);
bool isCharDevice(const QByteArray &path);
// A link's target as stored; empty for no link.
QByteArray readLink(const QByteArray &path);
QByteArray baseName(const QByteArray &path);
// At most max bytes of a regular file, opened without waiting on a FIFO or a
// device swapped in after a check; empty for anything else.
QByteArray readRegular(const QByteArray &path, qint64 max);

// An outside text (from a device, the system or a user's file) fit for a
// terminal and a rule's comment: each control character (C0, DEL, and C1 as
// UTF-8 writes it) shown as an escape such as \x1b or \u009b, a backslash
// before x or u doubled (so that no escape can be faked), one line, at most
// kVisibleLimit bytes of the text (then cut, never inside a UTF-8 character,
// with "...").
QByteArray visible(const QByteArray &text);

// True when text is 1 to max bytes, each a letter, a digit or one of extra.
bool isToken(const QByteArray &text, const char *extra, int max = 126);
// Checks of values taken from /sys before they reach a rule or a command line.
bool isKernelName(const QByteArray &text);
bool isHex4(const QByteArray &text);
bool isHex2(const QByteArray &text);
bool isNumber(const QByteArray &text);
// A USB path such as 1-2 or 3-1.4.2.
bool isUsbPath(const QByteArray &text);
// A PCI slot such as 0000:03:00.0.
bool isPciName(const QByteArray &text);

// The first line of a file (a sysfs attribute); empty when absent, unreadable
// or not a regular file. Never blocks on a FIFO.
QByteArray attribute(const QByteArray &path);
// The UART's name for the type number the kernel gives ("4" is 16550A).
QByteArray uartName(const QByteArray &type);

enum class TtyKind {
    None,     // no such tty
    Virtual,  // a terminal with no serial hardware (a console, a pseudo-terminal)
    Builtin,  // a built-in port with a UART
    Phantom,  // a serial-core node with no UART behind it
    Usb,      // a USB serial adapter
    Pci,      // a port of a PCI serial card
};

// What /sys says of one tty.
struct TtyInfo {
    TtyKind kind = TtyKind::None;
    QByteArray usbDir;          // the USB device's folder
    QByteArray usbInterface;    // its interface number ("00")
    QByteArray usbPortNumber;   // the usb-serial port's number on its interface
    int usbPorts = 0;           // ttys on the adapter
    int usbInterfacePorts = 0;  // ttys on the interface
    QByteArray pciDir;          // the PCI card's folder
};

TtyInfo classifyTty(const QByteArray &name, const QByteArray &sys);
// One line on a classified tty. Every text read from the device goes through visible().
QByteArray describeTty(const QByteArray &name, const TtyInfo &info, const QByteArray &sys);
// The ttys under sys/class/tty whose names match pattern (a glob), sorted.
QByteArrayList ttyNames(const QByteArray &sys, const char *pattern);
// The adapters and cards that could be given a COM number. A name that is not a
// kernel's tty name (it could hold blanks, quotes or pattern characters) is left out.
QByteArrayList listAdapters(const QByteArray &sys);
// "ttyS1 ttyS2 ttyS3 ttyS5" shortened to "ttyS1-ttyS3 ttyS5".
QByteArray compressNames(const QByteArrayList &names);

// What a COM number resolves to: ok when a loading can use it, and the text of check's line.
struct ComState {
    bool ok = false;
    QByteArray text;
};
ComState resolveCom(int portNumber, const Roots &roots);
// The command that gives COM N a port: the first adapter that has no number yet.
QByteArray comFix(int portNumber, const Roots &roots);
// The file name of the rule for COM N: 60-load-qx7100-comN.rules.
QByteArray comRuleName(int portNumber);

// The port that a DEVICE given to comN leads to (a name under /dev, a path, or
// a link such as /dev/serial/by-id/...), or why it can have no COM number.
struct ComPort {
    QByteArray error;  // the refusal, after "comN: "; empty for a USB or PCI port
    QByteArray name;   // its kernel name (ttyUSB0)
    TtyInfo info;
};
ComPort comPort(int portNumber, const QByteArray &device, const Roots &roots);

// How a rule finds its port.
enum class FoundBy { Identity, Socket, Pci };

// The parts of a COM rule for one classified port, or the reason it cannot have one.
struct ComRule {
    QByteArray error;  // the refusal, after "comN: "; empty when the rule can be written
    QByteArray pre;    // lines before the rule's own (imports), or empty
    QByteArray match;  // the match keys, after SUBSYSTEM=="tty"
    FoundBy foundBy = FoundBy::Identity;
    QByteArray why;     // why the USB socket is matched ("has no serial number")
    QByteArray socket;  // the USB path
    QByteArray slot;    // the PCI slot
};
// Every value written into the rule comes from a strict character set: what a
// device reports may hold quotes, backslashes, pattern characters or anything
// else, and udev would read it as part of the rule.
ComRule comRule(const QByteArray &name, const TtyInfo &info, const Roots &roots);
// The sentence of the rule's comment on how it finds the port.
QByteArray comRuleHow(const ComRule &rule);
// The whole rule file; what is the port's description (describeTty).
QByteArray comRuleText(int portNumber, const QByteArray &name, const QByteArray &what, const ComRule &rule);
// The line of a rule file for COM N that names the same port as rule.
QByteArray comRuleLine(int portNumber, const ComRule &rule);

// A user's or the system's lpoptions file.
struct LpOptions {
    enum class State { None, Odd, Big, Ok } state = State::None;
    QByteArray defaultName;  // its "Default NAME", instance dropped
};
constexpr qint64 kLpOptionsMax = 65536;
// Only a regular file of sane size is read, and never in a way that can block:
// a FIFO or a device swapped in after the check is not read.
LpOptions readLpOptions(const QByteArray &path);
// The last "Default NAME" of an lpoptions text (the name up to a blank or '/').
QByteArray lpOptionsDefault(const QByteArray &text);

}  // namespace bench
