/* Command-line driver of the raw-print library: sends one file to the default printer.
   Used by the benchmark and handy on the bench; prints the library's code and the
   process's peak memory before and after the call. */
#include "binprn32.h"

#include <stdio.h>
#include <sys/resource.h>

static long peak_kib(void)
{
    struct rusage usage;
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    long before = peak_kib();
    vbGetDefPrinterName("");
    int code = vbSendPrnToDefPrinter(argv[1]);
    printf("code=%d peak_kib_before=%ld peak_kib_after=%ld\n", code, before, peak_kib());
    return code == 0 ? 0 : 1;
}
