// The LZW encoder and sub-block packer, driven directly with pixels from memory: the codes it
// writes, their widths, the sub-block layout and the batching of writes.
#include "gif/gif_lzw_encoder.h"

#include <algorithm>
#include <cstring>

#include "gif_write_util.h"

namespace qor::test {
namespace {

using gifw::CodeStream;
using gifw::ReadCodes;

// Hands out the pixels in runs of varying length, so that strings cross run boundaries.
struct VectorSource {
    const std::vector<std::uint8_t>* pixels;
    std::size_t at = 0;
    std::size_t cancelAt = SIZE_MAX;
    std::size_t turn = 0;
    int NextSpan(const std::uint8_t** span) {
        if (at == cancelAt) return kGifCancelled;
        if (at >= pixels->size()) return kGifEndOfImage;
        static constexpr std::size_t kRuns[] = {1, 3, 64, 1000, 2};
        std::size_t n = std::min(kRuns[turn++ % 5], pixels->size() - at);
        if (cancelAt > at) n = std::min(n, cancelAt - at);
        *span = pixels->data() + at;
        at += n;
        return int(n);
    }
};

struct Encoded {
    std::int16_t status = -1;
    Bytes file;                      // sub-blocks as written (no terminator)
    std::vector<int> counts;         // count byte of every sub-block
    std::vector<std::uint8_t> data;  // joined data bytes
    bool wellFormed = false;         // sub-blocks end exactly at the end of the file
    std::uint64_t writes = 0;        // _lwrite calls made
};

class GifLzwEncoderTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

    // Encodes `pixels` at `minCodeSize`.
    Encoded Encode(const std::vector<std::uint8_t>& pixels, int minCodeSize,
                   std::size_t cancelAt = SIZE_MAX) {
        Encoded e;
        std::string path = dir_.Path("codes.bin");
        std::vector<std::uint8_t> table(
            GifStringTable::BlockBytes(static_cast<std::uint8_t>(minCodeSize)), 0);
        std::vector<std::uint8_t> buffer(kGifOutputBufferBytes, 0xEE);
        plat::HFILE file = plat::_lcreat(path.c_str(), 0);
        EXPECT_NE(file, plat::HFILE_ERROR);
        GifCodePacker packer;
        StartGifCodePacker(&packer, buffer.data(), file, std::uint8_t(minCodeSize + 1));
        VectorSource source{&pixels};
        source.cancelAt = cancelAt;
        std::uint64_t writesBefore = plat::testing::CallCounts().writes;
        e.status = EncodeGifImage(&packer, std::uint8_t(minCodeSize), table.data(), source);
        e.writes = plat::testing::CallCounts().writes - writesBefore;
        plat::_lclose(file);
        e.file = ReadFile(path);
        std::size_t at = 0;
        while (at < e.file.size()) {
            int n = e.file[at++];
            e.counts.push_back(n);
            if (n == 0 || at + std::size_t(n) > e.file.size()) return e;
            e.data.insert(e.data.end(), e.file.begin() + long(at), e.file.begin() + long(at) + n);
            at += std::size_t(n);
        }
        e.wellFormed = true;
        return e;
    }
};

TEST_F(GifLzwEncoderTest, SmallestImagesGiveClearPixelEndAtTheStartingWidth) {
    // One 8-bit pixel: clear (256), 0, end (257), each 9 bits, in one sub-block of 4 bytes.
    Encoded e = Encode({0}, 8);
    ASSERT_EQ(e.status, 0);
    ASSERT_TRUE(e.wellFormed);
    EXPECT_EQ(e.counts, std::vector<int>{4});
    CodeStream s = ReadCodes(e.data, 8);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.codes, (std::vector<int>{256, 0, 257}));
    EXPECT_EQ(s.widths, (std::vector<int>{9, 9, 9}));
    EXPECT_EQ(e.data[3] >> 3, 0) << "unfilled high bits of the last byte must be 0";

    // A 1-bit image (minimum code size 2) starts with 3-bit codes: clear 4, end 5.
    e = Encode({1, 0, 1, 1}, 2);
    ASSERT_EQ(e.status, 0);
    s = ReadCodes(e.data, 2);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.codes.front(), 4);
    EXPECT_EQ(s.codes.back(), 5);
    EXPECT_EQ(s.widths.front(), 3);
    EXPECT_EQ(s.pixels, (std::vector<std::uint8_t>{1, 0, 1, 1}));
    // Every byte written is used: the stream is no longer than its codes need.
    EXPECT_EQ(e.data.size(), (s.bitsUsed + 7) / 8);

    // A 4-bit image: clear 16 at 5 bits; every value decodes back.
    std::vector<std::uint8_t> all16(16);
    for (int i = 0; i < 16; ++i) all16[std::size_t(i)] = std::uint8_t(15 - i);
    e = Encode(all16, 4);
    s = ReadCodes(e.data, 4);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.codes.front(), 16);
    EXPECT_EQ(s.widths.front(), 5);
    EXPECT_EQ(s.pixels, all16);
}

TEST_F(GifLzwEncoderTest, WidthGrowsAfterThePowerOfTwoCodeAndClearsAt4096) {
    // Incompressible pixels: almost every pixel assigns one code.
    std::vector<std::uint8_t> pixels = gifw::RandomPixels(30000, 1, 8, 7);
    Encoded e = Encode(pixels, 8);
    ASSERT_EQ(e.status, 0);
    CodeStream s = ReadCodes(e.data, 8);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.pixels, pixels);
    // After the leading clear, code k (1-based) is followed by the assignment of 257 + k; the
    // width becomes 10 once 512 is assigned, so code 256 is the first 10-bit one, and the 3838th
    // code assigns 4095, after which a clear follows at 12 bits and the width restarts at 9.
    ASSERT_GT(s.codes.size(), 3845u);
    EXPECT_EQ(s.codes[0], 256);
    EXPECT_EQ(s.widths[255], 9);
    EXPECT_EQ(s.widths[256], 10);
    EXPECT_EQ(s.widths[768], 11);
    EXPECT_EQ(s.widths[1792], 12);
    EXPECT_EQ(std::count(s.codes.begin() + 1, s.codes.begin() + 3839, 256), 0);
    EXPECT_EQ(s.codes[3839], 256);
    EXPECT_EQ(s.widths[3839], 12);
    EXPECT_EQ(s.widths[3840], 9);
    // The width never passes 12 and every later cycle also restarts.
    EXPECT_EQ(*std::max_element(s.widths.begin(), s.widths.end()), 12);
    EXPECT_GE(std::count(s.codes.begin(), s.codes.end(), 256), 4);
}

TEST_F(GifLzwEncoderTest, SubBlocksAreFullAndBatchedWithAShortLastOne) {
    // More than 10200 bytes of data: every sub-block but the last has 254 bytes, and the file
    // is written in 10200-byte batches plus one shorter final write.
    std::vector<std::uint8_t> pixels = gifw::RandomPixels(50000, 1, 8, 11);
    Encoded e = Encode(pixels, 8);
    ASSERT_EQ(e.status, 0);
    ASSERT_TRUE(e.wellFormed);
    ASSERT_GT(e.file.size(), 3u * 10200u);
    for (std::size_t i = 0; i + 1 < e.counts.size(); ++i) ASSERT_EQ(e.counts[i], 254) << i;
    EXPECT_LT(e.counts.back(), 254);
    EXPECT_GT(e.counts.back(), 0);
    std::uint64_t batches = e.file.size() / 10200;
    EXPECT_EQ(e.writes, batches + (e.file.size() % 10200 != 0 ? 1 : 0));
    CodeStream s = ReadCodes(e.data, 8);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.pixels, pixels);
}

TEST_F(GifLzwEncoderTest, DataEndingOnABoundaryWritesNoEmptySubBlock) {
    // Inputs whose data ends exactly at the end of a sub-block inside the first batch.
    std::vector<std::uint8_t> pool = gifw::RandomPixels(12000, 1, 8, 3);
    auto prefix = [&](std::size_t n) {
        return std::vector<std::uint8_t>(pool.begin(), pool.begin() + long(n));
    };
    int found = 0;
    for (std::size_t n = 100; n < 700; ++n) {
        Encoded e = Encode(prefix(n), 8);
        ASSERT_EQ(e.status, 0);
        ASSERT_TRUE(e.wellFormed) << "n = " << n;  // never a count of 0
        if (e.data.size() % 254 != 0) continue;
        ++found;
        for (int c : e.counts) ASSERT_EQ(c, 254);
        EXPECT_EQ(e.file.size(), e.data.size() / 254 * 255);
        EXPECT_EQ(e.writes, 1u);
        CodeStream s = ReadCodes(e.data, 8);
        ASSERT_TRUE(s.ok) << s.error;
        ASSERT_EQ(s.pixels, prefix(n));
    }
    EXPECT_GE(found, 1);

    // Data that fills exactly one batch (40 full sub-blocks): the batch write is the only one.
    bool atBatch = false;
    for (std::uint32_t seed = 1; seed < 40 && !atBatch; ++seed) {
        pool = gifw::RandomPixels(12000, 1, 8, seed);
        std::size_t lo = 1, hi = pool.size();  // smallest n with at least 40 sub-blocks of data
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (Encode(prefix(mid), 8).data.size() >= 40 * 254) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        for (std::size_t n = lo > 3 ? lo - 3 : 1; n < lo + 3 && !atBatch; ++n) {
            Encoded e = Encode(prefix(n), 8);
            if (e.data.size() != 40 * 254) continue;
            atBatch = true;
            ASSERT_TRUE(e.wellFormed);
            EXPECT_EQ(e.file.size(), 10200u);
            EXPECT_EQ(e.writes, 1u);
            CodeStream s = ReadCodes(e.data, 8);
            ASSERT_TRUE(s.ok) << s.error;
            EXPECT_EQ(s.pixels, prefix(n));
        }
    }
    EXPECT_TRUE(atBatch);
}

TEST_F(GifLzwEncoderTest, RunsAndRepeatsCompressAndDecodeBack) {
    // A run of n equal pixels is covered by strings of length 1, 2, 3, ...: about sqrt(2n) codes.
    std::vector<std::uint8_t> run(10000, 7);
    Encoded e = Encode(run, 8);
    ASSERT_EQ(e.status, 0);
    CodeStream s = ReadCodes(e.data, 8);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.pixels, run);
    EXPECT_LE(s.codes.size(), 141u + 3u);
    // A repeated short pattern, and a pattern that needs code == next (a string that extends
    // the one just added).
    std::vector<std::uint8_t> pattern;
    for (int i = 0; i < 20000; ++i) pattern.push_back(std::uint8_t((i % 5) * 40));
    for (int i = 0; i < 300; ++i) pattern.push_back(9);
    e = Encode(pattern, 8);
    s = ReadCodes(e.data, 8);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.pixels, pattern);
}

// 8-bit pixels whose pairs, each new, are stored by a 5003-slot table at every slot that the
// quadratic probe from slot 0 reaches, followed by a pair that hashes to slot 0 and so finds no
// free slot.
std::vector<std::uint8_t> PixelsThatExhaustTheProbes() {
    constexpr std::uint32_t kSlots = 5003;
    std::vector<bool> inSequence(kSlots), filled(kSlots), used(256 * 256);
    for (std::uint32_t k = 0; k < (kSlots + 1) / 2; ++k) inSequence[k * k % kSlots] = true;
    auto hash = [](std::uint32_t x, std::uint32_t y) { return ((y << 5) ^ x) % kSlots; };
    auto open = [&](std::uint32_t x, std::uint32_t y) {
        return !used[x << 8 | y] && (hash(x, y) != 0 || x == 0) && inSequence[hash(x, y)] &&
               !filled[hash(x, y)];
    };
    auto options = [&](std::uint32_t x) {
        int n = 0;
        for (std::uint32_t y = 0; y < 256; ++y) n += open(x, y);
        return n;
    };
    std::vector<std::uint8_t> pixels{0};
    std::uint32_t x = 0;
    int left = (kSlots + 1) / 2;
    for (; left > 0 && pixels.size() < 3800;) {
        // The next pixel: one whose pair fills an empty slot of the sequence where there is one,
        // else any new pair; either way the one from which most such pairs go on.
        std::uint32_t best = 256;
        int bestOptions = -1, looked = 0;
        const bool any = options(x) > 0;
        for (std::uint32_t y = 0; y < 256 && looked < (any ? 8 : 64); ++y) {
            if (used[x << 8 | y] || (hash(x, y) == 0 && x != 0) || (any && !open(x, y))) continue;
            ++looked;
            if (const int n = options(y); n > bestOptions) best = y, bestOptions = n;
        }
        used[x << 8 | best] = true;
        // Stored where the quadratic probe finds the first free slot.
        for (std::uint32_t h = hash(x, best), step = 1; step < kSlots;
             h = (h + step) % kSlots, step += 2) {
            if (!filled[h]) {
                filled[h] = true;
                left -= inSequence[h];
                break;
            }
        }
        pixels.push_back(static_cast<std::uint8_t>(best));
        x = best;
    }
    // The pairs (a, b) that hash to slot 0, a not 0, were kept out of the walk: one of them
    // ends it, reached through a new pair.
    for (std::uint32_t a = 11; a < 256; a += 32) {
        if (!used[x << 8 | a]) {
            pixels.push_back(static_cast<std::uint8_t>(a));
            pixels.push_back(static_cast<std::uint8_t>((kSlots ^ a) >> 5));
            break;
        }
    }
    return pixels;
}

TEST_F(GifLzwEncoderTest, CodesAreGreedyLzwWithAnExactTable) {
    // Every depth and kind of picture: the codes are those of greedy LZW over an exact table.
    // They are those of a 5003-slot hashed table wherever its probes never ran out; where they
    // did, the hashed table left strings out and its stream is never the shorter.
    std::vector<std::vector<std::uint8_t>> pictures;
    for (int bits : {2, 4, 8}) {
        pictures.push_back(gifw::PhotoPixels(700, 300, bits, 3));
        pictures.push_back(gifw::RandomPixels(700, 300, bits, 7));
    }
    pictures.emplace_back(210000, 1);
    pictures.push_back(PixelsThatExhaustTheProbes());
    int picturesWithLostStrings = 0;
    for (const std::vector<std::uint8_t>& pixels : pictures) {
        const int bits = *std::max_element(pixels.begin(), pixels.end()) < 4    ? 2
                         : *std::max_element(pixels.begin(), pixels.end()) < 16 ? 4
                                                                                : 8;
        SCOPED_TRACE(testing::Message() << pixels.size() << " pixels of " << bits << " bits");
        Encoded e = Encode(pixels, bits);
        ASSERT_EQ(e.status, 0);
        CodeStream s = ReadCodes(e.data, bits);
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_EQ(s.pixels, pixels);
        EXPECT_EQ(s.codes, GreedyLzwCodes(pixels, bits));
        int lost = 0;
        const std::vector<int> hashed = GreedyLzwCodes(pixels, bits, 5003, &lost);
        if (lost == 0) {
            EXPECT_EQ(s.codes, hashed);
        } else {
            ++picturesWithLostStrings;
            EXPECT_LE(s.codes.size(), hashed.size());
        }
    }
    EXPECT_EQ(picturesWithLostStrings, 1);
}

TEST_F(GifLzwEncoderTest, ShortWritesAndCancellationStopTheEncoder) {
    std::vector<std::uint8_t> pixels = gifw::RandomPixels(40000, 1, 8, 13);
    // Cancelled by the source: no further data is flushed.
    Encoded e = Encode(pixels, 8, 5000);
    EXPECT_EQ(e.status, QOR_CANCELLED);
    EXPECT_EQ(e.file.size(), 0u);
    // Each write failing or coming up short gives 203.
    std::uint64_t runs = 0;
    for (std::uint32_t shortBy : {0u, 1u}) {
        runs += plat::testing::SweepFaults(
            plat::testing::Op::Write,
            [&](std::uint64_t n) {
                Encoded f = Encode(pixels, 8);
                plat::testing::Counts c = plat::testing::CallCounts();
                if (c.writes >= n) {
                    EXPECT_EQ(f.status, QOR_WRITE_FAILED);
                }
            },
            shortBy);
    }
    EXPECT_GE(runs, 2u * 4u);
}

}  // namespace
}  // namespace qor::test
