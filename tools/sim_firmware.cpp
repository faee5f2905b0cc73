#include "sim_firmware.h"

#include "common/write_all.h"

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
        commands.push_back(line_);
        line_.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            enter();
            afterCr_ = true;
            continue;
        }
        // The LF of a CR LF pair belongs to the Enter already taken.
        if (c == '\n') {
            if (!afterCr_)
                enter();
            afterCr_ = false;
            continue;
        }
        afterCr_ = false;
        if (c == 8 || c == 127) {
            if (!line_.empty()) {
                line_.pop_back();
                echo += "\b \b";
            }
        } else if ((c >= 0x20 && c < 0x7F) || c >= 0xA0) {
            if (line_.size() < MaxLine) {
                line_ += static_cast<char>(c);
                echo += static_cast<char>(c);
            }
        }
    }
    return echo;
}

ImageReceiver::ImageReceiver(ReceiverConfig config) : config_(std::move(config)) {}

ImageReceiver::~ImageReceiver()
{
    if (expectFd_ >= 0)
        ::close(expectFd_);
    if (saveFd_ >= 0)
        ::close(saveFd_);
}

const char *ImageReceiver::lastOutcome() const
{
    if (!lastOk_)
        return "aucun";
    return *lastOk_ ? "ok" : "erreur";
}

std::vector<std::string> ImageReceiver::takeLog()
{
    return std::exchange(log_, {});
}

void ImageReceiver::begin()
{
    receiving_ = true;
    received_ = 0;
    blocksReported_ = 0;
    crc_ = 0;
    expectSize_ = 0;
    expectError_.clear();
    firstMismatch_.reset();
    log_.push_back("loading started");

    // The expected image is read again at each loading: a test may write it after start-up.
    if (!config_.expectPath.empty()) {
        expectFd_ = ::open(config_.expectPath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (expectFd_ < 0) {
            expectError_ = systemError(config_.expectPath);
        } else if (::fstat(expectFd_, &info) != 0) {
            expectError_ = systemError(config_.expectPath);
        } else if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
            expectError_ = config_.expectPath + ": not a file of one byte or more";
        } else {
            expectSize_ = static_cast<std::uint64_t>(info.st_size);
            log_.push_back(format("expecting %" PRIu64 " bytes", expectSize_));
        }
        if (!expectError_.empty() && expectFd_ >= 0) {
            ::close(expectFd_);
            expectFd_ = -1;
        }
        if (!expectError_.empty())
            log_.push_back("cannot read the expected image " + expectError_);
    }
    if (!config_.savePath.empty()) {
        saveFd_ = ::open(config_.savePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (saveFd_ < 0)
            log_.push_back("cannot save the image: " + systemError(config_.savePath));
    }
}

void ImageReceiver::compare(const unsigned char *data, std::size_t size)
{
    if (expectFd_ < 0 || firstMismatch_)
        return;
    reference_.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(expectFd_, reference_.data() + done, size - done, static_cast<off_t>(received_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            expectError_ = n < 0 ? systemError(config_.expectPath)
                                 : config_.expectPath + ": shorter than when the loading started";
            log_.push_back("cannot read the expected image " + expectError_);
            ::close(expectFd_);
            expectFd_ = -1;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != reference_[i]) {
            firstMismatch_ = received_ + i;
            return;
        }
    }
}

void ImageReceiver::save(const char *data, std::size_t size)
{
    if (saveFd_ < 0)
        return;
    if (const int error = writeAll(saveFd_, data, size)) {
        errno = error;
        log_.push_back("cannot save the image: " + systemError(config_.savePath));
        ::close(saveFd_);
        saveFd_ = -1;
    }
}

std::size_t ImageReceiver::take(const char *data, std::size_t size, std::string &serial,
                                std::optional<LoadingReport> &report)
{
    report.reset();
    if (size == 0)
        return 0;
    if (!receiving_)
        begin();
    std::size_t count = size;
    if (expectSize_ > 0 && expectError_.empty())
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, expectSize_ - received_));
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    compare(bytes, count);
    save(data, count);
    crc_ = crc32(crc_, bytes, count);
    received_ += count;
    reportBlocks(serial, false);
    if (expectSize_ > 0 && expectError_.empty() && received_ == expectSize_)
        report = end(serial, false);
    return count;
}

std::optional<LoadingReport> ImageReceiver::finishQuiet(std::string &serial)
{
    if (!receiving_)
        return std::nullopt;
    return end(serial, true);
}

void ImageReceiver::reportBlocks(std::string &serial, bool final)
{
    const std::uint64_t whole = received_ / config_.blockSize;
    const std::uint64_t all = final ? (received_ + config_.blockSize - 1) / config_.blockSize : whole;
    while (blocksReported_ < all) {
        const std::uint64_t address = config_.baseAddress + blocksReported_ * config_.blockSize;
        ++blocksReported_;
        serial += blockLine(address, blocksReported_, config_.noisy);
    }
}

LoadingReport ImageReceiver::end(std::string &serial, bool quiet)
{
    reportBlocks(serial, true);
    if (saveFd_ >= 0) {
        ::close(saveFd_);
        saveFd_ = -1;
    }
    if (expectFd_ >= 0) {
        ::close(expectFd_);
        expectFd_ = -1;
    }
    const std::string sum = format("%" PRIu64 " bytes crc32 ", received_) + hex32(crc_);

    LoadingReport report;
    if (!expectError_.empty()) {
        serial += crlf("erreur: verification impossible");
        report.status = "loaded: bad cannot read the expected image " + expectError_;
    } else if (expectSize_ > 0 && quiet) {
        serial += crlf(format("erreur: image incomplete (%" PRIu64 " octets sur %" PRIu64 ")", received_, expectSize_));
        report.status = format("loaded: bad incomplete %" PRIu64 " of %" PRIu64 " bytes", received_, expectSize_);
    } else if (firstMismatch_) {
        const std::uint64_t address = config_.baseAddress + *firstMismatch_;
        serial += crlf(format("erreur: image corrompue a l'adresse 0x%08" PRIX64, address));
        report.status =
            format("loaded: bad corrupt at 0x%08" PRIX64 " (offset %" PRIu64 "), ", address, *firstMismatch_) + sum;
    } else {
        if (expectSize_ > 0)
            serial += crlf(format("image verifiee: %" PRIu64 " octets", received_));
        else
            serial += crlf(format("image recue: %" PRIu64 " octets, crc32 0x", received_) + hex32(crc_));
        serial += crlf("mettre sous tension le decodeur !!!");
        report.ok = true;
        report.status = "loaded: ok " + sum;
    }
    receiving_ = false;
    ++loadings_;
    lastOk_ = report.ok;
    log_.push_back(report.status);
    return report;
}

}  // namespace sim
