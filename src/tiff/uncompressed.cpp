// The uncompressed codec. Rows land in the DIB exactly as the file stores them, at the page's own
// bits per pixel, bottom-up; the ...ToBgr forms exchange red and blue in each 24-bit row as soon
// as it is complete, while it is still in the cache.
#include <algorithm>
#include <cstring>

#include "platform/locked_block.h"
#include "tiff/codec.h"
#include "tiff/reader.h"

namespace qor::tiff {
namespace {

// Uncompressed rows that fit go through a buffer of at most this size, small enough to stay in
// the cache: one read brings in as many whole rows of the strip as it holds, and each row is then
// copied to its place in the DIB (24-bit rows with red and blue exchanged). The DIB is written
// once and never read back. Rows too long for the buffer are read straight into the DIB. Not
// PackBits' BlockReader: these reads are sized to whole rows, so that a row never spans two.
constexpr std::uint32_t kRowBufferBytes = 65536;
class UncompressedCodec final : public StripCodec {
  public:
    UncompressedCodec(bool bgr, bool buffered) : bgr_(bgr), buffered_(buffered) {}

    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView&,
                       std::uint32_t rowsPerStrip) override {
        file_ = file;
        rowBytes_ = static_cast<std::uint32_t>(form.rowBytes);
        bgr_ = bgr_ && form.exchangeRedBlue;
        // The buffer holds no more rows than one read asks for, those of a strip.
        fit_ = static_cast<std::uint32_t>(
            std::min<std::uint64_t>({kRowBufferBytes / rowBytes_, rowsPerStrip, page.imageLength}));
        if (buffered_ && fit_ > 0) {
            if (!buffer_.Allocate(std::uint64_t{fit_} * rowBytes_, plat::GMEM_MOVEABLE)) {
                return QOR_NO_MEMORY;
            }
        }
        return 0;
    }
    void BeginStrip(const StripSpan& strip) override {
        left_ = strip.rows;
        held_ = next_ = 0;
    }
    RowResult NextRow(std::uint8_t* row) override {
        if (buffer_.data() == nullptr) {
            if (plat::_lread(file_, row, rowBytes_) != static_cast<std::int32_t>(rowBytes_)) {
                return QOR_READ_FAILED;
            }
            if (bgr_) ExchangeRedBlue(row, rowBytes_ / 3u);
            return 0;
        }
        if (next_ == held_) {
            const std::uint32_t n = std::min(left_, fit_);
            const std::int32_t got = plat::_lread(file_, buffer_.data(), n * rowBytes_);
            arrived_ = got < 0 ? 0 : static_cast<std::uint64_t>(got);
            left_ -= n;
            held_ = n;
            next_ = 0;
        }
        const std::uint64_t at = std::uint64_t{next_++} * rowBytes_;
        const std::uint8_t* from = buffer_.data() + at;
        // Of a row that the file cuts short, the part that arrived is kept.
        if (arrived_ < at + rowBytes_) {
            if (arrived_ > at) std::memcpy(row, from, static_cast<std::size_t>(arrived_ - at));
            return QOR_READ_FAILED;
        }
        if (bgr_) {
            CopyExchangingRedBlue(from, row, rowBytes_ / 3u);
        } else {
            std::memcpy(row, from, rowBytes_);
        }
        return 0;
    }

  private:
    bool bgr_, buffered_;
    HFILE file_ = plat::HFILE_ERROR;
    std::uint32_t rowBytes_ = 0;
    std::uint32_t fit_ = 0;  // whole rows the buffer holds
    plat::LockedBlock buffer_;
    std::uint32_t left_ = 0;             // rows of the strip not yet read
    std::uint32_t held_ = 0, next_ = 0;  // rows in the buffer, and the next one to hand out
    std::uint64_t arrived_ = 0;          // bytes the last read brought
};

std::int16_t DecodeUncompressed(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page, bool bgr, bool buffered) {
    UncompressedCodec codec(bgr, buffered);
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, false, true);
}

std::int16_t DecodeUncompressedStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                           TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, true, true);
}

std::int16_t DecodeUncompressedRowByRow(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                        TiffPage* page) {
    return DecodeUncompressed(progress, dib, file, page, true, false);
}

}  // namespace qor::tiff
