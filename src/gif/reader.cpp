// The GIF reader: header, colour tables and extension blocks, the DIB of the first image, its
// decode and the hand-off to the host; in an extended read, every frame composed into a layer.
#include <algorithm>
#include <cstring>

#include "gif/blocks.h"
#include "gif/compose.h"
#include "gif/gif_decode.h"
#include "host/host.h"
#include "platform/dib.h"
#include "platform/locked_block.h"
#include "record/request.h"

namespace qor {

namespace {

using gif::GifDecodeOutcome;

constexpr std::uint32_t kColorBufferSize = 1200;

// A movable block and its address while locked.
struct Block {
    HGLOBAL handle = 0;
    void* address = nullptr;

    bool AllocateAndLock(std::uint64_t bytes) {
        handle = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, bytes);
        if (handle == 0) return false;
        address = plat::GlobalLock(handle);
        return address != nullptr;
    }
    void Unlock() {
        if (address != nullptr) plat::GlobalUnlock(handle);
        address = nullptr;
    }
    void Free() {
        Unlock();
        if (handle != 0) plat::GlobalFree(handle);
        handle = 0;
    }
    std::uint8_t* Bytes() const { return static_cast<std::uint8_t*>(address); }
};

// Everything one read holds, released in a fixed order.
struct GifReadJob {
    HFILE file = plat::HFILE_ERROR;
    gif::BlockInput in{&file};
    Block colors;  // colour table, then the sub-block data area
    Block dib;
    Block prefix, stack, suffix, readBuffer, places;

    void CloseFile() {
        if (file != plat::HFILE_ERROR) plat::_lclose(file);
        file = plat::HFILE_ERROR;
    }
    // Decoder tables, colour buffer, read buffer and (unless kept) the DIB, then the file.
    void FreeAll() {
        prefix.Free();
        stack.Free();
        suffix.Free();
        colors.Free();
        readBuffer.Free();
        places.Free();
        dib.Free();
        CloseFile();
    }
    std::int16_t Fail(std::int16_t status) {
        FreeAll();
        return status;
    }
};

// Decodes the image data that follows the descriptor (and any local table) into `writer`, which
// the caller has started on its rows. Returns 0 or a failure status: 202 also when the data ends
// before the first pixel, since an image without a single pixel is data that ended early. Given
// `empty`, data that ends with its end code before the first pixel (a clear code and the end, as
// encoders write a frame that changes nothing) is an empty image instead: 0 with *empty set. The
// decoder's working blocks are taken by the first image and kept for the next.
std::int16_t DecodeImageData(GifReadJob* job, ImageIoRequest* request, gif::GifRowWriter* writer,
                             bool* empty = nullptr) {
    const bool decoderReady =
        job->prefix.handle != 0 ||
        (job->prefix.AllocateAndLock(gif::kLzwTableEntries * 2) &&
         job->stack.AllocateAndLock(gif::kLzwTableEntries) &&
         job->suffix.AllocateAndLock(gif::kLzwTableEntries) &&
         job->readBuffer.AllocateAndLock(gif::kGifReadBlock) &&
         job->places.AllocateAndLock(gif::kLzwTableEntries * sizeof(gif::GifStringPlace)));
    if (!decoderReady) return QOR_NO_MEMORY;

    // The LZW minimum code size, read into the front of the colour buffer, which from here on
    // holds the current sub-block.
    std::uint8_t* const blockData = job->colors.Bytes();
    if (!job->in.Read(blockData, 1)) return QOR_READ_FAILED;
    // The decoder reads on from the first byte that the buffer has not used.
    if (!job->in.GiveBack()) return QOR_READ_FAILED;
    const std::uint8_t minCodeSize = blockData[0];

    gif::GifDecoderBuffers buffers;
    buffers.prefix = static_cast<std::uint16_t*>(job->prefix.address);
    buffers.stack = job->stack.Bytes();
    buffers.suffix = job->suffix.Bytes();
    buffers.readBuffer = job->readBuffer.Bytes();
    buffers.blockData = blockData;
    buffers.places = static_cast<gif::GifStringPlace*>(job->places.address);

    switch (
        gif::DecodeGifImage(ProgressBlockOf(request), job->file, minCodeSize, buffers, writer)) {
        case GifDecodeOutcome::Finished:
            if (empty != nullptr && writer->Untouched()) {
                *empty = true;
                return 0;
            }
            [[fallthrough]];
        case GifDecodeOutcome::DataEnded:
            // An image cut off after some pixels is delivered with what it has; one without a
            // single pixel is not an image.
            if (writer->Untouched()) return QOR_READ_FAILED;
            // Pixels of a partly filled last byte go where the row order puts them, also when
            // the data ended early.
            writer->AlignPartialByte();
            return 0;
        case GifDecodeOutcome::Cancelled:
            return QOR_CANCELLED;
        case GifDecodeOutcome::Overflow:
        case GifDecodeOutcome::BadCode:
            return QOR_GIF_CODE_OVERFLOW;
        case GifDecodeOutcome::ReadError:
            return QOR_READ_FAILED;
        case GifDecodeOutcome::BadCodeSize:
            break;
    }
    return QOR_NOT_GIF;
}

// ---- Extended reads: every frame a layer of the logical screen's size ----
//
// The layers show the animation as Pillow (9.4) shows its frames converted to RGB:
// - The first layer starts as the first frame's transparent index over the whole screen, or as
//   index 0 when that frame has none; not as the screen's background index.
// - Disposal 2 restores the frame's place to its own transparent index, or else to the screen's
//   background index (0 without a global table), in the colours of the frame's own table.
// - Disposal 3 restores the frame's place as it was before the frame. A first frame without a
//   transparent index has no such state and is kept.
// - Disposal 0, 1 and the undefined 4 to 7 keep the frame.
// - Pixels of the transparent index, and those that got no data in a frame cut short, leave the
//   layer as the frames before made it.
// A frame is cut to the screen. Layers are 8-bit DIBs of the global table when no frame has a
// table of its own, 24-bit ones otherwise.

// A frame as the composition takes it from its blocks.
struct FrameFacts {
    gif::ImageLayout layout;
    std::int16_t transparent = -1;
    std::uint8_t disposal = 0;       // of the last graphic control extension before it
    std::uint32_t dataOffset = 0;    // of its code size byte
    std::uint8_t rgb[3 * 256] = {};  // its colour table (its own, else the global one)
};

// What a frame leaves to the next layer: the part of the screen that its disposal restores.
struct Disposal {
    std::uint8_t method = 0;  // 2 or 3, else nothing is restored
    gif::LayerRect rect;
    std::uint8_t value[3] = {};  // method 2: an index, or a colour as blue, green and red
};

// The layers made so far: freed unless the host takes them.
struct Layers {
    std::vector<HGLOBAL> dibs;
    Layers() = default;
    Layers(const Layers&) = delete;
    Layers& operator=(const Layers&) = delete;
    ~Layers() {
        for (HGLOBAL h : dibs) plat::GlobalFree(h);
    }
};

// No further frame: the file ends, or its blocks do.
constexpr std::int16_t kNoMoreFrames = -1;

// Walks from the data of `frame` to the next image and takes its facts into *frame, leaving the
// input at its data. 0; kNoMoreFrames at a trailer, the end of the data or a byte that starts no
// block (where a description stops counting frames); or the status that refuses the image.
std::int16_t NextFrame(gif::BlockInput* in, const gif::Screen& screen, const std::uint8_t* global,
                       FrameFacts* frame) {
    if (!in->Seek(static_cast<std::int32_t>(frame->dataOffset)) || !gif::SkipImageData(in)) {
        return kNoMoreFrames;
    }
    gif::Block block;
    frame->transparent = -1;
    frame->disposal = 0;
    for (;;) {
        const gif::BlockKind kind = gif::NextBlock(in, &block);
        if (kind == gif::BlockKind::kImage) break;
        if (kind != gif::BlockKind::kExtension) return kNoMoreFrames;
        if (block.label != gif::kGraphicControlLabel) continue;
        frame->disposal = static_cast<std::uint8_t>((block.control[0] >> 2) & 7);
        if (block.transparentIndex >= 0) frame->transparent = block.transparentIndex;
    }
    gif::ImageLayout& layout = frame->layout;
    if (std::int16_t status = gif::LayOutImage(screen, block.descriptor, &layout)) return status;
    std::memcpy(frame->rgb, global, sizeof frame->rgb);
    if (layout.hasLocalTable) {
        std::memset(frame->rgb, 0, sizeof frame->rgb);
        if (!in->Read(frame->rgb, 3 * layout.localTableEntries)) return QOR_READ_FAILED;
    }
    frame->dataOffset = in->Offset();
    std::uint8_t codeSize = 0;
    return gif::CheckDataStart(in, &codeSize);
}

// Whether one of the `most` images after the current one (whose data starts at the input's
// position) has a colour table of its own, as far as NextFrame would walk. The input is moved
// back. 0, or 202 when it cannot be.
std::int16_t OwnTableAhead(gif::BlockInput* in, std::uint32_t most, bool* found) {
    const std::uint32_t start = in->Offset();
    *found = false;
    gif::Block block;
    bool more = most != 0 && gif::SkipImageData(in);
    for (std::uint32_t seen = 0; more && seen < most && !*found;) {
        const gif::BlockKind kind = gif::NextBlock(in, &block);
        if (kind == gif::BlockKind::kImage) {
            ++seen;
            *found = (block.descriptor[8] & 0x80) != 0;
            more = gif::SkipColorTable(in, block) && gif::SkipImageData(in);
        } else {
            more = kind == gif::BlockKind::kExtension;
        }
    }
    return in->Seek(static_cast<std::int32_t>(start)) ? 0 : QOR_READ_FAILED;
}

// A layer's side: the screen's, or where the screen gives none the far edge of the first frame;
// cut to the largest DIB side.
std::uint32_t LayerSide(std::uint32_t screen, std::uint32_t place, std::uint32_t size) {
    const std::uint32_t side = screen != 0 ? screen : place + size;
    return side < kMaxDibSide ? side : kMaxDibSide;
}

// Composes every frame from `frame` (the first, its data at the input's position) into a layer
// of its own in *layers. A failure of the first frame, a cancel and memory (the layers past
// `scope`'s budget) fail the read; another frame that cannot be decoded ends the layers before it,
// and its number (1 = first) goes to *stoppedAt.
std::int16_t ComposeFrames(GifReadJob* job, ImageIoRequest* request, const gif::Screen& screen,
                           const std::uint8_t* global, FrameFacts* frame, const ReadScope& scope,
                           Layers* layers, std::vector<PageEnd>* ended, std::uint32_t* stoppedAt) {
    const std::uint32_t most = scope.pageCount == 1 ? 1 : host::kMaxLayers;
    bool ownTables = frame->layout.hasLocalTable;
    if (!ownTables) {
        if (std::int16_t status = OwnTableAhead(&job->in, most - 1, &ownTables)) return status;
    }
    const std::uint32_t bits = ownTables ? 24 : 8;
    const std::uint32_t width = LayerSide(screen.Width(), frame->layout.left, frame->layout.width);
    const std::uint32_t height =
        LayerSide(screen.Height(), frame->layout.top, frame->layout.height);
    const std::uint64_t layerBytes = DibSize(width, height, bits);
    const std::uint64_t budget = scope.Budget();
    if (layerBytes > plat::kMaxBlockSize) return QOR_NO_MEMORY;

    plat::LockedBlock rows, saved;  // the frame's indices; the place that disposal 3 restores
    std::uint64_t rowCapacity = 0, held = 0;
    Disposal last;
    std::uint8_t colours[3 * 256];  // the frame's table as blue, green, red
    for (std::uint32_t index = 0;; ++index) {
        const gif::ImageLayout& l = frame->layout;
        const std::uint64_t stride = DibStride(l.width, 8);
        if (stride * l.height > rowCapacity) {
            if (!rows.Allocate(stride * l.height)) return QOR_NO_MEMORY;
            rowCapacity = stride * l.height;
        }
        gif::GifRowWriter writer;
        writer.Start(rows.data(), stride, static_cast<std::int16_t>(l.width),
                     static_cast<std::int16_t>(l.height), 8, l.interlaced);
        // A later frame of no pixels whose data ends properly draws nothing, and the frames after
        // it go on (Pillow, told to take damaged frames, shows them too). A first frame without a
        // pixel is no image, as in the classic read: a tiny file does not get a blank screen of
        // the size it claims.
        bool empty = false;
        const std::int16_t decoded =
            DecodeImageData(job, request, &writer, index == 0 ? nullptr : &empty);
        if (decoded != 0) {
            if (index == 0 || decoded == QOR_CANCELLED || decoded == QOR_NO_MEMORY) return decoded;
            if (stoppedAt != nullptr) *stoppedAt = index + 1;
            return 0;
        }

        if (layerBytes > budget - held) return QOR_NO_MEMORY;
        const HGLOBAL dib =
            plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, layerBytes);
        if (dib == 0) return QOR_NO_MEMORY;
        layers->dibs.push_back(dib);
        auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
        if (p == nullptr) return QOR_NO_MEMORY;
        held += layerBytes;
        for (std::uint32_t i = 0; bits == 24 && i < 256; ++i) {
            colours[3 * i] = frame->rgb[3 * i + 2];
            colours[3 * i + 1] = frame->rgb[3 * i + 1];
            colours[3 * i + 2] = frame->rgb[3 * i];
        }
        const std::uint8_t* const table = bits == 24 ? colours : nullptr;
        // The bytes of a pixel of index i: i itself in an 8-bit layer, its colour in a 24-bit one.
        std::uint8_t indexByte = 0;
        auto valueOf = [&](std::uint8_t i) -> const std::uint8_t* {
            indexByte = i;
            return table != nullptr ? table + 3 * i : &indexByte;
        };

        DibView layer;
        if (index == 0) {
            layer = WriteDibHeader(p, width, height, bits);
            for (std::uint32_t i = 0; i < layer.colours; ++i) {
                std::uint8_t* quad = layer.palette + 4 * i;
                quad[0] = global[3 * i + 2];
                quad[1] = global[3 * i + 1];
                quad[2] = global[3 * i];
            }
            // The block starts cleared: index 0, or black.
            const auto start =
                static_cast<std::uint8_t>(frame->transparent >= 0 ? frame->transparent : 0);
            const std::uint8_t* value = valueOf(start);
            if (std::any_of(value, value + bits / 8, [](std::uint8_t b) { return b != 0; })) {
                gif::FillRect(layer, {0, 0, width, height}, value);
            }
        } else {
            const HGLOBAL before = layers->dibs[index - 1];
            const void* q = plat::GlobalLock(before);
            if (q == nullptr) {
                plat::GlobalUnlock(dib);
                return QOR_NO_MEMORY;
            }
            std::memcpy(p, q, static_cast<std::size_t>(layerBytes));  // below kMaxBlockSize
            plat::GlobalUnlock(before);
            ViewDib(p, layerBytes, &layer);
            if (last.method == 2) gif::FillRect(layer, last.rect, last.value);
            if (last.method == 3) gif::RestoreRect(layer, last.rect, saved.data());
        }

        last = Disposal{};
        last.rect = gif::CoveredRect(layer, l.left, l.top, l.width, l.height);
        if (frame->disposal == 2) {
            last.method = 2;
            const auto restored =
                static_cast<std::uint8_t>(frame->transparent >= 0   ? frame->transparent
                                          : screen.HasGlobalTable() ? screen.header[11]
                                                                    : 0);
            std::memcpy(last.value, valueOf(restored), bits / 8);
        } else if (frame->disposal == 3 && (index != 0 || frame->transparent >= 0) &&
                   index + 1 < most) {
            // Saved only for a layer that will follow it.
            last.method = 3;
            if (!saved.Allocate(gif::RectBytes(layer, last.rect) + 1)) {
                plat::GlobalUnlock(dib);
                return QOR_NO_MEMORY;
            }
            gif::SaveRect(layer, last.rect, saved.data());
        }
        gif::DrawFrame(layer, l.left, l.top, writer, frame->transparent, table);
        plat::GlobalUnlock(dib);
        const std::int32_t blank = writer.FirstUnfilledRow();
        if (ended != nullptr && !empty && blank < writer.Height() &&
            l.top + static_cast<std::uint32_t>(blank) < height) {
            ended->push_back({index + 1, l.top + static_cast<std::uint32_t>(blank)});
        }
        ReportProgress(request, 100, 100);

        if (index + 1 >= most) return 0;
        const std::int16_t next = NextFrame(&job->in, screen, global, frame);
        if (next == kNoMoreFrames) return 0;
        if (next != 0) {
            if (stoppedAt != nullptr) *stoppedAt = index + 2;
            return 0;
        }
    }
}

// Layers of the global table's indices are delivered at the least depth that holds its entries
// (2: 1 bit; up to 16: 4 bits), not at the colour resolution that the screen states, which
// writers set to 8 bits for two-colour images too. When a pixel of any layer names an entry
// past that depth (an index the table does not hold), every layer stays at 8 bits, so that the
// layers of a read share one depth. Each layer is packed in place: its rows and table only move
// towards the front of the block, which then shrinks.
void NarrowLayers(Layers* layers, std::uint32_t tableEntries) {
    const std::uint32_t bits = tableEntries <= 2 ? 1 : tableEntries <= 16 ? 4 : 8;
    if (bits == 8 || layers->dibs.empty()) return;
    const std::uint32_t limit = 1u << bits;
    for (HGLOBAL dib : layers->dibs) {
        auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
        if (p == nullptr) return;
        DibView v;
        bool fits = ViewDib(p, plat::GlobalSize(dib), &v) && v.bits == 8;
        for (std::uint32_t y = 0; fits && y < v.height; ++y) {
            const std::uint8_t* row = v.Row(y);
            fits = std::all_of(row, row + v.width, [&](std::uint8_t i) { return i < limit; });
        }
        plat::GlobalUnlock(dib);
        if (!fits) return;
    }
    const std::uint32_t perByte = 8 / bits;
    for (HGLOBAL& dib : layers->dibs) {
        auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
        if (p == nullptr) continue;  // stays 8-bit, as it was
        DibView wide;
        ViewDib(p, plat::GlobalSize(dib), &wide);
        std::uint8_t table[4 * 16];
        std::memcpy(table, wide.palette, 4 * limit);
        const std::uint64_t stride = DibStride(wide.width, bits);
        const std::uint8_t* const from = p + wide.pixelOffset;
        std::uint8_t* const to = p + kDibHeaderSize + 4ull * limit;
        // Rows in the order they are stored: each packed row lies at or before its wide one.
        for (std::uint32_t y = 0; y < wide.height; ++y) {
            const std::uint8_t* in = from + std::uint64_t{y} * wide.stride;
            std::uint8_t* out = to + std::uint64_t{y} * stride;
            for (std::uint64_t b = 0; b < stride; ++b) {
                std::uint8_t packed = 0;
                for (std::uint32_t k = 0; k < perByte; ++k) {
                    const std::uint64_t x = b * perByte + k;
                    const std::uint8_t index = x < wide.width ? in[x] : 0;
                    packed = static_cast<std::uint8_t>(packed | index << (8 - bits * (k + 1)));
                }
                out[b] = packed;
            }
        }
        const DibView narrow = WriteDibHeader(p, wide.width, wide.height, bits);
        std::memcpy(narrow.palette, table, 4 * limit);
        plat::GlobalUnlock(dib);
        // A failed shrink keeps the larger block, which holds the same rows.
        const HGLOBAL shrunk =
            plat::GlobalReAlloc(dib, DibSize(wide.width, wide.height, bits), plat::GMEM_MOVEABLE);
        if (shrunk != 0) dib = shrunk;
    }
}

// Hands the layers to the host as one document. On failure the host's layer block is freed, and
// the layers stay in *layers to be freed.
std::int16_t DeliverLayers(ImageIoRequest* request, Layers* layers) {
    const auto count = static_cast<std::uint32_t>(layers->dibs.size());
    std::int16_t status = host::ReserveLayers(request, count, 1);
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        status = host::AssignLayerBitmap(request, i, i == 0 ? 1 : 0, layers->dibs[i], 0);
    }
    if (status != 0) {
        if (request->layerBlock != 0) plat::GlobalFree(request->layerBlock);
        request->layerBlock = 0;
        request->layerCount = 0;
        return status;
    }
    request->multiPage = count != 1 ? 1 : 0;
    layers->dibs.clear();
    return 0;
}

// A walk's watch that keeps the packed fields of the last graphic control extension.
struct ControlWatch : gif::ExtensionWatch {
    std::uint8_t packed = 0;
};

void SeeControl(gif::ExtensionWatch* base, const gif::Block& block) {
    if (block.label == gif::kGraphicControlLabel) {
        static_cast<ControlWatch*>(base)->packed = block.control[0];
    }
}

}  // namespace

std::int16_t ReadGifWorker(ImageIoRequest* request, std::vector<PageEnd>* ended,
                           std::uint32_t* stoppedAt, const ReadScope* scope) {
    const bool extended = scope != nullptr && scope->extended;
    if (std::int16_t status = BeginWork(request)) return status;
    request->layerCount = 0;
    request->layerBlock = 0;
    request->transparentIndex = -1;
    // Every block the read takes counts against its budget (the layers, the area that disposal 3
    // restores, the decoder's tables); the DIBs it delivers stop counting when it ends.
    plat::ReadMeter meter(scope != nullptr ? scope->Budget() : plat::ReadBudget());
    const plat::MeterScope metered(&meter);

    GifReadJob job;
    job.file = plat::_lopen(request->fileName, 0);
    if (job.file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;

    // Header and logical screen descriptor, at offset 0 or after a 128-byte prefix.
    gif::Screen screen;
    if (std::int16_t status = gif::ReadScreen(&job.in, &screen)) return job.Fail(status);

    if (!job.colors.AllocateAndLock(kColorBufferSize)) return job.Fail(QOR_NO_MEMORY);
    std::uint8_t* const colorTable = job.colors.Bytes();
    std::uint32_t tableEntries = screen.GlobalTableEntries();  // zero (black) without a table
    if (screen.HasGlobalTable() && !job.in.Read(colorTable, 3 * tableEntries)) {
        return job.Fail(QOR_READ_FAILED);
    }

    // A file whose trailer comes before any image has nothing to read: delivering its logical
    // screen, blank, would let a 20-byte file claim a gigabyte.
    // The record is packed: its transparent index is taken through a local.
    gif::Block block;
    std::int16_t transparentIndex = -1;
    ControlWatch watch;
    watch.seen = SeeControl;
    const std::int16_t walked =
        gif::FindFirstImage(&job.in, &block, &transparentIndex, extended ? &watch : nullptr);
    request->transparentIndex = transparentIndex;
    if (walked != 0) return job.Fail(walked);
    gif::ImageLayout layout;
    if (std::int16_t status = gif::LayOutImage(screen, block.descriptor, &layout)) {
        return job.Fail(status);
    }
    const bool interlaced = layout.interlaced;
    const std::uint8_t bits = layout.bits;
    const gif::GifGeometry& geometry = layout.geometry;
    const auto colours = static_cast<std::uint32_t>(geometry.paletteSize);

    request->infoWidth = layout.width;
    request->infoHeight = layout.height;
    request->infoVersion = static_cast<std::uint16_t>(screen.header[4] - '0');
    request->infoEncoding = interlaced ? 1 : 0;
    request->infoColorCount = colours;
    request->infoBitsPerSample = bits;
    request->infoBitsPerSample2 = bits;
    request->infoSamplesPerPixel = 1;
    request->infoSamplesPerPixel2 = 1;
    request->infoImageBytes = static_cast<std::uint32_t>(geometry.pixelBytes);
    request->infoFileSize = plat::GetFileSize(job.file, nullptr);

    // An extended read keeps the global table for the frames after the first.
    std::uint8_t global[3 * 256] = {};
    if (extended) std::memcpy(global, colorTable, sizeof global);
    if (layout.hasLocalTable) {
        tableEntries = layout.localTableEntries;
        if (!job.in.Read(colorTable, 3 * tableEntries)) return job.Fail(QOR_READ_FAILED);
    }
    const std::uint32_t dataOffset = job.in.Offset();

    // The image gets its DIB only when its data starts with a valid code size and a sub-block
    // that holds something: a small file that claims a large image and has no data costs no
    // block of the claimed size.
    std::uint8_t codeSize = 0;
    if (std::int16_t status = gif::CheckDataStart(&job.in, &codeSize)) return job.Fail(status);

    if (extended) {
        FrameFacts first;
        first.layout = layout;
        first.transparent = transparentIndex;
        first.disposal = static_cast<std::uint8_t>((watch.packed >> 2) & 7);
        first.dataOffset = dataOffset;
        std::memcpy(first.rgb, colorTable, 3 * tableEntries);  // black past its entries
        Layers layers;
        std::int16_t status =
            ComposeFrames(&job, request, screen, global, &first, *scope, &layers, ended, stoppedAt);
        job.FreeAll();
        if (status == 0) NarrowLayers(&layers, screen.GlobalTableEntries());
        if (status == 0) status = DeliverLayers(request, &layers);
        return status;
    }

    const std::uint64_t budget = scope != nullptr ? scope->Budget() : plat::ReadBudget();
    if (geometry.dibBytes > budget || !job.dib.AllocateAndLock(geometry.dibBytes)) {
        return job.Fail(QOR_NO_MEMORY);
    }
    const DibView view = WriteDibHeader(job.dib.address, layout.width, layout.height, bits);
    // The palette holds 2^bits entries; a larger table is cut to that.
    std::uint32_t entries = tableEntries < colours ? tableEntries : colours;
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint8_t* quad = view.palette + 4 * i;
        quad[0] = colorTable[3 * i + 2];
        quad[1] = colorTable[3 * i + 1];
        quad[2] = colorTable[3 * i];
        quad[3] = 0;
    }

    gif::GifRowWriter writer;
    writer.Start(view.pixels, view.stride, static_cast<std::int16_t>(view.width),
                 static_cast<std::int16_t>(view.height), static_cast<std::uint8_t>(view.bits),
                 interlaced);
    std::int16_t status = DecodeImageData(&job, request, &writer);
    if (status != 0) return job.Fail(status);
    if (ended != nullptr && writer.FirstUnfilledRow() < writer.Height()) {
        ended->push_back({1, static_cast<std::uint32_t>(writer.FirstUnfilledRow())});
    }

    ReportProgress(request, 100, 100);
    job.prefix.Free();
    job.stack.Free();
    job.suffix.Free();
    job.colors.Free();
    job.readBuffer.Free();
    job.places.Free();
    job.dib.Unlock();
    job.CloseFile();
    HGLOBAL handle = job.dib.handle;
    job.dib.handle = 0;
    status = host::CreateLayerFromBitmap(request, handle, 0);
    if (status != 0) plat::GlobalFree(handle);
    return status;
}

}  // namespace qor
