// Differential harness for the TIFF reader against libtiff: for each page that QorReadTIF
// delivers, the rows of every strip that libtiff's TIFFReadEncodedStrip decodes without an error
// have the same colours after this library's colour tables and conversions. A delivered page
// must also be released cleanly, and no block or file may remain. The description of the file
// (record/describe.h) must agree with the read: its status, its decodable pages and their strips.
//
// Documented differences, each with its reason (pages or strips they touch are not compared):
//  - CMYK by our formula: red = 255 - min(255, cyan + black), and so on; the reference converter
//    applies the same formula, so these pages are compared.
//  - Other types: an entry of a known tag whose type is not SHORT or LONG is ignored here (the
//    field keeps its default); libtiff converts other integer types. Directories with such an
//    entry, or with one of count 0 or above 10, are not compared.
//  - Repeated tags: when a directory holds two entries of one tag, the last wins here and the
//    first in libtiff.
//  - A single-valued tag with a count other than 1: its first value counts here; libtiff
//    ignores the entry.
//  - StripOffsets of more than 2^31 - 1 entries (more than any file holds) is no strip here;
//    libtiff reads the entries that the page needs.
//  - FillOrder 2 outside the fax codings is ignored here; libtiff reverses the bits.
//  - Three or four samples of 1 or 4 bits have no plain DIB form here.
//  - A 1-bit BlackIsZero page whose table starts with a colour other than black is delivered
//    inverted over a black, white table; libtiff's colour map gives other colours.
//  - StripByteCounts is not consulted here: a strip is read from its offset as far as its rows
//    take. Where libtiff's count cuts a strip short, libtiff fails the strip and its rows are
//    not compared.
//  - PackBits runs end at the row end here; libtiff runs them on into the next row. A strip's
//    rows from the first one where a run crosses the row end are not compared.
//  - LZW and fax decoding runs on from strip to strip here (a strip that ends short is continued
//    by the next one); libtiff decodes each strip alone. Rows after the first strip that libtiff
//    fails are not compared on such pages.
//  - A ColorMap is read here from its first 3 x 2^bits values whatever its count, and used for
//    1-bit pages of any photometric but 0 and 1; libtiff ignores a map of another count or of a
//    page without BitsPerSample. Such pages are not compared.
//  - GrayResponseCurve (without a ColorMap after it) makes the colour table of pages whose
//    photometric leaves it open; libtiff's samples know nothing of it. Such pages are not
//    compared.
//  - Strips that StripOffsets does not list: libtiff reads them at offset 0 (the header), this
//    reader does not decode them. Their rows are not compared.
//  - A ColorMap whose values lie at offset 0 (over the header) is taken as absent here, so the
//    page reads as grey; libtiff reads the header's bytes as colours. Such pages are not compared.
//  - Pages above 16 megapixels are not compared (copying them out outlasts the time limit).
//  - Pages that libtiff cannot open or set as strips are not compared.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "fuzz/harness_util.h"
#include "fuzz/read_terms.h"
#include "platform/bytes.h"
#include "qorimg/qorimg.h"
#include "record/describe.h"
#include "support/dib_image.h"
#include "support/peer_readers.h"

namespace {

using qor::fuzz::Finding;

// A page that the reader delivers: its place in the chain, counting every page, and the offset
// of its directory.
struct PageAt {
    int index;
    std::uint32_t offset;
};

// True when the directory holds an entry that this reader and libtiff take differently: one of a
// tag that the reader takes a first value from which loads nothing (the field keeps its default
// value); a single-valued tag of another count (libtiff ignores it, the first value
// counts here); StripOffsets of more than 2^31 - 1 entries (no strip here, libtiff reads those
// it needs); or a second entry of a tag (the last wins here, the first in libtiff).
bool TakenDifferently(const std::uint8_t* data, std::size_t size, std::uint32_t ifd) {
    static const std::uint32_t kFirstValue[] = {254, 255, 256, 257, 258, 259, 262, 266, 277,
                                                278, 279, 284, 290, 292, 293, 297, 317, 338};
    static const std::uint32_t kSingle[] = {254, 255, 256, 257, 259, 262, 266,
                                            277, 278, 284, 290, 292, 293, 317};
    auto in = [](const auto& set, std::uint32_t tag) {
        return std::find(std::begin(set), std::end(set), tag) != std::end(set);
    };
    if (size < 8 || std::uint64_t{ifd} + 2 > size) return false;
    const bool little = data[0] == 'I';
    const std::uint32_t n = qor::Load16(data + ifd, little);
    std::vector<std::uint32_t> seen;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t at = std::uint64_t{ifd} + 2 + 12ull * i;
        if (at + 12 > size) return false;
        const std::uint32_t tag = qor::Load16(data + at, little);
        const std::uint32_t type = qor::Load16(data + at + 2, little);
        const std::uint32_t count = qor::Load32(data + at + 4, little);
        if (std::find(seen.begin(), seen.end(), tag) != seen.end()) return true;
        seen.push_back(tag);
        if (in(kFirstValue, tag) && ((type != 3 && type != 4) || count == 0 || count > 10)) {
            return true;
        }
        if (in(kSingle, tag) && count != 1) return true;
        if (tag == 273 && count > 0x7FFFFFFF) return true;
    }
    return false;
}

// True when the directory at `ifd` holds an entry of `tag`.
bool HasTag(const std::uint8_t* data, std::size_t size, std::uint32_t ifd, std::uint32_t tag) {
    if (size < 8 || std::uint64_t{ifd} + 2 > size) return false;
    const bool little = data[0] == 'I';
    const std::uint32_t n = qor::Load16(data + ifd, little);
    for (std::uint32_t i = 0; i < n && std::uint64_t{ifd} + 14 + 12ull * i <= size; ++i) {
        if (qor::Load16(data + ifd + 2 + 12 * i, little) == tag) return true;
    }
    return false;
}

// Whether the directory's `tag` holds more than four bytes of values at offset 0, in the header.
bool ValuesInHeader(const std::uint8_t* data, std::size_t size, std::uint32_t ifd,
                    std::uint32_t tag) {
    if (size < 8 || std::uint64_t{ifd} + 2 > size) return false;
    const bool little = data[0] == 'I';
    const std::uint32_t n = qor::Load16(data + ifd, little);
    for (std::uint32_t i = 0; i < n && std::uint64_t{ifd} + 14 + 12ull * i <= size; ++i) {
        const std::uint8_t* e = data + ifd + 2 + 12 * i;
        if (qor::Load16(e, little) == tag) {
            return qor::Load32(e + 4, little) > 2 && qor::Load32(e + 8, little) == 0;
        }
    }
    return false;
}

// PackBits runs end at the row end here (the rest of a run that reaches past it is dropped, and
// the next row starts with a header byte); libtiff runs them on into the next row. From the
// first row of a strip where a run crosses the row end, that strip's rows are not compared.
void KeepPackBitsRowsBeforeCrossingRuns(const std::string& path, int dir, std::size_t fileSize,
                                        qor::test::Rgb* want) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return;
    if (TIFFSetDirectory(t, static_cast<tdir_t>(dir))) {
        const auto row = static_cast<std::size_t>(TIFFScanlineSize64(t));
        std::uint32_t rps = 0;
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
        if (rps == 0 || rps > want->height) rps = want->height;
        for (std::uint32_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
            const std::uint64_t y0 = std::uint64_t{s} * rps;
            if (y0 >= want->height) break;
            const std::uint64_t y1 = std::min<std::uint64_t>(want->height, y0 + rps);
            const std::uint64_t count = std::min<std::uint64_t>(TIFFRawStripSize64(t, s), fileSize);
            std::vector<std::uint8_t> raw(static_cast<std::size_t>(count) + 1);
            const tmsize_t n = TIFFReadRawStrip(t, s, raw.data(), tmsize_t(raw.size()));
            std::size_t at = 0;
            for (std::uint64_t y = y0; y < y1; ++y) {
                std::size_t filled = 0;
                bool crossed = false;
                while (filled < row && !crossed) {
                    if (n < 0 || at >= static_cast<std::size_t>(n)) break;
                    const std::uint8_t h = raw[at++];
                    std::size_t run = 0;
                    if (h < 128) {
                        run = h + 1u;
                        at += run;
                    } else if (h > 128) {
                        run = 257u - h;
                        ++at;
                    }
                    filled += run;
                    crossed = filled > row;
                }
                if (crossed) {
                    std::fill(want->rowRead.begin() + long(y), want->rowRead.begin() + long(y1), 0);
                    break;
                }
            }
        }
    }
    TIFFClose(t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);

    // The read that QorReadTIF makes, with the rows it notes as blank, held to the limit of the
    // other reads here: a small file may claim pages of gigabytes, which the sanitizers would
    // spend the time limit on.
    QorReadOptions classic{};
    classic.size = sizeof classic;
    classic.memoryLimit = qor::fuzz::kDescribedReadLimit;
    QorHandle first = 0;
    qor::ReadInfo info;
    const std::int16_t status =
        qor::ReadWithInfo(qor::ReadFormat::Tiff, nullptr, 0, path.c_str(), &info, &first, &classic);
    std::vector<qor::test::Image> layers;
    if (status == 0) {
        std::vector<QorHandle> handles(QorDocumentLayers(first, nullptr, 0));
        QorDocumentLayers(first, handles.data(), static_cast<std::uint32_t>(handles.size()));
        for (QorHandle h : handles) {
            std::string why;
            layers.emplace_back();
            if (qor::fuzz::DibPixels(h) <= (std::uint64_t{1} << 24) &&
                !qor::test::DecodeDib(h, &layers.back(), &why)) {
                Finding("layer %zu: %s", layers.size() - 1, why.c_str());
            }
        }
        if (QorReleaseDocument(first) != 0) Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    // The extended read, which libtiff's strips cannot be compared with, is held to its own
    // description, and read once more on terms drawn from the input.
    const qor::fuzz::ReadTerms terms = qor::fuzz::DrawReadTerms(data, size, QOR_READ_EXTENDED);
    qor::fuzz::CheckTiffDescribedAsRead(path, QOR_READ_EXTENDED, terms.options.threads);
    qor::fuzz::CheckTiffReadOnTerms(path, terms);

    // The description agrees with the read: the directories decide a status before any data
    // does, and a page's data can only end the read early with a failure of its own. Its pages
    // that decode are the layers, and their strips end where the read found them to.
    qor::TiffDescription file;
    std::vector<qor::TiffPageDescription> pages;
    if (qor::DescribeTiff(path.c_str(), &file, nullptr, 0) == 0) {
        pages.resize(file.pageCount);
        qor::DescribeTiff(path.c_str(), &file, pages.data(), file.pageCount);
    } else {
        Finding("the file cannot be described");
    }
    const bool dataFailure =
        status == QOR_READ_FAILED || status == QOR_FAX_BAD_DATA || status == QOR_NO_MEMORY;
    if (status != file.status &&
        !((file.status == 0 || file.status == QOR_TIFF_COMPRESSION) && dataFailure)) {
        Finding("described with status %d, read with %d", file.status, status);
    }
    if (status != 0) return 0;
    // A page whose strips end early has its blank rows from where they end. An LZW page's data
    // may also run out inside its strips, so its blank rows may start earlier; no other page's.
    std::vector<std::uint32_t> firstBlank(file.pageCount, 0);
    for (const qor::PageEnd& end : info.endedEarly) {
        if (end.page == 0 || end.page > file.pageCount || firstBlank[end.page - 1] != 0) {
            Finding("page %u noted as ending early is no page, or noted twice", end.page);
        } else {
            firstBlank[end.page - 1] = end.firstBlankRow + 1;
        }
    }
    for (std::uint32_t i = 0; i < file.pageCount; ++i) {
        if (pages[i].status != 0) continue;
        const std::uint32_t described = pages[i].rowsWithStrips;
        const std::uint32_t read = firstBlank[i] == 0 ? pages[i].height : firstBlank[i] - 1;
        const bool lzw = pages[i].compression == 5;
        if (lzw ? read > described : read != described) {
            Finding("page %u: strips reach row %u, the read's blank rows start at %u", i + 1,
                    described, read);
        }
    }
    std::vector<PageAt> offsets;
    for (std::uint32_t i = 0; i < file.pageCount; ++i) {
        if (pages[i].status == 0)
            offsets.push_back({static_cast<int>(i), pages[i].directoryOffset});
    }
    if (offsets.size() != layers.size()) {
        Finding("%zu layers delivered for %zu valid pages", layers.size(), offsets.size());
    }
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const int dir = offsets[i].index;
        if (layers[i].pixels.empty()) continue;  // not copied out
        if (TakenDifferently(data, size, offsets[i].offset)) continue;
        qor::test::Rgb want;
        std::string why;
        if (!qor::test::LibtiffReference(path, dir, &want, &why, offsets[i].offset, true)) continue;
        const bool colourMap = HasTag(data, size, offsets[i].offset, 320);
        if (colourMap && !want.colourMap) continue;
        if (colourMap && ValuesInHeader(data, size, offsets[i].offset, 320)) continue;
        if (!colourMap && HasTag(data, size, offsets[i].offset, 291)) continue;
        qor::test::KeepRowsBeforeFirstFailedStrip(&want);
        if (want.compression == COMPRESSION_PACKBITS) {
            KeepPackBitsRowsBeforeCrossingRuns(path, dir, size, &want);
        }
        const qor::test::Image& ours = layers[i];
        if (static_cast<std::uint32_t>(ours.width) != want.width ||
            static_cast<std::uint32_t>(ours.height) != want.height) {
            Finding("page %d: size %dx%d, libtiff %ux%u", dir, ours.width, ours.height, want.width,
                    want.height);
        }
        const std::vector<std::uint32_t> colours = ours.Colours();
        for (std::uint32_t y = 0; y < want.height; ++y) {
            if (!want.rowRead[y]) continue;
            for (std::uint32_t x = 0; x < want.width; ++x) {
                const std::size_t k = std::size_t{y} * want.width + x;
                if (colours[k] != want.pixels[k]) {
                    Finding("page %d: pixel (%u,%u) is %06x, libtiff %06x", dir, x, y, colours[k],
                            want.pixels[k]);
                }
            }
        }
    }
    return 0;
}
