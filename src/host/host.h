// The host imaging layer: turns delivered DIBs into the layers of a document, and inverts 1-bit
// bitmaps for the TIFF reader. Every call returns 0 or a non-zero status that callers pass on
// unchanged.
#pragma once

#include <cstdint>

#include "record/request.h"

namespace qor::host {

// Layer block layout: bytes 0-3 a tag, 4-7 the layer count, and from byte 260 one u32 DIB handle
// per layer.
inline constexpr std::uint32_t kLayerBlockTag = 0x59414C51;  // "QLAY"
inline constexpr std::uint32_t kFirstLayerOffset = 260;
inline constexpr std::uint32_t kMaxLayers = 65535;

// The host calls cross a library boundary on Windows (qorhost.dll exports them under these
// undecorated names and qorimg.dll imports them), so they have C names and the standard
// calling convention.
extern "C" {

// Makes a one-layer document from `dib`. On 0 the host owns the DIB and has set layerBlock and
// layerCount in the request.
std::int16_t QOR_HOSTCALL CreateLayerFromBitmap(ImageIoRequest* request, HGLOBAL dib,
                                                std::uint32_t zero);
// Prepares `layerCount` (1 to kMaxLayers) empty layers and sets layerBlock and layerCount.
std::int16_t QOR_HOSTCALL ReserveLayers(ImageIoRequest* request, std::uint32_t layerCount,
                                        std::uint32_t one);
// Gives layer `layerIndex` its DIB. On 0 the host owns the bitmap.
std::int16_t QOR_HOSTCALL AssignLayerBitmap(ImageIoRequest* request, std::uint32_t layerIndex,
                                            std::uint32_t isFirst, HGLOBAL bitmap, HGLOBAL mask);
// Makes a new DIB with the header and colour table of `dib` and every pixel bit inverted.
std::int16_t QOR_HOSTCALL InvertBitmap(ProgressBlock* progress, HGLOBAL dib, HGLOBAL* result);

// Called by a reader entry point just before it frees the layer block of a successful read:
// records the block's layers as one document keyed by its first DIB handle, and returns that
// handle (0 when the block is unknown and unreadable). The host keeps its own list of each layer
// block's DIBs, so this works even when the block cannot be locked.
HGLOBAL QOR_HOSTCALL AdoptDocument(HGLOBAL layerBlock);

}  // extern "C"

}  // namespace qor::host

namespace qor::host::testing {

enum class Call { CreateLayerFromBitmap, ReserveLayers, AssignLayerBitmap, InvertBitmap };

// Makes the n-th call (1-based, from the last Reset) of `call` return `status` without doing
// anything else.
void FailCall(Call call, std::int16_t status, std::uint32_t nth = 1);
void Reset();
// How many times each call was made since the last Reset.
std::uint32_t CallCount(Call call);
// Documents currently registered.
std::uint64_t DocumentCount();

}  // namespace qor::host::testing
