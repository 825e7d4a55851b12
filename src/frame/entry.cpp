// The exported entry points: each builds a request record on its own stack, runs its worker and
// copies the results out; the describe calls hand out the public part of the description.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frame/read_info.h"
#include "host/host.h"
#include "platform/bytes.h"
#include "platform/memory_file.h"
#include "record/describe.h"
#include "record/request.h"

// The public records keep one layout on 32-bit and 64-bit builds: every field at the offset that
// the header gives, no padding that a compiler may place otherwise.
static_assert(sizeof(QorReadOptions) == 32);
static_assert(offsetof(QorReadOptions, flags) == 4);
static_assert(offsetof(QorReadOptions, firstPage) == 8);
static_assert(offsetof(QorReadOptions, pageCount) == 12);
static_assert(offsetof(QorReadOptions, memoryLimit) == 16);
static_assert(offsetof(QorReadOptions, threads) == 24);
static_assert(offsetof(QorReadOptions, reserved) == 28);
static_assert(sizeof(QorTifInfo) == 24);
static_assert(offsetof(QorTifInfo, flags) == 20);
static_assert(offsetof(QorTifInfo, byteOrder) == 6);
static_assert(offsetof(QorTifInfo, fileSize) == 16);
static_assert(sizeof(QorTifPage) == 132);
static_assert(offsetof(QorTifPage, strips) == 20);
static_assert(offsetof(QorTifPage, status) == 24);
static_assert(offsetof(QorTifPage, rowsWithStrips) == 32);
static_assert(offsetof(QorTifPage, xResolution) == 48);
static_assert(offsetof(QorTifPage, subfileType) == 68);
static_assert(offsetof(QorTifPage, dateTime) == 72);
static_assert(offsetof(QorTifPage, software) == 92);
static_assert(sizeof(QorGifInfo) == 256);
static_assert(offsetof(QorGifInfo, version) == 8);
static_assert(offsetof(QorGifInfo, frames) == 24);
static_assert(offsetof(QorGifInfo, bitsPerPixel) == 44);
static_assert(offsetof(QorGifInfo, loopCount) == 52);
static_assert(offsetof(QorGifInfo, comments) == 60);
static_assert(sizeof(QorGifFrame) == 24);
static_assert(offsetof(QorGifFrame, delay) == 16);
static_assert(offsetof(QorGifFrame, transparentIndex) == 20);

namespace qor {
namespace {

// The most bytes a record that starts with its size may claim: a record of a later version that
// sets nothing new is far smaller.
constexpr std::uint32_t kMostRecordSize = 4096;

// Whether the caller's record, which starts with its size, can be taken as this version's: of
// this version's size, or larger (a caller built against a later header) with every byte past
// the fields known here 0, so that nothing the caller set is ignored.
template <typename Record>
bool TakesRecord(const Record* record) {
    const std::uint32_t size = record->size;
    if (size < sizeof(Record) || size > kMostRecordSize) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(record);
    for (std::uint32_t i = sizeof(Record); i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// Takes the caller's options into `scope`. 0, or 101 for a record of an unknown size, a flag that
// this version does not know, or a non-zero reserved field. Null options leave the defaults.
std::int16_t TakeOptions(const QorReadOptions* options, ReadScope* scope) {
    if (options == nullptr) return 0;
    if (!TakesRecord(options)) return QOR_BAD_REQUEST;
    if ((options->flags & ~std::uint32_t{QOR_READ_KNOWN_FLAGS}) != 0 || options->reserved != 0) {
        return QOR_BAD_REQUEST;
    }
    scope->firstPage = options->firstPage;
    scope->pageCount = options->pageCount;
    scope->memoryLimit = options->memoryLimit;
    scope->extended = (options->flags & QOR_READ_EXTENDED) != 0;
    scope->threads = options->threads;
    return 0;
}

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

namespace {

// QORIMG_THREADS as a count (empty: 0, the default): false when it holds anything but decimal
// digits (a sign, a space, letters) or a count past 2^32 - 1.
bool CountOfThreads(const char* text, std::uint32_t* threads) {
    std::uint64_t n = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(*c - '0');
        if (n > 0xFFFFFFFFull) return false;
    }
    *threads = static_cast<std::uint32_t>(n);
    return true;
}

}  // namespace

std::uint32_t ThreadsOfEnvironment() {
    const char* text = std::getenv("QORIMG_THREADS");
    std::uint32_t threads = 0;
    return text != nullptr && CountOfThreads(text, &threads) ? threads : 0;
}

const char* UnusableThreadsOfEnvironment() {
    const char* text = std::getenv("QORIMG_THREADS");
    std::uint32_t threads = 0;
    return text != nullptr && !CountOfThreads(text, &threads) ? text : nullptr;
}

std::int16_t ReadWithInfo(ReadFormat format, ProgressProc progress, std::uint32_t userValue,
                          const char* fileName, ReadInfo* info, std::uint32_t* result,
                          const QorReadOptions* options) {
    // Null outputs and unusable options are refused before any work: nothing is opened or
    // allocated.
    if (result == nullptr) return QOR_BAD_REQUEST;
    ReadScope scope;
    if (std::int16_t status = TakeOptions(options, &scope)) return status;
    // A GIF's one page is its first image.
    if (format == ReadFormat::Gif && (scope.firstPage != 0 || scope.pageCount > 1)) {
        return QOR_BAD_REQUEST;
    }
    // A read without options takes every page, as a scope of defaults does; for a TIFF it
    // carries the threads.
    if (options == nullptr) scope.threads = ThreadsOfEnvironment();
    const ReadScope* given = options != nullptr || format == ReadFormat::Tiff ? &scope : nullptr;
    alignas(kRequestAlignment) ImageIoRequest request;
    PrepareRequest(&request, progress, userValue, fileName);
    request.loadPixels = 1;
    std::vector<PageEnd> ended;
    std::vector<DamagedRows> damaged;
    std::uint32_t stoppedAt = 0;
    std::int16_t status = format == ReadFormat::Gif
                              ? ReadGifWorker(&request, &ended, &stoppedAt, given)
                              : ReadTiffWorker(&request, &ended, &stoppedAt, given, &damaged);
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
        info->damaged = status == 0 ? std::move(damaged) : std::vector<DamagedRows>();
    }
    if (status != 0) return status;
    *result = TakeFirstLayer(&request);
    return 0;
}

}  // namespace qor

extern "C" {

QOR_API int16_t QOR_CALL QorReadGIFEx(QorProgressProc progress, uint32_t userValue,
                                      const char* fileName, const QorReadOptions* options,
                                      uint32_t* result, int16_t* transparentIndex) {
    if (transparentIndex == nullptr) return QOR_BAD_REQUEST;
    qor::ReadInfo info;
    std::int16_t status = qor::ReadWithInfo(qor::ReadFormat::Gif, progress, userValue, fileName,
                                            &info, result, options);
    if (status == 0) *transparentIndex = info.transparentIndex;
    return status;
}

QOR_API int16_t QOR_CALL QorReadGIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result,
                                    int16_t* transparentIndex) {
    return QorReadGIFEx(progress, userValue, fileName, nullptr, result, transparentIndex);
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

QOR_API int16_t QOR_CALL QorReadTIFEx(QorProgressProc progress, uint32_t userValue,
                                      const char* fileName, const QorReadOptions* options,
                                      uint32_t* result) {
    return qor::ReadWithInfo(qor::ReadFormat::Tiff, progress, userValue, fileName, nullptr, result,
                             options);
}

QOR_API int16_t QOR_CALL QorDescribeTIF(const char* fileName, QorTifInfo* info, QorTifPage* pages,
                                        uint32_t capacity) {
    if (info == nullptr || !qor::TakesRecord(info) ||
        (info->flags & ~std::uint32_t{QOR_READ_KNOWN_FLAGS}) != 0 ||
        (pages == nullptr && capacity != 0)) {
        return QOR_BAD_REQUEST;
    }
    const std::uint32_t flags = info->flags;
    struct Store {
        QorTifPage* pages;
        std::uint32_t capacity;
    } store{pages, capacity};
    auto keep = [](void* context, std::uint32_t index, const qor::TiffPageDescription& page) {
        auto* s = static_cast<Store*>(context);
        if (index < s->capacity) s->pages[index] = page;
    };
    qor::TiffDescription d;
    const std::int16_t status =
        qor::DescribeTiffWith(fileName, &d, keep, &store, (flags & QOR_READ_EXTENDED) != 0);
    if (status != 0) return status;
    *info = d;
    info->size = sizeof(QorTifInfo);
    info->flags = flags;
    return 0;
}

QOR_API int16_t QOR_CALL QorDescribeGIF(const char* fileName, QorGifInfo* info, QorGifFrame* frames,
                                        uint32_t capacity) {
    if (info == nullptr || !qor::TakesRecord(info) || (frames == nullptr && capacity != 0)) {
        return QOR_BAD_REQUEST;
    }
    struct Store {
        QorGifFrame* frames;
        std::uint32_t capacity;
    } store{frames, capacity};
    auto keep = [](void* context, std::uint32_t index, const QorGifFrame& frame) {
        auto* s = static_cast<Store*>(context);
        if (index < s->capacity) s->frames[index] = frame;
    };
    qor::GifDescription d;
    const std::int16_t status = qor::DescribeGif(fileName, &d, keep, &store);
    if (status != 0) return status;
    *info = d;
    info->size = sizeof(QorGifInfo);
    return 0;
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

static_assert(QOR_MEMORY_NAME_SIZE == qor::plat::memory::kNameSize);

QOR_API int16_t QOR_CALL QorOpenMemory(const void* data, uint64_t size, char* name,
                                       uint32_t nameSize) {
    if (name == nullptr || (data == nullptr && size != 0) || nameSize < QOR_MEMORY_NAME_SIZE) {
        return QOR_BAD_REQUEST;
    }
    // An empty file still needs an address to stand for it.
    static const std::uint8_t kNothing = 0;
    return qor::plat::memory::Register(data != nullptr ? data : &kNothing, size, name, nameSize)
               ? std::int16_t{0}
               : std::int16_t{QOR_NO_MEMORY};
}

QOR_API int16_t QOR_CALL QorCloseMemory(const char* name) {
    return qor::plat::memory::Unregister(name) ? std::int16_t{0} : std::int16_t{QOR_BAD_REQUEST};
}
