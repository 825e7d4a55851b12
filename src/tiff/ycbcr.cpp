// Uncompressed YCbCr pages of interleaved samples (extended reads). Their chroma is subsampled:
// a strip stores blocks of h x v pixels, each its h x v luma samples row by row and then one Cb
// and one Cr, a row of blocks across the page (the last block padded) for every v rows. A strip is
// read whole and its rows handed out one by one as RGB, through the references of
// ReferenceBlackWhite and the one YCbCr conversion, with the scaled samples' fractions kept.
#include <algorithm>
#include <cmath>

#include "tiff/codec.h"
#include "tiff/reader.h"

namespace qor::tiff {
namespace {

// A stored sample scaled to full range through a reference pair, in 1/256ths: luma black to 0 and
// white to 255, chroma black to 0 and white to 127 (centred on 0). A pair that spans nothing (or
// is not numbers) gives the default pair's scale, the identity.
void ScaleTable(const std::uint32_t (*pair)[2], bool present, bool chroma, std::int32_t* table) {
    double black = chroma ? 128.0 : 0.0, white = 255.0;
    if (present && pair[0][1] != 0 && pair[1][1] != 0) {
        const double b = static_cast<double>(pair[0][0]) / pair[0][1];
        const double w = static_cast<double>(pair[1][0]) / pair[1][1];
        if (w - b > 0.5 || w - b < -0.5) black = b, white = w;
    }
    const double range = chroma ? 127.0 : 255.0, low = chroma ? -128.0 : 0.0;
    for (int v = 0; v < 256; ++v) {
        const double full = std::clamp((v - black) * range / (white - black), low, low + 255.0);
        table[v] = static_cast<std::int32_t>(std::floor(full * 256.0 + 0.5));
    }
}

class YCbCrCodec final : public StripCodec {
  public:
    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView&,
                       std::uint32_t rowsPerStrip) override {
        h_ = page.ycbcrSubsampling[0];
        v_ = page.ycbcrSubsampling[1];
        width_ = page.imageWidth;
        bgr_ = form.exchangeRedBlue;
        unit_ = std::uint64_t{h_} * v_ + 2;
        rowOfBlocks_ = (std::uint64_t{width_} + h_ - 1) / h_ * unit_;
        // Six RATIONALs: luma black and white, then Cb's and Cr's.
        std::uint32_t ref[6][2] = {};
        const bool present = page.referenceBlackWhiteAt != 0;
        for (std::uint32_t k = 0; present && k < 6; ++k) {
            ReadRationalAt(file, page.referenceBlackWhiteAt + 8 * k, IsLittleEndian(page.byteOrder),
                           ref[k]);
        }
        ScaleTable(ref, present, false, luma_);
        ScaleTable(ref + 2, present, true, cb_);
        ScaleTable(ref + 4, present, true, cr_);
        input_.Start(file, page, (std::uint64_t{rowsPerStrip} + v_ - 1) / v_ * rowOfBlocks_);
        return 0;
    }

    void BeginStrip(const StripSpan& strip) override {
        next_ = 0;
        failure_ = input_.Read(strip);
    }

    RowResult NextRow(std::uint8_t* row) override {
        const std::uint64_t blockRow = next_ / v_, line = next_ % v_;
        // A row of blocks that the strip does not hold whole is data that ended early.
        if (failure_ != 0 || (blockRow + 1) * rowOfBlocks_ > input_.size()) {
            return failure_ != 0 ? failure_ : std::int16_t{QOR_READ_FAILED};
        }
        ++next_;
        const std::uint8_t* blocks = input_.data() + blockRow * rowOfBlocks_;
        const int red = bgr_ ? 2 : 0, blue = bgr_ ? 0 : 2;
        for (std::uint32_t x = 0; x < width_; ++x) {
            const std::uint8_t* block = blocks + (x / h_) * unit_;
            const std::int32_t y = luma_[block[line * h_ + x % h_]];
            std::uint8_t* px = row + 3ull * x;
            YCbCrToRgbFine(y, cb_[block[unit_ - 2]], cr_[block[unit_ - 1]], &px[red], &px[1],
                           &px[blue]);
        }
        return 0;
    }

  private:
    std::uint32_t h_ = 2, v_ = 2, width_ = 0;
    std::uint64_t unit_ = 6, rowOfBlocks_ = 0;
    bool bgr_ = false;
    std::int32_t luma_[256] = {}, cb_[256] = {}, cr_[256] = {};
    WholeStrip input_;
    std::uint32_t next_ = 0;
    std::int16_t failure_ = 0;
};

}  // namespace

std::int16_t DecodeYCbCrStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                               TiffPage* page) {
    YCbCrCodec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace qor::tiff
