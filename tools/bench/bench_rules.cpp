#include "bench_rules.h"

#include "spy/serial_ports.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

const char kAlnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool allOf(const QByteArray &text, const char *set)
{
    return std::all_of(text.begin(), text.end(), [set](char c) { return c != '\0' && std::strchr(set, c); });
}

// Counts the ttys under a device folder: entries .../tty/ttyNAME, not followed
// into (links are never followed: sysfs is full of them).
int countTtys(const QByteArray &path, int depth = 0)
{
    if (::fnmatch("*/tty/tty*", path.constData(), 0) == 0)
        return 1;
    struct stat st {};
    if (depth > 16 || ::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return 0;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        count += countTtys(path + '/' + name, depth + 1);
    }
    ::closedir(dir);
    return count;
}

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

}  // namespace

bool exists(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0;
}

bool isRegular(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isCharDevice(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool present(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

bool isLink(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

QByteArray readLink(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlink(path.constData(), target, sizeof target);
    return size > 0 ? QByteArray(target, int(size)) : QByteArray();
}

QByteArray baseName(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

bool isDirectory(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QByteArray readRegular(const QByteArray &path, qint64 max)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return QByteArray();
    QByteArray data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        data.resize(int(max));
        qint64 got = 0;
        while (got < max) {
            const ssize_t n = ::read(fd, data.data() + got, size_t(max - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        data.truncate(int(got));
    }
    ::close(fd);
    return data;
}

QByteArray Roots::rulesDir() const
{
    return etc + "/udev/rules.d";
}

QByteArray visible(const QByteArray &text)
{
    QByteArray source = text;
    bool cut = false;
    if (source.size() > kVisibleLimit) {
        source.truncate(kVisibleLimit);
        // A UTF-8 character cut in two goes whole.
        qsizetype end = source.size();
        while (end > 0 && (uchar(source[end - 1]) & 0xc0) == 0x80)
            --end;
        if (end > 0 && uchar(source[end - 1]) >= 0xc0)
            source.truncate(end - 1);
        cut = true;
    }
    QByteArray shown;
    shown.reserve(source.size() + 16);
    for (qsizetype i = 0; i < source.size(); ++i) {
        const uchar c = uchar(source[i]);
        const uchar next = i + 1 < source.size() ? uchar(source[i + 1]) : 0;
        char escape[8];
        if (c == '\\' && (next == 'x' || next == 'u')) {
            shown += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            std::snprintf(escape, sizeof escape, "\\u00%02x", next);
            shown += escape;
            ++i;
        } else {
            shown += char(c);
        }
    }
    if (cut)
        shown += "...";
    return shown;
}

bool isToken(const QByteArray &text, const char *extra, int max)
{
    if (text.isEmpty() || text.size() > max)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [extra](char c) { return c != '\0' && (std::strchr(kAlnum, c) || std::strchr(extra, c)); });
}

bool isKernelName(const QByteArray &text)
{
    return isToken(text, "_", 32);
}

bool isHex4(const QByteArray &text)
{
    return text.size() == 4 && allOf(text, "0123456789abcdef");
}

bool isHex2(const QByteArray &text)
{
    return text.size() == 2 && allOf(text, "0123456789abcdef");
}

bool isNumber(const QByteArray &text)
{
    return isToken(text, "", 3) && allOf(text, "0123456789");
}

bool isUsbPath(const QByteArray &text)
{
    if (!isToken(text, ".-", 32) || !allOf(text, "0123456789.-"))
        return false;
    // A bus number, one dash, then ports separated by single dots.
    if (text.count('-') != 1 || text.contains("..") || text.contains(".-") || text.contains("-.") || text.endsWith('.'))
        return false;
    const qsizetype dash = text.indexOf('-');
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return dash > 0 && digit(text[0]) && dash + 1 < text.size() && digit(text[dash + 1]);
}

bool isPciName(const QByteArray &text)
{
    // xxxx:xx:xx.f in lower-case hexadecimal, the function 0 to 7.
    if (text.size() != 12 || text[4] != ':' || text[7] != ':' || text[10] != '.')
        return false;
    const QByteArray hex = text.left(4) + text.mid(5, 2) + text.mid(8, 2);
    return allOf(hex, "0123456789abcdef") && text[11] >= '0' && text[11] <= '7';
}

QByteArray attribute(const QByteArray &path)
{
    const QByteArray data = readRegular(path, 65536);
    const qsizetype end = data.indexOf('\n');
    return end < 0 ? data : data.left(end);
}

QByteArray uartName(const QByteArray &type)
{
    static const struct {
        const char *type;
        const char *name;
    } uarts[] = {{"1", "8250"},  {"2", "16450"},   {"3", "16550"}, {"4", "16550A"},
                 {"6", "16650"}, {"7", "16650V2"}, {"8", "16750"}, {"10", "16C950"}};
    for (const auto &uart : uarts) {
        if (type == uart.type)
            return uart.name;
    }
    return "type " + visible(type);
}

TtyInfo classifyTty(const QByteArray &name, const QByteArray &sys)
{
    TtyInfo info;
    const QByteArray tty = sys + "/class/tty/" + name;
    if (!exists(tty))
        return info;
    info.kind = TtyKind::Virtual;
    char *real = exists(tty + "/device") ? ::realpath((tty + "/device").constData(), nullptr) : nullptr;
    if (!real)
        return info;
    QByteArray dir(real);
    std::free(real);
    info.kind = TtyKind::None;
    // Up from the device: the usb-serial port, its interface, the USB device,
    // or a PCI card.
    while (!dir.isEmpty() && dir != "/" && dir != sys) {
        if (info.usbInterface.isEmpty() && isRegular(dir + "/port_number"))
            info.usbPortNumber = attribute(dir + "/port_number");
        if (info.usbInterface.isEmpty() && isRegular(dir + "/bInterfaceNumber")) {
            info.usbInterface = attribute(dir + "/bInterfaceNumber");
            info.usbInterfacePorts = countTtys(dir);
        }
        if (isRegular(dir + "/idVendor")) {
            info.kind = TtyKind::Usb;
            info.usbDir = dir;
            info.usbPorts = std::max(1, countTtys(dir));
            return info;
        }
        if (isPciName(baseName(dir))) {
            info.kind = TtyKind::Pci;
            info.pciDir = dir;
            break;
        }
        dir.truncate(std::max<qsizetype>(0, dir.lastIndexOf('/')));
    }
    if (name.startsWith("ttyS")) {
        if (attribute(tty + "/type") == "0")
            info.kind = TtyKind::Phantom;
        else if (info.kind != TtyKind::Pci)
            info.kind = TtyKind::Builtin;
    } else if (info.kind != TtyKind::Pci) {
        info.kind = TtyKind::Virtual;
    }
    return info;
}

QByteArray describeTty(const QByteArray &name, const TtyInfo &info, const QByteArray &sys)
{
    switch (info.kind) {
    case TtyKind::Usb: {
        QByteArray text = "USB " + visible(attribute(info.usbDir + "/idVendor")) + ':'
                          + visible(attribute(info.usbDir + "/idProduct"));
        QByteArray maker = attribute(info.usbDir + "/manufacturer") + ' ' + attribute(info.usbDir + "/product");
        while (maker.startsWith(' '))
            maker.remove(0, 1);
        while (maker.endsWith(' '))
            maker.chop(1);
        if (!maker.isEmpty())
            text += ' ' + visible(maker);
        const QByteArray serial = attribute(info.usbDir + "/serial");
        text += serial.isEmpty() ? QByteArray(", no serial number") : ", serial " + visible(serial);
        text += ", USB socket " + visible(baseName(info.usbDir));
        if (info.usbPorts > 1)
            text += ", interface " + visible(info.usbInterface) + " of " + number(info.usbPorts) + " ports";
        if (info.usbInterfacePorts > 1)
            text += ", port " + visible(info.usbPortNumber) + " of the interface";
        return text;
    }
    case TtyKind::Pci:
        return "PCI serial card " + visible(baseName(info.pciDir)) + ", UART "
               + uartName(attribute(sys + "/class/tty/" + name + "/type"));
    case TtyKind::Builtin:
        return "built-in port, UART " + uartName(attribute(sys + "/class/tty/" + name + "/type"));
    case TtyKind::Phantom:
        return "no UART behind it";
    case TtyKind::None:
    case TtyKind::Virtual:
        break;
    }
    return "not a serial port";
}

QByteArrayList ttyNames(const QByteArray &sys, const char *pattern)
{
    QByteArrayList names;
    const QByteArray folder = sys + "/class/tty";
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || ::fnmatch(pattern, name.constData(), FNM_PERIOD) != 0)
            continue;
        if (exists(folder + '/' + name))
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

QByteArrayList listAdapters(const QByteArray &sys)
{
    QByteArrayList adapters;
    for (const QByteArray &name : ttyNames(sys, "*")) {
        if (!isKernelName(name))
            continue;
        const TtyKind kind = classifyTty(name, sys).kind;
        if (kind == TtyKind::Usb || kind == TtyKind::Pci)
            adapters << name;
    }
    return adapters;
}

QByteArray compressNames(const QByteArrayList &names)
{
    QList<qint64> numbers;
    for (const QByteArray &name : names) {
        const QByteArray digits = name.mid(4);
        if (name.startsWith("ttyS") && !digits.isEmpty() && digits.size() <= 9 && allOf(digits, "0123456789"))
            numbers << digits.toLongLong();
    }
    std::sort(numbers.begin(), numbers.end());
    QByteArray out;
    for (qsizetype i = 0; i < numbers.size();) {
        qsizetype last = i;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1)
            ++last;
        if (!out.isEmpty())
            out += ' ';
        out += "ttyS" + number(numbers[i]);
        if (last != i)
            out += "-ttyS" + number(numbers[last]);
        i = last + 1;
    }
    return out;
}

QByteArray comRuleName(int portNumber)
{
    return QFile::encodeName(QFileInfo(comRuleFile(portNumber)).fileName());
}

QByteArray comFix(int portNumber, const Roots &roots)
{
    QByteArrayList taken;
    for (int other : comPortNumbers())
        taken << readLink(roots.dev + "/com" + number(other));
    const QByteArray command = QByteArray("sudo ") + kProgram + " com" + number(portNumber);
    for (const QByteArray &adapter : listAdapters(roots.sys)) {
        if (!taken.contains(adapter))
            return command + " /dev/" + adapter;
    }
    return "plug a USB serial adapter in, then run " + command + " /dev/ttyUSB0";
}

ComState resolveCom(int portNumber, const Roots &roots)
{
    const QByteArray n = number(portNumber);
    const QByteArray link = roots.dev + "/com" + n;
    const QByteArray rule = roots.rulesDir() + '/' + comRuleName(portNumber);
    const QByteArray give = QByteArray("sudo ") + kProgram + " com" + n + " DEVICE";
    ComState state;
    if (present(link)) {
        const QByteArray target = readLink(link);
        QByteArray name = baseName(target);
        if (name.isEmpty())
            name = "com" + n;
        if (!exists(link)) {
            state.text = "/dev/com" + n + " points to " + visible(target)
                         + ", which is not there (adapter unplugged?). Fix: plug the adapter in again, or give COM" + n
                         + " to another one: " + give;
        } else if (!isCharDevice(link)) {
            state.text = "/dev/com" + n + " is not a serial device. Fix: sudo rm /dev/com" + n + ", then " + give;
        } else if (!isKernelName(name)) {
            state.text =
                "/dev/com" + n + " points to " + visible(target) + ", which is not a serial port's name. Fix: " + give;
        } else {
            state.ok = true;
            state.text = "/dev/com" + n + " -> " + name + " ("
                         + describeTty(name, classifyTty(name, roots.sys), roots.sys) + ")";
        }
        return state;
    }
    const QByteArray builtin = QFile::encodeName(builtinComPort(portNumber));
    if (exists(rule)) {
        state.text = "the USB serial adapter given COM" + n + " is not plugged in (/etc/udev/rules.d/"
                     + comRuleName(portNumber) + " is there, /dev/com" + n
                     + " is not); the loader will not fall back to /dev/" + builtin
                     + ". Fix: plug that adapter in, or give COM" + n + " to another one: " + give;
        return state;
    }
    const TtyInfo info = classifyTty(builtin, roots.sys);
    if (!exists(roots.dev + '/' + builtin) || info.kind == TtyKind::None) {
        state.text =
            "/dev/" + builtin + " does not exist and no adapter has COM" + n + ". Fix: " + comFix(portNumber, roots);
    } else if (info.kind == TtyKind::Phantom) {
        state.text =
            "/dev/" + builtin + ", which has no UART behind it (no port there). Fix: " + comFix(portNumber, roots);
    } else {
        state.ok = true;
        state.text = "/dev/" + builtin + " (" + describeTty(builtin, info, roots.sys) + ")";
    }
    return state;
}

ComPort comPort(int portNumber, const QByteArray &device, const Roots &roots)
{
    ComPort port;
    // From the name given to the tty behind it (following links such as /dev/serial/by-id/...).
    QByteArray path = device.startsWith("/dev/") ? roots.dev + '/' + device.mid(5)
                      : device.startsWith('/')   ? device
                                                 : roots.dev + '/' + device;
    if (!present(path)) {
        port.error =
            "no such device: " + visible(device) + " (see " + kProgram + " check for the serial ports there are)";
        return port;
    }
    if (path.startsWith(roots.dev + "/pts/") || path == roots.dev + "/ptmx") {
        port.error = "refused: " + visible(device) + " is a pseudo-terminal, not a serial port";
        return port;
    }
    // Links made by udev (relative, or into /dev) lead to the device's own node.
    for (int hops = 0; hops < 8 && isLink(path) && !exists(roots.sys + "/class/tty/" + baseName(path)); ++hops) {
        const QByteArray target = readLink(path);
        const QByteArray next = target.startsWith("/dev/") ? roots.dev + '/' + target.mid(5)
                                : target.startsWith('/')   ? target
                                                           : path.left(path.lastIndexOf('/')) + '/' + target;
        if (!present(next))
            break;
        path = next;
    }
    const QByteArray name = baseName(path);
    // The name goes into the rule and into messages: a kernel's tty name only.
    if (!isKernelName(name)) {
        port.error =
            "refused: " + visible(device) + " leads to " + visible(name) + ", which is not a serial port's name";
        return port;
    }
    if (!exists(roots.sys + "/class/tty/" + name)) {
        port.error = "refused: " + visible(device) + " is not a serial port (not a terminal device)";
        return port;
    }
    port.info = classifyTty(name, roots.sys);
    switch (port.info.kind) {
    case TtyKind::Phantom:
        port.error =
            "refused: /dev/" + name
            + " has no UART behind it: there is no port there (plug a USB serial adapter in and give its name)";
        return port;
    case TtyKind::Builtin:
        if (name == QFile::encodeName(builtinComPort(portNumber)))
            port.error = "refused: /dev/" + name + " is a built-in port: it is COM" + number(portNumber)
                         + " already when no adapter has that number";
        else
            port.error = "refused: /dev/" + name
                         + " is a built-in port, which keeps its own number (COM1 is ttyS0, COM2 is ttyS1)";
        return port;
    case TtyKind::Virtual:
    case TtyKind::None:
        port.error = "refused: /dev/" + name + " is a terminal, not a serial port";
        return port;
    case TtyKind::Usb:
    case TtyKind::Pci:
        break;
    }
    port.name = name;
    return port;
}

ComRule comRule(const QByteArray &name, const TtyInfo &info, const Roots &roots)
{
    ComRule rule;
    if (info.kind == TtyKind::Pci) {
        rule.slot = baseName(info.pciDir);
        if (!isPciName(rule.slot))
            rule.error = "refused: /dev/" + name + " sits in an unusual PCI slot (" + visible(rule.slot) + ")";
        rule.match = "KERNEL==\"" + name + "\", KERNELS==\"" + rule.slot + "\"";
        rule.foundBy = FoundBy::Pci;
        return rule;
    }
    const QByteArray vendor = attribute(info.usbDir + "/idVendor");
    const QByteArray product = attribute(info.usbDir + "/idProduct");
    const QByteArray serial = attribute(info.usbDir + "/serial");
    rule.socket = baseName(info.usbDir);
    if (!isUsbPath(rule.socket)) {
        rule.error = "refused: /dev/" + name + " sits on an unusual USB path (" + visible(rule.socket)
                     + "): a rule cannot name it";
        return rule;
    }
    QByteArray match;
    if (!isHex4(vendor) || !isHex4(product)) {
        // The identity cannot be matched safely: the USB path alone names the adapter.
        rule.foundBy = FoundBy::Socket;
        rule.why = "has vendor and product numbers (" + visible(vendor) + ':' + visible(product)
                   + ") that are not the four hexadecimal digits a rule can match";
    } else {
        match = "ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" + product + "\"";
        if (serial.isEmpty()) {
            rule.foundBy = FoundBy::Socket;
            rule.why = "has no serial number";
        } else if (!isToken(serial, "._-", 126)) {
            rule.foundBy = FoundBy::Socket;
            if (serial.size() > 126)
                rule.why = "has a serial number longer than a USB serial number can be (" + number(serial.size())
                           + " characters)";
            else
                rule.why = "has a serial number (" + visible(serial)
                           + ") with characters a rule cannot match safely (only letters, digits, '.', '_' and '-' "
                             "are)";
        } else {
            // A serial number shared by two adapters present (cheap ones) names neither.
            bool shared = false;
            for (const QByteArray &other : listAdapters(roots.sys)) {
                const TtyInfo them = classifyTty(other, roots.sys);
                if (them.kind != TtyKind::Usb || baseName(them.usbDir) == rule.socket)
                    continue;
                if (attribute(them.usbDir + "/idVendor") == vendor && attribute(them.usbDir + "/idProduct") == product
                    && attribute(them.usbDir + "/serial") == serial)
                    shared = true;
            }
            if (shared) {
                rule.foundBy = FoundBy::Socket;
                rule.why = "shares its serial number with another adapter present";
            } else {
                match += ", ATTRS{serial}==\"" + serial + "\"";
            }
        }
    }
    if (rule.foundBy == FoundBy::Socket)
        match = "KERNELS==\"" + rule.socket + "\"" + (match.isEmpty() ? QByteArray() : ", " + match);
    if (info.usbPorts > 1) {
        if (!isHex2(info.usbInterface)) {
            rule.error =
                "refused: /dev/" + name + " has no usable interface number (" + visible(info.usbInterface) + ")";
            return rule;
        }
        rule.pre = "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", IMPORT{builtin}=\"usb_id\"";
        match += ", ENV{ID_USB_INTERFACE_NUM}==\"" + info.usbInterface + "\"";
    }
    // Several ports on one interface differ only in the usb-serial port's number.
    if (info.usbInterfacePorts > 1) {
        if (!isNumber(info.usbPortNumber)) {
            rule.error = "refused: /dev/" + name + " has no usable port number (" + visible(info.usbPortNumber) + ")";
            return rule;
        }
        if (!rule.pre.isEmpty())
            rule.pre += '\n';
        rule.pre += "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb-serial\", ENV{.LOAD_QX7100_PORT}=\"$attr{port_number}\"";
        match += ", ENV{.LOAD_QX7100_PORT}==\"" + info.usbPortNumber + "\"";
    }
    rule.match = match;
    return rule;
}

QByteArray comRuleHow(const ComRule &rule)
{
    switch (rule.foundBy) {
    case FoundBy::Identity:
        return "Found by its vendor, product and serial number, in any USB socket.";
    case FoundBy::Pci:
        return "A port of the PCI serial card in slot " + rule.slot + ".";
    case FoundBy::Socket:
        break;
    }
    return "Found by the USB socket " + rule.socket + " it is plugged in: the adapter " + rule.why + ".";
}

QByteArray comRuleLine(int portNumber, const ComRule &rule)
{
    return "SUBSYSTEM==\"tty\", " + rule.match + ", SYMLINK+=\"com" + number(portNumber) + "\"";
}

QByteArray comRuleText(int portNumber, const QByteArray &name, const QByteArray &what, const ComRule &rule)
{
    const QByteArray n = number(portNumber);
    QByteArray text = QByteArray("# Written by ") + kProgram + ": /dev/com" + n + ", COM" + n
                      + " of the Velantra Loader (load_qx7100).\n";
    text += "# Port: /dev/" + name + ", " + what + ".\n";
    text += "# " + comRuleHow(rule) + "\n";
    text += "# ModemManager is told to leave the port alone (ID_MM_DEVICE_IGNORE).\n";
    text += QByteArray("# Replace it with: sudo ") + kProgram + " com" + n
            + " DEVICE; remove this file to give the number back.\n";
    if (!rule.pre.isEmpty())
        text += rule.pre + '\n';
    text += comRuleLine(portNumber, rule) + ", " + kModemManagerFlag + '\n';
    return text;
}

QByteArray lpOptionsDefault(const QByteArray &text)
{
    QByteArray found;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith("Default"))
            continue;
        qsizetype at = 7;
        const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
        if (at >= line.size() || !blank(line[at]))
            continue;
        while (at < line.size() && blank(line[at]))
            ++at;
        qsizetype end = at;
        while (end < line.size() && !blank(line[end]) && line[end] != '/')
            ++end;
        found = line.mid(at, end - at);
    }
    return found;
}

LpOptions readLpOptions(const QByteArray &path)
{
    LpOptions options;
    if (!present(path))
        return options;
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        options.state = LpOptions::State::Odd;
        return options;
    }
    if (st.st_size > kLpOptionsMax) {
        options.state = LpOptions::State::Big;
        return options;
    }
    options.state = LpOptions::State::Ok;
    options.defaultName = lpOptionsDefault(readRegular(path, kLpOptionsMax));
    return options;
}

}  // namespace bench
