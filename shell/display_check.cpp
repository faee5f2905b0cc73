#include "shell/display_check.h"

#include <QByteArray>
#include <QDir>
#include <QLibraryInfo>
#include <QList>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char kNoDisplayMessage[] =
    "load_qx7100: no display: start it from the desktop, or set DISPLAY or WAYLAND_DISPLAY\n";

namespace {

QByteArray environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? QByteArray(value) : QByteArray();
}

// An X server that takes a connection, with the same library, display name
// and authority as Qt's own platform code. The library is looked up at run
// time: where it is missing, Qt's X11 platform cannot work either.
bool xServerReachable()
{
    if (environment("DISPLAY").isEmpty())
        return false;
    void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return false;
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool reachable = false;
    if (connect && hasError && disconnect) {
        void *connection = connect(nullptr, nullptr);
        reachable = connection && hasError(connection) == 0;
        // A failed connection is an object of its own too, to be freed.
        if (connection)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return reachable;
}

// A Wayland compositor's socket that takes a connection, where Qt has its
// Wayland platform at all.
bool waylandReachable()
{
    const QString platforms = QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    if (QDir(platforms).entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty())
        return false;
    if (!environment("WAYLAND_SOCKET").isEmpty())
        return true;
    const QByteArray name = environment("WAYLAND_DISPLAY");
    if (name.isEmpty())
        return false;
    QByteArray path = name;
    if (!name.startsWith('/')) {
        const QByteArray runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return false;
        path = runtime + '/' + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool reachable = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return reachable;
}

}  // namespace

bool displayReachable(int argc, char **argv)
{
    QByteArray platforms = environment("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            platforms = argv[i + 1];
    }
    if (platforms.isEmpty())
        return waylandReachable() || xServerReachable();
    // Qt tries each platform of a list in turn ("wayland;xcb"); each may carry
    // options after a colon.
    const QList<QByteArray> names = platforms.split(';');
    for (const QByteArray &entry : names) {
        const QByteArray name = entry.left(entry.indexOf(':') < 0 ? entry.size() : entry.indexOf(':')).trimmed();
        if (name.isEmpty())
            continue;
        if (name == "xcb" ? xServerReachable() : name.startsWith("wayland") ? waylandReachable() : true)
            return true;
    }
    return false;
}
