#pragma once
#include <QString>

// The image path made from an S-record path: the file name up to its first dot,
// then ".bin", in the same folder (/data/image.old.srec gives /data/image.bin,
// /data/my.files/image.rec gives /data/my.files/image.bin); a name without a
// dot gets ".bin" appended.
QString binPathForSrec(const QString &srecPath);
