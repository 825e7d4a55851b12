// The GIF reader: header, colour tables and extension blocks, the DIB of the first image, its
// decode and the hand-off to the host.
#include <cstring>

#include "gif/gif_decode.h"
#include "host/host.h"
#include "platform/bytes.h"
#include "platform/dib.h"
#include "record/request.h"

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
constexpr std::uint8_t kGraphicControlLabel = 0xF9;

// The blocks before the image data are read through this buffer, so that the small fields of
// extensions cost no system call each. Before the image data the file is moved back to the
// first byte not used, where the decoder's own aligned reads begin. A read that comes up short
// only means that the next one goes on from there; the end of the file or a failed read ends
// the data.
class HeaderInput {
  public:
    explicit HeaderInput(HFILE* file) : file_(file) {}

    // Copies the next `count` bytes to `out`. Returns false when the data ends first.
    bool Read(void* out, std::uint32_t count) {
        auto* to = static_cast<std::uint8_t*>(out);
        while (count > 0) {
            if (index_ == fill_) {
                index_ = fill_ = 0;
                if (!Refill()) return false;
            }
            std::uint32_t n = fill_ - index_ < count ? fill_ - index_ : count;
            std::memcpy(to, bytes_ + index_, n);
            index_ += n;
            to += n;
            count -= n;
        }
        return true;
    }

    // The next `count` bytes (at most the buffer's size) without taking them, or nullptr when
    // the data ends first.
    const std::uint8_t* Ahead(std::uint32_t count) {
        while (fill_ - index_ < count) {
            std::memmove(bytes_, bytes_ + index_, fill_ - index_);
            fill_ -= index_;
            index_ = 0;
            if (!Refill()) return nullptr;
        }
        return bytes_ + index_;
    }

    // Moves the file to `offset` from its start.
    bool Seek(std::int32_t offset) {
        index_ = fill_ = 0;
        return plat::_llseek(*file_, offset, 0) == offset;
    }
    // Moves the file back to the first byte not used.
    bool GiveBack() {
        auto unused = static_cast<std::int32_t>(fill_ - index_);
        index_ = fill_ = 0;
        return unused == 0 || plat::_llseek(*file_, -unused, 1) >= 0;
    }

  private:
    static constexpr std::uint32_t kSize = 4096;
    // Reads what fits after the bytes held. Returns false at the end or on a failure.
    bool Refill() {
        std::int32_t got = plat::_lread(*file_, bytes_ + fill_, kSize - fill_);
        if (got <= 0) return false;
        fill_ += static_cast<std::uint32_t>(got);
        return true;
    }
    HFILE* file_;
    std::uint32_t fill_ = 0;   // bytes in the buffer
    std::uint32_t index_ = 0;  // the next one to hand out
    std::uint8_t bytes_[kSize];
};

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
    HeaderInput in{&file};
    Block colors;  // colour table, extension scratch area, then the sub-block data area
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

// Reads `count` sub-block bytes into the scratch area.
bool ReadScratch(GifReadJob* job, std::uint32_t count) {
    return job->in.Read(job->colors.Bytes() + kScratchOffset, count);
}

// Skips data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks(GifReadJob* job) {
    for (;;) {
        std::uint8_t size = 0;
        if (!job->in.Read(&size, 1)) return false;
        if (size == 0) return true;
        if (!ReadScratch(job, size)) return false;
    }
}

// One extension, just after its '!': reads the label and its blocks. Returns 0 or 202. Labels
// other than the graphic control extension are skipped whole, known or not, as GIF89a asks of a
// decoder: plain text, application and comment extensions, and whatever later versions add.
std::int16_t ReadExtension(GifReadJob* job, ImageIoRequest* request) {
    std::uint8_t label = 0;
    if (!job->in.Read(&label, 1)) return QOR_READ_FAILED;
    if (label != kGraphicControlLabel) return SkipSubBlocks(job) ? 0 : QOR_READ_FAILED;
    std::uint8_t size = 0;
    if (!job->in.Read(&size, 1) || !ReadScratch(job, size)) return QOR_READ_FAILED;
    const std::uint8_t* data = job->colors.Bytes() + kScratchOffset;
    // The transparent index is the fourth data byte: a shorter block names none.
    if (size >= 4 && (data[0] & 0x01) != 0) request->transparentIndex = data[3];
    std::uint8_t terminator = 0;
    return job->in.Read(&terminator, 1) ? 0 : QOR_READ_FAILED;
}

// Walks the blocks before the first image until its descriptor. Returns 0, 202 or 304 (also for
// a trailer, since a file without an image has nothing to read).
std::int16_t FindImageDescriptor(GifReadJob* job, ImageIoRequest* request,
                                 std::uint8_t* descriptor) {
    for (;;) {
        if (!job->in.Read(descriptor, 1)) return QOR_READ_FAILED;
        if (descriptor[0] == kImageIntroducer) {
            return job->in.Read(descriptor + 1, kBlockBytes - 1) ? 0 : QOR_READ_FAILED;
        }
        if (descriptor[0] != kExtensionIntroducer) return QOR_NOT_GIF;
        if (std::int16_t status = ReadExtension(job, request)) return status;
    }
}

// Decodes the image data that follows the descriptor (and any local table) into the rows of
// `view`. Returns 0, a failure status, or kNoPixels when the data ends before the first pixel.
// An image whose data ends before its last pixel is noted in `ended`, when given.
constexpr std::int16_t kNoPixels = -1;

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
    if (!job->in.Read(blockData, 1)) return kNoPixels;
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
            if (writer.Untouched()) return kNoPixels;
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

std::int16_t ReadGifWorker(ImageIoRequest* request, std::vector<PageEnd>* ended) {
    if (std::int16_t status = BeginWork(request)) return status;
    request->layerCount = 0;
    request->layerBlock = 0;
    request->transparentIndex = -1;

    GifReadJob job;
    job.file = plat::_lopen(request->fileName, 0);
    if (job.file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;

    // Header and logical screen descriptor, at offset 0 or after a 128-byte prefix.
    std::uint8_t header[kHeaderBytes];
    if (!job.in.Read(header, kHeaderBytes)) return job.Fail(QOR_READ_FAILED);
    if (!HasGifSignature(header)) {
        if (!job.in.Seek(kAlternateSignatureOffset) || !job.in.Read(header, kHeaderBytes)) {
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
    if ((screenFlags & 0x80) != 0 && !job.in.Read(colorTable, 3 * tableEntries)) {
        return job.Fail(QOR_READ_FAILED);
    }

    // A file whose trailer comes before any image has nothing to read: delivering its logical
    // screen, blank, would let a 20-byte file claim a gigabyte.
    std::uint8_t descriptor[kBlockBytes] = {};
    if (std::int16_t status = FindImageDescriptor(&job, request, descriptor)) {
        return job.Fail(status);
    }

    // Width and height as signed 16-bit values; zero in the descriptor means the screen's.
    const auto givenWidth = static_cast<std::int16_t>(LoadLE16(descriptor + 5));
    const auto givenHeight = static_cast<std::int16_t>(LoadLE16(descriptor + 7));
    const std::int16_t width =
        givenWidth != 0 ? givenWidth : static_cast<std::int16_t>(LoadLE16(header + 6));
    const std::int16_t height =
        givenHeight != 0 ? givenHeight : static_cast<std::int16_t>(LoadLE16(header + 8));
    // The row writer works with 1 to 32767 columns and rows.
    if (width <= 0 || height <= 0) return job.Fail(QOR_NOT_GIF);
    // An image whose descriptor gives it no width or no height takes the screen's; like any
    // other, it must then hold at least one pixel.

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
    request->infoImageBytes = static_cast<std::uint32_t>(geometry.pixelBytes);
    request->infoFileSize = plat::GetFileSize(job.file, nullptr);

    if (hasLocalTable) {
        tableEntries = 1u << localTableBits;
        if (!job.in.Read(colorTable, 3 * tableEntries)) return job.Fail(QOR_READ_FAILED);
    }

    // The image gets its DIB only when its data starts with a valid code size and a sub-block
    // that holds something: a small file that claims a large image and has no data costs no
    // block of the claimed size.
    const std::uint8_t* start = job.in.Ahead(1);
    if (start != nullptr && (start[0] < gif::kMinCodeSizeLow || start[0] > gif::kMinCodeSizeHigh)) {
        return job.Fail(QOR_NOT_GIF);
    }
    start = job.in.Ahead(3);
    if (start == nullptr || start[1] == 0) return job.Fail(QOR_READ_FAILED);

    if (!job.dib.AllocateAndLock(geometry.dibBytes)) return job.Fail(QOR_NO_MEMORY);
    const DibView view = WriteDibHeader(job.dib.address, static_cast<std::uint32_t>(width),
                                        static_cast<std::uint32_t>(height), bits);
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
    // An image without a single pixel is data that ended early.
    if (status == kNoPixels) status = QOR_READ_FAILED;
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
