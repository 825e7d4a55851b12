// The GIF block walk (see blocks.h).
#include "gif/blocks.h"

#include "platform/bytes.h"
#include "platform/dib.h"

// The walk's steps are inlined into its loops, so that a file of many small extensions costs a
// few instructions per block.
#define QOR_INLINE inline __attribute__((always_inline))

namespace qor::gif {
namespace {

// 1 stays 1, 2 to 4 become 4, 5 to 8 become 8.
std::uint8_t WidenToDibDepth(int bits) {
    return bits <= 1 ? 1 : bits <= 4 ? 4 : 8;
}

QOR_INLINE bool PassSubBlocks(BlockInput* in) {
    for (;;) {
        const int size = in->Byte();
        if (size <= 0) return size == 0;
        if (!in->Skip(static_cast<std::uint32_t>(size))) return false;
    }
}

// As PassSubBlocks, keeping what fits of the data in `watch`.
bool KeepSubBlocks(BlockInput* in, ExtensionWatch* watch) {
    watch->kept = watch->total = 0;
    for (;;) {
        const int size = in->Byte();
        if (size <= 0) return size == 0;
        auto n = static_cast<std::uint32_t>(size);
        const std::uint32_t room = ExtensionWatch::kKept - watch->kept;
        const std::uint32_t kept = n < room ? n : room;
        if (!in->Read(watch->data + watch->kept, kept) || !in->Skip(n - kept)) return false;
        watch->kept += kept;
        watch->total += n;
    }
}

QOR_INLINE BlockKind TakeBlock(BlockInput* in, Block* block, ExtensionWatch* watch) {
    const int introducer = in->Byte();
    if (introducer < 0) return BlockKind::kEnd;
    block->introducer = static_cast<std::uint8_t>(introducer);
    switch (introducer) {
        case kImageIntroducer:
            return in->Read(block->descriptor, kDescriptorBytes) ? BlockKind::kImage
                                                                 : BlockKind::kEnd;
        case kTrailerByte:
            return BlockKind::kTrailer;
        case kExtensionIntroducer:
            break;
        default:
            return BlockKind::kOther;
    }
    const int label = in->Byte();
    if (label < 0) return BlockKind::kEnd;
    block->label = static_cast<std::uint8_t>(label);
    if (label != kGraphicControlLabel) {
        const bool whole =
            watch != nullptr && (label == kCommentLabel || label == kApplicationLabel)
                ? KeepSubBlocks(in, watch)
                : PassSubBlocks(in);
        return whole ? BlockKind::kExtension : BlockKind::kEnd;
    }
    const int size = in->Byte();
    if (size < 0) return BlockKind::kEnd;
    block->controlSize = static_cast<std::uint8_t>(size);
    std::uint8_t data[4] = {};
    const std::uint32_t kept = size < 4 ? static_cast<std::uint32_t>(size) : 4;
    if (!in->Read(data, kept) || !in->Skip(static_cast<std::uint32_t>(size) - kept)) {
        return BlockKind::kEnd;
    }
    // The transparent index is the fourth data byte: a shorter block names none.
    if (size >= 4 && (data[0] & 0x01) != 0) block->transparentIndex = data[3];
    std::memcpy(block->control, data, sizeof data);
    const int terminator = in->Byte();
    if (terminator < 0) return BlockKind::kEnd;
    block->terminator = static_cast<std::uint8_t>(terminator);
    return BlockKind::kExtension;
}

QOR_INLINE BlockKind Step(BlockInput* in, Block* block, ExtensionWatch* watch) {
    block->offset = in->Offset();
    block->transparentIndex = -1;
    block->kind = TakeBlock(in, block, watch);
    if (watch != nullptr && block->kind == BlockKind::kExtension) watch->seen(watch, *block);
    return block->kind;
}

}  // namespace

bool HasGifSignature(const std::uint8_t* header) {
    return header[0] == 'G' && header[1] == 'I' && header[2] == 'F' && header[3] == '8' &&
           header[5] == 'a';
}

int Screen::Bits() const {
    const int tableBits = (header[10] & 7) + 1;
    const int colourResolution = ((header[10] >> 4) & 7) + 1;
    return colourResolution > tableBits ? colourResolution : tableBits;
}

namespace {

// Reads at most `count` bytes into `out`; how many there were.
std::uint32_t ReadUpTo(BlockInput* in, std::uint8_t* out, std::uint32_t count) {
    std::uint32_t n = 0;
    for (int byte; n < count && (byte = in->Byte()) >= 0; ++n)
        out[n] = static_cast<std::uint8_t>(byte);
    return n;
}

// Whether the `n` bytes of a header cut short are the start of a signature ("GIF87a" or
// "GIF89a" as far as they go): a GIF cut short, rather than a file of another kind.
bool StartsAsSignature(const std::uint8_t* header, std::uint32_t n) {
    static constexpr char kSignature[] = "GIF8?a";
    for (std::uint32_t i = 0; i < n && i < 6; ++i) {
        if (kSignature[i] != '?' && header[i] != kSignature[i]) return false;
    }
    return true;
}

}  // namespace

std::int16_t ReadScreen(BlockInput* in, Screen* screen) {
    const std::uint32_t n = ReadUpTo(in, screen->header, kHeaderBytes);
    if (n == kHeaderBytes && HasGifSignature(screen->header)) return 0;
    // A file too short for either signature is a GIF cut short only if it starts as one.
    if (n < kHeaderBytes)
        return StartsAsSignature(screen->header, n) ? QOR_READ_FAILED : QOR_NOT_GIF;
    if (!in->Seek(kAlternateSignatureOffset)) return QOR_READ_FAILED;
    std::memset(screen->header, 0, kHeaderBytes);
    const std::uint32_t m = ReadUpTo(in, screen->header, kHeaderBytes);
    if (m == kHeaderBytes) return HasGifSignature(screen->header) ? 0 : QOR_NOT_GIF;
    return m != 0 && StartsAsSignature(screen->header, m) ? QOR_READ_FAILED : QOR_NOT_GIF;
}

BlockKind NextBlock(BlockInput* in, Block* block, ExtensionWatch* watch) {
    return Step(in, block, watch);
}

std::int16_t FindFirstImage(BlockInput* in, Block* block, std::int16_t* transparentIndex,
                            ExtensionWatch* watch) {
    for (;;) {
        switch (Step(in, block, watch)) {
            case BlockKind::kImage:
                return 0;
            case BlockKind::kExtension:
                if (block->transparentIndex >= 0) *transparentIndex = block->transparentIndex;
                break;
            case BlockKind::kEnd:
                return QOR_READ_FAILED;
            case BlockKind::kTrailer:
            case BlockKind::kOther:
                return QOR_NOT_GIF;
        }
    }
}

std::int16_t LayOutImage(const Screen& screen, const std::uint8_t* descriptor,
                         ImageLayout* layout) {
    layout->left = LoadLE16(descriptor);
    layout->top = LoadLE16(descriptor + 2);
    const std::uint16_t givenWidth = LoadLE16(descriptor + 4);
    const std::uint16_t givenHeight = LoadLE16(descriptor + 6);
    layout->width = givenWidth != 0 ? givenWidth : screen.Width();
    layout->height = givenHeight != 0 ? givenHeight : screen.Height();
    const std::uint8_t flags = descriptor[8];
    layout->hasLocalTable = (flags & 0x80) != 0;
    layout->interlaced = (flags & 0x40) != 0;
    const int localTableBits = (flags & 7) + 1;
    layout->localTableEntries = 1u << localTableBits;
    // A local table larger than the screen announces widens the DIB so that its indices fit.
    const int screenBits = screen.Bits();
    layout->bits = WidenToDibDepth(
        layout->hasLocalTable && localTableBits > screenBits ? localTableBits : screenBits);
    // An image whose descriptor gives it no width or no height takes the screen's; like any
    // other, it must then hold at least one pixel.
    if (layout->width == 0 || layout->height == 0 || layout->width > kMaxDibSide ||
        layout->height > kMaxDibSide) {
        return QOR_NOT_GIF;
    }
    return ComputeGifGeometry(layout->width, layout->height, layout->bits, &layout->geometry);
}

std::int16_t CheckDataStart(BlockInput* in, std::uint8_t* codeSize) {
    const std::uint8_t* start = in->Ahead(1);
    if (start != nullptr) *codeSize = start[0];
    if (start != nullptr && (start[0] < kMinCodeSizeLow || start[0] > kMinCodeSizeHigh)) {
        return QOR_NOT_GIF;
    }
    start = in->Ahead(3);
    return start == nullptr || start[1] == 0 ? QOR_READ_FAILED : 0;
}

bool SkipSubBlocks(BlockInput* in) {
    return PassSubBlocks(in);
}

bool SkipColorTable(BlockInput* in, const Block& block) {
    const std::uint8_t flags = block.descriptor[8];
    return (flags & 0x80) == 0 || in->Skip(3u << ((flags & 7) + 1));
}

bool SkipImageData(BlockInput* in) {
    return in->Skip(1) && PassSubBlocks(in);
}

}  // namespace qor::gif
