#include "spy/serial_ports.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QString comLink(int portNumber, const SerialRoots &roots)
{
    return roots.dev + QStringLiteral("/com%1").arg(portNumber);
}

QString comName(int portNumber)
{
    return QStringLiteral("COM%1").arg(portNumber);
}

QString benchCommand(int portNumber, const QString &device)
{
    return QStringLiteral("load_qx7100-bench com%1 %2").arg(portNumber).arg(device);
}

bool linkPresent(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool danglingLink(const QString &path)
{
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    return ::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(name.constData(), &st) != 0;
}

// The sentence for a port with nothing behind it: the adapters that could
// take its number, and the command that gives it.
QString adapterHint(int portNumber, const SerialRoots &roots)
{
    const QStringList adapters = usbSerialAdapters(roots);
    const QString com = comName(portNumber);
    if (adapters.isEmpty())
        return QStringLiteral("No USB serial adapter is plugged in: plug one in and give it %1 with %2 (as root).")
            .arg(com, benchCommand(portNumber, QStringLiteral("DEVICE")));
    if (adapters.size() == 1)
        return QStringLiteral("The USB serial adapter %1 is present: give it %2 with %3 (as root).")
            .arg(adapters.first(), com, benchCommand(portNumber, adapters.first()));
    return QStringLiteral("USB serial adapters present: %1; give the decoder's one %2 with %3 (as root).")
        .arg(adapters.join(QStringLiteral(", ")), com, benchCommand(portNumber, QStringLiteral("DEVICE")));
}

QString userName()
{
    if (const passwd *pw = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return QStringLiteral("USER");
}

QString programOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

// The process named in the port's lock file, if one is there and alive. The
// folders are those where the serial library and other programs keep them.
qint64 lockHolder(const QString &path)
{
    QString name = path;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    static const char *const folders[] = {"/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                                          "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};
    for (const char *folder : folders) {
        QFile lock(QString::fromLatin1(folder) + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // The first line holds the process number, in text, with or without
        // leading blanks.
        bool ok = false;
        const qint64 pid = lock.readLine(64).trimmed().toLongLong(&ok);
        if (ok && pid > 0 && pid != QCoreApplication::applicationPid()
            && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)))
            return pid;
    }
    return 0;
}

// A process other than this one with the device open, as far as this user
// may see.
qint64 openHolder(const QString &path)
{
    struct stat device {};
    if (::stat(QFile::encodeName(path).constData(), &device) != 0 || !S_ISCHR(device.st_mode))
        return 0;
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : pids) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == self)
            continue;
        const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList fds = QDir(fdFolder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            struct stat st {};
            if (::stat(QFile::encodeName(fdFolder + QLatin1Char('/') + fd).constData(), &st) == 0 && S_ISCHR(st.st_mode)
                && st.st_rdev == device.st_rdev)
                return pid;
        }
    }
    return 0;
}

QString heldReason(const QString &path)
{
    qint64 pid = lockHolder(path);
    if (pid == 0)
        pid = openHolder(path);
    const QString program = pid ? programOf(pid) : QString();
    if (pid == 0)
        return QStringLiteral("another program is using the port");
    if (program.isEmpty())
        return QStringLiteral("another program (process %1) is using the port").arg(pid);
    return QStringLiteral("another program (%1, process %2) is using the port").arg(program).arg(pid);
}

}  // namespace

UartKind kernelUart(int fd, const QString &sysRoot)
{
    serial_struct info{};
    struct stat st {};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0 || ::fstat(fd, &st) != 0)
        return UartKind::Unknown;
    return uartFromType(info.type, major(st.st_rdev), minor(st.st_rdev), sysRoot);
}

UartKind uartFromType(int type, unsigned major, unsigned minor, const QString &sysRoot)
{
    if (type != PORT_UNKNOWN)
        return UartKind::Present;
    const bool serialCore = QFileInfo::exists(sysRoot + QStringLiteral("/dev/char/%1:%2/type").arg(major).arg(minor));
    return serialCore ? UartKind::None : UartKind::Unknown;
}

const QList<int> &comPortNumbers()
{
    static const QList<int> numbers{1, 2};
    return numbers;
}

bool isComPort(int portNumber)
{
    return comPortNumbers().contains(portNumber);
}

QString builtinComPort(int portNumber)
{
    return QStringLiteral("ttyS%1").arg(portNumber - 1);
}

const QList<int> &lptPortNumbers()
{
    static const QList<int> numbers{1, 2};
    return numbers;
}

QString lptPortName(int lptNumber)
{
    return lptPortNumbers().contains(lptNumber) ? QStringLiteral("LPT%1:").arg(lptNumber) : QString();
}

bool isLptPortName(const QString &portName)
{
    for (int number : lptPortNumbers()) {
        if (portName == lptPortName(number))
            return true;
    }
    return false;
}

QStringList lptDevices(int lptNumber)
{
    if (!lptPortNumbers().contains(lptNumber))
        return {};
    return {QStringLiteral("/dev/lp%1").arg(lptNumber - 1), QStringLiteral("/dev/usb/lp%1").arg(lptNumber - 1)};
}

int lptOfDevice(const QString &device)
{
    for (int number : lptPortNumbers()) {
        if (lptDevices(number).contains(device))
            return number;
    }
    return 0;
}

int lptOfDeviceUri(const QString &deviceUri)
{
    const QLatin1String scheme("parallel:");
    return deviceUri.startsWith(scheme) ? lptOfDevice(deviceUri.mid(scheme.size())) : 0;
}

QString comRuleFile(int portNumber, const SerialRoots &roots)
{
    return roots.udevRules + QStringLiteral("/60-load-qx7100-com%1.rules").arg(portNumber);
}

QString comPortDevice(int portNumber, const SerialRoots &roots)
{
    if (!isComPort(portNumber))
        return QString();
    const QString link = comLink(portNumber, roots);
    if (linkPresent(link) || QFileInfo::exists(comRuleFile(portNumber, roots)))
        return link;
    return roots.dev + QLatin1Char('/') + builtinComPort(portNumber);
}

QStringList usbSerialAdapters(const SerialRoots &roots)
{
    const QStringList names = QDir(roots.sys + QStringLiteral("/class/tty"))
                                  .entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                                             QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QStringList devices;
    for (const QString &name : names)
        devices << roots.dev + QLatin1Char('/') + name;
    return devices;
}

QString noDeviceForPort(int portNumber)
{
    return QStringLiteral("no device stands for COM%1 on this PC: give the number to a USB serial adapter with "
                          "sudo load_qx7100-bench com%1 DEVICE.")
        .arg(portNumber);
}

QString describeOpenFailure(const OpenFailure &failure, const SerialRoots &roots)
{
    const int port = failure.portNumber;
    const QString &reason = failure.systemReason;
    const bool isComLink = isComPort(port) && failure.path == comLink(port, roots);

    if (isComLink && !linkPresent(failure.path) && QFileInfo::exists(comRuleFile(port, roots)))
        return QStringLiteral("the USB serial adapter given %1 is not plugged in.").arg(comName(port));
    if (danglingLink(failure.path)) {
        const QFileInfo link(failure.path);
        return QStringLiteral("the link leads to %1, which does not exist. Plug the adapter in, or give %2 to "
                              "another with %3 (as root).")
            .arg(link.symLinkTarget(), comName(port), benchCommand(port, QStringLiteral("DEVICE")));
    }
    if (failure.noUart)
        return QStringLiteral("no serial port is behind this device. ") + adapterHint(port, roots);
    if (reason == qt_error_string(EIO))
        return reason + QStringLiteral(". ") + adapterHint(port, roots);
    if (reason == qt_error_string(ENOENT) && QFileInfo(failure.path).fileName().startsWith(QLatin1String("ttyS")))
        return reason + QStringLiteral(". ") + adapterHint(port, roots);
    if (reason == qt_error_string(EACCES)) {
        const QString user = userName();
        return reason
               + QStringLiteral(". The user %1 must be in the dialout group (as root: adduser %1 dialout) "
                                "and log in again.")
                     .arg(user);
    }
    // The serial library reports a lock file held by a live process as a
    // permission error; a port opened exclusively answers "busy".
    if (reason == QCoreApplication::translate("QSerialPort", "Permission error while locking the device")
        || reason == QLatin1String("Permission error while locking the device") || reason == qt_error_string(EBUSY))
        return heldReason(failure.path);
    return reason;
}
