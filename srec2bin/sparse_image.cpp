#include "sparse_image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace srec2bin {

namespace {

constexpr unsigned kChunkBits = 16;
constexpr uint32_t kChunkSize = uint32_t(1) << kChunkBits;
constexpr size_t kChunkCount = size_t(1) << (32 - kChunkBits);
constexpr uint32_t kNoMismatch = kChunkSize;

}  // namespace

// One kChunkSize-aligned piece of the address space: its bytes (fill where nothing was placed) and
// which of them were placed, as a few ranges while the input is orderly, as a bitmap once it is not.
struct SparseImage::Chunk {
    // Placed offsets [begin, end).
    struct Span {
        uint32_t begin;
        uint32_t end;
    };
#ifdef SREC2BIN_FEW_SPANS
    // Fuzzing inputs are small: switch early so that they reach the bitmap too.
    static constexpr size_t kMaxSpans = 4;
#else
    // Past this many ranges the bitmap takes no more memory than the ranges do.
    static constexpr size_t kMaxSpans = kChunkSize / 8 / sizeof(Span);
#endif

    explicit Chunk(uint8_t fill)
    {
        std::memset(bytes, fill, kChunkSize);
    }

    bool isPlaced(uint32_t offset) const
    {
        return (placed[offset >> 6] >> (offset & 63)) & 1;
    }

    // Returns the offset of the first byte of [offset, offset + size) placed earlier with a value
    // other than the matching byte of data, or kNoMismatch.
    uint32_t firstMismatch(uint32_t offset, const uint8_t *data, uint32_t size) const
    {
        const uint32_t end = offset + size;
        if (placed) {
            for (uint32_t i = offset; i < end; ++i) {
                if (isPlaced(i) && bytes[i] != data[i - offset])
                    return i;
            }
            return kNoMismatch;
        }
        if (spans.empty() || spans.back().end <= offset)
            return kNoMismatch;
        auto it = std::upper_bound(spans.begin(), spans.end(), offset,
                                   [](uint32_t value, const Span &span) { return value < span.end; });
        for (; it != spans.end() && it->begin < end; ++it) {
            const uint32_t from = std::max(it->begin, offset);
            const uint32_t to = std::min(it->end, end);
            for (uint32_t i = from; i < to; ++i) {
                if (bytes[i] != data[i - offset])
                    return i;
            }
        }
        return kNoMismatch;
    }

    // Records [offset, offset + size) as placed, merging ranges that overlap or touch.
    void markPlaced(uint32_t offset, uint32_t size)
    {
        uint32_t begin = offset;
        uint32_t end = offset + size;
        if (placed) {
            for (uint32_t i = begin; i < end; ++i)
                placed[i >> 6] |= uint64_t(1) << (i & 63);
            return;
        }
        if (spans.empty() || spans.back().end < begin) {
            spans.push_back({begin, end});
        } else if (spans.back().end == begin) {
            spans.back().end = end;
        } else {
            auto first = std::lower_bound(spans.begin(), spans.end(), begin,
                                          [](const Span &span, uint32_t value) { return span.end < value; });
            auto last = first;
            for (; last != spans.end() && last->begin <= end; ++last) {
                begin = std::min(begin, last->begin);
                end = std::max(end, last->end);
            }
            if (first == last) {
                spans.insert(first, Span{begin, end});
            } else {
                *first = Span{begin, end};
                spans.erase(first + 1, last);
            }
        }
        if (spans.size() > kMaxSpans)
            switchToBitmap();
    }

    void switchToBitmap()
    {
        placed = std::make_unique<uint64_t[]>(kChunkSize / 64);
        std::vector<Span> ranges;
        ranges.swap(spans);
        for (const Span &span : ranges)
            markPlaced(span.begin, span.end - span.begin);
    }

    uint8_t bytes[kChunkSize];
    std::vector<Span> spans;             // sorted, neither overlapping nor touching
    std::unique_ptr<uint64_t[]> placed;  // one bit per byte, replaces spans once set
};

SparseImage::SparseImage(uint8_t fill, uint64_t maxSize) : fill_(fill), maxSize_(maxSize) {}

SparseImage::~SparseImage() = default;

void SparseImage::FreeTable::operator()(Chunk **table) const
{
    std::free(table);
}

SparseImage::StoreResult SparseImage::store(uint32_t address, const uint8_t *data, size_t size, Conflict *conflict)
{
    if (size == 0)
        return StoreResult::Ok;
    const uint32_t last = address + uint32_t(size - 1);
    const uint32_t newLowest = empty_ ? address : std::min(lowest_, address);
    const uint32_t newHighest = empty_ ? last : std::max(highest_, last);
    if (uint64_t(newHighest) - newLowest + 1 > maxSize_)
        return StoreResult::TooLarge;
    if (!chunks_) {
        chunks_.reset(static_cast<Chunk **>(std::calloc(kChunkCount, sizeof(Chunk *))));
        if (!chunks_)
            throw std::bad_alloc();
    }

    while (size > 0) {
        const uint32_t offset = address & (kChunkSize - 1);
        const uint32_t length = uint32_t(std::min<size_t>(size, kChunkSize - offset));
        Chunk *&chunk = chunks_[address >> kChunkBits];
        if (!chunk) {
            owned_.push_back(std::make_unique<Chunk>(fill_));
            chunk = owned_.back().get();
        } else {
            const uint32_t bad = chunk->firstMismatch(offset, data, length);
            if (bad != kNoMismatch) {
                if (conflict) {
                    conflict->address = (address - offset) + bad;
                    conflict->held = chunk->bytes[bad];
                    conflict->given = data[bad - offset];
                }
                return StoreResult::Conflict;
            }
        }
        std::memcpy(chunk->bytes + offset, data, length);
        chunk->markPlaced(offset, length);
        address += length;
        data += length;
        size -= length;
    }
    empty_ = false;
    lowest_ = newLowest;
    highest_ = newHighest;
    return StoreResult::Ok;
}

bool SparseImage::forEachPiece(const Sink &sink) const
{
    if (empty_)
        return true;
    uint64_t position = lowest_;
    const uint64_t end = uint64_t(highest_) + 1;
    while (position < end) {
        const size_t index = size_t(position >> kChunkBits);
        const uint32_t offset = uint32_t(position & (kChunkSize - 1));
        const uint64_t pieceEnd = std::min<uint64_t>(end, uint64_t(index + 1) << kChunkBits);
        const uint8_t *bytes;
        if (chunks_[index]) {
            bytes = chunks_[index]->bytes + offset;
        } else {
            if (!fillBlock_) {
                fillBlock_.reset(new uint8_t[kChunkSize]);
                std::memset(fillBlock_.get(), fill_, kChunkSize);
            }
            bytes = fillBlock_.get() + offset;
        }
        if (!sink(bytes, size_t(pieceEnd - position)))
            return false;
        position = pieceEnd;
    }
    return true;
}

}  // namespace srec2bin
