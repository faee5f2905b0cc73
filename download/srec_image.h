#pragma once
// Whether a file chosen as the image is Motorola S-record text (the
// converter's input) rather than a binary image: sending that text would
// fill the decoder's flash with it.

#include <QByteArray>
#include <QString>

// True when the first line of the text starts a file of S-records: one
// well-formed record (S0 to S9 but the reserved S4, its count, address, data
// and checksum in hexadecimal of either case, the count and the checksum
// right), ended by LF or CR LF, or by the end of the text when the text is the
// whole file (wholeFile).
bool startsWithSRecord(const QByteArray &text, bool wholeFile);

// The same for a file: reads at most the length of the longest record from
// its start. Only a regular file that opens at once is read (never a FIFO or
// a device, which could block or change); anything that cannot be read is
// not S-record text, and the send reports it in its own words.
bool fileStartsWithSRecord(const QString &path);
