#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace srec2bin {

// Collects bytes placed at 32-bit addresses, in any order, into fixed-size chunks allocated on first
// use, so that memory follows the bytes actually covered and no byte is ever moved once placed.
class SparseImage {
public:
    // The outcome of store().
    enum class StoreResult {
        Ok,        // the bytes are in the image
        Conflict,  // a byte already placed holds another value; see Conflict
        TooLarge,  // the image would span more than the size limit; nothing was placed
    };

    // The first byte of a rejected store() that disagrees with an earlier one.
    struct Conflict {
        uint32_t address = 0;
        uint8_t held = 0;   // the value placed earlier
        uint8_t given = 0;  // the value of the rejected store
    };

    // An image whose gaps read as fill and that may span at most maxSize bytes
    // (from its lowest to its highest placed byte).
    SparseImage(uint8_t fill, uint64_t maxSize);
    ~SparseImage();
    SparseImage(const SparseImage &) = delete;
    SparseImage &operator=(const SparseImage &) = delete;

    // Places size bytes from data at address; the caller guarantees address + size <= 2^32.
    // Placing a byte again with the same value is fine. Returns Conflict (details in *conflict when
    // given; bytes of the call may then be partly placed) or TooLarge (image unchanged) on failure.
    // A store of zero bytes does nothing and returns Ok.
    StoreResult store(uint32_t address, const uint8_t *data, size_t size, Conflict *conflict = nullptr);

    // True until a byte has been placed.
    bool empty() const { return empty_; }
    // Lowest and highest placed address; meaningless while empty().
    uint32_t lowest() const { return lowest_; }
    uint32_t highest() const { return highest_; }
    // Bytes from lowest() to highest() inclusive; 0 while empty().
    uint64_t size() const { return empty_ ? 0 : uint64_t(highest_) - lowest_ + 1; }
    uint64_t maxSize() const { return maxSize_; }

    // Receives consecutive pieces of the image; returns false to stop.
    using Sink = std::function<bool(const uint8_t *data, size_t size)>;

    // Hands the image from lowest() to highest() to sink in order, gaps as fill bytes. The pieces
    // stay valid as long as the image is not changed. Returns false as soon as sink does.
    bool forEachPiece(const Sink &sink) const;

private:
    struct Chunk;

    uint8_t fill_;
    uint64_t maxSize_;
    bool empty_ = true;
    uint32_t lowest_ = 0;
    uint32_t highest_ = 0;
    // Chunks by address >> kChunkBits. The table comes from calloc() at the first store, so that
    // the pages of its unused parts are never touched; owned_ holds the chunks themselves.
    struct FreeTable {
        void operator()(Chunk **table) const;
    };
    std::unique_ptr<Chunk *[], FreeTable> chunks_;
    std::vector<std::unique_ptr<Chunk>> owned_;
    mutable std::unique_ptr<uint8_t[]> fillBlock_;  // one chunk of fill bytes for the gaps, made on demand
};

}  // namespace srec2bin
