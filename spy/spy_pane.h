#pragma once
// The spy display's operations over the window's QPlainTextEdit: the pane's
// text is one string with CR LF line breaks, bounded by the trim, and the
// widget is brought up to date with it at most once every FlushDelayMs however
// fast blocks arrive.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringView>
#include <QTimer>

#include <functional>

class QPlainTextEdit;
class SpyLog;

// The spy display as its procedures see it, ahead of what the widget shows.
class SpyPane : public QObject {
    Q_OBJECT

public:
    // Above this many characters the pane is trimmed before a block is added.
    static constexpr int TrimAbove = 16000;
    // A trim discards this many of the oldest characters.
    static constexpr int TrimChunk = 4096;
    // The longest a change waits before it is shown: a burst of blocks costs
    // one update of the widget per period, a lone block is shown at once.
    static constexpr int FlushDelayMs = 25;

    // Works on edit, which must outlive this object. Turns the display's undo
    // history off: every block would otherwise stay in memory as an undo step.
    // Every operation below acts on the pane as it stands after all calls so
    // far, whatever the widget shows yet. A key, a click or the focus reaching
    // edit flushes first, so that the user always acts on the whole text; the
    // filter is installed on edit after any already there, so it runs first.
    // What the user or anyone else changes in edit's text is the pane's at once.
    explicit SpyPane(QPlainTextEdit *edit);

    // The number of characters in the pane, each line break counted as two.
    // Constant time.
    int length() const;

    // While the pane holds more than TrimAbove characters, its oldest TrimChunk
    // characters go; when the last of them is the CR of a line break, its LF goes
    // too. Returns the length afterwards (unchanged when the pane holds
    // TrimAbove or fewer).
    int trim();

    // Erases up to count characters before the end of the pane, stopping at a
    // line break (which stays) or at an empty pane. Returns how many went.
    int eraseBeforeEnd(qsizetype count);

    // Puts the caret after the last character, collapsing any selection, and
    // scrolls it into view.
    void caretToEnd();

    // Inserts filtered text at the caret (replacing a selection, if any); each
    // CR LF, lone CR or lone LF becomes one line break of the pane. Leaves the
    // caret after it, in view.
    void insertAtCaret(const QString &filtered);

    // Empties the pane, pending changes included.
    void clear();

    // The pane's text with every line break written as CR LF (flushes first).
    QString text();

    // Hands every pending change to the widget now: one removal at its front or
    // text held before it inserted there, text held after it inserted at its
    // end, then the caret to the end, in view.
    void flush();

    // The update the event loop runs at the latest FlushDelayMs after the
    // previous one: while more than twice TrimAbove characters wait after the
    // widget's text (text flooding in), the widget shows only the newest
    // TrimAbove of them and holds the rest before its text for a later
    // update; otherwise as flush(). Failures are reported by flushFailed.
    void refresh();

    // True while changes wait for a flush.
    bool hasPending() const { return widgetCut_ > 0 || unshown_ > 0 || waiting_ > 0 || caretPending_; }

signals:
    // A flush run from the event loop failed; description is the reason.
    void flushFailed(const QString &description);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool caretAtEnd() const;
    void appendWaiting(QStringView filtered);
    void schedule();
    // Runs update from the event loop, reporting its failures by flushFailed.
    void reportFailures(void (SpyPane::*update)());
    // The widget shows the newest TrimAbove characters of the text; all the
    // text before them waits to be shown before the widget's.
    void showNewest();
    // A change that the user or anyone else made to the widget's text becomes
    // the pane's; text still to be shown stays so.
    void takeWidgetChange();

    QPlainTextEdit *edit_;
    // The pane's text, each line break CR LF. Until the next flush the widget
    // holds, after the widgetCut_ characters it has still to lose at its
    // front, the part of text_ between its first unshown_ and last waiting_
    // characters.
    QString text_;
    // Only while unshown_ is 0 can the widget have a cut.
    qsizetype unshown_ = 0;
    // Document characters (a line break is one) to remove from the widget's front.
    int widgetCut_ = 0;
    qsizetype waiting_ = 0;
    // The caret goes to the end (and into view) at the next flush.
    bool caretPending_ = false;
    // True while the pane itself edits the widget.
    bool updating_ = false;
    QTimer flushTimer_;
    QElapsedTimer sinceFlush_;
};

// The spy display procedure for one received block, in its order: measure the
// pane, trim it when it holds more than SpyPane::TrimAbove characters, filter
// the block (block becomes the filtered text) and erase before the pane's end
// what its leading backspaces reach, give the log the same erasure and text,
// move the caret to the end, insert the text there. Each step runs under its
// own error trap: a step that throws is reported to fail ("Out of memory", or
// the exception's text) and the next step runs with the values as they stand
// (a failed filter leaves block as it came in).
void appendSpyBlock(SpyPane &pane, SpyLog &log, QString &block,
                    const std::function<void(const QString &description)> &fail);
