#pragma once
// The complete write: every byte handed to the system, however many calls it
// takes. Plain C++17 and POSIX (the converter and the decoder simulator link it
// too); every function returns 0 or the errno of the failure.

#include <cerrno>
#include <cstddef>
#include <sys/uio.h>

// Writes all of size bytes at data to fd, again after a short write or a
// signal. A write that takes no byte and sets no errno fails with
// noProgressError. On a non-blocking fd whose queue is full it stops with
// EAGAIN (or EWOULDBLOCK); written, when given, holds how many bytes went,
// whatever the outcome.
int writeAll(int fd, const void *data, std::size_t size, std::size_t *written = nullptr, int noProgressError = ENOSPC);
// The same for count buffers (pieces are changed as they are written).
int writeAll(int fd, iovec *pieces, std::size_t count, std::size_t *written = nullptr, int noProgressError = ENOSPC);
