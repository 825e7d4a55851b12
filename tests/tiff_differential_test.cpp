// Pixels of whole TIFF files compared with libtiff's reading of the same files: the committed
// files made by Pillow, ImageMagick and tiffcp, and the public corpora (where every file must
// also be read without a crash, a hang or a leak).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "frame/read_info.h"
#include "platform/testing.h"
#include "support/peer_readers.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"

#ifdef QORIMG_HAVE_LIBPNG
#include <png.h>
#endif

namespace qor::test {
namespace {

namespace fs = std::filesystem;

struct OurRead {
    std::int16_t status = -1;
    std::vector<Rgb> layers;
    std::vector<int> pageOfLayer;  // directory index of each layer
};

Rgb ColoursOf(const Image& img) {
    return Rgb{static_cast<std::uint32_t>(img.width),
               static_cast<std::uint32_t>(img.height),
               img.Colours(),
               {}};
}

// Reads a file with ReadTiffWorker (an extended read when asked); also works out which directory
// each layer came from.
OurRead ReadWithQor(const std::string& path, bool extended = false) {
    OurRead o;
    Request r(path);
    ReadScope scope;
    scope.extended = extended;
    o.status = ReadTiffWorker(r.get(), nullptr, nullptr, &scope);
    if (r->layerBlock != 0) {
        auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(r->layerBlock));
        for (std::uint32_t i = 0; i < r->layerCount; ++i) {
            HGLOBAL h;
            std::memcpy(&h, p + 260 + 4 * i, 4);
            o.layers.push_back(ColoursOf(ReadDib(h)));
            plat::GlobalFree(h);
        }
        plat::GlobalUnlock(r->layerBlock);
        plat::GlobalFree(r->layerBlock);
    }
    if (o.status == 0) {
        HFILE f = plat::_lopen(path.c_str(), 0);
        std::uint16_t order = 0;
        std::uint32_t offset = 0;
        if (tiff::ReadTiffHeader(f, &order, &offset) == 0) {
            std::uint16_t n = 0;
            tiff::CountTiffPages(f, offset, order, &n);
            for (int i = 0; i < n; ++i) {
                tiff::TiffPage page{};
                page.byteOrder = order;
                page.extended = extended;
                tiff::ParseTiffDirectory(f, &page, &offset);
                if (tiff::ValidateTiffPage(page) == 0) o.pageOfLayer.push_back(i);
            }
        }
        plat::_lclose(f);
    }
    return o;
}

#ifdef QORIMG_HAVE_LIBTIFF

// libtiff's reading of a whole page, or nothing (with the reason) when any strip fails.
std::optional<Rgb> ExpectedFromLibtiff(const std::string& path, int dir, std::string* why) {
    Rgb img;
    if (!LibtiffReference(path, dir, &img, why)) return std::nullopt;
    if (std::count(img.rowRead.begin(), img.rowRead.end(), 0) != 0) {
        *why = "libtiff read error";
        return std::nullopt;
    }
    return img;
}

// Compares two images; reports the first few differences.
void ExpectSameRgb(const Rgb& ours, const Rgb& want, const std::string& what) {
    ASSERT_EQ(ours.width, want.width) << what;
    ASSERT_EQ(ours.height, want.height) << what;
    int reported = 0;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.pixels.size(); ++i) {
        if (ours.pixels[i] == want.pixels[i]) continue;
        ++bad;
        if (reported++ < 3) {
            ADD_FAILURE() << what << ": pixel (" << i % want.width << "," << i / want.width
                          << ") is " << std::hex << ours.pixels[i] << ", expected "
                          << want.pixels[i];
        }
    }
    EXPECT_EQ(bad, 0u) << what;
}

class TiffDifferentialTest : public LeakCheckedTest {};

TEST_F(TiffDifferentialTest, CommittedFilesMatchLibtiff) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(DataPath("tiff"))) {
        if (e.path().extension() == ".tif") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 25u);
    for (const std::string& path : files) {
        std::string name = fs::path(path).filename().string();
        OurRead ours = ReadWithQor(path);
        ASSERT_EQ(ours.status, 0) << name;
        int dirs = LibtiffDirectories(path);
        ASSERT_EQ(static_cast<int>(ours.layers.size()), dirs) << name;
        for (int d = 0; d < dirs; ++d) {
            std::string why;
            auto want = ExpectedFromLibtiff(path, d, &why);
            ASSERT_TRUE(want.has_value()) << name << " page " << d << ": " << why;
            ExpectSameRgb(ours.layers[static_cast<std::size_t>(d)], *want,
                          name + " page " + std::to_string(d));
        }
    }
}

// A reference picture next to a corpus file, as RGB; empty when there is none.
std::optional<Rgb> ReadPnm(const std::string& path) {
    Bytes b = ReadFile(path);
    if (b.size() < 3 || b[0] != 'P') return std::nullopt;
    char kind = static_cast<char>(b[1]);
    std::size_t at = 2;
    auto number = [&]() {
        std::uint32_t v = 0;
        while (at < b.size()) {
            if (b[at] == '#') {
                while (at < b.size() && b[at] != '\n') ++at;
            } else if (std::isspace(b[at])) {
                ++at;
            } else {
                break;
            }
        }
        while (at < b.size() && std::isdigit(b[at])) v = v * 10 + (b[at++] - '0');
        return v;
    };
    Rgb img;
    img.width = number();
    img.height = number();
    std::uint32_t max = kind == '4' ? 1 : number();
    ++at;
    if (max != 1 && max != 255) return std::nullopt;
    for (std::uint32_t y = 0; y < img.height; ++y) {
        for (std::uint32_t x = 0; x < img.width; ++x) {
            std::uint32_t c;
            if (kind == '4') {
                std::size_t row = (img.width + 7) / 8;
                std::uint8_t byte = b[at + y * row + x / 8];
                c = (byte >> (7 - x % 8)) & 1 ? 0 : 0xFFFFFF;
            } else if (kind == '5') {
                std::uint32_t g = b[at + y * img.width + x];
                c = g << 16 | g << 8 | g;
            } else if (kind == '6') {
                const std::uint8_t* q = &b[at + 3 * (y * img.width + x)];
                c = std::uint32_t{q[0]} << 16 | std::uint32_t{q[1]} << 8 | q[2];
            } else {
                return std::nullopt;
            }
            img.pixels.push_back(c);
        }
    }
    return img;
}

std::optional<Rgb> ReadPng(const std::string& path) {
#ifdef QORIMG_HAVE_LIBPNG
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> buf(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, buf.data(), 0, nullptr)) return std::nullopt;
    Rgb img;
    img.width = image.width;
    img.height = image.height;
    for (std::size_t i = 0; i + 2 < buf.size(); i += 3) {
        img.pixels.push_back(std::uint32_t{buf[i]} << 16 | std::uint32_t{buf[i + 1]} << 8 |
                             buf[i + 2]);
    }
    return img;
#else
    (void)path;
    return std::nullopt;
#endif
}

// The reference picture of a corpus file: same stem with a PNM extension, or the PNG that its
// name starts with (not for grey or palette variants, whose pixels differ from the picture).
std::optional<Rgb> Reference(const fs::path& file) {
    for (const char* ext : {".pgm", ".ppm", ".pbm"}) {
        fs::path p = file;
        p.replace_extension(ext);
        if (fs::exists(p)) return ReadPnm(p.string());
    }
    std::string name = file.filename().string();
    for (const char* variant : {"gray", "grey", "palett", "invert"}) {
        if (name.find(variant) != std::string::npos) return std::nullopt;
    }
    for (const auto& e : fs::directory_iterator(file.parent_path())) {
        if (e.path().extension() != ".png") continue;
        std::string stem = e.path().stem().string();
        if (name.rfind(stem, 0) == 0 || (stem == "bw-gopher" && name.rfind("bw-", 0) == 0)) {
            return ReadPng(e.path().string());
        }
    }
    return std::nullopt;
}

TEST_F(TiffDifferentialTest, CorporaReadSafelyAndMatchWhereInScope) {
    std::string corpora = CorporaDir();
    if (corpora.empty()) GTEST_SKIP() << "the corpora are not present (set QORIMG_CORPORA)";
    TempDir tmp;
    std::vector<fs::path> files;
    for (const char* sub : {"libtiff", "x-image/tiff"}) {
        fs::path dir = fs::path(corpora) / sub;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir)) {
            std::string ext = e.path().extension().string();
            if (ext == ".tif" || ext == ".tiff") files.push_back(e.path());
            if (ext == ".bz2" && e.path().stem().extension() == ".tiff") {
                // Unpacked into the temporary directory.
                fs::path out = fs::path(tmp.Path(e.path().stem().string()));
                std::string cmd = "bzip2 -dc '" + e.path().string() + "' > '" + out.string() + "'";
                if (std::system(cmd.c_str()) == 0) files.push_back(out);
            }
        }
    }
    if (files.empty()) GTEST_SKIP() << "no TIFF corpus under " << corpora;
    std::sort(files.begin(), files.end());
    std::size_t decoded = 0, compared = 0, referenced = 0;
    for (const fs::path& file : files) {
        std::string name = file.filename().string();
        std::uint64_t blocks = plat::testing::LiveBlocks();
        auto start = std::chrono::steady_clock::now();
        OurRead ours = ReadWithQor(file.string());
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << name;
        EXPECT_EQ(plat::testing::LiveBlocks(), blocks) << name;
        EXPECT_EQ(plat::testing::OpenFiles(), 0u) << name;
        std::cout << "[ " << (ours.status == 0 ? "decoded " : "refused ") << " ] " << name << ": "
                  << ours.status << ", " << ours.layers.size() << " layers\n";
        if (ours.status != 0) continue;
        ++decoded;
        ASSERT_EQ(ours.layers.size(), ours.pageOfLayer.size()) << name;
        for (std::size_t i = 0; i < ours.layers.size(); ++i) {
            std::string why;
            auto want = ExpectedFromLibtiff(file.string(), ours.pageOfLayer[i], &why);
            if (!want) {
                std::cout << "    page " << ours.pageOfLayer[i] << " not compared: " << why << "\n";
                continue;
            }
            ExpectSameRgb(ours.layers[i], *want, name + " page " + std::to_string(i));
            ++compared;
        }
        if (auto ref = Reference(file)) {
            ExpectSameRgb(ours.layers[0], *ref, name + " against its reference picture");
            ++referenced;
        }
    }
    std::cout << decoded << " decoded, " << compared << " pages compared with libtiff, "
              << referenced << " with reference pictures\n";
    EXPECT_GE(decoded, 8u);
}

// RGB pages written by libtiff, uncompressed and PackBits, in one strip or many, with rows of
// every length modulo 4 and rows both shorter and longer than the reader's 64 KiB row buffer.
TEST_F(TiffDifferentialTest, RgbPagesOfManyShapesMatchLibtiff) {
    TempDir tmp;
    struct Shape {
        std::uint32_t width, height, rowsPerStrip;
    } shapes[] = {{1, 3, 1},      {2, 17, 5},     {3, 40, 40},   {6, 33, 8},
                  {4000, 45, 16}, {2731, 30, 30}, {21845, 5, 2}, {21846, 4, 3}};
    for (const Shape& s : shapes) {
        for (std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_PACKBITS}) {
            std::string name = std::to_string(s.width) + "x" + std::to_string(s.height) + "-" +
                               std::to_string(s.rowsPerStrip) + "-" + std::to_string(compression) +
                               ".tif";
            std::string path = tmp.Path(name);
            TIFF* t = TIFFOpen(path.c_str(), "w");
            ASSERT_NE(t, nullptr);
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width);
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
            TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip);
            std::vector<std::uint8_t> line(3u * s.width);
            for (std::uint32_t y = 0; y < s.height; ++y) {
                for (std::size_t i = 0; i < line.size(); ++i) {
                    // Runs for PackBits, and red, green and blue all different.
                    line[i] =
                        static_cast<std::uint8_t>((i / 7 + y * 31) * (i % 3 + 1) + i % 3 * 85);
                }
                ASSERT_EQ(TIFFWriteScanline(t, line.data(), y, 0), 1);
            }
            TIFFClose(t);
            OurRead ours = ReadWithQor(path);
            ASSERT_EQ(ours.status, 0) << name;
            ASSERT_EQ(ours.layers.size(), 1u) << name;
            std::string why;
            auto want = ExpectedFromLibtiff(path, 0, &why);
            ASSERT_TRUE(want.has_value()) << name << ": " << why;
            ExpectSameRgb(ours.layers[0], *want, name);
        }
    }
}

TEST_F(TiffDifferentialTest, SeveralStripsWithoutRowsPerStripMatchLibtiff) {
    // Without RowsPerStrip the page is one strip, whatever StripOffsets lists: rows follow on from
    // the first offset. libtiff does the same, but stops a compressed strip at its byte count,
    // where this reader goes on to the rows that follow; every row that libtiff reads must match.
    TempDir tmp;
    Bytes data(5 * 6);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 1);
    for (std::uint32_t compression : {1u, 32773u}) {
        TiffPageSpec p;
        p.width = 5;
        p.height = 6;
        p.compression = compression;
        for (std::size_t row = 0; row < 6; row += 2) {
            Bytes strip;
            for (std::size_t r = row; r < row + 2; ++r) {
                if (compression != 1) strip.push_back(4);  // a literal run of the row's 5 bytes
                strip.insert(strip.end(), data.begin() + 5 * r, data.begin() + 5 * r + 5);
            }
            p.strips.push_back(strip);
        }
        const std::string path = tmp.Path("strips-" + std::to_string(compression) + ".tif");
        WriteFile(path, MakeTiff({p}));
        OurRead ours = ReadWithQor(path);
        ASSERT_EQ(ours.status, 0);
        ASSERT_EQ(ours.layers.size(), 1u);
        TIFFSetWarningHandler(QuietLibtiff);
        TIFFSetErrorHandler(QuietLibtiff);
        TIFF* t = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(t, nullptr);
        std::uint8_t line[16];
        std::uint32_t read = 0;
        for (; read < 6 && TIFFReadScanline(t, line, read, 0) == 1; ++read) {
            for (std::uint32_t x = 0; x < 5; ++x) {
                EXPECT_EQ(ours.layers[0].pixels[5 * read + x], line[x] * 0x010101u)
                    << compression << " row " << read;
            }
        }
        TIFFClose(t);
        EXPECT_GE(read, 2u);  // at least the first strip, so the comparison means something
        // And every row is the picture.
        for (std::size_t i = 0; i < data.size(); ++i) {
            EXPECT_EQ(ours.layers[0].pixels[i], data[i] * 0x010101u) << compression << " " << i;
        }
    }
}

// A page as an image viewer shows it, by libtiff's RGBA interface (TIFFReadRGBAImageOriented, top
// row first): 0xAARRGGBB, the colours premultiplied by the alpha.
std::optional<Rgb> ViewerReference(const std::string& path) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return std::nullopt;
    Rgb img;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &img.height);
    std::vector<std::uint32_t> raster(std::size_t{img.width} * img.height);
    const bool ok = TIFFReadRGBAImageOriented(t, img.width, img.height, raster.data(),
                                              ORIENTATION_TOPLEFT, 0) == 1;
    TIFFClose(t);
    if (!ok) return std::nullopt;
    for (std::uint32_t p : raster) {
        img.pixels.push_back(TIFFGetA(p) << 24 | TIFFGetR(p) << 16 | TIFFGetG(p) << 8 |
                             TIFFGetB(p));
    }
    return img;
}

// The colours of an image without their alpha.
Rgb Opaque(Rgb img) {
    for (std::uint32_t& p : img.pixels) p &= 0xFFFFFF;
    return img;
}

// libtiff's reading of the samples of a stripped page of 16-bit samples, each v delivered as
// (v * 255 + 32767) / 65535; top row first.
std::optional<Rgb> SixteenBitReference(const std::string& path, std::uint16_t samples) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return std::nullopt;
    Rgb img;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &img.height);
    std::vector<std::uint16_t> line(std::size_t{img.width} * samples);
    for (std::uint32_t y = 0; y < img.height; ++y) {
        if (TIFFReadScanline(t, line.data(), y, 0) != 1) {
            TIFFClose(t);
            return std::nullopt;
        }
        for (std::uint32_t x = 0; x < img.width; ++x) {
            std::uint32_t rgb = 0;
            for (std::uint16_t c = 0; c < 3; ++c) {
                const std::uint32_t v = line[std::size_t{x} * samples + (samples == 3 ? c : 0)];
                rgb = rgb << 8 | (v * 255 + 32767) / 65535;
            }
            img.pixels.push_back(rgb);
        }
    }
    TIFFClose(t);
    return img;
}

TEST_F(TiffDifferentialTest, ExtendedPagesMatchWhatLibtiffShows) {
    // Pages that only an extended read takes: each coding, 8 and 16 bits, grey and RGB, both
    // byte orders, written by libtiff in strips, and copied by tiffcp into tiles, separate planes
    // and both. Read as a viewer shows them: identical pixels (JPEG within 1 of libtiff's decoding
    // of each channel). A classic read refuses each of them.
    TempDir tmp;
    struct Coding {
        const char* name;
        std::uint16_t compression, predictor;
        const char* tiffcp;  // the coding as tiffcp names it, or null where it cannot copy it
    } codings[] = {{"none", COMPRESSION_NONE, 1, "none"},
                   {"lzw-pred", COMPRESSION_LZW, 2, "lzw:2"},
                   {"deflate", COMPRESSION_ADOBE_DEFLATE, 1, "zip"},
                   {"deflate-pred", COMPRESSION_ADOBE_DEFLATE, 2, "zip:2"},
                   {"old-deflate", COMPRESSION_DEFLATE, 1, nullptr},
                   {"jpeg", COMPRESSION_JPEG, 1, "jpeg"}};
    const char* const layouts[] = {"", "-t -w 32 -l 32", "-p separate",
                                   "-t -w 16 -l 16 -p separate"};
    int compared = 0;
    for (const Coding& coding : codings) {
        for (std::uint16_t bits : {8, 16}) {
            for (std::uint16_t samples : {1, 3}) {
                for (bool big : {false, true}) {
                    if (bits == 16 && coding.compression == COMPRESSION_JPEG) continue;
                    const std::string name = std::string(coding.name) + "-" + std::to_string(bits) +
                                             "x" + std::to_string(samples) + (big ? "-be" : "-le");
                    const std::uint32_t width = 67, height = 45;
                    // The page in strips, its samples together or (with `planes`) in planes.
                    auto write = [&](const std::string& to, bool planes) {
                        TIFF* t = TIFFOpen(to.c_str(), big ? "wb" : "wl");
                        if (t == nullptr) return false;
                        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
                        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
                        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
                        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
                        TIFFSetField(t, TIFFTAG_PLANARCONFIG,
                                     planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
                        TIFFSetField(t, TIFFTAG_COMPRESSION, coding.compression);
                        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
                        if (coding.predictor != 1) {
                            TIFFSetField(t, TIFFTAG_PREDICTOR, coding.predictor);
                        }
                        std::uint16_t photometric =
                            samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
                        if (coding.compression == COMPRESSION_JPEG && samples == 3) {
                            photometric = PHOTOMETRIC_YCBCR;
                            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
                        }
                        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
                        const std::size_t unit = bits / 8u;
                        std::vector<std::uint8_t> line(std::size_t{samples} * width * unit);
                        std::vector<std::uint8_t> plane(std::size_t{width} * unit);
                        bool ok = true;
                        for (std::uint16_t s = 0; s < (planes ? samples : 1); ++s) {
                            for (std::uint32_t y = 0; ok && y < height; ++y) {
                                for (std::size_t i = 0; i < line.size(); ++i) {
                                    line[i] = static_cast<std::uint8_t>((i / samples * 5 + y * 3) *
                                                                        (i % 3 + 1));
                                }
                                if (!planes) {
                                    ok = TIFFWriteScanline(t, line.data(), y, 0) == 1;
                                    continue;
                                }
                                for (std::uint32_t x = 0; x < width; ++x) {
                                    std::memcpy(&plane[x * unit],
                                                &line[(std::size_t{x} * samples + s) * unit], unit);
                                }
                                ok = TIFFWriteScanline(t, plane.data(), y, s) == 1;
                            }
                        }
                        TIFFClose(t);
                        return ok;
                    };
                    const std::string path = tmp.Path(name + ".tif");
                    ASSERT_TRUE(write(path, false));
                    const std::optional<Rgb> want =
                        bits == 16 ? SixteenBitReference(path, samples) : ViewerReference(path);
                    ASSERT_TRUE(want.has_value()) << name;
                    for (const char* layout : layouts) {
                        std::string file = path;
                        const bool planes = std::strstr(layout, "separate") != nullptr ||
                                            std::strcmp(layout, "planes") == 0;
                        // One sample has no planes to separate, and JPEG's samples cannot be
                        // planes of their own.
                        if (planes && (samples == 1 || coding.compression == COMPRESSION_JPEG)) {
                            continue;
                        }
                        if (std::strcmp(layout, "planes") == 0) {
                            file = tmp.Path(name + "-planes.tif");
                            ASSERT_TRUE(write(file, true));
                        } else if (*layout != '\0') {
                            if (coding.tiffcp == nullptr || (planes && bits != 8)) continue;
                            file = tmp.Path(name + "-copy.tif");
                            const std::string command = std::string("tiffcp -c ") + coding.tiffcp +
                                                        " " + layout + " " + path + " " + file +
                                                        " 2>/dev/null";
                            ASSERT_EQ(std::system(command.c_str()), 0) << command;
                        }
                        SCOPED_TRACE(name + " " + layout);
                        if ((coding.compression != COMPRESSION_NONE &&
                             coding.compression != COMPRESSION_LZW) ||
                            bits == 16 || *layout) {
                            EXPECT_NE(ReadWithQor(file).status, 0);
                        }
                        const OurRead ours = ReadWithQor(file, true);
                        ASSERT_EQ(ours.status, 0);
                        ASSERT_EQ(ours.layers.size(), 1u);
                        ++compared;
                        if (coding.compression != COMPRESSION_JPEG) {
                            ExpectSameRgb(ours.layers[0], Opaque(*want), name + " " + layout);
                            continue;
                        }
                        // A JPEG copy is coded again: libtiff's reading of the copy is the one.
                        const std::optional<Rgb> copy = ViewerReference(file);
                        ASSERT_TRUE(copy.has_value());
                        ASSERT_EQ(ours.layers[0].pixels.size(), copy->pixels.size());
                        int worst = 0;
                        for (std::size_t i = 0; i < copy->pixels.size(); ++i) {
                            for (int shift : {0, 8, 16}) {
                                const int a = (ours.layers[0].pixels[i] >> shift) & 0xFF;
                                const int b = (copy->pixels[i] >> shift) & 0xFF;
                                worst = std::max(worst, std::abs(a - b));
                            }
                        }
                        EXPECT_LE(worst, 1);
                    }
                }
            }
        }
    }
    EXPECT_GE(compared, 90);
}

// JPEG pages of YCbCr in separate planes (each plane a stream of its own), written by libtiff:
// colours as libtiff's interface shows them, within the rounding of two conversions.
TEST_F(TiffDifferentialTest, PlanarYCbCrJpegPagesShowAsLibtiffShowsThem) {
    TempDir tmp;
    for (const std::uint32_t tile : {0u, 16u}) {
        SCOPED_TRACE(tile);
        const std::string path = tmp.Path("planar-ycbcr.tif");
        const std::uint32_t width = 48, height = 40;
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
        if (tile != 0) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
            TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
        }
        // Smooth planes, far from grey: Y a ramp, Cb and Cr well off 128.
        auto sample = [](std::uint32_t plane, std::uint32_t x, std::uint32_t y) {
            return static_cast<std::uint8_t>(plane == 0   ? 40 + 3 * x + 2 * y
                                             : plane == 1 ? 60 + 2 * y
                                                          : 200 - 2 * x);
        };
        for (std::uint32_t plane = 0; plane < 3; ++plane) {
            if (tile != 0) {
                std::vector<std::uint8_t> part(std::size_t{tile} * tile);
                for (std::uint32_t ty = 0; ty < height; ty += tile) {
                    for (std::uint32_t tx = 0; tx < width; tx += tile) {
                        for (std::uint32_t y = 0; y < tile; ++y) {
                            for (std::uint32_t x = 0; x < tile; ++x) {
                                part[y * tile + x] = sample(plane, tx + x, ty + y);
                            }
                        }
                        ASSERT_GT(TIFFWriteTile(t, part.data(), tx, ty, 0,
                                                static_cast<std::uint16_t>(plane)),
                                  0);
                    }
                }
                continue;
            }
            std::vector<std::uint8_t> line(width);
            for (std::uint32_t y = 0; y < height; ++y) {
                for (std::uint32_t x = 0; x < width; ++x) line[x] = sample(plane, x, y);
                ASSERT_EQ(TIFFWriteScanline(t, line.data(), y, static_cast<std::uint16_t>(plane)),
                          1);
            }
        }
        TIFFClose(t);
        const OurRead ours = ReadWithQor(path, true);
        ASSERT_EQ(ours.status, 0);
        ASSERT_EQ(ours.layers.size(), 1u);
        const std::optional<Rgb> want = ViewerReference(path);
        ASSERT_TRUE(want.has_value());
        ASSERT_EQ(ours.layers[0].pixels.size(), want->pixels.size());
        int worst = 0;
        for (std::size_t i = 0; i < want->pixels.size(); ++i) {
            for (int shift : {0, 8, 16}) {
                worst = std::max(worst, std::abs(int((ours.layers[0].pixels[i] >> shift) & 0xFF) -
                                                 int((want->pixels[i] >> shift) & 0xFF)));
            }
        }
        EXPECT_LE(worst, 2);
    }
}

// Uncompressed YCbCr pages of interleaved samples, written by libtiff as raw strips of
// subsampled blocks: an extended read shows them as libtiff's RGBA interface does, within 2 of
// each channel (libtiff converts in floating point, the reader through JFIF's fixed point after
// scaling by the references, two roundings). Subsampling libtiff cannot show, and a strip cut
// short, are refused; a classic read refuses every such page, and describe agrees with read.
TEST_F(TiffDifferentialTest, UncompressedYCbCrShowsAsLibtiffShowsIt) {
    TempDir tmp;
    struct Case {
        std::uint32_t width, height, h, v, rowsPerStrip;
        bool references;  // BT.601's studio range in ReferenceBlackWhite, else the tag is absent
        bool cut;         // the last strip loses its last byte
        std::int16_t status;
    } cases[] = {
        {16, 8, 1, 1, 4, false, false, 0},
        {17, 9, 2, 1, 3, true, false, 0},
        {19, 10, 2, 2, 4, false, false, 0},
        {21, 12, 4, 2, 6, true, false, 0},
        {13, 8, 4, 4, 4, false, false, 0},
        {12, 6, 3, 1, 2, false, false, QOR_TIFF_UNSUPPORTED},
        {12, 6, 1, 2, 2, false, false, QOR_TIFF_UNSUPPORTED},
        {19, 10, 2, 2, 4, false, true, QOR_READ_FAILED},
    };
    for (const Case& c : cases) {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + "-" +
                                 std::to_string(c.h) + std::to_string(c.v) +
                                 (c.references ? "-ref" : "") + (c.cut ? "-cut" : "");
        SCOPED_TRACE(name);
        const std::string path = tmp.Path(name + ".tif");
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        // libtiff writes no subsampling that it cannot read: such files get 1 x 1, patched after.
        const bool patch = c.status == QOR_TIFF_UNSUPPORTED;
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, patch ? 1 : c.h, patch ? 1 : c.v);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, c.rowsPerStrip);
        float studio[6] = {16, 235, 128, 240, 128, 240};
        if (c.references) TIFFSetField(t, TIFFTAG_REFERENCEBLACKWHITE, studio);
        const std::uint32_t h = patch ? 1 : c.h, v = patch ? 1 : c.v;
        const std::uint32_t across = (c.width + h - 1) / h;
        for (std::uint32_t row = 0, strip = 0; row < c.height; row += c.rowsPerStrip, ++strip) {
            std::vector<std::uint8_t> data;
            const std::uint32_t rows = std::min(c.rowsPerStrip, c.height - row);
            for (std::uint32_t by = row; by < row + rows; by += v) {
                for (std::uint32_t bx = 0; bx < across; ++bx) {
                    for (std::uint32_t k = 0; k < h * v; ++k) {
                        const std::uint32_t x = bx * h + k % h, y = by + k / h;
                        data.push_back(static_cast<std::uint8_t>(30 + 5 * x + 7 * y));
                    }
                    data.push_back(static_cast<std::uint8_t>(70 + 9 * bx));   // Cb
                    data.push_back(static_cast<std::uint8_t>(190 - 6 * by));  // Cr
                }
            }
            if (c.cut && row + c.rowsPerStrip >= c.height) data.pop_back();
            ASSERT_GE(TIFFWriteRawStrip(t, strip, data.data(), static_cast<tmsize_t>(data.size())),
                      0);
        }
        TIFFClose(t);
        if (patch) {
            Bytes file = ReadFile(path);
            const std::uint8_t entry[] = {0x12, 2, 3, 0, 2, 0, 0, 0, 1, 0, 1, 0};
            auto at = std::search(file.begin(), file.end(), std::begin(entry), std::end(entry));
            ASSERT_NE(at, file.end());
            at[8] = static_cast<std::uint8_t>(c.h);
            at[10] = static_cast<std::uint8_t>(c.v);
            WriteFile(path, file);
        }
        for (const bool extended : {false, true}) {
            const OurRead ours = ReadWithQor(path, extended);
            const std::int16_t want = extended ? c.status : std::int16_t{QOR_TIFF_UNSUPPORTED};
            EXPECT_EQ(ours.status, want) << extended;
            std::int16_t described = -1;
            TiffDescription d;
            ASSERT_EQ(DescribeTiffWith(
                          path.c_str(), &d,
                          [](void* at, std::uint32_t, const TiffPageDescription& page) {
                              *static_cast<std::int16_t*>(at) = page.status;
                          },
                          &described, extended),
                      0);
            // Describe does not read strips: a cut strip is found by the read alone.
            EXPECT_EQ(described, c.cut && extended ? 0 : want) << extended;
        }
        if (c.status != 0) continue;
        const OurRead ours = ReadWithQor(path, true);
        ASSERT_EQ(ours.layers.size(), 1u);
        const std::optional<Rgb> libtiff = ViewerReference(path);
        ASSERT_TRUE(libtiff.has_value());
        ASSERT_EQ(ours.layers[0].pixels.size(), libtiff->pixels.size());
        int worst = 0;
        for (std::size_t i = 0; i < libtiff->pixels.size(); ++i) {
            for (int shift : {0, 8, 16}) {
                worst = std::max(worst, std::abs(int((ours.layers[0].pixels[i] >> shift) & 0xFF) -
                                                 int((libtiff->pixels[i] >> shift) & 0xFF)));
            }
        }
        EXPECT_LE(worst, 2);
    }
}

TEST_F(TiffDifferentialTest, ADamagedStripLosesItsOwnRowsOnlyAsLibtiffDelivers) {
    // One strip of a page written by libtiff is damaged (zero bytes, or a JPEG end marker in its
    // data): libtiff finds the strip damaged and delivers the page (its RGBA interface goes on
    // past a failed strip); so does an extended read, on one thread or two, noting the damaged
    // rows: they lie in that strip, start at or after its first row, run to its end and are
    // blank; every other row is libtiff's. A classic read keeps its status.
    TempDir tmp;
    struct Case {
        const char* name;
        std::uint16_t compression, bits;
        Bytes damage;
        std::int16_t status, classic;
    } cases[] = {
        {"deflate", COMPRESSION_ADOBE_DEFLATE, 8, Bytes(20, 0), QOR_TIFF_BAD_DATA,
         QOR_TIFF_COMPRESSION},
        {"group 4", COMPRESSION_CCITTFAX4, 1, Bytes(20, 0), QOR_FAX_BAD_DATA, QOR_FAX_BAD_DATA},
        {"jpeg", COMPRESSION_JPEG, 8, Bytes{0xFF, 0xD9}, QOR_TIFF_BAD_DATA, QOR_TIFF_COMPRESSION},
    };
    constexpr std::uint32_t kWidth = 96, kHeight = 48, kPerStrip = 8, kDamaged = 3;
    // Small pages take the threaded path here: a damaged job of the workers hands the rest of
    // the page to the caller's thread.
    struct ThreadedSmallPages {
        ThreadedSmallPages() { plat::testing::SetSmallestThreadedPage(1); }
        ~ThreadedSmallPages() { plat::testing::SetSmallestThreadedPage(0); }
    } threadedSmallPages;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp.Path(std::string(c.name) + ".tif");
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kPerStrip);
        std::vector<std::uint8_t> line(kWidth * c.bits / 8);
        for (std::uint32_t y = 0; y < kHeight; ++y) {
            for (std::size_t i = 0; i < line.size(); ++i) {
                line[i] = static_cast<std::uint8_t>(c.bits == 1 ? (i * 7 + y) % 5 * 51 : i + y * 3);
            }
            ASSERT_EQ(TIFFWriteScanline(t, line.data(), y, 0), 1);
        }
        TIFFClose(t);
        // The damage goes into the middle of strip kDamaged.
        t = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(t, nullptr);
        const std::uint64_t at =
            TIFFGetStrileOffset(t, kDamaged) + TIFFGetStrileByteCount(t, kDamaged) / 2;
        TIFFClose(t);
        Bytes file = ReadFile(path);
        ASSERT_LE(at + c.damage.size(), file.size());
        std::copy(c.damage.begin(), c.damage.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        WriteFile(path, file);

        const std::optional<Rgb> want = ViewerReference(path);
        ASSERT_TRUE(want.has_value());
        EXPECT_EQ(ReadWithQor(path).status, c.classic);
        Bytes oneThread;
        for (std::uint32_t threads : {1u, 2u}) {
            const QorReadOptions options{
                sizeof(QorReadOptions), QOR_READ_EXTENDED, 0, 0, 0, threads, 0};
            ReadInfo info;
            std::uint32_t first = 0;
            ASSERT_EQ(
                ReadWithInfo(ReadFormat::Tiff, nullptr, 0, path.c_str(), &info, &first, &options),
                0);
            const Rgb ours = ColoursOf(ReadDib(first));
            const auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(first));
            const Bytes dib(p, p + plat::GlobalSize(first));
            plat::GlobalUnlock(first);
            EXPECT_EQ(QorReleaseDocument(first), 0);
            if (threads == 1) oneThread = dib;
            EXPECT_EQ(dib, oneThread) << threads << " threads";
            ASSERT_EQ(info.damaged.size(), 1u);
            const DamagedRows& d = info.damaged[0];
            EXPECT_EQ(d.page, 1u);
            EXPECT_EQ(d.status, c.status);
            EXPECT_GE(d.firstRow, kDamaged * kPerStrip);
            EXPECT_EQ(d.firstRow + d.rows, (kDamaged + 1) * kPerStrip);
            ASSERT_EQ(ours.pixels.size(), want->pixels.size());
            // Blank: what a page of no data shows (black for grey, the cleared bits' colour for
            // a bilevel page).
            const std::uint32_t none = ours.pixels[std::size_t{d.firstRow} * kWidth];
            EXPECT_TRUE(c.bits != 8 || (none & 0xFFFFFF) == 0);
            for (std::uint32_t y = 0; y < kHeight; ++y) {
                const bool blank = y >= d.firstRow && y < d.firstRow + d.rows;
                for (std::uint32_t x = 0; x < kWidth; ++x) {
                    const std::size_t i = std::size_t{y} * kWidth + x;
                    ASSERT_EQ(ours.pixels[i] & 0xFFFFFF,
                              (blank ? none : want->pixels[i]) & 0xFFFFFF)
                        << "row " << y << ", column " << x;
                }
            }
        }
    }
}

TEST_F(TiffDifferentialTest, ColorMapsOfTheWrongCountAreTakenAsLibtiffTakesThem) {
    // A palette page whose ColorMap does not hold 3 x 2^bits values: libtiff ignores the map,
    // then reads an 8-bit page as grey and refuses a smaller one; an extended read does the same
    // (318 where libtiff refuses). A classic read refuses every such page (318), but for the two
    // values of a bilevel page, its black and white table.
    TempDir tmp;
    for (std::uint32_t bits : {1u, 4u, 8u}) {
        const std::uint32_t right = 3u << bits;
        for (std::uint32_t count : {right, right - 3, 2u, 195u}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << count << " values");
            const std::uint32_t width = 16, height = 3;
            TiffBuilder b(false);
            Bytes rows(width * bits / 8 * height);
            for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 37 + 11);
            const std::uint32_t at = b.Append(rows);
            std::vector<std::uint32_t> map(count);
            for (std::uint32_t i = 0; i < count; ++i) map[i] = (i * 40503u) & 0xFFFF;
            b.AddIfd({TiffBuilder::Short(256, {width}), TiffBuilder::Short(257, {height}),
                      TiffBuilder::Short(258, {bits}), TiffBuilder::Short(259, {1}),
                      TiffBuilder::Short(262, {3}), TiffBuilder::Long(273, {at}),
                      TiffBuilder::Short(277, {1}), TiffBuilder::Short(278, {height}),
                      TiffBuilder::Long(279, {std::uint32_t(rows.size())}),
                      TiffBuilder::Short(320, map)});
            // Whatever follows a short map is no part of it.
            b.Append(Bytes(1600, 0x5A));
            const std::string path = tmp.Path("map.tif");
            WriteFile(path, b.bytes());
            const bool legacy = bits == 1 && count == 2;
            EXPECT_EQ(ReadWithQor(path).status, count == right || legacy ? 0 : QOR_NOT_TIFF);
            const std::optional<Rgb> want = ViewerReference(path);
            const OurRead ours = ReadWithQor(path, true);
            ASSERT_EQ(ours.status, want.has_value() ? 0 : QOR_NOT_TIFF);
            if (want.has_value()) ExpectSameRgb(ours.layers[0], Opaque(*want), "extended");
        }
    }
}

TEST_F(TiffDifferentialTest, ExtendedLayoutsShowAsLibtiffShowsThem) {
    // Layouts whose extended read differs from the classic one, written uncompressed by libtiff:
    // alpha kept (straight in the DIB; libtiff's interface multiplies RGB by it, not grey: equal
    // within 1 once multiplied alike), CMYK and 4-bit grey as viewers convert them, and the
    // orientations that libtiff's interface applies (the turned ones, 5 to 8, are checked against
    // ImageMagick in the tool's test); 2-bit grey and palette, and CMYK with an alpha, which
    // libtiff shows opaque.
    TempDir tmp;
    // `extra`: the one ExtraSamples value, or -1 for none. Data of no meaning for display (0)
    // shows opaque, as libtiff and Pillow show it.
    constexpr int kNone = -1;
    struct Layout {
        const char* name;
        std::uint16_t samples, bits, photometric;
        int extra;
        std::uint16_t orientation;
        std::uint16_t compression = COMPRESSION_NONE;
    } layouts[] = {{"cmyk-jpeg", 4, 8, PHOTOMETRIC_SEPARATED, kNone, 1, COMPRESSION_JPEG},
                   {"grey2", 1, 2, PHOTOMETRIC_MINISBLACK, kNone, 1},
                   {"grey2-white-is-zero", 1, 2, PHOTOMETRIC_MINISWHITE, kNone, 1},
                   {"palette2", 1, 2, PHOTOMETRIC_PALETTE, kNone, 1},
                   {"cmyk-alpha", 5, 8, PHOTOMETRIC_SEPARATED, EXTRASAMPLE_UNASSALPHA, 1},
                   {"rgba-straight", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA, 1},
                   {"rgba-premultiplied", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_ASSOCALPHA, 1},
                   {"grey-alpha", 2, 8, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_UNASSALPHA, 1},
                   {"rgba-unspecified", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNSPECIFIED, 1},
                   {"grey-unspecified", 2, 8, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_UNSPECIFIED, 1},
                   {"cmyk", 4, 8, PHOTOMETRIC_SEPARATED, kNone, 1},
                   {"grey4", 1, 4, PHOTOMETRIC_MINISBLACK, kNone, 1},
                   {"grey4-white-is-zero", 1, 4, PHOTOMETRIC_MINISWHITE, kNone, 1},
                   {"rgb-o2", 3, 8, PHOTOMETRIC_RGB, kNone, 2},
                   {"rgb-o3", 3, 8, PHOTOMETRIC_RGB, kNone, 3},
                   {"rgb-o4", 3, 8, PHOTOMETRIC_RGB, kNone, 4},
                   {"bilevel-o3", 1, 1, PHOTOMETRIC_MINISBLACK, kNone, 3},
                   {"rgba-o4", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA, 4}};
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        const std::string path = tmp.Path(std::string(l.name) + ".tif");
        const std::uint32_t width = 37, height = 21;
        TIFF* t = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ORIENTATION, l.orientation);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
        TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
        if (l.extra != kNone) {
            const std::uint16_t extra[1] = {static_cast<std::uint16_t>(l.extra)};
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
        }
        if (l.photometric == PHOTOMETRIC_PALETTE) {
            std::uint16_t map[3][4] = {{0x1000, 0x9000, 0xF000, 0x4400},
                                       {0x2000, 0xA000, 0x0800, 0x5500},
                                       {0x3000, 0xB000, 0x7700, 0x6600}};
            TIFFSetField(t, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
        }
        std::vector<std::uint8_t> line((std::size_t{width} * l.samples * l.bits + 7) / 8);
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < line.size(); ++i) {
                line[i] = static_cast<std::uint8_t>((i * 29 + y * 71) ^ (i >> 2) * 13);
            }
            // Premultiplied colours never exceed their alpha.
            if (l.extra == EXTRASAMPLE_ASSOCALPHA) {
                for (std::size_t i = 0; i + 3 < line.size(); i += 4) {
                    for (int c = 0; c < 3; ++c) {
                        line[i + c] = static_cast<std::uint8_t>(line[i + c] * line[i + 3] / 255);
                    }
                }
            }
            ASSERT_EQ(TIFFWriteScanline(t, line.data(), y, 0), 1);
        }
        TIFFClose(t);
        const OurRead ours = ReadWithQor(path, true);
        ASSERT_EQ(ours.status, 0);
        ASSERT_EQ(ours.layers.size(), 1u);
        const std::optional<Rgb> want = ViewerReference(path);
        ASSERT_TRUE(want.has_value());
        const Rgb& got = ours.layers[0];
        ASSERT_EQ(got.width, want->width);
        ASSERT_EQ(got.height, want->height);
        if (l.extra == kNone || l.extra == EXTRASAMPLE_UNSPECIFIED ||
            l.photometric == PHOTOMETRIC_SEPARATED) {
            ExpectSameRgb(got, Opaque(*want), l.name);
            continue;
        }
        int worst = 0;
        for (std::size_t i = 0; i < want->pixels.size(); ++i) {
            const std::uint32_t alpha = got.pixels[i] >> 24;
            worst = std::max(worst, std::abs(int(alpha) - int(want->pixels[i] >> 24)));
            for (int shift : {0, 8, 16}) {
                const std::uint32_t straight = (got.pixels[i] >> shift) & 0xFF;
                const int premultiplied =
                    l.samples == 2 ? int(straight) : int((straight * alpha + 127) / 255);
                worst = std::max(worst,
                                 std::abs(premultiplied - int((want->pixels[i] >> shift) & 0xFF)));
            }
        }
        EXPECT_LE(worst, 1);
    }
}

TEST_F(TiffDifferentialTest, APredictorThatTheCodingHasNoUseForIsIgnoredAsLibtiffIgnoresIt) {
    // Predictor 2 on an uncompressed and on a PackBits page (rows of literal runs): libtiff knows
    // the tag only for the codings that difference their data, and shows the stored samples.
    TempDir tmp;
    const std::uint32_t width = 9, height = 4;
    Bytes raw, packed;
    for (std::uint32_t y = 0; y < height; ++y) {
        packed.push_back(static_cast<std::uint8_t>(width - 1));
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto v = static_cast<std::uint8_t>(x * 37 + y * 11);
            raw.push_back(v);
            packed.push_back(v);
        }
    }
    for (const auto& [compression, strip] : {std::pair{1u, raw}, std::pair{32773u, packed}}) {
        SCOPED_TRACE(compression);
        TiffPageSpec page;
        page.width = width;
        page.height = height;
        page.compression = compression;
        page.strips = {strip};
        page.extra = {TiffBuilder::Short(317, {2})};
        const std::string path = tmp.Path("pred-" + std::to_string(compression) + ".tif");
        WriteFile(path, MakeTiff({page}));
        const std::optional<Rgb> want = ViewerReference(path);
        ASSERT_TRUE(want.has_value());
        const OurRead ours = ReadWithQor(path, true);
        ASSERT_EQ(ours.status, 0);
        ASSERT_EQ(ours.layers.size(), 1u);
        ExpectSameRgb(ours.layers[0], Opaque(*want), "predictor ignored");
        // A classic read keeps refusing the combination.
        EXPECT_EQ(ReadWithQor(path).status, QOR_TIFF_PREDICTOR_COMBINATION);
    }
}

#endif  // QORIMG_HAVE_LIBTIFF

}  // namespace
}  // namespace qor::test
