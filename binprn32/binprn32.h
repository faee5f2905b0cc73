/*
 * binprn32.h - raw printing of a firmware image through the default printer.
 *
 * Principles of operation
 * -----------------------
 * The decoder's parallel input is wired to the PC's parallel port, and the
 * system's default printer (a CUPS queue) sits on that port and passes jobs
 * through unchanged. This library hands an image file to that queue:
 *
 *   1. It opens the path once, as the file system has it (the bytes of the
 *      path, whatever their encoding), and checks what it opened: a regular
 *      file of at least one byte. Before the open the path is looked at, so
 *      a folder or a device is refused without being opened; the open itself
 *      never blocks, so a FIFO or device put in place of the file between
 *      that look and the open is refused too, at once. A file whose reported
 *      size is 0 is empty, whatever reading it would give (files under /proc
 *      report 0 and may stream without end): nothing of it is read.
 *   2. The image is exactly the file's size at the open: that many bytes are
 *      sent, nothing added to the file afterwards. A file that yields fewer
 *      (cut short or rewritten while it is sent) fails the send. The first
 *      chunk is read before the print server is asked, so that a file that
 *      cannot be read never creates a job.
 *   3. It connects to the print server that libcups reaches (CUPS_SERVER,
 *      client.conf or the local default) and asks it for the default
 *      destination (the user's own default from LPDEST, PRINTER or lpoptions
 *      comes first, as everywhere in CUPS).
 *   4. It creates ONE job on that destination, named after the file (see
 *      below), and sends the bytes as one document in the raw format
 *      (application/vnd.cups-raw), so that no filter or driver touches them.
 *      The file is read and sent in chunks of BINPRN32_CHUNK_SIZE bytes:
 *      memory use does not grow with the image.
 *   5. It returns 0 only when the server has answered the document's request
 *      (Send-Document, the job's last request) with success. A server that
 *      takes every byte and then closes the connection, stays silent, or
 *      answers later than BINPRN32_STALL_TIMEOUT_MS after the last byte has
 *      not accepted the image: BINPRN32_ERR_NOT_ACCEPTED. The call never
 *      waits for the printing itself; the job then lives in the print queue
 *      like any other. vbSendPrnToDefPrinterJob also gives the job's number,
 *      vbSendPrnToDefPrinterJob2 also the number of bytes sent.
 *
 * Bounded waits: connecting and every request before the document must be
 * done within BINPRN32_PREPARE_TIMEOUT_MS (else BINPRN32_ERR_NO_SERVER). A
 * busy server's answer that comes in parts, with pauses of up to 2 s, is read
 * whole, never taken for a lost server; one that stops midway may hold the
 * call up to 2 s past the limit. Once the document goes out, the transfer takes as long as it needs while
 * the server keeps taking data; a server that takes nothing for
 * BINPRN32_STALL_TIMEOUT_MS fails the send, and so does one that has not
 * answered within BINPRN32_STALL_TIMEOUT_MS of the last byte. Cancelling
 * the job of a failed send is bounded by BINPRN32_PREPARE_TIMEOUT_MS. No call
 * blocks longer than those limits without progress, whatever the file or the
 * server.
 *
 * A job whose document was not accepted completely (the file failed or
 * changed, the server failed, closed or fell silent) is cancelled, so a
 * partial image never reaches the port.
 *
 * The job's name is the file's name as a valid UTF-8 text of at most 255
 * bytes: control characters (C0, DEL, C1) and bytes that are not UTF-8 show
 * as visible escapes \xHH (a newline as \x0A, ESC as \x1B); a longer name
 * is cut at a character and ends in "...". The name is shown by queue
 * listings only; the file opened is always the path as given.
 *
 * Every failure is a distinct nonzero code below; nothing is printed on the
 * terminal and nothing is logged. The functions block the calling thread
 * for the time of the transfer. They keep no state between calls and may be
 * called from several threads at once (libcups keeps its settings per
 * thread). SIGPIPE raised by a server that goes away during the transfer is
 * kept from the calling process.
 *
 * The library has C linkage; only the functions declared here are exported.
 */
#ifndef BINPRN32_H
#define BINPRN32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BINPRN32_API __attribute__((visibility("default")))
#else
#define BINPRN32_API
#endif

/* Size in bytes of one chunk read from the file and sent to the server. */
#define BINPRN32_CHUNK_SIZE 65536

/* Time in milliseconds within which the server must have been reached and have
   answered every request before the document (default destination, job creation). */
#define BINPRN32_PREPARE_TIMEOUT_MS 3000

/* Time in milliseconds within which the server must take each chunk of the document,
   and must answer the document's request after its last byte. */
#define BINPRN32_STALL_TIMEOUT_MS 3000

/* Return codes of vbSendPrnToDefPrinter. 0 means the job was handed over. */

/* The job was handed over: the server answered the document's request with success. */
#define BINPRN32_OK 0
/* No print server answered (not running, unreachable, or silent for BINPRN32_PREPARE_TIMEOUT_MS). */
#define BINPRN32_ERR_NO_SERVER 1
/* The print server answered but no destination is its (or the user's) default. */
#define BINPRN32_ERR_NO_DEFAULT 2
/* The file does not exist (or the path is empty or NULL, or a folder on it is missing). */
#define BINPRN32_ERR_FILE_MISSING 3
/* The path names something other than a regular file (a folder, a device, a FIFO),
   or such a thing was put in the file's place before it was opened. */
#define BINPRN32_ERR_NOT_REGULAR 4
/* The file exists but cannot be opened for reading (permissions, locks). */
#define BINPRN32_ERR_CANNOT_OPEN 5
/* The file's reported size is 0: there is nothing to send, and nothing of it is read. */
#define BINPRN32_ERR_EMPTY 6
/* Reading the file failed (or no memory for the 64 KiB read buffer); a job already
   created was cancelled. */
#define BINPRN32_ERR_READ 7
/* The server refused to create the job (the queue is rejecting jobs). */
#define BINPRN32_ERR_JOB_REFUSED 8
/* The server did not accept the document: it failed it, went away or stopped taking
   data while it was sent, or did not answer it with success within
   BINPRN32_STALL_TIMEOUT_MS of its last byte (it closed the connection or stayed
   silent). The job was cancelled if the server could still be reached. */
#define BINPRN32_ERR_NOT_ACCEPTED 9
/* The file yielded fewer bytes than its size when it was opened (it was cut short or
   rewritten during the send); the job was cancelled. */
#define BINPRN32_ERR_FILE_CHANGED 10

/*
 * vbSendPrnToDefPrinter - send a file unchanged, as one raw job, to the
 * default printer.
 *
 * path  [in]  zero-terminated path of the file, in the locale's file-name
 *             encoding.
 *
 * Returns BINPRN32_OK (0) once the print server has answered the complete
 * document with success, without waiting for it to be printed; otherwise one of:
 *   BINPRN32_ERR_NO_SERVER      no print server answered
 *   BINPRN32_ERR_NO_DEFAULT     no default destination
 *   BINPRN32_ERR_FILE_MISSING   the file does not exist
 *   BINPRN32_ERR_NOT_REGULAR    the path is not a regular file (or became none)
 *   BINPRN32_ERR_CANNOT_OPEN    the file cannot be opened for reading
 *   BINPRN32_ERR_EMPTY          the file's reported size is 0
 *   BINPRN32_ERR_READ           reading the file failed
 *   BINPRN32_ERR_JOB_REFUSED    the destination refused the job
 *   BINPRN32_ERR_NOT_ACCEPTED   the server did not answer the document with success
 *   BINPRN32_ERR_FILE_CHANGED   the file yielded fewer bytes than its size at the open
 * The file is checked before the server is asked, so a bad file gives its
 * own code even when no server runs.
 */
BINPRN32_API int16_t vbSendPrnToDefPrinter(const char *path);

/*
 * vbSendPrnToDefPrinterJob - vbSendPrnToDefPrinter that also gives the number
 * of the job it created.
 *
 * path    [in]   as for vbSendPrnToDefPrinter.
 * job_id  [out]  the job's number on the print server when the result is
 *                BINPRN32_OK; 0 on any failure. May be NULL.
 *
 * Returns the same codes as vbSendPrnToDefPrinter, with the same meaning.
 * The number is the server's own (the one lpstat and cancel show); the
 * job is on the default destination as the server named it then.
 */
BINPRN32_API int16_t vbSendPrnToDefPrinterJob(const char *path, int32_t *job_id);

/*
 * vbSendPrnToDefPrinterJob2 - vbSendPrnToDefPrinterJob that also gives the
 * number of bytes it sent.
 *
 * path        [in]   as for vbSendPrnToDefPrinter.
 * job_id      [out]  as for vbSendPrnToDefPrinterJob. May be NULL.
 * bytes_sent  [out]  the bytes of the file handed to the server: on
 *                    BINPRN32_OK exactly the file's size when it was opened,
 *                    which is what the job holds; on a failure the bytes that
 *                    went out before it (0 when the job was never started).
 *                    May be NULL.
 *
 * Returns the same codes as vbSendPrnToDefPrinter, with the same meaning.
 * A caller that shows how much was sent takes the number from here, never
 * from a size it looked up itself before or after the call: the file may
 * have changed meanwhile.
 */
BINPRN32_API int16_t vbSendPrnToDefPrinterJob2(const char *path, int32_t *job_id, int64_t *bytes_sent);

/*
 * vbGetDefPrinterName - kept for callers that call it before every send.
 *
 * name  [in]  any text, usually the empty text; may be NULL. Nothing is
 *             written into it: a caller may pass a buffer with room for its
 *             terminating zero only.
 *
 * Returns 0 always. The call has no effect.
 */
BINPRN32_API int32_t vbGetDefPrinterName(char *name);

#ifdef __cplusplus
}
#endif

#endif /* BINPRN32_H */
