#pragma once
// The spy display filter: one received block turned into the text the pane
// shows, in time linear in the block.

#include <QString>
#include <QStringView>

// The two characters of a line break in the spy text (CR LF).
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kLineFeed = u'\n';

struct SpyFilterResult {
    // Backspaces left at the start of the block after the backspace pass: each
    // erases one more character already shown (stopping at a line break).
    qsizetype leadingBackspaces = 0;
    // The block after the four passes; every line break in it is CR LF.
    QString text;
};

// The four passes in their order, each as if run to completion before the next:
// NUL: every NUL is removed alone; backspace: a backspace removes itself and the
// character before it, one at the start of the block is dropped and counted;
// line feed: every LF is removed; carriage return: every CR becomes CR LF.
// All other characters pass unchanged.
SpyFilterResult filterSpyBlock(QStringView block);
