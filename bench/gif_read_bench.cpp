// GIF decoding: qorimg's reader against giflib's DGifSlurp on the same large photo-like image.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"

namespace {

constexpr int kWidth = 2400;
constexpr int kHeight = 1600;

// A 256-colour image with smooth gradients, edges and dither noise, written once by giflib's
// encoder into a temporary file that is removed at exit.
class PhotoGif {
  public:
    PhotoGif() {
        char pattern[] = "/tmp/qorimg-bench-XXXXXX.gif";
        int fd = mkstemps(pattern, 4);
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path_ = pattern;
        Write();
    }
    ~PhotoGif() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    void Write() {
        std::vector<GifColorType> colors(256);
        for (int i = 0; i < 256; ++i) {
            colors[std::size_t(i)] = {static_cast<GifByteType>((i & 0xE0) | 0x10),
                                      static_cast<GifByteType>(((i << 3) & 0xE0) | 0x10),
                                      static_cast<GifByteType>((i << 6) & 0xC0)};
        }
        int error = 0;
        GifFileType* gif = EGifOpenFileName(path_.c_str(), false, &error);
        if (gif == nullptr) throw std::runtime_error("cannot create the benchmark GIF");
        ColorMapObject* map = GifMakeMapObject(256, colors.data());
        EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, map);
        EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, nullptr);
        std::mt19937 random(2024);
        std::vector<GifPixelType> line(kWidth);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                double v = 0.5 + 0.25 * std::sin(x * 0.004 + y * 0.002) +
                           0.2 * std::cos(std::hypot(x - 900.0, y - 700.0) * 0.01);
                int r = static_cast<int>(v * 7.0 + (random() % 100) / 180.0) & 7;
                int g = static_cast<int>((x + y) * 7 / (kWidth + kHeight) + (random() % 3) / 2) & 7;
                int b = (x / 300 + y / 400) & 3;
                line[std::size_t(x)] = static_cast<GifPixelType>(r << 5 | g << 2 | b);
            }
            EGifPutLine(gif, line.data(), kWidth);
        }
        EGifCloseFile(gif, &error);
        GifFreeMapObject(map);
    }
    std::string path_;
};

const PhotoGif& Sample() {
    static PhotoGif sample;
    return sample;
}

void GifDecodeQorimg(benchmark::State& state) {
    const std::string& path = Sample().path();
    for (auto _ : state) {
        QorHandle dib = 0;
        std::int16_t transparent = 0;
        if (QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent) != 0) {
            state.SkipWithError("QorReadGIF failed");
            break;
        }
        benchmark::DoNotOptimize(dib);
        QorReleaseDocument(dib);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void GifDecodeGiflib(benchmark::State& state) {
    const std::string& path = Sample().path();
    for (auto _ : state) {
        int error = 0;
        GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
        if (gif == nullptr || DGifSlurp(gif) != GIF_OK) {
            if (gif != nullptr) DGifCloseFile(gif, &error);
            state.SkipWithError("DGifSlurp failed");
            break;
        }
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
        DGifCloseFile(gif, &error);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

}  // namespace

BENCHMARK(GifDecodeQorimg)->Name("GifDecode/qorimg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(GifDecodeGiflib)->Name("GifDecode/giflib")->Unit(benchmark::kMillisecond)->UseRealTime();
