// The GIF LZW decoder: buffered, file-aligned reading of the data sub-blocks, least-significant-
// bit-first code extraction, the string table and the output stack.
//
// Two paths decode the same codes to the same pixels, statuses and progress calls. The plain
// path expands every string onto a stack through its prefix chain. The fast path (8-bit images
// with roots of at most 8 bits) takes codes from a 64-bit bit buffer and copies strings from
// where they were last written: every entry built from a well-formed string (a root, or an entry
// built that way) knows its length, and where its string lies in one piece in the pixel area
// when it does. Damaged data (codes beyond the next free one, literals that are not roots,
// entries built from them) go through the plain path's stack, step by step.
#include <atomic>
#include <cstring>

#include "gif/gif_decode.h"
#include "platform/bytes.h"

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

std::atomic<bool> fastDecoderEnabled{true};

// Where the data stops: at its end, or at a read that failed.
GifDecodeOutcome Stopped(const BufferedInput& in) {
    return in.failed ? GifDecodeOutcome::ReadError : GifDecodeOutcome::DataEnded;
}

// Expands `code` onto `stack` through the prefix chain, last byte first. A code not yet in the
// table (at or above `next`) stands for the previous string plus that string's first byte.
// Returns the string's length, or -1 when it does not fit the stack; *root is its first byte.
inline int ExpandOntoStack(unsigned code, unsigned next, unsigned oldCode, std::uint8_t firstChar,
                           unsigned endCode, const std::uint16_t* prefix,
                           const std::uint8_t* suffix, std::uint8_t* stack, std::uint8_t* root) {
    int top = 0;
    if (code >= next) {
        stack[top++] = firstChar;
        code = oldCode;
    }
    while (code > endCode) {
        stack[top++] = suffix[code];
        if (top > kMaxStackDepth) return -1;
        code = prefix[code];
    }
    stack[top++] = static_cast<std::uint8_t>(code);
    if (top > kMaxStackDepth) return -1;
    *root = static_cast<std::uint8_t>(code);
    return top;
}

GifDecodeOutcome DecodePlain(ProgressBlock* progress, BufferedInput& in, std::uint8_t minCodeSize,
                             const GifDecoderBuffers& buffers, GifRowWriter* sink) {
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

    const bool reportProgress = progress != nullptr && progress->progress != nullptr;
    const std::int32_t height = sink->Height();

    for (;;) {
        if (reportProgress) {
            std::int32_t done = (height - sink->RowsLeft()) * 100 / height;
            if (ReportProgress(progress, static_cast<std::uint32_t>(done)) != 0) {
                return GifDecodeOutcome::Cancelled;
            }
        }
        std::uint8_t size = 0;
        if (ReadBuffered(&in, &size, 1) != 1) return Stopped(in);
        // The block terminator ends the image data, also before the end code: what follows
        // belongs to the next block.
        if (size == 0) return GifDecodeOutcome::DataEnded;
        // A short sub-block is not decoded at all.
        if (ReadBuffered(&in, data, size) != size) return Stopped(in);
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
                std::uint8_t root = 0;
                const int top =
                    ExpandOntoStack(static_cast<unsigned>(code), static_cast<unsigned>(next),
                                    static_cast<unsigned>(oldCode), firstChar,
                                    static_cast<unsigned>(endCode), prefix, suffix, stack, &root);
                if (top < 0) return GifDecodeOutcome::Overflow;
                if (!sink->PutReversed(stack, top)) return GifDecodeOutcome::Finished;
                if (next < kMaxCodes) {
                    prefix[next] = static_cast<std::uint16_t>(oldCode);
                    suffix[next] = root;
                    ++next;
                }
                firstChar = root;
                oldCode = code;
                if (next >= limit && width < kMaxCodeWidth) {
                    ++width;
                    limit <<= 1;
                }
            }
        }
    }
}

// Copies `count` bytes 16 at a time, writing up to 15 bytes past them. Either the source lies
// wholly before the destination or the two do not overlap; bytes read past the source's end
// only reach the overrun.
inline void CopyWide(std::uint8_t* to, const std::uint8_t* from, std::uint32_t count) {
    for (;;) {
        std::uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + 8, &b, 8);
        if (count <= 16) return;
        count -= 16;
        from += 16;
        to += 16;
    }
}

// Gathers the string of a well-formed entry from its prefix chain into the front of `stack`.
inline void GatherChain(std::uint8_t* stack, std::uint32_t length, unsigned code, unsigned endCode,
                        const std::uint16_t* prefix, const std::uint8_t* suffix) {
    std::uint8_t* at = stack + length;
    while (code > endCode && at > stack + 1) {
        *--at = suffix[code];
        code = prefix[code];
    }
    *--at = static_cast<std::uint8_t>(code);
}

GifDecodeOutcome DecodeFast(ProgressBlock* progress, BufferedInput& in, std::uint8_t minCodeSize,
                            const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    std::uint16_t* const prefix = buffers.prefix;
    std::uint8_t* const suffix = buffers.suffix;
    std::uint8_t* const stack = buffers.stack;
    GifStringPlace* const places = buffers.places;
    std::uint8_t* const pixels = sink->pixels;
    const std::int32_t height = sink->Height();
    const std::uint8_t* const pixelEnd = pixels + sink->stride * static_cast<std::uint64_t>(height);
    const int rowWidth = sink->width;

    const unsigned initialWidth = minCodeSize + 1u;
    const unsigned clearCode = 1u << minCodeSize;
    const unsigned endCode = clearCode + 1;

    unsigned width = initialWidth;
    unsigned limit = 1u << initialWidth;
    unsigned next = clearCode + 2;
    unsigned oldCode = 0;
    std::uint8_t firstChar = 0;
    bool afterClear = true;
    // The previous code's string: its length when it is what the prefix chain of oldCode spells
    // for as long as the table lasts (0 when not), and where it was written in one piece.
    std::uint32_t prevLength = 0;
    std::uint32_t prevOffset = kGifNowhere;

    std::uint64_t bits = 0;  // pending code bits, least significant first
    unsigned bitCount = 0;

    // The row writer's place, kept here between calls of its own: the next byte of the current
    // row and the row's end.
    std::uint8_t* out = sink->rowPointer;
    std::uint8_t* rowEnd = out + (rowWidth - sink->column);
    auto save = [&] {
        sink->rowPointer = out;
        sink->column = static_cast<std::int16_t>(rowWidth - (rowEnd - out));
    };
    auto load = [&] {
        out = sink->rowPointer;
        rowEnd = out + (rowWidth - sink->column);
    };
    // Every way out that keeps the image: wide copies may have written past the last string of
    // the current row, whose unwritten rest is zero again, as the plain path leaves the zeroed
    // DIB. `finish` is for when the place kept here is the current one, `finishAfterCall` for
    // when a call of the row writer's has moved it.
    auto clearRowRest = [&](GifDecodeOutcome outcome) {
        if (out < rowEnd) std::memset(out, 0, static_cast<std::size_t>(rowEnd - out));
        return outcome;
    };
    auto finish = [&](GifDecodeOutcome outcome) {
        save();
        return clearRowRest(outcome);
    };
    auto finishAfterCall = [&](GifDecodeOutcome outcome) {
        load();
        return clearRowRest(outcome);
    };

    const bool reportProgress = progress != nullptr && progress->progress != nullptr;
    for (;;) {
        if (reportProgress) {
            std::int32_t done = (height - sink->RowsLeft()) * 100 / height;
            if (ReportProgress(progress, static_cast<std::uint32_t>(done)) != 0) {
                return GifDecodeOutcome::Cancelled;
            }
        }
        std::uint8_t size = 0;
        if (ReadBuffered(&in, &size, 1) != 1) return finish(Stopped(in));
        // The block terminator ends the image data, also before the end code.
        if (size == 0) return finish(GifDecodeOutcome::DataEnded);
        // A short sub-block is not decoded at all. A whole one is read where it lies.
        const std::uint8_t* p = in.buffer + in.index;
        if (in.fill - in.index >= size) {
            in.index += size;
        } else {
            if (ReadBuffered(&in, buffers.blockData, size) != size) return finish(Stopped(in));
            p = buffers.blockData;
        }
        const std::uint8_t* const end = p + size;

        for (;;) {
            if (end - p >= 8) {
                // Bytes past the ones counted are this sub-block's next ones, already in place.
                bits |= LoadLE64(p) << bitCount;
                p += (63 - bitCount) >> 3;
                bitCount |= 56;
            } else {
                while (bitCount <= 56 && p < end) {
                    bits |= std::uint64_t{*p++} << bitCount;
                    bitCount += 8;
                }
            }
            if (bitCount < width) break;  // the rest of the code is in the next sub-block
            do {
                const auto code = static_cast<unsigned>(bits & (limit - 1));
                bits >>= width;
                bitCount -= width;

                if (code == endCode) return finish(GifDecodeOutcome::Finished);
                if (code == clearCode) {
                    next = clearCode + 2;
                    width = initialWidth;
                    limit = 1u << initialWidth;
                    afterClear = true;
                    continue;
                }
                if (afterClear) {
                    // A literal; one that is not a root is passed on as it is.
                    save();
                    if (!sink->Put(code)) return finishAfterCall(GifDecodeOutcome::Finished);
                    load();
                    prevOffset = static_cast<std::uint32_t>(out - 1 - pixels);
                    prevLength = code < clearCode ? 1 : 0;
                    oldCode = code;
                    firstChar = static_cast<std::uint8_t>(code);
                    afterClear = false;
                    continue;
                }

                std::uint8_t first = firstChar;
                std::uint32_t length = 0;
                std::uint32_t offset = kGifNowhere;
                const auto room = static_cast<std::uint64_t>(rowEnd - out);
                if (code < clearCode && room != 0) {
                    first = static_cast<std::uint8_t>(code);
                    *out = first;
                    offset = static_cast<std::uint32_t>(out - pixels);
                    ++out;
                    length = 1;
                } else if (code > endCode && code < next && places[code].offset != kGifNowhere &&
                           ((places[code].length + 15) & ~15u) <= room &&
                           ((places[code].length + 15) & ~15u) <=
                               static_cast<std::uint64_t>(pixelEnd - pixels) -
                                   places[code].offset) {
                    // A string of the table, written before: copied with overrun.
                    length = places[code].length;
                    const std::uint8_t* from = pixels + places[code].offset;
                    first = *from;
                    CopyWide(out, from, length);
                    offset = static_cast<std::uint32_t>(out - pixels);
                    out += length;
                } else if (code == next && prevLength != 0 && prevOffset != kGifNowhere &&
                           ((prevLength + 16) & ~15u) <= room &&
                           ((prevLength + 16) & ~15u) <=
                               static_cast<std::uint64_t>(pixelEnd - pixels) - prevOffset) {
                    // The previous string and its own first byte.
                    length = prevLength + 1;
                    CopyWide(out, pixels + prevOffset, prevLength);
                    out[prevLength] = firstChar;
                    offset = static_cast<std::uint32_t>(out - pixels);
                    out += length;
                } else {
                    // Everything else: near a row's end, strings without a place, damaged data.
                    const std::uint8_t* from = nullptr;
                    std::uint32_t count = 0;
                    bool repeatFirst = false;
                    if (code < clearCode) {
                        stack[0] = static_cast<std::uint8_t>(code);
                        from = stack;
                        count = length = 1;
                    } else if (code < next && places[code].length != 0) {
                        count = length = places[code].length;
                        if (places[code].offset != kGifNowhere) {
                            from = pixels + places[code].offset;
                        } else {
                            GatherChain(stack, length, code, endCode, prefix, suffix);
                            from = stack;
                        }
                    } else if (code == next && prevLength != 0) {
                        length = prevLength + 1;
                        count = prevLength;
                        repeatFirst = true;
                        if (prevOffset != kGifNowhere) {
                            from = pixels + prevOffset;
                        } else {
                            GatherChain(stack, prevLength, oldCode, endCode, prefix, suffix);
                            from = stack;
                        }
                    }
                    save();
                    if (length != 0) {
                        first = *from;
                        if (sink->column >= rowWidth && !sink->NextRow()) {
                            return finishAfterCall(GifDecodeOutcome::Finished);
                        }
                        load();
                        if (length <= static_cast<std::uint64_t>(rowEnd - out)) {
                            std::memcpy(out, from, count);
                            if (repeatFirst) out[count] = first;
                            offset = static_cast<std::uint32_t>(out - pixels);
                            if (!repeatFirst && code >= clearCode &&
                                places[code].offset == kGifNowhere) {
                                places[code].offset = offset;
                            }
                            out += length;
                        } else {
                            // Across rows: gathered in one piece on the stack first.
                            if (from != stack) std::memmove(stack, from, count);
                            if (repeatFirst) stack[count] = first;
                            if (!sink->PutString(stack, static_cast<int>(length))) {
                                return finishAfterCall(GifDecodeOutcome::Finished);
                            }
                            load();
                        }
                    } else {
                        // Damaged data, as the plain path takes it.
                        const int top = ExpandOntoStack(code, next, oldCode, firstChar, endCode,
                                                        prefix, suffix, stack, &first);
                        if (top < 0) return GifDecodeOutcome::Overflow;
                        if (!sink->PutReversed(stack, top)) {
                            return finishAfterCall(GifDecodeOutcome::Finished);
                        }
                        load();
                        // The chain may pass through entries that are defined again later.
                    }
                }

                if (next < kMaxCodes) {
                    prefix[next] = static_cast<std::uint16_t>(oldCode);
                    suffix[next] = first;
                    GifStringPlace& added = places[next];
                    added.length = prevLength == 0 ? 0 : prevLength + 1;
                    added.offset = prevLength != 0 && prevOffset != kGifNowhere &&
                                           offset != kGifNowhere &&
                                           offset == prevOffset + prevLength
                                       ? prevOffset
                                       : kGifNowhere;
                    ++next;
                }
                firstChar = first;
                oldCode = code;
                prevLength = length;
                prevOffset = offset;
                if (next >= limit && width < kMaxCodeWidth) {
                    ++width;
                    limit <<= 1;
                }
            } while (bitCount >= width);
        }
    }
}

}  // namespace

void UseFastGifDecoder(bool enabled) {
    fastDecoderEnabled.store(enabled);
}

GifDecodeOutcome DecodeGifImage(ProgressBlock* progress, HFILE file, std::uint8_t minCodeSize,
                                const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    if (minCodeSize < kMinCodeSizeLow || minCodeSize > kMinCodeSizeHigh) {
        return GifDecodeOutcome::BadCodeSize;
    }
    BufferedInput in{file, buffers.readBuffer, 0, 0};
    if (!FirstFill(&in)) return GifDecodeOutcome::ReadError;
    if (buffers.places != nullptr && sink->bits == 8 && minCodeSize <= 8 &&
        fastDecoderEnabled.load(std::memory_order_relaxed)) {
        return DecodeFast(progress, in, minCodeSize, buffers, sink);
    }
    return DecodePlain(progress, in, minCodeSize, buffers, sink);
}

}  // namespace qor::gif
