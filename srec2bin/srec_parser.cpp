#include "srec_parser.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace srec2bin {

namespace {

constexpr uint16_t kBadDigit = 0x100;

// Hex digit values, pre-shifted for the high nibble; kBadDigit for anything that is no hex digit,
// so that one OR over a whole line tells whether it held a bad character.
struct HexTables {
    uint16_t high[256];
    uint16_t low[256];
};

constexpr HexTables makeHexTables()
{
    HexTables tables{};
    for (int c = 0; c < 256; ++c) {
        int value = -1;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        tables.high[c] = value < 0 ? kBadDigit : uint16_t(value << 4);
        tables.low[c] = value < 0 ? kBadDigit : uint16_t(value);
    }
    return tables;
}

constexpr HexTables kHex = makeHexTables();

// Address bytes of each record type S0...S9 (S4 is reserved and never reaches this table).
constexpr unsigned kAddressLength[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// Decodes count bytes from the 2 * count hex digits at digits into out, which has room for
// count + 16 bytes, and adds them to sum. Reads at most readable (>= 2 * count) characters.
// Returns false when a character is no hex digit (out and sum then hold garbage).
bool decodeHex(const unsigned char *digits, size_t count, size_t readable, uint8_t *out, unsigned &sum)
{
    size_t done = 0;
#if defined(__SSE2__)
    // Sixteen digits at a time; a last partial group is read whole when the buffer allows, with the
    // characters past the record masked out.
    const __m128i laneIndex = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i invalid = _mm_setzero_si128();
    __m128i total = _mm_setzero_si128();
    const size_t digitCount = 2 * count;
    for (size_t i = 0; i < digitCount && i + 16 <= readable; i += 16) {
        const size_t left = digitCount - i;
        const __m128i keep = _mm_cmplt_epi8(laneIndex, _mm_set1_epi8(char(left < 16 ? left : 16)));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + i));
        const __m128i lower = _mm_or_si128(c, _mm_set1_epi8(0x20));
        const __m128i isDigit =
            _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
        const __m128i isLetter =
            _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
        invalid = _mm_or_si128(invalid, _mm_andnot_si128(_mm_or_si128(isDigit, isLetter), keep));
        const __m128i nibbles =
            _mm_and_si128(keep, _mm_or_si128(_mm_and_si128(isDigit, _mm_sub_epi8(c, _mm_set1_epi8('0'))),
                                             _mm_and_si128(isLetter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10)))));
        // Each 16-bit lane holds a high nibble in its low byte and a low nibble in its high byte.
        const __m128i words =
            _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(nibbles, 8));
        const __m128i bytes = _mm_packus_epi16(words, _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i / 2), bytes);
        total = _mm_add_epi64(total, _mm_sad_epu8(bytes, _mm_setzero_si128()));
        done = std::min(count, (i + 16) / 2);
    }
    if (_mm_movemask_epi8(invalid) != 0)
        return false;
    sum += unsigned(_mm_cvtsi128_si32(total));
#else
    (void)readable;
#endif
    unsigned bad = 0;
    for (size_t i = done; i < count; ++i) {
        const unsigned value = kHex.high[digits[2 * i]] | kHex.low[digits[2 * i + 1]];
        bad |= value;
        out[i] = uint8_t(value);
        sum += out[i];
    }
    return (bad & kBadDigit) == 0;
}

__attribute__((format(printf, 1, 2))) std::string format(const char *pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// A character as a message shows it: quoted when printable, its code otherwise.
std::string describe(char c)
{
    const auto code = static_cast<unsigned char>(c);
    if (code >= 0x20 && code < 0x7F)
        return format("'%c'", c);
    return format("byte 0x%02X", code);
}

}  // namespace

SrecParser::SrecParser(SparseImage &image) : image_(image)
{
    pending_.reserve(kMaxLineLength + 1);
}

bool SrecParser::feed(const char *data, size_t size)
{
    if (failed_)
        return false;
    const char *position = data;
    const char *const end = data + size;

    if (!pending_.empty() && size > 0) {
        const auto *newline = static_cast<const char *>(std::memchr(position, '\n', size));
        const size_t available = size_t((newline ? newline : end) - position);
        // Keep at most one character beyond the longest valid line: enough to know it is too long.
        const size_t room = kMaxLineLength + 1 - pending_.size();
        pending_.append(position, std::min(available, room));
        if (!newline) {
            // Still open, or already too long for a record, which parseLine() reports.
            return pending_.size() <= kMaxLineLength || parseLine(pending_.data(), pending_.size());
        }
        if (!parseLine(pending_.data(), pending_.size()))
            return false;
        pending_.clear();
        position = newline + 1;
    }

    while (position < end) {
        const size_t used = parseWellFormedLine(position, size_t(end - position));
        if (used == kFailed)
            return false;
        if (used != 0) {
            position += used;
            continue;
        }
        const auto *newline = static_cast<const char *>(std::memchr(position, '\n', size_t(end - position)));
        if (!newline) {
            const size_t rest = size_t(end - position);
            if (rest > kMaxLineLength)
                return parseLine(position, kMaxLineLength + 1);  // too long for a record: a fault
            pending_.assign(position, rest);
            return true;
        }
        if (!parseLine(position, size_t(newline - position)))
            return false;
        position = newline + 1;
    }
    return true;
}

bool SrecParser::finish()
{
    if (failed_)
        return false;
    if (!pending_.empty()) {
        if (!parseLine(pending_.data(), pending_.size()))
            return false;
        pending_.clear();
    }
    if (image_.empty()) {
        line_ = 0;
        return fail(dataRecords_ == 0 ? "no data records" : "the data records hold no data bytes");
    }
    return true;
}

bool SrecParser::fail(std::string message)
{
    failed_ = true;
    error_.line = line_;
    error_.message = std::move(message);
    return false;
}

size_t SrecParser::parseWellFormedLine(const char *text, size_t available)
{
    // The byte count tells where the line must end; when every character up to there is a hex
    // digit, no line end can hide before it, so the line needs no search for its end.
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    if (available < 5 || s[0] != 'S' || s[1] < '0' || s[1] > '9' || s[1] == '4')
        return 0;
    const unsigned declared = kHex.high[s[2]] | kHex.low[s[3]];
    const size_t length = 4 + 2 * size_t(declared);
    if (declared & kBadDigit || available <= length)
        return 0;
    size_t used;
    if (s[length] == '\n')
        used = length + 1;
    else if (s[length] == '\r' && available > length + 1 && s[length + 1] == '\n')
        used = length + 2;
    else
        return 0;

    uint8_t bytes[256 + 16];
    unsigned sum = declared;
    const char type = char(s[1]);
    if (!decodeHex(s + 4, declared, available - 4, bytes, sum) || declared < kAddressLength[type - '0'] + 1
        || (sum & 0xFF) != 0xFF)
        return 0;
    ++line_;
    return parseRecord(type, bytes, declared - 1) ? used : kFailed;
}

bool SrecParser::parseLine(const char *text, size_t length)
{
    ++line_;
    if (length > 0 && text[length - 1] == '\r')
        --length;
    if (length == 0)
        return true;

    if (text[0] != 'S' && text[0] != 's')
        return fail("not an S-record: the line starts with " + describe(text[0]));
    if (length < 2)
        return fail("not an S-record: no record type after 'S'");
    const char type = text[1];
    if (type < '0' || type > '9')
        return fail("unknown record type: 'S' followed by " + describe(type));
    if (type == '4')
        return fail("reserved record type S4");
    if (length > kMaxLineLength - 1)
        return fail(format("line too long for a record (more than %zu characters)", kMaxLineLength - 1));

    // Decode all digit pairs at once, noting bad digits and summing the bytes for the checksum.
    const auto *digits = reinterpret_cast<const unsigned char *>(text + 2);
    const size_t digitCount = length - 2;
    const size_t byteCount = digitCount / 2;
    uint8_t bytes[256];
    unsigned bad = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < byteCount; ++i) {
        const unsigned value = kHex.high[digits[2 * i]] | kHex.low[digits[2 * i + 1]];
        bad |= value;
        bytes[i] = uint8_t(value);
        sum += bytes[i];
    }
    if (digitCount % 2 != 0)
        bad |= kHex.low[digits[digitCount - 1]];
    if (bad & kBadDigit) {
        for (size_t i = 2; i < length; ++i) {
            if (kHex.low[static_cast<unsigned char>(text[i])] & kBadDigit)
                return fail(format("non-hex character %s in column %zu", describe(text[i]).c_str(), i + 1));
        }
    }
    if (digitCount % 2 != 0)
        return fail(format("odd number of hex digits (%zu)", digitCount));
    if (byteCount == 0)
        return fail(format("record too short: S%c without byte count", type));

    const unsigned declared = bytes[0];
    if (declared != byteCount - 1)
        return fail(format("byte count 0x%02X does not match the line, which holds %zu bytes after it", declared,
                           byteCount - 1));
    const unsigned addressLength = kAddressLength[type - '0'];
    if (declared < addressLength + 1)
        return fail(format("byte count 0x%02X too small for an S%c record (at least 0x%02X)", declared, type,
                           addressLength + 1));
    if ((sum & 0xFF) != 0xFF) {
        const unsigned found = bytes[byteCount - 1];
        const unsigned expected = ~(sum - found) & 0xFF;
        return fail(format("bad checksum (expected 0x%02X, found 0x%02X)", expected, found));
    }
    return parseRecord(type, bytes + 1, declared - 1);
}

bool SrecParser::parseRecord(char type, const uint8_t *body, size_t count)
{
    const unsigned addressLength = kAddressLength[type - '0'];
    uint32_t address = 0;
    for (unsigned i = 0; i < addressLength; ++i)
        address = (address << 8) | body[i];
    const uint8_t *data = body + addressLength;
    const size_t dataLength = count - addressLength;

    switch (type) {
    case '0':
        return true;
    case '1':
    case '2':
    case '3': {
        if (endLine_ != 0)
            return fail(format("data record after the end record of line %llu", (unsigned long long)endLine_));
        ++dataRecords_;
        if (uint64_t(address) + dataLength > (uint64_t(1) << 32))
            return fail(format("data from 0x%08X runs past address 0xFFFFFFFF", address));
        SparseImage::Conflict conflict;
        switch (image_.store(address, data, dataLength, &conflict)) {
        case SparseImage::StoreResult::Ok:
            return true;
        case SparseImage::StoreResult::Conflict:
            return fail(format("address 0x%08X already holds 0x%02X from an earlier record, this record gives 0x%02X",
                               conflict.address, conflict.held, conflict.given));
        case SparseImage::StoreResult::TooLarge: {
            const uint32_t last = address + uint32_t(dataLength - 1);
            const uint32_t lowest = image_.empty() ? address : std::min(image_.lowest(), address);
            const uint32_t highest = image_.empty() ? last : std::max(image_.highest(), last);
            return fail(format("image too large: 0x%08X to 0x%08X is %llu bytes, more than the limit of %llu "
                               "(--max-size)",
                               lowest, highest, (unsigned long long)(uint64_t(highest) - lowest + 1),
                               (unsigned long long)image_.maxSize()));
        }
        }
        return true;
    }
    case '5':
    case '6': {
        // The field holds the count modulo its width: S5 has 16 bits, S6 24.
        const uint64_t modulus = uint64_t(1) << (8 * addressLength);
        if (address != dataRecords_ % modulus)
            return fail(format("record count %u does not match the %llu data record%s before it", address,
                               (unsigned long long)dataRecords_, dataRecords_ == 1 ? "" : "s"));
        return true;
    }
    default:
        if (endLine_ == 0)
            endLine_ = line_;
        return true;
    }
}

}  // namespace srec2bin
