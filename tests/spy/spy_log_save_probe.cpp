// Saves a small spy log to the path given, as File > Save spy log does, so that
// a test can run the save as another user or inside another mount namespace.
// Exit status 0 when saved; 1 with the reason on standard error otherwise.

#include "spy/spy_log.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: spy_log_save_probe PATH\n", stderr);
        return 2;
    }
    SpyLog log;
    log.append(QStringLiteral("spy log line one\r\nline two \u20ac\r\n"));
    QString reason;
    if (!saveSpyLog(log, QString::fromLocal8Bit(argv[1]), &reason)) {
        std::fprintf(stderr, "%s\n", reason.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
