// The uncompressed and PackBits strip decoders. Rows land in the DIB exactly as the file stores
// them, at the page's own bits per pixel, bottom-up; the ...ToBgr forms exchange red and blue in
// each 24-bit row as soon as it is complete, while it is still in the cache.
#include <algorithm>
#include <cstring>

#include "platform/locked_block.h"
#include "tiff/reader.h"

namespace qor::tiff {
namespace {

std::uint32_t Percent(std::uint64_t rows, std::uint32_t height) {
    return static_cast<std::uint32_t>(rows * 100 / height);
}

// The PackBits input: one block of the file at a time. Blocks of 64 KiB keep the number of
// reads small next to the work of the rows, and stay in the cache.
constexpr std::uint32_t kPackBitsBlock = 65536;

struct BlockReader {
    HFILE file;
    std::uint8_t* buffer;    // kPackBitsBlock bytes
    std::uint32_t size = 0;  // valid bytes in the buffer
    std::uint32_t position = 0;

    void MarkEmpty() { size = position = 0; }
    // Makes at least one byte available; false at the end of the file or on an error.
    bool Refill() {
        const std::int32_t got = plat::_lread(file, buffer, kPackBitsBlock);
        size = got < 0 ? 0 : static_cast<std::uint32_t>(got);
        position = 0;
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
                std::memcpy(row + i, in.buffer + in.position, static_cast<std::size_t>(store));
                i += store;
                in.position += take;
                left -= take;
            }
        } else if (n > 128) {
            if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
            const std::uint8_t value = in.buffer[in.position++];
            std::uint64_t repeat = 257u - n;
            if (repeat > rowBytes - i) repeat = rowBytes - i;
            std::memset(row + i, value, static_cast<std::size_t>(repeat));
            i += repeat;
        }
        // n == 128: no operation.
    }
    return 0;
}

// Uncompressed rows that fit go through a buffer of at most this size, small enough to stay in
// the cache: one read brings in as many whole rows as it holds, and each row is then copied to
// its place in the DIB (24-bit rows with red and blue exchanged). The DIB is written once and
// never read back.
constexpr std::uint32_t kRowBufferBytes = 65536;

// Where uncompressed rows come from and how they are stored.
struct RowSource {
    HFILE file;
    std::uint8_t* buffer;  // the row buffer, or null: each row is read straight into the DIB
    std::uint32_t rowBytes;
    bool bgr;           // exchange red and blue in every 24-bit row
    std::uint32_t fit;  // whole rows the buffer holds
};

// Reads `count` rows from the file position into image rows first, first + 1, ... (count is at
// most rows.height - first). `perRow`: progress is reported for each row before it is stored.
// 0, 202 on a short read, or 100 when the host cancels. Through the buffer, progress and the DIB
// come out as reading each row by itself leaves them: rows are reported and stored one by one
// after the read, and of a row that the file cuts short the part that arrived is kept.
std::int16_t ReadRows(ProgressBlock* progress, const RowSource& in, const DibView& rows,
                      std::uint32_t first, std::uint32_t count, bool perRow) {
    const std::uint32_t height = rows.height;
    const std::uint32_t end = first + count;
    for (std::uint32_t r = first; r < end;) {
        if (in.buffer == nullptr) {
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
        const std::uint32_t n = end - r < in.fit ? end - r : in.fit;
        // At most the buffer's size.
        const std::int32_t got = plat::_lread(in.file, in.buffer, n * in.rowBytes);
        const std::uint64_t arrived = got < 0 ? 0 : static_cast<std::uint64_t>(got);
        for (std::uint32_t i = 0; i < n; ++i, ++r) {
            if (perRow && ReportProgress(progress, Percent(r + 1ull, height)) != 0) {
                return QOR_CANCELLED;
            }
            const std::uint64_t at = std::uint64_t{i} * in.rowBytes;
            if (arrived < at + in.rowBytes) {
                if (arrived > at) {
                    std::memcpy(rows.Row(r), in.buffer + at,
                                static_cast<std::size_t>(arrived - at));
                }
                return QOR_READ_FAILED;
            }
            if (in.bgr) {
                CopyExchangingRedBlue(in.buffer + at, rows.Row(r), in.rowBytes / 3u);
            } else {
                std::memcpy(rows.Row(r), in.buffer + at, in.rowBytes);
            }
        }
    }
    return 0;
}

std::int16_t DecodeStoredRows(ProgressBlock* progress, const DibView& rows, TiffPage* page,
                              StripWalker& strips, const RowSource& in) {
    // A page of one strip reports every row, one of several every strip.
    const bool perRow = strips.Count() == 1;
    const std::uint32_t height = page->imageLength;
    std::uint32_t done = 0;
    for (StripSpan strip; strips.More(); done += strip.rows) {
        if (!perRow && ReportProgress(progress, Percent(done + 1ull, height)) != 0) {
            return QOR_CANCELLED;
        }
        if (std::int16_t status = strips.Next(&strip)) return status;
        if (std::int16_t status = ReadRows(progress, in, rows, done, strip.rows, perRow)) {
            return status;
        }
    }
    return 0;
}

std::int16_t DecodeUncompressed(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page, bool bgr, bool buffered) {
    ReportProgress(progress, 0);
    const std::uint64_t rowBytes = FileRowBytes(*page);
    DibView rows;
    if (rowBytes == 0 || !ViewPageDib(dib, *page, &rows)) return QOR_TIFF_UNSUPPORTED;
    StripWalker strips;
    if (std::int16_t status = strips.Start(file, *page)) return status;
    RowSource in{file, nullptr, static_cast<std::uint32_t>(rowBytes), bgr, 0};
    // The buffer holds no more rows than one read asks for, those of a strip. Rows too long for
    // it are read into the DIB (and exchanged there).
    in.fit = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        {kRowBufferBytes / rowBytes, strips.RowsPerStrip(), page->imageLength}));
    plat::LockedBlock block;
    if (buffered && in.fit > 0) {
        if (!block.Allocate(std::uint64_t{in.fit} * in.rowBytes, plat::GMEM_MOVEABLE)) {
            return QOR_NO_MEMORY;
        }
        in.buffer = block.data();
    }
    std::int16_t status = DecodeStoredRows(progress, rows, page, strips, in);
    if (status == 0) ReportProgress(progress, 100);
    return status;
}

std::int16_t DecodePackBits(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                            bool bgr) {
    ReportProgress(progress, 0);
    const std::uint64_t rowBytes = FileRowBytes(*page);
    DibView rows;
    if (rowBytes == 0 || !ViewPageDib(dib, *page, &rows)) return QOR_TIFF_UNSUPPORTED;
    StripWalker strips;
    if (std::int16_t status = strips.Start(file, *page)) return status;
    plat::LockedBlock block;
    if (!block.Allocate(kPackBitsBlock, plat::GMEM_MOVEABLE)) return QOR_NO_MEMORY;
    BlockReader in{file, block.data()};
    const std::uint32_t height = page->imageLength;
    std::int16_t status = 0;
    for (StripSpan strip; status == 0 && strips.More();) {
        if ((status = strips.Next(&strip)) != 0) break;
        in.MarkEmpty();
        for (std::uint32_t r = strip.firstRow; r < strip.firstRow + strip.rows; ++r) {
            if (ReportProgress(progress, Percent(r + 1ull, height)) != 0) {
                status = QOR_CANCELLED;
                break;
            }
            std::uint8_t* row = rows.Row(r);
            status = DecodePackBitsRow(in, row, rowBytes);
            if (status != 0) break;
            if (bgr) ExchangeRedBlue(row, rowBytes / 3u);
        }
    }
    return status;
}

}  // namespace

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, false, true);
}

std::int16_t DecodePackBitsStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, false);
}

std::int16_t DecodeUncompressedStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                           TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, page->bitsPerPixel == 24, true);
}

std::int16_t DecodeUncompressedRowByRow(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                        TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, page->bitsPerPixel == 24, false);
}

std::int16_t DecodePackBitsStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                       TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, page->bitsPerPixel == 24);
}

}  // namespace qor::tiff
