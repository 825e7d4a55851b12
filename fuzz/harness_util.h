// What every harness shares: the input written to a scratch file of this process, the check that
// nothing was left behind, and how a finding is reported (a message on stderr, then abort, which
// both libFuzzer and the replay test catch).
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/bytes.h"
#include "platform/testing.h"
#include "qorimg/qorimg.h"

namespace qor::fuzz {

// A file of this process's own, made once and removed at exit.
inline const std::string& ScratchPath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/qorimg-fuzz-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        // QORIMG_FUZZ_KEEP=1 keeps the file for a look at the input that a harness wrote.
        if (std::getenv("QORIMG_FUZZ_KEEP") == nullptr) {
            std::atexit([] { std::remove(ScratchPath().c_str()); });
        } else {
            std::fprintf(stderr, "scratch file: %s\n", pattern);
        }
        return std::string(pattern);
    }();
    return path;
}

// A second scratch file, for harnesses that write one file and read another.
inline const std::string& ScratchPath2() {
    static const std::string path = ScratchPath() + ".2";
    static const bool removed = std::atexit([] { std::remove(ScratchPath2().c_str()); }) == 0;
    (void)removed;
    return path;
}

inline const std::string& WriteScratch(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

[[noreturn]] inline void Finding(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("FINDING: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

// Every read and write must leave no block and no file behind.
inline void CheckNothingLeft(std::uint64_t blocksBefore) {
    if (plat::testing::LiveBlocks() != blocksBefore) Finding("a memory block was leaked");
    if (plat::testing::OpenFiles() != 0) Finding("a file was left open");
}

// The pixel count of a delivered DIB, from its header: very large images are released without
// being copied out, as copying and comparing them would outlast the fuzzer's time limit.
inline std::uint64_t DibPixels(QorHandle dib) {
    const auto* p = static_cast<const std::uint8_t*>(QorGlobalLock(dib));
    if (p == nullptr) Finding("the delivered DIB cannot be locked");
    const std::uint64_t pixels = std::uint64_t{LoadLE32(p + 4)} * LoadLE32(p + 8);
    QorGlobalUnlock(dib);
    return pixels;
}

// Takes bytes from the front of a fuzz input; zeros once it runs out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t Below(std::uint32_t n) {  // 0 to n - 1, from two bytes
        std::uint32_t v = Byte();
        v = v << 8 | Byte();
        return n == 0 ? 0 : v % n;
    }
    bool Bit() { return (Byte() & 1) != 0; }
    const std::uint8_t* rest() const { return data_ + at_; }
    std::size_t left() const { return size_ - at_; }
    void Skip(std::size_t n) { at_ += n < left() ? n : left(); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace qor::fuzz
