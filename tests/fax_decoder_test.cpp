// The CCITT strip decoders on hand-made code streams: code tables, run painting, Modified
// Huffman rows, Group 3 EOLs and fill, Group 4 modes, strips, progress, damage and truncation.
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "fax/fax.h"
#include "support/fax_codes.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor::test {
namespace {

using tiff::TiffPage;

TiffPageSpec FaxSpec(std::uint32_t compression, std::uint32_t w, std::uint32_t h,
                     std::vector<Bytes> strips, std::uint32_t rowsPerStrip = 0) {
    TiffPageSpec p;
    p.width = w;
    p.height = h;
    p.bits = {1};
    p.photometric = 0;
    p.compression = compression;
    p.strips = std::move(strips);
    p.rowsPerStrip = rowsPerStrip;
    return p;
}

TiffBuilder::Entry FillOrder2() {
    return TiffBuilder::Short(266, {2});
}

// A one-strip file whose strip is the last thing in it: data that stops early meets the end of
// the file.
Bytes StripAtEnd(TiffPageSpec spec, const Bytes& data) {
    spec.strips = {data};
    return MakeTiffStripsLast(spec);
}

class FaxDecoderTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

    struct Decoded {
        std::int16_t status = -1;
        std::vector<std::string> rows;  // '1' white, '0' black, first file row first
        TiffPage page{};
    };

    // Sets up the page's DIB as the driver does and runs its decoder.
    Decoded Decode(const TiffPageSpec& spec, ProgressProc progress = nullptr) {
        return Decode(MakeTiff({spec}), spec.width, progress);
    }
    Decoded Decode(const Bytes& file, std::uint32_t width, ProgressProc progress = nullptr,
                   const std::function<void(TiffPage&)>& adjust = {}) {
        const std::string path = dir_.Path("f.tif");
        WriteFile(path, file);
        const DecodedPage page = DecodeFirstPage(path, nullptr, progress, adjust);
        Decoded d{page.status, {}, page.page};
        for (const Bytes& row : page.rows) {
            std::string s;
            for (std::uint32_t x = 0; x < width; ++x) {
                s += (row[x / 8] >> (7 - x % 8)) & 1 ? '1' : '0';
            }
            // Nothing is written past the row's last pixel.
            for (std::uint64_t x = width; x < row.size() * 8; ++x) {
                EXPECT_EQ((row[x / 8] >> (7 - x % 8)) & 1, 0) << "padding bit " << x;
            }
            d.rows.push_back(s);
        }
        return d;
    }
};

std::string Repeat(char c, std::size_t n) {
    return std::string(n, c);
}

TEST_F(FaxDecoderTest, CodeTablesCoverEveryWindowButTheEolPrefix) {
    std::vector<std::uint16_t> table(fax::kCodeTableSize);
    for (int colour = 0; colour < 2; ++colour) {
        const std::uint8_t* lengths = colour ? fax::kWhiteCodeLength : fax::kBlackCodeLength;
        const std::uint8_t* values = colour ? fax::kWhiteCodeValue : fax::kBlackCodeValue;
        fax::BuildFaxCodeTable(table.data(), lengths, values);
        // The code sets are complete prefix codes except for the windows that begin with eight
        // zero bits, where the EOL lives: 8192 / 256 = 32 windows without a code.
        std::uint32_t empty = 0;
        for (std::uint32_t w = 0; w < fax::kCodeTableSize; ++w) {
            const std::uint32_t i = fax::IndexOfEntry(table[w]);
            if (i == fax::NO_CODE) {
                ++empty;
                EXPECT_LT(w, 32u) << w;
                continue;
            }
            ASSERT_LT(i, fax::kCodeCount);
            EXPECT_EQ(fax::LengthOfEntry(table[w]), lengths[i]) << "window " << w;
            // The window begins with the code word that it names.
            EXPECT_EQ(w >> (13 - lengths[i]), values[i]) << "window " << w;
        }
        EXPECT_EQ(empty, 32u);
        // Every code index owns its own share of the table.
        std::uint32_t owned = 0;
        for (std::uint32_t i = 0; i < fax::kCodeCount; ++i) owned += 1u << (13 - lengths[i]);
        EXPECT_EQ(owned, fax::kCodeTableSize - 32);
        // The code words typed above agree with the tables.
        const auto& words = colour ? kWhite : kBlack;
        for (const auto& [run, word] : words) {
            std::uint32_t w = 0;
            for (char c : word) w = w << 1 | (c == '1');
            w <<= 13 - word.size();
            const std::uint32_t i = fax::IndexOfEntry(table[w]);
            ASSERT_NE(i, fax::NO_CODE) << run;
            EXPECT_EQ(fax::RunOfCode(i), static_cast<std::uint32_t>(run)) << word;
            EXPECT_EQ(lengths[i], word.size()) << word;
        }
    }
}

TEST_F(FaxDecoderTest, WhiteRunsSetOnlyTheirOwnBits) {
    // Every run of a 40-pixel row painted over every earlier state of one guard-framed row, by
    // the plain painter and by the word painter in rows with and without room after the run.
    for (std::uint64_t rowBytes : {0u, 5u, 8u}) {
        for (std::uint32_t p = 0; p <= 40; ++p) {
            for (std::uint32_t n = 0; p + n <= 40; ++n) {
                std::uint8_t buffer[10] = {};
                auto paint = [&](std::uint32_t from, std::uint32_t count) {
                    if (rowBytes == 0) return fax::PaintWhiteRun(buffer + 1, from, count);
                    fax::PaintWhite(buffer + 1, rowBytes, from, count);
                };
                // Another run already painted earlier in the row stays.
                if (p >= 3) paint(0, 2);
                paint(p, n);
                for (std::uint32_t x = 0; x < 64; ++x) {
                    const bool want = (p >= 3 && x < 2) || (x >= p && x < p + n);
                    ASSERT_EQ(((buffer[1 + x / 8] >> (7 - x % 8)) & 1) != 0, want)
                        << "run " << p << "+" << n << " pixel " << x << " row " << rowBytes;
                }
                ASSERT_EQ(buffer[0], 0);
            }
        }
    }
}

TEST_F(FaxDecoderTest, ModifiedHuffmanRowsRunsAndAlignment) {
    // Row 1: make-up codes add up (2560 + 2560 + 64 + 36 = 5220 white), then black 10.
    // Row 2: a lone terminating white 0 means the row starts black: black 1728 + 0, then the
    // rest white: 1792 + 1664 + 36, a black run of 0 that only flips the colour, and 10.
    const std::uint32_t width = 5230;
    std::string s;
    std::string r1 = W(2560) + W(2560) + W(64) + W(36) + B(10);
    s += r1 + ToByte(r1);
    std::string r2 = W(0) + B(1728) + B(0) + W(1792) + W(1664) + W(36) + B(0) + W(10);
    s += r2 + ToByte(r2);
    TiffPageSpec spec = FaxSpec(2, width, 2, {Pack(s)});
    Decoded d = Decode(spec);
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows[0], Repeat('1', 5220) + Repeat('0', 10));
    EXPECT_EQ(d.rows[1], Repeat('0', 1728) + Repeat('1', 3502));

    // 12 pixels in exactly 16 bits, then a row with 1 to 7 fill bits, then a row of 10 bits.
    std::string a = W(8) + B(1) + W(1) + B(2);  // 5 + 3 + 6 + 2 bits
    std::string b = W(3) + B(4) + W(2) + B(3);  // 4 + 3 + 4 + 2 bits = 13
    std::string c = W(10) + B(2);               // 7 bits
    Decoded e = Decode(FaxSpec(2, 12, 3, {Pack(a + b + ToByte(b) + c)}));
    ASSERT_EQ(e.status, 0);
    const std::string wantA = "111111110100", wantB = "111000011000", wantC = "111111111100";
    EXPECT_EQ(e.rows, (std::vector<std::string>{wantA, wantB, wantC}));
    // The 3 bits after b before the byte boundary are skipped whatever they hold.
    std::string padded = a + b + "111" + c + ToByte(c);
    Decoded f = Decode(FaxSpec(2, 12, 3, {Pack(padded)}));
    ASSERT_EQ(f.status, 0);
    EXPECT_EQ(f.rows, e.rows);

    // Fill order 2: the bytes are stored least significant bit first and decode alike.
    TiffPageSpec lsb = FaxSpec(2, 12, 3, {Pack(a + b + ToByte(b) + c, true)});
    lsb.extra = {FillOrder2()};
    EXPECT_EQ(Decode(lsb).rows, e.rows);
}

TEST_F(FaxDecoderTest, ModifiedHuffmanRowsAlignAcrossInputBlocks) {
    // Rows of 17 and 31 bits in a random order: row starts fall on every position relative to
    // the 10240-byte input blocks, including rows whose last code word ends in a new block.
    std::mt19937 rng(5);
    std::string s;
    std::vector<std::string> want;
    const std::uint32_t rows = 3000;
    for (std::uint32_t r = 0; r < rows; ++r) {
        std::string row;
        if (rng() % 2) {
            row = W(1728) + W(0);
            want.push_back(Repeat('1', 1728));
        } else {
            row = W(0) + B(1728) + B(0);
            want.push_back(Repeat('0', 1728));
        }
        s += row + ToByte(row);
    }
    Bytes data = Pack(s);
    ASSERT_GT(data.size(), 10240u);
    Decoded d = Decode(FaxSpec(2, 1728, rows, {data}));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows, want);
}

TEST_F(FaxDecoderTest, ModifiedHuffmanFailures) {
    // A run that would carry the row past its end: nothing of it is painted, 532.
    EXPECT_EQ(Decode(FaxSpec(2, 10, 1, {Pack(W(8) + B(3))})).status, QOR_FAX_BAD_DATA);
    // An EOL is no code word of this coding.
    EXPECT_EQ(Decode(FaxSpec(2, 10, 1, {Pack(kEol + W(10))})).status, QOR_FAX_BAD_DATA);
    // The data ends inside row 2: the file ended early.
    std::string r1 = W(10);
    EXPECT_EQ(Decode(StripAtEnd(FaxSpec(2, 10, 2, {}), Pack(r1 + ToByte(r1) + W(4))), 10).status,
              QOR_READ_FAILED);
    EXPECT_EQ(Decode(StripAtEnd(FaxSpec(2, 10, 2, {}), Pack(r1)), 10).status, QOR_READ_FAILED);
    // More rows per strip than the page has: decoding stops at the last row, status 0, and the
    // last progress report is 100.
    ProgressRecorder rec;
    gRecorder = &rec;
    std::string row = W(10);
    std::string two = row + ToByte(row) + row + ToByte(row);
    Decoded d = Decode(FaxSpec(2, 10, 2, {Pack(two), Pack(two)}, 3), RecordProgress);
    gRecorder = nullptr;
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.rows, (std::vector<std::string>{Repeat('1', 10), Repeat('1', 10)}));
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0].first, 0u);
    EXPECT_EQ(rec.calls[1].first, 50u);
    EXPECT_EQ(rec.calls[2].first, 100u);
}

TEST_F(FaxDecoderTest, Group3EolsFillBitsAndFillOrder) {
    // Three rows of 12: EOL before each, the same rows with zero fill bits that end every EOL on
    // a byte boundary, and the fill-bit stream stored least significant bit first.
    const std::vector<std::string> rows = {W(8) + B(1) + W(1) + B(2), W(3) + B(4) + W(2) + B(3),
                                           W(0) + B(2) + W(10)};
    const std::vector<std::string> want = {"111111110100", "111000011000", "001111111111"};
    std::string plain, filled;
    for (const auto& r : rows) {
        plain += kEol + r;
        filled += ToByte(filled + kEol) + kEol + r;
    }
    Decoded a = Decode(FaxSpec(3, 12, 3, {Pack(plain)}));
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.rows, want);
    TiffPageSpec fill = FaxSpec(3, 12, 3, {Pack(filled)});
    fill.extra = {TiffBuilder::Long(292, {4})};
    Decoded b = Decode(fill);
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(b.rows, want);
    fill.strips = {Pack(filled, true)};
    fill.extra.push_back(FillOrder2());
    Decoded c = Decode(fill);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.rows, want);

    // Twenty zero bits after a complete row are fill before the next EOL, not an error.
    Decoded z =
        Decode(FaxSpec(3, 12, 2, {Pack(kEol + rows[0] + Repeat('0', 20) + kEol + rows[1])}));
    ASSERT_EQ(z.status, 0);
    EXPECT_EQ(z.rows, (std::vector<std::string>{want[0], want[1]}));

    // One strip whose page ends without the return-to-control codes: decoding stops after the
    // last row. With more rows per strip than the page has, the EOL after the last row ends it.
    Decoded s = Decode(FaxSpec(3, 12, 2, {Pack(kEol + rows[0] + kEol + rows[1])}));
    EXPECT_EQ(s.status, 0);
    Decoded rtc = Decode(FaxSpec(
        3, 12, 2, {Pack(kEol + rows[0] + kEol + rows[1] + kEol + kEol + kEol), Pack(kEol)}, 5));
    EXPECT_EQ(rtc.status, 0);
    EXPECT_EQ(rtc.rows, (std::vector<std::string>{want[0], want[1]}));
}

TEST_F(FaxDecoderTest, Group3ShortRowsAndStripStarts) {
    const std::string full = W(8) + B(1) + W(1) + B(2);  // 12 pixels
    const std::string wantFull = "111111110100";
    // Row 2 is coded too short (white 3, black 2, then an EOL): its rest stays black and the
    // EOL introduces row 3, which starts again at pixel 0 in white.
    Decoded d = Decode(FaxSpec(3, 12, 3, {Pack(kEol + full + kEol + W(3) + B(2) + kEol + full)}));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows, (std::vector<std::string>{wantFull, "111000000000", wantFull}));
    // Twelve zero bits inside a row are fill before an EOL that cuts the row short.
    Decoded z = Decode(FaxSpec(3, 12, 2, {Pack(kEol + W(3) + Repeat('0', 12) + kEol + full)}));
    ASSERT_EQ(z.status, 0);
    EXPECT_EQ(z.rows, (std::vector<std::string>{"111000000000", wantFull}));

    // Two strips of two rows; the first strip's first row is cut short and its data ends with
    // stray 1 bits after the last code word. Each strip starts afresh at its own offset, so the
    // second strip's rows land on rows 3 and 4.
    std::string strip1 = kEol + W(5) + B(1) + kEol + full;
    strip1 += ToByte(strip1).empty() ? "" : std::string(ToByte(strip1).size(), '1');
    std::string strip2 = kEol + W(0) + B(2) + W(10) + kEol + full;
    Decoded s = Decode(FaxSpec(3, 12, 4, {Pack(strip1), Pack(strip2)}, 2));
    ASSERT_EQ(s.status, 0);
    EXPECT_EQ(s.rows,
              (std::vector<std::string>{"111110000000", wantFull, "001111111111", wantFull}));

    // Two-dimensional rows (tag bit 0) against one-dimensional rows (1) cut short, whose black
    // rest is a change where the run cut short is white: V0, VL1 from the row's end, V0.
    const std::string twoD = "0" + V0 + VL1 + V0;
    const std::string rows2d =
        kEol + "1" + W(3) + B(2) + kEol + twoD + kEol + "1" + W(4) + B(0) + kEol + twoD;
    Decoded t = Decode(MakeTiff({FaxSpec(3, 12, 4, {Pack(rows2d)})}), 12, nullptr,
                       [](TiffPage& page) { page.t4Options |= tiff::kT4TwoDimensional; });
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(t.rows, (std::vector<std::string>{"111000000000", "111000000001", "111100000000",
                                                "111100000001"}));
}

TEST_F(FaxDecoderTest, Group3FailuresAndProgress) {
    const std::string full = W(8) + B(1) + W(1) + B(2);
    // A page whose first bits are not an EOL.
    EXPECT_EQ(Decode(FaxSpec(3, 12, 1, {Pack(full + kEol + full)})).status, QOR_FAX_BAD_DATA);
    // An extended read takes one-dimensional rows without their EOLs, as some writers store
    // them: each row's codes follow the last row's at any bit, and an EOL that still comes
    // introduces its row as usual.
    Decoded noEol =
        Decode(MakeTiff({FaxSpec(3, 12, 3, {Pack(full + W(3) + B(1) + W(8) + kEol + full)})}), 12,
               nullptr, [](TiffPage& page) { page.extended = true; });
    EXPECT_EQ(noEol.status, 0);
    EXPECT_EQ(noEol.rows,
              (std::vector<std::string>{"111111110100", "111011111111", "111111110100"}));
    // A run past the row's end, and bits that begin no black code word (an EOL prefix of 1 bit
    // then zeros does not count: 0000000 then 1 is no black code).
    EXPECT_EQ(Decode(FaxSpec(3, 12, 1, {Pack(kEol + W(10) + B(3))})).status, QOR_FAX_BAD_DATA);
    // Data that ends inside a row, or a stream of zero fill that never reaches an EOL.
    EXPECT_EQ(Decode(StripAtEnd(FaxSpec(3, 12, 2, {}), Pack(kEol + full + kEol + W(4))), 12).status,
              QOR_READ_FAILED);
    EXPECT_EQ(Decode(StripAtEnd(FaxSpec(3, 12, 2, {}), Pack(kEol + full + Repeat('0', 20000))), 12)
                  .status,
              QOR_READ_FAILED);

    // Progress: 0 at the start, then the share of rows done after each row.
    ProgressRecorder rec;
    gRecorder = &rec;
    std::string s;
    for (int i = 0; i < 4; ++i) s += kEol + full;
    Decoded d = Decode(FaxSpec(3, 12, 4, {Pack(s)}), RecordProgress);
    gRecorder = nullptr;
    EXPECT_EQ(d.status, 0);
    std::vector<std::uint32_t> done;
    for (const auto& c : rec.calls) done.push_back(c.first);
    EXPECT_EQ(done, (std::vector<std::uint32_t>{0, 25, 50, 75, 100}));
    // A callback that stops after the first row: 100, every block freed (checked at the end).
    ProgressRecorder stop;
    stop.cancelAt = 2;
    gRecorder = &stop;
    EXPECT_EQ(Decode(FaxSpec(3, 12, 4, {Pack(s)}), RecordProgress).status, QOR_CANCELLED);
    gRecorder = nullptr;
}

TEST_F(FaxDecoderTest, StripFramesThatCannotHoldThePage) {
    const std::string full = W(8) + B(1) + W(1) + B(2);
    const std::string wantFull = "111111110100";
    // Two strips and no RowsPerStrip: the tag's default puts every row in the first strip.
    Decoded d =
        Decode(FaxSpec(3, 12, 3, {Pack(kEol + full + kEol + full + kEol + full), Pack(kEol)}));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows, (std::vector<std::string>(3, wantFull)));
    // An offset array whose second entry is 0 (the header, or an unreadable entry).
    TiffBuilder b(false);
    const std::uint32_t strip = b.Append(Pack(V0));
    const std::uint32_t array = b.AppendLongs({strip, 0});
    b.AddIfd({TiffBuilder::Long(256, {12}), TiffBuilder::Long(257, {2}),
              TiffBuilder::Short(258, {1}), TiffBuilder::Short(259, {4}),
              TiffBuilder::Short(262, {0}), TiffBuilder::Raw(273, 4, 2, array),
              TiffBuilder::Long(278, {1})});
    EXPECT_EQ(Decode(b.bytes(), 12).status, QOR_READ_FAILED);
}

TEST_F(FaxDecoderTest, Group4ModesAgainstTheReferenceLine) {
    // Width 16.
    // Row 1, against the white line: horizontal white 0 / black 0 (two changes at 0), then
    // horizontal white 3 / black 5, then V0 under the white line's end. Pixels: 3 white,
    // 5 black, 8 white; the changes are 0, 0, 3, 8.
    // Row 2: V0 under b1 = 0 (the row starts black), then pass: b1 must lie right of a0 = 0,
    // i.e. 8, so b2 is the row's end and the whole row is black.
    // Row 3: horizontal white 16 / black 0: all white.
    // Row 4: all white again with one V0 under the white reference line's end.
    // Row 5: VR1 under b1 = 16 (past the end: cut at the row's end).
    std::string s = H + W(0) + B(0) + H + W(3) + B(5) + V0;
    s += V0 + P;
    s += H + W(16) + B(0);
    s += V0;
    s += VR1;
    Decoded d = Decode(FaxSpec(4, 16, 5, {Pack(s)}));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows,
              (std::vector<std::string>{"1110000011111111", Repeat('0', 16), Repeat('1', 16),
                                        Repeat('1', 16), Repeat('1', 16)}));

    // Width 12.
    // Row 1: H W2 B1, H W1 B1, H W1 B1, V0: "110101011111" (changes 2,3,4,5,6,7,12...).
    // Row 2: closely spaced changes: VR2 from b1 = 2 gives a1 = 4 (white 0-3); then b1 is the
    // first black-to-white change right of 4, namely 5: VR3 gives 8 (black 4-7); then b1 is the
    // first white-to-black change right of 8: the line's end, 12: V0 ends the row white.
    // Row 3: pass then vertical against the same reference line "111100001111": P moves a0
    // under b2 = 8 (white 0-7); the next b1 is the first white-to-black change right of 8, the
    // line's end 12, so VL1 gives a1 = 11 (white 8-10); V0 ends the row black at 12.
    std::string t = H + W(2) + B(1) + H + W(1) + B(1) + H + W(1) + B(1) + V0;
    t += VR2 + VR3 + V0;
    t += P + VL1 + V0;
    Decoded e = Decode(FaxSpec(4, 12, 3, {Pack(t)}));
    ASSERT_EQ(e.status, 0);
    EXPECT_EQ(e.rows, (std::vector<std::string>{"110101011111", "111100001111", "111111111110"}));
}

TEST_F(FaxDecoderTest, Group4RowEndsEndOfBlockAndStrips) {
    // A horizontal run longer than the rest of the row is cut at the row's end; the row ends
    // normally and the next row decodes against it.
    std::string s = H + W(5) + B(64) + B(0) + V0 + V0;
    Decoded d = Decode(FaxSpec(4, 10, 2, {Pack(s)}));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.rows, (std::vector<std::string>{"1111100000", "1111100000"}));

    // An end-of-block after row 10 of 20: rows 11 to 20 come out white, status 0. Rows 1-10
    // are all black (H W0 B8 on the white line, then V0 under the black line's start and V0
    // under its end).
    std::string e = H + W(0) + B(8);
    for (int i = 1; i < 10; ++i) e += V0 + V0;
    e += kEol + kEol;
    Decoded eob = Decode(FaxSpec(4, 8, 20, {Pack(e)}));
    ASSERT_EQ(eob.status, 0);
    for (int r = 0; r < 20; ++r) EXPECT_EQ(eob.rows[r], Repeat(r < 10 ? '0' : '1', 8)) << r;

    // Strips: every strip's first row is coded against the white line, after the previous
    // strip's stray bits. Strip 1 has rows 1-2 (black), strip 2 rows 3-4 (black then white).
    std::string s1 = H + W(0) + B(8) + V0;
    s1 += ToByte(s1).empty() ? "" : std::string(ToByte(s1).size(), '1');
    std::string s2 = H + W(0) + B(8) + H + W(8) + B(0);
    Decoded st = Decode(FaxSpec(4, 8, 4, {Pack(s1), Pack(s2)}, 2));
    ASSERT_EQ(st.status, 0);
    EXPECT_EQ(st.rows, (std::vector<std::string>{Repeat('0', 8), Repeat('0', 8), Repeat('0', 8),
                                                 Repeat('1', 8)}));
    // An end-of-block ends only its strip: strip 1 stops after row 1, row 2 comes out white,
    // strip 2 still decodes.
    Decoded early = Decode(FaxSpec(4, 8, 4, {Pack(H + W(0) + B(8) + kEol + kEol), Pack(s2)}, 2));
    ASSERT_EQ(early.status, 0);
    EXPECT_EQ(early.rows, (std::vector<std::string>{Repeat('0', 8), Repeat('1', 8), Repeat('0', 8),
                                                    Repeat('1', 8)}));

    // A row whose every pixel changes colour: 4001 changes fit the lists. The next row repeats
    // it with 4000 V0 codes, one run of 1 bits far longer than the reader holds at once.
    std::string alt;
    std::string want;
    for (int x = 0; x < 4000; x += 2) alt += H + W(1) + B(1), want += "10";
    Decoded many = Decode(FaxSpec(4, 4000, 2, {Pack(alt + Repeat('1', 4000))}));
    ASSERT_EQ(many.status, 0);
    EXPECT_EQ(many.rows, (std::vector<std::string>{want, want}));
}

TEST_F(FaxDecoderTest, PaintedRowsOfEveryKindOfWord) {
    // Blank, black, alternating, word-edge and random rows, painted from their changes over a
    // black row: the row's pixels come out, and nothing is written past the DIB row.
    std::mt19937 rng(4);
    for (std::uint32_t width : {1u, 7u, 63u, 64u, 65u, 130u, 200u}) {
        for (int kind = 0; kind < 5; ++kind) {
            std::vector<std::uint32_t> list = {0};  // entry 0, then the changes
            std::string want;
            for (std::uint32_t x = 0; x < width; ++x) {
                const char pixel =
                    "10"[kind == 1 || (kind == 2 && x % 2 == 0) || (kind == 3 && x / 64 % 2 == 1) ||
                         (kind == 4 && rng() % 3 == 0)];
                if (pixel != (x == 0 ? '1' : want.back())) list.push_back(x);
                want += pixel;
            }
            const std::uint32_t stride = (width + 31) / 32 * 4;  // a DIB row's
            Bytes painted(stride + 8, 0);
            const fax::RowEnd end{static_cast<std::uint32_t>(list.size() - 1), width};
            fax::PaintRow(painted.data(), stride, list.data(), end);
            std::string got;
            for (std::uint32_t x = 0; x < width; ++x)
                got += "01"[painted[x / 8] >> (7 - x % 8) & 1];
            EXPECT_EQ(got, want) << "width " << width << " kind " << kind;
            EXPECT_EQ(Bytes(painted.begin() + stride, painted.end()), Bytes(8, 0));
        }
    }
}

TEST_F(FaxDecoderTest, Group4DamageAndTruncation) {
    // The uncompressed-mode extension, an EOL inside the data, and zero bytes: 532.
    EXPECT_EQ(Decode(FaxSpec(4, 8, 1, {Pack("0000001111" + Repeat('1', 30))})).status,
              QOR_FAX_BAD_DATA);
    EXPECT_EQ(Decode(FaxSpec(4, 8, 2, {Pack(V0 + kEol + "1" + Repeat('1', 30))})).status,
              QOR_FAX_BAD_DATA);
    EXPECT_EQ(Decode(FaxSpec(4, 8, 1, {Bytes(64, 0)})).status, QOR_FAX_BAD_DATA);
    // VL3 at the row start would put a1 left of pixel 0.
    EXPECT_EQ(Decode(FaxSpec(4, 8, 2, {Pack(H + W(1) + B(7) + VL3 + Repeat('1', 16))})).status,
              QOR_FAX_BAD_DATA);
    // Horizontal white 0 / black 0 again and again never advances: refused once the changes
    // outnumber what a row can hold, without writing past the lists.
    std::string zero;
    for (int i = 0; i < 40; ++i) zero += H + W(0) + B(0);
    EXPECT_EQ(Decode(FaxSpec(4, 8, 1, {Pack(zero + V0)})).status, QOR_FAX_BAD_DATA);
    // Data that stops between rows or inside a horizontal run: the file ended early.
    EXPECT_EQ(Decode(StripAtEnd(FaxSpec(4, 8, 3, {}), Pack(V0 + V0)), 8).status, QOR_READ_FAILED);
    EXPECT_EQ(
        Decode(StripAtEnd(FaxSpec(4, 2000, 1, {}), Pack(H + W(1728).substr(0, 5))), 2000).status,
        QOR_READ_FAILED);
    // A page that is not one bit per pixel has no sound form for these codings.
    TiffPageSpec grey = FaxSpec(4, 8, 1, {Pack(V0)});
    grey.bits = {4};
    std::string path = dir_.Path("g.tif");
    WriteFile(path, MakeTiff({grey}));
    Request r(path);
    EXPECT_EQ(ReadTiffWorker(r.get()), QOR_TIFF_UNSUPPORTED);
}

}  // namespace
}  // namespace qor::test

#ifdef QORIMG_HAVE_LIBTIFF
#include "fax_support.h"

namespace qor::test {
namespace {

namespace pt = qor::plat::testing;

class FaxFailureTest : public LeakCheckedTest {};

// Every allocation, lock and read of a whole read fails in turn, reads come up short, and the
// callback stops the work at every report: the expected status, nothing left allocated or open,
// and whatever is delivered is the page itself.
TEST_F(FaxFailureTest, SweepsReleaseEverything) {
    TempDir dir;
    const Bilevel page = TextPage(700, 40, 99);
    const std::uint16_t codings[] = {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX3,
                                     COMPRESSION_CCITTFAX4};
    for (std::uint16_t compression : codings) {
        FaxFile how;
        how.compression = compression;
        how.rowsPerStrip = 7;
        how.fillOrder = FILLORDER_LSB2MSB;
        const std::string path = dir.Path("s" + std::to_string(compression) + ".tif");
        ASSERT_TRUE(WriteWithLibtiff(path, page, how));
        const std::string what = "compression " + std::to_string(compression);
        std::int16_t status;
        ASSERT_EQ(ReadWithQorimg(path, &status).white, page.white) << what;
        ASSERT_EQ(status, 0);
        const std::uint64_t blocks = pt::LiveBlocks();

        auto made = [](pt::Op op) {
            const pt::Counts c = pt::CallCounts();
            return op == pt::Op::Alloc ? c.allocs : op == pt::Op::Lock ? c.locks : c.reads;
        };
        // The reads of the header and directory: the parser takes a failed read as zeros by
        // design, so a fault there may yield another page. From the next read on, every read
        // is the decoder's.
        pt::Reset();
        {
            HFILE f = plat::_lopen(path.c_str(), 0);
            std::uint16_t order = 0;
            std::uint32_t offset = 0;
            ASSERT_EQ(tiff::ReadTiffHeader(f, &order, &offset), 0);
            std::uint16_t n = 0;
            ASSERT_EQ(tiff::CountTiffPages(f, offset, order, &n), 0);
            ASSERT_EQ(n, 1);
            TiffPage parsed{};
            parsed.byteOrder = order;
            tiff::ParseTiffDirectory(f, &parsed, &offset);
            plat::_lclose(f);
        }
        const std::uint64_t parseReads = pt::CallCounts().reads;
        pt::Reset();
        auto expectFailing = [&](pt::Op op, std::int16_t want) {
            std::uint64_t failed = 0;
            const std::uint64_t runs = pt::SweepFaults(op, [&](std::uint64_t n) {
                Request r(path);
                const std::int16_t s = ReadTiffWorker(r.get());
                // Pixels are read back only when the fault hit the read itself.
                const bool hit = made(op) >= n;
                Bilevel got = TakeDocument(r.get(), hit);
                EXPECT_EQ(pt::LiveBlocks(), blocks) << what << " fault " << n;
                EXPECT_EQ(pt::OpenFiles(), 0u) << what << " fault " << n;
                if (op == pt::Op::Read && n <= parseReads) return;
                if (s == 0 && hit) {
                    EXPECT_EQ(got.white, page.white) << what << " fault " << n;
                } else if (s != 0) {
                    // A failing read of the strips is always "the file cannot be read".
                    if (op == pt::Op::Read) {
                        EXPECT_EQ(s, want) << what << " fault " << n;
                    }
                    failed += s == want;
                }
            });
            EXPECT_GT(runs, 0u) << what;
            return failed;
        };
        // The decoder's blocks (tables, input buffer and, for Group 4, the two lists) are
        // among the allocations and locks that fail.
        EXPECT_GE(expectFailing(pt::Op::Alloc, QOR_NO_MEMORY),
                  compression == COMPRESSION_CCITTFAX4 ? 7u : 5u)
            << what;
        EXPECT_GE(expectFailing(pt::Op::Lock, QOR_NO_MEMORY), 5u) << what;
        // Each failing read of the strips ends the read with 202.
        EXPECT_GE(expectFailing(pt::Op::Read, QOR_READ_FAILED), 6u) << what;

        // Short block reads lose nothing: the stream goes on where the read stopped.
        for (std::uint32_t shortBy : {1u, 9u, 6000u}) {
            std::uint64_t whole = 0;
            pt::SweepFaults(
                pt::Op::Read,
                [&](std::uint64_t n) {
                    std::int16_t s;
                    Bilevel got = ReadWithQorimg(path, &s);
                    EXPECT_EQ(pt::LiveBlocks(), blocks) << what << " short read " << n;
                    EXPECT_EQ(pt::OpenFiles(), 0u);
                    if (s == 0 && n > parseReads) {
                        EXPECT_EQ(got.white, page.white) << what << " short read " << n;
                        ++whole;
                    }
                },
                shortBy);
            EXPECT_GE(whole, 6u) << what << " short by " << shortBy;
        }

        // Stopping at every report after the two opening ones: 100 and nothing left behind,
        // except at the closing one after the last row, when the page is done.
        for (std::uint32_t call = 3;; ++call) {
            ProgressRecorder rec;
            rec.cancelAt = call;
            gRecorder = &rec;
            Request r(path, RecordProgress);
            const std::int16_t s = ReadTiffWorker(r.get());
            gRecorder = nullptr;
            TakeDocument(r.get(), false);
            EXPECT_EQ(pt::LiveBlocks(), blocks);
            EXPECT_EQ(pt::OpenFiles(), 0u);
            if (call == 2u + page.height) {
                EXPECT_EQ(s, 0) << what;
                EXPECT_EQ(rec.calls.size(), call) << what;
                break;
            }
            EXPECT_EQ(s, QOR_CANCELLED) << what << " call " << call;
        }
    }
}

// The input is taken eight bytes at a time while the block holds them, else a byte at a time.
// With every read capped at 7 bytes only the byte path runs: on damaged and cut pages of every
// coding and fill order, both give the same status and the same pixels.
TEST_F(FaxFailureTest, WordAndByteInputAgreeOnDamagedPages) {
    TempDir dir;
    const std::string path = dir.Path("d.tif");
    std::mt19937 rng(2027);
    auto decode = [&](std::uint32_t cap, std::int16_t* status) {
        PreparedPage prepared(path);
        Request r("x");
        pt::CapReads(cap);
        *status = tiff::SelectStripDecoder(prepared.page.compression)(
            ProgressBlockOf(r.get()), prepared.bits, prepared.file, &prepared.page);
        pt::Reset();
        DibView rows;
        EXPECT_TRUE(tiff::ViewPageDib(prepared.bits, prepared.page, &rows));
        return Bytes(rows.pixels, rows.pixels + rows.stride * rows.height);
    };
    int damaged = 0;
    for (std::uint16_t compression :
         {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX3, COMPRESSION_CCITTFAX4}) {
        for (std::uint16_t fill : {FILLORDER_MSB2LSB, FILLORDER_LSB2MSB}) {
            for (int round = 0; round < 12; ++round) {
                FaxFile how;
                how.compression = compression;
                how.fillOrder = fill;
                how.t4Options = round % 2 ? GROUP3OPT_FILLBITS : 0;
                const Bilevel page = TextPage(200 + rng() % 3000, 24, rng());
                ASSERT_TRUE(WriteWithLibtiff(path, page, how));
                Bytes strip;
                {
                    const Bytes file = ReadFile(path);
                    PreparedPage prepared(path);
                    const std::uint64_t start = prepared.page.stripOffsets;
                    ASSERT_LE(start + prepared.page.stripByteCounts, file.size());
                    strip.assign(file.begin() + start,
                                 file.begin() + start + prepared.page.stripByteCounts);
                }
                // Flipped bytes, a zeroed stretch, or data cut short; the file ends with it.
                for (int k = 0; k < 1 + round % 4; ++k) {
                    strip[rng() % strip.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
                }
                if (round % 3 == 1) {
                    const std::size_t at = rng() % strip.size();
                    std::fill(strip.begin() + at, strip.begin() + std::min(at + 9, strip.size()),
                              0);
                }
                if (round % 3 == 2) strip.resize(rng() % strip.size());
                TiffPageSpec spec = FaxSpec(compression, page.width, page.height, {});
                spec.extra.push_back(TiffBuilder::Long(292, {how.t4Options}));
                if (fill == FILLORDER_LSB2MSB) spec.extra.push_back(FillOrder2());
                WriteFile(path, StripAtEnd(spec, strip));
                std::int16_t byWord, byByte;
                const Bytes words = decode(0, &byWord), bytes = decode(7, &byByte);
                const std::string what = "compression " + std::to_string(compression) + " fill " +
                                         std::to_string(fill) + " round " + std::to_string(round);
                ASSERT_EQ(byWord, byByte) << what;
                ASSERT_TRUE(words == bytes) << what;
                damaged += byWord != 0;
            }
        }
    }
    // The damage reached the decoders' error paths, not only their pixels.
    EXPECT_GE(damaged, 20);
}

}  // namespace
}  // namespace qor::test
#endif  // QORIMG_HAVE_LIBTIFF
