// Reads on the caller's terms (QorReadTIFEx, QorReadGIFEx: the pages, the memory limit, the
// options record) and the describe calls held to what a read delivers.
#include <filesystem>
#include <map>

#include "gif_builder.h"
#include "platform/dib.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "support/tiff_lzw_model.h"

namespace qor::test {
namespace {

class ReadOptionsTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
    std::string Write(const Bytes& data, const std::string& name = "t.tif") {
        std::string path = dir_.Path(name);
        WriteFile(path, data);
        return path;
    }
};

QorReadOptions Options(std::uint32_t first, std::uint32_t count, std::uint64_t limit = 0) {
    QorReadOptions o{};
    o.size = sizeof o;
    o.firstPage = first;
    o.pageCount = count;
    o.memoryLimit = limit;
    return o;
}

// An 8-bit grey page whose width tells it apart, in one strip of `rows` rows (all by default).
TiffPageSpec Grey(std::uint32_t width, std::uint32_t height = 2, std::uint32_t rows = 0) {
    TiffPageSpec p;
    p.width = width;
    p.height = height;
    p.strips = {Bytes(std::size_t{width} * (rows != 0 ? rows : height), 7)};
    return p;
}

// The status of a read and the widths of the layers it delivered (then released).
struct Pages {
    std::int16_t status = -1;
    std::vector<std::uint32_t> widths;
};

Pages ReadPages(const std::string& path, const QorReadOptions* options) {
    Pages r;
    QorHandle first = 0;
    r.status = QorReadTIFEx(nullptr, 0, path.c_str(), options, &first);
    if (r.status != 0) return r;
    std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
    QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
    for (QorHandle h : layers) r.widths.push_back(ReadDib(h).width);
    EXPECT_EQ(QorReleaseDocument(first), 0);
    return r;
}

TEST_F(ReadOptionsTest, OnlyThePagesOfTheRangeAreReadUnderTheReadsRules) {
    TiffPageSpec planar = Grey(3), jpeg = Grey(5);
    planar.extra = {TiffBuilder::Short(284, {2})};
    jpeg.compression = 7;
    const std::string path = Write(MakeTiff({Grey(1), Grey(2), planar, Grey(4), jpeg, Grey(6)}));
    const struct {
        const char* name;
        std::uint32_t first, count;
        std::int16_t status;
        std::vector<std::uint32_t> widths;
    } cases[] = {
        {"first", 0, 1, 0, {1}},
        {"last, after a page without decoder", 5, 1, 0, {6}},
        {"middle, a refused page inside", 1, 3, 0, {2, 4}},
        {"running past the last page", 5, 9, 0, {6}},
        {"past the last page", 6, 1, QOR_BAD_REQUEST, {}},
        {"from past the last page to the end", 6, 0, QOR_BAD_REQUEST, {}},
        {"nothing to decode: its first page's refusal", 2, 1, QOR_TIFF_PLANAR, {}},
        {"a page without decoder inside ends the read", 3, 3, QOR_TIFF_COMPRESSION, {}},
        {"every page, as QorReadTIF", 0, 0, QOR_TIFF_COMPRESSION, {}},
        {"up to that page", 0, 4, 0, {1, 2, 4}},
    };
    for (const auto& c : cases) {
        const QorReadOptions o = Options(c.first, c.count);
        const Pages got = ReadPages(path, &o);
        EXPECT_EQ(got.status, c.status) << c.name;
        EXPECT_EQ(got.widths, c.widths) << c.name;
    }
    EXPECT_EQ(ReadPages(path, nullptr).status, QOR_TIFF_COMPRESSION);
}

TEST_F(ReadOptionsTest, TheMemoryLimitCoversTheWholeRead) {
    const std::uint64_t page = DibSize(64, 64, 8);
    const std::string path = Write(MakeTiff({Grey(64, 64), Grey(64, 64), Grey(64, 64)}));
    // 10240 x 10240 grey (100 MB) with one row of data: refused before its block is taken.
    const std::string large = Write(MakeTiff({Grey(10240, 10240, 1)}), "large.tif");
    // What reads of one, two and three pages take, all their memory counted: their DIBs and more.
    std::uint64_t need[4] = {};
    for (std::uint32_t n = 1; n <= 3; ++n) {
        const QorReadOptions o = Options(0, n == 3 ? 0 : n, 0);
        plat::testing::ResetPeak();
        ASSERT_EQ(ReadPages(path, &o).status, 0);
        need[n] = plat::testing::ReadPeak();
        EXPECT_GT(need[n], n * page);
    }
    const struct {
        const char* path;
        std::uint32_t count;
        std::uint64_t limit;
        std::int16_t status;
        std::size_t layers;
    } cases[] = {
        {path.c_str(), 0, page - 1, QOR_NO_MEMORY, 0},
        {path.c_str(), 1, need[1], 0, 1},
        {path.c_str(), 1, need[1] - 1, QOR_NO_MEMORY, 0},
        {path.c_str(), 0, need[1], QOR_NO_MEMORY, 0},
        {path.c_str(), 2, need[2], 0, 2},
        {path.c_str(), 0, need[2], QOR_NO_MEMORY, 0},
        {path.c_str(), 0, need[3], 0, 3},
        {path.c_str(), 0, 0, 0, 3},
        {large.c_str(), 0, 64u << 20, QOR_NO_MEMORY, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " pages, limit " << c.limit);
        const QorReadOptions o = Options(0, c.count, c.limit);
        plat::testing::ResetPeak();
        const Pages got = ReadPages(c.path, &o);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.widths.size(), c.layers);
        EXPECT_LT(plat::testing::PeakBytes(), std::max<std::uint64_t>(c.limit, 3 * page) + 65536);
    }
    // A GIF's one DIB, and the read's working memory with it.
    const std::string gif = std::string(QORIMG_TEST_DATA) + "/../../examples/plasma256.gif";
    QorGifInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(QorDescribeGIF(gif.c_str(), &info, nullptr, 0), 0);
    const std::uint64_t dib = DibSize(info.width, info.height, info.bitsPerPixel);
    auto readGif = [](const std::string& file, const QorReadOptions& o) {
        QorHandle h = 0;
        std::int16_t transparent = 0;
        const std::int16_t status = QorReadGIFEx(nullptr, 0, file.c_str(), &o, &h, &transparent);
        std::uint32_t layers = 0;
        if (status == 0) {
            layers = QorDocumentLayers(h, nullptr, 0);
            EXPECT_EQ(QorReleaseDocument(h), 0);
        }
        return std::make_pair(status, layers);
    };
    plat::testing::ResetPeak();
    ASSERT_EQ(readGif(gif, Options(0, 0, 0)).first, 0);
    const std::uint64_t gifNeed = plat::testing::ReadPeak();
    EXPECT_GT(gifNeed, dib);
    for (std::uint64_t limit : {dib - 1, gifNeed - 1, gifNeed}) {
        EXPECT_EQ(readGif(gif, Options(0, 0, limit)).first, limit < gifNeed ? QOR_NO_MEMORY : 0)
            << limit;
    }
    // An extended GIF read: a layer of the screen's size for every frame, all within the limit.
    // Tiny frames on a large screen end at the limit, whatever their number.
    auto animation = [](std::uint16_t side, std::uint32_t frames) {
        Bytes g;
        g.reserve(1024);  // GCC 12 takes the first insertions for overflows otherwise
        gifb::Header(g, side, side, 0xF7);
        gifb::ColorTable(g, 256);
        for (std::uint32_t i = 0; i < frames; ++i) {
            gifb::ImageDescriptor(g, 1, 1, 0, static_cast<std::uint16_t>(i % side));
            const std::vector<std::uint8_t> pixel(1, static_cast<std::uint8_t>(i));
            gifb::ImageData(g, 8, gifb::LiteralCodes(8, pixel).bytes());
        }
        gifb::Trailer(g);
        return g;
    };
    const std::string frames = Write(animation(64, 3), "frames.gif");
    const std::string many = Write(animation(8192, 100000), "many.gif");
    const std::uint64_t layer = DibSize(64, 64, 8), big = DibSize(8192, 8192, 8);
    std::uint64_t layersNeed[2] = {};  // all frames, the first alone
    for (std::uint32_t count : {0u, 1u}) {
        QorReadOptions o = Options(0, count, 0);
        o.flags = QOR_READ_EXTENDED;
        plat::testing::ResetPeak();
        ASSERT_EQ(readGif(frames, o).first, 0);
        layersNeed[count] = plat::testing::ReadPeak();
    }
    EXPECT_GT(layersNeed[0], 3 * layer);
    const struct {
        const std::string& path;
        std::uint32_t count;
        std::uint64_t limit;
        std::int16_t status;
        std::uint32_t layers;
    } gifCases[] = {
        {frames, 0, layersNeed[0] - 1, QOR_NO_MEMORY, 0},
        {frames, 0, layersNeed[0], 0, 3},
        {frames, 1, layersNeed[1], 0, 1},
        {frames, 0, 0, 0, 3},
        {many, 0, 3 * big + 100, QOR_NO_MEMORY, 0},
    };
    for (const auto& c : gifCases) {
        SCOPED_TRACE(testing::Message() << c.path << ", limit " << c.limit);
        QorReadOptions o = Options(0, c.count, c.limit);
        o.flags = QOR_READ_EXTENDED;
        plat::testing::ResetPeak();
        const auto got = readGif(c.path, o);
        EXPECT_EQ(got.first, c.status);
        EXPECT_EQ(got.second, c.layers);
        EXPECT_LT(plat::testing::PeakBytes(), std::max(c.limit, 3 * layer) + (128u << 10));
    }
}

TEST_F(ReadOptionsTest, TheOptionsRecordGrowsAndRefusesWhatItDoesNotKnow) {
    const std::string path = Write(MakeTiff({Grey(1), Grey(2)}));
    struct Later {
        QorReadOptions known;
        std::uint32_t added[2];
    };
    const struct {
        const char* name;
        void (*change)(Later*);
        std::int16_t status;
    } cases[] = {
        {"as it is", [](Later*) {}, 0},
        {"a thread count", [](Later* o) { o->known.threads = 3; }, 0},
        {"a later, larger record", [](Later* o) { o->known.size = sizeof(Later); }, 0},
        {"a later record asking for more",
         [](Later* o) {
             o->known.size = sizeof(Later);
             o->added[1] = 1;
         },
         QOR_BAD_REQUEST},
        {"too small", [](Later* o) { o->known.size = sizeof(QorReadOptions) - 4; },
         QOR_BAD_REQUEST},
        {"no size", [](Later* o) { o->known.size = 0; }, QOR_BAD_REQUEST},
        {"a reserved flag", [](Later* o) { o->known.flags = 2; }, QOR_BAD_REQUEST},
        {"the last flag", [](Later* o) { o->known.flags = 0x80000000u; }, QOR_BAD_REQUEST},
        {"the reserved field", [](Later* o) { o->known.reserved = 1; }, QOR_BAD_REQUEST},
    };
    for (const auto& c : cases) {
        Later o{Options(0, 0), {0, 0}};
        c.change(&o);
        QorHandle first = 12345;
        const std::int16_t status = QorReadTIFEx(nullptr, 0, path.c_str(), &o.known, &first);
        EXPECT_EQ(status, c.status) << c.name;
        if (status == 0) {
            EXPECT_EQ(QorDocumentLayers(first, nullptr, 0), 2u) << c.name;
            EXPECT_EQ(QorReleaseDocument(first), 0);
        } else {
            EXPECT_EQ(first, 12345u) << c.name;  // not written
        }
    }
    // A GIF has one page.
    const std::string gif = std::string(QORIMG_TEST_DATA) + "/../../examples/plasma256.gif";
    for (const QorReadOptions& o : {Options(1, 0), Options(0, 2)}) {
        QorHandle h = 0;
        std::int16_t transparent = 0;
        EXPECT_EQ(QorReadGIFEx(nullptr, 0, gif.c_str(), &o, &h, &transparent), QOR_BAD_REQUEST);
    }
    // Describe records follow the options' rule: a later, larger record is taken when its tail
    // is 0 (and told how much was filled); one that sets a later field, or a smaller one, is
    // refused with nothing written.
    struct LaterInfo {
        QorTifInfo known;
        std::uint32_t added;
    };
    const struct {
        std::uint32_t size, added;
        std::int16_t status;
    } records[] = {{sizeof(LaterInfo), 0, 0},
                   {sizeof(LaterInfo), 1, QOR_BAD_REQUEST},
                   {sizeof(QorTifInfo) - 4, 0, QOR_BAD_REQUEST}};
    for (const auto& c : records) {
        LaterInfo info{};
        info.known.size = c.size;
        info.added = c.added;
        EXPECT_EQ(QorDescribeTIF(path.c_str(), &info.known, nullptr, 0), c.status) << c.size;
        EXPECT_EQ(info.known.pageCount, c.status == 0 ? 2u : 0u) << c.size;
        if (c.status == 0) {
            EXPECT_EQ(info.known.size, sizeof(QorTifInfo));
        }
        struct {
            QorGifInfo known;
            std::uint32_t added;
        } gif{};
        gif.known.size = c.size - sizeof(QorTifInfo) + sizeof(QorGifInfo);
        gif.added = c.added;
        const std::string plasma = std::string(QORIMG_TEST_DATA) + "/../../examples/plasma256.gif";
        EXPECT_EQ(QorDescribeGIF(plasma.c_str(), &gif.known, nullptr, 0), c.status) << c.size;
    }
}

// Every page of every TIFF, and every GIF, of the samples and the corpora: the description gives
// the size and status that a read of that page alone delivers (a page that it passes can still
// fail in its data), and its count.
// A page between two plain ones (widths 3 and 4) that a coding cannot hold is refused by its
// layout: described with the status that a read of it alone gives, and skipped by a read of the
// whole file. A stray tile entry on a page of strips is no tiled page: libtiff reads its strips.
TEST_F(ReadOptionsTest, PagesRefusedByTheirLayoutAreDescribedAsReadAndSkipped) {
    using E = TiffBuilder;
    auto page = [](std::uint32_t compression, std::vector<std::uint32_t> bits, int photometric,
                   std::vector<E::Entry> extra = {}) {
        TiffPageSpec p = Grey(5);
        p.compression = compression;
        p.bits = std::move(bits);
        p.photometric = photometric;
        p.extra = std::move(extra);
        return p;
    };
    const std::uint32_t kBoth = 3, kExtended = 2;
    // Grey 7 throughout, as LZW data of the old kind (codes stored lowest bit first), which
    // libtiff decodes and the classic decoder does not.
    TiffPageSpec oldStyle = Grey(5);
    oldStyle.compression = 5;
    oldStyle.strips = {EncodeLzw(Grey(5).strips.at(0), true, 4093, true)};
    struct Case {
        const char* name;
        TiffPageSpec middle;
        std::uint32_t modes;               // 1: classic, 2: extended
        std::int16_t status;               // of the middle page; 0: delivered as its strip says
        std::int16_t extendedStatus = -1;  // where an extended read differs
    } cases[] = {
        {"Group 4, 8-bit samples", page(4, {8}, 0), kBoth, QOR_TIFF_UNSUPPORTED},
        {"Modified Huffman, 4-bit samples", page(2, {4}, 0), kBoth, QOR_TIFF_UNSUPPORTED},
        {"JPEG, two samples", page(7, {8, 8}, 1), kExtended, QOR_TIFF_UNSUPPORTED},
        {"JPEG, four samples", page(7, {8, 8, 8, 8}, 2), kExtended, QOR_TIFF_UNSUPPORTED},
        {"JPEG, 16-bit samples", page(7, {16}, 1), kExtended, QOR_TIFF_UNSUPPORTED},
        {"a stray TileByteCounts", page(1, {8}, 1, {E::Long(325, {10})}), kBoth, 0},
        {"TileWidth and TileLength without offsets",
         page(1, {8}, 1, {E::Long(322, {16}), E::Long(323, {16})}), kBoth, 0},
        {"old-style LZW", oldStyle, kBoth, QOR_READ_FAILED, 0},
    };
    for (const Case& c : cases) {
        const std::string path = Write(MakeTiff({Grey(3), c.middle, Grey(4)}));
        for (std::uint32_t mode : {1u, 2u}) {
            if ((c.modes & mode) == 0) continue;
            const std::uint32_t flags = mode == 2 ? QOR_READ_EXTENDED : 0;
            SCOPED_TRACE(std::string(c.name) + (flags != 0 ? ", extended" : ", classic"));
            QorTifInfo info{};
            info.size = sizeof info;
            info.flags = flags;
            QorTifPage pages[3] = {};
            ASSERT_EQ(QorDescribeTIF(path.c_str(), &info, pages, 3), 0);
            QorReadOptions one = Options(1, 1);
            one.flags = flags;
            QorHandle dib = 0;
            const std::int16_t alone = QorReadTIFEx(nullptr, 0, path.c_str(), &one, &dib);
            const std::int16_t status =
                flags != 0 && c.extendedStatus >= 0 ? c.extendedStatus : c.status;
            EXPECT_EQ(alone, status);
            EXPECT_EQ(pages[1].status, alone);
            if (alone == 0) {
                // The strip holds grey 7 throughout.
                const Image image = ReadDib(dib);
                EXPECT_EQ(image.Colours(), std::vector<std::uint32_t>(10, 0x070707));
                QorReleaseDocument(dib);
            }
            QorReadOptions all = Options(0, 0);
            all.flags = flags;
            const Pages whole = ReadPages(path, &all);
            EXPECT_EQ(whole.status, 0);
            EXPECT_EQ(info.status, 0);
            const std::vector<std::uint32_t> widths = status == 0
                                                          ? std::vector<std::uint32_t>{3, 5, 4}
                                                          : std::vector<std::uint32_t>{3, 4};
            EXPECT_EQ(whole.widths, widths);
        }
    }
    // A file cut before its strips: the read fails at the first strip, and the description says
    // so for both the page and the file.
    Bytes cut = MakeTiffStripsLast(Grey(5));
    cut.resize(cut.size() - 10);
    const std::string path = Write(cut, "cut.tif");
    for (std::uint32_t flags : {0u, std::uint32_t{QOR_READ_EXTENDED}}) {
        QorTifInfo info{};
        info.size = sizeof info;
        info.flags = flags;
        QorTifPage page{};
        ASSERT_EQ(QorDescribeTIF(path.c_str(), &info, &page, 1), 0);
        QorReadOptions all = Options(0, 0);
        all.flags = flags;
        const Pages whole = ReadPages(path, &all);
        EXPECT_EQ(whole.status, QOR_READ_FAILED) << flags;
        EXPECT_EQ(info.status, whole.status) << flags;
        EXPECT_EQ(page.status, whole.status) << flags;
    }
}

TEST_F(ReadOptionsTest, DescriptionsAgreeWithWhatAReadOfEachPageDelivers) {
    std::vector<std::string> roots = {DataPath("tiff"), DataPath("fax"), DataPath("gif"),
                                      std::string(QORIMG_TEST_DATA) + "/../../examples"};
    if (!CorporaDir().empty()) roots.push_back(CorporaDir());
    std::size_t files = 0;
    std::map<std::uint32_t, std::uint32_t> pagesDecoded;
    for (const std::string& root : roots) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
            const std::string path = e.path().string(), ext = e.path().extension().string();
            if (ext == ".gif") {
                ++files;
                QorGifInfo info{};
                info.size = sizeof info;
                ASSERT_EQ(QorDescribeGIF(path.c_str(), &info, nullptr, 0), 0) << path;
                QorHandle dib = 0;
                std::int16_t transparent = 0;
                const std::int16_t status =
                    QorReadGIFEx(nullptr, 0, path.c_str(), nullptr, &dib, &transparent);
                if (info.status != 0) {
                    EXPECT_EQ(status, info.status) << path;
                }
                if (status != 0) continue;
                const Image image = ReadDib(dib);
                EXPECT_EQ(image.width, info.width) << path;
                EXPECT_EQ(image.height, info.height) << path;
                EXPECT_EQ(transparent, info.transparentIndex) << path;
                QorReleaseDocument(dib);
                continue;
            }
            if (ext != ".tif" && ext != ".tiff") continue;
            ++files;
            // Classic, then extended: the description holds for the read it is asked about.
            for (std::uint32_t flags : {0u, std::uint32_t{QOR_READ_EXTENDED}}) {
                QorTifInfo info{};
                info.size = sizeof info;
                info.flags = flags;
                ASSERT_EQ(QorDescribeTIF(path.c_str(), &info, nullptr, 0), 0) << path;
                std::vector<QorTifPage> pages(info.pageCount);
                ASSERT_EQ(QorDescribeTIF(path.c_str(), &info, pages.data(), info.pageCount), 0);
                QorReadOptions all = Options(0, 0);
                all.flags = flags;
                QorHandle whole = 0;
                const std::int16_t wholeStatus =
                    QorReadTIFEx(nullptr, 0, path.c_str(), &all, &whole);
                if (info.status != 0) {
                    EXPECT_EQ(wholeStatus, info.status) << path << " flags " << flags;
                }
                std::uint32_t decoded = 0;
                for (std::uint32_t i = 0; i < info.pageCount; ++i) {
                    QorReadOptions o = Options(i, 1);
                    o.flags = flags;
                    QorHandle dib = 0;
                    const std::int16_t status = QorReadTIFEx(nullptr, 0, path.c_str(), &o, &dib);
                    if (pages[i].status != 0) {
                        EXPECT_EQ(status, pages[i].status) << path << " page " << i;
                    }
                    if (status != 0) continue;
                    ++decoded;
                    ++pagesDecoded[flags];
                    const Image image = ReadDib(dib);
                    // An extended read shows a page turned a quarter with width and height
                    // exchanged.
                    const bool turned =
                        flags != 0 && pages[i].orientation >= 5 && pages[i].orientation <= 8;
                    EXPECT_EQ(image.width, turned ? pages[i].height : pages[i].width)
                        << path << " page " << i;
                    EXPECT_EQ(image.height, turned ? pages[i].width : pages[i].height)
                        << path << " page " << i;
                    QorReleaseDocument(dib);
                }
                if (wholeStatus == 0) {
                    EXPECT_EQ(QorDocumentLayers(whole, nullptr, 0), decoded) << path;
                    QorReleaseDocument(whole);
                }
            }
        }
    }
    // Every page that a classic read decodes, an extended one decodes too, and more.
    EXPECT_GT(pagesDecoded[QOR_READ_EXTENDED], pagesDecoded[0]);
    std::printf("TIFF pages decoded: %u classic, %u extended\n", pagesDecoded[0],
                pagesDecoded[QOR_READ_EXTENDED]);
    EXPECT_GT(files, 20u);
}

}  // namespace
}  // namespace qor::test
