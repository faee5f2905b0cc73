#include "spy/cp1252.h"

#include <algorithm>
#include <array>

namespace cp1252 {
namespace {

// Characters of the bytes 0x80-0x9F, eight bytes a row; unassigned bytes keep
// their own code.
// clang-format off
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

constexpr std::array<char16_t, 256> makeDecodeTable()
{
    std::array<char16_t, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[b] = (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : char16_t(b);
    return table;
}
constexpr std::array<char16_t, 256> kDecode = makeDecodeTable();

struct Reverse {
    char16_t ch;
    unsigned char byte;
};

// Characters that take a byte other than their own code, sorted by character.
std::array<Reverse, 27> makeEncodeTable()
{
    std::array<Reverse, 27> table{};
    size_t n = 0;
    for (int b = 0x80; b < 0xA0; ++b) {
        if (kHigh[b - 0x80] != char16_t(b))
            table[n++] = {kHigh[b - 0x80], static_cast<unsigned char>(b)};
    }
    std::sort(table.begin(), table.end(), [](const Reverse &a, const Reverse &b) { return a.ch < b.ch; });
    return table;
}
const std::array<Reverse, 27> kEncode = makeEncodeTable();

bool isUnassigned(char32_t c)
{
    return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

}  // namespace

char16_t toUnicode(unsigned char byte)
{
    return kDecode[byte];
}

int fromUnicode(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || isUnassigned(c))
        return int(c);
    if (c > 0xFFFF)
        return -1;
    const auto it =
        std::lower_bound(kEncode.begin(), kEncode.end(), c, [](const Reverse &r, char32_t v) { return r.ch < v; });
    if (it != kEncode.end() && it->ch == c)
        return it->byte;
    return -1;
}

QString decode(const char *data, qsizetype size)
{
    QString text(size, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    const auto *in = reinterpret_cast<const unsigned char *>(data);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = kDecode[in[i]];
    return text;
}

QString decode(const QByteArray &bytes)
{
    return decode(bytes.constData(), bytes.size());
}

QByteArray encode(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes.append('?');
            ++i;
            continue;
        }
        const int b = QChar::isSurrogate(c) ? -1 : fromUnicode(c);
        bytes.append(b < 0 ? '?' : char(b));
    }
    return bytes;
}

}  // namespace cp1252
