#include "spy/spy_log.h"

#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr char16_t kLineFeed = 10;
} // namespace

SpyLog::Chunk::Chunk()
{
    // Mapping twice the size leaves room to cut an aligned chunk out of it.
    constexpr std::size_t bytes = ChunkSize * sizeof(char16_t);
    void *mapped = ::mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + bytes - 1) & ~std::uintptr_t(bytes - 1);
    const std::size_t before = aligned - start;
    if (before > 0)
        ::munmap(mapped, before);
    ::munmap(reinterpret_cast<void *>(aligned + bytes), bytes - before);
    // Only advice: without huge pages the chunk is simply made of small ones.
    ::madvise(reinterpret_cast<void *>(aligned), bytes, MADV_HUGEPAGE);
    data = reinterpret_cast<char16_t *>(aligned);
}

SpyLog::Chunk::~Chunk()
{
    if (data)
        ::munmap(data, ChunkSize * sizeof(char16_t));
}

SpyLog::Chunk::Chunk(Chunk &&other) noexcept
    : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0))
{
}

SpyLog::Chunk &SpyLog::Chunk::operator=(Chunk &&other) noexcept
{
    std::swap(data, other.data);
    std::swap(size, other.size);
    return *this;
}

SpyLog::SpyLog(qsizetype limit) : limit_(std::max<qsizetype>(1, limit)) {}

void SpyLog::append(QStringView filtered)
{
    while (!filtered.isEmpty()) {
        if (chunks_.empty() || chunks_.back().size >= ChunkSize)
            chunks_.emplace_back();
        Chunk &last = chunks_.back();
        const qsizetype take = std::min(ChunkSize - last.size, filtered.size());
        std::memcpy(last.data + last.size, filtered.utf16(), std::size_t(take) * sizeof(char16_t));
        last.size += take;
        size_ += take;
        filtered = filtered.sliced(take);
    }
    dropOverLimit();
}

qsizetype SpyLog::eraseBeforeEnd(qsizetype count)
{
    qsizetype erased = 0;
    while (erased < count && !chunks_.empty()) {
        Chunk &last = chunks_.back();
        const qsizetype start = chunks_.size() == 1 ? head_ : 0;
        qsizetype end = last.size;
        const qsizetype stop = std::max(start, end - (count - erased));
        while (end > stop && last.data[end - 1] != kLineFeed)
            --end;
        erased += last.size - end;
        size_ -= last.size - end;
        last.size = end;
        if (end > start)
            break;
        chunks_.pop_back();
        if (chunks_.empty())
            head_ = 0;
    }
    return erased;
}

void SpyLog::clear()
{
    chunks_.clear();
    head_ = 0;
    size_ = 0;
}

void SpyLog::setLimit(qsizetype limit)
{
    limit_ = std::max<qsizetype>(1, limit);
    dropOverLimit();
}

QString SpyLog::text() const
{
    QString whole;
    whole.reserve(size_);
    forEachPiece([&](QStringView piece) { whole.append(piece); });
    return whole;
}

void SpyLog::dropFront(qsizetype count)
{
    while (count > 0 && !chunks_.empty()) {
        const qsizetype available = chunks_.front().size - head_;
        if (count < available) {
            head_ += count;
            size_ -= count;
            return;
        }
        chunks_.pop_front();
        head_ = 0;
        size_ -= available;
        count -= available;
    }
}

// Every LF of the log follows a CR (the filter writes every line break as
// CR LF), so an LF left at the front is the rest of a line break cut in two.
void SpyLog::dropOverLimit()
{
    if (size_ <= limit_)
        return;
    dropFront(size_ - limit_);
    if (size_ > 0 && chunks_.front().data[head_] == kLineFeed)
        dropFront(1);
}

// Written with the system's own calls rather than QSaveFile, whose reasons
// can mislead ("Existing file ... is not writable" on a read-only file system,
// "Unknown error" on a full one): every failure here is the system's words.
bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason)
{
    auto failed = [reason](int error) {
        *reason = QString::fromLocal8Bit(std::strerror(error));
        return false;
    };
    QFileInfo info(path);
    if (info.isSymLink())
        info.setFile(info.symLinkTarget());
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    QByteArray temporary = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) + ".XXXXXX";

    struct stat existing {};
    mode_t mode = 0;
    if (::stat(target.constData(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }

    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return failed(errno);
    auto writeAll = [fd](const QByteArray &bytes) {
        const char *at = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, at, size_t(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : ENOSPC;
            at += n;
            left -= n;
        }
        return 0;
    };
    int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
    QStringEncoder toUtf8(QStringEncoder::Utf8);
    try {
        log.forEachPiece([&](QStringView piece) {
            if (error == 0)
                error = writeAll(toUtf8.encode(piece));
        });
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return failed(error);
    }
    return true;
}
