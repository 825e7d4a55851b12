// The numbers of TIFF files that the reader acts on: tags, field types, compressions and
// photometric interpretations. Named once here; nothing else spells them as literals.
#pragma once

#include <cstdint>

namespace qor::tiff {

enum Tag : std::uint16_t {
    kTagNewSubfileType = 254,
    kTagSubfileType = 255,
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagFillOrder = 266,
    kTagStripOffsets = 273,
    kTagOrientation = 274,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagPlanarConfig = 284,
    kTagGrayResponseUnit = 290,
    kTagGrayResponseCurve = 291,
    kTagT4Options = 292,
    kTagT6Options = 293,
    kTagResolutionUnit = 296,
    kTagPageNumber = 297,
    kTagSoftware = 305,
    kTagDateTime = 306,
    kTagPredictor = 317,
    kTagColorMap = 320,
    // Tiled pages: a classic read refuses them, an extended one walks their tiles.
    kTagTileWidth = 322,
    kTagTileLength = 323,
    kTagTileOffsets = 324,
    kTagTileByteCounts = 325,
    kTagExtraSamples = 338,
    kTagSampleFormat = 339,
    kTagJpegTables = 347,
    kTagYCbCrSubSampling = 530,
    kTagReferenceBlackWhite = 532,
};

enum FieldType : std::uint16_t {
    kTypeAscii = 2,
    kTypeShort = 3,
    kTypeLong = 4,
    kTypeRational = 5,
    kTypeUndefined = 7,
};

enum Compression : std::uint16_t {
    kCompressionNone = 1,
    kCompressionModifiedHuffman = 2,
    kCompressionGroup3 = 3,
    kCompressionGroup4 = 4,
    kCompressionLzw = 5,
    kCompressionJpeg = 7,
    kCompressionDeflate = 8,
    kCompressionPackBits = 32773,
    kCompressionOldDeflate = 32946,  // the same zlib streams, under the number first used
};

inline bool IsFaxCompression(std::uint16_t compression) {
    return compression == kCompressionModifiedHuffman || compression == kCompressionGroup3 ||
           compression == kCompressionGroup4;
}

// The codings whose data a Predictor differences (LZW and Deflate). Other codings have no use for
// the tag: libtiff reads their pages as if it were absent, and so does an extended read.
inline bool CodingTakesPredictor(std::uint16_t compression) {
    return compression == kCompressionLzw || compression == kCompressionDeflate ||
           compression == kCompressionOldDeflate;
}

enum Photometric : std::uint16_t {
    kPhotometricWhiteIsZero = 0,
    kPhotometricBlackIsZero = 1,
    kPhotometricRgb = 2,
    kPhotometricPalette = 3,
    kPhotometricSeparated = 5,  // CMYK
    kPhotometricYCbCr = 6,
    // What the page record holds when the tag is absent. ITU Lab pages carry the same number,
    // so the record cannot tell them from pages without the tag.
    kPhotometricAbsent = 10,
};

// T4Options bit 0: two-dimensional coding; bit 1 (and T6Options bit 1): uncompressed mode.
inline constexpr std::uint32_t kT4TwoDimensional = 1;
inline constexpr std::uint32_t kFaxUncompressedMode = 2;

// ExtraSamples: 0 data of no meaning for display, 1 colours premultiplied by the alpha, 2 straight
// alpha.
inline constexpr std::uint16_t kExtraSampleUnspecified = 0;
inline constexpr std::uint16_t kExtraSamplePremultipliedAlpha = 1;
inline constexpr std::uint16_t kExtraSampleStraightAlpha = 2;

// SampleFormat: 1 unsigned integers (the default), 2 signed, 3 floating point.
inline constexpr std::uint16_t kSampleFormatUnsigned = 1;
inline constexpr std::uint16_t kSampleFormatFloat = 3;

inline constexpr std::uint16_t kPredictorNone = 1;
inline constexpr std::uint16_t kPredictorHorizontal = 2;
inline constexpr std::uint16_t kPlanarContiguous = 1;
inline constexpr std::uint16_t kPlanarSeparate = 2;
inline constexpr std::uint16_t kFillOrderLsbFirst = 2;

}  // namespace qor::tiff
