// GIF LZW compression: a variable-width LZW coder over an exact string table that is indexed,
// never searched, and the packer that turns its codes into 254-byte data sub-blocks written in
// 10200-byte batches.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "qorimg/qorimg.h"

namespace qor {

// The writer's output buffer; the packer uses its first kGifBatchBytes bytes.
inline constexpr std::uint32_t kGifOutputBufferBytes = 10240;
// 40 sub-blocks of a count byte and 254 data bytes.
inline constexpr std::int16_t kGifBatchBytes = 10200;
inline constexpr std::int16_t kGifSubBlockSpan = 255;
inline constexpr std::uint8_t kGifSubBlockData = 254;

inline constexpr std::uint32_t kGifMaxCode = 4096;

// The encoder's string table. Every string of the table is found from its prefix's code and its
// last pixel by indexing, never by a probe, and no string is ever left out:
// - a root (a single pixel) has a row of children, one entry per pixel value;
// - another string keeps up to four children beside it (their pixels in one word, compared at
//   once), and on its fifth it too is given a row, taken from a pool. At most a fifth of the
//   strings can have five children, so the pool never runs out.
// A row entry holds the child's code, 0 for none. Rows are cleared at a reset by undoing the
// writes logged since the last one, so a reset costs what the strings added cost, not the rows.
class GifStringTable {
  public:
    // Bytes of the block that the table lives in, for pixels below 1 << minCodeSize; the block
    // starts out zeroed.
    static std::uint64_t BlockBytes(std::uint8_t minCodeSize) {
        const std::uint64_t width = std::uint64_t{1} << minCodeSize;
        return kGifMaxCode * (4 + 2 * kFew + 2) + 4 * kMaxLogged +
               2 * width * (width + kMaxPooledRows);
    }

    GifStringTable(void* block, std::uint8_t minCodeSize)
        : width_(1u << minCodeSize), firstCode_(width_ + 2) {
        auto* at = static_cast<std::uint8_t*>(block);
        fewPixels_ = reinterpret_cast<std::uint32_t*>(at);
        at += 4 * kGifMaxCode;
        fewCodes_ = reinterpret_cast<std::uint16_t*>(at);
        at += 2 * kFew * kGifMaxCode;
        rowOf_ = reinterpret_cast<std::uint16_t*>(at);
        at += 2 * kGifMaxCode;
        log_ = reinterpret_cast<std::uint32_t*>(at);
        at += 4 * kMaxLogged;
        rows_ = reinterpret_cast<std::uint16_t*>(at);
        // Root r owns row r; other strings start with no child.
        for (std::uint32_t r = 0; r < width_; ++r) rowOf_[r] = static_cast<std::uint16_t>(r);
        for (std::uint32_t c = width_; c < kGifMaxCode; ++c) rowOf_[c] = kFewChildren;
        pooled_ = width_;
    }

    // The code of the string `prefix` + `pixel`, or 0 when the table does not hold it.
    __attribute__((always_inline)) std::uint32_t Find(std::uint32_t prefix,
                                                      std::uint32_t pixel) const {
        const std::uint32_t row = rowOf_[prefix];
        if (row < kFewChildren) return rows_[row * width_ + pixel];
        // The lowest byte of `x` that is zero marks the first child with this pixel; bytes above
        // it may be flagged falsely, never bytes below it.
        const std::uint32_t x = fewPixels_[prefix] ^ (pixel * 0x01010101u);
        const std::uint32_t zero = (x - 0x01010101u) & ~x & 0x80808080u;
        if (zero == 0) return 0;
        const std::uint32_t i = static_cast<std::uint32_t>(__builtin_ctz(zero)) >> 3;
        return i < row - kFewChildren ? fewCodes_[kFew * prefix + i] : 0;
    }

    // Adds `code` as the string `prefix` + `pixel`, which Find did not hold.
    __attribute__((always_inline)) void Add(std::uint32_t prefix, std::uint32_t pixel,
                                            std::uint32_t code) {
        const std::uint32_t row = rowOf_[prefix];
        if (row < kFewChildren) return SetInRow(row, pixel, code);
        const std::uint32_t n = row - kFewChildren;
        if (n == kFew) return Promote(prefix, pixel, code);
        const std::uint32_t shift = 8 * n;
        fewPixels_[prefix] = (fewPixels_[prefix] & ~(0xFFu << shift)) | pixel << shift;
        fewCodes_[kFew * prefix + n] = static_cast<std::uint16_t>(code);
        rowOf_[prefix] = static_cast<std::uint16_t>(row + 1);
    }

    // Forgets every string but the roots, for codes from firstCode up to `next`.
    void Reset(std::uint32_t next) {
        for (std::uint32_t i = 0; i < logged_; ++i) rows_[log_[i]] = 0;
        logged_ = 0;
        for (std::uint32_t c = firstCode_; c < next; ++c) rowOf_[c] = kFewChildren;
        pooled_ = width_;
    }

  private:
    // Children kept beside a string before it takes a row.
    static constexpr std::uint32_t kFew = 4;
    // rowOf_ values from here on stand for a string without a row and with (value - this)
    // children beside it.
    static constexpr std::uint32_t kFewChildren = 0x8000;
    // Strings with five children or more: at most a fifth of those added between resets.
    static constexpr std::uint32_t kMaxPooledRows = kGifMaxCode / (kFew + 1) + 1;
    // Row entries written between resets: one per string added to a row, five per row taken.
    static constexpr std::uint32_t kMaxLogged = kGifMaxCode + (kFew + 1) * kMaxPooledRows;

    void SetInRow(std::uint32_t row, std::uint32_t pixel, std::uint32_t code) {
        const std::uint32_t at = row * width_ + pixel;
        rows_[at] = static_cast<std::uint16_t>(code);
        log_[logged_++] = at;
    }
    // A fifth child: the string gets a row, which takes the four before it too.
    __attribute__((noinline)) void Promote(std::uint32_t prefix, std::uint32_t pixel,
                                           std::uint32_t code) {
        const std::uint32_t row = pooled_++;
        for (std::uint32_t i = 0; i < kFew; ++i) {
            SetInRow(row, (fewPixels_[prefix] >> (8 * i)) & 0xFF, fewCodes_[kFew * prefix + i]);
        }
        SetInRow(row, pixel, code);
        rowOf_[prefix] = static_cast<std::uint16_t>(row);
    }

    std::uint32_t width_;       // pixel values: 1 << minCodeSize
    std::uint32_t firstCode_;   // the first code of a string that is not a root
    std::uint32_t* fewPixels_;  // a string's children without a row: their pixels, a byte each
    std::uint16_t* fewCodes_;   // and their codes, kFew a string
    std::uint16_t* rowOf_;      // a string's row, or kFewChildren + its children beside it
    std::uint32_t* log_;        // the row entries written since the last reset
    std::uint16_t* rows_;       // row r holds the children of its string by pixel value
    std::uint32_t logged_ = 0;
    std::uint32_t pooled_ = 0;  // the next row of the pool
};

// What a pixel source's NextSpan returns instead of a pixel count.
inline constexpr int kGifEndOfImage = -1;
inline constexpr int kGifCancelled = -2;

// The packer state. Codes are gathered least significant bit first in `pending` and stored
// four bytes at a time into `buffer`, where byte 0 and every 255th byte after it are kept for
// the count byte of a sub-block of 254 data bytes.
struct GifCodePacker {
    std::uint8_t* buffer;   // at least kGifBatchBytes bytes
    std::int16_t length;    // next write position in buffer
    std::int16_t blockEnd;  // the count position that ends the current sub-block
    plat::HFILE file;
    std::uint64_t pending;  // bits not yet stored, the oldest in bit 0
    std::uint8_t used;      // how many bits of `pending` are filled (below 32 between codes)
    std::uint8_t width;     // current code width, changed by the encoder
};

// Sets the packer up to write into `buffer` (of which byte 0 is the first count byte).
void StartGifCodePacker(GifCodePacker* packer, std::uint8_t* buffer, plat::HFILE file,
                        std::uint8_t width);

// Writes a full buffer of kGifBatchBytes bytes. Returns 1 when the write came up short.
int WriteGifBatch(const std::uint8_t* buffer, plat::HFILE file);

// Called when `length` has reached `blockEnd`: fills in the count byte of the sub-block just
// completed, writes the buffer when it holds a full batch, and skips the next count position.
// Returns 0, or 1 when the batch write came up short.
inline int CloseGifSubBlock(GifCodePacker* packer) {
    packer->buffer[packer->length - kGifSubBlockSpan] = kGifSubBlockData;
    if (packer->length == kGifBatchBytes) {
        packer->length = 1;
        packer->blockEnd = kGifSubBlockSpan;
        return WriteGifBatch(packer->buffer, packer->file);
    }
    packer->length = static_cast<std::int16_t>(packer->length + 1);
    packer->blockEnd = static_cast<std::int16_t>(packer->blockEnd + kGifSubBlockSpan);
    return 0;
}

// Stores one finished data byte. Returns 0, or 1 when a batch write came up short.
inline int StoreGifByte(GifCodePacker* packer, std::uint8_t byte) {
    packer->buffer[packer->length] = byte;
    packer->length = static_cast<std::int16_t>(packer->length + 1);
    return packer->length == packer->blockEnd ? CloseGifSubBlock(packer) : 0;
}

// Stores the oldest 32 pending bits as four data bytes. Returns 0, or 1 when a batch write
// came up short. Kept out of line so that EmitGifCode, inlined into the encoder's loop, stays
// small.
__attribute__((noinline)) inline int StoreGifWord(GifCodePacker* packer) {
    const auto word = static_cast<std::uint32_t>(packer->pending);
    packer->pending >>= 32;
    packer->used = static_cast<std::uint8_t>(packer->used - 32);
    if (packer->blockEnd - packer->length >= 4) {
        std::uint8_t* at = packer->buffer + packer->length;
        at[0] = static_cast<std::uint8_t>(word);
        at[1] = static_cast<std::uint8_t>(word >> 8);
        at[2] = static_cast<std::uint8_t>(word >> 16);
        at[3] = static_cast<std::uint8_t>(word >> 24);
        packer->length = static_cast<std::int16_t>(packer->length + 4);
        return packer->length == packer->blockEnd ? CloseGifSubBlock(packer) : 0;
    }
    for (int i = 0; i < 32; i += 8) {
        if (StoreGifByte(packer, static_cast<std::uint8_t>(word >> i)) != 0) return 1;
    }
    return 0;
}

// Appends one code of `width` bits. Returns 0, or 1 when a batch write came up short.
__attribute__((always_inline)) inline int EmitGifCode(GifCodePacker* packer, std::uint32_t code) {
    packer->pending |= std::uint64_t{code} << packer->used;
    packer->used = static_cast<std::uint8_t>(packer->used + packer->width);
    return packer->used >= 32 ? StoreGifWord(packer) : 0;
}

// Stores the pending bits (the last byte padded with 0 bits), closes the last sub-block and writes
// what the buffer holds. Returns 0, or 1 when a write came up short.
int FinishGifCodePacker(GifCodePacker* packer);

// Compresses the pixels of `source` into `packer`, whose width must be minCodeSize + 1: the clear
// code, the codes of greedy LZW (each string the longest one in the table, the table starting
// again once code 4095 is assigned) and the end code. `table` is a GifStringTable's zeroed block.
// `source.NextSpan(&pixels)` points `pixels` at the next run of colour indices (each below
// 1 << minCodeSize) and returns how many there are (at least 1), or returns kGifEndOfImage or
// kGifCancelled. Returns 0, QOR_WRITE_FAILED (a short write) or QOR_CANCELLED.
//
// The loop over a run's pixels is kept whole: one lookup per pixel, and the rare steps (a new
// width, the reset) inside it, since taking them out costs the common step its registers.
template <typename Source>
std::int16_t EncodeGifCodes(GifCodePacker* packerState, std::uint8_t minCodeSize, void* tableBlock,
                            Source& source) {
    // The codes go through a local copy of the packer, whose fields the compiler can keep in
    // registers while bytes are stored into the buffer; it is copied back on every way out.
    GifCodePacker local = *packerState;
    GifCodePacker* packer = &local;
    auto leave = [&](std::int16_t status) {
        *packerState = local;
        return status;
    };
    constexpr auto kWriteFailed = static_cast<std::int16_t>(QOR_WRITE_FAILED);
    constexpr auto kCancelled = static_cast<std::int16_t>(QOR_CANCELLED);
    GifStringTable table(tableBlock, minCodeSize);
    const std::uint32_t clearCode = 1u << minCodeSize;
    const std::uint32_t endCode = clearCode + 1;
    const auto initialWidth = static_cast<std::uint8_t>(minCodeSize + 1);
    std::uint32_t next = clearCode + 2;

    if (EmitGifCode(packer, clearCode) != 0) return leave(kWriteFailed);
    const std::uint8_t* span = nullptr;
    int count = source.NextSpan(&span);
    if (count == kGifCancelled) return leave(kCancelled);
    if (count > 0) {
        auto ent = static_cast<std::uint32_t>(span[0]);
        // The next code whose assignment needs attention: the one equal to 1 << width (the
        // width grows) or, at 12 bits, 4095 (the last one before the table starts again).
        std::uint32_t event = 1u << packer->width;
        int at = 1;
        for (;;) {
            while (at < count) {
                const std::uint32_t c = span[at++];
                if (const std::uint32_t found = table.Find(ent, c); found != 0) {
                    ent = found;
                    continue;
                }
                if (EmitGifCode(packer, ent) != 0) return leave(kWriteFailed);
                table.Add(ent, c, next);
                ent = c;
                if (next++ == event) {
                    if (next == kGifMaxCode) {
                        // 4095 was assigned: the table is full and starts again.
                        if (EmitGifCode(packer, clearCode) != 0) return leave(kWriteFailed);
                        packer->width = initialWidth;
                        table.Reset(next);
                        next = clearCode + 2;
                    } else {
                        // The code just assigned equals 1 << width.
                        packer->width = static_cast<std::uint8_t>(packer->width + 1);
                    }
                    event = packer->width < 12 ? 1u << packer->width : kGifMaxCode - 1;
                }
            }
            count = source.NextSpan(&span);
            if (count <= 0) {
                if (count == kGifCancelled) return leave(kCancelled);
                break;
            }
            at = 0;
        }
        if (EmitGifCode(packer, ent) != 0) return leave(kWriteFailed);
    }
    if (EmitGifCode(packer, endCode) != 0) return leave(kWriteFailed);
    return leave(0);
}

template <typename Source>
std::int16_t EncodeGifImage(GifCodePacker* packer, std::uint8_t minCodeSize, void* table,
                            Source& source) {
    std::int16_t status = EncodeGifCodes(packer, minCodeSize, table, source);
    if (status == 0 && FinishGifCodePacker(packer) != 0) {
        status = static_cast<std::int16_t>(QOR_WRITE_FAILED);
    }
    return status;
}

}  // namespace qor
