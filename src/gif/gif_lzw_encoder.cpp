#include "gif/gif_lzw_encoder.h"

namespace qor {

void StartGifCodePacker(GifCodePacker* packer, std::uint8_t* buffer, plat::HFILE file,
                        std::uint8_t width) {
    packer->buffer = buffer;
    packer->length = 1;  // byte 0 is the first sub-block's count
    packer->file = file;
    packer->free = 8;
    packer->used = 0;
    packer->partial = 0;
    packer->out = 0;
    packer->width = width;
}

int WriteGifBatch(GifCodePacker* packer) {
    std::int32_t written = plat::_lwrite(packer->file, packer->buffer, kGifBatchBytes);
    packer->length = 1;
    return written == kGifBatchBytes ? 0 : 1;
}

int FinishGifCodePacker(GifCodePacker* packer) {
    if (packer->used > 0) {
        // The unfilled high bits of the last byte are already 0.
        if (StoreGifByte(packer, packer->partial) != 0) return 1;
        packer->used = 0;
        packer->free = 8;
        packer->partial = 0;
    }
    if (packer->length <= 1) return 0;  // nothing since the last batch
    int m = packer->length % kGifSubBlockSpan;
    if (m >= 2) {
        // The last sub-block is short: m - 1 data bytes after its count position.
        int countAt = (packer->length / kGifSubBlockSpan) * kGifSubBlockSpan;
        packer->buffer[countAt] = static_cast<std::uint8_t>(m - 1);
    } else {
        // m == 1: the last reserved count position has no data behind it.
        packer->length = static_cast<std::int16_t>(packer->length - 1);
    }
    auto count = static_cast<std::uint32_t>(packer->length);
    std::int32_t written = plat::_lwrite(packer->file, packer->buffer, count);
    packer->length = 1;
    return written == static_cast<std::int32_t>(count) ? 0 : 1;
}

}  // namespace qor
