#pragma once
// The spy display's whole text of the run, as the pane would show it if it
// were never trimmed: the filtered blocks with their CR LF line breaks and the
// erasures of their leading backspaces. Bounded in memory: past the limit the
// oldest text goes first. Each line keeps the time its first character came
// in (one number a line, whatever its length), so that it can be written with
// the text.

#include <QString>
#include <QStringView>

#include <cstddef>
#include <deque>
#include <functional>

class SpyLog {
public:
    // The most characters kept by default: 32 Mi characters, 64 MiB as UTF-16.
    static constexpr qsizetype DefaultLimit = qsizetype(32) * 1024 * 1024;

    // Milliseconds since the epoch, as the clock read for an arrival.
    using Clock = std::function<qint64()>;

    // Keeps at most limit characters (at least 1).
    explicit SpyLog(qsizetype limit = DefaultLimit);
    // The clock read once for each text added (the system's by default).
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Adds filtered text at the end, then drops the oldest characters beyond
    // the limit; a cut never leaves the LF of a CR LF at the front. Every line
    // that the text begins takes the clock's time as its arrival.
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
    // The same with each line preceded by the time its first character came
    // in, as ISO 8601 local time with milliseconds and the offset from UTC
    // ("2026-12-09T01:14:48.123+01:00 "). A line cut by the limit keeps its
    // time; a line whose characters were all erased lost it.
    void forEachTimedPiece(const std::function<void(QStringView)> &sink) const;

    // The number of lines that hold an arrival time (for tests).
    qsizetype timedLines() const { return lineCount_; }

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
    // Lines that came in at the same time (a block's lines share its time).
    struct LineTimes {
        qint64 time;
        qsizetype lines;
    };
    // Drops the times of that many lines, the oldest or the newest.
    void dropLineTimes(qsizetype lines, bool oldest);

    // One time a line of the text (the lines ended by an LF, and the last one
    // when it holds any character), held as runs of lines of equal time: at
    // most one entry a line, one a block in a flood.
    std::deque<LineTimes> lineTimes_;
    qsizetype lineCount_ = 0;
    Clock clock_;
};

// The arrival time written before a line: local time with milliseconds and
// the offset from UTC.
QString spyLineTime(qint64 msecsSinceEpoch);

class QDateTime;
// time as ISO 8601 in its own offset from UTC, "+00:00" included:
// "2026-12-09T01:14:48+01:00", with ".123" before the offset when asked.
QString isoTimeWithOffset(const QDateTime &time, bool milliseconds);

// Writes the log's text to path in UTF-8, replacing the file only once the
// whole text is written (a hidden temporary file beside it, then a rename): on
// a failure an existing file stays as it was and no partial file is left. An
// existing file keeps its permissions; a link has the file it names replaced,
// but a link that another user planted in a sticky folder everyone may write to
// is not followed (the save fails with "Permission denied").
// Returns false with the system's reason in *reason.
bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason);

// Hands a text to sink piece by piece, in order.
using SpyTextSource = std::function<void(const std::function<void(QStringView)> &sink)>;
// The same as saveSpyLog for any text: the record's header before the log's
// text, say.
bool saveSpyText(const SpyTextSource &text, const QString &path, QString *reason);
