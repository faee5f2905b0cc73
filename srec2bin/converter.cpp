#include "converter.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include "sparse_image.h"
#include "srec_parser.h"

namespace srec2bin {

namespace {

// Small enough to stay in the processor's cache between the kernel's copy and the parse: larger
// blocks measured a fifth slower.
constexpr size_t kReadBlockSize = size_t(64) << 10;
constexpr size_t kWriteBatch = 1024;   // pieces per writev(), within every system's IOV_MAX
constexpr int kMaxLinks = 40;          // links followed from the output to its file, as the kernel does
constexpr long kProcFsMagic = 0x9fa0;  // f_type of /proc (linux/magic.h)

#if defined(__SANITIZE_ADDRESS__)
#define SREC2BIN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SREC2BIN_ADDRESS_SANITIZER 1
#endif
#endif

// The temporary output as the signal handler sees it: a fixed buffer and a flag, both safe to
// read from a handler.
char g_tempPath[PATH_MAX + 1];
volatile sig_atomic_t g_tempArmed = 0;

// Removes the temporary output, then ends the program by the same signal as if it had not been
// caught (exit status, core file). Only async-signal-safe calls.
extern "C" void removeTempAndDie(int signalNumber)
{
    if (g_tempArmed)
        ::unlink(g_tempPath);
    struct sigaction unhandled {};
    unhandled.sa_handler = SIG_DFL;
    sigemptyset(&unhandled.sa_mask);
    ::sigaction(signalNumber, &unhandled, nullptr);
    // The signal stays blocked while its handler runs: it arrives again, unhandled, on return.
    ::raise(signalNumber);
}

// Blocks every signal while the temporary file changes state, so that the handler never finds a
// file that exists but is not yet (or no longer) recorded.
class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

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
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
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

// The folder part of a path, for messages: "." for a bare name.
std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file that becomes the output file: created beside it, renamed over it by
// commit(), removed by the destructor when not committed.
class TempOutput {
public:
    explicit TempOutput(std::string output) : output_(std::move(output)) {}
    ~TempOutput() { discard(); }
    TempOutput(const TempOutput &) = delete;
    TempOutput &operator=(const TempOutput &) = delete;

    // Creates the file with the given permissions; returns 0 or the errno of the failure.
    int create(mode_t mode)
    {
        const size_t slash = output_.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : output_.substr(0, slash + 1);
        long nameMax = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
        if (nameMax <= 0)
            nameMax = NAME_MAX;
        std::string path = folder + temporaryName(output_.substr(folder.size()), nameMax);
        if (path.size() > PATH_MAX)
            return ENAMETOOLONG;
        {
            SignalsBlocked blocked;
            const int fd = ::mkostemp(path.data(), O_CLOEXEC);
            if (fd < 0)
                return errno;
            fd_ = fd;
            std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
            g_tempArmed = 1;
        }
        path_ = path;
        // Best effort: FAT and exFAT volumes give every file the owner and mode of the mount, and
        // refuse the change to anyone but that owner; the image is written all the same.
        static_cast<void>(::fchmod(fd_, mode));
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
        SignalsBlocked blocked;
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
        SignalsBlocked blocked;
        ::unlink(path_.c_str());
        g_tempArmed = 0;
        path_.clear();
    }

    std::string output_;
    std::string path_;
    int fd_ = -1;
};

// Writes all of the count buffers; returns 0 or the errno of the failure.
int writeAll(int fd, iovec *pieces, size_t count)
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
            pieces->iov_base = static_cast<char *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return 0;
}

// Writes the whole image to fd; returns 0 or the errno of the failure.
int writeImage(int fd, const SparseImage &image)
{
    std::vector<iovec> batch;
    batch.reserve(kWriteBatch);
    int error = 0;
    auto flush = [&] {
        error = writeAll(fd, batch.data(), batch.size());
        batch.clear();
        return error == 0;
    };
    const bool written = image.forEachPiece([&](const uint8_t *data, size_t size) {
        batch.push_back(iovec{const_cast<uint8_t *>(data), size});
        return batch.size() < kWriteBatch || flush();
    });
    if (written)
        flush();
    return error;
}

// Permissions for the new output: those of the file it replaces, else what a new file gets.
mode_t outputMode(const struct stat *existing)
{
    if (existing)
        return existing->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

ConvertResult failure(ExitCode code, const std::string &file, const std::string &what)
{
    return ConvertResult{code, file + ": " + what, {}};
}

// The file that the output path names through the symbolic links of its last part, one link
// leading to the next, relative or absolute: that file is replaced and the links stay. A path
// that is no link is its own file, whether it exists or not. A link of /proc (/dev/stdout leads
// to /proc/self/fd/1) names an open file rather than a path: throughProc is then set and file is
// left empty. Returns 0 or the errno of the failure.
int followLinks(const std::string &output, std::string &file, bool &throughProc)
{
    std::string current = output;
    throughProc = false;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            file = current;
            return 0;
        }
        struct statfs folder {};
        if (::statfs(folderOf(current).c_str(), &folder) == 0 && long(folder.f_type) == kProcFsMagic) {
            throughProc = true;
            return 0;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t size = ::readlink(current.c_str(), target.data(), target.size());
        if (size < 0)
            return errno;
        if (size_t(size) >= target.size())
            return ENAMETOOLONG;
        target.resize(size_t(size));
        const size_t slash = current.rfind('/');
        if (target[0] != '/' && slash != std::string::npos)
            target.insert(0, current, 0, slash + 1);
        current = std::move(target);
    }
    return ELOOP;
}

// Writes the image straight into an output that cannot be replaced by another file: a device, a
// FIFO, standard output. What was written stays even when a later write fails.
ConvertResult writeInPlace(const std::string &output, const SparseImage &image)
{
    const int fd = ::open(output.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failure(kExitIo, output, "cannot open for writing: " + reason(errno));
    int error = writeImage(fd, image);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        return failure(kExitIo, output, "cannot write: " + reason(error));
    return ConvertResult{};
}

ConvertResult convert(const ConvertOptions &options)
{
    const std::string &input = options.input;
    const std::string &output = options.output;

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

    // A device, a FIFO or standard output (whatever it is) is written into: a rename would put a
    // plain file in its place. Anything else is replaced through a temporary file, at the file that
    // the output's links lead to.
    bool inPlace = outputExists && !S_ISREG(outputStat.st_mode);
    std::string file;
    if (!inPlace) {
        bool throughProc = false;
        if (const int error = followLinks(output, file, throughProc))
            return failure(kExitIo, output, reason(error));
        struct stat fileStat {};
        inPlace = throughProc
                  || (outputExists
                      && (::lstat(file.c_str(), &fileStat) != 0 || fileStat.st_dev != outputStat.st_dev
                          || fileStat.st_ino != outputStat.st_ino));
    }

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
        const ParseError &error = parser.error();
        const std::string where = error.line == 0 ? input : input + ":" + std::to_string(error.line);
        return failure(kExitBadInput, where, error.message);
    }

    ConvertResult result;
    if (inPlace) {
        result = writeInPlace(output, image);
    } else {
        TempOutput temp(file);
        if (const int error = temp.create(outputMode(outputExists ? &outputStat : nullptr))) {
            struct stat folderStat {};
            const std::string folder = folderOf(file);
            if (error == ENOENT && ::stat(folder.c_str(), &folderStat) != 0 && errno == ENOENT)
                return failure(kExitIo, output, "the folder " + folder + " does not exist");
            return failure(kExitIo, output, "cannot create a temporary file beside it: " + reason(error));
        }
        if (const int error = writeImage(temp.fd(), image))
            return failure(kExitIo, output, "cannot write: " + reason(error));
        if (const int error = temp.commit())
            return failure(kExitIo, output, "cannot write: " + reason(error));
    }
    // A file cut short at a line end reads like a whole one, but for its missing end record.
    if (result.code == kExitOk && !parser.endRecordSeen())
        result.warnings.push_back(input + ": no end record (S7, S8 or S9): the file may be cut short");
    return result;
}

}  // namespace

std::string temporaryName(const std::string &name, long nameMax)
{
    // "." and ".XXXXXX" around the name, cut to fit the limit but never inside a UTF-8 character
    // (exFAT refuses names that are no valid UTF-8). Other bytes are cut where the limit falls.
    constexpr long kAround = 8;
    size_t length = std::min(name.size(), size_t(std::max(nameMax - kAround, 0L)));
    if (length < name.size()) {
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80)
            --length;
    }
    return "." + name.substr(0, length) + ".XXXXXX";
}

ConvertResult convertFile(const ConvertOptions &options)
{
    try {
        return convert(options);
    } catch (const std::bad_alloc &) {
        return failure(kExitIo, options.input, "not enough memory for the image");
    }
}

void installSignalHandlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    // Beyond a file-size limit a write then fails with EFBIG and is reported like any other.
    std::signal(SIGXFSZ, SIG_IGN);

    // Every catchable signal whose default action ends the program. The processor's faults are left
    // to AddressSanitizer in its builds, which reports them itself.
    std::vector<int> ending = {SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM,
                               SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO};
#ifdef SIGPWR
    ending.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    ending.push_back(SIGSTKFLT);
#endif
#ifndef SREC2BIN_ADDRESS_SANITIZER
    ending.insert(ending.end(), {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS});
#endif
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
        ending.push_back(signalNumber);

    struct sigaction action {};
    action.sa_handler = removeTempAndDie;
    sigfillset(&action.sa_mask);
    // One call a signal (system calls are most of a small file's run time), all blocked meanwhile:
    // a signal the caller chose to ignore (nohup, a background job) gets its SIG_IGN back before
    // it can be delivered, and so stays ignored.
    SignalsBlocked blocked;
    for (int signalNumber : ending) {
        struct sigaction previous {};
        if (::sigaction(signalNumber, &action, &previous) == 0 && previous.sa_handler == SIG_IGN)
            ::sigaction(signalNumber, &previous, nullptr);
    }
}

}  // namespace srec2bin
