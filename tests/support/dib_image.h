// Packed DIBs as plain values, without GoogleTest, so that the fuzz harnesses share them with the
// test suites: an Image copied out of a DIB block, and a DIB block made from indices.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dib.h"
#include "platform/platform.h"

namespace qor::test {

using plat::HGLOBAL;

// A decoded packed DIB copied out of its block: header fields, palette and top-down pixels
// (one value per pixel, whatever the bit depth).
struct Image {
    std::int32_t width = 0, height = 0;
    int bits = 0;
    std::uint32_t clrUsed = 0;
    std::vector<std::uint32_t> palette;  // 0x00RRGGBB
    std::vector<std::uint32_t> pixels;  // index for <= 8 bits, 0x00RRGGBB for 24, 0xAARRGGBB for 32
    std::uint32_t At(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    // The colour of every pixel, 0x00RRGGBB; an index beyond the table gives 0xBAD.
    std::vector<std::uint32_t> Colours() const {
        std::vector<std::uint32_t> out;
        out.reserve(pixels.size());
        for (std::uint32_t v : pixels) {
            out.push_back(bits <= 8 ? (v < palette.size() ? palette[v] : 0xBAD) : v);
        }
        return out;
    }
};

// Copies the packed DIB `dib` into *img. False, with the reason in *why, when the block is not a
// bottom-up DIB of 1, 4, 8, 24 or 32 bits that holds its table and rows.
inline bool DecodeDib(HGLOBAL dib, Image* img, std::string* why) {
    *img = Image{};
    const std::uint64_t size = plat::GlobalSize(dib);
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) {
        *why = "the block cannot be locked";
        return false;
    }
    DibView v;
    bool ok = ViewDib(p, size, &v);
    if (!ok) {
        *why = "malformed DIB header or a block too small for its rows";
    } else if (v.bits != 1 && v.bits != 4 && v.bits != 8 && v.bits != 24 && v.bits != 32) {
        *why = "unexpected bit depth " + std::to_string(v.bits);
        ok = false;
    }
    if (ok) {
        img->width = static_cast<std::int32_t>(v.width);
        img->height = static_cast<std::int32_t>(v.height);
        img->bits = static_cast<int>(v.bits);
        img->clrUsed = LoadLE32(p + 32);
        for (std::uint32_t i = 0; i < v.colours; ++i) {
            const std::uint8_t* q = v.palette + 4 * i;
            img->palette.push_back(std::uint32_t{q[2]} << 16 | std::uint32_t{q[1]} << 8 | q[0]);
        }
        img->pixels.resize(std::size_t{v.width} * v.height);
        for (std::uint32_t y = 0; y < v.height; ++y) {
            const std::uint8_t* row = v.Row(y);
            std::uint32_t* out = img->pixels.data() + std::size_t{y} * v.width;
            for (std::uint32_t x = 0; x < v.width; ++x) {
                switch (v.bits) {
                    case 1:
                        out[x] = (row[x / 8] >> (7 - x % 8)) & 1u;
                        break;
                    case 4:
                        out[x] = (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 15u;
                        break;
                    case 8:
                        out[x] = row[x];
                        break;
                    case 32:
                        out[x] = LoadLE32(row + 4 * std::size_t{x});
                        break;
                    default: {
                        const std::uint8_t* q = row + 3 * std::size_t{x};
                        out[x] = std::uint32_t{q[2]} << 16 | std::uint32_t{q[1]} << 8 | q[0];
                    }
                }
            }
        }
    }
    plat::GlobalUnlock(dib);
    return ok;
}

// Packs top-down indices of 1, 4 or 8 bits into cleared bottom-up rows of `stride` bytes, the
// bottom one at `bottomRow`.
inline void PackRows(std::uint8_t* bottomRow, std::uint64_t stride, std::uint32_t w,
                     std::uint32_t h, int bits, const std::vector<std::uint8_t>& pixels) {
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* row = bottomRow + stride * (h - 1 - y);
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t px = pixels[std::size_t{y} * w + x];
            switch (bits) {
                case 1:
                    row[x / 8] |= static_cast<std::uint8_t>((px & 1) << (7 - x % 8));
                    break;
                case 4:
                    row[x / 2] |= static_cast<std::uint8_t>((px & 15) << (x % 2 == 0 ? 4 : 0));
                    break;
                default:
                    row[x] = px;
                    break;
            }
        }
    }
}

// Builds a packed DIB block of 1, 4 or 8 bits from top-down indices and a palette.
inline HGLOBAL MakeDib(std::int32_t width, std::int32_t height, int bits,
                       const std::vector<std::uint32_t>& palette,
                       const std::vector<std::uint8_t>& pixels) {
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    const auto b = static_cast<std::uint32_t>(bits);
    HGLOBAL block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, DibSize(w, h, b));
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(block));
    DibView v = WriteDibHeader(p, w, h, b);
    for (std::size_t i = 0; i < palette.size() && i < v.colours; ++i) {
        std::uint8_t* q = v.palette + 4 * i;
        q[0] = static_cast<std::uint8_t>(palette[i]);
        q[1] = static_cast<std::uint8_t>(palette[i] >> 8);
        q[2] = static_cast<std::uint8_t>(palette[i] >> 16);
    }
    PackRows(v.pixels, v.stride, w, h, bits, pixels);
    plat::GlobalUnlock(block);
    return block;
}

}  // namespace qor::test
