// DescribeGif: the reader's own walk over the whole file, its image data passed over, not decoded.
#include "record/describe.h"

#include <cstring>

#include "gif/blocks.h"
#include "platform/bytes.h"

namespace qor {
namespace {

using gif::BlockInput;
using gif::BlockKind;

// The walk's watch: the graphic control extension that the next frame takes, the loop count and
// the comments.
struct Watch : gif::ExtensionWatch {
    GifDescription* d = nullptr;
    std::uint8_t control[4] = {};
    std::int16_t transparent = -1;
    bool controlSeen = false;
};

void SeeExtension(gif::ExtensionWatch* base, const gif::Block& block) {
    auto* w = static_cast<Watch*>(base);
    GifDescription* d = w->d;
    if (block.label == gif::kGraphicControlLabel) {
        std::memcpy(w->control, block.control, sizeof w->control);
        w->transparent = block.transparentIndex;
        w->controlSeen = true;
    } else if (block.label == gif::kApplicationLabel) {
        // The looping extension: an 11-byte name, then a sub-block of 1 and the count.
        const bool looping = std::memcmp(w->data, "NETSCAPE2.0", 11) == 0 ||
                             std::memcmp(w->data, "ANIMEXTS1.0", 11) == 0;
        if (w->kept >= 14 && looping && w->data[11] == 1) d->loopCount = LoadLE16(w->data + 12);
    } else if (block.label == gif::kCommentLabel) {
        d->commentBytes += w->total;
        // Each comment with its line feed, as far as the field holds, and always ended by zero.
        std::size_t at = std::strlen(d->comments);
        const std::size_t room = sizeof d->comments - 1 - at;
        std::size_t n = w->kept < room ? w->kept : room;
        std::memcpy(d->comments + at, w->data, n);
        if (n < room) d->comments[at + n++] = '\n';
        d->comments[at + n] = '\0';
    }
}

// The frame of the image whose descriptor is in `block`, with the control extension before it.
void DescribeFrame(const gif::Screen& screen, const gif::Block& block, Watch* w,
                   QorGifFrame* frame) {
    gif::ImageLayout layout;
    gif::LayOutImage(screen, block.descriptor, &layout);
    *frame = QorGifFrame{};
    frame->left = layout.left;
    frame->top = layout.top;
    frame->width = layout.width;
    frame->height = layout.height;
    frame->interlaced = layout.interlaced ? 1 : 0;
    frame->localColors =
        layout.hasLocalTable ? static_cast<std::uint16_t>(layout.localTableEntries) : 0;
    frame->transparentIndex = w->transparent;
    if (w->controlSeen) {
        frame->disposal = static_cast<std::uint8_t>((w->control[0] >> 2) & 7);
        frame->delay = LoadLE16(w->control + 1);
    }
    w->transparent = -1;
    w->controlSeen = false;
}

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
    d->interlaced = layout.interlaced ? 1 : 0;
    *ended = layout.hasLocalTable && !in->Skip(3 * layout.localTableEntries);
    if (status != 0) {
        d->fault = layout.width == 0 || layout.height == 0 ? GifFault::kNoWidthOrHeight
                                                           : GifFault::kTooLarge;
        return status;
    }
    d->bitsPerPixel = layout.bits;
    d->colorCount = static_cast<std::uint32_t>(layout.geometry.paletteSize);
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

std::int16_t Describe(BlockInput* in, GifDescription* d, GifFrameSink sink, void* context) {
    gif::Screen screen;
    if (std::int16_t status = gif::ReadScreen(in, &screen)) {
        d->fault = status == QOR_READ_FAILED ? GifFault::kHeaderCut : GifFault::kNoSignature;
        return status;
    }
    d->hasScreen = true;
    std::memcpy(d->version, screen.header + 3, 3);
    d->screenWidth = screen.Width();
    d->screenHeight = screen.Height();
    if (screen.HasGlobalTable() && !in->Skip(3 * screen.GlobalTableEntries())) {
        d->fault = GifFault::kGlobalTableCut;
        return QOR_READ_FAILED;
    }
    Watch watch;
    watch.seen = SeeExtension;
    watch.d = d;
    gif::Block block;
    if (std::int16_t status = gif::FindFirstImage(in, &block, &d->transparentIndex, &watch)) {
        d->fault = block.kind == BlockKind::kEnd       ? GifFault::kEndsBeforeImage
                   : block.kind == BlockKind::kTrailer ? GifFault::kTrailerFirst
                                                       : GifFault::kNotABlock;
        d->faultByte = block.introducer;
        d->faultOffset = block.offset;
        return status;
    }
    d->frames = 1;
    QorGifFrame frame;
    DescribeFrame(screen, block, &watch, &frame);
    if (sink != nullptr) sink(context, 0, frame);
    bool ended = false;
    const std::int16_t status = TakeFirstImage(in, screen, block, d, &ended);
    // The frames after the first are counted as far as the walk goes; they decide no status.
    if (ended || !gif::SkipImageData(in)) return status;
    for (;;) {
        const BlockKind kind = gif::NextBlock(in, &block, &watch);
        if (kind == BlockKind::kImage) {
            DescribeFrame(screen, block, &watch, &frame);
            if (sink != nullptr) sink(context, d->frames, frame);
            ++d->frames;
            if (!gif::SkipColorTable(in, block) || !gif::SkipImageData(in)) break;
        } else if (kind != BlockKind::kExtension) {
            break;
        }
    }
    return status;
}

}  // namespace

std::int16_t DescribeGif(const char* fileName, GifDescription* description, GifFrameSink sink,
                         void* context) {
    if (fileName == nullptr || description == nullptr) return QOR_BAD_REQUEST;
    HFILE file = plat::_lopen(fileName, 0);
    if (file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;
    *description = GifDescription{};
    description->fileSize = plat::GetFileSize(file, nullptr);
    BlockInput in(&file);
    description->status = Describe(&in, description, sink, context);
    plat::_lclose(file);
    return 0;
}

}  // namespace qor
