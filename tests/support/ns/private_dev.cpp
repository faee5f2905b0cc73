#include "private_dev.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace privatedev {

namespace {

bool g_entered = false;
QString g_error = QStringLiteral("the private /dev was not set up (privatedev::enter was not called)");

QString systemWords()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool fail(QString *error, const QString &what)
{
    if (error)
        *error = what;
    return false;
}

QByteArray devPath(const QString &name)
{
    return QFile::encodeName(QStringLiteral("/dev/") + name);
}

bool makeParent(const QString &name, QString *error)
{
    const QString parent = QFileInfo(QStringLiteral("/dev/") + name).absolutePath();
    if (!QDir().mkpath(parent))
        return fail(error, QStringLiteral("cannot make the folder ") + parent);
    return true;
}

}  // namespace

bool enter(QString *error)
{
    auto refuse = [&](const QString &what) {
        g_error = what;
        return fail(error, what);
    };
    if (g_entered)
        return true;
    if (::unshare(CLONE_NEWNS) != 0)
        return refuse(QStringLiteral("cannot make a private mount namespace (unshare: %1): the test needs root "
                                     "and a system that allows mount namespaces")
                          .arg(systemWords()));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return refuse(QStringLiteral("cannot make the mounts private: ") + systemWords());

    // The new /dev is filled beside the old one, then moved over it: the
    // devices it binds stay reachable until then.
    char staging[] = "/tmp/private-dev-XXXXXX";
    if (!::mkdtemp(staging))
        return refuse(QStringLiteral("cannot make a staging folder: ") + systemWords());
    if (::mount("tmpfs", staging, "tmpfs", MS_NOSUID, "mode=0755,size=16m") != 0) {
        ::rmdir(staging);
        return refuse(QStringLiteral("cannot mount a tmpfs for /dev: ") + systemWords());
    }
    const QByteArray root(staging);
    for (const char *device : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const QByteArray source = QByteArray("/dev/") + device;
        const QByteArray target = root + '/' + device;
        if (::access(source.constData(), F_OK) != 0)
            continue;
        const int fd = ::open(target.constData(), O_CREAT | O_WRONLY, 0666);
        if (fd >= 0)
            ::close(fd);
        if (::mount(source.constData(), target.constData(), nullptr, MS_BIND, nullptr) != 0)
            return refuse(QStringLiteral("cannot bind %1 into the private /dev: %2")
                              .arg(QString::fromLatin1(source), systemWords()));
    }
    const QByteArray pts = root + "/pts";
    if (::mkdir(pts.constData(), 0755) != 0 || ::mount("/dev/pts", pts.constData(), nullptr, MS_BIND, nullptr) != 0)
        return refuse(QStringLiteral("cannot bind /dev/pts into the private /dev: ") + systemWords());
    // ptmx leads to the pseudo-terminal instance bound at pts: a bound ptmx
    // node would look for its instance beside the machine's own /dev/ptmx.
    for (const auto &[name, target] :
         {std::pair{"ptmx", "pts/ptmx"}, std::pair{"fd", "/proc/self/fd"}, std::pair{"stdin", "/proc/self/fd/0"},
          std::pair{"stdout", "/proc/self/fd/1"}, std::pair{"stderr", "/proc/self/fd/2"}}) {
        if (::symlink(target, (root + '/' + name).constData()) != 0)
            return refuse(QStringLiteral("cannot make /dev/%1: %2").arg(QString::fromLatin1(name), systemWords()));
    }
    if (::mount(staging, "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return refuse(QStringLiteral("cannot move the private /dev into place: ") + systemWords());
    ::rmdir(staging);
    g_entered = true;
    g_error.clear();
    return true;
}

bool entered()
{
    return g_entered;
}

QString enterError()
{
    return g_error;
}

bool addDeviceNode(const QString &name, const QString &existingDevice, QString *error)
{
    if (!g_entered)
        return fail(error, g_error);
    const QByteArray source = QFile::encodeName(existingDevice);
    struct stat st {};
    if (::stat(source.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return fail(error, existingDevice + QStringLiteral(" is not a character device"));
    if (!makeParent(name, error))
        return false;
    remove(name);
    // A bind mount, not a node of the same number: a pseudo-terminal opens
    // only through its own file system.
    const QByteArray path = devPath(name);
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot make /dev/%1: %2").arg(name, systemWords()));
    ::close(fd);
    if (::mount(source.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
        return fail(error, QStringLiteral("cannot bind %1 to /dev/%2: %3").arg(existingDevice, name, systemWords()));
    if (::chmod(path.constData(), 0666) != 0)
        return fail(error, QStringLiteral("cannot open /dev/%1 to every user: %2").arg(name, systemWords()));
    return true;
}

bool addLink(const QString &name, const QString &target, QString *error)
{
    if (!g_entered)
        return fail(error, g_error);
    if (!makeParent(name, error))
        return false;
    const QByteArray path = devPath(name);
    remove(name);
    if (::symlink(QFile::encodeName(target).constData(), path.constData()) != 0)
        return fail(error, QStringLiteral("cannot make /dev/%1: %2").arg(name, systemWords()));
    return true;
}

bool remove(const QString &name)
{
    if (!g_entered)
        return false;
    const QByteArray path = devPath(name);
    ::umount2(path.constData(), MNT_DETACH);
    return ::unlink(path.constData()) == 0;
}

bool bindOver(const QString &source, const QString &target, QString *error)
{
    if (!g_entered)
        return fail(error, g_error);
    if (!QDir().mkpath(target))
        return fail(error, QStringLiteral("cannot make the folder ") + target);
    if (::mount(QFile::encodeName(source).constData(), QFile::encodeName(target).constData(), nullptr, MS_BIND, nullptr)
        != 0)
        return fail(error, QStringLiteral("cannot bind %1 over %2: %3").arg(source, target, systemWords()));
    return true;
}

}  // namespace privatedev
