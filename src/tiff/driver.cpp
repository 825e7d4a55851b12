// Placeholder until this worker is written: it refuses every request.
#include "frame/request.h"

namespace qor {

std::int16_t ReadTiffWorker(ImageIoRequest* request) {
    if (std::int16_t status = BeginWork(request)) return status;
    return QOR_BAD_REQUEST;
}

}  // namespace qor
