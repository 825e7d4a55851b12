// Every TIFF coding through the same damaged strips: the rows before the damage arrive whole,
// padding bytes stay zero, rows without data stay blank, and the status says what happened.
#include <string>
#include <vector>

#include "support/fax_codes.h"
#include "support/test_util.h"
#include "support/tiff_builder.h"
#include "support/tiff_lzw_model.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

using E = TiffBuilder;

constexpr std::uint32_t kWidth = 21, kHeight = 6;

// Row y of the 8-bit pages, and the runs (white, black, white) of row y of the fax pages.
Bytes GreyRow(std::uint32_t y) {
    Bytes row(kWidth);
    for (std::uint32_t x = 0; x < kWidth; ++x)
        row[x] = static_cast<std::uint8_t>(x * 7 + y * 31 + 1);
    return row;
}
struct Runs {
    int white, black, rest;
};
constexpr Runs kRuns[kHeight] = {{8, 3, 10}, {10, 1, 10}, {3, 8, 10},
                                 {16, 5, 0}, {10, 7, 4},  {7, 4, 10}};

// A row as the fax codecs paint it: white pixels as 1 bits, first pixel most significant.
Bytes FaxRow(std::uint32_t y) {
    Bytes row((kWidth + 7) / 8);
    const Runs r = kRuns[y];
    for (int x = 0; x < static_cast<int>(kWidth); ++x) {
        if (x < r.white || x >= r.white + r.black)
            row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
    return row;
}

// Row y as one strip of `compression`.
Bytes EncodeRow(std::uint32_t compression, std::uint32_t y) {
    const Runs r = kRuns[y];
    const std::string runs = W(r.white) + B(r.black) + (r.rest != 0 ? W(r.rest) : "");
    switch (compression) {
        case 1:
            return GreyRow(y);
        case 32773: {
            Bytes packed{static_cast<std::uint8_t>(kWidth - 1)};
            const Bytes row = GreyRow(y);
            packed.insert(packed.end(), row.begin(), row.end());
            return packed;
        }
        case 5:
            return EncodeLzw(GreyRow(y));
        case 2:
            return Pack(runs);
        case 3:
            return Pack(kEol + runs);
        default:
            // Horizontal mode for the two first runs; V0 ends the row at the white line's end.
            return Pack(H + W(r.white) + B(r.black) + (r.rest != 0 ? V0 : ""));
    }
}

// A page of one-row strips whose last strip, `last`, is the last thing in the file.
Bytes PageWithLastStrip(std::uint32_t compression, const Bytes& last) {
    TiffBuilder b(false);
    std::vector<std::uint32_t> offsets, counts;
    for (std::uint32_t y = 0; y + 1 < kHeight; ++y) {
        const Bytes strip = EncodeRow(compression, y);
        offsets.push_back(b.Append(strip));
        counts.push_back(static_cast<std::uint32_t>(strip.size()));
    }
    offsets.push_back(0);  // set below, once the last strip has its place
    counts.push_back(static_cast<std::uint32_t>(last.size()));
    const std::uint32_t offsetsAt = b.AppendLongs(offsets);
    const std::uint32_t countsAt = b.AppendLongs(counts);
    const bool fax = compression >= 2 && compression <= 4;
    b.AddIfd({E::Long(256, {kWidth}), E::Long(257, {kHeight}), E::Short(258, {fax ? 1u : 8u}),
              E::Short(259, {compression}), E::Short(262, {fax ? 0u : 1u}),
              E::Raw(273, 4, kHeight, offsetsAt), E::Short(277, {1}), E::Long(278, {1}),
              E::Raw(279, 4, kHeight, countsAt)});
    // An empty last strip starts at the end of the file.
    const std::uint32_t lastAt = last.empty() ? b.size() : b.Append(last);
    b.Patch32(offsetsAt + 4 * (kHeight - 1), lastAt);
    return b.bytes();
}

class StripCodecTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
};

TEST_F(StripCodecTest, DamagedLastStripsOfEveryCoding) {
    enum class Damage { kNone, kCut, kEmpty, kTooLong, kGarbage };
    for (std::uint32_t compression : {1u, 32773u, 5u, 2u, 3u, 4u}) {
        const bool fax = compression >= 2 && compression <= 4;
        const Bytes whole = EncodeRow(compression, kHeight - 1);
        for (Damage damage :
             {Damage::kNone, Damage::kCut, Damage::kEmpty, Damage::kTooLong, Damage::kGarbage}) {
            SCOPED_TRACE(testing::Message() << "compression " << compression << ", damage "
                                            << static_cast<int>(damage));
            Bytes last = whole;
            if (damage == Damage::kCut) last.resize(whole.size() / 2);
            if (damage == Damage::kEmpty) last.clear();
            if (damage == Damage::kTooLong) last.insert(last.end(), 40, 0x00);
            if (damage == Damage::kGarbage) last.assign(whole.size(), 0xFF);
            const std::string path = dir_.Path("page.tif");
            WriteFile(path, PageWithLastStrip(compression, last));
            PreparedPage p(path);
            const std::int16_t status = tiff::SelectStripDecoder(
                static_cast<std::uint16_t>(compression))(nullptr, p.bits, p.file, &p.page);
            DibView view;
            ASSERT_TRUE(tiff::ViewPageDib(p.bits, p.page, &view));
            const std::size_t used = fax ? (kWidth + 7) / 8 : kWidth;
            for (std::uint32_t y = 0; y < kHeight; ++y) {
                const std::uint8_t* row = view.Row(y);
                const Bytes want = fax ? FaxRow(y) : GreyRow(y);
                const bool damaged =
                    y + 1 == kHeight && damage != Damage::kNone && damage != Damage::kTooLong;
                if (!damaged) {
                    EXPECT_EQ(Bytes(row, row + used), want) << "row " << y;
                } else if (damage == Damage::kEmpty) {
                    EXPECT_EQ(Bytes(row, row + used), Bytes(used, 0)) << "blank row " << y;
                }
                EXPECT_EQ(Bytes(row + used, row + view.stride), Bytes(view.stride - used, 0))
                    << "padding of row " << y;
            }
            switch (damage) {
                case Damage::kNone:
                case Damage::kTooLong:
                    EXPECT_EQ(status, 0);
                    EXPECT_EQ(p.page.rowsDecoded, kHeight);
                    break;
                case Damage::kCut:
                case Damage::kEmpty:
                    EXPECT_EQ(status, QOR_READ_FAILED);
                    break;
                case Damage::kGarbage:
                    // Garbage may even decode; it never takes an earlier row with it.
                    EXPECT_TRUE(status == 0 || status == QOR_READ_FAILED ||
                                status == QOR_FAX_BAD_DATA)
                        << status;
                    break;
            }
        }
    }
}

}  // namespace
}  // namespace qor::test
