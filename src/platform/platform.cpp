#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/testing.h"

namespace qor::plat {
namespace {

struct Block {
    void* data = nullptr;
    std::uint64_t size = 0;
    int locks = 0;
};

struct Fault {
    std::uint64_t nth = 0;  // 0 = none
    std::uint32_t shortBy = 0;
};

struct State {
    std::mutex mutex;
    std::unordered_map<HGLOBAL, Block> blocks;
    // Handles are handed out in increasing order and not reused until the counter wraps, so a
    // stale handle is refused instead of reaching a newer block.
    HGLOBAL nextHandle = 0x1000;
    std::unordered_set<int> files;
    testing::Counts counts;
    Fault faults[8];
    std::uint64_t liveBytes = 0;  // the sizes of all live blocks
    std::uint64_t peakBytes = 0;  // the most that liveBytes reached since the last ResetPeak
    std::uint32_t readCap = 0;  // 0, or the most bytes one read transfers
};

void AddLiveBytes(State& s, std::uint64_t added, std::uint64_t removed) {
    s.liveBytes = s.liveBytes + added - removed;
    if (s.liveBytes > s.peakBytes) s.peakBytes = s.liveBytes;
}

std::atomic<std::uint64_t> gReadBudget{kReadBudget};

State& TheState() {
    static State* state = new State;  // never destroyed: blocks may be freed at exit
    return *state;
}

std::uint64_t& Counter(testing::Counts& c, testing::Op op) {
    switch (op) {
        case testing::Op::Alloc:
            return c.allocs;
        case testing::Op::Lock:
            return c.locks;
        case testing::Op::Read:
            return c.reads;
        case testing::Op::Write:
            return c.writes;
        case testing::Op::Open:
            return c.opens;
        case testing::Op::Create:
            return c.creates;
        case testing::Op::Sync:
            return c.syncs;
        case testing::Op::Close:
            break;
    }
    return c.closes;
}

// Counts one call of `op` (the state's mutex must be held) and reports an injected fault:
// returns false when the call must fail, and sets *shortBy for a short transfer.
bool CountCall(State& s, testing::Op op, std::uint32_t* shortBy = nullptr) {
    std::uint64_t n = ++Counter(s.counts, op);
    const Fault& f = s.faults[static_cast<int>(op)];
    if (f.nth == 0 || f.nth != n) return true;
    if (f.shortBy > 0 && shortBy != nullptr) {
        *shortBy = f.shortBy;
        return true;
    }
    return false;
}

}  // namespace

HGLOBAL GlobalAlloc(std::uint32_t flags, std::uint64_t bytes) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!CountCall(s, testing::Op::Alloc)) return 0;
    if (bytes == 0 || bytes > kMaxBlockSize) return 0;
    void* data = (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
    if (data == nullptr) return 0;
    HGLOBAL h;
    do {
        h = s.nextHandle++;
    } while (h == 0 || s.blocks.count(h) != 0);
    s.blocks.emplace(h, Block{data, bytes, 0});
    AddLiveBytes(s, bytes, 0);
    return h;
}

void* GlobalLock(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!CountCall(s, testing::Op::Lock)) return nullptr;
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
    AddLiveBytes(s, 0, it->second.size);
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
    void* data = std::realloc(b.data, bytes);
    if (data == nullptr) return 0;
    if ((flags & GMEM_ZEROINIT) != 0 && bytes > b.size) {
        std::memset(static_cast<unsigned char*>(data) + b.size, 0, bytes - b.size);
    }
    AddLiveBytes(s, bytes, b.size);
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
    State& s = TheState();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (!CountCall(s, op)) {
            errno = EIO;
            return HFILE_ERROR;
        }
    }
    if (path == nullptr) return HFILE_ERROR;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return HFILE_ERROR;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return HFILE_ERROR;
    }
    std::lock_guard<std::mutex> guard(s.mutex);
    s.files.insert(fd);
    return fd;
}

bool IsOpen(HFILE file) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.files.count(file) != 0;
}

}  // namespace

HFILE _lopen(const char* path, int mode) {
    int flags = (mode & 3) == 1 ? O_WRONLY : (mode & 3) == 2 ? O_RDWR : O_RDONLY;
    return OpenWith(testing::Op::Open, path, flags);
}

HFILE _lcreat(const char* path, int /*attribute*/) {
    return OpenWith(testing::Op::Create, path, O_RDWR | O_CREAT | O_TRUNC);
}

HFILE CreateNewFile(const char* path) {
    return OpenWith(testing::Op::Create, path, O_RDWR | O_CREAT | O_EXCL);
}

namespace {

// The checks and fault injection shared by reads and writes. Returns false when the transfer
// must fail; otherwise *count is what is to be transferred (less when a short one is injected).
bool BeginTransfer(testing::Op op, HFILE file, const void* buffer, std::uint32_t* count) {
    std::uint32_t shortBy = 0;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> guard(s.mutex);
        if (!CountCall(s, op, &shortBy)) return false;
        if (s.files.count(file) == 0) return false;
        if (op == testing::Op::Read && s.readCap != 0 && *count > s.readCap + shortBy) {
            shortBy = *count - s.readCap;
        }
    }
    if (*count > 0x7FFFFFFFu || (buffer == nullptr && *count > 0)) return false;
    *count = shortBy >= *count ? 0 : *count - shortBy;
    return true;
}

}  // namespace

std::int32_t _lread(HFILE file, void* buffer, std::uint32_t count) {
    if (!BeginTransfer(testing::Op::Read, file, buffer, &count)) return -1;
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

std::int32_t _lwrite(HFILE file, const void* buffer, std::uint32_t count) {
    if (!BeginTransfer(testing::Op::Write, file, buffer, &count)) return -1;
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
    if (!IsOpen(file)) return -1;
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t pos = ::lseek(file, static_cast<off_t>(offset), whence);
    if (pos < 0 || pos > 0x7FFFFFFF) return -1;
    return static_cast<std::int32_t>(pos);
}

HFILE _lclose(HFILE file) {
    State& s = TheState();
    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.files.erase(file) == 0) return HFILE_ERROR;
        fail = !CountCall(s, testing::Op::Close);
    }
    // Linux releases the descriptor even when close reports EINTR, so it is never retried. A
    // delayed write error (a full disk on a network file system) shows up here.
    if (::close(file) != 0 && errno != EINTR) fail = true;
    return fail ? HFILE_ERROR : 0;
}

namespace {

bool CountSync() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return CountCall(s, testing::Op::Sync);
}

bool SyncDescriptor(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

}  // namespace

int FlushFileBuffers(HFILE file) {
    return CountSync() && IsOpen(file) && SyncDescriptor(file) ? 1 : 0;
}

int FlushDirectory(const char* path) {
    if (!CountSync() || path == nullptr) return 0;
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    // Some file systems cannot sync a directory at all; their renames are as safe as they get.
    bool ok = SyncDescriptor(fd) || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok ? 1 : 0;
}

std::uint32_t GetFileSize(HFILE file, std::uint32_t* high) {
    if (!IsOpen(file)) return 0xFFFFFFFFu;
    struct stat st {};
    if (::fstat(file, &st) != 0) return 0xFFFFFFFFu;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (high != nullptr) *high = static_cast<std::uint32_t>(size >> 32);
    return static_cast<std::uint32_t>(size);
}

int DeleteFileA(const char* path) {
    return path != nullptr && ::unlink(path) == 0 ? 1 : 0;
}

int MoveFileReplace(const char* from, const char* to) {
    return from != nullptr && to != nullptr && std::rename(from, to) == 0 ? 1 : 0;
}

std::uint64_t ReadBudget() { return gReadBudget.load(std::memory_order_relaxed); }

namespace testing {

void SetReadBudget(std::uint64_t bytes) {
    gReadBudget.store(bytes != 0 ? bytes : kReadBudget, std::memory_order_relaxed);
}

void FailNth(Op op, std::uint64_t n, std::uint32_t shortBy) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.faults[static_cast<int>(op)] = Fault{n, shortBy};
}

void CapReads(std::uint32_t most) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.readCap = most;
}

void Reset() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    for (Fault& f : s.faults) f = Fault{};
    s.readCap = 0;
    s.counts = Counts{};
}

Counts CallCounts() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.counts;
}

std::uint64_t LiveBlocks() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.blocks.size();
}

std::uint64_t OpenFiles() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.files.size();
}

std::uint64_t LiveBytes() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.liveBytes;
}

std::uint64_t PeakBytes() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.peakBytes;
}

void ResetPeak() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.peakBytes = s.liveBytes;
}

int LockCount(std::uint32_t block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(block);
    return it == s.blocks.end() ? 0 : it->second.locks;
}

}  // namespace testing
}  // namespace qor::plat
