// One budget for the whole read: small files that would make a read take far more memory or work
// than they hold, each read under a memory limit. Every block the read takes counts (scratch
// images, saved areas, turned pages, codec blocks), so the blocks live at once never pass the
// limit by more than a small constant, and the status is the one the case calls for.
#include <cstdint>
#include <cstdio>  // jpeglib.h names FILE without including it
#include <functional>

#include "gif_builder.h"
#include "platform/meter.h"
#include "qorimg/qorimg.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
#include <libdeflate.h>
#endif
#if QORIMG_HAVE_LIBJPEG && __has_include(<jpeglib.h>)
#include <jpeglib.h>
#endif

namespace qor::test {
namespace {

namespace pt = plat::testing;
using E = TiffBuilder;

// What the read may hold beyond its limit: the request, the options and the test's own blocks.
constexpr std::uint64_t kSlack = 64 * 1024;

struct Outcome {
    std::int16_t status = -1;
    std::uint64_t peak = 0;  // the most the process's blocks held at once, beyond those before
    Image first;
};

Outcome ReadUnder(const std::string& path, bool gif, std::uint32_t pageCount, std::uint64_t limit) {
    QorReadOptions o{};
    o.size = sizeof o;
    o.flags = QOR_READ_EXTENDED;
    o.pageCount = pageCount;
    o.memoryLimit = limit;
    o.threads = 1;
    pt::ResetPeak();
    const std::uint64_t before = pt::LiveBytes();
    std::uint32_t dib = 0;
    std::int16_t transparent = -1;
    Outcome out;
    out.status = gif ? QorReadGIFEx(nullptr, 0, path.c_str(), &o, &dib, &transparent)
                     : QorReadTIFEx(nullptr, 0, path.c_str(), &o, &dib);
    out.peak = pt::PeakBytes() - before;
    if (out.status == 0) {
        out.first = ReadDib(dib);
        QorReleaseDocument(dib);
    }
    return out;
}

// A `width` x `height` 8-bit grey page of one tile of `tileSide`, whose bytes are `tile`.
Bytes OneTile(std::uint32_t width, std::uint32_t height, std::uint32_t tileSide,
              const Bytes& tile) {
    TiffBuilder b(false);
    const std::uint32_t at = b.Append(tile);
    b.AddIfd({E::Long(256, {width}), E::Long(257, {height}), E::Short(258, {8}), E::Short(259, {1}),
              E::Short(262, {1}), E::Short(277, {1}), E::Long(322, {tileSide}),
              E::Long(323, {tileSide}), E::Long(324, {at}),
              E::Long(325, {static_cast<std::uint32_t>(tile.size())})});
    return b.bytes();
}

// A `side` x `side` LZW page of Clear and EndOfInformation only, `bits` 1 or 8, turned by
// `orientation`.
Bytes BlankLzwPage(std::uint32_t side, std::uint32_t bits, std::uint32_t orientation) {
    TiffBuilder b(false);
    const std::uint32_t at = b.Append(Bytes{0x80, 0x40, 0x40});
    b.AddIfd({E::Long(256, {side}), E::Long(257, {side}), E::Short(258, {bits}), E::Short(259, {5}),
              E::Short(262, {1}), E::Long(273, {at}), E::Short(274, {orientation}),
              E::Short(277, {1}), E::Long(279, {3})});
    return b.bytes();
}

// A square GIF screen of `side` with two full-screen frames, the first transparent and restored
// to what was before it (disposal 3).
Bytes RestoredFrames(std::uint16_t side) {
    Bytes out;
    gifb::Header(out, side, side, 0x80);
    gifb::ColorTable(out, 2);
    for (int frame = 0; frame < 2; ++frame) {
        gifb::GraphicControl(out, frame == 0 ? 0x0D : 0x00, 1);
        gifb::ImageDescriptor(out, side, side, 0);
        const gifb::CodeStream cs = gifb::LiteralCodes(2, {0, 1, 0});
        gifb::ImageData(out, 2, cs.bytes());
    }
    gifb::Trailer(out);
    return out;
}

// A 1 x 1 screen with one 32767 x 32767 frame of three pixels.
Bytes HugeFrameOnTinyScreen() {
    Bytes out;
    gifb::Header(out, 1, 1, 0x80);
    gifb::ColorTable(out, 2);
    gifb::ImageDescriptor(out, 32767, 32767, 0);
    const gifb::CodeStream cs = gifb::LiteralCodes(2, {1, 1, 1});
    gifb::ImageData(out, 2, cs.bytes());
    gifb::Trailer(out);
    return out;
}

#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
// A 16-pixel-wide grey page of `rows` one-row Deflate strips that state no byte count (or no
// StripByteCounts at all); row y holds y + x.
Bytes UncountedDeflateStrips(std::uint32_t rows, bool countsTag) {
    TiffBuilder b(false);
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t y = 0; y < rows; ++y) {
        Bytes row(16), stream(64);
        for (std::uint32_t x = 0; x < 16; ++x) row[x] = static_cast<std::uint8_t>(y + x);
        stream.resize(
            libdeflate_zlib_compress(c, row.data(), row.size(), stream.data(), stream.size()));
        offsets.push_back(b.Append(stream));
    }
    libdeflate_free_compressor(c);
    const std::uint32_t array = b.AppendLongs(offsets);
    std::vector<E::Entry> entries = {
        E::Long(256, {16}), E::Long(257, {rows}),        E::Short(258, {8}), E::Short(259, {8}),
        E::Short(262, {1}), E::Raw(273, 4, rows, array), E::Short(277, {1}), E::Long(278, {1})};
    if (countsTag)
        entries.push_back(E::Raw(279, 4, rows, b.AppendLongs(std::vector<std::uint32_t>(rows))));
    b.AddIfd(entries);
    return b.bytes();
}
#endif

#if QORIMG_HAVE_LIBJPEG && __has_include(<jpeglib.h>)
// A 16 x 16 grey progressive JPEG whose last scan is repeated `repeats` more times: each repeat
// is a scan that the library walks over every block again.
Bytes ProgressiveJpeg(int repeats) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &data, &size);
    c.image_width = 16;
    c.image_height = 16;
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::uint8_t row[16];
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) row[x] = static_cast<std::uint8_t>(16 * x + y);
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes jpeg(data, data + size);
    jpeg_destroy_compress(&c);
    std::free(data);
    // The last scan runs from its SOS marker to the EOI at the end.
    std::size_t last = 0;
    for (std::size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) last = i;
    }
    const Bytes scan(jpeg.begin() + static_cast<std::ptrdiff_t>(last), jpeg.end() - 2);
    for (int k = 0; k < repeats; ++k) {
        jpeg.insert(jpeg.end() - 2, scan.begin(), scan.end());
    }
    return jpeg;
}

// A 128 x 128 page of 64 tiles of 16 x 16, every one the same JPEG stream, with JPEGTables.
Bytes JpegTiles(const Bytes& jpeg) {
    TiffBuilder b(false);
    const std::uint32_t at = b.Append(jpeg);
    const std::uint32_t tables = b.Append(Bytes{0xFF, 0xD8, 0xFF, 0xD9});
    const auto size = static_cast<std::uint32_t>(jpeg.size());
    b.AddIfd({E::Long(256, {128}), E::Long(257, {128}), E::Short(258, {8}), E::Short(259, {7}),
              E::Short(262, {1}), E::Short(277, {1}), E::Long(322, {16}), E::Long(323, {16}),
              E::Raw(324, 4, 64, b.AppendLongs(std::vector<std::uint32_t>(64, at))),
              E::Raw(325, 4, 64, b.AppendLongs(std::vector<std::uint32_t>(64, size))),
              E::Raw(347, 7, 4, tables)});
    return b.bytes();
}

// The stream's frame header made to claim a `side` x `side` image.
Bytes Claiming(Bytes jpeg, std::uint16_t side) {
    for (std::size_t i = 0; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC2) {
            for (std::size_t k : {i + 5, i + 7}) {
                jpeg[k] = static_cast<std::uint8_t>(side >> 8);
                jpeg[k + 1] = static_cast<std::uint8_t>(side);
            }
            break;
        }
    }
    return jpeg;
}

Bytes JpegStripPage(const Bytes& jpeg, std::uint32_t side = 16) {
    TiffBuilder b(false);
    const std::uint32_t at = b.Append(jpeg);
    b.AddIfd({E::Long(256, {side}), E::Long(257, {side}), E::Short(258, {8}), E::Short(259, {7}),
              E::Short(262, {1}), E::Long(273, {at}), E::Short(277, {1}), E::Long(278, {side}),
              E::Long(279, {static_cast<std::uint32_t>(jpeg.size())})});
    return b.bytes();
}
#endif

// A 5 x 12 page of grey and unassociated alpha, uncompressed, whose two strips of four rows
// leave the last four rows without data; grey is 10 y + x, alpha 200 + x.
Bytes GreyAlphaTwoStrips(std::uint32_t orientation) {
    TiffBuilder b(false);
    Bytes rows;
    for (std::uint32_t y = 0; y < 8; ++y) {
        for (std::uint32_t x = 0; x < 5; ++x) {
            rows.push_back(static_cast<std::uint8_t>(10 * y + x));
            rows.push_back(static_cast<std::uint8_t>(200 + x));
        }
    }
    const std::uint32_t at = b.Append(rows);
    b.AddIfd({E::Long(256, {5}), E::Long(257, {12}), E::Short(258, {8, 8}), E::Short(259, {1}),
              E::Short(262, {1}), E::Long(273, {at, at + 40}), E::Short(274, {orientation}),
              E::Short(277, {2}), E::Long(278, {4}), E::Long(279, {40, 40}), E::Short(338, {2})});
    return b.bytes();
}

class ReadBudgetTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
};

TEST_F(ReadBudgetTest, HostileFilesStayWithinTheLimitOrAreRefused) {
    Bytes tile256(256 * 256);
    for (std::size_t i = 0; i < tile256.size(); ++i)
        tile256[i] = static_cast<std::uint8_t>(i % 251);
    const struct {
        const char* name;
        std::function<Bytes()> make;
        bool gif;
        std::uint32_t pageCount;
        std::uint64_t limit;  // 0: the default budget
        std::int16_t status;
        std::uint64_t most;  // the blocks' peak at most
    } cases[] = {
        {"a 46000-pixel tile on a 16 x 16 page is too large",
         [] { return OneTile(16, 16, 46000, Bytes(64, 1)); }, false, 0, 4096, QOR_TIFF_TOO_LARGE,
         4096 + kSlack},
        {"a 256 x 256 tile on a 16 x 16 page is read",
         [&] { return OneTile(16, 16, 256, tile256); }, false, 0, 1u << 20, 0, (1u << 20) + kSlack},
        {"a 1024 x 1024 tile's scratch image counts against 64 KB",
         [] { return OneTile(16, 16, 1024, Bytes(1024 * 1024, 7)); }, false, 0, 64 * 1024,
         QOR_NO_MEMORY, 64 * 1024 + kSlack},
        {"a blank 4096 x 4096 page turned needs two pages under a limit of one and a half",
         [] { return BlankLzwPage(4096, 8, 6); }, false, 0, 24u << 20, QOR_NO_MEMORY,
         (24u << 20) + kSlack},
        {"a blank 4096 x 4096 page turned within two pages' limit",
         [] { return BlankLzwPage(4096, 8, 6); }, false, 0, 34u << 20, 0, (34u << 20) + kSlack},
        {"a blank 1-bit 8192 x 8192 page turned under 12 MB",
         [] { return BlankLzwPage(8192, 1, 8); }, false, 0, 12u << 20, QOR_NO_MEMORY,
         (12u << 20) + kSlack},
        {"a first frame alone saves no area to restore", [] { return RestoredFrames(1024); }, true,
         1, 2200u << 10, 0, (2200u << 10) + kSlack},
        {"the area to restore counts with the layers", [] { return RestoredFrames(1024); }, true, 0,
         2200u << 10, QOR_NO_MEMORY, (2200u << 10) + kSlack},
        {"a 32767 x 32767 frame on a 1 x 1 screen under 4 KB", HugeFrameOnTinyScreen, true, 0, 4096,
         QOR_NO_MEMORY, 4096 + kSlack},
#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
        // Each strip is read up to the next one: the DIB, the strip offsets sorted and the
        // directory windows, never
        // the rest of the file for each.
        {"16384 Deflate strips of byte count 0", [] { return UncountedDeflateStrips(16384, true); },
         false, 0, 0, 0, 16 * 16384 + 1024 + 4 * 16384 + 2 * kSlack},
        {"16384 Deflate strips without byte counts",
         [] { return UncountedDeflateStrips(16384, false); }, false, 0, 0, 0,
         16 * 16384 + 1024 + 4 * 16384 + 2 * kSlack},
#endif
#if QORIMG_HAVE_LIBJPEG && __has_include(<jpeglib.h>)
        {"a progressive JPEG of 20 more scans", [] { return JpegStripPage(ProgressiveJpeg(20)); },
         false, 0, 1u << 20, 0, (1u << 20) + kSlack},
        // Stopped as damaged data: the page is delivered without the strip's rows.
        {"a progressive JPEG of 150 more scans", [] { return JpegStripPage(ProgressiveJpeg(150)); },
         false, 0, 1u << 20, 0, (1u << 20) + kSlack},
        // Its first scan would need a bit a block: damaged data, the page delivered blank, and
        // no coefficients taken for the whole image.
        {"a 4096 x 4096 progressive JPEG of a few hundred bytes",
         [] { return JpegStripPage(Claiming(ProgressiveJpeg(2), 4096), 4096); }, false, 0,
         20u << 20, 0, (16u << 20) + kSlack},
        {"a progressive JPEG's coefficients count against 8 KB",
         [] { return JpegStripPage(ProgressiveJpeg(0)); }, false, 0, 8192, QOR_NO_MEMORY,
         8192 + kSlack},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.Path(c.gif ? "hostile.gif" : "hostile.tif");
        WriteFile(path, c.make());
        const Outcome got = ReadUnder(path, c.gif, c.pageCount, c.limit);
        EXPECT_EQ(got.status, c.status);
        EXPECT_LE(got.peak, c.most);
        // The read's own count of all its memory, libraries' included, holds to the limit.
        if (c.limit != 0) {
            EXPECT_LE(pt::ReadPeak(), c.limit);
        }
    }
}

// What a read delivers does not depend on the shortcuts the budget takes: a tile larger than
// its page is cropped to the page, strips without byte counts read as their rows.
TEST_F(ReadBudgetTest, ShortcutsKeepThePixels) {
    Bytes tile(256 * 256);
    for (std::size_t i = 0; i < tile.size(); ++i) tile[i] = static_cast<std::uint8_t>(i % 251);
    const std::string path = dir_.Path("tile.tif");
    WriteFile(path, OneTile(16, 16, 256, tile));
    const Outcome cropped = ReadUnder(path, false, 0, 0);
    ASSERT_EQ(cropped.status, 0);
    ASSERT_EQ(cropped.first.width, 16);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) EXPECT_EQ(cropped.first.At(x, y), tile[256 * y + x] % 251u);
    }
    // Rows without data are blank after the conversions and turns, which do not visit them.
    QorReadOptions classic{};
    classic.size = sizeof classic;
    WriteFile(path, GreyAlphaTwoStrips(1));
    std::uint32_t dib = 0;
    ASSERT_EQ(QorReadTIFEx(nullptr, 0, path.c_str(), &classic, &dib), 0);
    const Image grey = ReadDib(dib);
    QorReleaseDocument(dib);
    ASSERT_EQ(grey.bits, 8);
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(grey.At(x, y), y < 8 ? 10u * y + x : 0u);
    }
    // Orientation 6: the stored rows run down the right edge, top to bottom.
    WriteFile(path, GreyAlphaTwoStrips(6));
    const Outcome turned = ReadUnder(path, false, 0, 0);
    ASSERT_EQ(turned.status, 0);
    ASSERT_EQ(turned.first.width, 12);
    ASSERT_EQ(turned.first.height, 5);
    for (std::uint32_t y = 0; y < 5; ++y) {
        for (std::uint32_t x = 0; x < 12; ++x) {
            const std::uint32_t sy = 11 - x, g = 10 * sy + y;
            EXPECT_EQ(turned.first.At(static_cast<int>(x), static_cast<int>(y)),
                      sy < 8 ? (200 + y) << 24 | g << 16 | g << 8 | g : 0u)
                << x << "," << y;
        }
    }
#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
    WriteFile(path, UncountedDeflateStrips(300, false));
    const Outcome rows = ReadUnder(path, false, 0, 0);
    ASSERT_EQ(rows.status, 0);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 16; ++x) EXPECT_EQ(rows.first.At(x, y), (y + x) % 256u);
    }
#endif
}

#if QORIMG_HAVE_LIBJPEG && __has_include(<jpeglib.h>)
// The tiles of a page share one decoder: its tables and blocks are taken once, not per tile.
TEST_F(ReadBudgetTest, TheTilesOfAPageShareTheirDecoder) {
    const std::string path = dir_.Path("tiles.tif");
    WriteFile(path, JpegTiles(ProgressiveJpeg(0)));
    pt::Reset();
    const Outcome got = ReadUnder(path, false, 0, 0);
    ASSERT_EQ(got.status, 0);
    EXPECT_LT(pt::CallCounts().allocs, 16u);
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) ASSERT_EQ(got.first.At(x, y), got.first.At(x % 16, y % 16));
    }
}
#endif

}  // namespace
}  // namespace qor::test
