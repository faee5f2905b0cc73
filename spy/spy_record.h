#pragma once
// The saved spy log as the record of a loading: a short header (the program,
// when the log was saved, the serial port and what is behind it, each image
// sent in the run with its size, SHA-256, job and how the job ended) before
// the spy display's text. Texts from outside (paths, the printer's messages,
// what a USB adapter says of itself) are written with their control
// characters as visible escapes, so no one of them can forge a line.

#include "common/shown_text.h"
#include "spy/serial_ports.h"

#include <QDateTime>
#include <QList>
#include <QString>

// One image handed to the print server during the run.
struct SentImage {
    QString path;
    qint64 size = -1;
    // Lowercase hexadecimal; empty while it is being computed or when the
    // file could not be read (hashError then says why).
    QString sha256;
    QString hashError;
    // The print job's number; 0 when the send gave none.
    int jobId = 0;
    // The job's last known state ("sent 2097152 bytes", "failed: MESSAGE"...),
    // or what went wrong with the send.
    QString outcome;
};

struct SpyRecordHeader {
    QString program;  // "load_velantra 1.00"
    QDateTime savedAt;
    QString port;    // "COM1", or empty when no port was ever chosen
    QString device;  // the device the port names, "/dev/com1"
    QString behind;  // describeSerialDevice()'s words
    bool portOpen = false;
    QList<SentImage> images;
};

// The line that ends the header; the spy display's text follows it.
inline constexpr char kSpyRecordTextStart[] = "---- spy display ----";

// The header, each line ended by CR LF as the text's lines are.
QString spyRecordHeader(const SpyRecordHeader &header);

// An outside text made safe for one line of the record or a tooltip: control
// characters (C0, DEL, C1, line and paragraph separators, direction marks) and
// backslashes as visible escapes ("\n", "\x1b", "\u202e", "\\"), cut with "..."
// past maxChars.
inline QString visibleText(const QString &text, int maxChars = 400)
{
    return shownText(text, maxChars + 3, ShownEscapes::Unambiguous);
}

// What is behind a serial device, as the kernel describes it under
// roots.sys: "USB serial adapter 0403:6001 (FTDI FT232R USB UART, serial
// A50285BI), /dev/ttyUSB0", "built-in serial port /dev/ttyS0",
// "pseudo-terminal /dev/pts/3", "nothing: /dev/com1 is not there"...
QString describeSerialDevice(const QString &path, const SerialRoots &roots = {});

// "2097152 bytes, SHA-256 9f86...", or the state of the hash.
QString imageSummary(const SentImage &image);
