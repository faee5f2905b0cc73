#pragma once
// What the simulated QX7100 firmware says and checks: its debug text, its console and
// the reception of an image on the parallel port. No input or output of its own beyond
// the files named in ReceiverConfig.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The firmware's power-on text, ending with the line "attente negociation" and its CR LF.
// Noisy text has the stray NUL, LF CR pair and corrected typo of real debug output.
std::string bootBanner(bool noisy);

// "adresse 0x........ bloc N" and its line end; some block numbers get noise when noisy.
std::string blockLine(std::uint64_t address, std::uint64_t block, bool noisy);

// Text followed by CR LF.
std::string crlf(const std::string &text);

// CRC-32 (IEEE 802.3, the one of zlib) of data, continued from crc (0 to start).
std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t size);

// The firmware console's line editor: echoes typed bytes and collects command lines.
class Console {
public:
    // Takes bytes typed on the far side of the serial line. Returns the echo to send back:
    // printable bytes as they are, CR (or a lone LF) as CR LF, a backspace (8 or 127) as
    // "\b \b" when the line holds a character to erase and as nothing otherwise; other
    // control bytes are ignored. Each line completed by Enter is appended to commands.
    std::string feed(const char *data, std::size_t size, std::vector<std::string> &commands);

private:
    static constexpr std::size_t MaxLine = 128;
    std::string line_;
    bool afterCr_ = false;
};

struct ReceiverConfig {
    std::string expectPath;  // empty: any image is accepted after a quiet time
    std::string savePath;    // empty: the image is not kept
    std::size_t blockSize = 65536;
    std::uint64_t baseAddress = 0x00010000;
    bool noisy = true;
};

// The end of one loading: ok or not, and the status line for the simulator's stdout.
struct LoadingReport {
    bool ok = false;
    std::string status;
};

// Receives images on the parallel port, one loading after the other: reports each block,
// checks the whole image against the expected one and says how the loading ended.
class ImageReceiver {
public:
    explicit ImageReceiver(ReceiverConfig config);
    ~ImageReceiver();
    ImageReceiver(const ImageReceiver &) = delete;
    ImageReceiver &operator=(const ImageReceiver &) = delete;

    // Takes image bytes; the first byte after a finished loading starts a new one. Text for
    // the serial line is appended to serial. Returns how many bytes were taken: fewer than
    // size only when the expected image is complete, in which case report holds the end of
    // the loading and the caller hands the rest over again as the start of the next one.
    std::size_t take(const char *data, std::size_t size, std::string &serial, std::optional<LoadingReport> &report);
    // Ends the current loading after a quiet time: incomplete when an image was expected,
    // accepted with its size and checksum otherwise. Nothing when no loading is going on.
    std::optional<LoadingReport> finishQuiet(std::string &serial);

    bool receiving() const { return receiving_; }
    std::uint64_t received() const { return received_; }
    unsigned loadings() const { return loadings_; }
    // "aucun", "ok" or "erreur": how the last loading ended.
    const char *lastOutcome() const;
    // Messages for the simulator's log since the last call.
    std::vector<std::string> takeLog();

private:
    void begin();
    void compare(const unsigned char *data, std::size_t size);
    void save(const char *data, std::size_t size);
    void reportBlocks(std::string &serial, bool final);
    LoadingReport end(std::string &serial, bool quiet);

    ReceiverConfig config_;
    bool receiving_ = false;
    std::uint64_t received_ = 0;
    std::uint64_t blocksReported_ = 0;
    std::uint32_t crc_ = 0;
    int expectFd_ = -1;
    std::uint64_t expectSize_ = 0;
    std::string expectError_;  // why the expected image could not be read
    std::optional<std::uint64_t> firstMismatch_;
    int saveFd_ = -1;
    std::vector<unsigned char> reference_;
    unsigned loadings_ = 0;
    std::optional<bool> lastOk_;
    std::vector<std::string> log_;
};

}  // namespace sim
