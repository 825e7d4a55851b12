// Hostile files, made here: small files that claim far more work or memory than they hold, or
// that would pass damage off as a picture. Every read ends with its status and layers, leaves
// nothing behind, and takes at most a few times as long as a normal read of a like file.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

#include "gif_builder.h"
#include "qorimg/qorimg.h"
#include "support/test_util.h"
#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
#include <libdeflate.h>
#endif
#include "support/tiff_builder.h"

namespace qor::test {
namespace {

namespace pt = plat::testing;
using E = TiffBuilder;

struct Outcome {
    std::int16_t status = -1;
    std::uint32_t layers = 0;
    double seconds = 0;
    std::uint64_t peakBytes = 0;  // the most the read's blocks held at once
    Image first;
};

// Reads a file through the entry points (a TIFF extended when asked); `image`: keep the first
// layer's pixels.
Outcome ReadThrough(const std::string& path, bool tiff, bool image = false, bool extended = false) {
    Outcome o;
    std::uint32_t dib = 0;
    std::int16_t transparent = 0;
    pt::ResetPeak();
    const std::uint64_t before = pt::LiveBytes();
    const auto start = std::chrono::steady_clock::now();
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = extended ? QOR_READ_EXTENDED : 0;
    o.status = tiff ? QorReadTIFEx(nullptr, 0, path.c_str(), &options, &dib)
                    : QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.peakBytes = pt::PeakBytes() - before;
    if (o.status == 0) {
        o.layers = QorDocumentLayers(dib, nullptr, 0);
        if (image) o.first = ReadDib(dib);
        QorReleaseDocument(dib);
    }
    return o;
}

// An 8-bit grey page in one uncompressed strip, pixel i of value 7 i (mod 256).
Bytes GreyTiff(std::uint32_t width, std::uint32_t height) {
    TiffPageSpec p;
    p.width = width;
    p.height = height;
    p.strips = {Bytes(std::size_t{width} * height)};
    for (std::size_t i = 0; i < p.strips[0].size(); ++i)
        p.strips[0][i] = static_cast<std::uint8_t>(i * 7);
    return MakeTiff({p});
}

// A 1 x `height` page of one-row strips whose StripOffsets array holds `count` values. Stored:
// the first `height` values point at the rows. LZW: every value points at the same strip, which
// ends before it delivers a row.
Bytes OneRowStrips(std::uint32_t height, std::uint32_t count, bool lzw = false) {
    TiffBuilder b(false);
    Bytes rows(height);
    for (std::uint32_t y = 0; y < height; ++y) rows[y] = static_cast<std::uint8_t>(y * 7);
    // ClearCode and EndOfInformation in 9 bits each.
    const std::uint32_t data = b.Append(lzw ? Bytes{0x80, 0x40, 0x40} : rows);
    std::vector<std::uint32_t> offsets(count);
    for (std::uint32_t j = 0; j < count; ++j) offsets[j] = lzw ? data : data + j % height;
    const std::uint32_t array = b.AppendLongs(offsets);
    b.AddIfd({E::Long(256, {1}), E::Long(257, {height}), E::Short(258, {8}),
              E::Short(259, {lzw ? 5u : 1u}), E::Short(262, {1}), E::Raw(273, 4, count, array),
              E::Short(277, {1}), E::Long(278, {1})});
    return b.bytes();
}

enum class Fill { kGrey, kFax, kLzwBlank };

// `pages` pages of `side` x `side` pixels sharing one strip. Fax: a Group 4 end-of-block code,
// which paints the whole page white; LZW: ClearCode and EndOfInformation, which deliver no row;
// otherwise 8-bit grey, uncompressed.
Bytes ManyPages(std::uint32_t pages, std::uint32_t side, Fill fill) {
    TiffBuilder b(false);
    const bool fax = fill == Fill::kFax;
    const Bytes strip = fax                       ? Bytes{0x00, 0x10, 0x01}
                        : fill == Fill::kLzwBlank ? Bytes{0x80, 0x40, 0x40}
                                                  : Bytes(std::size_t{side} * side, 0x33);
    const std::uint32_t at = b.Append(strip);
    const std::uint32_t compression = fax ? 4 : fill == Fill::kLzwBlank ? 5 : 1;
    for (std::uint32_t i = 0; i < pages; ++i) {
        b.AddIfd({E::Long(256, {side}), E::Long(257, {side}), E::Short(258, {fax ? 1u : 8u}),
                  E::Short(259, {compression}), E::Short(262, {0}), E::Long(273, {at}),
                  E::Short(277, {1})});
    }
    return b.bytes();
}

// `count` directories of 65535 BitsPerSample entries, each with its three values in an array of
// its own after the directory.
Bytes DirectoryStorm(std::uint32_t count) {
    TiffBuilder b(false);
    const std::vector<TiffBuilder::Entry> entries(65535, E::Long(258, {8, 8, 8}));
    for (std::uint32_t i = 0; i < count; ++i) b.AddIfd(entries);
    return b.bytes();
}

// One page of the given samples and photometric interpretation (absent when negative), with
// StripOffsets written as `count` values at `offset`.
Bytes Page(std::vector<std::uint32_t> bits, int photometric, std::uint32_t width = 4,
           std::uint32_t height = 4, std::uint32_t count = 1, std::uint32_t offset = 0) {
    TiffPageSpec p;
    p.width = width;
    p.height = height;
    p.bits = std::move(bits);
    p.photometric = photometric;
    const bool usual = offset == 0 && count == 1;
    p.strips = {Bytes(usual ? std::size_t{width} * height * p.bits.size() : 16, 0x77)};
    if (!usual) p.extra = {E::Raw(273, 4, count, offset != 0 ? offset : 8)};
    return MakeTiff({p});
}

// A GIF screen of 32767 x 32767 whose image data ends right after its code size byte: 792 bytes.
// A 16000 x 16000 grey page of 16 x 16 tiles that lists `listed` of its million tiles, each a
// tile of grey; with `pastEnd` the last one lies past the end of the file.
Bytes TiledPage(std::uint32_t listed, bool pastEnd) {
    TiffBuilder b(false);
    std::vector<std::uint32_t> offsets, counts;
    for (std::uint32_t i = 0; i < listed; ++i) {
        offsets.push_back(b.Append(Bytes(256, static_cast<std::uint8_t>(40 * i + 1))));
        counts.push_back(256);
    }
    if (pastEnd) offsets.back() = 0x7FFFFF00u;
    const std::uint32_t offsetsAt = listed > 1 ? b.AppendLongs(offsets) : offsets[0];
    const std::uint32_t countsAt = listed > 1 ? b.AppendLongs(counts) : counts[0];
    b.AddIfd({E::Long(256, {16000}), E::Long(257, {16000}), E::Short(258, {8}), E::Short(259, {1}),
              E::Short(262, {1}), E::Short(277, {1}), E::Long(322, {16}), E::Long(323, {16}),
              E::Raw(324, 4, listed, offsetsAt), E::Raw(325, 4, listed, countsAt)});
    return b.bytes();
}

#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
// A `side` x `side` RGB page in one Deflate strip that holds 3 MB of zero bytes: the whole page
// for a side of 1024, a few KB that claim 1.2 GB for a side of 20000.
Bytes DeflatePage(std::uint32_t side) {
    const Bytes zeros(3u << 20, 0);
    Bytes stream(zeros.size());
    libdeflate_compressor* c = libdeflate_alloc_compressor(12);
    stream.resize(
        libdeflate_zlib_compress(c, zeros.data(), zeros.size(), stream.data(), stream.size()));
    libdeflate_free_compressor(c);
    TiffBuilder b(false);
    const std::uint32_t at = b.Append(stream);
    b.AddIfd({E::Long(256, {side}), E::Long(257, {side}), E::Short(258, {8, 8, 8}),
              E::Short(259, {8}), E::Short(262, {2}), E::Long(273, {at}), E::Short(277, {3}),
              E::Long(279, {static_cast<std::uint32_t>(stream.size())})});
    return b.bytes();
}
#endif

Bytes GifWithoutPixels() {
    Bytes gif;
    gifb::Header(gif, 32767, 32767, 0xF7);
    gifb::ColorTable(gif, 256);
    gifb::ImageDescriptor(gif, 32767, 32767, 0);
    gif.push_back(8);
    return gif;
}

// A 1000 x 1000 GIF whose data stops after 2000 sub-blocks: at the end of the file, or at a block
// terminator that a second frame follows.
Bytes GifCutHalfway(bool secondFrame) {
    std::vector<std::uint8_t> pixels(1000 * 1000);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 251);
    const Bytes whole = gifb::SimpleGif(1000, 1000, pixels);
    Bytes gif(whole.begin(), whole.begin() + 792 + 256 * 2000);
    if (secondFrame) {
        gif.push_back(0);
        gifb::GraphicControl(gif, 1, 3);
        gifb::ImageDescriptor(gif, 1000, 1000, 0);
        gifb::ImageData(gif, 8, Bytes(255, 0x55));
        gifb::Trailer(gif);
    }
    return gif;
}

class HostileFilesTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
};

TEST_F(HostileFilesTest, EndQuicklyWithTheirStatusAndNothingLeft) {
    constexpr std::uint32_t kTall = 32767;
    struct Row {
        const char* name;
        bool tiff;
        std::function<Bytes()> make;
        std::int16_t status;
        std::uint32_t layers;
        // A like file of normal make: by default an 8-bit grey page of at least 1 MB.
        std::function<Bytes()> normal;
        bool sameImage = false;       // the hostile file's first layer is the normal one's
        std::uint64_t budget = 0;     // lowered read budget for the hostile read, 0: as shipped
        bool longName = false;        // read and write through a 523-byte name that, cut to 512
                                      // bytes, names the hostile file
        std::uint64_t untouched = 0;  // bytes of fresh blocks that the read may hold unwritten
        bool extended = false;        // an extended read
    } rows[] = {
        {"a GIF image of 32767 x 32767 without pixels",
         false,
         GifWithoutPixels,
         QOR_READ_FAILED,
         0,
         {}},
        {"a block terminator before the second frame", false, [] { return GifCutHalfway(true); }, 0,
         1, [] { return GifCutHalfway(false); }, true},
        {"a name longer than the record holds",
         false,
         [] { return GifCutHalfway(false); },
         QOR_BAD_REQUEST,
         0,
         {},
         false,
         0,
         true},
        // Only the strips that the rows need are visited.
        // Measured against the same page with one strip per row and no more strips than rows.
        {"a million one-pixel strips", true, [] { return OneRowStrips(kTall, 1000000); }, 0, 1,
         [] { return OneRowStrips(kTall, kTall); }, true},
        {"a million LZW strips that deliver no row", true,
         [] { return OneRowStrips(kTall, 1000000, true); }, 0, 1,
         [] { return OneRowStrips(kTall, kTall, true); }},
        {"no StripOffsets value", true, [] { return Page({8}, 1, 4, 4, 0); }, QOR_NOT_TIFF, 0, {}},
        {"2^31 StripOffsets values on a 1.6 GB RGBA page",
         true,
         [] {
             return Page({8, 8, 8, 8}, 2, 20000, 20000, 0x80000000u, 8);
         },
         QOR_NOT_TIFF,
         0,
         {}},
        {"a strip past the end of the file",
         true,
         [] { return Page({8}, 1, 4, 4, 1, 1 << 20); },
         QOR_READ_FAILED,
         0,
         {}},
        {"three 4-bit samples",
         true,
         [] {
             return Page({4, 4, 4}, 2);
         },
         QOR_TIFF_UNSUPPORTED,
         0,
         {}},
        {"four 1-bit samples",
         true,
         [] {
             return Page({1, 1, 1, 1}, 2);
         },
         QOR_TIFF_UNSUPPORTED,
         0,
         {}},
        {"a one-ink page", true, [] { return Page({8}, 5); }, QOR_TIFF_UNSUPPORTED, 0, {}},
        {"a CIELab page",
         true,
         [] {
             return Page({8, 8, 8}, 8);
         },
         QOR_TIFF_UNSUPPORTED,
         0,
         {}},
        // Rows without data are left as the fresh block has them, so the page costs what its
        // 126 bytes cost, and pages past the budget are refused before any work.
        {"an LZW page of 16384 x 16384 without a row",
         true,
         [] { return ManyPages(1, 16384, Fill::kLzwBlank); },
         0,
         1,
         {},
         false,
         0,
         false,
         16384ull * 16384},
        {"five LZW pages of 32767 x 32767 without a row",
         true,
         [] { return ManyPages(5, 32767, Fill::kLzwBlank); },
         QOR_NO_MEMORY,
         0,
         {},
         false,
         0,
         false,
         4ull << 30},
        // Values outside the entries are read a window at a time, not with a seek each.
        {"four directories of 65535 entries with values of their own", true,
         [] { return DirectoryStorm(4); }, QOR_NOT_TIFF, 0, [] { return GreyTiff(1024, 32767); }},
#if QORIMG_HAVE_LIBDEFLATE && __has_include(<libdeflate.h>)
        // A few KB of Deflate data make no more rows than their bytes can hold (3 MB here, read
        // as long as a page of those 3 MB): the working memory follows the data, not the 1.2 GB
        // page it claims, and the read ends where the data does; under a 64 MB budget the page
        // is refused first.
        {"a Deflate strip of a few KB that claims a 1.2 GB page", true,
         [] { return DeflatePage(20000); }, QOR_READ_FAILED, 0, [] { return DeflatePage(1024); },
         false, 0, false, 1300000000ull, true},
        {"the same under a 64 MB budget",
         true,
         [] { return DeflatePage(20000); },
         QOR_NO_MEMORY,
         0,
         {},
         false,
         64u << 20,
         false,
         0,
         true},
#endif
        // A tiled page visits the tiles it lists, not the million its size would hold; a tile
        // that lies past the end of the file ends the read.
        {"a million tiles of which one is listed",
         true,
         [] { return TiledPage(1, false); },
         0,
         1,
         {},
         false,
         0,
         false,
         256u << 20,
         true},
        {"a tile past the end of the file",
         true,
         [] { return TiledPage(2, true); },
         QOR_READ_FAILED,
         0,
         {},
         false,
         0,
         false,
         256u << 20,
         true},
        // 2000 pages of 2 MB each against a 16 MB budget: the read stops at the budget.
        {"pages that ask for more than the read's budget", true,
         [] { return ManyPages(2000, 4096, Fill::kFax); }, QOR_NO_MEMORY, 0,
         [] { return ManyPages(2000, 1, Fill::kGrey); }, false, 16u << 20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes file = row.make();
        const std::string path = dir_.Path("hostile");
        WriteFile(path, file);
        const Bytes like =
            row.normal ? row.normal()
                       : GreyTiff(1024, std::clamp<std::uint32_t>(file.size() / 1024, 1024, 32767));
        const std::string likePath = dir_.Path("like");
        WriteFile(likePath, like);
        const bool likeTiff = !row.normal || row.tiff;
        Outcome normal = ReadThrough(likePath, likeTiff, row.sameImage, row.extended);
        ASSERT_EQ(normal.status, 0);
        for (int i = 0; i < 2; ++i) {
            Outcome again = ReadThrough(likePath, likeTiff, false, row.extended);
            normal.seconds = std::min(normal.seconds, again.seconds);
        }
        std::string name = path;
        if (row.longName) {
            // Slashes pad the hostile file's name to 512 bytes; the whole name is 523.
            const std::string dir = dir_.dir().string();
            name = dir + std::string(512 - dir.size() - 7, '/') + "hostile" + "-longer.gif";
            ASSERT_EQ(name.size(), 523u);
            HGLOBAL dib = MakeDib(2, 2, 8, {0, 0xFFFFFF}, {0, 1, 1, 0});
            EXPECT_EQ(QorWriteGIF(nullptr, 0, name.c_str(), dib, 0, 0, 0), QOR_BAD_REQUEST);
            QorGlobalFree(dib);
            EXPECT_EQ(ReadFile(path), file);
        }
        pt::SetReadBudget(row.budget);
        Outcome o = ReadThrough(name, row.tiff, row.sameImage, row.extended);
        // Like the normal read, the best of three when the first was slow: a busy machine can
        // stall any single read of a millisecond.
        for (int i = 0; i < 2 && o.seconds >= 10 * normal.seconds + 1.0; ++i) {
            o.seconds =
                std::min(o.seconds, ReadThrough(name, row.tiff, false, row.extended).seconds);
        }
        pt::SetReadBudget(0);
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(o.layers, row.layers);
        if (row.sameImage) {
            EXPECT_EQ(o.first.pixels, normal.first.pixels);
        }
        // A guard against hangs, not a measure of speed: the faults it catches cost seconds where
        // a normal read takes milliseconds, so a second of slack keeps a loaded machine's stalls
        // out of it. A sanitizer's allocator writes its own records for every byte of a block, so
        // there a fresh block is not free.
#if defined(__SANITIZE_ADDRESS__)
        const bool timed = row.untouched == 0;
#else
        const bool timed = true;
#endif
        if (timed) {
            EXPECT_LT(o.seconds, 10 * normal.seconds + 1.0)
                << "a normal read took " << normal.seconds;
        }
        // Nor does it hold much more than the normal file, or the budget it was given.
        EXPECT_LT(o.peakBytes, std::max<std::uint64_t>(
                                   row.budget, 4 * normal.peakBytes + (4u << 20) + row.untouched))
            << "a normal read held " << normal.peakBytes;
        EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
    }
}

// Large directories report progress while they are parsed, so that a host can cancel.
TEST_F(HostileFilesTest, ParsingLargeDirectoriesCanBeCancelled) {
    const std::string path = dir_.Path("storm");
    WriteFile(path, DirectoryStorm(4));
    std::uint32_t dib = 0;
    const QorProgressProc cancelAfterOpening = [](QorProgressInfo* info) -> std::int32_t {
        return info->done > 0 ? 1 : 0;
    };
    EXPECT_EQ(QorReadTIF(cancelAfterOpening, 0, path.c_str(), &dib), QOR_CANCELLED);
    EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && UINTPTR_MAX > 0xFFFFFFFFu
// At full size, out of the sanitizer builds, which would need twice the memory, and out of 32-bit
// builds, whose 2 GB of address space cannot hold them: 16 pages of 32767 x 32767 (2.1 GB
// together) are within the budget and read.
TEST_F(HostileFilesTest, SixteenLargestFaxPagesRead) {
    const std::string path = dir_.Path("large");
    WriteFile(path, ManyPages(16, 32767, Fill::kFax));
    const Outcome o = ReadThrough(path, true);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.layers, 16u);
}
#endif

}  // namespace
}  // namespace qor::test
