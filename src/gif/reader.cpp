// The GIF reader: header, colour tables and extension blocks, the DIB of the first image, its
// decode and the hand-off to the host.
#include <cstring>

#include "gif/gif_decode.h"
#include "host/host.h"

namespace qor {

namespace {

using gif::GifDecodeOutcome;

constexpr std::uint32_t kColorBufferSize = 1200;
constexpr std::uint32_t kScratchOffset = 768;  // extension sub-blocks go here
constexpr std::uint32_t kHeaderBytes = 13;
constexpr std::uint32_t kBlockBytes = 10;
constexpr std::int32_t kAlternateSignatureOffset = 128;
constexpr std::uint8_t kImageIntroducer = 0x2C;
constexpr std::uint8_t kExtensionIntroducer = 0x21;
constexpr std::uint8_t kPlainTextLabel = 0x01;
constexpr std::uint8_t kGraphicControlLabel = 0xF9;
constexpr std::uint8_t kCommentLabel = 0xFE;
constexpr std::uint8_t kApplicationLabel = 0xFF;

bool ReadExact(HFILE file, void* out, std::uint32_t count) {
    return plat::_lread(file, out, count) == static_cast<std::int32_t>(count);
}

std::uint16_t LoadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void StoreU16(std::uint8_t* p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}
void StoreU32(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, 4);
}
void StoreI32(std::uint8_t* p, std::int32_t v) {
    std::memcpy(p, &v, 4);
}

bool HasGifSignature(const std::uint8_t* header) {
    return header[0] == 'G' && header[1] == 'I' && header[2] == 'F' && header[3] == '8' &&
           header[5] == 'a';
}

// 1 stays 1, 2 to 4 become 4, 5 to 8 become 8.
std::uint8_t WidenToDibDepth(int bits) {
    return bits <= 1 ? 1 : bits <= 4 ? 4 : 8;
}

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
    Block colors;  // colour table, extension scratch area, then the sub-block data area
    Block dib;
    Block prefix, stack, suffix, readBuffer;

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
        dib.Free();
        CloseFile();
        return status;
    }
};

// Reads `count` sub-block bytes into the scratch area.
bool ReadScratch(GifReadJob* job, std::uint32_t count) {
    return ReadExact(job->file, job->colors.Bytes() + kScratchOffset, count);
}

// Skips data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks(GifReadJob* job) {
    for (;;) {
        std::uint8_t size = 0;
        if (!ReadExact(job->file, &size, 1)) return false;
        if (size == 0) return true;
        if (!ReadScratch(job, size)) return false;
    }
}

// One extension, just after its '!': reads the label and its blocks. Returns 0, 202 or 304.
std::int16_t ReadExtension(GifReadJob* job, ImageIoRequest* request) {
    std::uint8_t label = 0;
    if (!ReadExact(job->file, &label, 1)) return QOR_READ_FAILED;
    switch (label) {
        case kGraphicControlLabel: {
            std::uint8_t size = 0;
            if (!ReadExact(job->file, &size, 1) || !ReadScratch(job, size)) {
                return QOR_READ_FAILED;
            }
            const std::uint8_t* data = job->colors.Bytes() + kScratchOffset;
            // The transparent index is the fourth data byte: a shorter block names none.
            if (size >= 4 && (data[0] & 0x01) != 0) request->transparentIndex = data[3];
            std::uint8_t terminator = 0;
            if (!ReadExact(job->file, &terminator, 1)) return QOR_READ_FAILED;
            return 0;
        }
        case kPlainTextLabel:
        case kApplicationLabel: {
            std::uint8_t size = 0;
            if (!ReadExact(job->file, &size, 1) || !ReadScratch(job, size)) {
                return QOR_READ_FAILED;
            }
            return SkipSubBlocks(job) ? 0 : QOR_READ_FAILED;
        }
        case kCommentLabel:
            return SkipSubBlocks(job) ? 0 : QOR_READ_FAILED;
        default:
            return QOR_NOT_GIF;
    }
}

// Walks the blocks before the first image until its descriptor. Returns 0, 202 or 304.
std::int16_t FindImageDescriptor(GifReadJob* job, ImageIoRequest* request,
                                 std::uint8_t* descriptor) {
    for (;;) {
        if (!ReadExact(job->file, descriptor, kBlockBytes)) return QOR_READ_FAILED;
        if (descriptor[0] == kImageIntroducer) return 0;
        if (descriptor[0] != kExtensionIntroducer) return QOR_NOT_GIF;
        if (plat::_llseek(job->file, -static_cast<std::int32_t>(kBlockBytes - 1), 1) < 0) {
            return QOR_READ_FAILED;
        }
        if (std::int16_t status = ReadExtension(job, request)) return status;
    }
}

void WriteBitmapHeader(std::uint8_t* dib, std::int32_t width, std::int32_t height,
                       std::uint16_t bits, std::uint32_t imageBytes, std::uint32_t colours) {
    StoreU32(dib + 0, 40);
    StoreI32(dib + 4, width);
    StoreI32(dib + 8, height);
    StoreU16(dib + 12, 1);
    StoreU16(dib + 14, bits);
    StoreU32(dib + 16, 0);  // BI_RGB
    StoreU32(dib + 20, imageBytes);
    StoreI32(dib + 24, 0);
    StoreI32(dib + 28, 0);
    StoreU32(dib + 32, colours);
    StoreU32(dib + 36, colours);
}

}  // namespace

std::int16_t ReadGifWorker(ImageIoRequest* request) {
    if (std::int16_t status = BeginWork(request)) return status;
    request->layerCount = 0;
    request->layerBlock = 0;
    request->transparentIndex = -1;

    GifReadJob job;
    job.file = plat::_lopen(request->fileName, 0);
    if (job.file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;

    // Header and logical screen descriptor, at offset 0 or after a 128-byte prefix.
    std::uint8_t header[kHeaderBytes];
    if (!ReadExact(job.file, header, kHeaderBytes)) return job.Fail(QOR_READ_FAILED);
    if (!HasGifSignature(header)) {
        if (plat::_llseek(job.file, kAlternateSignatureOffset, 0) != kAlternateSignatureOffset ||
            !ReadExact(job.file, header, kHeaderBytes)) {
            return job.Fail(QOR_READ_FAILED);
        }
        if (!HasGifSignature(header)) return job.Fail(QOR_NOT_GIF);
    }
    const std::uint8_t screenFlags = header[10];
    const int screenTableBits = (screenFlags & 7) + 1;
    const int colourResolution = ((screenFlags >> 4) & 7) + 1;
    const int screenBits = colourResolution > screenTableBits ? colourResolution : screenTableBits;

    if (!job.colors.AllocateAndLock(kColorBufferSize)) return job.Fail(QOR_NO_MEMORY);
    std::uint8_t* const colorTable = job.colors.Bytes();
    std::uint32_t tableEntries = 1u << screenTableBits;  // zero (black) without a table
    if ((screenFlags & 0x80) != 0 && !ReadExact(job.file, colorTable, 3 * tableEntries)) {
        return job.Fail(QOR_READ_FAILED);
    }

    std::uint8_t descriptor[kBlockBytes];
    if (std::int16_t status = FindImageDescriptor(&job, request, descriptor)) {
        return job.Fail(status);
    }

    // Width and height as signed 16-bit values; zero in the descriptor means the screen's.
    std::int16_t width = static_cast<std::int16_t>(LoadU16(descriptor + 5));
    std::int16_t height = static_cast<std::int16_t>(LoadU16(descriptor + 7));
    if (width == 0) width = static_cast<std::int16_t>(LoadU16(header + 6));
    if (height == 0) height = static_cast<std::int16_t>(LoadU16(header + 8));
    // The row writer works with 1 to 32767 columns and rows.
    if (width <= 0 || height <= 0) return job.Fail(QOR_NOT_GIF);

    const std::uint8_t imageFlags = descriptor[9];
    const bool hasLocalTable = (imageFlags & 0x80) != 0;
    const bool interlaced = (imageFlags & 0x40) != 0;
    const int localTableBits = (imageFlags & 7) + 1;
    // A local table larger than the screen announces widens the DIB so that its indices fit.
    const std::uint8_t bits =
        WidenToDibDepth(hasLocalTable && localTableBits > screenBits ? localTableBits : screenBits);

    gif::GifGeometry geometry;
    if (std::int16_t status =
            gif::ComputeGifGeometry(static_cast<std::uint64_t>(width),
                                    static_cast<std::uint64_t>(height), bits, &geometry)) {
        return job.Fail(status);
    }
    const auto imageBytes = static_cast<std::uint32_t>(geometry.pixelBytes);
    const auto colours = static_cast<std::uint32_t>(geometry.paletteSize);

    request->infoWidth = static_cast<std::uint32_t>(width);
    request->infoHeight = static_cast<std::uint32_t>(height);
    request->infoVersion = static_cast<std::uint16_t>(header[4] - '0');
    request->infoEncoding = interlaced ? 1 : 0;
    request->infoColorCount = colours;
    request->infoBitsPerSample = bits;
    request->infoBitsPerSample2 = bits;
    request->infoSamplesPerPixel = 1;
    request->infoSamplesPerPixel2 = 1;
    request->infoImageBytes = imageBytes;
    request->infoFileSize = plat::GetFileSize(job.file, nullptr);

    if (hasLocalTable) {
        tableEntries = 1u << localTableBits;
        if (!ReadExact(job.file, colorTable, 3 * tableEntries)) return job.Fail(QOR_READ_FAILED);
    }

    if (!job.dib.AllocateAndLock(geometry.dibBytes)) return job.Fail(QOR_NO_MEMORY);
    std::uint8_t* const dib = job.dib.Bytes();
    WriteBitmapHeader(dib, width, height, bits, imageBytes, colours);
    // The palette holds 2^bits entries; a larger table is cut to that.
    std::uint32_t entries = tableEntries < colours ? tableEntries : colours;
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint8_t* quad = dib + 40 + 4 * i;
        quad[0] = colorTable[3 * i + 2];
        quad[1] = colorTable[3 * i + 1];
        quad[2] = colorTable[3 * i];
        quad[3] = 0;
    }

    const bool decoderReady = job.prefix.AllocateAndLock(gif::kLzwTableEntries * 2) &&
                              job.stack.AllocateAndLock(gif::kLzwTableEntries) &&
                              job.suffix.AllocateAndLock(gif::kLzwTableEntries) &&
                              job.readBuffer.AllocateAndLock(gif::kGifReadBlock);
    if (!decoderReady) return job.Fail(QOR_NO_MEMORY);

    // The LZW minimum code size, read into the front of the colour buffer, which from here on
    // holds the current sub-block.
    if (!ReadExact(job.file, colorTable, 1)) return job.Fail(QOR_READ_FAILED);
    const std::uint8_t minCodeSize = colorTable[0];

    gif::GifRowWriter writer;
    writer.Start(dib + 40 + 4 * std::uint64_t{colours}, geometry.stride, width, height, bits,
                 interlaced);
    gif::GifDecoderBuffers buffers;
    buffers.prefix = static_cast<std::uint16_t*>(job.prefix.address);
    buffers.stack = job.stack.Bytes();
    buffers.suffix = job.suffix.Bytes();
    buffers.readBuffer = job.readBuffer.Bytes();
    buffers.blockData = colorTable;

    switch (gif::DecodeGifImage(request, job.file, minCodeSize, buffers, &writer)) {
        case GifDecodeOutcome::Finished:
        case GifDecodeOutcome::DataEnded:
            // Pixels of a partly filled last byte go where the row order puts them, also when
            // the data ended early.
            writer.AlignPartialByte();
            break;
        case GifDecodeOutcome::Cancelled:
            return job.Fail(QOR_CANCELLED);
        case GifDecodeOutcome::Overflow:
            return job.Fail(QOR_GIF_CODE_OVERFLOW);
        case GifDecodeOutcome::ReadError:
            return job.Fail(QOR_READ_FAILED);
        case GifDecodeOutcome::BadCodeSize:
            return job.Fail(QOR_NOT_GIF);
    }

    ReportProgress(request, 100, 100);
    job.prefix.Free();
    job.stack.Free();
    job.suffix.Free();
    job.colors.Free();
    job.readBuffer.Free();
    job.dib.Unlock();
    job.CloseFile();
    HGLOBAL handle = job.dib.handle;
    job.dib.handle = 0;
    std::int16_t status = host::CreateLayerFromBitmap(request, handle, 0);
    if (status != 0) plat::GlobalFree(handle);
    return status;
}

}  // namespace qor
