#include "spy/spy_log.h"

#include <QSaveFile>
#include <QStringEncoder>

#include <algorithm>

namespace {
constexpr char16_t kLineFeed = 10;
} // namespace

SpyLog::SpyLog(qsizetype limit) : limit_(std::max<qsizetype>(1, limit)) {}

void SpyLog::append(QStringView filtered)
{
    while (!filtered.isEmpty()) {
        if (chunks_.empty() || chunks_.back().size() >= ChunkSize) {
            chunks_.emplace_back();
            chunks_.back().reserve(ChunkSize);
        }
        QString &last = chunks_.back();
        const qsizetype take = std::min(ChunkSize - last.size(), filtered.size());
        last.append(filtered.first(take));
        size_ += take;
        filtered = filtered.sliced(take);
    }
    dropOverLimit();
}

qsizetype SpyLog::eraseBeforeEnd(qsizetype count)
{
    qsizetype erased = 0;
    while (erased < count && !chunks_.empty()) {
        QString &last = chunks_.back();
        const qsizetype start = chunks_.size() == 1 ? head_ : 0;
        qsizetype end = last.size();
        const qsizetype stop = std::max(start, end - (count - erased));
        while (end > stop && last.at(end - 1) != QChar(kLineFeed))
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
        const qsizetype available = chunks_.front().size() - head_;
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
    if (size_ > 0 && chunks_.front().at(head_) == QChar(kLineFeed))
        dropFront(1);
}

bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *reason = file.errorString();
        return false;
    }
    QStringEncoder toUtf8(QStringEncoder::Utf8);
    bool written = true;
    log.forEachPiece([&](QStringView piece) {
        if (!written)
            return;
        const QByteArray bytes = toUtf8.encode(piece);
        written = file.write(bytes) == bytes.size();
    });
    if (!written || !file.commit()) {
        *reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
