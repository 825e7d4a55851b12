// TIFF compression 2 (Modified Huffman): one-dimensional run-length codes without EOLs, every
// row beginning on a byte boundary.
#include "fax/fax.h"

namespace qor::fax {
namespace {

class ModifiedHuffmanCodec final : public FaxCodec {
  public:
    tiff::RowResult NextRow(std::uint8_t* row) override {
        // Each row starts at the byte boundary at or after the end of the previous one.
        if (!in_.AlignToByte()) return QOR_READ_FAILED;
        CodedRow coded;
        coded.out = row;
        coded.width = width_;
        coded.rowBytes = stride_;
        while (!coded.Done()) {
            if (in_.padding == 0) {
                TakeHeldRunCodes<false>(in_, codes_, &coded);
                if (coded.Done()) break;
            }
            if (std::int16_t status = TakeRunCode(&in_, in_.Peek13(), codes_, &coded)) {
                return status;
            }
        }
        return 0;
    }

  private:
    std::unique_ptr<FaxCodec> Fresh() const override {
        return std::make_unique<ModifiedHuffmanCodec>();
    }
    int ExtraBlocks(std::uint32_t, std::uint32_t*) const override { return 0; }
};

}  // namespace
}  // namespace qor::fax

namespace qor::tiff {

std::int16_t DecodeModifiedHuffmanStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                         TiffPage* page) {
    fax::ModifiedHuffmanCodec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

}  // namespace qor::tiff
