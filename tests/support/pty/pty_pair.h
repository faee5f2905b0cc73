#pragma once
// A pseudo-terminal pair standing in for a serial line: the code under test
// opens the slave by its path, the test plays the decoder on the master.

#include <QByteArray>
#include <QString>

class PtyPair {
public:
    // Opens the pair (raw line discipline, master non-blocking). The pair keeps
    // a slave descriptor of its own until closeSlave(), so that the master works
    // before and between the opens of the code under test.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isOpen() const { return master_ >= 0; }
    QString errorString() const { return error_; }
    // The slave's device path, e.g. /dev/pts/3, for the port resolver.
    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

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

    // Closes the master: the far end of the line goes away (the slave side
    // sees a hang-up).
    void closeMaster();
    void closeSlave();

private:
    void waitForMaster(short events);

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QString error_;
};
