// The words of every status, for a classic and an extended read.
#include "record/describe.h"

namespace qor {

const char* StatusText(int status, bool extended) {
    // An extended read takes predictor 2 with every coding of bytes (LZW, Deflate) and samples
    // of 16 bits too: what it refuses is the samples' size alone.
    if (extended && status == QOR_TIFF_PREDICTOR_COMBINATION) {
        return "TIFF predictor 2 needs samples of 8 or 16 bits";
    }
    return QorStatusText(status);
}

}  // namespace qor

QOR_API const char* QOR_CALL QorStatusTextFor(int status, uint32_t flags) {
    return qor::StatusText(status, (flags & QOR_READ_EXTENDED) != 0);
}
