// Byte-order loads and stores: the one set that every module uses. GIF, DIB and BMP fields are
// little-endian; TIFF fields follow the file's byte order. Each works a byte at a time, so
// pointers need no alignment and the host's own byte order does not matter.
#pragma once

#include <cstdint>

namespace qor {

inline std::uint16_t LoadLE16(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLE24(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
}
inline std::uint32_t LoadLE32(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
// Compilers turn this into one 64-bit load on little-endian hosts.
inline std::uint64_t LoadLE64(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return std::uint64_t{LoadLE32(p)} | (std::uint64_t{LoadLE32(p + 4)} << 32);
}
inline std::uint16_t LoadBE16(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t LoadBE32(const void* at) {
    const auto* p = static_cast<const std::uint8_t*>(at);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline std::uint64_t LoadBE64(const void* at) {
    return std::uint64_t{LoadBE32(at)} << 32 | LoadBE32(static_cast<const std::uint8_t*>(at) + 4);
}
inline std::uint16_t Load16(const void* at, bool littleEndian) {
    return littleEndian ? LoadLE16(at) : LoadBE16(at);
}
inline std::uint32_t Load32(const void* at, bool littleEndian) {
    return littleEndian ? LoadLE32(at) : LoadBE32(at);
}

inline void StoreLE16(void* at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLE24(void* at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
}
inline void StoreLE32(void* at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void StoreBE16(void* at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void StoreBE32(void* at, std::uint32_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void StoreBE64(void* at, std::uint64_t v) {
    auto* p = static_cast<std::uint8_t*>(at);
    StoreBE32(p, static_cast<std::uint32_t>(v >> 32));
    StoreBE32(p + 4, static_cast<std::uint32_t>(v));
}

}  // namespace qor
