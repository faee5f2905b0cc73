#pragma once
// Texts that come from outside the program (print server messages, reasons
// from the system, file names, device names) made fit to show in a label, a
// message box or a tooltip: one line of visible characters, of bounded length.

#include <QString>

// Most characters of an outside text inside a message or a panel.
constexpr int kShownTextLimit = 300;
// Most characters of a tooltip that holds a whole outside text.
constexpr int kShownToolTipLimit = 4000;

// Returns text with every control character shown as a visible escape and cut
// to at most limit characters (at least 4):
//  - CR, LF and TAB as "\r", "\n" and "\t"; every other C0 control (ESC is
//    "\x1b", BEL "\x07", BS "\x08"), DEL and the C1 controls (U+0080 to
//    U+009F) as "\xHH", two lower-case hex digits; the line and paragraph
//    separators (U+2028, U+2029) and the direction overrides (U+202A to
//    U+202E, U+2066 to U+2069), which would reorder the text around them, as
//    "\uHHHH";
//  - a lone half of a surrogate pair as "\uHHHH";
//  - a text longer than limit (after the escapes) ends in "..." within the
//    limit, never cutting an escape or a surrogate pair in two.
// With ShownEscapes::Controls a backslash stays as it is. Ordinary texts
// (printable characters, no more than limit of them) come back unchanged.
// Showing the result again changes nothing, except that a smaller limit cuts
// it further.
// With ShownEscapes::Unambiguous a backslash is shown as "\\" (so that an
// escape in the result always stands for one character of the text) and so
// are the invisible marks U+200E, U+200F and U+FEFF ("\u200e"...): for texts
// written into a record that is read later.
enum class ShownEscapes { Controls, Unambiguous };
QString shownText(const QString &text, int limit = kShownTextLimit, ShownEscapes escapes = ShownEscapes::Controls);
