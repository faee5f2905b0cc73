#include "spy/spy_pane.h"
#include "spy/spy_filter.h"
#include "spy/spy_log.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <exception>
#include <new>
#include <utility>

namespace {

// QTextCursor::insertText starts a new block at these too.
constexpr char16_t kBreak = QChar::ParagraphSeparator;
constexpr char16_t kBeginningOfFrame = 0xFDD0;
constexpr char16_t kEndOfFrame = 0xFDD1;

bool startsBlock(char16_t c)
{
    return c == kLineFeed || c == kCarriageReturn || c == kBreak || c == kBeginningOfFrame || c == kEndOfFrame;
}

// The document's text from document position from on, each block separator
// written CR LF. toPlainText() would turn no-break spaces (byte 0xA0) into
// plain spaces.
QString widgetText(const QTextDocument *doc, int from = 0)
{
    QString raw = doc->toRawText();
    raw.remove(0, qMin<qsizetype>(from, raw.size()));
    raw.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return raw;
}

// Runs run; a failure reaches fail in the words the user is shown.
template <typename Run, typename Fail> void trapped(Run &&run, Fail &&fail)
{
    try {
        run();
    } catch (const std::bad_alloc &) {
        fail(QStringLiteral("Out of memory"));
    } catch (const std::exception &e) {
        fail(QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace

SpyPane::SpyPane(QPlainTextEdit *edit) : edit_(edit)
{
    edit_->setUndoRedoEnabled(false);
    text_ = widgetText(edit_->document());
    connect(edit_->document(), &QTextDocument::contentsChanged, this, &SpyPane::takeWidgetChange);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &SpyPane::refresh);
    sinceFlush_.start();
    // Mouse input arrives at the viewport, keys and focus at the pane itself.
    edit_->installEventFilter(this);
    edit_->viewport()->installEventFilter(this);
}

int SpyPane::length() const
{
    return int(text_.size());
}

// The widget's part of the cut is counted in document characters: each CR LF
// of it is one block separator there.
int SpyPane::trim()
{
    const qsizetype before = text_.size();
    if (before <= TrimAbove)
        return int(before);
    qsizetype cut = 0;
    while (before - cut > TrimAbove) {
        qsizetype next = cut + TrimChunk;
        if (text_.at(next - 1) == QLatin1Char('\r') && text_.at(next) == QLatin1Char('\n'))
            ++next;
        cut = next;
    }
    const qsizetype shownEnd = before - waiting_;
    const qsizetype shownCut = qMax<qsizetype>(0, qMin(cut, shownEnd) - unshown_);
    if (shownCut > 0) {
        const QStringView gone = QStringView(text_).mid(unshown_, shownCut);
        widgetCut_ += int(shownCut - gone.count(QLatin1String("\r\n")));
    }
    waiting_ -= qMax<qsizetype>(0, cut - shownEnd);
    unshown_ = qMax<qsizetype>(0, unshown_ - cut);
    text_.remove(0, cut);
    schedule();
    return length();
}

int SpyPane::eraseBeforeEnd(qsizetype count)
{
    if (count <= 0)
        return 0;
    const qsizetype lastLine = text_.size() - text_.lastIndexOf(QLatin1Char('\n')) - 1;
    if (waiting_ > 0 && (lastLine < waiting_ || count <= waiting_)) {
        const int erase = int(qMin(count, lastLine));
        text_.chop(erase);
        waiting_ -= erase;
        return erase;
    }
    // The erase reaches into the widget's last line, which must then be the
    // pane's whole last line.
    QTextDocument *doc = edit_->document();
    if (widgetCut_ > 0 || waiting_ > 0 || (unshown_ > 0 && doc->blockCount() == 1))
        flush();
    const int erase = int(qMin(count, lastLine));
    if (erase == 0)
        return 0;
    const QScopedValueRollback<bool> updating(updating_, true);
    QTextCursor cursor(doc);
    const int end = doc->characterCount() - 1;
    cursor.setPosition(end);
    cursor.setPosition(end - erase, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    text_.chop(erase);
    return erase;
}

void SpyPane::caretToEnd()
{
    if (widgetCut_ > 0 || waiting_ > 0) {
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
    if (caretPending_ || waiting_ > 0)
        return true;
    const QTextCursor cursor = edit_->textCursor();
    return !cursor.hasSelection() && cursor.position() == edit_->document()->characterCount() - 1;
}

void SpyPane::insertAtCaret(const QString &filtered)
{
    if (filtered.isEmpty())
        return;
    if (caretAtEnd()) {
        appendWaiting(filtered);
        caretPending_ = true;
        schedule();
        return;
    }
    // Inserting inside the text: the widget must hold everything first, and
    // its text is then the pane's.
    flush();
    QTextCursor cursor = edit_->textCursor();
    cursor.insertText(filtered);
    edit_->setTextCursor(cursor);
}

// Every line break that QTextCursor::insertText would make (CR LF, lone CR,
// lone LF and the separators) is written CR LF, so that the text holds just
// what the widget will show.
void SpyPane::appendWaiting(QStringView filtered)
{
    const qsizetype start = text_.size();
    const qsizetype needed = start + 2 * filtered.size();
    if (text_.capacity() < needed)
        text_.reserve(qMax(needed, 2 * text_.capacity()));
    text_.resize(needed);
    char16_t *const first = reinterpret_cast<char16_t *>(text_.data());
    char16_t *out = first + start;
    const char16_t *in = filtered.utf16();
    const char16_t *const end = in + filtered.size();
    for (; in != end; ++in) {
        const char16_t c = *in;
        if (!startsBlock(c)) {
            *out++ = c;
            continue;
        }
        if (c == kCarriageReturn && in + 1 != end && in[1] == kLineFeed)
            ++in;
        *out++ = kCarriageReturn;
        *out++ = kLineFeed;
    }
    text_.truncate(out - first);
    waiting_ += text_.size() - start;
}

void SpyPane::schedule()
{
    if (!flushTimer_.isActive())
        flushTimer_.start(int(qMax<qint64>(0, FlushDelayMs - sinceFlush_.elapsed())));
}

// When the cut takes the whole widget, the document is rebuilt from the text:
// removing thousands of blocks one by one costs far more than starting afresh.
void SpyPane::flush()
{
    flushTimer_.stop();
    sinceFlush_.restart();
    if (!hasPending())
        return;
    const int cut = std::exchange(widgetCut_, 0);
    const qsizetype unshown = std::exchange(unshown_, 0);
    const qsizetype waiting = std::exchange(waiting_, 0);
    const bool moveCaret = std::exchange(caretPending_, false) || unshown > 0;

    const QScopedValueRollback<bool> updating(updating_, true);
    QTextDocument *doc = edit_->document();
    if (cut > 0 && cut >= doc->characterCount() - 1) {
        doc->setPlainText(text_);
    } else {
        QTextCursor cursor(doc);
        if (cut > 0) {
            cursor.setPosition(cut, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        if (waiting > 0) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(text_.right(waiting));
        }
        if (unshown > 0) {
            cursor.setPosition(0);
            cursor.insertText(text_.left(unshown));
        }
    }
    if (moveCaret) {
        QTextCursor caret = edit_->textCursor();
        caret.movePosition(QTextCursor::End);
        edit_->setTextCursor(caret);
    }
}

// Only the newest text is worth laying out while it floods in: the next blocks
// trim the older text away before anyone could read it. A line break is shown
// whole.
void SpyPane::showNewest()
{
    flushTimer_.stop();
    sinceFlush_.restart();
    qsizetype from = text_.size() - TrimAbove;
    if (text_.at(from) == QLatin1Char('\n') && text_.at(from - 1) == QLatin1Char('\r'))
        --from;
    unshown_ = from;
    widgetCut_ = 0;
    waiting_ = 0;
    caretPending_ = false;
    // The older text follows at the next flush, unless more floods in.
    schedule();

    const QScopedValueRollback<bool> updating(updating_, true);
    edit_->document()->setPlainText(text_.mid(from));
    QTextCursor caret = edit_->textCursor();
    caret.movePosition(QTextCursor::End);
    edit_->setTextCursor(caret);
}

void SpyPane::refresh()
{
    reportFailures(waiting_ > 2 * TrimAbove ? &SpyPane::showNewest : &SpyPane::flush);
}

void SpyPane::reportFailures(void (SpyPane::*update)())
{
    trapped([&] { (this->*update)(); }, [this](const QString &description) { emit flushFailed(description); });
}

// The widget's text after its pending cut stands for the text between the
// unshown and the waiting parts.
void SpyPane::takeWidgetChange()
{
    if (updating_)
        return;
    const QString shown = widgetText(edit_->document(), widgetCut_);
    text_ = text_.left(unshown_) + shown + text_.right(waiting_);
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
    text_.clear();
    unshown_ = 0;
    widgetCut_ = 0;
    waiting_ = 0;
    caretPending_ = false;
    const QScopedValueRollback<bool> updating(updating_, true);
    edit_->clear();
}

QString SpyPane::text()
{
    flush();
    return text_;
}

void appendSpyBlock(SpyPane &pane, SpyLog &log, QString &block,
                    const std::function<void(const QString &description)> &fail)
{
    auto step = [&fail](auto &&run) { trapped(run, fail); };

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
