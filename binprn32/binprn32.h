/*
 * binprn32.h - raw printing of a firmware image through the default printer.
 *
 * Principles of operation
 * -----------------------
 * The decoder's parallel input is wired to the PC's parallel port, and the
 * system's default printer (a CUPS queue) sits on that port and passes jobs
 * through unchanged. This library hands an image file to that queue:
 *
 *   1. It checks the file (it exists, is a regular file, opens, holds at
 *      least one byte) before it talks to the print server, so that a wrong
 *      file never creates a job.
 *   2. It connects to the print server that libcups reaches (CUPS_SERVER,
 *      client.conf or the local default) and asks it for the default
 *      destination (the user's own default from LPDEST, PRINTER or lpoptions
 *      comes first, as everywhere in CUPS).
 *   3. It creates ONE job on that destination and sends the file's bytes as
 *      one document in the raw format (application/vnd.cups-raw), so that no
 *      filter or driver touches them. The file is read and sent in chunks of
 *      BINPRN32_CHUNK_SIZE bytes: memory use does not grow with the image.
 *   4. It returns 0 as soon as the server has accepted the complete document.
 *      It never waits for the printing itself; the job then lives in the
 *      print queue like any other. vbSendPrnToDefPrinterJob also gives the
 *      job's number, so that a caller can follow the job to its end.
 *
 * A print server that accepts the connection but does not answer holds a
 * call about BINPRN32_PREPARE_TIMEOUT_MS at most: connecting and every
 * request before the document must be done within that time, and the call
 * then fails with BINPRN32_ERR_NO_SERVER. Once the document goes out, the
 * transfer takes as long as it needs while the server keeps reading.
 *
 * A job whose document could not be sent completely (read error, server
 * failure) is cancelled, so a partial image never reaches the port.
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

/* Return codes of vbSendPrnToDefPrinter. 0 means the job was handed over. */

/* The job was handed over: the server holds the complete document. */
#define BINPRN32_OK 0
/* No print server answered (not running, unreachable, or silent for BINPRN32_PREPARE_TIMEOUT_MS). */
#define BINPRN32_ERR_NO_SERVER 1
/* The print server answered but no destination is its (or the user's) default. */
#define BINPRN32_ERR_NO_DEFAULT 2
/* The file does not exist (or the path is empty or NULL). */
#define BINPRN32_ERR_FILE_MISSING 3
/* The path names something other than a regular file, e.g. a directory. */
#define BINPRN32_ERR_NOT_REGULAR 4
/* The file exists but cannot be opened for reading (permissions, locks). */
#define BINPRN32_ERR_CANNOT_OPEN 5
/* The file holds no bytes: there is nothing to send. */
#define BINPRN32_ERR_EMPTY 6
/* Reading the file failed (or no memory for the 64 KiB read buffer); no job is left behind. */
#define BINPRN32_ERR_READ 7
/* The server refused to create the job (the queue is rejecting jobs). */
#define BINPRN32_ERR_JOB_REFUSED 8
/* The server failed or went away while the document was sent; the job was cancelled if it could still be reached. */
#define BINPRN32_ERR_NOT_ACCEPTED 9

/*
 * vbSendPrnToDefPrinter - send a file unchanged, as one raw job, to the
 * default printer.
 *
 * path  [in]  zero-terminated path of the file, in the locale's file-name
 *             encoding.
 *
 * Returns BINPRN32_OK (0) once the print server has accepted the complete
 * document, without waiting for it to be printed; otherwise one of:
 *   BINPRN32_ERR_NO_SERVER      no print server answered
 *   BINPRN32_ERR_NO_DEFAULT     no default destination
 *   BINPRN32_ERR_FILE_MISSING   the file does not exist
 *   BINPRN32_ERR_NOT_REGULAR    the path is not a regular file
 *   BINPRN32_ERR_CANNOT_OPEN    the file cannot be opened for reading
 *   BINPRN32_ERR_EMPTY          the file is empty
 *   BINPRN32_ERR_READ           reading the file failed
 *   BINPRN32_ERR_JOB_REFUSED    the destination refused the job
 *   BINPRN32_ERR_NOT_ACCEPTED   the document was not accepted completely
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
