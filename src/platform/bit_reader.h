// The bit stream of TIFF LZW codes and CCITT code words: read most significant bit first from a
// BlockReader through a 64-bit accumulator. (GIF codes come least significant bit first, in
// sub-blocks; the GIF decoder reads them itself.)
#pragma once

#include <cstdint>

#include "platform/block_reader.h"
#include "platform/bytes.h"

namespace qor::plat {

// Each byte of `v` with its eight bits in reverse order: fill order 2 input, eight bytes at once.
inline std::uint64_t ReverseBitsOfEachByte(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    return ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// With `reversed` (fill order 2), each byte's bits come least significant first. Past the end of
// the file it supplies zero bits, so that a decoder can look at the last codes of the data
// through a window wider than they are, but it counts them: taking one of them means that the
// data ended early.
struct BitReader {
    BlockReader input;
    bool reversed = false;
    bool ended = false;         // the file gave no more bytes
    std::uint64_t bits = 0;     // stream bits, the earliest most significant
    std::uint32_t count = 0;    // bits held in `bits`
    std::uint32_t padding = 0;  // of those, zero bits supplied past the end

    // Empties the reader: the next bit is the first of the file's position.
    void Restart() {
        input.Restart();
        ended = false;
        bits = 0;
        count = padding = 0;
    }
    // Tops the accumulator up to at least 57 bits with one load of eight bytes; false, with
    // nothing done, when the block holds fewer. Called only with fewer than 57 bits held.
    bool FillWord() { return FillWordIn(reversed); }
    // FillWord for a caller that knows the fill order: a hot loop that passes a constant has no
    // test of it.
    bool FillWordIn(bool reverse) {
        if (input.Available() < 8) return false;
        std::uint64_t word = LoadBE64(input.next);
        if (reverse) word = ReverseBitsOfEachByte(word);
        // The bits below `count` that this adds beyond the whole bytes taken are the stream's
        // next bits at their own places: a later fill writes the same values over them.
        bits |= word >> count;
        const std::uint32_t taken = (63 - count) >> 3;
        input.next += taken;
        count += taken * 8;
        return true;
    }
    // The same a byte at a time, reading the next block when this one is used up and supplying
    // zero bits past the end of the file.
    void FillBytes();
    void Fill() {
        if (!FillWord()) FillBytes();
    }
    // Takes the place that `copy`, a copy of this reader that a hot loop keeps in registers and
    // that only FillWord has refilled, has reached.
    void AdvanceTo(const BitReader& copy) {
        input.next = copy.input.next;
        bits = copy.bits;
        count = copy.count;
    }

    // Reads the bits held, and every byte after them, in the other fill order. Only before the
    // first bit is taken, when the bits held are whole bytes from the start.
    void ReverseFillOrder() {
        bits = ReverseBitsOfEachByte(bits);
        reversed = !reversed;
    }

    // The next `n` (1 to 57) bits held, padding included, without taking them.
    std::uint32_t Peek(std::uint32_t n) const {
        return static_cast<std::uint32_t>(bits >> (64 - n));
    }
    void Skip(std::uint32_t n) {
        bits <<= n;
        count -= n;
    }
    // Peek after filling when fewer than `n` bits are held.
    std::uint32_t Look(std::uint32_t n) {
        if (count < n) Fill();
        return Peek(n);
    }
    // Whether the next `n` (at most 57) bits are the stream's, filling when they may be.
    bool Holds(std::uint32_t n) {
        // With n or more bits held the rest is padding, else a fill may bring the bits in.
        if (n <= count - padding) return true;
        if (count >= n) return false;
        Fill();
        return n <= count - padding;
    }
    // Drops `n` bits; false, with nothing dropped, when that takes bits from past the end.
    bool Consume(std::uint32_t n) {
        if (!Holds(n)) return false;
        Skip(n);
        return true;
    }
    // True when the next `n` bits reach past the end of the data.
    bool PastEnd(std::uint32_t n) const { return padding > 0 && count - padding < n; }
    // Skips to the next byte boundary of the stream; false when the data ended before it.
    bool AlignToByte() { return Consume(count % 8); }
};

}  // namespace qor::plat
