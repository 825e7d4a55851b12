// The PackBits codec. Rows land in the DIB exactly as the file stores them, at the page's own bits
// per pixel, bottom-up; the ...ToBgr form exchanges red and blue in each 24-bit row as soon as it
// is complete, while it is still in the cache.
#include <cstring>

#include "platform/block_reader.h"
#include "platform/locked_block.h"
#include "tiff/codec.h"
#include "tiff/reader.h"

namespace qor::tiff {
namespace {

// The PackBits input: one block of the file at a time. Blocks of 64 KiB keep the number of
// reads small next to the work of the rows, and stay in the cache.
constexpr std::uint32_t kPackBitsBlock = 65536;

// Decodes one PackBits row of `rowBytes` bytes into `row`. 0, or 202 when the input ends.
std::int16_t DecodePackBitsRow(plat::BlockReader& in, std::uint8_t* row, std::uint64_t rowBytes) {
    std::uint64_t i = 0;
    while (i < rowBytes) {
        if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
        const std::uint8_t n = *in.next++;
        if (n < 128) {
            // Literal run of n + 1 bytes; bytes past the row end are read and dropped.
            std::uint32_t left = n + 1u;
            while (left > 0) {
                if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
                std::uint32_t take = in.Available() < left ? in.Available() : left;
                std::uint64_t store = rowBytes - i < take ? rowBytes - i : take;
                std::memcpy(row + i, in.next, static_cast<std::size_t>(store));
                i += store;
                in.next += take;
                left -= take;
            }
        } else if (n > 128) {
            if (in.Available() == 0 && !in.Refill()) return QOR_READ_FAILED;
            const std::uint8_t value = *in.next++;
            std::uint64_t repeat = 257u - n;
            if (repeat > rowBytes - i) repeat = rowBytes - i;
            std::memset(row + i, value, static_cast<std::size_t>(repeat));
            i += repeat;
        }
        // n == 128: no operation.
    }
    return 0;
}
class PackBitsCodec final : public StripCodec {
  public:
    explicit PackBitsCodec(bool bgr) : bgr_(bgr) {}

    std::int16_t Start(HFILE file, const TiffPage&, const PageForm& form, const DibView&,
                       std::uint32_t) override {
        rowBytes_ = form.rowBytes;
        bgr_ = bgr_ && form.exchangeRedBlue;
        if (!block_.Allocate(kPackBitsBlock, plat::GMEM_MOVEABLE)) return QOR_NO_MEMORY;
        in_ = plat::BlockReader{file, block_.data(), kPackBitsBlock};
        return 0;
    }
    void BeginStrip(const StripSpan&) override { in_.Restart(); }
    RowResult NextRow(std::uint8_t* row) override {
        if (std::int16_t status = DecodePackBitsRow(in_, row, rowBytes_)) return status;
        if (bgr_) ExchangeRedBlue(row, rowBytes_ / 3u);
        return 0;
    }
    std::unique_ptr<StripCodec> Another(const TiffPage&, const PageForm&,
                                        std::uint64_t bytes) const override {
        return bytes >= kPackBitsBlock ? std::make_unique<PackBitsCodec>(bgr_) : nullptr;
    }

  private:
    bool bgr_;
    std::uint64_t rowBytes_ = 0;
    plat::LockedBlock block_;
    plat::BlockReader in_{};
};

std::int16_t DecodePackBits(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                            bool bgr) {
    PackBitsCodec codec(bgr);
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace

std::int16_t DecodePackBitsStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, false);
}

std::int16_t DecodePackBitsStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                       TiffPage* page) {
    return DecodePackBits(progress, dib, file, page, true);
}

}  // namespace qor::tiff
