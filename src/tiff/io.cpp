// Byte-order-aware reads, the block refill and DIB row geometry shared by the TIFF decoders.
#include <cstring>

#include "tiff/tiff.h"

namespace qor::tiff {

std::uint16_t ReadTiffShort(HFILE file, std::uint16_t byteOrder) {
    std::uint8_t b[2];
    if (plat::_lread(file, b, 2) != 2) return 0;
    return IsLittleEndian(byteOrder) ? static_cast<std::uint16_t>(b[0] | b[1] << 8)
                                     : static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::uint32_t ReadTiffLong(HFILE file, std::uint16_t byteOrder) {
    std::uint8_t b[4];
    if (plat::_lread(file, b, 4) != 4) return 0;
    if (IsLittleEndian(byteOrder)) {
        return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
               std::uint32_t{b[3]} << 24;
    }
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
           std::uint32_t{b[3]};
}

std::uint32_t FillReadBuffer(HFILE file, std::uint8_t* buffer, std::uint16_t* position) {
    *position = 0;
    std::int32_t n = plat::_lread(file, buffer, TIFF_READ_BLOCK);
    return n < 0 ? 0 : static_cast<std::uint32_t>(n);
}

std::uint32_t ReadStripOffset(HFILE file, const TiffPage& page, std::uint32_t j) {
    if (page.stripCount == 1) return page.stripOffsets;
    std::uint64_t at = std::uint64_t{page.stripOffsets} + std::uint64_t{j} * page.stripOffsetSize;
    if (at > 0x7FFFFFFF || plat::_llseek(file, static_cast<std::int32_t>(at), 0) < 0) return 0;
    return page.stripOffsetSize == 2 ? ReadTiffShort(file, page.byteOrder)
                                     : ReadTiffLong(file, page.byteOrder);
}

DibRows LocateRows(std::uint8_t* dib, const TiffPage& page) {
    std::uint32_t biSize, clrUsed;
    std::uint16_t bitCount;
    std::memcpy(&biSize, dib, 4);
    std::memcpy(&bitCount, dib + 14, 2);
    std::memcpy(&clrUsed, dib + 32, 4);
    std::uint64_t table = clrUsed != 0 ? 4ull * clrUsed : bitCount <= 8 ? 4ull << bitCount : 0;
    DibRows rows;
    rows.pixels = dib + biSize + table;
    std::uint64_t width = page.imageWidth;
    rows.stride = ((width * page.bitsPerPixel + 31) / 32) * 4;
    switch (page.bitsPerPixel) {
        case 1:
            rows.rowBytes = (width + 7) / 8;
            break;
        case 4:
            rows.rowBytes = (width + 1) / 2;
            break;
        case 8:
        case 16:
        case 24:
        case 32:
            rows.rowBytes = width * (page.bitsPerPixel / 8u);
            break;
        default:
            rows.rowBytes = 0;
            break;
    }
    rows.rows = page.imageLength;
    return rows;
}

}  // namespace qor::tiff
