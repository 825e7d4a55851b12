// The GIF writer's view of its source DIB, and the row reader that feeds the LZW encoder the
// DIB's colour indices in normal or interlaced order.
#pragma once

#include <cstdint>

#include "frame/request.h"
#include "gif/gif_lzw_encoder.h"

namespace qor {

// What the writer needs of a packed DIB, checked against the size of its block.
struct GifSourceDib {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t bits = 0;           // 1, 4 or 8
    std::uint64_t stride = 0;         // bytes per row, a multiple of 4
    std::uint64_t colourOffset = 0;   // the colour table, from the block start
    std::uint32_t colourEntries = 0;  // entries that the DIB's colour table holds
    std::uint64_t pixelOffset = 0;    // the first memory row (the last image row)
};

// Reads and checks the header of a locked DIB of `blockSize` bytes. Returns false (the request
// is refused with QOR_BAD_REQUEST) when the header is shorter than 40 bytes, the bit depth is
// not 1, 4 or 8, the pixels are compressed (biCompression not BI_RGB), the width or height is
// outside 1 to 32767, or the header, colour table and rows claim more bytes than the block
// holds.
bool DescribeGifSourceDib(const std::uint8_t* dib, std::uint64_t blockSize, GifSourceDib* out);

// Writes the 2^bits RGB triplets of the GIF colour table into `triplets`. Entries past the
// DIB's own colour table are black.
void ConvertGifColourTable(const std::uint8_t* dib, const GifSourceDib& source,
                           std::uint8_t* triplets);

// Hands out the DIB's colour indices row by row, in normal or interlaced order, with one
// progress call at the end of every row. 8-bit rows are handed out where they lie; 1- and 4-bit
// rows are unpacked to one byte per pixel, kGifUnpackChunk pixels at a time.
inline constexpr int kGifUnpackChunk = 1024;

struct GifRowReader {
    const std::uint8_t* pixels;  // the pixel area: memory row 0 is image row H - 1
    const std::uint8_t* row;     // start of the current image row
    std::int64_t stride;
    std::int16_t width;
    std::int16_t height;
    std::int16_t column;  // pixels already taken from the current row
    std::int16_t r;       // H - 1, counting down once per finished row
    std::int16_t pass;    // 1 to 4 for interlaced order, 5 when finished
    std::int32_t imageRow;
    std::uint8_t bits;
    bool interlaced;
    ImageIoRequest* request;  // for the progress calls, may be null
    std::uint8_t unpacked[kGifUnpackChunk];

    // Points *span at the next pixels of the current row (moving to the next row first when
    // this one is finished) and returns their count, or kGifEndOfImage or kGifCancelled.
    int NextSpan(const std::uint8_t** span);

    // The end of a row: reports progress and moves to the next row in order. Returns 0, or
    // kGifEndOfImage or kGifCancelled.
    int FinishRow();
};

// Sets the reader on image row 0 of a locked DIB described by `source`.
void StartGifRowReader(GifRowReader* reader, const std::uint8_t* dib, const GifSourceDib& source,
                       bool interlaced, ImageIoRequest* request);

}  // namespace qor
