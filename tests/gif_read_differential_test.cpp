// The GIF reader against giflib: files written by ImageMagick, Pillow and giflib, and a public
// decoder test corpus, decode to the indices and palette that giflib reads for the first image;
// and an extended read's layers against Pillow's frames of animations.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "frame/read_info.h"
#include "gif_builder.h"
#include "support/peer_readers.h"
#include "support/test_util.h"

namespace qor::test {
namespace {

class GifDifferentialTest : public LeakCheckedTest {};

#ifdef QORIMG_HAVE_GIFLIB

// Reads through the public entry point; releases the document.
struct OurImage {
    std::int16_t status = -1;
    std::int16_t transparent = -1;
    Image image;
};

OurImage DecodeWithQor(const std::string& path) {
    OurImage out;
    QorHandle dib = 0;
    out.status = QorReadGIF(nullptr, 0, path.c_str(), &dib, &out.transparent);
    if (out.status != 0) return out;
    out.image = ReadDib(dib);
    EXPECT_EQ(QorReleaseDocument(dib), 0);
    return out;
}

// Indices are compared after cutting giflib's to the DIB's bits; the palette entries that the
// file's table gives must match.
void ExpectSameImage(const OurImage& ours, const GiflibImage& peer, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(ours.image.width, peer.width);
    ASSERT_EQ(ours.image.height, peer.height);
    const std::uint32_t mask = (1u << ours.image.bits) - 1;
    std::size_t mismatches = 0, first = 0;
    for (std::size_t i = 0; i < peer.raster.size(); ++i) {
        if (ours.image.pixels[i] != (peer.raster[i] & mask)) {
            if (mismatches++ == 0) first = i;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "first at pixel " << first;
    std::size_t entries = std::min(peer.colours.size(), ours.image.palette.size());
    for (std::size_t i = 0; i < entries; ++i) {
        EXPECT_EQ(ours.image.palette[i], peer.colours[i]) << "palette entry " << i;
    }
}

TEST_F(GifDifferentialTest, PeerWrittenFilesMatchGiflib) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(DataPath("gif"))) {
        if (entry.path().extension() == ".gif") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10u) << "run tests/data/gif/make.sh";
    for (const std::string& path : files) {
        GiflibImage peer = GiflibDecode(path);
        ASSERT_TRUE(peer.ok) << path;
        OurImage ours = DecodeWithQor(path);
        ASSERT_EQ(ours.status, 0) << path;
        ExpectSameImage(ours, peer, path);
        EXPECT_EQ(ours.transparent, peer.transparent) << path;
    }
}

// Writes a GIF with giflib's encoder: `bits` per pixel table, rows in interlaced order when
// asked. Returns the top-down indices written.
std::vector<std::uint8_t> WriteWithGiflib(const std::string& path, int width, int height, int bits,
                                          bool interlaced, std::uint32_t seed) {
    std::mt19937 random(seed);
    const int colours = 1 << bits;
    std::vector<std::uint8_t> pixels(std::size_t(width) * std::size_t(height));
    // Smooth areas with noise, like a dithered photo.
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int v = (x * 3 + y * 2) / 5 + static_cast<int>(random() % 7);
            pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)] =
                static_cast<std::uint8_t>(v % colours);
        }
    }
    std::vector<GifColorType> colors(static_cast<std::size_t>(colours));
    for (int i = 0; i < colours; ++i) {
        colors[std::size_t(i)] = {static_cast<GifByteType>(i * 37),
                                  static_cast<GifByteType>(255 - i),
                                  static_cast<GifByteType>(i * 11 + 5)};
    }
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    EXPECT_NE(gif, nullptr);
    ColorMapObject* map = GifMakeMapObject(colours, colors.data());
    EXPECT_EQ(EGifPutScreenDesc(gif, width, height, bits, 0, map), GIF_OK);
    EXPECT_EQ(EGifPutImageDesc(gif, 0, 0, width, height, interlaced, nullptr), GIF_OK);
    std::vector<int> order;
    if (interlaced) {
        const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
        for (int p = 0; p < 4; ++p) {
            for (int y = starts[p]; y < height; y += steps[p]) order.push_back(y);
        }
    } else {
        for (int y = 0; y < height; ++y) order.push_back(y);
    }
    for (int y : order) {
        EXPECT_EQ(EGifPutLine(gif, &pixels[std::size_t(y) * std::size_t(width)], width), GIF_OK);
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    GifFreeMapObject(map);
    return pixels;
}

TEST_F(GifDifferentialTest, GiflibWrittenImagesOfEveryDepthMatch) {
    TempDir dir;
    struct Case {
        int width, height, bits;
        bool interlaced;
    };
    const Case cases[] = {{1, 1, 1, false},     {10, 7, 1, true},      {33, 9, 2, false},
                          {33, 20, 3, true},    {101, 13, 4, false},   {64, 64, 5, true},
                          {257, 3, 8, false},   {129, 77, 8, true},    {1500, 1100, 8, false},
                          {1201, 901, 8, true}, {2000, 1000, 1, false}};
    std::uint32_t seed = 1;
    for (const Case& c : cases) {
        std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + " bits " +
                           std::to_string(c.bits) + (c.interlaced ? " interlaced" : "");
        std::string path = dir.Path("giflib.gif");
        std::vector<std::uint8_t> written =
            WriteWithGiflib(path, c.width, c.height, c.bits, c.interlaced, seed++);
        GiflibImage peer = GiflibDecode(path);
        ASSERT_TRUE(peer.ok) << what;
        ASSERT_EQ(peer.raster, written) << what;
        OurImage ours = DecodeWithQor(path);
        ASSERT_EQ(ours.status, 0) << what;
        EXPECT_EQ(ours.image.bits, c.bits == 1 ? 1 : c.bits <= 4 ? 4 : 8) << what;
        ExpectSameImage(ours, peer, what);
    }
}

// The value of `key` in the .conf beside a suite file, empty when it has none.
std::string ConfValue(const std::string& gifPath, const std::string& key) {
    std::ifstream in(gifPath.substr(0, gifPath.size() - 4) + ".conf");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + " =", 0) != 0) continue;
        std::string value = line.substr(key.size() + 2);
        value.erase(0, value.find_first_not_of(' '));
        return value;
    }
    return "";
}

TEST_F(GifDifferentialTest, PublicCorpusDecodesSafelyAndMatchesGiflib) {
    std::string corpora = CorporaDir();
    if (corpora.empty() || !std::filesystem::is_directory(corpora + "/pygif")) {
        GTEST_SKIP() << "the pygif corpus is not present (set QORIMG_CORPORA)";
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(corpora + "/pygif")) {
        if (entry.path().extension() == ".gif") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 50u);
    std::size_t compared = 0;
    for (const std::string& path : files) {
        std::uint64_t blocks = plat::testing::LiveBlocks();
        OurImage ours = DecodeWithQor(path);
        EXPECT_EQ(plat::testing::LiveBlocks(), blocks) << path;
        EXPECT_EQ(plat::testing::OpenFiles(), 0u) << path;
        // The suite's .conf names the frames a valid file shows (none for an invalid one) and
        // the screen's size: every valid file within 32767 x 32767 reads, except those whose
        // first image has no pixel data (the suite shows them as the blank screen; this reader
        // refuses an image without pixels).
        const std::string name = std::filesystem::path(path).stem().string();
        const bool noPixels = name == "no-data" || name.rfind("image-zero-", 0) == 0;
        if (noPixels) {
            EXPECT_NE(ours.status, 0) << path;
        } else if (ConfValue(path, "frames") != "" &&
                   std::stol(ConfValue(path, "width")) <= 32767 &&
                   std::stol(ConfValue(path, "height")) <= 32767) {
            EXPECT_EQ(ours.status, 0) << path;
        }
        if (ours.status != 0) {
            // Say whether giflib reads what this reader refuses (small screens only: giflib
            // allocates the whole screen).
            Bytes head = ReadFile(path);
            bool small = head.size() >= 10 && std::uint64_t(head[6] | head[7] << 8) *
                                                      std::uint64_t(head[8] | head[9] << 8) <=
                                                  (1u << 24);
            bool peerReads = small && GiflibDecode(path).ok;
            std::cout << "[ refused  ] " << std::filesystem::path(path).filename().string() << ": "
                      << ours.status << (peerReads ? " (giflib reads it)" : "") << "\n";
            continue;
        }
        GiflibImage peer = GiflibDecode(path);
        if (!peer.ok) continue;
        ExpectSameImage(ours, peer, path);
        EXPECT_EQ(ours.transparent, peer.transparent) << path;
        ++compared;
    }
    EXPECT_GE(compared, 40u);
}

// Written by this library's own writer and read back: the same indices, palette and
// transparent index.
TEST_F(GifDifferentialTest, OwnWriterRoundTripsThroughTheReader) {
    TempDir dir;
    std::mt19937 random(99);
    for (int bits : {1, 4, 8}) {
        for (bool interlaced : {false, true}) {
            const std::int32_t width = 3 + static_cast<std::int32_t>(random() % 200);
            const std::int32_t height = 1 + static_cast<std::int32_t>(random() % 150);
            std::vector<std::uint32_t> palette(1u << bits);
            for (auto& c : palette) c = random() & 0xFFFFFF;
            std::vector<std::uint8_t> pixels(std::size_t(width) * std::size_t(height));
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                pixels[i] = static_cast<std::uint8_t>((i / 3 + random() % 3) % palette.size());
            }
            HGLOBAL source = MakeDib(width, height, bits, palette, pixels);
            std::string path = dir.Path("own.gif");
            const std::uint32_t transparent = bits == 1 ? 1 : 5;
            ASSERT_EQ(
                QorWriteGIF(nullptr, 0, path.c_str(), source, 1, interlaced ? 1 : 0, transparent),
                0);
            plat::GlobalFree(source);
            OurImage ours = DecodeWithQor(path);
            ASSERT_EQ(ours.status, 0) << bits << " " << interlaced;
            EXPECT_EQ(ours.image.bits, bits);
            EXPECT_EQ(ours.image.pixels, std::vector<std::uint32_t>(pixels.begin(), pixels.end()));
            EXPECT_EQ(ours.image.palette, palette);
            EXPECT_EQ(ours.transparent, std::int16_t(transparent));
        }
    }
}

// Image data that giflib refuses is refused; data of a clear and an end code is an empty frame
// of an animation, which draws nothing while the frames after it go on (Pillow, when told to
// take damaged frames, goes on too; ImageMagick 6 refuses the file). An empty first frame is no
// image: giflib and Pillow refuse it. Three 2 x 1 frames of a
// 4-colour table, the middle or first one's data replaced.
TEST_F(GifDifferentialTest, DataThatNamesNoStringIsRefusedAndEmptyFramesAreKept) {
    TempDir dir;
    using Codes = std::vector<int>;  // -1 clear, -2 end, else a code as it is
    auto frameData = [](const Codes& codes) {
        gifb::CodeStream cs(2);
        for (int c : codes) {
            if (c == -1) cs.Clear();
            if (c == -2) cs.End();
            if (c >= 0) cs.Code(c);
        }
        return cs.bytes();
    };
    const Codes kGood = {-1, 1, 2, -2}, kEmpty = {-1, -2}, kPastRoots = {-1, 6, 1, -2};
    constexpr std::int16_t kBad = QOR_GIF_CODE_OVERFLOW;
    struct Case {
        const char* name;
        Codes data;
        int frame;  // which of the three frames gets `data`
        std::int16_t classic, extended;
        std::uint32_t layers, stoppedAt;
    } cases[] = {
        // clang-format off
        {"a first code past the roots", kPastRoots, 0, kBad, kBad, 0, 0},
        {"no clear, a first code past the roots", {7, 1, -2}, 0, kBad, kBad, 0, 0},
        {"such a code after a later clear", {-1, 1, -1, 6, -2}, 0, kBad, kBad, 0, 0},
        {"the same in the second frame", kPastRoots, 1, 0, 0, 1, 2},
        {"an empty first frame", kEmpty, 0, QOR_READ_FAILED, QOR_READ_FAILED, 0, 0},
        {"an empty second frame", kEmpty, 1, 0, 0, 3, 0},
        {"the control case", kGood, 1, 0, 0, 3, 0},
        // clang-format on
    };
    const QorReadOptions extended{sizeof(QorReadOptions), QOR_READ_EXTENDED, 0, 0, 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes gif;
        gifb::Header(gif, 2, 1, 0x81, "89a");
        gifb::ColorTable(gif, 4);
        for (int f = 0; f < 3; ++f) {
            gifb::ImageDescriptor(gif, 2, 1, 0);
            gifb::ImageData(gif, 2, frameData(f == c.frame ? c.data : Codes{-1, f + 1, 3, -2}));
        }
        gifb::Trailer(gif);
        const std::string path = dir.Path("frames.gif");
        WriteFile(path, gif);
        // giflib refuses the first frame exactly when a classic read does.
        EXPECT_EQ(GiflibDecode(path).ok, c.frame != 0 || c.classic == 0);
        EXPECT_EQ(DecodeWithQor(path).status, c.classic);
        ReadInfo info;
        std::uint32_t first = 0;
        ASSERT_EQ(ReadWithInfo(ReadFormat::Gif, nullptr, 0, path.c_str(), &info, &first, &extended),
                  c.extended);
        EXPECT_EQ(info.stoppedAtPage, c.stoppedAt);
        if (c.extended != 0) continue;
        std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
        QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
        ASSERT_EQ(layers.size(), std::size_t{c.layers});
        for (std::uint32_t i = 0; i < c.layers; ++i) {
            // Each frame draws its own indices; an empty one leaves the layer before it.
            const bool replaced = i == std::uint32_t(c.frame);
            const std::vector<std::uint32_t> own =
                replaced ? std::vector<std::uint32_t>{1, 2} : std::vector<std::uint32_t>{i + 1, 3};
            const std::vector<std::uint32_t> before =
                i == 0 ? std::vector<std::uint32_t>{0, 0} : ReadDib(layers[i - 1]).pixels;
            EXPECT_EQ(ReadDib(layers[i]).pixels, replaced && c.data == kEmpty ? before : own) << i;
        }
        EXPECT_EQ(QorReleaseDocument(first), 0);
    }
}

#endif  // QORIMG_HAVE_GIFLIB

// Animations with every disposal method, transparency, places, tables of their own and interlace,
// made with Pillow by tests/support/pillow_frames.py, which also writes Pillow's picture of each
// frame converted to RGB: each layer of an extended read shows the frame as Pillow does.
TEST_F(GifDifferentialTest, ExtendedReadsComposeEveryFrameAsPillowDoes) {
    const std::string python = "/usr/bin/python3", made = "/made.txt";
    if (std::system((python + " -c 'import PIL' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "Pillow is not available";
    }
    TempDir dir;
    ASSERT_EQ(std::system((python + " " + QORIMG_TEST_DATA + "/../support/pillow_frames.py " +
                           dir.dir().string() + " >" + dir.dir().string() + made)
                              .c_str()),
              0);
    const QorReadOptions extended{sizeof(QorReadOptions), QOR_READ_EXTENDED, 0, 0, 0, 0, 0};
    std::set<std::string> seen;  // what the files held between them
    std::ifstream list(dir.dir().string() + made);
    std::string name;
    for (std::uint32_t count = 0; list >> name >> count;) {
        SCOPED_TRACE(name);
        const std::string path = dir.Path(name + ".gif");
        QorGifInfo info{};
        info.size = sizeof info;
        std::vector<QorGifFrame> frames(count);
        ASSERT_EQ(QorDescribeGIF(path.c_str(), &info, frames.data(), count), 0);
        for (const QorGifFrame& f : frames) {
            seen.insert({"disposal " + std::to_string(f.disposal),
                         f.transparentIndex >= 0 ? "transparent" : "",
                         f.left + f.top ? "placed" : "", f.localColors ? "own table" : "",
                         f.interlaced ? "interlaced" : ""});
        }
        QorHandle first = 0;
        std::int16_t transparent = 0;
        ASSERT_EQ(QorReadGIFEx(nullptr, 0, path.c_str(), &extended, &first, &transparent), 0);
        EXPECT_EQ(transparent, info.transparentIndex);
        std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
        QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
        ASSERT_EQ(layers.size(), std::size_t{info.frames});
        for (std::size_t i = 0; i < layers.size(); ++i) {
            const Image image = ReadDib(layers[i]);
            seen.insert(std::to_string(image.bits) + "-bit layers");
            Bytes ours;
            for (std::uint32_t c : image.Colours()) {
                ours.insert(ours.end(),
                            {std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)});
            }
            const Bytes theirs = ReadFile(dir.Path(name + "." + std::to_string(i) + ".rgb"));
            EXPECT_EQ(image.width * image.height,
                      std::int32_t(info.screenWidth * info.screenHeight));
            const auto at = std::mismatch(ours.begin(), ours.end(), theirs.begin(), theirs.end());
            EXPECT_TRUE(at.first == ours.end() && at.second == theirs.end())
                << "frame " << i << " differs from pixel " << (at.first - ours.begin()) / 3;
        }
        EXPECT_EQ(QorReleaseDocument(first), 0);
    }
    for (const char* what :
         {"disposal 0", "disposal 1", "disposal 2", "disposal 3", "transparent", "placed",
          "own table", "interlaced", "8-bit layers", "24-bit layers"}) {
        EXPECT_EQ(seen.count(what), 1u) << what;
    }
}

}  // namespace
}  // namespace qor::test
