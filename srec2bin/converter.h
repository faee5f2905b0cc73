#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace srec2bin {

// Exit status of srec2bin: one meaning per value.
enum ExitCode : int {
    kExitOk = 0,        // the output file was written
    kExitBadInput = 1,  // the input is not a valid S-record file; the message names file, line and fault
    kExitUsage = 2,     // wrong arguments, or an output that names the input file itself
    kExitIo = 3,        // a file could not be opened, read, created or written; or memory ran out
};

// Largest image accepted unless --max-size says otherwise: 256 MiB.
constexpr uint64_t kDefaultMaxSize = uint64_t(256) << 20;

// What to convert and how.
struct ConvertOptions {
    std::string input;
    std::string output;
    uint8_t fill = 0xFF;  // value of the bytes between data records (erased flash)
    uint64_t maxSize = kDefaultMaxSize;
};

// The outcome of convertFile().
struct ConvertResult {
    ExitCode code = kExitOk;
    std::string message;                // "FILE:LINE: what is wrong" or "FILE: what is wrong"; empty on success
    std::vector<std::string> warnings;  // "FILE: what may be wrong", after a success only
};

// Converts the S-record file options.input into the binary image options.output in one pass.
// The image is written to a temporary file beside the output's file (the file its symbolic links
// lead to) and renamed over that file only when everything succeeded: on any failure an existing
// output is left as it was and the temporary file is removed. An output that is no plain file (a
// device, a FIFO, standard output) is written into instead. An output naming the input file
// itself (under any path) is refused, and so is an output whose links pass through a link that
// another user planted in a sticky folder that everyone may write to (see common/safe_save.h).
ConvertResult convertFile(const ConvertOptions &options);

// Ignores SIGPIPE (a caller that went away must not stop the cleanup) and SIGXFSZ (a file-size
// limit makes the write fail instead), and makes every other catchable signal that would end the
// program remove the temporary output of a running convertFile() first.
void installSignalHandlers();

}  // namespace srec2bin
