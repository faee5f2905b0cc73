#include "sim_firmware.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

std::string hex32(std::uint32_t value)
{
    return format("%08" PRIX32, value);
}

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::array<std::uint32_t, 256> makeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

}  // namespace

std::string crlf(const std::string &text)
{
    return text + "\r\n";
}

std::string bootBanner(bool noisy)
{
    using namespace std::string_literals;
    // Real debug output: a NUL as the UART wakes up, one line ended LF CR, a typo erased.
    std::string text = noisy ? "\0\r\n"s : "\r\n"s;
    text += crlf("QX7100 boot v2.13");
    text += "RAM test 0x00000000-0x007FFFFF ... ok";
    text += noisy ? "\n\r" : "\r\n";
    text += crlf("flash id 0x0089 0x0018, 2048 Ko");
    text += crlf(noisy ? "cles face avanx\bt: mode telechargement" : "cles face avant: mode telechargement");
    text += crlf("attente negociation");
    return text;
}

std::string blockLine(std::uint64_t address, std::uint64_t block, bool noisy)
{
    std::string text;
    if (noisy && block % 7 == 4)
        text += '\0';
    text += format("adresse 0x%08" PRIX64 " ", address);
    text += noisy && block % 11 == 6 ? "blocc\b" : "bloc";
    text += format(" %" PRIu64, block);
    text += noisy && block % 5 == 3 ? "\n\r" : "\r\n";
    return text;
}

std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t size)
{
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
    return ~crc;
}

std::string Console::feed(const char *data, std::size_t size, std::vector<std::string> &commands)
{
    std::string echo;
    auto enter = [&] {
        echo += "\r\n";
        commands.push_back(m_line);
        m_line.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            enter();
            m_afterCr = true;
            continue;
        }
        // The LF of a CR LF pair belongs to the Enter already taken.
        if (c == '\n') {
            if (!m_afterCr)
                enter();
            m_afterCr = false;
            continue;
        }
        m_afterCr = false;
        if (c == 8 || c == 127) {
            if (!m_line.empty()) {
                m_line.pop_back();
                echo += "\b \b";
            }
        } else if ((c >= 0x20 && c < 0x7F) || c >= 0xA0) {
            if (m_line.size() < MaxLine) {
                m_line += static_cast<char>(c);
                echo += static_cast<char>(c);
            }
        }
    }
    return echo;
}

ImageReceiver::ImageReceiver(ReceiverConfig config) : m_config(std::move(config)) {}

ImageReceiver::~ImageReceiver()
{
    if (m_expectFd >= 0)
        ::close(m_expectFd);
    if (m_saveFd >= 0)
        ::close(m_saveFd);
}

const char *ImageReceiver::lastOutcome() const
{
    if (!m_lastOk)
        return "aucun";
    return *m_lastOk ? "ok" : "erreur";
}

std::vector<std::string> ImageReceiver::takeLog()
{
    return std::exchange(m_log, {});
}

void ImageReceiver::begin()
{
    m_receiving = true;
    m_received = 0;
    m_blocksReported = 0;
    m_crc = 0;
    m_expectSize = 0;
    m_expectError.clear();
    m_firstMismatch.reset();
    m_log.push_back("loading started");

    // The expected image is read again at each loading: a test may write it after start-up.
    if (!m_config.expectPath.empty()) {
        m_expectFd = ::open(m_config.expectPath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (m_expectFd < 0) {
            m_expectError = systemError(m_config.expectPath);
        } else if (::fstat(m_expectFd, &info) != 0) {
            m_expectError = systemError(m_config.expectPath);
        } else if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
            m_expectError = m_config.expectPath + ": not a file of one byte or more";
        } else {
            m_expectSize = static_cast<std::uint64_t>(info.st_size);
            m_log.push_back(format("expecting %" PRIu64 " bytes", m_expectSize));
        }
        if (!m_expectError.empty() && m_expectFd >= 0) {
            ::close(m_expectFd);
            m_expectFd = -1;
        }
        if (!m_expectError.empty())
            m_log.push_back("cannot read the expected image " + m_expectError);
    }
    if (!m_config.savePath.empty()) {
        m_saveFd = ::open(m_config.savePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_saveFd < 0)
            m_log.push_back("cannot save the image: " + systemError(m_config.savePath));
    }
}

void ImageReceiver::compare(const unsigned char *data, std::size_t size)
{
    if (m_expectFd < 0 || m_firstMismatch)
        return;
    m_reference.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_expectFd, m_reference.data() + done, size - done,
                                  static_cast<off_t>(m_received + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_expectError = n < 0 ? systemError(m_config.expectPath)
                                  : m_config.expectPath + ": shorter than when the loading started";
            m_log.push_back("cannot read the expected image " + m_expectError);
            ::close(m_expectFd);
            m_expectFd = -1;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != m_reference[i]) {
            m_firstMismatch = m_received + i;
            return;
        }
    }
}

void ImageReceiver::save(const char *data, std::size_t size)
{
    while (m_saveFd >= 0 && size > 0) {
        const ssize_t n = ::write(m_saveFd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_log.push_back("cannot save the image: " + systemError(m_config.savePath));
            ::close(m_saveFd);
            m_saveFd = -1;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::size_t ImageReceiver::take(const char *data, std::size_t size, std::string &serial,
                                std::optional<LoadingReport> &report)
{
    report.reset();
    if (size == 0)
        return 0;
    if (!m_receiving)
        begin();
    std::size_t count = size;
    if (m_expectSize > 0 && m_expectError.empty())
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_expectSize - m_received));
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    compare(bytes, count);
    save(data, count);
    m_crc = crc32(m_crc, bytes, count);
    m_received += count;
    reportBlocks(serial, false);
    if (m_expectSize > 0 && m_expectError.empty() && m_received == m_expectSize)
        report = end(serial, false);
    return count;
}

std::optional<LoadingReport> ImageReceiver::finishQuiet(std::string &serial)
{
    if (!m_receiving)
        return std::nullopt;
    return end(serial, true);
}

void ImageReceiver::reportBlocks(std::string &serial, bool final)
{
    const std::uint64_t whole = m_received / m_config.blockSize;
    const std::uint64_t all = final ? (m_received + m_config.blockSize - 1) / m_config.blockSize : whole;
    while (m_blocksReported < all) {
        const std::uint64_t address = m_config.baseAddress + m_blocksReported * m_config.blockSize;
        ++m_blocksReported;
        serial += blockLine(address, m_blocksReported, m_config.noisy);
    }
}

LoadingReport ImageReceiver::end(std::string &serial, bool quiet)
{
    reportBlocks(serial, true);
    if (m_saveFd >= 0) {
        ::close(m_saveFd);
        m_saveFd = -1;
    }
    if (m_expectFd >= 0) {
        ::close(m_expectFd);
        m_expectFd = -1;
    }
    const std::string sum = format("%" PRIu64 " bytes crc32 ", m_received) + hex32(m_crc);

    LoadingReport report;
    if (!m_expectError.empty()) {
        serial += crlf("erreur: verification impossible");
        report.status = "loaded: bad cannot read the expected image " + m_expectError;
    } else if (m_expectSize > 0 && quiet) {
        serial += crlf(format("erreur: image incomplete (%" PRIu64 " octets sur %" PRIu64 ")", m_received,
                              m_expectSize));
        report.status = format("loaded: bad incomplete %" PRIu64 " of %" PRIu64 " bytes", m_received, m_expectSize);
    } else if (m_firstMismatch) {
        const std::uint64_t address = m_config.baseAddress + *m_firstMismatch;
        serial += crlf(format("erreur: image corrompue a l'adresse 0x%08" PRIX64, address));
        report.status = format("loaded: bad corrupt at 0x%08" PRIX64 " (offset %" PRIu64 "), ", address,
                               *m_firstMismatch) + sum;
    } else {
        if (m_expectSize > 0)
            serial += crlf(format("image verifiee: %" PRIu64 " octets", m_received));
        else
            serial += crlf(format("image recue: %" PRIu64 " octets, crc32 0x", m_received) + hex32(m_crc));
        serial += crlf("mettre sous tension le decodeur !!!");
        report.ok = true;
        report.status = "loaded: ok " + sum;
    }
    m_receiving = false;
    ++m_loadings;
    m_lastOk = report.ok;
    m_log.push_back(report.status);
    return report;
}

}  // namespace sim
