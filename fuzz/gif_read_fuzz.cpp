// libFuzzer harness for the GIF reader: every input is written to a temporary file and read with
// QorReadGIF; the document is released, and afterwards no block and no file may remain.
#include <cstdint>

#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    if (QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent) == 0) {
        if (QorReleaseDocument(dib) != 0) qor::fuzz::Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    return 0;
}
