// The GIF reader, row writer and LZW decoder on hand-made streams.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>

#include "frame/read_info.h"
#include "gif/gif_decode.h"
#include "gif_builder.h"
#include "record/describe.h"
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

GifRead ReadWithWorker(const std::string& path, ProgressProc progress = nullptr,
                       std::vector<PageEnd>* ended = nullptr, const ReadScope* scope = nullptr) {
    Request req(path, progress);
    GifRead out;
    out.status = ReadGifWorker(req.get(), ended, nullptr, scope);
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

std::vector<std::uint8_t> Ramp(std::size_t n, unsigned modulo) {
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
            EXPECT_EQ(+r.request.infoEncoding, 1);
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
    EXPECT_EQ(+r.request.infoImageBytes, 12u);
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

TEST_F(GifReadTest, FullTableWithoutClearKeepsDecodingWithTheFrozenTable) {
    // Literals only: the j-th table entry (code 258 + j) is literal j followed by literal j + 1.
    CodeStream cs(8);
    cs.Clear();
    std::vector<std::uint8_t> literals;
    for (int i = 0; cs.next() < 4096 || literals.size() < 3839; ++i) {
        literals.push_back(static_cast<std::uint8_t>((i * 13 + i / 256) % 256));
        cs.Code(literals.back());
    }
    ASSERT_EQ(literals.size(), 3839u);  // 3838 entries fill codes 258 to 4095
    ASSERT_EQ(cs.width(), 12);
    std::vector<std::uint32_t> expected = Widen(literals);
    for (int v : {200, 7, 31}) {
        cs.Code(v);
        expected.push_back(std::uint32_t(v));
    }
    // Entries written after the table filled up would have replaced these.
    for (int code : {4095, 258, 4000, 4095}) {
        cs.Code(code);
        std::size_t j = std::size_t(code - 258);
        expected.push_back(literals[j]);
        expected.push_back(literals[j + 1]);
    }
    cs.End();
    auto width = static_cast<std::uint16_t>(expected.size());
    GifRead r = ReadWithWorker(Write(GifAround(width, 1, 8, cs.bytes())));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.image.pixels, expected);
}

TEST_F(GifReadTest, DataThatEndsEarlyDeliversTheCompleteSubBlocks) {
    for (int tableBits : {8, 1}) {
        const std::uint16_t width = tableBits == 8 ? 20 : 13, height = 10;
        std::vector<std::uint8_t> pixels(std::size_t(width) * height);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = tableBits == 8 ? static_cast<std::uint8_t>(1 + i % 200) : 1;
        }
        std::vector<std::uint64_t> endBits;
        const int minCodeSize = tableBits == 8 ? 8 : 2;
        CodeStream cs = gifb::LiteralCodes(minCodeSize, pixels, &endBits);
        const std::size_t blockSize = 10;
        Bytes whole;
        gifb::Header(whole, width, height, tableBits == 8 ? 0xF7 : 0x80);
        gifb::ColorTable(whole, 1u << tableBits);
        gifb::ImageDescriptor(whole, width, height, 0);
        const std::size_t dataStart = whole.size() + 1;  // after the code size byte
        gifb::ImageData(whole, std::uint8_t(minCodeSize), cs.bytes(), blockSize);
        for (std::size_t complete :
             {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(6)}) {
            for (std::size_t extra : {std::size_t(0), std::size_t(1), std::size_t(7)}) {
                SCOPED_TRACE(testing::Message() << "bits " << tableBits << " blocks " << complete
                                                << " extra " << extra);
                // The file ends `extra` bytes into sub-block `complete` (0 = its size byte).
                Bytes gif(whole.begin(),
                          whole.begin() + static_cast<std::ptrdiff_t>(
                                              dataStart + complete * (blockSize + 1) + extra));
                std::size_t decoded = static_cast<std::size_t>(
                    std::count_if(endBits.begin(), endBits.end(),
                                  [&](std::uint64_t b) { return b <= complete * blockSize * 8; }));
                // A block terminator there ends the data as the end of the file does: the
                // next frame's bytes are not taken for pixels.
                Bytes terminated(gif);
                if (extra == 0) {
                    terminated.push_back(0);
                    gifb::GraphicControl(terminated, 1, 3);
                    gifb::ImageDescriptor(terminated, width, height, 0);
                    gifb::ImageData(terminated, std::uint8_t(minCodeSize), cs.bytes(), blockSize);
                }
                for (const Bytes& file : {gif, terminated}) {
                    std::vector<PageEnd> ended;
                    GifRead r = ReadWithWorker(Write(file), nullptr, &ended);
                    // Without a single pixel there is no image.
                    if (decoded == 0) {
                        EXPECT_EQ(r.status, QOR_READ_FAILED);
                        continue;
                    }
                    ASSERT_EQ(r.status, 0);
                    ASSERT_EQ(r.image.pixels.size(), pixels.size());
                    // The first row that lacks a pixel is reported, and nothing when none does.
                    ASSERT_EQ(ended.size(), decoded < pixels.size() ? 1u : 0u);
                    if (!ended.empty()) {
                        EXPECT_EQ(ended[0].firstBlankRow, decoded / width);
                    }
                    for (std::size_t i = 0; i < pixels.size(); ++i) {
                        ASSERT_EQ(r.image.pixels[i], i < decoded ? pixels[i] : 0u) << "pixel " << i;
                    }
                }
            }
        }
    }
}

TEST(GifRowWriterTest, FirstUnfilledRowIsTheFirstRowStillMissingAPixel) {
    const std::int16_t width = 3;
    for (bool interlaced : {false, true}) {
        for (std::int16_t height : {1, 5, 11, 20}) {
            for (int count = 0; count <= width * height; ++count) {
                std::vector<std::uint8_t> rows(std::size_t{4} * std::size_t(height), 0);
                gif::GifRowWriter w;
                w.Start(rows.data(), 4, width, height, 8, interlaced);
                for (int i = 0; i < count; ++i) w.Put(1);
                int expected = height;  // image row y is memory row height - 1 - y
                for (int y = height - 1; y >= 0; --y) {
                    const std::uint8_t* row = rows.data() + 4 * (height - 1 - y);
                    if (std::count(row, row + width, 0) != 0) expected = y;
                }
                EXPECT_EQ(w.FirstUnfilledRow(), expected)
                    << "interlaced " << interlaced << " height " << height << " pixels " << count;
            }
        }
    }
}

TEST_F(GifReadTest, CorruptedPrefixChainOverflowsTheStack) {
    // A code beyond the next free one becomes the previous code of the next entry, which then
    // names itself as its own prefix.
    CodeStream cs(2);
    cs.Clear();
    for (int c : {1, 7, 1, 7}) cs.Code(c);
    cs.End();
    ProgressRecorder rec;
    gRecorder = &rec;
    GifRead r = ReadWithWorker(Write(GifAround(50, 4, 2, cs.bytes())), RecordProgress);
    gRecorder = nullptr;
    EXPECT_EQ(r.status, QOR_GIF_CODE_OVERFLOW);
    EXPECT_EQ(host::testing::CallCount(host::testing::Call::CreateLayerFromBitmap), 0u);
    ASSERT_FALSE(rec.calls.empty());
    EXPECT_NE(rec.calls.back(), std::make_pair(100u, 100u)) << "no closing call on failure";
}

TEST_F(GifReadTest, ProgressRisesThroughTheDataAndCarriesTheUserValue) {
    const std::uint16_t width = 7, height = 13;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = std::uint8_t(i % 16);
    Bytes gif;
    gifb::Header(gif, width, height, 0xB3);  // 4-bit table
    gifb::ColorTable(gif, 16);
    gifb::ImageDescriptor(gif, width, height, 0);
    gifb::ImageData(gif, 4, gifb::LiteralCodes(4, pixels).bytes(), 3);

    ProgressRecorder rec;
    gRecorder = &rec;
    Request req(Write(gif), RecordProgress, 0xC0FFEE);
    EXPECT_EQ(ReadGifWorker(req.get()), 0);
    gRecorder = nullptr;
    EXPECT_EQ(rec.userValue, 0xC0FFEEu);
    // Opening 0, reports while the data is read that never go back, closing 100.
    ASSERT_GT(rec.calls.size(), 4u);
    EXPECT_EQ(rec.calls.front(), std::make_pair(0u, 100u));
    EXPECT_EQ(rec.calls.back(), std::make_pair(100u, 100u));
    for (std::size_t i = 1; i < rec.calls.size(); ++i) {
        EXPECT_GE(rec.calls[i].first, rec.calls[i - 1].first) << i;
        EXPECT_EQ(rec.calls[i].second, 100u);
    }
    EXPECT_LT(rec.calls[rec.calls.size() / 2].first, 100u);
    // Release what the host received.
    HGLOBAL dib = 0;
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(req->layerBlock));
    std::memcpy(&dib, p + host::kFirstLayerOffset, 4);
    plat::GlobalUnlock(req->layerBlock);
    plat::GlobalFree(dib);
    plat::GlobalFree(req->layerBlock);
}

TEST_F(GifReadTest, CancellingCallbackStopsTheReadAndOnlyTheOpeningAndClosingCallsAreIgnored) {
    Bytes gif = gifb::SimpleGif(30, 20, Ramp(600, 256), 8, false, 40);
    std::string path = Write(gif);
    for (std::uint32_t cancelAt : {2u, 3u, 5u}) {
        ProgressRecorder rec;
        rec.cancelAt = cancelAt;
        gRecorder = &rec;
        GifRead r = ReadWithWorker(path, RecordProgress);
        gRecorder = nullptr;
        EXPECT_EQ(r.status, QOR_CANCELLED) << "cancel at " << cancelAt;
        EXPECT_EQ(rec.calls.size(), cancelAt);
        EXPECT_EQ(host::testing::CallCount(host::testing::Call::CreateLayerFromBitmap), 0u);
        EXPECT_EQ(plat::testing::OpenFiles(), 0u);
    }
    // A non-zero result from the opening or the closing call changes nothing.
    ProgressRecorder count;
    gRecorder = &count;
    ASSERT_EQ(ReadWithWorker(path, RecordProgress).status, 0);
    for (std::uint32_t at : {1u, std::uint32_t(count.calls.size())}) {
        ProgressRecorder rec;
        rec.cancelAt = at;
        gRecorder = &rec;
        GifRead r = ReadWithWorker(path, RecordProgress);
        EXPECT_EQ(r.status, 0) << "cancel at " << at;
        EXPECT_EQ(r.image.pixels, Widen(Ramp(600, 256)));
    }
    gRecorder = nullptr;
}

// The reader and the description walk the same header and blocks: both give each file the same
// status, and the description names the fault and counts the frames.
TEST_F(GifReadTest, HeaderAndBlocksAsTheReaderAndTheDescriptionTakeThem) {
    auto build = [](const std::function<void(Bytes&)>& between) {
        Bytes gif;
        gifb::Header(gif, 4, 2, 0x80);
        gifb::ColorTable(gif, 2);
        between(gif);
        gifb::ImageDescriptor(gif, 4, 2, 0);
        gifb::ImageData(gif, 2, gifb::LiteralCodes(2, {1, 0, 1, 1, 0, 1, 0, 0}).bytes());
        return gif;
    };
    const Bytes plain = build([](Bytes&) {});
    Bytes prefixed(128);
    for (std::size_t i = 0; i < prefixed.size(); ++i) prefixed[i] = std::uint8_t(i * 29 + 1);
    prefixed.insert(prefixed.end(), plain.begin(), plain.end());
    Bytes anyDigit = plain;
    anyDigit[4] = 'x';  // "GIF8xa"
    Bytes notGif = plain;
    notGif[5] = 'b';  // no signature at 0, and none at 128 (file long enough to read there)
    notGif.resize(300, 0);
    Bytes late(129 + plain.size(), 0);  // a signature at 129 is not looked for
    std::copy(plain.begin(), plain.end(), late.begin() + 129);
    // Extensions of unknown labels are skipped like the known ones.
    const Bytes extensions = build([](Bytes& g) {
        for (int label : {0xFE, 0xFF, 0x01, 0x00, 0x2A, 0xF8}) {
            gifb::Extension(g, std::uint8_t(label), {Bytes(200, 'c'), Bytes(3, 1)});
        }
        gifb::Extension(g, 0xFE, {});
    });
    // Only the first image is read: a second with a bad code size and no trailer is only counted.
    Bytes twoFrames = plain;
    gifb::GraphicControl(twoFrames, 1, 0, 4);
    gifb::ImageDescriptor(twoFrames, 3, 1, 0);
    twoFrames.insert(twoFrames.end(), {40, 0x21, 0x00, 0x05});
    Bytes cut = build([](Bytes& g) { gifb::Extension(g, 0xFE, {Bytes(100, 'c')}); });
    cut.resize(13 + 6 + 2 + 1 + 50);
    // A trailer before any image: nothing to read, however large the screen it claims.
    Bytes noImage;
    gifb::Header(noImage, 32767, 32767, 0x80);
    gifb::ColorTable(noImage, 2);
    gifb::Trailer(noImage);
    Bytes shortTable;
    gifb::Header(shortTable, 4, 2, 0xF7);
    gifb::ColorTable(shortTable, 100);
    // Frames after the first, for an extended read: one whose data ends after two of its
    // pixels, one without a pixel, one whose table is cut, one too wide, and a byte that starts
    // no block after a good frame.
    auto second = [&](std::uint16_t width, std::uint8_t flags, const Bytes& data) {
        Bytes g = plain;
        gifb::GraphicControl(g, 0, 0);
        gifb::ImageDescriptor(g, width, 2, flags);
        g.insert(g.end(), data.begin(), data.end());
        return g;
    };
    Bytes codes;
    gifb::ImageData(codes, 2, gifb::LiteralCodes(2, {1, 1, 1, 1, 1, 1, 1, 1}).bytes(), 1, false);
    const Bytes secondCut = second(4, 0, Bytes(codes.begin(), codes.begin() + 5));
    const Bytes secondEmpty = second(4, 0, {2, 0});
    const Bytes secondTableCut = second(4, 0x81, Bytes(9, 7));
    Bytes secondTooWide = second(40000, 0, codes);
    gifb::Trailer(secondTooWide);
    Bytes junkAfter = plain;
    junkAfter.insert(junkAfter.end(), {0x00, 0x2C, 0, 0});

    struct Case {
        Bytes gif;
        std::int16_t status;
        GifFault fault;
        std::uint32_t frames;
        char version = '9';
        // An extended read (whose status is the classic one): its layers, the frame that
        // ended them, and the frame whose data ended early.
        std::uint32_t layers = 1, stopped = 0, ended = 0;
    };
    std::vector<Case> cases = {
        {plain, 0, GifFault::kNone, 1},
        {prefixed, 0, GifFault::kNone, 1},
        {anyDigit, 0, GifFault::kNone, 1, 'x'},
        {extensions, 0, GifFault::kNone, 1},
        {twoFrames, 0, GifFault::kNone, 2, '9', 1, 2},
        {secondCut, 0, GifFault::kNone, 2, '9', 2, 0, 2},
        {secondEmpty, 0, GifFault::kNone, 2, '9', 1, 2},
        {secondTableCut, 0, GifFault::kNone, 2, '9', 1, 2},
        {secondTooWide, 0, GifFault::kNone, 2, '9', 1, 2},
        {junkAfter, 0, GifFault::kNone, 1},
        {notGif, QOR_NOT_GIF, GifFault::kNoSignature, 0},
        {late, QOR_NOT_GIF, GifFault::kNoSignature, 0},
        {Bytes(40, 'G'), QOR_NOT_GIF, GifFault::kNoSignature, 0},
        {Bytes(plain.begin(), plain.begin() + 12), QOR_READ_FAILED, GifFault::kHeaderCut, 0},
        {shortTable, QOR_READ_FAILED, GifFault::kGlobalTableCut, 0},
        {cut, QOR_READ_FAILED, GifFault::kEndsBeforeImage, 0},
        {noImage, QOR_NOT_GIF, GifFault::kTrailerFirst, 0},
    };
    // A byte that introduces no block, where the first one after the table should start.
    for (std::uint8_t bad : {0x00, 0x2D, 0x3A}) {
        cases.push_back({build([&](Bytes& g) {
                             g.insert(g.end(), {bad, 0, 0, 0, 0, 0, 0, 0});
                         }),
                         QOR_NOT_GIF, GifFault::kNotABlock, 0});
    }
    QorReadOptions extended{};
    extended.size = sizeof extended;
    extended.flags = QOR_READ_EXTENDED;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string path = Write(c.gif);
        GifRead r = ReadWithWorker(path);
        EXPECT_EQ(r.status, c.status) << i;
        if (r.status == 0) {
            EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{1, 0, 1, 1, 0, 1, 0, 0})) << i;
            EXPECT_EQ(+r.request.infoVersion, c.version - '0') << i;
        }
        ReadInfo info;
        QorHandle first = 0;
        EXPECT_EQ(ReadWithInfo(ReadFormat::Gif, nullptr, 0, path.c_str(), &info, &first, &extended),
                  c.status)
            << i;
        if (c.status == 0) {
            EXPECT_EQ(QorDocumentLayers(first, nullptr, 0), c.layers) << i;
            EXPECT_EQ(ReadDib(first).Colours(), r.image.Colours()) << i;
            EXPECT_EQ(info.stoppedAtPage, c.stopped) << i;
            EXPECT_EQ(info.endedEarly.size(), c.ended != 0 ? 1u : 0u) << i;
            for (const PageEnd& e : info.endedEarly) {
                EXPECT_EQ(e.page, c.ended) << i;
                EXPECT_EQ(e.firstBlankRow, 0u) << i;
            }
            EXPECT_EQ(QorReleaseDocument(first), 0);
        }
        GifDescription d;
        ASSERT_EQ(DescribeGif(path.c_str(), &d), 0);
        EXPECT_EQ(d.status, c.status) << i;
        EXPECT_EQ(d.fault, c.fault) << i;
        EXPECT_EQ(d.frames, c.frames) << i;
        if (c.fault == GifFault::kNotABlock) {
            EXPECT_EQ(d.faultOffset, 13u + 6);
            EXPECT_EQ(d.faultByte, c.gif[13 + 6]);
        }
    }
    EXPECT_EQ(ReadWithWorker(dir_.Path("missing.gif")).status, QOR_OPEN_FAILED);
}

TEST_F(GifReadTest, TransparencyComesFromTheLastGraphicControlExtensionThatSetsIt) {
    struct Case {
        std::vector<std::array<std::uint8_t, 3>> controls;  // flags, index, block size
        std::int16_t expected;
    };
    const Case cases[] = {
        {{}, -1},
        {{{1, 3, 4}}, 3},
        {{{1, 3, 4}, {1, 7, 4}}, 7},
        {{{1, 200, 4}, {0, 9, 4}}, 200},
        {{{0, 9, 4}}, -1},
        {{{1, 5, 6}}, 5},
        {{{1, 4, 4}, {1, 8, 3}}, 4},  // a block too short to hold an index names none
        {{{1, 8, 0}}, -1},
    };
    for (const Case& c : cases) {
        Bytes gif;
        gifb::Header(gif, 2, 1, 0xF7);
        gifb::ColorTable(gif, 256);
        for (const auto& gce : c.controls) gifb::GraphicControl(gif, gce[0], gce[1], gce[2]);
        gifb::ImageDescriptor(gif, 2, 1, 0);
        gifb::ImageData(gif, 8, gifb::LiteralCodes(8, {9, 250}).bytes());
        std::string path = Write(gif);
        GifRead r = ReadWithWorker(path);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(+r.request.transparentIndex, c.expected) << c.controls.size();
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{9, 250}));
        QorHandle dib = 0;
        std::int16_t transparent = 1234;
        ASSERT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent), 0);
        EXPECT_EQ(transparent, c.expected);
        EXPECT_EQ(QorReleaseDocument(dib), 0);
        GifDescription d;
        ASSERT_EQ(DescribeGif(path.c_str(), &d), 0);
        EXPECT_EQ(d.transparentIndex, c.expected);
    }
}

TEST_F(GifReadTest, ScreenFlagsSetTheDepthPaletteAndInformationFields) {
    struct Case {
        std::uint8_t flags;
        int bits;
        std::uint32_t filled;  // palette entries from the table
    };
    const Case cases[] = {{0xF7, 8, 256}, {0x91, 4, 4}, {0x80, 1, 2}, {0xA2, 4, 8},
                          {0xC0, 8, 2},   {0x07, 8, 0}, {0x00, 1, 0}, {0xB3, 4, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << int(c.flags));
        const std::uint16_t width = 9, height = 3;
        Bytes gif;
        gifb::Header(gif, width, height, c.flags, "87a");
        if (c.flags & 0x80) gifb::ColorTable(gif, 2u << (c.flags & 7));
        gifb::ImageDescriptor(gif, 0, 0, 0);  // the screen's size
        std::vector<std::uint8_t> pixels(std::size_t(width) * height);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = std::uint8_t(i % (1u << c.bits));
        }
        gifb::ImageData(gif, std::uint8_t(c.bits < 2 ? 2 : c.bits),
                        gifb::LiteralCodes(c.bits < 2 ? 2 : c.bits, pixels).bytes());
        GifRead r = ReadWithWorker(Write(gif));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.bits, c.bits);
        EXPECT_EQ(r.image.width, width);
        EXPECT_EQ(r.image.height, height);
        EXPECT_EQ(r.image.pixels, Widen(pixels));
        ASSERT_EQ(r.image.palette.size(), 1u << c.bits);
        EXPECT_EQ(r.image.clrUsed, 1u << c.bits);
        for (std::uint32_t i = 0; i < r.image.palette.size(); ++i) {
            EXPECT_EQ(r.image.palette[i], i < c.filled ? gifb::TestColor(i) : 0u) << i;
        }
        const ImageIoRequest& q = r.request;
        const std::uint32_t stride = ((width * std::uint32_t(c.bits) + 31) / 32) * 4;
        EXPECT_EQ(+q.infoVersion, 7);
        EXPECT_EQ(+q.infoEncoding, 0);
        EXPECT_EQ(+q.infoWidth, width);
        EXPECT_EQ(+q.infoHeight, height);
        EXPECT_EQ(+q.infoBitsPerSample, c.bits);
        EXPECT_EQ(+q.infoBitsPerSample2, c.bits);
        EXPECT_EQ(+q.infoSamplesPerPixel, 1);
        EXPECT_EQ(+q.infoSamplesPerPixel2, 1);
        EXPECT_EQ(+q.infoColorCount, 1u << c.bits);
        EXPECT_EQ(+q.infoImageBytes, stride * height);
        EXPECT_EQ(+q.infoFileSize, gif.size());
        EXPECT_EQ(+q.layerCount, 1);
        EXPECT_EQ(r.dib.size(), 40 + 4 * (1u << c.bits) + stride * height);
        std::uint32_t sizeImage;
        std::memcpy(&sizeImage, r.dib.data() + 20, 4);
        EXPECT_EQ(sizeImage, stride * height);
    }
}

TEST_F(GifReadTest, ExtendedReadsTakeTheLeastDepthThatHoldsTheGlobalTable) {
    // The depth that holds 2, 4, 16 or 256 entries, whatever colour resolution the screen states
    // (writers state 8 bits for two colours); a pixel past the table keeps 8 bits. A classic
    // read keeps the larger of the two.
    struct Case {
        std::uint8_t flags;
        unsigned largestPixel;
        int classicBits, extendedBits;
    };
    const Case cases[] = {{0xF0, 1, 8, 1},   {0xF1, 3, 8, 4},   {0xF3, 15, 8, 4},
                          {0xF7, 255, 8, 8}, {0x80, 1, 1, 1},   {0xB3, 15, 4, 4},
                          {0xF0, 2, 8, 8},   {0xF3, 200, 8, 8}, {0x70, 1, 8, 1}};
    ReadScope extended;
    extended.extended = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "flags " << int(c.flags) << ", up to " << c.largestPixel);
        const std::uint16_t width = 11, height = 3;
        Bytes gif;
        gifb::Header(gif, width, height, c.flags);
        if (c.flags & 0x80) gifb::ColorTable(gif, 2u << (c.flags & 7));
        gifb::ImageDescriptor(gif, width, height, 0);
        const std::vector<std::uint8_t> pixels =
            Ramp(std::size_t{width} * height, c.largestPixel + 1);
        gifb::ImageData(gif, 8, gifb::LiteralCodes(8, pixels).bytes());
        const std::string path = Write(gif);
        for (bool isExtended : {false, true}) {
            GifRead r = ReadWithWorker(path, nullptr, nullptr, isExtended ? &extended : nullptr);
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(r.image.bits, isExtended ? c.extendedBits : c.classicBits) << isExtended;
            EXPECT_EQ(r.image.pixels, Widen(pixels)) << isExtended;
            const int bits = isExtended ? c.extendedBits : c.classicBits;
            EXPECT_EQ(r.dib.size(),
                      40 + 4 * (1u << bits) + ((width * bits + 31) / 32) * 4 * height);
            const std::uint32_t filled = c.flags & 0x80 ? 2u << (c.flags & 7) : 0;
            for (std::uint32_t i = 0; i < r.image.palette.size(); ++i) {
                EXPECT_EQ(r.image.palette[i], i < filled ? gifb::TestColor(i) : 0u) << i;
            }
        }
    }
}

TEST_F(GifReadTest, LocalTablesReplaceThePaletteAndWidenTheDepthWhenLarger) {
    std::vector<std::uint8_t> pixels = {0, 255, 17, 128, 3, 200};
    auto local = [](std::uint32_t i) { return gifb::TestColor(255 - i) ^ 0x101010u; };
    {
        // A 2-colour screen and a 256-colour local table: an 8-bit DIB with the local palette.
        Bytes gif;
        gifb::Header(gif, 6, 1, 0x80);
        gifb::ColorTable(gif, 2);
        gifb::ImageDescriptor(gif, 6, 1, 0x87);
        gifb::ColorTable(gif, 256, local);
        gifb::ImageData(gif, 8, gifb::LiteralCodes(8, pixels).bytes());
        GifRead r = ReadWithWorker(Write(gif));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.bits, 8);
        EXPECT_EQ(+r.request.infoBitsPerSample, 8);
        EXPECT_EQ(r.image.pixels, Widen(pixels));
        ASSERT_EQ(r.image.palette.size(), 256u);
        for (std::uint32_t i = 0; i < 256; ++i) EXPECT_EQ(r.image.palette[i], local(i)) << i;
    }
    {
        // A smaller local table replaces the global one; the depth follows the screen.
        Bytes gif;
        gifb::Header(gif, 6, 1, 0xF7);
        gifb::ColorTable(gif, 256);
        gifb::ImageDescriptor(gif, 6, 1, 0x81);
        gifb::ColorTable(gif, 4, local);
        gifb::ImageData(gif, 8, gifb::LiteralCodes(8, pixels).bytes());
        GifRead r = ReadWithWorker(Write(gif));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.bits, 8);
        EXPECT_EQ(r.image.pixels, Widen(pixels));
        for (std::uint32_t i = 0; i < 256; ++i) {
            EXPECT_EQ(r.image.palette[i], i < 4 ? local(i) : 0u) << i;
        }
        // A local table that is cut short.
        gif.resize(13 + 768 + 10 + 5);
        EXPECT_EQ(ReadWithWorker(Write(gif)).status, QOR_READ_FAILED);
    }
}

TEST_F(GifReadTest, PixelValuesWiderThanTheDepthNeverTouchTheirNeighbours) {
    {
        // 1-bit DIB, 2-bit literals.
        CodeStream cs(2);
        cs.Clear();
        for (int v : {1, 3, 0, 2, 1, 1, 0, 3, 1, 2}) {
            cs.Code(v);
            cs.Clear();
        }
        cs.End();
        Bytes gif;
        gifb::Header(gif, 10, 1, 0x80);
        gifb::ColorTable(gif, 2);
        gifb::ImageDescriptor(gif, 10, 1, 0);
        gifb::ImageData(gif, 2, cs.bytes());
        GifRead r = ReadWithWorker(Write(gif));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{1, 1, 0, 0, 1, 1, 0, 1, 1, 0}));
    }
    {
        // 4-bit DIB, minimum code size 5.
        Bytes gif;
        gifb::Header(gif, 5, 1, 0x91);
        gifb::ColorTable(gif, 4);
        gifb::ImageDescriptor(gif, 5, 1, 0);
        gifb::ImageData(gif, 5, gifb::LiteralCodes(5, {31, 16, 5, 17, 2}).bytes());
        GifRead r = ReadWithWorker(Write(gif));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{15, 0, 5, 1, 2}));
    }
}

TEST_F(GifReadTest, MinimumCodeSizesOutsideTwoToElevenAreRefused) {
    for (int size : {0, 1, 12, 13, 255}) {
        Bytes gif;
        gifb::Header(gif, 4, 1, 0xF7);
        gifb::ColorTable(gif, 256);
        gifb::ImageDescriptor(gif, 4, 1, 0);
        gif.push_back(std::uint8_t(size));
        gif.insert(gif.end(), {4, 0xFF, 0xFF, 0xFF, 0xFF, 0});
        ProgressRecorder rec;
        gRecorder = &rec;
        EXPECT_EQ(ReadWithWorker(Write(gif), RecordProgress).status, QOR_NOT_GIF) << size;
        gRecorder = nullptr;
        EXPECT_EQ(rec.calls.size(), 1u) << "refused before the first sub-block";
    }
    for (int size : {9, 10, 11}) {
        std::vector<std::uint8_t> low = {1, 2, 3};
        CodeStream cs(size);
        cs.Clear();
        for (int v : {0x1F3, 0x100 + 1, 2, 3}) cs.Code(v);
        cs.End();
        GifRead r = ReadWithWorker(Write(GifAround(4, 1, size, cs.bytes())));
        ASSERT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.image.pixels, (std::vector<std::uint32_t>{0xF3, 1, 2, 3})) << size;
    }
}

TEST_F(GifReadTest, SizesOutsideOneTo32767AreRefusedBeforeTheBitmapIsMade) {
    struct Case {
        std::uint16_t screenW, screenH, imageW, imageH;
        std::int16_t status;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {0, 0, 0, 0, QOR_NOT_GIF, 0, 0},
        {5, 0, 0, 0, QOR_NOT_GIF, 0, 0},
        {5, 5, 0x8000, 2, QOR_NOT_GIF, 0, 0},
        {5, 5, 2, 0xFFFF, QOR_NOT_GIF, 0, 0},
        {40000, 3, 0, 0, QOR_NOT_GIF, 0, 0},
        {6, 4, 0, 0, 0, 6, 4},
        {6, 4, 3, 0, 0, 3, 4},
        {1, 1, 0x7FFF, 1, 0, 0x7FFF, 1},
        {0, 0, 2, 3, 0, 2, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.screenW << "x" << c.screenH << " image " << c.imageW << "x" << c.imageH);
        Bytes gif;
        gifb::Header(gif, c.screenW, c.screenH, 0x80);
        gifb::ColorTable(gif, 2);
        gifb::ImageDescriptor(gif, c.imageW, c.imageH, 0);
        gifb::ImageData(gif, 2, gifb::LiteralCodes(2, {1, 1, 1}).bytes());
        plat::testing::Reset();
        GifRead r = ReadWithWorker(Write(gif));
        EXPECT_EQ(r.status, c.status);
        if (c.status != 0) {
            EXPECT_EQ(plat::testing::CallCounts().allocs, 1u) << "only the colour buffer";
            continue;
        }
        EXPECT_EQ(r.image.width, std::int32_t(c.width));
        EXPECT_EQ(r.image.height, std::int32_t(c.height));
        EXPECT_EQ(r.image.At(0, 0), 1u);
        EXPECT_EQ(r.image.At(2 % int(c.width), 2 / int(c.width)), 1u);
    }
    gif::GifGeometry g;
    EXPECT_EQ(gif::ComputeGifGeometry(32767, 32767, 8, &g), 0);
    EXPECT_EQ(g.stride, 32768u);
    EXPECT_EQ(g.dibBytes, 40u + 1024u + 32768ull * 32767ull);
    EXPECT_EQ(gif::ComputeGifGeometry(10, 3, 1, &g), 0);
    EXPECT_EQ(g.stride, 4u);
    EXPECT_EQ(g.pixelBytes, 12u);
    EXPECT_EQ(gif::ComputeGifGeometry(70000, 40000, 8, &g), QOR_NO_MEMORY);
    EXPECT_EQ(gif::ComputeGifGeometry(1ull << 40, 1, 1, &g), QOR_NO_MEMORY);
    EXPECT_EQ(gif::ComputeGifGeometry(0x7FFFFFFFull, 0x7FFFFFFFull, 8, &g), QOR_NO_MEMORY);
}

// Image data that ends before the first pixel, with or without its code size byte, is not an
// image, also where the descriptor gives no width and takes the screen's.
TEST_F(GifReadTest, ImageDataEndingBeforeTheFirstPixel) {
    for (std::uint16_t given : {5, 0}) {
        Bytes gif;
        gifb::Header(gif, 5, 2, 0xF7);
        gifb::ColorTable(gif, 256);
        gifb::ImageDescriptor(gif, given, 2, 0);
        for (Bytes tail : {Bytes{8}, Bytes{}, Bytes{8, 0}, Bytes{8, 2, 0x00, 0x01}}) {
            Bytes file(gif);
            file.insert(file.end(), tail.begin(), tail.end());
            GifRead r = ReadWithWorker(Write(file));
            EXPECT_EQ(r.status, QOR_READ_FAILED) << given << " " << tail.size();
        }
    }
    // Data exactly up to a 10240-byte boundary, then the end: the aligned first fill reads
    // nothing and the first refill finds the end.
    Bytes padded;
    gifb::Header(padded, 5, 2, 0xF7);
    gifb::ColorTable(padded, 256);
    // Comments fill the file up to 10240 bytes minus the descriptor and the code size byte.
    for (std::size_t left = 10240 - padded.size() - 11; left > 0;) {
        std::size_t n = std::min<std::size_t>(200, left - 4);
        gifb::Extension(padded, 0xFE, {Bytes(n, 'p')});
        left -= n + 4;
    }
    ASSERT_EQ(padded.size() + 11, 10240u);
    gifb::ImageDescriptor(padded, 5, 2, 0);
    gifb::ImageData(padded, 8, gifb::LiteralCodes(8, Ramp(10, 256)).bytes());
    GifRead aligned = ReadWithWorker(Write(padded));
    ASSERT_EQ(aligned.status, 0);
    EXPECT_EQ(aligned.image.pixels, Widen(Ramp(10, 256)));
}

TEST_F(GifReadTest, HostRefusalIsPassedOnAndTheBitmapFreed) {
    std::string path = Write(gifb::SimpleGif(8, 8, Ramp(64, 2), 1));
    host::testing::FailCall(host::testing::Call::CreateLayerFromBitmap, 4242);
    EXPECT_EQ(ReadWithWorker(path).status, 4242);
    EXPECT_EQ(host::testing::CallCount(host::testing::Call::CreateLayerFromBitmap), 1u);
    QorHandle dib = 77;
    std::int16_t transparent = 5;
    host::testing::Reset();
    host::testing::FailCall(host::testing::Call::CreateLayerFromBitmap, -3);
    EXPECT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent), -3);
    EXPECT_EQ(dib, 77u);
    EXPECT_EQ(transparent, 5);
}

TEST_F(GifReadTest, EntryPointDeliversTheDocumentsOnlyLayer) {
    std::vector<std::uint8_t> pixels = Ramp(40 * 30, 16);
    std::string path = Write(gifb::SimpleGif(40, 30, pixels, 4, true));
    std::uint64_t before = plat::testing::LiveBlocks();
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    ASSERT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent), 0);
    EXPECT_EQ(transparent, -1);
    QorHandle layers[4] = {};
    ASSERT_EQ(QorDocumentLayers(dib, layers, 4), 1u);
    EXPECT_EQ(layers[0], dib);
    EXPECT_EQ(ReadDib(dib).pixels, Widen(pixels));
    EXPECT_EQ(plat::testing::LiveBlocks(), before + 1) << "only the DIB stays";
    EXPECT_EQ(QorReleaseDocument(dib), 0);
    EXPECT_EQ(plat::testing::LiveBlocks(), before);
}

// The sample for the failure sweeps: a global and a local table, a graphic control and a comment
// extension, and enough image data for several buffer refills.
Bytes SweepSample(std::vector<std::uint8_t>* pixels) {
    const std::uint16_t width = 300, height = 200;
    *pixels = Ramp(std::size_t(width) * height, 256);
    Bytes gif;
    gifb::Header(gif, width, height, 0xF7);
    gifb::ColorTable(gif, 256);
    gifb::GraphicControl(gif, 1, 12);
    gifb::Extension(gif, 0xFE, {Bytes(30, 'c')});
    gifb::ImageDescriptor(gif, width, height, 0x87);
    gifb::ColorTable(gif, 256);
    gifb::ImageData(gif, 8, gifb::LiteralCodes(8, *pixels).bytes());
    gifb::Trailer(gif);
    return gif;
}

// The sample with two frames more, of disposal 3 and 2, for extended reads.
Bytes AnimatedSweepSample(std::vector<std::uint8_t>* pixels) {
    Bytes gif = SweepSample(pixels);
    gif.pop_back();  // the trailer
    for (std::uint8_t disposal : {3, 2}) {
        gifb::GraphicControl(gif, static_cast<std::uint8_t>(disposal << 2 | 1), 5);
        gifb::ImageDescriptor(gif, 20, 10, 0, 7, 9);
        gifb::ImageData(gif, 8, gifb::LiteralCodes(8, Ramp(200, 256)).bytes());
    }
    gifb::Trailer(gif);
    return gif;
}

// Reads before the image data: the blocks before it all come through one buffer fill.
constexpr std::uint64_t kReadsBeforeImageData = 1;

// Runs the reader once per fault position of `op`. `check` gets the fault position, whether
// the reader reached it, and the result; leaks are checked after each run. With a `scope`, the
// read is one of its kind, and every layer it delivers is freed.
template <typename Check>
std::uint64_t SweepReader(const std::string& path, plat::testing::Op op, std::uint32_t shortBy,
                          std::uint64_t blocksBefore, Check check,
                          const ReadScope* scope = nullptr) {
    return plat::testing::SweepFaults(
        op,
        [&](std::uint64_t n) {
            Request req(path);
            GifRead r;
            r.status = ReadGifWorker(req.get(), nullptr, nullptr, scope);
            plat::testing::Counts c = plat::testing::CallCounts();
            std::uint64_t made = op == plat::testing::Op::Alloc  ? c.allocs
                                 : op == plat::testing::Op::Lock ? c.locks
                                                                 : c.reads;
            // No fault for what the test itself does afterwards.
            plat::testing::FailNth(op, ~std::uint64_t{0});
            std::memcpy(&r.request, req.get(), sizeof(ImageIoRequest));
            if (r.status == 0) {
                auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(req->layerBlock));
                HGLOBAL dib = 0;
                std::memcpy(&dib, p + host::kFirstLayerOffset, 4);
                r.image = ReadDib(dib);
                for (std::uint32_t i = 0; i < req->layerCount; ++i) {
                    std::memcpy(&dib, p + host::kFirstLayerOffset + 4 * i, 4);
                    plat::GlobalFree(dib);
                }
                plat::GlobalUnlock(req->layerBlock);
                plat::GlobalFree(req->layerBlock);
            }
            check(n, made >= n, r);
            EXPECT_EQ(plat::testing::LiveBlocks(), blocksBefore) << "fault " << n;
            EXPECT_EQ(plat::testing::OpenFiles(), 0u) << "fault " << n;
        },
        shortBy);
}

TEST_F(GifReadTest, EveryFailedAllocationOrLockGives102AndReleasesEverything) {
    std::vector<std::uint8_t> pixels;
    std::string path = Write(SweepSample(&pixels));
    for (plat::testing::Op op : {plat::testing::Op::Alloc, plat::testing::Op::Lock}) {
        std::uint64_t hits = 0;
        SweepReader(path, op, 0, blocksBefore_, [&](std::uint64_t n, bool hit, const GifRead& r) {
            hits += hit ? 1 : 0;
            EXPECT_EQ(r.status, hit ? QOR_NO_MEMORY : 0) << "fault " << n;
            if (!hit) {
                EXPECT_EQ(r.image.pixels, Widen(pixels));
            }
        });
        // Colour buffer, DIB, three tables, read buffer, string places, and the host's layer
        // block.
        EXPECT_EQ(hits, 8u);
    }
    // An extended read of three frames: also the frame's rows, each layer, and the place that
    // disposal 3 restores.
    path = Write(AnimatedSweepSample(&pixels), "animated.gif");
    ReadScope extended;
    extended.extended = true;
    for (plat::testing::Op op : {plat::testing::Op::Alloc, plat::testing::Op::Lock}) {
        std::uint64_t hits = 0;
        SweepReader(
            path, op, 0, blocksBefore_,
            [&](std::uint64_t n, bool hit, const GifRead& r) {
                hits += hit ? 1 : 0;
                EXPECT_EQ(r.status, hit ? QOR_NO_MEMORY : 0) << "fault " << n;
                EXPECT_EQ(+r.request.layerCount, hit ? 0 : 3) << "fault " << n;
            },
            &extended);
        EXPECT_GE(hits, 12u);
    }
}

TEST_F(GifReadTest, EveryFailedOrShortReadGivesItsStatusAndReleasesEverything) {
    std::vector<std::uint8_t> pixels;
    std::string path = Write(SweepSample(&pixels));
    std::uint64_t hits = 0;
    SweepReader(path, plat::testing::Op::Read, 0, blocksBefore_,
                [&](std::uint64_t n, bool hit, const GifRead& r) {
                    hits += hit ? 1 : 0;
                    // A failed read is an error wherever it happens: the image data does not
                    // just end there.
                    EXPECT_EQ(r.status, hit ? QOR_READ_FAILED : 0) << "read " << n;
                    if (r.status != 0) return;
                    EXPECT_EQ(r.image.width, 300);
                    EXPECT_EQ(+r.request.transparentIndex, 12);
                    EXPECT_EQ(r.image.pixels, Widen(pixels));
                });
    EXPECT_GT(hits, kReadsBeforeImageData + 3) << "several buffer refills";

    hits = 0;
    SweepReader(path, plat::testing::Op::Read, 1, blocksBefore_,
                [&](std::uint64_t n, bool hit, const GifRead& r) {
                    hits += hit ? 1 : 0;
                    // A short read, also before the image data, only means that the next one
                    // starts earlier.
                    EXPECT_EQ(r.status, 0) << "read " << n;
                    EXPECT_EQ(r.image.pixels, Widen(pixels)) << "read " << n;
                });
    EXPECT_GT(hits, kReadsBeforeImageData + 3);

    // An extended read: a failed read in the first frame fails it, one after ends the layers.
    path = Write(AnimatedSweepSample(&pixels), "animated.gif");
    ReadScope extended;
    extended.extended = true;
    std::uint64_t fewer = 0;
    hits = 0;
    SweepReader(
        path, plat::testing::Op::Read, 0, blocksBefore_,
        [&](std::uint64_t n, bool hit, const GifRead& r) {
            hits += hit ? 1 : 0;
            fewer += hit && r.status == 0 && r.request.layerCount < 3 ? 1 : 0;
            EXPECT_EQ(r.status, hit && r.status != 0 ? QOR_READ_FAILED : 0) << "read " << n;
            if (!hit) {
                EXPECT_EQ(+r.request.layerCount, 3) << "read " << n;
            }
        },
        &extended);
    EXPECT_GT(hits, kReadsBeforeImageData + 5);
    EXPECT_GT(fewer, 0u);
}

// The fast decoder against the plain one, on whole and damaged streams of qorimg's own encoder:
// the same status, the same DIB bytes and the same progress calls. The sources have strings
// longer than a row, interlaced rows, and roots narrower than the 8-bit DIB.
TEST_F(GifReadTest, FastAndPlainDecodersAgreeOnDamagedData) {
    struct Source {
        int width, height, bits;
        bool interlaced, flat;
        bool widerScreen;  // the screen claims 8 bits of colour: an 8-bit DIB with narrow roots
    };
    const Source sources[] = {{97, 61, 8, false, false, false}, {64, 45, 8, true, false, false},
                              {5, 300, 8, false, true, false},  {1, 999, 8, true, true, false},
                              {300, 9, 4, false, false, true},  {130, 70, 1, true, true, true}};
    std::mt19937 rng(77);
    for (const Source& src : sources) {
        const std::size_t n = std::size_t(src.width) * std::size_t(src.height);
        std::vector<std::uint8_t> pixels(n, std::uint8_t((1 << src.bits) - 1));
        if (!src.flat) {
            for (std::size_t i = 0; i < n; ++i) {
                pixels[i] = std::uint8_t(((i / 7 + i / 97) * 3 + (rng() % 4 == 0 ? rng() : 0)) &
                                         ((1u << src.bits) - 1));
            }
        }
        std::vector<std::uint32_t> palette(std::size_t(1) << src.bits, 0x102030);
        HGLOBAL dib = MakeDib(src.width, src.height, src.bits, palette, pixels);
        std::string path = dir_.Path("source.gif");
        ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), dib, 0, src.interlaced ? 1 : 0, 0), 0);
        plat::GlobalFree(dib);
        Bytes whole = ReadFile(path);
        if (src.widerScreen) whole[10] = static_cast<std::uint8_t>(whole[10] | 0x70);
        const std::size_t dataStart =
            13 + 3 * (std::size_t(1) << (src.bits == 1 ? 1 : src.bits)) + 11;
        for (int variant = 0; variant < 80; ++variant) {
            Bytes file = whole;
            const std::size_t span = file.size() - dataStart;
            if (variant % 3 == 1) {
                file.resize(dataStart + rng() % span);  // cut short
            } else if (variant != 0) {
                for (int flips = 1 + int(rng() % 4); flips > 0; --flips) {
                    file[dataStart + rng() % span] ^= std::uint8_t(1u << (rng() % 8));
                }
            }
            const std::string damaged = Write(file);
            ProgressRecorder fast, plain;
            gRecorder = &fast;
            GifRead a = ReadWithWorker(damaged, RecordProgress);
            gif::UseFastGifDecoder(false);
            gRecorder = &plain;
            GifRead b = ReadWithWorker(damaged, RecordProgress);
            gif::UseFastGifDecoder(true);
            gRecorder = nullptr;
            SCOPED_TRACE(testing::Message()
                         << src.width << "x" << src.height << " variant " << variant);
            EXPECT_EQ(a.status, b.status);
            EXPECT_TRUE(a.dib == b.dib);
            EXPECT_EQ(fast.calls, plain.calls);
        }
    }
}

}  // namespace
}  // namespace qor::test
