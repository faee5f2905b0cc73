/* Capture backend of the private print server: installed as backend/parallel in the
   server's ServerBin, it appends each job's bytes to the file named by the environment
   variable LOADER_CAPTURE_PATH (see tests/support/cups/README.md for the contract). */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Exit codes understood by the print server. */
enum { BACKEND_OK = 0, BACKEND_FAILED = 1 };

static int write_all(int fd, const char *data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        length -= (size_t)n;
    }
    return 0;
}

int main(int argc, char **argv)
{
    /* Without arguments the server asks which devices the backend offers. */
    if (argc == 1) {
        puts("direct parallel:/dev/lp0 \"Capture\" \"Loader test capture (LPT1)\"");
        puts("direct parallel:/dev/lp1 \"Capture\" \"Loader test capture (LPT2)\"");
        return BACKEND_OK;
    }
    if (argc != 6 && argc != 7) {
        fprintf(stderr, "ERROR: usage: %s job user title copies options [file]\n", argv[0]);
        return BACKEND_FAILED;
    }

    const char *path = getenv("LOADER_CAPTURE_PATH");
    if (!path || !*path) {
        fputs("ERROR: LOADER_CAPTURE_PATH is not set\n", stderr);
        return BACKEND_FAILED;
    }

    int in = STDIN_FILENO;
    if (argc == 7 && (in = open(argv[6], O_RDONLY | O_CLOEXEC)) < 0) {
        fprintf(stderr, "ERROR: cannot open %s: %s\n", argv[6], strerror(errno));
        return BACKEND_FAILED;
    }

    /* O_APPEND without O_TRUNC: several jobs accumulate, and a FIFO works (open waits for its reader). */
    int out = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (out < 0) {
        fprintf(stderr, "ERROR: cannot open %s: %s\n", path, strerror(errno));
        return BACKEND_FAILED;
    }

    static char buffer[65536];
    long long total = 0;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "ERROR: cannot read the job: %s\n", strerror(errno));
            return BACKEND_FAILED;
        }
        if (n == 0)
            break;
        if (write_all(out, buffer, (size_t)n) != 0) {
            fprintf(stderr, "ERROR: cannot write %s: %s\n", path, strerror(errno));
            return BACKEND_FAILED;
        }
        total += n;
    }
    if (close(out) != 0) {
        fprintf(stderr, "ERROR: cannot write %s: %s\n", path, strerror(errno));
        return BACKEND_FAILED;
    }
    fprintf(stderr, "INFO: captured %lld bytes\n", total);
    return BACKEND_OK;
}
