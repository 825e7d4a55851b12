// Fax-coded TIFF reading: qorimg's reader against libtiff's strip reads on the same A4 page at
// 300 dpi (2480 x 3508), text-like, coded by libtiff's own encoders as Group 4 and as Group 3
// one-dimensional data with fill bits.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"

namespace {

constexpr std::uint32_t kWidth = 2480;
constexpr std::uint32_t kHeight = 3508;

// A page of text: margins, lines of words made of glyph-like strokes, a few rules and a
// picture-like block of halftone dots. Rows are 1 bit per pixel, 1 = black (libtiff's fax
// coders take 0 as white).
std::vector<std::uint8_t> TextPage() {
    const std::uint32_t rowBytes = (kWidth + 7) / 8;
    std::vector<std::uint8_t> bits(std::size_t{rowBytes} * kHeight, 0);
    auto black = [&](std::uint32_t x, std::uint32_t y) {
        if (x < kWidth && y < kHeight) bits[std::size_t{y} * rowBytes + x / 8] |= 0x80 >> x % 8;
    };
    std::mt19937 rng(300);
    for (std::uint32_t line = 0; line < 60; ++line) {
        const std::uint32_t top = 200 + line * 52;
        std::uint32_t x = 236;
        while (x < kWidth - 236) {
            const std::uint32_t letters = 2 + rng() % 9;
            for (std::uint32_t c = 0; c < letters && x < kWidth - 236; ++c) {
                // A glyph: two or three strokes in a 20 x 30 box.
                const std::uint32_t strokes = 2 + rng() % 2;
                for (std::uint32_t s = 0; s < strokes; ++s) {
                    const bool vertical = rng() % 2 == 0;
                    const std::uint32_t ox = rng() % 16, oy = rng() % 26;
                    const std::uint32_t len = 6 + rng() % 24;
                    for (std::uint32_t k = 0; k < len; ++k) {
                        for (std::uint32_t t = 0; t < 3; ++t) {
                            if (vertical) {
                                black(x + ox + t, top + (oy + k) % 30);
                            } else {
                                black(x + (ox + k) % 20, top + oy + t);
                            }
                        }
                    }
                }
                x += 22;
            }
            x += 18;
        }
        if (line % 17 == 16) {
            for (std::uint32_t k = 236; k < kWidth - 236; ++k) black(k, top + 40);
        }
    }
    for (std::uint32_t y = 3300; y < 3450; ++y) {
        for (std::uint32_t x = 400; x < 1400; ++x) {
            if ((x / 3 + y / 3) % 4 == 0 && (x + y) % 7 < 4) black(x, y);
        }
    }
    return bits;
}

class FaxTiff {
  public:
    FaxTiff(std::uint16_t compression, std::uint32_t t4Options) {
        char pattern[] = "/tmp/qorimg-bench-fax-XXXXXX.tif";
        int fd = mkstemps(pattern, 4);
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path_ = pattern;
        TIFF* t = TIFFOpen(path_.c_str(), "w");
        if (t == nullptr) throw std::runtime_error("cannot create the benchmark TIFF");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
        if (compression == COMPRESSION_CCITTFAX3) {
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, t4Options);
        }
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kHeight);
        const std::vector<std::uint8_t> page = TextPage();
        const std::uint32_t rowBytes = (kWidth + 7) / 8;
        std::vector<std::uint8_t> line(rowBytes);
        for (std::uint32_t y = 0; y < kHeight; ++y) {
            std::copy(page.begin() + std::ptrdiff_t{y} * rowBytes,
                      page.begin() + std::ptrdiff_t{y + 1} * rowBytes, line.begin());
            TIFFWriteScanline(t, line.data(), y, 0);
        }
        TIFFClose(t);
    }
    ~FaxTiff() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const FaxTiff& Sample(std::uint16_t compression) {
    static FaxTiff g4(COMPRESSION_CCITTFAX4, 0);
    static FaxTiff g3(COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS);
    return compression == COMPRESSION_CCITTFAX4 ? g4 : g3;
}

void ReadQorimg(benchmark::State& state, std::uint16_t compression) {
    const std::string& path = Sample(compression).path();
    for (auto _ : state) {
        QorHandle dib = 0;
        if (QorReadTIF(nullptr, 0, path.c_str(), &dib) != 0) {
            state.SkipWithError("QorReadTIF failed");
            break;
        }
        benchmark::DoNotOptimize(dib);
        QorReleaseDocument(dib);
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{kHeight});
}

void ReadLibtiff(benchmark::State& state, std::uint16_t compression) {
    const std::string& path = Sample(compression).path();
    TIFFSetWarningHandler(nullptr);
    for (auto _ : state) {
        TIFF* t = TIFFOpen(path.c_str(), "r");
        if (t == nullptr) {
            state.SkipWithError("TIFFOpen failed");
            break;
        }
        std::vector<std::uint8_t> pixels(std::size_t{(kWidth + 7) / 8} * kHeight);
        if (TIFFReadEncodedStrip(t, 0, pixels.data(), static_cast<tmsize_t>(pixels.size())) < 0) {
            state.SkipWithError("TIFFReadEncodedStrip failed");
            TIFFClose(t);
            break;
        }
        benchmark::DoNotOptimize(pixels.data());
        TIFFClose(t);
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{kHeight});
}

}  // namespace

BENCHMARK_CAPTURE(ReadQorimg, g4, COMPRESSION_CCITTFAX4)
    ->Name("TiffG4/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadLibtiff, g4, COMPRESSION_CCITTFAX4)
    ->Name("TiffG4/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadQorimg, g3, COMPRESSION_CCITTFAX3)
    ->Name("TiffG3/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadLibtiff, g3, COMPRESSION_CCITTFAX3)
    ->Name("TiffG3/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
