#include "pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

PtyEnd::~PtyEnd()
{
    closeEnd();
}

void PtyEnd::closeEnd()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

// Lets the calling thread's events run, then waits briefly for the end to
// become ready.
void PtyEnd::waitForEnd(short events)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    pollfd p{fd_, events, 0};
    ::poll(&p, 1, 2);
}

qsizetype PtyEnd::writeSome(const QByteArray &bytes)
{
    if (fd_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::write(fd_, bytes.constData(), size_t(bytes.size()));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        error_ = QStringLiteral("write: ") + qt_error_string(errno);
        return -1;
    }
}

bool PtyEnd::write(const QByteArray &bytes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const qsizetype n = writeSome(bytes.mid(sent, 64 * 1024));
        if (n < 0)
            return false;
        sent += n;
        if (sent < bytes.size()) {
            if (deadline.hasExpired()) {
                error_ = QStringLiteral("write: the line stayed full");
                return false;
            }
            waitForEnd(POLLOUT);
        }
    }
    return true;
}

QByteArray PtyEnd::read(int timeoutMs, qsizetype minBytes)
{
    QByteArray got = std::exchange(pending_, {});
    QDeadlineTimer deadline(timeoutMs);
    char buf[4096];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (got.size() >= minBytes || deadline.hasExpired())
            break;
        waitForEnd(POLLIN);
    }
    return got;
}

QByteArray PtyEnd::readFor(int timeoutMs)
{
    return read(timeoutMs, std::numeric_limits<qsizetype>::max());
}

QByteArray PtyEnd::readUntil(const QByteArray &needle, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray got;
    for (;;) {
        got += read(int(qMax<qint64>(deadline.remainingTime(), 0)));
        const qsizetype at = got.indexOf(needle);
        if (at >= 0) {
            pending_ = got.mid(at + needle.size());
            return got.left(at + needle.size());
        }
        if (deadline.hasExpired()) {
            pending_ = got;
            return {};
        }
    }
}

bool PtyEnd::hungUp(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLHUP))
        return false;
    char byte;
    const ssize_t n = ::read(fd_, &byte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}

PtyPair::PtyPair()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&fd_, &slave_, name, &raw, nullptr) != 0) {
        error_ = QStringLiteral("openpty: ") + qt_error_string(errno);
        fd_ = slave_ = -1;
        return;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair()
{
    closeMaster();
    closeSlave();
}

void PtyPair::closeMaster()
{
    closeEnd();
}

void PtyPair::closeSlave()
{
    if (slave_ >= 0)
        ::close(slave_);
    slave_ = -1;
}

bool PtySlave::open(const QString &path)
{
    closeEnd();
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        error_ = QStringLiteral("open %1: ").arg(path) + qt_error_string(errno);
    return fd_ >= 0;
}
