#pragma once
// The simulated decoder's two connections: its serial port (a pseudo-terminal whose slave
// the loader opens) and its parallel port (the output of the print queue's capture backend).

#include <chrono>
#include <cstddef>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// The serial side: owns a pseudo-terminal pair and sends the decoder's text through the
// master, paced at a baud rate or as fast as the pseudo-terminal takes it.
class SerialSide {
public:
    SerialSide() = default;
    ~SerialSide();
    SerialSide(const SerialSide &) = delete;
    SerialSide &operator=(const SerialSide &) = delete;

    // Opens a pseudo-terminal pair, puts the slave in raw mode at 38400 baud 8N1 and keeps
    // a descriptor of the slave open here too, so that the loader closing and reopening it
    // never hangs the master up. With a link, makes it a symbolic link to the slave (a
    // symbolic link already there is replaced, anything else is refused). False with error
    // set when any step fails; nothing is left open then.
    bool open(const std::string &link, std::string &error);
    // Closes both sides at once (the loader then reads EIO or a hang-up) and removes the
    // link if it still names the slave. Pending output is dropped. Safe to call twice.
    void close();
    bool isOpen() const { return master_ >= 0; }
    const std::string &slavePath() const { return slavePath_; }
    int fd() const { return master_; }

    // Bytes per second are baud / 10 (start, 8 data and stop bits); 0 is unpaced.
    void setBaud(long baud);
    // Queues text for the line. Dropped when the side is closed or over 1 MiB is pending
    // (nobody reading the slave), with one log message each time.
    void send(const std::string &text);
    bool pending() const { return queue_.size() > sent_; }
    // The poll events wanted now: input always, output when pacing lets bytes go.
    short pollEvents(Clock::time_point now) const;
    // Milliseconds until pacing lets more bytes go; -1 when no output waits for pacing.
    int delayMs(Clock::time_point now) const;
    // Writes what pacing and the pseudo-terminal accept now. A write error other than a
    // full buffer drops the pending output and is logged; the side stays open.
    void flush(Clock::time_point now);
    // Reads the bytes typed on the slave's side; empty when none. A master that fails
    // (which keeping the slave open prevents) closes the side, logged.
    std::string read();
    std::vector<std::string> takeLog();

private:
    double creditAt(Clock::time_point now) const;
    void removeLink();

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string link_;
    double rate_ = 0;  // bytes per second, 0 unpaced
    double credit_ = 0;
    Clock::time_point creditTime_ = Clock::now();
    std::string queue_;
    std::size_t sent_ = 0;
    bool overflowing_ = false;
    bool droppedWhileClosed_ = false;
    std::vector<std::string> log_;
};

// The parallel side: the bytes the print queue's capture backend writes, through a FIFO or
// appended to a regular file.
class CaptureSource {
public:
    CaptureSource() = default;
    ~CaptureSource();
    CaptureSource(const CaptureSource &) = delete;
    CaptureSource &operator=(const CaptureSource &) = delete;

    // Watches path. A FIFO (made here when makeFifo and nothing is at path) is kept open for
    // reading and writing: each job's writer finds a reader at once and no end of file
    // comes between jobs. Anything else is read as a regular file that grows, from its
    // size now or from its start when fromStart; a file not there yet is read from its
    // start once it appears. False with error set when path cannot be used.
    bool open(const std::string &path, bool makeFifo, bool fromStart, std::string &error);
    // Removes the FIFO if it was made here.
    void removeCreated();
    bool isFifo() const { return fifo_; }
    // The descriptor to poll for input: the FIFO, or -1 for a file, which is polled by time.
    int pollFd() const { return fifo_ ? fd_ : -1; }
    // Reads up to size new bytes; 0 when none are there yet. A file that shrank, or that
    // was written to without growing, was emptied and written again: reading restarts at
    // its start; so it does in a file put in its place. (A file emptied and refilled past
    // the last read position between two looks, 20 ms apart, cannot be told from one that
    // grew.)
    std::size_t read(char *buffer, std::size_t size);
    // A file holds more bytes than the last read took.
    bool backlog() const { return backlog_; }
    std::vector<std::string> takeLog();

private:
    std::string path_;
    int fd_ = -1;
    bool fifo_ = false;
    bool madeFifo_ = false;
    off_t offset_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    timespec modified_{};  // of the file when the last read reached its end
    bool backlog_ = false;
    std::vector<std::string> log_;
};

}  // namespace sim
