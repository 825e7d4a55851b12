// The T.4 run-length code words, their lookup tables, white-run painting, the working blocks and
// the strip frame shared by the CCITT decoders.
#include <algorithm>
#include <cstring>

#include "fax/fax.h"

namespace qor::fax {

// Terminating codes 0-63, make-up codes 64-1728, extended make-up codes 1792-2560 (the same
// code words for both colours).
const std::uint8_t kWhiteCodeLength[kCodeCount] = {
    8, 6, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6,  6,  6,  6,  6,  7,  7,  7,  7,  7,  7,  7,  7,
    7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 5, 5,  6,  7,  8,  8,  8,  8,  8,  8,  9,  9,  9,  9,
    9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 6, 9, 11, 11, 11, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
};
const std::uint8_t kWhiteCodeValue[kCodeCount] = {
    0b00110101,     0b000111,       0b0111,         0b1000,         0b1011,         0b1100,
    0b1110,         0b1111,         0b10011,        0b10100,        0b00111,        0b01000,
    0b001000,       0b000011,       0b110100,       0b110101,       0b101010,       0b101011,
    0b0100111,      0b0001100,      0b0001000,      0b0010111,      0b0000011,      0b0000100,
    0b0101000,      0b0101011,      0b0010011,      0b0100100,      0b0011000,      0b00000010,
    0b00000011,     0b00011010,     0b00011011,     0b00010010,     0b00010011,     0b00010100,
    0b00010101,     0b00010110,     0b00010111,     0b00101000,     0b00101001,     0b00101010,
    0b00101011,     0b00101100,     0b00101101,     0b00000100,     0b00000101,     0b00001010,
    0b00001011,     0b01010010,     0b01010011,     0b01010100,     0b01010101,     0b00100100,
    0b00100101,     0b01011000,     0b01011001,     0b01011010,     0b01011011,     0b01001010,
    0b01001011,     0b00110010,     0b00110011,     0b00110100,     0b11011,        0b10010,
    0b010111,       0b0110111,      0b00110110,     0b00110111,     0b01100100,     0b01100101,
    0b01101000,     0b01100111,     0b011001100,    0b011001101,    0b011010010,    0b011010011,
    0b011010100,    0b011010101,    0b011010110,    0b011010111,    0b011011000,    0b011011001,
    0b011011010,    0b011011011,    0b010011000,    0b010011001,    0b010011010,    0b011000,
    0b010011011,    0b00000001000,  0b00000001100,  0b00000001101,  0b000000010010, 0b000000010011,
    0b000000010100, 0b000000010101, 0b000000010110, 0b000000010111, 0b000000011100, 0b000000011101,
    0b000000011110, 0b000000011111,
};
const std::uint8_t kBlackCodeLength[kCodeCount] = {
    10, 3,  2,  2,  3,  4,  4,  5,  6,  6,  7,  7,  7,  8,  8,  9,  10, 10, 10, 11, 11,
    11, 11, 11, 11, 11, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 10, 12, 12, 12, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 11, 11, 11, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
};
const std::uint8_t kBlackCodeValue[kCodeCount] = {
    0b0000110111,
    0b010,
    0b11,
    0b10,
    0b011,
    0b0011,
    0b0010,
    0b00011,
    0b000101,
    0b000100,
    0b0000100,
    0b0000101,
    0b0000111,
    0b00000100,
    0b00000111,
    0b000011000,
    0b0000010111,
    0b0000011000,
    0b0000001000,
    0b00001100111,
    0b00001101000,
    0b00001101100,
    0b00000110111,
    0b00000101000,
    0b00000010111,
    0b00000011000,
    0b000011001010,
    0b000011001011,
    0b000011001100,
    0b000011001101,
    0b000001101000,
    0b000001101001,
    0b000001101010,
    0b000001101011,
    0b000011010010,
    0b000011010011,
    0b000011010100,
    0b000011010101,
    0b000011010110,
    0b000011010111,
    0b000001101100,
    0b000001101101,
    0b000011011010,
    0b000011011011,
    0b000001010100,
    0b000001010101,
    0b000001010110,
    0b000001010111,
    0b000001100100,
    0b000001100101,
    0b000001010010,
    0b000001010011,
    0b000000100100,
    0b000000110111,
    0b000000111000,
    0b000000100111,
    0b000000101000,
    0b000001011000,
    0b000001011001,
    0b000000101011,
    0b000000101100,
    0b000001011010,
    0b000001100110,
    0b000001100111,
    0b0000001111,
    0b000011001000,
    0b000011001001,
    0b000001011011,
    0b000000110011,
    0b000000110100,
    0b000000110101,
    0b0000001101100,
    0b0000001101101,
    0b0000001001010,
    0b0000001001011,
    0b0000001001100,
    0b0000001001101,
    0b0000001110010,
    0b0000001110011,
    0b0000001110100,
    0b0000001110101,
    0b0000001110110,
    0b0000001110111,
    0b0000001010010,
    0b0000001010011,
    0b0000001010100,
    0b0000001010101,
    0b0000001011010,
    0b0000001011011,
    0b0000001100100,
    0b0000001100101,
    0b00000001000,
    0b00000001100,
    0b00000001101,
    0b000000010010,
    0b000000010011,
    0b000000010100,
    0b000000010101,
    0b000000010110,
    0b000000010111,
    0b000000011100,
    0b000000011101,
    0b000000011110,
    0b000000011111,
};

void BuildFaxCodeTable(std::uint16_t* table, const std::uint8_t* lengths,
                       const std::uint8_t* values) {
    std::fill(table, table + kCodeTableSize, std::uint16_t{NO_CODE});
    for (std::uint32_t i = 0; i < kCodeCount; ++i) {
        const std::uint32_t spare = 13u - lengths[i];
        const std::uint32_t first = std::uint32_t{values[i]} << spare;
        const auto entry = static_cast<std::uint16_t>(i | std::uint32_t{lengths[i]} << 8);
        std::fill(table + first, table + first + (std::uint32_t{1} << spare), entry);
    }
}

void BuildCodeTables(FaxBlocks* blocks) {
    BuildFaxCodeTable(blocks->As16(0), kWhiteCodeLength, kWhiteCodeValue);
    BuildFaxCodeTable(blocks->As16(1), kBlackCodeLength, kBlackCodeValue);
}

RunCodes RunCodesOf(const FaxBlocks& blocks) {
    return RunCodes{{blocks.As16(1), blocks.As16(0)}};
}

void PaintWhiteRun(std::uint8_t* row, std::uint32_t p, std::uint32_t n) {
    if (n == 0) return;
    const std::uint32_t last = p + n - 1;
    const std::uint32_t first = p >> 3, lastByte = last >> 3;
    const auto head = static_cast<std::uint8_t>(0xFFu >> (p & 7));
    const auto tail = static_cast<std::uint8_t>(0xFFu << (7 - (last & 7)));
    if (first == lastByte) {
        row[first] = static_cast<std::uint8_t>(row[first] | (head & tail));
        return;
    }
    row[first] = static_cast<std::uint8_t>(row[first] | head);
    if (lastByte > first + 1) std::memset(row + first + 1, 0xFF, lastByte - first - 1);
    row[lastByte] = static_cast<std::uint8_t>(row[lastByte] | tail);
}

template <bool kListChanges>
[[gnu::noinline]] void TakeHeldRunCodes(plat::BitReader& reader, const RunCodes& codes,
                                        CodedRow* row) {
    plat::BitReader in = reader;
    CodedRow r = *row;
    while (r.position < r.width) {
        if (in.count < 13 && !in.FillWord()) break;
        const std::uint16_t entry = codes.table[r.colour][in.bits >> 51];
        const std::uint32_t index = IndexOfEntry(entry);
        if (index == NO_CODE) break;
        const std::uint64_t pending = r.pending + RunOfCode(index);
        // A run past the row's end is left to TakeRunCode, which refuses it.
        if (index < 64 && pending > r.width - r.position) break;
        in.Skip(LengthOfEntry(entry));
        r.pending = pending;
        if (index >= 64) continue;
        const auto run = static_cast<std::uint32_t>(pending);
        if (r.colour != 0) PaintWhite(r.out, r.rowBytes, r.position, run);
        r.position += run;
        r.colour ^= 1;
        r.pending = 0;
        if (kListChanges && r.position < r.width) r.ListChange();
    }
    reader.AdvanceTo(in);
    *row = r;
}
template void TakeHeldRunCodes<false>(plat::BitReader&, const RunCodes&, CodedRow*);
template void TakeHeldRunCodes<true>(plat::BitReader&, const RunCodes&, CodedRow*);

std::int16_t FaxCodec::Start(HFILE file, const tiff::TiffPage& page, const tiff::PageForm& form,
                             const DibView& rows, std::uint32_t) {
    // The codings are bilevel: a page that claims more bits per pixel has no sound DIB form.
    if (form.bitsPerPixel != 1) return QOR_TIFF_UNSUPPORTED;
    // Page validation keeps both dimensions within the limit; nothing larger is decoded.
    if (page.imageWidth > kMaxDibSide || page.imageLength > kMaxDibSide) {
        return QOR_TIFF_TOO_LARGE;
    }
    width_ = page.imageWidth;
    stride_ = rows.stride;
    std::uint32_t sizes[FaxBlocks::kMax] = {kCodeTableBytes, kCodeTableBytes,
                                            tiff::TIFF_READ_BLOCK};
    const int n = 3 + ExtraBlocks(width_, sizes + 3);
    if (!blocks_.Acquire(sizes, n)) return QOR_NO_MEMORY;
    BuildCodeTables(&blocks_);
    codes_ = RunCodesOf(blocks_);
    in_.input = plat::BlockReader{file, blocks_.data[2], tiff::TIFF_READ_BLOCK};
    // Bytes stored least significant bit first are reversed, in every fax coding.
    in_.reversed = page.fillOrder == 2;
    return 0;
}

std::unique_ptr<tiff::StripCodec> FaxCodec::Another(const tiff::TiffPage& page,
                                                    const tiff::PageForm&,
                                                    std::uint64_t bytes) const {
    std::uint32_t sizes[FaxBlocks::kMax] = {kCodeTableBytes, kCodeTableBytes,
                                            tiff::TIFF_READ_BLOCK};
    const int n = 3 + ExtraBlocks(std::min(page.imageWidth, kMaxDibSide), sizes + 3);
    std::uint64_t total = 0;
    for (int i = 0; i < n; ++i) total += sizes[i];
    if (total > bytes) return nullptr;
    return Fresh();
}

// Every strip is decodable by itself: it starts with an empty window at its own offset.
void FaxCodec::BeginStrip(const tiff::StripSpan&) {
    in_.Restart();
}

bool FaxBlocks::Acquire(const std::uint32_t* sizes, int n) {
    for (int i = 0; i < n; ++i) {
        if (!block[i].Allocate(sizes[i])) {
            for (int j = 0; j < i; ++j) block[j].Free();
            return false;
        }
        data[i] = block[i].data();
    }
    return true;
}

}  // namespace qor::fax
