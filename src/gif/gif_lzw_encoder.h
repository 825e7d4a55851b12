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

// What a pixel source's NextPixel returns besides a colour index.
inline constexpr int kGifEndOfImage = -1;
inline constexpr int kGifCancelled = -2;

struct GifCodePacker {
    std::uint8_t* buffer;  // at least kGifBatchBytes bytes
    std::int16_t length;   // next write position in buffer
    plat::HFILE file;
    std::uint8_t free;     // bits still free in `partial`
    std::uint8_t used;     // bits of `partial` already filled
    std::uint8_t partial;  // the byte being assembled
    std::uint8_t out;      // the finished byte being stored
    std::uint8_t width;    // current code width, changed by the encoder
};

// Sets the packer up to write into `buffer` (of which byte 0 is the first count byte).
void StartGifCodePacker(GifCodePacker* packer, std::uint8_t* buffer, plat::HFILE file,
                        std::uint8_t width);

// Writes the full buffer of kGifBatchBytes bytes. Returns 1 when the write came up short.
int WriteGifBatch(GifCodePacker* packer);

// Stores one finished data byte, filling in the count byte of each completed sub-block and
// writing each full batch. Returns 0, or 1 when a batch write came up short.
inline int StoreGifByte(GifCodePacker* packer, std::uint8_t byte) {
    packer->buffer[packer->length] = byte;
    packer->length = static_cast<std::int16_t>(packer->length + 1);
    if (packer->length % kGifSubBlockSpan == 0) {
        packer->buffer[packer->length - kGifSubBlockSpan] = kGifSubBlockData;
        if (packer->length == kGifBatchBytes) return WriteGifBatch(packer);
        // Skip the count position of the next sub-block.
        packer->length = static_cast<std::int16_t>(packer->length + 1);
    }
    return 0;
}

// Appends one code of `width` bits, least significant bit first. Returns 0, or 1 when a batch
// write came up short.
inline int EmitGifCode(GifCodePacker* packer, std::uint32_t code) {
    packer->used = static_cast<std::uint8_t>(packer->used + packer->width);
    if (packer->used < 8) {
        packer->partial = static_cast<std::uint8_t>(packer->partial + (code << (8 - packer->free)));
        packer->free = static_cast<std::uint8_t>(packer->free - packer->width);
        return 0;
    }
    packer->used = static_cast<std::uint8_t>(packer->used - 8);
    std::uint32_t mask = (1u << packer->free) - 1;
    packer->out =
        static_cast<std::uint8_t>(packer->partial + ((code & mask) << (8 - packer->free)));
    std::uint32_t rest = code >> packer->free;
    for (;;) {
        if (StoreGifByte(packer, packer->out) != 0) return 1;
        if (packer->used >= 8) {
            packer->out = static_cast<std::uint8_t>(rest & 0xFF);
            packer->used = static_cast<std::uint8_t>(packer->used - 8);
            rest >>= 8;
            continue;
        }
        packer->partial = static_cast<std::uint8_t>(rest & 0xFF);
        packer->free = static_cast<std::uint8_t>(8 - packer->used);
        return 0;
    }
}

// Stores the partly filled byte, closes the last sub-block and writes what the buffer holds.
// Returns 0, or 1 when a write came up short.
int FinishGifCodePacker(GifCodePacker* packer);

// Compresses the pixels of `source` into `packer`, whose width must be minCodeSize + 1.
// `table` holds kGifHashEntries zeroed entries. `source.NextPixel()` returns a colour index
// below 1 << minCodeSize, kGifEndOfImage or kGifCancelled. Returns 0, QOR_WRITE_FAILED (a short
// write) or QOR_CANCELLED.
//
// When a string is neither found nor given a slot within kGifProbeLimit probes, it is written
// as it stands and its new code is used up without being stored: the decoder's table keeps in
// step with ours, and the code is simply never referred to.
template <typename Source>
std::int16_t EncodeGifImage(GifCodePacker* packer, std::uint8_t minCodeSize, std::uint32_t* table,
                            Source& source) {
    constexpr auto kWriteFailed = static_cast<std::int16_t>(QOR_WRITE_FAILED);
    constexpr auto kCancelled = static_cast<std::int16_t>(QOR_CANCELLED);
    const std::uint32_t clearCode = 1u << minCodeSize;
    const std::uint32_t endCode = clearCode + 1;
    const auto initialWidth = static_cast<std::uint8_t>(minCodeSize + 1);
    std::uint32_t next = clearCode + 2;

    if (EmitGifCode(packer, clearCode) != 0) return kWriteFailed;
    int first = source.NextPixel();
    if (first == kGifCancelled) return kCancelled;
    if (first >= 0) {
        auto ent = static_cast<std::uint32_t>(first);
        for (;;) {
            int pixel = source.NextPixel();
            if (pixel < 0) {
                if (pixel == kGifCancelled) return kCancelled;
                break;
            }
            const auto c = static_cast<std::uint32_t>(pixel);
            const std::uint32_t key = (ent << 8) | c;
            std::uint32_t h = ((c << 5) ^ ent) % kGifHashSlots;
            std::uint32_t step = 1;
            std::uint32_t probes = 1;
            std::uint32_t entry;
            bool found = false;
            while ((entry = table[h]) != 0) {
                if ((entry & 0xFFFFF) == key) {
                    found = true;
                    break;
                }
                if (probes == kGifProbeLimit) break;  // every reachable slot is taken
                ++probes;
                h += step;
                if (h >= kGifHashSlots) h -= kGifHashSlots;
                step += 2;
                if (step >= kGifHashSlots) step -= kGifHashSlots;
            }
            if (found) {
                ent = entry >> 20;
                continue;
            }
            if (EmitGifCode(packer, ent) != 0) return kWriteFailed;
            if (entry == 0) table[h] = (next << 20) | key;
            ent = c;
            ++next;
            if (next == kGifMaxCode) {
                if (EmitGifCode(packer, clearCode) != 0) return kWriteFailed;
                packer->width = initialWidth;
                next = clearCode + 2;
                std::memset(table, 0, kGifHashTableBytes);
            } else if (next - 1 == (1u << packer->width)) {
                packer->width = static_cast<std::uint8_t>(packer->width + 1);
            }
        }
        if (EmitGifCode(packer, ent) != 0) return kWriteFailed;
    }
    if (EmitGifCode(packer, endCode) != 0) return kWriteFailed;
    if (FinishGifCodePacker(packer) != 0) return kWriteFailed;
    return 0;
}

}  // namespace qor
