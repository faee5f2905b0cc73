#include "spy/spy_log.h"
#include "spy/spy_filter.h"

#include "common/safe_save.h"
#include "common/write_all.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The LFs among count UTF-16 units, four at a time in one 64-bit word: a
// flood passes through here once, so it must cost far less than the filter.
qsizetype countLineFeeds(const char16_t *at, qsizetype count)
{
    constexpr quint64 kLanes = 0x000A000A000A000AULL;
    constexpr quint64 kLow = 0x7FFF7FFF7FFF7FFFULL;
    constexpr quint64 kHigh = 0x8000800080008000ULL;
    // Each 16-bit lane of a sum counts the LFs of its lane; it is added up
    // before it can overflow.
    constexpr qsizetype kWordsPerSum = 16384;
    qsizetype found = 0;
    qsizetype i = 0;
    while (i + 4 <= count) {
        quint64 sum = 0;
        const qsizetype end = std::min(count - 3, i + 4 * kWordsPerSum);
        for (; i < end; i += 4) {
            quint64 word;
            std::memcpy(&word, at + i, sizeof word);
            const quint64 differ = word ^ kLanes;
            // The high bit of a lane is set where the lane is not an LF.
            sum += (~((((differ & kLow) + kLow) | differ)) & kHigh) >> 15;
        }
        found += qsizetype((sum * 0x0001000100010001ULL) >> 48);
    }
    for (; i < count; ++i)
        found += at[i] == u'\n' ? 1 : 0;
    return found;
}
}  // namespace

SpyLog::SpyLog(qsizetype limit) : limit_(std::max<qsizetype>(1, limit)), clock_(&QDateTime::currentMSecsSinceEpoch) {}

void SpyLog::append(QStringView filtered)
{
    if (filtered.isEmpty())
        return;
    // A line begins with the first character after an LF (or in an empty
    // log); an LF at the very end of the text begins none yet.
    const bool atLineStart = size_ == 0 || chunks_.back().back() == kLineFeed;
    const char16_t *utf16 = filtered.utf16();
    const qsizetype lineStarts = (atLineStart ? 1 : 0) + countLineFeeds(utf16, filtered.size() - 1);
    if (lineStarts > 0) {
        const qint64 now = clock_();
        if (!lineTimes_.empty() && lineTimes_.back().time == now)
            lineTimes_.back().lines += lineStarts;
        else
            lineTimes_.push_back({now, lineStarts});
        lineCount_ += lineStarts;
    }
    while (!filtered.isEmpty()) {
        if (chunks_.empty() || chunks_.back().size() >= ChunkChars) {
            chunks_.emplace_back();
            chunks_.back().reserve(ChunkChars);
        }
        QString &last = chunks_.back();
        const qsizetype take = std::min(ChunkChars - last.size(), filtered.size());
        last.append(filtered.first(take));
        size_ += take;
        filtered = filtered.sliced(take);
    }
    dropOverLimit();
}

qsizetype SpyLog::eraseBeforeEnd(qsizetype count)
{
    const bool lastLineOpen = size_ > 0 && chunks_.back().back() != kLineFeed;
    qsizetype erased = 0;
    while (erased < count && !chunks_.empty()) {
        QString &last = chunks_.back();
        const qsizetype start = chunks_.size() == 1 ? head_ : 0;
        qsizetype end = last.size();
        const qsizetype stop = std::max(start, end - (count - erased));
        while (end > stop && last.at(end - 1) != kLineFeed)
            --end;
        erased += last.size() - end;
        size_ -= last.size() - end;
        last.truncate(end);
        if (end > start)
            break;
        chunks_.pop_back();
        if (chunks_.empty())
            head_ = 0;
    }
    // An erasure stops at a line break: at most the last line went whole.
    if (lastLineOpen && (size_ == 0 || chunks_.back().back() == kLineFeed))
        dropLineTimes(1, false);
    return erased;
}

void SpyLog::clear()
{
    chunks_.clear();
    head_ = 0;
    size_ = 0;
    lineTimes_.clear();
    lineCount_ = 0;
}

void SpyLog::dropLineTimes(qsizetype lines, bool oldest)
{
    lines = std::min(lines, lineCount_);
    lineCount_ -= lines;
    while (lines > 0) {
        LineTimes &run = oldest ? lineTimes_.front() : lineTimes_.back();
        const qsizetype take = std::min(lines, run.lines);
        run.lines -= take;
        lines -= take;
        if (run.lines == 0) {
            if (oldest)
                lineTimes_.pop_front();
            else
                lineTimes_.pop_back();
        }
    }
}

void SpyLog::setLimit(qsizetype limit)
{
    limit_ = std::max<qsizetype>(1, limit);
    dropOverLimit();
}

void SpyLog::forEachPiece(const std::function<void(QStringView)> &sink) const
{
    for (std::size_t i = 0; i < chunks_.size(); ++i)
        sink(QStringView(chunks_[i]).sliced(i == 0 ? head_ : 0));
}

void SpyLog::forEachTimedPiece(const std::function<void(QStringView)> &sink) const
{
    auto run = lineTimes_.cbegin();
    qsizetype usedOfRun = 0;
    qint64 lastTime = 0;
    QString stamp;
    bool atLineStart = true;
    forEachPiece([&](QStringView piece) {
        while (!piece.isEmpty()) {
            if (atLineStart) {
                // Lines of one block share their time: the text of it is made once.
                while (run != lineTimes_.cend() && usedOfRun == run->lines) {
                    ++run;
                    usedOfRun = 0;
                }
                qint64 t = lastTime;
                if (run != lineTimes_.cend()) {
                    t = run->time;
                    ++usedOfRun;
                }
                if (stamp.isEmpty() || t != lastTime) {
                    stamp = spyLineTime(t) + QLatin1Char(' ');
                    lastTime = t;
                }
                sink(stamp);
                atLineStart = false;
            }
            const qsizetype lineFeed = piece.indexOf(kLineFeed);
            const qsizetype take = lineFeed < 0 ? piece.size() : lineFeed + 1;
            sink(piece.first(take));
            atLineStart = lineFeed >= 0;
            piece = piece.sliced(take);
        }
    });
}

QString spyLineTime(qint64 msecsSinceEpoch)
{
    return isoTimeWithOffset(QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch), true);
}

// Written by hand: Qt writes an offset of zero as "Z", which a reader may not
// know for the local time it is.
QString isoTimeWithOffset(const QDateTime &time, bool milliseconds)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(milliseconds ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")
                                      : QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"))
           + QStringLiteral("%1%2:%3")
                 .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                 .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                 .arg(minutes % 60, 2, 10, QLatin1Char('0'));
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
        const qsizetype available = chunks_.front().size() - head_;
        // Each line break dropped takes the whole line before it, and its time.
        const char16_t *front = QStringView(chunks_.front()).utf16() + head_;
        dropLineTimes(countLineFeeds(front, std::min(count, available)), true);
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
// The file is found and replaced the way every save of the loader does it
// (common/safe_save.h): no link planted by another user in a shared folder is
// followed, and a mode the file system refuses is no failure.
bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason)
{
    return saveSpyText([&log](const std::function<void(QStringView)> &sink) { log.forEachPiece(sink); }, path, reason);
}

bool saveSpyText(const SpyTextSource &text, const QString &path, QString *reason)
{
    auto failed = [reason](int error) {
        *reason = QString::fromLocal8Bit(std::strerror(error));
        return false;
    };
    std::string target;
    bool throughProc = false;
    if (const int error = safe_save::saveTarget(QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString(),
                                                target, throughProc))
        return failed(error);
    if (throughProc)
        return failed(EINVAL);

    struct stat existing {};
    const bool exists = ::lstat(target.c_str(), &existing) == 0;
    std::string temporary;
    int fd = -1;
    if (const int error =
            safe_save::createTemporary(target, safe_save::saveMode(exists ? &existing : nullptr), temporary, &fd))
        return failed(error);
    int error = 0;
    QStringEncoder toUtf8(QStringEncoder::Utf8);
    try {
        text([&](QStringView piece) {
            if (error == 0) {
                const QByteArray bytes = toUtf8.encode(piece);
                error = writeAll(fd, bytes.constData(), size_t(bytes.size()));
            }
        });
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return failed(error);
    }
    return true;
}
