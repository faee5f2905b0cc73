#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sparse_image.h"

namespace srec2bin {

// The first fault found in an input.
struct ParseError {
    uint64_t line = 0;    // 1-based line of the fault; 0 when it concerns the whole file
    std::string message;  // what is wrong, in plain words, without file or line
};

// Reads Motorola S-record text handed over in blocks of any size (a line may be split anywhere) and
// places the data of its S1, S2 and S3 records into a SparseImage, checking every record on the way.
//
// Accepted: S0 (ignored), S1/S2/S3 (data), S5/S6 (record count, checked), S7/S8/S9 (end, start
// address ignored), hex digits of either case, LF or CR LF line ends, empty lines, a last line
// without line end. Every other line is a fault, as are data records after an end record, a byte
// placed twice with different values, data past address 0xFFFFFFFF, an image larger than the
// SparseImage allows and an input without data.
class SrecParser {
public:
    // The longest valid line: "S", type, byte count 255 and its 255 bytes as hex digits, and a CR.
    static constexpr size_t kMaxLineLength = 2 + 2 * 256 + 1;

    // A parser that fills image (which must outlive it).
    explicit SrecParser(SparseImage &image);

    // Parses the next size bytes of the input. Returns false at the first fault, error() then tells
    // what and where; once failed, every later call returns false and changes nothing.
    bool feed(const char *data, size_t size);

    // Marks the end of the input: parses a last line without line end and checks that the input
    // held data. Returns false on a fault, as feed() does.
    bool finish();

    // The fault after feed() or finish() returned false.
    const ParseError &error() const { return error_; }

    // Whether an end record (S7/S8/S9) was read: a file without one may have been cut short.
    bool endRecordSeen() const { return endLine_ != 0; }

private:
    static constexpr size_t kFailed = ~size_t(0);

    // Parses a complete, valid record line at the start of text, its line end included: returns the
    // characters used, 0 when the line needs parseLine() (an error, a split line, anything unusual),
    // kFailed when the record is valid but cannot be placed (error() tells why).
    size_t parseWellFormedLine(const char *text, size_t available);
    // Parses one line without its LF; returns false on a fault.
    bool parseLine(const char *text, size_t length);
    bool parseRecord(char type, const uint8_t *bytes, size_t count);
    bool fail(std::string message);

    SparseImage &image_;
    std::string pending_;  // the start of a line whose end has not arrived yet
    uint64_t line_ = 0;    // number of the last line parsed
    uint64_t dataRecords_ = 0;
    uint64_t endLine_ = 0;  // line of the first end record, 0 before it
    bool failed_ = false;
    ParseError error_;
};

}  // namespace srec2bin
