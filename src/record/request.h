// The request record that every entry point builds and every worker and the host layer share,
// with the progress protocol and the workers' contract. It sits below the entry points, the
// codecs and the host layer, which all include it; it includes only the platform and the
// public header.
// Its packed 4157-byte layout and every field offset are fixed; multi-byte fields are
// little-endian (the library is built for little-endian hosts only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/meter.h"
#include "platform/platform.h"
#include "qorimg/qorimg.h"

namespace qor {

using plat::HFILE;
using plat::HGLOBAL;
using ProgressInfo = QorProgressInfo;
using ProgressProc = QorProgressProc;

inline constexpr std::uint32_t kRequestSignature = 4157;

#pragma pack(push, 1)

// What the TIFF strip decoders and InvertBitmap receive: the callback pointer, then the
// ProgressInfo at byte 8. On a 32-bit build the pointer is followed by 4 unused bytes.
#if UINTPTR_MAX > 0xFFFFFFFFu
struct ProgressBlock {
    ProgressProc progress;
    ProgressInfo info;
};
#else
struct ProgressBlock {
    ProgressProc progress;
    std::uint8_t unused[4];
    ProgressInfo info;
};
#endif

struct ImageIoRequest {
    std::uint32_t signature;             // 0
    std::uint8_t reserved4[8];           // 4
    ProgressBlock progressBlock;         // 12: progress at 12, progressInfo at 20
    std::uint32_t hostFlag1;             // 32
    std::uint32_t hostFlag2;             // 36
    std::uint8_t reserved40[68];         // 40
    char fileName[512];                  // 108
    std::uint8_t reserved620[516];       // 620: stays zero, terminates a 512-byte name
    std::uint32_t loadPixels;            // 1136
    std::uint32_t maskOption;            // 1140
    std::uint8_t reserved1144[54];       // 1144
    std::uint8_t writeTransparent;       // 1198
    std::uint8_t reserved1199[8];        // 1199
    std::uint32_t writeInterlaced;       // 1207
    std::uint8_t reserved1211[15];       // 1211
    std::uint16_t infoVersion;           // 1226
    std::uint16_t infoEncoding;          // 1228
    std::uint32_t infoWidth;             // 1230
    std::uint32_t infoHeight;            // 1234
    std::uint8_t reserved1238[9];        // 1238
    std::uint16_t infoBitsPerSample;     // 1247
    std::uint16_t infoBitsPerSample2;    // 1249
    std::uint16_t infoSamplesPerPixel;   // 1251
    std::uint16_t infoSamplesPerPixel2;  // 1253
    std::uint32_t infoColorCount;        // 1255
    std::uint32_t infoImageBytes;        // 1259
    std::uint32_t infoFileSize;          // 1263
    std::uint8_t reserved1267[2858];     // 1267
    std::uint32_t multiPage;             // 4125
    std::uint8_t reserved4129[4];        // 4129
    std::int16_t transparentIndex;       // 4133
    std::uint16_t layerCount;            // 4135
    std::uint8_t reserved4137[4];        // 4137
    HGLOBAL layerBlock;                  // 4141
    HGLOBAL sourceBitmap;                // 4145
    std::uint8_t reserved4149[8];        // 4149
};

#pragma pack(pop)

// The callback is the record's one pointer: 4 bytes at 12..15 on 32-bit builds (32-bit Windows
// included), as the record was designed, and 8 bytes at 12..19 on 64-bit builds.
static_assert(offsetof(ProgressBlock, progress) == 0);
static_assert(sizeof(ProgressProc) == sizeof(void*));
static_assert(sizeof(ProgressBlock) == 20);
static_assert(offsetof(ProgressBlock, info) == 8);
static_assert(sizeof(ImageIoRequest) == 4157);
static_assert(offsetof(ImageIoRequest, signature) == 0);
static_assert(offsetof(ImageIoRequest, progressBlock) == 12);
static_assert(offsetof(ImageIoRequest, progressBlock) + offsetof(ProgressBlock, info) == 20);
static_assert(offsetof(ImageIoRequest, hostFlag1) == 32);
static_assert(offsetof(ImageIoRequest, hostFlag2) == 36);
static_assert(offsetof(ImageIoRequest, fileName) == 108);
static_assert(offsetof(ImageIoRequest, reserved620) == 620);
static_assert(offsetof(ImageIoRequest, loadPixels) == 1136);
static_assert(offsetof(ImageIoRequest, maskOption) == 1140);
static_assert(offsetof(ImageIoRequest, writeTransparent) == 1198);
static_assert(offsetof(ImageIoRequest, writeInterlaced) == 1207);
static_assert(offsetof(ImageIoRequest, infoVersion) == 1226);
static_assert(offsetof(ImageIoRequest, infoEncoding) == 1228);
static_assert(offsetof(ImageIoRequest, infoWidth) == 1230);
static_assert(offsetof(ImageIoRequest, infoHeight) == 1234);
static_assert(offsetof(ImageIoRequest, infoBitsPerSample) == 1247);
static_assert(offsetof(ImageIoRequest, infoBitsPerSample2) == 1249);
static_assert(offsetof(ImageIoRequest, infoSamplesPerPixel) == 1251);
static_assert(offsetof(ImageIoRequest, infoSamplesPerPixel2) == 1253);
static_assert(offsetof(ImageIoRequest, infoColorCount) == 1255);
static_assert(offsetof(ImageIoRequest, infoImageBytes) == 1259);
static_assert(offsetof(ImageIoRequest, infoFileSize) == 1263);
static_assert(offsetof(ImageIoRequest, multiPage) == 4125);
static_assert(offsetof(ImageIoRequest, transparentIndex) == 4133);
static_assert(offsetof(ImageIoRequest, layerCount) == 4135);
static_assert(offsetof(ImageIoRequest, layerBlock) == 4141);
static_assert(offsetof(ImageIoRequest, sourceBitmap) == 4145);

// The progress block handed to the TIFF decoders: null when the request has no callback.
inline ProgressBlock* ProgressBlockOf(ImageIoRequest* request) {
    return request->progressBlock.progress != nullptr ? &request->progressBlock : nullptr;
}

// Requests are declared with this alignment so that the ProgressInfo inside is 4-aligned.
inline constexpr std::size_t kRequestAlignment = 8;

// Sets done/total and calls the callback, if any. Returns its result (0 without a callback).
// Fields of the packed record are copied through locals: no misaligned access.
inline std::int32_t ReportProgress(ProgressBlock* block, std::uint32_t done,
                                   std::uint32_t total = 100) {
    if (block == nullptr || block->progress == nullptr) return 0;
    // The info sits at byte 20 of a request, which the entry points align to 8 bytes.
    auto* info = reinterpret_cast<ProgressInfo*>(reinterpret_cast<unsigned char*>(block) +
                                                 offsetof(ProgressBlock, info));
    info->done = done;
    info->total = total;
    return block->progress(info);
}

inline std::int32_t ReportProgress(ImageIoRequest* request, std::uint32_t done,
                                   std::uint32_t total = 100) {
    return ReportProgress(&request->progressBlock, done, total);
}

// True when the worker must refuse the record before anything else (null or wrong signature).
inline bool IsBadRequest(const ImageIoRequest* request) {
    return request == nullptr || request->signature != kRequestSignature;
}

// The first steps of every worker: refuse a null record or a wrong signature (no progress
// call), make the opening progress call (0 of 100, result ignored), refuse an empty file name.
// Returns 0 when the worker may go on, else 101.
inline std::int16_t BeginWork(ImageIoRequest* request) {
    if (IsBadRequest(request)) return QOR_BAD_REQUEST;
    ReportProgress(request, 0);
    if (request->fileName[0] == '\0') return QOR_BAD_REQUEST;
    return 0;
}

// A delivered page whose data ended before its last row: the rows from `firstBlankRow` (counted
// from the top) on hold nothing from the file. For a GIF frame composed into a layer, nothing of
// that frame: the rows show the frames before it.
struct PageEnd {
    std::uint32_t page = 0;  // 1 for the first page of the file, counting skipped pages too
    std::uint32_t firstBlankRow = 0;
};

// A delivered page of an extended read on which a damaged strip or tile left rows blank: the
// rows of the strip from the damage on (a tile's columns of them), counted from the top, and the
// status that the damage gives a classic read. The page's other strips are decoded.
struct DamagedRows {
    std::uint32_t page = 0;  // 1 for the first page of the file, counting skipped pages too
    std::uint32_t firstRow = 0;
    std::uint32_t rows = 0;
    std::int16_t status = 0;
};

// What a read may take beyond the record: the pages that it decodes (a TIFF's; a GIF has one, or
// in an extended read a layer for each frame) and the bytes that its DIBs may hold together. A
// read without one takes every page.
struct ReadScope {
    std::uint32_t firstPage = 0;    // 0 for the file's first
    std::uint32_t pageCount = 0;    // 0 for all to the last
    std::uint64_t memoryLimit = 0;  // 0 for the budget in force (plat::ReadBudget)
    bool extended = false;          // QOR_READ_EXTENDED: the codings and layouts beyond the classic
    std::uint32_t threads = 0;      // threads the read may use: 0 for the machine's, 1 for one
    std::uint64_t Budget() const { return memoryLimit != 0 ? memoryLimit : plat::ReadBudget(); }
};

// The three workers behind the entry points. Each returns a status and releases everything it
// allocated (apart from the DIBs accepted by the host layer) before it returns. A reader given
// `ended` appends, for each delivered page whose data ended before its last row, where it ended.
// The TIFF reader given `stoppedAt` writes there the page (1 = first in the file) whose decoding
// failed and so ended the read; the GIF reader, in an extended read, the frame that ended the
// layers before it. Either leaves it as it is when no page did. A reader given `scope`
// decodes only its pages (the TIFF reader then walks the chain no further than their end, and
// gives 101 when the file has no page at firstPage) and keeps its DIBs within its budget (102).
std::int16_t ReadGifWorker(ImageIoRequest* request, std::vector<PageEnd>* ended = nullptr,
                           std::uint32_t* stoppedAt = nullptr, const ReadScope* scope = nullptr);
std::int16_t WriteGifWorker(ImageIoRequest* request);
// The TIFF reader given `damaged` appends there, on success, the rows that damaged strips left
// blank in an extended read.
std::int16_t ReadTiffWorker(ImageIoRequest* request, std::vector<PageEnd>* ended = nullptr,
                            std::uint32_t* stoppedAt = nullptr, const ReadScope* scope = nullptr,
                            std::vector<DamagedRows>* damaged = nullptr);

}  // namespace qor
