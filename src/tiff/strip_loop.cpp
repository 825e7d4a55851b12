// The one strip loop that every TIFF compression's codec runs under.
#include "tiff/codec.h"

namespace qor::tiff {

std::int16_t DecodeStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                          const TiffPage& page, StripCodec* codec) {
    ReportProgress(progress, 0);
    DibView rows;
    if (FileRowBytes(page) == 0 || !ViewPageDib(dib, page, &rows)) return QOR_TIFF_UNSUPPORTED;
    StripWalker strips;
    if (std::int16_t status = strips.Start(file, page)) return status;
    if (std::int16_t status = codec->Start(file, page, rows, strips.RowsPerStrip())) {
        return status;
    }
    const std::uint64_t height = rows.height;
    for (StripSpan strip; strips.More();) {
        if (std::int16_t status = strips.Next(&strip)) return status;
        codec->BeginStrip(strip);
        for (std::uint32_t r = strip.firstRow; r < strip.firstRow + strip.rows; ++r) {
            if (std::int16_t status = codec->NextRow(rows.Row(r))) return status;
            // The last row's call is the closing one, below.
            if (r + 1 == height) break;
            const auto done = static_cast<std::uint32_t>((r + 1ull) * 100 / height);
            if (ReportProgress(progress, done) != 0) return QOR_CANCELLED;
        }
    }
    // The work is done: the answer cannot cancel it.
    ReportProgress(progress, 100);
    return 0;
}

}  // namespace qor::tiff
