// TIFF compression 3: T.4 coding with an EOL before every row and any number of zero fill bits
// before each EOL. Rows are one-dimensional run-length codes; with T4Options bit 0 (extended
// reads only) a tag bit after each EOL says whether the row is (1) or is coded with the Group 4
// modes against the row above it (0), the first row of a strip against a white line.
#include <bit>
#include <utility>

#include "fax/fax.h"
#include "tiff/tags.h"

namespace qor::fax {
namespace {

class Group3Codec final : public FaxCodec {
  public:
    std::int16_t Start(HFILE file, const tiff::TiffPage& page, const tiff::PageForm& form,
                       const DibView& rows, std::uint32_t rowsPerStrip) override {
        twoDimensional_ = (page.t4Options & tiff::kT4TwoDimensional) != 0;
        // Some writers leave the EOLs out of one-dimensional pages: each row's codes follow the
        // last row's at once, at any bit. libtiff reads such pages, and so does an extended read;
        // a classic read keeps the rule that every row starts with its EOL.
        eolOptional_ = page.extended && !twoDimensional_;
        return FaxCodec::Start(file, page, form, rows, rowsPerStrip);
    }

    void BeginStrip(const tiff::StripSpan& strip) override {
        FaxCodec::BeginStrip(strip);
        eolAhead_ = false;
        if (twoDimensional_) {
            ref_ = blocks_.As32(3);
            coding_ = blocks_.As32(4);
            refCount_ = 0;
            ref_[0] = coding_[0] = 0;
            CloseList(ref_, 0, width_);
        }
    }

    tiff::RowResult NextRow(std::uint8_t* row) override {
        return twoDimensional_ ? NextRowOf<true>(row) : NextRowOf<false>(row);
    }

  private:
    // NextRow for pages with (kTwoDimensional) and without two-dimensional rows.
    template <bool kTwoDimensional>
    tiff::RowResult NextRowOf(std::uint8_t* row) {
        bool awaitingEol = !eolAhead_;
        eolAhead_ = false;
        // An EOL that cut the previous row short is followed by this row's tag bit.
        if (!awaitingEol && kTwoDimensional) {
            bool twoDimensionalRow = false;
            if (!TakeTag(&twoDimensionalRow)) return QOR_READ_FAILED;
            if (twoDimensionalRow) return TwoDimensionalRow(row);
        }
        CodedRow coded;
        coded.out = row;
        coded.width = width_;
        coded.rowBytes = stride_;
        // A one-dimensional row of a two-dimensional page is the reference of the next row.
        if constexpr (kTwoDimensional) coded.changes = ref_;
        while (!coded.Done()) {
            if (!awaitingEol && in_.padding == 0) {
                TakeHeldRunCodes<kTwoDimensional>(in_, codes_, &coded);
                if (coded.Done()) break;
            }
            const std::uint32_t window = in_.Peek13();
            if (window < 2) {
                // Twelve or more zero bits: fill before an EOL, passed up to the EOL's eleven
                // zeros when the reader holds the 1 bit after them, else one bit at a time.
                const auto zeros = static_cast<std::uint32_t>(std::countl_zero(in_.bits));
                if (!in_.Consume(zeros < in_.count - in_.padding ? zeros - 11 : 1)) {
                    return QOR_READ_FAILED;
                }
                continue;
            }
            if (window < 4) {
                if (!in_.Consume(12)) return QOR_READ_FAILED;
                if (!awaitingEol) {
                    // The row was coded too short: its rest stays black, and this EOL
                    // introduces the next row of the strip. Where the run cut short is white,
                    // the black rest is a change.
                    eolAhead_ = true;
                    if (kTwoDimensional && coded.colour != 0) coded.ListChange();
                    return OneDimensionalRowDone(coded);
                }
                awaitingEol = false;
                if (kTwoDimensional) {
                    bool twoDimensionalRow = false;
                    if (!TakeTag(&twoDimensionalRow)) return QOR_READ_FAILED;
                    if (twoDimensionalRow) return TwoDimensionalRow(row);
                }
                continue;
            }
            if (awaitingEol && !eolOptional_) {
                return in_.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
            }
            awaitingEol = false;
            if (std::int16_t status = TakeRunCode<kTwoDimensional>(&in_, window, codes_, &coded))
                return status;
        }
        return OneDimensionalRowDone(coded);
    }

    std::unique_ptr<FaxCodec> Fresh() const override { return std::make_unique<Group3Codec>(); }
    // Two-dimensional pages: the changing-element lists of the reference and the coding row.
    int ExtraBlocks(std::uint32_t width, std::uint32_t* sizes) const override {
        if (!twoDimensional_) return 0;
        sizes[0] = sizes[1] = (width + 8) * 4;
        return 2;
    }

    // Takes the tag bit after an EOL: *twoDimensionalRow when it is 0. False when the data ended.
    bool TakeTag(bool* twoDimensionalRow) {
        if (!in_.Holds(1)) return false;
        *twoDimensionalRow = in_.Peek(1) == 0;
        in_.Skip(1);
        return true;
    }

    // The changes of a one-dimensional row, its rest black (it starts so), are the reference
    // of the next row.
    tiff::RowResult OneDimensionalRowDone(const CodedRow& coded) {
        if (twoDimensional_) {
            refCount_ = coded.changeCount;
            CloseList(ref_, refCount_, width_);
        }
        return 0;
    }

    tiff::RowResult TwoDimensionalRow(std::uint8_t* row) {
        RowEnd end;
        std::int16_t result = DecodeRow(in_, codes_, ref_, refCount_, coding_, width_, &end);
        // What was decoded is kept, also in a row that the data then fails.
        PaintRow(row, stride_, coding_, end);
        // An EOL (or the zero fill before one) before the row's end cuts it short: its rest
        // stays black, and the EOL introduces the next row.
        if (result != 0 && !in_.WindowPastEnd() && in_.Peek13() < 4) result = 0;
        if (result != 0) return result;
        CloseList(coding_, end.changes, width_);
        std::swap(ref_, coding_);
        refCount_ = end.changes;
        return 0;
    }

    bool twoDimensional_ = false;
    bool eolOptional_ = false;  // a one-dimensional row may start without its EOL
    bool eolAhead_ = false;     // an EOL cut the previous row short and introduces the next one
    std::uint32_t* ref_ = nullptr;
    std::uint32_t* coding_ = nullptr;
    std::uint32_t refCount_ = 0;
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
