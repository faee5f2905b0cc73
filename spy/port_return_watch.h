#pragma once
// Waits for the device of a port that went away to come back: watches the
// folders that hold the port's device and what its link leads to (/dev for
// /dev/com1, /dev/pts for a pseudo-terminal) and, at every change there,
// names the device of the port again and asks whether it opens. The port
// itself is never polled: nothing happens until a folder changes.

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <functional>

class PortReturnWatch : public QObject {
    Q_OBJECT

public:
    // Names the device of the port now (the COM resolver's answer).
    using Resolver = std::function<QString()>;
    // Tries to open the port on its device; true when it is open.
    using Reopen = std::function<bool()>;

    explicit PortReturnWatch(QObject *parent = nullptr);

    // Starts waiting for the port whose device was devicePath when it went
    // away: at every change in the watched folders, the port is reopened when
    // resolve() names devicePath again and reopen() succeeds. A wait already
    // running is replaced. False (and no wait) when no folder can be watched,
    // or when devicePath is a pseudo-terminal itself (/dev/pts/N: its number
    // goes to the next terminal that any program opens); a link to one is
    // waited for.
    bool start(const QString &devicePath, Resolver resolve, Reopen reopen);
    // Ends the wait; nothing more is tried.
    void stop();
    bool waiting() const { return waiting_; }
    // The device path waited for; empty when not waiting.
    QString devicePath() const { return waiting_ ? device_ : QString(); }

    // Tries once now, as a change in the folders would (for callers that know
    // of a change the watch cannot see).
    void check();

signals:
    // The port opened again; the wait has ended.
    void reopened();

private:
    void watchFoldersOf(const QString &path);

    QFileSystemWatcher *watcher_ = nullptr;
    QString device_;
    Resolver resolve_;
    Reopen reopen_;
    bool waiting_ = false;
    bool checking_ = false;
};
