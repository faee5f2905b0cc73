#pragma once
// The raw-print library as the window calls it: two functions looked up by
// their exported names in libbinprn32.so, loaded at the first call of a run.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

struct RawPrintCall {
    bool called = false;    // false: the library or the function could not be had
    int32_t result = 0;     // the function's return value when called
    int32_t jobId = 0;      // the job the send created, when the library tells (0: not known)
    qint64 bytesSent = -1;  // the bytes the send handed to the server, when the library tells (-1: not known)
    QString error;          // when not called: the warning text naming the path and what is missing
};

class RawPrintLibrary {
public:
    virtual ~RawPrintLibrary() = default;
    // vbGetDefPrinterName(name); name is handed over as a zero-terminated 8-bit text.
    virtual RawPrintCall getDefPrinterName(const QByteArray &name) = 0;
    // vbSendPrnToDefPrinter(path): the result is the 16-bit signed code, 0 on success.
    // Where the library also exports vbSendPrnToDefPrinterJob2 (or, older,
    // vbSendPrnToDefPrinterJob), that is called instead: jobId gives the job it
    // created and bytesSent (Job2 only) the bytes it sent.
    virtual RawPrintCall sendPrnToDefPrinter(const QByteArray &path) = 0;
};

// The real library at libraryPath, loaded with QLibrary at the first call; each
// function is resolved once and the same entry is used for the rest of the run.
// A load that fails is tried again, afresh, at the next call: the file may have
// been put back meanwhile.
std::unique_ptr<RawPrintLibrary> makeRawPrintLibrary(const QString &libraryPath);
