#include "spy/spy_log.h"

#include "common/safe_save.h"

#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr QChar kLineFeed = QLatin1Char('\n');
}  // namespace

SpyLog::SpyLog(qsizetype limit) : limit_(std::max<qsizetype>(1, limit)) {}

void SpyLog::append(QStringView filtered)
{
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

void SpyLog::forEachPiece(const std::function<void(QStringView)> &sink) const
{
    for (std::size_t i = 0; i < chunks_.size(); ++i)
        sink(QStringView(chunks_[i]).sliced(i == 0 ? head_ : 0));
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
        log.forEachPiece([&](QStringView piece) {
            if (error == 0) {
                const QByteArray bytes = toUtf8.encode(piece);
                error = safe_save::writeAll(fd, bytes.constData(), size_t(bytes.size()));
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
