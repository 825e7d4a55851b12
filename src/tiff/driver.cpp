// ReadTiffWorker: opens the file, parses every directory of the chain, decodes each page that
// can be decoded into its own DIB and hands all of them to the host as the layers of one
// document.
#include <cstring>

#include "host/host.h"
#include "platform/bytes.h"
#include "platform/locked_block.h"
#include "record/request.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor {
namespace {

using tiff::TiffPage;
using namespace tiff;  // the tag and code names

// 2^shift with the shift taken modulo 32.
std::uint64_t PowerOfTwo(std::uint32_t shift) {
    return 1ull << (shift & 31);
}

std::uint32_t Saturate32(std::uint64_t v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

void FillInformation(ImageIoRequest* request, const TiffPage& first, HFILE file) {
    request->infoVersion = 0;
    request->infoEncoding = first.compression;
    request->infoWidth = first.imageWidth;
    request->infoHeight = first.imageLength;
    request->infoBitsPerSample = first.bitsPerSample;
    request->infoBitsPerSample2 = first.bitsPerSample;
    request->infoSamplesPerPixel = first.samplesPerPixel;
    request->infoSamplesPerPixel2 = first.samplesPerPixel;
    const std::uint64_t b = first.bitsPerSample, w = first.imageWidth, h = first.imageLength;
    // Computed in 64 bits; a count that does not fit 32 bits reads as 0xFFFFFFFF.
    if (first.samplesPerPixel == 1 || first.samplesPerPixel == 2) {
        request->infoColorCount = static_cast<std::uint32_t>(PowerOfTwo(first.bitsPerSample));
        request->infoImageBytes = Saturate32((w * b + 31) / 32 * h * 4);
    } else {
        request->infoColorCount = static_cast<std::uint32_t>(PowerOfTwo(3u * first.bitsPerSample));
        request->infoImageBytes = Saturate32((3 * w * b + 31) / 32 * h * 4);
    }
    request->infoFileSize = plat::GetFileSize(file, nullptr);
}

// Writes entry 0 = black and entry 1 = white into the colour table of a 1-bit DIB.
void SetBlackWhite(const DibView& dib) {
    const std::uint8_t table[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    std::memcpy(dib.palette, table, sizeof table);
}

// Inverts a 1-bit DIB through the host; the source is freed whatever the outcome.
std::int16_t Invert(ProgressBlock* progress, HGLOBAL dib, HGLOBAL* inverted) {
    *inverted = 0;
    std::int16_t status = host::InvertBitmap(progress, dib, inverted);
    plat::GlobalFree(dib);
    if (status != 0) {
        // A refusal leaves nothing of its own behind.
        if (*inverted != 0) plat::GlobalFree(*inverted);
        *inverted = 0;
    }
    return status;
}

// Finishes a decoded page as its form says: the colour table while the DIB is still locked
// (`view`), then, unlocked, the inversion or the narrowing of its rows. On 0 page->bitmap holds
// the result; on failure every block of the page is freed.
std::int16_t FinishPage(ProgressBlock* progress, TiffPage* page, const tiff::PageForm& form,
                        HGLOBAL dib, const DibView& view) {
    using tiff::PageFinish;
    PageFinish finish = form.finish;
    if (finish == PageFinish::kInvertIfFirstEntryLight) {
        finish = view.palette[0] != 0 ? PageFinish::kBlackWhiteThenInvert : PageFinish::kNone;
    }
    if (finish == PageFinish::kBlackWhite || finish == PageFinish::kBlackWhiteThenInvert) {
        SetBlackWhite(view);
    }
    plat::GlobalUnlock(dib);
    if (form.wideSamples != 0 && !tiff::NarrowWideSamples(dib, form)) {
        plat::GlobalFree(dib);
        return QOR_NO_MEMORY;
    }
    HGLOBAL result = dib;
    switch (finish) {
        case PageFinish::kInvertThenBlackWhite:
        case PageFinish::kBlackWhiteThenInvert: {
            if (std::int16_t status = Invert(progress, dib, &result)) return status;
            if (finish == PageFinish::kBlackWhiteThenInvert) break;
            // The inverted copy is a block of its own.
            auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(result));
            DibView inverted;
            if (p == nullptr || !ViewDib(p, plat::GlobalSize(result), &inverted)) {
                if (p != nullptr) plat::GlobalUnlock(result);
                plat::GlobalFree(result);
                return QOR_NO_MEMORY;
            }
            SetBlackWhite(inverted);
            plat::GlobalUnlock(result);
            break;
        }
        case PageFinish::kGreyAlphaToGrey:
            result = tiff::ConvertGreyAlphaToGrey(dib);
            break;
        case PageFinish::kRgbaToBgr:
            result = tiff::ConvertRgbaToBgr(dib);
            break;
        case PageFinish::kCmykToBgr:
            result = tiff::ConvertCmykToBgr(dib);
            break;
        case PageFinish::kCmykToBgrAsViewers:
            result = tiff::ConvertCmykToBgrAsViewers(dib);
            break;
        case PageFinish::kRgbaToBgra:
        case PageFinish::kPremultipliedRgbaToBgra:
            result = tiff::ConvertRgbaToBgra(dib, finish == PageFinish::kPremultipliedRgbaToBgra);
            break;
        case PageFinish::kGreyAlphaToBgra:
        case PageFinish::kPremultipliedGreyAlphaToBgra:
            result = tiff::ConvertGreyAlphaToBgra(
                dib, finish == PageFinish::kPremultipliedGreyAlphaToBgra);
            break;
        default:
            break;
    }
    if (result == 0) {
        // A conversion that yields no block leaves the decoded one to us.
        plat::GlobalFree(dib);
        return QOR_NO_MEMORY;
    }
    // Last, an extended read shows the page upright.
    if (HGLOBAL upright = tiff::OrientDib(result, form.orientation); upright != 0) {
        result = upright;
    } else {
        plat::GlobalFree(result);
        return QOR_NO_MEMORY;
    }
    page->bitmap = result;
    return 0;
}

// Decodes one valid page into page->bitmap, whose block may take at most `budget` bytes. The DIB
// is locked once, from its set-up to its colour table's last change.
std::int16_t DecodePage(ProgressBlock* progress, HFILE file, TiffPage* page, std::uint64_t budget) {
    HGLOBAL dib = 0;
    std::uint8_t* bits = nullptr;
    // Every page starts cleared: a fresh block costs nothing until it is written, so rows that
    // get no data cost nothing either.
    if (std::int16_t status = tiff::SetUpPageDib(file, page, &dib, &bits, budget)) return status;
    tiff::PageForm form;
    DibView view;
    const tiff::StripDecoder decoder = tiff::SelectStripDecoder(page->compression, page->extended);
    std::int16_t status = QOR_TIFF_COMPRESSION;
    if (decoder != nullptr && tiff::TakenInParts(*page)) {
        status = tiff::DecodeParts(progress, bits, file, page, decoder);
    } else if (decoder != nullptr) {
        status = decoder(progress, bits, file, page);
    }
    if (status == 0 &&
        (!tiff::FormOfPage(*page, &form) || !tiff::ViewPageDib(bits, *page, &view))) {
        status = QOR_TIFF_UNSUPPORTED;
    }
    if (status != 0) {
        plat::GlobalUnlock(dib);
        plat::GlobalFree(dib);
        return status;
    }
    return FinishPage(progress, page, form, dib, view);
}

void FreeBitmaps(TiffPage* pages, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pages[i].bitmap != 0) plat::GlobalFree(pages[i].bitmap);
        pages[i].bitmap = 0;
    }
}

void ReleaseLayerBlock(ImageIoRequest* request) {
    if (request->layerBlock != 0) plat::GlobalFree(request->layerBlock);
    request->layerBlock = 0;
    request->layerCount = 0;
}

// Hands the decoded pages to the host. On failure the host's layer block and every page's DIB
// are freed.
std::int16_t DeliverPages(ImageIoRequest* request, TiffPage* pages, std::uint32_t count,
                          std::uint32_t decoded) {
    std::int16_t status = host::ReserveLayers(request, decoded, 1);
    if (status == 0) {
        request->multiPage = decoded != 1 ? 1 : 0;
        std::uint32_t layer = 0;
        for (std::uint32_t i = 0; i < count && status == 0; ++i) {
            if (pages[i].status != 0 || pages[i].bitmap == 0) continue;
            status =
                host::AssignLayerBitmap(request, layer, layer == 0 ? 1 : 0, pages[i].bitmap, 0);
            if (status == 0) ++layer;
        }
        if (status == 0) return 0;
    }
    ReleaseLayerBlock(request);
    FreeBitmaps(pages, count);
    return status;
}

}  // namespace

namespace tiff {

StripDecoder SelectStripDecoder(std::uint16_t compression, bool extended) {
    switch (compression) {
        case kCompressionNone:
            return DecodeUncompressedStripsToBgr;
        case kCompressionModifiedHuffman:
            return DecodeModifiedHuffmanStrips;
        case kCompressionGroup3:
            return DecodeGroup3Strips;
        case kCompressionGroup4:
            return DecodeGroup4Strips;
        case kCompressionLzw:
            return DecodeLzwStripsToBgr;
        case kCompressionPackBits:
            return DecodePackBitsStripsToBgr;
        case kCompressionJpeg:
#if QORIMG_HAVE_LIBJPEG
            return extended ? DecodeJpegStrips : nullptr;
#else
            return nullptr;
#endif
        case kCompressionDeflate:
        case kCompressionOldDeflate:
#if QORIMG_HAVE_LIBDEFLATE
            return extended ? DecodeDeflateStrips : nullptr;
#else
            return nullptr;
#endif
        default:
            return nullptr;
    }
}

}  // namespace tiff

std::int16_t ReadTiffWorker(ImageIoRequest* request, std::vector<PageEnd>* ended,
                            std::uint32_t* stoppedAt, const ReadScope* scope) {
    if (std::int16_t status = BeginWork(request)) return status;
    ProgressBlock* progress = ProgressBlockOf(request);
    request->layerCount = 0;
    request->layerBlock = 0;

    HFILE file = plat::_lopen(request->fileName, 0);
    if (file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;
    std::uint16_t byteOrder = 0;
    std::uint32_t offset = 0;
    if (std::int16_t status = tiff::ReadTiffHeader(file, &byteOrder, &offset)) {
        plat::_lclose(file);
        return status;
    }
    // The chain is walked to the end of the pages asked for; `offset` moves to the first.
    const ReadScope whole;
    const ReadScope& range = scope != nullptr ? *scope : whole;
    const std::uint32_t first = range.firstPage;
    const std::uint64_t end =
        range.pageCount == 0 ? 0xFFFF : std::uint64_t{first} + range.pageCount;
    std::uint16_t walked = 0;
    if (std::int16_t status = tiff::WalkTiffChain(
            file, offset, byteOrder, static_cast<std::uint32_t>(end < 0xFFFF ? end : 0xFFFF), first,
            &walked, &offset)) {
        plat::_lclose(file);
        return status;
    }
    if (walked <= first) {
        plat::_lclose(file);
        return QOR_BAD_REQUEST;
    }
    const std::uint32_t count = walked - first;
    plat::LockedBlock pageArray;
    if (!pageArray.Allocate(sizeof(TiffPage) * count)) {
        plat::_lclose(file);
        return QOR_NO_MEMORY;
    }
    auto* const pages = pageArray.As<TiffPage>();
    // Directories of many entries report progress as they are parsed, so that a file of huge
    // directories can be cancelled; those of ordinary files make no call.
    constexpr std::uint32_t kEntriesPerReport = 1u << 16;
    std::uint32_t entriesSinceReport = 0;
    std::int16_t status = 0;
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        pages[i].byteOrder = byteOrder;
        pages[i].extended = range.extended;
        pages[i].threads = tiff::ThreadsOfRead(range.threads);
        std::uint32_t entries = 0;
        status = tiff::ParseTiffDirectory(file, &pages[i], &offset, &entries);
        entriesSinceReport += entries;
        if (status == 0 && entriesSinceReport >= kEntriesPerReport) {
            entriesSinceReport = 0;
            if (ReportProgress(progress, (i + 1) * 100 / count) != 0) status = QOR_CANCELLED;
        }
    }
    if (status != 0) {
        plat::_lclose(file);
        return status;
    }
    FillInformation(request, pages[0], file);

    std::uint32_t decoded = 0;
    // Every page's image is kept until the end, so the read as a whole has a budget; a file of
    // thousands of pages that each take a large block ends as an out-of-memory read would.
    const std::uint64_t budget = range.Budget();
    std::uint64_t held = 0;
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        pages[i].status = static_cast<std::uint16_t>(tiff::ValidateTiffPage(pages[i]));
        if (pages[i].status != 0) continue;
        status = DecodePage(progress, file, &pages[i], budget - held);
        if (status != 0) {
            if (stoppedAt != nullptr) *stoppedAt = first + i + 1;
            break;
        }
        ++decoded;
        if (ended != nullptr && pages[i].rowsDecoded < pages[i].imageLength) {
            ended->push_back({first + i + 1, pages[i].rowsDecoded});
        }
        // The conversions only ever keep or shrink the block that was afforded.
        held += plat::GlobalSize(pages[i].bitmap);
    }
    plat::_lclose(file);

    if (status == 0 && decoded == 0) status = static_cast<std::int16_t>(pages[0].status);
    if (status == 0) status = DeliverPages(request, pages, count, decoded);
    if (status != 0) FreeBitmaps(pages, count);
    return status;
}

}  // namespace qor
