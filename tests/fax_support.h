// Shared helpers of the fax test suites: bilevel pages read through the TIFF reader and through
// libtiff, page generators and a writer of fax TIFF files made by libtiff's encoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/peer_readers.h"
#include "support/test_util.h"
#include "tiff/reader.h"

namespace qor::test {

// Takes the document out of a finished read: the first layer as a page (when `pixels`), every
// DIB and the layer block freed. A lock that an injected fault refuses is tried once more.
inline Bilevel TakeDocument(ImageIoRequest* r, bool pixels = true) {
    Bilevel page;
    if (r->layerBlock == 0) return page;
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(r->layerBlock));
    if (p == nullptr) p = static_cast<const std::uint8_t*>(plat::GlobalLock(r->layerBlock));
    EXPECT_NE(p, nullptr);
    for (std::uint32_t i = 0; p != nullptr && i < r->layerCount; ++i) {
        HGLOBAL h;
        std::memcpy(&h, p + 260 + 4 * i, 4);
        if (i == 0 && pixels) {
            Image img = ReadDib(h);
            page.width = static_cast<std::uint32_t>(img.width);
            page.height = static_cast<std::uint32_t>(img.height);
            for (std::uint32_t v : img.pixels) {
                page.white.push_back(v < img.palette.size() && img.palette[v] == 0xFFFFFF);
            }
        }
        plat::GlobalFree(h);
    }
    if (p != nullptr) plat::GlobalUnlock(r->layerBlock);
    plat::GlobalFree(r->layerBlock);
    r->layerBlock = 0;
    return page;
}

// The first layer of a file read with ReadTiffWorker (an extended read when asked), white where
// its colour is white.
inline Bilevel ReadWithQorimg(const std::string& path, std::int16_t* status,
                              bool extended = false) {
    Request r(path);
    ReadScope scope;
    scope.extended = extended;
    *status = ReadTiffWorker(r.get(), nullptr, nullptr, &scope);
    return TakeDocument(r.get());
}

// Text-like pages: margins, lines of glyph-like blobs, rules, some noise, and rows with white
// and black runs long enough for every make-up code when the page is wide.
inline Bilevel TextPage(std::uint32_t width, std::uint32_t height, unsigned seed) {
    std::mt19937 rng(seed);
    Bilevel page{width, height, std::vector<std::uint8_t>(std::size_t{width} * height, 1)};
    auto set = [&](std::uint32_t x, std::uint32_t y, std::uint8_t v) {
        if (x < width && y < height) page.white[std::size_t{y} * width + x] = v;
    };
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t kind = rng() % 10;
        if (kind == 0) {
            // A rule or a long black run at a random place.
            std::uint32_t a = rng() % width, b = a + rng() % (width + 1);
            for (std::uint32_t x = a; x < b && x < width; ++x) set(x, y, 0);
        } else if (kind == 1) {
            // Noise: runs of one to three pixels.
            for (std::uint32_t x = 0; x < width; ++x) set(x, y, rng() % 3 == 0 ? 0 : 1);
        } else if (kind < 7) {
            // Glyph-like blobs of 1 to 12 pixels with gaps of 1 to 40.
            std::uint32_t x = rng() % 64;
            while (x < width) {
                std::uint32_t len = 1 + rng() % 12;
                for (std::uint32_t k = 0; k < len; ++k) set(x + k, y, 0);
                x += len + 1 + rng() % 40;
                if (rng() % 50 == 0) x += rng() % 3000;
            }
        }
        // Otherwise a white row; every fifth row a black edge at either end.
        if (y % 5 == 0) set(0, y, 0);
        if (y % 7 == 0) set(width - 1, y, 0);
    }
    return page;
}

// Compares two pages; reports the first differences.
inline void ExpectSamePage(const Bilevel& ours, const Bilevel& want, const std::string& what) {
    ASSERT_EQ(ours.width, want.width) << what;
    ASSERT_EQ(ours.height, want.height) << what;
    ASSERT_EQ(ours.white.size(), want.white.size()) << what;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.white.size(); ++i) {
        if (ours.white[i] == want.white[i]) continue;
        if (bad++ < 3) {
            ADD_FAILURE() << what << ": pixel (" << i % want.width << "," << i / want.width
                          << ") is " << (ours.white[i] ? "white" : "black");
        }
    }
    EXPECT_EQ(bad, 0u) << what;
}

}  // namespace qor::test
