#pragma once
// The system's 8-bit character set, Windows-1252: received bytes to text and
// typed text to bytes.

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace cp1252 {

// The character of one byte: 0x80-0x9F give the code page's characters (the
// five unassigned ones, 0x81 0x8D 0x8F 0x90 0x9D, keep their own code), every
// other byte the character with the same code.
char16_t toUnicode(unsigned char byte);

// The byte of one character, or -1 when the code page has no byte for it.
int fromUnicode(char32_t codePoint);

// One character per byte, in order.
QString decode(const char *data, qsizetype size);
QString decode(const QByteArray &bytes);

// One byte per character (a surrogate pair is one character), '?' (0x3F) for
// each character the code page cannot encode.
QByteArray encode(QStringView text);

}  // namespace cp1252
