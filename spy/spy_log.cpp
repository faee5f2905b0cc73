#include "spy/spy_log.h"
#include "spy/cp1252.h"

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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr char16_t kLineFeed = 10;
} // namespace

SpyLog::Chunk::Chunk(bool isWide) : wide(isWide)
{
    // Mapping twice the size leaves room to cut an aligned chunk out of it.
    void *mapped = ::mmap(nullptr, 2 * ChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + ChunkBytes - 1) & ~std::uintptr_t(ChunkBytes - 1);
    const std::size_t before = aligned - start;
    if (before > 0)
        ::munmap(mapped, before);
    ::munmap(reinterpret_cast<void *>(aligned + ChunkBytes), ChunkBytes - before);
    // Only advice: without huge pages the chunk is simply made of small ones.
    ::madvise(reinterpret_cast<void *>(aligned), ChunkBytes, MADV_HUGEPAGE);
    memory = reinterpret_cast<void *>(aligned);
}

SpyLog::Chunk::~Chunk()
{
    if (memory)
        ::munmap(memory, ChunkBytes);
}

SpyLog::Chunk::Chunk(Chunk &&other) noexcept
    : memory(std::exchange(other.memory, nullptr)), size(std::exchange(other.size, 0)), wide(other.wide)
{
}

SpyLog::Chunk &SpyLog::Chunk::operator=(Chunk &&other) noexcept
{
    std::swap(memory, other.memory);
    std::swap(size, other.size);
    std::swap(wide, other.wide);
    return *this;
}

char16_t SpyLog::Chunk::at(qsizetype i) const
{
    return wide ? chars()[i] : cp1252::toUnicode(bytes()[i]);
}

namespace {

// Writes the bytes of text in the 8-bit character set to out, up to the first
// character the set cannot hold; returns how many were written.
qsizetype narrowInto(unsigned char *out, QStringView text)
{
    const char16_t *in = text.utf16();
    const qsizetype n = text.size();
    qsizetype i = 0;
#if defined(__SSE2__)
    // Sixteen characters at a time while all are below 0x80 or in 0xA0-0xFF,
    // the bytes of their own code.
    const __m128i highByte = _mm_set1_epi16(short(0xFF00));
    const __m128i c1Mask = _mm_set1_epi16(short(0xFFE0));
    const __m128i c1 = _mm_set1_epi16(0x0080);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 8));
        const __m128i wideA = _mm_cmpeq_epi16(_mm_and_si128(a, highByte), zero);
        const __m128i wideB = _mm_cmpeq_epi16(_mm_and_si128(b, highByte), zero);
        const __m128i ctrlA = _mm_cmpeq_epi16(_mm_and_si128(a, c1Mask), c1);
        const __m128i ctrlB = _mm_cmpeq_epi16(_mm_and_si128(b, c1Mask), c1);
        const __m128i plain = _mm_andnot_si128(_mm_or_si128(ctrlA, ctrlB), _mm_and_si128(wideA, wideB));
        if (_mm_movemask_epi8(plain) != 0xFFFF)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < n; ++i) {
        const char16_t c = in[i];
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out[i] = static_cast<unsigned char>(c);
            continue;
        }
        const int byte = cp1252::fromUnicode(c);
        if (byte < 0)
            return i;
        out[i] = static_cast<unsigned char>(byte);
    }
    return n;
}

} // namespace

SpyLog::SpyLog(qsizetype limit) : limit_(std::max<qsizetype>(1, limit)) {}

void SpyLog::append(QStringView filtered)
{
    while (!filtered.isEmpty()) {
        if (chunks_.empty() || chunks_.back().size >= chunks_.back().capacity())
            chunks_.emplace_back(false);
        Chunk &last = chunks_.back();
        qsizetype take = std::min(last.capacity() - last.size, filtered.size());
        if (last.wide) {
            std::memcpy(last.chars() + last.size, filtered.utf16(), std::size_t(take) * sizeof(char16_t));
        } else {
            const qsizetype narrowed = narrowInto(last.bytes() + last.size, filtered.first(take));
            if (narrowed < take) {
                take = narrowed;
                last.size += take;
                size_ += take;
                filtered = filtered.sliced(take);
                widenLast();
                continue;
            }
        }
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
        while (end > stop && last.at(end - 1) != kLineFeed)
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

// The last chunk's text moves into wide chunks (two when it holds more than
// a wide chunk takes), the last of them with room left.
void SpyLog::widenLast()
{
    Chunk narrow = std::move(chunks_.back());
    chunks_.pop_back();
    const qsizetype from = chunks_.empty() ? head_ : 0;
    if (chunks_.empty())
        head_ = 0;
    for (qsizetype i = from; i < narrow.size;) {
        chunks_.emplace_back(true);
        Chunk &wide = chunks_.back();
        const qsizetype take = std::min(wide.capacity(), narrow.size - i);
        for (qsizetype k = 0; k < take; ++k)
            wide.chars()[k] = cp1252::toUnicode(narrow.bytes()[i + k]);
        wide.size = take;
        i += take;
    }
    if (chunks_.empty() || chunks_.back().size >= chunks_.back().capacity() || !chunks_.back().wide)
        chunks_.emplace_back(true);
}

void SpyLog::forEachPiece(const std::function<void(QStringView)> &sink) const
{
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
        const Chunk &chunk = chunks_[i];
        const qsizetype from = i == 0 ? head_ : 0;
        if (chunk.wide)
            sink(QStringView(chunk.chars() + from, chunk.size - from));
        else
            sink(cp1252::decode(reinterpret_cast<const char *>(chunk.bytes()) + from, chunk.size - from));
    }
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
    if (size_ > 0 && chunks_.front().at(head_) == kLineFeed)
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
