// Differential harness for the GIF reader against giflib: where both read an input, the first
// image's size, pixels, palette and transparent index agree. Where only one side reads it, the
// reason must be one of the documented differences below; anything else is a finding. The
// description of the file (record/describe.h) must give the status of the read, unless the read
// fails later, in the image data.
//
// Documented differences, each with its reason:
//  - Prefix: a file may begin with any 128 bytes before its signature; this reader looks for the
//    signature at offset 128 too, giflib only at 0.
//  - 32767 limit: image sizes are 16-bit signed here (the row writer counts in 16 bits), so an
//    image wider or taller than 32767 is refused; giflib takes up to 65535.
//  - Data that ends early (the sub-blocks run out, or an end code comes before the last pixel):
//    this reader delivers the pixels decoded so far and leaves the rest colour 0; giflib reports
//    an error. The rows that giflib decoded whole are still compared.
//  - Images larger than the screen, or of zero size: the image descriptor's non-zero width and
//    height make the DIB, a zero one takes the screen's; giflib refuses a zero-sized image.
//  - Codes beyond the next free code decode as the previous string plus its first byte here;
//    giflib adds a byte of its own choosing, or calls the image defective. Pixels from such a
//    code on are not compared (the strict code model finds where it comes).
//  - Minimum code sizes: 2 to 11 are decoded here (values above the DIB's bits are masked);
//    giflib refuses sizes above 8 and decodes 0 and 1, which this reader refuses (304) as no
//    GIF encoder writes them.
//  - Signature: this reader wants "GIF8", a version digit and "a"; giflib only "GIF".
//  - A graphic control extension is read here as its size byte, that many bytes and one
//    terminator byte whatever it holds; giflib reads on through further sub-blocks, as Pillow
//    does. The two may then find different first images, which are not compared, and either
//    side may refuse what the other reads. (The GIF89a rules end the block with a zero byte;
//    the classic read keeps its own reading of a file that breaks them.)
//  - A graphic control extension whose size byte is not 4 (the GIF89a rules fix it at 4): its
//    first four data bytes are read here, as Pillow reads them, so a size above 4 still names
//    a transparent index; giflib takes no transparent index from it. The transparent indices
//    of such files are not compared.
//  - A signature at 0 that this reader refuses (a bad version byte: "GIF87b") with another at
//    128: the image after the one at 128 is read here as after a prefix; giflib reads on from
//    0, where Pillow refuses the file. The two images are not compared.
//  - Pixel values wider than the screen's bit depth are masked to the DIB's bits here; giflib
//    keeps them. Values are compared after the same mask.
//
// The extended read, which composes every frame into a layer of the screen's size, is held to
// the classic read and the description instead (giflib composes nothing): the same status (or
// 102 from its memory limit), as many layers as the description counts frames up to the one
// that ended them, and a first layer that shows the classic image where it lies on the screen.
#include <cstdint>
#include <cstring>
#include <string>

#include "frame/read_info.h"
#include "fuzz/harness_util.h"
#include "fuzz/read_terms.h"
#include "gif/blocks.h"
#include "qorimg/qorimg.h"
#include "record/describe.h"
#include "support/dib_image.h"
#include "support/gif_lzw_model.h"
#include "support/peer_readers.h"

namespace {

using qor::fuzz::Finding;

bool SignatureAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    return size >= at + 13 && std::memcmp(data + at, "GIF8", 4) == 0 && data[at + 5] == 'a';
}

// True when the reader takes the header after a 128-byte prefix (the documented "prefix").
bool ReadAfterPrefix(const std::uint8_t* data, std::size_t size) {
    return !SignatureAt(data, size, 0) && SignatureAt(data, size, 128);
}

// The graphic control extensions before the first image that this reader takes differently
// from giflib: one whose data is followed by more than the block terminator (read here as size
// byte, data and one terminator byte of any value), and one whose size is not 4. The blocks are
// walked by the reader's own walk.
struct ControlDifferences {
    bool otherTerminator = false;
    bool otherSize = false;
};

ControlDifferences ExtensionsBeforeImage(const std::string& path) {
    ControlDifferences found;
    qor::plat::HFILE file = qor::plat::_lopen(path.c_str(), 0);
    if (file == qor::plat::HFILE_ERROR) return found;
    qor::gif::BlockInput in(&file);
    qor::gif::Screen screen;
    qor::gif::Block block;
    if (qor::gif::ReadScreen(&in, &screen) == 0 &&
        (!screen.HasGlobalTable() || in.Skip(3 * screen.GlobalTableEntries()))) {
        while (qor::gif::NextBlock(&in, &block) == qor::gif::BlockKind::kExtension) {
            if (block.label != qor::gif::kGraphicControlLabel) continue;
            found.otherTerminator = found.otherTerminator || block.terminator != 0;
            found.otherSize = found.otherSize || block.controlSize != 4;
        }
    }
    qor::plat::_lclose(file);
    return found;
}

// Why giflib may refuse a file that this reader delivers, or empty when no documented
// difference explains it.
const char* WhyOnlyWeRead(const std::uint8_t* data, std::size_t size,
                          const qor::test::GiflibImage& peer, const std::string& path) {
    if (ReadAfterPrefix(data, size)) return "prefix";
    if (ExtensionsBeforeImage(path).otherTerminator) return "extension";
    if (peer.width == 0 || peer.height == 0) return "zero-sized image";
    switch (peer.error) {
        case D_GIF_ERR_READ_FAILED:
        case D_GIF_ERR_EOF_TOO_SOON:
            return "data that ends early";
        case D_GIF_ERR_IMAGE_DEFECT:
            return "code beyond the next free code";
        case D_GIF_ERR_NOT_ENOUGH_MEM:
            return "giflib's own allocation";
        default:
            return nullptr;
    }
}

// How many pixels, in file order, come before the first code that is not yet defined (all of
// them when there is none): the data sub-blocks of the first image, which start at `at` (0 when
// the file ends before them), are joined as this reader joins them, on past empty blocks, up to
// the last whole block.
std::size_t PixelsBeforeUndefinedCode(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at == 0 || at >= size || data[at] > 11) return 0;
    const int minCodeSize = data[at++];
    std::vector<std::uint8_t> codes;
    while (at < size && at + 1 + data[at] <= size) {
        codes.insert(codes.end(), data + at + 1, data + at + 1 + data[at]);
        at += 1 + data[at];
    }
    const qor::test::CodeStream stream = qor::test::ReadCodes(codes, minCodeSize);
    if (stream.ok || stream.error == "no end code") return SIZE_MAX;
    return stream.pixels.size();
}

const char* WhyOnlyGiflibReads(const std::uint8_t* data, std::size_t size, std::int16_t status,
                               const qor::test::GiflibImage& peer, const std::string& path,
                               const qor::GifDescription& gif) {
    if (peer.width > 32767 || peer.height > 32767) return "32767 limit";
    if (status == QOR_NO_MEMORY) return "larger than one memory block";
    // After an extension taken differently either side may refuse what the other reads: here
    // 304 for what follows it, or 202 where the file ends before an image.
    if (ExtensionsBeforeImage(path).otherTerminator) return "extension";
    if (status == QOR_NOT_GIF && gif.fault == qor::GifFault::kCodeSize) return "minimum code size";
    // Without the signature at 0 the reader looks at 128, and a file too short for that is 202.
    if ((status == QOR_NOT_GIF || status == QOR_READ_FAILED) && !SignatureAt(data, size, 0)) {
        return "signature";
    }
    return nullptr;
}

// The extended read of the file, against the classic read's `status`, image `ours` (empty when
// it was not copied out) and transparent index, and the description.
void CheckExtendedRead(const std::string& path, std::int16_t status, const qor::test::Image& ours,
                       std::int16_t transparent, const qor::GifDescription& gif) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    // Screens of up to 32767 x 32767 are held to 64 MiB of layers.
    const QorReadOptions options{sizeof options, QOR_READ_EXTENDED, 0, 0, 64u << 20, 0, 0};
    qor::ReadInfo info;
    QorHandle first = 0;
    const std::int16_t extended =
        qor::ReadWithInfo(qor::ReadFormat::Gif, nullptr, 0, path.c_str(), &info, &first, &options);
    if (extended != status && extended != QOR_NO_MEMORY) {
        Finding("the extended read gives %d, the classic read %d", extended, status);
    }
    if (extended == 0) {
        const std::uint32_t layers = QorDocumentLayers(first, nullptr, 0);
        const std::uint32_t stop = info.stoppedAtPage;
        if (layers != (stop != 0 ? stop - 1 : std::min<std::uint32_t>(gif.frames, 65535))) {
            Finding("%u layers of %u frames (stopped at %u)", layers, gif.frames, stop);
        }
        // Where the classic image's depth masks no value, the first layer shows it, and also
        // its pixels without data unless the layer starts as the transparent index there.
        const bool cut = !info.endedEarly.empty() && info.endedEarly[0].page == 1;
        qor::test::Image layer;
        std::string why;
        if (ours.bits == 8 && (transparent < 0 || !cut) &&
            qor::fuzz::DibPixels(first) <= (std::uint64_t{1} << 22) &&
            !qor::test::DecodeDib(first, &layer, &why)) {
            Finding("delivered layer: %s", why.c_str());
        }
        const std::vector<std::uint32_t> shown = layer.Colours(), image = ours.Colours();
        for (std::int64_t y = 0; !shown.empty() && y < ours.height && y + gif.top < layer.height;
             ++y) {
            for (std::int64_t x = 0; x < ours.width && x + gif.left < layer.width; ++x) {
                const std::uint32_t a =
                    shown[std::size_t((y + gif.top) * layer.width + x + gif.left)];
                const std::uint32_t b = image[std::size_t(y * ours.width + x)];
                if (a != b) Finding("first layer at (%lld,%lld) %06x, image %06x", x, y, a, b);
            }
        }
        if (QorReleaseDocument(first) != 0) Finding("the layers cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);

    QorHandle dib = 0;
    std::int16_t transparent = -1;
    const std::int16_t status = QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent);
    qor::test::Image ours;
    if (status == 0) {
        // Images beyond giflib's raster cap (see GiflibDecode) are not compared, nor copied out.
        std::string why;
        if (qor::fuzz::DibPixels(dib) <= (std::uint64_t{1} << 26) &&
            !qor::test::DecodeDib(dib, &ours, &why)) {
            Finding("delivered DIB: %s", why.c_str());
        }
        if (QorReleaseDocument(dib) != 0) Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);

    qor::GifDescription gif;
    if (qor::DescribeGif(path.c_str(), &gif) != 0) Finding("the file cannot be described");
    // The blocks decide a status before the data does; the data can only add its own failures.
    const bool dataFailure =
        status == QOR_READ_FAILED || status == QOR_GIF_CODE_OVERFLOW || status == QOR_NO_MEMORY;
    if (gif.status != status && (gif.status != 0 || !dataFailure)) {
        Finding("described with status %d, read with %d", gif.status, status);
    }
    CheckExtendedRead(path, status, ours, transparent, gif);
    qor::fuzz::CheckGifReadOnTerms(path, qor::fuzz::DrawReadTerms(data, size, QOR_READ_EXTENDED));
    const qor::test::GiflibImage peer = qor::test::GiflibDecode(path);
    const bool peerRows = !peer.rowRead.empty() && !ours.pixels.empty();
    if (status != 0) {
        if (peer.ok && WhyOnlyGiflibReads(data, size, status, peer, path, gif) == nullptr) {
            Finding("giflib reads a %dx%d image that is refused with %d", peer.width, peer.height,
                    status);
        }
        return 0;
    }
    if (!peer.ok && WhyOnlyWeRead(data, size, peer, path) == nullptr) {
        Finding("a file that giflib refuses (error %d) is delivered", peer.error);
    }
    if (!peerRows) return 0;
    // An extension taken differently can make the two sides find different first images, and
    // after a prefix they read different headers.
    const ControlDifferences controls = ExtensionsBeforeImage(path);
    if (controls.otherTerminator || ReadAfterPrefix(data, size)) return 0;

    if (ours.width != peer.width || ours.height != peer.height) {
        Finding("size %dx%d, giflib %dx%d", ours.width, ours.height, peer.width, peer.height);
    }
    const std::uint32_t mask = (1u << ours.bits) - 1;
    const auto w = static_cast<std::size_t>(peer.width);
    // Image rows in the order the file holds them; only rows wholly before an undefined code.
    std::vector<std::size_t> order;
    const std::size_t starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    for (int p = 0; p < (peer.interlaced ? 4 : 1); ++p) {
        for (std::size_t y = peer.interlaced ? starts[p] : 0; y < peer.rowRead.size();
             y += peer.interlaced ? steps[p] : 1) {
            order.push_back(y);
        }
    }
    const std::size_t trusted = PixelsBeforeUndefinedCode(data, size, gif.dataOffset);
    for (std::size_t k = 0; k < order.size() && (k + 1) * w <= trusted; ++k) {
        const std::size_t y = order[k];
        if (!peer.rowRead[y]) continue;
        for (std::size_t x = 0; x < w; ++x) {
            if (ours.pixels[y * w + x] != (peer.raster[y * w + x] & mask)) {
                Finding("pixel (%zu,%zu) is %u, giflib %u", x, y, ours.pixels[y * w + x],
                        peer.raster[y * w + x] & mask);
            }
        }
    }
    const std::size_t entries = std::min(ours.palette.size(), peer.colours.size());
    for (std::size_t i = 0; i < entries; ++i) {
        if (ours.palette[i] != peer.colours[i]) {
            Finding("palette entry %zu is %06x, giflib %06x", i, ours.palette[i], peer.colours[i]);
        }
    }
    if (peer.ok && !controls.otherSize && transparent != peer.transparent) {
        Finding("transparent index %d, giflib %d", transparent, peer.transparent);
    }
    return 0;
}
