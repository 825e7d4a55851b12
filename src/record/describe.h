// The description of a file without its pixels: what a GIF's blocks or a TIFF's directories say,
// and the status that a read of the file gets from them. Its cost grows with the number of
// blocks or directories, never with the pixels: no image is decoded and no DIB is made.
// The public records of QorDescribeGIF and QorDescribeTIF are the bases of these: the entry points
// hand out those parts, and the tool and the fuzz harnesses use the whole, with the reasons.
// Records are plain, and every outcome is a status.
#pragma once

#include <cstdint>

#include "qorimg/qorimg.h"

namespace qor {

namespace tiff {

// Why validation refuses a TIFF page: one reason per rule, in the order the rules are checked.
enum class PageFault : std::uint8_t {
    kNone,
    kNoWidthOrHeight,    // a width or height of 0
    kTooLarge,           // wider or taller than 32767
    kNoStrips,           // no StripOffsets value (as on a tiled page)
    kBitsPerSample,      // samples of other than 1, 4 or 8 bits, or of unequal sizes
    kSampleLayout,       // a number of samples, or a photometric, that has no DIB form
    kTwoValueColorMap,   // a palette page of 4 or 8 bits whose ColorMap holds 2 values
    kPlanar,             // samples in separate planes
    kPredictorNeedsLzw,  // predictor 2 without LZW or without 8-bit samples
    kPredictor,          // a predictor other than 1 and 2
    kFaxTwoDimensional,  // two-dimensional Group 3 coding
    kFaxUncompressed,    // uncompressed mode in fax data
    // Extended reads check this first: a compression without a decoder (old-style JPEG, WebP,
    // Zstandard, LERC, JPEG 2000, LogLuv and the rest). The page is skipped like any refused
    // page; a classic read passes such a page and stops at it.
    kCompression,
    kSampleFormat,  // extended reads: floating-point or signed samples
    // A coding that does not hold the page's samples: fax pages of more than one bit a pixel,
    // JPEG pages of other than one or three 8-bit samples a pixel.
    kCodingSamples,
    kTileTooLarge,  // extended reads: a tile past its page rounded up to 16 or 1024
    // Classic reads: LZW data of the old kind (CheckTiffPageData), which only an extended read
    // decodes; refused with 202, the status the classic decoder has always ended such data with.
    kOldStyleLzw,
    // A palette page whose ColorMap does not hold 3 x 2^bits values (classic reads: other than
    // the two values of a bilevel page; extended reads: a page of fewer than 8 bits, which
    // without its map has no colours)
    kColorMapCount,
    // Extended reads: uncompressed YCbCr whose chroma subsampling is other than 1, 2 or 4 each
    // way, or finer vertically than horizontally
    kYCbCrSubsampling,
};

// The status that a read gives a page refused for `fault` (0 for kNone).
std::int16_t StatusOfFault(PageFault fault);
// What the rule refuses, in words, for a read of the given kind.
const char* FaultText(PageFault fault, bool extended);

}  // namespace tiff

// The one table of status texts (QorStatusTextFor): a status's words for a classic or an extended
// read. Page faults whose words are a status's take them from here.
const char* StatusText(int status, bool extended);

// Why a GIF gets the status it does from its blocks.
enum class GifFault : std::uint8_t {
    kNone,
    kHeaderCut,        // a signature, but the file ends inside the 13 header bytes
    kNoSignature,      // no signature at the start or after a 128-byte prefix
    kGlobalTableCut,   // the file ends inside the global colour table
    kTrailerFirst,     // the trailer comes before any image
    kNotABlock,        // `faultByte` at `faultOffset` starts no block
    kEndsBeforeImage,  // the data ends before the first image's descriptor is whole
    kNoWidthOrHeight,  // the first image (or the screen whose size it takes) is 0 wide or tall
    kTooLarge,         // the first image is wider or taller than 32767
    kLocalTableCut,    // the file ends inside the first image's colour table
    kCodeSize,         // the LZW minimum code size (`faultByte`) is not 2 to 11
    kNoData,           // the image data ends before its first sub-block holds a byte
};

// The public record (cleared when made) and why the blocks give the status they do.
struct GifDescription : QorGifInfo {
    GifDescription() : QorGifInfo{} {
        transparentIndex = -1;
        loopCount = -1;
    }
    GifFault fault = GifFault::kNone;
    std::uint8_t faultByte = 0;
    std::uint32_t faultOffset = 0;
    bool hasScreen = false;  // the header and logical screen were read
    // Bytes of the first image's DIB pixels; 0 when its size has no DIB.
    std::uint32_t pixelBytes = 0;
    // Where the first image's data starts (its code size byte); 0 when the file ends before it.
    std::uint32_t dataOffset = 0;
};

// Receives the frame records of a description one at a time, `index` 0 for the first.
using GifFrameSink = void (*)(void* context, std::uint32_t index, const QorGifFrame& frame);

// Describes the GIF file `fileName`: *description, and each frame through `sink` (which may be
// null). 0 with *description filled, 101 for a null argument, 201 when the file cannot be opened.
std::int16_t DescribeGif(const char* fileName, GifDescription* description,
                         GifFrameSink sink = nullptr, void* context = nullptr);

// Why a TIFF file gets the status it does from its header or directory chain.
enum class TiffFault : std::uint8_t {
    kNone,              // the pages decide the status
    kNoByteOrder,       // no 'II' or 'MM' at the start
    kMagic,             // `magic` is not 42
    kHeaderCut,         // the file ends inside the 8 header bytes (`fileSize` of them)
    kNoDirectory,       // the header's first offset is 0
    kDirectoryPastEnd,  // the first directory lies past the end of the file
    kUnreadable,        // a read of the header or a directory failed
};

// A chain holds at most this many directories; the reader counts no further.
inline constexpr std::uint32_t kMaxTiffPages = 65535;

// The public record (cleared when made) and why the header or chain gives the status it does.
struct TiffDescription : QorTifInfo {
    TiffDescription() : QorTifInfo{} {}
    TiffFault fault = TiffFault::kNone;
    std::uint16_t magic = 0;        // the header's second 16 bits, when the file holds them
    std::uint32_t firstOffset = 0;  // of the first directory
    // The chain goes on past its kMaxTiffPages-th directory: the pages after are never read.
    bool morePages = false;
};

// The public record of a page (cleared when made) and why validation refuses it.
struct TiffPageDescription : QorTifPage {
    TiffPageDescription() : QorTifPage{} {}
    tiff::PageFault fault = tiff::PageFault::kNone;  // the rule that validation refuses it by
    // A page that a read decodes: whether its LZW data starts as the old bit-reversed kind does.
    bool oldStyleLzw = false;
    // TileWidth and TileLength, 0 when absent.
    std::uint32_t tileWidth = 0, tileLength = 0;
    // ExtraSamples values (the public field holds the one value of a single extra sample, or
    // the count of several); 0 when the tag is absent.
    std::uint32_t extraSampleCount = 0;
    // An extended read ignores the ColorMap of the wrong count of an 8-bit palette page and reads
    // the page as grey.
    bool colorMapIgnored = false;
};

// Receives the page records of a description one at a time, `index` 0 for the first page.
using TiffPageSink = void (*)(void* context, std::uint32_t index, const TiffPageDescription& page);

// Describes the TIFF file `fileName`: *description, and each page through `sink` (which may be
// null). 0, 101 for a null argument, 201 when the file cannot be opened.
std::int16_t DescribeTiffWith(const char* fileName, TiffDescription* description, TiffPageSink sink,
                              void* context, bool extended = false);
// The same, with the first `capacity` pages stored into `pages` (null when `capacity` is 0).
std::int16_t DescribeTiff(const char* fileName, TiffDescription* description,
                          TiffPageDescription* pages, std::uint32_t capacity);

}  // namespace qor
