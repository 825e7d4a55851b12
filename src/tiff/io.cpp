// Byte-order-aware reads, the strip walk and the page DIB's geometry shared by the TIFF and fax
// decoders.
#include <algorithm>

#include "platform/bytes.h"
#include "tiff/tags.h"
#include "tiff/tiff.h"

namespace qor::tiff {
namespace {

// Reads up to `n` values of `size` (2 or 4) bytes from the array at `array`, starting at value
// `first`, into `out`; returns how many arrived whole.
std::uint32_t ReadValues(HFILE file, std::uint16_t byteOrder, std::uint32_t array,
                         std::uint16_t size, std::uint32_t first, std::uint32_t n,
                         std::uint32_t* out) {
    std::uint8_t raw[4 * 256];
    n = std::min<std::uint32_t>(n, sizeof raw / 4);
    if (!plat::SeekTo(file, std::uint64_t{array} + std::uint64_t{first} * size)) return 0;
    const std::int32_t got = plat::_lread(file, raw, n * size);
    const std::uint32_t whole = got > 0 ? static_cast<std::uint32_t>(got) / size : 0;
    const bool little = IsLittleEndian(byteOrder);
    for (std::uint32_t k = 0; k < whole; ++k) {
        out[k] = size == 2 ? Load16(raw + 2 * k, little) : Load32(raw + 4 * k, little);
    }
    return whole;
}

}  // namespace

std::int16_t StripWalker::Start(HFILE file, const TiffPage& page) {
    *this = StripWalker{};
    file_ = file;
    page_ = &page;
    const std::uint32_t height = page.imageLength;
    if (page.stripCount == 0 || page.stripCount > 0x7FFFFFFF || height == 0) return QOR_NOT_TIFF;
    const std::uint32_t perStrip = page.rowsPerStrip;
    const bool whole = page.stripCount == 1 || perStrip == 0 || perStrip >= height;
    rowsPerStrip_ = whole ? height : perStrip;
    const std::uint32_t needed = (height - 1) / rowsPerStrip_ + 1;
    count_ = std::min(needed, page.stripCount);
    const std::uint32_t size = plat::GetFileSize(file, nullptr);
    fileSize_ = size == 0xFFFFFFFFu ? ~std::uint64_t{0} : size;
    return 0;
}

bool StripWalker::Load(std::uint32_t first) {
    const TiffPage& p = *page_;
    const std::uint32_t n = std::min(kBatch, count_ - first);
    batchFirst_ = first;
    batchCount_ =
        ReadValues(file_, p.byteOrder, p.stripOffsets, p.stripOffsetSize, first, n, offsets_);
    std::fill(byteCounts_, byteCounts_ + kBatch, 0u);
    if (p.byteCountCount == 1) {
        if (first == 0) byteCounts_[0] = p.byteCountArray;
    } else if (p.byteCountCount > first) {
        ReadValues(file_, p.byteOrder, p.byteCountArray, p.byteCountSize, first,
                   std::min(n, p.byteCountCount - first), byteCounts_);
    }
    return batchCount_ > 0;
}

std::int16_t StripWalker::Next(StripSpan* strip) {
    const std::uint32_t j = next_++;
    std::uint32_t offset, byteCount;
    if (page_->stripCount == 1) {
        offset = page_->stripOffsets;
        byteCount = page_->byteCountCount == 1 ? page_->byteCountArray : 0;
    } else {
        if ((j < batchFirst_ || j - batchFirst_ >= batchCount_) && !Load(j)) {
            return QOR_READ_FAILED;
        }
        offset = offsets_[j - batchFirst_];
        byteCount = byteCounts_[j - batchFirst_];
    }
    if (offset == 0 || offset >= fileSize_ || !plat::SeekTo(file_, offset)) return QOR_READ_FAILED;
    strip->offset = offset;
    strip->byteCount =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(byteCount, fileSize_ - offset));
    strip->firstRow = j * rowsPerStrip_;
    strip->rows = std::min(rowsPerStrip_, page_->imageLength - strip->firstRow);
    return 0;
}

std::uint32_t StripEnds::After(HFILE file, const TiffPage& page, std::uint32_t offset) {
    if (page_ != &page) {
        page_ = &page;
        count_ = 0;
        const std::uint32_t n = page.stripCount;
        if (n < 2 || n > 0x7FFFFFFF ||
            !sorted_.Allocate(std::uint64_t{n} * 4, plat::GMEM_MOVEABLE)) {
            sorted_.Free();
            return 0;
        }
        auto* at = sorted_.As<std::uint32_t>();
        while (count_ < n) {
            const std::uint32_t got =
                ReadValues(file, page.byteOrder, page.stripOffsets, page.stripOffsetSize, count_,
                           n - count_, at + count_);
            if (got == 0) break;
            count_ += got;
        }
        std::sort(at, at + count_);
    }
    const auto* at = sorted_.As<std::uint32_t>();
    const std::uint32_t* next = std::upper_bound(at, at + count_, offset);
    return next != at + count_ ? *next : 0;
}

bool ReadStripEntry(HFILE file, const TiffPage& page, std::uint32_t index, std::uint32_t* offset,
                    std::uint32_t* byteCount) {
    *byteCount = 0;
    if (page.stripCount == 1) {
        *offset = page.stripOffsets;
        if (page.byteCountCount == 1) *byteCount = page.byteCountArray;
        return index == 0;
    }
    if (index >= page.stripCount || ReadValues(file, page.byteOrder, page.stripOffsets,
                                               page.stripOffsetSize, index, 1, offset) != 1) {
        return false;
    }
    if (page.byteCountCount > index) {
        ReadValues(file, page.byteOrder, page.byteCountArray, page.byteCountSize, index, 1,
                   byteCount);
    }
    return true;
}

void ReadRationalAt(HFILE file, std::uint32_t at, bool littleEndian, std::uint32_t* value) {
    std::uint8_t b[8];
    if (at == 0 || !plat::SeekTo(file, at) || plat::_lread(file, b, 8) != 8) return;
    value[0] = Load32(b, littleEndian);
    value[1] = Load32(b + 4, littleEndian);
}

bool UsesHorizontalPredictor(const TiffPage& page) {
    return page.predictor == kPredictorHorizontal &&
           (!page.extended || CodingTakesPredictor(page.compression));
}

bool FormOfPage(const TiffPage& page, PageForm* form) {
    if (page.extended && page.bitsPerSample == 16) {
        // The form of the same page in 8-bit samples, with the file's wider rows.
        TiffPage narrow = page;
        narrow.bitsPerSample = 8;
        narrow.bitsPerPixel = static_cast<std::uint16_t>(8 * page.samplesPerPixel);
        narrow.predictor = kPredictorNone;
        PageForm f;
        if (!FormOfPage(narrow, &f)) return false;
        f.bitsPerPixel = page.bitsPerPixel;
        f.rowBytes = std::uint64_t{page.imageWidth} * 2 * page.samplesPerPixel;
        f.stride = DibStride(page.imageWidth, page.bitsPerPixel);
        f.dibBytes = kDibHeaderSize + 4ull * DibTableEntries(f.dibBitCount) +
                     std::max(f.stride, DibStride(page.imageWidth, f.dibBitCount)) *
                         std::uint64_t{page.imageLength};
        f.wideSamples = page.samplesPerPixel;
        f.widePredictor = UsesHorizontalPredictor(page) && !TakenInParts(page);
        f.wideExchangeRedBlue = f.exchangeRedBlue;
        f.wideLittleEndian = IsLittleEndian(page.byteOrder);
        f.exchangeRedBlue = false;
        f.predictorChannels = 0;
        *form = f;
        return true;
    }
    // Several samples have a DIB form only as 8 bits each.
    if (page.samplesPerPixel > 1 && page.bitsPerSample != 8) return false;
    PageForm f;
    f.bitsPerPixel = page.bitsPerPixel;
    switch (page.bitsPerPixel) {
        case 1:
        case 4:
        case 8:
            f.dibBitCount = page.bitsPerPixel;
            break;
        case 2:
            // Extended reads: DIBs have no 2-bit form; the indices are widened to 4 bits.
            if (!page.extended) return false;
            f.dibBitCount = 4;
            f.finish = PageFinish::kTwoBitToFour;
            break;
        case 16:
            // Grey with alpha: the rows are narrowed to their grey samples afterwards, or in an
            // extended read widened to grey and alpha in 32 bits (alpha stored premultiplied
            // unless ExtraSamples says it is not).
            // Data of no meaning for display is left out, as in a classic read.
            f.dibBitCount = page.extended && !ExtraSampleUnspecified(page) ? 32 : 8;
            f.finish = f.dibBitCount == 8 ? PageFinish::kGreyAlphaToGrey
                       : page.extraSamples == kExtraSampleStraightAlpha
                           ? PageFinish::kGreyAlphaToBgra
                           : PageFinish::kPremultipliedGreyAlphaToBgra;
            break;
        case 24:
            f.dibBitCount = 24;
            // The codecs exchange red and blue row by row while each row is still in the
            // cache, which spares a second pass over the whole page.
            f.exchangeRedBlue = true;
            break;
        case 32:
            f.dibBitCount = 24;
            if (page.photometric == kPhotometricRgb) f.finish = PageFinish::kRgbaToBgr;
            if (page.photometric == kPhotometricSeparated) f.finish = PageFinish::kCmykToBgr;
            if (page.extended && page.photometric == kPhotometricRgb &&
                !ExtraSampleUnspecified(page)) {
                // The alpha is kept. A fourth sample that ExtraSamples does not call straight
                // alpha is taken as premultiplied, as libtiff's viewer interface takes it.
                f.dibBitCount = 32;
                f.finish = page.extraSamples == kExtraSampleStraightAlpha
                               ? PageFinish::kRgbaToBgra
                               : PageFinish::kPremultipliedRgbaToBgra;
            }
            if (page.extended && page.photometric == kPhotometricSeparated) {
                f.finish = PageFinish::kCmykToBgrAsViewers;
            }
            break;
        case 40:
            // Extended reads: four inks and an alpha, which libtiff does not show on inks.
            if (!page.extended || page.photometric != kPhotometricSeparated) return false;
            f.dibBitCount = 24;
            f.finish = PageFinish::kCmykAlphaToBgrAsViewers;
            break;
        default:
            return false;
    }
    f.rowBytes = FileRowBytes(page);
    f.stride = DibStride(page.imageWidth, page.bitsPerPixel);
    // The block holds the decoded rows and what the finishing step makes of them in place.
    f.dibBytes = kDibHeaderSize + 4ull * DibTableEntries(f.dibBitCount) +
                 std::max(f.stride, DibStride(page.imageWidth, f.dibBitCount)) *
                     std::uint64_t{page.imageLength};
    if (page.extended) f.orientation = page.orientation;
    if (UsesHorizontalPredictor(page) && page.bitsPerPixel >= 8) {
        f.predictorChannels = page.bitsPerPixel / 8u;
    }
    if (page.bitsPerPixel == 1) {
        const bool fax = IsFaxCompression(page.compression);
        if (page.photometric == kPhotometricWhiteIsZero) {
            f.finish = fax ? PageFinish::kBlackWhite : PageFinish::kInvertThenBlackWhite;
        } else if (page.photometric == kPhotometricBlackIsZero) {
            // The fax codecs paint the code's white runs as 1 bits. A BlackIsZero page stores
            // those runs as 0 bits, which it shows black: it is delivered inverted.
            f.finish =
                fax ? PageFinish::kBlackWhiteThenInvert : PageFinish::kInvertIfFirstEntryLight;
        }
    }
    *form = f;
    return true;
}

bool ViewPageDib(std::uint8_t* dib, const TiffPage& page, DibView* view) {
    PageForm form;
    DibView v;
    if (!FormOfPage(page, &form) || !ViewDib(dib, form.dibBytes, &v)) return false;
    if (v.width != page.imageWidth || v.height != page.imageLength) return false;
    if (v.bits != form.dibBitCount) return false;
    v.stride = form.stride;
    *view = v;
    return true;
}

std::uint64_t FileRowBytes(const TiffPage& page) {
    const std::uint64_t width = page.imageWidth;
    switch (page.bitsPerPixel) {
        case 1:
            return (width + 7) / 8;
        case 2:
            return (width + 3) / 4;
        case 4:
            return (width + 1) / 2;
        case 8:
        case 16:
        case 24:
        case 32:
        case 40:
        case 48:
        case 64:
        case 80:
            return width * (page.bitsPerPixel / 8u);
        default:
            return 0;
    }
}

}  // namespace qor::tiff
