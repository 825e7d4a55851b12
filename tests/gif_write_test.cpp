// The GIF writer through QorWriteGIF and its worker: file structure, transparency, interlacing,
// refused DIBs, progress and cancellation, and every failure path.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "gif_write_util.h"

namespace qor::test {
namespace {

namespace fs = std::filesystem;
using gifw::GifFile;
using gifw::ParseGif;
using gifw::ReadCodes;

// Names in the directory, sorted.
std::vector<std::string> Listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.dir())) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void SetU32(HGLOBAL dib, std::size_t at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    std::memcpy(p + at, &v, 4);
    plat::GlobalUnlock(dib);
}

void SetU16(HGLOBAL dib, std::size_t at, std::uint16_t v) {
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    std::memcpy(p + at, &v, 2);
    plat::GlobalUnlock(dib);
}

// A DIB with the header, colour table (`entries` entries, biClrUsed = `clrUsed`) and rows laid
// out from scratch, `headerSize` bytes of header; the block is exactly as large as they need.
HGLOBAL BuildDib(std::uint32_t headerSize, std::int32_t w, std::int32_t h, int bits,
                 std::uint32_t clrUsed, const std::vector<std::uint32_t>& palette,
                 const std::vector<std::uint8_t>& pixels) {
    std::uint32_t entries = clrUsed != 0 ? clrUsed : 1u << bits;
    std::uint64_t stride = ((std::uint64_t(w) * unsigned(bits) + 31) / 32) * 4;
    std::uint64_t size = headerSize + 4ull * entries + stride * std::uint64_t(h);
    HGLOBAL dib = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, size);
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    std::memset(p, 0xA5, headerSize);  // extra header bytes hold noise
    std::uint16_t planes = 1, bpp = std::uint16_t(bits);
    std::uint32_t zero = 0;
    std::memcpy(p, &headerSize, 4);
    std::memcpy(p + 4, &w, 4);
    std::memcpy(p + 8, &h, 4);
    std::memcpy(p + 12, &planes, 2);
    std::memcpy(p + 14, &bpp, 2);
    std::memcpy(p + 16, &zero, 4);
    std::memcpy(p + 32, &clrUsed, 4);
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint8_t* q = p + headerSize + 4 * i;
        std::uint32_t c = i < palette.size() ? palette[i] : 0;
        q[0] = std::uint8_t(c);
        q[1] = std::uint8_t(c >> 8);
        q[2] = std::uint8_t(c >> 16);
        q[3] = 0x77;
    }
    std::uint8_t* base = p + headerSize + 4ull * entries;
    PackRows(base, stride, std::uint32_t(w), std::uint32_t(h), bits, pixels);
    plat::GlobalUnlock(dib);
    return dib;
}

class GifWriteTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
    std::string out_ = dir_.Path("out.gif");

    std::int16_t Write(HGLOBAL dib, std::uint32_t option = 0, std::uint32_t interlaced = 0,
                       std::uint32_t index = 0, QorProgressProc progress = nullptr) {
        std::int16_t s = QorWriteGIF(progress, 0, out_.c_str(), dib, option, interlaced, index);
        EXPECT_EQ(plat::testing::LockCount(dib), 0) << "the DIB must be unlocked";
        EXPECT_EQ(plat::testing::OpenFiles(), filesBefore_);
        return s;
    }
    // The file's image in file order, decoded by the test's own LZW reader.
    std::vector<std::uint8_t> DecodedPixels(const GifFile& g) {
        gifw::CodeStream s = ReadCodes(g.data, g.minCodeSize);
        EXPECT_TRUE(s.ok) << s.error;
        return s.pixels;
    }
};

TEST_F(GifWriteTest, LayoutFollowsTheBitDepth) {
    struct Case {
        int bits, flags, tableBytes, minCodeSize;
    };
    for (Case c : {Case{1, 0x80, 6, 2}, Case{4, 0xB3, 48, 4}, Case{8, 0xF7, 768, 8}}) {
        SCOPED_TRACE(c.bits);
        const int w = 37, h = 5;
        auto palette = gifw::RampPalette(c.bits);
        auto pixels = gifw::RandomPixels(w, h, c.bits, 1);
        HGLOBAL dib = MakeDib(w, h, c.bits, palette, pixels);
        std::uint64_t size = plat::GlobalSize(dib);
        ASSERT_EQ(Write(dib), 0);
        EXPECT_EQ(plat::GlobalSize(dib), size) << "the DIB stays valid";
        Bytes f = ReadFile(out_);
        GifFile g = ParseGif(f);
        ASSERT_TRUE(g.ok) << g.error;
        EXPECT_EQ(g.version, "87a");
        EXPECT_EQ(g.screenWidth, w);
        EXPECT_EQ(g.screenHeight, h);
        EXPECT_EQ(g.screenFlags, c.flags);
        EXPECT_EQ(f[11], 0);  // background
        EXPECT_EQ(f[12], 0);  // aspect ratio
        ASSERT_EQ(int(g.globalTable.size()), c.tableBytes);
        for (std::size_t i = 0; i < palette.size(); ++i) {
            EXPECT_EQ(g.globalTable[3 * i], (palette[i] >> 16) & 255);
            EXPECT_EQ(g.globalTable[3 * i + 1], (palette[i] >> 8) & 255);
            EXPECT_EQ(g.globalTable[3 * i + 2], palette[i] & 255);
        }
        EXPECT_FALSE(g.hasControl);
        EXPECT_EQ(g.left, 0);
        EXPECT_EQ(g.top, 0);
        EXPECT_EQ(g.width, w);
        EXPECT_EQ(g.height, h);
        EXPECT_EQ(g.imageFlags, 0);
        EXPECT_EQ(g.minCodeSize, c.minCodeSize);
        EXPECT_TRUE(g.trailer);
        EXPECT_EQ(DecodedPixels(g), pixels);
        plat::GlobalFree(dib);
    }
}

TEST_F(GifWriteTest, TransparencyOptions) {
    auto pixels = gifw::RandomPixels(8, 8, 8, 2);
    HGLOBAL dib = MakeDib(8, 8, 8, gifw::RampPalette(8), pixels);
    struct Case {
        std::uint32_t option, index;
        const char* version;
        int control;  // expected transparent index, -1 for no extension
    };
    for (Case c : {Case{0, 5, "87a", -1}, Case{1, 5, "89a", 5}, Case{1, 300, "89a", -1},
                   Case{1, 0xFFFF, "89a", -1}, Case{1, 0x10005, "89a", 5}, Case{2, 7, "89a", 0},
                   Case{0x101, 255, "89a", 255}, Case{0x100, 3, "87a", -1}}) {
        SCOPED_TRACE(std::to_string(c.option) + "/" + std::to_string(c.index));
        ASSERT_EQ(Write(dib, c.option, 0, c.index), 0);
        GifFile g = ParseGif(ReadFile(out_));
        ASSERT_TRUE(g.ok) << g.error;
        EXPECT_EQ(g.version, c.version);
        EXPECT_EQ(g.hasControl, c.control >= 0);
        if (c.control >= 0) {
            EXPECT_EQ(g.controlOffset, 13u + 768u) << "right after the colour table";
            EXPECT_EQ(g.control, (std::vector<std::uint8_t>{0x21, 0xF9, 0x04, 0x01, 0x00, 0x00,
                                                            std::uint8_t(c.control), 0x00}));
        }
        EXPECT_EQ(DecodedPixels(g), pixels);
#ifdef QORIMG_HAVE_GIFLIB
        gifw::GiflibImage gl = gifw::GiflibDecode(out_);
        ASSERT_TRUE(gl.ok) << gl.error;
        EXPECT_EQ(gl.transparent, c.control);
#endif
    }
    plat::GlobalFree(dib);
}

TEST_F(GifWriteTest, InterlacedRowOrder) {
    for (int h : {1, 2, 3, 4, 5, 8, 9, 10, 17, 33}) {
        SCOPED_TRACE(h);
        const int w = 3;
        std::vector<std::uint8_t> pixels;  // every pixel of row y holds y
        for (int y = 0; y < h; ++y) pixels.insert(pixels.end(), std::size_t(w), std::uint8_t(y));
        HGLOBAL dib = MakeDib(w, h, 8, gifw::RampPalette(8), pixels);
        ASSERT_EQ(Write(dib, 0, 1), 0);
        GifFile g = ParseGif(ReadFile(out_));
        ASSERT_TRUE(g.ok) << g.error;
        EXPECT_EQ(g.imageFlags, 0x40);
        std::vector<std::uint8_t> stored = DecodedPixels(g);
        ASSERT_EQ(stored.size(), pixels.size());
        std::vector<int> order;
        for (int i = 0; i < h; ++i) order.push_back(stored[std::size_t(i * w)]);
        EXPECT_EQ(order, gifw::InterlacedOrder(h));
        if (h == 10) {
            EXPECT_EQ(order, (std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
        }
        plat::GlobalFree(dib);
    }
}

TEST_F(GifWriteTest, UnusableDibsAreRefusedWithoutAFile) {
    auto pixels = gifw::RandomPixels(40, 30, 8, 3);
    auto palette = gifw::RampPalette(8);
    // Each case damages a fresh valid DIB.
    struct Case {
        const char* what;
        void (*damage)(HGLOBAL);
    };
    const Case cases[] = {
        {"24 bits", [](HGLOBAL d) { SetU16(d, 14, 24); }},
        {"2 bits", [](HGLOBAL d) { SetU16(d, 14, 2); }},
        {"0 bits", [](HGLOBAL d) { SetU16(d, 14, 0); }},
        {"width 40000", [](HGLOBAL d) { SetU32(d, 4, 40000); }},
        {"width 32768", [](HGLOBAL d) { SetU32(d, 4, 32768); }},
        {"width 0", [](HGLOBAL d) { SetU32(d, 4, 0); }},
        {"height 0", [](HGLOBAL d) { SetU32(d, 8, 0); }},
        {"top-down rows", [](HGLOBAL d) { SetU32(d, 8, std::uint32_t(-30)); }},
        {"height 40000", [](HGLOBAL d) { SetU32(d, 8, 40000); }},
        {"rows beyond the block", [](HGLOBAL d) { SetU32(d, 8, 31); }},
        {"run-length coded 8-bit pixels", [](HGLOBAL d) { SetU32(d, 16, 1); }},
        {"run-length coded 4-bit pixels", [](HGLOBAL d) { SetU32(d, 16, 2); }},
        {"header of 12 bytes", [](HGLOBAL d) { SetU32(d, 0, 12); }},
        {"header beyond the block", [](HGLOBAL d) { SetU32(d, 0, 0xFFFFFFF0u); }},
        {"colour table beyond the block", [](HGLOBAL d) { SetU32(d, 32, 0x40000000u); }},
        {"colour count overflowing 32 bits", [](HGLOBAL d) { SetU32(d, 32, 0xFFFFFFFFu); }},
        {"block shorter than its rows",
         [](HGLOBAL d) { plat::GlobalReAlloc(d, plat::GlobalSize(d) - 1, 0); }},
        {"block shorter than a header", [](HGLOBAL d) { plat::GlobalReAlloc(d, 39, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HGLOBAL dib = MakeDib(40, 30, 8, palette, pixels);
        c.damage(dib);
        std::uint64_t size = plat::GlobalSize(dib);
        EXPECT_EQ(Write(dib), QOR_BAD_REQUEST);
        EXPECT_TRUE(Listing(dir_).empty()) << "no file may be created";
        EXPECT_EQ(plat::GlobalSize(dib), size);
        plat::GlobalFree(dib);
    }
    // No handle, a handle that was freed, a handle never allocated: nothing can be locked.
    HGLOBAL freed = MakeDib(4, 4, 8, palette, std::vector<std::uint8_t>(16, 1));
    plat::GlobalFree(freed);
    for (HGLOBAL h : {HGLOBAL{0}, freed, HGLOBAL{0x7FFFFFF0u}}) {
        EXPECT_EQ(QorWriteGIF(nullptr, 0, out_.c_str(), h, 0, 0, 0), QOR_BAD_REQUEST);
    }
    // A valid DIB whose lock fails.
    HGLOBAL dib = MakeDib(4, 4, 8, palette, std::vector<std::uint8_t>(16, 1));
    plat::testing::Reset();
    plat::testing::FailNth(plat::testing::Op::Lock, 1);
    EXPECT_EQ(Write(dib), QOR_BAD_REQUEST);
    plat::testing::Reset();
    EXPECT_TRUE(Listing(dir_).empty());
    plat::GlobalFree(dib);
    // Requests refused before anything: no record, a wrong signature, an empty name.
    EXPECT_EQ(WriteGifWorker(nullptr), QOR_BAD_REQUEST);
    Request bad(out_);
    bad->signature = 4156;
    EXPECT_EQ(WriteGifWorker(bad.get()), QOR_BAD_REQUEST);
    EXPECT_TRUE(Listing(dir_).empty());
}

TEST_F(GifWriteTest, HeaderSizeAndShortColourTablesAreHonoured) {
    const int w = 19, h = 7;
    auto palette = gifw::RampPalette(8);
    // A 124-byte header: the colour table starts at byte 124.
    auto pixels = gifw::RandomPixels(w, h, 8, 4);
    HGLOBAL dib = BuildDib(124, w, h, 8, 0, palette, pixels);
    ASSERT_EQ(Write(dib), 0);
    GifFile g = ParseGif(ReadFile(out_));
    ASSERT_TRUE(g.ok) << g.error;
    for (std::size_t i = 0; i < 256; ++i) {
        ASSERT_EQ(g.globalTable[3 * i], (palette[i] >> 16) & 255) << i;
        ASSERT_EQ(g.globalTable[3 * i + 2], palette[i] & 255) << i;
    }
    EXPECT_EQ(DecodedPixels(g), pixels);
    plat::GlobalFree(dib);

    // biClrUsed 3 at 8 bits and 1 at 1 bit: the table has only those entries (the block ends
    // right after the rows, so reading further would leave it), the rest of the GIF table is
    // black, and the rows start right after the short table.
    for (int bits : {8, 4, 1}) {
        SCOPED_TRACE(bits);
        std::uint32_t used = bits == 1 ? 1 : 3;
        pixels = gifw::RandomPixels(w, h, bits, 5);
        dib = BuildDib(40, w, h, bits, used, palette, pixels);
        ASSERT_EQ(Write(dib), 0);
        g = ParseGif(ReadFile(out_));
        ASSERT_TRUE(g.ok) << g.error;
        ASSERT_EQ(g.globalTable.size(), 3u << bits);
        for (std::size_t i = 0; i < (1u << bits); ++i) {
            std::uint32_t want = i < used ? palette[i] : 0;
            EXPECT_EQ(g.globalTable[3 * i], (want >> 16) & 255) << i;
            EXPECT_EQ(g.globalTable[3 * i + 1], (want >> 8) & 255) << i;
            EXPECT_EQ(g.globalTable[3 * i + 2], want & 255) << i;
        }
        EXPECT_EQ(DecodedPixels(g), pixels);
        plat::GlobalFree(dib);
    }

    // More entries than the bit depth needs: only 2^b are written, the rows follow all of them.
    pixels = gifw::RandomPixels(w, h, 1, 6);
    dib = BuildDib(40, w, h, 1, 5, palette, pixels);
    ASSERT_EQ(Write(dib), 0);
    g = ParseGif(ReadFile(out_));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.globalTable.size(), 6u);
    EXPECT_EQ(DecodedPixels(g), pixels);
    plat::GlobalFree(dib);
}

TEST_F(GifWriteTest, ProgressPerRowAndCancellation) {
    const int w = 50, h = 7;
    auto pixels = gifw::PhotoPixels(w, h, 8, 7);
    HGLOBAL dib = MakeDib(w, h, 8, gifw::RampPalette(8), pixels);
    for (std::uint32_t interlaced : {0u, 1u}) {
        ProgressRecorder rec;
        gRecorder = &rec;
        ASSERT_EQ(QorWriteGIF(RecordProgress, 77, out_.c_str(), dib, 0, interlaced, 0), 0);
        EXPECT_EQ(rec.userValue, 77u);
        ASSERT_EQ(rec.calls.size(), std::size_t(h) + 2);
        EXPECT_EQ(rec.calls.front(), std::make_pair(0u, 100u));
        for (int k = 1; k <= h; ++k) {
            EXPECT_EQ(rec.calls[std::size_t(k)], std::make_pair(std::uint32_t(k * 100 / h), 100u));
        }
        EXPECT_EQ(rec.calls.back(), std::make_pair(100u, 100u));
        gRecorder = nullptr;
    }
    // Tall images: the percentage is worked out without overflow.
    {
        const int tall = 3000;
        HGLOBAL big = MakeDib(1, tall, 8, {}, std::vector<std::uint8_t>(tall, 0));
        ProgressRecorder rec;
        gRecorder = &rec;
        ASSERT_EQ(QorWriteGIF(RecordProgress, 0, out_.c_str(), big, 0, 0, 0), 0);
        ASSERT_EQ(rec.calls.size(), std::size_t(tall) + 2);
        for (std::size_t k = 1; k <= std::size_t(tall); ++k) {
            ASSERT_EQ(rec.calls[k].first, k * 100 / tall) << k;
        }
        gRecorder = nullptr;
        plat::GlobalFree(big);
    }
    fs::remove(out_);

    // Cancelling at the end of any row (calls 2 to h + 1) gives 100 and leaves no file; an
    // existing file stays as it was. The closing call's result is ignored.
    Bytes before = {'o', 'l', 'd'};
    for (bool existing : {false, true}) {
        for (std::uint32_t at = 2; at <= std::uint32_t(h) + 2; ++at) {
            SCOPED_TRACE(std::to_string(at) + (existing ? " existing" : ""));
            if (existing) WriteFile(out_, before);
            ProgressRecorder rec;
            rec.cancelAt = at;
            gRecorder = &rec;
            std::int16_t s = Write(dib, 0, 0, 0, RecordProgress);
            gRecorder = nullptr;
            if (at == std::uint32_t(h) + 2) {
                EXPECT_EQ(s, 0);
                EXPECT_TRUE(ParseGif(ReadFile(out_)).ok);
            } else {
                EXPECT_EQ(s, QOR_CANCELLED);
                EXPECT_EQ(rec.calls.size(), at);
                if (existing) {
                    EXPECT_EQ(ReadFile(out_), before);
                    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"out.gif"});
                } else {
                    EXPECT_TRUE(Listing(dir_).empty());
                }
            }
            fs::remove(out_);
        }
    }
    plat::GlobalFree(dib);
}

TEST_F(GifWriteTest, EveryFailureLeavesNoFileAndTheOldOneIntact) {
    // Large enough for several batches, so that every kind of write is reached.
    const int w = 300, h = 200;
    auto pixels = gifw::RandomPixels(w, h, 8, 8);
    HGLOBAL dib = MakeDib(w, h, 8, gifw::RampPalette(8), pixels);
    Bytes before = {'k', 'e', 'e', 'p'};
    using plat::testing::Op;
    struct Case {
        Op op;
        std::uint32_t shortBy;
        std::int16_t expected;
    };
    for (Case c : {Case{Op::Alloc, 0, QOR_NO_MEMORY}, Case{Op::Lock, 0, QOR_NO_MEMORY},
                   Case{Op::Write, 0, QOR_WRITE_FAILED}, Case{Op::Write, 1, QOR_WRITE_FAILED},
                   Case{Op::Write, 100000, QOR_WRITE_FAILED},
                   Case{Op::Create, 0, QOR_CREATE_FAILED}, Case{Op::Open, 0, QOR_CREATE_FAILED}}) {
        for (bool existing : {false, true}) {
            SCOPED_TRACE(std::to_string(int(c.op)) + "/" + std::to_string(c.shortBy) +
                         (existing ? " existing" : ""));
            std::uint64_t hits = plat::testing::SweepFaults(
                c.op,
                [&](std::uint64_t n) {
                    if (existing) WriteFile(out_, before);
                    std::int16_t s = Write(dib, 1, n % 2, 9);
                    plat::testing::Counts made = plat::testing::CallCounts();
                    std::uint64_t calls = c.op == Op::Alloc   ? made.allocs
                                          : c.op == Op::Lock  ? made.locks
                                          : c.op == Op::Write ? made.writes
                                          : c.op == Op::Open  ? made.opens
                                                              : made.creates;
                    EXPECT_EQ(plat::testing::LiveBlocks(), blocksBefore_ + 1) << n;
                    EXPECT_EQ(plat::testing::OpenFiles(), filesBefore_) << n;
                    if (calls < n) {
                        // The fault was never reached: a normal write.
                        EXPECT_EQ(s, 0);
                    } else {
                        // The DIB lock is the first lock: refused as unusable.
                        std::int16_t want =
                            c.op == Op::Lock && n == 1 ? std::int16_t(QOR_BAD_REQUEST) : c.expected;
                        EXPECT_EQ(s, want) << n;
                        if (existing) {
                            EXPECT_EQ(ReadFile(out_), before) << n;
                            EXPECT_EQ(Listing(dir_), std::vector<std::string>{"out.gif"}) << n;
                        } else {
                            EXPECT_TRUE(Listing(dir_).empty()) << n;
                        }
                    }
                    if (s == 0) {
                        GifFile g = ParseGif(ReadFile(out_));
                        EXPECT_TRUE(g.ok && g.trailer) << n;
                    }
                    fs::remove(out_);
                },
                c.shortBy);
            if (c.op == Op::Open) {
                EXPECT_EQ(hits, existing ? 1u : 0u);  // only an existing file is opened
            } else {
                EXPECT_GE(hits, 1u);
            }
            if (c.op == Op::Write) {
                EXPECT_GE(hits, 8u);
            }
        }
    }
    plat::GlobalFree(dib);
}

#ifndef _WIN32  // permissions, links and pipes of POSIX file systems
TEST_F(GifWriteTest, TheTargetIsReplacedOnlyWhenItCanBe) {
    auto pixels = gifw::RandomPixels(20, 20, 4, 9);
    HGLOBAL dib = MakeDib(20, 20, 4, gifw::RampPalette(4), pixels);

    // An existing file is replaced, and keeps its permissions.
    WriteFile(out_, Bytes(5000, 1));
    ::chmod(out_.c_str(), 0640);
    ASSERT_EQ(Write(dib), 0);
    EXPECT_EQ(DecodedPixels(ParseGif(ReadFile(out_))), pixels);
    struct stat st {};
    ASSERT_EQ(::stat(out_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"out.gif"});

    // A close that fails (a delayed write error) is a failed write, and the old file stays. The
    // first close is the check that the old file can be written.
    WriteFile(out_, Bytes{7, 7});
    plat::testing::Reset();
    plat::testing::FailNth(plat::testing::Op::Close, 2);
    EXPECT_EQ(Write(dib), QOR_WRITE_FAILED);
    EXPECT_EQ(ReadFile(out_), (Bytes{7, 7}));
    plat::testing::Reset();

    // Symbolic links, relative, chained or naming a file not yet made: the file they name is
    // written and keeps its permissions, and the links stay links.
    WriteFile(dir_.Path("real.gif"), Bytes{1, 2, 3});
    ::chmod(dir_.Path("real.gif").c_str(), 0604);
    fs::create_symlink("real.gif", dir_.Path("link.gif"));
    fs::create_symlink("link.gif", dir_.Path("chain.gif"));
    fs::create_symlink("new.gif", dir_.Path("dangling.gif"));
    for (auto [link, file] : {std::pair{"link.gif", "real.gif"}, std::pair{"chain.gif", "real.gif"},
                              std::pair{"dangling.gif", "new.gif"}}) {
        ASSERT_EQ(QorWriteGIF(nullptr, 0, dir_.Path(link).c_str(), dib, 0, 0, 0), 0) << link;
        EXPECT_TRUE(fs::is_symlink(dir_.Path(link))) << link;
        EXPECT_EQ(DecodedPixels(ParseGif(ReadFile(dir_.Path(file)))), pixels) << link;
    }
    ASSERT_EQ(::stat(dir_.Path("real.gif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    // Links that loop, or a chain longer than the kernel follows (40 links), are refused as the
    // kernel refuses them, and stay links; a chain of 40 reaches its file.
    fs::create_symlink("l2.gif", dir_.Path("l1.gif"));
    fs::create_symlink("l1.gif", dir_.Path("l2.gif"));
    fs::create_symlink("self.gif", dir_.Path("self.gif"));
    for (int i = 0; i < 41; ++i) {
        fs::create_symlink(i == 0 ? std::string("end.gif") : "c" + std::to_string(i - 1) + ".gif",
                           dir_.Path("c" + std::to_string(i) + ".gif"));
    }
    for (const char* link : {"l1.gif", "self.gif", "c40.gif"}) {
        EXPECT_EQ(QorWriteGIF(nullptr, 0, dir_.Path(link).c_str(), dib, 0, 0, 0), QOR_CREATE_FAILED)
            << link;
        EXPECT_TRUE(fs::is_symlink(dir_.Path(link))) << link;
    }
    for (int i = 0; i < 41; ++i)
        EXPECT_TRUE(fs::is_symlink(dir_.Path("c" + std::to_string(i) + ".gif")));
    EXPECT_EQ(QorWriteGIF(nullptr, 0, dir_.Path("c39.gif").c_str(), dib, 0, 0, 0), 0);
    EXPECT_EQ(DecodedPixels(ParseGif(ReadFile(dir_.Path("end.gif")))), pixels);

    // A directory of that name is not replaced; a missing directory cannot hold the file.
    std::string sub = dir_.Path("sub");
    fs::create_directory(sub);
    fs::create_directory(sub + "/target.gif");
    EXPECT_EQ(QorWriteGIF(nullptr, 0, (sub + "/target.gif").c_str(), dib, 0, 0, 0),
              QOR_CREATE_FAILED);
    EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::is_directory(sub + "/target.gif"));
    EXPECT_EQ(QorWriteGIF(nullptr, 0, dir_.Path("none/x.gif").c_str(), dib, 0, 0, 0),
              QOR_CREATE_FAILED);

    // A read-only file is not replaced (a privileged user may write it anyway).
    std::string locked = dir_.Path("locked.gif");
    WriteFile(locked, Bytes{9, 9});
    ::chmod(locked.c_str(), 0444);
    if (::geteuid() != 0) {
        EXPECT_EQ(QorWriteGIF(nullptr, 0, locked.c_str(), dib, 0, 0, 0), QOR_CREATE_FAILED);
        EXPECT_EQ(ReadFile(locked), (Bytes{9, 9}));
    }

    // A pipe is written in place (a device would be too): it stays a pipe. The image fits in
    // the pipe's buffer, so the write does not wait for the reader.
    std::string pipe = dir_.Path("pipe.gif");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    // Without a reader nothing would take the bytes: refused at once, not written to nobody.
    EXPECT_EQ(QorWriteGIF(nullptr, 0, pipe.c_str(), dib, 0, 0, 0), QOR_CREATE_FAILED);
    int reader = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(QorWriteGIF(nullptr, 0, pipe.c_str(), dib, 0, 0, 0), 0);
    Bytes piped(65536);
    ssize_t got = ::read(reader, piped.data(), piped.size());
    ::close(reader);
    ASSERT_GT(got, 0);
    piped.resize(std::size_t(got));
    EXPECT_EQ(DecodedPixels(ParseGif(piped)), pixels);
    EXPECT_TRUE(fs::is_fifo(pipe));
    fs::remove(pipe);

    // A relative name writes into the working directory.
    std::error_code ec;
    fs::path cwd = fs::current_path();
    fs::current_path(dir_.dir());
    std::int16_t s = QorWriteGIF(nullptr, 0, "relative.gif", dib, 0, 0, 0);
    fs::current_path(cwd, ec);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(DecodedPixels(ParseGif(ReadFile(dir_.Path("relative.gif")))), pixels);
    for (const auto& name : Listing(dir_)) EXPECT_EQ(name.find(".tmp"), std::string::npos);
    plat::GlobalFree(dib);
}
#endif  // _WIN32

}  // namespace
}  // namespace qor::test
