// The GIF reader: header, colour tables and extension blocks, the DIB of the first image, its
// decode and the hand-off to the host.
#include <cstring>

#include "gif/blocks.h"
#include "gif/gif_decode.h"
#include "host/host.h"
#include "platform/dib.h"
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
    std::int16_t Fail(std::int16_t status) {
        prefix.Free();
        stack.Free();
        suffix.Free();
        colors.Free();
        readBuffer.Free();
        places.Free();
        dib.Free();
        CloseFile();
        return status;
    }
};

// Decodes the image data that follows the descriptor (and any local table) into the rows of
// `view`. Returns 0 or a failure status: 202 also when the data ends before the first pixel,
// since an image without a single pixel is data that ended early. An image whose data ends
// before its last pixel is noted in `ended`, when given.
std::int16_t DecodeImageData(GifReadJob* job, ImageIoRequest* request, const DibView& view,
                             bool interlaced, std::vector<PageEnd>* ended) {
    const bool decoderReady =
        job->prefix.AllocateAndLock(gif::kLzwTableEntries * 2) &&
        job->stack.AllocateAndLock(gif::kLzwTableEntries) &&
        job->suffix.AllocateAndLock(gif::kLzwTableEntries) &&
        job->readBuffer.AllocateAndLock(gif::kGifReadBlock) &&
        job->places.AllocateAndLock(gif::kLzwTableEntries * sizeof(gif::GifStringPlace));
    if (!decoderReady) return QOR_NO_MEMORY;

    // The LZW minimum code size, read into the front of the colour buffer, which from here on
    // holds the current sub-block.
    std::uint8_t* const blockData = job->colors.Bytes();
    if (!job->in.Read(blockData, 1)) return QOR_READ_FAILED;
    // The decoder reads on from the first byte that the buffer has not used.
    if (!job->in.GiveBack()) return QOR_READ_FAILED;
    const std::uint8_t minCodeSize = blockData[0];

    gif::GifRowWriter writer;
    writer.Start(view.pixels, view.stride, static_cast<std::int16_t>(view.width),
                 static_cast<std::int16_t>(view.height), static_cast<std::uint8_t>(view.bits),
                 interlaced);
    gif::GifDecoderBuffers buffers;
    buffers.prefix = static_cast<std::uint16_t*>(job->prefix.address);
    buffers.stack = job->stack.Bytes();
    buffers.suffix = job->suffix.Bytes();
    buffers.readBuffer = job->readBuffer.Bytes();
    buffers.blockData = blockData;
    buffers.places = static_cast<gif::GifStringPlace*>(job->places.address);

    switch (
        gif::DecodeGifImage(ProgressBlockOf(request), job->file, minCodeSize, buffers, &writer)) {
        case GifDecodeOutcome::Finished:
        case GifDecodeOutcome::DataEnded:
            // An image cut off after some pixels is delivered with what it has; one without a
            // single pixel is not an image.
            if (writer.Untouched()) return QOR_READ_FAILED;
            // Pixels of a partly filled last byte go where the row order puts them, also when
            // the data ended early.
            writer.AlignPartialByte();
            if (ended != nullptr && writer.FirstUnfilledRow() < writer.Height()) {
                ended->push_back({1, static_cast<std::uint32_t>(writer.FirstUnfilledRow())});
            }
            return 0;
        case GifDecodeOutcome::Cancelled:
            return QOR_CANCELLED;
        case GifDecodeOutcome::Overflow:
            return QOR_GIF_CODE_OVERFLOW;
        case GifDecodeOutcome::ReadError:
            return QOR_READ_FAILED;
        case GifDecodeOutcome::BadCodeSize:
            break;
    }
    return QOR_NOT_GIF;
}

}  // namespace

std::int16_t ReadGifWorker(ImageIoRequest* request, std::vector<PageEnd>* ended,
                           const ReadScope* scope) {
    if (std::int16_t status = BeginWork(request)) return status;
    request->layerCount = 0;
    request->layerBlock = 0;
    request->transparentIndex = -1;

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
    const std::int16_t walked = gif::FindFirstImage(&job.in, &block, &transparentIndex);
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

    if (layout.hasLocalTable) {
        tableEntries = layout.localTableEntries;
        if (!job.in.Read(colorTable, 3 * tableEntries)) return job.Fail(QOR_READ_FAILED);
    }

    // The image gets its DIB only when its data starts with a valid code size and a sub-block
    // that holds something: a small file that claims a large image and has no data costs no
    // block of the claimed size.
    std::uint8_t codeSize = 0;
    if (std::int16_t status = gif::CheckDataStart(&job.in, &codeSize)) return job.Fail(status);

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

    std::int16_t status = DecodeImageData(&job, request, view, interlaced, ended);
    if (status != 0) return job.Fail(status);

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
