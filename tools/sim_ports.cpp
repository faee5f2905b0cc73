#include "sim_ports.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::size_t MaxPending = 1 << 20;

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool rawAt38400(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ::cfsetispeed(&settings, B38400) == 0 && ::cfsetospeed(&settings, B38400) == 0
        && ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// Where the link points to, empty when it is no symbolic link.
std::string linkTarget(const std::string &path)
{
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

SerialSide::~SerialSide()
{
    close();
}

bool SerialSide::open(const std::string &link, std::string &error)
{
    close();
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char *name = nullptr;
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
        || (name = ::ptsname(m_master)) == nullptr) {
        error = systemError("cannot open a pseudo-terminal");
        close();
        return false;
    }
    m_slavePath = name;
    m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0 || !rawAt38400(m_slave) || !setNonBlocking(m_master)) {
        error = systemError("cannot set up " + m_slavePath);
        close();
        return false;
    }
    if (!link.empty()) {
        struct stat info {};
        if (::lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symbolic link";
            close();
            return false;
        }
        // Made beside it and renamed over it, so that the link never names nothing.
        const std::string temporary = link + ".decoder-sim." + std::to_string(::getpid());
        ::unlink(temporary.c_str());
        if (::symlink(m_slavePath.c_str(), temporary.c_str()) != 0
            || ::rename(temporary.c_str(), link.c_str()) != 0) {
            error = systemError("cannot make the link " + link);
            ::unlink(temporary.c_str());
            close();
            return false;
        }
        m_link = link;
    }
    m_queue.clear();
    m_sent = 0;
    m_droppedWhileClosed = false;
    return true;
}

void SerialSide::removeLink()
{
    if (!m_link.empty() && linkTarget(m_link) == m_slavePath)
        ::unlink(m_link.c_str());
    m_link.clear();
}

void SerialSide::close()
{
    removeLink();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
    m_queue.clear();
    m_sent = 0;
}

void SerialSide::setBaud(long baud)
{
    m_rate = static_cast<double>(baud) / 10.0;
    m_credit = 0;
    m_creditTime = Clock::now();
}

void SerialSide::send(const std::string &text)
{
    if (m_master < 0) {
        if (!m_droppedWhileClosed)
            m_log.push_back("serial side closed: text dropped");
        m_droppedWhileClosed = true;
        return;
    }
    if (m_queue.size() - m_sent + text.size() > MaxPending) {
        if (!m_overflowing)
            m_log.push_back("nobody reads the serial line: text dropped");
        m_overflowing = true;
        return;
    }
    m_overflowing = false;
    m_queue += text;
}

double SerialSide::creditAt(Clock::time_point now) const
{
    const double elapsed = std::chrono::duration<double>(now - m_creditTime).count();
    // At most 20 ms of line time is saved up while idle, so pacing holds after a pause.
    return std::min(m_credit + elapsed * m_rate, std::max(1.0, m_rate * 0.02));
}

short SerialSide::pollEvents(Clock::time_point now) const
{
    short events = POLLIN;
    if (pending() && (m_rate <= 0 || creditAt(now) >= 1.0))
        events |= POLLOUT;
    return events;
}

int SerialSide::delayMs(Clock::time_point now) const
{
    if (!pending() || m_rate <= 0)
        return -1;
    const double credit = creditAt(now);
    if (credit >= 1.0)
        return -1;
    // Waking every 5 ms of line time (one byte at the least) keeps the loop quiet.
    const double wanted = std::clamp(m_rate * 0.005, 1.0, static_cast<double>(m_queue.size() - m_sent));
    return std::max(1, static_cast<int>(std::ceil((wanted - credit) / m_rate * 1000.0)));
}

void SerialSide::flush(Clock::time_point now)
{
    std::size_t allowed = m_queue.size() - m_sent;
    if (m_rate > 0) {
        m_credit = creditAt(now);
        m_creditTime = now;
        allowed = std::min(allowed, static_cast<std::size_t>(m_credit));
    }
    if (m_master < 0 || allowed == 0)
        return;
    const ssize_t n = ::write(m_master, m_queue.data() + m_sent, allowed);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            m_log.push_back(systemError("serial write failed") + ": text dropped");
            m_queue.clear();
            m_sent = 0;
        }
        return;
    }
    m_sent += static_cast<std::size_t>(n);
    if (m_rate > 0)
        m_credit -= static_cast<double>(n);
    if (m_sent == m_queue.size()) {
        m_queue.clear();
        m_sent = 0;
    } else if (m_sent > 65536) {
        m_queue.erase(0, m_sent);
        m_sent = 0;
    }
}

std::string SerialSide::read()
{
    if (m_master < 0)
        return {};
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n > 0)
        return std::string(buffer, static_cast<std::size_t>(n));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return {};
    m_log.push_back(n < 0 ? systemError("serial read failed") + ": serial side closed"
                          : "serial line hung up: serial side closed");
    close();
    return {};
}

std::vector<std::string> SerialSide::takeLog()
{
    return std::exchange(m_log, {});
}

CaptureSource::~CaptureSource()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CaptureSource::open(const std::string &path, bool makeFifo, bool fromStart, std::string &error)
{
    m_path = path;
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        error = systemError(path);
        return false;
    }
    if (makeFifo && exists && !S_ISFIFO(info.st_mode)) {
        error = path + " exists and is not a FIFO";
        return false;
    }
    if (makeFifo && !exists) {
        if (::mkfifo(path.c_str(), 0666) != 0) {
            error = systemError("cannot make the FIFO " + path);
            return false;
        }
        m_madeFifo = true;
        exists = ::stat(path.c_str(), &info) == 0;
    }
    if (exists && S_ISFIFO(info.st_mode)) {
        // Open for writing too: a writer's open then never waits and its close is no end of file.
        m_fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            error = systemError(path);
            removeCreated();
            return false;
        }
        m_fifo = true;
        return true;
    }
    if (exists) {
        if (!S_ISREG(info.st_mode)) {
            error = path + " is neither a FIFO nor a regular file";
            return false;
        }
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            error = systemError(path);
            return false;
        }
        m_dev = info.st_dev;
        m_ino = info.st_ino;
        m_modified = info.st_mtim;
        m_offset = fromStart ? 0 : info.st_size;
    }
    return true;
}

void CaptureSource::removeCreated()
{
    if (m_madeFifo)
        ::unlink(m_path.c_str());
    m_madeFifo = false;
}

std::size_t CaptureSource::read(char *buffer, std::size_t size)
{
    m_backlog = false;
    if (m_fifo) {
        const ssize_t n = ::read(m_fd, buffer, size);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            m_log.push_back(systemError("cannot read " + m_path));
        return 0;
    }

    struct stat info {};
    if (::stat(m_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (m_fd >= 0) {
            m_log.push_back(m_path + " went away: waiting for it to come back");
            ::close(m_fd);
            m_fd = -1;
        }
        return 0;
    }
    if (m_fd < 0 || info.st_dev != m_dev || info.st_ino != m_ino) {
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
        m_dev = info.st_dev;
        m_ino = info.st_ino;
        m_offset = 0;
        m_log.push_back("reading " + m_path + " from its start");
    }
    const bool rewritten = info.st_size == m_offset && (info.st_mtim.tv_sec != m_modified.tv_sec
                                                        || info.st_mtim.tv_nsec != m_modified.tv_nsec);
    if (info.st_size < m_offset || (rewritten && m_offset > 0)) {
        m_log.push_back(m_path + " was emptied: reading it from its start");
        m_offset = 0;
    }
    m_modified = info.st_mtim;
    if (info.st_size == m_offset)
        return 0;
    const auto wanted = static_cast<std::size_t>(std::min<off_t>(info.st_size - m_offset, static_cast<off_t>(size)));
    ssize_t n;
    do {
        n = ::pread(m_fd, buffer, wanted, m_offset);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0)
            m_log.push_back(systemError("cannot read " + m_path));
        return 0;
    }
    m_offset += n;
    m_backlog = info.st_size > m_offset;
    return static_cast<std::size_t>(n);
}

std::vector<std::string> CaptureSource::takeLog()
{
    return std::exchange(m_log, {});
}

}  // namespace sim
