// The GIF row writer: normal and interlaced row order into bottom-up DIB rows.
#include <cstring>

#include "gif/gif_decode.h"
#include "gif/gif_interlace.h"
#include "platform/dib.h"

namespace qor::gif {

void GifRowWriter::Start(std::uint8_t* pixelArea, std::uint64_t rowStride, std::int16_t w,
                         std::int16_t h, std::uint8_t bitsPerPixel, bool isInterlaced) {
    pixels = pixelArea;
    stride = rowStride;
    width = w;
    height = h;
    bits = bitsPerPixel;
    interlaced = isInterlaced;
    column = 0;
    k = 0;
    r = static_cast<std::int16_t>(h - 1);
    pass = 1;
    imageRow = 0;
    // Image row 0 is the last row in memory.
    rowPointer = pixels + stride * static_cast<std::uint64_t>(h - 1);
}

void GifRowWriter::AlignPartialByte() {
    if (k == 0) return;
    int shift = bits == 1 ? 8 - k : 4;
    *rowPointer = static_cast<std::uint8_t>(*rowPointer << shift);
    k = 0;
}

bool GifRowWriter::PutString(const std::uint8_t* string, int count) {
    while (count > 0) {
        if (column >= width && !NextRow()) return false;
        int n = width - column < count ? width - column : count;
        std::memcpy(rowPointer, string, static_cast<std::size_t>(n));
        rowPointer += n;
        column = static_cast<std::int16_t>(column + n);
        string += n;
        count -= n;
    }
    return true;
}

bool GifRowWriter::NextRow() {
    AlignPartialByte();
    if (r < 0) return false;  // already complete: r stays at -1
    --r;
    if (r < 0) return false;
    const std::int32_t next =
        interlaced ? NextInterlacedRow(imageRow, &pass, height) : imageRow + 1;
    if (next >= height) {
        // The row count and the pass order always agree; this only guards the pointer.
        pass = 5;
        r = -1;
        return false;
    }
    imageRow = next;
    rowPointer = pixels + stride * static_cast<std::uint64_t>(height - 1 - imageRow);
    column = 0;
    return true;
}

std::int32_t GifRowWriter::FirstUnfilledRow() const {
    for (std::int32_t row = 0; row < height; ++row) {
        if (PixelsIn(row) < width) return row;
    }
    return height;
}

std::int32_t GifRowWriter::PixelsIn(std::int32_t row) const {
    // Rows are filled pass by pass, and in each pass from the top down.
    int rowPass = 1;
    while (
        interlaced && rowPass < 4 &&
        (row < kInterlacePasses[rowPass - 1].start ||
         (row - kInterlacePasses[rowPass - 1].start) % kInterlacePasses[rowPass - 1].step != 0)) {
        ++rowPass;
    }
    if (rowPass != pass) return rowPass < pass ? width : 0;
    if (row != imageRow) return row < imageRow ? width : 0;
    return column < width ? column : width;
}

std::int16_t ComputeGifGeometry(std::uint64_t width, std::uint64_t height, std::uint32_t bits,
                                GifGeometry* geometry) {
    if (bits > 8 || width > 0xFFFFFFFFu || height > 0xFFFFFFFFu) return QOR_NO_MEMORY;
    std::uint64_t stride = DibStride(width, bits);
    if (stride > plat::kMaxBlockSize) return QOR_NO_MEMORY;
    std::uint64_t pixelBytes = stride * height;  // below 2^63
    std::uint64_t paletteSize = std::uint64_t{1} << bits;
    if (pixelBytes > plat::kMaxBlockSize) return QOR_NO_MEMORY;
    std::uint64_t dibBytes = 40 + 4 * paletteSize + pixelBytes;
    if (dibBytes > plat::kMaxBlockSize) return QOR_NO_MEMORY;
    geometry->stride = stride;
    geometry->pixelBytes = pixelBytes;
    geometry->paletteSize = paletteSize;
    geometry->dibBytes = dibBytes;
    return 0;
}

}  // namespace qor::gif
