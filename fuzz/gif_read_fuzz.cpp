// libFuzzer harness for the GIF reader: every input is written to a temporary file and read with
// QorReadGIF; the document is released, and afterwards no block and no file may remain.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/testing.h"
#include "qorimg/qorimg.h"

namespace {

const std::string& InputPath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/qorimg-fuzz-gif-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        std::string made = pattern;
        std::atexit([] { std::remove(InputPath().c_str()); });
        return made;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = InputPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    QorHandle dib = 0;
    std::int16_t transparent = 0;
    if (QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent) == 0) {
        if (QorReleaseDocument(dib) != 0) std::abort();
    }
    if (qor::plat::testing::LiveBlocks() != 0 || qor::plat::testing::OpenFiles() != 0) {
        std::abort();
    }
    return 0;
}
