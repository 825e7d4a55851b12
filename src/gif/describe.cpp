// DescribeGif: the reader's own walk over the whole file, its image data passed over, not decoded.
#include "record/describe.h"

#include "gif/blocks.h"

namespace qor {
namespace {

using gif::BlockInput;
using gif::BlockKind;

// The first image, after its descriptor: what the reader makes of it, up to the start of its
// data, where the input is left. Returns the status that the reader gives it; *ended when the
// file ends inside its colour table.
std::int16_t TakeFirstImage(BlockInput* in, const gif::Screen& screen, const gif::Block& block,
                            GifDescription* d, bool* ended) {
    gif::ImageLayout layout;
    const std::int16_t status = gif::LayOutImage(screen, block.descriptor, &layout);
    d->left = layout.left;
    d->top = layout.top;
    d->width = layout.width;
    d->height = layout.height;
    d->interlaced = layout.interlaced;
    *ended = layout.hasLocalTable && !in->Skip(3 * layout.localTableEntries);
    if (status != 0) {
        d->fault = layout.width == 0 || layout.height == 0 ? GifFault::kNoWidthOrHeight
                                                           : GifFault::kTooLarge;
        return status;
    }
    d->bitsPerPixel = layout.bits;
    d->colours = static_cast<std::uint32_t>(layout.geometry.paletteSize);
    d->pixelBytes = static_cast<std::uint32_t>(layout.geometry.pixelBytes);
    if (*ended) {
        d->fault = GifFault::kLocalTableCut;
        return QOR_READ_FAILED;
    }
    if (in->Ahead(1) != nullptr) d->dataOffset = in->Offset();
    std::uint8_t codeSize = 0;
    const std::int16_t dataStatus = gif::CheckDataStart(in, &codeSize);
    if (dataStatus == QOR_NOT_GIF) {
        d->fault = GifFault::kCodeSize;
        d->faultByte = codeSize;
    } else if (dataStatus != 0) {
        d->fault = GifFault::kNoData;
    }
    return dataStatus;
}

// Passes over an image's colour table. False when the data ends first.
bool SkipTable(BlockInput* in, const gif::Block& block) {
    const std::uint8_t flags = block.descriptor[8];
    return (flags & 0x80) == 0 || in->Skip(3u << ((flags & 7) + 1));
}

// Passes over an image's data: its code size and sub-blocks. False when the data ends first.
bool SkipData(BlockInput* in) {
    return in->Skip(1) && gif::SkipSubBlocks(in);
}

std::int16_t Describe(BlockInput* in, GifDescription* d) {
    gif::Screen screen;
    if (std::int16_t status = gif::ReadScreen(in, &screen)) {
        const bool cut = d->fileSize < gif::kHeaderBytes && gif::HasGifSignature(screen.header);
        d->fault = cut ? GifFault::kHeaderCut : GifFault::kNoSignature;
        return status;
    }
    d->hasScreen = true;
    d->version = static_cast<char>(screen.header[4]);
    d->screenWidth = screen.Width();
    d->screenHeight = screen.Height();
    if (screen.HasGlobalTable() && !in->Skip(3 * screen.GlobalTableEntries())) {
        d->fault = GifFault::kGlobalTableCut;
        return QOR_READ_FAILED;
    }
    gif::Block block;
    if (std::int16_t status = gif::FindFirstImage(in, &block, &d->transparentIndex)) {
        d->fault = block.kind == BlockKind::kEnd       ? GifFault::kEndsBeforeImage
                   : block.kind == BlockKind::kTrailer ? GifFault::kTrailerFirst
                                                       : GifFault::kNotABlock;
        d->faultByte = block.introducer;
        d->faultOffset = block.offset;
        return status;
    }
    d->frames = 1;
    bool ended = false;
    const std::int16_t status = TakeFirstImage(in, screen, block, d, &ended);
    // The frames after the first are counted as far as the walk goes; they decide no status.
    if (ended || !SkipData(in)) return status;
    for (;;) {
        const BlockKind kind = gif::NextBlock(in, &block);
        if (kind == BlockKind::kImage) {
            ++d->frames;
            if (!SkipTable(in, block) || !SkipData(in)) break;
        } else if (kind != BlockKind::kExtension) {
            break;
        }
    }
    return status;
}

}  // namespace

std::int16_t DescribeGif(const char* fileName, GifDescription* description) {
    if (fileName == nullptr || description == nullptr) return QOR_BAD_REQUEST;
    *description = GifDescription{};
    HFILE file = plat::_lopen(fileName, 0);
    if (file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;
    description->fileSize = plat::GetFileSize(file, nullptr);
    BlockInput in(&file);
    description->status = Describe(&in, description);
    plat::_lclose(file);
    return 0;
}

}  // namespace qor
