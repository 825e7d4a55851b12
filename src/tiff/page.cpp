// Page validation, the page DIB's header and block, and its colour table.
#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor::tiff {
namespace {

constexpr std::uint32_t kMaxCurveValues = 768;

void SetGrey(std::uint8_t* table, std::uint32_t i, std::uint8_t g) {
    std::uint8_t* q = table + 4 * i;
    q[0] = q[1] = q[2] = g;
    q[3] = 0;
}

// Reads `count` bytes at `offset`; false when fewer arrive.
bool ReadAt(HFILE file, std::uint32_t offset, std::uint8_t* buffer, std::uint32_t count) {
    return plat::SeekTo(file, offset) &&
           plat::_lread(file, buffer, count) == static_cast<std::int32_t>(count);
}

// A grey level from a response-curve value: value / divisor x 127.5, truncated toward zero, low
// 8 bits. A divisor that wrapped to 0 saturates instead of dividing by zero.
std::uint8_t CurveLevel(std::uint16_t value, std::uint32_t divisor) {
    constexpr float kScale = 127.5f;
    if (divisor == 0) return value == 0 ? 0 : 0xFF;
    double q = static_cast<double>(value) / static_cast<double>(divisor) * kScale;
    auto whole = static_cast<std::uint32_t>(q);  // q < 65536 x 127.5: always representable
    return static_cast<std::uint8_t>(whole & 0xFF);
}

// An extended read carries the page's resolution into the DIB header (pixels per metre), from
// XResolution and YResolution in inches (ResolutionUnit 2 or absent) or centimetres (3).
void WriteResolution(HFILE file, const TiffPage& page, std::uint8_t* dib) {
    const double metre = page.resolutionUnit == 3   ? 100.0
                         : page.resolutionUnit == 2 ? 100.0 / 2.54
                                                    : 0.0;
    const bool little = IsLittleEndian(page.byteOrder);
    const std::uint32_t at[2] = {page.xResolutionAt, page.yResolutionAt};
    for (int i = 0; i < 2; ++i) {
        std::uint32_t value[2] = {0, 0};
        ReadRationalAt(file, at[i], little, value);
        if (value[1] == 0 || metre == 0.0) continue;
        const double perMetre = static_cast<double>(value[0]) / value[1] * metre + 0.5;
        if (perMetre < 2147483647.0)
            StoreLE32(dib + 24 + 4 * i, static_cast<std::uint32_t>(perMetre));
    }
}

}  // namespace

PageFault CheckTiffPage(const TiffPage& page) {
    using F = PageFault;
    if (page.extended && SelectStripDecoder(page.compression, true) == nullptr) {
        return F::kCompression;
    }
    if (page.imageWidth == 0 || page.imageLength == 0) return F::kNoWidthOrHeight;
    if (page.imageWidth > kMaxDibSide || page.imageLength > kMaxDibSide) return F::kTooLarge;
    // No usable strip: no offset, or no StripOffsets value (a count of 2^31 or more reads as
    // none). Such a page has nothing to decode; delivering it blank would be a made-up image.
    if (page.stripOffsets == 0) return F::kNoStrips;
    if (page.stripCount == 0 || page.stripCount > 0x7FFFFFFF) return F::kNoStrips;
    // An extended read walks a tiled page's tiles as strips; each needs a size.
    if (page.extended && page.tileTags && (page.tileWidth == 0 || page.tileLength == 0)) {
        return F::kNoStrips;
    }
    // A tile is decoded whole into a scratch image before it is cropped: tiles larger than the
    // page are read (a 256 x 256 tile on a 16 x 16 page is common), up to the page's side rounded
    // up to 16 or 1024, whichever is larger, and never past the largest DIB side. A tile past
    // that is refused as too large, so that a small file never chooses the scratch image's size.
    const auto tileRoom = [](std::uint32_t side) {
        return std::min<std::uint64_t>(std::max<std::uint64_t>((side + 15ull) / 16 * 16, 1024),
                                       kMaxDibSide);
    };
    if (page.extended && page.tileTags &&
        (page.tileWidth > tileRoom(page.imageWidth) ||
         page.tileLength > tileRoom(page.imageLength))) {
        return F::kTileTooLarge;
    }
    std::uint16_t bps = page.bitsPerSample;
    // An extended read takes 16-bit samples, delivered as 8 bits, wherever it takes 8-bit ones;
    // never floating-point or signed ones.
    if (page.extended && page.sampleFormat != kSampleFormatUnsigned) return F::kSampleFormat;
    const bool sixteen = page.extended && bps == 16;
    if (sixteen) bps = 8;
    // Extended reads also take 2-bit grey and palette pages, delivered as 4-bit ones.
    const bool twoBits = page.extended && bps == 2 && page.samplesPerPixel == 1;
    if (bps != 1 && bps != 4 && bps != 8 && !twoBits) return F::kBitsPerSample;
    // Every sample layout is decided here, so that a page without a DIB form is skipped like any
    // refused page instead of ending the read after the pages before it were decoded.
    switch (page.samplesPerPixel) {
        case 1:
            // One sample is grey or a palette index. Pages of one ink, one-sample YCbCr, Lab,
            // LogL or a transparency mask would come out as a false grey ramp.
            if (page.photometric != kPhotometricWhiteIsZero &&
                page.photometric != kPhotometricBlackIsZero &&
                page.photometric != kPhotometricPalette && page.photometric != kPhotometricAbsent) {
                return F::kSampleLayout;
            }
            // A ColorMap of two values would read as a black and white table: a palette page of
            // more than two colours with such a map is damaged.
            if (sixteen && page.photometric == kPhotometricPalette) return F::kSampleLayout;
            if (page.extended && ColorMapMiscounted(page)) {
                // As libtiff: the map is ignored; an 8-bit page then reads as grey, and a smaller
                // one has no colours.
                if (bps == 8) break;
                return page.colorMapCount == 2 && bps != 1 ? F::kTwoValueColorMap
                                                           : F::kColorMapCount;
            }
            if (page.photometric == kPhotometricPalette && bps != 1 && page.grayResponseUnit == 0 &&
                page.colorMapOffset != 0 && page.colorMapCount == 2) {
                return F::kTwoValueColorMap;
            }
            // Two values on a bilevel page are its black and white table, on purpose: files that
            // write it so have always read so. Any other count would read colours from whatever
            // follows a short map.
            if (ColorMapMiscounted(page) && !(bps == 1 && page.colorMapCount == 2)) {
                return F::kColorMapCount;
            }
            break;
        case 2:
            if (bps != 8) return F::kSampleLayout;
            break;
        case 3:
            // Three 1-bit or 4-bit samples have no DIB form. Three samples are delivered as RGB,
            // so only pages that are RGB (or say nothing) are: CIELab, YCbCr and the like would
            // come out as false colours. ITU Lab pages share the number that stands for an
            // absent tag and pass.
            if (bps != 8) return F::kSampleLayout;
            // An extended read also takes YCbCr pages of JPEG data, which the codec converts, and
            // uncompressed ones of interleaved samples in strips, which are converted as read.
            if (page.photometric != kPhotometricRgb && page.photometric != kPhotometricAbsent &&
                !(page.extended && page.photometric == kPhotometricYCbCr &&
                  (page.compression == kCompressionJpeg ||
                   (page.compression == kCompressionNone &&
                    page.planarConfig == kPlanarContiguous && !page.tileTags)))) {
                return F::kSampleLayout;
            }
            if (page.extended && page.photometric == kPhotometricYCbCr &&
                page.compression == kCompressionNone) {
                const auto takes = [](std::uint16_t n) { return n == 1 || n == 2 || n == 4; };
                const std::uint16_t h = page.ycbcrSubsampling[0], v = page.ycbcrSubsampling[1];
                if (!takes(h) || !takes(v) || v > h) return F::kYCbCrSubsampling;
            }
            break;
        case 4:
            if (bps != 8) return F::kSampleLayout;
            if (page.photometric != kPhotometricRgb && page.photometric != kPhotometricSeparated) {
                return F::kSampleLayout;
            }
            break;
        case 5:
            // Extended reads: four inks and an alpha.
            if (!page.extended || bps != 8 || page.photometric != kPhotometricSeparated) {
                return F::kSampleLayout;
            }
            break;
        default:
            return F::kSampleLayout;
    }
    // The codings hold only some samples. Decided here rather than when decoding starts, so that
    // a description gives such a page the status that a read does, and every read skips it.
    if (IsFaxCompression(page.compression) &&
        (page.bitsPerSample != 1 || page.samplesPerPixel != 1)) {
        return F::kCodingSamples;
    }
    // JPEG: one sample of grey, three of RGB or YCbCr, or four of CMYK, of 8 bits; a plane of
    // separate planes is one sample.
    const bool jpegSamples =
        page.samplesPerPixel == 1 || page.samplesPerPixel == 3 ||
        page.planarConfig == kPlanarSeparate ||
        (page.samplesPerPixel == 4 && page.photometric == kPhotometricSeparated);
    if (page.extended && page.compression == kCompressionJpeg &&
        (page.bitsPerSample != 8 || !jpegSamples)) {
        return F::kCodingSamples;
    }
    // Separate planes are read by an extended read.
    if (page.planarConfig != kPlanarContiguous &&
        !(page.extended && page.planarConfig == kPlanarSeparate)) {
        return F::kPlanar;
    }
    // A tile of 1 or 4 bits a sample starts on a whole byte of the row.
    if (page.extended && page.tileTags && (std::uint64_t{page.tileWidth} * bps) % 8 != 0) {
        return F::kSampleLayout;
    }
    if (page.extended && !CodingTakesPredictor(page.compression)) {
        // The tag means nothing to such a coding: the page reads as libtiff reads it.
    } else if (page.predictor == kPredictorHorizontal) {
        if ((page.compression != kCompressionLzw && !page.extended) || bps != 8) {
            return F::kPredictorNeedsLzw;
        }
    } else if (page.predictor != kPredictorNone) {
        return F::kPredictor;
    }
    if (page.compression == kCompressionGroup3) {
        // Two-dimensional rows are read by an extended read.
        if ((page.t4Options & kT4TwoDimensional) != 0 && !page.extended) {
            return F::kFaxTwoDimensional;
        }
        if ((page.t4Options & kFaxUncompressedMode) != 0) return F::kFaxUncompressed;
    } else if (page.compression == kCompressionGroup4) {
        if ((page.t6Options & kFaxUncompressedMode) != 0) return F::kFaxUncompressed;
    }
    return F::kNone;
}

std::int16_t StatusOfFault(PageFault fault) {
    switch (fault) {
        case PageFault::kNone:
            return 0;
        case PageFault::kNoWidthOrHeight:
        case PageFault::kNoStrips:
        case PageFault::kTwoValueColorMap:
        case PageFault::kColorMapCount:
            return QOR_NOT_TIFF;
        case PageFault::kTooLarge:
            return QOR_TIFF_TOO_LARGE;
        case PageFault::kBitsPerSample:
        case PageFault::kSampleLayout:
            return QOR_TIFF_UNSUPPORTED;
        case PageFault::kPlanar:
            return QOR_TIFF_PLANAR;
        case PageFault::kPredictorNeedsLzw:
            return QOR_TIFF_PREDICTOR_COMBINATION;
        case PageFault::kPredictor:
            return QOR_TIFF_PREDICTOR;
        case PageFault::kFaxTwoDimensional:
        case PageFault::kFaxUncompressed:
            return QOR_TIFF_MAGIC_OR_OPTIONS;
        case PageFault::kCompression:
            return QOR_TIFF_COMPRESSION;
        case PageFault::kSampleFormat:
        case PageFault::kCodingSamples:
            return QOR_TIFF_UNSUPPORTED;
        case PageFault::kTileTooLarge:
            return QOR_TIFF_TOO_LARGE;
        case PageFault::kOldStyleLzw:
            return QOR_READ_FAILED;
        case PageFault::kYCbCrSubsampling:
            return QOR_TIFF_UNSUPPORTED;
    }
    return QOR_NOT_TIFF;
}

const char* FaultText(PageFault fault, bool extended) {
    switch (fault) {
        case PageFault::kNone:
            return "";
        case PageFault::kNoWidthOrHeight:
            return "the page has no width or no height";
        case PageFault::kTooLarge:
            return "the page is wider or taller than 32767 pixels";
        case PageFault::kNoStrips:
            // An extended read walks a tiled page's tiles, which need a size.
            return extended ? "the page has no strip or tile offsets, or its tiles no size"
                            : "the page has no strip offsets (tiled pages are read by extended "
                              "reads only)";
        case PageFault::kBitsPerSample:
            return "samples of other than 1, 4 or 8 bits, or of unequal sizes, are not supported";
        case PageFault::kSampleLayout:
            return "this number of samples with this photometric interpretation is not supported";
        case PageFault::kTwoValueColorMap:
            return "the palette page's ColorMap holds only 2 values";
        case PageFault::kPlanar:
            return "samples in separate planes are not supported";
        case PageFault::kPredictorNeedsLzw:
            return StatusText(QOR_TIFF_PREDICTOR_COMBINATION, extended);
        case PageFault::kPredictor:
            return "this predictor is not supported";
        case PageFault::kFaxTwoDimensional:
            return "two-dimensional Group 3 coding is not supported";
        case PageFault::kFaxUncompressed:
            return "uncompressed mode in fax data is not supported";
        case PageFault::kCompression:
            return "this compression is not supported";
        case PageFault::kSampleFormat:
            return "floating-point and signed samples are not supported";
        case PageFault::kCodingSamples:
            return "the compression does not hold samples of this size or number";
        case PageFault::kColorMapCount:
            return "the palette page's ColorMap does not hold 3 x 2^bits values";
        case PageFault::kTileTooLarge:
            return "a tile is far larger than its page (past the page rounded up to 16, or 1024)";
        case PageFault::kOldStyleLzw:
            return "the LZW data is of the old kind, which only an extended read decodes";
        case PageFault::kYCbCrSubsampling:
            return "YCbCr subsampling other than 1, 2 or 4 (and no finer down than across) is not "
                   "supported";
    }
    return "";
}

std::int16_t ValidateTiffPage(const TiffPage& page) {
    return StatusOfFault(CheckTiffPage(page));
}

bool FirstStripIsOldStyleLzw(HFILE file, const TiffPage& page) {
    StripWalker walk;
    StripSpan strip;
    std::uint8_t head[2];
    return walk.Start(file, page) == 0 && walk.Next(&strip) == 0 &&
           plat::_lread(file, head, 2) == 2 && StartsOldStyleLzw(head[0], head[1]);
}

PageFault CheckTiffPageData(HFILE file, const TiffPage& page) {
    // The classic decoder takes old-style codes for codes of the TIFF kind and ends in garbage:
    // the page is refused before it is decoded, so that a description says what the read gives
    // and the pages after it are still read.
    if (!page.extended && page.compression == kCompressionLzw &&
        FirstStripIsOldStyleLzw(file, page)) {
        return PageFault::kOldStyleLzw;
    }
    return PageFault::kNone;
}

std::int16_t SetUpPageDib(HFILE file, TiffPage* page, HGLOBAL* dib, std::uint8_t** bits,
                          std::uint64_t budget) {
    *dib = 0;
    *bits = nullptr;
    page->bitsPerPixel =
        static_cast<std::uint16_t>(page->samplesPerPixel * page->bitsPerSample & 0xFFFF);
    PageForm form;
    // Three 1-bit or three 4-bit samples have no DIB form.
    if (!FormOfPage(*page, &form)) return QOR_TIFF_UNSUPPORTED;
    if (form.dibBitCount == 24) page->colorMapCount = 0;
    // A page that no block can hold, or that the read cannot afford, is refused here rather
    // than wrapped to a smaller size.
    if (form.dibBytes > plat::kMaxBlockSize || form.dibBytes > budget) return QOR_NO_MEMORY;

    HGLOBAL block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, form.dibBytes);
    if (block == 0) return QOR_NO_MEMORY;
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(block));
    if (p == nullptr) {
        plat::GlobalFree(block);
        return QOR_NO_MEMORY;
    }
    const DibView view = WriteDibHeader(p, page->imageWidth, page->imageLength, form.dibBitCount);
    if (page->extended) WriteResolution(file, *page, p);
    if (std::int16_t status = BuildColorTable(file, view, page)) {
        plat::GlobalUnlock(block);
        plat::GlobalFree(block);
        return status;
    }
    *dib = block;
    *bits = p;
    return 0;
}

std::int16_t BuildColorTable(HFILE file, const DibView& dib, TiffPage* page) {
    if (dib.colours == 0) return 0;  // a DIB of 24 or 32 bits has no table
    std::uint8_t* table = dib.palette;
    // 16-bit grey is delivered as 8-bit grey.
    const std::uint32_t bps = page->bitsPerSample == 16 ? 8 : page->bitsPerSample;
    const std::uint32_t n = 1u << bps;
    const std::uint32_t entries = dib.colours;
    const bool littleEndian = IsLittleEndian(page->byteOrder);

    if (bps != 1) {
        if (page->photometric == kPhotometricWhiteIsZero ||
            page->photometric == kPhotometricBlackIsZero || page->colorMapOffset == 0 ||
            ColorMapIgnored(*page)) {
            page->colorMapCount = static_cast<std::uint16_t>(n);
            // 4-bit grey steps by 16 (white is 240), or in an extended read by 17, as image
            // viewers show it (white is 255).
            // 2-bit grey (extended reads) steps by 85.
            const std::uint32_t step = page->extended ? 255 / (n - 1) : 16;
            for (std::uint32_t i = 0; i < n && i < entries; ++i) {
                std::uint32_t level = n == 256 ? i : (i * step) & 0xFF;
                if (page->photometric == kPhotometricWhiteIsZero)
                    level = n == 256 ? 255 - i : ((n - 1 - i) * step) & 0xFF;
                SetGrey(table, i, static_cast<std::uint8_t>(level));
            }
            return 0;
        }
    }

    if (page->colorMapCount == 2) {
        const bool whiteFirst = page->photometric == kPhotometricWhiteIsZero;
        SetGrey(table, 0, whiteFirst ? 0xFF : 0);
        SetGrey(table, 1, whiteFirst ? 0 : 0xFF);
        return 0;
    }

    if (page->grayResponseUnit != 0) {
        std::uint32_t divisor = 1;
        if (page->grayResponseUnit < 0x8000) {
            for (std::uint32_t k = 0; k < page->grayResponseUnit; ++k) divisor *= 10;
        }
        // Never more values than the table has entries or the working buffer holds.
        std::uint32_t count = page->colorMapCount;
        if (count > entries) count = entries;
        if (count > kMaxCurveValues) count = kMaxCurveValues;
        std::uint8_t raw[2 * kMaxCurveValues];
        if (!ReadAt(file, page->colorMapOffset, raw, 2 * count)) return QOR_READ_FAILED;
        for (std::uint32_t k = 0; k < count; ++k) {
            SetGrey(table, k, CurveLevel(Load16(raw + 2 * k, littleEndian), divisor));
        }
        page->colorMapCount = static_cast<std::uint16_t>(count);
        return 0;
    }

    // ColorMap: n red values, then n green, then n blue; the high byte of each is used.
    std::uint8_t raw[6 * 256];
    if (!ReadAt(file, page->colorMapOffset, raw, 6 * n)) return QOR_READ_FAILED;
    page->colorMapCount = static_cast<std::uint16_t>(n);
    for (std::uint32_t k = 0; k < n && k < entries; ++k) {
        std::uint8_t* q = table + 4 * k;
        q[2] = static_cast<std::uint8_t>(Load16(raw + 2 * k, littleEndian) >> 8);
        q[1] = static_cast<std::uint8_t>(Load16(raw + 2 * (n + k), littleEndian) >> 8);
        q[0] = static_cast<std::uint8_t>(Load16(raw + 2 * (2 * n + k), littleEndian) >> 8);
        q[3] = 0;
    }
    return 0;
}

}  // namespace qor::tiff
