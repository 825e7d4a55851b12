// The Deflate codec (compressions 8 and 32946: a zlib stream per strip), decoded with libdeflate.
// libdeflate inflates a whole stream at once, so a strip's compressed bytes are read into one
// block and inflated into another of the strip's rows; rows are then handed out one at a time,
// with the predictor undone and red and blue exchanged as the page's form asks.
#include <algorithm>
#include <cstring>
#include <memory>

#include "tiff/codec.h"
#include "tiff/predictor.h"
#include "tiff/reader.h"

#if QORIMG_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace qor::tiff {
#if QORIMG_HAVE_LIBDEFLATE
namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// What libdeflate's decompressor takes: its tables, about 10 KiB in every version, rounded up.
constexpr std::uint64_t kDecompressorBytes = 16 * 1024;

class DeflateCodec final : public StripCodec {
  public:
    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView&,
                       std::uint32_t rowsPerStrip) override {
        form_ = form;
        // A strip inflates to its rows; the last strip of some writers holds a whole strip's
        // rows, so every strip gets room for rowsPerStrip of them.
        stripBytes_ = form.rowBytes * rowsPerStrip;
        // A stream that states no size is read up to twice its rows (a literal takes at most
        // 15 bits) and the blocks' headers.
        input_.Start(file, page, 2 * stripBytes_ + 65536);
        return 0;
    }

    void BeginStrip(const StripSpan& strip) override {
        next_ = 0;
        inflated_ = 0;
        failure_ = 0;
        if (std::int16_t status = input_.Read(strip)) {
            failure_ = status;
            return;
        }
        // Deflate makes at most 258 bytes of every 2 bits it reads: a strip's rows take no more
        // room than its bytes can fill, whatever size the page claims.
        const std::uint64_t room =
            std::min<std::uint64_t>(stripBytes_, std::uint64_t{input_.size()} * 1032 + 1024);
        if (room > roomHeld_) {
            roomHeld_ = 0;
            if (!rows_.Allocate(room, plat::GMEM_MOVEABLE)) {
                failure_ = QOR_NO_MEMORY;
                return;
            }
            roomHeld_ = room;
        }
        if (!decompressor_) {
            // The decompressor is the library's own memory: it counts as what it takes.
            if (!decompressorCharge_.Take(kDecompressorBytes)) {
                failure_ = QOR_NO_MEMORY;
                return;
            }
            decompressor_.reset(libdeflate_alloc_decompressor());
        }
        if (!decompressor_) {
            failure_ = QOR_NO_MEMORY;
            return;
        }
        std::size_t out = 0;
        const libdeflate_result result =
            libdeflate_zlib_decompress(decompressor_.get(), input_.data(), input_.size(),
                                       rows_.data(), static_cast<std::size_t>(stripBytes_), &out);
        if (result == LIBDEFLATE_SUCCESS) {
            inflated_ = out;
        } else if (result == LIBDEFLATE_INSUFFICIENT_SPACE) {
            // More data than the strip's rows: a stream that overruns its strip is damaged.
            failure_ = QOR_TIFF_BAD_DATA;
        } else {
            // A stream cut by the end of the file is data that ended early; any other fault is
            // damaged data.
            failure_ = input_.cut() ? QOR_READ_FAILED : QOR_TIFF_BAD_DATA;
        }
    }

    RowResult NextRow(std::uint8_t* row) override {
        const std::uint64_t at = next_ * form_.rowBytes;
        if (at + form_.rowBytes > inflated_) {
            // The rows before the fault are kept; a stream that ends inside a row is short.
            return failure_ != 0 ? failure_ : std::int16_t{QOR_READ_FAILED};
        }
        ++next_;
        // One pass over the DIB's row: the differences are summed in the strip's block, which
        // is still in the cache, and the row is copied with red and blue exchanged on the way.
        std::uint8_t* from = rows_.data() + at;
        if (form_.predictorChannels != 0) {
            UndoDifferencing(from, form_.rowBytes, form_.predictorChannels);
        }
        if (form_.exchangeRedBlue) {
            CopyExchangingRedBlue(from, row, form_.rowBytes / 3u);
        } else {
            std::memcpy(row, from, static_cast<std::size_t>(form_.rowBytes));
        }
        return 0;
    }

  private:
    PageForm form_;
    std::uint64_t stripBytes_ = 0;
    plat::LockedBlock rows_;  // the strip's inflated rows
    std::uint64_t roomHeld_ = 0;
    WholeStrip input_;  // its compressed bytes
    plat::MeterCharge decompressorCharge_;
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor_;
    std::uint64_t next_ = 0;      // the strip's next row
    std::uint64_t inflated_ = 0;  // bytes of rows the strip gave
    std::int16_t failure_ = 0;    // what ended the strip's data early, or 0
};

}  // namespace

std::int16_t DecodeDeflateStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                 TiffPage* page) {
    DeflateCodec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

std::unique_ptr<StripCodec> MakeDeflateCodec() {
    return std::make_unique<DeflateCodec>();
}
#else
std::unique_ptr<StripCodec> MakeDeflateCodec() {
    return nullptr;
}
#endif

}  // namespace qor::tiff
