#pragma once
// The serial-port component MSComm1: one port at 38400 baud, no parity, 8 data
// bits, 1 stop bit, chosen by number, read in blocks and reported through OnComm.
//
// Principles of operation
//
// A QSerialPort opens the device and sets the line; MSComm also reads and
// writes its descriptor directly. The port's read notification takes one chunk
// into its buffer (a pseudo-terminal gives at most 4095 bytes a read); inside
// that notification MSComm reads the descriptor on until it is empty, up to
// InputCap, so a flood comes in a few large blocks instead of one event per
// chunk. It reads nowhere else: a read from elsewhere could leave the
// notification to find the device empty and report that as an error. Output is
// written straight to the descriptor so that a failure is known at once; only
// what the driver's queue cannot take waits in the port's write buffer.
//
// The port reports a read error both for a failed device and for a
// notification that found nothing, and again at every turn of the event loop
// while that lasts. MSComm asks the device: a hang-up (an unplugged adapter, a
// closed far end) or a read that fails is a failure; a read that finds nothing
// or brings bytes is not. A failure closes the port from the event loop and is
// reported once by portFailed; a close through setPortOpen(false) never is.
//
// Counters. The session number grows at every open and every close; a failure
// report or a line event carries the session it was found in and is dropped
// once that session has ended. The spurious-error count holds the read errors
// in a row that were no failure; past a limit the device is taken as failed
// anyway. The line counts are the driver's last totals of break, framing,
// overrun, receive-overflow and parity errors; each that grows raises its
// event once, after the bytes it came with.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <functional>

#include "spy/serial_ports.h"

class QSocketNotifier;

class MSComm : public QObject {
    Q_OBJECT

public:
    // Event codes of CommEvent, with the component's published names.
    enum Event : int16_t {
        comEvSend = 1,
        comEvReceive = 2,
        comEvCTS = 3,
        comEvDSR = 4,
        comEvCD = 5,
        comEvRing = 6,
        comEvEOF = 7,
        comEventBreak = 1001,
        comEventFrame = 1004,
        comEventOverrun = 1006,
        comEventRxOver = 1008,
        comEventRxParity = 1009,
        comEventTxFull = 1010,
        comEventDCB = 1011,
    };

    // Positions in the counts that a LineCounter fills, and their number.
    enum LineError : int {
        BreakErrors,
        FramingErrors,
        OverrunErrors,
        RxOverErrors,  // the driver's buffer overflowed
        ParityErrors,
        LineErrorKinds,
    };

    // Device path of a port number; empty when the number names no device.
    using PortResolver = std::function<QString(int)>;
    // Reads the driver's counts of break, framing, overrun, buffer overrun and
    // parity errors of an open device into counts, in the order of LineError;
    // false (counts then unused) when the device keeps none.
    using LineCounter = std::function<bool(int fd, int (&counts)[LineErrorKinds])>;

    // At most this many bytes come out of one input() call, so that no event
    // keeps the window busy for long. In a flood through the window, blocks of
    // this size gave a higher rate than 256 KiB blocks, with half the longest
    // stall and half the memory.
    static constexpr qsizetype InputCap = 128 * 1024;
    // CommPort of a new component.
    static constexpr int16_t DefaultCommPort = 1;

    // The machine's ports as comPortDevice() names them: 1 is /dev/com1 or
    // /dev/ttyS0, 2 is /dev/com2 or /dev/ttyS1, others none (empty).
    static QString defaultDevice(int portNumber);

    // A closed port on DefaultCommPort; resolver names the device of each port
    // number at every open.
    explicit MSComm(PortResolver resolver = defaultDevice, QObject *parent = nullptr);
    // Closes the port, without portFailed.
    ~MSComm() override;

    // CommPort := portNumber, taking effect at the next open. Refused while the
    // port is open, whatever the number: returns false, errorString() says why
    // and the number stays. Any number is taken while the port is closed; one
    // that names no device fails at the open.
    bool setCommPort(int16_t portNumber);
    // CommPort: the number set last, DefaultCommPort at first.
    int16_t commPort() const { return commPort_; }
    // The device that the current port number names (for messages); empty when
    // it names none.
    QString devicePath() const;

    // Where a failed open looks for plain words (the roots of /dev, the udev
    // rules and /sys), and how an open device is asked for its UART (by
    // default kernelUart() under the roots' /sys), so that a built-in port
    // with nothing behind it is refused. Tests stage both.
    void setSystem(const SerialRoots &roots, std::function<UartKind(int fd)> uartOf = {});

    // PortOpen: true while the port is open; false from the moment a failure
    // of the device is found.
    bool portOpen() const { return open_; }
    // PortOpen := open. Opening an open port or closing a closed one changes
    // nothing and succeeds. Opening fails when the number names no device, or
    // the device is missing, busy, refuses the line settings or has no UART
    // behind it: returns false, the port stays closed, and reason (when given)
    // and errorString() hold the reason (describeOpenFailure()'s words for a
    // device that would not open). Closing always succeeds, and drops a failure
    // of the closed session not yet reported.
    bool setPortOpen(bool open, QString *reason = nullptr);

    // Settings: "38400,n,8,1", open or not.
    QString settings() const;

    // Output: sends the bytes in order; what the driver cannot take at once is
    // sent from the event loop. Returns false when the port is not open or the
    // device fails; reason (when given) and errorString() then say why. A
    // device failure also closes the port and emits portFailed, as for reads.
    bool output(const QByteArray &bytes, QString *reason = nullptr);

    // Input: every byte received and not yet read, unchanged and in order, up to
    // InputCap. On each arrival the device is read until it has nothing more,
    // so one call returns all that came since the last. Empty when the port is
    // closed or nothing waits. When bytes remain past the cap, a further
    // comEvReceive follows.
    QByteArray input();

    // CommEvent: the code of the event being reported by OnComm.
    int16_t commEvent() const { return commEvent_; }

    // Sets CommEvent to code and emits OnComm at once. Tests raise any code
    // here; the line errors that the serial driver counts (break, framing,
    // overrun, receive overflow, parity) are raised from the event loop as
    // they are found on the arrival of bytes.
    void raiseEvent(int16_t code);

    // The reason of the last failure (a refused port number, open, output or
    // the device stopping); a later success leaves it as it is.
    QString errorString() const { return error_; }

    // Where the line-error counts come from: the serial driver by default.
    // Set it while the port is closed: each open takes its starting counts
    // from it, and raises no line events when it returns false there. Tests
    // give counts that a pseudo-terminal lacks.
    void setLineCounter(LineCounter counter) { lineCounter_ = std::move(counter); }

signals:
    // Raised on this object's thread for each event: comEvReceive for every
    // arrival of bytes (arrivals not yet read are reported once, from the event
    // loop), line events as raised. Read commEvent() first.
    void OnComm();
    // The open port stopped working (read or resource error, device gone, far
    // end closed): the port has been closed. Emitted once per failure, from the
    // event loop, with the system's words or a plain description; not emitted
    // when the port has been closed or opened again since the failure (the
    // report would concern a session that no longer exists).
    void portFailed(const QString &reason);
    // The device itself went away (hung up: the far end of the line closed,
    // the adapter was pulled out). Emitted just before portFailed for that
    // failure, and only for it: a read or write error of a device that is
    // still there gives portFailed alone.
    void deviceDisconnected();

private:
    void onReadyRead();
    bool drainDevice();
    void deliverReceive();
    void scheduleReceive();
    void onError(QSerialPort::SerialPortError error);
    bool deviceHungUp() const;
    bool startHangUpWatch();
    void onDeviceReadable();
    void rearmHangUpWatch();
    enum class Cause { Failed, Disconnected };
    void fail(const QString &reason, Cause cause = Cause::Failed);
    void disconnected();
    void failOutput(const QString &words);
    void closePort();
    void checkLineErrors();

    PortResolver resolver_;
    SerialRoots roots_;
    std::function<UartKind(int)> uartOf_;
    QSerialPort *port_;
    // Watches a second descriptor of the open device for its hang-up, which
    // the port itself may take for a read of nothing and never report.
    QSocketNotifier *hangUpWatch_ = nullptr;
    int watchFd_ = -1;
    int16_t commPort_ = DefaultCommPort;
    int16_t commEvent_ = 0;
    bool open_ = false;
    bool receivePosted_ = false;
    // Open sessions are numbered so that a late failure report of a closed
    // session never closes a newer one.
    quint64 session_ = 0;
    // Bytes read from the device and not yet taken by input(); older than any
    // in the port's own buffer.
    QByteArray pending_;
    // Read errors in a row that turned out to be no failure of the device.
    int spuriousErrors_ = 0;
    // The driver's counts of break, framing, overrun, buffer overrun and parity
    // errors, when it keeps them (a pseudo-terminal does not).
    LineCounter lineCounter_;
    bool lineCounts_ = false;
    int lineCount_[LineErrorKinds] = {};
    QString error_;
};
