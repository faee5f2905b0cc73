#pragma once
// Which bytes a key typed into the spy display sends to the decoder while the
// serial port is open.

#include <QByteArray>
#include <QString>
#include <Qt>

enum class KeyKind {
    NotCharacter,  // the key produces no character: it acts on the pane as usual
                   // (Tab and Shift+Tab move the focus along the tab order)
    Character,     // sent as bytes, not shown
    Shortcut,      // text typed with Alt or Meta (the logo key) held: a menu access
                   // key or a desktop shortcut, never sent and never shown as text
};

struct KeyBytes {
    KeyKind kind = KeyKind::NotCharacter;
    QByteArray bytes;  // for Character: the bytes to send, in order (never empty)
};

// Maps a key press (Qt key code, modifiers, the text the platform gave it) to
// what goes to the decoder. Enter sends 13, Backspace 8, Esc 27; Ctrl with a
// letter sends its control code (Ctrl+A 1 ... Ctrl+Z 26) whatever text the
// platform gave; Ctrl with [ \ ] sends 27 28 29, Ctrl+Enter 10, Ctrl+Backspace
// 127. Any other key sends its text, each character through Windows-1252 ('?'
// for one the code page lacks). Tab and Shift+Tab, whatever the modifiers,
// produce no character; other keys with text held with Alt or Meta are
// shortcuts; keys with no text and Delete produce no character.
KeyBytes keyBytes(int key, Qt::KeyboardModifiers modifiers, const QString &text);
