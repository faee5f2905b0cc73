#pragma once
// The spy display's operations over the window's QPlainTextEdit, with its text
// counted as a line break being two characters (CR LF), any other one.

#include <QString>
#include <QStringView>

class QPlainTextEdit;

class SpyPane {
public:
    // Above this many characters the pane is trimmed before a block is added.
    static constexpr int TrimAbove = 16000;
    // A trim discards this many of the oldest characters.
    static constexpr int TrimChunk = 4096;

    // Works on edit, which must outlive this object. Turns the display's undo
    // history off: every block would otherwise stay in memory as an undo step.
    explicit SpyPane(QPlainTextEdit *edit);

    QPlainTextEdit *edit() const { return edit_; }

    // The number of characters in the pane, each line break counted as two.
    // Constant time.
    int length() const;

    // While the pane holds more than TrimAbove characters, its oldest TrimChunk
    // characters go; when the last of them is the CR of a line break, its LF goes
    // too. All the cuts are made as one edit of the document. Returns the length
    // afterwards (unchanged when the pane holds TrimAbove or fewer).
    int trim();

    // Erases up to count characters before the end of the pane, stopping at a
    // line break (which stays) or at an empty pane. Returns how many went.
    int eraseBeforeEnd(qsizetype count);

    // Puts the caret after the last character, collapsing any selection, and
    // scrolls it into view.
    void caretToEnd();

    // Inserts filtered text at the caret (replacing a selection, if any), each
    // CR LF becoming one line break of the pane; leaves the caret after it, in view.
    void insertAtCaret(const QString &filtered);

    // Empties the pane.
    void clear();

    // The pane's text with every line break written as CR LF.
    QString text() const;

private:
    QPlainTextEdit *edit_;
};
