// Writes structure-aware seed inputs for the fuzz harnesses, one folder per harness under OUT:
//   qorimg_fuzz_seeds OUT
// TIFF files in both byte orders, of every sample layout and compression (LZW with and without
// predictor, PackBits, the three fax codings in both fill orders), with strips of one row, of a
// few rows, a short last strip and one strip for the page; several pages in one file; entries of
// odd types. GIF files of every depth, interlaced or not, with local tables, transparency,
// extensions, a 128-byte prefix and several images. Parameter bytes for the fax and round-trip
// harnesses in the layout that those harnesses read. The committed corpora are these seeds after
// fuzzing and `-merge=1`.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/peer_readers.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path gOut;

void Save(const std::string& harness, const std::string& name, const Bytes& bytes) {
    fs::create_directories(gOut / harness);
    std::ofstream(gOut / harness / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes Load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- TIFF ----

struct Layout {
    const char* name;
    std::uint16_t bits, samples, photometric;
};

const Layout kLayouts[] = {{"bw0", 1, 1, 0},   {"bw1", 1, 1, 1},  {"grey4", 4, 1, 1},
                           {"grey8", 8, 1, 0}, {"pal4", 4, 1, 3}, {"pal8", 8, 1, 3},
                           {"ga", 8, 2, 1},    {"rgb", 8, 3, 2},  {"rgba", 8, 4, 2},
                           {"cmyk", 8, 4, 5},  {"rgb4", 4, 3, 2}};

struct Coding {
    const char* name;
    std::uint16_t compression, predictor;
    std::uint32_t t4Options;
    bool bilevelOnly;
};

const Coding kCodings[] = {{"none", 1, 1, 0, false},  {"packbits", 32773, 1, 0, false},
                           {"lzw", 5, 1, 0, false},   {"lzwpred", 5, 2, 0, false},
                           {"mh", 2, 1, 0, true},     {"g3", 3, 1, 0, true},
                           {"g3fill", 3, 1, 4, true}, {"g4", 4, 1, 0, true}};

// One page: smooth areas with noise so that every coding has runs and strings to find.
void WritePage(TIFF* t, const Layout& l, const Coding& c, std::uint32_t w, std::uint32_t h,
               std::uint32_t rowsPerStrip, std::uint16_t fill) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_FILLORDER, fill);
    TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
    if (c.predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
    if (c.compression == 3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, c.t4Options);
    if (l.samples == 2 || (l.samples == 4 && l.photometric == 2)) {
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (l.samples == 4 && l.photometric == 5) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    std::vector<std::uint16_t> map(3u << l.bits);
    if (l.photometric == 3) {
        for (std::size_t i = 0; i < map.size(); ++i) map[i] = std::uint16_t(i * 2654435761u >> 8);
        const std::size_t n = std::size_t{1} << l.bits;
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(t)));
    std::uint32_t noise = 12345;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            noise = noise * 1103515245u + 12345u;
            line[i] = static_cast<std::uint8_t>((i / 5 + y) * 17 +
                                                ((noise >> 16) % 5 == 0 ? noise >> 24 : 0));
        }
        TIFFWriteScanline(t, line.data(), y, 0);
    }
}

Bytes WriteTiff(const std::vector<std::pair<Layout, Coding>>& pages, bool big, std::uint32_t w,
                std::uint32_t h, std::uint32_t rowsPerStrip, std::uint16_t fill = 1) {
    const fs::path tmp = gOut / "seed.tmp";
    TIFF* t = TIFFOpen(tmp.c_str(), big ? "wb" : "wl");
    for (const auto& [l, c] : pages) {
        WritePage(t, l, c, w, h, rowsPerStrip, fill);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    Bytes b = Load(tmp);
    fs::remove(tmp);
    return b;
}

std::uint32_t Get(const Bytes& b, std::size_t at, int n, bool big) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        const std::uint32_t byte = b[at + std::size_t(i)];
        v |= big ? byte << (8 * (n - 1 - i)) : byte << (8 * i);
    }
    return v;
}

void Put(Bytes& b, std::size_t at, int n, std::uint32_t v, bool big) {
    for (int i = 0; i < n; ++i) {
        b[at + std::size_t(i)] =
            static_cast<std::uint8_t>(big ? v >> (8 * (n - 1 - i)) : v >> (8 * i));
    }
}

// Rewrites the type of `tag` in the first directory (the value field is left as it stands).
Bytes WithType(Bytes b, std::uint16_t tag, std::uint16_t type) {
    const bool big = b[0] == 'M';
    const std::size_t ifd = Get(b, 4, 4, big);
    const std::uint32_t n = Get(b, ifd, 2, big);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::size_t at = ifd + 2 + 12 * std::size_t{i};
        if (Get(b, at, 2, big) == tag) Put(b, at + 2, 2, type, big);
    }
    return b;
}

void TiffSeeds() {
    int k = 0;
    for (bool big : {false, true}) {
        for (const Coding& c : kCodings) {
            for (const Layout& l : kLayouts) {
                if (c.bilevelOnly && l.bits != 1) continue;
                if (c.predictor == 2 && l.bits != 8) continue;
                // Strips of one row, of a few rows with a short last one, and one strip.
                const std::uint32_t shapes[3][3] = {{13, 5, 1}, {37, 11, 4}, {9, 3, 3}};
                const auto& s = shapes[k++ % 3];
                const std::uint16_t fill = c.bilevelOnly && k % 2 ? 2 : 1;
                const std::string name = std::string(l.name) + "-" + c.name +
                                         (big ? "-be" : "-le") + (fill == 2 ? "-fill2" : "") +
                                         ".tif";
                Save("tiff_diff_fuzz", name, WriteTiff({{l, c}}, big, s[0], s[1], s[2], fill));
            }
        }
        // Several pages of different kinds in one file.
        const std::string pages = big ? "pages-be.tif" : "pages-le.tif";
        Save("tiff_diff_fuzz", pages,
             WriteTiff({{kLayouts[5], kCodings[2]},
                        {kLayouts[0], kCodings[7]},
                        {kLayouts[7], kCodings[1]},
                        {kLayouts[9], kCodings[3]}},
                       big, 21, 9, 4));
        // Odd types: a SHORT width over a LONG value, a RATIONAL rows-per-strip, BYTE samples.
        const Bytes plain = WriteTiff({{kLayouts[3], kCodings[2]}}, big, 17, 6, 2);
        const std::string e = big ? "-be.tif" : "-le.tif";
        Save("tiff_diff_fuzz", "width-short" + e, WithType(plain, 256, 3));
        Save("tiff_diff_fuzz", "rows-rational" + e, WithType(plain, 278, 5));
        Save("tiff_diff_fuzz", "bits-byte" + e, WithType(plain, 258, 1));
        Save("tiff_diff_fuzz", "offsets-short" + e, WithType(plain, 273, 3));
    }
}

// ---- GIF ----

Bytes WriteGif(int sw, int sh, int bits, const std::vector<std::array<int, 5>>& images,
               int transparent, bool comment, bool localTable) {
    const fs::path tmp = gOut / "seed.gif";
    int error = 0;
    GifFileType* gif = EGifOpenFileName(tmp.c_str(), false, &error);
    std::vector<GifColorType> colours(std::size_t{1} << bits);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        colours[i] = {GifByteType(i * 37), GifByteType(255 - i * 3), GifByteType(i * 11)};
    }
    ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
    EGifSetGifVersion(gif, transparent >= 0 || comment);
    EGifPutScreenDesc(gif, sw, sh, bits, 0, map);
    if (comment) {
        EGifPutComment(gif, "seed");
        const GifByteType app[11] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
        const GifByteType loop[3] = {1, 0, 0};
        EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif, 11, app);
        EGifPutExtensionBlock(gif, 3, loop);
        EGifPutExtensionTrailer(gif);
    }
    for (const auto& im : images) {  // left, top, width, height, interlaced
        if (transparent >= 0) {
            GraphicsControlBlock gcb{0, false, 0, transparent};
            GifByteType ext[4];
            EGifGCBToExtension(&gcb, ext);
            EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        }
        EGifPutImageDesc(gif, im[0], im[1], im[2], im[3], im[4] != 0, localTable ? map : nullptr);
        std::vector<GifPixelType> line(static_cast<std::size_t>(im[2]));
        for (int y = 0; y < im[3]; ++y) {
            for (int x = 0; x < im[2]; ++x) {
                line[std::size_t(x)] = GifPixelType(((x / 3 + y) ^ (x * y % 7)) % (1 << bits));
            }
            EGifPutLine(gif, line.data(), im[2]);
        }
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    Bytes b = Load(tmp);
    fs::remove(tmp);
    return b;
}

void GifSeeds() {
    for (int bits = 1; bits <= 8; ++bits) {
        const int w = 3 + bits * 7, h = 2 + bits * 3;
        const std::string b = std::to_string(bits);
        Save("gif_diff_fuzz", "plain-" + b + ".gif",
             WriteGif(w, h, bits, {{0, 0, w, h, 0}}, -1, false, false));
        Save("gif_diff_fuzz", "interlaced-" + b + ".gif",
             WriteGif(w, h, bits, {{0, 0, w, h, 1}}, bits % 3, bits % 2 == 0, bits > 4));
    }
    Save("gif_diff_fuzz", "two-images.gif",
         WriteGif(40, 30, 4, {{0, 0, 20, 10, 0}, {5, 5, 30, 20, 1}}, 3, true, true));
    Save("gif_diff_fuzz", "larger-than-screen.gif",
         WriteGif(8, 8, 3, {{2, 2, 30, 17, 0}}, -1, false, false));
    Bytes prefixed(128, 0x5A);
    const Bytes g = WriteGif(25, 9, 5, {{0, 0, 25, 9, 1}}, 7, true, false);
    prefixed.insert(prefixed.end(), g.begin(), g.end());
    Save("gif_diff_fuzz", "prefix-128.gif", prefixed);
}

// ---- parameter bytes ----

void Push16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

// fax_diff_fuzz reads: coding, flags (fill order, photometric, raw strips, wide page), width - 1,
// height - 1 and rows per strip - 1 (two bytes each, taken modulo their range), then run lengths
// or raw strip bytes.
void FaxSeeds() {
    using qor::test::Bilevel;
    for (std::uint8_t coding = 0; coding < 4; ++coding) {
        for (std::uint8_t flags : {0, 3, 8, 9}) {
            const std::uint32_t width = flags & 8 ? 1728 : 61, height = 12,
                                rows = flags & 1 ? 5 : 12;
            Bytes coded = {coding, flags};
            Push16(coded, width - 1);
            Push16(coded, height - 1);
            Push16(coded, rows - 1);
            Bytes runs;
            for (std::uint32_t i = 0; i < 400; ++i) {
                runs.push_back(static_cast<std::uint8_t>(i % 9 == 0 ? 200 + i % 50 : (i * 7) % 23));
            }
            Bytes page = coded;
            page.insert(page.end(), runs.begin(), runs.end());
            const std::string name = "c" + std::to_string(coding) + "-f" + std::to_string(flags);
            Save("fax_diff_fuzz", name + "-coded", page);

            // A page coded by libtiff, its strips fed back as raw strips (flag 4).
            Bilevel bl{width, height, std::vector<std::uint8_t>(std::size_t{width} * height, 1)};
            for (std::size_t i = 0; i < bl.white.size(); ++i)
                bl.white[i] = (i / 7 + i / width) % 5 != 0;
            qor::test::FaxFile how;
            const std::uint16_t compressions[4] = {2, 3, 3, 4};
            how.compression = compressions[coding];
            how.t4Options = coding == 2 ? 4 : 0;
            how.fillOrder = flags & 1 ? 2 : 1;
            how.photometric = flags & 2 ? 1 : 0;
            how.rowsPerStrip = rows;
            const fs::path tmp = gOut / "seed.tif";
            if (!qor::test::WriteWithLibtiff(tmp.string(), bl, how)) continue;
            Bytes raw = {coding, static_cast<std::uint8_t>(flags | 4)};
            Push16(raw, width - 1);
            Push16(raw, height - 1);
            Push16(raw, rows - 1);
            TIFF* t = TIFFOpen(tmp.c_str(), "r");
            for (std::uint32_t strip = 0; t != nullptr && strip < TIFFNumberOfStrips(t); ++strip) {
                Bytes data(static_cast<std::size_t>(TIFFRawStripSize64(t, strip)));
                const tmsize_t n = TIFFReadRawStrip(t, strip, data.data(), tmsize_t(data.size()));
                if (n > 0) raw.insert(raw.end(), data.begin(), data.begin() + n);
            }
            if (t != nullptr) TIFFClose(t);
            fs::remove(tmp);
            Save("fax_diff_fuzz", name + "-raw", raw);
        }
    }
}

// gif_roundtrip_fuzz reads: depth choice, flags (interlace, transparency option, no index),
// transparent index, width - 1 and height - 1 (two bytes each), the palette, then pixels.
void RoundTripSeeds() {
    const std::uint8_t depths[3] = {0, 1, 2};
    int k = 0;
    for (std::uint8_t depth : depths) {
        for (std::uint8_t flags : {0, 1, 2, 5, 0x81}) {
            Bytes b = {depth, flags, static_cast<std::uint8_t>(k * 13)};
            Push16(b, std::uint32_t(k * 37 % 300));
            Push16(b, std::uint32_t(k * 53 % 300));
            for (int i = 0; i < 3 * 256; ++i) b.push_back(static_cast<std::uint8_t>(i * 7 + k));
            for (int i = 0; i < 300; ++i)
                b.push_back(static_cast<std::uint8_t>(i % 17 < 9 ? k : i));
            Save("gif_roundtrip_fuzz", "d" + std::to_string(depth) + "-f" + std::to_string(flags),
                 b);
            ++k;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
        return 2;
    }
    gOut = argv[1];
    fs::create_directories(gOut);
    TIFFSetWarningHandler(qor::test::QuietLibtiff);
    TIFFSetErrorHandler(qor::test::QuietLibtiff);
    TiffSeeds();
    GifSeeds();
    FaxSeeds();
    RoundTripSeeds();
    return 0;
}
