#pragma once
// A loading bench without hardware for the end-to-end suites: the decoder simulator
// on a pseudo-terminal (COM1) and on a FIFO fed by the private print server's default
// raw queue (parallel:/dev/lp0, so LPT1:), and the real window with its real services
// but for the file dialog and the message boxes, which are scripted doubles.

#include "decoder_sim_process.h"
#include "private_cups_server.h"
#include "window_fixture.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// Passes every start on to the real process starter and keeps the outcomes, so that a
// test knows when the converter has ended.
class ObservedProcessStarter final : public ProcessStarter {
public:
    explicit ObservedProcessStarter(std::unique_ptr<ProcessStarter> real) : real_(std::move(real)) {}
    QList<ProcessOutcome> outcomes;
    void start(const QString &program, const QStringList &arguments, QObject *context,
               std::function<void(const ProcessOutcome &)> onOutcome) override;

private:
    std::unique_ptr<ProcessStarter> real_;
};

// The real window of a real run, with scripted dialogs and recorded boxes.
class WindowUnderTest : public WindowFixture {
public:
    // com1Device names the device that COM1 opens (read at each open); COM2 names none.
    WindowUnderTest(const QString &programFolder, std::function<QString()> com1Device);

    ObservedProcessStarter &processes() { return *processes_; }

    // The last line of the spy display that holds more than blanks.
    QString lastSpyLine() const;
    // The spy display's length with every line break counted as CR LF, as the pane
    // trims it.
    qsizetype spyLength() const;

    // Com > Com1; a mouse click on the Start button.
    void com1();
    void clickStart();

private:
    ObservedProcessStarter *processes_ = nullptr;
};

// The print server, the capture FIFO and the paths the simulator uses; one per test program.
class LoadingBench {
public:
    LoadingBench();
    ~LoadingBench();

    // Makes the capture FIFO, starts the private print server and adds the default raw
    // queue "qx7100" on parallel:/dev/lp0. False with errorString() set on failure.
    bool setUp();
    QString errorString() const { return error_; }

    PrivateCupsServer &server() { return server_; }
    static QString queue() { return QStringLiteral("qx7100"); }
    // The folder of libbinprn32.so and srec2bin, handed to makeRealServices.
    static QString programFolder();
    QString workFolder() const { return work_.path(); }
    // The link that the simulator makes to its pseudo-terminal: COM1's device.
    QString com1Link() const;
    // Where the simulator saves each image it receives.
    QString receivedPath() const;

    // Starts sim with the bench's link, FIFO, expected image (see expect()) and save path,
    // without a power-on banner, plus extra arguments.
    bool startSim(DecoderSim &sim, const QStringList &extra = {});
    // Makes imagePath the image that the simulator checks the next loading against.
    bool expect(const QString &imagePath);

private:
    PrivateCupsServer server_;
    QTemporaryDir work_;
    QString error_;
};

// Writes size pseudo-random bytes (from seed) to path in 1 MiB pieces, never holding
// the whole; returns the SHA-1 of what was written, empty on failure.
QByteArray writeRandomFile(const QString &path, qint64 size, quint64 seed);
// The SHA-1 of a file, read in 1 MiB pieces; empty when it cannot be read.
QByteArray hashFile(const QString &path);
// Resident memory of this process in bytes (from /proc/self/statm), -1 if unknown.
qint64 residentBytes();
