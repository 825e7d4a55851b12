// The machinery that the three CCITT strip decoders share: the T.4 run-length code words and
// their 13-bit lookup tables, the bit reader that feeds them from a page's strips in either fill
// order, the painting of white runs into 1-bit rows, the working blocks and the page frame.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/bytes.h"
#include "platform/locked_block.h"
#include "tiff/codec.h"

namespace qor::fax {

// A table entry that begins no code word of its colour.
inline constexpr std::uint8_t NO_CODE = 255;
// Entries of a FaxCodeTable: one per 13-bit window value.
inline constexpr std::uint32_t kCodeTableSize = 8192;
// Code indices: 0-63 terminating, 64-90 make-up 64..1728, 91-103 extended make-up 1792..2560.
inline constexpr std::uint32_t kCodeCount = 104;

// Code word lengths (bits) and values (the code word read as a number, first bit most
// significant) by code index, for white and black runs.
extern const std::uint8_t kWhiteCodeLength[kCodeCount];
extern const std::uint8_t kWhiteCodeValue[kCodeCount];
extern const std::uint8_t kBlackCodeLength[kCodeCount];
extern const std::uint8_t kBlackCodeValue[kCodeCount];

// Fills a FaxCodeTable of kCodeTableSize entries: entry w holds the index of the code word that
// the 13 bits w begin with, or NO_CODE.
void BuildFaxCodeTable(std::uint8_t* table, const std::uint8_t* lengths,
                       const std::uint8_t* values);

// The run length of a code index: the index itself for terminating codes, else a multiple of 64.
inline std::uint32_t RunOfCode(std::uint32_t index) {
    return index < 64 ? index : (index - 63) * 64;
}

// Sets pixels p to p + n - 1 of a 1-bit row to 1 (white); the first pixel is the most
// significant bit of byte 0. The caller keeps p + n within the row.
void PaintWhiteRun(std::uint8_t* row, std::uint32_t p, std::uint32_t n);

// PaintWhiteRun for a row of `rowBytes` bytes (its DIB stride): a run that lies within 8 bytes
// of the row is painted with one 64-bit load and store, any other by PaintWhiteRun.
inline void PaintWhite(std::uint8_t* row, std::uint64_t rowBytes, std::uint32_t p,
                       std::uint32_t n) {
    const std::uint32_t first = p >> 3, shift = p & 7;
    if (shift + n >= 64 || first + 8ull > rowBytes) return PaintWhiteRun(row, p, n);
    const std::uint64_t mask = (~0ull >> shift) & ~(~0ull >> (shift + n));
    StoreBE64(row + first, LoadBE64(row + first) | mask);
}

// The byte with its eight bits in reverse order (fill order 2 input).
extern const std::uint8_t kReversedBits[256];

// Each byte of `v` with its eight bits in reverse order: fill order 2 input, eight bytes at once.
inline std::uint64_t ReverseBitsOfEachByte(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    return ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// The compressed input of one strip, read in blocks of TIFF_READ_BLOCK bytes and handed out bit
// by bit through a 64-bit accumulator. Past the end of the file it supplies zero bits, so that
// the last code words of the data can still be looked at through a full 13-bit window, but it
// counts them: consuming one of them means the data ended early.
struct FaxBitReader {
    HFILE file = 0;
    std::uint8_t* buffer = nullptr;
    const std::uint8_t* reverse = nullptr;  // kReversedBits for fill order 2, else null
    std::uint32_t size = 0;                 // valid bytes in the buffer
    std::uint16_t position = 0;             // next byte of the buffer
    bool ended = false;                     // the file gave no more bytes
    std::uint64_t bits = 0;                 // stream bits, the earliest most significant
    std::uint32_t count = 0;                // bits held in `bits`
    std::uint32_t padding = 0;              // of those, zero bits supplied past the end

    // Empties the reader for a strip that starts at the current file position.
    void Restart() {
        size = position = 0;
        ended = false;
        bits = 0;
        count = padding = 0;
    }
    // Tops the accumulator up to at least 57 bits: eight bytes in one load while the buffer
    // holds them, else a byte at a time. Called only with fewer than 57 bits held.
    void Fill() {
        if (size - position < 8) return FillBytes();
        std::uint64_t word = LoadBE64(buffer + position);
        if (reverse != nullptr) word = ReverseBitsOfEachByte(word);
        // The bits below `count` that this adds beyond the whole bytes taken are the stream's
        // next bits at their own places: a later fill writes the same values over them.
        bits |= word >> count;
        const std::uint32_t taken = (63 - count) >> 3;
        position = static_cast<std::uint16_t>(position + taken);
        count += taken * 8;
    }
    // Fill a byte at a time, refilling the buffer from the file and supplying zero bits past
    // its end.
    void FillBytes();
    // The next 13 bits of the stream.
    std::uint32_t Peek13() {
        if (count < 13) Fill();
        return static_cast<std::uint32_t>(bits >> 51);
    }
    // Drops n (at most 13) bits; false when that takes bits from past the end of the data.
    bool Consume(std::uint32_t n) {
        // Fewer stream bits held than n: with n or more bits held the rest is padding, else a
        // fill may bring the bits in.
        if (n > count - padding) {
            if (count >= n) return false;
            Fill();
            if (n > count - padding) return false;
        }
        bits <<= n;
        count -= n;
        return true;
    }
    // True when the next 13 bits reach past the end of the data.
    bool WindowPastEnd() const { return padding > 0 && count - padding < 13; }
    // Skips to the next byte boundary of the stream; false when the data ended before it.
    bool AlignToByte() { return Consume(count % 8); }
};

// The working blocks of one decoder call, each held locked until the decoder returns.
struct FaxBlocks {
    static constexpr int kMax = 5;
    plat::LockedBlock block[kMax];
    std::uint8_t* data[kMax] = {};

    // False (with nothing left allocated) when a block cannot be allocated or locked.
    bool Acquire(const std::uint32_t* sizes, int n);
    std::uint32_t* As32(int i) const { return reinterpret_cast<std::uint32_t*>(data[i]); }
};

// Builds the white and black FaxCodeTables at the start of `blocks`.
void BuildCodeTables(FaxBlocks* blocks);

// The run-length code lookups by colour (0 black, 1 white) of blocks that BuildCodeTables filled.
struct RunCodes {
    const std::uint8_t* table[2];
    const std::uint8_t* length[2];
};
RunCodes RunCodesOf(const FaxBlocks& blocks);

// One row of one-dimensional run-length codes being decoded.
struct CodedRow {
    std::uint8_t* out = nullptr;
    std::uint64_t rowBytes = 0;  // of `out`: the DIB stride
    std::uint32_t width = 0;
    std::uint32_t colour = 1;    // of the next run: 1 white, 0 black
    std::uint32_t position = 0;  // pixels done
    std::uint64_t pending = 0;   // make-up lengths of the current run read so far
    bool Done() const { return position >= width; }
};

// Decodes the run-length code at the front of `window` (the reader's 13-bit window) for the
// row's colour: a make-up code adds to the run; a terminating code ends it, paints it when it is
// white and switches colour. Returns 0, or the status that ends the page: 532 for a window that
// holds no code or a run past the row's end (nothing of it is painted), 202 when the data ran out.
inline std::int16_t TakeRunCode(FaxBitReader* in, std::uint32_t window, const RunCodes& codes,
                                CodedRow* row) {
    const std::uint32_t index = codes.table[row->colour][window];
    if (index == NO_CODE) return in->WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
    if (!in->Consume(codes.length[row->colour][index])) return QOR_READ_FAILED;
    row->pending += RunOfCode(index);
    if (index >= 64) return 0;
    // A run that carries the row past its end is damage: nothing of it is painted.
    if (row->pending > row->width - row->position) return QOR_FAX_BAD_DATA;
    const auto run = static_cast<std::uint32_t>(row->pending);
    if (row->colour != 0) PaintWhite(row->out, row->rowBytes, row->position, run);
    row->position += run;
    row->colour ^= 1;
    row->pending = 0;
    return 0;
}

// What the three fax codecs share: the page's row geometry, the two code tables, the input
// block and the bit reader, which every strip restarts, and `extraCount` more working blocks of
// the given sizes (blocks 3 on).
class FaxCodec : public tiff::StripCodec {
  public:
    std::int16_t Start(HFILE file, const tiff::TiffPage& page, const tiff::PageForm& form,
                       const DibView& rows, std::uint32_t rowsPerStrip) override;
    void BeginStrip(const tiff::StripSpan& strip) override;

  protected:
    // The sizes of the extra blocks a coding needs for a page `width` pixels wide.
    virtual int ExtraBlocks(std::uint32_t width, std::uint32_t* sizes) const = 0;

    FaxBlocks blocks_;
    FaxBitReader in_;
    RunCodes codes_{};
    std::uint32_t width_ = 0;
    std::uint64_t stride_ = 0;  // of a DIB row
};

}  // namespace qor::fax
