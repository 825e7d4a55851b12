// DecodeGroup4Strips: TIFF compression 4, T.6 two-dimensional coding in which every row is coded
// against the row above it, the first row of a strip against an imaginary white line.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "fax/fax.h"

namespace qor::fax {
namespace {

// Reads one run of the given colour (make-up codes, then a terminating code) into *run.
// 0, 532 for bits that begin no code word of the colour, 202 when the data ended.
std::int16_t ReadRun(FaxBitReader& in, const std::uint16_t* table, std::uint64_t* run) {
    std::uint64_t pending = 0;
    for (;;) {
        const std::uint16_t entry = table[in.Peek13()];
        const std::uint32_t index = IndexOfEntry(entry);
        if (index == NO_CODE) return in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
        if (!in.Consume(LengthOfEntry(entry))) return QOR_READ_FAILED;
        pending += RunOfCode(index);
        if (index < 64) break;
    }
    *run = pending;
    return 0;
}

// The two-dimensional mode codes, looked up by the first 7 bits of the window: vertical modes
// with a1 at b1 + offset, horizontal, pass, and the rest (end of block, EOL, extensions, zeros).
// An entry is one word, its length in bits 0-7, its kind in bits 8-15 and its offset + 8 in bits
// 16-23, so that a lookup is one load into one register.
enum ModeKind : std::uint32_t { kVertical, kHorizontal, kPass, kOther };
using ModeCode = std::uint32_t;
constexpr ModeCode Mode(ModeKind kind, std::int32_t offset, std::uint32_t length) {
    return length | std::uint32_t{kind} << 8 | static_cast<std::uint32_t>(offset + 8) << 16;
}
constexpr ModeKind KindOf(ModeCode mode) {
    return static_cast<ModeKind>(mode >> 8 & 0xFF);
}
constexpr std::int32_t OffsetOf(ModeCode mode) {
    return static_cast<std::int32_t>(mode >> 16) - 8;
}
constexpr std::uint32_t LengthOf(ModeCode mode) {
    return mode & 0xFF;
}
constexpr std::array<ModeCode, 128> MakeModeTable() {
    std::array<ModeCode, 128> t{};
    for (std::uint32_t w = 0; w < 128; ++w) {
        if (w >= 64) {
            t[w] = Mode(kVertical, 0, 1);
        } else if (w >= 48) {
            t[w] = Mode(kVertical, 1, 3);
        } else if (w >= 32) {
            t[w] = Mode(kVertical, -1, 3);
        } else if (w >= 16) {
            t[w] = Mode(kHorizontal, 0, 3);
        } else if (w >= 8) {
            t[w] = Mode(kPass, 0, 4);
        } else if (w >= 6) {
            t[w] = Mode(kVertical, 2, 6);
        } else if (w >= 4) {
            t[w] = Mode(kVertical, -2, 6);
        } else if (w == 3) {
            t[w] = Mode(kVertical, 3, 7);
        } else if (w == 2) {
            t[w] = Mode(kVertical, -3, 7);
        } else {
            t[w] = Mode(kOther, 0, 0);
        }
    }
    return t;
}
constexpr std::array<ModeCode, 128> kModes = MakeModeTable();

// How many V0 codes (1 bits) the reader holds at its front, for a run of them taken at once:
// only real bits, not the zeros past the end, and only codes that begin with 13 bits or more
// held, so that the reader refills where it would taking one code at a time (what WindowPastEnd
// sees depends on it). At least 1 when the window begins with V0.
std::uint32_t HeldV0Codes(const FaxBitReader& in) {
    return std::min({static_cast<std::uint32_t>(std::countl_one(in.bits)), in.count - in.padding,
                     in.count - 12});
}

// Where the decoding of a row stands: a0, the colour of the run that starts there (1 white),
// the reference row's entry that the search for b1 starts from, and the changes written.
struct RowState {
    std::uint32_t a0 = 0;
    std::uint32_t colour = 1;
    std::uint32_t cursor = 1;
    std::uint32_t n = 0;
};

// b1: the first change right of a0 whose colour is opposite to a0's. Only before the row's
// first change is the entry taken as it stands, so that b1 may be 0; once a change at 0 is
// written, a0 = 0 is a real position and b1 lies past it.
inline std::uint32_t FindB1(const std::uint32_t* ref, std::uint32_t refCount, std::uint32_t a0,
                            std::uint32_t n, std::uint32_t& cursor) {
    // Past the list's end every entry stands for the row's end: the cursor steps back by twos
    // to refCount + 1 or + 2.
    if (cursor > refCount + 2) [[unlikely]]
        cursor = refCount + 2 - ((cursor - refCount) & 1);
    if ((a0 | n) != 0) {
        while (ref[cursor] <= a0) cursor += 2;
    }
    return ref[cursor];
}

// Bits that hold any one mode whole: its code and, for a horizontal mode, two runs of at most
// one make-up and one terminating code each (3 + 4 x 13 bits).
constexpr std::uint32_t kWholeModeBits = 57;

// The common path of DecodeRow: takes the modes at the front of `reader` for as long as each is
// held whole, is well formed and has room in the list. It is one leaf loop over copies of the
// reader and the row's state, which stores only into `coding`, so that they stay in registers.
// A mode that it does not take (one that reaches past the bits it can fill from the input block,
// an EOL or other code, damage, a run of more make-up codes) is left untaken to DecodeRow's own
// steps, which decide it as they decide every mode. Called only without padding: every bit held
// is the stream's, and a fill from the block adds none.
[[gnu::noinline]] void TakeHeldModes(plat::BitReader& reader, const RunCodes& codes,
                                     const std::uint32_t* ref, std::uint32_t refCount,
                                     std::uint32_t* coding, std::uint32_t width,
                                     std::uint32_t maxChanges, RowState& state) {
    plat::BitReader in = reader;
    std::uint32_t a0 = state.a0, cursor = state.cursor, n = state.n;
    // A mode writes two changes at most: a list that may not have room for them is left to
    // DecodeRow's steps.
    while (a0 < width && n + 2 <= maxChanges) {
        if (in.count < kWholeModeBits && !in.FillWord()) break;
        const std::uint32_t b1 = FindB1(ref, refCount, a0, n, cursor);
        if (in.bits >> 63 != 0) {
            // V0, the commonest code: b1 > a0 (or b1 >= a0 = 0 at the row's start), and the
            // cursor moves to the change after b1.
            in.Skip(1);
            a0 = std::min(b1, width);
            coding[++n] = a0;
            ++cursor;
            continue;
        }
        const ModeCode mode = kModes[static_cast<std::size_t>(in.bits >> 57)];
        const ModeKind kind = KindOf(mode);
        if (kind == kVertical) {
            std::int64_t a1 = std::int64_t{b1} + OffsetOf(mode);
            if (a1 < std::int64_t{a0}) break;
            if (a1 > std::int64_t{width}) a1 = width;
            in.Skip(LengthOf(mode));
            a0 = static_cast<std::uint32_t>(a1);
            coding[++n] = a0;
            if (a0 < ref[cursor - 1]) {
                --cursor;
            } else {
                ++cursor;
            }
            continue;
        }
        if (kind == kPass) {
            const std::uint32_t b2 = ref[cursor + 1];
            if (b2 < a0) break;
            in.Skip(4);
            a0 = b2;
            cursor += 2;
            continue;
        }
        if (kind != kHorizontal) break;
        // The two runs, of a0's colour and then of the other, are read from a copy of the bits
        // and taken only when both are whole.
        std::uint64_t bits = in.bits << 3;
        std::uint32_t used = 3;
        auto readRun = [&](const std::uint16_t* table, std::uint32_t* run) {
            std::uint16_t entry = table[bits >> 51];
            std::uint32_t index = IndexOfEntry(entry);
            *run = 0;
            if (index >= 64) {
                if (index == NO_CODE) return false;
                *run = RunOfCode(index);
                bits <<= LengthOfEntry(entry);
                used += LengthOfEntry(entry);
                entry = table[bits >> 51];
                index = IndexOfEntry(entry);
                // Another make-up code, or none.
                if (index >= 64) return false;
            }
            bits <<= LengthOfEntry(entry);
            used += LengthOfEntry(entry);
            *run += index;
            return true;
        };
        // Every change written switches the colour, which starts white: a0's is white after an
        // even number of them.
        const std::uint32_t colour = ~n & 1;
        std::uint32_t first, second;
        if (!readRun(codes.table[colour], &first) || !readRun(codes.table[colour ^ 1], &second)) {
            break;
        }
        in.Skip(used);
        // A run longer than the rest of the row is cut at the row's end.
        a0 += std::min(first, width - a0);
        coding[++n] = a0;
        a0 += std::min(second, width - a0);
        coding[++n] = a0;
        while (ref[cursor] < a0 && cursor <= refCount) cursor += 2;
    }
    reader.AdvanceTo(in);
    state = RowState{a0, ~n & 1, cursor, n};
}

}  // namespace

std::int16_t DecodeRow(FaxBitReader& in, const RunCodes& codes, const std::uint32_t* ref,
                       std::uint32_t refCount, std::uint32_t* coding, std::uint32_t width,
                       RowEnd* end) {
    // A row holds at most width + 2 changes in valid data (the last two may repeat the row's
    // end); the lists have room for more than that, for entry 0 and for the closing entries.
    const std::uint32_t maxChanges = width + 4;
    RowState state;
    std::uint32_t& a0 = state.a0;
    std::uint32_t& colour = state.colour;
    std::uint32_t& cursor = state.cursor;
    std::uint32_t& n = state.n;
    auto stop = [&](std::int16_t status) {
        end->changes = n;
        end->a0 = a0;
        return status;
    };
    auto findB1 = [&] { return FindB1(ref, refCount, a0, n, cursor); };
    while (a0 < width) {
        if (in.padding == 0) {
            TakeHeldModes(in, codes, ref, refCount, coding, width, maxChanges, state);
            if (a0 >= width) break;
        }
        std::uint32_t window = in.Peek13();
        std::uint32_t b1 = findB1();
        if (window >= 4096) {
            // V0, the commonest code by far, comes in runs (both edges of a stroke that goes on
            // straight): a run of 1 bits is that many V0 codes, each putting a1 at b1, taken
            // with one Skip.
            const std::uint32_t ones = static_cast<std::uint32_t>(std::countl_one(in.bits));
            const std::uint32_t held = HeldV0Codes(in);
            std::uint32_t taken = 0;
            for (;;) {
                ++taken;
                if (n + 1 > maxChanges) {
                    in.Skip(taken);
                    return stop(QOR_FAX_BAD_DATA);
                }
                // b1 > a0 here (or b1 >= a0 = 0 at the row's start), and the list is in order
                // and ends at the row's end: a0 moves to b1, and the cursor to the next change.
                a0 = b1;
                coding[++n] = a0;
                colour ^= 1;
                ++cursor;
                if (a0 >= width) break;
                // The next b1 is the next change unless the reference row has a run of no
                // pixels there; then the search above finds it.
                b1 = ref[cursor];
                if (b1 <= a0 || taken == held) break;
            }
            in.Skip(taken);
            // Where the run ended with its 1 bits, another code follows: it is looked at here,
            // as the loop's top would look at it, when the reader holds its 13 bits.
            if (taken != ones || a0 >= width || in.count < 13) continue;
            window = in.Peek13();
            b1 = findB1();
        }
        const ModeCode mode = kModes[window >> 6];
        if (KindOf(mode) == kHorizontal) {
            // Horizontal mode: a run of the current colour, then one of the other.
            if (!in.Consume(3)) return stop(QOR_READ_FAILED);
            if (n + 2 > maxChanges) return stop(QOR_FAX_BAD_DATA);
            for (int half = 0; half < 2; ++half) {
                std::uint64_t run;
                const std::int16_t status = ReadRun(in, codes.table[colour], &run);
                if (status != 0) return stop(status);
                // A run longer than the rest of the row is cut at the row's end.
                if (run > width - a0) run = width - a0;
                a0 += static_cast<std::uint32_t>(run);
                coding[++n] = a0;
                colour ^= 1;
            }
            while (ref[cursor] < a0 && cursor <= refCount) cursor += 2;
            continue;
        }
        if (KindOf(mode) == kPass) {
            // Pass mode: a0 moves under the end of the reference run after b1.
            if (!in.Consume(4)) return stop(QOR_READ_FAILED);
            const std::uint32_t b2 = ref[cursor + 1];
            if (b2 < a0) return stop(QOR_FAX_BAD_DATA);
            a0 = b2;
            cursor += 2;
            continue;
        }
        if (KindOf(mode) == kOther) {
            if (window == 2) return stop(kEndOfBlock);
            // An EOL, an extension code (uncompressed mode among them), zero bits.
            return stop(in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA);
        }
        const std::int32_t offset = OffsetOf(mode);
        const std::uint32_t length = LengthOf(mode);
        // Vertical mode: a1 lies `offset` pixels from b1.
        if (!in.Consume(length)) return stop(QOR_READ_FAILED);
        std::int64_t a1 = std::int64_t{b1} + offset;
        if (a1 < std::int64_t{a0} || n + 1 > maxChanges) return stop(QOR_FAX_BAD_DATA);
        if (a1 > std::int64_t{width}) a1 = width;
        a0 = static_cast<std::uint32_t>(a1);
        coding[++n] = a0;
        colour ^= 1;
        if (a0 < ref[cursor - 1]) {
            --cursor;
        } else {
            ++cursor;
        }
    }
    return stop(0);
}

void PaintRow(std::uint8_t* out, std::uint64_t rowBytes, const std::uint32_t* list,
              const RowEnd& end) {
    // Without a branch per run: each change toggles one bit of a mark row, and a running
    // exclusive or along the marks turns them into the row's colours, 64 pixels at a time.
    const std::uint32_t n = end.changes;
    // The pixel where the row's last white run ends; past it the row stays as it is (black).
    const std::uint32_t white = n % 2 == 1 ? list[n] : end.a0;
    const std::uint32_t words = (white + 63) / 64;
    // The whole words before the first change are white: a row without changes (a blank row)
    // is a fill.
    const std::uint32_t lead = (n != 0 ? list[1] : white) / 64;
    std::memset(out, 0xFF, std::size_t{lead} * 8);
    std::uint64_t marks[(kMaxDibSide + 63) / 64 + 1];
    std::memset(marks + lead, 0, std::size_t{words - lead} * 8);
    for (std::uint32_t i = 1; i <= n; ++i) {
        const std::uint32_t x = list[i];
        // Two changes at one place cancel: a run of no pixels.
        if (x < white) marks[x / 64] ^= 1ull << (63 - x % 64);
    }
    std::uint64_t colour = ~0ull;  // of the pixel before the word: white
    for (std::uint32_t w = lead; w < words; ++w) {
        std::uint64_t v = marks[w];
        for (unsigned shift = 1; shift < 64; shift *= 2) v ^= v >> shift;
        v ^= colour;
        colour = 0 - (v & 1);
        if (w + 1 == words && white % 64 != 0) v &= ~0ull << (64 - white % 64);
        const std::uint64_t at = std::uint64_t{w} * 8;
        if (at + 8 <= rowBytes) {
            StoreBE64(out + at, v);
        } else {
            for (std::uint64_t k = at; k < rowBytes; ++k, v <<= 8) {
                out[k] = static_cast<std::uint8_t>(v >> 56);
            }
        }
    }
}

namespace {

class Group4Codec final : public FaxCodec {
  public:
    void BeginStrip(const tiff::StripSpan& strip) override {
        FaxCodec::BeginStrip(strip);
        // The first row of a strip is coded against the imaginary white line.
        ref_ = blocks_.As32(3);
        coding_ = blocks_.As32(4);
        refCount_ = 0;
        ref_[0] = coding_[0] = 0;
        CloseList(ref_, 0, width_);
        endOfBlock_ = false;
    }

    tiff::RowResult NextRow(std::uint8_t* row) override {
        // After an end-of-block code the strip's remaining rows come out white.
        if (endOfBlock_) {
            PaintWhiteRun(row, 0, width_);
            return 0;
        }
        RowEnd end;
        const std::int16_t result = DecodeRow(in_, codes_, ref_, refCount_, coding_, width_, &end);
        // What was decoded is kept, also in a row that the data then fails.
        PaintRow(row, stride_, coding_, end);
        if (result == kEndOfBlock) {
            PaintWhiteRun(row, end.a0, width_ - end.a0);
            endOfBlock_ = true;
            return 0;
        }
        if (result != 0) return result;
        // The row just decoded becomes the reference of the next one.
        CloseList(coding_, end.changes, width_);
        std::swap(ref_, coding_);
        refCount_ = end.changes;
        return 0;
    }

  private:
    std::unique_ptr<FaxCodec> Fresh() const override { return std::make_unique<Group4Codec>(); }
    // The two changing-element lists.
    int ExtraBlocks(std::uint32_t width, std::uint32_t* sizes) const override {
        sizes[0] = sizes[1] = (width + 8) * 4;
        return 2;
    }

    std::uint32_t* ref_ = nullptr;
    std::uint32_t* coding_ = nullptr;
    std::uint32_t refCount_ = 0;
    bool endOfBlock_ = false;
};

}  // namespace
}  // namespace qor::fax

namespace qor::tiff {

std::int16_t DecodeGroup4Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page) {
    fax::Group4Codec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace qor::tiff
