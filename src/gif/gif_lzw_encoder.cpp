#include "gif/gif_lzw_encoder.h"

namespace qor {

void StartGifCodePacker(GifCodePacker* packer, std::uint8_t* buffer, plat::HFILE file,
                        std::uint8_t width) {
    packer->buffer = buffer;
    packer->length = 1;  // byte 0 is the first sub-block's count
    packer->blockEnd = kGifSubBlockSpan;
    packer->file = file;
    packer->pending = 0;
    packer->used = 0;
    packer->width = width;
}

int WriteGifBatch(const std::uint8_t* buffer, plat::HFILE file) {
    return plat::_lwrite(file, buffer, kGifBatchBytes) == kGifBatchBytes ? 0 : 1;
}

int FinishGifCodePacker(GifCodePacker* packer) {
    while (packer->used > 0) {
        if (StoreGifByte(packer, static_cast<std::uint8_t>(packer->pending & 0xFF)) != 0) {
            return 1;
        }
        packer->pending >>= 8;
        packer->used = static_cast<std::uint8_t>(packer->used > 8 ? packer->used - 8 : 0);
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
    packer->blockEnd = kGifSubBlockSpan;
    return written == static_cast<std::int32_t>(count) ? 0 : 1;
}

}  // namespace qor
