// The bit reader's byte-at-a-time fill, out of line: it runs near the end of each block only.
#include "platform/bit_reader.h"

namespace qor::plat {

void BitReader::FillBytes() {
    while (count <= 56) {
        std::uint64_t byte = 0;
        if (input.next == input.end && !ended) ended = !input.Refill();
        if (ended) {
            padding += 8;
        } else {
            byte = *input.next++;
            if (reversed) byte = ReverseBitsOfEachByte(byte);
        }
        bits |= byte << (56 - count);
        count += 8;
    }
}

}  // namespace qor::plat
