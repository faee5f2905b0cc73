#pragma once
// A pseudo-terminal pair standing in for a serial line: the code under test
// opens the slave by its path, the test plays the decoder on the master. Or
// the other way round: PtySlave opens the slave of a pseudo-terminal that a
// program under test made, as the loader opens its port.

#include <QByteArray>
#include <QString>

// Reads and writes on one end of a pseudo-terminal without blocking, processing
// the calling thread's events while it waits (the other end may live in this
// very thread).
class PtyEnd {
public:
    PtyEnd(const PtyEnd &) = delete;
    PtyEnd &operator=(const PtyEnd &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    QString errorString() const { return error_; }

    // Writes what the line takes at once without waiting; returns how many
    // bytes went, or -1 on an error.
    qsizetype writeSome(const QByteArray &bytes);
    // Writes all bytes, processing the calling thread's events while the line
    // is full (so a reader in this thread can make room). False when it cannot
    // finish within timeoutMs or on an error.
    bool write(const QByteArray &bytes, int timeoutMs = 5000);
    // Reads what arrives within timeoutMs, processing events while waiting;
    // returns as soon as at least minBytes have come (1 by default).
    QByteArray read(int timeoutMs, qsizetype minBytes = 1);
    // Reads for the whole of timeoutMs, processing events, and returns all.
    QByteArray readFor(int timeoutMs);
    // Reads until needle has arrived; returns what came up to its end (the rest
    // stays for the next read), or an empty array on timeout.
    QByteArray readUntil(const QByteArray &needle, int timeoutMs = 3000);
    // True once the far side hung up within timeoutMs: poll reports it and a
    // read fails with EIO or ends.
    bool hungUp(int timeoutMs = 3000);

protected:
    PtyEnd() = default;
    ~PtyEnd();
    void closeEnd();

    int fd_ = -1;
    QString error_;

private:
    void waitForEnd(short events);

    QByteArray pending_;  // read past a needle, handed out by the next read
};

class PtyPair : public PtyEnd {
public:
    // Opens the pair (raw line discipline, master non-blocking). The pair keeps
    // a slave descriptor of its own until closeSlave(), so that the master works
    // before and between the opens of the code under test. Reads and writes go
    // to the master.
    PtyPair();
    ~PtyPair();

    // The slave's device path, e.g. /dev/pts/3, for the port resolver.
    QString slavePath() const { return slavePath_; }
    int masterFd() const { return fd_; }

    // Closes the master: the far end of the line goes away (the slave side
    // sees a hang-up).
    void closeMaster();
    void closeSlave();

private:
    int slave_ = -1;
    QString slavePath_;
};

// The slave of a pseudo-terminal opened by its path (non-blocking, not as the
// controlling terminal), as the loader opens its port.
class PtySlave : public PtyEnd {
public:
    PtySlave() = default;
    // False with errorString() set when it cannot be opened.
    bool open(const QString &path);
};
