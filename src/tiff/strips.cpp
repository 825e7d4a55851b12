// The uncompressed and PackBits strip decoders. Rows land in the DIB exactly as the file stores
// them, at the page's own bits per pixel, bottom-up; the ...ToBgr forms exchange red and blue in
// each 24-bit row as soon as it is complete, while it is still in the cache.
#include <cstring>

#include "tiff/reader.h"

namespace qor::tiff {
namespace {

bool SeekTo(HFILE file, std::uint32_t offset) {
    return offset <= 0x7FFFFFFF && plat::_llseek(file, static_cast<std::int32_t>(offset), 0) >= 0;
}

std::uint32_t Percent(std::uint64_t rows, std::uint32_t height) {
    return static_cast<std::uint32_t>(rows * 100 / height);
}

// Signed readings of the strip fields: a value above 0x7FFFFFFF counts as none.
std::uint32_t SignedCount(std::uint32_t v) {
    return v > 0x7FFFFFFF ? 0 : v;
}

// The PackBits input: one block of the file at a time.
struct BlockReader {
    HFILE file;
    std::uint8_t* buffer;
    std::uint32_t size = 0;  // valid bytes in the buffer
    std::uint16_t position = 0;

    void MarkEmpty() { size = position = 0; }
    // Makes at least one byte available; false at the end of the file or on an error.
    bool Refill() {
        size = FillReadBuffer(file, buffer, &position);
        return size != 0;
    }
    std::uint32_t Available() const { return size - position; }
};

// Decodes one PackBits row of `rowBytes` bytes into `row`. 0, or 202 when the input ends.
std::int16_t DecodePackBitsRow(BlockReader& in, std::uint8_t* row, std::uint64_t rowBytes) {
    std::uint64_t i = 0;
    while (i < rowBytes) {
        if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
        const std::uint8_t n = in.buffer[in.position++];
        if (n < 128) {
            // Literal run of n + 1 bytes; bytes past the row end are read and dropped.
            std::uint32_t left = n + 1u;
            while (left > 0) {
                if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
                std::uint32_t take = in.Available() < left ? in.Available() : left;
                std::uint64_t store = rowBytes - i < take ? rowBytes - i : take;
                std::memcpy(row + i, in.buffer + in.position, store);
                i += store;
                in.position = static_cast<std::uint16_t>(in.position + take);
                left -= take;
            }
        } else if (n > 128) {
            if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
            const std::uint8_t value = in.buffer[in.position++];
            std::uint64_t repeat = 257u - n;
            if (repeat > rowBytes - i) repeat = rowBytes - i;
            std::memset(row + i, value, repeat);
            i += repeat;
        }
        // n == 128: no operation.
    }
    return 0;
}

// Reads one row of `rowBytes` bytes into `row`, then exchanges red and blue in it when `bgr`.
bool ReadRow(HFILE file, std::uint8_t* row, std::uint32_t rowBytes, bool bgr) {
    if (plat::_lread(file, row, rowBytes) != static_cast<std::int32_t>(rowBytes)) return false;
    if (bgr) ExchangeRedBlue(row, rowBytes / 3u);
    return true;
}

std::int16_t DecodeUncompressed(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page, bool bgr) {
    ReportProgress(progress, 0);
    const DibRows rows = LocateRows(dib, *page);
    if (rows.rowBytes == 0) return QOR_TIFF_UNSUPPORTED;
    const auto rowBytes = static_cast<std::uint32_t>(rows.rowBytes);
    const std::uint32_t height = page->imageLength;

    if (page->stripCount == 1) {
        if (!SeekTo(file, page->stripOffsets)) return QOR_READ_FAILED;
        for (std::uint32_t r = 0; r < height; ++r) {
            if (ReportProgress(progress, Percent(r + 1ull, height)) != 0) return QOR_CANCELLED;
            if (!ReadRow(file, rows.Row(r), rowBytes, bgr)) return QOR_READ_FAILED;
        }
    } else {
        const std::uint32_t strips = SignedCount(page->stripCount);
        const std::uint32_t perStrip = SignedCount(page->rowsPerStrip);
        std::uint32_t done = 0;
        // Strips of no rows can never finish the page: they are not walked.
        for (std::uint32_t j = 0; j < strips && perStrip > 0 && done < height; ++j) {
            if (ReportProgress(progress, Percent(done + 1ull, height)) != 0) return QOR_CANCELLED;
            if (!SeekTo(file, ReadStripOffset(file, *page, j))) return QOR_READ_FAILED;
            for (std::uint32_t k = 0; k < perStrip && done < height; ++k, ++done) {
                if (!ReadRow(file, rows.Row(done), rowBytes, bgr)) return QOR_READ_FAILED;
            }
        }
    }
    ReportProgress(progress, 100);
    return 0;
}

std::int16_t DecodePackBits(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                            bool bgr) {
    ReportProgress(progress, 0);
    const DibRows rows = LocateRows(dib, *page);
    if (rows.rowBytes == 0) return QOR_TIFF_UNSUPPORTED;
    HGLOBAL block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, TIFF_READ_BLOCK);
    if (block == 0) return QOR_NO_MEMORY;
    auto* buffer = static_cast<std::uint8_t*>(plat::GlobalLock(block));
    if (buffer == nullptr) {
        plat::GlobalFree(block);
        return QOR_NO_MEMORY;
    }
    BlockReader in{file, buffer};
    const std::uint32_t height = page->imageLength;
    const bool single = page->stripCount == 1;
    std::int16_t status = 0;
    if (single) {
        page->rowsPerStrip = height;
        if (!SeekTo(file, page->stripOffsets)) status = QOR_READ_FAILED;
    }
    const std::uint32_t strips = SignedCount(page->stripCount);
    const std::uint32_t perStrip = SignedCount(page->rowsPerStrip);
    std::uint32_t done = 0;
    for (std::uint32_t j = 0; status == 0 && j < strips && perStrip > 0 && done < height; ++j) {
        in.MarkEmpty();
        if (!single && !SeekTo(file, ReadStripOffset(file, *page, j))) {
            status = QOR_READ_FAILED;
            break;
        }
        for (std::uint32_t k = 0; k < perStrip && done < height; ++k, ++done) {
            if (ReportProgress(progress, Percent(done + 1ull, height)) != 0) {
                status = QOR_CANCELLED;
                break;
            }
            std::uint8_t* row = rows.Row(done);
            status = DecodePackBitsRow(in, row, rows.rowBytes);
            if (status != 0) break;
            if (bgr) ExchangeRedBlue(row, rows.rowBytes / 3u);
        }
    }
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
    return status;
}

}  // namespace

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, false);
}

std::int16_t DecodePackBitsStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, false);
}

std::int16_t DecodeUncompressedStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                           TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, page->bitsPerPixel == 24);
}

std::int16_t DecodePackBitsStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                       TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, page->bitsPerPixel == 24);
}

}  // namespace qor::tiff
