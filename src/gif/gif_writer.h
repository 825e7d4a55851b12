// The GIF writer's view of its source DIB, and the row reader that feeds the LZW encoder the
// DIB's colour indices in normal or interlaced order.
#pragma once

#include <cstdint>

#include "gif/gif_lzw_encoder.h"
#include "platform/dib.h"
#include "record/request.h"

namespace qor {

// Views a locked DIB of `blockSize` bytes as one the writer can write. Returns false (the request
// is refused with QOR_BAD_REQUEST) when ViewDib refuses it, the bit depth is not 1, 4 or 8, the
// pixels are compressed (biCompression not BI_RGB), or the width or height is above 32767.
bool DescribeGifSourceDib(std::uint8_t* dib, std::uint64_t blockSize, DibView* out);

// Writes the 2^bits RGB triplets of the GIF colour table into `triplets`. Entries past the
// DIB's own colour table are black.
void ConvertGifColourTable(const DibView& source, std::uint8_t* triplets);

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
    ProgressBlock* progress;  // for the progress calls, may be null
    std::uint8_t unpacked[kGifUnpackChunk];

    // Points *span at the next pixels of the current row (moving to the next row first when
    // this one is finished) and returns their count, or kGifEndOfImage or kGifCancelled.
    int NextSpan(const std::uint8_t** span);

    // The end of a row: reports progress and moves to the next row in order. Returns 0, or
    // kGifEndOfImage or kGifCancelled.
    int FinishRow();
};

// Sets the reader on image row 0 of a locked DIB described by `source`.
void StartGifRowReader(GifRowReader* reader, const DibView& source, bool interlaced,
                       ProgressBlock* progress);

}  // namespace qor
