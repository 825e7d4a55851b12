// The one view of a packed DIB: a BITMAPINFOHEADER, its RGBQUAD colour table and the pixel rows,
// each padded to 4 bytes and stored bottom-up (the first image row is the last row in memory).
// Every reader that builds a DIB, the writer that reads one, the host and the tool go through it.
#pragma once

#include <cstdint>

#include "platform/bytes.h"

namespace qor {

inline constexpr std::uint32_t kDibHeaderSize = 40;
// The widest and tallest image that a reader delivers or the writer takes: row positions are
// counted in signed 16 bits.
inline constexpr std::uint32_t kMaxDibSide = 32767;

// Bytes in one stored row of `width` pixels of `bits` each.
inline std::uint64_t DibStride(std::uint64_t width, std::uint32_t bits) {
    return ((width * bits + 31) / 32) * 4;
}

// Colour-table entries that a DIB of `bits` per pixel carries when it is made here: 2^bits for
// 1, 4 and 8 bits, none above.
inline std::uint32_t DibTableEntries(std::uint32_t bits) {
    return bits <= 8 ? 1u << bits : 0;
}

// Whole size of a packed DIB made here, in 64 bits so that it can be checked before allocating.
inline std::uint64_t DibSize(std::uint64_t width, std::uint64_t height, std::uint32_t bits) {
    return kDibHeaderSize + 4ull * DibTableEntries(bits) + DibStride(width, bits) * height;
}

struct DibView {
    std::uint8_t* base = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 0;
    std::uint32_t compression = 0;
    std::uint32_t colours = 0;        // colour-table entries
    std::uint8_t* palette = nullptr;  // RGBQUAD entries: blue, green, red, 0
    std::uint8_t* pixels = nullptr;   // the bottom row in memory
    std::uint64_t stride = 0;
    std::uint64_t pixelOffset = 0;  // from base

    // Image row y (0 = top).
    std::uint8_t* Row(std::uint32_t y) const { return pixels + stride * (height - 1 - y); }
};

// Reads the header of the packed DIB at `dib` (a block of `blockSize` bytes). False when the
// header is not a BITMAPINFOHEADER of positive width and height (bottom-up), or its colour table
// or rows need more than the block holds. The bit depth is not limited here: callers check that
// it is one they handle. A biClrUsed of 0 means 2^bits entries up to 8 bits and none above.
inline bool ViewDib(void* dib, std::uint64_t blockSize, DibView* view) {
    auto* p = static_cast<std::uint8_t*>(dib);
    if (p == nullptr || blockSize < kDibHeaderSize) return false;
    std::uint32_t headerSize = LoadLE32(p);
    auto width = static_cast<std::int32_t>(LoadLE32(p + 4));
    auto height = static_cast<std::int32_t>(LoadLE32(p + 8));
    std::uint32_t bits = LoadLE16(p + 14);
    std::uint32_t used = LoadLE32(p + 32);
    if (headerSize < kDibHeaderSize || width <= 0 || height <= 0 || bits == 0 || bits > 32) {
        return false;
    }
    DibView v;
    v.base = p;
    v.width = static_cast<std::uint32_t>(width);
    v.height = static_cast<std::uint32_t>(height);
    v.bits = bits;
    v.compression = LoadLE32(p + 16);
    v.colours = used != 0 ? used : DibTableEntries(bits);
    v.stride = DibStride(v.width, bits);
    v.pixelOffset = std::uint64_t{headerSize} + 4ull * v.colours;
    if (v.pixelOffset + v.stride * v.height > blockSize) return false;
    v.palette = p + headerSize;
    v.pixels = p + v.pixelOffset;
    *view = v;
    return true;
}

// Writes a BITMAPINFOHEADER for a bottom-up DIB with 2^bits colour-table entries (none above 8
// bits) and returns the view of the block, whose size the caller got from DibSize.
inline DibView WriteDibHeader(void* dib, std::uint32_t width, std::uint32_t height,
                              std::uint32_t bits) {
    auto* p = static_cast<std::uint8_t*>(dib);
    std::uint32_t entries = DibTableEntries(bits);
    std::uint64_t image = DibStride(width, bits) * height;
    StoreLE32(p, kDibHeaderSize);
    StoreLE32(p + 4, width);
    StoreLE32(p + 8, height);
    StoreLE16(p + 12, 1);
    StoreLE16(p + 14, bits);
    StoreLE32(p + 16, 0);
    StoreLE32(p + 20, static_cast<std::uint32_t>(image));
    StoreLE32(p + 32, entries);
    StoreLE32(p + 36, entries);
    DibView v;
    ViewDib(p, kDibHeaderSize + 4ull * entries + image, &v);
    return v;
}

}  // namespace qor
