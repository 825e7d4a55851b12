// Placeholder until the LZW strip decoder is written: the page is refused as having a
// compression without a decoder.
#include "tiff/tiff.h"

namespace qor::tiff {

std::int16_t DecodeLzwStrips(ProgressBlock*, std::uint8_t*, HFILE, TiffPage*) {
    return QOR_TIFF_COMPRESSION;
}

}  // namespace qor::tiff
