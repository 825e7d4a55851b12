// Helpers for the GIF writer suites: an independent parser for the files the writer produces,
// an independent LZW code reader, pixel generators and the giflib oracle.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/gif_lzw_model.h"
#include "support/peer_readers.h"
#include "support/test_util.h"

namespace qor::test::gifw {

// ---- File structure ----

struct GifFile {
    bool ok = false;
    std::string error;
    std::string version;  // "87a" or "89a"
    int screenWidth = 0, screenHeight = 0, screenFlags = 0;
    std::vector<std::uint8_t> globalTable;  // raw triplets
    bool hasControl = false;
    std::vector<std::uint8_t> control;  // the 8 bytes from 0x21 to the block terminator
    std::size_t controlOffset = 0;      // file offset of the 0x21
    int left = -1, top = -1, width = 0, height = 0, imageFlags = 0;
    int minCodeSize = 0;
    std::vector<int> blockCounts;    // the count byte of every data sub-block
    std::vector<std::uint8_t> data;  // the sub-blocks' data bytes, joined
    bool trailer = false;            // 0x00 0x3B end the file exactly
};

inline int U16(const Bytes& f, std::size_t at) {
    return f[at] | f[at + 1] << 8;
}

// Parses a single-image GIF as this writer lays it out; stops at the first surprise.
inline GifFile ParseGif(const Bytes& f) {
    GifFile g;
    auto fail = [&](const std::string& why) {
        g.error = why;
        return g;
    };
    if (f.size() < 13) return fail("short header");
    if (f[0] != 'G' || f[1] != 'I' || f[2] != 'F') return fail("no signature");
    g.version.assign(f.begin() + 3, f.begin() + 6);
    g.screenWidth = U16(f, 6);
    g.screenHeight = U16(f, 8);
    g.screenFlags = f[10];
    std::size_t at = 13;
    if (g.screenFlags & 0x80) {
        std::size_t n = 3u << ((g.screenFlags & 7) + 1);
        if (f.size() < at + n) return fail("short colour table");
        g.globalTable.assign(f.begin() + long(at), f.begin() + long(at + n));
        at += n;
    }
    while (at < f.size() && f[at] == 0x21) {
        if (f.size() < at + 8) return fail("short extension");
        if (f[at + 1] != 0xF9) return fail("unexpected extension");
        g.hasControl = true;
        g.controlOffset = at;
        g.control.assign(f.begin() + long(at), f.begin() + long(at + 8));
        at += 8;
    }
    if (f.size() < at + 11 || f[at] != 0x2C) return fail("no image descriptor");
    g.left = U16(f, at + 1);
    g.top = U16(f, at + 3);
    g.width = U16(f, at + 5);
    g.height = U16(f, at + 7);
    g.imageFlags = f[at + 9];
    g.minCodeSize = f[at + 10];
    at += 11;
    for (;;) {
        if (at >= f.size()) return fail("data runs past the end");
        int n = f[at++];
        if (n == 0) break;
        if (f.size() < at + std::size_t(n)) return fail("short sub-block");
        g.blockCounts.push_back(n);
        g.data.insert(g.data.end(), f.begin() + long(at), f.begin() + long(at) + n);
        at += std::size_t(n);
    }
    g.trailer = at + 1 == f.size() && f[at] == 0x3B;
    g.ok = true;
    return g;
}

// ---- Code stream ----

using test::CodeStream;
using test::ReadCodes;

// ---- Pixels ----

// Top-down indices below 2^bits.
inline std::vector<std::uint8_t> FlatPixels(int w, int h, int bits) {
    return std::vector<std::uint8_t>(std::size_t(w) * std::size_t(h),
                                     std::uint8_t((1 << bits) - 1));
}

inline std::vector<std::uint8_t> RandomPixels(int w, int h, int bits, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> p(std::size_t(w) * std::size_t(h));
    for (auto& v : p) v = std::uint8_t(rng() & ((1u << bits) - 1));
    return p;
}

// Smooth gradients with a little noise, like a scanned photograph reduced to a palette.
inline std::vector<std::uint8_t> PhotoPixels(int w, int h, int bits, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> p(std::size_t(w) * std::size_t(h));
    const int levels = 1 << bits;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double v = 0.5 + 0.25 * std::sin(x * 0.013 + y * 0.007) +
                       0.2 * std::cos(std::hypot(x - w * 0.3, y - h * 0.6) * 0.02);
            int q = int(v * levels) + int(rng() % 3) - 1;
            q = q < 0 ? 0 : q >= levels ? levels - 1 : q;
            p[std::size_t(y) * std::size_t(w) + std::size_t(x)] = std::uint8_t(q);
        }
    }
    return p;
}

inline std::vector<std::uint32_t> RampPalette(int bits) {
    std::vector<std::uint32_t> pal;
    int n = 1 << bits;
    for (int i = 0; i < n; ++i) {
        auto c = std::uint32_t(i * 255 / (n > 1 ? n - 1 : 1));
        pal.push_back(c << 16 | (255 - c) << 8 | std::uint32_t((i * 37) & 255));
    }
    return pal;
}

// Image rows in the order an interlaced file stores them.
inline std::vector<int> InterlacedOrder(int h) {
    std::vector<int> rows;
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        for (int y = start[p]; y < h; y += step[p]) rows.push_back(y);
    }
    return rows;
}

// ---- giflib ----

#ifdef QORIMG_HAVE_GIFLIB
using test::GiflibDecode;
using test::GiflibImage;
#endif

// Exit status of a shell command.
inline int RunCommand(const std::string& command) {
    return std::system(command.c_str());
}

}  // namespace qor::test::gifw
