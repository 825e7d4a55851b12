// Pages that an extended read takes in parts: tiled pages, and pages whose samples lie in separate
// planes. Each part (a tile, or one strip of one plane) is decoded by the page's own strip decoder
// as a page of its own, one strip of the part's size, into a scratch DIB, and then placed: a tile
// is copied to its place in the page's rows (edge tiles cropped), a plane's samples are spread to
// their place in each pixel. The page then goes on to its finishing step as any other.
#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "tiff/codec.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor::tiff {
namespace {

// The scratch DIB of one part: the page's record with the part's size, samples and strip.
class Scratch {
  public:
    explicit Scratch(const TiffPage& page) : part_(page) {
        part_.planarConfig = kPlanarContiguous;
        part_.tileTags = false;
        part_.rowsPerStrip = 0;
        part_.stripCount = 1;
        part_.byteCountCount = 1;
        part_.orientation = 1;
        // A part's samples are decoded as the file stores them: a plane of one sample reads as
        // grey, and no colour table is read for a part.
        if (page.planarConfig == kPlanarSeparate && page.samplesPerPixel > 1) {
            part_.samplesPerPixel = 1;
            part_.extraSamples = 0;
            part_.photometric = kPhotometricBlackIsZero;
        }
        if (part_.photometric == kPhotometricPalette) part_.photometric = kPhotometricBlackIsZero;
        part_.colorMapOffset = 0;
        part_.grayResponseUnit = 0;
    }
    ~Scratch() { Free(); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // A cleared DIB for a part of `width` x `height`, whose strip is at `offset`. 0, or 102.
    std::int16_t Prepare(HFILE file, std::uint32_t width, std::uint32_t height,
                         std::uint32_t offset, std::uint32_t byteCount) {
        if (dib_ == 0 || width != part_.imageWidth || height != part_.imageLength) {
            Free();
            part_.imageWidth = width;
            part_.imageLength = height;
            if (std::int16_t status = SetUpPageDib(file, &part_, &dib_, &bits_)) return status;
            if (!ViewPageDib(bits_, part_, &view_)) return QOR_TIFF_UNSUPPORTED;
        } else {
            std::memset(view_.pixels, 0, static_cast<std::size_t>(view_.stride * height));
        }
        part_.stripOffsets = offset;
        part_.byteCountArray = byteCount;
        return 0;
    }
    TiffPage* part() { return &part_; }
    std::uint8_t* bits() const { return bits_; }
    const DibView& view() const { return view_; }

  private:
    void Free() {
        if (dib_ != 0) {
            plat::GlobalUnlock(dib_);
            plat::GlobalFree(dib_);
        }
        dib_ = 0;
        bits_ = nullptr;
    }
    TiffPage part_;
    HGLOBAL dib_ = 0;
    std::uint8_t* bits_ = nullptr;
    DibView view_;
};

// Copies `pixels` pixels of `bits` bits from the start of `from` to pixel `x` of `to`, which
// starts on a whole byte; the bits past the last pixel stay as they are.
void CopyPixels(const std::uint8_t* from, std::uint8_t* to, std::uint64_t x, std::uint64_t pixels,
                unsigned bits) {
    const std::uint64_t whole = pixels * bits / 8, rest = pixels * bits % 8;
    std::uint8_t* at = to + x * bits / 8;
    std::memcpy(at, from, static_cast<std::size_t>(whole));
    if (rest != 0) {
        const auto keep = static_cast<std::uint8_t>(0xFF << (8 - rest));
        at[whole] = static_cast<std::uint8_t>((at[whole] & ~keep) | (from[whole] & keep));
    }
}

// Undoes Predictor 2 on a row of `count` 16-bit values of `channels` interleaved channels, in
// the file's byte order.
void SumWideChannels(std::uint8_t* row, std::uint64_t count, unsigned channels, bool little) {
    std::uint16_t sum[4] = {};
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint16_t& s = sum[i % channels];
        s = static_cast<std::uint16_t>(s +
                                       (little ? LoadLE16(row + 2 * i) : LoadBE16(row + 2 * i)));
        if (little) {
            StoreLE16(row + 2 * i, s);
        } else {
            StoreBE16(row + 2 * i, s);
        }
    }
}

}  // namespace

std::int16_t DecodeParts(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                         StripDecoder decoder) {
    ReportProgress(progress, 0);
    PageForm form;
    DibView rows;
    if (!FormOfPage(*page, &form) || !ViewPageDib(dib, *page, &rows)) return QOR_TIFF_UNSUPPORTED;
    const std::uint32_t width = page->imageWidth, height = page->imageLength;
    const bool planar = page->planarConfig == kPlanarSeparate && page->samplesPerPixel > 1;
    const std::uint32_t planes = planar ? page->samplesPerPixel : 1;
    // Parts: tiles, or strips across the whole width.
    std::uint32_t partWidth = width, partHeight = height;
    if (page->tileTags) {
        partWidth = page->tileWidth;
        partHeight = page->tileLength;
    } else if (page->rowsPerStrip != 0 && page->rowsPerStrip < height) {
        partHeight = page->rowsPerStrip;
    }
    const std::uint64_t across = (std::uint64_t{width} - 1) / partWidth + 1;
    const std::uint64_t down = (std::uint64_t{height} - 1) / partHeight + 1;
    // Parts the file does not list leave their pixels blank; the work follows the parts listed.
    const std::uint64_t total = std::min<std::uint64_t>(across * down * planes, page->stripCount);
    Scratch scratch(*page);
    // A part's damaged rows, noted on the page as its own rows.
    std::vector<DamagedRows> partDamage;
    scratch.part()->damaged = page->damaged != nullptr ? &partDamage : nullptr;
    // JPEG and Deflate parts share one codec: the page's tables are read once, and the blocks
    // that hold a part's bytes are taken once and grow to the largest.
    std::unique_ptr<StripCodec> codec;
    if (page->compression == kCompressionJpeg) {
        codec = MakeJpegCodec();
    } else if (page->compression == kCompressionDeflate ||
               page->compression == kCompressionOldDeflate) {
        codec = MakeDeflateCodec();
    }
    StripEnds ends;
    const unsigned pixelBits = planar ? 0 : form.bitsPerPixel;
    const unsigned sampleBytes = page->bitsPerSample / 8u;
    for (std::uint64_t index = 0; index < total; ++index) {
        const std::uint64_t plane = index / (across * down), at = index % (across * down);
        const std::uint64_t x0 = at % across * partWidth, y0 = at / across * partHeight;
        std::uint32_t offset = 0, byteCount = 0;
        if (!ReadStripEntry(file, *page, static_cast<std::uint32_t>(index), &offset, &byteCount)) {
            return QOR_READ_FAILED;
        }
        // A strip holds the rows left at the page's end; a tile is whole, its edge cropped.
        const auto rowsHere = static_cast<std::uint32_t>(
            page->tileTags ? partHeight : std::min<std::uint64_t>(partHeight, height - y0));
        if (std::int16_t status = scratch.Prepare(file, partWidth, rowsHere, offset, byteCount)) {
            return status;
        }
        // A part that states no byte count ends where the next part begins.
        if (byteCount == 0) {
            if (const std::uint32_t next = ends.After(file, *page, offset); next > offset) {
                scratch.part()->byteCountArray = next - offset;
            }
        }
        partDamage.clear();
        std::int16_t status;
        if (codec != nullptr) {
            // A long part makes the page's progress calls from within (the share of parts done).
            codec->Watch(progress, static_cast<std::uint32_t>(index * 100 / total));
            status = DecodeStrips(nullptr, scratch.bits(), file, *scratch.part(), codec.get());
        } else {
            status = decoder(nullptr, scratch.bits(), file, scratch.part());
        }
        if (status != 0) return status;
        const DibView& part = scratch.view();
        // Predictor 2 on 16-bit samples starts again at each row of each part.
        if (page->bitsPerSample == 16 && UsesHorizontalPredictor(*page)) {
            const unsigned channels = planar ? 1 : page->samplesPerPixel;
            for (std::uint32_t r = 0; r < rowsHere; ++r) {
                SumWideChannels(part.Row(r), std::uint64_t{partWidth} * channels, channels,
                                IsLittleEndian(page->byteOrder));
            }
        }
        const std::uint64_t columns = std::min<std::uint64_t>(partWidth, width - x0);
        const std::uint64_t lines = std::min<std::uint64_t>(rowsHere, height - y0);
        for (const DamagedRows& d : partDamage) {
            if (d.firstRow >= lines) continue;
            page->damaged->push_back(
                {0, static_cast<std::uint32_t>(y0 + d.firstRow),
                 static_cast<std::uint32_t>(std::min<std::uint64_t>(d.rows, lines - d.firstRow)),
                 d.status});
        }
        // Red and blue of 8-bit RGB are exchanged as the rows are decoded: a plane of red goes
        // where blue's samples go.
        const std::uint64_t target =
            form.exchangeRedBlue ? page->samplesPerPixel - 1 - plane : plane;
        for (std::uint64_t r = 0; r < lines; ++r) {
            const std::uint8_t* from = part.Row(static_cast<std::uint32_t>(r));
            std::uint8_t* to = rows.Row(static_cast<std::uint32_t>(y0 + r));
            if (!planar) {
                CopyPixels(from, to, x0, columns, pixelBits);
                continue;
            }
            std::uint8_t* sample = to + ((x0 * page->samplesPerPixel) + target) * sampleBytes;
            for (std::uint64_t x = 0; x < columns; ++x) {
                std::memcpy(sample, from + x * sampleBytes, sampleBytes);
                sample += std::uint64_t{page->samplesPerPixel} * sampleBytes;
            }
        }
        const auto done = static_cast<std::uint32_t>((index + 1) * 100 / total);
        if (index + 1 < total && ReportProgress(progress, done) != 0) return QOR_CANCELLED;
    }
    // JPEG planes of YCbCr come out as they are stored, a plane at a time: the colours are made
    // here, with the conversion that libjpeg makes for a page of whole pixels (JFIF's).
    if (planar && page->compression == kCompressionJpeg && page->photometric == kPhotometricYCbCr &&
        page->samplesPerPixel == 3 && sampleBytes == 1) {
        const unsigned first = form.exchangeRedBlue ? 2 : 0, last = 2 - first;
        for (std::uint32_t r = 0; r < height; ++r) {
            std::uint8_t* p = rows.Row(r);
            for (std::uint32_t x = 0; x < width; ++x, p += 3) {
                YCbCrToRgb(p[first], p[1], p[last], &p[first], &p[1], &p[last]);
            }
        }
    }
    page->rowsDecoded = height;
    ReportProgress(progress, 100);
    return 0;
}

}  // namespace qor::tiff
