// The description of a file without its pixels: what a GIF's blocks or a TIFF's directories say,
// and the status that a read of the file gets from them. Its cost grows with the number of
// blocks or directories, never with the pixels: no image is decoded and no DIB is made.
// Internal; the tool and the fuzz harnesses use it. Records are plain, and every outcome is a
// status.
#pragma once

#include <cstdint>

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
};

// The status that a read gives a page refused for `fault` (0 for kNone).
std::int16_t StatusOfFault(PageFault fault);
// What the rule refuses, in words.
const char* FaultText(PageFault fault);

}  // namespace tiff

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

struct GifDescription {
    // What a read of the file gives as far as the blocks tell: 0, or the reader's refusal. A
    // read can still fail in the image data (503, or 202 when it holds no pixel).
    std::int16_t status = 0;
    GifFault fault = GifFault::kNone;
    std::uint8_t faultByte = 0;
    std::uint32_t faultOffset = 0;
    std::uint32_t fileSize = 0;
    bool hasScreen = false;  // the header and logical screen were read
    char version = 0;        // the version digit: '7' for 87a, '9' for 89a
    std::uint32_t screenWidth = 0, screenHeight = 0;
    // Image descriptors before the trailer, the end of the data, or a byte that starts no block.
    std::uint32_t frames = 0;
    // The first image: its place, its size as the reader takes it (zero in the descriptor means
    // the screen's) and its interlace flag.
    std::uint32_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    // The DIB that a read makes of it: 0 bits when its size has no DIB.
    std::uint8_t bitsPerPixel = 0;
    std::uint32_t colours = 0;
    std::uint32_t pixelBytes = 0;
    // The index marked transparent by the last graphic control extension before the first image
    // that marks one, or -1.
    std::int16_t transparentIndex = -1;
    // Where the first image's data starts (its code size byte); 0 when the file ends before it.
    std::uint32_t dataOffset = 0;
};

// Describes the GIF file `fileName`. 0 with *description filled, 101 for a null argument, 201
// when the file cannot be opened.
std::int16_t DescribeGif(const char* fileName, GifDescription* description);

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

struct TiffDescription {
    // What a read of the file gives as far as the directories tell: 0, the refusal of the header
    // or chain, 531 when a page that passes validation has no decoder, or page 1's status when no
    // page passes. A read can still fail in a page's data.
    std::int16_t status = 0;
    TiffFault fault = TiffFault::kNone;
    std::uint16_t magic = 0;        // the header's second 16 bits, when the file holds them
    std::uint32_t firstOffset = 0;  // of the first directory
    std::uint32_t fileSize = 0;
    std::uint32_t pageCount = 0;
    // The page (1 = first) at which a read stops: one that validation passes but that has no
    // decoder ends the whole read, and nothing is delivered. 0 when no page does.
    std::uint32_t stopPage = 0;
};

struct TiffPageDescription {
    std::uint32_t directoryOffset = 0;
    std::uint32_t width = 0, height = 0;
    std::uint16_t bitsPerSample = 0;  // 0 when the samples differ in size
    std::uint16_t samplesPerPixel = 0;
    std::uint16_t photometric = 0;  // 10 when the tag is absent
    std::uint16_t compression = 0;
    std::uint16_t planarConfig = 0;
    std::uint16_t predictor = 0;
    std::uint32_t strips = 0;  // StripOffsets values
    bool tiled = false;        // the directory has tile tags
    // 0 when a read decodes the page, else the status it gives the page: validation's refusal,
    // or 531 for a compression without a decoder.
    std::int16_t status = 0;
    tiff::PageFault fault = tiff::PageFault::kNone;  // the rule that validation refuses it by
    // A page that a read decodes: the rows that its strips reach (rows from there on stay blank,
    // `height` when none do), and whether its LZW data starts as the old bit-reversed kind does.
    std::uint32_t rowsWithStrips = 0;
    bool oldStyleLzw = false;
};

// Describes the TIFF file `fileName`: *description, and the first `capacity` pages into `pages`
// (which may be null when `capacity` is 0). 0, 101 for a null argument, 201 when the file cannot
// be opened.
std::int16_t DescribeTiff(const char* fileName, TiffDescription* description,
                          TiffPageDescription* pages, std::uint32_t capacity);

}  // namespace qor
