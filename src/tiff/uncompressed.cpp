// The uncompressed codec. Rows land in the DIB exactly as the file stores them, at the page's own
// bits per pixel, bottom-up; the ...ToBgr forms exchange red and blue in each 24-bit row as soon
// as it is complete, while it is still in the cache.
#include <algorithm>

#include "platform/platform.h"
#include "tiff/codec.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor::tiff {
namespace {

// Rows are read straight into their places in the DIB: one scattered read takes as many whole
// rows of the strip as fit in kRowsAtOnce bytes (at most plat::kMostReadPieces rows), and
// 24-bit rows then have red and blue exchanged in place while they are still in the cache. So
// each byte is copied once, by the system. Rows too long for one read are read one by one.
constexpr std::uint32_t kRowsAtOnce = 65536;
class UncompressedCodec final : public StripCodec {
  public:
    UncompressedCodec(bool bgr, bool severalRows) : bgr_(bgr), severalRows_(severalRows) {}

    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView& rows,
                       std::uint32_t rowsPerStrip) override {
        file_ = file;
        rows_ = rows;
        rowBytes_ = static_cast<std::uint32_t>(form.rowBytes);
        bgr_ = bgr_ && form.exchangeRedBlue;
        fit_ = !severalRows_
                   ? 1
                   : static_cast<std::uint32_t>(std::max<std::uint64_t>(
                         1, std::min<std::uint64_t>({kRowsAtOnce / rowBytes_, plat::kMostReadPieces,
                                                     rowsPerStrip, page.imageLength})));
        return 0;
    }
    void BeginStrip(const StripSpan& strip) override {
        // The strip walk keeps a strip's rows within the page.
        next_ = strip.firstRow;
        left_ = strip.rows;
        ready_ = 0;
    }
    RowResult NextRow(std::uint8_t* row) override {
        if (ready_ == 0) {
            // The rows of the next read, from this one on: the loop hands them out in order.
            const std::uint32_t n = std::max(1u, std::min(left_, fit_));
            plat::ReadPiece pieces[plat::kMostReadPieces];
            pieces[0] = {row, rowBytes_};
            for (std::uint32_t k = 1; k < n; ++k) pieces[k] = {rows_.Row(next_ + k), rowBytes_};
            const std::int32_t got = plat::ReadScattered(file_, pieces, n);
            const std::uint64_t arrived = got < 0 ? 0 : static_cast<std::uint64_t>(got);
            // Of a row that the file cuts short, the part that arrived is kept as it is.
            whole_ = static_cast<std::uint32_t>(arrived / rowBytes_);
            if (bgr_) {
                for (std::uint32_t k = 0; k < whole_; ++k) {
                    ExchangeRedBlue(static_cast<std::uint8_t*>(pieces[k].data), rowBytes_ / 3u);
                }
            }
            left_ -= std::min(left_, n);
            ready_ = n;
        }
        --ready_;
        ++next_;
        if (whole_ == 0) {
            ready_ = 0;
            return QOR_READ_FAILED;
        }
        --whole_;
        return 0;
    }

    // Rows are read straight into the DIB: another decoder needs no working memory.
    std::unique_ptr<StripCodec> Another(const TiffPage&, const PageForm&,
                                        std::uint64_t) const override {
        return std::make_unique<UncompressedCodec>(bgr_, severalRows_);
    }

  private:
    bool bgr_, severalRows_;
    HFILE file_ = plat::HFILE_ERROR;
    DibView rows_;
    std::uint32_t rowBytes_ = 0;
    std::uint32_t fit_ = 1;    // rows that one read takes at most
    std::uint32_t next_ = 0;   // the image row of the next row handed out
    std::uint32_t left_ = 0;   // rows of the strip not yet read
    std::uint32_t ready_ = 0;  // rows of the last read not yet handed out
    std::uint32_t whole_ = 0;  // of those, the ones that arrived whole
};

std::int16_t DecodeUncompressed(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page, bool bgr, bool severalRows) {
    UncompressedCodec codec(bgr, severalRows);
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, false, true);
}

std::int16_t DecodeUncompressedStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                           TiffPage* page) {
    if (page->extended && page->photometric == kPhotometricYCbCr) {
        return DecodeYCbCrStrips(progress, dib, file, page);
    }
    return DecodeUncompressed(progress, dib, file, page, true, true);
}

std::int16_t DecodeUncompressedRowByRow(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                        TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, true, false);
}

}  // namespace qor::tiff
