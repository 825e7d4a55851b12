// Internal form of the reader entry points that also hands back the information fields that the
// reader wrote into the request. The command-line tool uses it; it is not exported.
#pragma once

#include <cstdint>
#include <vector>

#include "record/request.h"

namespace qor {

struct ReadInfo {
    std::uint16_t version = 0;   // GIF: the version digit (7 or 9); TIFF: 0
    std::uint16_t encoding = 0;  // GIF: 1 when interlaced; TIFF: the first page's compression
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t samplesPerPixel = 0;
    std::uint32_t colorCount = 0;
    std::uint32_t imageBytes = 0;
    std::uint32_t fileSize = 0;
    std::int16_t transparentIndex = -1;
    std::uint32_t multiPage = 0;
    std::uint16_t layerCount = 0;
    std::vector<PageEnd> endedEarly;  // filled on success
    // TIFF, extended reads, on success: the rows that damaged strips or tiles left blank.
    std::vector<DamagedRows> damaged;
    // TIFF, after a failed read: the page (1 = first in the file) whose decoding failed and ended
    // the read; 0 when the read failed before decoding (header, directories, every page refused).
    // GIF, after an extended read that succeeded: the frame that could not be decoded and ended
    // the layers before it; 0 when every frame was delivered.
    std::uint32_t stoppedAtPage = 0;
};

enum class ReadFormat { Gif, Tiff };

// The threads that the environment variable QORIMG_THREADS asks a read for, as
// QorReadOptions.threads takes them: its decimal count, or 0 (the machine's processors) when it
// is absent or no count. The classic entry points read it; so does the tool.
std::uint32_t ThreadsOfEnvironment();
// The value of QORIMG_THREADS when it is set but no decimal count ("abc", "-1", a count past
// 2^32 - 1), which reads take as absent; null otherwise. The tool warns of it.
const char* UnusableThreadsOfEnvironment();

// Runs the reader for `format` exactly as QorReadGIFEx / QorReadTIFEx do with `options` (null for
// QorReadGIF / QorReadTIF). The information fields are copied to *info whatever the status (they
// may be partly filled after a failure); *result is written only on success.
std::int16_t ReadWithInfo(ReadFormat format, ProgressProc progress, std::uint32_t userValue,
                          const char* fileName, ReadInfo* info, std::uint32_t* result,
                          const QorReadOptions* options = nullptr);

}  // namespace qor
