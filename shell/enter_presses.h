#pragma once
// Enter on a focused push button presses it, as on the platform the loader
// was designed for, without making it a default button: Enter elsewhere in the
// window (a text box, say) keeps its own meaning.

class QAbstractButton;

// From now on Enter and keypad Enter, without other modifiers, click button
// while it has the focus. A key held down clicks once, not at every repeat.
void pressOnEnter(QAbstractButton *button);
