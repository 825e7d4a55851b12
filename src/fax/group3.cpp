// TIFF compression 3: one-dimensional T.4 coding with an EOL before every row and any number of
// zero fill bits before each EOL.
#include "fax/fax.h"

namespace qor::fax {
namespace {

class Group3Codec final : public FaxCodec {
  public:
    void BeginStrip(const tiff::StripSpan& strip) override {
        FaxCodec::BeginStrip(strip);
        eolAhead_ = false;
    }

    tiff::RowResult NextRow(std::uint8_t* row) override {
        bool awaitingEol = !eolAhead_;
        eolAhead_ = false;
        CodedRow coded;
        coded.out = row;
        coded.width = width_;
        coded.rowBytes = stride_;
        while (!coded.Done()) {
            const std::uint32_t window = in_.Peek13();
            if (window < 2) {
                // Twelve or more zero bits: fill before an EOL, passed one bit at a time.
                if (!in_.Consume(1)) return QOR_READ_FAILED;
                continue;
            }
            if (window < 4) {
                if (!in_.Consume(12)) return QOR_READ_FAILED;
                if (!awaitingEol) {
                    // The row was coded too short: its rest stays black, and this EOL
                    // introduces the next row of the strip.
                    eolAhead_ = true;
                    return 0;
                }
                awaitingEol = false;
                continue;
            }
            if (awaitingEol) return in_.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
            if (std::int16_t status = TakeRunCode(&in_, window, codes_, &coded)) return status;
        }
        return 0;
    }

  private:
    int ExtraBlocks(std::uint32_t, std::uint32_t*) const override { return 0; }

    bool eolAhead_ = false;  // an EOL cut the previous row short and introduces the next one
};

}  // namespace
}  // namespace qor::fax

namespace qor::tiff {

std::int16_t DecodeGroup3Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page) {
    fax::Group3Codec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace qor::tiff
