#include "pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// Lets the calling thread's events run, then waits briefly for the master to
// become ready (the other end may live in this very thread).
void PtyPair::waitForMaster(short events)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    pollfd p{master_, events, 0};
    ::poll(&p, 1, 2);
}

PtyPair::PtyPair()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        error_ = QStringLiteral("openpty: ") + qt_error_string(errno);
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair()
{
    closeMaster();
    closeSlave();
}

qsizetype PtyPair::writeSome(const QByteArray &bytes)
{
    if (master_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::write(master_, bytes.constData(), size_t(bytes.size()));
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

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
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
            waitForMaster(POLLOUT);
        }
    }
    return true;
}

QByteArray PtyPair::read(int timeoutMs, qsizetype minBytes)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    char buf[4096];
    while (master_ >= 0) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (got.size() >= minBytes || deadline.hasExpired())
            break;
        waitForMaster(POLLIN);
    }
    return got;
}

QByteArray PtyPair::readFor(int timeoutMs)
{
    return read(timeoutMs, std::numeric_limits<qsizetype>::max());
}

void PtyPair::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPair::closeSlave()
{
    if (slave_ >= 0)
        ::close(slave_);
    slave_ = -1;
}
