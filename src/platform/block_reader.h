// A file read forward in blocks of a fixed size, into a buffer that its user owns: the input of
// the TIFF strip codecs (PackBits byte by byte, LZW and the fax codings through the bit reader).
// Readers that need more stay their own: the GIF image data's reads are aligned to multiples of
// their block in the file and copied out a sub-block at a time (gif_lzw_decoder.cpp), the GIF
// block walk can give back what it has not used (gif/blocks.h), and the TIFF directory reads
// through windows at any offset (tiff/directory.cpp).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qor::plat {

struct BlockReader {
    HFILE file = HFILE_ERROR;
    std::uint8_t* buffer = nullptr;
    std::uint32_t capacity = 0;          // bytes of `buffer`, read at once
    const std::uint8_t* next = nullptr;  // the next byte to hand out
    const std::uint8_t* end = nullptr;   // the end of the bytes read

    // Forgets the bytes held: the next one comes from the file's position.
    void Restart() { next = end = buffer; }
    std::uint32_t Available() const { return static_cast<std::uint32_t>(end - next); }
    // Reads the next block; false when it brings nothing (the end of the file, or an error).
    bool Refill() {
        const std::int32_t got = _lread(file, buffer, capacity);
        next = buffer;
        end = buffer + (got < 0 ? 0 : got);
        return got > 0;
    }
};

}  // namespace qor::plat
