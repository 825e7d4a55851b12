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

// Uncompressed 24-bit rows that fit go through a buffer of this size, small enough to stay in
// the cache: one read brings in as many whole rows as it holds, and each row is then copied to its
// place in the DIB with red and blue exchanged. The DIB is written once and never read back.
constexpr std::uint32_t kRowBufferBytes = 65536;

// Where uncompressed rows come from and how they are stored.
struct RowSource {
    HFILE file;
    std::uint8_t* buffer;  // the row buffer, or null: each row is read straight into the DIB
    std::uint32_t rowBytes;
    bool bgr;  // exchange red and blue in every 24-bit row
};

// Reads `count` rows from the file position into image rows first, first + 1, ... (count is at
// most rows.rows - first). `perRow`: progress is reported for each row before the read that
// brings it in. 0, 202 on a short read, or 801 when the host cancels.
std::int16_t ReadRows(ProgressBlock* progress, const RowSource& in, const DibRows& rows,
                      std::uint32_t first, std::uint32_t count, bool perRow) {
    const std::uint32_t height = rows.rows;
    const std::uint32_t fit = in.buffer != nullptr ? kRowBufferBytes / in.rowBytes : 0;
    const std::uint32_t end = first + count;
    for (std::uint32_t r = first; r < end;) {
        if (fit == 0) {
            if (perRow && ReportProgress(progress, Percent(r + 1ull, height)) != 0) {
                return QOR_CANCELLED;
            }
            std::uint8_t* row = rows.Row(r);
            if (plat::_lread(in.file, row, in.rowBytes) != static_cast<std::int32_t>(in.rowBytes)) {
                return QOR_READ_FAILED;
            }
            if (in.bgr) ExchangeRedBlue(row, in.rowBytes / 3u);
            ++r;
            continue;
        }
        const std::uint32_t n = end - r < fit ? end - r : fit;
        for (std::uint32_t i = 0; perRow && i < n; ++i) {
            if (ReportProgress(progress, Percent(r + i + 1ull, height)) != 0) return QOR_CANCELLED;
        }
        // At most kRowBufferBytes.
        const std::uint32_t bytes = n * in.rowBytes;
        if (plat::_lread(in.file, in.buffer, bytes) != static_cast<std::int32_t>(bytes)) {
            return QOR_READ_FAILED;
        }
        for (std::uint32_t i = 0; i < n; ++i, ++r) {
            const std::uint8_t* src = in.buffer + std::uint64_t{i} * in.rowBytes;
            if (in.bgr) {
                CopyExchangingRedBlue(src, rows.Row(r), in.rowBytes / 3u);
            } else {
                std::memcpy(rows.Row(r), src, in.rowBytes);
            }
        }
    }
    return 0;
}

std::int16_t DecodeStoredRows(ProgressBlock* progress, const DibRows& rows, TiffPage* page,
                              const RowSource& in) {
    const std::uint32_t height = page->imageLength;
    if (page->stripCount == 1) {
        if (!SeekTo(in.file, page->stripOffsets)) return QOR_READ_FAILED;
        return ReadRows(progress, in, rows, 0, height, true);
    }
    const std::uint32_t strips = SignedCount(page->stripCount);
    const std::uint32_t perStrip = SignedCount(page->rowsPerStrip);
    std::uint32_t done = 0;
    // Strips of no rows can never finish the page: they are not walked.
    for (std::uint32_t j = 0; j < strips && perStrip > 0 && done < height; ++j) {
        if (ReportProgress(progress, Percent(done + 1ull, height)) != 0) return QOR_CANCELLED;
        if (!SeekTo(in.file, ReadStripOffset(in.file, *page, j))) return QOR_READ_FAILED;
        const std::uint32_t n = perStrip < height - done ? perStrip : height - done;
        if (std::int16_t status = ReadRows(progress, in, rows, done, n, false)) return status;
        done += n;
    }
    return 0;
}

std::int16_t DecodeUncompressed(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page, bool bgr) {
    ReportProgress(progress, 0);
    const DibRows rows = LocateRows(dib, *page);
    if (rows.rowBytes == 0) return QOR_TIFF_UNSUPPORTED;
    RowSource in{file, nullptr, static_cast<std::uint32_t>(rows.rowBytes), bgr};
    // Rows too long for the buffer are read into the DIB and exchanged there.
    HGLOBAL block = 0;
    if (bgr && rows.rowBytes <= kRowBufferBytes) {
        block = plat::GlobalAlloc(plat::GMEM_MOVEABLE, kRowBufferBytes);
        if (block == 0) return QOR_NO_MEMORY;
        in.buffer = static_cast<std::uint8_t*>(plat::GlobalLock(block));
        if (in.buffer == nullptr) {
            plat::GlobalFree(block);
            return QOR_NO_MEMORY;
        }
    }
    std::int16_t status = DecodeStoredRows(progress, rows, page, in);
    if (in.buffer != nullptr) plat::GlobalUnlock(block);
    if (block != 0) plat::GlobalFree(block);
    if (status == 0) ReportProgress(progress, 100);
    return status;
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
