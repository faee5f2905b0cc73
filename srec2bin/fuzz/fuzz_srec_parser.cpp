// libFuzzer target: arbitrary bytes through the S-record parser, once in a single block and once a
// byte at a time. Both runs must agree on the verdict, the fault and the image, and the image must
// hand out exactly size() bytes; any disagreement aborts, as do the sanitizers' findings.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sparse_image.h"
#include "srec_parser.h"

using namespace srec2bin;

namespace {

// Small enough that a stray far-away record must be refused rather than allocated.
constexpr uint64_t kMaxImage = uint64_t(1) << 20;

std::vector<uint8_t> contents(const SparseImage &image)
{
    std::vector<uint8_t> bytes;
    image.forEachPiece([&](const uint8_t *data, size_t size) {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    });
    if (bytes.size() != image.size() || bytes.size() > kMaxImage)
        std::abort();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *text = reinterpret_cast<const char *>(data);

    SparseImage wholeImage(0xFF, kMaxImage);
    SrecParser whole(wholeImage);
    const bool wholeOk = whole.feed(text, size) && whole.finish();

    SparseImage piecesImage(0xFF, kMaxImage);
    SrecParser pieces(piecesImage);
    bool piecesOk = true;
    for (size_t i = 0; i < size && piecesOk; ++i)
        piecesOk = pieces.feed(text + i, 1);
    piecesOk = piecesOk && pieces.finish();

    if (wholeOk != piecesOk || whole.error().line != pieces.error().line
        || whole.error().message != pieces.error().message)
        std::abort();
    if (!wholeOk && whole.error().message.empty())
        std::abort();
    if (wholeOk && (wholeImage.lowest() != piecesImage.lowest() || contents(wholeImage) != contents(piecesImage)))
        std::abort();
    return 0;
}
