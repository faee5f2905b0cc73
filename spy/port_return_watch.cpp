#include "spy/port_return_watch.h"

#include <QDir>
#include <QFileInfo>

PortReturnWatch::PortReturnWatch(QObject *parent) : QObject(parent), watcher_(new QFileSystemWatcher(this))
{
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &PortReturnWatch::check);
}

bool PortReturnWatch::start(const QString &devicePath, Resolver resolve, Reopen reopen)
{
    stop();
    // A pseudo-terminal named directly is never waited for: its number goes
    // to the next terminal that any program opens.
    if (devicePath.isEmpty() || !resolve || !reopen
        || QFileInfo(devicePath).absolutePath().endsWith(QLatin1String("/pts")))
        return false;
    device_ = devicePath;
    resolve_ = std::move(resolve);
    reopen_ = std::move(reopen);
    watchFoldersOf(device_);
    waiting_ = !watcher_->directories().isEmpty();
    return waiting_;
}

void PortReturnWatch::stop()
{
    waiting_ = false;
    const QStringList folders = watcher_->directories();
    if (!folders.isEmpty())
        watcher_->removePaths(folders);
    resolve_ = nullptr;
    reopen_ = nullptr;
}

// The folder of the path itself (where a link such as /dev/com1 comes and
// goes) and of what it leads to (where the device node appears), each time
// anew: a link made again may lead somewhere else.
void PortReturnWatch::watchFoldersOf(const QString &path)
{
    QStringList folders{QFileInfo(path).absolutePath()};
    const QFileInfo info(path);
    if (info.isSymLink())
        folders << QFileInfo(info.symLinkTarget()).absolutePath();
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        folders << QFileInfo(canonical).absolutePath();
    const QStringList watched = watcher_->directories();
    for (const QString &folder : std::as_const(folders)) {
        if (!watched.contains(folder) && QFileInfo(folder).isDir())
            watcher_->addPath(folder);
    }
}

void PortReturnWatch::check()
{
    // Opening the port may run the event loop's own work (never a nested
    // change notification of ours): one try at a time.
    if (!waiting_ || checking_)
        return;
    checking_ = true;
    watchFoldersOf(device_);
    // Only the device that went away comes back: a link gone for good must
    // not make the port fall back to another device of the same name.
    const bool back = resolve_() == device_ && QFileInfo::exists(device_) && reopen_();
    checking_ = false;
    if (back && waiting_) {
        stop();
        emit reopened();
    }
}
