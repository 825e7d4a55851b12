// TIFF cases: one photo-like 4000 x 3000 RGB page, uncompressed, PackBits, LZW and LZW with
// horizontal differencing, and the same page reduced to 256 colours as an LZW palette page; and,
// read extended, the page as Deflate (with and without differencing), JPEG, and LZW in tiles of
// 256 x 256. libtiff decodes every strip (or tile) with TIFFReadEncodedStrip (TIFFReadEncodedTile)
// into a buffer malloc'ed for each read, as a caller that keeps the image must.
#include <tiffio.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>

#include "bench.h"
#include "qorimg/qorimg.h"

namespace qor::bench {
namespace {

constexpr std::uint32_t kWidth = 4000;
constexpr std::uint32_t kHeight = 3000;
constexpr std::uint32_t kRowsPerStrip = 16;

void Quiet(const char*, const char*, va_list) {}

// Soft gradients and shapes, hard edges between regions, and a little sensor noise that most
// samples do not get. Top-down RGB rows.
std::vector<std::uint8_t> PhotoRgb() {
    std::vector<std::uint8_t> rgb(std::size_t{kWidth} * kHeight * 3);
    std::mt19937 random(2024);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                double fx = x, fy = y;
                double v = 120 + 55 * std::sin(fx * 0.0021 + c * 1.3) * std::cos(fy * 0.0017) +
                           35 * std::cos(std::hypot(fx - 2600.0, fy - 1100.0) * 0.006 + c);
                if (((x / 700) + (y / 500)) % 3 == 0) v = v * 0.6 + 60;  // regions of other light
                int noise = static_cast<int>(random() % 8);
                v += noise == 0 ? -1 : noise == 1 ? 1 : 0;
                rgb[(std::size_t{y} * kWidth + x) * 3 + std::size_t(c)] =
                    static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
            }
        }
    }
    return rgb;
}

// Writes the page with libtiff: RGB, or with `palette` 3 bits of red, 3 of green and 2 of blue;
// with `tiled`, in tiles of 256 x 256. JPEG pages are YCbCr.
void WritePage(const std::string& path, const std::vector<std::uint8_t>& rgb,
               std::uint16_t compression, std::uint16_t predictor, bool palette, bool tiled = false,
               std::uint32_t width = kWidth, std::uint32_t height = kHeight) {
    TIFFSetWarningHandler(Quiet);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) throw std::runtime_error("cannot create the benchmark TIFF");
    const int samples = palette ? 1 : 3;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
    if (tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 256);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 256);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip);
    }
    std::vector<std::uint16_t> map(3 * 256);
    if (palette) {
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
        for (int i = 0; i < 256; ++i) {
            map[std::size_t(i)] = static_cast<std::uint16_t>((i & 0xE0) << 8);
            map[std::size_t(256 + i)] = static_cast<std::uint16_t>((i & 0x1C) << 11);
            map[std::size_t(512 + i)] = static_cast<std::uint16_t>((i & 0x03) << 14);
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    } else if (compression == COMPRESSION_JPEG) {
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 90);
    } else {
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    }
    if (tiled) {
        // Each tile cut from the rows, the edge tiles padded with zeros.
        std::vector<std::uint8_t> tile(256 * 256 * 3);
        for (std::uint32_t ty = 0; ty < height; ty += 256) {
            for (std::uint32_t tx = 0; tx < width; tx += 256) {
                std::fill(tile.begin(), tile.end(), 0);
                for (std::uint32_t y = ty; y < std::min(height, ty + 256); ++y) {
                    const std::uint32_t n = std::min(width - tx, 256u) * 3;
                    std::copy_n(&rgb[(std::size_t{y} * width + tx) * 3], n,
                                &tile[std::size_t{y - ty} * 256 * 3]);
                }
                if (TIFFWriteTile(t, tile.data(), tx, ty, 0, 0) < 0) {
                    throw std::runtime_error("cannot write the benchmark TIFF");
                }
            }
        }
        TIFFClose(t);
        return;
    }
    std::vector<std::uint8_t> row(std::size_t{width} * std::size_t(samples));
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* source = &rgb[std::size_t{y} * width * 3];
        if (palette) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint8_t* p = source + 3 * x;
                row[x] = static_cast<std::uint8_t>((p[0] >> 5) << 5 | (p[1] >> 5) << 2 | p[2] >> 6);
            }
        } else {
            std::copy(source, source + row.size(), row.begin());
        }
        if (TIFFWriteScanline(t, row.data(), y, 0) != 1) {
            throw std::runtime_error("cannot write the benchmark TIFF");
        }
    }
    TIFFClose(t);
}

// The photo tiled to `width` x `height`, for pages of any size with the same content.
std::vector<std::uint8_t> TiledRgb(const std::vector<std::uint8_t>& photo, std::uint32_t width,
                                   std::uint32_t height) {
    std::vector<std::uint8_t> rgb(std::size_t{width} * height * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* from = &photo[std::size_t{y % kHeight} * kWidth * 3];
        std::uint8_t* to = &rgb[std::size_t{y} * width * 3];
        for (std::uint32_t x = 0; x < width; x += kWidth) {
            const std::uint32_t n = std::min(kWidth, width - x) * 3;
            std::copy_n(from, n, to + std::size_t{x} * 3);
        }
    }
    return rgb;
}

}  // namespace

// The first page through an extended read.
bool ReadExtendedWithQorimg(const std::string& path, std::uint64_t* delivered) {
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = QOR_READ_EXTENDED;
    // The threads that the classic reads take (QORIMG_THREADS, which the benchmark sets).
    const char* threads = std::getenv("QORIMG_THREADS");
    options.threads = threads != nullptr ? static_cast<std::uint32_t>(std::atoi(threads)) : 0;
    QorHandle dib = 0;
    if (QorReadTIFEx(nullptr, 0, path.c_str(), &options, &dib) != QOR_OK) return false;
    *delivered = QorGlobalSize(dib);
    QorReleaseDocument(dib);
    return true;
}

// Every strip (or tile) of the first page into one buffer malloc'ed for this read.
bool ReadTiffWithLibtiff(const std::string& path) {
    TIFFSetWarningHandler(Quiet);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return false;
    // JPEG pages of YCbCr come out as RGB, as ours do, through libjpeg's own conversion.
    std::uint16_t photometric = 0;
    if (TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric) && photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (TIFFIsTiled(t)) {
        const tmsize_t tileSize = TIFFTileSize(t);
        const ttile_t tiles = TIFFNumberOfTiles(t);
        auto* image = static_cast<std::uint8_t*>(std::malloc(std::size_t(tileSize) * tiles));
        bool ok = image != nullptr;
        for (ttile_t i = 0; ok && i < tiles; ++i) {
            ok = TIFFReadEncodedTile(t, i, image + std::size_t(tileSize) * i, tileSize) >= 0;
        }
        std::free(image);
        TIFFClose(t);
        return ok;
    }
    const tmsize_t stripSize = TIFFStripSize(t);
    const tstrip_t strips = TIFFNumberOfStrips(t);
    auto* image = static_cast<std::uint8_t*>(std::malloc(std::size_t(stripSize) * strips));
    bool ok = image != nullptr;
    std::size_t at = 0;
    for (tstrip_t s = 0; ok && s < strips; ++s) {
        tmsize_t n = TIFFReadEncodedStrip(t, s, image + at, stripSize);
        ok = n >= 0;
        at += static_cast<std::size_t>(n);
    }
    std::free(image);
    TIFFClose(t);
    return ok;
}

// Four LZW pages of 32767 x 32767 grey pixels that share one strip of ClearCode and
// EndOfInformation: a few hundred bytes that claim 4 GB of rows, none of which gets data.
std::vector<std::uint8_t> ClaimingLzwPages() {
    std::vector<std::uint8_t> out{'I', 'I', 42, 0, 0, 0, 0, 0, 0x80, 0x40, 0x40, 0};
    auto put16 = [&](std::uint32_t v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto put32 = [&](std::uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    std::size_t link = 4;
    for (int page = 0; page < 4; ++page) {
        const auto at = static_cast<std::uint32_t>(out.size());
        for (int i = 0; i < 4; ++i)
            out[link + std::size_t(i)] = static_cast<std::uint8_t>(at >> (8 * i));
        const std::uint32_t entries[][4] = {{256, 4, 1, 32767}, {257, 4, 1, 32767}, {258, 3, 1, 8},
                                            {259, 3, 1, 5},     {262, 3, 1, 1},     {273, 4, 1, 8},
                                            {277, 3, 1, 1},     {279, 4, 1, 3}};
        put16(8);
        for (const auto& e : entries) {
            put16(e[0]);
            put16(e[1]);
            put32(e[2]);
            if (e[1] == 3) {
                put16(e[3]);
                put16(0);
            } else {
                put32(e[3]);
            }
        }
        link = out.size();
        put32(0);
    }
    return out;
}

void AddTiffCases(std::vector<BenchCase>* cases) {
    auto rgb = std::make_shared<std::vector<std::uint8_t>>();
    struct Kind {
        const char* name;
        std::uint16_t compression, predictor;
        bool palette;
        double goal;
        bool extended = false, tiled = false;
    };
    const Kind kinds[] = {
        {"TIFF 4000x3000 RGB uncompressed", COMPRESSION_NONE, 1, false, 1.6},
        {"TIFF 4000x3000 RGB PackBits", COMPRESSION_PACKBITS, 1, false, 1.5},
        {"TIFF 4000x3000 RGB LZW", COMPRESSION_LZW, 1, false, 2.0},
        {"TIFF 4000x3000 RGB LZW, Predictor 2", COMPRESSION_LZW, 2, false, 2.0},
        {"TIFF 4000x3000 8-bit palette LZW", COMPRESSION_LZW, 1, true, 2.0},
        {"TIFF 4000x3000 RGB Deflate (extended)", COMPRESSION_ADOBE_DEFLATE, 1, false, 1.0, true},
        {"TIFF 4000x3000 RGB Deflate, Predictor 2 (extended)", COMPRESSION_ADOBE_DEFLATE, 2, false,
         1.0, true},
        {"TIFF 4000x3000 RGB JPEG (extended)", COMPRESSION_JPEG, 1, false, 1.0, true},
        {"TIFF 4000x3000 RGB LZW in 256x256 tiles (extended)", COMPRESSION_LZW, 1, false, 2.0, true,
         true},
    };
    for (const Kind& kind : kinds) {
        auto file = std::make_shared<TempFile>(".tif");
        auto prepare = [rgb, file, kind] {
            if (rgb->empty()) *rgb = PhotoRgb();
            WritePage(file->path(), *rgb, kind.compression, kind.predictor, kind.palette,
                      kind.tiled);
        };
        cases->push_back(
            {kind.name, kind.tiled ? "libtiff TIFFReadEncodedTile" : "libtiff TIFFReadEncodedStrip",
             [file, kind](std::uint64_t* delivered) {
                 return kind.extended ? ReadExtendedWithQorimg(file->path(), delivered)
                                      : ReadTiffWithQorimg(file->path(), delivered);
             },
             [file](std::uint64_t*) { return ReadTiffWithLibtiff(file->path()); }, kind.goal, true,
             prepare});
    }

    // The LZW page's 188 strips on several threads.
    auto lzw = std::make_shared<TempFile>(".tif");
    AddThreadCases(
        "TIFF 4000x3000 RGB LZW (36 MB, 188 strips)", lzw,
        [rgb, lzw] {
            if (rgb->empty()) *rgb = PhotoRgb();
            WritePage(lzw->path(), *rgb, COMPRESSION_LZW, 1, false, false);
        },
        cases);

    // Deflate against zlib itself: the same strips inflated by zlib into one fresh block, with
    // no TIFF work at all. (libtiff is no such peer: it inflates whole strips with libdeflate too.)
    auto deflated = std::make_shared<TempFile>(".tif");
    auto strips = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
    cases->push_back(
        {"TIFF 4000x3000 RGB Deflate (extended)", "zlib uncompress of its strips",
         [deflated](std::uint64_t* delivered) {
             return ReadExtendedWithQorimg(deflated->path(), delivered);
         },
         [strips](std::uint64_t*) {
             const std::size_t stripBytes = std::size_t{kWidth} * 3 * kRowsPerStrip;
             auto* image = static_cast<std::uint8_t*>(std::malloc(stripBytes * strips->size()));
             bool ok = image != nullptr;
             for (std::size_t s = 0; ok && s < strips->size(); ++s) {
                 uLongf size = stripBytes;
                 const auto& strip = (*strips)[s];
                 ok = uncompress(image + s * stripBytes, &size, strip.data(), strip.size()) == Z_OK;
             }
             std::free(image);
             return ok;
         },
         1.8, true,
         [rgb, deflated, strips] {
             if (rgb->empty()) *rgb = PhotoRgb();
             WritePage(deflated->path(), *rgb, COMPRESSION_ADOBE_DEFLATE, 1, false);
             TIFF* t = TIFFOpen(deflated->path().c_str(), "r");
             if (t == nullptr) throw std::runtime_error("cannot read the benchmark TIFF");
             strips->assign(TIFFNumberOfStrips(t), {});
             for (tstrip_t s = 0; s < strips->size(); ++s) {
                 (*strips)[s].resize(static_cast<std::size_t>(TIFFRawStripSize(t, s)));
                 TIFFReadRawStrip(t, s, (*strips)[s].data(),
                                  static_cast<tmsize_t>((*strips)[s].size()));
             }
             TIFFClose(t);
         }});

    // The floor for a page that needs no decoding: its bytes copied once into a fresh block.
    auto plain = std::make_shared<TempFile>(".tif");
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    cases->push_back(
        {"TIFF 4000x3000 RGB uncompressed", "memcpy of its bytes into a fresh malloc block",
         [plain](std::uint64_t* delivered) { return ReadTiffWithQorimg(plain->path(), delivered); },
         [bytes](std::uint64_t*) {
             auto* block = static_cast<std::uint8_t*>(std::malloc(bytes->size()));
             if (block == nullptr) return false;
             std::memcpy(block, bytes->data(), bytes->size());
             // The copy is used, so that it cannot be left out.
             const bool ok = block[bytes->size() / 2] == (*bytes)[bytes->size() / 2];
             std::free(block);
             return ok;
         },
         1 / 1.15, true,
         [rgb, plain, bytes] {
             if (rgb->empty()) *rgb = PhotoRgb();
             WritePage(plain->path(), *rgb, COMPRESSION_NONE, 1, false);
             *bytes = *rgb;
         }});

    // Rows that get no data cost nothing: the pages' blocks are never written.
    auto claiming = std::make_shared<TempFile>(".tif");
    cases->push_back({"TIFF of 4 LZW pages that claim 32767 x 32767 and hold no row", "",
                      [claiming](std::uint64_t* delivered) {
                          return ReadTiffWithQorimg(claiming->path(), delivered);
                      },
                      nullptr, 0.01, true, [claiming] { claiming->Write(ClaimingLzwPages()); }});
}

void AddTiffSweepCases(std::vector<BenchCase>* cases) {
    auto photo = std::make_shared<std::vector<std::uint8_t>>();
    const std::pair<const char*, std::uint16_t> codings[] = {
        {"TIFF RGB LZW", COMPRESSION_LZW}, {"TIFF RGB PackBits", COMPRESSION_PACKBITS}};
    for (const auto& [name, compression] : codings) {
        for (double megapixels : kSweepMegapixels) {
            // 4:3 pages of the photo, tiled.
            const auto width =
                static_cast<std::uint32_t>(std::lround(std::sqrt(megapixels * 1e6 * 4 / 3)));
            const auto height = static_cast<std::uint32_t>(std::lround(megapixels * 1e6 / width));
            auto file = std::make_shared<TempFile>(".tif");
            BenchCase c{
                std::string(name) + ", " + std::to_string(width) + "x" + std::to_string(height),
                "",
                [file](std::uint64_t* delivered) {
                    return ReadTiffWithQorimg(file->path(), delivered);
                },
                nullptr,
                0,
                true,
                [photo, file, compression, width, height] {
                    if (photo->empty()) *photo = PhotoRgb();
                    WritePage(file->path(), TiledRgb(*photo, width, height), compression, 1, false,
                              false, width, height);
                }};
            c.sweep = name;
            c.megapixels = double(width) * height / 1e6;
            cases->push_back(std::move(c));
        }
    }
}

}  // namespace qor::bench
