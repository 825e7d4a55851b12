// The header check, the IFD chain count and the directory parser, in both byte orders.
#include <cstring>

#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

using tiff::TiffPage;
using E = TiffBuilder;

class TiffDirectoryTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

    // Runs the header check, the count and one parse per page, as the driver does.
    std::vector<TiffPage> Parse(const Bytes& data, std::int16_t* status = nullptr) {
        std::string path = dir_.Path("d.tif");
        WriteFile(path, data);
        HFILE f = plat::_lopen(path.c_str(), 0);
        EXPECT_NE(f, -1);
        std::uint16_t order = 0;
        std::uint32_t offset = 0;
        std::int16_t s = tiff::ReadTiffHeader(f, &order, &offset);
        if (status != nullptr) *status = s;
        std::vector<TiffPage> pages;
        if (s == 0) {
            std::uint16_t n = 0;
            tiff::CountTiffPages(f, offset, order, &n);
            pages.resize(n);
            for (TiffPage& p : pages) {
                std::memset(&p, 0, sizeof p);
                p.byteOrder = order;
                tiff::ParseTiffDirectory(f, &p, &offset);
            }
        }
        plat::_lclose(f);
        return pages;
    }
    // The offsets and byte counts that the strip walk finds in the file at `path`, taking each
    // of the page's StripOffsets values as a strip of one row.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Walk(const std::string& path,
                                                              TiffPage page) {
        page.imageLength = page.stripCount;
        page.rowsPerStrip = 1;
        HFILE f = plat::_lopen(path.c_str(), 0);
        tiff::StripWalker strips;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        EXPECT_EQ(strips.Start(f, page), 0);
        for (tiff::StripSpan s; strips.More() && strips.Next(&s) == 0;) {
            out.emplace_back(s.offset, s.byteCount);
        }
        plat::_lclose(f);
        return out;
    }
    TiffPage One(const std::vector<E::Entry>& entries, bool big = false) {
        TiffBuilder b(big);
        b.AddIfd(entries);
        auto pages = Parse(b.bytes());
        EXPECT_EQ(pages.size(), 1u);
        return pages.empty() ? TiffPage{} : pages[0];
    }
};

// The parser-written fields of two pages are equal (byteOrder aside).
void ExpectSamePage(const TiffPage& a, const TiffPage& b) {
    TiffPage x = a, y = b;
    x.byteOrder = y.byteOrder = 0;
    EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0);
}

TEST_F(TiffDirectoryTest, BothByteOrdersGiveIdenticalPages) {
    auto entries = [](TiffBuilder& b) {
        std::uint32_t curve = b.AppendShorts({1, 2, 3, 4});
        return std::vector<E::Entry>{
            E::Long(254, {1}),     E::Short(255, {3}),       E::Short(256, {640}),
            E::Long(257, {70000}), E::Short(258, {8, 8, 8}), E::Short(259, {32773}),
            E::Short(262, {2}),    E::Short(266, {2}),       E::Long(273, {100, 200, 300}),
            E::Short(277, {3}),    E::Long(278, {16}),       E::Long(279, {4000, 5000, 6000}),
            E::Short(284, {1}),    E::Short(290, {3}),       E::Raw(291, 3, 4, curve),
            E::Long(292, {4}),     E::Long(293, {0x10002}),  E::Short(297, {2, 9}),
            E::Short(317, {2}),    E::Short(338, {1, 2})};
    };
    TiffBuilder le(false), be(true);
    le.AddIfd(entries(le));
    be.AddIfd(entries(be));
    be.PadTo(7000);
    auto a = Parse(le.bytes());
    auto b = Parse(be.bytes());
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    ExpectSamePage(a[0], b[0]);
    EXPECT_EQ(a[0].byteOrder, 'I' | 'I' << 8);
    EXPECT_EQ(b[0].byteOrder, 'M' | 'M' << 8);
    const TiffPage& p = b[0];
    EXPECT_EQ(p.newSubfileType, 1u);
    EXPECT_EQ(p.subfileType, 3);
    EXPECT_EQ(p.imageWidth, 640u);  // a SHORT in the value field of a big-endian file
    EXPECT_EQ(p.imageLength, 70000u);
    EXPECT_EQ(p.bitsPerSample, 8);
    EXPECT_EQ(p.compression, 32773);
    EXPECT_EQ(p.photometric, 2);
    EXPECT_EQ(p.fillOrder, 2);
    EXPECT_EQ(p.stripCount, 3u);
    EXPECT_EQ(p.stripOffsetSize, 4);
    EXPECT_EQ(p.samplesPerPixel, 3);
    EXPECT_EQ(p.rowsPerStrip, 16u);
    EXPECT_EQ(p.stripByteCounts, 4000u);
    EXPECT_EQ(p.grayResponseUnit, 3);
    EXPECT_EQ(p.colorMapCount, 4);
    EXPECT_EQ(p.t4Options, 4u);
    EXPECT_EQ(p.t6Options, 0x10002u);
    EXPECT_EQ(p.pageNumber, 2);
    EXPECT_EQ(p.pageTotal, 9);
    EXPECT_EQ(p.predictor, 2);
    EXPECT_EQ(p.extraSamples, 2);  // a count above 1 is recorded as the count
    // The strip offset and byte count arrays are read in the page's own byte order.
    std::string path = dir_.Path("be.tif");
    WriteFile(path, be.bytes());
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> strips = {
        {100, 4000}, {200, 5000}, {300, 6000}};
    EXPECT_EQ(Walk(path, p), strips);
}

TEST_F(TiffDirectoryTest, APageThatStatesOnlyItsSizeAndStripReadsAsTheDefaultsSay) {
    // One sample of one bit, uncompressed, contiguous, no predictor, fill order 1: 8 x 2 pixels
    // in two bytes, 0 black (no photometric tag), delivered as a 1-bit DIB. An empty directory is
    // a page without width, height or strips.
    for (bool big : {false, true}) {
        TiffBuilder b(big);
        const std::uint32_t strip = b.Append({0x0F, 0xF0});
        b.AddIfd({E::Long(256, {8}), E::Long(257, {2}), E::Long(273, {strip}), E::Long(279, {2})});
        const std::string path = dir_.Path("defaults.tif");
        WriteFile(path, b.bytes());
        QorHandle result = 0;
        ASSERT_EQ(QorReadTIF(nullptr, 0, path.c_str(), &result), 0);
        Image image = ReadDib(result);
        EXPECT_EQ(image.bits, 1);
        EXPECT_EQ(image.Colours(), (std::vector<std::uint32_t>{
                                       0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0xFFFFFF,
                                       0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF,
                                       0x000000, 0x000000, 0x000000, 0x000000}));
        EXPECT_EQ(QorReleaseDocument(result), 0);
        EXPECT_EQ(tiff::ValidateTiffPage(One({}, big)), QOR_NOT_TIFF);
    }
}

TEST_F(TiffDirectoryTest, ValueFieldsAndValueArrays) {
    for (bool big : {false, true}) {
        // PageNumber's two SHORTs both come from the value field.
        TiffPage p = One({E::Short(256, {300}), E::Short(297, {4, 7})}, big);
        EXPECT_EQ(p.imageWidth, 300u);
        EXPECT_EQ(p.pageNumber, 4);
        EXPECT_EQ(p.pageTotal, 7);
        // BitsPerSample: equal values give the value, any difference gives 0.
        EXPECT_EQ(One({E::Short(258, {8, 8, 8})}, big).bitsPerSample, 8);
        EXPECT_EQ(One({E::Short(258, {8, 8, 16})}, big).bitsPerSample, 0);
        EXPECT_EQ(One({E::Short(258, {16, 8})}, big).bitsPerSample, 0);
        EXPECT_EQ(One({E::Long(258, {4, 4, 4, 4})}, big).bitsPerSample, 4);
        // Values past the ten that are loaded cannot be known to agree.
        EXPECT_EQ(One({E::Short(258, std::vector<std::uint32_t>(11, 8))}, big).bitsPerSample, 0);
        // Out-of-line values are read and the walk goes on with the next entry.
        TiffPage q = One({E::Short(258, {4, 4, 4}), E::Short(259, {5}), E::Long(278, {9})}, big);
        EXPECT_EQ(q.bitsPerSample, 4);
        EXPECT_EQ(q.compression, 5);
        EXPECT_EQ(q.rowsPerStrip, 9u);
        // Two LONGs are read from the file.
        EXPECT_EQ(One({E::Long(297, {3, 5})}, big).pageTotal, 5);
        // ExtraSamples with one value records the value.
        EXPECT_EQ(One({E::Short(338, {2})}, big).extraSamples, 2);
        // A ColorMap turns off a grey response curve of the same directory.
        TiffPage c =
            One({E::Short(290, {2}), E::Raw(291, 3, 16, 500), E::Raw(320, 3, 48, 900)}, big);
        EXPECT_EQ(c.grayResponseUnit, 0);
        EXPECT_EQ(c.colorMapOffset, 900u);
        EXPECT_EQ(c.colorMapCount, 48);
    }
}

// Each row puts a long or differently typed entry next to one whose field it could be mistaken
// for. Entries without values of their own, or of a type their tag cannot take, are ignored.
TEST_F(TiffDirectoryTest, EveryTagReadsOnlyItsOwnValues) {
    std::vector<std::uint32_t> forty;
    for (std::uint32_t i = 0; i < 40; ++i) forty.push_back(300 + i);
    struct Case {
        const char* what;
        std::vector<E::Entry> entries;
        std::uint32_t (*field)(const TiffPage&);
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"RATIONAL",
         {E::Long(256, {77}), E::Raw(257, 5, 1, 1234)},
         [](const TiffPage& p) { return p.imageLength; },
         0},
        {"count 0",
         {E::Long(256, {55}), E::Raw(257, 4, 0, 99)},
         [](const TiffPage& p) { return p.imageLength; },
         0},
        {"array past the end",
         {E::Long(256, {55}), E::Raw(257, 4, 3, 0x7FFFFFF0)},
         [](const TiffPage& p) { return p.imageLength; },
         0},
        {"forty LONGs",
         {E::Long(256, {55}), E::Long(257, forty)},
         [](const TiffPage& p) { return p.imageLength; },
         300},
        {"BYTE Predictor",
         {E::Short(284, {2}), E::Raw(317, 1, 1, 2)},
         [](const TiffPage& p) { return std::uint32_t{p.predictor}; },
         1},
        {"SSHORT BitsPerSample",
         {E::Long(257, {16}), E::Raw(258, 8, 1, 16)},
         [](const TiffPage& p) { return std::uint32_t{p.bitsPerSample}; },
         1},
        {"StripByteCounts array",
         {E::Long(278, {9}), E::Long(279, forty)},
         [](const TiffPage& p) { return p.stripByteCounts; },
         300},
        {"one PageNumber",
         {E::Short(258, {8, 8}), E::Short(297, {5})},
         [](const TiffPage& p) { return std::uint32_t{p.pageTotal}; },
         0},
        {"LONG ColorMap",
         {E::Raw(320, 4, 768, 4000)},
         [](const TiffPage& p) { return p.colorMapOffset; },
         0},
        {"ColorMap count over 16 bits",
         {E::Raw(320, 3, 0x10000 + 768, 4000)},
         [](const TiffPage& p) { return std::uint32_t{p.colorMapCount}; },
         2},
        {"RATIONAL StripOffsets",
         {E::Raw(273, 5, 1, 4000)},
         [](const TiffPage& p) { return p.stripCount; },
         0},
        {"LONG Photometric over 16 bits",
         {E::Short(262, {3}), E::Long(262, {0x30000})},
         [](const TiffPage& p) { return std::uint32_t{p.photometric}; },
         3},
        {"SHORT StripOffsets over 16 bits",
         {E::Raw(273, 3, 0x10001, 4000)},
         [](const TiffPage& p) { return p.stripCount; },
         0x10001},
    };
    for (const Case& c : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(c.field(One(c.entries, big)), c.expected);
        }
    }
    // Two grey response values are held in the entry's own value field.
    TiffBuilder b(false);
    const std::uint32_t ifd = b.AddIfd({E::Short(291, {100, 200})});
    auto pages = Parse(b.bytes());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].colorMapOffset, ifd + 2 + 8);
}

TEST_F(TiffDirectoryTest, StripOffsetForms) {
    for (bool big : {false, true}) {
        TiffPage one = One({E::Long(273, {4321})}, big);
        EXPECT_EQ(one.stripOffsets, 4321u);
        EXPECT_EQ(one.stripCount, 1u);
        EXPECT_EQ(one.stripOffsetSize, 4);

        TiffBuilder b(big);
        std::vector<std::uint32_t> forty;
        for (std::uint32_t i = 0; i < 40; ++i) forty.push_back(1000 + i);
        std::uint32_t array = b.AppendLongs(forty);
        b.AddIfd({E::Raw(273, 4, 40, array)});
        auto pages = Parse(b.bytes());
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].stripOffsets, array);
        EXPECT_EQ(pages[0].stripCount, 40u);
        EXPECT_EQ(pages[0].stripOffsetSize, 4);

        TiffPage s = One({E::Short(273, {999})}, big);
        EXPECT_EQ(s.stripOffsets, 999u);
        EXPECT_EQ(s.stripCount, 1u);
        EXPECT_EQ(s.stripOffsetSize, 2);

        // 20 SHORT offsets in an array beyond the first 64 KiB.
        TiffBuilder far(big);
        far.PadTo(70000);
        std::vector<std::uint32_t> twenty;
        for (std::uint32_t i = 0; i < 20; ++i) twenty.push_back(50 + 3 * i);
        std::uint32_t at = far.AppendShorts(twenty);
        ASSERT_GT(at, 65536u);
        far.AddIfd({E::Raw(273, 3, 20, at)});
        std::string path = dir_.Path("far.tif");
        WriteFile(path, far.bytes());
        auto farPages = Parse(far.bytes());
        ASSERT_EQ(farPages.size(), 1u);
        const TiffPage& f = farPages[0];
        EXPECT_EQ(f.stripOffsets, at);
        EXPECT_EQ(f.stripCount, 20u);
        EXPECT_EQ(f.stripOffsetSize, 2);
        auto walked = Walk(path, f);
        ASSERT_EQ(walked.size(), 20u);
        for (std::uint32_t j = 0; j < 20; ++j) EXPECT_EQ(walked[j].first, twenty[j]);

        // Two SHORT offsets and counts held in the value fields themselves are read from there.
        TiffBuilder two(big);
        two.AddIfd({E::Short(256, {1}), E::Short(273, {0x1234, 0x5678}), E::Short(279, {7, 9})});
        two.PadTo(0x6000);
        path = dir_.Path("two.tif");
        WriteFile(path, two.bytes());
        auto twoPages = Parse(two.bytes());
        ASSERT_EQ(twoPages.size(), 1u);
        EXPECT_EQ(twoPages[0].stripCount, 2u);
        const std::vector<std::pair<std::uint32_t, std::uint32_t>> both = {{0x1234, 7},
                                                                           {0x5678, 9}};
        EXPECT_EQ(Walk(path, twoPages[0]), both);
    }
}

TEST_F(TiffDirectoryTest, ChainsAreCountedAndEndOnLoops) {
    TiffBuilder b(true);
    std::uint32_t first = b.AddIfd({E::Short(256, {1})});
    std::uint32_t second = b.AddIfd({E::Short(256, {2})});
    b.AddIfd({E::Short(256, {3})});
    auto pages = Parse(b.bytes());
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[2].imageWidth, 3u);

    for (std::uint32_t target : {first, second}) {
        TiffBuilder loop = b;
        loop.SetNext(2, target);
        auto looped = Parse(loop.bytes());
        ASSERT_EQ(looped.size(), 3u);
        for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(looped[i].imageWidth, i + 1);
    }
    TiffBuilder self(false);
    std::uint32_t only = self.AddIfd({E::Short(256, {1})});
    self.SetNext(0, only);
    EXPECT_EQ(Parse(self.bytes()).size(), 1u);
    // A directory that starts inside one already counted, or whose entries cover the start of
    // one, ends the chain too.
    TiffBuilder inside = b;
    inside.SetNext(1, second + 2 + 12 / 2);
    EXPECT_EQ(Parse(inside.bytes()).size(), 2u);
    TiffBuilder covering(false);
    covering.PadTo(200);
    std::uint32_t later = covering.AddIfd({E::Short(256, {1})});
    std::uint32_t earlier = covering.AddIfd({E::Short(256, {2})});
    ASSERT_GT(earlier, later);
    covering.SetNext(0, later - 12);  // its 5 entries would run over `later`
    Bytes bytes = covering.bytes();
    bytes[later - 12] = 5;
    bytes[later - 11] = 0;
    EXPECT_EQ(Parse(bytes).size(), 1u);
    // Overlapping directories that each claim 65535 entries end at the first overlap.
    TiffBuilder many(false);
    many.PadTo(8 + 4 * 1000 + 786430);
    Bytes overlapping = many.bytes();
    overlapping[4] = 8;  // the first directory
    for (std::uint32_t k = 0; k < 1000; ++k) {
        overlapping[8 + 4 * k] = overlapping[9 + 4 * k] = 0xFF;
        std::uint32_t link = 12 + 4 * k;
        std::memcpy(&overlapping[786430 + 4 * k], &link, 4);
    }
    EXPECT_EQ(Parse(overlapping).size(), 1u);
    // A truncated directory is a page all the same; it keeps its defaults where reads fail.
    Bytes cut = b.bytes();
    cut.resize(first + 8);
    auto partial = Parse(cut);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].imageWidth, 0u);
    EXPECT_EQ(partial[0].photometric, 10);
}

TEST_F(TiffDirectoryTest, ChainsStopAt65535Directories) {
    TiffBuilder b(false);
    for (int i = 0; i < 65537; ++i) b.AddIfd({});
    std::string path = dir_.Path("many.tif");
    WriteFile(path, b.bytes());
    HFILE f = plat::_lopen(path.c_str(), 0);
    std::uint16_t order = 0;
    std::uint32_t offset = 0;
    ASSERT_EQ(tiff::ReadTiffHeader(f, &order, &offset), 0);
    std::uint16_t n = 0;
    EXPECT_EQ(tiff::CountTiffPages(f, offset, order, &n), 0);
    EXPECT_EQ(n, 65535);
    plat::_lclose(f);
    // The reader parses exactly those pages: all are refused, with the first page's code.
    Request r(path);
    EXPECT_EQ(ReadTiffWorker(r.get()), QOR_NOT_TIFF);
}

}  // namespace
}  // namespace qor::test
