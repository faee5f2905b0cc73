#include "spy/spy_pane.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

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

} // namespace

SpyPane::SpyPane(QPlainTextEdit *edit) : edit_(edit)
{
    edit_->setUndoRedoEnabled(false);
}

// characterCount() holds every character plus one separator per block (the last
// block's too); the pane shows each separator but the last as CR LF.
int SpyPane::length() const
{
    const QTextDocument *doc = edit_->document();
    return doc->characterCount() + doc->blockCount() - 2;
}

// The repeated trims are worked out on counted positions first, then applied
// as one removal: after a large block, one edit per trim would relayout the
// document dozens of times.
int SpyPane::trim()
{
    const int before = length();
    if (before <= TrimAbove)
        return before;
    QTextDocument *doc = edit_->document();
    CountedWalk walk(doc);
    int cut = 0;
    while (before - cut > TrimAbove) {
        int next = cut + TrimChunk;
        if (walk.isCarriageReturn(next - 1))
            ++next;
        cut = next;
    }
    QTextCursor cursor(doc);
    cursor.setPosition(walk.documentPosition(cut), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    return length();
}

int SpyPane::eraseBeforeEnd(qsizetype count)
{
    if (count <= 0)
        return 0;
    QTextDocument *doc = edit_->document();
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
    QTextCursor cursor = edit_->textCursor();
    cursor.movePosition(QTextCursor::End);
    edit_->setTextCursor(cursor);
}

// QTextCursor::insertText makes one block break of each CR LF (and of a lone
// CR or LF), so the filtered text goes in as it is.
void SpyPane::insertAtCaret(const QString &filtered)
{
    if (filtered.isEmpty())
        return;
    QTextCursor cursor = edit_->textCursor();
    cursor.insertText(filtered);
    edit_->setTextCursor(cursor);
}

void SpyPane::clear()
{
    edit_->clear();
}

// toPlainText() would turn no-break spaces (byte 0xA0) into plain spaces.
QString SpyPane::text() const
{
    QString raw = edit_->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return raw;
}
