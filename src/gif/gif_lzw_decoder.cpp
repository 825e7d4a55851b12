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
//
// Both paths share the sub-block reads, the code bits and the table (CodeTable), whose one step
// Add every code but a literal takes. The fast path is two steps: FastCodes takes the common
// codes in one tight loop, SlowCode every other one through the row writer, which keeps its own
// place in the rows.
#include <atomic>
#include <cstring>

#include "gif/gif_decode.h"
#include "platform/bytes.h"

namespace qor::gif {

namespace {

// The image data as seen through the 10240-byte read buffer. Not the platform's BlockReader:
// these reads are aligned to multiples of the block in the file (the first one reads only up to
// the next), a failed read is told from the end of the file, and sub-blocks are copied out
// across refills.
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

// Reports progress (the share of rows begun) and takes the next data sub-block, read where it
// lies in the buffer when the buffer holds it whole, else copied into `blockData`: *p to *end.
// False, with the outcome that ends the decode, at the block terminator (which ends the image
// data, also before the end code: what follows belongs to the next block), when the data ends
// or a read fails (a short sub-block is not decoded at all), or when the progress callback
// cancels.
bool NextSubBlock(ProgressBlock* progress, BufferedInput& in, std::uint8_t* blockData,
                  const GifRowWriter& sink, const std::uint8_t** p, const std::uint8_t** end,
                  GifDecodeOutcome* outcome) {
    if (progress != nullptr && progress->progress != nullptr) {
        const std::int32_t done = (sink.Height() - sink.RowsLeft()) * 100 / sink.Height();
        if (ReportProgress(progress, static_cast<std::uint32_t>(done)) != 0) {
            *outcome = GifDecodeOutcome::Cancelled;
            return false;
        }
    }
    std::uint8_t size = 0;
    const bool sized = ReadBuffered(&in, &size, 1) == 1 && size != 0;
    if (sized && in.fill - in.index >= size) {
        *p = in.buffer + in.index;
        in.index += size;
    } else if (sized && ReadBuffered(&in, blockData, size) == size) {
        *p = blockData;
    } else {
        *outcome = Stopped(in);
        return false;
    }
    *end = *p + size;
    return true;
}

// Code bits, least significant first, carried from one sub-block into the next.
struct CodeBits {
    std::uint64_t bits = 0;
    unsigned count = 0;

    // Tops the bits up from the sub-block's bytes from *p to `end`: eight at once while it holds
    // them (the bits past the whole bytes taken are the sub-block's next ones, already in
    // place), else a byte at a time.
    void Fill(const std::uint8_t** p, const std::uint8_t* end) {
        if (end - *p >= 8) {
            bits |= LoadLE64(*p) << count;
            *p += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56 && *p < end) {
            bits |= std::uint64_t{*(*p)++} << count;
            count += 8;
        }
    }
    unsigned Take(unsigned width) {
        const auto code = static_cast<unsigned>(bits & ((1u << width) - 1));
        bits >>= width;
        count -= width;
        return code;
    }
};

// The string table, the code width and the previous code: the state that both paths share. The
// fast path also keeps where strings were written (`places`, null on the plain path) and the
// previous code's string: its length when it is what the prefix chain of oldCode spells for as
// long as the table lasts (0 when not), and where it was written in one piece.
struct CodeTable {
    std::uint16_t* prefix;
    std::uint8_t* suffix;
    GifStringPlace* places;
    unsigned initialWidth, clearCode, endCode;
    unsigned width = 0, limit = 0, next = 0;
    unsigned oldCode = 0;
    std::uint8_t firstChar = 0;
    bool afterClear = true;
    std::uint32_t prevLength = 0;
    std::uint32_t prevOffset = kGifNowhere;

    CodeTable(const GifDecoderBuffers& buffers, GifStringPlace* placesOrNull,
              std::uint8_t minCodeSize)
        : prefix(buffers.prefix),
          suffix(buffers.suffix),
          places(placesOrNull),
          initialWidth(minCodeSize + 1u),
          clearCode(1u << minCodeSize),
          endCode(clearCode + 1) {
        // The table starts as a clear code leaves it, so that a stream without a leading clear
        // code decodes its first code as a literal.
        Reset();
    }

    // A clear code: the table holds the roots only, and the next code is a literal.
    [[gnu::noinline]] void Reset() {
        next = clearCode + 2;
        width = initialWidth;
        limit = 1u << initialWidth;
        afterClear = true;
        prevLength = 0;
    }
    // The first code after a clear code, a literal: it adds no entry. A root's string is `length`
    // 1 at `offset`.
    void Literal(unsigned code, std::uint32_t length = 0, std::uint32_t offset = kGifNowhere) {
        oldCode = code;
        firstChar = static_cast<std::uint8_t>(code);
        afterClear = false;
        prevLength = length;
        prevOffset = offset;
    }
    // The step of every other code, on both paths: the entry that the previous string followed
    // by `first` makes (while the table has room), `code` as the previous code (its string
    // `length` bytes at `offset`, for the fast path), and the width's growth.
    void Add(unsigned code, std::uint8_t first, std::uint32_t length = 0,
             std::uint32_t offset = kGifNowhere) {
        if (next < kMaxCodes) {
            prefix[next] = static_cast<std::uint16_t>(oldCode);
            suffix[next] = first;
            if (places != nullptr) {
                // The new string lies in one piece where the previous one was written when this
                // one's first byte was written right after it.
                GifStringPlace& added = places[next];
                added.length = prevLength == 0 ? 0 : prevLength + 1;
                added.offset = prevLength != 0 && prevOffset != kGifNowhere &&
                                       offset != kGifNowhere && offset == prevOffset + prevLength
                                   ? prevOffset
                                   : kGifNowhere;
            }
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
    }

    // Expands `code` onto `stack` through the prefix chain, last byte first. A code not yet in
    // the table (at or above `next`) stands for the previous string plus that string's first
    // byte. Returns the string's length, or -1 when it does not fit the stack; *root is its
    // first byte.
    int Expand(unsigned code, std::uint8_t* stack, std::uint8_t* root) const {
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
};

// A code that names no string where a literal must come: damaged data, unless every pixel of
// the image is placed already.
GifDecodeOutcome BadCodeUnlessFull(GifRowWriter* sink) {
    const bool full = sink->column >= sink->width && !sink->NextRow();
    return full ? GifDecodeOutcome::Finished : GifDecodeOutcome::BadCode;
}

GifDecodeOutcome DecodePlain(ProgressBlock* progress, BufferedInput& in, std::uint8_t minCodeSize,
                             const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    std::uint8_t* const stack = buffers.stack;
    CodeTable t(buffers, nullptr, minCodeSize);
    CodeBits bits;
    for (;;) {
        const std::uint8_t *p, *end;
        GifDecodeOutcome outcome;
        if (!NextSubBlock(progress, in, buffers.blockData, *sink, &p, &end, &outcome)) {
            return outcome;
        }
        for (bits.Fill(&p, end); bits.count >= t.width; bits.Fill(&p, end)) {
            const unsigned code = bits.Take(t.width);
            if (code == t.endCode) return GifDecodeOutcome::Finished;
            if (code == t.clearCode) {
                t.Reset();
                continue;
            }
            if (t.afterClear) {
                // A literal: the table holds nothing but the roots. Data past the image's last
                // pixel is never looked at, as giflib does not.
                if (code > t.endCode) return BadCodeUnlessFull(sink);
                if (!sink->Put(code)) return GifDecodeOutcome::Finished;
                t.Literal(code);
                continue;
            }
            std::uint8_t root = 0;
            const int top = t.Expand(code, stack, &root);
            if (top < 0) return GifDecodeOutcome::Overflow;
            if (!sink->PutReversed(stack, top)) return GifDecodeOutcome::Finished;
            t.Add(code, root);
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

// The bytes that CopyWide writes for a string of `count` bytes.
constexpr std::uint64_t Wide(std::uint64_t count) {
    return (count + 15) & ~std::uint64_t{15};
}

// Gathers the string of a well-formed entry from its prefix chain into the front of `stack`.
inline void GatherChain(std::uint8_t* stack, std::uint32_t length, unsigned code,
                        const CodeTable& t) {
    std::uint8_t* at = stack + length;
    while (code > t.endCode && at > stack + 1) {
        *--at = t.suffix[code];
        code = t.prefix[code];
    }
    *--at = static_cast<std::uint8_t>(code);
}

// The fast path's state between its two steps: the table, the bits, and the sub-block's bytes
// not yet taken into them.
struct FastState {
    CodeTable t;
    CodeBits bits;
    const std::uint8_t* p = nullptr;
    const std::uint8_t* end = nullptr;
};

constexpr unsigned kNeedBits = ~0u;

// The common case: decodes codes for as long as each is a root, or a string of the table or the
// one about to be defined that was written before in one piece, and fits the current row with
// its copy's overrun. Returns the first code that is not (already taken from the bits), or
// kNeedBits when the sub-block holds no whole code more. It is kept whole, one leaf loop over
// copies of the state and the writer's place that calls nothing out of line: any call out of it
// would put that state back in memory on every code.
[[gnu::noinline]] unsigned FastCodes(FastState& state, GifRowWriter* sink) {
    FastState s = state;
    CodeTable& t = s.t;
    std::uint8_t* const pixels = sink->pixels;
    const std::uint64_t pixelBytes = sink->stride * static_cast<std::uint64_t>(sink->height);
    std::uint8_t* const rowStart = sink->rowPointer;
    std::uint8_t* const rowEnd = rowStart + sink->Room();
    std::uint8_t* out = rowStart;
    unsigned code;
    for (;;) {
        if (s.bits.count < t.width) {
            s.bits.Fill(&s.p, s.end);
            if (s.bits.count < t.width) {
                code = kNeedBits;
                break;
            }
        }
        code = s.bits.Take(t.width);
        // After a clear code, the literal.
        if (t.afterClear) break;
        std::uint8_t first;
        std::uint32_t length;
        const auto room = static_cast<std::uint64_t>(rowEnd - out);
        if (code < t.clearCode && room != 0) {
            first = static_cast<std::uint8_t>(code);
            *out = first;
            length = 1;
        } else if (code > t.endCode && code < t.next && t.places[code].offset != kGifNowhere &&
                   Wide(t.places[code].length) <= room &&
                   Wide(t.places[code].length) <= pixelBytes - t.places[code].offset) {
            // A string of the table, written before: copied with overrun.
            length = t.places[code].length;
            const std::uint8_t* from = pixels + t.places[code].offset;
            first = *from;
            CopyWide(out, from, length);
        } else if (code == t.next && t.prevLength != 0 && t.prevOffset != kGifNowhere &&
                   Wide(t.prevLength + 1) <= room &&
                   Wide(t.prevLength + 1) <= pixelBytes - t.prevOffset) {
            // The previous string and its own first byte.
            first = t.firstChar;
            length = t.prevLength + 1;
            CopyWide(out, pixels + t.prevOffset, t.prevLength);
            out[t.prevLength] = first;
        } else {
            break;
        }
        t.Add(code, first, length, static_cast<std::uint32_t>(out - pixels));
        out += length;
    }
    state = s;
    sink->Advance(out - rowStart);
    return code;
}

// One code that FastCodes does not take, through the row writer: the end and clear codes, the
// literal after a clear code, strings near a row's end or without a place, damaged data. False,
// with the outcome, when the decode ends.
bool SlowCode(CodeTable& t, unsigned code, std::uint8_t* stack, GifRowWriter* sink,
              GifDecodeOutcome* outcome) {
    *outcome = GifDecodeOutcome::Finished;
    if (code == t.endCode) return false;
    if (code == t.clearCode) {
        t.Reset();
        return true;
    }
    std::uint8_t* const pixels = sink->pixels;
    if (t.afterClear) {
        // A literal: the table holds nothing but the roots.
        if (code > t.endCode) {
            *outcome = BadCodeUnlessFull(sink);
            return false;
        }
        if (!sink->Put(code)) return false;
        t.Literal(code, code < t.clearCode ? 1 : 0,
                  static_cast<std::uint32_t>(sink->rowPointer - 1 - pixels));
        return true;
    }
    const std::uint8_t* from = nullptr;
    std::uint32_t count = 0, length = 0;
    bool repeatFirst = false;
    if (code < t.clearCode) {
        stack[0] = static_cast<std::uint8_t>(code);
        from = stack;
        count = length = 1;
    } else if (code < t.next && t.places[code].length != 0) {
        count = length = t.places[code].length;
        if (t.places[code].offset != kGifNowhere) {
            from = pixels + t.places[code].offset;
        } else {
            GatherChain(stack, length, code, t);
            from = stack;
        }
    } else if (code == t.next && t.prevLength != 0) {
        length = t.prevLength + 1;
        count = t.prevLength;
        repeatFirst = true;
        if (t.prevOffset != kGifNowhere) {
            from = pixels + t.prevOffset;
        } else {
            GatherChain(stack, t.prevLength, t.oldCode, t);
            from = stack;
        }
    }
    std::uint8_t first = t.firstChar;
    std::uint32_t offset = kGifNowhere;
    if (length == 0) {
        // Damaged data, as the plain path takes it. The chain may pass through entries that are
        // defined again later.
        const int top = t.Expand(code, stack, &first);
        if (top < 0) {
            *outcome = GifDecodeOutcome::Overflow;
            return false;
        }
        if (!sink->PutReversed(stack, top)) return false;
    } else {
        first = *from;
        if (sink->column >= sink->width && !sink->NextRow()) return false;
        if (length <= static_cast<std::uint32_t>(sink->Room())) {
            std::uint8_t* const out = sink->rowPointer;
            std::memcpy(out, from, count);
            if (repeatFirst) out[count] = first;
            offset = static_cast<std::uint32_t>(out - pixels);
            if (!repeatFirst && code >= t.clearCode && t.places[code].offset == kGifNowhere) {
                t.places[code].offset = offset;
            }
            sink->Advance(length);
        } else {
            // Across rows: gathered in one piece on the stack first.
            if (from != stack) std::memmove(stack, from, count);
            if (repeatFirst) stack[count] = first;
            if (!sink->PutString(stack, static_cast<int>(length))) return false;
        }
    }
    t.Add(code, first, length, offset);
    return true;
}

// Runs FastCodes over each sub-block, SlowCode for every code that it leaves.
GifDecodeOutcome DecodeRows(ProgressBlock* progress, BufferedInput& in, FastState& s,
                            const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    for (;;) {
        GifDecodeOutcome outcome;
        if (!NextSubBlock(progress, in, buffers.blockData, *sink, &s.p, &s.end, &outcome)) {
            return outcome;
        }
        unsigned code;
        while ((code = FastCodes(s, sink)) != kNeedBits) {
            if (!SlowCode(s.t, code, buffers.stack, sink, &outcome)) return outcome;
        }
    }
}

// The fast path: 8-bit images with roots of at most 8 bits.
GifDecodeOutcome DecodeFast(ProgressBlock* progress, BufferedInput& in, std::uint8_t minCodeSize,
                            const GifDecoderBuffers& buffers, GifRowWriter* sink) {
    FastState s{CodeTable(buffers, buffers.places, minCodeSize), {}, nullptr, nullptr};
    const GifDecodeOutcome outcome = DecodeRows(progress, in, s, buffers, sink);
    // Wide copies may have written past the last string of the current row, whose unwritten
    // rest is zero again, as the plain path leaves the zeroed DIB.
    std::memset(sink->rowPointer, 0, static_cast<std::size_t>(sink->Room()));
    return outcome;
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
