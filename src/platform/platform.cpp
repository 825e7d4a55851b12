#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/accounting.h"
#include "platform/memory_file.h"

namespace qor::plat {
namespace {

struct Block {
    void* data = nullptr;
    std::uint64_t size = 0;
    int locks = 0;
    std::uint32_t meter = 0;  // the read meter charged for it, or 0
};

struct State {
    std::mutex mutex;
    std::unordered_map<HGLOBAL, Block> blocks;
    // Handles are handed out in increasing order and not reused until the counter wraps, so a
    // stale handle is refused instead of reaching a newer block.
    HGLOBAL nextHandle = 0x1000;
};

State& TheState() {
    static State* state = new State;  // never destroyed: blocks may be freed at exit
    return *state;
}

// Page DIBs are large and written once from start to end, and most of the time of filling a fresh
// one is the kernel's, mapping it in a page at a time. Large blocks ask for huge pages where the
// kernel gives them on request, which maps the same block in a few hundredths of the faults.
// Only the whole huge pages inside the block are advised; the advice is a hint and its failure
// changes nothing.
constexpr std::uint64_t kHugePage = 2u << 20;
void AdviseHugePages(void* data, std::uint64_t bytes) {
#ifdef MADV_HUGEPAGE
    if (bytes < 2 * kHugePage) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::uintptr_t end = (start + bytes) & ~std::uintptr_t{kHugePage - 1};
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace

HGLOBAL GlobalAlloc(std::uint32_t flags, std::uint64_t bytes) {
    if (!detail::CountCall(testing::Op::Alloc)) return 0;
    if (bytes == 0 || bytes > kMaxBlockSize) return 0;
    std::uint32_t meter = 0;
    if (!detail::ChargeBlock(bytes, &meter)) return 0;
    // The memory is taken outside the table's lock: clearing a large block takes a while, and
    // the decoders of a read on several threads take theirs at once.
    void* data = (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
    if (data == nullptr) {
        detail::ReleaseBlock(meter, bytes);
        return 0;
    }
    AdviseHugePages(data, bytes);
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    HGLOBAL h;
    do {
        h = s.nextHandle++;
    } while (h == 0 || s.blocks.count(h) != 0);
    s.blocks.emplace(h, Block{data, bytes, 0, meter});
    detail::AddLiveBytes(bytes, 0);
    return h;
}

void* GlobalLock(HGLOBAL block) {
    if (!detail::CountCall(testing::Op::Lock)) return nullptr;
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    if (it == s.blocks.end()) return nullptr;
    ++it->second.locks;
    return it->second.data;
}

int GlobalUnlock(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    if (it == s.blocks.end()) return 0;
    if (it->second.locks > 0) --it->second.locks;
    return it->second.locks;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    if (it == s.blocks.end()) return block;
    std::free(it->second.data);
    detail::AddLiveBytes(0, it->second.size);
    detail::ReleaseBlock(it->second.meter, it->second.size);
    s.blocks.erase(it);
    return 0;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, std::uint64_t bytes, std::uint32_t flags) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    if (it == s.blocks.end() || bytes == 0 || bytes > kMaxBlockSize) return 0;
    Block& b = it->second;
    // A locked block may not move; only an unlocked movable one is resized.
    if (b.locks > 0 && bytes != b.size) return 0;
    if (!detail::RechargeBlock(b.meter, b.size, bytes)) return 0;
    void* data = std::realloc(b.data, bytes);
    if (data == nullptr) {
        detail::RechargeBlock(b.meter, bytes, b.size);
        return 0;
    }
    if (bytes > b.size) AdviseHugePages(data, bytes);
    if ((flags & GMEM_ZEROINIT) != 0 && bytes > b.size) {
        std::memset(static_cast<unsigned char*>(data) + b.size, 0, bytes - b.size);
    }
    detail::AddLiveBytes(bytes, b.size);
    b.data = data;
    b.size = bytes;
    return block;
}

std::uint64_t GlobalSize(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    return it == s.blocks.end() ? 0 : it->second.size;
}

namespace {

HFILE OpenWith(testing::Op op, const char* path, int flags) {
    if (!detail::CountCall(op)) {
        errno = EIO;
        return HFILE_ERROR;
    }
    if (path == nullptr) return HFILE_ERROR;
    if (memory::IsName(path)) {
        // Bytes in memory are read only.
        const HFILE memoryFile = op == testing::Op::Open && (flags & O_ACCMODE) == O_RDONLY
                                     ? memory::Open(path)
                                     : HFILE_ERROR;
        if (memoryFile == HFILE_ERROR) errno = ENOENT;
        if (memoryFile != HFILE_ERROR) detail::TrackFile(memoryFile);
        return memoryFile;
    }
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return HFILE_ERROR;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
        ((flags & O_NONBLOCK) != 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        ::close(fd);
        return HFILE_ERROR;
    }
    detail::TrackFile(fd);
    return fd;
}

}  // namespace

HFILE _lopen(const char* path, int mode) {
    int flags = (mode & 3) == 1 ? O_WRONLY : (mode & 3) == 2 ? O_RDWR : O_RDONLY;
    if ((mode & kOpenNoWait) != 0) flags |= O_NONBLOCK;
    return OpenWith(testing::Op::Open, path, flags);
}

HFILE OpenAgain(HFILE file) {
    if (!detail::IsOpen(file)) return HFILE_ERROR;
    if (memory::Owns(file)) {
        if (!detail::CountCall(testing::Op::Open)) return HFILE_ERROR;
        const HFILE again = memory::Again(file);
        if (again != HFILE_ERROR) detail::TrackFile(again);
        return again;
    }
    // The descriptor's own entry opens the file it names, even one renamed or removed since.
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", file);
    return OpenWith(testing::Op::Open, path, O_RDONLY);
}

HFILE _lcreat(const char* path, int /*attribute*/) {
    return OpenWith(testing::Op::Create, path, O_RDWR | O_CREAT | O_TRUNC);
}

HFILE CreateNewFile(const char* path) {
    return OpenWith(testing::Op::Create, path, O_RDWR | O_CREAT | O_EXCL);
}

std::int32_t _lread(HFILE file, void* buffer, std::uint32_t count) {
    if (!detail::BeginTransfer(testing::Op::Read, file, buffer, &count)) return -1;
    if (memory::Owns(file)) return memory::Read(file, buffer, count);
    std::uint32_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < count) {
        ssize_t n = ::read(file, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::uint32_t>(n);
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t ReadScattered(HFILE file, const ReadPiece* pieces, std::uint32_t count) {
    if (count == 0) return 0;
    std::uint32_t want = count;
    if (!detail::BeginScatteredRead(file, pieces, &want)) return -1;
    if (memory::Owns(file)) {
        std::uint32_t done = 0;
        for (std::uint32_t i = 0; i < count && done < want; ++i) {
            const std::uint32_t size = std::min(pieces[i].size, want - done);
            const std::int32_t got = memory::Read(file, pieces[i].data, size);
            if (got < 0) return -1;
            done += static_cast<std::uint32_t>(got);
            if (static_cast<std::uint32_t>(got) < size) break;
        }
        return static_cast<std::int32_t>(done);
    }
    // What a short read (or a cut from the test accounts) leaves of the pieces.
    iovec io[kMostReadPieces];
    std::uint32_t n = 0;
    for (std::uint32_t left = want; n < count && left > 0; ++n) {
        io[n].iov_base = pieces[n].data;
        io[n].iov_len = std::min(pieces[n].size, left);
        left -= static_cast<std::uint32_t>(io[n].iov_len);
    }
    std::uint32_t done = 0;
    for (iovec* at = io; done < want;) {
        const ssize_t got = ::readv(file, at, static_cast<int>(io + n - at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::uint32_t>(got);
        // Past the pieces that are full, into the one that is not.
        for (auto rest = static_cast<std::size_t>(got); rest > 0;) {
            if (rest >= at->iov_len) {
                rest -= at->iov_len;
                ++at;
            } else {
                at->iov_base = static_cast<std::uint8_t*>(at->iov_base) + rest;
                at->iov_len -= rest;
                rest = 0;
            }
        }
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t _lwrite(HFILE file, const void* buffer, std::uint32_t count) {
    if (!detail::BeginTransfer(testing::Op::Write, file, buffer, &count)) return -1;
    if (memory::Owns(file)) return -1;
    std::uint32_t done = 0;
    const auto* in = static_cast<const unsigned char*>(buffer);
    while (done < count) {
        ssize_t n = ::write(file, in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<std::int32_t>(done) : -1;
        done += static_cast<std::uint32_t>(n);
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t _llseek(HFILE file, std::int32_t offset, int origin) {
    if (!detail::IsOpen(file)) return -1;
    if (memory::Owns(file)) return memory::Seek(file, offset, origin);
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t pos = ::lseek(file, static_cast<off_t>(offset), whence);
    if (pos < 0 || pos > 0x7FFFFFFF) return -1;
    return static_cast<std::int32_t>(pos);
}

HFILE _lclose(HFILE file) {
    if (!detail::ForgetFile(file)) return HFILE_ERROR;
    bool fail = !detail::CountCall(testing::Op::Close);
    if (memory::Owns(file)) {
        memory::Close(file);
        return fail ? HFILE_ERROR : 0;
    }
    // Linux releases the descriptor even when close reports EINTR, so it is never retried. A
    // delayed write error (a full disk on a network file system) shows up here.
    if (::close(file) != 0 && errno != EINTR) fail = true;
    return fail ? HFILE_ERROR : 0;
}

namespace {

bool SyncDescriptor(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

}  // namespace

int FlushFileBuffers(HFILE file) {
    return detail::CountCall(testing::Op::Sync) && detail::IsOpen(file) && SyncDescriptor(file) ? 1
                                                                                                : 0;
}

int FlushFilesTogether(const HFILE* files, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!detail::CountCall(testing::Op::Sync) || !detail::IsOpen(files[i])) return 0;
    }
    std::vector<dev_t> devices(count);
    for (std::size_t i = 0; i < count; ++i) {
        struct stat st {};
        if (::fstat(files[i], &st) != 0) return 0;
        devices[i] = st.st_dev;
    }
    std::vector<dev_t> synced;  // file systems done
    for (std::size_t i = 0; i < count; ++i) {
        if (std::find(synced.begin(), synced.end(), devices[i]) != synced.end()) continue;
#if defined(__linux__)
        // Many files on one file system are synced in one pass over it; a few are synced each,
        // so that writing one file never waits for what other programs have left unwritten.
        // Since Linux 5.8 syncfs also reports a failed write-back of any file on the file system.
        constexpr std::ptrdiff_t kFilesForOnePass = 8;
        if (std::count(devices.begin(), devices.end(), devices[i]) >= kFilesForOnePass &&
            ::syncfs(files[i]) == 0) {
            synced.push_back(devices[i]);
            continue;
        }
#endif
        if (!SyncDescriptor(files[i])) return 0;
    }
    return 1;
}

int FlushDirectory(const char* path) {
    if (!detail::CountCall(testing::Op::Sync) || path == nullptr) return 0;
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    // Some file systems cannot sync a directory at all; their renames are as safe as they get.
    bool ok = SyncDescriptor(fd) || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok ? 1 : 0;
}

std::uint32_t GetFileSize(HFILE file, std::uint32_t* high) {
    if (!detail::IsOpen(file)) return 0xFFFFFFFFu;
    std::uint64_t size = 0;
    if (memory::Owns(file)) {
        size = memory::Size(file);
    } else {
        struct stat st {};
        if (::fstat(file, &st) != 0) return 0xFFFFFFFFu;
        size = static_cast<std::uint64_t>(st.st_size);
    }
    if (high != nullptr) *high = static_cast<std::uint32_t>(size >> 32);
    return static_cast<std::uint32_t>(size);
}

int DeleteFileA(const char* path) {
    return path != nullptr && ::unlink(path) == 0 ? 1 : 0;
}

int MoveFileReplace(const char* from, const char* to) {
    return from != nullptr && to != nullptr && std::rename(from, to) == 0 ? 1 : 0;
}

namespace testing {

std::uint64_t LiveBlocks() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.blocks.size();
}

int LockCount(std::uint32_t block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    return it == s.blocks.end() ? 0 : it->second.locks;
}

}  // namespace testing
}  // namespace qor::plat
