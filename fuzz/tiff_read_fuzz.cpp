// Feeds arbitrary bytes to the TIFF reader as a file. Any status is fine; a crash, a hang, a
// sanitizer report or a leaked block or file is not.
#include <cstdint>

#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);
    std::uint32_t dib = 0;
    if (QorReadTIF(nullptr, 0, path.c_str(), &dib) == 0) {
        if (QorReleaseDocument(dib) != 0) qor::fuzz::Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    return 0;
}
