#include "spy/spy_log.h"

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
