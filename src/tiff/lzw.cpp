// LZW strip decoder for TIFF Compression 5: codes of 9 to 12 bits, most significant bit first,
// the code width raised one code early, ClearCode 256 and EndOfInformation 257, optional
// horizontal differencing (Predictor 2). Rows go into the bottom-up DIB as the file stores them.
//
// Decoded bytes are first appended to an output window, and complete rows are copied from there
// into the DIB. Every entry of the string table holds what defines it, a prefix code and a
// suffix byte, so that a string can always be found by walking the prefix chain. An entry that
// was built in the current table from a single byte or from another such entry (a well-formed
// entry) also knows where its string was last written in the window: it is the previous
// string, still in place, followed by the first byte of the string written after it. Such a
// string is copied 32 bytes per step. Well-formed data only ever meets such entries.
// Damaged data can name entries that are stale, undefined or that refer to codes above
// themselves; those are expanded through the prefix chain into the string stack, the chain's
// length bounded by the stack.
#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/locked_block.h"
#include "platform/platform.h"
#include "tiff/codec.h"
#include "tiff/reader.h"
#include "tiff/tiff.h"

// The decoding loop's helpers are inlined so that its state stays in registers.
#define QOR_INLINE __attribute__((always_inline))

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
// The window: the 256 single bytes, then the output of the strips. A string is appended only
// when the window has room for the longest one and the copy's overrun past it.
constexpr std::uint64_t kDataStart = 256;
constexpr std::uint64_t kWindowSlack = kStackSize + 64;
// When the window is full, at least this much of the latest output stays in it.
constexpr std::uint64_t kWindowKeep = 64 * 1024;
// The least window: large enough that sliding is rare, small enough that a read's working
// memory (window, table, stack and input block) stays within 1 MiB for rows of up to 128 KiB.
constexpr std::uint64_t kWindowLeast = 768 * 1024;
// Where an entry's string is when it is no longer in the window; window offsets stay below.
constexpr std::uint32_t kGone = 0xFFFFFF;
// Working memory: the input block, the string table, the string stack and the window.
constexpr int kBlocks = 4;

struct Entry {
    std::uint32_t place;   // the suffix byte (top 8 bits), the byte that the entry appends to its
                           // prefix string, and where the string was last written in the window
                           // (low 24 bits), or kGone
    std::uint16_t length;  // the string's length; 0 when only the prefix chain can tell
    std::uint16_t prefix;  // the code of the string that the entry extends
    std::uint64_t head;    // the string's first eight bytes (fewer when it is shorter), the
                           // first in the low byte
};
static_assert(sizeof(Entry) == 16);

constexpr std::uint32_t PosOf(std::uint32_t place) {
    return place & kGone;
}
constexpr std::uint8_t SuffixOf(std::uint32_t place) {
    return static_cast<std::uint8_t>(place >> 24);
}
constexpr std::uint32_t Place(std::uint64_t pos, std::uint8_t suffix) {
    return static_cast<std::uint32_t>(pos) | std::uint32_t{suffix} << 24;
}
// The head of a string extended by one byte.
constexpr std::uint64_t Extend(std::uint64_t head, std::uint32_t length, std::uint8_t byte) {
    return length < 8 ? head | std::uint64_t{byte} << (8 * length) : head;
}
inline void Store64(std::uint8_t* at, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(at, &v, 8);
}

// How a run of the decoder ended.
enum class Stop : std::uint8_t {
    kRunning,     // paused: the row asked for is in the DIB
    kFinished,    // every row written
    kDataEnded,   // the file ended, could not be read, or the data cannot be expanded
    kStripEnded,  // EndOfInformation, or the strip began more than rowsPerStrip rows (cut)
};

// The state of the decoding loop that the common case touches.
struct Cursor {
    // Bit reader: the next bits of the stream at the top of `bits`, `bitCount` of them counted.
    const std::uint8_t* in;
    const std::uint8_t* inEnd;
    std::uint64_t bits;
    std::uint32_t bitCount;
    std::uint32_t width;
    std::uint32_t nextFree;
    // The previous code; when its string is well formed (prevLength not 0) where it is in the
    // window and its head.
    std::uint32_t prevCode;
    std::uint32_t prevLength;
    std::uint64_t prevPos;
    std::uint64_t prevHead;
    // The window offset where the next string goes, and below which it must end for the
    // current row to stay incomplete and the window to keep its slack.
    std::uint64_t w;
    std::uint64_t limit;
};

struct LzwDecoder {
    HFILE file = plat::HFILE_ERROR;
    DibView rows;  // rows.height is imageLength
    std::uint64_t rowBytes = 0;
    std::uint32_t stripRows = 0;  // rows of the current strip
    std::uint8_t* input = nullptr;
    Entry* table = nullptr;
    std::uint8_t* stack = nullptr;
    std::uint8_t* window = nullptr;
    std::uint64_t windowEnd = 0;  // appending stops here: the rest is slack
    // Output: image row `imageRow` (0 = first in the file) starts at window offset `rowStart`;
    // `rowBegun` once a byte of it has arrived. `rowsInStrip` rows begun in the current strip.
    std::uint64_t rowStart = kDataStart;
    bool rowBegun = true;
    bool complete = false;  // every row is in the DIB
    std::uint64_t end = 0;  // where the output in the window ended
    std::uint32_t imageRow = 0;
    std::uint64_t rowsInStrip = 0;
    std::uint32_t rowsStored = 0;  // rows 0 to rowsStored - 1 are in the DIB, padding cleared
    unsigned channels = 0;         // interleaved 8-bit samples summed by Predictor 2; 0 without it
    bool bgr = false;              // 24-bit rows are stored with red and blue exchanged
    // The decoding loop's state between runs: the bit reader, the table and the previous code,
    // whether the next code follows a ClearCode, the first byte of the previous code's string
    // when it is not well formed, and the bytes of the input block.
    Cursor cursor{};
    bool afterClear = true;
    std::uint8_t prevFirst = 0;
    std::uint32_t filled = 0;
};

// Copies `count` bytes (at least 1) from `src` to `dst` 32 at a time; the source ends at or
// before `dst`, and up to 31 bytes past the end of the copy may be read and overwritten. Steps
// of 32 give the loop fewer distinct trip counts on the long strings of flat pictures, whose
// exit is hard to predict.
inline void CopyString(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t count) {
    std::uint8_t chunk[32];
    std::memcpy(chunk, src, 32);
    std::memcpy(dst, chunk, 32);
    for (std::uint32_t i = 32; i < count; i += 32) {
        std::memcpy(chunk, src + i, 32);
        std::memcpy(dst + i, chunk, 32);
    }
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

// Copies the first `count` bytes of the current row from the window into the DIB and clears the
// rest of the row. Rows are stored once each, in order.
void StoreRow(LzwDecoder& d, std::uint64_t count) {
    std::uint8_t* row = d.rows.Row(d.imageRow);
    std::memcpy(row, d.window + d.rowStart, static_cast<std::size_t>(count));
    std::memset(row + count, 0, static_cast<std::size_t>(d.rows.stride - count));
    if (d.channels != 0) UndoDifferencing(row, count, d.channels);
    // A pixel that arrived in part is exchanged too, its missing bytes being 0.
    if (d.bgr) ExchangeRedBlue(row, std::min<std::uint64_t>((count + 2) / 3, d.rows.width));
    d.rowsStored = d.imageRow + 1;
}

// Moves the rows that the window holds up to offset `end` into the DIB. A byte past a complete
// row begins the next one; when a strip begins more rows than it holds, that byte and everything
// after it are dropped (*end moves back) and the strip is cut. kFinished when the last row is
// stored.
Stop StoreRows(LzwDecoder& d, std::uint64_t* end) {
    const std::uint64_t rowBytes = d.rowBytes;
    for (;;) {
        if (!d.rowBegun) {
            if (*end == d.rowStart) return Stop::kRunning;
            ++d.rowsInStrip;
            if (d.rowsInStrip > d.stripRows) {
                *end = d.rowStart;
                return Stop::kStripEnded;
            }
            ++d.imageRow;
            d.rowBegun = true;
        }
        if (*end - d.rowStart < rowBytes) return Stop::kRunning;
        StoreRow(d, rowBytes);
        if (d.imageRow + 1 == d.rows.height) {
            d.complete = true;
            return Stop::kFinished;
        }
        d.rowStart += rowBytes;
        d.rowBegun = false;
    }
}

// Reads the next block of the strip into the input buffer: its byte count, 0 at the end of the
// file or on a read error.
std::uint32_t FillInput(LzwDecoder& d) {
    std::uint16_t position = 0;
    return FillReadBuffer(d.file, d.input, &position);
}

constexpr std::uint32_t kNeedBits = ~std::uint32_t{0};

// Decodes codes for as long as they take the common path: a defined, well-formed code after a
// well-formed one, whose string leaves the current row incomplete. Returns the first code that
// does not (already taken from the bit reader), or kNeedBits when the input block runs low.
[[gnu::noinline]] std::uint32_t FastCodes(Cursor& cursor, Entry* const table,
                                          std::uint8_t* const window) {
    Cursor c = cursor;
    std::uint32_t code;
    for (;;) {
        if (c.bitCount < c.width) {
            if (c.inEnd - c.in < 8) [[unlikely]] {
                code = kNeedBits;
                break;
            }
            std::uint64_t v;
            std::memcpy(&v, c.in, 8);
            if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
            c.bits |= v >> c.bitCount;
            std::uint32_t take = (63 - c.bitCount) >> 3;
            c.in += take;
            c.bitCount += take * 8;
        }
        code = static_cast<std::uint32_t>(c.bits >> (64 - c.width));
        c.bits <<= c.width;
        c.bitCount -= c.width;
        std::uint32_t length;
        std::uint64_t head;
        std::uint8_t* const dst = window + c.w;
        if (code < c.nextFree) [[likely]] {
            const Entry& e = table[code];
            length = e.length;
            head = e.head;
            if (length == 0 || c.prevLength == 0 || c.w + length >= c.limit ||
                (length > 8 && PosOf(e.place) >= c.w)) [[unlikely]] {
                break;
            }
            // Short strings come from the entry itself, longer ones from the window.
            if (length <= 8) {
                Store64(dst, head);
            } else {
                CopyString(dst, window + PosOf(e.place), length);
            }
        } else {
            // The code about to be defined: the previous string and its own first byte, which
            // is also what the new entry will be.
            if (code != c.nextFree || c.prevLength == 0) break;
            length = c.prevLength + 1;
            if (c.w + length >= c.limit) break;
            const std::uint8_t prevFirst = static_cast<std::uint8_t>(c.prevHead);
            head = Extend(c.prevHead, c.prevLength, prevFirst);
            if (length <= 8) {
                Store64(dst, head);
            } else {
                CopyString(dst, window + c.prevPos, c.prevLength);
                dst[c.prevLength] = prevFirst;
            }
        }
        const std::uint8_t firstByte = static_cast<std::uint8_t>(head);
        Entry& n = table[c.nextFree];  // at a full table, the spare entry kTableEnd
        n.place = Place(c.prevPos, firstByte);
        n.length = static_cast<std::uint16_t>(c.prevLength + 1);
        n.prefix = static_cast<std::uint16_t>(c.prevCode);
        n.head = Extend(c.prevHead, c.prevLength, firstByte);
        if (c.nextFree < kTableEnd) {
            ++c.nextFree;
            // The width grows when the next free code reaches 511, 1023 and 2047.
            if (((c.nextFree + 1) & c.nextFree) == 0 && c.width < kMaxCodeWidth) ++c.width;
        }
        c.prevCode = code;
        c.prevPos = c.w;
        c.prevLength = length;
        c.prevHead = head;
        c.w += length;
    }
    cursor = c;
    return code;
}

// Empties the bit reader and the table for a strip whose first byte is at the file position;
// its first code reads the first block.
void NewStrip(LzwDecoder& d) {
    Cursor& c = d.cursor;
    c.in = c.inEnd = d.input;
    d.filled = 0;
    c.bits = 0;
    c.bitCount = 0;
    c.width = 9;
    c.nextFree = kFirstFreeCode;
    c.prevLength = 0;
    d.afterClear = true;
}

// Where appending must stop for the current row to stay incomplete.
void SetLimit(LzwDecoder& d) {
    d.cursor.limit = d.rowBegun ? std::min(d.rowStart + d.rowBytes, d.windowEnd) : d.rowStart;
}

// The decoding loop proper: decodes the strip's codes until rows 0 to `want` - 1 are in the DIB
// (kRunning), every row is (kFinished), the strip ends or the data does.
Stop Run(LzwDecoder& d, std::uint32_t want) {
    Entry* const table = d.table;
    std::uint8_t* const stack = d.stack;
    std::uint8_t* const window = d.window;
    const std::uint8_t* const input = d.input;

    Cursor& cursor = d.cursor;
    const std::uint8_t*& in = cursor.in;
    const std::uint8_t*& inEnd = cursor.inEnd;
    std::uint64_t& bits = cursor.bits;
    std::uint32_t& bitCount = cursor.bitCount;
    std::uint32_t& width = cursor.width;
    std::uint32_t& nextFree = cursor.nextFree;
    std::uint32_t& prevCode = cursor.prevCode;
    std::uint32_t& prevLength = cursor.prevLength;
    std::uint64_t& prevPos = cursor.prevPos;
    std::uint64_t& prevHead = cursor.prevHead;
    std::uint64_t& w = cursor.w;
    bool& afterClear = d.afterClear;
    std::uint8_t& prevFirst = d.prevFirst;
    Stop stop = Stop::kRunning;

    auto clearTable = [&]() QOR_INLINE {
        width = 9;
        nextFree = kFirstFreeCode;
        afterClear = true;
        prevLength = 0;
    };
    // When the window is full: keeps the current row and the latest output, moved down to the
    // start of the data; strings of entries that fall out are found through their chains.
    auto slide = [&]() QOR_INLINE {
        std::uint64_t from = std::min(d.rowStart, w - std::min(w - kDataStart, kWindowKeep));
        std::uint64_t shift = from - kDataStart;
        if (shift == 0) return;
        std::memmove(window + kDataStart, window + from, static_cast<std::size_t>(w - from));
        w -= shift;
        d.rowStart -= shift;
        prevPos = prevPos >= from ? prevPos - shift : kGone;  // replaced by the caller
        for (std::uint32_t c = kFirstFreeCode; c < nextFree; ++c) {
            std::uint32_t pos = PosOf(table[c].place);
            table[c].place =
                Place(pos >= from && pos != kGone ? pos - shift : kGone, SuffixOf(table[c].place));
        }
    };

    // Every way out leaves the window offset that the output reached.
    auto finish = [&](Stop s) QOR_INLINE {
        d.end = w;
        return s;
    };

    for (;;) {
        std::uint32_t code = FastCodes(cursor, table, window);
        if (code == kNeedBits) {
            while (bitCount <= 56 && in < inEnd) {
                bits |= std::uint64_t{*in++} << (56 - bitCount);
                bitCount += 8;
            }
            if (bitCount < width) {
                // The block is used up: carry the remaining bits into the next one.
                d.filled = FillInput(d);
                if (d.filled == 0) return finish(Stop::kDataEnded);
                in = input;
                inEnd = input + d.filled;
                continue;
            }
            code = static_cast<std::uint32_t>(bits >> (64 - width));
            bits <<= width;
            bitCount -= width;
        }

        // Every other case, one step at a time.
        if (code == kEndOfInformation) return finish(Stop::kStripEnded);
        if (code == kClearCode) {
            clearTable();
            continue;
        }
        const std::uint64_t start = w;
        if (prevLength != 0) prevFirst = static_cast<std::uint8_t>(prevHead);
        std::uint64_t head = 0;
        std::uint32_t length;
        std::uint8_t firstByte;
        bool wellFormed;
        bool adds = !afterClear;
        if (afterClear) {
            // The first code of a table stands for its own low byte.
            afterClear = false;
            firstByte = static_cast<std::uint8_t>(code);
            window[w] = firstByte;
            length = 1;
            head = firstByte;
            wellFormed = code < 256;
        } else if (code < nextFree && table[code].length != 0) {
            Entry& e = table[code];
            length = e.length;
            head = e.head;
            firstByte = static_cast<std::uint8_t>(head);
            if (length <= 8) {
                Store64(window + w, head);
            } else if (PosOf(e.place) < w) {
                CopyString(window + w, window + PosOf(e.place), length);
            } else {
                // Its string has left the window: the chain of a well-formed entry is short.
                std::uint8_t* at = stack + length;
                for (std::uint32_t c = code; c > kEndOfInformation && at > stack + 1;
                     c = table[c].prefix) {
                    *--at = SuffixOf(table[c].place);
                }
                *--at = firstByte;
                std::memcpy(window + w, stack, length);
                e.place = Place(w, SuffixOf(e.place));
            }
            wellFormed = true;
        } else if (code >= nextFree && prevLength != 0) {
            // Not defined yet: the previous string and its own first byte.
            CopyString(window + w, window + prevPos, prevLength);
            window[w + prevLength] = prevFirst;
            length = prevLength + 1;
            firstByte = prevFirst;
            head = Extend(prevHead, prevLength, prevFirst);
            wellFormed = code == nextFree && nextFree < kTableEnd;
        } else {
            // Damaged data. Walk the prefix chain, last byte first, from the top of the stack.
            std::uint8_t* top = stack + kStackSize;
            std::uint8_t* at = top;
            std::uint32_t c = code;
            if (code >= nextFree) {
                *--at = prevFirst;
                c = prevCode;
            }
            while (c > kEndOfInformation && at != stack) {
                *--at = SuffixOf(table[c].place);
                c = table[c].prefix;
            }
            // Longer than any string of a table can be: the chain loops or is garbage.
            if (at == stack) return finish(Stop::kDataEnded);
            *--at = static_cast<std::uint8_t>(c);
            firstByte = *at;
            length = static_cast<std::uint32_t>(top - at);
            std::memcpy(window + w, at, length);
            wellFormed = false;
        }
        w += length;
        std::uint64_t shift = 0;
        if (w >= cursor.limit) {
            // A cut strip ends here: this code adds no entry.
            stop = StoreRows(d, &w);
            if (stop != Stop::kRunning) return finish(stop);
            if (w >= d.windowEnd) {
                std::uint64_t before = w;
                slide();
                shift = before - w;
            }
            SetLimit(d);
        }

        // The new entry: the previous string followed by this string's first byte.
        if (adds) {
            Entry& n = table[nextFree];
            n.place = Place(prevLength != 0 ? prevPos : kGone, firstByte);
            n.length = static_cast<std::uint16_t>(prevLength == 0 ? 0 : prevLength + 1);
            n.prefix = static_cast<std::uint16_t>(prevCode);
            n.head = Extend(prevHead, prevLength, firstByte);
            if (nextFree < kTableEnd) {
                ++nextFree;
                if (((nextFree + 1) & nextFree) == 0 && width < kMaxCodeWidth) ++width;
            }
        }
        prevCode = code;
        prevFirst = firstByte;
        prevPos = start - shift;
        prevLength = wellFormed ? length : 0;
        prevHead = head;
        // Paused once the row asked for is in the DIB; the next run goes on from here.
        if (d.rowsStored >= want) return finish(Stop::kRunning);
    }
}

// The output of a page's strips is one stream: a strip that ends before its rows lets the next
// one go on from the row it reached (a row may span two strips), and a strip that begins more
// rows than it holds is cut there. So the codec writes rows to the DIB itself, in order, and
// the loop hands it the same rows in the same order.
class LzwCodec final : public StripCodec {
  public:
    explicit LzwCodec(bool bgr) : bgr_(bgr) {}

    std::int16_t Start(HFILE file, const TiffPage&, const PageForm& form, const DibView& rows,
                       std::uint32_t) override {
        d_.file = file;
        d_.rows = rows;
        d_.rowBytes = form.rowBytes;
        d_.channels = form.predictorChannels;
        d_.bgr = bgr_ && form.exchangeRedBlue;
        // The window holds a row and the kept output twice over, so that sliding frees at least
        // half of it.
        d_.windowEnd = std::max(kWindowLeast, kDataStart + 4 * (d_.rowBytes + kWindowKeep));
        // Window offsets are 24-bit: rows of about 4 MB and more (far beyond the widest page
        // that validation accepts) cannot be held.
        if (d_.windowEnd + kWindowSlack >= kGone) return QOR_NO_MEMORY;
        const std::uint64_t sizes[kBlocks] = {TIFF_READ_BLOCK, sizeof(Entry) * kTableSize,
                                              kStackSize + 16, d_.windowEnd + kWindowSlack};
        for (int i = 0; i < kBlocks; ++i) {
            if (!blocks_[i].Allocate(sizes[i])) return QOR_NO_MEMORY;
        }
        d_.input = blocks_[0].data();
        d_.table = blocks_[1].As<Entry>();
        d_.stack = blocks_[2].data();
        d_.window = blocks_[3].data();
        // Codes below 256 stand for their own byte, kept at the start of the window; ClearCode
        // and EndOfInformation have no string.
        for (std::uint32_t c = 0; c < 256; ++c) {
            d_.window[c] = static_cast<std::uint8_t>(c);
            d_.table[c].place = Place(c, 0);
            d_.table[c].length = 1;
            d_.table[c].head = c;
        }
        // The first row of the file is the top row of the DIB; it is begun from the start.
        d_.imageRow = 0;
        d_.rowStart = kDataStart;
        d_.rowBegun = true;
        d_.cursor.w = kDataStart;
        return 0;
    }

    void BeginStrip(const StripSpan& strip) override {
        d_.stripRows = strip.rows;
        // The first row of the page counts as begun in the first strip; later strips count the
        // rows they begin, a row carried over from the strip before not among them.
        d_.rowsInStrip = firstStrip_ ? 1 : 0;
        firstStrip_ = false;
        NewStrip(d_);
        SetLimit(d_);
        pending_ = Stop::kRunning;
    }

    RowResult NextRow(std::uint8_t*) override {
        const std::uint32_t want = handed_ + 1;
        for (;;) {
            // Rows are stored as soon as the window holds them, several at once after a long
            // string, before the strip's end is handed on.
            if (d_.rowsStored >= want) {
                handed_ = want;
                return 0;
            }
            switch (pending_) {
                case Stop::kRunning:
                    pending_ = Run(d_, want);
                    continue;
                case Stop::kStripEnded:
                case Stop::kFinished:
                    return RowResult::StripEnded();
                case Stop::kDataEnded:
                    KeepPartialRow();
                    return QOR_READ_FAILED;
            }
        }
    }

    void Finish(std::uint8_t*) override { KeepPartialRow(); }

    bool RowsFollowOn() const override { return true; }

  private:
    // A row left unfinished keeps what arrived of it; rows that got nothing stay as the fresh,
    // cleared block has them.
    void KeepPartialRow() {
        if (!d_.complete && d_.rowBegun && d_.end > d_.rowStart) {
            StoreRow(d_, std::min(d_.end - d_.rowStart, d_.rowBytes));
        }
    }

    bool bgr_;
    LzwDecoder d_;
    plat::LockedBlock blocks_[kBlocks];
    bool firstStrip_ = true;
    std::uint32_t handed_ = 0;  // rows the loop has taken
    Stop pending_ = Stop::kRunning;
};

std::int16_t DecodeLzw(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                       bool bgr) {
    LzwCodec codec(bgr);
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace

std::int16_t DecodeLzwStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                             TiffPage* page) {
    return DecodeLzw(progress, dib, file, page, false);
}

std::int16_t DecodeLzwStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page) {
    return DecodeLzw(progress, dib, file, page, true);
}

}  // namespace qor::tiff
