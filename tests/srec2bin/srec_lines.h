#pragma once

#include <QByteArray>

// One S-record line (without line end) with a correct byte count and checksum.
inline QByteArray srecLine(int type, quint32 address, const QByteArray &data)
{
    static const int addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    QByteArray body;
    for (int i = addressBytes[type] - 1; i >= 0; --i)
        body.append(char(address >> (8 * i)));
    body += data;
    const int count = int(body.size()) + 1;
    unsigned sum = unsigned(count);
    for (char c : body)
        sum += uchar(c);
    return "S" + QByteArray::number(type) + QByteArray::number(count, 16).rightJustified(2, '0').toUpper()
           + body.toHex().toUpper() + QByteArray::number(~sum & 0xFF, 16).rightJustified(2, '0').toUpper();
}

// Shorthands for the usual records, each followed by LF.
inline QByteArray s1(quint32 address, const char *hex)
{
    return srecLine(1, address, QByteArray::fromHex(hex)) + '\n';
}
inline QByteArray s2(quint32 address, const char *hex)
{
    return srecLine(2, address, QByteArray::fromHex(hex)) + '\n';
}
inline QByteArray s3(quint32 address, const char *hex)
{
    return srecLine(3, address, QByteArray::fromHex(hex)) + '\n';
}
inline QByteArray s0(const char *text)
{
    return srecLine(0, 0, text) + '\n';
}
inline QByteArray s5(quint32 count)
{
    return srecLine(5, count, {}) + '\n';
}
inline QByteArray s6(quint32 count)
{
    return srecLine(6, count, {}) + '\n';
}
inline QByteArray s7(quint32 start = 0)
{
    return srecLine(7, start, {}) + '\n';
}
inline QByteArray s8(quint32 start = 0)
{
    return srecLine(8, start, {}) + '\n';
}
inline QByteArray s9(quint32 start = 0)
{
    return srecLine(9, start, {}) + '\n';
}
