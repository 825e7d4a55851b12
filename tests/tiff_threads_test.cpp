// Reads whose strips are decoded on several threads against reads on one: the same DIBs,
// statuses, rows decoded and progress calls, on the samples, the corpora, the fuzz corpora's
// damaged files and strips damaged on purpose; and a threaded read cancelled at each of its
// progress calls ends as the read on one thread does, with nothing left behind. Small pages take
// the threaded path here (SetSmallestThreadedPage).
#include <filesystem>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "platform/testing.h"
#include "support/fax_codes.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "support/tiff_lzw_model.h"

namespace qor::test {
namespace {

// What a read delivered, and the progress calls that it made on the caller's thread.
struct Outcome {
    std::int16_t status = 0;
    std::uint32_t stoppedAt = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ended;  // page, first blank row
    std::vector<Bytes> layers;                                   // each DIB block whole
    std::vector<std::pair<std::uint32_t, std::uint32_t>> progress;
};

// What differs between two outcomes, for a failure's message.
std::string Difference(const Outcome& a, const Outcome& b) {
    if (a.status != b.status) {
        return "status " + std::to_string(a.status) + " vs " + std::to_string(b.status);
    }
    if (a.stoppedAt != b.stoppedAt || a.ended != b.ended) return "where the pages ended";
    if (a.progress != b.progress) {
        return std::to_string(a.progress.size()) + " progress calls vs " +
               std::to_string(b.progress.size());
    }
    for (std::size_t i = 0; i < std::min(a.layers.size(), b.layers.size()); ++i) {
        if (a.layers[i] != b.layers[i]) return "the DIB of layer " + std::to_string(i);
    }
    return a.layers.size() != b.layers.size() ? "the layers" : "";
}

Outcome Read(const std::string& path, std::uint32_t threads, bool extended,
             std::uint32_t cancelAt = 0, std::uint64_t limit = 64u << 20) {
    ProgressRecorder recorder;
    recorder.cancelAt = cancelAt;
    gRecorder = &recorder;
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = extended ? QOR_READ_EXTENDED : 0;
    options.memoryLimit = limit;
    options.threads = threads;
    ReadInfo info;
    std::uint32_t first = 0;
    Outcome o;
    o.status =
        ReadWithInfo(ReadFormat::Tiff, RecordProgress, 0, path.c_str(), &info, &first, &options);
    gRecorder = nullptr;
    o.stoppedAt = info.stoppedAtPage;
    for (const PageEnd& e : info.endedEarly) o.ended.emplace_back(e.page, e.firstBlankRow);
    o.progress = recorder.calls;
    if (o.status == 0) {
        std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
        QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
        for (QorHandle h : layers) {
            const auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(h));
            o.layers.emplace_back(p, p + plat::GlobalSize(h));
            plat::GlobalUnlock(h);
        }
        EXPECT_EQ(QorReleaseDocument(first), 0);
    }
    return o;
}

// Whether a page of the file has strips that the threaded loop may share out: several strips of
// a coding whose codec makes another of itself.
bool HasThreadedPages(const std::string& path) {
    QorTifInfo info{};
    info.size = sizeof info;
    std::vector<QorTifPage> pages(64);
    if (QorDescribeTIF(path.c_str(), &info, pages.data(), 64) != 0) return false;
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(info.pageCount, 64); ++i) {
        const std::uint16_t c = pages[i].compression;
        if (pages[i].strips > 1 && (c == 2 || c == 3 || c == 4 || c == 5 || c == 32773))
            return true;
    }
    return false;
}

std::vector<std::string> TiffsIn(const std::string& dir, bool onlyThreaded) {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, error)) {
        const std::string path = entry.path().string();
        const std::string ext = entry.path().extension().string();
        const bool tiff = ext == ".tif" || ext == ".tiff" || ext.empty();
        if (entry.is_regular_file() && tiff && (!onlyThreaded || HasThreadedPages(path))) {
            paths.push_back(path);
        }
    }
    return paths;
}

// Rows of `width` RGB pixels that change from row to row, `rows` of them from row `first`.
Bytes RgbRows(std::uint32_t width, std::uint32_t first, std::uint32_t rows) {
    Bytes b;
    for (std::uint32_t y = first; y < first + rows; ++y) {
        for (std::uint32_t x = 0; x < 3 * width; ++x)
            b.push_back(static_cast<std::uint8_t>(x * y + y));
    }
    return b;
}

constexpr std::uint32_t kWidth = 24, kHeight = 40, kPerStrip = 2;

// An RGB LZW page of 2-row strips, whose strip `damaged` is made as `how` says; with `grey`, a
// grey page whose rows of 300 bytes (the bytes of 100 RGB pixels) are decoded straight into the
// DIB.
enum class Damage { kNone, kEndsAfterOneRow, kNoEoiAndAnExtraRow, kGarbage, kEmpty };
TiffPageSpec LzwPage(std::uint32_t damaged, Damage how, bool grey = false) {
    TiffPageSpec p;
    const std::uint32_t pixels = grey ? 100 : kWidth;
    p.width = grey ? 3 * pixels : pixels;
    p.height = kHeight;
    p.bits = grey ? std::vector<std::uint32_t>{8} : std::vector<std::uint32_t>{8, 8, 8};
    p.photometric = grey ? 1 : 2;
    p.compression = 5;
    p.rowsPerStrip = kPerStrip;
    for (std::uint32_t s = 0; s < kHeight / kPerStrip; ++s) {
        const std::uint32_t first = s * kPerStrip;
        Bytes strip = EncodeLzw(RgbRows(pixels, first, kPerStrip));
        if (s == damaged && how == Damage::kEndsAfterOneRow) {
            // A row and a few bytes of the next, which the next strip goes on with.
            Bytes rows = RgbRows(pixels, first, 1);
            rows.insert(rows.end(), {1, 2, 3, 4, 5});
            strip = EncodeLzw(rows);
        } else if (s == damaged && how == Damage::kNoEoiAndAnExtraRow) {
            strip = EncodeLzw(RgbRows(pixels, first, kPerStrip + 1), false);
        } else if (s == damaged && how == Damage::kGarbage) {
            for (std::size_t i = 4; i < strip.size(); i += 3) strip[i] ^= 0x5A;
        } else if (s == damaged && how == Damage::kEmpty) {
            strip = {0x80};
        }
        p.strips.push_back(strip);
    }
    return p;
}

// A Modified Huffman page of rows of a black run that moves, 3 rows a strip, and a PackBits page
// alike; `damaged`: a strip of each cut short.
std::vector<TiffPageSpec> BilevelPages(bool damaged) {
    TiffPageSpec mh, packBits;
    mh.width = packBits.width = 20;
    mh.height = packBits.height = 30;
    mh.bits = packBits.bits = {1};
    mh.photometric = packBits.photometric = 0;
    mh.compression = 2;
    packBits.compression = 32773;
    mh.rowsPerStrip = packBits.rowsPerStrip = 3;
    const int runs[][3] = {{10, 5, 5}, {8, 2, 10}, {5, 7, 8}, {7, 3, 10}, {16, 4, 0}, {4, 8, 8}};
    for (int s = 0; s < 10; ++s) {
        std::string bits;
        Bytes packed;
        for (int y = 3 * s; y < 3 * s + 3; ++y) {
            const int* run = runs[y % 6];
            const std::string row = W(run[0]) + B(run[1]) + W(run[2]);
            bits += row + ToByte(row);
            packed.insert(packed.end(), {2, static_cast<std::uint8_t>(y), 0xF0, 0x0F});
        }
        mh.strips.push_back(Pack(bits));
        packBits.strips.push_back(packed);
    }
    if (damaged) {
        mh.strips[4] = {0x00, 0x01};
        packBits.strips[6].resize(5);
    }
    return {mh, packBits};
}

// Six bilevel pages, the third damaged: pages side by side.
std::vector<TiffPageSpec> SixBilevelPages() {
    const std::vector<TiffPageSpec> good = BilevelPages(false), damaged = BilevelPages(true);
    return {good[0], good[1], damaged[0], good[1], good[0], good[1]};
}

// The built files: every damage at the first, a middle and the last strip, a page whose strips
// run out, a strip that is no place in the file, fax and PackBits pages of many strips (six pages,
// one damaged, taken side by side), and stretches of a file zeroed.
std::vector<Bytes> DamagedFiles() {
    std::vector<Bytes> files;
    for (Damage how : {Damage::kNone, Damage::kEndsAfterOneRow, Damage::kNoEoiAndAnExtraRow,
                       Damage::kGarbage, Damage::kEmpty}) {
        for (std::uint32_t s : {0u, 7u, kHeight / kPerStrip - 1}) {
            // The damaged page between two good ones.
            files.push_back(MakeTiff(
                {LzwPage(99, Damage::kNone), LzwPage(s, how), LzwPage(99, Damage::kNone)}));
        }
        files.push_back(MakeTiff({LzwPage(7, how, true), LzwPage(99, Damage::kNone, true)}));
    }
    TiffPageSpec runsOut = LzwPage(99, Damage::kNone);
    runsOut.strips.resize(11);
    files.push_back(MakeTiff({runsOut}));
    // A strip offset past the end of the file: the walk fails there.
    {
        TiffBuilder b(false);
        TiffPageSpec p = LzwPage(99, Damage::kNone);
        std::vector<std::uint32_t> offsets, counts;
        for (const Bytes& s : p.strips) {
            offsets.push_back(b.Append(s));
            counts.push_back(static_cast<std::uint32_t>(s.size()));
        }
        offsets[9] = 0x7FFFFF00;
        using E = TiffBuilder;
        b.AddIfd({E::Long(256, {kWidth}), E::Long(257, {kHeight}), E::Short(258, {8, 8, 8}),
                  E::Short(259, {5}), E::Short(262, {2}), E::Long(273, offsets), E::Short(277, {3}),
                  E::Long(278, {kPerStrip}), E::Long(279, counts)});
        files.push_back(b.bytes());
    }
    files.push_back(MakeTiff(BilevelPages(false)));
    files.push_back(MakeTiff(BilevelPages(true)));
    files.push_back(MakeTiff(SixBilevelPages()));
    // Zeroed in the middle of the first page's strips and near the end of the second's (each
    // page's directory follows its strips), big-endian.
    const Bytes whole = MakeTiff({LzwPage(99, Damage::kNone), LzwPage(99, Damage::kNone)}, true);
    for (std::size_t from : {whole.size() / 4, whole.size() - 700}) {
        Bytes zeroed = whole;
        for (std::size_t i = from; i < from + 300; ++i) zeroed[i] = 0;
        files.push_back(zeroed);
    }
    return files;
}

class ThreadedReadTest : public LeakCheckedTest {
  protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        plat::testing::SetSmallestThreadedPage(1);
    }
    TempDir dir_;
};

TEST_F(ThreadedReadTest, ManyThreadsDeliverWhatOneDoes) {
    std::vector<std::string> paths = TiffsIn(DataPath("tiff"), false);
    const std::string corpora = CorporaDir();
    if (!corpora.empty()) {
        for (const std::string& p : TiffsIn(corpora, false)) paths.push_back(p);
    }
    for (const char* fuzz : {"tiff_read_fuzz", "tiff_diff_fuzz"}) {
        for (const std::string& p :
             TiffsIn(DataPath(std::string("../../fuzz/corpus/") + fuzz), true)) {
            paths.push_back(p);
        }
    }
    const std::vector<Bytes> built = DamagedFiles();
    for (std::size_t i = 0; i < built.size(); ++i) {
        paths.push_back(dir_.Path("built-" + std::to_string(i) + ".tif"));
        WriteFile(paths.back(), built[i]);
    }
    std::size_t threaded = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        // The built files also under limits that their pages reach (102 in the middle).
        std::vector<std::uint64_t> limits = {64u << 20};
        if (i + built.size() >= paths.size()) limits.insert(limits.end(), {700, 6000});
        for (std::uint64_t limit : limits) {
            for (bool extended : {false, true}) {
                const Outcome one = Read(path, 1, extended, 0, limit);
                for (std::uint32_t threads : {2u, 5u}) {
                    EXPECT_EQ(Difference(Read(path, threads, extended, 0, limit), one), "")
                        << path << " with " << threads << " threads, extended " << extended
                        << ", limit " << limit;
                }
            }
        }
        threaded += HasThreadedPages(path) ? 1 : 0;
    }
    // The table reaches the threaded path: files of many strips, damaged ones among them.
    EXPECT_GE(threaded, built.size());
}

TEST_F(ThreadedReadTest, ABudgetThatOneThreadKeepsToIsKeptToOnAnyNumber) {
    // Under a budget just above the most that the read on one thread holds, workers whose
    // working memory it has no room for are not started: the same pages, status and progress
    // calls on any number of threads, never 102. An LZW page of wide rows in small strips (whose
    // decoders each need more than an equal share of the usual working memory), one of narrow
    // rows, and bilevel pages side by side.
    TiffPageSpec wide;
    wide.width = 4000;
    wide.height = 24;
    wide.bits = {8, 8, 8};
    wide.photometric = 2;
    wide.compression = 5;
    wide.rowsPerStrip = 2;
    for (std::uint32_t first = 0; first < wide.height; first += 2) {
        wide.strips.push_back(EncodeLzw(RgbRows(wide.width, first, 2)));
    }
    const std::vector<TiffPageSpec> files[] = {
        {wide}, {LzwPage(99, Damage::kNone)}, {BilevelPages(false)[0], BilevelPages(false)[1]}};
    for (const std::vector<TiffPageSpec>& pages : files) {
        const std::string path = dir_.Path("budget.tif");
        WriteFile(path, MakeTiff(pages));
        plat::testing::ResetPeak();
        ASSERT_EQ(Read(path, 1, true).status, 0);
        const std::uint64_t peak = plat::testing::ReadPeak();
        for (std::uint64_t limit : {peak, peak + 4096, peak + (1u << 20)}) {
            const Outcome one = Read(path, 1, true, 0, limit);
            EXPECT_EQ(one.status, 0) << limit;
            for (std::uint32_t threads : {2u, 5u}) {
                EXPECT_EQ(Difference(Read(path, threads, true, 0, limit), one), "")
                    << pages[0].width << " wide, " << threads << " threads, limit " << limit;
            }
        }
    }
}

TEST_F(ThreadedReadTest, CancelAtEachProgressCallEndsAsOneThreadAndLeavesNothing) {
    // LZW pages of strips on threads, and bilevel pages side by side.
    const std::vector<TiffPageSpec> files[] = {
        {LzwPage(99, Damage::kNone), LzwPage(5, Damage::kEndsAfterOneRow)},
        {BilevelPages(false)[0], BilevelPages(false)[1], BilevelPages(false)[0]}};
    for (const std::vector<TiffPageSpec>& pages : files) {
        const std::string path = dir_.Path("cancel.tif");
        WriteFile(path, MakeTiff(pages));
        const std::size_t calls = Read(path, 1, false).progress.size();
        ASSERT_GT(calls, 2 * pages.size() + 20);
        std::size_t cancelled = 0;
        for (std::uint32_t at = 1; at <= calls; ++at) {
            const std::uint64_t blocks = plat::testing::LiveBlocks(),
                                files = plat::testing::OpenFiles();
            const Outcome threaded = Read(path, 3, false, at);
            EXPECT_EQ(Difference(threaded, Read(path, 1, false, at)), "") << "cancelled at " << at;
            EXPECT_EQ(plat::testing::LiveBlocks(), blocks) << at;
            EXPECT_EQ(plat::testing::OpenFiles(), files) << at;
            cancelled += threaded.status == QOR_CANCELLED ? 1 : 0;
        }
        // All but the calls whose answer is not taken (the opening one, each page's first and
        // last) cancel.
        EXPECT_GE(cancelled, calls - 2 * pages.size() - 1);
    }
}

TEST_F(ThreadedReadTest, PagesSideBySideWithABlockOrLockRefusedKeepNothingOfIt) {
    // Each block and each lock of the read refused in turn, on the caller's thread (the DIBs of
    // the pages ahead are set up there) or a worker's: a page that the refusal reaches is decoded
    // again as on one thread, so the read ends as the read on one thread does (at the damaged
    // page), or fails for want of memory; nothing is left behind.
    const std::string path = dir_.Path("refused.tif");
    WriteFile(path, MakeTiff(SixBilevelPages()));
    const Outcome one = Read(path, 1, false);
    for (plat::testing::Op op : {plat::testing::Op::Alloc, plat::testing::Op::Lock}) {
        std::uint64_t same = 0;
        const std::uint64_t runs = plat::testing::SweepFaults(op, [&](std::uint64_t n) {
            const std::uint64_t blocks = plat::testing::LiveBlocks(),
                                files = plat::testing::OpenFiles();
            const Outcome threaded = Read(path, 2, false);
            if (threaded.status != QOR_NO_MEMORY) {
                EXPECT_EQ(Difference(threaded, one), "") << "refused at " << n;
                ++same;
            }
            EXPECT_EQ(plat::testing::LiveBlocks(), blocks) << n;
            EXPECT_EQ(plat::testing::OpenFiles(), files) << n;
        });
        // The refusals reach the pages' blocks, set up ahead or decoded again.
        EXPECT_GE(same, 3u) << runs;
    }
}

}  // namespace
}  // namespace qor::test
