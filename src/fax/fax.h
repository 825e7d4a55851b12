// The machinery that the three CCITT strip decoders share: the T.4 run-length code words and
// their 13-bit lookup tables, the bit reader's window, the painting of white runs into 1-bit
// rows, the working blocks and the page frame.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/bit_reader.h"
#include "platform/bytes.h"
#include "platform/locked_block.h"
#include "tiff/codec.h"

namespace qor::fax {

// A code index that stands for no code word of its colour.
inline constexpr std::uint8_t NO_CODE = 255;
// Entries of a FaxCodeTable: one per 13-bit window value, each the index of the code word that the
// window begins with (low byte) and that word's length in bits (high byte), so that one load
// gives both.
inline constexpr std::uint32_t kCodeTableSize = 8192;
inline constexpr std::uint32_t kCodeTableBytes = kCodeTableSize * 2;
inline std::uint32_t IndexOfEntry(std::uint16_t entry) {
    return entry & 0xFFu;
}
inline std::uint32_t LengthOfEntry(std::uint16_t entry) {
    return entry >> 8;
}
// Code indices: 0-63 terminating, 64-90 make-up 64..1728, 91-103 extended make-up 1792..2560.
inline constexpr std::uint32_t kCodeCount = 104;

// Code word lengths (bits) and values (the code word read as a number, first bit most
// significant) by code index, for white and black runs.
extern const std::uint8_t kWhiteCodeLength[kCodeCount];
extern const std::uint8_t kWhiteCodeValue[kCodeCount];
extern const std::uint8_t kBlackCodeLength[kCodeCount];
extern const std::uint8_t kBlackCodeValue[kCodeCount];

// Fills a FaxCodeTable of kCodeTableSize entries: entry w holds the index and length of the code
// word that the 13 bits w begin with, or the index NO_CODE (length 0).
void BuildFaxCodeTable(std::uint16_t* table, const std::uint8_t* lengths,
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

// The compressed input of one strip, read in blocks of TIFF_READ_BLOCK bytes in the page's fill
// order, and looked at through a 13-bit window: past the end of the file the window holds zero
// bits, which the reader counts.
struct FaxBitReader : plat::BitReader {
    std::uint32_t Peek13() { return Look(13); }
    // True when the next 13 bits reach past the end of the data.
    bool WindowPastEnd() const { return PastEnd(13); }
};

// The working blocks of one decoder call, each held locked until the decoder returns.
struct FaxBlocks {
    static constexpr int kMax = 5;
    plat::LockedBlock block[kMax];
    std::uint8_t* data[kMax] = {};

    // False (with nothing left allocated) when a block cannot be allocated or locked.
    bool Acquire(const std::uint32_t* sizes, int n);
    std::uint32_t* As32(int i) const { return reinterpret_cast<std::uint32_t*>(data[i]); }
    std::uint16_t* As16(int i) const { return reinterpret_cast<std::uint16_t*>(data[i]); }
};

// Builds the white and black FaxCodeTables at the start of `blocks`.
void BuildCodeTables(FaxBlocks* blocks);

// The run-length code lookups by colour (0 black, 1 white) of blocks that BuildCodeTables filled.
struct RunCodes {
    const std::uint16_t* table[2];
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
    // With TakeRunCode<true>, the row's changes so far (changes[1..changeCount]): where each run
    // ends inside the row, two at one place (a run of no pixels) cancelling.
    std::uint32_t* changes = nullptr;
    std::uint32_t changeCount = 0;
    bool Done() const { return position >= width; }
    // Lists a change at `position`; two at one place (a run of no pixels) cancel.
    void ListChange() {
        if (changeCount != 0 && changes[changeCount] == position) {
            --changeCount;
        } else {
            changes[++changeCount] = position;
        }
    }
};

// Decodes the run-length code at the front of `window` (the reader's 13-bit window) for the
// row's colour: a make-up code adds to the run; a terminating code ends it, paints it when it is
// white and switches colour. Returns 0, or the status that ends the page: 532 for a window that
// holds no code or a run past the row's end (nothing of it is painted), 202 when the data ran out.
// With kListChanges, the row's changes are listed too (CodedRow::changes).
template <bool kListChanges = false>
std::int16_t TakeRunCode(FaxBitReader* in, std::uint32_t window, const RunCodes& codes,
                         CodedRow* row) {
    const std::uint16_t entry = codes.table[row->colour][window];
    const std::uint32_t index = IndexOfEntry(entry);
    if (index == NO_CODE) return in->WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
    if (!in->Consume(LengthOfEntry(entry))) return QOR_READ_FAILED;
    row->pending += RunOfCode(index);
    if (index >= 64) return 0;
    // A run that carries the row past its end is damage: nothing of it is painted.
    if (row->pending > row->width - row->position) return QOR_FAX_BAD_DATA;
    const auto run = static_cast<std::uint32_t>(row->pending);
    if (row->colour != 0) PaintWhite(row->out, row->rowBytes, row->position, run);
    row->position += run;
    row->colour ^= 1;
    row->pending = 0;
    if (kListChanges && row->position < row->width) row->ListChange();
    return 0;
}

// The common path of one-dimensional rows: takes the run-length codes at the front of `reader`
// for as long as it holds each whole (filling from its input block) and each is a code of the
// row's colour whose run stays within the row, painting and listing as TakeRunCode does. It is
// one leaf loop over copies of the reader and the row, which stay in registers while it paints;
// any other code (an EOL, fill, damage, a code past what the block can fill) is left untaken to
// TakeRunCode and the codecs' own steps. Called only without padding, so that every bit it
// takes is the stream's.
template <bool kListChanges>
void TakeHeldRunCodes(plat::BitReader& reader, const RunCodes& codes, CodedRow* row);

// Two-dimensional rows (Group 4, and the two-dimensional rows of Group 3): each row's colour
// changes are a list, entry 0 being 0 and entries 1 to n the changes in order, closed by
// CloseList; a row is decoded against the list of the row above it.

// Ends a changing-element list of `n` entries: the entries after it stand for the row's end.
inline void CloseList(std::uint32_t* list, std::uint32_t n, std::uint32_t width) {
    list[n + 1] = list[n + 2] = list[n + 3] = width;
}

// Where the decoding of a row stopped: the changes it wrote and the pixel it reached.
struct RowEnd {
    std::uint32_t changes = 0;
    std::uint32_t a0 = 0;
};

// DecodeRow's result for an end-of-block code (in Group 3 data: an EOL followed by a 0 bit).
inline constexpr std::int16_t kEndOfBlock = -1;

// Decodes the mode codes of one row against the reference row's closed list of `refCount`
// changes, writing the row's changes to coding[1], coding[2], ... (coding[0] is 0). Both lists
// hold width + 8 entries. *end says how far it got, also when it fails. 0 at the row's end,
// kEndOfBlock, or the status that ends the page.
std::int16_t DecodeRow(FaxBitReader& in, const RunCodes& codes, const std::uint32_t* ref,
                       std::uint32_t refCount, std::uint32_t* coding, std::uint32_t width,
                       RowEnd* end);

// Paints the white runs of a row that starts white, changes colour at list[1..n] (in order) and
// was decoded up to pixel `end`.
void PaintRow(std::uint8_t* out, std::uint64_t rowBytes, const std::uint32_t* list,
              const RowEnd& end);

// What the three fax codecs share: the page's row geometry, the two code tables, the input
// block and the bit reader, which every strip restarts, and `extraCount` more working blocks of
// the given sizes (blocks 3 on).
class FaxCodec : public tiff::StripCodec {
  public:
    std::int16_t Start(HFILE file, const tiff::TiffPage& page, const tiff::PageForm& form,
                       const DibView& rows, std::uint32_t rowsPerStrip) override;
    void BeginStrip(const tiff::StripSpan& strip) override;
    std::unique_ptr<tiff::StripCodec> Another(const tiff::TiffPage& page, const tiff::PageForm&,
                                              std::uint64_t bytes) const final;

  protected:
    // The sizes of the extra blocks a coding needs for a page `width` pixels wide.
    virtual int ExtraBlocks(std::uint32_t width, std::uint32_t* sizes) const = 0;
    // A new codec of the same coding, not started.
    virtual std::unique_ptr<FaxCodec> Fresh() const = 0;

    FaxBlocks blocks_;
    FaxBitReader in_;
    RunCodes codes_{};
    std::uint32_t width_ = 0;
    std::uint64_t stride_ = 0;  // of a DIB row
};

}  // namespace qor::fax
