// Laying the frames of an animation onto layers of the logical screen's size, for extended reads.
// A layer is an 8-bit DIB of the global table's indices, or a 24-bit one of blue, green and red;
// the operations below take a pixel's value as the bytes that it has in the layer.
#pragma once

#include <cstdint>

#include "gif/gif_decode.h"
#include "platform/dib.h"

namespace qor::gif {

// The part of a layer that a frame covers: its place and size cut to the layer. 0 wide or tall
// when the frame lies outside.
struct LayerRect {
    std::uint32_t left = 0, top = 0, width = 0, height = 0;
};

LayerRect CoveredRect(const DibView& layer, std::uint32_t left, std::uint32_t top,
                      std::uint32_t width, std::uint32_t height);

// Bytes of `rect` as SaveRect keeps them.
inline std::uint64_t RectBytes(const DibView& layer, const LayerRect& rect) {
    return std::uint64_t{rect.width} * (layer.bits / 8) * rect.height;
}

// Sets every pixel of `rect` to `value` (1 or 3 bytes, as the layer's pixels).
void FillRect(const DibView& layer, const LayerRect& rect, const std::uint8_t* value);
// Copies the pixels of `rect` to `saved` (RectBytes of them), and back.
void SaveRect(const DibView& layer, const LayerRect& rect, std::uint8_t* saved);
void RestoreRect(const DibView& layer, const LayerRect& rect, const std::uint8_t* saved);

// Lays the indices that `frame` has placed (in its own 8-bit rows) over `layer` at (left, top),
// leaving the pixels of index `transparent` (-1 for none) and those that got no data as the
// layer has them. `colours` is the frame's table as 256 entries of blue, green and red for a
// 24-bit layer, null for an 8-bit one. Cut to the layer.
void DrawFrame(const DibView& layer, std::uint32_t left, std::uint32_t top,
               const GifRowWriter& frame, int transparent, const std::uint8_t* colours);

}  // namespace qor::gif
