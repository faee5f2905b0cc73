// decoder-sim: plays a QX7100 decoder for the loader, on a pseudo-terminal (its serial
// port) and on the output of a print queue's capture backend (its parallel port).

#include "sim_firmware.h"
#include "sim_ports.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace {

const char Usage[] = R"(Usage: decoder-sim [OPTION]...
Plays a QX7100 decoder for the loader: its serial port is a pseudo-terminal, its
parallel port the output of a print queue's capture backend.

At start-up (power-on) it prints "pty: SLAVE" on standard output, then writes the
boot banner, which ends with the line "attente negociation", on the serial line.
Image bytes arriving at the capture path are reported block by block ("adresse
0x........ bloc N"); the loading ends with "mettre sous tension le decodeur !!!"
or with an error line, and standard output gets "loaded: ok ..." or "loaded: bad ...".
Every serial line ends with CR LF; some carry a NUL, an LF CR or a backspace, as
real firmware debug output does.

Serial port:
  --link PATH           make PATH a symbolic link to the pseudo-terminal's slave
                        (removed on exit or when the serial side closes)
  --baud N              pace the serial output at N baud, 10 bits a byte
                        (38400 gives 3840 bytes/s); 0, the default, is unpaced
  --no-banner           no power-on at start-up (wait for SIGUSR1 or "boot")
  --clean               serial text without the stray NUL, LF CR and backspace
  --close-after-bytes N close the serial side once N image bytes have arrived
Parallel port:
  --capture PATH        read the images from PATH: a FIFO, or a regular file
                        that grows (read from its size at start-up)
  --fifo                make PATH a FIFO if nothing is there (removed on exit)
  --from-start          read a regular capture file from its start
  --expect IMAGE        check each image against IMAGE (read at each loading):
                        a loading ends once as many bytes as IMAGE holds came
  --save PATH           write each image received to PATH (replaced each loading)
  --block-size N        bytes a block in the block lines (default 65536)
  --base-address N      address of the first block (default 0x00010000)
  --timeout SECONDS     quiet time that ends a loading: incomplete with --expect,
                        accepted with its size and CRC-32 without (default 5)
  --reboot-after-load   power on again after each loading
  --help                show this text and exit
Numbers may be decimal or 0x hexadecimal.

Signals: SIGUSR1 powers on again (banner); SIGUSR2 closes the serial side at once
(the loader reads EIO or a hang-up) while the image side goes on; SIGTERM, SIGINT
and SIGHUP end the program, removing the link and a FIFO made here.
Keys typed on the serial line are echoed as a firmware console does (a backspace
erases the character before it); commands: help, boot, status.
When standard input is a terminal: "p" Enter powers on, "q" Enter quits.

Standard output, one line each, flushed:
  pty: SLAVE            first, once both ports are ready
  power-on              each power-on (its banner follows on the serial line)
  serial: closed        the serial side closed
  loaded: ok N bytes crc32 XXXXXXXX
  loaded: bad corrupt at 0xADDRESS (offset N), N bytes crc32 XXXXXXXX
  loaded: bad incomplete N of M bytes
  loaded: bad cannot read the expected image IMAGE: REASON
What it does is logged briefly on standard error.
Exit status: 0 after a signal or "q", 1 when a port cannot be set up, 2 on a bad
command line.
)";

// The command line, as parsed; see Usage.
struct Options {
    std::string link;
    long baud = 0;
    bool banner = true;
    bool clean = false;
    long long closeAfterBytes = -1;
    std::string capture;
    bool fifo = false;
    bool fromStart = false;
    std::string expect;
    std::string save;
    std::uint64_t blockSize = 65536;
    std::uint64_t baseAddress = 0x00010000;
    double timeout = 5.0;
    bool rebootAfterLoad = false;
};

enum class Parsed { Run, Help, Error };

bool parseNumber(const std::string &text, std::uint64_t low, std::uint64_t high, std::uint64_t &value)
{
    if (text.empty() || text[0] == '-' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number < low || number > high)
        return false;
    value = number;
    return true;
}

// Fills options from the command line; error names the offending argument.
Parsed parseOptions(int argc, char **argv, Options &options, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> inlineValue;
        const auto equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.erase(equals);
        }
        auto value = [&](std::string &out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](std::uint64_t low, std::uint64_t high, std::uint64_t &out) {
            std::string text;
            if (!value(text))
                return false;
            if (!parseNumber(text, low, high, out)) {
                error =
                    name + ": not a number from " + std::to_string(low) + " to " + std::to_string(high) + ": " + text;
                return false;
            }
            return true;
        };
        auto flag = [&](bool &out) {
            if (inlineValue) {
                error = name + " takes no value";
                return false;
            }
            out = true;
            return true;
        };

        std::uint64_t n = 0;
        bool ok = true;
        bool noBanner = false;
        if (name == "--help") {
            return Parsed::Help;
        } else if (name == "--link") {
            ok = value(options.link) && !options.link.empty();
        } else if (name == "--baud") {
            ok = number(0, 4000000, n);
            options.baud = static_cast<long>(n);
        } else if (name == "--no-banner") {
            ok = flag(noBanner);
            options.banner = !noBanner;
        } else if (name == "--clean") {
            ok = flag(options.clean);
        } else if (name == "--close-after-bytes") {
            ok = number(1, UINT64_C(1) << 62, n);
            options.closeAfterBytes = static_cast<long long>(n);
        } else if (name == "--capture") {
            ok = value(options.capture) && !options.capture.empty();
        } else if (name == "--fifo") {
            ok = flag(options.fifo);
        } else if (name == "--from-start") {
            ok = flag(options.fromStart);
        } else if (name == "--expect") {
            ok = value(options.expect) && !options.expect.empty();
        } else if (name == "--save") {
            ok = value(options.save) && !options.save.empty();
        } else if (name == "--block-size") {
            ok = number(1, UINT64_C(1) << 30, options.blockSize);
        } else if (name == "--base-address") {
            ok = number(0, UINT64_C(0xFFFFFFFF), options.baseAddress);
        } else if (name == "--timeout") {
            std::string text;
            ok = value(text);
            char *end = nullptr;
            options.timeout = ok ? std::strtod(text.c_str(), &end) : 0;
            if (ok && (text.empty() || *end != '\0' || !(options.timeout > 0 && options.timeout <= 86400))) {
                error = "--timeout: not a number of seconds above 0: " + text;
                ok = false;
            }
        } else if (name == "--reboot-after-load") {
            ok = flag(options.rebootAfterLoad);
        } else {
            error = "unknown option " + name;
            return Parsed::Error;
        }
        if (!ok) {
            if (error.empty())
                error = name + " needs a value";
            return Parsed::Error;
        }
    }
    if (options.fifo && options.capture.empty()) {
        error = "--fifo needs --capture";
        return Parsed::Error;
    }
    return Parsed::Run;
}

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignals(std::string &error)
{
    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
        ::sigaction(number, &action, nullptr);
    // A closed stdout or a read from the terminal in the background must not stop us.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTTIN, SIG_IGN);
    return true;
}

void log(const std::string &message)
{
    std::fprintf(stderr, "decoder-sim: %s\n", message.c_str());
}

void status(const std::string &line)
{
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

std::string trimmedLower(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

// The simulated decoder: one poll() loop over the signal pipe, the serial side, the
// capture and the terminal.
class Decoder {
public:
    explicit Decoder(const Options &options)
        : options_(options),
          receiver_(sim::ReceiverConfig{options.expect, options.save, static_cast<std::size_t>(options.blockSize),
                                        options.baseAddress, !options.clean})
    {}

    ~Decoder()
    {
        serial_.close();
        capture_.removeCreated();
    }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    bool start(std::string &error)
    {
        if (!options_.capture.empty() && !capture_.open(options_.capture, options_.fifo, options_.fromStart, error))
            return false;
        if (!serial_.open(options_.link, error)) {
            capture_.removeCreated();
            return false;
        }
        serial_.setBaud(options_.baud);
        keys_ = ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
        status("pty: " + serial_.slavePath());
        log("serial side " + serial_.slavePath() + (options_.link.empty() ? "" : " linked as " + options_.link)
            + (options_.capture.empty()
                   ? std::string()
                   : std::string(", image side ") + (capture_.isFifo() ? "FIFO " : "file ") + options_.capture));
        if (options_.banner)
            powerOn();
        return true;
    }

    void run()
    {
        std::vector<char> buffer(65536);
        while (!quit_) {
            const auto now = sim::Clock::now();
            pollfd fds[4] = {};
            nfds_t count = 0;
            fds[count++] = {signalPipe[0], POLLIN, 0};
            const int serialIndex = serial_.isOpen() ? static_cast<int>(count) : -1;
            if (serialIndex >= 0)
                fds[count++] = {serial_.fd(), serial_.pollEvents(now), 0};
            const int captureIndex = capture_.pollFd() >= 0 ? static_cast<int>(count) : -1;
            if (captureIndex >= 0)
                fds[count++] = {capture_.pollFd(), POLLIN, 0};
            const int keysIndex = keys_ ? static_cast<int>(count) : -1;
            if (keysIndex >= 0)
                fds[count++] = {STDIN_FILENO, POLLIN, 0};

            const int ready = ::poll(fds, count, timeoutMs(now));
            if (ready < 0 && errno != EINTR) {
                log(std::string("poll failed: ") + std::strerror(errno));
                return;
            }
            if (ready > 0 && (fds[0].revents & POLLIN))
                handleSignals();
            if (serialIndex >= 0 && serial_.isOpen() && (fds[serialIndex].revents & (POLLIN | POLLHUP | POLLERR)))
                handleKeys(serial_.read());
            if (keysIndex >= 0 && (fds[keysIndex].revents & (POLLIN | POLLHUP | POLLERR)))
                handleTerminal();
            const bool fileDue = !options_.capture.empty() && !capture_.isFifo()
                                 && (capture_.backlog() || sim::Clock::now() >= nextFilePoll_);
            if ((captureIndex >= 0 && (fds[captureIndex].revents & POLLIN)) || fileDue) {
                nextFilePoll_ = sim::Clock::now() + FilePoll;
                handleImage(capture_.read(buffer.data(), buffer.size()), buffer.data());
            }
            if (receiver_.receiving() && sim::Clock::now() >= lastByte_ + quietTime()) {
                std::string text;
                auto report = receiver_.finishQuiet(text);
                serial_.send(text);
                if (report)
                    finishLoading(*report);
            }
            serial_.flush(sim::Clock::now());
            flushLogs();
        }
    }

private:
    static constexpr std::chrono::milliseconds FilePoll{20};

    sim::Clock::duration quietTime() const
    {
        return std::chrono::duration_cast<sim::Clock::duration>(std::chrono::duration<double>(options_.timeout));
    }

    int timeoutMs(sim::Clock::time_point now) const
    {
        std::optional<sim::Clock::time_point> wake;
        auto at = [&](sim::Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (capture_.backlog())
            at(now);
        if (!options_.capture.empty() && !capture_.isFifo())
            at(nextFilePoll_);
        if (receiver_.receiving())
            at(lastByte_ + quietTime());
        const int serialDelay = serial_.delayMs(now);
        if (serialDelay >= 0)
            at(now + std::chrono::milliseconds(serialDelay));
        if (!wake)
            return -1;
        if (*wake <= now)
            return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
        return static_cast<int>(std::min<long long>(ms, 60000));
    }

    void handleSignals()
    {
        unsigned char numbers[64];
        const ssize_t n = ::read(signalPipe[0], numbers, sizeof numbers);
        for (ssize_t i = 0; i < n; ++i) {
            switch (numbers[i]) {
            case SIGUSR1:
                log("SIGUSR1: power-on");
                powerOn();
                break;
            case SIGUSR2:
                log("SIGUSR2: closing the serial side");
                closeSerial();
                break;
            default:
                log(std::string("ending on ") + ::strsignal(numbers[i]));
                quit_ = true;
                break;
            }
        }
    }

    void powerOn()
    {
        if (!serial_.isOpen()) {
            log("serial side closed: no power-on banner");
            return;
        }
        serial_.send(sim::bootBanner(!options_.clean));
        status("power-on");
    }

    void closeSerial()
    {
        if (!serial_.isOpen())
            return;
        serial_.close();
        status("serial: closed");
    }

    void handleKeys(const std::string &typed)
    {
        if (typed.empty())
            return;
        std::vector<std::string> commands;
        serial_.send(console_.feed(typed.data(), typed.size(), commands));
        for (const std::string &line : commands)
            runCommand(trimmedLower(line));
    }

    void runCommand(const std::string &command)
    {
        if (command.empty())
            return;
        log("console command: " + command);
        if (command == "help") {
            serial_.send(sim::crlf("commandes: help, boot, status"));
        } else if (command == "boot") {
            powerOn();
        } else if (command == "status") {
            serial_.send(sim::crlf("chargements: " + std::to_string(receiver_.loadings())
                                   + ", dernier: " + receiver_.lastOutcome()));
            if (receiver_.receiving())
                serial_.send(sim::crlf("reception en cours: " + std::to_string(receiver_.received()) + " octets"));
        } else {
            serial_.send(sim::crlf("commande inconnue: " + command));
        }
    }

    void handleTerminal()
    {
        char text[256];
        const ssize_t n = ::read(STDIN_FILENO, text, sizeof text);
        if (n <= 0) {
            keys_ = false;
            return;
        }
        terminalLine_.append(text, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = terminalLine_.find('\n')) != std::string::npos) {
            const std::string line = trimmedLower(terminalLine_.substr(0, end));
            terminalLine_.erase(0, end + 1);
            if (line == "p")
                powerOn();
            else if (line == "q")
                quit_ = true;
            else if (!line.empty())
                std::fputs("decoder-sim: \"p\" Enter powers on, \"q\" Enter quits\n", stderr);
        }
        if (terminalLine_.size() > 256)
            terminalLine_.clear();
    }

    void handleImage(std::size_t size, const char *data)
    {
        if (size == 0)
            return;
        lastByte_ = sim::Clock::now();
        std::size_t done = 0;
        while (done < size) {
            std::string text;
            std::optional<sim::LoadingReport> report;
            done += receiver_.take(data + done, size - done, text, report);
            serial_.send(text);
            if (report)
                finishLoading(*report);
        }
        imageBytes_ += static_cast<long long>(size);
        if (options_.closeAfterBytes >= 0 && imageBytes_ >= options_.closeAfterBytes && serial_.isOpen()) {
            log("closing the serial side after " + std::to_string(imageBytes_) + " image bytes");
            closeSerial();
        }
    }

    void finishLoading(const sim::LoadingReport &report)
    {
        flushLogs();
        status(report.status);
        if (options_.rebootAfterLoad)
            powerOn();
    }

    void flushLogs()
    {
        for (const auto &message : receiver_.takeLog())
            log(message);
        for (const auto &message : serial_.takeLog())
            log(message);
        for (const auto &message : capture_.takeLog())
            log(message);
    }

    const Options &options_;
    sim::SerialSide serial_;
    sim::CaptureSource capture_;
    sim::ImageReceiver receiver_;
    sim::Console console_;
    bool keys_ = false;
    std::string terminalLine_;
    bool quit_ = false;
    long long imageBytes_ = 0;
    sim::Clock::time_point lastByte_;
    sim::Clock::time_point nextFilePoll_ = sim::Clock::now();
};

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case Parsed::Help:
        std::fputs(Usage, stdout);
        return 0;
    case Parsed::Error:
        std::fprintf(stderr, "decoder-sim: %s\nTry 'decoder-sim --help'.\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    if (!installSignals(error)) {
        log(error);
        return 1;
    }
    Decoder decoder(options);
    if (!decoder.start(error)) {
        log(error);
        return 1;
    }
    decoder.run();
    return 0;
}
