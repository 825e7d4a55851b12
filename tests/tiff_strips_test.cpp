// The uncompressed and PackBits strip decoders, called as the driver calls them.
#include <cstring>
#include <random>

#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

using tiff::TiffPage;
namespace pt = qor::plat::testing;

// PackBits-encodes one row: replicate runs for 3 or more equal bytes, literals otherwise.
void PackRow(const std::uint8_t* row, std::size_t n, Bytes* out) {
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i]) ++run;
        if (run >= 3) {
            out->push_back(static_cast<std::uint8_t>(257 - run));
            out->push_back(row[i]);
            i += run;
            continue;
        }
        std::size_t start = i, len = 0;
        while (i < n && len < 128) {
            if (i + 2 < n && row[i] == row[i + 1] && row[i] == row[i + 2]) break;
            ++i;
            ++len;
        }
        out->push_back(static_cast<std::uint8_t>(len - 1));
        out->insert(out->end(), row + start, row + start + len);
    }
}

Bytes PackRows(const Bytes& data, std::size_t rowBytes, std::size_t first, std::size_t count) {
    Bytes out;
    for (std::size_t r = first; r < first + count; ++r) {
        PackRow(data.data() + r * rowBytes, rowBytes, &out);
    }
    return out;
}

// Deterministic pixel bytes with runs and noise.
Bytes Pixels(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (std::size_t i = 0; i < n;) {
        std::size_t len = 1 + rng() % 9;
        std::uint8_t v = static_cast<std::uint8_t>(rng());
        bool run = rng() % 2 == 0;
        for (std::size_t k = 0; k < len && i < n; ++k, ++i) {
            b[i] = run ? v : static_cast<std::uint8_t>(rng());
        }
    }
    return b;
}

class TiffStripsTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

    // Decodes the first page of `file` with `decoder`.
    DecodedPage Decode(const Bytes& file, tiff::StripDecoder decoder,
                       const std::function<void(TiffPage&)>& adjust,
                       ProgressProc progress = nullptr) {
        const std::string path = dir_.Path("s.tif");
        WriteFile(path, file);
        return DecodeFirstPage(path, decoder, progress, adjust);
    }
    DecodedPage Decode(const Bytes& file, tiff::StripDecoder decoder,
                       ProgressProc progress = nullptr) {
        return Decode(file, decoder, {}, progress);
    }
};

// Expects each DIB row to start with the matching file row and to be zero after it.
void ExpectRows(const std::vector<Bytes>& rows, const Bytes& data, std::size_t rowBytes,
                const char* what) {
    ASSERT_EQ(rows.size() * rowBytes, data.size()) << what;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        Bytes want(data.begin() + static_cast<std::ptrdiff_t>(r * rowBytes),
                   data.begin() + static_cast<std::ptrdiff_t>((r + 1) * rowBytes));
        want.resize(rows[r].size(), 0);
        EXPECT_EQ(rows[r], want) << what << " row " << r;
    }
}

TiffPageSpec Spec(std::uint32_t w, std::uint32_t h, std::vector<std::uint32_t> bits,
                  int photometric = 1) {
    TiffPageSpec p;
    p.width = w;
    p.height = h;
    p.bits = std::move(bits);
    p.photometric = photometric;
    return p;
}

TEST_F(TiffStripsTest, RowLengthsAndBottomUpPlacementForEveryDepth) {
    struct Case {
        std::vector<std::uint32_t> bits;
        int photometric;
        std::uint32_t width;
        std::size_t fileRow, dibRow;
    } cases[] = {{{1}, 1, 13, 2, 4},          {{4}, 1, 13, 7, 8},
                 {{8}, 1, 13, 13, 16},        {{8, 8}, 1, 13, 26, 28},
                 {{8, 8, 8}, 2, 13, 39, 40},  {{8, 8, 8, 8}, 2, 13, 52, 52},
                 {{8, 8, 8, 8}, 5, 3, 12, 12}};
    for (const Case& c : cases) {
        for (bool big : {false, true}) {
            Bytes data = Pixels(c.fileRow * 5, 7);
            TiffPageSpec s = Spec(c.width, 5, c.bits, c.photometric);
            s.strips = {data};
            DecodedPage u = Decode(MakeTiff({s}, big), tiff::DecodeUncompressedStrips);
            ASSERT_EQ(u.status, 0);
            EXPECT_EQ(tiff::FileRowBytes(u.page), c.fileRow);
            ASSERT_EQ(u.rows.size(), 5u);
            EXPECT_EQ(u.rows[0].size(), c.dibRow);
            ExpectRows(u.rows, data, c.fileRow, "uncompressed");

            s.compression = 32773;
            s.strips = {PackRows(data, c.fileRow, 0, 5)};
            DecodedPage p = Decode(MakeTiff({s}, big), tiff::DecodePackBitsStrips);
            ASSERT_EQ(p.status, 0);
            ExpectRows(p.rows, data, c.fileRow, "packbits");
        }
    }
}

// Records every progress call.
std::vector<std::uint32_t> Dones(const ProgressRecorder& r) {
    std::vector<std::uint32_t> v;
    for (auto& c : r.calls) {
        EXPECT_EQ(c.second, 100u);
        v.push_back(c.first);
    }
    return v;
}

TEST_F(TiffStripsTest, TenRowsInStripsOfFour) {
    Bytes data = Pixels(10 * 7, 3);
    for (bool shortOffsets : {false, true}) {
        TiffPageSpec s = Spec(7, 10, {8});
        s.rowsPerStrip = 4;
        s.shortOffsets = shortOffsets;
        s.strips = {Bytes(data.begin(), data.begin() + 28),
                    Bytes(data.begin() + 28, data.begin() + 56),
                    Bytes(data.begin() + 56, data.end())};
        ProgressRecorder rec;
        gRecorder = &rec;
        DecodedPage u =
            Decode(MakeTiff({s}, shortOffsets), tiff::DecodeUncompressedStrips, RecordProgress);
        ASSERT_EQ(u.status, 0);
        ExpectRows(u.rows, data, 7, "uncompressed");
        const std::vector<std::uint32_t> everyRow{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
        EXPECT_EQ(Dones(rec), everyRow);

        s.compression = 32773;
        s.strips = {PackRows(data, 7, 0, 4), PackRows(data, 7, 4, 4), PackRows(data, 7, 8, 2)};
        rec = {};
        DecodedPage p =
            Decode(MakeTiff({s}, shortOffsets), tiff::DecodePackBitsStrips, RecordProgress);
        gRecorder = nullptr;
        ASSERT_EQ(p.status, 0);
        ExpectRows(p.rows, data, 7, "packbits");
        EXPECT_EQ(Dones(rec), everyRow);
    }
    // A single strip decodes the same whatever RowsPerStrip says.
    TiffPageSpec one = Spec(7, 10, {8});
    one.rowsPerStrip = 3;
    one.strips = {data};
    ExpectRows(Decode(MakeTiff({one}), tiff::DecodeUncompressedStrips).rows, data, 7, "single");
    one.compression = 32773;
    one.strips = {PackRows(data, 7, 0, 10)};
    ExpectRows(Decode(MakeTiff({one}), tiff::DecodePackBitsStrips).rows, data, 7, "single pb");
}

TEST_F(TiffStripsTest, PagesWithoutAUsableStripAreRefused) {
    // Validation refuses such pages; a decoder called on one refuses it too, taking no block.
    TiffPageSpec s = Spec(4, 3, {8});
    s.strips = {Bytes(12, 1)};
    for (auto decoder : {tiff::DecodeUncompressedStrips, tiff::DecodePackBitsStrips}) {
        for (std::uint32_t count : {0u, 0x80000000u}) {
            DecodedPage d = Decode(
                MakeTiff({s}), decoder,
                [&](TiffPage& p) {
                    p.stripCount = count;
                    pt::Reset();
                },
                nullptr);
            EXPECT_EQ(d.status, QOR_NOT_TIFF) << count;
            EXPECT_EQ(pt::CallCounts().allocs, 0u);
        }
    }
}

TEST_F(TiffStripsTest, PackBitsOperations) {
    // Row 0 (6 bytes): no-op, replicate 0x41 twice, literal of three, replicate of 128 of
    // which one byte fits. Row 1: a literal of 8 whose last two bytes cross the row end
    // and are dropped. Row 2: replicate 6.
    Bytes stream = {0x80, 0xFF, 0x41, 0x02, 1,  2,  3,  0x81, 9,    0x07,
                    10,   11,   12,   13,   14, 15, 16, 17,   0xFB, 5};
    TiffPageSpec s = Spec(6, 3, {8});
    s.compression = 32773;
    s.strips = {stream};
    DecodedPage d = Decode(MakeTiff({s}), tiff::DecodePackBitsStrips);
    ASSERT_EQ(d.status, 0);
    Bytes want = {0x41, 0x41, 1, 2, 3, 9, 10, 11, 12, 13, 14, 15, 5, 5, 5, 5, 5, 5};
    ExpectRows(d.rows, want, 6, "ops");
    // A run of 128 copies in a row with 5 bytes left fills those 5; the next row starts with
    // the next header byte.
    s.width = 7;
    s.height = 2;
    s.strips = {{0x01, 1, 2, 0x81, 8, 0xFA, 4}};
    d = Decode(MakeTiff({s}), tiff::DecodePackBitsStrips);
    ASSERT_EQ(d.status, 0);
    ExpectRows(d.rows, {1, 2, 8, 8, 8, 8, 8, 4, 4, 4, 4, 4, 4, 4}, 7, "long run");
}

TEST_F(TiffStripsTest, PackBitsAcrossBlockBoundaries) {
    // Wide rows, many of them: runs and literals fall across every 10240-byte boundary.
    const std::size_t width = 997, height = 60;
    Bytes data = Pixels(width * height, 11);
    Bytes stream = PackRows(data, width, 0, height);
    ASSERT_GT(stream.size(), 3 * 10240u);
    // Shift the stream with leading no-ops so that a replicate header is the last byte of the
    // first block and its value byte the first of the next.
    std::size_t header = 0;
    for (std::size_t i = 0; i < stream.size() && i <= 10239;) {
        std::uint8_t n = stream[i];
        if (n > 128) header = i;
        i += n < 128 ? n + 2u : n > 128 ? 2u : 1u;
    }
    ASSERT_GT(header, 10000u);
    stream.insert(stream.begin(), 10239 - header, 0x80);
    ASSERT_GT(stream[10239], 128);
    TiffPageSpec s =
        Spec(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), {8});
    s.compression = 32773;
    s.strips = {stream};
    DecodedPage d = Decode(MakeTiff({s}), tiff::DecodePackBitsStrips);
    ASSERT_EQ(d.status, 0);
    ExpectRows(d.rows, data, width, "shifted");
    // The same with a literal header as the last byte of a block.
    stream = PackRows(data, width, 0, height);
    for (std::size_t i = 0, last = 0; i < stream.size() && i <= 10239;) {
        std::uint8_t n = stream[i];
        if (n < 128) last = i;
        i += n < 128 ? n + 2u : n > 128 ? 2u : 1u;
        if (i > 10239) stream.insert(stream.begin(), 10239 - last, 0x80);
    }
    ASSERT_LT(stream[10239], 128);
    s.strips = {stream};
    ExpectRows(Decode(MakeTiff({s}), tiff::DecodePackBitsStrips).rows, data, width, "literal");
}

TEST_F(TiffStripsTest, RowsLongerThan65535Bytes) {
    // 24-bit rows of 66000 bytes and 32-bit rows of 88000 bytes, accepted by validation.
    for (std::vector<std::uint32_t> bits :
         {std::vector<std::uint32_t>{8, 8, 8}, std::vector<std::uint32_t>{8, 8, 8, 8}}) {
        const std::size_t width = 22000, row = width * bits.size();
        Bytes data = Pixels(row * 3, 5);
        TiffPageSpec s = Spec(static_cast<std::uint32_t>(width), 3, bits, 2);
        s.strips = {data};
        DecodedPage u = Decode(MakeTiff({s}), tiff::DecodeUncompressedStrips);
        ASSERT_EQ(u.status, 0);
        ExpectRows(u.rows, data, row, "uncompressed");
        s.compression = 32773;
        s.strips = {PackRows(data, row, 0, 3)};
        DecodedPage p = Decode(MakeTiff({s}), tiff::DecodePackBitsStrips);
        ASSERT_EQ(p.status, 0);
        ExpectRows(p.rows, data, row, "packbits");
    }
}

// A one-strip 8-bit page whose strip is the last thing in the file.
Bytes StripAtEnd(std::uint32_t width, std::uint32_t height, std::uint32_t compression,
                 const Bytes& strip) {
    using E = TiffBuilder;
    TiffBuilder b(false);
    // Header (8) + 7 entries of 12 + count and link: the strip starts at 98.
    b.AddIfd({E::Long(256, {width}), E::Long(257, {height}), E::Short(258, {8}),
              E::Short(259, {compression}), E::Short(262, {1}), E::Long(273, {98}),
              E::Short(277, {1})});
    EXPECT_EQ(b.size(), 98u);
    b.Append(strip);
    return b.bytes();
}

TEST_F(TiffStripsTest, BufferedRowsMatchRowByRowReadsOnCutFilesAndStops) {
    // Every depth, one strip or several, the file cut anywhere or the host stopping at any
    // report: reads of several rows at once leave the same status, progress and DIB as a read
    // per row.
    struct Case {
        std::vector<std::uint32_t> bits;
        int photometric;
        std::uint32_t width, height, rowsPerStrip;
    } cases[] = {{{1}, 1, 45, 40, 0},        {{4}, 1, 13, 33, 7},       {{8}, 1, 300, 250, 0},
                 {{8, 8}, 1, 7, 20, 3},      {{8, 8, 8}, 2, 41, 37, 0}, {{8, 8, 8}, 2, 900, 60, 25},
                 {{8, 8, 8, 8}, 2, 9, 30, 4}};
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        TiffPageSpec s = Spec(c.width, c.height, c.bits, c.photometric);
        std::uint32_t bitsPerPixel = 0;
        for (std::uint32_t b : c.bits) bitsPerPixel += b;
        const std::size_t rowBytes = (std::size_t{c.width} * bitsPerPixel + 7) / 8;
        const Bytes data = Pixels(rowBytes * c.height, c.width);
        // The strips follow the directory, so that a cut file still has its page.
        const std::uint32_t perStrip = c.rowsPerStrip ? c.rowsPerStrip : c.height;
        std::vector<std::uint32_t> offsets, counts;
        for (std::uint32_t first = 0; first < c.height; first += perStrip) {
            offsets.push_back(0);
            counts.push_back(
                static_cast<std::uint32_t>(std::min(perStrip, c.height - first) * rowBytes));
        }
        s.rowsPerStrip = c.rowsPerStrip;
        s.extra = {TiffBuilder::Long(273, offsets), TiffBuilder::Long(279, counts)};
        const auto start = static_cast<std::uint32_t>(MakeTiff({s}).size());
        for (std::size_t j = 0; j < offsets.size(); ++j) {
            offsets[j] = start + static_cast<std::uint32_t>(j * perStrip * rowBytes);
        }
        s.extra[0] = TiffBuilder::Long(273, offsets);
        Bytes whole = MakeTiff({s});
        whole.insert(whole.end(), data.begin(), data.end());
        for (int trial = 0; trial < 12; ++trial) {
            Bytes file = whole;
            ProgressRecorder fast, plain;
            if (trial % 2 == 0) {
                file.resize(start + rng() % data.size());
            } else {
                fast.cancelAt = plain.cancelAt = 2 + rng() % (c.height + 2);
            }
            std::vector<DecodedPage> got;
            for (auto* rec : {&fast, &plain}) {
                gRecorder = rec;
                got.push_back(Decode(file,
                                     rec == &fast ? tiff::DecodeUncompressedStripsToBgr
                                                  : tiff::DecodeUncompressedRowByRow,
                                     {}, RecordProgress));
                gRecorder = nullptr;
            }
            const std::string what =
                std::to_string(bitsPerPixel) + " bits, trial " + std::to_string(trial);
            EXPECT_EQ(got[0].status, got[1].status) << what;
            // A cancelled read's DIB is dropped: rows read ahead of the cancel may differ.
            if (got[1].status != QOR_CANCELLED) {
                EXPECT_EQ(got[0].rows, got[1].rows) << what;
            }
            EXPECT_EQ(fast.calls, plain.calls) << what;
        }
    }
}

TEST_F(TiffStripsTest, TruncatedStripsEndWith202) {
    // A file that ends in the middle of an uncompressed row.
    Bytes data = Pixels(5 * 300, 9);
    data.resize(3 * 300 + 150);
    EXPECT_EQ(Decode(StripAtEnd(300, 5, 1, data), tiff::DecodeUncompressedStrips).status,
              QOR_READ_FAILED);
    data.resize(5 * 300);
    EXPECT_EQ(Decode(StripAtEnd(300, 5, 1, data), tiff::DecodeUncompressedStrips).status, 0);

    // PackBits literals that promise more than the file holds, cut anywhere: 202, never a
    // decode of what an earlier block left in the buffer, never a hang.
    for (std::size_t keep : {0, 1, 2, 10239, 10240, 10241, 20000}) {
        Bytes stream(keep, 0x33);
        for (std::size_t i = 0; i < stream.size(); i += 129) stream[i] = 127;
        DecodedPage d = Decode(StripAtEnd(32767, 3, 32773, stream), tiff::DecodePackBitsStrips);
        EXPECT_EQ(d.status, QOR_READ_FAILED) << keep;
    }
    // A strip of nothing but no-op headers.
    EXPECT_EQ(
        Decode(StripAtEnd(10, 2, 32773, Bytes(15000, 0x80)), tiff::DecodePackBitsStrips).status,
        QOR_READ_FAILED);
    // A complete stream whose last block is short decodes to the end.
    Bytes rows = Pixels(3 * 5000, 4);
    DecodedPage ok =
        Decode(StripAtEnd(5000, 3, 32773, PackRows(rows, 5000, 0, 3)), tiff::DecodePackBitsStrips);
    EXPECT_EQ(ok.status, 0);
    ExpectRows(ok.rows, rows, 5000, "complete");
    // A read failure in the middle of the strip is 202 as well.
    Bytes file = StripAtEnd(5000, 3, 32773, PackRows(rows, 5000, 0, 3));
    ASSERT_GT(file.size(), 98u + 10240u);
    pt::Reset();
    Decode(file, tiff::DecodePackBitsStrips);
    std::uint64_t lastRead = pt::CallCounts().reads;  // the second block refill
    pt::Reset();
    pt::FailNth(pt::Op::Read, lastRead);
    DecodedPage failed = Decode(file, tiff::DecodePackBitsStrips);
    pt::Reset();
    EXPECT_EQ(failed.status, QOR_READ_FAILED);
}

TEST_F(TiffStripsTest, UnsupportedDepthAndCancellation) {
    TiffPageSpec s = Spec(4, 4, {8});
    s.strips = {Pixels(16, 1)};
    for (auto decoder : {tiff::DecodeUncompressedStrips, tiff::DecodePackBitsStrips}) {
        pt::Reset();
        DecodedPage d = Decode(MakeTiff({s}), decoder, [](TiffPage& p) { p.bitsPerPixel = 12; });
        EXPECT_EQ(d.status, QOR_TIFF_UNSUPPORTED);
        EXPECT_EQ(pt::CallCounts().allocs, 1u);  // the DIB only
        for (std::uint32_t at : {2u, 3u}) {
            ProgressRecorder rec;
            rec.cancelAt = at;
            gRecorder = &rec;
            EXPECT_EQ(Decode(MakeTiff({s}), decoder, RecordProgress).status, QOR_CANCELLED);
            gRecorder = nullptr;
        }
    }
    // The PackBits buffer cannot be had: 102.
    s.compression = 32773;
    s.strips = {PackRows(Pixels(16, 1), 4, 0, 4)};
    pt::Reset();
    pt::FailNth(pt::Op::Alloc, 2);
    EXPECT_EQ(Decode(MakeTiff({s}), tiff::DecodePackBitsStrips).status, QOR_NO_MEMORY);
    pt::Reset();
    pt::FailNth(pt::Op::Lock, 2);
    EXPECT_EQ(Decode(MakeTiff({s}), tiff::DecodePackBitsStrips).status, QOR_NO_MEMORY);
    pt::Reset();
}

// The file rows with the first and third byte of every 3-byte pixel exchanged.
Bytes Exchanged(Bytes data) {
    for (std::size_t i = 0; i + 2 < data.size(); i += 3) std::swap(data[i], data[i + 2]);
    return data;
}

// Splits `data` into strips of `perStrip` rows, PackBits-encoded when `packed`.
std::vector<Bytes> Strips(const Bytes& data, std::size_t rowBytes, std::size_t height,
                          std::size_t perStrip, bool packed) {
    std::vector<Bytes> out;
    for (std::size_t first = 0; first < height; first += perStrip) {
        std::size_t n = std::min(perStrip, height - first);
        if (packed) {
            out.push_back(PackRows(data, rowBytes, first, n));
        } else {
            auto at = data.begin() + static_cast<std::ptrdiff_t>(first * rowBytes);
            out.emplace_back(at, at + static_cast<std::ptrdiff_t>(n * rowBytes));
        }
    }
    return out;
}

TEST_F(TiffStripsTest, RgbRowsDeliveredWithRedAndBlueExchanged) {
    // Widths whose rows are 3 bytes, not a multiple of 4 (padding must stay zero), several to
    // a 64 KiB buffer, exactly one (65535 bytes) and too long for it (65538 bytes).
    struct Case {
        std::uint32_t width, height, perStrip;
    } cases[] = {{1, 9, 2},     {5, 40, 3},    {7, 10, 0},    {4000, 23, 16}, {4000, 30, 0},
                 {1365, 50, 7}, {21845, 4, 3}, {21846, 5, 2}, {21846, 3, 0}};
    for (const Case& c : cases) {
        const std::size_t rowBytes = 3u * c.width;
        Bytes data = Pixels(rowBytes * c.height, c.width);
        for (bool packed : {false, true}) {
            std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + "/" +
                               std::to_string(c.perStrip) + (packed ? " packbits" : " none");
            TiffPageSpec s = Spec(c.width, c.height, {8, 8, 8}, 2);
            s.compression = packed ? 32773 : 1;
            s.rowsPerStrip = c.perStrip;
            s.strips =
                Strips(data, rowBytes, c.height, c.perStrip != 0 ? c.perStrip : c.height, packed);
            auto decoder =
                packed ? tiff::DecodePackBitsStripsToBgr : tiff::DecodeUncompressedStripsToBgr;
            ProgressRecorder rec;
            gRecorder = &rec;
            DecodedPage d = Decode(MakeTiff({s}), decoder, RecordProgress);
            ProgressRecorder plainRec;
            gRecorder = &plainRec;
            DecodedPage plain = Decode(
                MakeTiff({s}), packed ? tiff::DecodePackBitsStrips : tiff::DecodeUncompressedStrips,
                RecordProgress);
            gRecorder = nullptr;
            ASSERT_EQ(d.status, 0) << what;
            ExpectRows(d.rows, Exchanged(data), rowBytes, what.c_str());
            ASSERT_EQ(plain.status, 0) << what;
            ExpectRows(plain.rows, data, rowBytes, what.c_str());
            // The host sees the same progress as from the file-order decoder.
            EXPECT_EQ(Dones(rec), Dones(plainRec)) << what;
        }
    }
    // Other depths come out exactly as the file stores them.
    for (std::vector<std::uint32_t> bits :
         {std::vector<std::uint32_t>{8}, std::vector<std::uint32_t>{8, 8},
          std::vector<std::uint32_t>{8, 8, 8, 8}}) {
        const std::size_t rowBytes = 11 * bits.size();
        Bytes data = Pixels(rowBytes * 6, 2);
        TiffPageSpec s = Spec(11, 6, bits, bits.size() == 4 ? 2 : 1);
        s.rowsPerStrip = 4;
        s.strips = Strips(data, rowBytes, 6, 4, false);
        ExpectRows(Decode(MakeTiff({s}), tiff::DecodeUncompressedStripsToBgr).rows, data, rowBytes,
                   "other depth");
        s.compression = 32773;
        s.strips = Strips(data, rowBytes, 6, 4, true);
        ExpectRows(Decode(MakeTiff({s}), tiff::DecodePackBitsStripsToBgr).rows, data, rowBytes,
                   "other depth packbits");
    }
}

TEST_F(TiffStripsTest, RgbRowReadFailuresShortStripsAndCancellation) {
    const std::uint32_t width = 1001, height = 40;  // 3003-byte rows, 21 to a read
    const std::size_t rowBytes = 3u * width;
    Bytes data = Pixels(rowBytes * height, 8);
    for (std::uint32_t perStrip : {0u, 16u}) {
        TiffPageSpec s = Spec(width, height, {8, 8, 8}, 2);
        s.rowsPerStrip = perStrip;
        s.strips = Strips(data, rowBytes, height, perStrip != 0 ? perStrip : height, false);
        const Bytes file = MakeTiff({s});
        // Every read of the decoder refused in turn: 202 (nothing left behind, which the test
        // checks at its end), or, where only the unused byte counts failed to arrive, the rows
        // of a clean decode.
        pt::Reset();
        Decode(file,
               [](ProgressBlock*, std::uint8_t*, HFILE, TiffPage*) -> std::int16_t { return 0; });
        const std::uint64_t setUpReads = pt::CallCounts().reads;
        pt::Reset();
        const DecodedPage clean = Decode(file, tiff::DecodeUncompressedStripsToBgr);
        const std::uint64_t reads = pt::CallCounts().reads;
        ASSERT_GT(reads, setUpReads + 1);
        for (std::uint64_t n = setUpReads + 1; n <= reads; ++n) {
            pt::Reset();
            pt::FailNth(pt::Op::Read, n);
            DecodedPage d = Decode(file, tiff::DecodeUncompressedStripsToBgr);
            pt::Reset();
            if (d.status == 0) {
                EXPECT_NE(perStrip, 0u) << n;
                EXPECT_EQ(d.rows, clean.rows) << n;
            } else {
                EXPECT_EQ(d.status, QOR_READ_FAILED) << n;
            }
        }
        // Cancelled at each progress call after the opening 0 and before the closing 100: 100,
        // with no call after the cancelling one.
        ProgressRecorder all;
        gRecorder = &all;
        Decode(file, tiff::DecodeUncompressedStripsToBgr, RecordProgress);
        for (std::uint32_t at = 2; at < all.calls.size(); ++at) {
            ProgressRecorder rec;
            rec.cancelAt = at;
            gRecorder = &rec;
            EXPECT_EQ(Decode(file, tiff::DecodeUncompressedStripsToBgr, RecordProgress).status,
                      QOR_CANCELLED)
                << "cancelled at call " << at;
            EXPECT_EQ(rec.calls.size(), at);
        }
        gRecorder = nullptr;
    }
    // A single strip that is the last thing in the file, cut in the middle of a read of several
    // rows, at a read's end, in a row of the next read, or one byte short: 202. Whole: 0.
    for (std::size_t keep : {std::size_t{0}, rowBytes * 10 + 7, rowBytes * 21, rowBytes * 21 + 5,
                             rowBytes * height - 1, rowBytes * height}) {
        using E = TiffBuilder;
        TiffBuilder b(false);
        // Header (8), the BitsPerSample values (6), then 7 entries: the strip starts at 104.
        b.AddIfd({E::Long(256, {width}), E::Long(257, {height}), E::Short(258, {8, 8, 8}),
                  E::Short(259, {1}), E::Short(262, {2}), E::Long(273, {104}), E::Short(277, {3})});
        ASSERT_EQ(b.size(), 104u);
        b.Append(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(keep)));
        DecodedPage d = Decode(b.bytes(), tiff::DecodeUncompressedStripsToBgr);
        if (keep == rowBytes * height) {
            ASSERT_EQ(d.status, 0);
            ExpectRows(d.rows, Exchanged(data), rowBytes, "whole");
        } else {
            EXPECT_EQ(d.status, QOR_READ_FAILED) << keep;
        }
    }
}

}  // namespace
}  // namespace qor::test
