// DecodeModifiedHuffmanStrips: TIFF compression 2, one-dimensional run-length codes without EOLs,
// every row beginning on a byte boundary.
#include "fax/fax.h"

namespace qor::tiff {

std::int16_t DecodeModifiedHuffmanStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                         TiffPage* page) {
    using namespace fax;
    ReportProgress(progress, 0);
    FaxPage frame;
    if (std::int16_t status = PrepareFaxPage(dib, page, &frame)) return status;
    FaxBlocks blocks;
    const std::uint32_t sizes[3] = {kCodeTableSize, kCodeTableSize, TIFF_READ_BLOCK};
    if (!blocks.Acquire(sizes, 3)) return QOR_NO_MEMORY;
    BuildCodeTables(&blocks);
    const std::uint8_t* tables[2] = {blocks.data[1], blocks.data[0]};  // by colour: 0 black
    const std::uint8_t* lengths[2] = {kBlackCodeLength, kWhiteCodeLength};

    FaxBitReader in;
    in.file = file;
    in.buffer = blocks.data[2];
    // Bytes stored least significant bit first are reversed, as in the other fax codings.
    in.reverse = page->fillOrder == 2 ? kReversedBits : nullptr;
    const std::uint32_t width = frame.width;
    std::uint32_t row = 0;
    std::int16_t status = 0;
    for (std::uint32_t j = 0; j < frame.strips && frame.rowsPerStrip > 0; ++j) {
        if ((status = SeekToStrip(file, *page, j)) != 0) break;
        in.Restart();
        for (std::uint32_t k = 0; k < frame.rowsPerStrip; ++k) {
            if (++row > frame.height) goto done;
            if (ReportRow(progress, row, frame.biHeight) != 0) {
                status = QOR_CANCELLED;
                goto done;
            }
            // Each row starts at the byte boundary at or after the end of the previous one.
            if (!in.AlignToByte()) {
                status = QOR_READ_FAILED;
                goto done;
            }
            std::uint8_t* out = frame.Row(row);
            std::uint32_t colour = 1, position = 0;
            std::uint64_t pending = 0;
            while (position < width) {
                const std::uint32_t window = in.Peek13();
                const std::uint32_t index = tables[colour][window];
                if (index == NO_CODE) {
                    status = in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
                    goto done;
                }
                if (!in.Consume(lengths[colour][index])) {
                    status = QOR_READ_FAILED;
                    goto done;
                }
                pending += RunOfCode(index);
                if (index >= 64) continue;
                // A run that carries the row past its end is damage: nothing of it is painted.
                if (pending > width - position) {
                    status = QOR_FAX_BAD_DATA;
                    goto done;
                }
                const auto run = static_cast<std::uint32_t>(pending);
                if (colour != 0) PaintWhiteRun(out, position, run);
                position += run;
                colour ^= 1;
                pending = 0;
            }
        }
    }
done:
    blocks.Release();
    return status;
}

}  // namespace qor::tiff
