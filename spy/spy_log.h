#pragma once
// The spy display's whole text of the run, as the pane would show it if it
// were never trimmed: the filtered blocks with their CR LF line breaks and the
// erasures of their leading backspaces. Bounded in memory: past the limit the
// oldest text goes first.

#include <QString>
#include <QStringView>

#include <cstddef>
#include <deque>
#include <functional>

class SpyLog {
public:
    // The most characters kept by default: 32 Mi characters, 64 MiB as UTF-16.
    static constexpr qsizetype DefaultLimit = qsizetype(32) * 1024 * 1024;

    // Keeps at most limit characters (at least 1).
    explicit SpyLog(qsizetype limit = DefaultLimit);

    // Adds filtered text at the end, then drops the oldest characters beyond
    // the limit; a cut never leaves the LF of a CR LF at the front.
    void append(QStringView filtered);
    // Erases up to count characters before the end, stopping at a line break
    // (which stays) or at an empty log, as a leading backspace does on the
    // pane. Returns how many went.
    qsizetype eraseBeforeEnd(qsizetype count);
    void clear();

    qsizetype size() const { return size_; }
    qsizetype limit() const { return limit_; }
    // Changes the limit; text beyond a smaller one goes at once.
    void setLimit(qsizetype limit);

    // The whole text, line breaks as CR LF.
    QString text() const;

    // Calls sink(piece) for the text in order, piece by piece (at most a
    // chunk each), without building one string of it all.
    void forEachPiece(const std::function<void(QStringView)> &sink) const;

private:
    // Text is held in chunks of at most ChunkChars characters, so that neither
    // adding at the end nor dropping at the front ever moves the rest.
    static constexpr qsizetype ChunkChars = 1024 * 1024;

    void dropFront(qsizetype count);
    void dropOverLimit();

    qsizetype limit_;
    std::deque<QString> chunks_;
    // Characters of the first chunk already dropped.
    qsizetype head_ = 0;
    qsizetype size_ = 0;
};

// Writes the log's text to path in UTF-8, replacing the file only once the
// whole text is written (a hidden temporary file beside it, then a rename): on
// a failure an existing file stays as it was and no partial file is left. An
// existing file keeps its permissions; a link has the file it names replaced,
// but a link that another user planted in a sticky folder everyone may write to
// is not followed (the save fails with "Permission denied").
// Returns false with the system's reason in *reason.
bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason);
