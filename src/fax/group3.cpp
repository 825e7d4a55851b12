// DecodeGroup3Strips: TIFF compression 3, one-dimensional T.4 coding with an EOL before every row
// and any number of zero fill bits before each EOL.
#include "fax/fax.h"

namespace qor::tiff {

std::int16_t DecodeGroup3Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
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
    std::uint32_t eols = 0;  // EOLs met: the number of the row being decoded
    std::int16_t status = 0;
    for (tiff::StripSpan strip; strips.More();) {
        // Every strip is decodable by itself: it starts with an empty window at its own offset.
        if ((status = strips.Next(&strip)) != 0) break;
        in.Restart();
        bool eolAhead = false;  // an EOL cut the previous row short and introduces this one
        for (std::uint32_t k = 0; k < strip.rows; ++k) {
            // All rows done: what follows (the return-to-control codes, or nothing) is not read.
            if (eols >= frame.height) return status;
            if (ReportRow(progress, eols, frame.biHeight) != 0) {
                status = QOR_CANCELLED;
                return status;
            }
            bool awaitingEol = true;
            CodedRow coded;
            coded.width = width;
            coded.rowBytes = frame.stride;
            if (eolAhead) {
                eolAhead = false;
                awaitingEol = false;
                coded.out = frame.Row(++eols);
            }
            while (!coded.Done()) {
                const std::uint32_t window = in.Peek13();
                if (window < 2) {
                    // Twelve or more zero bits: fill before an EOL, passed one bit at a time.
                    if (!in.Consume(1)) {
                        status = QOR_READ_FAILED;
                        return status;
                    }
                    continue;
                }
                if (window < 4) {
                    if (!in.Consume(12)) {
                        status = QOR_READ_FAILED;
                        return status;
                    }
                    if (!awaitingEol) {
                        // The row was coded too short: its rest stays black, and this EOL
                        // introduces the next row of the strip.
                        eolAhead = true;
                        break;
                    }
                    awaitingEol = false;
                    if (++eols > frame.height) return status;
                    coded.out = frame.Row(eols);
                    continue;
                }
                if (awaitingEol) {
                    status = in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
                    return status;
                }
                if ((status = TakeRunCode(&in, window, codes, &coded)) != 0) return status;
            }
        }
    }
    return status;
}

}  // namespace qor::tiff
