// End-to-end reads through ReadTiffWorker and QorReadTIF: pages, layers, post-decode steps,
// information fields, progress and every failure path.
#include <cstring>

#include "record/describe.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

namespace ht = qor::host::testing;
namespace pt = qor::plat::testing;

class TiffReaderTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
    std::string Write(const Bytes& data, const std::string& name = "t.tif") {
        std::string path = dir_.Path(name);
        WriteFile(path, data);
        return path;
    }
};

// The outcome of one worker call: status, request fields, and the delivered layers (copied
// out; their blocks and the layer block are freed).
struct Outcome {
    std::int16_t status = -1;
    std::uint32_t multiPage = 0, layerCount = 0;
    std::uint32_t colorCount = 0, imageBytes = 0, fileSize = 0, width = 0, height = 0;
    std::uint16_t encoding = 0, bits = 0, bits2 = 0, samples = 0, samples2 = 0;
    std::vector<Image> layers;
    pt::Counts calls;  // platform calls made by the worker
};

Outcome Read(const std::string& path, ProgressProc progress = nullptr) {
    Request r(path, progress);
    Outcome o;
    o.status = ReadTiffWorker(r.get());
    // Injected faults apply to the worker only, not to the inspection below.
    o.calls = pt::CallCounts();
    for (pt::Op op : {pt::Op::Alloc, pt::Op::Lock, pt::Op::Read, pt::Op::Open}) pt::FailNth(op, 0);
    o.multiPage = r->multiPage;
    o.layerCount = r->layerCount;
    o.colorCount = r->infoColorCount;
    o.imageBytes = r->infoImageBytes;
    o.fileSize = r->infoFileSize;
    o.width = r->infoWidth;
    o.height = r->infoHeight;
    o.encoding = r->infoEncoding;
    o.bits = r->infoBitsPerSample;
    o.bits2 = r->infoBitsPerSample2;
    o.samples = r->infoSamplesPerPixel;
    o.samples2 = r->infoSamplesPerPixel2;
    if (r->layerBlock != 0) {
        auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(r->layerBlock));
        for (std::uint32_t i = 0; i < r->layerCount; ++i) {
            HGLOBAL h;
            std::memcpy(&h, p + 260 + 4 * i, 4);
            o.layers.push_back(ReadDib(h));
            plat::GlobalFree(h);
        }
        plat::GlobalUnlock(r->layerBlock);
        plat::GlobalFree(r->layerBlock);
    }
    return o;
}

TiffPageSpec Grey(std::uint32_t w, std::uint32_t h, std::uint8_t seed) {
    TiffPageSpec p;
    p.width = w;
    p.height = h;
    Bytes px(w * h);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(seed + 7 * i);
    p.strips = {px};
    return p;
}

TiffPageSpec Rgb(std::uint32_t w, std::uint32_t h) {
    TiffPageSpec p;
    p.width = w;
    p.height = h;
    p.bits = {8, 8, 8};
    p.photometric = 2;
    Bytes px(3 * w * h);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(3 * i + 1);
    p.strips = {px};
    return p;
}

TEST_F(TiffReaderTest, RgbPageBecomesOneBgrLayerWithInformationFields) {
    for (bool big : {false, true}) {
        std::string path = Write(MakeTiff({Rgb(5, 3)}, big));
        Outcome o = Read(path);
        ASSERT_EQ(o.status, 0);
        EXPECT_EQ(o.multiPage, 0u);
        ASSERT_EQ(o.layers.size(), 1u);
        const Image& img = o.layers[0];
        EXPECT_EQ(img.bits, 24);
        EXPECT_EQ(img.width, 5);
        EXPECT_EQ(img.height, 3);
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x) {
                std::uint32_t i = static_cast<std::uint32_t>(3 * (y * 5 + x));
                std::uint32_t rgb = (3 * i + 1) % 256 << 16 | (3 * (i + 1) + 1) % 256 << 8 |
                                    (3 * (i + 2) + 1) % 256;
                EXPECT_EQ(img.At(x, y), rgb) << x << "," << y;
            }
        }
        EXPECT_EQ(o.encoding, 1);
        EXPECT_EQ(o.width, 5u);
        EXPECT_EQ(o.height, 3u);
        EXPECT_EQ(o.bits, 8);
        EXPECT_EQ(o.bits2, 8);
        EXPECT_EQ(o.samples, 3);
        EXPECT_EQ(o.samples2, 3);
        EXPECT_EQ(o.colorCount, 16777216u);
        EXPECT_EQ(o.imageBytes, (3u * 5 * 8 + 31) / 32 * 3 * 4);
        EXPECT_EQ(o.fileSize, ReadFile(path).size());
    }
}

TEST_F(TiffReaderTest, PagesRefusedByValidationAreSkipped) {
    TiffPageSpec planar = Grey(4, 4, 50);
    planar.extra = {TiffBuilder::Short(284, {2})};
    std::string path = Write(MakeTiff({Grey(3, 2, 1), planar, Grey(2, 5, 9)}));
    ht::Reset();
    Outcome o = Read(path);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(o.multiPage, 1u);
    EXPECT_EQ(ht::CallCount(ht::Call::ReserveLayers), 1u);
    EXPECT_EQ(ht::CallCount(ht::Call::AssignLayerBitmap), 2u);
    ASSERT_EQ(o.layers.size(), 2u);
    EXPECT_EQ(o.layers[0].width, 3);
    EXPECT_EQ(o.layers[1].width, 2);
    EXPECT_EQ(o.layers[1].height, 5);
    EXPECT_EQ(o.layers[1].At(1, 4), static_cast<std::uint32_t>((9 + 7 * 9) % 256));
    EXPECT_EQ(o.layers[0].palette[200], 0xC8C8C8u);  // BlackIsZero ramp

    // A file whose only page is refused returns that page's code and never calls the host.
    ht::Reset();
    Outcome refused = Read(Write(MakeTiff({planar}), "p.tif"));
    EXPECT_EQ(refused.status, QOR_TIFF_PLANAR);
    EXPECT_EQ(ht::CallCount(ht::Call::ReserveLayers), 0u);
    // All pages refused: the first page's code, not a later one's, also in the description.
    TiffPageSpec wide = Grey(4, 4, 0);
    wide.width = 40000;
    path = Write(MakeTiff({wide, planar}), "w.tif");
    EXPECT_EQ(Read(path).status, QOR_TIFF_TOO_LARGE);
    TiffDescription d;
    ASSERT_EQ(DescribeTiff(path.c_str(), &d, nullptr, 0), 0);
    EXPECT_EQ(d.status, QOR_TIFF_TOO_LARGE);
}

TEST_F(TiffReaderTest, CompressionWithoutDecoderEndsTheRead) {
    for (std::uint32_t c : {7u, 6u, 32946u}) {
        TiffPageSpec bad = Grey(2, 2, 0);
        bad.compression = c;
        const std::string path = Write(MakeTiff({Grey(3, 3, 0), bad, Grey(2, 2, 0)}));
        Outcome o = Read(path);
        EXPECT_EQ(o.status, QOR_TIFF_COMPRESSION) << c;
        EXPECT_TRUE(o.layers.empty());
        EXPECT_EQ(o.layerCount, 0u);
        TiffDescription d;
        ASSERT_EQ(DescribeTiff(path.c_str(), &d, nullptr, 0), 0);
        EXPECT_EQ(d.status, QOR_TIFF_COMPRESSION) << c;
        EXPECT_EQ(d.stopPage, 2u) << c;
    }
}

// 1-bit page of 10 x 3 with the given file bytes (2 bytes per row).
TiffPageSpec Bilevel(int photometric) {
    TiffPageSpec p;
    p.width = 10;
    p.height = 3;
    p.bits = {1};
    p.photometric = photometric;
    p.strips = {{0xA5, 0x40, 0xFF, 0xC0, 0x00, 0x00}};
    return p;
}

std::uint32_t FileBit(const Bytes& strip, int x, int y) {
    return (strip[static_cast<std::size_t>(2 * y + x / 8)] >> (7 - x % 8)) & 1u;
}

TEST_F(TiffReaderTest, BilevelPagesGetBlackWhiteTablesAndTheRightColours) {
    for (int photometric : {0, 1, -1}) {
        TiffPageSpec spec = Bilevel(photometric);
        Outcome o = Read(Write(MakeTiff({spec})));
        ASSERT_EQ(o.status, 0) << photometric;
        ASSERT_EQ(o.layers.size(), 1u);
        const Image& img = o.layers[0];
        ASSERT_EQ(img.bits, 1);
        EXPECT_EQ(img.palette[0], 0x000000u);
        EXPECT_EQ(img.palette[1], 0xFFFFFFu);
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 10; ++x) {
                // WhiteIsZero: a 0 bit is white; otherwise a 0 bit is black.
                std::uint32_t bit = FileBit(spec.strips[0], x, y);
                std::uint32_t white = photometric == 0 ? 1 - bit : bit;
                EXPECT_EQ(img.palette[img.At(x, y)], white ? 0xFFFFFFu : 0u)
                    << photometric << " " << x << "," << y;
            }
        }
    }
    // BlackIsZero with a colour map whose entry 0 is not black: the table becomes black,
    // white and the bits are inverted.
    TiffPageSpec mapped = Bilevel(1);
    mapped.colorMap = {0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0};
    ht::Reset();
    Outcome o = Read(Write(MakeTiff({mapped}), "m.tif"));
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(ht::CallCount(ht::Call::InvertBitmap), 1u);
    EXPECT_EQ(o.layers[0].palette[1], 0xFFFFFFu);
    EXPECT_EQ(o.layers[0].At(0, 0), 1 - FileBit(mapped.strips[0], 0, 0));
}

TEST_F(TiffReaderTest, SixteenAndThirtyTwoBitPagesAreConverted) {
    TiffPageSpec ga;
    ga.width = 3;
    ga.height = 2;
    ga.bits = {8, 8};
    ga.strips = {{7, 200, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5}};
    TiffPageSpec rgba;
    rgba.width = 2;
    rgba.height = 1;
    rgba.bits = {8, 8, 8, 8};
    rgba.photometric = 2;
    rgba.strips = {{10, 20, 30, 40, 1, 2, 3, 4}};
    TiffPageSpec cmyk = rgba;
    cmyk.photometric = 5;
    cmyk.strips = {{100, 50, 0, 100, 200, 0, 0, 100}};
    Outcome o = Read(Write(MakeTiff({ga, rgba, cmyk})));
    ASSERT_EQ(o.status, 0);
    ASSERT_EQ(o.layers.size(), 3u);
    EXPECT_EQ(o.colorCount, 256u);
    EXPECT_EQ(o.layers[0].bits, 8);
    EXPECT_EQ(o.layers[0].At(0, 0), 7u);
    EXPECT_EQ(o.layers[0].At(2, 1), 12u);
    EXPECT_EQ(o.layers[1].bits, 24);
    EXPECT_EQ(o.layers[1].At(0, 0), 0x0A141Eu);
    EXPECT_EQ(o.layers[1].At(1, 0), 0x010203u);
    EXPECT_EQ(o.layers[2].At(0, 0), 0x37699Bu);  // red 55, green 105, blue 155
    EXPECT_EQ(o.layers[2].At(1, 0), 0x009B9Bu);  // cyan 200 + black 100 saturates
}

TEST_F(TiffReaderTest, InformationFieldsComeFromTheFirstPageEvenWhenTheReadFails) {
    TiffPageSpec packed = Grey(6, 4, 0);
    packed.compression = 7;
    Outcome o = Read(Write(MakeTiff({packed, Rgb(2, 2)})));
    EXPECT_EQ(o.status, QOR_TIFF_COMPRESSION);
    EXPECT_EQ(o.encoding, 7);
    EXPECT_EQ(o.width, 6u);
    EXPECT_EQ(o.height, 4u);
    EXPECT_EQ(o.colorCount, 256u);
    EXPECT_EQ(o.imageBytes, 8u * 4);

    // Sizes beyond 32 bits saturate; shift counts wrap at 32.
    TiffPageSpec huge = Rgb(1, 1);
    huge.width = 0x40000000;
    huge.height = 0x40000;
    huge.bits = {16, 16, 16};
    o = Read(Write(MakeTiff({huge}), "huge.tif"));
    EXPECT_EQ(o.status, QOR_TIFF_TOO_LARGE);
    EXPECT_EQ(o.imageBytes, 0xFFFFFFFFu);
    EXPECT_EQ(o.colorCount, 65536u);  // 2^(48 mod 32)
    TiffPageSpec wide = Grey(1, 1, 0);
    wide.bits = {32};
    o = Read(Write(MakeTiff({wide}), "w.tif"));
    EXPECT_EQ(o.status, QOR_TIFF_UNSUPPORTED);
    EXPECT_EQ(o.colorCount, 1u);  // 2^(32 mod 32)
}

TEST_F(TiffReaderTest, PagesWithoutDibFormAreSkippedAndThePagesBeforeThemKept) {
    for (std::size_t samples : {3u, 4u}) {
        for (std::uint32_t bits : {1u, 4u}) {
            TiffPageSpec odd = Grey(5, 2, 0);
            odd.bits.assign(samples, bits);
            odd.photometric = 2;
            odd.strips = {Bytes(40, 0x5A)};
            pt::Reset();
            Outcome o = Read(Write(MakeTiff({Grey(2, 2, 1), odd})));
            EXPECT_EQ(o.status, 0) << samples << "x" << bits;
            ASSERT_EQ(o.layers.size(), 1u);
            EXPECT_EQ(o.layers[0].width, 2);
            // The page array, the first page's DIB and the layer block: nothing for the other.
            EXPECT_EQ(o.calls.allocs, 3u);
        }
    }
}

TEST_F(TiffReaderTest, TwoShortStripOffsetsInTheValueField) {
    for (bool big : {false, true}) {
        TiffPageSpec p = Grey(3, 4, 0);
        Bytes all = p.strips[0];
        p.rowsPerStrip = 2;
        p.shortOffsets = true;  // two SHORTs: held in the entry's own value field
        p.strips = {Bytes(all.begin(), all.begin() + 6), Bytes(all.begin() + 6, all.end())};
        Outcome o = Read(Write(MakeTiff({p}, big)));
        ASSERT_EQ(o.status, 0);
        ASSERT_EQ(o.layers.size(), 1u);
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 3; ++x) {
                EXPECT_EQ(o.layers[0].At(x, y), all[static_cast<std::size_t>(3 * y + x)]);
            }
        }
    }
}

TEST_F(TiffReaderTest, ChainsThatLoopBackEnd) {
    for (int target : {0, 1}) {
        TiffBuilder b(false);
        AddTiffPage(b, Grey(2, 2, 3));
        std::uint32_t second = AddTiffPage(b, Grey(3, 3, 4));
        std::uint32_t first = 0;
        std::memcpy(&first, b.bytes().data() + 4, 4);
        b.SetNext(1, target == 0 ? first : second);  // to the first, or to itself
        Outcome o = Read(Write(b.bytes()));
        ASSERT_EQ(o.status, 0);
        EXPECT_EQ(o.layers.size(), 2u);
    }
}

TEST_F(TiffReaderTest, RequestAndHeaderFailures) {
    EXPECT_EQ(ReadTiffWorker(nullptr), QOR_BAD_REQUEST);
    ProgressRecorder rec;
    gRecorder = &rec;
    Request empty("", RecordProgress);
    EXPECT_EQ(ReadTiffWorker(empty.get()), QOR_BAD_REQUEST);
    gRecorder = nullptr;
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].first, 0u);
    EXPECT_EQ(Read(dir_.Path("missing.tif")).status, QOR_OPEN_FAILED);
    // 'I' with any second byte is little-endian.
    Bytes odd = MakeTiff({Grey(2, 2, 0)});
    odd[1] = 'Q';
    // Each file gets its status from the read and from the description, which names the fault.
    const struct {
        Bytes file;
        std::int16_t status;
        TiffFault fault;
    } cases[] = {
        {odd, 0, TiffFault::kNone},
        {{'I'}, QOR_READ_FAILED, TiffFault::kHeaderCut},
        {{'X', 'X', 42, 0, 8, 0, 0, 0}, QOR_NOT_TIFF, TiffFault::kNoByteOrder},
        {{'I', 'I', 43, 0, 8, 0, 0, 0}, QOR_TIFF_MAGIC_OR_OPTIONS, TiffFault::kMagic},
        {{'M', 'M', 42, 0, 0, 0, 0, 8}, QOR_TIFF_MAGIC_OR_OPTIONS, TiffFault::kMagic},
        {{'M', 'M', 0, 42, 0, 0, 0, 0}, QOR_BAD_REQUEST, TiffFault::kNoDirectory},
        {{'I', 'I', 42, 0}, QOR_BAD_REQUEST, TiffFault::kHeaderCut},  // ends before the offset
        // A first directory at or beyond the end of the file: the file ended early.
        {{'I', 'I', 42, 0, 0, 1, 0, 0}, QOR_READ_FAILED, TiffFault::kDirectoryPastEnd},
        {{'I', 'I', 42, 0, 8, 0, 0, 0}, QOR_READ_FAILED, TiffFault::kDirectoryPastEnd},
    };
    for (const auto& c : cases) {
        const std::string path = Write(c.file);
        EXPECT_EQ(Read(path).status, c.status) << c.file.size();
        TiffDescription d;
        ASSERT_EQ(DescribeTiff(path.c_str(), &d, nullptr, 0), 0);
        EXPECT_EQ(d.status, c.status) << c.file.size();
        EXPECT_EQ(d.fault, c.fault) << c.file.size();
        if (c.fault == TiffFault::kMagic) {
            EXPECT_EQ(d.magic, c.file[0] == 'I' ? 43 : 0x2A00);
        }
    }
}

TEST_F(TiffReaderTest, ProgressRestartsForEveryPageAndCancelFreesEverything) {
    std::string path = Write(MakeTiff({Grey(4, 4, 0), Grey(4, 2, 0)}));
    ProgressRecorder rec;
    gRecorder = &rec;
    Outcome o = Read(path, RecordProgress);
    ASSERT_EQ(o.status, 0);
    std::vector<std::uint32_t> done;
    for (auto& c : rec.calls) {
        EXPECT_EQ(c.second, 100u);
        done.push_back(c.first);
    }
    EXPECT_EQ(done, (std::vector<std::uint32_t>{0, 0, 25, 50, 75, 100, 0, 50, 100}));

    // Cancel during the second page (call 8: after its first row).
    rec = {};
    rec.cancelAt = 8;
    EXPECT_EQ(Read(path, RecordProgress).status, QOR_CANCELLED);
    gRecorder = nullptr;
    EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
}

// How many calls of `op` were made since the last reset.
std::uint64_t Made(const pt::Counts& c, pt::Op op) {
    return op == pt::Op::Alloc  ? c.allocs
           : op == pt::Op::Lock ? c.locks
           : op == pt::Op::Read ? c.reads
                                : c.opens;
}

TEST_F(TiffReaderTest, FailureSweepReleasesEverything) {
    TiffPageSpec packed = Grey(20, 3, 5);
    packed.compression = 32773;
    packed.strips = {{19, 1,  2,  3,  4,  5,  6,  7,  8,   9, 10,   11, 12,
                      13, 14, 15, 16, 17, 18, 19, 20, 237, 9, 0x81, 4}};
    std::string path = Write(MakeTiff({Rgb(3, 2), Bilevel(0), packed, Grey(2, 2, 1)}));
    Outcome clean = Read(path);
    ASSERT_EQ(clean.status, 0);
    ASSERT_EQ(clean.layers.size(), 4u);

    auto sameLayers = [&](const Outcome& o) {
        if (o.layers.size() != clean.layers.size()) return false;
        for (std::size_t i = 0; i < o.layers.size(); ++i) {
            if (o.layers[i].pixels != clean.layers[i].pixels ||
                o.layers[i].palette != clean.layers[i].palette) {
                return false;
            }
        }
        return true;
    };
    // Every read fails in turn, also by coming up one byte short: a read gives the file's own
    // pages or 202, never pages dropped, invented or parsed from misread offsets.
    for (std::uint32_t shortBy : {0u, 1u}) {
        pt::SweepFaults(
            pt::Op::Read,
            [&](std::uint64_t n) {
                Outcome o = Read(path);
                if (o.status == 0) {
                    EXPECT_TRUE(sameLayers(o)) << n << " " << shortBy;
                } else {
                    EXPECT_EQ(o.status, QOR_READ_FAILED) << n << " " << shortBy;
                }
            },
            shortBy);
    }
    for (pt::Op op : {pt::Op::Alloc, pt::Op::Lock, pt::Op::Read, pt::Op::Open}) {
        std::uint64_t runs = pt::SweepFaults(op, [&](std::uint64_t n) {
            ht::Reset();
            Outcome o = Read(path);
            if (o.status == 0) {
                EXPECT_TRUE(op == pt::Op::Read || Made(o.calls, op) < n) << n;
            } else {
                EXPECT_TRUE(o.status == QOR_NO_MEMORY || o.status == QOR_READ_FAILED ||
                            o.status == QOR_OPEN_FAILED || o.status == QOR_NOT_TIFF ||
                            o.status == QOR_TIFF_MAGIC_OR_OPTIONS || o.status == QOR_BAD_REQUEST ||
                            o.status == QOR_TIFF_UNSUPPORTED || o.status == QOR_TIFF_TOO_LARGE)
                    << static_cast<int>(op) << " " << n << " " << o.status;
                EXPECT_TRUE(o.layers.empty());
            }
            EXPECT_EQ(pt::LiveBlocks(), blocksBefore_) << static_cast<int>(op) << " " << n;
            EXPECT_EQ(pt::OpenFiles(), filesBefore_) << static_cast<int>(op) << " " << n;
        });
        EXPECT_GT(runs, 0u);
    }
    // Allocation and lock failures are always 102.
    pt::SweepFaults(pt::Op::Alloc, [&](std::uint64_t n) {
        Outcome o = Read(path);
        if (Made(o.calls, pt::Op::Alloc) >= n) {
            EXPECT_EQ(o.status, QOR_NO_MEMORY) << n;
        }
    });
    for (auto call :
         {ht::Call::ReserveLayers, ht::Call::AssignLayerBitmap, ht::Call::InvertBitmap}) {
        std::uint32_t calls = call == ht::Call::AssignLayerBitmap ? 4 : 1;
        for (std::uint32_t nth = 1; nth <= calls; ++nth) {
            ht::Reset();
            ht::FailCall(call, 777, nth);
            Outcome o = Read(path);
            EXPECT_EQ(o.status, 777);
            EXPECT_EQ(o.layerCount, 0u);
            EXPECT_TRUE(o.layers.empty());
            EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
        }
    }
}

TEST_F(TiffReaderTest, EntryPointDeliversTheDocumentAndReleaseFreesIt) {
    std::string path = Write(MakeTiff({Rgb(4, 4), Bilevel(0), Grey(5, 5, 2)}));
    std::uint32_t result = 0;
    ASSERT_EQ(QorReadTIF(nullptr, 0, path.c_str(), &result), 0);
    QorHandle layers[3] = {};
    ASSERT_EQ(QorDocumentLayers(result, layers, 3), 3u);
    EXPECT_EQ(layers[0], result);
    EXPECT_EQ(ReadDib(layers[2]).width, 5);
    EXPECT_EQ(pt::LiveBlocks(), blocksBefore_ + 3);
    EXPECT_EQ(QorReleaseDocument(result), 0);
    EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
    // A failed read leaves the caller's variable alone.
    std::uint32_t untouched = 12345;
    EXPECT_EQ(QorReadTIF(nullptr, 0, dir_.Path("nope").c_str(), &untouched), QOR_OPEN_FAILED);
    EXPECT_EQ(untouched, 12345u);
}

}  // namespace
}  // namespace qor::test
