/*
 * binprn32_io.h - the library's internal seam: the file and server operations
 * that vbSendPrnToDefPrinter goes through. Not exported from the shared
 * library; the library's own tests link a static build of the same sources and
 * replace single operations to reach failures that cannot be provoked for real
 * (a file that cannot be opened while running as root, a server that goes
 * away in the middle of a document).
 */
#ifndef BINPRN32_IO_H
#define BINPRN32_IO_H

#include <cups/cups.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The operations the send goes through; each behaves like the call it stands for. */
typedef struct binprn32_io {
    /* Free for the operations' own use. */
    void *context;
    /* Like open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK): a descriptor, or -1 with
       errno set. Called once a send, after the path was checked: a test may put another
       file in its place first. */
    int (*open_file)(void *context, const char *path);
    /* Like read(2); a test may cut or grow the file between reads. */
    ssize_t (*read_file)(void *context, int fd, void *buffer, size_t size);
    /* Like cupsWriteRequestData: HTTP_STATUS_CONTINUE when the chunk went out. */
    http_status_t (*write_data)(void *context, http_t *http, const char *buffer, size_t length);
    /* Ends the document and waits for the server's answer to it: the answer's status
       (IPP_STATUS_OK or another successful one when the server accepted the document),
       IPP_STATUS_ERROR_SERVICE_UNAVAILABLE when no answer came (the connection closed or
       its timeout gave up). */
    ipp_status_t (*finish_document)(void *context, http_t *http, const char *destination);
} binprn32_io;

/* The real operations (system calls and libcups). */
extern const binprn32_io binprn32_system_io;

/* vbSendPrnToDefPrinterJob2 through the given operations; same return codes and outputs.
   job_id and bytes_sent may be NULL. */
int16_t binprn32_send_to_default(const binprn32_io *io, const char *path, int32_t *job_id, int64_t *bytes_sent);

#ifdef __cplusplus
}
#endif

#endif /* BINPRN32_IO_H */
