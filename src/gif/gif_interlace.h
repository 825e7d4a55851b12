// Interlaced GIF row order, for the reader that places rows and the writer that takes them: four
// passes over the image rows, each from its first row in steps of a fixed count.
#pragma once

#include <cstdint>

namespace qor::gif {

struct InterlacePass {
    std::int32_t start;
    std::int32_t step;
};

// Rows 0, 8, 16, ...; then 4, 12, ...; then 2, 6, ...; then 1, 3, 5, ...
inline constexpr InterlacePass kInterlacePasses[4] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

// The image row after `row` of pass *pass (1 to 4), going on to the next pass that has rows
// when this one has no more. Returns `height`, with *pass 5, once the image is complete.
inline std::int32_t NextInterlacedRow(std::int32_t row, std::int16_t* pass, std::int32_t height) {
    row += kInterlacePasses[*pass - 1].step;
    while (row >= height) {
        if (++*pass > 4) return height;
        row = kInterlacePasses[*pass - 1].start;
    }
    return row;
}

}  // namespace qor::gif
