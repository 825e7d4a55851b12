// DecodeModifiedHuffmanStrips: TIFF compression 2, one-dimensional run-length codes without EOLs,
// every row beginning on a byte boundary.
#include "fax/fax.h"

namespace qor::tiff {

std::int16_t DecodeModifiedHuffmanStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                         TiffPage* page) {
    using namespace fax;
    ReportProgress(progress, 0);
    FaxPage frame;
    tiff::StripWalker strips;
    if (std::int16_t status = PrepareFaxPage(dib, file, *page, &frame, &strips)) return status;
    FaxBlocks blocks;
    FaxBitReader in;
    if (!AcquireFaxBlocks(&blocks, nullptr, 0, file, *page, &in)) return QOR_NO_MEMORY;
    const RunCodes codes = RunCodesOf(blocks);
    const std::uint32_t width = frame.width;
    std::uint32_t row = 0;
    std::int16_t status = 0;
    for (tiff::StripSpan strip; strips.More();) {
        if ((status = strips.Next(&strip)) != 0) break;
        in.Restart();
        for (std::uint32_t k = 0; k < strip.rows; ++k) {
            if (++row > frame.height) return status;
            if (ReportRow(progress, row, frame.biHeight) != 0) {
                status = QOR_CANCELLED;
                return status;
            }
            // Each row starts at the byte boundary at or after the end of the previous one.
            if (!in.AlignToByte()) {
                status = QOR_READ_FAILED;
                return status;
            }
            CodedRow coded;
            coded.out = frame.Row(row);
            coded.width = width;
            coded.rowBytes = frame.stride;
            while (!coded.Done()) {
                const std::uint32_t window = in.Peek13();
                if ((status = TakeRunCode(&in, window, codes, &coded)) != 0) return status;
            }
        }
    }
    return status;
}

}  // namespace qor::tiff
