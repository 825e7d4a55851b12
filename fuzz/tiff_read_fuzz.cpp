// Feeds arbitrary bytes to the TIFF reader as a file, read classic and extended (Deflate, JPEG,
// tiles, planes, 16-bit samples, orientation), the extended read under a 256 MiB limit. Any
// status is fine; a crash, a hang, a sanitizer report or a leaked block or file is not. Every
// page that the classic read delivers, the extended one delivers too.
#include <cstdint>

#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);
    std::uint32_t dib = 0;
    std::uint32_t classicLayers = 0;
    const std::int16_t classic = QorReadTIF(nullptr, 0, path.c_str(), &dib);
    if (classic == 0) {
        classicLayers = QorDocumentLayers(dib, nullptr, 0);
        if (QorReleaseDocument(dib) != 0) qor::fuzz::Finding("the document cannot be released");
    }
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = QOR_READ_EXTENDED;
    options.memoryLimit = std::uint64_t{256} << 20;
    dib = 0;
    const std::int16_t extended = QorReadTIFEx(nullptr, 0, path.c_str(), &options, &dib);
    if (extended == 0) {
        const std::uint32_t layers = QorDocumentLayers(dib, nullptr, 0);
        if (classic == 0 && layers < classicLayers) {
            qor::fuzz::Finding("the extended read delivers %u pages, the classic %u", layers,
                               classicLayers);
        }
        if (QorReleaseDocument(dib) != 0) qor::fuzz::Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    return 0;
}
