// GIF decoding internals: the row writer that places colour indices into the bottom-up rows of
// a packed DIB, and the LZW decoder that reads the image's data sub-blocks and feeds it.
#pragma once

#include <cstdint>

#include "record/request.h"

namespace qor::gif {

// Buffered image-data reads use blocks of this size, aligned to multiples of it in the file.
inline constexpr std::uint32_t kGifReadBlock = 10240;
// Entries of each LZW table and bytes of the output stack.
inline constexpr std::uint32_t kLzwTableEntries = 4100;
// Codes are at most 12 bits wide, so the table ends at 4096.
inline constexpr int kMaxCodeWidth = 12;
inline constexpr int kMaxCodes = 1 << kMaxCodeWidth;
// The largest string the output stack holds.
inline constexpr int kMaxStackDepth = 4099;
// Minimum code sizes that work with the tables: the clear code, the end code and the first free
// code must all lie below 4096, and a code size below 2 is not a GIF value.
inline constexpr int kMinCodeSizeLow = 2;
inline constexpr int kMinCodeSizeHigh = 11;

// Places decoded colour indices into a locked DIB, in normal or interlaced row order. Image row
// i is memory row height - 1 - i (rows are stored bottom-up).
struct GifRowWriter {
    std::uint8_t* pixels = nullptr;      // first byte of the pixel area (the bottom memory row)
    std::uint8_t* rowPointer = nullptr;  // the byte that the next pixel goes into
    std::uint64_t stride = 0;            // bytes per row, a multiple of 4
    std::int16_t width = 0;              // W, 1 to 32767
    std::int16_t height = 0;             // H, 1 to 32767
    std::int16_t column = 0;             // pixels already placed in the current row
    std::uint8_t k = 0;         // pixels packed into the current byte so far (1 and 4 bits)
    std::int16_t r = 0;         // rows not yet begun, from height - 1 down to -1
    std::int16_t pass = 1;      // interlace pass 1 to 4, 5 when all passes are done
    std::int32_t imageRow = 0;  // the image row being filled
    std::uint8_t bits = 8;      // 1, 4 or 8
    bool interlaced = false;

    // Starts at image row 0 of a DIB whose pixel area is `pixels`.
    void Start(std::uint8_t* pixelArea, std::uint64_t rowStride, std::int16_t w, std::int16_t h,
               std::uint8_t bitsPerPixel, bool isInterlaced);

    // Places one pixel; values wider than the bit depth are cut to it, so that they never reach
    // a neighbouring pixel. Returns false, without placing it, once every row is full.
    bool Put(unsigned value) {
        if (column >= width && !NextRow()) return false;
        switch (bits) {
            case 8:
                *rowPointer++ = static_cast<std::uint8_t>(value);
                break;
            case 4:
                *rowPointer =
                    static_cast<std::uint8_t>((unsigned{*rowPointer} << 4) | (value & 0x0Fu));
                if (++k == 2) {
                    ++rowPointer;
                    k = 0;
                }
                break;
            default:
                *rowPointer =
                    static_cast<std::uint8_t>((unsigned{*rowPointer} << 1) | (value & 0x01u));
                if (++k == 8) {
                    ++rowPointer;
                    k = 0;
                }
                break;
        }
        ++column;
        return true;
    }

    // Places stack[count - 1] down to stack[0], in that order. Returns false when every row is
    // full before all of them are placed.
    bool PutReversed(const std::uint8_t* stack, int count) {
        if (bits == 8 && column + count <= width) {
            // The whole string fits in the current row.
            for (int i = count - 1; i >= 0; --i) *rowPointer++ = stack[i];
            column = static_cast<std::int16_t>(column + count);
            return true;
        }
        while (count > 0) {
            if (!Put(stack[--count])) return false;
        }
        return true;
    }

    // The pixels left in the current row.
    int Room() const { return width - column; }
    // Moves past `count` pixels of an 8-bit image that the caller wrote at rowPointer, at most
    // Room().
    void Advance(std::int64_t count) {
        rowPointer += count;
        column = static_cast<std::int16_t>(column + count);
    }

    // Places `count` bytes of an 8-bit image in order, across rows as needed. Returns false
    // when every row is full before all of them are placed.
    bool PutString(const std::uint8_t* string, int count);

    // Moves a partly filled byte's pixels to its top bits, where the row's order puts them.
    void AlignPartialByte();

    // Closes the full current row and moves to the next one in row order. Returns false when
    // no row is left.
    bool NextRow();

    // True until the first pixel is placed.
    bool Untouched() const { return r == height - 1 && column == 0; }

    // The first image row (0 = top) that did not get all of its pixels; the height when every
    // row did.
    std::int32_t FirstUnfilledRow() const;

    // The pixels placed so far in image row `row` (0 = top), from its left end: the width for a
    // finished row, none for a row not begun.
    std::int32_t PixelsIn(std::int32_t row) const;

    // For the progress percentage: the image height and the rows not yet begun.
    std::int16_t Height() const { return height; }
    std::int16_t RowsLeft() const { return r; }
};

// How a decode ends.
enum class GifDecodeOutcome {
    Finished,     // an end code arrived, or every row is full
    DataEnded,    // the block terminator (a size byte of 0), a missing size byte or a short
                  // sub-block: the image is what it holds
    Cancelled,    // the progress callback asked to stop
    Overflow,     // a string did not fit on the output stack
    BadCode,      // the first code after a clear code (or of the data) is neither a root nor the
                  // clear or end code: it names no string, and giflib, Pillow and ImageMagick
                  // refuse such data
    ReadError,    // a read of the file failed (as opposed to reaching its end)
    BadCodeSize,  // the minimum code size is outside 2 to 11
};

// What the fast decoder knows of a table entry besides its prefix and suffix: the length of
// its string when it is well formed (0 when only the prefix chain can tell), and where in the
// pixel area the string was last written in one piece (kGifNowhere when it was not).
struct GifStringPlace {
    std::uint32_t offset;
    std::uint32_t length;
};
inline constexpr std::uint32_t kGifNowhere = 0xFFFFFFFFu;

// The locked working blocks of one decode.
struct GifDecoderBuffers {
    std::uint16_t* prefix = nullptr;     // kLzwTableEntries entries
    std::uint8_t* suffix = nullptr;      // kLzwTableEntries bytes
    std::uint8_t* stack = nullptr;       // kLzwTableEntries bytes
    std::uint8_t* readBuffer = nullptr;  // kGifReadBlock bytes
    std::uint8_t* blockData = nullptr;   // 255 bytes: the current sub-block
    // kLzwTableEntries entries, or null: the fast decoder is used when this is given, the image
    // has 8 bits per pixel and the minimum code size is at most 8.
    GifStringPlace* places = nullptr;
};

// For tests: false makes every decode take the plain path, so that its output can be compared
// with the fast path's. The default is true.
void UseFastGifDecoder(bool enabled);

// Decodes the LZW code stream that starts at the file's current position (just after the
// minimum code size byte) into `sink`, with one progress call per data sub-block.
GifDecodeOutcome DecodeGifImage(ProgressBlock* progress, HFILE file, std::uint8_t minCodeSize,
                                const GifDecoderBuffers& buffers, GifRowWriter* sink);

// The DIB geometry of a GIF image, computed in 64-bit arithmetic.
struct GifGeometry {
    std::uint64_t stride = 0;       // ((width * bits + 31) / 32) * 4
    std::uint64_t pixelBytes = 0;   // stride * height
    std::uint64_t paletteSize = 0;  // 2^bits entries
    std::uint64_t dibBytes = 0;     // 40 + 4 * paletteSize + pixelBytes
};

// Fills `geometry` and returns 0, or returns 102 when the DIB would not fit in one block.
std::int16_t ComputeGifGeometry(std::uint64_t width, std::uint64_t height, std::uint32_t bits,
                                GifGeometry* geometry);

}  // namespace qor::gif
