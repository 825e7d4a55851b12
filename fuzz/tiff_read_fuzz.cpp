// Feeds arbitrary bytes to the TIFF reader as a file. Any status is fine; a crash, a hang, a
// sanitizer report or a leaked block or file is not.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/testing.h"
#include "qorimg/qorimg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        std::string p = "/tmp/qorimg-fuzz-tiff-" + std::to_string(::getpid());
        return p;
    }();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    std::uint32_t dib = 0;
    if (QorReadTIF(nullptr, 0, path.c_str(), &dib) == 0) QorReleaseDocument(dib);
    if (qor::plat::testing::LiveBlocks() != blocks || qor::plat::testing::OpenFiles() != 0) {
        std::fprintf(stderr, "leaked a block or a file\n");
        std::abort();
    }
    return 0;
}
