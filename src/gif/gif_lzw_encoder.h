// GIF LZW compression: a variable-width LZW coder over an open-addressing string table, and the
// packer that turns its codes into 254-byte data sub-blocks written in 10200-byte batches.
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

// The string table: kGifHashSlots slots are hashed into; the block holds kGifHashEntries.
// Each entry packs one string as (code << 20) | (prefix code << 8) | appended byte, so that a
// probe reads one word; a code is never 0 for a stored string, so 0 marks an empty slot.
inline constexpr std::uint32_t kGifHashSlots = 5003;
inline constexpr std::uint32_t kGifHashEntries = 5100;
inline constexpr std::uint32_t kGifHashTableBytes = kGifHashEntries * 4;
// The quadratic probe h, h+1, h+4, h+9, ... (mod 5003, a prime) reaches (5003 + 1) / 2
// distinct slots and then repeats itself.
inline constexpr std::uint32_t kGifProbeLimit = (kGifHashSlots + 1) / 2;

inline constexpr std::uint32_t kGifMaxCode = 4096;

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

// Writes the clear code, the codes of the pixels of `source` and the end code.
// Compresses the pixels of `source` into `packer`, whose width must be minCodeSize + 1.
// `table` holds kGifHashEntries zeroed entries. `source.NextSpan(&pixels)` points `pixels` at
// the next run of colour indices (each below 1 << minCodeSize) and returns how many there are
// (at least 1), or returns kGifEndOfImage or kGifCancelled. Returns 0, QOR_WRITE_FAILED (a short
// write) or QOR_CANCELLED.
//
// When a string is neither found nor given a slot within kGifProbeLimit probes, it is written
// as it stands and its new code is used up without being stored: the decoder's table keeps in
// step with ours, and the code is simply never referred to.
template <typename Source>
std::int16_t EncodeGifCodes(GifCodePacker* packerState, std::uint8_t minCodeSize,
                            std::uint32_t* table, Source& source) {
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
                const std::uint32_t key = (ent << 8) | c;
                // (c << 5) ^ ent is below 8192 < 2 * 5003: one subtraction reduces it.
                std::uint32_t h = (c << 5) ^ ent;
                if (h >= kGifHashSlots) h -= kGifHashSlots;
                std::uint32_t entry = table[h];
                if (entry != 0) {
                    if ((entry & 0xFFFFF) == key) {
                        ent = entry >> 20;
                        continue;
                    }
                    // Probe offsets 1, 4, 9, ... from the first slot; step stays below 5005,
                    // so one subtraction keeps h below 5003.
                    for (std::uint32_t step = 1; step < 2 * kGifProbeLimit - 1;) {
                        h += step;
                        if (h >= kGifHashSlots) h -= kGifHashSlots;
                        step += 2;
                        entry = table[h];
                        if (entry == 0 || (entry & 0xFFFFF) == key) break;
                    }
                    if (entry != 0 && (entry & 0xFFFFF) == key) {
                        ent = entry >> 20;
                        continue;
                    }
                    // Otherwise either an empty slot, or every reachable slot is taken.
                }
                if (EmitGifCode(packer, ent) != 0) return leave(kWriteFailed);
                if (entry == 0) table[h] = (next << 20) | key;
                ent = c;
                if (next++ == event) {
                    if (next == kGifMaxCode) {
                        // 4095 was assigned: the table is full and starts again.
                        if (EmitGifCode(packer, clearCode) != 0) return leave(kWriteFailed);
                        packer->width = initialWidth;
                        next = clearCode + 2;
                        std::memset(table, 0, kGifHashTableBytes);
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
std::int16_t EncodeGifImage(GifCodePacker* packer, std::uint8_t minCodeSize, std::uint32_t* table,
                            Source& source) {
    std::int16_t status = EncodeGifCodes(packer, minCodeSize, table, source);
    if (status == 0 && FinishGifCodePacker(packer) != 0) {
        status = static_cast<std::int16_t>(QOR_WRITE_FAILED);
    }
    return status;
}

}  // namespace qor
