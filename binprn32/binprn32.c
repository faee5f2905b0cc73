/* The raw-print library: streams a file as one raw CUPS job to the default destination. */
#define _POSIX_C_SOURCE 200809L

#include "binprn32.h"
#include "binprn32_io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Connecting and every request before the document (finding the default destination,
   creating the job) must be done within this time, so that a server that accepts
   connections but never answers holds the caller about three seconds, not longer. */
#define PREPARE_TIMEOUT_MS BINPRN32_PREPARE_TIMEOUT_MS
/* How often libcups hands control to the deadline check while it waits for an answer. */
#define PREPARE_POLL_S 0.1
/* Once the document goes out, a server that stops taking data for this long fails the
   send; a large image may take as long as it needs while the server keeps reading. */
#define DOCUMENT_TIMEOUT_S 30.0

static int system_open_file(void *context, const char *path)
{
    (void)context;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

static ssize_t system_read_file(void *context, int fd, void *buffer, size_t size)
{
    (void)context;
    ssize_t n;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

static http_status_t system_write_data(void *context, http_t *http, const char *buffer, size_t length)
{
    (void)context;
    return cupsWriteRequestData(http, buffer, length);
}

static ipp_status_t system_finish_document(void *context, http_t *http, const char *destination)
{
    (void)context;
    return cupsFinishDocument(http, destination);
}

const binprn32_io binprn32_system_io = {
    NULL, system_open_file, system_read_file, system_write_data, system_finish_document,
};

/* Fills the whole buffer unless the file ends first; a short read(2) alone does not end the file. */
static ssize_t read_chunk(const binprn32_io *io, int fd, char *buffer, size_t size)
{
    size_t filled = 0;
    while (filled < size) {
        ssize_t n = io->read_file(io->context, fd, buffer + filled, size - filled);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += (size_t)n;
    }
    return (ssize_t)filled;
}

/* Without a timeout callback libcups would block for ever in a write to a server that
   stopped reading; this one gives up at the first timeout. */
static int give_up(http_t *http, void *data)
{
    (void)http;
    (void)data;
    return 0;
}

static long long now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Keeps libcups waiting for an answer until the deadline (milliseconds of CLOCK_MONOTONIC). */
static int until_deadline(http_t *http, void *data)
{
    (void)http;
    return now_ms() < *(const long long *)data;
}

/* Connects within what is left until *deadline; requests on the connection then give up
   at that deadline too. */
static http_t *connect_server(const long long *deadline)
{
    long long left = *deadline - now_ms();
    if (left <= 0)
        return NULL;
    http_t *http = httpConnect2(cupsServer(), ippPort(), NULL, AF_UNSPEC, cupsEncryption(), 1, (int)left, NULL);
    if (http)
        httpSetTimeout(http, PREPARE_POLL_S, until_deadline, (void *)deadline);
    return http;
}

/* Best effort: a job whose document did not arrive complete must never print. */
static void cancel_job(const char *destination, int job_id)
{
    const long long deadline = now_ms() + PREPARE_TIMEOUT_MS;
    http_t *http = connect_server(&deadline);
    if (!http)
        return;
    cupsCancelJob2(http, destination, job_id, 0);
    httpClose(http);
}

static const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* True when the last request failed for want of an answer rather than by the server's answer. */
static int server_lost(http_t *http)
{
    return httpError(http) != 0 || cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
}

/* Sends the document whose first chunk is already in buffer; the connection is closed on return. */
static int16_t send_document(const binprn32_io *io, http_t *http, int fd, char *buffer, size_t first_length,
                             const char *title, int32_t *job_out)
{
    cups_dest_t *dest = cupsGetNamedDest(http, NULL, NULL);
    if (!dest) {
        int16_t code = server_lost(http) ? BINPRN32_ERR_NO_SERVER : BINPRN32_ERR_NO_DEFAULT;
        httpClose(http);
        return code;
    }

    int job_id = cupsCreateJob(http, dest->name, title, 0, NULL);
    if (job_id <= 0) {
        int16_t code = server_lost(http) ? BINPRN32_ERR_NO_SERVER : BINPRN32_ERR_JOB_REFUSED;
        httpClose(http);
        cupsFreeDests(1, dest);
        return code;
    }

    /* The server has answered: the document may take as long as it needs. */
    httpSetTimeout(http, DOCUMENT_TIMEOUT_S, give_up, NULL);
    int16_t code = BINPRN32_OK;
    if (cupsStartDocument(http, dest->name, job_id, title, CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
        code = BINPRN32_ERR_NOT_ACCEPTED;
    } else {
        size_t length = first_length;
        while (length > 0) {
            if (io->write_data(io->context, http, buffer, length) != HTTP_STATUS_CONTINUE) {
                code = BINPRN32_ERR_NOT_ACCEPTED;
                break;
            }
            ssize_t n = read_chunk(io, fd, buffer, BINPRN32_CHUNK_SIZE);
            if (n < 0) {
                code = BINPRN32_ERR_READ;
                break;
            }
            length = (size_t)n;
        }
        if (code == BINPRN32_OK && io->finish_document(io->context, http, dest->name) != IPP_STATUS_OK)
            code = BINPRN32_ERR_NOT_ACCEPTED;
    }

    /* Closing first ends a document left half-sent on this connection. */
    httpClose(http);
    if (code != BINPRN32_OK)
        cancel_job(dest->name, job_id);
    else if (job_out)
        *job_out = job_id;
    cupsFreeDests(1, dest);
    return code;
}

/* Checks and opens the file and reads its first chunk; on failure returns the code and leaves nothing open. */
static int16_t open_image(const binprn32_io *io, const char *path, int *fd, char *buffer, size_t *first_length)
{
    if (!path || !*path)
        return BINPRN32_ERR_FILE_MISSING;

    struct stat info;
    if (stat(path, &info) != 0)
        return (errno == ENOENT || errno == ENOTDIR) ? BINPRN32_ERR_FILE_MISSING : BINPRN32_ERR_CANNOT_OPEN;
    if (!S_ISREG(info.st_mode))
        return BINPRN32_ERR_NOT_REGULAR;

    *fd = io->open_file(io->context, path);
    if (*fd < 0)
        return errno == ENOENT ? BINPRN32_ERR_FILE_MISSING : BINPRN32_ERR_CANNOT_OPEN;

    /* The size that stat reports cannot be trusted (files under /proc report 0): read to find out. */
    ssize_t n = read_chunk(io, *fd, buffer, BINPRN32_CHUNK_SIZE);
    if (n <= 0) {
        close(*fd);
        *fd = -1;
        return n < 0 ? BINPRN32_ERR_READ : BINPRN32_ERR_EMPTY;
    }
    *first_length = (size_t)n;
    return BINPRN32_OK;
}

int16_t binprn32_send_to_default(const binprn32_io *io, const char *path, int32_t *job_id)
{
    if (job_id)
        *job_id = 0;
    char *buffer = malloc(BINPRN32_CHUNK_SIZE);
    if (!buffer)
        return BINPRN32_ERR_READ;

    int fd = -1;
    size_t first_length = 0;
    int16_t code = open_image(io, path, &fd, buffer, &first_length);
    if (code != BINPRN32_OK) {
        free(buffer);
        return code;
    }

    /* A server closing the connection under a write raises SIGPIPE, which would end the
       calling program; it is held back in this thread and discarded if it was not
       already pending before. */
    sigset_t pipe_set, old_mask, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigpending(&pending);
    int pipe_was_pending = sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);

    const long long deadline = now_ms() + PREPARE_TIMEOUT_MS;
    http_t *http = connect_server(&deadline);
    if (!http)
        code = BINPRN32_ERR_NO_SERVER;
    else
        code = send_document(io, http, fd, buffer, first_length, base_name(path), job_id);

    if (!pipe_was_pending) {
        const struct timespec no_wait = {0, 0};
        while (sigtimedwait(&pipe_set, NULL, &no_wait) > 0) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, NULL);

    close(fd);
    free(buffer);
    return code;
}

int16_t vbSendPrnToDefPrinter(const char *path)
{
    return binprn32_send_to_default(&binprn32_system_io, path, NULL);
}

int16_t vbSendPrnToDefPrinterJob(const char *path, int32_t *job_id)
{
    return binprn32_send_to_default(&binprn32_system_io, path, job_id);
}

int32_t vbGetDefPrinterName(char *name)
{
    (void)name;
    return 0;
}
