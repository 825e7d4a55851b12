// The TIFF LZW strip decoder: code widths, strings, strips, Predictor 2, damaged and truncated
// data, failure paths; and, through QorReadTIF, files written by other TIFF writers.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "qorimg/qorimg.h"
#include "support/peer_readers.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "support/tiff_lzw_model.h"
#include "tiff/reader.h"
#include "tiff/tiff.h"

namespace qor::test {
namespace {

using namespace qor::plat;
using namespace qor::tiff;
namespace pt = qor::plat::testing;

// ---- LZW pages in files made by the one TIFF builder, decoded as the driver decodes them. ----

struct Layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bitsPerPixel = 8;  // 1, 4 or 8: grey; 16: grey and alpha; 24, 32: RGB(A)
    std::uint16_t predictor = 1;
    std::uint32_t rowsPerStrip = 0;
    bool bigEndian = false;
    bool shortOffsets = false;
    // Decoded as an extended read decodes it (the grey pages that use it are set up alike in
    // both reads).
    bool extended = false;
};

std::uint64_t RowBytes(const Layout& l) {
    return (std::uint64_t{l.width} * l.bitsPerPixel + 7) / 8;
}

// The file of an LZW page: its directory, then the strips, which end the file.
Bytes BuildFile(const Layout& l, const std::vector<Bytes>& strips) {
    TiffPageSpec s;
    s.width = l.width;
    s.height = l.height;
    s.bits = l.bitsPerPixel <= 8 ? std::vector<std::uint32_t>{l.bitsPerPixel}
                                 : std::vector<std::uint32_t>(l.bitsPerPixel / 8u, 8);
    s.photometric = l.bitsPerPixel >= 24 ? 2 : 1;
    s.compression = 5;
    s.rowsPerStrip = l.rowsPerStrip;
    s.shortOffsets = l.shortOffsets;
    s.strips = strips;
    if (l.predictor != 1) s.extra.push_back(TiffBuilder::Short(317, {l.predictor}));
    return MakeTiffStripsLast(s, l.bigEndian);
}

struct Decoded {
    std::int16_t status = -1;
    Bytes pixels;  // the file rows, the first first
};

// The rows that DecodeLzwStrips (samples in file order) gave a page; every DIB byte past a row's
// data must be zero, whatever the status.
Decoded FileRows(const DecodedPage& page) {
    Decoded d{page.status, {}};
    const auto rowBytes = static_cast<std::ptrdiff_t>(FileRowBytes(page.page));
    for (std::size_t r = 0; r < page.rows.size(); ++r) {
        const Bytes& row = page.rows[r];
        d.pixels.insert(d.pixels.end(), row.begin(), row.begin() + rowBytes);
        EXPECT_TRUE(std::all_of(row.begin() + rowBytes, row.end(), [](auto b) { return b == 0; }))
            << "padding of row " << r;
    }
    return d;
}

Bytes Noise(std::size_t n, std::uint32_t seed, int levels = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(levels));
    return b;
}

// Photo-like bytes: smooth ramps with a little noise, which give long and short strings.
Bytes Smooth(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i / 7) % 200 + rng() % 3);
    return b;
}

// Cuts `data` into strips of rowsPerStrip rows, each encoded on its own.
std::vector<Bytes> EncodeStrips(const Bytes& data, std::uint64_t rowBytes,
                                std::uint32_t rowsPerStrip, bool eoi = true) {
    std::vector<Bytes> strips;
    std::uint64_t per = rowBytes * rowsPerStrip;
    for (std::uint64_t at = 0; at < data.size(); at += per) {
        std::uint64_t end = std::min<std::uint64_t>(data.size(), at + per);
        strips.push_back(EncodeLzw(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                         data.begin() + static_cast<std::ptrdiff_t>(end)),
                                   eoi));
    }
    return strips;
}

class TiffLzwTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

    // Writes the page's file without its last `cutBytes` bytes and decodes it with
    // DecodeLzwStrips, as an extended read when the layout says so; `adjust` may change the page
    // after its set-up.
    Decoded Decode(const Layout& l, const std::vector<Bytes>& strips,
                   ProgressProc progress = nullptr, std::size_t cutBytes = 0,
                   const std::function<void(TiffPage&)>& adjust = {}) {
        Bytes file = BuildFile(l, strips);
        file.erase(file.end() - static_cast<std::ptrdiff_t>(cutBytes), file.end());
        const std::string path = dir_.Path("p.tif");
        WriteFile(path, file);
        return FileRows(DecodeFirstPage(path, DecodeLzwStrips, progress, [&](TiffPage& p) {
            p.extended = l.extended;
            if (adjust) adjust(p);
        }));
    }
};

TEST_F(TiffLzwTest, ShortCodeSequencesAndTheirTableEntries) {
    Layout l{.width = 4, .height = 1};
    Decoded d = Decode(l, {PackCodes({256, 65, 66, 258, 257})});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, (Bytes{65, 66, 65, 66}));

    // 258 arrives before it is defined: the previous string plus its own first byte.
    l.width = 3;
    d = Decode(l, {PackCodes({256, 65, 258})});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, (Bytes{65, 65, 65}));
    // ... and entry 258 then stands for 65 65.
    l.width = 7;
    d = Decode(l, {PackCodes({256, 65, 258, 258, 66, 257})});
    EXPECT_EQ(d.pixels, (Bytes{65, 65, 65, 65, 65, 66, 0}));

    // A strip that does not begin with ClearCode starts from the table a ClearCode leaves.
    l.width = 4;
    d = Decode(l, {PackCodes({65, 66, 258, 257})});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, (Bytes{65, 66, 65, 66}));

    // EndOfInformation before the rows are complete ends a single-strip page; the rest is zero.
    l.width = 4;
    l.height = 3;
    d = Decode(l, {PackCodes({256, 1, 2, 3, 4, 5, 257})});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, (Bytes{1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TiffLzwTest, CodeWidthGrowsAfterEntries510_1022_2046AndTheTableStopsAtItsEnd) {
    // Literal codes only: each adds one entry, and every code is read with the width that the
    // entries so far call for. A width change one code off garbles everything after it. Old-style
    // data (codes lowest bit first, each width one code later) is read so by an extended read,
    // and a classic read of it keeps failing.
    Bytes literals = Noise(4200, 7);
    std::vector<std::uint32_t> codes{256};
    for (std::uint8_t b : literals) codes.push_back(b);
    // No ClearCode ever comes: the table fills at 4095 and keeps its entries. Entry 4095 was
    // defined by literals 3837 and 3838 (0-based) and 300 by literals 42 and 43.
    codes.push_back(4095);
    codes.push_back(300);
    codes.push_back(257);
    Bytes expect = literals;
    expect.insert(expect.end(), {literals[3837], literals[3838], literals[42], literals[43]});
    for (const bool oldStyle : {false, true}) {
        Layout l{.width = static_cast<std::uint32_t>(expect.size()), .height = 1};
        l.extended = oldStyle;
        Decoded d = Decode(l, {PackCodes(codes, oldStyle)});
        EXPECT_EQ(d.status, 0) << oldStyle;
        EXPECT_EQ(d.pixels, expect) << oldStyle;
        if (oldStyle) {
            l.extended = false;
            EXPECT_NE(Decode(l, {PackCodes(codes, true)}).pixels, expect);
        }

        // The same around each width change, with the boundary code carrying a string.
        for (std::uint32_t n :
             {253u, 254u, 255u, 256u, 765u, 766u, 767u, 768u, 1789u, 1790u, 1791u, 1792u}) {
            std::vector<std::uint32_t> c{256};
            for (std::uint32_t i = 0; i < n; ++i) c.push_back(literals[i]);
            c.push_back(258);  // literals 0 and 1
            c.push_back(literals[n]);
            c.push_back(257);
            Bytes e(literals.begin(), literals.begin() + n);
            e.insert(e.end(), {literals[0], literals[1], literals[n]});
            Layout m{.width = static_cast<std::uint32_t>(e.size()), .height = 1};
            m.extended = oldStyle;
            Decoded r = Decode(m, {PackCodes(c, oldStyle)});
            EXPECT_EQ(r.pixels, e) << n << (oldStyle ? " old-style" : "");
        }
    }
}

TEST_F(TiffLzwTest, RoundTripsAcrossBlockBoundariesAndClears) {
    // Long strips whose codes straddle every 10240-byte block boundary at varied bit offsets,
    // with tables cleared many times and strings long and short.
    // The last two are old-style data in an extended read.
    for (std::uint32_t seed = 0; seed < 18; seed += 3) {
        Bytes data = seed % 2 == 0 ? Noise(120000, seed) : Smooth(120000, seed);
        const bool oldStyle = seed >= 12;
        Bytes strip = EncodeLzw(data, true, 4093, oldStyle);
        ASSERT_GT(strip.size(), 3 * TIFF_READ_BLOCK);
        Layout l{.width = 400, .height = 300, .extended = oldStyle};
        Decoded d = Decode(l, {strip});
        EXPECT_EQ(d.status, 0) << seed;
        EXPECT_EQ(d.pixels, data) << seed;
    }
    // Megabytes of output from one table that is never cleared: strings defined early are
    // still named after their bytes have left the decoder's working window.
    {
        Bytes data = Smooth(3000000, 77);
        for (std::size_t i = 0; i < data.size(); i += 4096) data[i] ^= 0x55;
        Layout l{.width = 3000, .height = 1000};
        Decoded d = Decode(l, {EncodeLzw(data, true, 1u << 20)});
        EXPECT_EQ(d.status, 0);
        EXPECT_TRUE(d.pixels == data);
    }
    // Narrow 1-bit and 4-bit rows, where nearly every string crosses a row end; and wide ones,
    // 256 bytes (the least that strings go straight into the DIB for) and 263.
    for (std::uint16_t bpp : {1, 4}) {
        for (std::uint32_t width : {13u, 2048u / bpp, 2100u / bpp}) {
            Layout l{.width = width, .height = width == 13 ? 900u : 200u, .bitsPerPixel = bpp};
            Bytes data = Smooth(RowBytes(l) * l.height, bpp);
            Decoded d = Decode(l, {EncodeLzw(data)});
            EXPECT_EQ(d.status, 0) << bpp << " " << width;
            EXPECT_EQ(d.pixels, data) << bpp << " " << width;
        }
    }
}

TEST_F(TiffLzwTest, Predictor2SumsEachChannelAndRestartsEveryRow) {
    Layout l{.width = 4, .height = 2, .predictor = 2};
    Decoded d = Decode(l, {EncodeLzw({10, 1, 1, 1, 200, 100, 0, 255})});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, (Bytes{10, 11, 12, 13, 200, 44, 44, 43}));

    // 8, 16, 24 and 32 bits: differences of a known image, summed per channel per row.
    for (std::uint16_t bpp : {8, 16, 24, 32}) {
        std::uint32_t ch = bpp / 8u;
        Layout p{.width = 37, .height = 23, .bitsPerPixel = bpp, .predictor = 2, .rowsPerStrip = 5};
        std::uint64_t rb = RowBytes(p);
        Bytes image = Noise(rb * p.height, bpp), diff(image.size());
        for (std::uint64_t r = 0; r < p.height; ++r) {
            for (std::uint64_t i = 0; i < rb; ++i) {
                std::uint8_t left = i >= ch ? image[r * rb + i - ch] : 0;
                diff[r * rb + i] = static_cast<std::uint8_t>(image[r * rb + i] - left);
            }
        }
        Decoded r = Decode(p, EncodeStrips(diff, rb, p.rowsPerStrip));
        EXPECT_EQ(r.status, 0) << bpp;
        EXPECT_EQ(r.pixels, image) << bpp;
        // Without the predictor the same strips come out as the differences.
        p.predictor = 1;
        EXPECT_EQ(Decode(p, EncodeStrips(diff, rb, p.rowsPerStrip)).pixels, diff) << bpp;
    }
}

TEST_F(TiffLzwTest, StripsEndingWithAndWithoutEndOfInformation) {
    Layout l{.width = 50, .height = 10, .rowsPerStrip = 4};
    Bytes data = Smooth(500, 3);
    for (bool bigEndian : {false, true}) {
        for (bool shortOffsets : {false, true}) {
            l.bigEndian = bigEndian;
            l.shortOffsets = shortOffsets;
            Decoded d = Decode(l, EncodeStrips(data, 50, 4));
            EXPECT_EQ(d.status, 0);
            EXPECT_EQ(d.pixels, data);
        }
    }
    // The last strip without EndOfInformation, ending at the end of the file.
    std::vector<Bytes> strips = EncodeStrips(data, 50, 4);
    strips.back() = EncodeLzw(Bytes(data.begin() + 400, data.end()), false);
    Decoded d = Decode(l, strips);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, data);

    // Strips that do not begin with ClearCode: each starts from the table a ClearCode leaves,
    // with 9-bit codes.
    strips.clear();
    for (int s = 0; s < 3; ++s) {
        std::vector<std::uint32_t> codes =
            LzwCodes(Bytes(data.begin() + 200 * s, data.begin() + std::min(500, 200 * s + 200)));
        codes.erase(codes.begin());
        strips.push_back(PackCodes(codes));
    }
    d = Decode(l, strips);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, data);

    // A strip that ends inside a row: the next strip continues that row. Rows of 300 bytes and
    // more take the strings straight into the DIB.
    for (std::uint32_t width : {50u, 300u}) {
        Layout w{.width = width, .height = 10, .rowsPerStrip = 4};
        Bytes rows = Smooth(width * 10, width);
        const auto at = [&](double share) {
            return rows.begin() + static_cast<std::ptrdiff_t>(share * width * 10);
        };
        strips = {EncodeLzw(Bytes(rows.begin(), at(0.35))), EncodeLzw(Bytes(at(0.35), at(0.75))),
                  EncodeLzw(Bytes(at(0.75), rows.end()))};
        d = Decode(w, strips);
        EXPECT_EQ(d.status, 0) << width;
        EXPECT_EQ(d.pixels, rows) << width;
    }
}

TEST_F(TiffLzwTest, StripsThatOverrunRowsPerStripAreCut) {
    // Every strip, the first included, holds at most rowsPerStrip rows: the extra row of the
    // overrunning strip is lost and the next strip's rows keep their places. Rows of 300 bytes
    // take the strings straight into the DIB, where the extra row must not be written.
    for (std::uint32_t width : {30u, 300u}) {
        Layout l{.width = width, .height = 9, .rowsPerStrip = 3};
        const std::ptrdiff_t per = 3 * width;
        Bytes data = Noise(9 * width, 11);
        for (std::size_t overrun = 0; overrun < 3; ++overrun) {
            std::vector<Bytes> strips;
            for (std::ptrdiff_t s = 0; s < 3; ++s) {
                Bytes rows(data.begin() + per * s, data.begin() + per * (s + 1));
                if (static_cast<std::size_t>(s) == overrun) {
                    Bytes extra = Noise(width + width / 2, 99);
                    rows.insert(rows.end(), extra.begin(), extra.end());
                }
                strips.push_back(EncodeLzw(rows, static_cast<std::size_t>(s) != overrun));
            }
            Decoded d = Decode(l, strips);
            EXPECT_EQ(d.status, 0) << width << " " << overrun;
            EXPECT_EQ(d.pixels, data) << width << " " << overrun;
        }
    }
}

TEST_F(TiffLzwTest, RowsOf32768BytesAndMore) {
    for (std::uint16_t bpp : {16, 24, 32}) {
        Layout l{.width = 16384 + 3, .height = 3, .bitsPerPixel = bpp, .rowsPerStrip = 2};
        std::uint64_t rb = RowBytes(l);
        ASSERT_GE(rb, 32768u);
        Bytes data = Smooth(rb * l.height, bpp);
        Decoded d = Decode(l, EncodeStrips(data, rb, 2));
        EXPECT_EQ(d.status, 0) << bpp;
        EXPECT_EQ(d.pixels, data) << bpp;
    }
}

TEST_F(TiffLzwTest, TruncatedFilesEndWith202UnlessEveryRowIsWritten) {
    Layout l{.width = 200, .height = 200};
    Bytes data = Noise(40000, 5);
    Bytes strip = EncodeLzw(data, false);
    for (std::size_t cut :
         {std::size_t{1}, std::size_t{2000}, std::size_t{20000}, strip.size() - 1}) {
        Decoded d = Decode(l, {strip}, nullptr, cut);
        EXPECT_EQ(d.status, QOR_READ_FAILED) << cut;
        // What arrived before the end is in place.
        if (strip.size() - cut > 10000) {
            EXPECT_TRUE(std::equal(d.pixels.begin(), d.pixels.begin() + 1000, data.begin()));
        }
    }
    // The file ends right after the last code: every row is there.
    EXPECT_EQ(Decode(l, {strip}).status, 0);
    // A file cut before its last strip: the strip before it is decoded, then the page fails.
    Layout m{.width = 10, .height = 4, .rowsPerStrip = 2};
    Bytes small = Noise(40, 2);
    std::vector<Bytes> strips = EncodeStrips(small, 10, 2);
    Decoded d = Decode(m, strips, nullptr, strips.back().size());
    EXPECT_EQ(d.status, QOR_READ_FAILED);
    EXPECT_TRUE(std::equal(small.begin(), small.begin() + 20, d.pixels.begin()));
}

TEST_F(TiffLzwTest, DamagedDataDecodesAsTheRulesSayAndEnds) {
    // Random bytes and corrupted real strips: undefined codes, stale entries, entries whose
    // prefix lies above them. Whatever the decoder's shortcuts, the bytes are the rules' bytes,
    // through the window (96-byte rows) or straight into the DIB (320-byte rows).
    std::uint64_t total = 96 * 40;
    std::mt19937 rng(1234);
    for (int round = 0; round < 400; ++round) {
        const Layout l =
            round % 4 < 2 ? Layout{.width = 96, .height = 40} : Layout{.width = 320, .height = 12};
        Bytes strip;
        if (round % 2 == 0) {
            strip = Noise(600 + rng() % 3000, static_cast<std::uint32_t>(round));
        } else {
            strip = EncodeLzw(Smooth(total, static_cast<std::uint32_t>(round)));
            for (int k = 0; k < 3; ++k)
                strip[rng() % strip.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        }
        ModelResult want = DecodeModel(strip, total);
        Decoded got = Decode(l, {strip});
        ASSERT_EQ(got.status, want.status) << round;
        auto diff = std::mismatch(got.pixels.begin(), got.pixels.end(), want.pixels.begin());
        ASSERT_TRUE(diff.first == got.pixels.end())
            << "round " << round << ": first difference at byte "
            << (diff.first - got.pixels.begin());
    }

    // A prefix chain that loops: entry 299 is made by an undefined code 300, so entry 300 gets
    // prefix 300. Expanding 300 never reaches a byte: the page ends with 202, the bytes before
    // it in place.
    std::vector<std::uint32_t> codes{256};
    for (std::uint32_t i = 0; i < 42; ++i) codes.push_back(65 + i % 20);
    codes.insert(codes.end(), {300, 66, 300, 67, 257});
    Layout big{.width = 1000, .height = 1000};
    Decoded d = Decode(big, {PackCodes(codes)});
    EXPECT_EQ(d.status, QOR_READ_FAILED);
    EXPECT_TRUE(d.pixels == DecodeModel(PackCodes(codes), 1000 * 1000).pixels);
}

// Repeats of a short pattern (period 1 to 16), each long enough to give strings of every
// length up to a few hundred bytes, broken by a stray byte now and then.
Bytes Repeats(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    b.reserve(n);
    while (b.size() < n) {
        std::uint32_t period = 1 + rng() % 16;
        Bytes pattern = Noise(period, rng(), 5);
        std::size_t length = 1 + rng() % 700;
        for (std::size_t i = 0; i < length && b.size() < n; ++i) b.push_back(pattern[i % period]);
        if (rng() % 3 == 0 && b.size() < n) b.push_back(static_cast<std::uint8_t>(rng()));
    }
    return b;
}

TEST_F(TiffLzwTest, LongStringsOfShortPeriodsAcrossRowsStripsAndTheWindow) {
    // Long strings, many of them naming the code about to be defined, copied in chunks: rows
    // of odd widths that strings keep crossing, strips that cut them, and enough output for
    // the working window to slide several times.
    for (std::uint32_t width : {1u, 15u, 16u, 17u, 33u, 61u, 1000u}) {
        Layout l{.width = width,
                 .height = std::min(kMaxDibSide, 2600000 / width / (width < 20 ? 8 : 1)),
                 .rowsPerStrip = 7};
        if (width == 1000) l.rowsPerStrip = l.height;
        std::uint64_t rb = RowBytes(l);
        Bytes data = Repeats(rb * l.height, width);
        Decoded d = Decode(l, EncodeStrips(data, rb, l.rowsPerStrip));
        EXPECT_EQ(d.status, 0) << width;
        EXPECT_TRUE(d.pixels == data) << width;
    }
    // The same kind of strip, damaged: the bytes are still the rules' bytes, in rows of 97 bytes
    // and of 291, which take the strings straight into the DIB.
    std::uint64_t total = 97 * 60;
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        const Layout l =
            round % 3 != 0 ? Layout{.width = 97, .height = 60} : Layout{.width = 291, .height = 20};
        Bytes strip = EncodeLzw(Repeats(total, static_cast<std::uint32_t>(round)));
        for (int k = 0; k < 2; ++k)
            strip[rng() % strip.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        ModelResult want = DecodeModel(strip, total);
        Decoded got = Decode(l, {strip});
        ASSERT_EQ(got.status, want.status) << round;
        ASSERT_TRUE(got.pixels == want.pixels) << round;
    }
}

TEST_F(TiffLzwTest, ProgressAfterEveryRowAndCancelAtAny) {
    // Rows are stored several at once after a long string, yet handed on one by one: a report
    // after each row, rising from the opening 0 to the closing 100.
    Layout l{.width = 100, .height = 40, .rowsPerStrip = 10};
    Bytes data = Smooth(4000, 8);
    std::vector<Bytes> strips = EncodeStrips(data, 100, 10);
    ProgressRecorder rec;
    gRecorder = &rec;
    Decoded d = Decode(l, strips, RecordProgress);
    gRecorder = nullptr;
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.pixels, data);
    ASSERT_EQ(rec.calls.size(), l.height + 1);
    EXPECT_EQ(rec.calls.front().first, 0u);
    EXPECT_EQ(rec.calls.back().first, 100u);
    for (std::size_t i = 1; i < rec.calls.size(); ++i) {
        EXPECT_GE(rec.calls[i].first, rec.calls[i - 1].first) << i;
        EXPECT_EQ(rec.calls[i].second, 100u);
    }

    // Every report between the first and the last is a cancellation point; the opening and
    // closing ones cannot cancel.
    for (std::uint32_t at = 1; at <= rec.calls.size(); ++at) {
        ProgressRecorder cancel;
        cancel.cancelAt = at;
        gRecorder = &cancel;
        Decoded c = Decode(l, strips, RecordProgress);
        gRecorder = nullptr;
        const bool cancels = at != 1 && at != rec.calls.size();
        EXPECT_EQ(c.status, cancels ? QOR_CANCELLED : 0) << at;
        if (cancels) {
            EXPECT_EQ(cancel.calls.size(), at);
        }
        EXPECT_EQ(pt::LiveBlocks(), blocksBefore_);
    }
}

TEST_F(TiffLzwTest, FailureSweepsReleaseEverything) {
    Layout l{.width = 120, .height = 300, .predictor = 2, .rowsPerStrip = 100};
    const std::vector<Bytes> strips = EncodeStrips(Noise(36000, 9), 120, 100);
    const Decoded clean = Decode(l, strips);
    ASSERT_EQ(clean.status, 0);
    // The page is set up without faults; they start with the decoder.
    auto decode = [&](pt::Op op, std::uint64_t n, std::uint32_t shortBy) {
        pt::Reset();
        return Decode(l, strips, nullptr, 0, [&](TiffPage&) {
            pt::Reset();
            pt::FailNth(op, n, shortBy);
        });
    };
    // Every block the decoder takes is needed: failing one fails the page.
    for (const pt::Op op : {pt::Op::Alloc, pt::Op::Lock}) {
        const std::uint64_t runs = pt::SweepFaults(op, [&](std::uint64_t n) {
            const std::int16_t s = decode(op, n, 0).status;
            const pt::Counts c = pt::CallCounts();
            const std::uint64_t made = op == pt::Op::Alloc ? c.allocs : c.locks;
            EXPECT_EQ(s, made >= n ? QOR_NO_MEMORY : 0) << n;
            EXPECT_EQ(pt::LiveBlocks(), blocksBefore_) << n;
            EXPECT_EQ(pt::OpenFiles(), filesBefore_) << n;
        });
        EXPECT_GT(runs, 0u);
    }
    // A failed read ends the page with 202 unless the decoder did not need what it would have
    // brought (the byte counts, the end of the file); a short read loses nothing: the stream
    // goes on where the read stopped.
    for (std::uint32_t shortBy : {0u, 1u, 7u, 5000u}) {
        int whole = 0, failed = 0;
        pt::SweepFaults(
            pt::Op::Read,
            [&](std::uint64_t n) {
                const Decoded d = decode(pt::Op::Read, n, shortBy);
                if (d.status == 0) {
                    EXPECT_EQ(d.pixels, clean.pixels) << n;
                    ++whole;
                } else {
                    EXPECT_EQ(d.status, QOR_READ_FAILED) << n;
                    ++failed;
                }
                EXPECT_EQ(pt::LiveBlocks(), blocksBefore_) << n;
                EXPECT_EQ(pt::OpenFiles(), filesBefore_) << n;
            },
            shortBy);
        EXPECT_GT(shortBy == 0 ? failed : whole, 3) << shortBy;
    }
}

TEST_F(TiffLzwTest, PagesWithoutADepthOrStripsAreRefusedUntouched) {
    // Validation refuses such pages; the decoder called on one refuses it too and writes nothing.
    const std::function<void(TiffPage&)> breaks[] = {[](TiffPage& p) { p.bitsPerPixel = 12; },
                                                     [](TiffPage& p) { p.stripCount = 0; }};
    const std::int16_t statuses[] = {QOR_TIFF_UNSUPPORTED, QOR_NOT_TIFF};
    for (int i = 0; i < 2; ++i) {
        Decoded d = Decode({.width = 4, .height = 1}, {PackCodes({256, 1, 2, 3, 4, 257})}, nullptr,
                           0, breaks[i]);
        EXPECT_EQ(d.status, statuses[i]);
        EXPECT_TRUE(std::all_of(d.pixels.begin(), d.pixels.end(), [](auto b) { return b == 0; }));
    }
}

// ---- Whole files, through the reader and against libtiff. ----

namespace fs = std::filesystem;

// Every layer of a file read with QorReadTIF; the document is released again.
struct FileRead {
    std::int16_t status = -1;
    std::vector<Image> layers;
};

FileRead ReadTif(const std::string& path) {
    FileRead r;
    std::uint32_t first = 0;
    r.status = QorReadTIF(nullptr, 0, path.c_str(), &first);
    if (r.status != 0) return r;
    std::vector<QorHandle> handles(QorDocumentLayers(first, nullptr, 0));
    QorDocumentLayers(first, handles.data(), static_cast<std::uint32_t>(handles.size()));
    for (QorHandle h : handles) r.layers.push_back(ReadDib(h));
    EXPECT_EQ(QorReleaseDocument(first), 0);
    return r;
}

std::vector<std::string> LzwDataFiles() {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(DataPath("tifflzw"))) {
        std::string name = e.path().filename().string();
        if (name.find("-lzw") != std::string::npos) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST_F(TiffLzwTest, CommittedFilesReadLikeTheirUncompressedTwins) {
    // The same pictures written LZW-coded and uncompressed by Pillow, ImageMagick and tiffcp
    // (RGB, RGBA, CMYK, grey, grey plus alpha, palette, bilevel; Predictor 1 and 2; strips;
    // both byte orders; a file mixing LZW with uncompressed and PackBits pages) must give the
    // same documents.
    std::vector<std::string> files = LzwDataFiles();
    ASSERT_GE(files.size(), 20u);
    for (const std::string& path : files) {
        std::string twin = path.substr(0, path.rfind("-lzw")) + "-none.tif";
        std::string name = fs::path(path).filename().string();
        FileRead lzw = ReadTif(path), plain = ReadTif(twin);
        ASSERT_EQ(lzw.status, 0) << name;
        ASSERT_EQ(plain.status, 0) << twin;
        ASSERT_EQ(lzw.layers.size(), plain.layers.size()) << name;
        for (std::size_t i = 0; i < lzw.layers.size(); ++i) {
            const Image &a = lzw.layers[i], &b = plain.layers[i];
            EXPECT_EQ(a.width, b.width) << name << " " << i;
            EXPECT_EQ(a.height, b.height) << name << " " << i;
            EXPECT_EQ(a.bits, b.bits) << name << " " << i;
            EXPECT_EQ(a.palette, b.palette) << name << " " << i;
            EXPECT_TRUE(a.pixels == b.pixels) << name << " layer " << i;
        }
    }
}

TEST_F(TiffLzwTest, WholeReadFailuresReleaseEverything) {
    // A multi-page file mixing LZW with other codings, read whole while one allocation or read
    // fails: the read fails (or, for a read that only a skipped page needed, succeeds) and
    // leaves no block and no file behind.
    std::string path = DataPath("tifflzw/cp-mixed-be-lzw.tif");
    for (pt::Op op : {pt::Op::Alloc, pt::Op::Read}) {
        std::uint64_t runs = pt::SweepFaults(op, [&](std::uint64_t n) {
            std::uint32_t first = 0;
            std::int16_t status = QorReadTIF(nullptr, 0, path.c_str(), &first);
            pt::Counts c = pt::CallCounts();
            if (op == pt::Op::Alloc && c.allocs >= n) {
                EXPECT_NE(status, 0) << n;
            }
            if (status == 0) QorReleaseDocument(first);
            EXPECT_EQ(pt::LiveBlocks(), blocksBefore_) << n;
            EXPECT_EQ(pt::OpenFiles(), filesBefore_) << n;
        });
        EXPECT_GT(runs, 4u);
    }
}

#ifdef QORIMG_HAVE_LIBTIFF

// Decodes every LZW page of a file that validation takes with DecodeLzwStrips and compares its
// rows with what libtiff's TIFFReadEncodedStrip delivers (samples in file order, differencing
// undone); strips of the old kind are read as an extended read reads them. Returns the number of
// pages compared.
int CompareLzwPagesWithLibtiff(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    std::vector<std::uint32_t> lzwPages;
    HFILE f = _lopen(path.c_str(), 0);
    std::uint16_t order = 0, n = 0;
    std::uint32_t offset = 0;
    if (f != HFILE_ERROR && ReadTiffHeader(f, &order, &offset) == 0 &&
        CountTiffPages(f, offset, order, &n) == 0) {
        for (std::uint32_t i = 0; i < n; ++i) {
            TiffPage page{};
            page.byteOrder = order;
            ParseTiffDirectory(f, &page, &offset);
            if (page.compression == 5 && ValidateTiffPage(page) == 0) lzwPages.push_back(i);
        }
    }
    if (f != HFILE_ERROR) _lclose(f);
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    int compared = 0;
    for (std::uint32_t i : lzwPages) {
        // Pages that libtiff cannot read as strips are only decoded.
        bool ok = t != nullptr && TIFFSetDirectory(t, static_cast<tdir_t>(i)) && !TIFFIsTiled(t);
        bool oldStyle = false;
        std::uint64_t line = 0, at = 0;
        std::uint32_t height = 0;
        if (ok) {
            line = static_cast<std::uint64_t>(TIFFScanlineSize64(t));
            TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
        }
        Bytes want(line * height + 64);
        for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(t) && at < line * height; ++s) {
            tmsize_t got = TIFFReadEncodedStrip(t, s, want.data() + at,
                                                static_cast<tmsize_t>(want.size() - at));
            ok = ok && got > 0;
            at += got > 0 ? static_cast<std::uint64_t>(got) : 0;
            Bytes head(2);
            if (TIFFReadRawStrip(t, s, head.data(), 2) == 2) {
                oldStyle = oldStyle || StartsOldStyleLzw(head[0], head[1]);
            }
        }
        want.resize(line * height);
        Decoded d = FileRows(DecodePage(path, i, DecodeLzwStrips, nullptr,
                                        [&](TiffPage& p) { p.extended = oldStyle; }));
        if (!ok) continue;
        EXPECT_EQ(d.status, 0) << name << " page " << i;
        for (std::uint32_t r = 0; r < height && d.pixels.size() == want.size(); ++r) {
            if (!std::equal(want.begin() + r * line, want.begin() + (r + 1) * line,
                            d.pixels.begin() + r * line)) {
                ADD_FAILURE() << name << " page " << i << ": row " << r << " differs";
                break;
            }
        }
        EXPECT_EQ(d.pixels.size(), want.size()) << name << " page " << i;
        ++compared;
    }
    if (t != nullptr) TIFFClose(t);
    return compared;
}

TEST_F(TiffLzwTest, CommittedFilesMatchLibtiffStripByStrip) {
    int compared = 0;
    for (const std::string& path : LzwDataFiles()) {
        int n = CompareLzwPagesWithLibtiff(path);
        EXPECT_GE(n, 1) << path;
        compared += n;
    }
    EXPECT_GE(compared, 24);
}

// Writes an LZW page with libtiff.
void WriteWithLibtiff(const std::string& path, std::uint32_t w, std::uint32_t h, int spp,
                      int predictor, std::uint32_t rowsPerStrip, const Bytes& pixels,
                      bool bigEndian) {
    TIFF* t = TIFFOpen(path.c_str(), bigEndian ? "wb" : "wl");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (spp == 4) {
        std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    std::size_t row = std::size_t{w} * static_cast<std::size_t>(spp);
    for (std::uint32_t y = 0; y < h; ++y) {
        // libtiff differences the row it is given in place.
        Bytes copy(pixels.begin() + static_cast<std::ptrdiff_t>(y * row),
                   pixels.begin() + static_cast<std::ptrdiff_t>(y * row + row));
        ASSERT_EQ(TIFFWriteScanline(t, copy.data(), y, 0), 1);
    }
    TIFFClose(t);
}

TEST_F(TiffLzwTest, LargeLibtiffPagesDecodeExactly) {
    // Pages of up to a few megabytes, written by libtiff in the test: strips of many sizes,
    // both byte orders, Predictor 1 and 2, rows past 32768 bytes.
    struct Case {
        std::uint32_t w, h;
        int spp, predictor;
        std::uint32_t rowsPerStrip;
        bool bigEndian;
    };
    TempDir dir;
    int n = 0;
    for (Case c : {Case{1500, 700, 3, 2, 64, false}, Case{1500, 700, 3, 1, 700, true},
                   Case{2000, 900, 1, 1, 1, false}, Case{11000, 40, 3, 2, 16, true},
                   Case{9000, 30, 4, 2, 7, false}}) {
        Bytes pixels = n % 2 == 0 ? Smooth(std::size_t{c.w} * c.h * c.spp, c.w)
                                  : Noise(std::size_t{c.w} * c.h * c.spp, c.w, 16);
        std::string path = dir.Path("big" + std::to_string(n++) + ".tif");
        WriteWithLibtiff(path, c.w, c.h, c.spp, c.predictor, c.rowsPerStrip, pixels, c.bigEndian);
        ASSERT_EQ(CompareLzwPagesWithLibtiff(path), 1) << path;
        // And the whole reader delivers the picture.
        FileRead r = ReadTif(path);
        ASSERT_EQ(r.status, 0) << path;
        ASSERT_EQ(r.layers.size(), 1u);
        const Image& img = r.layers[0];
        ASSERT_EQ(img.width, static_cast<std::int32_t>(c.w));
        // Alpha handling belongs to the conversions.
        for (std::uint32_t y = 0; c.spp != 4 && y < c.h; y += 7) {
            for (std::uint32_t x = 0; x < c.w; x += 13) {
                const std::uint8_t* s = &pixels[(std::size_t{y} * c.w + x) * c.spp];
                std::uint32_t want =
                    c.spp == 3 ? std::uint32_t{s[0]} << 16 | s[1] << 8 | s[2] : img.palette[s[0]];
                std::uint32_t got =
                    c.spp == 3 ? img.At(static_cast<int>(x), static_cast<int>(y))
                               : img.palette[img.At(static_cast<int>(x), static_cast<int>(y))];
                ASSERT_EQ(got, want) << path << " at " << x << "," << y;
            }
        }
    }
}

TEST_F(TiffLzwTest, CorpusLzwPagesMatchLibtiffStripByStrip) {
    // The whole reads of these files, with their leak checks, are the differential suite's.
    std::string corpora = CorporaDir();
    if (corpora.empty()) GTEST_SKIP() << "the corpora are not present (set QORIMG_CORPORA)";
    int compared = 0;
    for (const char* sub : {"libtiff", "x-image/tiff"}) {
        fs::path d = fs::path(corpora) / sub;
        if (!fs::is_directory(d)) continue;
        for (const auto& e : fs::directory_iterator(d)) {
            std::string ext = e.path().extension().string();
            if (ext == ".tif" || ext == ".tiff") compared += CompareLzwPagesWithLibtiff(e.path());
        }
    }
    EXPECT_GE(compared, 2);
}

#endif  // QORIMG_HAVE_LIBTIFF

}  // namespace
}  // namespace qor::test
