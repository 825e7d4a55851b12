#include "platform/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <new>
#include <system_error>

namespace qor::plat {
namespace {

namespace fs = std::filesystem;

// Links are followed at most this often, as the kernel does (a loop then fails to open).
constexpr int kMaxLinks = 40;
constexpr int kMaxNameAttempts = 16;

// A file name that no other writer, in this process or another, is likely to pick at the same
// time; creating it exclusively settles the rare collision.
std::string TemporaryName(const fs::path& directory) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    x ^= static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    x ^= static_cast<std::uint64_t>(::getpid()) << 32;
    // Finalise (splitmix64) so that neighbouring inputs give unrelated names.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = ".qorimg-";
    for (int i = 60; i >= 0; i -= 4) name += kHex[(x >> i) & 15];
    name += ".tmp";
    return (directory / name).string();
}

// The file that writing through `name` reaches: symbolic links are followed one by one, also
// when the last one names a file that does not exist yet (which is then created).
fs::path FollowLinks(fs::path path) {
    std::error_code ec;
    for (int i = 0; i < kMaxLinks && fs::is_symlink(fs::symlink_status(path, ec)); ++i) {
        fs::path next = fs::read_symlink(path, ec);
        if (ec) break;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return path;
}

AtomicResult Begin(const char* name, AtomicFile* out) {
    fs::path target = FollowLinks(fs::path(name));
    out->target = target.string();
    struct stat st {};
    if (::stat(out->target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return AtomicResult::CreateFailed;
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe holds nothing to keep, and renaming a file over it would
            // replace the device itself: it is written in place.
            out->direct = true;
            out->file = _lcreat(out->target.c_str(), 0);
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
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        out->temporary = TemporaryName(directory);
        out->file = CreateNewFile(out->temporary.c_str());
        if (out->file != HFILE_ERROR) return AtomicResult::Ok;
        if (errno != EEXIST) break;
    }
    out->temporary.clear();
    return AtomicResult::CreateFailed;
}

// Gives the temporary file the owner, group and permission bits of the file it replaces. The
// owner can only be kept by a privileged process; the group is kept where the writer belongs to
// it. Set-user and set-group bits are dropped, as an in-place write by another user drops them.
void TakeOverAttributes(const AtomicFile& f) {
    if (::fchown(f.file, f.owner, f.group) != 0) {
        [[maybe_unused]] int ignored = ::fchown(f.file, static_cast<uid_t>(-1), f.group);
    }
    ::fchmod(f.file, static_cast<mode_t>(f.mode & 01777));
}

// Closes the stream (which flushes it) and the file; false when anything failed.
bool CloseAll(AtomicFile* f, bool ok) {
    if (f->stream != nullptr && std::fclose(f->stream) != 0) ok = false;
    f->stream = nullptr;
    if (f->file != HFILE_ERROR && _lclose(f->file) != 0) ok = false;
    f->file = HFILE_ERROR;
    return ok;
}

}  // namespace

AtomicResult BeginAtomicFile(const char* name, AtomicFile* out) {
    if (name == nullptr || name[0] == '\0') return AtomicResult::CreateFailed;
    AtomicResult result;
    try {
        result = Begin(name, out);
    } catch (const std::bad_alloc&) {
        result = AtomicResult::NoMemory;
    }
    if (result != AtomicResult::Ok && out->file != HFILE_ERROR) AbortAtomicFile(out);
    return result;
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

AtomicResult CommitAtomicFile(AtomicFile* f) {
    if (f->file == HFILE_ERROR) return AtomicResult::WriteFailed;
    bool ok = f->stream == nullptr || std::fflush(f->stream) == 0;
    if (f->direct) return CloseAll(f, ok) ? AtomicResult::Ok : AtomicResult::WriteFailed;
    if (ok && f->replaces) TakeOverAttributes(*f);
    ok = ok && FlushFileBuffers(f->file) != 0;
    if (!CloseAll(f, ok)) {
        DeleteFileA(f->temporary.c_str());
        return AtomicResult::WriteFailed;
    }
    if (MoveFileReplace(f->temporary.c_str(), f->target.c_str()) == 0) {
        DeleteFileA(f->temporary.c_str());
        return AtomicResult::RenameFailed;
    }
    // The directory entry is what a crash would lose now.
    return FlushDirectory(f->directory.c_str()) != 0 ? AtomicResult::Ok : AtomicResult::WriteFailed;
}

void AbortAtomicFile(AtomicFile* f) {
    bool hadFile = f->file != HFILE_ERROR;
    CloseAll(f, true);
    if (hadFile && !f->direct && !f->temporary.empty()) DeleteFileA(f->temporary.c_str());
}

}  // namespace qor::plat
