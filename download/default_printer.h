#pragma once
// The system's default printer as the loader sees it: its device name and the
// port it sits on. Looked up afresh at every use; never cached.

#include <QString>
#include <memory>

struct DefaultPrinterInfo {
    enum class State {
        Ready,         // a default destination exists; name and port are filled
        NoServer,      // no print server runs (nothing accepts the connection)
        NoDefault,     // the server answered but no destination is the default
        NotAnswering,  // a server accepted the connection but did not answer in time
    };
    State state = State::NoServer;
    QString deviceName;   // the destination's name, empty unless Ready
    QString portName;     // "LPT1:", "LPT2:" or the device URI as it stands; empty unless Ready
    bool paused = false;  // Ready and the queue is stopped (cupsdisable): its jobs wait
};

class DefaultPrinter {
public:
    virtual ~DefaultPrinter() = default;
    // Asks the print system for the current default destination, giving up
    // after budgetMs in all (NotAnswering). Answers at once when no print
    // server runs.
    virtual DefaultPrinterInfo query(int budgetMs) = 0;
};

// The default printer of the CUPS server that libcups reaches.
std::unique_ptr<DefaultPrinter> makeCupsDefaultPrinter();

// Port name of a queue from its device URI: parallel:/dev/lp0 and
// parallel:/dev/usb/lp0 give "LPT1:", parallel:/dev/lp1 and
// parallel:/dev/usb/lp1 give "LPT2:" (a parallel port of the PC or of a card,
// or a USB-parallel adapter); anything else is returned unchanged.
QString portNameFromDeviceUri(const QString &deviceUri);
