#include "download/srec_image.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "S3", a count of 255 bytes in two hex digits each, CR LF.
constexpr int kLongestLine = 2 + 2 + 255 * 2 + 2;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The address length of each record type; 0 for the reserved S4.
int addressBytes(char type)
{
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;
    }
}

}  // namespace

bool startsWithSRecord(const QByteArray &text, bool wholeFile)
{
    qsizetype end = text.indexOf('\n');
    if (end < 0) {
        if (!wholeFile)
            return false;
        end = text.size();
    }
    QByteArray line = text.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() < 4 || line.at(0) != 'S')
        return false;
    const int address = addressBytes(line.at(1));
    if (address == 0)
        return false;
    const qsizetype digits = line.size() - 2;
    if (digits % 2 != 0)
        return false;
    // Count, address, data and checksum, each byte two hex digits.
    unsigned sum = 0;
    int count = -1;
    for (qsizetype i = 2; i < line.size(); i += 2) {
        const int high = hexDigit(line.at(i));
        const int low = hexDigit(line.at(i + 1));
        if (high < 0 || low < 0)
            return false;
        const int byte = high * 16 + low;
        if (count < 0)
            count = byte;
        sum += unsigned(byte);
    }
    // The count covers the address, the data and the checksum.
    if (count != digits / 2 - 1 || count < address + 1)
        return false;
    return (sum & 0xFF) == 0xFF;
}

bool fileStartsWithSRecord(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // A device is not even opened: opening some has effects of its own.
    struct stat named {};
    if (::stat(name.constData(), &named) != 0 || !S_ISREG(named.st_mode))
        return false;
    // Non-blocking: a FIFO swapped in after that look must not hang the window.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    QByteArray text;
    bool whole = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(kLongestLine);
        qsizetype got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                whole = n == 0;
                break;
            }
            got += n;
        }
        text.truncate(got);
    }
    ::close(fd);
    return !text.isEmpty() && startsWithSRecord(text, whole);
}
