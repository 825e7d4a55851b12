// The fax decoders against libtiff: pages that libtiff's encoders wrote in every coding and fill
// order with one or several strips, the committed files made by tiffcp and ImageMagick, and the
// public corpora (no crash, no hang, no leak; libtiff's pixels where it decodes the file).
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "fax_support.h"

namespace qor::test {
namespace {

namespace fs = std::filesystem;

class FaxDifferentialTest : public LeakCheckedTest {};

#ifdef QORIMG_HAVE_LIBTIFF

TEST_F(FaxDifferentialTest, LibtiffEncodedPagesDecodeToTheirPixels) {
    TempDir dir;
    struct Coding {
        const char* name;
        std::uint16_t compression;
        std::uint32_t t4Options;
    };
    constexpr std::uint32_t k2d = GROUP3OPT_2DENCODING;
    const Coding codings[] = {{"g3", COMPRESSION_CCITTFAX3, 0},
                              {"g3fill", COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS},
                              {"g3:2d", COMPRESSION_CCITTFAX3, k2d},
                              {"g3:2d:fill", COMPRESSION_CCITTFAX3, k2d | GROUP3OPT_FILLBITS},
                              {"g4", COMPRESSION_CCITTFAX4, 0},
                              {"mh", COMPRESSION_CCITTRLE, 0}};
    struct Size {
        std::uint32_t width, height;
    };
    // Narrow pages, a fax line, a page wide enough for the extended make-up codes, and one whose
    // strips run over several of the decoders' input blocks.
    const Size sizes[] = {{1, 5}, {9, 4}, {64, 9}, {1728, 40}, {5300, 14}, {2480, 400}};
    int written = 0;
    unsigned seed = 1;
    for (const Coding& c : codings) {
        for (const Size& s : sizes) {
            for (std::uint16_t fill : {FILLORDER_MSB2LSB, FILLORDER_LSB2MSB}) {
                for (std::uint32_t rows : {0u, 3u}) {
                    const Bilevel page = TextPage(s.width, s.height, seed++);
                    FaxFile how;
                    how.compression = c.compression;
                    how.t4Options = c.t4Options;
                    how.fillOrder = fill;
                    how.rowsPerStrip = rows;
                    how.photometric = seed % 2 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK;
                    const std::string what = std::string(c.name) + " " + std::to_string(s.width) +
                                             "x" + std::to_string(s.height) + " fill " +
                                             std::to_string(fill) + " rows/strip " +
                                             std::to_string(rows);
                    const std::string path = dir.Path("p.tif");
                    if (!WriteWithLibtiff(path, page, how)) {
                        // libtiff has no encoder for this coding: nothing to compare.
                        std::cout << "    libtiff cannot write " << what << "\n";
                        continue;
                    }
                    ++written;
                    Bilevel want;
                    ASSERT_TRUE(ReadWithLibtiff(path, &want)) << what;
                    // The coders' white runs are 0 bits, which a BlackIsZero page shows black.
                    Bilevel shown = page;
                    if (how.photometric == PHOTOMETRIC_MINISBLACK) {
                        for (auto& v : shown.white) v = v ? 0 : 1;
                    }
                    ExpectSamePage(want, shown, what + " (libtiff round trip)");
                    // Two-dimensional Group 3 rows are read by an extended read only.
                    const bool twoD = (c.t4Options & k2d) != 0;
                    std::int16_t status;
                    Bilevel ours = ReadWithQorimg(path, &status, true);
                    ASSERT_EQ(status, 0) << what;
                    ExpectSamePage(ours, want, what);
                    ours = ReadWithQorimg(path, &status);
                    ASSERT_EQ(status, twoD ? QOR_TIFF_MAGIC_OR_OPTIONS : 0) << what;
                    if (!twoD) ExpectSamePage(ours, want, what);
                }
            }
        }
    }
    EXPECT_GE(written, 100);
}

TEST_F(FaxDifferentialTest, CommittedFilesMatchLibtiff) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(DataPath("fax"))) {
        if (e.path().extension() == ".tif") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 12u);
    for (const std::string& path : files) {
        const std::string name = fs::path(path).filename().string();
        Bilevel want;
        ASSERT_TRUE(ReadWithLibtiff(path, &want)) << name;
        // The two-dimensional Group 3 files (named "2d") are read by an extended read only.
        const bool twoD = name.find("2d") != std::string::npos;
        std::int16_t status;
        Bilevel ours = ReadWithQorimg(path, &status, twoD);
        ASSERT_EQ(status, 0) << name;
        ExpectSamePage(ours, want, name);
    }
}

// A raw T.4 or T.6 stream of the corpora, wrapped into a one-strip TIFF page.
Bytes WrapStream(const Bytes& stream, std::uint32_t width, std::uint32_t height,
                 std::uint16_t compression) {
    Bytes file = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](std::uint32_t v) {
        file.push_back(static_cast<std::uint8_t>(v));
        file.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto put32 = [&](std::uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    const std::uint32_t entries = 8, data = 8 + 2 + entries * 12 + 4;
    put16(entries);
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        put16(tag);
        put16(type);
        put32(1);
        if (type == 3) {
            put16(value);
            put16(0);
        } else {
            put32(value);
        }
    };
    entry(256, 4, width);
    entry(257, 4, height);
    entry(258, 3, 1);
    entry(259, 3, compression);
    entry(262, 3, 0);
    entry(273, 4, data);
    entry(278, 4, height);
    entry(279, 4, static_cast<std::uint32_t>(stream.size()));
    put32(0);
    file.insert(file.end(), stream.begin(), stream.end());
    return file;
}

TEST_F(FaxDifferentialTest, CorporaReadSafelyAndMatchWhereInScope) {
    const std::string corpora = CorporaDir();
    if (corpora.empty()) GTEST_SKIP() << "the corpora are not present (set QORIMG_CORPORA)";
    TempDir tmp;
    std::vector<fs::path> files;
    for (const char* name :
         {"libtiff/testfax4.tiff", "libtiff/testfax3_bug54_1dnoEOL.tif",
          "libtiff/testfax3_bug_513.tiff", "libtiff/miniswhite-1c-1b.tiff",
          "x-image/tiff/bw-gopher_ccittGroup3.tiff", "x-image/tiff/bw-gopher_ccittGroup4.tiff"}) {
        if (fs::exists(fs::path(corpora) / name)) files.push_back(fs::path(corpora) / name);
    }
    // The raw streams, each as a Group 3 and a Group 4 page of the gopher's size.
    const fs::path ccitt = fs::path(corpora) / "x-image/ccitt";
    if (fs::is_directory(ccitt)) {
        for (const auto& e : fs::directory_iterator(ccitt)) {
            const std::string ext = e.path().extension().string();
            if (ext != ".ccitt_group3" && ext != ".ccitt_group4") continue;
            const fs::path out = tmp.Path(e.path().filename().string() + ".tif");
            WriteFile(out.string(), WrapStream(ReadFile(e.path().string()), 153, 55,
                                               ext == ".ccitt_group3" ? 3 : 4));
            files.push_back(out);
        }
    }
    if (files.empty()) GTEST_SKIP() << "no fax corpus under " << corpora;
    std::sort(files.begin(), files.end());
    std::size_t decoded = 0, compared = 0;
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        const std::uint64_t blocks = plat::testing::LiveBlocks();
        const auto start = std::chrono::steady_clock::now();
        std::int16_t status;
        Bilevel ours = ReadWithQorimg(file.string(), &status);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << name;
        EXPECT_EQ(plat::testing::LiveBlocks(), blocks) << name;
        EXPECT_EQ(plat::testing::OpenFiles(), 0u) << name;
        Bilevel want;
        const bool reference = ReadWithLibtiff(file.string(), &want);
        std::cout << "[ " << (status == 0 ? "decoded " : "refused ") << " ] " << name << ": "
                  << status << (reference ? ", libtiff decodes it" : ", libtiff fails") << "\n";
        // Every file that libtiff decodes is in scope, except the streams whose rows are aligned
        // to bytes after their EOLs (or inside a T.6 stream), which no TIFF option describes.
        const bool aligned = name.find("aligned") != std::string::npos;
        if (reference && !aligned) {
            EXPECT_EQ(status, 0) << name;
        }
        if (status != 0) continue;
        ++decoded;
        if (reference && !aligned) {
            ExpectSamePage(ours, want, name);
            ++compared;
        }
    }
    std::cout << decoded << " decoded, " << compared << " compared with libtiff\n";
    EXPECT_GE(decoded, 3u);
}

#endif  // QORIMG_HAVE_LIBTIFF

}  // namespace
}  // namespace qor::test
