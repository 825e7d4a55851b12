// The post-decode conversions: grey plus alpha to 8 bits, RGB to BGR, RGBA and CMYK to 24-bit
// BGR, with their row sizes and block sizes.
#include <cstring>

#include "support/test_util.h"
#include "tiff/reader.h"

namespace qor::test {
namespace {

namespace pt = qor::plat::testing;

std::uint64_t Stride(std::uint64_t w, std::uint64_t bits) {
    return (w * bits + 31) / 32 * 4;
}

// A decoded page block: header with `bitCount`, `colours` table entries (filled with a marker),
// rows of `inBits` per pixel, bottom-up, from top-down rows of file bytes.
HGLOBAL MakeDecoded(std::int32_t w, std::int32_t h, std::uint16_t bitCount, std::uint32_t colours,
                    std::uint32_t inBits, const std::vector<Bytes>& rows) {
    std::uint64_t stride = Stride(static_cast<std::uint64_t>(w), inBits);
    std::uint64_t size = 40 + 4ull * colours + stride * static_cast<std::uint64_t>(h);
    HGLOBAL b = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, size);
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(b));
    std::uint32_t forty = 40;
    std::memcpy(p, &forty, 4);
    std::memcpy(p + 4, &w, 4);
    std::memcpy(p + 8, &h, 4);
    std::memcpy(p + 14, &bitCount, 2);
    std::memcpy(p + 32, &colours, 4);
    for (std::uint32_t i = 0; i < 4 * colours; ++i) p[40 + i] = static_cast<std::uint8_t>(i * 7);
    std::uint8_t* px = p + 40 + 4 * colours;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::uint8_t* row = px + stride * (static_cast<std::uint64_t>(h) - 1 - r);
        std::memset(row, 0xEE, stride);  // padding that a conversion must not rely on
        std::memcpy(row, rows[r].data(), rows[r].size());
    }
    plat::GlobalUnlock(b);
    return b;
}

// Top-down rows of `bits` per pixel read back from a block, each `bytes` long.
std::vector<Bytes> RowsOf(HGLOBAL b, std::uint32_t colours, std::uint32_t bits, std::size_t bytes) {
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(b));
    std::int32_t w, h;
    std::memcpy(&w, p + 4, 4);
    std::memcpy(&h, p + 8, 4);
    std::uint64_t stride = Stride(static_cast<std::uint64_t>(w), bits);
    std::vector<Bytes> rows;
    for (std::int32_t r = 0; r < h; ++r) {
        const std::uint8_t* row =
            p + 40 + 4 * colours + stride * static_cast<std::uint64_t>(h - 1 - r);
        rows.emplace_back(row, row + bytes);
    }
    plat::GlobalUnlock(b);
    return rows;
}

class TiffConvertTest : public LeakCheckedTest {};

TEST_F(TiffConvertTest, CmykBecomesBgrAndTheBlockShrinks) {
    // Pixels (C, M, Y, K) and the expected (B, G, R).
    std::vector<Bytes> in = {{0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0},
                             {100, 50, 0, 100, 200, 0, 0, 100, 255, 255, 255, 255}};
    std::vector<Bytes> want = {{255, 255, 255, 0, 0, 0, 255, 255, 0},
                               {155, 105, 55, 155, 155, 0, 0, 0, 0}};
    HGLOBAL b = MakeDecoded(3, 2, 24, 0, 32, in);
    HGLOBAL out = tiff::ConvertCmykToBgr(b);
    ASSERT_NE(out, 0u);
    EXPECT_EQ(plat::GlobalSize(out), 40u + 12 * 2);  // 3-pixel rows: 12 bytes in and out
    EXPECT_EQ(RowsOf(out, 0, 24, 9), want);
    EXPECT_EQ(pt::LockCount(out), 0);
    plat::GlobalFree(out);
}

TEST_F(TiffConvertTest, RgbaDropsAlphaWithPaddedRows) {
    // 5 pixels: 20-byte input rows, 16-byte output rows.
    std::vector<Bytes> in, want;
    for (int r = 0; r < 4; ++r) {
        Bytes row, w;
        for (int x = 0; x < 5; ++x) {
            std::uint8_t v = static_cast<std::uint8_t>(10 * r + x);
            row.insert(row.end(), {v, static_cast<std::uint8_t>(v + 100),
                                   static_cast<std::uint8_t>(v + 200), 40});
            w.insert(w.end(),
                     {static_cast<std::uint8_t>(v + 200), static_cast<std::uint8_t>(v + 100), v});
        }
        in.push_back(row);
        want.push_back(w);
    }
    in[0][0] = 10, in[0][1] = 20, in[0][2] = 30;
    want[0][0] = 30, want[0][1] = 20, want[0][2] = 10;
    HGLOBAL b = MakeDecoded(5, 4, 24, 0, 32, in);
    HGLOBAL out = tiff::ConvertRgbaToBgr(b);
    ASSERT_NE(out, 0u);
    EXPECT_EQ(plat::GlobalSize(out), 40u + 16 * 4);
    EXPECT_EQ(RowsOf(out, 0, 24, 15), want);
    plat::GlobalFree(out);
}

TEST_F(TiffConvertTest, GreyAlphaKeepsTheColourTable) {
    std::vector<Bytes> in = {{7, 200, 8, 1, 9, 2}, {1, 0, 2, 0, 3, 0}};
    HGLOBAL b = MakeDecoded(3, 2, 8, 256, 16, in);
    Bytes table(1024);
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(b));
    std::memcpy(table.data(), p + 40, 1024);
    plat::GlobalUnlock(b);
    HGLOBAL out = tiff::ConvertGreyAlphaToGrey(b);
    ASSERT_NE(out, 0u);
    EXPECT_EQ(plat::GlobalSize(out), 40u + 1024 + 4 * 2);
    EXPECT_EQ(RowsOf(out, 256, 8, 3), (std::vector<Bytes>{{7, 8, 9}, {1, 2, 3}}));
    p = static_cast<const std::uint8_t*>(plat::GlobalLock(out));
    EXPECT_EQ(Bytes(p + 40, p + 40 + 1024), table);
    plat::GlobalUnlock(out);
    plat::GlobalFree(out);
    // biClrUsed 0 means a 1024-byte table for this conversion.
    HGLOBAL z = MakeDecoded(3, 1, 8, 0, 16, {});
    auto* q = static_cast<std::uint8_t*>(plat::GlobalLock(z));
    std::uint32_t none = 0;
    std::memcpy(q + 32, &none, 4);
    plat::GlobalUnlock(z);
    plat::GlobalReAlloc(z, 40 + 1024 + 8, plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT);
    q = static_cast<std::uint8_t*>(plat::GlobalLock(z));
    q[40 + 1024] = 5, q[40 + 1025] = 9, q[40 + 1026] = 6;
    plat::GlobalUnlock(z);
    HGLOBAL zo = tiff::ConvertGreyAlphaToGrey(z);
    ASSERT_NE(zo, 0u);
    EXPECT_EQ(plat::GlobalSize(zo), 40u + 1024 + 4);
    EXPECT_EQ(RowsOf(zo, 256, 8, 2), (std::vector<Bytes>{{5, 6}}));
    plat::GlobalFree(zo);
}

TEST_F(TiffConvertTest, RgbMakesASwappedCopyOfTheSameSize) {
    std::vector<Bytes> in = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    HGLOBAL b = MakeDecoded(2, 2, 24, 0, 24, in);
    HGLOBAL out = 0;
    ASSERT_EQ(tiff::ConvertRgbToBgr(b, &out), 0);
    ASSERT_NE(out, 0u);
    EXPECT_NE(out, b);
    EXPECT_EQ(plat::GlobalSize(out), plat::GlobalSize(b));
    EXPECT_EQ(RowsOf(out, 0, 24, 6),
              (std::vector<Bytes>{{3, 2, 1, 6, 5, 4}, {9, 8, 7, 12, 11, 10}}));
    EXPECT_EQ(RowsOf(b, 0, 24, 6), in);  // the input is left as it was
    EXPECT_EQ(pt::LockCount(b), 0);
    EXPECT_EQ(pt::LockCount(out), 0);
    plat::GlobalFree(out);
    plat::GlobalFree(b);
}

TEST_F(TiffConvertTest, RgbSwapForEveryWidthInACopyAndInPlace) {
    // Widths around the vectorised steps, rows padded to multiples of 4.
    for (std::int32_t w = 1; w <= 41; ++w) {
        std::vector<Bytes> in;
        for (int r = 0; r < 3; ++r) {
            Bytes row(3 * static_cast<std::size_t>(w));
            for (std::size_t i = 0; i < row.size(); ++i) {
                row[i] = static_cast<std::uint8_t>(i * 13 + static_cast<std::size_t>(r) * 101 + 5);
            }
            in.push_back(row);
        }
        std::vector<Bytes> want = in;
        for (Bytes& row : want) {
            for (std::size_t i = 0; i < row.size(); i += 3) std::swap(row[i], row[i + 2]);
        }
        std::uint64_t stride = Stride(static_cast<std::uint64_t>(w), 24);
        HGLOBAL b = MakeDecoded(w, 3, 24, 0, 24, in);
        HGLOBAL copy = 0;
        ASSERT_EQ(tiff::ConvertRgbToBgr(b, &copy), 0);
        EXPECT_EQ(RowsOf(copy, 0, 24, 3 * static_cast<std::size_t>(w)), want) << w;
        // Padding bytes are carried over untouched.
        std::vector<Bytes> padded = RowsOf(b, 0, 24, stride);
        for (std::size_t r = 0; r < 3; ++r)
            std::copy(want[r].begin(), want[r].end(), padded[r].begin());
        EXPECT_EQ(RowsOf(copy, 0, 24, stride), padded) << w;
        plat::GlobalFree(copy);
        plat::GlobalFree(b);
    }
}

TEST_F(TiffConvertTest, RefusalsAndFailures) {
    HGLOBAL out = 7;
    EXPECT_EQ(tiff::ConvertRgbToBgr(0, &out), QOR_BAD_REQUEST);
    EXPECT_EQ(tiff::ConvertGreyAlphaToGrey(0), 0u);
    EXPECT_EQ(tiff::ConvertRgbaToBgr(0), 0u);
    EXPECT_EQ(tiff::ConvertCmykToBgr(0), 0u);

    // Wrong bit counts: 101 from the copy, the input untouched by the others.
    HGLOBAL four = MakeDecoded(4, 2, 4, 16, 16, {{1, 2, 3, 4, 5, 6, 7, 8}});
    EXPECT_EQ(tiff::ConvertGreyAlphaToGrey(four), four);
    EXPECT_EQ(RowsOf(four, 16, 16, 8)[0], (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(tiff::ConvertRgbaToBgr(four), four);
    EXPECT_EQ(tiff::ConvertCmykToBgr(four), four);
    EXPECT_EQ(tiff::ConvertRgbToBgr(four, &out), QOR_BAD_REQUEST);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(tiff::ConvertRgbToBgr(four, nullptr), QOR_BAD_REQUEST);
    plat::GlobalFree(four);

    // Allocation or lock failure of the copy: 102, input unlocked and unchanged.
    for (pt::Op op : {pt::Op::Alloc, pt::Op::Lock}) {
        HGLOBAL b = MakeDecoded(2, 1, 24, 0, 24, {{1, 2, 3, 4, 5, 6}});
        pt::Reset();
        pt::FailNth(op, 1);
        EXPECT_EQ(tiff::ConvertRgbToBgr(b, &out), QOR_NO_MEMORY);
        pt::Reset();
        EXPECT_EQ(pt::LockCount(b), 0);
        EXPECT_EQ(RowsOf(b, 0, 24, 6)[0], (Bytes{1, 2, 3, 4, 5, 6}));
        plat::GlobalFree(b);
    }
    // A lock failure in place yields no block; the input stays the caller's.
    HGLOBAL c = MakeDecoded(2, 1, 24, 0, 32, {{1, 2, 3, 4, 5, 6, 7, 8}});
    pt::Reset();
    pt::FailNth(pt::Op::Lock, 1);
    EXPECT_EQ(tiff::ConvertCmykToBgr(c), 0u);
    pt::Reset();
    EXPECT_NE(plat::GlobalSize(c), 0u);
    plat::GlobalFree(c);
    // A header that claims more rows than the block holds is not converted.
    HGLOBAL lying = MakeDecoded(2, 1, 24, 0, 32, {{1, 2, 3, 4, 5, 6, 7, 8}});
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(lying));
    std::int32_t tall = 1000;
    std::memcpy(p + 8, &tall, 4);
    plat::GlobalUnlock(lying);
    EXPECT_EQ(tiff::ConvertRgbaToBgr(lying), 0u);
    EXPECT_EQ(tiff::ConvertRgbToBgr(lying, &out), QOR_BAD_REQUEST);
    plat::GlobalFree(lying);
}

TEST_F(TiffConvertTest, AFailedShrinkKeepsTheConvertedBlock) {
    // A block that stays locked cannot be resized: the conversion returns it unshrunk.
    HGLOBAL b = MakeDecoded(5, 2, 24, 0, 32, {Bytes(20, 9), Bytes(20, 4)});
    std::uint64_t before = plat::GlobalSize(b);
    plat::GlobalLock(b);
    HGLOBAL out = tiff::ConvertRgbaToBgr(b);
    EXPECT_EQ(out, b);
    EXPECT_EQ(plat::GlobalSize(out), before);
    plat::GlobalUnlock(b);
    EXPECT_EQ(RowsOf(out, 0, 24, 15)[1], Bytes(15, 4));
    plat::GlobalFree(out);
}

}  // namespace
}  // namespace qor::test
