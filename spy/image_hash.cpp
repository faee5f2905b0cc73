#include "spy/image_hash.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFutureWatcher>
#include <QPromise>
#include <QThreadPool>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qsizetype kChunk = 1024 * 1024;

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
}  // namespace

ImageDigest sha256OfFile(const QString &path, const std::function<bool()> &cancelled)
{
    // Opened without waiting (a FIFO put in the image's place would block
    // the open) and read only when it is a regular file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {QString(), systemWords(errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        return {QString(), S_ISREG(st.st_mode) ? systemWords(error) : QStringLiteral("not a regular file")};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (;;) {
        if (cancelled && cancelled()) {
            ::close(fd);
            return {};
        }
        const ssize_t n = ::read(fd, chunk.data(), size_t(chunk.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return {QString(), systemWords(error)};
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), n));
    }
    ::close(fd);
    return {QString::fromLatin1(hash.result().toHex()), QString()};
}

ImageHasher::ImageHasher(QObject *parent) : QObject(parent) {}

ImageHasher::~ImageHasher()
{
    for (QFutureWatcherBase *watcher : std::as_const(running_)) {
        watcher->disconnect(this);
        watcher->cancel();
    }
}

void ImageHasher::hash(int id, const QString &path)
{
    auto promise = std::make_shared<QPromise<ImageDigest>>();
    auto *watcher = new QFutureWatcher<ImageDigest>(this);
    running_ << watcher;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, id] {
        running_.removeOne(watcher);
        watcher->deleteLater();
        if (watcher->future().resultCount() == 0)
            return;
        const ImageDigest digest = watcher->result();
        emit hashed(id, digest.hex, digest.error);
    });
    watcher->setFuture(promise->future());
    promise->start();
    QThreadPool::globalInstance()->start([promise, path] {
        ImageDigest digest = sha256OfFile(path, [&promise] { return promise->isCanceled(); });
        if (!promise->isCanceled())
            promise->addResult(std::move(digest));
        promise->finish();
    });
}
