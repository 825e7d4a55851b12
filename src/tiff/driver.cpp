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

// Writes entry 0 = black and entry 1 = white into the colour table of an unlocked 1-bit DIB.
std::int16_t SetBlackWhite(HGLOBAL dib) {
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return QOR_NO_MEMORY;
    const std::uint8_t table[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    std::memcpy(p + LoadLE32(p), table, sizeof table);
    plat::GlobalUnlock(dib);
    return 0;
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

// Turns a decoded, unlocked DIB into the page's bitmap. `rowsInBgr`: the decoder has already
// exchanged red and blue in the rows of a 24-bit page. On 0 page->bitmap holds the result; on
// failure every block of the page is freed.
std::int16_t FinishPage(ProgressBlock* progress, TiffPage* page, HGLOBAL dib, bool rowsInBgr) {
    HGLOBAL result = dib;
    std::int16_t status = 0;
    switch (page->bitsPerPixel) {
        case 1: {
            const bool fax = IsFaxCompression(page->compression);
            if (page->photometric == kPhotometricWhiteIsZero && fax) {
                status = SetBlackWhite(dib);
                if (status != 0) plat::GlobalFree(dib);
            } else if (page->photometric == kPhotometricWhiteIsZero) {
                status = Invert(progress, dib, &result);
                if (status == 0) {
                    status = SetBlackWhite(result);
                    if (status != 0) plat::GlobalFree(result);
                }
            } else if (page->photometric == kPhotometricBlackIsZero && fax) {
                // The fax decoders paint the code's white runs as 1 bits. A BlackIsZero page
                // stores those runs as 0 bits, which it shows black: deliver it inverted.
                status = SetBlackWhite(dib);
                if (status != 0) {
                    plat::GlobalFree(dib);
                } else {
                    status = Invert(progress, dib, &result);
                }
            } else if (page->photometric == kPhotometricBlackIsZero) {
                auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
                if (p == nullptr) {
                    plat::GlobalFree(dib);
                    return QOR_NO_MEMORY;
                }
                const bool blueFirst = p[LoadLE32(p)] != 0;
                plat::GlobalUnlock(dib);
                if (blueFirst) {
                    status = SetBlackWhite(dib);
                    if (status != 0) {
                        plat::GlobalFree(dib);
                    } else {
                        status = Invert(progress, dib, &result);
                    }
                }
            }
            break;
        }
        case 16:
            result = tiff::ConvertGreyAlphaToGrey(dib);
            break;
        case 24:
            if (rowsInBgr) break;
            // Red and blue are exchanged in the decoded block itself rather than in a copy:
            // the delivered pixels are the same, without a second block of the page's size.
            result = tiff::ConvertRgbToBgrInPlace(dib);
            break;
        case 32:
            if (page->photometric == kPhotometricRgb) {
                result = tiff::ConvertRgbaToBgr(dib);
            } else if (page->photometric == kPhotometricSeparated) {
                result = tiff::ConvertCmykToBgr(dib);
            }
            break;
        default:
            break;
    }
    if (status != 0) return status;
    if (result == 0) {
        // A conversion that yields no block leaves the decoded one to us.
        plat::GlobalFree(dib);
        return QOR_NO_MEMORY;
    }
    page->bitmap = result;
    return 0;
}

// Decodes one valid page into page->bitmap, whose block may take at most `budget` bytes.
std::int16_t DecodePage(ProgressBlock* progress, HFILE file, TiffPage* page, std::uint64_t budget) {
    HGLOBAL dib = 0;
    std::uint8_t* bits = nullptr;
    // Every page starts cleared: a fresh block costs nothing until it is written, so rows that
    // get no data cost nothing either.
    if (std::int16_t status = tiff::SetUpPageDib(file, page, &dib, &bits, budget)) return status;
    tiff::StripDecoder decoder = tiff::SelectStripDecoder(page->compression);
    // The uncompressed, PackBits and LZW decoders exchange red and blue row by row while each
    // row is still in the cache, which spares a second pass over the whole page.
    bool rowsInBgr = false;
    if (page->bitsPerPixel == 24 && page->compression == kCompressionNone) {
        decoder = tiff::DecodeUncompressedStripsToBgr;
        rowsInBgr = true;
    } else if (page->bitsPerPixel == 24 && page->compression == kCompressionPackBits) {
        decoder = tiff::DecodePackBitsStripsToBgr;
        rowsInBgr = true;
    } else if (page->bitsPerPixel == 24 && page->compression == kCompressionLzw) {
        decoder = tiff::DecodeLzwStripsToBgr;
        rowsInBgr = true;
    }
    std::int16_t status = decoder != nullptr ? decoder(progress, bits, file, page)
                                             : static_cast<std::int16_t>(QOR_TIFF_COMPRESSION);
    plat::GlobalUnlock(dib);
    if (status != 0) {
        plat::GlobalFree(dib);
        return status;
    }
    return FinishPage(progress, page, dib, rowsInBgr);
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

// Notes page `index` when its strips end before its last row: the decoders leave the rows of
// strips that the file does not list blank.
void NoteStripsEndingEarly(HFILE file, const TiffPage& page, std::uint32_t index,
                           std::vector<PageEnd>* ended) {
    tiff::StripWalker walk;
    if (ended == nullptr || walk.Start(file, page) != 0) return;
    const std::uint64_t rows = std::uint64_t{walk.Count()} * walk.RowsPerStrip();
    if (rows < page.imageLength) ended->push_back({index + 1, static_cast<std::uint32_t>(rows)});
}

}  // namespace

namespace tiff {

StripDecoder SelectStripDecoder(std::uint16_t compression) {
    switch (compression) {
        case kCompressionNone:
            return DecodeUncompressedStrips;
        case kCompressionModifiedHuffman:
            return DecodeModifiedHuffmanStrips;
        case kCompressionGroup3:
            return DecodeGroup3Strips;
        case kCompressionGroup4:
            return DecodeGroup4Strips;
        case kCompressionLzw:
            return DecodeLzwStrips;
        case kCompressionPackBits:
            return DecodePackBitsStrips;
        default:
            return nullptr;
    }
}

}  // namespace tiff

std::int16_t ReadTiffWorker(ImageIoRequest* request, std::vector<PageEnd>* ended,
                            std::uint32_t* stoppedAt) {
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
    std::uint16_t count = 0;
    if (std::int16_t status = tiff::CountTiffPages(file, offset, byteOrder, &count)) {
        plat::_lclose(file);
        return status;
    }
    if (count == 0) {
        plat::_lclose(file);
        return QOR_BAD_REQUEST;
    }
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
    const std::uint64_t budget = plat::ReadBudget();
    std::uint64_t held = 0;
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        pages[i].status = static_cast<std::uint16_t>(tiff::ValidateTiffPage(pages[i]));
        if (pages[i].status != 0) continue;
        status = DecodePage(progress, file, &pages[i], budget - held);
        if (status != 0) {
            if (stoppedAt != nullptr) *stoppedAt = i + 1;
            break;
        }
        ++decoded;
        NoteStripsEndingEarly(file, pages[i], i, ended);
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
