// DecodeGroup4Strips: TIFF compression 4, T.6 two-dimensional coding in which every row is coded
// against the row above it, the first row of a strip against an imaginary white line.
#include <utility>

#include "fax/fax.h"

namespace qor::tiff {
namespace {

using namespace fax;

// Reads one run of the given colour (make-up codes, then a terminating code) into *run.
// 0, 532 for bits that begin no code word of the colour, 202 when the data ended.
std::int16_t ReadRun(FaxBitReader& in, const std::uint8_t* table, const std::uint8_t* lengths,
                     std::uint64_t* run) {
    std::uint64_t pending = 0;
    for (;;) {
        const std::uint32_t index = table[in.Peek13()];
        if (index == NO_CODE) return in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
        if (!in.Consume(lengths[index])) return QOR_READ_FAILED;
        pending += RunOfCode(index);
        if (index < 64) break;
    }
    *run = pending;
    return 0;
}

// Ends a changing-element list of `n` entries: the entries after it stand for the row's end.
void CloseList(std::uint32_t* list, std::uint32_t n, std::uint32_t width) {
    list[n + 1] = list[n + 2] = list[n + 3] = width;
}

}  // namespace

std::int16_t DecodeGroup4Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page) {
    ReportProgress(progress, 0);
    FaxPage frame;
    tiff::StripWalker strips;
    if (std::int16_t status = PrepareFaxPage(dib, file, *page, &frame, &strips)) return status;
    const std::uint32_t width = frame.width;
    // A row holds at most width + 2 changes in valid data (the last two may repeat the row's
    // end); the lists have room for more than that, for entry 0 and for the closing entries.
    const std::uint32_t maxChanges = width + 4;
    const std::uint32_t listBytes = (width + 8) * 4;
    FaxBlocks blocks;
    FaxBitReader in;
    const std::uint32_t listSizes[2] = {listBytes, listBytes};
    if (!AcquireFaxBlocks(&blocks, listSizes, 2, file, *page, &in)) return QOR_NO_MEMORY;
    const RunCodes codes = RunCodesOf(blocks);
    auto* lists0 = reinterpret_cast<std::uint32_t*>(blocks.data[3]);
    auto* lists1 = reinterpret_cast<std::uint32_t*>(blocks.data[4]);

    std::uint32_t row = 0;
    std::int16_t status = 0;
    for (tiff::StripSpan strip; strips.More();) {
        // Every strip is decodable by itself: an empty window at its own offset, and its first
        // row coded against the imaginary white line.
        if ((status = strips.Next(&strip)) != 0) break;
        in.Restart();
        std::uint32_t* ref = lists0;
        std::uint32_t* coding = lists1;
        std::uint32_t refCount = 0;
        ref[0] = coding[0] = 0;
        CloseList(ref, 0, width);
        for (std::uint32_t k = 0; k < strip.rows; ++k) {
            if (row >= frame.height) goto done;
            ++row;
            if (ReportRow(progress, row, frame.biHeight) != 0) {
                status = QOR_CANCELLED;
                goto done;
            }
            std::uint8_t* out = frame.Row(row);
            std::uint32_t a0 = 0, colour = 1, cursor = 1, n = 0;
            while (a0 < width) {
                const std::uint32_t window = in.Peek13();
                // Past the list's end every entry stands for the row's end.
                while (cursor > refCount + 2) cursor -= 2;
                // b1: the first change right of a0 whose colour is opposite to a0's. Only before
                // the row's first change is the entry taken as it stands, so that b1 may be 0;
                // once a change at 0 is written, a0 = 0 is a real position and b1 lies past it.
                if (a0 != 0 || n != 0) {
                    while (ref[cursor] <= a0) cursor += 2;
                }
                const std::uint32_t b1 = ref[cursor];
                std::int32_t offset = 0;
                std::uint32_t length = 0;
                if (window >= 4096) {
                    offset = 0, length = 1;
                } else if (window >= 3072) {
                    offset = 1, length = 3;
                } else if (window >= 2048) {
                    offset = -1, length = 3;
                } else if (window >= 1024) {
                    // Horizontal mode: a run of the current colour, then one of the other.
                    if (!in.Consume(3)) {
                        status = QOR_READ_FAILED;
                        goto done;
                    }
                    if (n + 2 > maxChanges) {
                        status = QOR_FAX_BAD_DATA;
                        goto done;
                    }
                    for (int half = 0; half < 2; ++half) {
                        std::uint64_t run;
                        status = ReadRun(in, codes.table[colour], codes.length[colour], &run);
                        if (status != 0) goto done;
                        // A run longer than the rest of the row is cut at the row's end.
                        if (run > width - a0) run = width - a0;
                        if (colour != 0)
                            PaintWhite(out, frame.stride, a0, static_cast<std::uint32_t>(run));
                        a0 += static_cast<std::uint32_t>(run);
                        coding[++n] = a0;
                        colour ^= 1;
                    }
                    while (ref[cursor] < a0 && cursor <= refCount) cursor += 2;
                    continue;
                } else if (window >= 512) {
                    // Pass mode: a0 moves under the end of the reference run after b1.
                    if (!in.Consume(4)) {
                        status = QOR_READ_FAILED;
                        goto done;
                    }
                    const std::uint32_t b2 = ref[cursor + 1];
                    if (b2 < a0) {
                        status = QOR_FAX_BAD_DATA;
                        goto done;
                    }
                    if (colour != 0) PaintWhite(out, frame.stride, a0, b2 - a0);
                    a0 = b2;
                    cursor += 2;
                    continue;
                } else if (window >= 384) {
                    offset = 2, length = 6;
                } else if (window >= 256) {
                    offset = -2, length = 6;
                } else if (window >= 192) {
                    offset = 3, length = 7;
                } else if (window >= 128) {
                    offset = -3, length = 7;
                } else if (window == 2) {
                    // End of block: the rest of the row and of the strip's rows come out white.
                    PaintWhite(out, frame.stride, a0, width - a0);
                    for (++k; k < strip.rows && row < frame.height; ++k) {
                        PaintWhiteRun(frame.Row(++row), 0, width);
                    }
                    goto nextStrip;
                } else {
                    // An EOL, an extension code (uncompressed mode among them), zero bits.
                    status = in.WindowPastEnd() ? QOR_READ_FAILED : QOR_FAX_BAD_DATA;
                    goto done;
                }
                // Vertical mode: a1 lies `offset` pixels from b1.
                if (!in.Consume(length)) {
                    status = QOR_READ_FAILED;
                    goto done;
                }
                std::int64_t a1 = std::int64_t{b1} + offset;
                if (a1 < std::int64_t{a0} || n + 1 > maxChanges) {
                    status = QOR_FAX_BAD_DATA;
                    goto done;
                }
                if (a1 > std::int64_t{width}) a1 = width;
                const auto end = static_cast<std::uint32_t>(a1);
                if (colour != 0) PaintWhite(out, frame.stride, a0, end - a0);
                coding[++n] = end;
                colour ^= 1;
                a0 = end;
                if (end < ref[cursor - 1]) {
                    --cursor;
                } else {
                    ++cursor;
                }
            }
            // The row just decoded becomes the reference of the next one.
            CloseList(coding, n, width);
            std::swap(ref, coding);
            refCount = n;
        }
    nextStrip:;
    }
done:
    blocks.Release();
    return status;
}

}  // namespace qor::tiff
