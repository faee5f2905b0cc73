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

#include "common/safe_save.h"
#include "common/write_all.h"
#include "sparse_image.h"
#include "srec_parser.h"

namespace srec2bin {

namespace {

// Small enough to stay in the processor's cache between the kernel's copy and the parse: larger
// blocks measured a fifth slower.
constexpr size_t kReadBlockSize = size_t(64) << 10;
constexpr size_t kWriteBatch = 1024;  // pieces per writev(), within every system's IOV_MAX

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
        SignalsBlocked blocked;
        std::string path;
        if (const int error = safe_save::createTemporary(output_, mode, path, &fd_))
            return error;
        std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
        g_tempArmed = 1;
        path_ = path;
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

ConvertResult failure(ExitCode code, const std::string &file, const std::string &what)
{
    return ConvertResult{code, file + ": " + what, {}};
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

    // The file that the output's links lead to, and none that another user planted in a shared
    // folder: that file is replaced through a temporary file, and the links stay.
    std::string file;
    bool throughProc = false;
    if (const int error = safe_save::saveTarget(output, file, throughProc))
        return failure(kExitIo, output, reason(error));
    struct stat outputStat {};
    const bool outputExists = ::stat(output.c_str(), &outputStat) == 0;
    if (outputExists && outputStat.st_dev == inputStat.st_dev && outputStat.st_ino == inputStat.st_ino)
        return failure(kExitUsage, output, "is the input file itself; the output must be another file");
    if (outputExists && S_ISDIR(outputStat.st_mode))
        return failure(kExitIo, output, reason(EISDIR));
    if (!outputExists && errno != ENOENT)
        return failure(kExitIo, output, reason(errno));

    // A device, a FIFO or standard output (whatever it is) is written into: a rename would put a
    // plain file in its place. So is a file that the links do not lead to by path.
    struct stat fileStat {};
    const bool inPlace = (outputExists && !S_ISREG(outputStat.st_mode)) || throughProc
                         || (outputExists
                             && (::lstat(file.c_str(), &fileStat) != 0 || fileStat.st_dev != outputStat.st_dev
                                 || fileStat.st_ino != outputStat.st_ino));

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
        if (const int error = temp.create(safe_save::saveMode(outputExists ? &outputStat : nullptr))) {
            struct stat folderStat {};
            const std::string folder = safe_save::folderOf(file);
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
