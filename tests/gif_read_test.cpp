// The GIF reader, row writer and LZW decoder on hand-made streams.
#include <cstring>
#include <numeric>
#include <string>

#include "gif/gif_decode.h"
#include "gif_builder.h"
#include "support/test_util.h"

namespace qor::test {
namespace {

using gifb::CodeStream;

// What one worker call produced. The DIB and the host's layer block are freed again.
struct GifRead {
    std::int16_t status = -1;
    Image image;
    Bytes dib;  // the packed DIB as delivered
    ImageIoRequest request{};
};

GifRead ReadWithWorker(const std::string& path, ProgressProc progress = nullptr) {
    Request req(path, progress);
    GifRead out;
    out.status = ReadGifWorker(req.get());
    std::memcpy(&out.request, req.get(), sizeof(ImageIoRequest));
    if (out.status != 0) return out;
    HGLOBAL block = req->layerBlock;
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(block));
    EXPECT_NE(p, nullptr);
    if (p == nullptr) return out;
    HGLOBAL dib = 0;
    std::memcpy(&dib, p + host::kFirstLayerOffset, 4);
    plat::GlobalUnlock(block);
    EXPECT_EQ(plat::testing::LockCount(dib), 0) << "the DIB reaches the host unlocked";
    out.image = ReadDib(dib);
    auto* d = static_cast<const std::uint8_t*>(plat::GlobalLock(dib));
    out.dib.assign(d, d + plat::GlobalSize(dib));
    plat::GlobalUnlock(dib);
    plat::GlobalFree(dib);
    plat::GlobalFree(block);
    return out;
}

class GifReadTest : public LeakCheckedTest {
  protected:
    std::string Write(const Bytes& data, const std::string& name = "t.gif") {
        std::string path = dir_.Path(name);
        WriteFile(path, data);
        return path;
    }
    TempDir dir_;
};

[[maybe_unused]] std::vector<std::uint8_t> Ramp(std::size_t n, unsigned modulo) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 7 + i / 5) % modulo);
    return v;
}

std::vector<std::uint32_t> Widen(const std::vector<std::uint8_t>& v) {
    return std::vector<std::uint32_t>(v.begin(), v.end());
}

// Image rows in the order an interlaced GIF sends them: every 8th from 0, every 8th from 4,
// every 4th from 2, every 2nd from 1.
std::vector<int> InterlacedOrder(int height) {
    std::vector<int> order;
    const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        for (int row = starts[p]; row < height; row += steps[p]) order.push_back(row);
    }
    return order;
}

TEST_F(GifReadTest, InterlacedRowsLandInPassOrderAtEveryDepth) {
    EXPECT_EQ(InterlacedOrder(10), (std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
    EXPECT_EQ(InterlacedOrder(3), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(InterlacedOrder(1), (std::vector<int>{0}));
    for (int tableBits : {1, 4, 8}) {
        for (int height : {1, 2, 3, 4, 5, 8, 9, 10, 17}) {
            SCOPED_TRACE(testing::Message() << "bits " << tableBits << " height " << height);
            const int width = 5;  // odd: rows end in a partly filled byte at 1 and 4 bits
            const unsigned colours = 1u << tableBits;
            // The i-th row sent holds the values (i + x) mod colours.
            std::vector<int> order = InterlacedOrder(height);
            std::vector<std::uint8_t> sent;
            for (std::size_t i = 0; i < order.size(); ++i) {
                for (int x = 0; x < width; ++x) {
                    sent.push_back(static_cast<std::uint8_t>((i * 3 + std::size_t(x)) % colours));
                }
            }
            GifRead r = ReadWithWorker(
                Write(gifb::SimpleGif(width, std::uint16_t(height), sent, tableBits, true)));
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(r.request.infoEncoding, 1);
            ASSERT_EQ(r.image.height, height);
            for (std::size_t i = 0; i < order.size(); ++i) {
                for (int x = 0; x < width; ++x) {
                    EXPECT_EQ(r.image.At(x, order[i]), sent[i * width + std::size_t(x)])
                        << "image row " << order[i] << " x " << x;
                }
            }
        }
    }
}

TEST_F(GifReadTest, OneBitRowsOfWidthTenPackTheirLastTwoPixelsIntoTopBits) {
    const std::uint16_t width = 10, height = 3;
    std::vector<std::uint8_t> pixels = {1, 0, 1, 1, 0, 0, 1, 1, 1, 0,   // 0xB3, 0x80
                                        0, 0, 0, 0, 0, 0, 0, 0, 0, 1,   // 0x00, 0x40
                                        1, 1, 1, 1, 1, 1, 1, 1, 1, 1};  // 0xFF, 0xC0
    Bytes gif;
    gifb::Header(gif, width, height, 0x80);
    gifb::ColorTable(gif, 2);
    gifb::ImageDescriptor(gif, width, height, 0);
    gifb::ImageData(gif, 2, gifb::LiteralCodes(2, pixels).bytes());
    GifRead r = ReadWithWorker(Write(gif));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.image.bits, 1);
    EXPECT_EQ(r.image.pixels, Widen(pixels));
    // Rows are 4 bytes apart, bottom-up, after the header and a 2-entry palette.
    const std::uint8_t expected[3][2] = {{0xB3, 0x80}, {0x00, 0x40}, {0xFF, 0xC0}};
    for (int row = 0; row < 3; ++row) {
        const std::uint8_t* bytes = r.dib.data() + 40 + 8 + 4 * (2 - row);
        EXPECT_EQ(bytes[0], expected[row][0]) << "row " << row;
        EXPECT_EQ(bytes[1], expected[row][1]) << "row " << row;
        EXPECT_EQ(bytes[2], 0);
        EXPECT_EQ(bytes[3], 0);
    }
    EXPECT_EQ(r.request.infoImageBytes, 12u);
}

// A GIF with an 8-bit screen and table around the given code stream.
Bytes GifAround(std::uint16_t width, std::uint16_t height, int minCodeSize, const Bytes& codes,
                std::size_t blockSize = 255) {
    Bytes gif;
    gifb::Header(gif, width, height, 0xF7);
    gifb::ColorTable(gif, 256);
    gifb::ImageDescriptor(gif, width, height, 0);
    gifb::ImageData(gif, static_cast<std::uint8_t>(minCodeSize), codes, blockSize);
    gifb::Trailer(gif);
    return gif;
}

TEST_F(GifReadTest, TableCodesClearsAndTheKwKwKCase) {
    {
        // clear, 1, 2, 6 = "1 2", 8 = not yet in the table: "1 2" + its first byte, end.
        CodeStream cs(2);
        cs.Clear();
        for (int c : {1, 2, 6, 8}) cs.Code(c);
        cs.End();
        GifRead r = ReadWithWorker(Write(GifAround(9, 1, 2, cs.bytes())));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{1, 2, 1, 2, 1, 2, 1, 0, 0}));
    }
    {
        // The code right after a literal is the next free code: the literal twice. A code
        // beyond the next free one is decoded the same way.
        for (int beyond : {0, 1, 5}) {
            CodeStream cs(3);
            cs.Clear();
            cs.Code(3);
            cs.Code(10 + beyond);  // next free code is 10
            cs.Code(2);
            cs.Code(10);  // "3 3" whatever the code before named
            cs.End();
            GifRead r = ReadWithWorker(Write(GifAround(6, 1, 3, cs.bytes())));
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{3, 3, 3, 2, 3, 3}))
                << "beyond " << beyond;
        }
    }
    {
        // clear, 5, clear, 7 and two clears in a row: no pixel for a clear code, the code after
        // the last clear is a literal.
        CodeStream cs(3);
        cs.Clear();
        cs.Code(5);
        cs.Clear();
        cs.Code(7);
        cs.Clear();
        cs.Clear();
        cs.Code(6);
        cs.Code(10);  // "6 6"
        cs.End();
        GifRead r = ReadWithWorker(Write(GifAround(5, 1, 3, cs.bytes())));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{5, 7, 6, 6, 6}));
    }
    {
        // A stream that does not start with a clear code: the first code is a literal and the
        // table fills from the first free code, as after a clear.
        CodeStream cs(2);
        cs.StartWithoutClear();
        for (int c : {3, 1, 6, 7}) cs.Code(c);  // 6 = "3 1", 7 = "1 3"
        cs.End();
        GifRead r = ReadWithWorker(Write(GifAround(6, 1, 2, cs.bytes())));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{3, 1, 3, 1, 1, 3}));
    }
}

TEST_F(GifReadTest, CodesAssembleAcrossSubBlocksOfEverySize) {
    // Widths grow from 3 to 12 bits; sub-blocks of 1 byte split nearly every code.
    const std::uint16_t width = 97, height = 61;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height);
    CodeStream cs(2);
    cs.Clear();
    // Literals and repeats of the previous table entry grow the table to its full width.
    std::vector<std::vector<std::uint8_t>> strings(4096);
    std::size_t pos = 0;
    int previous = -1;
    for (int i = 0; pos < pixels.size(); ++i) {
        int code;
        if (previous >= 6 && i % 3 == 0 && previous < cs.next() - 1) {
            code = previous;
        } else {
            code = (i * 5 + i / 7) % 4;
        }
        std::vector<std::uint8_t> s =
            code < 4 ? std::vector<std::uint8_t>{std::uint8_t(code)} : strings[std::size_t(code)];
        int added = cs.next();
        bool first = previous < 0;
        if (!first && added < 4096 && pos + s.size() <= pixels.size()) {
            strings[std::size_t(added)] = previous < 4
                                              ? std::vector<std::uint8_t>{std::uint8_t(previous)}
                                              : strings[std::size_t(previous)];
            strings[std::size_t(added)].push_back(s[0]);
        }
        if (pos + s.size() > pixels.size()) break;
        cs.Code(code);
        for (std::uint8_t v : s) pixels[pos++] = v;
        previous = code;
    }
    cs.End();
    ASSERT_GT(cs.width(), 8);
    std::vector<std::uint32_t> expected = Widen(pixels);
    for (std::size_t block : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
                              std::size_t(254), std::size_t(255)}) {
        GifRead r = ReadWithWorker(Write(GifAround(width, height, 2, cs.bytes(), block)));
        ASSERT_EQ(r.status, 0) << "block size " << block;
        EXPECT_EQ(r.image.pixels, expected) << "block size " << block;
    }
}

}  // namespace
}  // namespace qor::test
