#include "spy/key_bytes.h"

#include "spy/cp1252.h"

namespace {

KeyBytes character(char byte)
{
    return {KeyKind::Character, QByteArray(1, byte)};
}

}  // namespace

KeyBytes keyBytes(int key, Qt::KeyboardModifiers modifiers, const QString &text)
{
    // Tab is left to the pane, which moves the focus with it.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return {KeyKind::NotCharacter, {}};
    // Alt and Meta combinations are menu access keys and desktop shortcuts.
    if (modifiers & (Qt::AltModifier | Qt::MetaModifier))
        return {text.isEmpty() ? KeyKind::NotCharacter : KeyKind::Shortcut, {}};

    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return character((modifiers & Qt::ControlModifier) ? '\n' : '\r');
    case Qt::Key_Backspace:
        return character((modifiers & Qt::ControlModifier) ? '\x7f' : '\b');
    case Qt::Key_Escape:
        return character('\x1b');
    case Qt::Key_Delete:
        // X11 gives Delete the text DEL (127); it produces no character.
        return {};
    default:
        break;
    }

    if (modifiers & Qt::ControlModifier) {
        // The platform's text for Ctrl+letter may be the control character or
        // nothing at all: the key code decides.
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return character(char(key - Qt::Key_A + 1));
        switch (key) {
        case Qt::Key_BracketLeft:
            return character('\x1b');
        case Qt::Key_Backslash:
            return character('\x1c');
        case Qt::Key_BracketRight:
            return character('\x1d');
        default:
            return {};
        }
    }

    if (text.isEmpty())
        return {};
    return {KeyKind::Character, cp1252::encode(text)};
}
