#include "converter.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "sparse_image.h"
#include "srec_parser.h"

namespace srec2bin {

namespace {

// Small enough to stay in the processor's cache between the kernel's copy and the parse: larger
// blocks measured a fifth slower.
constexpr size_t kReadBlockSize = size_t(64) << 10;
constexpr size_t kWriteBatch = 1024;  // pieces per writev(), within every system's IOV_MAX

// The temporary output as the signal handler sees it: a fixed buffer and a flag, both safe to
// read from a handler.
char g_tempPath[PATH_MAX + 1];
volatile sig_atomic_t g_tempArmed = 0;

extern "C" void removeTempAndDie(int signalNumber)
{
    if (g_tempArmed)
        ::unlink(g_tempPath);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Blocks the signals whose handler reads g_tempPath while the temporary file changes state, so
// that a signal never finds a file that exists but is not yet (or no longer) recorded.
class FatalSignalsBlocked {
public:
    FatalSignalsBlocked()
    {
        sigset_t fatal;
        sigemptyset(&fatal);
        sigaddset(&fatal, SIGINT);
        sigaddset(&fatal, SIGTERM);
        sigaddset(&fatal, SIGHUP);
        sigprocmask(SIG_BLOCK, &fatal, &previous_);
    }
    ~FatalSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    FatalSignalsBlocked(const FatalSignalsBlocked&) = delete;
    FatalSignalsBlocked& operator=(const FatalSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

std::string reason(int error)
{
    return std::strerror(error);
}

// A file descriptor for reading, closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The temporary file that becomes the output: created beside it, renamed over it by commit(),
// removed by the destructor when not committed.
class TempOutput {
public:
    explicit TempOutput(std::string output) : output_(std::move(output)) {}
    ~TempOutput() { discard(); }
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    // Creates the file with the given permissions; returns 0 or the errno of the failure.
    int create(mode_t mode)
    {
        const size_t slash = output_.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : output_.substr(0, slash + 1);
        // Short enough a name for every file system, whatever the length of the output's name.
        const std::string name = output_.substr(slash == std::string::npos ? 0 : slash + 1, 200);
        std::string path = folder + "." + name + ".XXXXXX";
        if (path.size() > PATH_MAX)
            return ENAMETOOLONG;
        {
            FatalSignalsBlocked blocked;
            const int fd = ::mkostemp(path.data(), O_CLOEXEC);
            if (fd < 0)
                return errno;
            fd_ = fd;
            std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
            g_tempArmed = 1;
        }
        path_ = path;
        if (::fchmod(fd_, mode) != 0)
            return errno;
        return 0;
    }

    int fd() const { return fd_; }

    // Makes the written file the output; returns 0 or the errno of the failure (the file is then
    // removed by the destructor). No fsync(): the rename already keeps a partial image from ever
    // showing, the image can be made again from its source after a system crash, and syncing would
    // cost more than the whole conversion of a small file.
    int commit()
    {
        const int closeError = closeFd();
        if (closeError != 0)
            return closeError;
        FatalSignalsBlocked blocked;
        if (::rename(path_.c_str(), output_.c_str()) != 0)
            return errno;
        g_tempArmed = 0;
        path_.clear();
        return 0;
    }

private:
    int closeFd()
    {
        int error = 0;
        if (fd_ >= 0 && ::close(fd_) != 0)
            error = errno;
        fd_ = -1;
        return error;
    }

    void discard()
    {
        closeFd();
        if (path_.empty())
            return;
        FatalSignalsBlocked blocked;
        ::unlink(path_.c_str());
        g_tempArmed = 0;
        path_.clear();
    }

    std::string output_;
    std::string path_;
    int fd_ = -1;
};

// Writes all of the count buffers; returns 0 or the errno of the failure.
int writeAll(int fd, iovec* pieces, size_t count)
{
    while (count > 0) {
        const ssize_t written = ::writev(fd, pieces, int(count));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        auto left = size_t(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return 0;
}

// Writes the whole image to fd; returns 0 or the errno of the failure.
int writeImage(int fd, const SparseImage& image)
{
    std::vector<iovec> batch;
    batch.reserve(kWriteBatch);
    int error = 0;
    auto flush = [&] {
        error = writeAll(fd, batch.data(), batch.size());
        batch.clear();
        return error == 0;
    };
    const bool written = image.forEachPiece([&](const uint8_t* data, size_t size) {
        batch.push_back(iovec{const_cast<uint8_t*>(data), size});
        return batch.size() < kWriteBatch || flush();
    });
    if (written)
        flush();
    return error;
}

// Permissions for the new output: those of the file it replaces, else what a new file gets.
mode_t outputMode(const struct stat* existing)
{
    if (existing)
        return existing->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

ConvertResult failure(ExitCode code, const std::string& file, const std::string& what)
{
    return ConvertResult{code, file + ": " + what};
}

ConvertResult convert(const ConvertOptions& options)
{
    const std::string& input = options.input;
    const std::string& output = options.output;

    FileDescriptor in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return failure(kExitIo, input, "cannot open: " + reason(errno));
    struct stat inputStat {};
    if (::fstat(in.get(), &inputStat) != 0)
        return failure(kExitIo, input, "cannot read: " + reason(errno));

    struct stat outputStat {};
    const bool outputExists = ::stat(output.c_str(), &outputStat) == 0;
    if (outputExists && outputStat.st_dev == inputStat.st_dev && outputStat.st_ino == inputStat.st_ino)
        return failure(kExitUsage, output, "is the input file itself; the output must be another file");
    if (outputExists && S_ISDIR(outputStat.st_mode))
        return failure(kExitIo, output, reason(EISDIR));
    if (!outputExists && errno != ENOENT)
        return failure(kExitIo, output, reason(errno));

    // One pass over the input, block by block.
    SparseImage image(options.fill, options.maxSize);
    SrecParser parser(image);
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<char[]> block(new char[kReadBlockSize]);
    bool parsed = true;
    for (;;) {
        const ssize_t got = ::read(in.get(), block.get(), kReadBlockSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure(kExitIo, input, "cannot read: " + reason(errno));
        }
        if (got == 0) {
            parsed = parser.finish();
            break;
        }
        if (!parser.feed(block.get(), size_t(got))) {
            parsed = false;
            break;
        }
    }
    in.reset();
    block.reset();
    if (!parsed) {
        const ParseError& error = parser.error();
        const std::string where = error.line == 0 ? input : input + ":" + std::to_string(error.line);
        return failure(kExitBadInput, where, error.message);
    }

    TempOutput temp(output);
    if (const int error = temp.create(outputMode(outputExists ? &outputStat : nullptr)))
        return failure(kExitIo, output, "cannot create a temporary file beside it: " + reason(error));
    if (const int error = writeImage(temp.fd(), image))
        return failure(kExitIo, output, "cannot write: " + reason(error));
    if (const int error = temp.commit())
        return failure(kExitIo, output, "cannot write: " + reason(error));
    return ConvertResult{};
}

}  // namespace

ConvertResult convertFile(const ConvertOptions& options)
{
    try {
        return convert(options);
    } catch (const std::bad_alloc&) {
        return failure(kExitIo, options.input, "not enough memory for the image");
    }
}

void installSignalHandlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = removeTempAndDie;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}

}  // namespace srec2bin
