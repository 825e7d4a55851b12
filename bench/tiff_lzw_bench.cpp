// TIFF LZW decoding: qorimg's reader (QorReadTIF, the whole read into a delivered DIB) against
// libtiff (TIFFReadEncodedStrip of every strip into one buffer) on the same large photo-like
// pages: 24-bit RGB without and with horizontal differencing, and an 8-bit palette page. The
// "Strips" cases time the strip decoding alone: DecodeLzwStrips into a DIB set up once, against
// TIFFReadEncodedStrip into a buffer allocated once.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"
#include "tiff/reader.h"
#include "tiff/tiff.h"

namespace {

constexpr std::uint32_t kWidth = 4000;
constexpr std::uint32_t kHeight = 3000;
constexpr std::uint32_t kRowsPerStrip = 16;

void Quiet(const char*, const char*, va_list) {}

// Photo-like samples: soft gradients and shapes, hard edges between regions, and a little
// sensor noise that most samples do not get.
std::uint8_t Sample(std::uint32_t x, std::uint32_t y, int channel, std::mt19937& random) {
    double fx = x, fy = y;
    double v = 120 + 55 * std::sin(fx * 0.0021 + channel * 1.3) * std::cos(fy * 0.0017) +
               35 * std::cos(std::hypot(fx - 2600.0, fy - 1100.0) * 0.006 + channel);
    if (((x / 700) + (y / 500)) % 3 == 0) v = v * 0.6 + 60;  // regions of other light
    int noise = static_cast<int>(random() % 8);
    v += noise == 0 ? -1 : noise == 1 ? 1 : 0;
    return static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
}

// One LZW page written by libtiff into a temporary file that is removed at exit.
class LzwPage {
  public:
    LzwPage(int samples, int predictor) {
        char pattern[] = "/tmp/qorimg-bench-XXXXXX.tif";
        int fd = mkstemps(pattern, 4);
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path_ = pattern;
        TIFFSetWarningHandler(Quiet);
        TIFF* t = TIFFOpen(path_.c_str(), "w");
        if (t == nullptr) throw std::runtime_error("cannot create the benchmark TIFF");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip);
        std::vector<std::uint16_t> map(3 * 256);
        if (samples == 1) {
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
            for (int i = 0; i < 256; ++i) {
                map[std::size_t(i)] = static_cast<std::uint16_t>((i & 0xE0) << 8);
                map[std::size_t(256 + i)] = static_cast<std::uint16_t>((i & 0x1C) << 11);
                map[std::size_t(512 + i)] = static_cast<std::uint16_t>((i & 0x03) << 14);
            }
            TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
        } else {
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        }
        std::mt19937 random(2024);
        std::vector<std::uint8_t> row(std::size_t{kWidth} * std::size_t(samples));
        for (std::uint32_t y = 0; y < kHeight; ++y) {
            for (std::uint32_t x = 0; x < kWidth; ++x) {
                if (samples == 1) {
                    // Quantised colour: three bits of red, three of green, two of blue.
                    int r = Sample(x, y, 0, random) >> 5, g = Sample(x, y, 1, random) >> 5;
                    int b = Sample(x, y, 2, random) >> 6;
                    row[x] = static_cast<std::uint8_t>(r << 5 | g << 2 | b);
                } else {
                    for (int c = 0; c < samples; ++c) {
                        row[std::size_t{x} * std::size_t(samples) + std::size_t(c)] =
                            Sample(x, y, c, random);
                    }
                }
            }
            if (TIFFWriteScanline(t, row.data(), y, 0) != 1) {
                throw std::runtime_error("cannot write the benchmark TIFF");
            }
        }
        TIFFClose(t);
    }
    ~LzwPage() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const LzwPage& Rgb() {
    static LzwPage page(3, 1);
    return page;
}
const LzwPage& RgbDifferenced() {
    static LzwPage page(3, 2);
    return page;
}
const LzwPage& Palette() {
    static LzwPage page(1, 1);
    return page;
}

void ReadQorimg(benchmark::State& state, const LzwPage& page) {
    for (auto _ : state) {
        QorHandle dib = 0;
        if (QorReadTIF(nullptr, 0, page.path().c_str(), &dib) != 0) {
            state.SkipWithError("QorReadTIF failed");
            break;
        }
        benchmark::DoNotOptimize(dib);
        QorReleaseDocument(dib);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void ReadLibtiff(benchmark::State& state, const LzwPage& page) {
    TIFFSetWarningHandler(Quiet);
    for (auto _ : state) {
        TIFF* t = TIFFOpen(page.path().c_str(), "r");
        if (t == nullptr) {
            state.SkipWithError("TIFFOpen failed");
            break;
        }
        tmsize_t size = TIFFStripSize(t);
        tstrip_t strips = TIFFNumberOfStrips(t);
        std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[std::size_t(size) * strips]);
        for (tstrip_t s = 0; s < strips; ++s) {
            if (TIFFReadEncodedStrip(t, s, image.get() + std::size_t(size) * s, size) < 0) {
                state.SkipWithError("TIFFReadEncodedStrip failed");
                break;
            }
        }
        benchmark::DoNotOptimize(image.get());
        TIFFClose(t);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void DecodeQorimg(benchmark::State& state, const LzwPage& source) {
    namespace plat = qor::plat;
    namespace tiff = qor::tiff;
    plat::HFILE file = plat::_lopen(source.path().c_str(), 0);
    std::uint16_t order = 0;
    std::uint32_t offset = 0;
    tiff::TiffPage page{};
    plat::HGLOBAL dib = 0;
    std::uint8_t* bits = nullptr;
    if (file == plat::HFILE_ERROR || tiff::ReadTiffHeader(file, &order, &offset) != 0) {
        state.SkipWithError("cannot open the page");
    } else {
        page.byteOrder = order;
        tiff::ParseTiffDirectory(file, &page, &offset);
        if (tiff::SetUpPageDib(file, &page, &dib, &bits) != 0) state.SkipWithError("no DIB");
    }
    for (auto _ : state) {
        if (bits == nullptr) break;
        tiff::TiffPage copy = page;
        if (tiff::DecodeLzwStrips(nullptr, bits, file, &copy) != 0) {
            state.SkipWithError("DecodeLzwStrips failed");
            break;
        }
        benchmark::DoNotOptimize(bits);
    }
    if (dib != 0) {
        plat::GlobalUnlock(dib);
        plat::GlobalFree(dib);
    }
    if (file != plat::HFILE_ERROR) plat::_lclose(file);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void DecodeLibtiff(benchmark::State& state, const LzwPage& source) {
    TIFFSetWarningHandler(Quiet);
    TIFF* t = TIFFOpen(source.path().c_str(), "r");
    if (t == nullptr) {
        state.SkipWithError("TIFFOpen failed");
        return;
    }
    tmsize_t size = TIFFStripSize(t);
    tstrip_t strips = TIFFNumberOfStrips(t);
    std::vector<std::uint8_t> image(std::size_t(size) * strips);
    for (auto _ : state) {
        for (tstrip_t s = 0; s < strips; ++s) {
            if (TIFFReadEncodedStrip(t, s, image.data() + std::size_t(size) * s, size) < 0) {
                state.SkipWithError("TIFFReadEncodedStrip failed");
                break;
            }
        }
        benchmark::DoNotOptimize(image.data());
    }
    TIFFClose(t);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void LzwQorimg(benchmark::State& state) {
    ReadQorimg(state, Rgb());
}
void LzwLibtiff(benchmark::State& state) {
    ReadLibtiff(state, Rgb());
}
void LzwPredQorimg(benchmark::State& state) {
    ReadQorimg(state, RgbDifferenced());
}
void LzwPredLibtiff(benchmark::State& state) {
    ReadLibtiff(state, RgbDifferenced());
}
void LzwPaletteQorimg(benchmark::State& state) {
    ReadQorimg(state, Palette());
}
void LzwPaletteLibtiff(benchmark::State& state) {
    ReadLibtiff(state, Palette());
}
void StripsQorimg(benchmark::State& state) {
    DecodeQorimg(state, Rgb());
}
void StripsLibtiff(benchmark::State& state) {
    DecodeLibtiff(state, Rgb());
}
void StripsPredQorimg(benchmark::State& state) {
    DecodeQorimg(state, RgbDifferenced());
}
void StripsPredLibtiff(benchmark::State& state) {
    DecodeLibtiff(state, RgbDifferenced());
}
void StripsPaletteQorimg(benchmark::State& state) {
    DecodeQorimg(state, Palette());
}
void StripsPaletteLibtiff(benchmark::State& state) {
    DecodeLibtiff(state, Palette());
}

}  // namespace

BENCHMARK(LzwQorimg)->Name("TiffLzw/qorimg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LzwLibtiff)->Name("TiffLzw/libtiff")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LzwPredQorimg)->Name("TiffLzwPred/qorimg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LzwPredLibtiff)
    ->Name("TiffLzwPred/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(LzwPaletteQorimg)
    ->Name("TiffLzwPalette/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(LzwPaletteLibtiff)
    ->Name("TiffLzwPalette/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(StripsQorimg)->Name("TiffLzwStrips/qorimg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(StripsLibtiff)
    ->Name("TiffLzwStrips/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(StripsPredQorimg)
    ->Name("TiffLzwPredStrips/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(StripsPredLibtiff)
    ->Name("TiffLzwPredStrips/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(StripsPaletteQorimg)
    ->Name("TiffLzwPaletteStrips/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(StripsPaletteLibtiff)
    ->Name("TiffLzwPaletteStrips/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
