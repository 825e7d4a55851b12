// The tests' one model of TIFF-flavoured LZW: an encoder, and the decoding rules in their plainest
// form. The encoder writes MSB-first codes whose width grows one code early,
// ClearCode 256 and EndOfInformation 257; or old-style data, whose codes are stored lowest bit
// first and whose width grows one code later.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "qorimg/qorimg.h"
#include "support/test_util.h"

namespace qor::test {

class CodeWriter {
  public:
    explicit CodeWriter(bool lowBitFirst = false) : lowBitFirst_(lowBitFirst) {}
    void Put(std::uint32_t code, std::uint32_t width) {
        for (std::uint32_t k = 0; k < width; ++k) {
            const std::uint32_t bit = (code >> (lowBitFirst_ ? k : width - 1 - k)) & 1;
            acc_ = static_cast<std::uint8_t>(lowBitFirst_ ? acc_ | bit << n_ : acc_ << 1 | bit);
            if (++n_ == 8) {
                bytes_.push_back(acc_);
                acc_ = 0;
                n_ = 0;
            }
        }
    }
    Bytes Finish() {
        if (n_ != 0)
            bytes_.push_back(static_cast<std::uint8_t>(lowBitFirst_ ? acc_ : acc_ << (8 - n_)));
        acc_ = 0;
        n_ = 0;
        return bytes_;
    }

  private:
    bool lowBitFirst_;
    Bytes bytes_;
    std::uint8_t acc_ = 0;
    int n_ = 0;
};

// The width a decoder reads its next code with, given the number of codes it has taken since
// the last ClearCode: the smallest width whose largest code stays above the next free code + 1
// (old-style data: above the next free code).
inline std::uint32_t WidthAfter(std::uint32_t codesSinceClear, bool oldStyle = false) {
    std::uint32_t nextFree = 258 + (codesSinceClear == 0 ? 0 : codesSinceClear - 1);
    if (nextFree > 4096) nextFree = 4096;
    for (std::uint32_t w = 9; w < 12; ++w) {
        if (nextFree + (oldStyle ? 0 : 1) < (1u << w)) return w;
    }
    return 12;
}

// Writes a code sequence with the widths a decoder expects (ClearCode restarts the count).
inline Bytes PackCodes(const std::vector<std::uint32_t>& codes, bool oldStyle = false) {
    CodeWriter w(oldStyle);
    std::uint32_t since = 0;
    for (std::uint32_t c : codes) {
        w.Put(c, WidthAfter(since, oldStyle));
        since = c == 256 ? 0 : since + 1;
    }
    return w.Finish();
}

// Encodes `data` as one strip: ClearCode, codes, EndOfInformation (unless `withEoi` is false).
// The table is cleared when it reaches `clearAt` entries (never when that is above 4096).
inline std::vector<std::uint32_t> LzwCodes(const Bytes& data, bool withEoi = true,
                                           std::uint32_t clearAt = 4093) {
    std::vector<std::uint32_t> codes{256};
    std::map<std::uint32_t, std::uint32_t> dict;  // (prefix << 8 | byte) -> code
    std::uint32_t nextFree = 258;
    std::int64_t w = -1;
    for (std::uint8_t c : data) {
        if (w < 0) {
            w = c;
            continue;
        }
        auto it = dict.find(static_cast<std::uint32_t>(w) << 8 | c);
        if (it != dict.end()) {
            w = it->second;
            continue;
        }
        codes.push_back(static_cast<std::uint32_t>(w));
        // A full table takes no more entries (only a ClearCode empties it).
        if (nextFree < 4096) dict[static_cast<std::uint32_t>(w) << 8 | c] = nextFree++;
        if (nextFree == clearAt) {
            codes.push_back(256);
            dict.clear();
            nextFree = 258;
        }
        w = c;
    }
    if (w >= 0) codes.push_back(static_cast<std::uint32_t>(w));
    if (withEoi) codes.push_back(257);
    return codes;
}

inline Bytes EncodeLzw(const Bytes& data, bool withEoi = true, std::uint32_t clearAt = 4093,
                       bool oldStyle = false) {
    return PackCodes(LzwCodes(data, withEoi, clearAt), oldStyle);
}

// The decoding rules in their plainest form, one byte at a time: the oracle for damaged data.
struct ModelResult {
    std::int16_t status;
    Bytes pixels;
};
inline ModelResult DecodeModel(const Bytes& strip, std::uint64_t total) {
    ModelResult m{0, Bytes(total, 0)};
    std::vector<std::uint16_t> prefix(4100, 0);
    Bytes suffix(4100, 0);
    std::uint32_t width = 9, nextFree = 258, limit = 512, prev = 0;
    std::uint8_t prevFirst = 0;
    bool afterClear = true;
    std::uint64_t bit = 0, o = 0;
    auto put = [&](std::uint8_t b) {
        m.pixels[o++] = b;
        return o == total;
    };
    for (;;) {
        if (bit + width > strip.size() * 8) return {QOR_READ_FAILED, m.pixels};
        std::uint32_t code = 0;
        for (std::uint32_t i = 0; i < width; ++i, ++bit) {
            code = code << 1 | ((strip[bit / 8] >> (7 - bit % 8)) & 1);
        }
        if (code == 257) return m;
        if (code == 256) {
            width = 9, nextFree = 258, limit = 512, afterClear = true;
            continue;
        }
        if (afterClear) {
            afterClear = false;
            prev = code;
            prevFirst = static_cast<std::uint8_t>(code);
            if (put(prevFirst)) return m;
            continue;
        }
        Bytes stack;
        std::uint32_t c = code;
        if (code >= nextFree) {
            stack.push_back(prevFirst);
            c = prev;
        }
        while (c > 257 && stack.size() < 4100) {
            stack.push_back(suffix[c]);
            c = prefix[c];
        }
        if (stack.size() >= 4100) return {QOR_READ_FAILED, m.pixels};
        stack.push_back(static_cast<std::uint8_t>(c));
        std::uint8_t first = stack.back();
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (put(*it)) return m;
        }
        if (nextFree < 4096) {
            prefix[nextFree] = static_cast<std::uint16_t>(prev);
            suffix[nextFree] = first;
            ++nextFree;
            if (nextFree + 1 >= limit && width < 12) ++width, limit <<= 1;
        }
        prev = code;
        prevFirst = first;
    }
}

}  // namespace qor::test
