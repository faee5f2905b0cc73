#pragma once
// Computes the SHA-256 of an image file away from the window's thread: a
// large image must not stop the window while it is read. The result comes
// back on the hasher's thread through hashed().

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QFutureWatcherBase;

class ImageHasher : public QObject {
    Q_OBJECT

public:
    explicit ImageHasher(QObject *parent = nullptr);
    // Stops the computations still running; none reports any more.
    ~ImageHasher() override;

    // Starts hashing the regular file at path; hashed(id, ...) follows. A
    // path that is not a regular file (a FIFO, a device) is refused without
    // waiting on it.
    void hash(int id, const QString &path);

signals:
    // hex is the SHA-256 in lowercase hexadecimal, or empty with error saying
    // why the file could not be read.
    void hashed(int id, const QString &hex, const QString &error);

private:
    QList<QFutureWatcherBase *> running_;
};

struct ImageDigest {
    QString hex;
    QString error;
};

// The SHA-256 of the regular file at path, read in bounded chunks; stops
// early (with an empty result) once cancelled() says so.
ImageDigest sha256OfFile(const QString &path, const std::function<bool()> &cancelled = {});
