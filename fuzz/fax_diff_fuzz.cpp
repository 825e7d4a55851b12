// Differential harness for the fax decoders against libtiff. The input chooses a page: its coding
// (Modified Huffman, Group 3 with or without fill bits, one- or two-dimensional, Group 4; a
// two-dimensional Group 3 page is read extended, every other one classic), fill order, photometric,
// size and rows per strip, and then either run lengths that libtiff's encoder codes into a valid
// page, or raw bytes that become the strips as they stand. Where libtiff decodes a strip without an
// error or a warning, its rows have the same pixels here; where libtiff decodes every strip
// cleanly, the page must be delivered.
//
// Documented differences, each with its reason:
//  - Strips that libtiff decodes only with a warning (premature end of data, a row of the wrong
//    length) are not compared: libtiff fills such rows as it sees fit and goes on, while this
//    reader stops the page at damaged codes (status 532) or leaves undecoded rows black.
//  - Group 3 rows begin with an EOL here: a page whose first bits, or the bits after a row, are
//    not (fill zeros and) an EOL is refused with 532; libtiff searches on for the next EOL and
//    skips what comes before it. Raw Group 3 strips refused so are not a finding; coded pages,
//    which libtiff writes with their EOLs, must be read.
//    An extended read (two-dimensional Group 3) keeps such a page with the strip's rows blank, and
//    reports them as damaged; those rows are not compared.
//  - The bit reader's state runs on from one strip to the next here, while libtiff decodes each
//    strip alone; after the first strip that libtiff fails, no row is compared.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"
#include "support/dib_image.h"
#include "support/peer_readers.h"

namespace {

using qor::fuzz::Finding;

// Fills a page from run lengths, alternating white and black and starting white on each row;
// a byte above 191 makes a long run (64-pixel steps) so that make-up codes appear.
qor::test::Bilevel PageFromRuns(std::uint32_t width, std::uint32_t height, qor::fuzz::Input& in) {
    qor::test::Bilevel page{width, height, std::vector<std::uint8_t>(std::size_t{width} * height)};
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t colour = 1;
        for (std::uint32_t x = 0; x < width;) {
            // Once the input runs out, the rest of the page is one run.
            const std::uint32_t v = in.left() == 0 ? 255 : in.Byte();
            std::uint32_t run = in.left() == 0 ? width - x : v > 191 ? (v - 191) * 64 : v;
            run = std::min(run, width - x);
            for (std::uint32_t k = 0; k < run; ++k)
                page.white[std::size_t{y} * width + x + k] = colour;
            x += run;
            colour ^= 1;
        }
    }
    return page;
}

// Writes a one-page fax file whose strips are the given bytes, uncoded.
bool WriteRawStrips(const std::string& path, std::uint32_t width, std::uint32_t height,
                    const qor::test::FaxFile& how, qor::fuzz::Input& in) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, how.photometric);
    TIFFSetField(t, TIFFTAG_FILLORDER, how.fillOrder);
    TIFFSetField(t, TIFFTAG_COMPRESSION, how.compression);
    if (how.compression == COMPRESSION_CCITTFAX3) {
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, how.t4Options);
    }
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, how.rowsPerStrip);
    const std::uint32_t strips = (height + how.rowsPerStrip - 1) / how.rowsPerStrip;
    bool ok = true;
    for (std::uint32_t s = 0; ok && s < strips; ++s) {
        // Each strip takes an even share of what is left; the last takes the rest.
        std::size_t n = s + 1 == strips ? in.left() : in.left() / (strips - s);
        std::vector<std::uint8_t> bytes(in.rest(), in.rest() + n);
        in.Skip(n);
        if (bytes.empty()) bytes.push_back(0);
        ok = TIFFWriteRawStrip(t, s, bytes.data(), static_cast<tmsize_t>(bytes.size())) >= 0;
    }
    TIFFClose(t);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    qor::fuzz::Input in(data, size);
    qor::test::FaxFile how;
    switch (in.Byte() % 4) {
        case 0:
            how.compression = COMPRESSION_CCITTRLE;
            break;
        case 1:
            how.compression = COMPRESSION_CCITTFAX3;
            break;
        case 2:
            how.compression = COMPRESSION_CCITTFAX3;
            how.t4Options = GROUP3OPT_FILLBITS;
            break;
        default:
            how.compression = COMPRESSION_CCITTFAX4;
            break;
    }
    const std::uint8_t flags = in.Byte();
    const bool twoD = how.compression == COMPRESSION_CCITTFAX3 && (flags & 16) != 0;
    if (twoD) how.t4Options |= GROUP3OPT_2DENCODING;
    how.fillOrder = flags & 1 ? FILLORDER_LSB2MSB : FILLORDER_MSB2LSB;
    how.photometric = flags & 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_MINISWHITE;
    const bool raw = (flags & 4) != 0;
    const std::uint32_t width = 1 + in.Below(flags & 8 ? 5400 : 300);
    const std::uint32_t height = 1 + in.Below(40);
    how.rowsPerStrip = 1 + in.Below(height);

    const std::string& path = qor::fuzz::ScratchPath();
    qor::test::gLibtiffComplaints = 0;
    TIFFSetWarningHandler(qor::test::QuietLibtiff);
    TIFFSetErrorHandler(qor::test::QuietLibtiff);
    bool written;
    if (raw) {
        written = WriteRawStrips(path, width, height, how, in);
    } else {
        written = qor::test::WriteWithLibtiff(path, PageFromRuns(width, height, in), how);
    }
    if (!written) return 0;

    QorHandle dib = 0;
    qor::test::Image ours;
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = twoD ? QOR_READ_EXTENDED : 0;
    qor::ReadInfo info;
    const std::int16_t status =
        qor::ReadWithInfo(qor::ReadFormat::Tiff, nullptr, 0, path.c_str(), &info, &dib, &options);
    if (status == 0) {
        std::string why;
        if (!qor::test::DecodeDib(dib, &ours, &why)) Finding("delivered DIB: %s", why.c_str());
        if (QorReleaseDocument(dib) != 0) Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);

    qor::test::Rgb want;
    std::string why;
    if (!qor::test::LibtiffReference(path, 0, &want, &why, 0, true)) {
        Finding("libtiff cannot read the page it wrote: %s", why.c_str());
    }
    const bool clean = std::count(want.rowRead.begin(), want.rowRead.end(), 0) == 0;
    qor::test::KeepRowsBeforeFirstFailedStrip(&want);
    if (status != 0) {
        // Raw Group 3 strips may hold bits before an EOL, which libtiff skips (see above).
        const bool eolExpected = raw && how.compression == COMPRESSION_CCITTFAX3 && status == 532;
        if (clean && !eolExpected) {
            Finding("refused with %d a page that libtiff decodes cleanly", status);
        }
        return 0;
    }
    if (static_cast<std::uint32_t>(ours.width) != width ||
        static_cast<std::uint32_t>(ours.height) != height) {
        Finding("size %dx%d, the page is %ux%u", ours.width, ours.height, width, height);
    }
    const std::vector<std::uint32_t> colours = ours.Colours();
    // The extended read keeps the page and leaves a damaged strip's rows blank where a classic
    // read refuses it: raw Group 3 rows that libtiff takes after bits it skips are not compared.
    std::vector<std::uint8_t> damaged(height, 0);
    for (const qor::DamagedRows& d : info.damaged) {
        const bool eolExpected = raw && how.compression == COMPRESSION_CCITTFAX3 && d.status == 532;
        for (std::uint32_t y = d.firstRow; eolExpected && y < height && y - d.firstRow < d.rows;
             ++y) {
            damaged[y] = 1;
        }
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        if (!want.rowRead[y] || damaged[y]) continue;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::size_t k = std::size_t{y} * width + x;
            if (colours[k] != want.pixels[k]) {
                Finding("pixel (%u,%u) is %06x, libtiff %06x (%s)", x, y, colours[k],
                        want.pixels[k], raw ? "raw strips" : "coded page");
            }
        }
    }
    return 0;
}
