#include "spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "progress.h"

namespace qorimg_tool {
namespace {

// The largest file the library reads to its end: its file positions are signed 32-bit (a seek
// reaches offset 0x7FFFFFFF and no further), so that is the last byte it can get at.
constexpr std::uint64_t kLargestReadableFile = std::uint64_t{1} << 31;

// The most that standard input may hold. QORIMG_TEST_INPUT_LIMIT can lower it, so that the test
// suite can try the limit without writing gigabytes; it cannot raise it.
std::uint64_t InputLimit() {
    const char* text = std::getenv("QORIMG_TEST_INPUT_LIMIT");
    if (text == nullptr || *text == '\0') return kLargestReadableFile;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    return *end == '\0' && v < kLargestReadableFile ? v : kLargestReadableFile;
}

std::string TooLong(std::uint64_t limit) {
    return "more than " + std::to_string(limit) +
           " bytes: qorimg reads files of at most that size (its file positions are 32-bit)";
}

// Copies everything from `in` to `out`, at most `limit` bytes; stops early when the run is
// cancelled.
std::string CopyAll(int in, int out,
                    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max()) {
    char buffer[1 << 16];
    std::uint64_t total = 0;
    for (;;) {
        if (Cancelled()) return "cancelled";
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) return {};
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::string("cannot read: ") + std::strerror(errno);
        }
        total += static_cast<std::uint64_t>(got);
        if (total > limit) return TooLong(limit);
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR && !Cancelled()) continue;
                return std::string("cannot write: ") + std::strerror(errno);
            }
            done += put;
        }
    }
}

}  // namespace

SpoolFile::~SpoolFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

std::string SpoolFile::Create(const std::string& suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                       "/qorimg-spool-XXXXXX" + suffix;
    int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) return std::string("cannot create a temporary file: ") + std::strerror(errno);
    ::close(fd);
    path_ = name;
    return {};
}

std::string SpoolStandardInput(SpoolFile* spool) {
    const std::uint64_t limit = InputLimit();
    // A file given as standard input shows its size, and one too large is not copied at all.
    struct stat info {};
    if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) > limit) {
        return TooLong(limit);
    }
    if (std::string why = spool->Create(""); !why.empty()) return why;
    int out = ::open(spool->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) return std::string("cannot open the temporary file: ") + std::strerror(errno);
    std::string why = CopyAll(STDIN_FILENO, out, limit);
    if (::close(out) != 0 && why.empty())
        why = std::string("cannot write: ") + std::strerror(errno);
    return why;
}

std::string CopyToStandardOutput(const std::string& path) {
    int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return std::string("cannot open the temporary file: ") + std::strerror(errno);
    std::string why = CopyAll(in, STDOUT_FILENO);
    ::close(in);
    return why;
}

}  // namespace qorimg_tool
