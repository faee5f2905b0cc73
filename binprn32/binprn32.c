/* The raw-print library: streams a file as one raw CUPS job to the default destination. */
#define _POSIX_C_SOURCE 200809L

#include "binprn32.h"
#include "binprn32_io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Connecting and every request before the document (finding the default destination,
   creating the job) must be done within this time, so that a server that accepts
   connections but never answers holds the caller about three seconds, not longer. */
#define PREPARE_TIMEOUT_MS BINPRN32_PREPARE_TIMEOUT_MS
/* Once the document goes out, a server that stops taking data for this long fails the
   send (a large image may take as long as it needs while the server keeps reading), and
   after the last byte the server must have answered the document's request within it. */
#define STALL_TIMEOUT_MS BINPRN32_STALL_TIMEOUT_MS
/* The longest pause accepted inside an answer of the server, in milliseconds, and the
   longest single wait before the deadline is looked at again. libcups spends up to a
   second after a request before its own wait begins, so 2 s keep a deadline of 3 s. */
#define ANSWER_PAUSE_MS 2000
/* The longest job name the server accepts (an IPP name), in bytes. */
#define JOB_NAME_MAX 255

/* Never blocks: a FIFO opens at once (and is then refused by its type), a device does
   not wait for a carrier. The caller clears O_NONBLOCK once it knows the file is regular. */
static int system_open_file(void *context, const char *path)
{
    (void)context;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
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

/* Ends the document and reads the server's answer to its request. No answer (the server
   closed the connection, or stayed silent until the connection's timeout gave up) is
   IPP_STATUS_ERROR_SERVICE_UNAVAILABLE, never the status of some earlier request. */
static ipp_status_t system_finish_document(void *context, http_t *http, const char *destination)
{
    (void)context;
    char resource[1024];
    snprintf(resource, sizeof resource, "/printers/%s", destination);
    ipp_t *response = cupsGetResponse(http, resource);
    if (!response)
        return IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    ipp_status_t status = ippGetStatusCode(response);
    ippDelete(response);
    return status;
}

const binprn32_io binprn32_system_io = {
    NULL, system_open_file, system_read_file, system_write_data, system_finish_document,
};

/* Fills the whole buffer unless the file ends first; a short read(2) alone does not end the file.
   Never asks for more than size bytes, so nothing past the image's size is read. */
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

static int until_deadline(http_t *http, void *data);

/* Lets libcups wait for the server until *deadline (milliseconds of CLOCK_MONOTONIC), and
   no longer, in waits of what is left, up to ANSWER_PAUSE_MS. libcups takes that wait also
   as the longest pause it accepts inside an answer (its reader of IPP answers does not
   ask the callback), so it must never be a short polling interval: that fails the answer
   of a busy server that comes in parts, after the server has acted on the request (a job
   created, a document taken). Once the deadline has passed, every further wait (libcups
   reads on after a failed request, to leave the connection clean) is cut to nothing. */
static void wait_until(http_t *http, const long long *deadline)
{
    long long left = *deadline - now_ms();
    if (left > ANSWER_PAUSE_MS)
        left = ANSWER_PAUSE_MS;
    /* libcups turns a wait below one millisecond into a minute. */
    if (left < 2)
        left = 2;
    httpSetTimeout(http, (double)left / 1000.0, until_deadline, (void *)deadline);
}

/* Called by libcups at the end of each wait without data: waits on while the deadline is
   ahead, each next wait cut to what is left. */
static int until_deadline(http_t *http, void *data)
{
    const long long *deadline = data;
    wait_until(http, deadline);
    return now_ms() < *deadline;
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
        wait_until(http, deadline);
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

/* Length of the valid UTF-8 sequence at text (1 to 4), or 0 when none starts there. */
static size_t utf8_length(const unsigned char *text)
{
    unsigned char c = text[0];
    size_t length;
    unsigned int min;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    unsigned int code = c & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (text[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

/* The job's name from the file's name: a valid UTF-8 text of at most JOB_NAME_MAX bytes in
   which control characters (C0, DEL, C1) and bytes that are not UTF-8 show as \xHH, so that
   a newline or an escape sequence in a file name never reaches a queue listing raw. A name
   too long is cut at a character and ends in "...". */
static void make_job_name(const char *file_name, char *name)
{
    static const char hex[] = "0123456789ABCDEF";
    const unsigned char *in = (const unsigned char *)file_name;
    size_t used = 0;
    while (*in) {
        char unit[16];
        size_t unit_length = 0;
        size_t length = utf8_length(in);
        int control = length == 1 ? (*in < 0x20 || *in == 0x7F) : (length == 2 && in[0] == 0xC2 && in[1] < 0xA0);
        if (length == 0 || control) {
            size_t bytes = length ? length : 1;
            for (size_t i = 0; i < bytes; ++i) {
                unit[unit_length++] = '\\';
                unit[unit_length++] = 'x';
                unit[unit_length++] = hex[in[i] >> 4];
                unit[unit_length++] = hex[in[i] & 0x0F];
            }
            in += bytes;
        } else {
            memcpy(unit, in, length);
            unit_length = length;
            in += length;
        }
        /* Room for what follows: "..." unless this is the last unit and it fits whole. */
        size_t reserve = *in ? 3 : 0;
        if (used + unit_length + reserve > JOB_NAME_MAX) {
            /* Every unit so far left room for the "...". */
            memcpy(name + used, "...", 3);
            used += 3;
            break;
        }
        memcpy(name + used, unit, unit_length);
        used += unit_length;
    }
    name[used] = '\0';
}

/* True when the last request failed for want of an answer rather than by the server's answer. */
static int server_lost(http_t *http)
{
    return httpError(http) != 0 || cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
}

/* The image as opened: its descriptor, its size at the open, and what has been sent of it. */
struct image {
    int fd;
    int64_t size;
    int64_t sent;
};

/* Reads the next chunk of the image, never past its size at the open: the length read
   (0 once the whole size has been read), or a negative code when the file fails or yields
   fewer bytes than its size. */
static ssize_t next_chunk(const binprn32_io *io, struct image *image, int64_t done, char *buffer)
{
    int64_t left = image->size - done;
    size_t want = left < BINPRN32_CHUNK_SIZE ? (size_t)left : BINPRN32_CHUNK_SIZE;
    if (want == 0)
        return 0;
    ssize_t n = read_chunk(io, image->fd, buffer, want);
    if (n < 0)
        return -BINPRN32_ERR_READ;
    if ((size_t)n < want)
        return -BINPRN32_ERR_FILE_CHANGED;
    return n;
}

/* Sends the document whose first chunk is already in buffer; the requests before the document
   end by *deadline. The connection is closed on return. */
static int16_t send_document(const binprn32_io *io, http_t *http, const long long *deadline, struct image *image,
                             char *buffer, size_t first_length, const char *title, int32_t *job_out)
{
    cups_dest_t *dest = cupsGetNamedDest(http, NULL, NULL);
    if (!dest) {
        int16_t code = server_lost(http) ? BINPRN32_ERR_NO_SERVER : BINPRN32_ERR_NO_DEFAULT;
        httpClose(http);
        return code;
    }

    wait_until(http, deadline);
    int job_id = cupsCreateJob(http, dest->name, title, 0, NULL);
    if (job_id <= 0) {
        int16_t code = server_lost(http) ? BINPRN32_ERR_NO_SERVER : BINPRN32_ERR_JOB_REFUSED;
        httpClose(http);
        cupsFreeDests(1, dest);
        return code;
    }

    /* The server has answered: the document may take as long as it needs, as long as the
       server keeps taking it. */
    httpSetTimeout(http, STALL_TIMEOUT_MS / 1000.0, give_up, NULL);
    int16_t code = BINPRN32_OK;
    if (cupsStartDocument(http, dest->name, job_id, title, CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
        code = BINPRN32_ERR_NOT_ACCEPTED;
    } else {
        size_t length = first_length;
        int64_t read_so_far = (int64_t)first_length;
        while (length > 0) {
            if (io->write_data(io->context, http, buffer, length) != HTTP_STATUS_CONTINUE) {
                code = BINPRN32_ERR_NOT_ACCEPTED;
                break;
            }
            image->sent += (int64_t)length;
            ssize_t n = next_chunk(io, image, read_so_far, buffer);
            if (n < 0) {
                code = (int16_t)-n;
                break;
            }
            read_so_far += n;
            length = (size_t)n;
        }
        if (code == BINPRN32_OK) {
            /* The last byte is out: the server's answer to the document must come within the
               stall limit, counted from now. */
            const long long answer_by = now_ms() + STALL_TIMEOUT_MS;
            wait_until(http, &answer_by);
            ipp_status_t status = io->finish_document(io->context, http, dest->name);
            if (status > IPP_STATUS_OK_EVENTS_COMPLETE)
                code = BINPRN32_ERR_NOT_ACCEPTED;
        }
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

static int16_t open_failure(int error)
{
    return (error == ENOENT || error == ENOTDIR) ? BINPRN32_ERR_FILE_MISSING : BINPRN32_ERR_CANNOT_OPEN;
}

/* Opens the path once, checks what was opened and reads the first chunk; on failure returns
   the code and leaves nothing open. */
static int16_t open_image(const binprn32_io *io, const char *path, struct image *image, char *buffer,
                          size_t *first_length)
{
    if (!path || !*path)
        return BINPRN32_ERR_FILE_MISSING;

    /* Something that is plainly no file (a folder, a device) is refused without opening it. */
    struct stat info;
    if (stat(path, &info) != 0)
        return open_failure(errno);
    if (!S_ISREG(info.st_mode))
        return BINPRN32_ERR_NOT_REGULAR;

    /* The path may name something else by now: what counts is what was opened. */
    int fd = io->open_file(io->context, path);
    if (fd < 0)
        return open_failure(errno);
    int16_t code = BINPRN32_OK;
    if (fstat(fd, &info) != 0)
        code = BINPRN32_ERR_READ;
    else if (!S_ISREG(info.st_mode))
        code = BINPRN32_ERR_NOT_REGULAR;
    else if (info.st_size <= 0)
        /* Files under /proc report 0 whatever reading them would give: nothing to send. */
        code = BINPRN32_ERR_EMPTY;
    else {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
            code = BINPRN32_ERR_READ;
    }
    if (code != BINPRN32_OK) {
        close(fd);
        return code;
    }

    image->fd = fd;
    image->size = (int64_t)info.st_size;
    image->sent = 0;
    ssize_t n = next_chunk(io, image, 0, buffer);
    if (n <= 0) {
        close(fd);
        image->fd = -1;
        return n < 0 ? (int16_t)-n : BINPRN32_ERR_READ;
    }
    *first_length = (size_t)n;
    return BINPRN32_OK;
}

int16_t binprn32_send_to_default(const binprn32_io *io, const char *path, int32_t *job_id, int64_t *bytes_sent)
{
    if (job_id)
        *job_id = 0;
    if (bytes_sent)
        *bytes_sent = 0;
    char *buffer = malloc(BINPRN32_CHUNK_SIZE);
    if (!buffer)
        return BINPRN32_ERR_READ;

    struct image image = {-1, 0, 0};
    size_t first_length = 0;
    int16_t code = open_image(io, path, &image, buffer, &first_length);
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

    char title[JOB_NAME_MAX + 1];
    make_job_name(base_name(path), title);
    const long long deadline = now_ms() + PREPARE_TIMEOUT_MS;
    http_t *http = connect_server(&deadline);
    if (!http)
        code = BINPRN32_ERR_NO_SERVER;
    else
        code = send_document(io, http, &deadline, &image, buffer, first_length, title, job_id);

    if (!pipe_was_pending) {
        const struct timespec no_wait = {0, 0};
        while (sigtimedwait(&pipe_set, NULL, &no_wait) > 0) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, NULL);

    if (bytes_sent)
        *bytes_sent = image.sent;
    close(image.fd);
    free(buffer);
    return code;
}

int16_t vbSendPrnToDefPrinter(const char *path)
{
    return binprn32_send_to_default(&binprn32_system_io, path, NULL, NULL);
}

int16_t vbSendPrnToDefPrinterJob(const char *path, int32_t *job_id)
{
    return binprn32_send_to_default(&binprn32_system_io, path, job_id, NULL);
}

int16_t vbSendPrnToDefPrinterJob2(const char *path, int32_t *job_id, int64_t *bytes_sent)
{
    return binprn32_send_to_default(&binprn32_system_io, path, job_id, bytes_sent);
}

int32_t vbGetDefPrinterName(char *name)
{
    (void)name;
    return 0;
}
