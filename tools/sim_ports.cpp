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
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char *name = nullptr;
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || (name = ::ptsname(master_)) == nullptr) {
        error = systemError("cannot open a pseudo-terminal");
        close();
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || !rawAt38400(slave_) || !setNonBlocking(master_)) {
        error = systemError("cannot set up " + slavePath_);
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
        if (::symlink(slavePath_.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), link.c_str()) != 0) {
            error = systemError("cannot make the link " + link);
            ::unlink(temporary.c_str());
            close();
            return false;
        }
        link_ = link;
    }
    queue_.clear();
    sent_ = 0;
    droppedWhileClosed_ = false;
    return true;
}

void SerialSide::removeLink()
{
    if (!link_.empty() && linkTarget(link_) == slavePath_)
        ::unlink(link_.c_str());
    link_.clear();
}

void SerialSide::close()
{
    removeLink();
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
    queue_.clear();
    sent_ = 0;
}

void SerialSide::setBaud(long baud)
{
    rate_ = static_cast<double>(baud) / 10.0;
    credit_ = 0;
    creditTime_ = Clock::now();
}

void SerialSide::send(const std::string &text)
{
    if (master_ < 0) {
        if (!droppedWhileClosed_)
            log_.push_back("serial side closed: text dropped");
        droppedWhileClosed_ = true;
        return;
    }
    if (queue_.size() - sent_ + text.size() > MaxPending) {
        if (!overflowing_)
            log_.push_back("nobody reads the serial line: text dropped");
        overflowing_ = true;
        return;
    }
    overflowing_ = false;
    queue_ += text;
}

double SerialSide::creditAt(Clock::time_point now) const
{
    const double elapsed = std::chrono::duration<double>(now - creditTime_).count();
    // At most 20 ms of line time is saved up while idle, so pacing holds after a pause.
    return std::min(credit_ + elapsed * rate_, std::max(1.0, rate_ * 0.02));
}

short SerialSide::pollEvents(Clock::time_point now) const
{
    short events = POLLIN;
    if (pending() && (rate_ <= 0 || creditAt(now) >= 1.0))
        events |= POLLOUT;
    return events;
}

int SerialSide::delayMs(Clock::time_point now) const
{
    if (!pending() || rate_ <= 0)
        return -1;
    const double credit = creditAt(now);
    if (credit >= 1.0)
        return -1;
    // Waking every 5 ms of line time (one byte at the least) keeps the loop quiet.
    const double wanted = std::clamp(rate_ * 0.005, 1.0, static_cast<double>(queue_.size() - sent_));
    return std::max(1, static_cast<int>(std::ceil((wanted - credit) / rate_ * 1000.0)));
}

void SerialSide::flush(Clock::time_point now)
{
    std::size_t allowed = queue_.size() - sent_;
    if (rate_ > 0) {
        credit_ = creditAt(now);
        creditTime_ = now;
        allowed = std::min(allowed, static_cast<std::size_t>(credit_));
    }
    if (master_ < 0 || allowed == 0)
        return;
    const ssize_t n = ::write(master_, queue_.data() + sent_, allowed);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            log_.push_back(systemError("serial write failed") + ": text dropped");
            queue_.clear();
            sent_ = 0;
        }
        return;
    }
    sent_ += static_cast<std::size_t>(n);
    if (rate_ > 0)
        credit_ -= static_cast<double>(n);
    if (sent_ == queue_.size()) {
        queue_.clear();
        sent_ = 0;
    } else if (sent_ > 65536) {
        queue_.erase(0, sent_);
        sent_ = 0;
    }
}

std::string SerialSide::read()
{
    if (master_ < 0)
        return {};
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0)
        return std::string(buffer, static_cast<std::size_t>(n));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return {};
    log_.push_back(n < 0 ? systemError("serial read failed") + ": serial side closed"
                         : "serial line hung up: serial side closed");
    close();
    return {};
}

std::vector<std::string> SerialSide::takeLog()
{
    return std::exchange(log_, {});
}

CaptureSource::~CaptureSource()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool CaptureSource::open(const std::string &path, bool makeFifo, bool fromStart, std::string &error)
{
    path_ = path;
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
        madeFifo_ = true;
        exists = ::stat(path.c_str(), &info) == 0;
    }
    if (exists && S_ISFIFO(info.st_mode)) {
        // Open for writing too: a writer's open then never waits and its close is no end of file.
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            error = systemError(path);
            removeCreated();
            return false;
        }
        fifo_ = true;
        return true;
    }
    if (exists) {
        if (!S_ISREG(info.st_mode)) {
            error = path + " is neither a FIFO nor a regular file";
            return false;
        }
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            error = systemError(path);
            return false;
        }
        dev_ = info.st_dev;
        ino_ = info.st_ino;
        modified_ = info.st_mtim;
        offset_ = fromStart ? 0 : info.st_size;
    }
    return true;
}

void CaptureSource::removeCreated()
{
    if (madeFifo_)
        ::unlink(path_.c_str());
    madeFifo_ = false;
}

std::size_t CaptureSource::read(char *buffer, std::size_t size)
{
    backlog_ = false;
    if (fifo_) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            log_.push_back(systemError("cannot read " + path_));
        return 0;
    }

    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd_ >= 0) {
            log_.push_back(path_ + " went away: waiting for it to come back");
            ::close(fd_);
            fd_ = -1;
        }
        return 0;
    }
    if (fd_ < 0 || info.st_dev != dev_ || info.st_ino != ino_) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
        dev_ = info.st_dev;
        ino_ = info.st_ino;
        offset_ = 0;
        log_.push_back("reading " + path_ + " from its start");
    }
    const bool rewritten = info.st_size == offset_
                           && (info.st_mtim.tv_sec != modified_.tv_sec || info.st_mtim.tv_nsec != modified_.tv_nsec);
    if (info.st_size < offset_ || (rewritten && offset_ > 0)) {
        log_.push_back(path_ + " was emptied: reading it from its start");
        offset_ = 0;
    }
    modified_ = info.st_mtim;
    if (info.st_size == offset_)
        return 0;
    const auto wanted = static_cast<std::size_t>(std::min<off_t>(info.st_size - offset_, static_cast<off_t>(size)));
    ssize_t n;
    do {
        n = ::pread(fd_, buffer, wanted, offset_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0)
            log_.push_back(systemError("cannot read " + path_));
        return 0;
    }
    offset_ += n;
    backlog_ = info.st_size > offset_;
    return static_cast<std::size_t>(n);
}

std::vector<std::string> CaptureSource::takeLog()
{
    return std::exchange(log_, {});
}

}  // namespace sim
