// The exported entry points: each builds a request record on its own stack, runs its worker and
// copies the results out.
#include <cstring>
#include <utility>

#include "frame/read_info.h"
#include "host/host.h"
#include "platform/bytes.h"
#include "record/request.h"

namespace qor {
namespace {

// Zeroes the record and fills the fields every entry point sets.
void PrepareRequest(ImageIoRequest* request, ProgressProc progress, std::uint32_t userValue,
                    const char* fileName) {
    std::memset(request, 0, sizeof(ImageIoRequest));
    request->signature = kRequestSignature;
    request->progressBlock.progress = progress;
    request->progressBlock.info.userValue = userValue;
    request->hostFlag1 = 1;
    request->hostFlag2 = 0;
    // A name of up to 512 bytes is copied whole; the zero bytes after the field terminate one
    // that fills it. A longer name is not copied at all, so the worker refuses it as it refuses
    // an empty name: cut short, it would name another file.
    if (fileName != nullptr) {
        std::size_t length = strnlen(fileName, sizeof request->fileName + 1);
        if (length <= sizeof request->fileName) std::memcpy(request->fileName, fileName, length);
    }
}

// Takes the first layer's DIB handle out of the host's layer block, records the document and
// frees the block. When the block cannot be locked, the host's own record of its layers gives
// the handle, so a successful read never loses its DIBs.
HGLOBAL TakeFirstLayer(ImageIoRequest* request) {
    HGLOBAL block = request->layerBlock;
    HGLOBAL first = 0;
    auto* p = static_cast<const unsigned char*>(plat::GlobalLock(block));
    if (p != nullptr) {
        if (plat::GlobalSize(block) >= host::kFirstLayerOffset + 4) {
            first = LoadLE32(p + host::kFirstLayerOffset);
        }
        plat::GlobalUnlock(block);
    }
    HGLOBAL recorded = host::AdoptDocument(block);
    if (p == nullptr) first = recorded;
    plat::GlobalFree(block);
    request->layerBlock = 0;
    return first;
}

}  // namespace

std::int16_t ReadWithInfo(ReadFormat format, ProgressProc progress, std::uint32_t userValue,
                          const char* fileName, ReadInfo* info, std::uint32_t* result) {
    // Null outputs are refused before any work: nothing is opened or allocated.
    if (result == nullptr) return QOR_BAD_REQUEST;
    alignas(kRequestAlignment) ImageIoRequest request;
    PrepareRequest(&request, progress, userValue, fileName);
    request.loadPixels = 1;
    std::vector<PageEnd> ended;
    std::uint32_t stoppedAt = 0;
    std::int16_t status = format == ReadFormat::Gif ? ReadGifWorker(&request, &ended)
                                                    : ReadTiffWorker(&request, &ended, &stoppedAt);
    if (info != nullptr) {
        info->version = request.infoVersion;
        info->encoding = request.infoEncoding;
        info->width = request.infoWidth;
        info->height = request.infoHeight;
        info->bitsPerSample = request.infoBitsPerSample;
        info->samplesPerPixel = request.infoSamplesPerPixel;
        info->colorCount = request.infoColorCount;
        info->imageBytes = request.infoImageBytes;
        info->fileSize = request.infoFileSize;
        info->transparentIndex = request.transparentIndex;
        info->multiPage = request.multiPage;
        info->layerCount = request.layerCount;
        info->endedEarly = status == 0 ? std::move(ended) : std::vector<PageEnd>();
        info->stoppedAtPage = stoppedAt;
    }
    if (status != 0) return status;
    *result = TakeFirstLayer(&request);
    return 0;
}

}  // namespace qor

extern "C" {

QOR_API int16_t QOR_CALL QorReadGIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result,
                                    int16_t* transparentIndex) {
    if (transparentIndex == nullptr) return QOR_BAD_REQUEST;
    qor::ReadInfo info;
    std::int16_t status =
        qor::ReadWithInfo(qor::ReadFormat::Gif, progress, userValue, fileName, &info, result);
    if (status == 0) *transparentIndex = info.transparentIndex;
    return status;
}

QOR_API int16_t QOR_CALL QorWriteGIF(QorProgressProc progress, uint32_t userValue,
                                     const char* fileName, QorHandle bitmap,
                                     uint32_t transparentOption, uint32_t interlaced,
                                     uint32_t transparentIndex) {
    alignas(qor::kRequestAlignment) qor::ImageIoRequest request;
    qor::PrepareRequest(&request, progress, userValue, fileName);
    auto option = static_cast<std::uint8_t>(transparentOption & 0xFF);
    request.writeTransparent = option;
    request.sourceBitmap = bitmap;
    request.writeInterlaced = interlaced;
    if (option == 0) {
        request.transparentIndex = -1;
    } else if (option == 1) {
        request.transparentIndex = static_cast<std::int16_t>(transparentIndex & 0xFFFF);
    }
    return qor::WriteGifWorker(&request);
}

QOR_API int16_t QOR_CALL QorReadTIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result) {
    return qor::ReadWithInfo(qor::ReadFormat::Tiff, progress, userValue, fileName, nullptr, result);
}

QOR_API QorHandle QOR_CALL QorGlobalAlloc(uint32_t flags, uint64_t bytes) {
    return qor::plat::GlobalAlloc(flags, bytes);
}
QOR_API void* QOR_CALL QorGlobalLock(QorHandle block) {
    return qor::plat::GlobalLock(block);
}
QOR_API int QOR_CALL QorGlobalUnlock(QorHandle block) {
    return qor::plat::GlobalUnlock(block);
}
QOR_API QorHandle QOR_CALL QorGlobalFree(QorHandle block) {
    return qor::plat::GlobalFree(block);
}
QOR_API uint64_t QOR_CALL QorGlobalSize(QorHandle block) {
    return qor::plat::GlobalSize(block);
}

}  // extern "C"
