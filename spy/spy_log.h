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
    // The most characters kept by default: 32 Mi characters, 32 MiB of text
    // from the serial line (64 MiB at most, were all of it UTF-16).
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
    // Text is held in chunks so that neither adding at the end nor dropping
    // at the front ever moves the rest. A chunk is 2 MiB of memory mapped for
    // it alone and aligned so that the system can back it with one huge page:
    // filling fresh memory a small page at a time costs a flood more than all
    // the copying, and chunks taken from the heap would sit among the pane's
    // short-lived allocations, whose freed room then stays with the process.
    static constexpr std::size_t ChunkBytes = 2 * 1024 * 1024;

    // A narrow chunk holds one byte a character in the 8-bit character set,
    // which is all the serial line can bring; a character outside it makes the
    // chunk it goes into wide (UTF-16), and that chunk stays wide until full.
    // Throws std::bad_alloc when no memory can be mapped.
    struct Chunk {
        explicit Chunk(bool isWide);
        ~Chunk();
        Chunk(Chunk &&other) noexcept;
        Chunk &operator=(Chunk &&other) noexcept;
        Chunk(const Chunk &) = delete;
        Chunk &operator=(const Chunk &) = delete;

        qsizetype capacity() const { return qsizetype(wide ? ChunkBytes / 2 : ChunkBytes); }
        unsigned char *bytes() const { return static_cast<unsigned char *>(memory); }
        char16_t *chars() const { return static_cast<char16_t *>(memory); }
        char16_t at(qsizetype i) const;

        void *memory = nullptr;
        qsizetype size = 0;
        bool wide = false;
    };

    void widenLast();

    void dropFront(qsizetype count);
    void dropOverLimit();

    qsizetype limit_;
    std::deque<Chunk> chunks_;
    // Characters of the first chunk already dropped.
    qsizetype head_ = 0;
    qsizetype size_ = 0;
};

// Writes the log's text to path in UTF-8, replacing the file only once the
// whole text is written (a hidden temporary file beside it, then a rename): on
// a failure an existing file stays as it was and no partial file is left. An
// existing file keeps its permissions; a link has the file it names replaced.
// Returns false with the system's reason in *reason.
bool saveSpyLog(const SpyLog &log, const QString &path, QString *reason);
