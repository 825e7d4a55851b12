// GIF encoding: QorWriteGIF against giflib's EGifPutLine writer on the same 8-bit photo-like
// image, written to a file in the temporary directory. Besides the time, each case reports the
// size of the file it wrote; the qorimg case also reports size_ratio (qorimg bytes / giflib
// bytes).
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qorimg/qorimg.h"

namespace {

constexpr int kWidth = 2400;
constexpr int kHeight = 1800;

// Smooth colour fields with texture and noise, quantised to 256 levels: what a scanned
// photograph looks like after reduction to a palette.
struct PhotoImage {
    std::vector<std::uint8_t> pixels;  // top-down indices
    std::vector<std::uint8_t> rgb;     // 256 triplets
    PhotoImage() : pixels(std::size_t(kWidth) * kHeight), rgb(768) {
        std::mt19937 rng(2024);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                double v = 0.5 + 0.22 * std::sin(x * 0.0071 + y * 0.0043) +
                           0.18 * std::cos(std::hypot(x - 900.0, y - 1100.0) * 0.011) +
                           0.06 * std::sin(x * 0.09) * std::cos(y * 0.07);
                int q = int(v * 255.0) + int(rng() % 5) - 2;
                q = q < 0 ? 0 : q > 255 ? 255 : q;
                pixels[std::size_t(y) * kWidth + std::size_t(x)] = std::uint8_t(q);
            }
        }
        for (int i = 0; i < 256; ++i) {
            rgb[std::size_t(3 * i)] = std::uint8_t(i);
            rgb[std::size_t(3 * i + 1)] = std::uint8_t((i * 7) & 255);
            rgb[std::size_t(3 * i + 2)] = std::uint8_t(255 - i);
        }
    }
};

const PhotoImage& Photo() {
    static const PhotoImage image;
    return image;
}

std::string OutputPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("qorimg-bench-") + std::to_string(::getpid()) + "-" + name))
        .string();
}

// The image as a packed 8-bit DIB (bottom-up rows).
qor::plat::HGLOBAL MakePhotoDib() {
    const PhotoImage& img = Photo();
    const std::uint64_t stride = (kWidth + 3u) & ~3u;
    const std::uint64_t size = 40 + 1024 + stride * kHeight;
    qor::plat::HGLOBAL dib =
        qor::plat::GlobalAlloc(qor::plat::GMEM_MOVEABLE | qor::plat::GMEM_ZEROINIT, size);
    auto* p = static_cast<std::uint8_t*>(qor::plat::GlobalLock(dib));
    const std::uint32_t header[10] = {40, kWidth, kHeight, 1u | (8u << 16), 0, 0, 0, 0, 256, 256};
    std::memcpy(p, header, sizeof header);
    for (int i = 0; i < 256; ++i) {
        p[40 + 4 * i] = img.rgb[std::size_t(3 * i + 2)];
        p[40 + 4 * i + 1] = img.rgb[std::size_t(3 * i + 1)];
        p[40 + 4 * i + 2] = img.rgb[std::size_t(3 * i)];
    }
    for (int y = 0; y < kHeight; ++y) {
        std::memcpy(p + 1064 + stride * std::uint64_t(kHeight - 1 - y),
                    img.pixels.data() + std::size_t(y) * kWidth, kWidth);
    }
    qor::plat::GlobalUnlock(dib);
    return dib;
}

std::uintmax_t FileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

bool WriteWithQorimg(qor::plat::HGLOBAL dib, const std::string& path) {
    return QorWriteGIF(nullptr, 0, path.c_str(), dib, 0, 0, 0) == 0;
}

bool WriteWithGiflib(const std::string& path) {
    const PhotoImage& img = Photo();
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (gif == nullptr) return false;
    ColorMapObject* map = GifMakeMapObject(256, nullptr);
    for (int i = 0; i < 256; ++i) {
        map->Colors[i].Red = img.rgb[std::size_t(3 * i)];
        map->Colors[i].Green = img.rgb[std::size_t(3 * i + 1)];
        map->Colors[i].Blue = img.rgb[std::size_t(3 * i + 2)];
    }
    bool ok = EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, nullptr) == GIF_OK;
    // EGifPutLine takes a non-const line; it does not change it.
    auto* rows = const_cast<GifPixelType*>(img.pixels.data());
    for (int y = 0; ok && y < kHeight; ++y) {
        ok = EGifPutLine(gif, rows + std::size_t(y) * kWidth, kWidth) == GIF_OK;
    }
    GifFreeMapObject(map);
    return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

void SetCounters(benchmark::State& state, std::uintmax_t bytes) {
    state.SetItemsProcessed(state.iterations() * std::int64_t(kWidth) * kHeight);
    state.counters["file_bytes"] = double(bytes);
}

void BM_GifEncodeQorimg(benchmark::State& state) {
    qor::plat::HGLOBAL dib = MakePhotoDib();
    const std::string path = OutputPath("qorimg.gif");
    for (auto _ : state) {
        if (!WriteWithQorimg(dib, path)) state.SkipWithError("QorWriteGIF failed");
    }
    std::uintmax_t ours = FileSize(path);
    SetCounters(state, ours);
    // The peer's size for the same image, written once outside the timed loop.
    const std::string peer = OutputPath("giflib-size.gif");
    if (WriteWithGiflib(peer) && FileSize(peer) > 0) {
        state.counters["size_ratio"] = double(ours) / double(FileSize(peer));
    }
    std::remove(peer.c_str());
    std::remove(path.c_str());
    qor::plat::GlobalFree(dib);
}
BENCHMARK(BM_GifEncodeQorimg)->Name("GifEncode/qorimg")->Unit(benchmark::kMillisecond);

void BM_GifEncodeGiflib(benchmark::State& state) {
    Photo();
    const std::string path = OutputPath("giflib.gif");
    for (auto _ : state) {
        if (!WriteWithGiflib(path)) state.SkipWithError("giflib failed");
    }
    SetCounters(state, FileSize(path));
    std::remove(path.c_str());
}
BENCHMARK(BM_GifEncodeGiflib)->Name("GifEncode/giflib")->Unit(benchmark::kMillisecond);

}  // namespace
