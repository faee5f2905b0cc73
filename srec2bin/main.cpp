// srec2bin: turns a Motorola S-record file into a binary image. Exit codes: see ExitCode.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "converter.h"

using namespace srec2bin;

namespace {

constexpr char kUsage[] =
    "Usage: srec2bin [OPTIONS] INPUT OUTPUT\n"
    "Writes the binary image of the S-record file INPUT to OUTPUT: the data of the S1, S2 and S3\n"
    "records placed by address, from the lowest data address (offset 0) to the highest, the gaps\n"
    "filled with the fill byte. OUTPUT is replaced only when the whole conversion succeeded; a\n"
    "symbolic link keeps its link and the file it leads to is replaced; a device, a FIFO or\n"
    "/dev/stdout is written into (/dev/null checks INPUT only).\n"
    "\n"
    "Options:\n"
    "  --fill BYTE        value of the gap bytes, 0xNN or decimal (default 0xFF)\n"
    "  --max-size BYTES   refuse images larger than this, decimal or 0x hex, with an optional\n"
    "                     K, M or G suffix (default 256M)\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 bad input (the message names file and line), 2 usage error\n"
    "(including an OUTPUT that is the INPUT file), 3 input or output error (or too little memory).\n"
    "Messages go to the standard error, each starting with \"srec2bin: \"; a file without end\n"
    "record (S7, S8 or S9) is converted with a warning that it may be cut short.\n";

constexpr uint64_t kAddressSpace = uint64_t(1) << 32;

// Prints the help or the version; a standard output that cannot take it is an output error.
int printToStdout(const char *text)
{
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "srec2bin: cannot write to standard output: %s\n", std::strerror(errno));
        return kExitIo;
    }
    return kExitOk;
}

int usageError(const std::string &what)
{
    std::fprintf(stderr, "srec2bin: %s\nUsage: srec2bin [OPTIONS] INPUT OUTPUT (see srec2bin --help)\n", what.c_str());
    return kExitUsage;
}

// Reads a number written in decimal or as 0x hex, with a K, M or G suffix (powers of 1024, either
// case) when withSuffix. Returns false unless the whole text is such a number no greater than limit.
bool parseNumber(const char *text, bool withSuffix, uint64_t limit, uint64_t &value)
{
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    uint64_t number = 0;
    const char *digit = text;
    for (;; ++digit) {
        unsigned d;
        if (*digit >= '0' && *digit <= '9')
            d = unsigned(*digit - '0');
        else if (base == 16 && *digit >= 'a' && *digit <= 'f')
            d = unsigned(*digit - 'a' + 10);
        else if (base == 16 && *digit >= 'A' && *digit <= 'F')
            d = unsigned(*digit - 'A' + 10);
        else
            break;
        number = number * base + d;
        if (number > limit)
            return false;
    }
    if (digit == text)
        return false;
    if (withSuffix && *digit != '\0' && digit[1] == '\0') {
        const char *const suffixes = "KMG";
        const char *suffix = std::strchr(suffixes, std::toupper(static_cast<unsigned char>(*digit)));
        if (!suffix)
            return false;
        for (auto shift = suffix - suffixes + 1; shift > 0; --shift) {
            number *= 1024;
            if (number > limit)
                return false;
        }
        ++digit;
    }
    if (*digit != '\0')
        return false;
    value = number;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    ConvertOptions options;
    std::vector<std::string> paths;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            paths.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h")
            return printToStdout(kUsage);
        if (argument == "--version")
            return printToStdout("srec2bin 1.00\n");

        // Options with a value, as "--name VALUE" or "--name=VALUE".
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name != "--fill" && name != "--max-size")
            return usageError("unknown option '" + argument + "'");
        std::string value;
        if (equals != std::string::npos)
            value = argument.substr(equals + 1);
        else if (i + 1 < argc)
            value = argv[++i];
        else
            return usageError(name + " needs a value");

        uint64_t number = 0;
        if (name == "--fill") {
            if (!parseNumber(value.c_str(), false, 0xFF, number))
                return usageError("--fill needs a byte value, 0x00 to 0xFF or 0 to 255, not '" + value + "'");
            options.fill = uint8_t(number);
        } else {
            if (!parseNumber(value.c_str(), true, kAddressSpace, number) || number == 0)
                return usageError("--max-size needs a size from 1 byte to 4G, not '" + value + "'");
            options.maxSize = number;
        }
    }
    if (paths.size() != 2)
        return usageError("expected INPUT and OUTPUT, got " + std::to_string(paths.size()) + " path(s)");
    options.input = paths[0];
    options.output = paths[1];

    installSignalHandlers();
    const ConvertResult result = convertFile(options);
    if (result.code != kExitOk)
        std::fprintf(stderr, "srec2bin: %s\n", result.message.c_str());
    for (const std::string &warning : result.warnings)
        std::fprintf(stderr, "srec2bin: %s\n", warning.c_str());
    return result.code;
}
