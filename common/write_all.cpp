#include "common/write_all.h"

#include <unistd.h>

int writeAll(int fd, const void *data, std::size_t size, std::size_t *written, int noProgressError)
{
    iovec piece{const_cast<void *>(data), size};
    return writeAll(fd, &piece, 1, written, noProgressError);
}

int writeAll(int fd, iovec *pieces, std::size_t count, std::size_t *written, int noProgressError)
{
    std::size_t total = 0;
    if (written)
        *written = 0;
    while (count > 0 && pieces->iov_len == 0) {
        ++pieces;
        --count;
    }
    while (count > 0) {
        const ssize_t n = ::writev(fd, pieces, int(count));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return noProgressError;
        auto left = std::size_t(n);
        total += left;
        if (written)
            *written = total;
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
