// TIFF reading: qorimg's reader against libtiff's strip reads (TIFFReadEncodedStrip into one
// buffer) on the same large photo-like RGB page, uncompressed and PackBits, with a plain copy of
// the pixel bytes as the floor.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"

namespace {

constexpr std::uint32_t kWidth = 4000;
constexpr std::uint32_t kHeight = 3000;
constexpr std::uint32_t kRowsPerStrip = 16;

// A photo-like RGB page (smooth gradients, flat areas, noise) written once by libtiff's encoder
// into a temporary file that is removed at exit.
class PhotoTiff {
  public:
    explicit PhotoTiff(std::uint16_t compression) {
        char pattern[] = "/tmp/qorimg-bench-XXXXXX.tif";
        int fd = mkstemps(pattern, 4);
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path_ = pattern;
        Write(compression);
    }
    ~PhotoTiff() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    void Write(std::uint16_t compression) {
        TIFF* t = TIFFOpen(path_.c_str(), "w");
        if (t == nullptr) throw std::runtime_error("cannot create the benchmark TIFF");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip);
        std::mt19937 random(2024);
        std::vector<std::uint8_t> line(3 * kWidth);
        for (std::uint32_t y = 0; y < kHeight; ++y) {
            for (std::uint32_t x = 0; x < kWidth; ++x) {
                std::uint8_t* p = &line[3 * x];
                bool flat = (x / 500 + y / 400) % 3 == 0;  // areas of one colour
                double v = 0.5 + 0.25 * std::sin(x * 0.003 + y * 0.002) +
                           0.2 * std::cos(std::hypot(x - 1500.0, y - 1100.0) * 0.008);
                int noise = flat ? 0 : static_cast<int>(random() % 5);
                p[0] = static_cast<std::uint8_t>(flat ? 200 : v * 200 + noise);
                p[1] = static_cast<std::uint8_t>(flat ? 120 : (x + y) * 255 / (kWidth + kHeight));
                p[2] = static_cast<std::uint8_t>(flat ? 40 : (x / 40) * 2 + noise);
            }
            TIFFWriteScanline(t, line.data(), y, 0);
        }
        TIFFClose(t);
    }
    std::string path_;
};

const PhotoTiff& Sample(std::uint16_t compression) {
    static PhotoTiff none(COMPRESSION_NONE);
    static PhotoTiff packbits(COMPRESSION_PACKBITS);
    return compression == COMPRESSION_NONE ? none : packbits;
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
    state.SetBytesProcessed(state.iterations() * 3ll * kWidth * kHeight);
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
        std::vector<std::uint8_t> pixels(3ull * kWidth * kHeight);
        tsize_t stripSize = TIFFStripSize(t);
        std::size_t at = 0;
        for (tstrip_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
            tsize_t n = TIFFReadEncodedStrip(t, s, pixels.data() + at, stripSize);
            if (n < 0) {
                state.SkipWithError("TIFFReadEncodedStrip failed");
                break;
            }
            at += static_cast<std::size_t>(n);
        }
        benchmark::DoNotOptimize(pixels.data());
        TIFFClose(t);
    }
    state.SetBytesProcessed(state.iterations() * 3ll * kWidth * kHeight);
}

void CopyPixels(benchmark::State& state) {
    std::vector<std::uint8_t> source(3ull * kWidth * kHeight, 7);
    for (auto _ : state) {
        std::vector<std::uint8_t> pixels(source.size());
        std::memcpy(pixels.data(), source.data(), source.size());
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetBytesProcessed(state.iterations() * 3ll * kWidth * kHeight);
}

}  // namespace

BENCHMARK_CAPTURE(ReadQorimg, none, COMPRESSION_NONE)
    ->Name("TiffNone/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadLibtiff, none, COMPRESSION_NONE)
    ->Name("TiffNone/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(CopyPixels)->Name("TiffNone/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadQorimg, packbits, COMPRESSION_PACKBITS)
    ->Name("TiffPackBits/qorimg")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadLibtiff, packbits, COMPRESSION_PACKBITS)
    ->Name("TiffPackBits/libtiff")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(CopyPixels)->Name("TiffPackBits/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();
