// Horizontal differencing (Predictor 2) undone on a decoded row of 8-bit samples: each sample
// was stored as its difference from the one before it in the same channel.
#pragma once

#include <cstdint>

namespace qor::tiff {

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

// The same for `channels` interleaved channels (1 to 4; other counts leave the row as it is).
inline void UndoDifferencing(std::uint8_t* row, std::uint64_t count, unsigned channels) {
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

}  // namespace qor::tiff
