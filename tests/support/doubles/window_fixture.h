#pragma once
// The main window under test, built on service doubles (or on given services
// with a scripted file dialog and recorded message boxes), with the controls
// the suites drive found by their object names.

#include "pty_pair.h"
#include "service_doubles.h"
#include "shell/qx7100_1.h"

#include <QString>
#include <memory>

class QAction;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// Builds one window for one test, shows it as the test needs and finds its controls.
class WindowFixture {
public:
    enum class Show {
        Hidden,
        Shown,    // shown, not waited for
        Exposed,  // shown, asked to be active, waited for until exposed
        Active,   // shown, asked to be active, waited for until active
    };
    struct Options {
        Show show = Show::Hidden;
        // When set, the printer double answers Ready with this queue on LPT1:.
        QString readyPrinter;
        // COM1 and COM2 open the slaves of two pseudo-terminals, line1 and line2.
        bool ptyPorts = false;
    };

    // A window on the doubles, made as options say (hidden by default); a
    // failed wait for the window is a test failure.
    WindowFixture();
    explicit WindowFixture(const Options &options);
    // A window on services but for the file dialog and the message boxes, which
    // are doubles.fileDialog and doubles.messages; the other doubles are null.
    WindowFixture(LoaderServices services, Show show);
    WindowFixture(const WindowFixture &) = delete;
    WindowFixture &operator=(const WindowFixture &) = delete;

    // With ptyPorts: the lines whose slaves COM1 and COM2 open. device1 and
    // device2 name what each opens and are read at every open, so a test may
    // point them elsewhere.
    std::unique_ptr<PtyPair> line1, line2;
    QString device1, device2;
    ServiceDoubles doubles;
    std::unique_ptr<qx7100_1> window;

    // Shows the window as how says; false when the wait for it timed out.
    bool show(Show how);

    template <typename T> T *child(const char *name) const { return window->findChild<T *>(QLatin1String(name)); }
    QAction *action(const char *name) const;
    // The information pane (Textinfo) and the spy display (txtTerm).
    QPlainTextEdit *info() const;
    QPlainTextEdit *spy() const;
    QPushButton *start() const;
    // A panel of the status bar by its key: Printer, Settings, Job.
    QLabel *panel(const char *key) const;

    // File > bin_file_to_load, the dialog answering path (empty: a cancel).
    void choose(const QString &path);
    // File > Convert_srec2bin, the dialog answering srecPath.
    void convert(const QString &srecPath);

protected:
    struct Later {};
    // Makes the doubles only; the derived fixture calls open() with its services.
    explicit WindowFixture(Later) {}
    // Gives services doubles.fileDialog and doubles.messages; the other doubles
    // are deleted and set to null.
    LoaderServices withDialogDoubles(LoaderServices services);
    // Makes the window on services and shows it as how says.
    void open(LoaderServices services, Show how);
};
