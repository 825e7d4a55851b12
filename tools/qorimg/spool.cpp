#include "spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "progress.h"

namespace qorimg_tool {
namespace {

// Copies everything from `in` to `out`; stops early when the run is cancelled.
std::string CopyAll(int in, int out) {
    char buffer[1 << 16];
    for (;;) {
        if (Cancelled()) return "cancelled";
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) return {};
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::string("cannot read: ") + std::strerror(errno);
        }
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
    if (std::string why = spool->Create(""); !why.empty()) return why;
    int out = ::open(spool->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) return std::string("cannot open the temporary file: ") + std::strerror(errno);
    std::string why = CopyAll(STDIN_FILENO, out);
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
