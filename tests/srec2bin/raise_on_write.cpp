// Preloaded into srec2bin by the signal tests: at the first writev() into a regular file, that is
// while the image goes into the hidden temporary output, it raises the signal whose number is in
// SREC2BIN_RAISE_SIGNAL. The signal so arrives at the one moment when there is a file to clean up.
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>

extern "C" ssize_t writev(int fd, const struct iovec *pieces, int count)
{
    using Writev = ssize_t (*)(int, const struct iovec *, int);
    static const auto next = reinterpret_cast<Writev>(dlsym(RTLD_NEXT, "writev"));
    static bool raised = false;
    struct stat info {};
    const char *number = std::getenv("SREC2BIN_RAISE_SIGNAL");
    if (!raised && number && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        raised = true;
        std::raise(std::atoi(number));
    }
    return next(fd, pieces, count);
}
