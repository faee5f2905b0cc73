#include "convert/srec_output_path.h"

QString binPathForSrec(const QString &srecPath)
{
    const qsizetype nameStart = srecPath.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = srecPath.indexOf(QLatin1Char('.'), nameStart);
    const QString stem = dot < 0 ? srecPath : srecPath.left(dot);
    return stem + QStringLiteral(".bin");
}
