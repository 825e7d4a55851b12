// LZW strip decoder for TIFF Compression 5: codes of 9 to 12 bits, most significant bit first,
// the code width raised one code early, ClearCode 256 and EndOfInformation 257, optional
// horizontal differencing (Predictor 2). Rows go into the bottom-up DIB as the file stores them.
//
// Every entry of the string table holds what defines it, a prefix code and a suffix byte, and a
// string is found by walking the prefix chain. Every entry that was built in the current table
// from a single byte or from another such entry also keeps its string in pieces of up to eight
// bytes: `tail` holds the last ((length - 1) mod 8) + 1 bytes and `link` names the entry whose
// string is all the bytes before them (a multiple of eight), so such a string is written eight
// bytes per step, back to front, straight into the row. Well-formed data only ever meets such
// entries. Damaged data can name entries that are stale, undefined or that refer to codes above
// themselves; those are expanded through the prefix chain into the string stack, the chain's
// length bounded by the stack.
#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "tiff/tiff.h"

namespace qor::tiff {
namespace {

constexpr std::uint32_t kClearCode = 256;
constexpr std::uint32_t kEndOfInformation = 257;
constexpr std::uint32_t kFirstFreeCode = 258;
constexpr std::uint32_t kTableSize = 4100;
// No code of at most 12 bits names an entry at or above this, so none is added there.
constexpr std::uint32_t kTableEnd = 4096;
constexpr std::uint32_t kMaxCodeWidth = 12;
constexpr std::uint32_t kStackSize = 4100;
// A string written in eight-byte pieces may store up to 7 bytes past its end.
constexpr std::uint64_t kSpill = 7;
// Working memory: the input block, the string table and the string stack.
constexpr int kBlocks = 3;

// One table entry: the string's last ((length - 1) mod 8) + 1 bytes (`tail`, earliest byte
// lowest) and, packed in `meta`, the string's length (0 when only the prefix chain can tell),
// the entry holding the string without its tail, the prefix code, the string's first byte and
// the suffix byte.
struct Entry {
    std::uint64_t tail;
    std::uint64_t meta;
};
constexpr std::uint64_t MakeMeta(std::uint32_t length, std::uint32_t link, std::uint32_t prefix,
                                 std::uint8_t first, std::uint8_t suffix) {
    return std::uint64_t{length} | std::uint64_t{link} << 16 | std::uint64_t{prefix} << 32 |
           std::uint64_t{first} << 48 | std::uint64_t{suffix} << 56;
}
constexpr std::uint32_t LengthOf(std::uint64_t meta) {
    return meta & 0xFFFF;
}
constexpr std::uint32_t LinkOf(std::uint64_t meta) {
    return (meta >> 16) & 0xFFFF;
}
constexpr std::uint32_t PrefixOf(std::uint64_t meta) {
    return (meta >> 32) & 0xFFFF;
}
constexpr std::uint8_t FirstOf(std::uint64_t meta) {
    return static_cast<std::uint8_t>(meta >> 48);
}
constexpr std::uint8_t SuffixOf(std::uint64_t meta) {
    return static_cast<std::uint8_t>(meta >> 56);
}
static_assert(sizeof(Entry) == 16);

// How a run of the decoder ended.
enum class Stop : std::uint8_t {
    kRunning,
    kFinished,   // EndOfInformation of the last strip, or every row written
    kDataEnded,  // the file ended, could not be read, or the data cannot be expanded
    kCancelled,  // the progress callback asked to stop
    kStripCut,   // the strip delivered more than rowsPerStrip rows
};

struct LzwDecoder {
    ProgressBlock* progress = nullptr;
    HFILE file = plat::HFILE_ERROR;
    TiffPage* page = nullptr;
    DibRows rows;
    std::uint8_t* input = nullptr;
    Entry* table = nullptr;
    std::uint8_t* stack = nullptr;
    // Output: image row `imageRow` (0 = first in the file) at `row`, `rowPos` bytes of it
    // written; `rowsInStrip` rows begun in the current strip.
    std::uint8_t* row = nullptr;
    std::uint64_t rowPos = 0;
    std::uint32_t imageRow = 0;
    std::uint64_t rowsInStrip = 0;
    std::uint32_t strip = 0;
    unsigned channels = 0;  // interleaved 8-bit samples summed by Predictor 2; 0 without it
};

inline void Store64(std::uint8_t* at, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(at, &v, 8);
}

inline std::uint64_t LoadBigEndian64(const std::uint8_t* at) {
    std::uint64_t v;
    std::memcpy(&v, at, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Writes a well-formed string of `length` bytes whose last piece is `tail` and whose earlier
// pieces start at entry `link`, at `dst`; up to kSpill bytes past its end may be overwritten.
inline void WriteString(std::uint8_t* dst, const Entry* table, std::uint64_t tail,
                        std::uint32_t link, std::uint32_t length) {
    std::uint8_t* at = dst + length - (((length - 1) & 7) + 1);
    Store64(at, tail);
    while (at > dst) [[unlikely]] {
            const Entry& p = table[link];
            at -= 8;
            Store64(at, p.tail);
            link = LinkOf(p.meta);
        }
}

bool RowsComplete(const LzwDecoder& d) {
    return d.imageRow + 1 == d.rows.rows && d.rowPos == d.rows.rowBytes;
}

// Reports the share of rows begun; true when the callback asks to stop.
bool ReportRows(const LzwDecoder& d) {
    std::uint64_t done = (std::uint64_t{d.imageRow} + 1) * 100 / d.rows.rows;
    return ReportProgress(d.progress, static_cast<std::uint32_t>(done)) != 0;
}

// Turns the differences of the first `count` bytes of a row into sample values, one running sum
// per channel, starting from 0 at the row's start.
template <unsigned kChannels>
void SumChannels(std::uint8_t* row, std::uint64_t count) {
    std::uint8_t sum[kChannels] = {};
    std::uint64_t i = 0;
    for (; i + kChannels <= count; i += kChannels) {
        for (unsigned c = 0; c < kChannels; ++c) {
            sum[c] = static_cast<std::uint8_t>(sum[c] + row[i + c]);
            row[i + c] = sum[c];
        }
    }
    for (unsigned c = 0; i < count; ++i, ++c) {
        sum[c] = static_cast<std::uint8_t>(sum[c] + row[i]);
        row[i] = sum[c];
    }
}

void UndoDifferencing(std::uint8_t* row, std::uint64_t count, unsigned channels) {
    switch (channels) {
        case 1:
            SumChannels<1>(row, count);
            break;
        case 2:
            SumChannels<2>(row, count);
            break;
        case 3:
            SumChannels<3>(row, count);
            break;
        case 4:
            SumChannels<4>(row, count);
            break;
        default:
            break;
    }
}

// Writes bytes into the rows, beginning new rows as needed. Stops with kFinished when the last
// row is complete, or with kStripCut (the byte that would begin the row and all after it
// dropped) when a strip of a multi-strip page begins more rows than rowsPerStrip.
Stop Emit(LzwDecoder& d, const std::uint8_t* src, std::uint64_t count) {
    const std::uint64_t rowBytes = d.rows.rowBytes;
    while (count != 0) {
        if (d.rowPos == rowBytes) {
            ++d.rowsInStrip;
            if (d.page->stripCount > 1 && d.rowsInStrip > d.page->rowsPerStrip) {
                return Stop::kStripCut;
            }
            ++d.imageRow;
            d.row = d.rows.Row(d.imageRow);
            d.rowPos = 0;
        }
        std::uint64_t n = std::min(count, rowBytes - d.rowPos);
        std::memcpy(d.row + d.rowPos, src, n);
        d.rowPos += n;
        src += n;
        count -= n;
        if (d.rowPos == rowBytes) {
            if (d.channels != 0) UndoDifferencing(d.row, rowBytes, d.channels);
            if (d.imageRow + 1 == d.rows.rows) return Stop::kFinished;
        }
    }
    return Stop::kRunning;
}

// Reads the next block of the strip into the input buffer: its byte count, 0 at the end of the
// file or on a read error.
std::uint32_t FillInput(LzwDecoder& d) {
    std::uint16_t position = 0;
    return FillReadBuffer(d.file, d.input, &position);
}

// Positions the file at the start of strip d.strip.
Stop SeekStrip(LzwDecoder& d) {
    std::uint32_t offset = ReadStripOffset(d.file, *d.page, d.strip);
    // Offset 0 is the file header, never strip data: the offset could not be read.
    if (offset == 0 || offset > 0x7FFFFFFFu ||
        plat::_llseek(d.file, static_cast<std::int32_t>(offset), 0) < 0) {
        return Stop::kDataEnded;
    }
    return Stop::kRunning;
}

// After EndOfInformation or a cut: on to the next strip, whose first block is read at once.
Stop ChangeStrip(LzwDecoder& d, std::uint32_t* filled) {
    if (d.page->stripCount <= 1) return Stop::kFinished;
    ++d.strip;
    d.rowsInStrip = 0;
    if (d.strip >= d.page->stripCount) return Stop::kFinished;
    Stop s = SeekStrip(d);
    if (s != Stop::kRunning) return s;
    *filled = FillInput(d);
    if (ReportRows(d)) return Stop::kCancelled;
    return *filled == 0 ? Stop::kDataEnded : Stop::kRunning;
}

// The decoding loop proper, from the start of strip 0 to the end of the page.
Stop Run(LzwDecoder& d) {
    Entry* const table = d.table;
    std::uint8_t* const stack = d.stack;
    const std::uint8_t* const input = d.input;

    // Strip 0 starts with an empty input buffer: its first code reads the first block.
    std::uint32_t filled = 0;
    Stop stop = SeekStrip(d);
    if (stop != Stop::kRunning) return stop;

    // Bit reader: the next bits of the stream at the top of `bits`, `bitCount` of them counted.
    const std::uint8_t* in = input;
    const std::uint8_t* inEnd = input;
    std::uint64_t bits = 0;
    std::uint32_t bitCount = 0;
    // The table starts as a ClearCode leaves it; the first code after a ClearCode adds no entry.
    std::uint32_t width = 9;
    std::uint32_t nextFree = kFirstFreeCode;
    bool afterClear = true;
    // The previous code and its entry when its string is well formed (length not 0); else
    // prevFirst is the first byte of its string.
    std::uint32_t prevCode = 0;
    std::uint64_t prevTail = 0;
    std::uint64_t prevMeta = 0;
    std::uint8_t prevFirst = 0;
    // Output position in the current row and the end of its file bytes.
    std::uint8_t* out = d.row + d.rowPos;
    std::uint8_t* rowEnd = d.row + d.rows.rowBytes;

    auto saveRow = [&] { d.rowPos = static_cast<std::uint64_t>(out - d.row); };
    auto loadRow = [&] {
        out = d.row + d.rowPos;
        rowEnd = d.row + d.rows.rowBytes;
    };
    auto clearTable = [&] {
        width = 9;
        nextFree = kFirstFreeCode;
        afterClear = true;
        prevMeta = 0;
    };
    auto newStrip = [&] {
        in = input;
        inEnd = input + filled;
        bits = 0;
        bitCount = 0;
        clearTable();
    };
    // Adds entry nextFree (slot kTableEnd is a spare that a full table writes to in vain).
    auto addEntry = [&](std::uint64_t tail, std::uint64_t meta) {
        table[nextFree].tail = tail;
        table[nextFree].meta = meta;
        if (nextFree < kTableEnd) {
            ++nextFree;
            // The width grows when the next free code reaches 511, 1023 and 2047.
            if (((nextFree + 1) & nextFree) == 0 && width < kMaxCodeWidth) ++width;
        }
    };

    for (;;) {
        if (bitCount < width) {
            if (inEnd - in >= 8) [[likely]] {
                bits |= LoadBigEndian64(in) >> bitCount;
                std::uint32_t take = (63 - bitCount) >> 3;
                in += take;
                bitCount += take * 8;
            } else {
                while (bitCount <= 56 && in < inEnd) {
                    bits |= std::uint64_t{*in++} << (56 - bitCount);
                    bitCount += 8;
                }
                if (bitCount < width) {
                    // The block is used up: carry the remaining bits into the next one.
                    filled = FillInput(d);
                    saveRow();
                    if (ReportRows(d)) return Stop::kCancelled;
                    if (filled == 0) return Stop::kDataEnded;
                    in = input;
                    inEnd = input + filled;
                    continue;
                }
            }
        }
        const std::uint32_t code = static_cast<std::uint32_t>(bits >> (64 - width));
        bits <<= width;
        bitCount -= width;

        // The common case: a defined, well-formed code after a well-formed one, with room in
        // the row for its string and the spill.
        if (code < nextFree) [[likely]] {
            const std::uint64_t meta = table[code].meta;
            const std::uint32_t length = LengthOf(meta);
            const std::uint32_t prevLength = LengthOf(prevMeta);
            if (length != 0 && prevLength != 0 &&
                length + kSpill <= static_cast<std::uint64_t>(rowEnd - out)) [[likely]] {
                const std::uint64_t tail = table[code].tail;
                WriteString(out, table, tail, LinkOf(meta), length);
                out += length;
                const std::uint8_t firstByte = FirstOf(meta);
                const std::uint32_t used = prevLength & 7;
                addEntry(used != 0 ? prevTail | std::uint64_t{firstByte} << (8 * used) : firstByte,
                         MakeMeta(prevLength + 1, used != 0 ? LinkOf(prevMeta) : prevCode, prevCode,
                                  FirstOf(prevMeta), firstByte));
                prevCode = code;
                prevTail = tail;
                prevMeta = meta;
                continue;
            }
        }

        // Every other case, one step at a time.
        const std::uint32_t prevLength = LengthOf(prevMeta);
        const std::uint8_t prevFirstByte = prevLength != 0 ? FirstOf(prevMeta) : prevFirst;
        std::uint64_t tail = 0;
        std::uint64_t meta = 0;
        std::uint32_t length;
        std::uint8_t firstByte;
        bool appendPrevFirst = false;
        const std::uint8_t* chain = nullptr;
        if (code == kEndOfInformation) {
            saveRow();
            stop = ChangeStrip(d, &filled);
            if (stop != Stop::kRunning) return stop;
            newStrip();
            continue;
        }
        if (code == kClearCode) {
            clearTable();
            continue;
        }
        if (afterClear) {
            // The first code of a table stands for its own low byte.
            afterClear = false;
            prevCode = code;
            prevFirst = static_cast<std::uint8_t>(code);
            prevTail = code;
            prevMeta = code < 256 ? table[code].meta : 0;
            stack[0] = prevFirst;
            saveRow();
            stop = Emit(d, stack, 1);
            if (stop == Stop::kStripCut) {
                stop = ChangeStrip(d, &filled);
                if (stop != Stop::kRunning) return stop;
                newStrip();
            } else if (stop != Stop::kRunning) {
                return stop;
            }
            loadRow();
            continue;
        }
        if (code < nextFree && LengthOf(table[code].meta) != 0) {
            tail = table[code].tail;
            meta = table[code].meta;
            length = LengthOf(meta);
            firstByte = FirstOf(meta);
        } else if (code >= nextFree && prevLength != 0) {
            // Not defined yet: the previous string and its own first byte.
            tail = prevTail;
            meta = prevMeta;
            length = prevLength + 1;
            firstByte = prevFirstByte;
            appendPrevFirst = true;
        } else {
            // Damaged data. Walk the prefix chain, last byte first, from the top of the stack.
            std::uint8_t* top = stack + kStackSize;
            std::uint8_t* at = top;
            std::uint32_t c = code;
            if (code >= nextFree) {
                *--at = prevFirstByte;
                c = prevCode;
            }
            while (c > kEndOfInformation && at != stack) {
                *--at = SuffixOf(table[c].meta);
                c = PrefixOf(table[c].meta);
            }
            if (at == stack) {
                // Longer than any string of a table can be: the chain loops or is garbage.
                saveRow();
                return Stop::kDataEnded;
            }
            *--at = static_cast<std::uint8_t>(c);
            firstByte = *at;
            length = static_cast<std::uint32_t>(top - at);
            chain = at;
        }

        if (chain == nullptr && length + kSpill <= static_cast<std::uint64_t>(rowEnd - out)) {
            if (appendPrevFirst) {
                WriteString(out, table, tail, LinkOf(meta), length - 1);
                out[length - 1] = prevFirstByte;
            } else {
                WriteString(out, table, tail, LinkOf(meta), length);
            }
            out += length;
        } else {
            // Near the row's end: assemble the string in the stack and write it row by row.
            const std::uint8_t* src = chain;
            if (src == nullptr) {
                if (appendPrevFirst) {
                    WriteString(stack, table, tail, LinkOf(meta), length - 1);
                    stack[length - 1] = prevFirstByte;
                } else {
                    WriteString(stack, table, tail, LinkOf(meta), length);
                }
                src = stack;
            }
            saveRow();
            stop = Emit(d, src, length);
            if (stop == Stop::kStripCut) {
                // The strip is cut here; this code adds no entry.
                stop = ChangeStrip(d, &filled);
                if (stop != Stop::kRunning) return stop;
                newStrip();
                loadRow();
                continue;
            }
            if (stop != Stop::kRunning) return stop;
            loadRow();
        }

        // The new entry: the previous string followed by this string's first byte; well
        // formed when the previous string is.
        const std::uint32_t added = nextFree;
        const std::uint32_t used = prevLength & 7;
        const std::uint64_t newTail =
            used != 0 ? prevTail | std::uint64_t{firstByte} << (8 * used) : firstByte;
        const std::uint64_t newMeta =
            MakeMeta(prevLength + (prevLength != 0), used != 0 ? LinkOf(prevMeta) : prevCode,
                     prevCode, prevFirstByte, firstByte);
        addEntry(newTail, newMeta);
        // This code becomes the previous one.
        if (chain != nullptr) {
            prevMeta = 0;  // damaged: its string is known only through its chain
        } else if (appendPrevFirst) {
            prevTail = newTail;
            prevMeta = code == added && added < kTableEnd ? newMeta : 0;
        } else {
            prevTail = tail;
            prevMeta = meta;
        }
        prevCode = code;
        prevFirst = firstByte;
    }
}

}  // namespace

std::int16_t DecodeLzwStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                             TiffPage* page) {
    ReportProgress(progress, 0);
    switch (page->bitsPerPixel) {
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            break;
        default:
            return QOR_TIFF_UNSUPPORTED;
    }
    if (page->stripCount == 1) page->rowsPerStrip = page->imageLength;

    LzwDecoder d;
    d.progress = progress;
    d.file = file;
    d.page = page;
    d.rows = LocateRows(dib, *page);
    if (d.rows.rows == 0 || d.rows.rowBytes == 0 || page->stripCount == 0) {
        ReportProgress(progress, 100);
        return 0;
    }
    if (page->predictor == 2 && page->bitsPerPixel >= 8) d.channels = page->bitsPerPixel / 8u;

    const std::uint64_t sizes[kBlocks] = {TIFF_READ_BLOCK, sizeof(Entry) * kTableSize,
                                          kStackSize + 16};
    plat::HGLOBAL blocks[kBlocks] = {};
    void* locked[kBlocks] = {};
    bool ready = true;
    for (int i = 0; i < kBlocks && ready; ++i) {
        blocks[i] = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, sizes[i]);
        if (blocks[i] != 0) locked[i] = plat::GlobalLock(blocks[i]);
        ready = locked[i] != nullptr;
    }
    auto release = [&] {
        for (int i = 0; i < kBlocks; ++i) {
            if (locked[i] != nullptr) plat::GlobalUnlock(blocks[i]);
            if (blocks[i] != 0) plat::GlobalFree(blocks[i]);
        }
    };
    if (!ready) {
        release();
        return QOR_NO_MEMORY;
    }
    d.input = static_cast<std::uint8_t*>(locked[0]);
    d.table = static_cast<Entry*>(locked[1]);
    d.stack = static_cast<std::uint8_t*>(locked[2]);
    // Codes below 256 stand for their own byte; ClearCode and EndOfInformation have no string.
    for (std::uint32_t c = 0; c < 256; ++c) {
        d.table[c].tail = c;
        d.table[c].meta = MakeMeta(1, 0, 0, static_cast<std::uint8_t>(c), 0);
    }

    // The first row of the file is the top row of the DIB; it is the first row of strip 0.
    d.imageRow = 0;
    d.row = d.rows.Row(0);
    d.rowPos = 0;
    d.rowsInStrip = 1;

    Stop stop = Run(d);

    // A row left unfinished keeps zeros past its last byte, with its sums undone so far.
    if (d.rowPos < d.rows.rowBytes) {
        std::uint64_t rest = d.rows.rowBytes - d.rowPos;
        std::memset(d.row + d.rowPos, 0, std::min(rest, kSpill));
        if (d.channels != 0) UndoDifferencing(d.row, d.rowPos, d.channels);
    }
    std::int16_t status = 0;
    if (stop == Stop::kCancelled) {
        status = QOR_CANCELLED;
    } else if (stop == Stop::kDataEnded && !RowsComplete(d)) {
        status = QOR_READ_FAILED;
    } else {
        ReportProgress(progress, 100);
    }
    release();
    return status;
}

}  // namespace qor::tiff
