#pragma once
// Whether the loader has a display to open its window on, asked before the
// application object is made: Qt's own platform code aborts the program when
// it cannot connect, after several lines of its own.

// True when the platform Qt will take (the -platform argument, else
// QT_QPA_PLATFORM, else Wayland or X11) has a display: an X server that
// accepts a connection, a Wayland compositor's socket that accepts one, or a
// platform that needs none (offscreen, minimal, vnc, a frame buffer...).
bool displayReachable(int argc, char **argv);

// The one line that the loader writes to standard error without a display.
extern const char kNoDisplayMessage[];
