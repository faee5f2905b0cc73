#pragma once
// A private /dev for a test program, so that names such as /dev/lp0,
// /dev/usb/lp0 and /dev/com1 can be pseudo-terminals without touching the
// machine's own devices.
//
// enter() moves the calling process into a mount namespace of its own, makes
// every mount in it private (nothing leaks back to the machine), and puts a
// tmpfs over /dev holding the real null, zero, full, random, urandom, tty and
// pts (bind mounts), ptmx (a link to pts/ptmx) and the fd, stdin, stdout and
// stderr links.
// Programs started afterwards (a print server, its backends, a simulator)
// inherit the namespace and see the same /dev. It needs root (CAP_SYS_ADMIN);
// call it from main() before any thread starts, as a mount namespace belongs
// to the thread that made it and the processes it starts.

#include <QString>

namespace privatedev {

// False with *error saying what is missing when the system refuses.
bool enter(QString *error);
// True once enter() succeeded in this process.
bool entered();
// The reason enter() failed, for the test cases that need the namespace.
QString enterError();

// Makes /dev/NAME (with its folders) the character device existingDevice (a
// pseudo-terminal slave, say: bound there, so it changes the device's mode
// too), open to every user (a root print server runs its backends as lp).
// Replaces what was there.
bool addDeviceNode(const QString &name, const QString &existingDevice, QString *error);
// Makes /dev/NAME a symbolic link to target. Replaces what was there.
bool addLink(const QString &name, const QString &target, QString *error);
// Removes /dev/NAME.
bool remove(const QString &name);
// Binds the folder source over target (for instance a rules folder of the
// test's own over /etc/udev/rules.d), inside the namespace only.
bool bindOver(const QString &source, const QString &target, QString *error);

}  // namespace privatedev
