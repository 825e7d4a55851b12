// LZW strip decoder for TIFF Compression 5: codes of 9 to 12 bits, most significant bit first,
// the code width raised one code early, ClearCode 256 and EndOfInformation 257, optional
// horizontal differencing (Predictor 2). Rows go into the bottom-up DIB as the file stores them.
// An extended read also takes strips of the old kind (StartsOldStyleLzw): codes stored least
// significant bit first, the width raised when the next free code reaches 512, 1024 and 2048.
// Those are decoded one code at a time by the slow path alone; the common path never sees them.
//
// Where the rows are delivered as the file stores them (no Predictor 2, no red and blue
// exchange) and are long enough, strings are written straight into the DIB rows and copied from
// there: the output is the rows themselves. Otherwise decoded bytes are first appended to an
// output window, and complete rows are copied from there into the DIB, undoing the predictor and
// exchanging red and blue on the way. Every entry of the string table holds what defines it, a
// prefix code and a suffix byte, so that a string can always be found by walking the prefix
// chain. An entry that was built in the current table from a single byte or from another such
// entry (a well-formed entry) also knows where its string was last written in the output: it is
// the previous string, still in place, followed by the first byte of the string written after
// it. Such a string is copied 32 bytes per step (64 for the first step in the rows, where strings
// are longer). Well-formed data only ever meets such entries. Damaged data can name entries that
// are stale, undefined or that refer to codes above themselves; those are expanded through the
// prefix chain into the string stack, the chain's length bounded by the stack.
//
// Rows are stored bottom-up and padded, so the rows are not one run of memory: a string that
// crosses from one row into the next has no place, nor has one that ends so near its row's end
// that a copy's overrun would pass it (rows after it in the file lie below it in memory, rows
// before it above). Those entries are written from their prefix chains when next named, and then
// have a place again. The common path takes only strings that end well before the current row
// does; the slow path writes the others exactly, row by row.
//
// Two paths decode the codes: FastCodes takes the common ones in one tight loop, SlowCode every
// other one, one at a time. Both add entries by the one step AddEntry; the rare steps (a table
// reset, a damaged code, a string that left the window, the window's slide, a row's end) are out
// of line. The bits come from the platform's bit reader, the bytes go to the row writer, which
// owns the window and the DIB rows.
#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/bit_reader.h"
#include "platform/locked_block.h"
#include "platform/platform.h"
#include "tiff/codec.h"
#include "tiff/predictor.h"
#include "tiff/reader.h"
#include "tiff/tiff.h"

// The steps that the common path shares are inlined so that its state stays in registers.
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
// Working memory: the input block, the string table, the string stack and the window (none when
// strings go straight into the rows).
constexpr int kBlocks = 4;
// Into the rows: a string is copied on the common path only when it ends this far before its
// row's end, the most that its copy writes and reads past it; and rows shorter than 4 times this
// go through the window.
constexpr std::uint64_t kRowsMargin = 64;
constexpr std::uint64_t kLeastRowsRow = 4 * kRowsMargin;
// Into the rows, offsets are taken from a base in the DIB, below the current row: when a row
// begins outside [base, base + kRowsSpan], the base moves to this far below it.
constexpr std::uint64_t kRowsSpan = 1 << 20;

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

// The codes' side of the decoder: the table's growth and the previous code.
struct Codes {
    std::uint32_t width;
    std::uint32_t nextFree;
    bool afterClear;  // the next code is the first of a table
    // The previous code; when its string is well formed (prevLength not 0) where it is in the
    // window. The low byte of prevHead is always the string's first byte.
    std::uint32_t prevCode;
    std::uint32_t prevLength;
    std::uint64_t prevPos;
    std::uint64_t prevHead;
};

// The output side: the window that strings are appended to, and the DIB rows that complete rows
// are copied into; or, `intoRows`, the DIB rows alone, `window` then being a base in the DIB
// from which the offsets count. Image row `imageRow` (0 = first in the file) starts at offset
// `rowStart`; `rowBegun` once a byte of it has arrived. `rowsInStrip` rows begun in the current
// strip.
struct RowWriter {
    DibView rows;  // rows.height is imageLength
    std::uint64_t rowBytes = 0;
    unsigned channels = 0;  // interleaved 8-bit samples summed by Predictor 2; 0 without it
    bool bgr = false;       // 24-bit rows are stored with red and blue exchanged
    bool intoRows = false;
    std::uint64_t base = 0;  // into the rows: `window` less rows.pixels
    std::uint8_t* window = nullptr;
    std::uint64_t windowEnd = 0;  // appending stops here: the rest is slack
    // Where the next string goes, and below which it must end for the current row to stay
    // incomplete and the window to keep its slack.
    std::uint64_t at = kDataStart;
    std::uint64_t limit = 0;
    std::uint64_t rowStart = kDataStart;
    bool rowBegun = true;
    bool complete = false;  // every row is in the DIB
    std::uint32_t imageRow = 0;
    std::uint64_t rowsInStrip = 0;
    std::uint32_t stripRows = 0;   // rows of the current strip
    std::uint32_t rowsStored = 0;  // rows 0 to rowsStored - 1 are in the DIB, padding cleared

    void StoreRow(std::uint64_t count);
    Stop StoreRows();
    // Where appending must stop for the current row to stay incomplete; into the rows, where the
    // common path must stop (0 when no row is begun).
    void SetLimit() {
        if (intoRows) {
            limit = rowBegun && rowBytes > kRowsMargin ? rowStart + rowBytes - kRowsMargin : 0;
        } else {
            limit = rowBegun ? std::min(rowStart + rowBytes, windowEnd) : rowStart;
        }
    }
};

struct LzwDecoder {
    plat::BitReader in;
    Codes codes{};
    RowWriter out;
    Entry* table = nullptr;
    std::uint8_t* stack = nullptr;
    // Since the strip began, a prefix chain reached an entry above the table's last, one that an
    // earlier table left: what it gave depends on the strips decoded before.
    bool leftOver = false;
};

// Copies `count` bytes (at least 1) from `src` to `dst`, kFirst and then 32 at a time; the source
// ends at or before `dst`, and up to kFirst - 1 bytes past the end of the copy may be read and
// overwritten. Steps of 32 give the loop fewer distinct trip counts on the long strings of flat
// pictures, whose exit is hard to predict; a first step of 64 spares most strings of one byte a
// pixel the loop.
template <std::uint32_t kFirst = 32>
inline void CopyString(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t count) {
    std::uint8_t chunk[kFirst];
    std::memcpy(chunk, src, kFirst);
    std::memcpy(dst, chunk, kFirst);
    for (std::uint32_t i = kFirst; i < count; i += 32) {
        std::memcpy(chunk, src + i, 32);
        std::memcpy(dst + i, chunk, 32);
    }
}

// Copies the first `count` bytes of the current row from the window into the DIB and clears the
// rest of the row. Rows are stored once each, in order.
void RowWriter::StoreRow(std::uint64_t count) {
    std::uint8_t* row = rows.Row(imageRow);
    std::memcpy(row, window + rowStart, static_cast<std::size_t>(count));
    std::memset(row + count, 0, static_cast<std::size_t>(rows.stride - count));
    if (channels != 0) UndoDifferencing(row, count, channels);
    // A pixel that arrived in part is exchanged too, its missing bytes being 0.
    if (bgr) ExchangeRedBlue(row, std::min<std::uint64_t>((count + 2) / 3, rows.width));
    rowsStored = imageRow + 1;
}

// Moves the rows that the window holds up to `at` into the DIB. A byte past a complete row
// begins the next one; when a strip begins more rows than it holds, that byte and everything
// after it are dropped (`at` moves back) and the strip is cut. kFinished when the last row is
// stored.
Stop RowWriter::StoreRows() {
    for (;;) {
        if (!rowBegun) {
            if (at == rowStart) return Stop::kRunning;
            if (++rowsInStrip > stripRows) {
                at = rowStart;
                return Stop::kStripEnded;
            }
            ++imageRow;
            rowBegun = true;
        }
        if (at - rowStart < rowBytes) return Stop::kRunning;
        StoreRow(rowBytes);
        if (imageRow + 1 == rows.height) {
            complete = true;
            return Stop::kFinished;
        }
        rowStart += rowBytes;
        rowBegun = false;
    }
}

constexpr std::uint32_t kNeedBits = ~std::uint32_t{0};

// The step that every code but the first of a table takes, on either path: the entry that the
// previous string followed by this string's first byte makes, and the growth of the code width.
template <bool kOldStyle = false>
QOR_INLINE inline void AddEntry(Entry* table, Codes& c, std::uint8_t firstByte) {
    Entry& n = table[c.nextFree];  // at a full table, the spare entry kTableEnd
    n.place = Place(c.prevLength != 0 ? c.prevPos : kGone, firstByte);
    n.length = static_cast<std::uint16_t>(c.prevLength == 0 ? 0 : c.prevLength + 1);
    n.prefix = static_cast<std::uint16_t>(c.prevCode);
    n.head = Extend(c.prevHead, c.prevLength, firstByte);
    if (c.nextFree < kTableEnd) {
        ++c.nextFree;
        // The width grows when the next free code reaches 511, 1023 and 2047 (old-style data:
        // 512, 1024 and 2048).
        const std::uint32_t edge = kOldStyle ? c.nextFree : c.nextFree + 1;
        if ((edge & (edge - 1)) == 0 && c.width < kMaxCodeWidth) ++c.width;
    }
}

// Makes `code` the previous code: its string, `length` bytes written at `pos` that begin with
// `head`, is well formed when `wellFormed`.
QOR_INLINE inline void Follow(Codes& c, std::uint32_t code, std::uint64_t pos, std::uint32_t length,
                              std::uint64_t head, bool wellFormed) {
    c.prevCode = code;
    c.prevPos = pos;
    c.prevLength = wellFormed ? length : 0;
    c.prevHead = head;
}

// The common path: decodes codes for as long as each is a defined, well-formed code after a
// well-formed one, whose string leaves the current row incomplete. Returns the first code that
// is not (already taken from the bit reader), or kNeedBits when the input block runs low. It is
// kept whole, one leaf loop over copies of the bit reader, the codes' state and the writer's
// place that calls nothing out of line: any call out of it would put that state back in memory
// on every code. Into the rows (kRows), a string's place is one of the rows' or none.
template <bool kRows>
[[gnu::noinline]] std::uint32_t FastCodes(plat::BitReader& reader, Codes& codes, RowWriter& out,
                                          Entry* const table) {
    // Past the end of the file the bits held are the stream's only in part: the codes are taken
    // one by one (and only a fill, which this loop does not make, adds padding).
    if (reader.padding != 0) return kNeedBits;
    plat::BitReader in = reader;
    Codes c = codes;
    std::uint8_t* const window = out.window;
    const std::uint64_t limit = out.limit;
    std::uint64_t at = out.at;
    std::uint32_t code;
    for (;;) {
        if (in.count < c.width && !in.FillWordIn(false)) [[unlikely]] {
            code = kNeedBits;
            break;
        }
        code = in.Peek(c.width);
        in.Skip(c.width);
        std::uint32_t length;
        std::uint64_t head;
        std::uint8_t* const dst = window + at;
        if (code < c.nextFree) [[likely]] {
            const Entry& e = table[code];
            length = e.length;
            head = e.head;
            if (length == 0 || c.prevLength == 0 || at + length >= limit ||
                (length > 8 && PosOf(e.place) >= (kRows ? kGone : at))) [[unlikely]] {
                break;
            }
            // Short strings come from the entry itself, longer ones from the output.
            if (length <= 8) {
                Store64(dst, head);
            } else {
                CopyString<kRows ? 64 : 32>(dst, window + PosOf(e.place), length);
            }
        } else {
            // The code about to be defined: the previous string and its own first byte, which
            // is also what the new entry will be.
            if (code != c.nextFree || c.prevLength == 0 || (kRows && c.prevPos == kGone)) break;
            length = c.prevLength + 1;
            if (at + length >= limit) break;
            const auto prevFirst = static_cast<std::uint8_t>(c.prevHead);
            head = Extend(c.prevHead, c.prevLength, prevFirst);
            if (length <= 8) {
                Store64(dst, head);
            } else {
                CopyString<kRows ? 64 : 32>(dst, window + c.prevPos, c.prevLength);
                dst[c.prevLength] = prevFirst;
            }
        }
        AddEntry(table, c, static_cast<std::uint8_t>(head));
        Follow(c, code, at, length, head, true);
        at += length;
    }
    reader.AdvanceTo(in);
    codes = c;
    out.at = at;
    return code;
}

// A ClearCode, and the start of every strip: the table holds the single bytes only.
[[gnu::noinline]] void ClearTable(Codes& c) {
    c.width = 9;
    c.nextFree = kFirstFreeCode;
    c.afterClear = true;
    c.prevLength = 0;
}

// The string of a well-formed entry that has no place, written into the string stack: its last
// bytes from the prefix chain, back to the first entry of the chain that has a place below
// `placedBelow` or holds its whole string in `head`, whose string gives the rest. In a chain of
// well-formed entries each is one byte shorter than the one before, and such an entry is
// usually found a step or two back.
[[gnu::noinline]] void ChainString(const LzwDecoder& d, std::uint32_t code,
                                   std::uint64_t placedBelow) {
    std::uint8_t* at = d.stack + d.table[code].length;
    std::uint32_t c = code;
    while (c > kEndOfInformation && d.table[c].length > 8 &&
           PosOf(d.table[c].place) >= placedBelow && at > d.stack) {
        *--at = SuffixOf(d.table[c].place);
        c = d.table[c].prefix;
    }
    const Entry& e = d.table[c];
    const auto rest = static_cast<std::size_t>(std::min<std::ptrdiff_t>(e.length, at - d.stack));
    if (e.length <= 8) {
        std::uint8_t head[8];
        Store64(head, e.head);
        std::memcpy(d.stack, head, rest);
    } else {
        std::memcpy(d.stack, d.out.window + PosOf(e.place), rest);
    }
}

// Damaged data: a code that is undefined, stale, or that only the prefix chain can tell. Walks
// the chain, last byte first, from the top of the stack, and leaves the string there, at
// *string: its length, or 0 when the chain is longer than any string of a table can be (it
// loops or is garbage). *first is the string's first byte.
[[gnu::noinline]] std::uint32_t DamagedString(LzwDecoder& d, std::uint32_t code,
                                              std::uint8_t* first, const std::uint8_t** string) {
    const Codes& c = d.codes;
    std::uint8_t* const top = d.stack + kStackSize;
    std::uint8_t* at = top;
    std::uint32_t k = code;
    if (code >= c.nextFree) {
        *--at = static_cast<std::uint8_t>(c.prevHead);
        k = c.prevCode;
    }
    while (k > kEndOfInformation && at != d.stack) {
        if (k >= c.nextFree) d.leftOver = true;
        *--at = SuffixOf(d.table[k].place);
        k = d.table[k].prefix;
    }
    if (at == d.stack) return 0;
    *--at = static_cast<std::uint8_t>(k);
    *first = *at;
    *string = at;
    return static_cast<std::uint32_t>(top - at);
}

// When the window is full: keeps the current row and the latest output, moved down to the start
// of the data; strings of entries that fall out are found through their chains. Returns how far
// the output moved.
[[gnu::noinline]] std::uint64_t SlideWindow(LzwDecoder& d) {
    RowWriter& out = d.out;
    const std::uint64_t from =
        std::min(out.rowStart, out.at - std::min(out.at - kDataStart, kWindowKeep));
    const std::uint64_t shift = from - kDataStart;
    if (shift == 0) return 0;
    std::memmove(out.window + kDataStart, out.window + from,
                 static_cast<std::size_t>(out.at - from));
    out.at -= shift;
    out.rowStart -= shift;
    Codes& c = d.codes;
    c.prevPos = c.prevPos >= from ? c.prevPos - shift : kGone;
    for (std::uint32_t k = kFirstFreeCode; k < c.nextFree; ++k) {
        const std::uint32_t pos = PosOf(d.table[k].place);
        d.table[k].place =
            Place(pos >= from && pos != kGone ? pos - shift : kGone, SuffixOf(d.table[k].place));
    }
    return shift;
}

// What SlowCode makes of a code other than ClearCode and EndOfInformation: its string, whole in
// the string stack or where DamagedString left it, and what the code adds to the table.
struct SlowString {
    const std::uint8_t* string = nullptr;
    std::uint32_t length = 0;
    std::uint64_t head = 0;
    bool wellFormed = true;
    bool adds = false;
};

// The string of the well-formed entry `code` written into the string stack; a place at or above
// `placedBelow` is taken for none.
void StringOf(const LzwDecoder& d, std::uint32_t code, std::uint64_t placedBelow) {
    const Entry& e = d.table[code];
    if (e.length <= 8) {
        Store64(d.stack, e.head);
    } else if (PosOf(e.place) < placedBelow) {
        std::memcpy(d.stack, d.out.window + PosOf(e.place), e.length);
    } else {
        ChainString(d, code, placedBelow);
    }
}

// The first step of SlowCode, into the window or into the rows (where output offsets do not grow
// up the DIB, so every place counts): a ClearCode starts a table (kRunning, no string), an
// EndOfInformation ends the strip, a chain that cannot be expanded ends the data; any other code
// gives its string.
Stop ExpandCode(LzwDecoder& d, std::uint32_t code, bool intoRows, SlowString* s) {
    Codes& c = d.codes;
    if (code == kEndOfInformation) return Stop::kStripEnded;
    if (code == kClearCode) {
        ClearTable(c);
        return Stop::kRunning;
    }
    const std::uint64_t placedBelow = intoRows ? kGone : d.out.at;
    const auto prevFirst = static_cast<std::uint8_t>(c.prevHead);
    s->adds = !c.afterClear;
    s->string = d.stack;
    if (c.afterClear) {
        // The first code of a table stands for its own low byte.
        c.afterClear = false;
        s->head = static_cast<std::uint8_t>(code);
        d.stack[0] = static_cast<std::uint8_t>(code);
        s->length = 1;
        s->wellFormed = code < 256;
    } else if (code < c.nextFree && d.table[code].length != 0) {
        s->length = d.table[code].length;
        s->head = d.table[code].head;
        StringOf(d, code, placedBelow);
    } else if (code >= c.nextFree && c.prevLength != 0) {
        // Not defined yet: the previous string, which is its entry's, and its own first byte.
        StringOf(d, c.prevCode, placedBelow);
        d.stack[c.prevLength] = prevFirst;
        s->length = c.prevLength + 1;
        s->head = Extend(c.prevHead, c.prevLength, prevFirst);
        s->wellFormed = code == c.nextFree && c.nextFree < kTableEnd;
    } else {
        std::uint8_t first = 0;
        s->length = DamagedString(d, code, &first, &s->string);
        if (s->length == 0) return Stop::kDataEnded;
        s->head = first;
        s->wellFormed = false;
    }
    return Stop::kRunning;
}

// The last step of SlowCode: the table's new entry, and the code's string, written at `placed`,
// becomes the previous one. A well-formed entry takes that place (one that had none gets one
// again).
template <bool kOldStyle>
void FollowSlowCode(LzwDecoder& d, std::uint32_t code, const SlowString& s, std::uint64_t placed) {
    Codes& c = d.codes;
    if (s.adds) AddEntry<kOldStyle>(d.table, c, static_cast<std::uint8_t>(s.head));
    if (s.wellFormed && code >= kFirstFreeCode && placed != kGone) {
        Entry& e = d.table[code];
        e.place = Place(placed, SuffixOf(e.place));
    }
    Follow(c, code, placed, s.length, s.head, s.wellFormed);
}

// Decodes one code of any kind, one step at a time: those that FastCodes leaves, and every code
// of old-style data.
template <bool kOldStyle>
Stop SlowCode(LzwDecoder& d, std::uint32_t code) {
    RowWriter& out = d.out;
    SlowString s;
    if (const Stop stop = ExpandCode(d, code, false, &s); stop != Stop::kRunning || s.length == 0) {
        return stop;
    }
    std::memcpy(out.window + out.at, s.string, s.length);
    const std::uint64_t start = out.at;
    out.at += s.length;
    std::uint64_t shift = 0;
    if (out.at >= out.limit) {
        // A cut strip ends here: this code adds no entry.
        const Stop stop = out.StoreRows();
        if (stop != Stop::kRunning) return stop;
        if (out.at >= out.windowEnd) shift = SlideWindow(d);
        out.SetLimit();
    }
    FollowSlowCode<kOldStyle>(d, code, s, start - shift);
    return Stop::kRunning;
}

// Into the rows: begins image row `imageRow`. Offsets count from a base below it in the DIB; when
// the row lies outside [base, base + kRowsSpan], the base moves to kRowsSpan below it (or to the
// bottom row) and the places that the move takes out of 24 bits are lost.
void BeginRow(LzwDecoder& d) {
    RowWriter& out = d.out;
    const auto row = static_cast<std::uint64_t>(out.rows.Row(out.imageRow) - out.rows.pixels);
    if (out.window == nullptr || row < out.base || row - out.base > kRowsSpan) {
        const std::uint64_t base = row > kRowsSpan ? row - kRowsSpan : 0;
        const auto Moved = [&](std::uint64_t pos) -> std::uint64_t {
            if (out.window == nullptr || pos >= kGone) return kGone;
            const std::uint64_t to = pos + out.base - base;  // wraps below the new base
            return to < kGone ? to : kGone;
        };
        Codes& c = d.codes;
        c.prevPos = Moved(c.prevPos);
        for (std::uint32_t k = kFirstFreeCode; k < c.nextFree; ++k) {
            Entry& e = d.table[k];
            e.place = Place(Moved(PosOf(e.place)), SuffixOf(e.place));
        }
        out.base = base;
        out.window = out.rows.pixels + base;
    }
    out.rowStart = out.at = row - out.base;
    out.rowBegun = true;
}

// Into the rows: writes the `length` bytes at `string` at the writer's place, row by row. A byte
// past a complete row begins the next one; when a strip begins more rows than it holds, that byte
// and everything after it are dropped and the strip is cut. *placed becomes where the string
// now lies, when it lies whole in one row and ends kRowsMargin before the row's end, or kGone.
Stop WriteIntoRows(LzwDecoder& d, const std::uint8_t* string, std::uint32_t length,
                   std::uint64_t* placed) {
    RowWriter& out = d.out;
    *placed = kGone;
    std::uint64_t start = out.at;
    bool whole = true;
    for (std::uint32_t done = 0; done < length;) {
        if (!out.rowBegun) {
            if (++out.rowsInStrip > out.stripRows) return Stop::kStripEnded;
            ++out.imageRow;
            BeginRow(d);
            if (done == 0) {
                start = out.at;
            } else {
                whole = false;
            }
        }
        const std::uint64_t rowEnd = out.rowStart + out.rowBytes;
        const auto n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(length - done, rowEnd - out.at));
        std::memcpy(out.window + out.at, string + done, n);
        out.at += n;
        done += n;
        if (out.at == rowEnd) {
            out.rowsStored = out.imageRow + 1;
            if (out.imageRow + 1 == out.rows.height) {
                out.complete = true;
                return Stop::kFinished;
            }
            out.rowBegun = false;
        }
    }
    if (whole && start + length + kRowsMargin <= out.rowStart + out.rowBytes) *placed = start;
    return Stop::kRunning;
}

// SlowCode into the rows: every string is made whole in the string stack (or found there) and
// then written exactly, row by row.
template <bool kOldStyle>
Stop SlowCodeIntoRows(LzwDecoder& d, std::uint32_t code) {
    SlowString s;
    if (const Stop stop = ExpandCode(d, code, true, &s); stop != Stop::kRunning || s.length == 0) {
        return stop;
    }
    std::uint64_t placed;
    // A cut strip ends here: this code adds no entry.
    const Stop stop = WriteIntoRows(d, s.string, s.length, &placed);
    if (stop != Stop::kRunning) return stop;
    d.out.SetLimit();
    FollowSlowCode<kOldStyle>(d, code, s, placed);
    return Stop::kRunning;
}

// The low `width` bits of `v` in reverse order: an old-style code read through the reversed bit
// reader, whose first bit is the code's lowest.
inline std::uint32_t ReverseCode(std::uint32_t v, std::uint32_t width) {
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
    v = (v >> 16) | (v << 16);
    return v >> (32 - width);
}

// Decodes the strip's codes until rows 0 to `want` - 1 are in the DIB (kRunning), every row is
// (kFinished), the strip ends or the data does.
template <bool kOldStyle, bool kRows>
Stop Run(LzwDecoder& d, std::uint32_t want) {
    for (;;) {
        std::uint32_t code =
            kOldStyle ? kNeedBits : FastCodes<kRows>(d.in, d.codes, d.out, d.table);
        if (code == kNeedBits) {
            // The block is used up: the bits go on in the next one.
            const std::uint32_t width = d.codes.width;
            if (!d.in.Holds(width)) return Stop::kDataEnded;
            code = d.in.Peek(width);
            d.in.Skip(width);
            if (kOldStyle) code = ReverseCode(code, width);
        }
        const Stop stop =
            kRows ? SlowCodeIntoRows<kOldStyle>(d, code) : SlowCode<kOldStyle>(d, code);
        // Paused once the row asked for is in the DIB; the next run goes on from here.
        if (stop != Stop::kRunning || d.out.rowsStored >= want) return stop;
    }
}

// The output of a page's strips is one stream: a strip that ends before its rows lets the next
// one go on from the row it reached (a row may span two strips), and a strip that begins more
// rows than it holds is cut there. So the codec writes rows to the DIB itself, in order, and
// the loop hands it the same rows in the same order.
class LzwCodec final : public StripCodec {
  public:
    // `windowLeast` may be lowered to keep the working memory small; the window still holds
    // what sliding needs.
    explicit LzwCodec(bool bgr, std::uint64_t windowLeast = kWindowLeast)
        : bgr_(bgr), windowLeast_(windowLeast) {}

    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView& rows,
                       std::uint32_t) override {
        extended_ = page.extended;
        RowWriter& out = d_.out;
        out.rows = rows;
        out.rowBytes = form.rowBytes;
        out.channels = form.predictorChannels;
        out.bgr = bgr_ && form.exchangeRedBlue;
        out.intoRows = IntoRows(form);
        if (out.intoRows) {
            const std::uint64_t sizes[3] = {TIFF_READ_BLOCK, sizeof(Entry) * kTableSize,
                                            kStackSize + 16};
            for (int i = 0; i < 3; ++i) {
                if (!blocks_[i].Allocate(sizes[i])) return QOR_NO_MEMORY;
            }
            SetUpBlocks(file);
            // Single bytes come from their entries; the first row is begun from the start.
            for (std::uint32_t c = 0; c < 256; ++c) d_.table[c].place = Place(kGone, 0);
            BeginRow(d_);
            return 0;
        }
        // A small page (a tile) needs no more than its own rows.
        const std::uint64_t least =
            std::min(windowLeast_, kDataStart + out.rowBytes * std::uint64_t{rows.height});
        out.windowEnd = std::max(least, LeastWindow(out.rowBytes));
        // Window offsets are 24-bit: rows of about 4 MB and more (far beyond the widest page
        // that validation accepts) cannot be held.
        if (out.windowEnd + kWindowSlack >= kGone) return QOR_NO_MEMORY;
        const std::uint64_t sizes[kBlocks] = {TIFF_READ_BLOCK, sizeof(Entry) * kTableSize,
                                              kStackSize + 16, out.windowEnd + kWindowSlack};
        for (int i = 0; i < kBlocks; ++i) {
            if (!blocks_[i].Allocate(sizes[i])) return QOR_NO_MEMORY;
        }
        SetUpBlocks(file);
        out.window = blocks_[3].data();
        // Codes below 256 stand for their own byte, kept at the start of the window.
        for (std::uint32_t c = 0; c < 256; ++c) out.window[c] = static_cast<std::uint8_t>(c);
        // The first row of the file is the top row of the DIB; it is begun from the start, at
        // the window's kDataStart (RowWriter's own start).
        return 0;
    }

    void BeginStrip(const StripSpan& strip) override {
        RowWriter& out = d_.out;
        out.stripRows = strip.rows;
        // The first row of the page counts as begun in the first strip; later strips count the
        // rows they begin, a row carried over from the strip before not among them.
        out.rowsInStrip = firstStrip_ ? 1 : 0;
        firstStrip_ = false;
        // The strip's first code reads its first block, and starts a table.
        d_.in.Restart();
        d_.in.reversed = false;
        oldStyle_ = false;
        // An extended read looks at each strip's first two bytes for old-style data, which is
        // read with each byte's bits reversed: a code's first bit is then its lowest.
        if (extended_ && d_.in.Holds(16)) {
            const std::uint32_t head = d_.in.Peek(16);
            oldStyle_ = StartsOldStyleLzw(static_cast<std::uint8_t>(head >> 8),
                                          static_cast<std::uint8_t>(head));
            if (oldStyle_) d_.in.ReverseFillOrder();
        }
        ClearTable(d_.codes);
        out.SetLimit();
        pending_ = Stop::kRunning;
        d_.leftOver = false;
    }

    RowResult NextRow(std::uint8_t*) override {
        const std::uint32_t want = handed_ + 1;
        for (;;) {
            // Rows are stored as soon as the window holds them, several at once after a long
            // string, before the strip's end is handed on.
            if (d_.out.rowsStored >= want) {
                handed_ = want;
                return 0;
            }
            switch (pending_) {
                case Stop::kRunning:
                    if (d_.out.intoRows) {
                        pending_ =
                            oldStyle_ ? Run<true, true>(d_, want) : Run<false, true>(d_, want);
                    } else {
                        pending_ =
                            oldStyle_ ? Run<true, false>(d_, want) : Run<false, false>(d_, want);
                    }
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

    bool UsedEarlierStrips() const override { return d_.leftOver; }

    std::unique_ptr<StripCodec> Another(const TiffPage&, const PageForm& form,
                                        std::uint64_t bytes) const override {
        constexpr std::uint64_t kRowsFixed =
            TIFF_READ_BLOCK + sizeof(Entry) * kTableSize + kStackSize + 16;
        constexpr std::uint64_t kFixed = kRowsFixed + kWindowSlack;
        if (IntoRows(form)) {
            if (bytes < kRowsFixed) return nullptr;
            return std::make_unique<LzwCodec>(bgr_);
        }
        if (bytes < kFixed + LeastWindow(form.rowBytes)) return nullptr;
        return std::make_unique<LzwCodec>(bgr_, std::min(kWindowLeast, bytes - kFixed));
    }

    // At row 0, the page's start: its first row counts as begun in the first strip. Elsewhere,
    // the state that a strip which ended with its last row complete leaves. The window's bytes
    // stay, unused.
    void BeginRowsAt(std::uint32_t row) override {
        RowWriter& out = d_.out;
        out.imageRow = row == 0 ? 0 : row - 1;
        out.rowBegun = row == 0;
        out.rowsStored = row;
        out.rowStart = out.at;
        out.complete = false;
        if (out.intoRows && row == 0) BeginRow(d_);
        firstStrip_ = row == 0;
        handed_ = row;
    }

  private:
    // Whether strings go straight into the rows: they are stored as the file has them, and long
    // enough for the common path to take most of their strings.
    bool IntoRows(const PageForm& form) const {
        return form.predictorChannels == 0 && !(bgr_ && form.exchangeRedBlue) &&
               form.rowBytes >= kLeastRowsRow;
    }

    void SetUpBlocks(HFILE file) {
        d_.in.input = plat::BlockReader{file, blocks_[0].data(), TIFF_READ_BLOCK};
        d_.table = blocks_[1].As<Entry>();
        d_.stack = blocks_[2].data();
        // Codes below 256 stand for their own byte; ClearCode and EndOfInformation have no
        // string.
        for (std::uint32_t c = 0; c < 256; ++c) {
            d_.table[c].place = Place(c, 0);
            d_.table[c].length = 1;
            d_.table[c].head = c;
        }
    }

    // The least window for rows of `rowBytes`: a row and the kept output twice over, so that
    // sliding frees at least half of it.
    static std::uint64_t LeastWindow(std::uint64_t rowBytes) {
        return kDataStart + 4 * (rowBytes + kWindowKeep);
    }

    // A row left unfinished keeps what arrived of it; rows that got nothing stay as the fresh,
    // cleared block has them. Into the rows, what the common path's copies wrote past the last
    // string is cleared.
    void KeepPartialRow() {
        RowWriter& out = d_.out;
        if (out.complete || !out.rowBegun || out.at <= out.rowStart) return;
        if (out.intoRows) {
            std::memset(out.window + out.at, 0,
                        static_cast<std::size_t>(out.rowStart + out.rows.stride - out.at));
        } else {
            out.StoreRow(std::min(out.at - out.rowStart, out.rowBytes));
        }
    }

    bool bgr_;
    std::uint64_t windowLeast_;
    bool extended_ = false;
    bool oldStyle_ = false;  // the current strip holds old-style data
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
