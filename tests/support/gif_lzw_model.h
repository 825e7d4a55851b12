// An independent model of GIF's LZW code stream, shared by the writer tests and the fuzz harnesses
// (so without GoogleTest): it reads the codes and decodes them strictly, stopping at the first
// code that is not yet defined.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qor::test {

struct CodeStream {
    bool ok = false;
    std::string error;
    std::vector<int> codes;   // every code read, clear and end included
    std::vector<int> widths;  // the width each was read at
    std::vector<std::uint8_t> pixels;
    bool endSeen = false;
    std::size_t bitsUsed = 0;
};

// Reads LZW codes least significant bit first and decodes them: after each code past the first
// since a clear, one string is added; the width grows when the next free code reaches 1 << width
// (at most 12 bits).
inline CodeStream ReadCodes(const std::vector<std::uint8_t>& data, int minCodeSize) {
    CodeStream s;
    const int clear = 1 << minCodeSize, end = clear + 1;
    std::vector<int> prefix(4096, -1);
    std::vector<std::uint8_t> suffix(4096, 0), first(4096, 0);
    for (int i = 0; i < clear; ++i) {
        suffix[std::size_t(i)] = std::uint8_t(i);
        first[std::size_t(i)] = std::uint8_t(i);
    }
    int width = minCodeSize + 1, next = clear + 2, prev = -1;
    std::size_t bit = 0, total = data.size() * 8;
    auto expand = [&](int code, std::vector<std::uint8_t>& out) {
        std::vector<std::uint8_t> tmp;
        while (code >= 0 && tmp.size() <= 4096) {
            tmp.push_back(suffix[std::size_t(code)]);
            code = prefix[std::size_t(code)];
        }
        out.insert(out.end(), tmp.rbegin(), tmp.rend());
    };
    while (bit + std::size_t(width) <= total) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit) {
            code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        }
        s.codes.push_back(code);
        s.widths.push_back(width);
        if (code == clear) {
            width = minCodeSize + 1;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (code == end) {
            s.endSeen = true;
            break;
        }
        if (prev < 0) {
            if (code >= clear) {
                s.error = "first code after a clear is not a literal";
                return s;
            }
            expand(code, s.pixels);
            prev = code;
            continue;
        }
        if (code > next) {
            s.error = "code " + std::to_string(code) + " not yet defined";
            return s;
        }
        std::uint8_t head = code == next ? first[std::size_t(prev)] : first[std::size_t(code)];
        if (next < 4096) {
            prefix[std::size_t(next)] = prev;
            suffix[std::size_t(next)] = head;
            first[std::size_t(next)] = first[std::size_t(prev)];
            ++next;
        }
        expand(code, s.pixels);
        prev = code;
        if (next == (1 << width) && width < 12) ++width;
    }
    s.bitsUsed = bit;
    s.ok = s.endSeen;
    if (!s.ok) s.error = "no end code";
    return s;
}

// The codes of greedy LZW for `pixels` (clear first, end last, a clear when code 4095 has been
// assigned). With `hashSlots` 0 the table is exact; otherwise it is an open-addressing table of
// that many slots (a prime), probed quadratically from (pixel << 5) ^ prefix through
// (hashSlots + 1) / 2 slots, where a string that finds no free slot is coded but not stored.
// *lost counts such strings.
inline std::vector<int> GreedyLzwCodes(const std::vector<std::uint8_t>& pixels, int minCodeSize,
                                       std::uint32_t hashSlots = 0, int* lost = nullptr) {
    const int clear = 1 << minCodeSize;
    std::vector<int> codes{clear};
    std::map<std::uint32_t, int> exact;
    std::vector<std::uint32_t> slots(hashSlots, 0);
    auto find = [&](std::uint32_t key, std::uint32_t* slot) -> int {
        if (hashSlots == 0) {
            auto it = exact.find(key);
            return it == exact.end() ? 0 : it->second;
        }
        std::uint32_t h = ((key & 0xFF) << 5 ^ key >> 8) % hashSlots;
        for (std::uint32_t step = 1;; step += 2) {
            if (slots[h] == 0) {
                *slot = h;
                return 0;
            }
            if ((slots[h] & 0xFFFFF) == key) return int(slots[h] >> 20);
            if (step >= hashSlots) {
                *slot = hashSlots;  // every reachable slot is taken
                return 0;
            }
            h = (h + step) % hashSlots;
        }
    };
    if (lost != nullptr) *lost = 0;
    int next = clear + 2;
    if (!pixels.empty()) {
        std::uint32_t ent = pixels[0];
        for (std::size_t i = 1; i < pixels.size(); ++i) {
            const std::uint32_t key = ent << 8 | pixels[i];
            std::uint32_t slot = 0;
            if (int found = find(key, &slot); found != 0) {
                ent = std::uint32_t(found);
                continue;
            }
            codes.push_back(int(ent));
            if (hashSlots == 0) {
                exact[key] = next;
            } else if (slot < hashSlots) {
                slots[slot] = std::uint32_t(next) << 20 | key;
            } else if (lost != nullptr) {
                ++*lost;
            }
            ent = pixels[i];
            if (++next == 4096) {
                codes.push_back(clear);
                next = clear + 2;
                exact.clear();
                std::fill(slots.begin(), slots.end(), 0);
            }
        }
        codes.push_back(int(ent));
    }
    codes.push_back(clear + 1);
    return codes;
}

}  // namespace qor::test
