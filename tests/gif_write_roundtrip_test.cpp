// Files written by QorWriteGIF, read back by other decoders: giflib, Pillow and giftext must see
// the pixels and colours that went in.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "gif_write_util.h"

namespace qor::test {
namespace {

enum class Content { Flat, Random, Photo };

std::vector<std::uint8_t> MakePixels(Content c, int w, int h, int bits, std::uint32_t seed) {
    switch (c) {
        case Content::Flat:
            return gifw::FlatPixels(w, h, bits);
        case Content::Random:
            return gifw::RandomPixels(w, h, bits, seed);
        case Content::Photo:
            break;
    }
    return gifw::PhotoPixels(w, h, bits, seed);
}

class GifWriteRoundTripTest : public LeakCheckedTest {
  protected:
    TempDir dir_;

#ifdef QORIMG_HAVE_GIFLIB
    // Writes the image and checks what giflib reads back.
    void CheckWithGiflib(int w, int h, int bits, bool interlaced,
                         const std::vector<std::uint8_t>& pixels, const std::string& name) {
        auto palette = gifw::RampPalette(bits);
        HGLOBAL dib = MakeDib(w, h, bits, palette, pixels);
        std::string path = dir_.Path(name);
        ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), dib, 0, interlaced ? 1 : 0, 0), 0);
        plat::GlobalFree(dib);
        gifw::GiflibImage g = gifw::GiflibDecode(path);
        ASSERT_TRUE(g.ok) << "giflib error " << g.error;
        EXPECT_EQ(g.width, w);
        EXPECT_EQ(g.height, h);
        EXPECT_EQ(g.interlaced, interlaced);
        ASSERT_EQ(g.colourCount, 1 << bits);
        for (std::size_t i = 0; i < palette.size(); ++i) {
            ASSERT_EQ(g.palette[3 * i], (palette[i] >> 16) & 255);
            ASSERT_EQ(g.palette[3 * i + 1], (palette[i] >> 8) & 255);
            ASSERT_EQ(g.palette[3 * i + 2], palette[i] & 255);
        }
        // DGifSlurp puts interlaced rows back in display order.
        ASSERT_TRUE(g.raster == pixels) << "pixels differ";
        std::remove(path.c_str());
    }
#endif
};

#ifdef QORIMG_HAVE_GIFLIB
TEST_F(GifWriteRoundTripTest, GiflibReadsBackEveryDepthSizeAndOrder) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3}, {9, 17}, {8, 1}, {257, 31}, {640, 480}};
    std::uint32_t seed = 100;
    for (int bits : {1, 4, 8}) {
        for (bool interlaced : {false, true}) {
            for (auto [w, h] : sizes) {
                for (Content c : {Content::Flat, Content::Random, Content::Photo}) {
                    SCOPED_TRACE(std::to_string(bits) + " bits " + std::to_string(w) + "x" +
                                 std::to_string(h) + (interlaced ? " interlaced" : "") +
                                 " content " + std::to_string(int(c)));
                    CheckWithGiflib(w, h, bits, interlaced, MakePixels(c, w, h, bits, ++seed),
                                    "rt.gif");
                }
            }
        }
    }
}

TEST_F(GifWriteRoundTripTest, GiflibReadsBackLargeAndExtremeImages) {
    struct Case {
        int w, h, bits;
        bool interlaced;
        Content content;
    };
    for (Case c :
         {Case{4000, 3000, 8, false, Content::Photo}, Case{4000, 3000, 8, true, Content::Random},
          Case{4001, 3001, 4, true, Content::Photo}, Case{4003, 3000, 1, false, Content::Random},
          Case{32767, 2, 8, false, Content::Random}, Case{2, 32767, 1, true, Content::Photo},
          Case{32767, 1, 4, false, Content::Flat}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " +
                     std::to_string(c.bits));
        CheckWithGiflib(c.w, c.h, c.bits, c.interlaced,
                        MakePixels(c.content, c.w, c.h, c.bits, std::uint32_t(c.w + c.h)),
                        "large.gif");
    }
}
#endif

TEST_F(GifWriteRoundTripTest, OurReaderReadsBackWhatWasWritten) {
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 2}, {10, 10}, {33, 17}, {301, 203}};
    std::uint32_t seed = 900;
    auto check = [&](int w, int h, int bits, bool interlaced, Content c, std::uint32_t option,
                     std::uint32_t index) {
        SCOPED_TRACE(std::to_string(bits) + " bits " + std::to_string(w) + "x" + std::to_string(h) +
                     (interlaced ? " interlaced" : "") + " content " + std::to_string(int(c)));
        auto pixels = MakePixels(c, w, h, bits, ++seed);
        auto palette = gifw::RampPalette(bits);
        HGLOBAL dib = MakeDib(w, h, bits, palette, pixels);
        std::string path = dir_.Path("ours.gif");
        ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), dib, option, interlaced, index), 0);
        plat::GlobalFree(dib);
        std::uint32_t read = 0;
        std::int16_t transparent = 99;
        ASSERT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &read, &transparent), 0);
        Image img = ReadDib(read);
        EXPECT_EQ(QorReleaseDocument(read), 0);
        EXPECT_EQ(img.width, w);
        EXPECT_EQ(img.height, h);
        EXPECT_EQ(img.bits, bits);
        EXPECT_EQ(transparent, option == 2 ? 0 : option == 1 && index <= 255 ? int(index) : -1);
        ASSERT_GE(img.palette.size(), palette.size());
        for (std::size_t i = 0; i < palette.size(); ++i) EXPECT_EQ(img.palette[i], palette[i]);
        ASSERT_EQ(img.pixels.size(), pixels.size());
        EXPECT_TRUE(std::equal(img.pixels.begin(), img.pixels.end(), pixels.begin()))
            << "pixels differ";
    };
    for (int bits : {1, 4, 8}) {
        for (bool interlaced : {false, true}) {
            for (auto [w, h] : sizes) {
                for (Content c : {Content::Flat, Content::Random, Content::Photo}) {
                    check(w, h, bits, interlaced, c, seed % 3, seed % 2 ? 5 : 300);
                }
            }
        }
    }
    check(4000, 3000, 8, false, Content::Photo, 0, 0);
    check(4000, 3000, 4, true, Content::Random, 2, 0);
    check(4001, 3001, 1, true, Content::Photo, 1, 1);
}

// Runs a command and returns its standard output.
std::string Capture(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    *status = ::pclose(pipe);
    return out;
}

TEST_F(GifWriteRoundTripTest, PillowAndGiftextAcceptTheFiles) {
    const char* python = "/usr/bin/python3";
    if (std::system((std::string(python) + " -c 'import PIL' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "Pillow is not available";
    }
    bool giftext = std::system("command -v giftext >/dev/null 2>&1") == 0;
    std::uint32_t seed = 500;
    for (int bits : {1, 4, 8}) {
        for (bool interlaced : {false, true}) {
            SCOPED_TRACE(std::to_string(bits) + (interlaced ? " interlaced" : ""));
            const int w = 61, h = 23;
            auto pixels = gifw::PhotoPixels(w, h, bits, ++seed);
            auto palette = gifw::RampPalette(bits);
            HGLOBAL dib = MakeDib(w, h, bits, palette, pixels);
            std::string path = dir_.Path("pil.gif");
            ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), dib, 1, interlaced, 3), 0);
            plat::GlobalFree(dib);
            // Pillow gives the rows top-down, already de-interlaced, and the palette indices.
            int status = 0;
            std::string out =
                Capture(std::string(python) +
                            " -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                            "print(im.size[0], im.size[1], im.info.get(\"transparency\")); "
                            "print(im.tobytes().hex()); p = im.getpalette() or []; "
                            "print(bytes(p[:3 * 2 ** " +
                            std::to_string(bits) + "]).hex())' " + path,
                        &status);
            ASSERT_EQ(status, 0) << out;
            std::string hex;
            for (std::uint8_t v : pixels) {
                static const char* digits = "0123456789abcdef";
                hex += digits[v >> 4];
                hex += digits[v & 15];
            }
            std::string pal;
            for (std::uint32_t c : palette) {
                char b[8];
                std::snprintf(b, sizeof b, "%06x", c & 0xFFFFFF);
                pal += b;
            }
            EXPECT_EQ(out, std::to_string(w) + " " + std::to_string(h) + " 3\n" + hex + "\n" +
                               pal.substr(0, 6u << bits) + "\n");
            if (giftext) {
                EXPECT_EQ(std::system(("giftext " + path + " >/dev/null 2>&1").c_str()), 0);
            }
        }
    }
}

}  // namespace
}  // namespace qor::test
