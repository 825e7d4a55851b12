// Frames laid onto layers (see compose.h).
#include "gif/compose.h"

#include <cstring>

namespace qor::gif {

LayerRect CoveredRect(const DibView& layer, std::uint32_t left, std::uint32_t top,
                      std::uint32_t width, std::uint32_t height) {
    LayerRect r;
    if (left >= layer.width || top >= layer.height) return r;
    r.left = left;
    r.top = top;
    r.width = width < layer.width - left ? width : layer.width - left;
    r.height = height < layer.height - top ? height : layer.height - top;
    return r;
}

void FillRect(const DibView& layer, const LayerRect& rect, const std::uint8_t* value) {
    const std::uint32_t size = layer.bits / 8;
    for (std::uint32_t y = 0; y < rect.height; ++y) {
        std::uint8_t* to = layer.Row(rect.top + y) + std::uint64_t{rect.left} * size;
        if (size == 1) {
            std::memset(to, value[0], rect.width);
            continue;
        }
        for (std::uint32_t x = 0; x < rect.width; ++x, to += 3) std::memcpy(to, value, 3);
    }
}

void SaveRect(const DibView& layer, const LayerRect& rect, std::uint8_t* saved) {
    const std::size_t bytes = std::size_t{rect.width} * (layer.bits / 8);  // of one row
    for (std::uint32_t y = 0; y < rect.height; ++y, saved += bytes) {
        std::memcpy(saved, layer.Row(rect.top + y) + rect.left * (layer.bits / 8), bytes);
    }
}

void RestoreRect(const DibView& layer, const LayerRect& rect, const std::uint8_t* saved) {
    const std::size_t bytes = std::size_t{rect.width} * (layer.bits / 8);  // of one row
    for (std::uint32_t y = 0; y < rect.height; ++y, saved += bytes) {
        std::memcpy(layer.Row(rect.top + y) + rect.left * (layer.bits / 8), saved, bytes);
    }
}

void DrawFrame(const DibView& layer, std::uint32_t left, std::uint32_t top,
               const GifRowWriter& frame, int transparent, const std::uint8_t* colours) {
    const LayerRect r = CoveredRect(layer, left, top, static_cast<std::uint32_t>(frame.width),
                                    static_cast<std::uint32_t>(frame.height));
    // Frame rows below the layer's last row, which come first in memory.
    const std::uint64_t frameBelow = static_cast<std::uint32_t>(frame.height) - r.height;
    for (std::uint32_t y = 0; y < r.height; ++y) {
        const auto placed =
            static_cast<std::uint32_t>(frame.PixelsIn(static_cast<std::int32_t>(y)));
        const std::uint32_t n = placed < r.width ? placed : r.width;
        const std::uint8_t* from = frame.pixels + frame.stride * (r.height - 1 - y + frameBelow);
        std::uint8_t* to = layer.Row(r.top + y);
        if (colours != nullptr) {
            to += 3ull * r.left;
            for (std::uint32_t x = 0; x < n; ++x) {
                if (from[x] != transparent) std::memcpy(to + 3 * x, colours + 3 * from[x], 3);
            }
        } else if (transparent < 0) {
            std::memcpy(to + r.left, from, n);
        } else {
            to += r.left;
            for (std::uint32_t x = 0; x < n; ++x) {
                if (from[x] != transparent) to[x] = from[x];
            }
        }
    }
}

}  // namespace qor::gif
