#pragma once
// The serial-port component MSComm1: one port at 38400 baud, no parity, 8 data
// bits, 1 stop bit, chosen by number, read in blocks and reported through OnComm.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <functional>

#include "spy/serial_ports.h"

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

    // Device path of a port number; empty when the number names no device.
    using PortResolver = std::function<QString(int)>;
    // Reads the driver's counts of break, framing, overrun, buffer overrun and
    // parity errors of an open device; false when the device keeps none.
    using LineCounter = std::function<bool(int fd, int (&counts)[5])>;

    // At most this many bytes come out of one input() call, so that no event
    // keeps the window busy for long. In a flood through the window, blocks of
    // this size gave a higher rate than 256 KiB blocks, with half the longest
    // stall and half the memory.
    static constexpr qsizetype InputCap = 128 * 1024;

    // The machine's ports as comPortDevice() names them: 1 is /dev/com1 or
    // /dev/ttyS0, 2 is /dev/com2 or /dev/ttyS1, others none.
    static QString defaultDevice(int portNumber);

    explicit MSComm(PortResolver resolver = defaultDevice, QObject *parent = nullptr);
    ~MSComm() override;

    // CommPort. Changing it while the port is open is refused (returns false);
    // the number takes effect at the next open. Starts at 1.
    bool setCommPort(int16_t portNumber);
    int16_t commPort() const { return commPort_; }
    // The device that the current port number names (for messages).
    QString devicePath() const;

    // Where a failed open looks for plain words (the roots of /dev, the udev
    // rules and /sys), and how an open device is asked for its UART (by
    // default kernelUart() under the roots' /sys), so that a built-in port
    // with nothing behind it is refused. Tests stage both.
    void setSystem(const SerialRoots &roots, std::function<UartKind(int fd)> uartOf = {});

    // PortOpen: true exactly while the port is open.
    bool portOpen() const { return open_; }
    // PortOpen := open. Opening an open port or closing a closed one changes
    // nothing and succeeds. Opening fails when the device is missing, busy,
    // refuses the line settings or has no UART behind it: returns false, the
    // port stays closed, and reason (when given) and errorString() hold the
    // reason as describeOpenFailure() words it. Closing always succeeds.
    bool setPortOpen(bool open, QString *reason = nullptr);

    // Settings: "38400,n,8,1".
    QString settings() const;

    // Output: sends the bytes in order (one byte for each character of a
    // one-character text). Returns false when the port is not open or the
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

    // The reason of the last failure (open, output or the device stopping).
    QString errorString() const { return error_; }

    // Where the line-error counts come from, from the next open on: the serial
    // driver by default. Tests give counts that a pseudo-terminal lacks.
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

private:
    void onReadyRead();
    bool drainDevice();
    void deliverReceive();
    void scheduleReceive();
    void onError(QSerialPort::SerialPortError error);
    bool deviceHungUp() const;
    void fail(const QString &reason);
    void closePort();
    void checkLineErrors();

    PortResolver resolver_;
    SerialRoots roots_;
    std::function<UartKind(int)> uartOf_;
    QSerialPort *port_;
    int16_t commPort_ = 1;
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
    int lineCount_[5] = {};
    QString error_;
};
