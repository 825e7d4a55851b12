// Fax cases: one A4 text page at 300 dpi (2480 x 3508) drawn of glyph-like strokes, and the real
// pages of AddRealFaxCases, coded by libtiff's own encoders as Modified Huffman, Group 3
// one-dimensional data with fill bits, Group 3 two-dimensional data with fill bits (read
// extended) and Group 4, in one strip.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>

#include "bench.h"

namespace qor::bench {
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

// Writes the page, `pages` times, in strips of `rowsPerStrip` rows (0: one strip).
void WriteFaxPage(const std::string& path, const std::vector<std::uint8_t>& page,
                  std::uint16_t compression, std::uint32_t t4Options, std::uint32_t width = kWidth,
                  std::uint32_t height = kHeight, int pages = 1, std::uint32_t rowsPerStrip = 0) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) throw std::runtime_error("cannot create the benchmark TIFF");
    for (int p = 0; p < pages; ++p) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
        if (compression == COMPRESSION_CCITTFAX3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, t4Options);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip != 0 ? rowsPerStrip : height);
        const std::uint32_t rowBytes = (width + 7) / 8;
        std::vector<std::uint8_t> line(rowBytes);
        for (std::uint32_t y = 0; y < height; ++y) {
            std::copy(page.begin() + std::ptrdiff_t{y} * rowBytes,
                      page.begin() + std::ptrdiff_t{y + 1} * rowBytes, line.begin());
            if (TIFFWriteScanline(t, line.data(), y, 0) != 1) {
                throw std::runtime_error("cannot write the benchmark TIFF");
            }
        }
        if (pages > 1 && TIFFWriteDirectory(t) != 1) {
            throw std::runtime_error("cannot write the benchmark TIFF");
        }
    }
    TIFFClose(t);
}

// The text page tiled to `width` x `height` (a multiple of 8 wide).
std::vector<std::uint8_t> TiledPage(const std::vector<std::uint8_t>& page, std::uint32_t width,
                                    std::uint32_t height) {
    const std::size_t pageRow = (kWidth + 7) / 8, row = width / 8;
    std::vector<std::uint8_t> bits(row * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* from = &page[std::size_t{y % kHeight} * pageRow];
        for (std::size_t x = 0; x < row; x += pageRow) {
            std::copy_n(from, std::min(pageRow, row - x), &bits[y * row + x]);
        }
    }
    return bits;
}

// A page of 1-bit rows, 1 = black, as the fax coders take them.
struct Bilevel {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> bits;
};

// A binary PBM (P4: rows of whole bytes, 1 = black), as bench/real_pages.py writes them.
Bilevel ReadPbm(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    Bilevel page;
    if (!f || std::fscanf(f.get(), "P4 %u %u", &page.width, &page.height) != 2 ||
        std::fgetc(f.get()) == EOF) {
        throw std::runtime_error("cannot read " + path);
    }
    page.bits.resize(std::size_t{(page.width + 7) / 8} * page.height);
    if (std::fread(page.bits.data(), 1, page.bits.size(), f.get()) != page.bits.size()) {
        throw std::runtime_error("short " + path);
    }
    return page;
}

// The first page of a bilevel TIFF as libtiff decodes it, 1 = black.
Bilevel ReadBilevelTiff(const std::string& path) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) throw std::runtime_error("cannot open " + path);
    Bilevel page;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    const std::size_t rowBytes = (page.width + 7) / 8;
    page.bits.resize(rowBytes * page.height);
    for (std::uint32_t y = 0; y < page.height; ++y) {
        std::uint8_t* row = &page.bits[y * rowBytes];
        if (TIFFReadScanline(t, row, y, 0) != 1) {
            TIFFClose(t);
            throw std::runtime_error("cannot decode " + path);
        }
        if (photometric == PHOTOMETRIC_MINISBLACK) {
            for (std::size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
        }
    }
    TIFFClose(t);
    return page;
}

}  // namespace

// Fax pages that nobody drew for the benchmark, each in every fax coding that libtiff writes: a
// scanned form (libtiff's testfax4.tiff, from the shared corpora) and letters set in a TrueType
// font at fax and at 300 dpi, clean and with scan speckle, and a bitmap font enlarged twice
// (bench/real_pages.py). Real text has short runs, many changes per row and pass modes around
// the glyphs' edges, which the drawn page has few of.
void AddRealFaxCases(std::vector<BenchCase>* cases) {
    struct Source {
        const char* name;
        std::function<Bilevel()> load;
    };
    std::vector<Source> sources;
    if (const std::string form = CorporaFile("libtiff/testfax4.tiff"); !form.empty()) {
        sources.push_back({"scanned form (testfax4)", [form] { return ReadBilevelTiff(form); }});
    }
    for (const char* name : {"letter-204", "letter-204-speckle", "letter-300", "bitmap-font-300"}) {
        sources.push_back({name, [name] { return ReadPbm(RealPagesDir() + "/" + name + ".pbm"); }});
    }
    struct Coding {
        const char* name;
        std::uint16_t compression;
        std::uint32_t t4Options;
        bool extended;
    };
    const Coding codings[] = {
        {"MH", COMPRESSION_CCITTRLE, 0, false},
        {"Group 3", COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS, false},
        {"Group 3 2-D (extended)", COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS,
         true},
        {"Group 4", COMPRESSION_CCITTFAX4, 0, false},
    };
    for (const Source& source : sources) {
        auto page = std::make_shared<Bilevel>();
        for (const Coding& coding : codings) {
            auto file = std::make_shared<TempFile>(".tif");
            auto prepare = [page, file, coding, load = source.load] {
                if (page->bits.empty()) *page = load();
                WriteFaxPage(file->path(), page->bits, coding.compression, coding.t4Options,
                             page->width, page->height);
            };
            cases->push_back({std::string("real page: ") + source.name + ", " + coding.name,
                              "libtiff TIFFReadEncodedStrip",
                              [file, coding](std::uint64_t* delivered) {
                                  return coding.extended
                                             ? ReadExtendedWithQorimg(file->path(), delivered)
                                             : ReadTiffWithQorimg(file->path(), delivered);
                              },
                              [file](std::uint64_t*) { return ReadTiffWithLibtiff(file->path()); },
                              2.0, true, prepare});
        }
    }
}

void AddFaxCases(std::vector<BenchCase>* cases) {
    auto page = std::make_shared<std::vector<std::uint8_t>>();
    struct Kind {
        const char* name;
        std::uint16_t compression;
        std::uint32_t t4Options;
        bool extended = false;
    };
    const Kind kinds[] = {
        {"A4 300-dpi text page, Modified Huffman", COMPRESSION_CCITTRLE, 0},
        {"A4 300-dpi text page, Group 3", COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS},
        {"A4 300-dpi text page, Group 3 two-dimensional (extended)", COMPRESSION_CCITTFAX3,
         GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, true},
        {"A4 300-dpi text page, Group 4", COMPRESSION_CCITTFAX4, 0},
    };
    for (const Kind& kind : kinds) {
        auto file = std::make_shared<TempFile>(".tif");
        auto prepare = [page, file, kind] {
            if (page->empty()) *page = TextPage();
            WriteFaxPage(file->path(), *page, kind.compression, kind.t4Options);
        };
        cases->push_back({kind.name, "libtiff TIFFReadEncodedStrip",
                          [file, kind](std::uint64_t* delivered) {
                              return kind.extended ? ReadExtendedWithQorimg(file->path(), delivered)
                                                   : ReadTiffWithQorimg(file->path(), delivered);
                          },
                          [file](std::uint64_t*) { return ReadTiffWithLibtiff(file->path()); }, 2.0,
                          true, prepare});
    }
    // 16 Group 4 pages on several threads: pages of one strip, as fax files store them, and of
    // 256-row strips.
    for (std::uint32_t rows : {0u, 256u}) {
        auto file = std::make_shared<TempFile>(".tif");
        AddThreadCases(
            rows == 0 ? "16 A4 Group 4 pages of one strip"
                      : "16 A4 Group 4 pages of 256-row strips",
            file,
            [page, file, rows] {
                if (page->empty()) *page = TextPage();
                WriteFaxPage(file->path(), *page, COMPRESSION_CCITTFAX4, 0, kWidth, kHeight, 16,
                             rows);
            },
            cases);
    }
}

void AddFaxSweepCases(std::vector<BenchCase>* cases) {
    auto page = std::make_shared<std::vector<std::uint8_t>>();
    for (double megapixels : kSweepMegapixels) {
        // Pages of the A4 page's shape, tiled from it, in one strip.
        const auto width = static_cast<std::uint32_t>(
            std::lround(std::sqrt(megapixels * 1e6 * kWidth / kHeight) / 8) * 8);
        const auto height = static_cast<std::uint32_t>(std::lround(megapixels * 1e6 / width));
        auto file = std::make_shared<TempFile>(".tif");
        BenchCase c{"TIFF Group 4, " + std::to_string(width) + "x" + std::to_string(height),
                    "",
                    [file](std::uint64_t* delivered) {
                        return ReadTiffWithQorimg(file->path(), delivered);
                    },
                    nullptr,
                    0,
                    true,
                    [page, file, width, height] {
                        if (page->empty()) *page = TextPage();
                        WriteFaxPage(file->path(), TiledPage(*page, width, height),
                                     COMPRESSION_CCITTFAX4, 0, width, height);
                    }};
        c.sweep = "TIFF Group 4";
        c.megapixels = double(width) * height / 1e6;
        cases->push_back(std::move(c));
    }
}

}  // namespace qor::bench
