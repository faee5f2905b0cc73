#include "spy/spy_pane.h"
#include "spy/spy_filter.h"
#include "spy/spy_log.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <exception>
#include <new>
#include <utility>

namespace {

constexpr char16_t kLineFeed = 10;
constexpr char16_t kCarriageReturn = 13;
constexpr char16_t kBreak = QChar::ParagraphSeparator;
// QTextCursor::insertText starts a new block at these too.
constexpr char16_t kBeginningOfFrame = 0xFDD0;
constexpr char16_t kEndOfFrame = 0xFDD1;

bool startsBlock(char16_t c)
{
    return c == kLineFeed || c == kCarriageReturn || c == kBreak || c == kBeginningOfFrame || c == kEndOfFrame;
}

// Walks the document's blocks forward, keeping the counted position (line
// breaks as two characters) at which the current block starts.
class CountedWalk {
public:
    explicit CountedWalk(const QTextDocument *doc) : block_(doc->begin()) {}

    // Moves to the block whose counted span holds position pos (pos must lie
    // before the end of the pane, or be its end). Positions only grow.
    void advanceTo(int pos)
    {
        while (block_.next().isValid() && pos >= start_ + textLength() + 2) {
            start_ += textLength() + 2;
            block_ = block_.next();
        }
    }
    // True when counted position pos is the CR of a line break.
    bool isCarriageReturn(int pos)
    {
        advanceTo(pos);
        return block_.next().isValid() && pos == start_ + textLength();
    }
    // The document position of counted position pos, which is not an LF.
    int documentPosition(int pos)
    {
        advanceTo(pos);
        return block_.position() + (pos - start_);
    }

private:
    int textLength() const { return block_.length() - 1; }

    QTextBlock block_;
    int start_ = 0;
};

// The same walk over held text, in which a line break is one paragraph
// separator.
class TextWalk {
public:
    explicit TextWalk(QStringView text) : text_(text) {}

    // Moves to the character whose counted span holds position pos, or to the
    // end of the text. Positions only grow.
    void advanceTo(int pos)
    {
        const qsizetype size = text_.size();
        while (index_ < size) {
            const int width = text_[index_] == kBreak ? 2 : 1;
            if (counted_ + width > pos)
                break;
            counted_ += width;
            ++index_;
        }
    }
    bool isCarriageReturn(int pos)
    {
        advanceTo(pos);
        return index_ < text_.size() && text_[index_] == kBreak && pos == counted_;
    }
    // The index of the character whose counted span holds position pos (for
    // the LF of a line break, the break itself).
    qsizetype indexOf(int pos)
    {
        advanceTo(pos);
        return index_;
    }
    // Line breaks before the current character.
    int breaksBefore() const { return counted_ - int(index_); }

private:
    QStringView text_;
    qsizetype index_ = 0;
    int counted_ = 0;
};

} // namespace

SpyPane::SpyPane(QPlainTextEdit *edit) : edit_(edit)
{
    edit_->setUndoRedoEnabled(false);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &SpyPane::refresh);
    sinceFlush_.start();
    // Mouse input arrives at the viewport, keys and focus at the pane itself.
    edit_->installEventFilter(this);
    edit_->viewport()->installEventFilter(this);
}

// characterCount() holds every character plus one separator per block (the last
// block's too); the pane shows each separator but the last as CR LF.
int SpyPane::widgetLength() const
{
    const QTextDocument *doc = edit_->document();
    return doc->characterCount() + doc->blockCount() - 2;
}

int SpyPane::length() const
{
    const int widget = widgetLength();
    return front_.length() + widget - qMin(widgetCut_, widget) + back_.length();
}

// The repeated trims are worked out on counted positions first and recorded as
// one cut; the widget sees it at the next flush.
int SpyPane::trim()
{
    const int before = length();
    if (before <= TrimAbove)
        return before;
    const int frontEnd = front_.length();
    const int widgetEnd = widgetLength();
    const int from = qMin(widgetCut_, widgetEnd);
    const int widgetKept = widgetEnd - from;
    TextWalk front(front_.text);
    CountedWalk widget(edit_->document());
    TextWalk back(back_.text);
    // A line break never straddles two parts, so the part that holds a
    // position alone tells whether it is a CR.
    auto isCarriageReturn = [&](int pos) {
        if (pos < frontEnd)
            return front.isCarriageReturn(pos);
        pos -= frontEnd;
        if (pos < widgetKept)
            return widget.isCarriageReturn(from + pos);
        return back.isCarriageReturn(pos - widgetKept);
    };
    int cut = 0;
    while (before - cut > TrimAbove) {
        int next = cut + TrimChunk;
        if (isCarriageReturn(next - 1))
            ++next;
        cut = next;
    }
    auto cutHeld = [](Held &held, TextWalk &walk, int count) {
        const qsizetype index = walk.indexOf(count);
        held.breaks -= walk.breaksBefore();
        held.text.remove(0, index);
    };
    if (cut <= frontEnd) {
        cutHeld(front_, front, cut);
    } else {
        front_ = Held();
        const int rest = cut - frontEnd;
        if (rest <= widgetKept) {
            widgetCut_ = from + rest;
        } else {
            widgetCut_ = widgetEnd;
            cutHeld(back_, back, rest - widgetKept);
        }
    }
    schedule();
    return length();
}

int SpyPane::eraseBeforeEnd(qsizetype count)
{
    if (count <= 0)
        return 0;
    if (!back_.text.isEmpty()) {
        const qsizetype lastBreak = back_.text.lastIndexOf(QChar(kBreak));
        const qsizetype lastLine = back_.text.size() - lastBreak - 1;
        if (lastBreak >= 0 || count <= lastLine) {
            const int erase = int(qMin(count, lastLine));
            back_.text.chop(erase);
            return erase;
        }
    }
    // The erase reaches into the widget's last line, which must then be the
    // pane's whole last line.
    QTextDocument *doc = edit_->document();
    if (widgetCut_ > 0 || !back_.text.isEmpty() || (!front_.text.isEmpty() && doc->blockCount() == 1))
        flush();
    const QTextBlock last = doc->lastBlock();
    const int erase = int(qMin<qsizetype>(count, last.length() - 1));
    if (erase == 0)
        return 0;
    QTextCursor cursor(doc);
    const int end = last.position() + last.length() - 1;
    cursor.setPosition(end);
    cursor.setPosition(end - erase, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    return erase;
}

void SpyPane::caretToEnd()
{
    if (widgetCut_ > 0 || !back_.text.isEmpty()) {
        caretPending_ = true;
        schedule();
        return;
    }
    caretPending_ = false;
    QTextCursor cursor = edit_->textCursor();
    cursor.movePosition(QTextCursor::End);
    edit_->setTextCursor(cursor);
}

// Text only ever waits after the widget's when the caret is at the end, so the
// widget's own caret counts only when nothing waits there.
bool SpyPane::caretAtEnd() const
{
    if (caretPending_ || !back_.text.isEmpty())
        return true;
    const QTextCursor cursor = edit_->textCursor();
    return !cursor.hasSelection() && cursor.position() == edit_->document()->characterCount() - 1;
}

void SpyPane::insertAtCaret(const QString &filtered)
{
    if (filtered.isEmpty())
        return;
    if (caretAtEnd()) {
        appendBack(filtered);
        caretPending_ = true;
        schedule();
        return;
    }
    // Inserting inside the text: the widget must hold everything first.
    flush();
    QTextCursor cursor = edit_->textCursor();
    cursor.insertText(filtered);
    edit_->setTextCursor(cursor);
}

// The line breaks that QTextCursor::insertText makes (CR LF, lone CR, lone LF
// and the separators) each become one paragraph separator, so that the held
// text is counted exactly as the widget will hold it.
void SpyPane::appendBack(QStringView filtered)
{
    QString &text = back_.text;
    const qsizetype start = text.size();
    const qsizetype needed = start + filtered.size();
    if (text.capacity() < needed)
        text.reserve(qMax(needed, 2 * text.capacity()));
    text.resize(needed);
    char16_t *const first = reinterpret_cast<char16_t *>(text.data());
    char16_t *out = first + start;
    const char16_t *in = filtered.utf16();
    const char16_t *const end = in + filtered.size();
    int breaks = 0;
    for (; in != end; ++in) {
        const char16_t c = *in;
        if (!startsBlock(c)) {
            *out++ = c;
            continue;
        }
        if (c == kCarriageReturn && in + 1 != end && in[1] == kLineFeed)
            ++in;
        *out++ = kBreak;
        ++breaks;
    }
    text.truncate(out - first);
    back_.breaks += breaks;
}

void SpyPane::schedule()
{
    if (!flushTimer_.isActive())
        flushTimer_.start(int(qMax<qint64>(0, FlushDelayMs - sinceFlush_.elapsed())));
}

// When the cut takes the whole widget, the document is rebuilt from the text
// after it: removing thousands of blocks one by one costs far more than
// starting afresh.
void SpyPane::flush()
{
    flushTimer_.stop();
    sinceFlush_.restart();
    if (!hasPending())
        return;
    const int cut = widgetCut_;
    const bool moveCaret = caretPending_ || !front_.text.isEmpty();
    const QString front = std::exchange(front_, Held()).text;
    const QString back = std::exchange(back_, Held()).text;
    widgetCut_ = 0;
    caretPending_ = false;

    QTextDocument *doc = edit_->document();
    if (cut > 0 && cut >= widgetLength()) {
        doc->setPlainText(back);
    } else {
        QTextCursor cursor(doc);
        if (cut > 0) {
            CountedWalk walk(doc);
            cursor.setPosition(walk.documentPosition(cut), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        if (!back.isEmpty()) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(back);
        }
        if (!front.isEmpty()) {
            cursor.setPosition(0);
            cursor.insertText(front);
        }
    }
    if (moveCaret) {
        QTextCursor caret = edit_->textCursor();
        caret.movePosition(QTextCursor::End);
        edit_->setTextCursor(caret);
    }
}

// Only the newest text is worth laying out while it floods in: the next blocks
// trim the older text away before anyone could read it.
void SpyPane::showNewest()
{
    flushTimer_.stop();
    sinceFlush_.restart();
    // Whole characters are shown from here on: a line break stays whole too.
    TextWalk walk(back_.text);
    const qsizetype index = walk.indexOf(back_.length() - TrimAbove);

    QTextDocument *doc = edit_->document();
    const int widgetEnd = widgetLength();
    const int from = qMin(widgetCut_, widgetEnd);
    if (from < widgetEnd) {
        const QString raw = doc->toRawText();
        const QStringView kept = QStringView(raw).mid(CountedWalk(doc).documentPosition(from));
        front_.text += kept;
        front_.breaks += (widgetEnd - from) - int(kept.size());
    }
    front_.text += QStringView(back_.text).left(index);
    front_.breaks += walk.breaksBefore();
    const QString shown = std::exchange(back_, Held()).text.mid(index);
    widgetCut_ = 0;
    caretPending_ = false;
    // The older text follows at the next flush, unless more floods in.
    schedule();

    doc->setPlainText(shown);
    QTextCursor caret = edit_->textCursor();
    caret.movePosition(QTextCursor::End);
    edit_->setTextCursor(caret);
}

void SpyPane::refresh()
{
    reportFailures(back_.length() > 2 * TrimAbove ? &SpyPane::showNewest : &SpyPane::flush);
}

void SpyPane::reportFailures(void (SpyPane::*update)())
{
    try {
        (this->*update)();
    } catch (const std::bad_alloc &) {
        emit flushFailed(QStringLiteral("Out of memory"));
    } catch (const std::exception &e) {
        emit flushFailed(QString::fromLocal8Bit(e.what()));
    }
}

bool SpyPane::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
    case QEvent::FocusIn:
        if (hasPending())
            reportFailures(&SpyPane::flush);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void SpyPane::clear()
{
    flushTimer_.stop();
    front_ = Held();
    widgetCut_ = 0;
    back_ = Held();
    caretPending_ = false;
    edit_->clear();
}

// toPlainText() would turn no-break spaces (byte 0xA0) into plain spaces.
QString SpyPane::text()
{
    flush();
    QString raw = edit_->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return raw;
}

void appendSpyBlock(SpyPane &pane, SpyLog &log, QString &block,
                    const std::function<void(const QString &description)> &fail)
{
    auto step = [&fail](auto &&run) {
        try {
            run();
        } catch (const std::bad_alloc &) {
            fail(QStringLiteral("Out of memory"));
        } catch (const std::exception &e) {
            fail(QString::fromLocal8Bit(e.what()));
        }
    };

    int displayLength = 0;
    step([&] { displayLength = pane.length(); });
    step([&] {
        if (displayLength > SpyPane::TrimAbove)
            displayLength = pane.trim();
    });
    SpyFilterResult filtered;
    step([&] {
        filtered = filterSpyBlock(block);
        block = filtered.text;
        if (filtered.leadingBackspaces > 0)
            pane.eraseBeforeEnd(filtered.leadingBackspaces);
    });
    // The log takes the block as the pane does, whatever the pane's own steps do.
    step([&] {
        log.eraseBeforeEnd(filtered.leadingBackspaces);
        log.append(block);
    });
    step([&] { pane.caretToEnd(); });
    step([&] { pane.insertAtCaret(block); });
}
