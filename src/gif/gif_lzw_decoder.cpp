// The GIF LZW decoder: buffered, file-aligned reading of the data sub-blocks, least-significant-
// bit-first code extraction, the string table and the output stack.
#include <cstring>

#include "gif/gif_decode.h"

namespace qor::gif {

namespace {

// The image data as seen through the 10240-byte read buffer.
struct BufferedInput {
    HFILE file;
    std::uint8_t* buffer;
    std::int32_t fill;    // valid bytes in the buffer
    std::int32_t index;   // the next byte to hand out
    bool failed = false;  // a read failed, as opposed to reaching the end of the file
};

// Copies up to `count` bytes through the buffer, refilling it with whole blocks. Returns the
// number of bytes copied, fewer when the file ends or a read fails (then `failed` is set).
std::uint32_t ReadBuffered(BufferedInput* in, std::uint8_t* out, std::uint32_t count) {
    std::uint32_t copied = 0;
    while (copied < count) {
        if (in->index >= in->fill) {
            std::int32_t got = plat::_lread(in->file, in->buffer, kGifReadBlock);
            in->failed = got < 0;
            if (got <= 0) break;
            in->fill = got;
            in->index = 0;
        }
        std::uint32_t take = static_cast<std::uint32_t>(in->fill - in->index);
        if (take > count - copied) take = count - copied;
        std::memcpy(out + copied, in->buffer + in->index, take);
        in->index += static_cast<std::int32_t>(take);
        copied += take;
    }
    return copied;
}

// The first fill reads only up to the next multiple of 10240 in the file, so that every later
// read starts on such a multiple.
bool FirstFill(BufferedInput* in) {
    std::int32_t position = plat::_llseek(in->file, 0, 1);
    if (position < 0) return false;
    if (position > static_cast<std::int32_t>(kGifReadBlock)) {
        position = (position - 1) % static_cast<std::int32_t>(kGifReadBlock) + 1;
    }
    std::int32_t got =
        plat::_lread(in->file, in->buffer, kGifReadBlock - static_cast<std::uint32_t>(position));
    if (got < 0) return false;
    in->fill = got;
    in->index = 0;
    return true;
}

}  // namespace

GifDecodeOutcome DecodeGifImage(ImageIoRequest* request, HFILE file, std::uint8_t minCodeSize,
                                const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    if (minCodeSize < kMinCodeSizeLow || minCodeSize > kMinCodeSizeHigh) {
        return GifDecodeOutcome::BadCodeSize;
    }
    BufferedInput in{file, buffers.readBuffer, 0, 0};
    // Where the data stops: at its end, or at a read that failed.
    auto stopped = [&in] {
        return in.failed ? GifDecodeOutcome::ReadError : GifDecodeOutcome::DataEnded;
    };
    if (!FirstFill(&in)) return GifDecodeOutcome::ReadError;

    std::uint16_t* const prefix = buffers.prefix;
    std::uint8_t* const suffix = buffers.suffix;
    std::uint8_t* const stack = buffers.stack;
    std::uint8_t* const data = buffers.blockData;

    const int initialWidth = minCodeSize + 1;
    const int clearCode = 1 << minCodeSize;
    const int endCode = clearCode + 1;

    // The table starts as a clear code leaves it, so that a stream without a leading clear code
    // decodes its first code as a literal.
    int width = initialWidth;
    int limit = 1 << initialWidth;
    int next = clearCode + 2;
    int oldCode = 0;
    std::uint8_t firstChar = 0;
    bool afterClear = true;

    std::uint32_t bitBuffer = 0;  // pending code bits, least significant first
    int bitCount = 0;

    const bool reportProgress = request->progressBlock.progress != nullptr;
    const std::int32_t height = sink->Height();

    for (;;) {
        if (reportProgress) {
            std::int32_t done = (height - sink->RowsLeft()) * 100 / height;
            if (ReportProgress(request, static_cast<std::uint32_t>(done)) != 0) {
                return GifDecodeOutcome::Cancelled;
            }
        }
        std::uint8_t size = 0;
        if (ReadBuffered(&in, &size, 1) != 1) return stopped();
        // The block terminator ends the image data, also before the end code: what follows
        // belongs to the next block.
        if (size == 0) return GifDecodeOutcome::DataEnded;
        // A short sub-block is not decoded at all.
        if (ReadBuffered(&in, data, size) != size) return stopped();
        for (std::uint32_t i = 0; i < size; ++i) {
            bitBuffer |= std::uint32_t{data[i]} << bitCount;
            bitCount += 8;
            while (bitCount >= width) {
                int code = static_cast<int>(bitBuffer & ((1u << width) - 1));
                bitBuffer >>= width;
                bitCount -= width;

                if (code == endCode) return GifDecodeOutcome::Finished;
                if (code == clearCode) {
                    next = clearCode + 2;
                    width = initialWidth;
                    limit = 1 << initialWidth;
                    afterClear = true;
                    continue;
                }
                if (afterClear) {
                    // A literal; one that is not a root code is passed on as it is.
                    if (!sink->Put(static_cast<unsigned>(code))) return GifDecodeOutcome::Finished;
                    oldCode = code;
                    firstChar = static_cast<std::uint8_t>(code);
                    afterClear = false;
                    continue;
                }
                const int inCode = code;
                int top = 0;
                if (code >= next) {
                    // Not yet in the table (or beyond it): the previous string plus its own
                    // first byte.
                    stack[top++] = firstChar;
                    code = oldCode;
                }
                while (code > endCode) {
                    stack[top++] = suffix[code];
                    if (top > kMaxStackDepth) return GifDecodeOutcome::Overflow;
                    code = prefix[code];
                }
                stack[top++] = static_cast<std::uint8_t>(code);
                if (top > kMaxStackDepth) return GifDecodeOutcome::Overflow;
                if (!sink->PutReversed(stack, top)) return GifDecodeOutcome::Finished;
                if (next < kMaxCodes) {
                    prefix[next] = static_cast<std::uint16_t>(oldCode);
                    suffix[next] = static_cast<std::uint8_t>(code);
                    ++next;
                }
                firstChar = static_cast<std::uint8_t>(code);
                oldCode = inCode;
                if (next >= limit && width < kMaxCodeWidth) {
                    ++width;
                    limit <<= 1;
                }
            }
        }
    }
}

}  // namespace qor::gif
