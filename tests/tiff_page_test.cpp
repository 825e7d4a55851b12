// Page validation, the DIB header and block, and the colour tables.
#include <cstring>

#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

using tiff::TiffPage;
namespace pt = qor::plat::testing;

TiffPage Page(std::uint32_t w, std::uint32_t h, std::uint16_t bits, std::uint16_t samples,
              std::uint16_t photometric = 1) {
    TiffPage p{};
    p.imageWidth = w;
    p.imageLength = h;
    p.bitsPerSample = bits;
    p.samplesPerPixel = samples;
    p.photometric = photometric;
    p.compression = 1;
    p.planarConfig = 1;
    p.predictor = 1;
    p.stripOffsets = 8;
    p.stripCount = 1;
    p.colorMapCount = 2;
    p.byteOrder = 'I' | 'I' << 8;
    return p;
}

TEST(TiffValidateTest, SizeBoundsComeBeforeTheOtherRules) {
    TiffPage ok = Page(10, 10, 8, 1);
    auto with = [&](auto change) {
        TiffPage p = ok;
        change(p);
        return tiff::ValidateTiffPage(p);
    };
    // Zero width is found before the size check, zero length before a too-large width.
    EXPECT_EQ(with([](TiffPage& p) { p.imageWidth = 0, p.imageLength = 99999; }), QOR_NOT_TIFF);
    EXPECT_EQ(with([](TiffPage& p) { p.imageLength = 0, p.imageWidth = 99999; }), QOR_NOT_TIFF);
    EXPECT_EQ(with([](TiffPage& p) { p.imageWidth = 32767, p.imageLength = 32767; }), 0);
    EXPECT_EQ(with([](TiffPage& p) { p.imageWidth = 32768; }), QOR_TIFF_TOO_LARGE);
    EXPECT_EQ(with([](TiffPage& p) { p.imageLength = 0x80000000u; }), QOR_TIFF_TOO_LARGE);
    EXPECT_EQ(with([](TiffPage& p) { p.imageLength = 32768, p.stripOffsets = 0; }),
              QOR_TIFF_TOO_LARGE);
    // A page with no StripOffsets value, or a count that reads as none, has no strip.
    EXPECT_EQ(with([](TiffPage& p) { p.stripCount = 0x80000000u; }), QOR_NOT_TIFF);
}

class TiffLayoutTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
};

TEST_F(TiffLayoutTest, EveryLayoutIsReadAsValidationJudgesIt) {
    // Small uncompressed pages of many sample layouts, read whole: a page that validation passes
    // is delivered, and one it refuses gives the read the status of the rule it breaks. A layout
    // that passed validation but had no DIB form, or the reverse, shows up here.
    using E = TiffBuilder;
    int delivered = 0;
    for (std::uint32_t bits : {1u, 2u, 4u, 8u, 16u}) {
        for (std::uint32_t samples = 1; samples <= 5; ++samples) {
            for (int photometric : {0, 1, 2, 3, 5, 6, 8, -1}) {
                for (std::uint32_t planar : {1u, 2u}) {
                    TiffPageSpec s;
                    s.width = 5;
                    s.height = 2;
                    s.bits.assign(samples, bits);
                    s.photometric = photometric;
                    const std::uint32_t rowBytes = (5 * bits * samples + 7) / 8;
                    s.strips = {Bytes(2 * rowBytes, 0x5A)};
                    if (photometric == 3 && bits <= 8) s.colorMap.assign(3u << bits, 0x8000);
                    if (planar == 2) s.extra.push_back(E::Short(284, {2}));
                    const std::string path = dir_.Path("layout.tif");
                    WriteFile(path, MakeTiff({s}));
                    SCOPED_TRACE(testing::Message()
                                 << bits << " bits x " << samples << ", photometric " << photometric
                                 << ", planar " << planar);
                    TiffPage page{};
                    HFILE file = plat::_lopen(path.c_str(), 0);
                    std::uint32_t offset = 0;
                    ASSERT_EQ(tiff::ReadTiffHeader(file, &page.byteOrder, &offset), 0);
                    ASSERT_EQ(tiff::ParseTiffDirectory(file, &page, &offset), 0);
                    plat::_lclose(file);
                    const std::int16_t judged = tiff::ValidateTiffPage(page);
                    QorHandle result = 0;
                    EXPECT_EQ(QorReadTIF(nullptr, 0, path.c_str(), &result), judged);
                    if (result != 0) {
                        ++delivered;
                        EXPECT_EQ(QorReleaseDocument(result), 0);
                    }
                }
            }
        }
    }
    // Grey, grey with alpha, palette, RGB, RGBA and CMYK at their depths.
    EXPECT_GE(delivered, 14);
}

class TiffDibTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
    HFILE file_ = -1;
    void SetUp() override {
        LeakCheckedTest::SetUp();
        UseFile({'I', 'I', 42, 0});
    }
    void TearDown() override {
        if (file_ != -1) plat::_lclose(file_);
        LeakCheckedTest::TearDown();
    }
    void UseFile(const Bytes& data) {
        if (file_ != -1) plat::_lclose(file_);
        std::string path = dir_.Path("c.tif");
        WriteFile(path, data);
        file_ = plat::_lopen(path.c_str(), 0);
    }
    struct Made {
        std::int16_t status = -1;
        std::uint16_t bitCount = 0;
        std::uint32_t sizeImage = 0, clrUsed = 0, clrImportant = 0;
        std::int32_t width = 0, height = 0;
        std::uint64_t blockSize = 0;
        std::vector<std::uint32_t> table;  // 0xRRGGBB, reserved byte above
    };
    // Runs the DIB set-up and frees the block again.
    Made Setup(TiffPage* page) {
        Made m;
        HGLOBAL dib = 0;
        std::uint8_t* p = nullptr;
        m.status = tiff::SetUpPageDib(file_, page, &dib, &p);
        if (m.status != 0) {
            EXPECT_EQ(dib, 0u);
            return m;
        }
        std::uint32_t size;
        std::memcpy(&size, p, 4);
        EXPECT_EQ(size, 40u);
        std::uint16_t planes;
        std::memcpy(&planes, p + 12, 2);
        EXPECT_EQ(planes, 1);
        std::memcpy(&m.width, p + 4, 4);
        std::memcpy(&m.height, p + 8, 4);
        std::memcpy(&m.bitCount, p + 14, 2);
        std::memcpy(&m.sizeImage, p + 20, 4);
        std::memcpy(&m.clrUsed, p + 32, 4);
        std::memcpy(&m.clrImportant, p + 36, 4);
        for (std::uint32_t i = 0; i < m.clrUsed; ++i) {
            const std::uint8_t* q = p + 40 + 4 * i;
            m.table.push_back(std::uint32_t{q[3]} << 24 | std::uint32_t{q[2]} << 16 |
                              std::uint32_t{q[1]} << 8 | q[0]);
        }
        m.blockSize = plat::GlobalSize(dib);
        EXPECT_EQ(pt::LockCount(dib), 1);
        plat::GlobalUnlock(dib);
        plat::GlobalFree(dib);
        return m;
    }
};

std::uint64_t Stride(std::uint64_t w, std::uint64_t bits) {
    return (w * bits + 31) / 32 * 4;
}

TEST_F(TiffDibTest, HeaderAndBlockFollowTheSampleLayout) {
    struct Case {
        std::uint16_t bits, samples, photometric, bitCount, pageBits;
        std::uint32_t colours;
    } cases[] = {{1, 1, 1, 1, 1, 2},    {4, 1, 1, 4, 4, 16},  {8, 1, 1, 8, 8, 256},
                 {8, 2, 1, 8, 16, 256}, {8, 3, 2, 24, 24, 0}, {8, 4, 2, 24, 32, 0},
                 {8, 4, 5, 24, 32, 0}};
    for (const Case& c : cases) {
        for (std::uint32_t w : {1u, 5u, 13u}) {
            TiffPage page = Page(w, 7, c.bits, c.samples, c.photometric);
            Made m = Setup(&page);
            ASSERT_EQ(m.status, 0);
            EXPECT_EQ(page.bitsPerPixel, c.pageBits);
            EXPECT_EQ(m.bitCount, c.bitCount);
            EXPECT_EQ(m.width, static_cast<std::int32_t>(w));
            EXPECT_EQ(m.height, 7);
            EXPECT_EQ(m.clrUsed, c.colours);
            EXPECT_EQ(m.clrImportant, c.colours);
            EXPECT_EQ(m.sizeImage, Stride(w, c.bitCount) * 7);
            // The pixel area is sized for the page's own bits per pixel.
            EXPECT_EQ(m.blockSize, 40 + 4 * c.colours + Stride(w, c.pageBits) * 7)
                << c.bits << "x" << c.samples << " w" << w;
            if (c.bitCount == 24) {
                EXPECT_EQ(page.colorMapCount, 0);
            }
        }
    }
}

TEST_F(TiffDibTest, LayoutsWithoutDibFormAndOversizedPagesAllocateNothing) {
    for (std::uint16_t samples : {2, 3, 4}) {
        for (std::uint16_t bits : {1, 4}) {
            TiffPage page = Page(10, 10, bits, samples, 2);
            pt::Reset();
            EXPECT_EQ(Setup(&page).status, QOR_TIFF_UNSUPPORTED);
            EXPECT_EQ(pt::CallCounts().allocs, 0u);
        }
    }
    struct {
        std::uint16_t bits, samples, photometric;
    } big[] = {{8, 4, 2}, {8, 3, 2}, {8, 4, 5}};
    for (auto b : big) {
        TiffPage page = Page(32767, 32767, b.bits, b.samples, b.photometric);
        ASSERT_EQ(tiff::ValidateTiffPage(page), 0);
        pt::Reset();
        EXPECT_EQ(Setup(&page).status, QOR_NO_MEMORY);
        EXPECT_EQ(pt::CallCounts().allocs, 0u);
    }
    // Allocation and lock failures are 102 and leave nothing behind.
    for (pt::Op op : {pt::Op::Alloc, pt::Op::Lock}) {
        pt::Reset();
        pt::FailNth(op, 1);
        TiffPage page = Page(4, 4, 8, 1);
        EXPECT_EQ(Setup(&page).status, QOR_NO_MEMORY);
        pt::Reset();
    }
}

std::uint32_t Grey(std::uint32_t g) {
    return g << 16 | g << 8 | g;
}

TEST_F(TiffDibTest, RampsAndTwoEntryTables) {
    for (int photometric : {0, 1, 10}) {
        TiffPage page = Page(3, 3, 1, 1, static_cast<std::uint16_t>(photometric));
        Made m = Setup(&page);
        ASSERT_EQ(m.table.size(), 2u);
        EXPECT_EQ(m.table[0], photometric == 0 ? Grey(255) : 0u) << photometric;
        EXPECT_EQ(m.table[1], photometric == 0 ? 0u : Grey(255)) << photometric;
    }
    for (int photometric : {0, 1, 3, 10}) {
        for (std::uint16_t bits : {4, 8}) {
            // No colour map: 3 and 10 take the ascending ramp as 1 does.
            TiffPage page = Page(3, 3, bits, 1, static_cast<std::uint16_t>(photometric));
            Made m = Setup(&page);
            std::uint32_t n = 1u << bits;
            ASSERT_EQ(m.table.size(), n);
            EXPECT_EQ(page.colorMapCount, n);
            for (std::uint32_t i = 0; i < n; ++i) {
                std::uint32_t up = n == 256 ? i : i * 16;
                std::uint32_t down = n == 256 ? 255 - i : (n - 1 - i) * 16;
                EXPECT_EQ(m.table[i], Grey(photometric == 0 ? down : up))
                    << photometric << " " << bits << " " << i;
            }
        }
    }
    // A grey-plus-alpha page gets the 256-entry grey table of an 8-bit page.
    TiffPage ga = Page(3, 3, 8, 2, 1);
    EXPECT_EQ(Setup(&ga).table[77], Grey(77));
}

TEST_F(TiffDibTest, ColorMapsInEitherByteOrder) {
    for (bool big : {false, true}) {
        for (std::uint16_t bits : {1, 4, 8}) {
            std::uint32_t n = 1u << bits;
            std::vector<std::uint32_t> map(3 * n);
            for (std::uint32_t k = 0; k < n; ++k) {
                map[k] = (k * 37 % 256) << 8 | 0x11;           // red
                map[n + k] = (k * 11 % 256) << 8 | 0x22;       // green
                map[2 * n + k] = (255 - k % 256) << 8 | 0x33;  // blue
            }
            map[0] = 0xFF00;
            TiffBuilder b(big);
            std::uint32_t at = b.AppendShorts(map);
            UseFile(b.bytes());
            TiffPage page = Page(2, 2, bits, 1, 3);
            page.byteOrder = big ? ('M' | 'M' << 8) : ('I' | 'I' << 8);
            page.colorMapOffset = at;
            page.colorMapCount = static_cast<std::uint16_t>(3 * n);
            Made m = Setup(&page);
            ASSERT_EQ(m.status, 0);
            ASSERT_EQ(m.table.size(), n);
            EXPECT_EQ(page.colorMapCount, n);
            EXPECT_EQ(m.table[0] >> 16, 255u);  // red 255 from 0xFF00
            for (std::uint32_t k = 0; k < n; ++k) {
                std::uint32_t want =
                    (map[k] >> 8) << 16 | (map[n + k] >> 8) << 8 | map[2 * n + k] >> 8;
                EXPECT_EQ(m.table[k], want) << big << " " << bits << " " << k;
            }
            // The map is read in full whatever the entry's count says; a short read is 202.
            page.colorMapCount = 3;
            EXPECT_EQ(Setup(&page).status, 0);
            page.colorMapOffset = at + 2;
            page.colorMapCount = 3;
            EXPECT_EQ(Setup(&page).status, QOR_READ_FAILED);
        }
    }
}

TEST_F(TiffDibTest, GreyResponseCurves) {
    TiffBuilder b(true);
    std::uint32_t at = b.AppendShorts({1000, 2000, 0, 1, 500, 65535});
    std::vector<std::uint32_t> many(1000);
    for (std::uint32_t i = 0; i < many.size(); ++i) many[i] = i;
    std::uint32_t long_ = b.AppendShorts(many);
    UseFile(b.bytes());
    TiffPage page = Page(2, 2, 8, 1, 2);  // neither WhiteIsZero nor BlackIsZero
    page.byteOrder = 'M' | 'M' << 8;
    page.colorMapOffset = at;
    page.colorMapCount = 6;
    page.grayResponseUnit = 3;
    Made m = Setup(&page);
    ASSERT_EQ(m.status, 0);
    // value / 1000 x 127.5, truncated; the low 8 bits are the level.
    EXPECT_EQ(m.table[0], Grey(127));
    EXPECT_EQ(m.table[1], Grey(255));
    EXPECT_EQ(m.table[2], Grey(0));
    EXPECT_EQ(m.table[3], Grey(0));
    EXPECT_EQ(m.table[4], Grey(63));
    EXPECT_EQ(m.table[5], Grey(8355 & 0xFF));
    EXPECT_EQ(m.table[6], 0u);  // beyond the curve
    EXPECT_EQ(page.colorMapCount, 6);

    // A curve longer than the table is read only as far as the table goes.
    page.colorMapOffset = long_;
    page.colorMapCount = 1000;
    page.grayResponseUnit = 1;
    m = Setup(&page);
    ASSERT_EQ(m.status, 0);
    ASSERT_EQ(m.table.size(), 256u);
    EXPECT_EQ(m.table[255], Grey(255 * 1275 / 100 & 0xFF));
    EXPECT_EQ(page.colorMapCount, 256);
    TiffPage bilevel = Page(2, 2, 1, 1, 1);
    bilevel.byteOrder = page.byteOrder;
    bilevel.colorMapOffset = long_;
    bilevel.colorMapCount = 700;
    bilevel.grayResponseUnit = 1;
    m = Setup(&bilevel);
    ASSERT_EQ(m.status, 0);
    EXPECT_EQ(m.table, (std::vector<std::uint32_t>{0, Grey(12)}));

    // A unit whose power of ten wraps to 0 saturates instead of dividing by zero; a unit
    // that is negative as a signed number divides by 1.
    page.colorMapOffset = at;
    page.colorMapCount = 3;
    page.grayResponseUnit = 32;
    m = Setup(&page);
    EXPECT_EQ(m.table[0], Grey(255));
    EXPECT_EQ(m.table[2], Grey(0));
    page.grayResponseUnit = 0xFFFF;
    m = Setup(&page);
    EXPECT_EQ(m.table[0], Grey(1000 * 1275 / 10 & 0xFF));
    // A curve that runs past the end of the file is a short read.
    page.colorMapOffset = b.size() - 4;
    page.colorMapCount = 3;
    EXPECT_EQ(Setup(&page).status, QOR_READ_FAILED);
}

}  // namespace
}  // namespace qor::test
