// Round-trip harness for the GIF writer. The input chooses a DIB (1, 4 or 8 bits, 1 to 300 pixels
// each way, the palette and the pixels) and the options (interlace, transparency); QorWriteGIF
// writes it, and QorReadGIF and giflib both read back the same size, pixels and palette, and the
// transparent index that was asked for. The file must be a valid GIF by giflib's reading.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"
#include "support/dib_image.h"
#include "support/peer_readers.h"

using qor::fuzz::Finding;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    qor::fuzz::Input in(data, size);
    const int bitsChoice[3] = {1, 4, 8};
    const int bits = bitsChoice[in.Byte() % 3];
    const std::uint8_t flags = in.Byte();
    const bool interlaced = (flags & 1) != 0;
    const std::uint32_t option = (flags >> 1) % 3;  // 0: GIF87a, 1: named index, 2: colour 0
    const std::uint32_t index = in.Byte() | (flags & 0x80 ? 0x100u : 0u);  // 256 and up: none
    const auto width = static_cast<std::int32_t>(1 + in.Below(300));
    const auto height = static_cast<std::int32_t>(1 + in.Below(300));
    const std::uint32_t colours = 1u << bits;
    std::vector<std::uint32_t> palette(colours);
    for (auto& c : palette)
        c = std::uint32_t{in.Byte()} << 16 | std::uint32_t{in.Byte()} << 8 | in.Byte();
    // Pixels: the remaining bytes, repeated, so that short inputs still fill large images with
    // runs and patterns the encoder must handle.
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) *
                                     static_cast<std::size_t>(height));
    const std::uint8_t* rest = in.rest();
    const std::size_t n = in.left();
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(n == 0 ? 0 : rest[i % n] % colours);
    }

    const std::string& path = qor::fuzz::ScratchPath();
    QorHandle source = qor::test::MakeDib(width, height, bits, palette, pixels);
    const std::int16_t written =
        QorWriteGIF(nullptr, 0, path.c_str(), source, option, interlaced ? 1 : 0, index);
    QorGlobalFree(source);
    if (written != 0)
        Finding("QorWriteGIF refused a %dx%d %d-bit DIB: %d", width, height, bits, written);

    QorHandle dib = 0;
    std::int16_t transparent = 99;
    const std::int16_t read = QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent);
    if (read != 0) Finding("QorReadGIF refused what QorWriteGIF wrote: %d", read);
    qor::test::Image ours;
    std::string why;
    if (!qor::test::DecodeDib(dib, &ours, &why)) Finding("delivered DIB: %s", why.c_str());
    if (QorReleaseDocument(dib) != 0) Finding("the document cannot be released");
    qor::fuzz::CheckNothingLeft(blocks);

    const int wantTransparent = option == 2 ? 0 : option == 1 && index <= 255 ? int(index) : -1;
    if (ours.width != width || ours.height != height || ours.bits != bits) {
        Finding("read back %dx%d %d bits", ours.width, ours.height, ours.bits);
    }
    if (transparent != wantTransparent)
        Finding("transparent %d, asked %d", transparent, wantTransparent);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (ours.pixels[i] != pixels[i])
            Finding("pixel %zu reads back %u, was %u", i, ours.pixels[i], pixels[i]);
    }
    for (std::size_t i = 0; i < colours; ++i) {
        if (ours.palette[i] != palette[i])
            Finding("palette entry %zu reads back %06x", i, ours.palette[i]);
    }

    const qor::test::GiflibImage peer = qor::test::GiflibDecode(path);
    if (!peer.ok) Finding("giflib cannot read the written file: error %d", peer.error);
    if (peer.width != width || peer.height != height || peer.interlaced != interlaced) {
        Finding("giflib reads %dx%d interlaced %d", peer.width, peer.height, int(peer.interlaced));
    }
    if (peer.transparent != wantTransparent) Finding("giflib's transparent %d", peer.transparent);
    if (peer.colours.size() != colours) Finding("giflib sees %zu colours", peer.colours.size());
    for (std::size_t i = 0; i < colours; ++i) {
        if (peer.colours[i] != palette[i])
            Finding("giflib's palette entry %zu is %06x", i, peer.colours[i]);
    }
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (peer.raster[i] != pixels[i])
            Finding("giflib's pixel %zu is %u, was %u", i, peer.raster[i], pixels[i]);
    }
    return 0;
}
