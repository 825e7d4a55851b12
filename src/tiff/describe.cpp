// DescribeTiff: the reader's own header check, directory chain and parse, and page validation,
// without a strip decoded.
#include "record/describe.h"

#include "platform/bytes.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor {
namespace {

using tiff::TiffPage;

constexpr std::uint32_t kTiffHeaderBytes = 8;

// The header's first four bytes, read for what they say when the header check refuses them.
void TakeMagic(HFILE file, TiffDescription* d) {
    std::uint8_t head[4] = {};
    if (plat::SeekTo(file, 0) && plat::_lread(file, head, sizeof head) == sizeof head) {
        d->magic = Load16(head + 2, head[0] == 'I');
    }
}

// The header and the chain: 0 with *count directories from d->firstOffset on, or the status
// that the reader gives the file, with its fault.
std::int16_t DescribeChain(HFILE file, TiffDescription* d, std::uint16_t* byteOrder,
                           std::uint16_t* count) {
    *count = 0;
    std::int16_t status = tiff::ReadTiffHeader(file, byteOrder, &d->firstOffset);
    switch (status) {
        case 0:
            break;
        case QOR_NOT_TIFF:
            d->fault = TiffFault::kNoByteOrder;
            return status;
        case QOR_TIFF_MAGIC_OR_OPTIONS:
            // A file cut inside the magic number is refused as if it held another one.
            d->fault = d->fileSize < 4 ? TiffFault::kHeaderCut : TiffFault::kMagic;
            TakeMagic(file, d);
            return status;
        default:
            d->fault =
                d->fileSize < kTiffHeaderBytes ? TiffFault::kHeaderCut : TiffFault::kUnreadable;
            return status;
    }
    status = tiff::CountTiffPages(file, d->firstOffset, *byteOrder, count);
    if (d->fileSize < kTiffHeaderBytes) {
        // The first offset is cut short and reads as none.
        d->fault = TiffFault::kHeaderCut;
        return QOR_BAD_REQUEST;
    }
    if (status != 0) {
        // A file cut short loses the directory that most writers put after the data.
        const bool pastEnd = std::uint64_t{d->firstOffset} + 2 > d->fileSize;
        d->fault = pastEnd ? TiffFault::kDirectoryPastEnd : TiffFault::kUnreadable;
        return status;
    }
    if (*count == 0) {
        d->fault = TiffFault::kNoDirectory;
        return QOR_BAD_REQUEST;
    }
    return 0;
}

// Copies the ASCII value of `count` bytes at `at` into `text` (of `capacity` bytes), cut to fit
// and ended by a zero byte. A value that the file does not hold reads as empty.
void ReadText(HFILE file, std::uint32_t at, std::uint32_t count, char* text,
              std::uint32_t capacity) {
    text[0] = '\0';
    const std::uint32_t n = count < capacity - 1 ? count : capacity - 1;
    if (n == 0 || !plat::SeekTo(file, at)) return;
    const std::int32_t got = plat::_lread(file, text, n);
    text[got > 0 ? got : 0] = '\0';
}

// The RATIONAL at `at` (0: absent) as numerator and denominator; 0 and 0 when the file does not
// hold it.
void DescribePage(HFILE file, const TiffPage& page, std::uint32_t at, TiffPageDescription* p) {
    p->directoryOffset = at;
    p->width = page.imageWidth;
    p->height = page.imageLength;
    p->bitsPerSample = page.bitsPerSample;
    p->samplesPerPixel = page.samplesPerPixel;
    p->photometric = page.photometric;
    p->compression = page.compression;
    p->planarConfig = page.planarConfig;
    p->predictor = page.predictor;
    p->strips = page.tileTags && page.stripCount == 0 ? page.tileCount : page.stripCount;
    p->tiled = page.tileTags ? 1 : 0;
    p->tileWidth = page.tileWidth;
    p->tileLength = page.tileLength;
    p->rowsPerStrip = page.rowsPerStrip;
    p->fillOrder = page.fillOrder;
    p->extraSamples = page.extraSamples;
    p->extraSampleCount = page.extraSampleCount;
    p->colorMapIgnored = tiff::ColorMapIgnored(page);
    p->orientation = page.orientation;
    p->resolutionUnit = page.resolutionUnit;
    const bool little = tiff::IsLittleEndian(page.byteOrder);
    tiff::ReadRationalAt(file, page.xResolutionAt, little, p->xResolution);
    tiff::ReadRationalAt(file, page.yResolutionAt, little, p->yResolution);
    p->pageNumber = page.pageNumber;
    p->pageTotal = page.pageTotal;
    p->subfileType = page.newSubfileType;
    ReadText(file, page.softwareAt, page.softwareCount, p->software, sizeof p->software);
    ReadText(file, page.dateTimeAt, page.dateTimeCount, p->dateTime, sizeof p->dateTime);
    p->fault = tiff::CheckTiffPage(page);
    if (p->fault == tiff::PageFault::kNone) p->fault = tiff::CheckTiffPageData(file, page);
    p->status = tiff::StatusOfFault(p->fault);
    // Validation passes compressions without a decoder: the read stops at such a page.
    if (p->status == 0 && tiff::SelectStripDecoder(page.compression, page.extended) == nullptr) {
        p->status = QOR_TIFF_COMPRESSION;
    }
    if (p->status != 0) return;
    // The rows of strips that the page does not list stay blank; the decoders walk the same.
    tiff::StripWalker walk;
    p->rowsWithStrips = page.imageLength;
    if (walk.Start(file, page) == 0) {
        const std::uint64_t rows = std::uint64_t{walk.Count()} * walk.RowsPerStrip();
        if (rows < page.imageLength) p->rowsWithStrips = static_cast<std::uint32_t>(rows);
        // A read starts at the first strip: one that the file does not hold (a file cut before
        // its strips) ends the read there, as it ends here.
        tiff::StripSpan first;
        if (const std::int16_t status = walk.Next(&first); status != 0) {
            p->status = status;
            return;
        }
    }
    p->oldStyleLzw =
        page.compression == tiff::kCompressionLzw && tiff::FirstStripIsOldStyleLzw(file, page);
}

std::int16_t Describe(HFILE file, TiffDescription* d, TiffPageSink sink, void* context,
                      bool extended) {
    std::uint16_t byteOrder = 0, count = 0;
    const std::int16_t chain = DescribeChain(file, d, &byteOrder, &count);
    if (byteOrder != 0) d->byteOrder = byteOrder;
    if (chain != 0) return chain;
    std::uint32_t offset = d->firstOffset;
    std::int16_t firstStatus = 0, stopStatus = 0;
    bool anyDecodes = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        TiffPage page{};
        page.byteOrder = byteOrder;
        page.extended = extended;
        const std::uint32_t at = offset;
        if (std::int16_t status = tiff::ParseTiffDirectory(file, &page, &offset)) {
            // The reader reads every directory before it decodes a page.
            d->fault = TiffFault::kUnreadable;
            d->stopPage = 0;
            return status;
        }
        TiffPageDescription p;
        DescribePage(file, page, at, &p);
        if (sink != nullptr) sink(context, i, p);
        d->pageCount = i + 1;
        if (i == 0) firstStatus = p.status;
        anyDecodes = anyDecodes || p.status == 0;
        // A page that validation passes but no decoder takes, or whose first strip the file does
        // not hold, ends a read; one that validation refuses (in an extended read, also for its
        // compression) is skipped.
        if (d->stopPage == 0 && p.status != 0 && p.fault == tiff::PageFault::kNone) {
            d->stopPage = i + 1;
            stopStatus = p.status;
        }
    }
    d->morePages = count == kMaxTiffPages && offset != 0;
    if (d->stopPage != 0) return stopStatus;
    // A read that decodes no page gives page 1's status.
    return anyDecodes ? 0 : firstStatus;
}

}  // namespace

std::int16_t DescribeTiffWith(const char* fileName, TiffDescription* description, TiffPageSink sink,
                              void* context, bool extended) {
    if (fileName == nullptr || description == nullptr) return QOR_BAD_REQUEST;
    HFILE file = plat::_lopen(fileName, 0);
    if (file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;
    *description = TiffDescription{};
    description->fileSize = plat::GetFileSize(file, nullptr);
    description->status = Describe(file, description, sink, context, extended);
    plat::_lclose(file);
    return 0;
}

std::int16_t DescribeTiff(const char* fileName, TiffDescription* description,
                          TiffPageDescription* pages, std::uint32_t capacity) {
    if (pages == nullptr && capacity != 0) return QOR_BAD_REQUEST;
    struct Store {
        TiffPageDescription* pages;
        std::uint32_t capacity;
    } store{pages, capacity};
    auto keep = [](void* context, std::uint32_t index, const TiffPageDescription& page) {
        auto* s = static_cast<Store*>(context);
        if (index < s->capacity) s->pages[index] = page;
    };
    return DescribeTiffWith(fileName, description, keep, &store);
}

}  // namespace qor
