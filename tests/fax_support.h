// Shared helpers of the fax test suites: bilevel pages read through the TIFF reader and through
// libtiff, page generators and a writer of fax TIFF files made by libtiff's encoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "tiff/reader.h"

#ifdef QORIMG_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace qor::test {

// A bilevel page, top row first, one byte per pixel: 1 where the page is white.
struct Bilevel {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> white;
    std::uint8_t At(std::uint32_t x, std::uint32_t y) const {
        return white[std::size_t{y} * width + x];
    }
};

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

// The first layer of a file read with ReadTiffWorker, white where its colour is white.
inline Bilevel ReadWithQorimg(const std::string& path, std::int16_t* status) {
    Request r(path);
    *status = ReadTiffWorker(r.get());
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

#ifdef QORIMG_HAVE_LIBTIFF

inline void QuietLibtiff(const char*, const char*, va_list) {}

// How libtiff's encoders write a test file.
struct FaxFile {
    std::uint16_t compression = COMPRESSION_CCITTFAX4;
    std::uint32_t t4Options = 0;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    std::uint32_t rowsPerStrip = 0;  // 0: one strip
};

// Writes `page` with libtiff (code white where the page is white). False when libtiff cannot.
inline bool WriteWithLibtiff(const std::string& path, const Bilevel& page, const FaxFile& how) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, how.photometric);
    TIFFSetField(t, TIFFTAG_FILLORDER, how.fillOrder);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    bool ok = TIFFSetField(t, TIFFTAG_COMPRESSION, how.compression) != 0;
    if (how.compression == COMPRESSION_CCITTFAX3) {
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, how.t4Options);
    }
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, how.rowsPerStrip ? how.rowsPerStrip : page.height);
    std::vector<std::uint8_t> line((page.width + 7) / 8);
    for (std::uint32_t y = 0; ok && y < page.height; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (std::uint32_t x = 0; x < page.width; ++x) {
            // libtiff's fax coders take a 0 bit as white, whatever the photometric.
            if (!page.At(x, y))
                line[x / 8] = static_cast<std::uint8_t>(line[x / 8] | 0x80 >> x % 8);
        }
        ok = TIFFWriteScanline(t, line.data(), y, 0) >= 0;
    }
    TIFFClose(t);
    return ok;
}

// The first page of a file as libtiff decodes it, white where the pixel is white: a 0 bit in a
// WhiteIsZero page, a 1 bit in a BlackIsZero one. False when libtiff reports an error.
inline bool ReadWithLibtiff(const std::string& path, Bilevel* page) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return false;
    std::uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    page->width = w;
    page->height = h;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    const unsigned whiteBit = photometric == PHOTOMETRIC_MINISBLACK ? 1 : 0;
    page->white.assign(std::size_t{w} * h, 1);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize(t)) + 8);
    bool ok = true;
    for (std::uint32_t y = 0; y < h && ok; ++y) {
        ok = TIFFReadScanline(t, line.data(), y, 0) >= 0;
        for (std::uint32_t x = 0; ok && x < w; ++x) {
            page->white[std::size_t{y} * w + x] = ((line[x / 8] >> (7 - x % 8)) & 1u) == whiteBit;
        }
    }
    TIFFClose(t);
    return ok;
}

#endif  // QORIMG_HAVE_LIBTIFF

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
