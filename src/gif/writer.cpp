// The GIF writer: one packed DIB of 1, 4 or 8 bits per pixel becomes a single-image GIF file,
// version 87a, or 89a with a graphic control extension when transparency is asked for.
//
// The file goes through the atomic-file writer: a failed or cancelled write leaves whatever was
// there before untouched and no partial file behind.
#include <cstring>

#include "gif/gif_interlace.h"
#include "gif/gif_lzw_encoder.h"
#include "gif/gif_writer.h"
#include "platform/atomic_file.h"
#include "platform/locked_block.h"
#include "record/request.h"

namespace qor {
namespace {

constexpr auto kOk = static_cast<std::int16_t>(QOR_OK);
constexpr auto kBadRequest = static_cast<std::int16_t>(QOR_BAD_REQUEST);
constexpr auto kNoMemory = static_cast<std::int16_t>(QOR_NO_MEMORY);
constexpr auto kCreateFailed = static_cast<std::int16_t>(QOR_CREATE_FAILED);
constexpr auto kWriteFailed = static_cast<std::int16_t>(QOR_WRITE_FAILED);

bool WriteAll(plat::HFILE file, const void* data, std::uint32_t count) {
    return plat::_lwrite(file, data, count) == static_cast<std::int32_t>(count);
}

// A file that cannot be created or put in place is 200; one whose data could not be flushed to
// its device is a failed write, 203.
std::int16_t StatusOf(plat::AtomicResult result) {
    switch (result) {
        case plat::AtomicResult::Ok:
            return kOk;
        case plat::AtomicResult::NoMemory:
            return kNoMemory;
        case plat::AtomicResult::WriteFailed:
            return kWriteFailed;
        case plat::AtomicResult::CreateFailed:
        case plat::AtomicResult::RenameFailed:
            break;
    }
    return kCreateFailed;
}

// ---- Writing ----

// Everything after the file is created: the blocks live and die here.
std::int16_t WriteGifStream(ImageIoRequest* request, const DibView& source, plat::HFILE file) {
    const bool transparent = request->writeTransparent != 0;
    const bool interlaced = request->writeInterlaced != 0;
    const std::int16_t transparentIndex = request->transparentIndex;
    const std::uint32_t colours = 1u << source.bits;
    const auto minCodeSize = static_cast<std::uint8_t>(source.bits == 1 ? 2 : source.bits);

    // Header and logical screen descriptor.
    std::uint8_t header[13] = {
        'G', 'I', 'F', '8', static_cast<std::uint8_t>(transparent ? '9' : '7'), 'a'};
    StoreLE16(header + 6, static_cast<std::uint32_t>(source.width) & 0xFFFF);
    StoreLE16(header + 8, static_cast<std::uint32_t>(source.height) & 0xFFFF);
    header[10] = source.bits == 1 ? 0x80 : source.bits == 4 ? 0xB3 : 0xF7;
    // Image descriptor: left and top 0, no local colour table.
    std::uint8_t descriptor[10] = {0x2C};
    StoreLE16(descriptor + 5, static_cast<std::uint32_t>(source.width) & 0xFFFF);
    StoreLE16(descriptor + 7, static_cast<std::uint32_t>(source.height) & 0xFFFF);
    descriptor[9] = interlaced ? 0x40 : 0x00;

    plat::LockedBlock outputBlock;
    if (!outputBlock.Allocate(kGifOutputBufferBytes)) return kNoMemory;
    std::uint8_t* const output = outputBlock.data();

    ConvertGifColourTable(source, output);
    bool written = WriteAll(file, header, sizeof header) && WriteAll(file, output, 3 * colours);
    if (written && transparent && transparentIndex >= 0 && transparentIndex <= 255) {
        const std::uint8_t extension[8] = {
            0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(transparentIndex), 0x00};
        std::memcpy(output, extension, sizeof extension);
        written = WriteAll(file, output, sizeof extension);
    }
    written = written && WriteAll(file, descriptor, sizeof descriptor);
    if (!written) return kWriteFailed;

    plat::LockedBlock tableBlock;
    if (!tableBlock.Allocate(GifStringTable::BlockBytes(minCodeSize))) return kNoMemory;
    void* const table = tableBlock.data();

    GifRowReader reader;
    StartGifRowReader(&reader, source, interlaced, ProgressBlockOf(request));
    GifCodePacker packer;
    StartGifCodePacker(&packer, output, file, static_cast<std::uint8_t>(minCodeSize + 1));
    output[0] = minCodeSize;
    std::int16_t status = kWriteFailed;
    if (WriteAll(file, output, 1)) {
        status = EncodeGifImage(&packer, minCodeSize, table, reader);
        if (status == kOk) {
            static constexpr std::uint8_t kTrailer[2] = {0x00, 0x3B};
            if (!WriteAll(file, kTrailer, sizeof kTrailer)) status = kWriteFailed;
        }
    }
    return status;
}

}  // namespace

bool DescribeGifSourceDib(std::uint8_t* dib, std::uint64_t blockSize, DibView* out) {
    DibView view;
    if (!ViewDib(dib, blockSize, &view)) return false;
    if (view.bits != 1 && view.bits != 4 && view.bits != 8) return false;
    // Run-length coded pixels (or any other coding) are not rows that can be read as they lie.
    if (view.compression != 0) return false;
    if (view.width > kMaxDibSide || view.height > kMaxDibSide) return false;
    *out = view;
    return true;
}

void ConvertGifColourTable(const DibView& source, std::uint8_t* triplets) {
    const std::uint32_t colours = 1u << source.bits;
    for (std::uint32_t i = 0; i < colours; ++i) {
        std::uint8_t* t = triplets + 3 * i;
        if (i < source.colours) {
            const std::uint8_t* q = source.palette + 4 * i;  // blue, green, red, 0
            t[0] = q[2];
            t[1] = q[1];
            t[2] = q[0];
        } else {
            t[0] = t[1] = t[2] = 0;
        }
    }
}

void StartGifRowReader(GifRowReader* reader, const DibView& source, bool interlaced,
                       ProgressBlock* progress) {
    reader->pixels = source.pixels;
    reader->stride = static_cast<std::int64_t>(source.stride);
    reader->width = static_cast<std::int16_t>(source.width);
    reader->height = static_cast<std::int16_t>(source.height);
    reader->column = 0;
    reader->r = static_cast<std::int16_t>(source.height - 1);
    reader->pass = 1;
    reader->imageRow = 0;
    reader->bits = static_cast<std::uint8_t>(source.bits);
    reader->interlaced = interlaced;
    reader->progress = progress;
    reader->row = source.Row(0);
}

int GifRowReader::NextSpan(const std::uint8_t** span) {
    if (column == width) {
        if (int status = FinishRow(); status != 0) return status;
    }
    int x = column;
    int count = width - x;
    if (bits == 8) {
        *span = row + x;
    } else {
        if (count > kGifUnpackChunk) count = kGifUnpackChunk;
        for (int i = 0; i < count; ++i, ++x) {
            unpacked[i] = bits == 4
                              ? static_cast<std::uint8_t>((row[x >> 1] >> ((~x & 1) << 2)) & 0x0F)
                              : static_cast<std::uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
        }
        *span = unpacked;
    }
    column = static_cast<std::int16_t>(column + count);
    return count;
}

int GifRowReader::FinishRow() {
    if (imageRow >= height) return kGifEndOfImage;  // asked again after the end
    if (progress != nullptr) {
        auto done = static_cast<std::uint32_t>((std::int32_t{height} - r) * 100 / height);
        if (ReportProgress(progress, done) != 0) return kGifCancelled;
    }
    r = static_cast<std::int16_t>(r - 1);
    imageRow = interlaced ? gif::NextInterlacedRow(imageRow, &pass, height) : imageRow + 1;
    column = 0;
    if (imageRow >= height) {
        pass = 5;
        imageRow = height;
        return kGifEndOfImage;
    }
    row = pixels + stride * (height - 1 - imageRow);
    return 0;
}

std::int16_t WriteGifWorker(ImageIoRequest* request) {
    if (std::int16_t status = BeginWork(request)) return status;
    plat::HGLOBAL dibBlock = request->sourceBitmap;
    if (dibBlock == 0) return kBadRequest;
    // A handle that cannot be locked, or a block too small for what its header claims, is not
    // a DIB that can be written.
    auto* dib = static_cast<std::uint8_t*>(plat::GlobalLock(dibBlock));
    if (dib == nullptr) return kBadRequest;
    DibView source;
    if (!DescribeGifSourceDib(dib, plat::GlobalSize(dibBlock), &source)) {
        plat::GlobalUnlock(dibBlock);
        return kBadRequest;
    }

    plat::AtomicFile out;
    std::int16_t status = StatusOf(plat::BeginAtomicFile(request->fileName, &out));
    if (status == kOk) {
        status = WriteGifStream(request, source, out.file);
        if (status == kOk) {
            status = StatusOf(plat::CommitAtomicFile(&out));
        } else {
            plat::AbortAtomicFile(&out);
        }
    }
    plat::GlobalUnlock(dibBlock);
    if (status == kOk) ReportProgress(request, 100, 100);
    return status;
}

}  // namespace qor
