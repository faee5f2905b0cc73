/* A stand-in raw-print library: records its calls in exported counters and
 * answers a chosen code, so the window's loader can be tested without CUPS. */
#include <stdint.h>
#include <string.h>

__attribute__((visibility("default"))) int fake_name_calls;
__attribute__((visibility("default"))) int fake_send_calls;
__attribute__((visibility("default"))) char fake_last_path[4096];
__attribute__((visibility("default"))) int fake_name_argument_was_empty;
__attribute__((visibility("default"))) int fake_job_calls;

#ifndef FAKE_WITHOUT_GET_NAME
__attribute__((visibility("default"))) int32_t vbGetDefPrinterName(char *name)
{
    ++fake_name_calls;
    fake_name_argument_was_empty = name != 0 && name[0] == '\0';
    /* The argument is a buffer of the caller's with room for its terminating zero:
       writing that zero back must not fault (read-only memory would). */
    if (name)
        name[0] = '\0';
    return 1;
}
#endif

/* Answers -1 for a path ending in "fail.bin", 0 otherwise. */
__attribute__((visibility("default"))) int16_t vbSendPrnToDefPrinter(const char *path)
{
    size_t n = strlen(path);
    ++fake_send_calls;
    strncpy(fake_last_path, path, sizeof fake_last_path - 1);
    return (n >= 8 && strcmp(path + n - 8, "fail.bin") == 0) ? -1 : 0;
}

#ifndef FAKE_WITHOUT_JOB
/* As vbSendPrnToDefPrinter; a successful send creates job 100, 101, ... */
__attribute__((visibility("default"))) int16_t vbSendPrnToDefPrinterJob(const char *path, int32_t *job_id)
{
    int16_t code = vbSendPrnToDefPrinter(path);
    ++fake_job_calls;
    if (job_id)
        *job_id = code == 0 ? 99 + fake_job_calls : 0;
    return code;
}
#endif

#if !defined(FAKE_WITHOUT_JOB) && !defined(FAKE_WITHOUT_BYTES)
/* As vbSendPrnToDefPrinterJob; a successful send says it sent 4242 bytes. */
__attribute__((visibility("default"))) int16_t vbSendPrnToDefPrinterJob2(const char *path, int32_t *job_id,
                                                                         int64_t *bytes_sent)
{
    int16_t code = vbSendPrnToDefPrinterJob(path, job_id);
    if (bytes_sent)
        *bytes_sent = code == 0 ? 4242 : 0;
    return code;
}
#endif
