// The atomic-file writer's POSIX part: symbolic links followed, permissions, owner and group
// carried over, a stdio stream over a duplicated descriptor.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/atomic_file_system.h"

namespace qor::plat {
namespace {

namespace fs = std::filesystem;

// Links are followed at most this often, as the kernel does.
constexpr int kMaxLinks = 40;

// The file that writing through `*path` reaches: symbolic links are followed one by one, also
// when the last one names a file that does not exist yet (which is then created). False, as
// the kernel's ELOOP, for a loop or a chain longer than kMaxLinks, and for a link that cannot
// be read: such a name is refused, not replaced by a regular file.
bool FollowLinks(fs::path* path) {
    std::error_code ec;
    for (int i = 0; fs::is_symlink(fs::symlink_status(*path, ec)); ++i) {
        if (i == kMaxLinks) return false;
        fs::path next = fs::read_symlink(*path, ec);
        if (ec) return false;
        *path = next.is_absolute() ? next : path->parent_path() / next;
    }
    return true;
}

}  // namespace

AtomicResult detail::BeginOnSystem(const char* name, AtomicFile* out) {
    fs::path target(name);
    if (!FollowLinks(&target)) return AtomicResult::CreateFailed;
    out->target = target.string();
    struct stat st {};
    if (::stat(out->target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return AtomicResult::CreateFailed;
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe holds nothing to keep, and renaming a file over it would
            // replace the device itself: it is written in place.
            out->direct = true;
            // A pipe is opened without waiting for a reader: with none, nothing would take the
            // bytes, so the open fails rather than blocking or writing them to nobody.
            out->file = _lopen(out->target.c_str(), 1 | kOpenNoWait);
            return out->file != HFILE_ERROR ? AtomicResult::Ok : AtomicResult::CreateFailed;
        }
        // A file that could not be written in place (read-only) is not replaced either.
        HFILE probe = _lopen(out->target.c_str(), 1);
        if (probe == HFILE_ERROR) return AtomicResult::CreateFailed;
        _lclose(probe);
        out->replaces = true;
        out->mode = st.st_mode;
        out->owner = st.st_uid;
        out->group = st.st_gid;
    }
    fs::path directory = target.parent_path();
    out->directory = directory.empty() ? "." : directory.string();
    const std::string prefix = directory.empty() ? std::string() : (directory / "").string();
    return detail::CreateTemporary(prefix, static_cast<std::uint64_t>(::getpid()), out);
}

// Gives the temporary file the owner, group and permission bits of the file it replaces. The
// owner can only be kept by a privileged process; the group is kept where the writer belongs to
// it. Set-user and set-group bits are dropped, as an in-place write by another user drops them.
void detail::TakeOverAttributes(const AtomicFile& f) {
    if (::fchown(f.file, f.owner, f.group) != 0) {
        [[maybe_unused]] int ignored = ::fchown(f.file, static_cast<uid_t>(-1), f.group);
    }
    ::fchmod(f.file, static_cast<mode_t>(f.mode & 01777));
}

std::FILE* AtomicFileStream(AtomicFile* file) {
    if (file->stream == nullptr && file->file != HFILE_ERROR) {
        int fd = ::dup(file->file);
        if (fd < 0) return nullptr;
        file->stream = ::fdopen(fd, "wb");
        if (file->stream == nullptr) ::close(fd);
    }
    return file->stream;
}

}  // namespace qor::plat
