// The one strip loop that every TIFF compression's codec runs under.
#include <algorithm>

#include "tiff/codec.h"

namespace qor::tiff {

std::int16_t DecodeStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage& page,
                          StripCodec* codec) {
    ReportProgress(progress, 0);
    PageForm form;
    DibView rows;
    if (!FormOfPage(page, &form) || !ViewPageDib(dib, page, &rows)) return QOR_TIFF_UNSUPPORTED;
    StripWalker strips;
    if (std::int16_t status = strips.Start(file, page)) return status;
    if (std::int16_t status = codec->Start(file, page, form, rows, strips.RowsPerStrip())) {
        return status;
    }
    const std::uint32_t height = rows.height;
    const bool followOn = codec->RowsFollowOn();
    std::uint32_t r = 0;  // the next row to decode, from the top
    for (StripSpan strip; strips.More() && r < height;) {
        if (std::int16_t status = strips.Next(&strip)) {
            codec->Finish(rows.Row(r));
            return status;
        }
        codec->BeginStrip(strip);
        // A strip's rows go where the strip says, or after those already delivered.
        if (!followOn) r = strip.firstRow;
        for (std::uint32_t k = 0; (followOn || k < strip.rows) && r < height; ++k) {
            const RowResult result = codec->NextRow(rows.Row(r));
            if (result.status != 0) return result.status;
            if (result.stripEnded) break;
            // The last row's call is the closing one, below.
            if (++r == height) break;
            const auto done = static_cast<std::uint32_t>(std::uint64_t{r} * 100 / height);
            if (ReportProgress(progress, done) != 0) return QOR_CANCELLED;
        }
    }
    if (r < height) codec->Finish(rows.Row(r));
    page.rowsDecoded = r;
    // The work is done: the answer cannot cancel it.
    ReportProgress(progress, 100);
    return 0;
}

void WholeStrip::Start(HFILE file) {
    file_ = file;
    const std::uint32_t size = plat::GetFileSize(file, nullptr);
    fileSize_ = size == 0xFFFFFFFFu ? 0 : size;
}

std::int16_t WholeStrip::Read(const StripSpan& strip) {
    size_ = 0;
    cut_ = false;
    const std::uint64_t rest = fileSize_ > strip.offset ? fileSize_ - strip.offset : 0;
    // A read takes at most 2^31 - 1 bytes; no strip of a 32-bit file needs more.
    const std::uint64_t count =
        std::min<std::uint64_t>(strip.byteCount != 0 ? strip.byteCount : rest, 0x7FFFFFFF);
    if (count == 0) return QOR_READ_FAILED;
    if (count > capacity_) {
        capacity_ = 0;
        if (!block_.Allocate(count, plat::GMEM_MOVEABLE)) return QOR_NO_MEMORY;
        capacity_ = count;
    }
    const std::int32_t got = plat::_lread(file_, block_.data(), static_cast<std::uint32_t>(count));
    if (got <= 0) return QOR_READ_FAILED;
    size_ = static_cast<std::uint32_t>(got);
    cut_ = size_ < count;
    return 0;
}

}  // namespace qor::tiff
