// GIF cases: decoding against giflib's DGifSlurp and encoding against giflib's EGifPutLine on
// one photo-like 256-colour image; an animation's frames composed by an extended read, against
// DGifSlurp's decoding of them (which composes nothing); and, timed alone, a code stream that
// fills 1 GB of pixels with no end code, a megabyte of extension blocks before a small image,
// and 65535 one-pixel frames.
#include <gif_lib.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>

#include "bench.h"
#include "gif_builder.h"
#include "qorimg/qorimg.h"

namespace qor::bench {
namespace {

constexpr int kWidth = 2400;
constexpr int kHeight = 1600;

// An image of colour indices and its table.
struct PhotoImage {
    int width = kWidth, height = kHeight;
    std::vector<std::uint8_t> pixels;  // top-down colour indices
    std::vector<GifColorType> colors;

    // A blank image of this size and a table of 256 black entries.
    PhotoImage(int w, int h)
        : width(w), height(h), pixels(std::size_t(w) * std::size_t(h)), colors(256) {}
    // Smooth gradients, edges and dither noise in 256 colours: 3 bits of red, 3 of green, 2 of
    // blue.
    PhotoImage() : pixels(std::size_t{kWidth} * kHeight), colors(256) {
        for (int i = 0; i < 256; ++i) {
            colors[std::size_t(i)] = {static_cast<GifByteType>((i & 0xE0) | 0x10),
                                      static_cast<GifByteType>(((i << 3) & 0xE0) | 0x10),
                                      static_cast<GifByteType>((i << 6) & 0xC0)};
        }
        std::mt19937 random(2024);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                double v = 0.5 + 0.25 * std::sin(x * 0.004 + y * 0.002) +
                           0.2 * std::cos(std::hypot(x - 900.0, y - 700.0) * 0.01);
                int r = static_cast<int>(v * 7.0 + (random() % 100) / 180.0) & 7;
                int g = static_cast<int>((x + y) * 7 / (kWidth + kHeight) + (random() % 3) / 2) & 7;
                int b = (x / 300 + y / 400) & 3;
                pixels[std::size_t(y) * kWidth + std::size_t(x)] =
                    static_cast<std::uint8_t>(r << 5 | g << 2 | b);
            }
        }
    }
};

// The first image of a GIF as giflib decodes it, its table padded to 256 entries.
PhotoImage ReadImageWithGiflib(const std::string& path) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (gif == nullptr || DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) {
        if (gif != nullptr) DGifCloseFile(gif, &error);
        throw std::runtime_error("giflib cannot read " + path);
    }
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map =
        image.ImageDesc.ColorMap != nullptr ? image.ImageDesc.ColorMap : gif->SColorMap;
    PhotoImage out(image.ImageDesc.Width, image.ImageDesc.Height);
    out.pixels.assign(image.RasterBits,
                      image.RasterBits + std::size_t(out.width) * std::size_t(out.height));
    for (int i = 0; map != nullptr && i < map->ColorCount && i < 256; ++i) {
        out.colors[std::size_t(i)] = map->Colors[i];
    }
    DGifCloseFile(gif, &error);
    return out;
}

// The image through giflib's encoder, one EGifPutLine per row.
bool WriteWithGiflib(const PhotoImage& image, const std::string& path) {
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (gif == nullptr) return false;
    ColorMapObject* map = GifMakeMapObject(256, image.colors.data());
    const int width = image.width, height = image.height;
    bool ok = map != nullptr && EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
    // EGifPutLine takes a non-const line; it does not change it.
    auto* rows = const_cast<GifPixelType*>(image.pixels.data());
    for (int y = 0; ok && y < height; ++y) {
        ok = EGifPutLine(gif, rows + std::size_t(y) * std::size_t(width), width) == GIF_OK;
    }
    if (map != nullptr) GifFreeMapObject(map);
    return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

// 120 frames of 320 x 240 cut from the photo, on a 640 x 480 screen, through giflib's encoder:
// each at a place of its own, with a transparent index, and disposal 1, 2 and 3 in turn.
bool WriteAnimationWithGiflib(const PhotoImage& image, const std::string& path) {
    constexpr int kFrames = 120, kFrameW = 320, kFrameH = 240;
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (gif == nullptr) return false;
    EGifSetGifVersion(gif, true);
    ColorMapObject* map = GifMakeMapObject(256, image.colors.data());
    bool ok = map != nullptr && EGifPutScreenDesc(gif, 640, 480, 8, 0, map) == GIF_OK;
    auto* rows = const_cast<GifPixelType*>(image.pixels.data());
    for (int f = 0; ok && f < kFrames; ++f) {
        GraphicsControlBlock control{};
        control.DisposalMode = 1 + f % 3;
        control.DelayTime = 4;
        control.TransparentColor = 7;
        GifByteType extension[4];
        EGifGCBToExtension(&control, extension);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension) == GIF_OK &&
             EGifPutImageDesc(gif, (f * 37) % 320, (f * 23) % 240, kFrameW, kFrameH, false,
                              nullptr) == GIF_OK;
        for (int y = 0; ok && y < kFrameH; ++y) {
            ok = EGifPutLine(gif, rows + std::size_t(y + f) * kWidth + std::size_t(f) * 3,
                             kFrameW) == GIF_OK;
        }
    }
    if (map != nullptr) GifFreeMapObject(map);
    return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

bool ReadWithGiflib(const std::string& path) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (gif == nullptr) return false;
    bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0;
    DGifCloseFile(gif, &error);
    return ok;
}

// The image as an 8-bit packed DIB (bottom-up rows) in a block of the library's.
struct PhotoDib {
    QorHandle handle = 0;

    explicit PhotoDib(const PhotoImage& image) {
        const auto width = static_cast<std::uint32_t>(image.width);
        const auto height = static_cast<std::uint32_t>(image.height);
        const std::uint64_t stride = (width + 3u) & ~3u;
        handle = QorGlobalAlloc(0x42, 40 + 1024 + stride * height);
        auto* p = static_cast<std::uint8_t*>(QorGlobalLock(handle));
        if (p == nullptr) throw std::runtime_error("cannot allocate the benchmark DIB");
        const std::uint32_t header[10] = {40, width, height, 1u | (8u << 16), 0, 0, 0, 0, 256, 256};
        std::memcpy(p, header, sizeof header);
        for (std::size_t i = 0; i < 256; ++i) {
            p[40 + 4 * i] = image.colors[i].Blue;
            p[40 + 4 * i + 1] = image.colors[i].Green;
            p[40 + 4 * i + 2] = image.colors[i].Red;
        }
        for (std::size_t y = 0; y < height; ++y) {
            std::memcpy(p + 1064 + stride * (height - 1 - y), &image.pixels[y * width], width);
        }
        QorGlobalUnlock(handle);
    }
    ~PhotoDib() { QorGlobalFree(handle); }
};

// A constant image of 32000 x 31250 pixels (1 GB at one byte each) coded with the longest
// strings the table can hold: each new code is the previous string and one more pixel, until the
// table is full, then its last code over and over. The data stops without an end code.
std::vector<std::uint8_t> GigabyteGif() {
    namespace gifb = qor::test::gifb;
    constexpr std::uint16_t kW = 32000, kH = 31250;
    gifb::Bytes out;
    gifb::Header(out, kW, kH, 0xF7);
    gifb::ColorTable(out, 256);
    gifb::ImageDescriptor(out, kW, kH, 0);
    gifb::CodeStream codes(8);
    codes.Clear();
    codes.Code(0);
    std::uint64_t pixels = 1;
    while (pixels < std::uint64_t{kW} * kH) {
        int code = codes.next() < 4096 ? codes.next() : 4095;
        codes.Code(code);
        pixels += static_cast<std::uint64_t>(code - 256);
    }
    gifb::ImageData(out, 8, codes.bytes());
    gifb::Trailer(out);
    return out;
}

// A megabyte of empty comment extensions (three bytes each) before a 16 x 16 image.
std::vector<std::uint8_t> ExtensionsGif() {
    namespace gifb = qor::test::gifb;
    gifb::Bytes out;
    gifb::Header(out, 16, 16, 0xF7);
    gifb::ColorTable(out, 256);
    while (out.size() < (1u << 20)) gifb::Extension(out, 0xFE, {});
    std::vector<std::uint8_t> pixels(256);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i);
    gifb::ImageDescriptor(out, 16, 16, 0);
    gifb::CodeStream codes = gifb::LiteralCodes(8, pixels);
    gifb::ImageData(out, 8, codes.bytes());
    gifb::Trailer(out);
    return out;
}

// 65535 frames of one pixel each, at places of their own on a 16 x 16 screen.
std::vector<std::uint8_t> OnePixelFramesGif() {
    namespace gifb = qor::test::gifb;
    gifb::Bytes out;
    gifb::Header(out, 16, 16, 0xF7);
    gifb::ColorTable(out, 256);
    for (std::uint32_t i = 0; i < 65535; ++i) {
        gifb::ImageDescriptor(out, 1, 1, 0, static_cast<std::uint16_t>(i % 16),
                              static_cast<std::uint16_t>(i / 16 % 16));
        const std::vector<std::uint8_t> pixel(1, static_cast<std::uint8_t>(i));
        gifb::ImageData(out, 8, gifb::LiteralCodes(8, pixel).bytes());
    }
    gifb::Trailer(out);
    return out;
}

}  // namespace

void AddGifCases(std::vector<BenchCase>* cases) {
    // The photo, its GIF (written by giflib) and its DIB, made for the first case that needs them.
    struct Photo {
        std::unique_ptr<PhotoImage> image;
        std::unique_ptr<PhotoDib> dib;
        TempFile file{".gif"};
        void Make() {
            if (image) return;
            image = std::make_unique<PhotoImage>();
            dib = std::make_unique<PhotoDib>(*image);
            if (!WriteWithGiflib(*image, file.path())) throw std::runtime_error("cannot write");
        }
    };
    auto photo = std::make_shared<Photo>();
    cases->push_back({"GIF decode 2400x1600 photo-like, 256 colours", "giflib DGifSlurp",
                      [photo](std::uint64_t* delivered) {
                          return ReadGifWithQorimg(photo->file.path(), delivered);
                      },
                      [photo](std::uint64_t*) { return ReadWithGiflib(photo->file.path()); }, 3.0,
                      true, [photo] { photo->Make(); }});

    auto ours = std::make_shared<TempFile>(".gif");
    auto theirs = std::make_shared<TempFile>(".gif");
    cases->push_back(
        {"GIF encode, same image", "giflib EGifPutLine",
         [photo, ours](std::uint64_t*) {
             return QorWriteGIF(nullptr, 0, ours->path().c_str(), photo->dib->handle, 0, 0, 0) ==
                    QOR_OK;
         },
         [photo, theirs](std::uint64_t*) { return WriteWithGiflib(*photo->image, theirs->path()); },
         2.0, false, [photo] { photo->Make(); }});

    // GIFs that nobody drew for the benchmark (bench/real_pages.py): a photograph, dithered to
    // 256 colours, and a screenshot of text; decoded from the file as it was written, and encoded
    // again from giflib's decoding of it.
    for (const char* name : {"photo", "screenshot"}) {
        struct Real {
            std::string path;
            std::unique_ptr<PhotoImage> image;
            std::unique_ptr<PhotoDib> dib;
        };
        auto real = std::make_shared<Real>();
        auto prepare = [real, name] {
            if (real->image) return;
            real->path = RealPagesDir() + "/" + name + ".gif";
            real->image = std::make_unique<PhotoImage>(ReadImageWithGiflib(real->path));
            real->dib = std::make_unique<PhotoDib>(*real->image);
        };
        const std::string title = std::string("GIF real ") + name;
        cases->push_back(
            {title + " decode", "giflib DGifSlurp",
             [real](std::uint64_t* delivered) { return ReadGifWithQorimg(real->path, delivered); },
             [real](std::uint64_t*) { return ReadWithGiflib(real->path); }, 3.0, true, prepare});
        auto oursOut = std::make_shared<TempFile>(".gif");
        auto theirsOut = std::make_shared<TempFile>(".gif");
        cases->push_back({title + " encode", "giflib EGifPutLine",
                          [real, oursOut](std::uint64_t*) {
                              return QorWriteGIF(nullptr, 0, oursOut->path().c_str(),
                                                 real->dib->handle, 0, 0, 0) == QOR_OK;
                          },
                          [real, theirsOut](std::uint64_t*) {
                              return WriteWithGiflib(*real->image, theirsOut->path());
                          },
                          2.0, false, prepare});
    }

    auto animation = std::make_shared<TempFile>(".gif");
    cases->push_back({"GIF animation, 120 frames of 320x240 on 640x480, every one composed",
                      "giflib DGifSlurp (no composing)",
                      [animation](std::uint64_t* delivered) {
                          return ReadGifFramesWithQorimg(animation->path(), delivered);
                      },
                      [animation](std::uint64_t*) { return ReadWithGiflib(animation->path()); },
                      1.0, true,
                      [photo, animation] {
                          photo->Make();
                          if (!WriteAnimationWithGiflib(*photo->image, animation->path())) {
                              throw std::runtime_error("cannot write the animation");
                          }
                      }});

    auto onePixel = std::make_shared<TempFile>(".gif");
    cases->push_back({"GIF of 65535 one-pixel frames on 16x16, every one a layer", "",
                      [onePixel](std::uint64_t* delivered) {
                          return ReadGifFramesWithQorimg(onePixel->path(), delivered);
                      },
                      nullptr, 0.5, true, [onePixel] { onePixel->Write(OnePixelFramesGif()); }});

    auto gigabyte = std::make_shared<TempFile>(".gif");
    cases->push_back({"GIF of 1 GB of pixels, no end code", "",
                      [gigabyte](std::uint64_t* delivered) {
                          return ReadGifWithQorimg(gigabyte->path(), delivered);
                      },
                      nullptr, 1.5, true, [gigabyte] { gigabyte->Write(GigabyteGif()); }});

    auto extensions = std::make_shared<TempFile>(".gif");
    cases->push_back({"GIF with 1 MB of extension blocks before the image", "",
                      [extensions](std::uint64_t* delivered) {
                          return ReadGifWithQorimg(extensions->path(), delivered);
                      },
                      nullptr, 0.05, true, [extensions] { extensions->Write(ExtensionsGif()); }});
}

}  // namespace qor::bench
