#include "rehearsal_env.h"

#include <QFile>

#include <cups/cups.h>

void useRehearsalPrintServer(const QString &socket, const QString &queue)
{
    qputenv("CUPS_SERVER", QFile::encodeName(socket));
    qputenv("LPDEST", queue.toUtf8());
    // LPDEST comes first already; PRINTER would only confuse whoever reads the environment.
    qunsetenv("PRINTER");
    cupsSetServer(nullptr);
}
