// The platform layer on Windows: the kernel's own movable blocks and classic file calls, with the
// test accounting wrapped around them.
//
// On 32-bit Windows a handle is the kernel's HGLOBAL itself, so a host may hand us blocks it
// allocated and free the DIBs we deliver with the kernel's calls. A 64-bit HGLOBAL does not fit
// the record's 32-bit handle fields, so there handles are 32-bit ids of real kernel blocks,
// handed out in increasing order like the POSIX layer's and resolved only here.
//
// Both kinds are, like the POSIX layer's ids, not reused soon after a free through this layer:
// the kernel gives a freed handle's value to the very next GlobalAlloc, so on 32-bit Windows a
// freed movable block is discarded (its memory freed) and its handle kept for a while before it
// goes back to the kernel. Until then the value names no block, for the host's allocations as for
// ours, and the host document layer, which checks its documents' layers by handle, sees the layer
// gone.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/accounting.h"
#include "platform/memory_file.h"
#include "platform/platform.h"

// Last: it defines macros that clash with the library's names.
#include "platform/win32.h"

namespace qor::plat {
namespace {

constexpr UINT kKernelFlags = GMEM_MOVEABLE | GMEM_ZEROINIT;

struct Block {
    ::HGLOBAL kernel = nullptr;
    bool movable = false;       // only a movable block can be discarded and its handle held back
    std::uint32_t meter = 0;    // the read meter charged for it, or 0
    std::uint64_t charged = 0;  // what it was charged: the size asked (the kernel may round up)
};

// How many freed handles are held back at most (32-bit Windows); the kernel has room for 65536
// movable handles in a process.
constexpr std::size_t kHeldBack = 1024;

struct State {
    std::mutex mutex;
    std::unordered_map<HGLOBAL, Block> blocks;  // the blocks allocated through this layer
    HGLOBAL nextId = 0x1000;                    // 64-bit Windows only
    std::deque<::HGLOBAL> heldBack;             // 32-bit Windows only, oldest first
};

State& TheState() {
    static State* state = new State;  // never destroyed: blocks may be freed at exit
    return *state;
}

// The kernel block behind `block`, or null when it is not a live block (the mutex must be held).
::HGLOBAL KernelBlock(State& s, HGLOBAL block) {
    auto it = s.blocks.find(block);
    if (it != s.blocks.end()) return it->second.kernel;
#ifdef _WIN64
    return nullptr;
#else
    // A block the host allocated itself, if the kernel knows it and it has memory (a held-back
    // handle is discarded).
    auto h = reinterpret_cast<::HGLOBAL>(static_cast<std::uintptr_t>(block));
    UINT flags = block != 0 ? ::GlobalFlags(h) : GMEM_INVALID_HANDLE;
    return flags != GMEM_INVALID_HANDLE && (flags & GMEM_DISCARDED) == 0 ? h : nullptr;
#endif
}

HGLOBAL Remember(State& s, ::HGLOBAL h, bool movable, std::uint32_t meter, std::uint64_t charged) {
#ifdef _WIN64
    HGLOBAL id;
    do {
        id = s.nextId++;
    } while (id == 0 || s.blocks.count(id) != 0);
#else
    auto id = static_cast<HGLOBAL>(reinterpret_cast<std::uintptr_t>(h));
#endif
    s.blocks[id] = Block{h, movable, meter, charged};
    return id;
}

// Frees a kernel block; on 32-bit Windows a movable one is discarded instead (its memory freed)
// and its handle held back, and the oldest held-back handle goes back to the kernel. Returns false
// when the kernel refuses (the block stays as it was).
bool FreeKernelBlock([[maybe_unused]] State& s, ::HGLOBAL h, [[maybe_unused]] bool movable) {
#ifndef _WIN64
    // Discarding (GlobalDiscard, which the library's own GlobalReAlloc would hide) fails for a
    // locked block, which is then freed at once.
    if (movable && ::GlobalReAlloc(h, 0, GMEM_MOVEABLE) == h) {
        s.heldBack.push_back(h);
        if (s.heldBack.size() > kHeldBack) {
            ::HGLOBAL oldest = s.heldBack.front();
            s.heldBack.pop_front();
            // Unless the host has freed the handle itself and the kernel reused the value.
            if ((::GlobalFlags(oldest) & GMEM_DISCARDED) != 0) ::GlobalFree(oldest);
        }
        return true;
    }
#endif
    return ::GlobalFree(h) == nullptr;
}

HANDLE KernelFile(HFILE file) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}

}  // namespace

HGLOBAL GlobalAlloc(std::uint32_t flags, std::uint64_t bytes) {
    if (!detail::CountCall(testing::Op::Alloc)) return 0;
    if (bytes == 0 || bytes > kMaxBlockSize) return 0;
    std::uint32_t meter = 0;
    if (!detail::ChargeBlock(bytes, &meter)) return 0;
    ::HGLOBAL h = ::GlobalAlloc(flags & kKernelFlags, static_cast<SIZE_T>(bytes));
    if (h == nullptr) {
        detail::ReleaseBlock(meter, bytes);
        return 0;
    }
    detail::AddLiveBytes(::GlobalSize(h), 0);
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return Remember(s, h, (flags & GMEM_MOVEABLE) != 0, meter, bytes);
}

void* GlobalLock(HGLOBAL block) {
    if (!detail::CountCall(testing::Op::Lock)) return nullptr;
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    return h != nullptr ? ::GlobalLock(h) : nullptr;
}

int GlobalUnlock(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    if (h == nullptr) return 0;
    ::GlobalUnlock(h);
    return static_cast<int>(::GlobalFlags(h) & GMEM_LOCKCOUNT);
}

HGLOBAL GlobalFree(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    if (h == nullptr) return block;
    auto it = s.blocks.find(block);
    const bool ours = it != s.blocks.end();
    SIZE_T size = ::GlobalSize(h);
    // A block the host allocated itself goes straight back to the kernel.
    if (!FreeKernelBlock(s, h, ours && it->second.movable)) return block;
    if (ours) {
        detail::AddLiveBytes(0, size);
        detail::ReleaseBlock(it->second.meter, it->second.charged);
        s.blocks.erase(it);
    }
    return 0;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, std::uint64_t bytes, std::uint32_t flags) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    if (h == nullptr || bytes == 0 || bytes > kMaxBlockSize) return 0;
    // A locked block may not move; only an unlocked movable one is resized.
    if ((::GlobalFlags(h) & GMEM_LOCKCOUNT) != 0 && bytes != ::GlobalSize(h)) return 0;
    SIZE_T before = ::GlobalSize(h);
    auto it = s.blocks.find(block);
    const std::uint32_t meter = it != s.blocks.end() ? it->second.meter : 0;
    const std::uint64_t charged = it != s.blocks.end() ? it->second.charged : 0;
    if (!detail::RechargeBlock(meter, charged, bytes)) return 0;
    ::HGLOBAL moved = ::GlobalReAlloc(h, static_cast<SIZE_T>(bytes), flags & kKernelFlags);
    if (moved == nullptr) {
        detail::RechargeBlock(meter, bytes, charged);
        return 0;
    }
    detail::AddLiveBytes(::GlobalSize(moved), before);
    if (it != s.blocks.end()) it->second.charged = bytes;
    if (moved == h) return block;
    // Only a fixed block changes its handle when it moves.
    s.blocks.erase(block);
    return Remember(s, moved, false, meter, bytes);
}

std::uint64_t GlobalSize(HGLOBAL block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    return h != nullptr ? ::GlobalSize(h) : 0;
}

namespace {

// Names are passed to the kernel as they are: bytes in the ANSI code page, as the host gives them.
HFILE Track(HFILE file) {
    if (file != HFILE_ERROR) detail::TrackFile(file);
    return file;
}

}  // namespace

HFILE _lopen(const char* path, int mode) {
    if (!detail::CountCall(testing::Op::Open) || path == nullptr) return HFILE_ERROR;
    // Bytes in memory are read only.
    if (memory::IsName(path)) return Track((mode & 3) == 0 ? memory::Open(path) : HFILE_ERROR);
    return Track(::_lopen(path, mode & 3));
}

HFILE OpenAgain(HFILE file) {
    if (!detail::IsOpen(file) || !detail::CountCall(testing::Op::Open)) return HFILE_ERROR;
    if (memory::Owns(file)) return Track(memory::Again(file));
    // The same file object, opened anew: a handle with a file pointer of its own. The classic
    // open shares reading and writing with others.
    HANDLE h = ::ReOpenFile(KernelFile(file), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (h == INVALID_HANDLE_VALUE) return HFILE_ERROR;
    return Track(static_cast<HFILE>(reinterpret_cast<std::intptr_t>(h)));
}

HFILE _lcreat(const char* path, int /*attribute*/) {
    if (!detail::CountCall(testing::Op::Create) || path == nullptr || memory::IsName(path)) {
        return HFILE_ERROR;
    }
    return Track(::_lcreat(path, 0));
}

HFILE CreateNewFile(const char* path) {
    if (!detail::CountCall(testing::Op::Create) || path == nullptr || memory::IsName(path)) {
        errno = EIO;
        return HFILE_ERROR;
    }
    // CREATE_NEW fails on any existing name, a link included. The kernel's file handles fit in
    // 32 bits on 64-bit Windows too, and the classic file calls take them as HFILEs.
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST : EIO;
        return HFILE_ERROR;
    }
    return Track(static_cast<HFILE>(reinterpret_cast<std::intptr_t>(h)));
}

std::int32_t _lread(HFILE file, void* buffer, std::uint32_t count) {
    if (!detail::BeginTransfer(testing::Op::Read, file, buffer, &count)) return -1;
    if (memory::Owns(file)) return memory::Read(file, buffer, count);
    if (count == 0) return 0;
    UINT done = ::_lread(file, buffer, count);
    return done == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<std::int32_t>(done);
}

std::int32_t ReadScattered(HFILE file, const ReadPiece* pieces, std::uint32_t count) {
    if (count == 0) return 0;
    std::uint32_t want = count;
    if (!detail::BeginScatteredRead(file, pieces, &want)) return -1;
    // The kernel has no scattered read of a file opened for cached reads: one read per piece.
    std::uint32_t done = 0;
    for (std::uint32_t i = 0; i < count && done < want; ++i) {
        const UINT size = std::min(pieces[i].size, want - done);
        const UINT got = memory::Owns(file)
                             ? static_cast<UINT>(memory::Read(file, pieces[i].data, size))
                             : ::_lread(file, pieces[i].data, size);
        if (got == static_cast<UINT>(HFILE_ERROR)) return -1;
        done += got;
        if (got < size) break;
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t _lwrite(HFILE file, const void* buffer, std::uint32_t count) {
    if (!detail::BeginTransfer(testing::Op::Write, file, buffer, &count)) return -1;
    if (memory::Owns(file)) return -1;
    // The kernel truncates the file on a write of 0 bytes.
    if (count == 0) return 0;
    UINT done = ::_lwrite(file, static_cast<LPCCH>(buffer), count);
    return done == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<std::int32_t>(done);
}

std::int32_t _llseek(HFILE file, std::int32_t offset, int origin) {
    if (!detail::IsOpen(file)) return -1;
    if (memory::Owns(file)) return memory::Seek(file, offset, origin);
    LONG pos = ::_llseek(file, offset, origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : 0);
    return pos < 0 ? -1 : pos;
}

HFILE _lclose(HFILE file) {
    if (!detail::ForgetFile(file)) return HFILE_ERROR;
    bool fail = !detail::CountCall(testing::Op::Close);
    if (memory::Owns(file)) {
        memory::Close(file);
    } else if (::_lclose(file) == HFILE_ERROR) {
        fail = true;
    }
    return fail ? HFILE_ERROR : 0;
}

int FlushFileBuffers(HFILE file) {
    return detail::CountCall(testing::Op::Sync) && detail::IsOpen(file) &&
                   ::FlushFileBuffers(KernelFile(file))
               ? 1
               : 0;
}

// Windows has no sync of a whole volume that an unprivileged process may call: each file in turn.
int FlushFilesTogether(const HFILE* files, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (FlushFileBuffers(files[i]) == 0) return 0;
    }
    return 1;
}

// Renames are made with MOVEFILE_WRITE_THROUGH, which returns once the new entry is on the disk:
// there is nothing left to sync in the folder.
int FlushDirectory(const char* path) {
    return detail::CountCall(testing::Op::Sync) && path != nullptr ? 1 : 0;
}

std::uint32_t GetFileSize(HFILE file, std::uint32_t* high) {
    if (!detail::IsOpen(file)) return 0xFFFFFFFFu;
    if (memory::Owns(file)) {
        const std::uint64_t size = memory::Size(file);
        if (high != nullptr) *high = static_cast<std::uint32_t>(size >> 32);
        return static_cast<std::uint32_t>(size);
    }
    DWORD upper = 0;
    ::SetLastError(NO_ERROR);
    DWORD size = ::GetFileSize(KernelFile(file), &upper);
    if (size == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return 0xFFFFFFFFu;
    if (high != nullptr) *high = upper;
    return size;
}

int DeleteFileA(const char* path) {
    return path != nullptr && ::DeleteFileA(path) ? 1 : 0;
}

int MoveFileReplace(const char* from, const char* to) {
    return from != nullptr && to != nullptr &&
                   ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 1
               : 0;
}

namespace testing {

std::uint64_t LiveBlocks() {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
#ifndef _WIN64
    // A host may free a delivered DIB with the kernel's own GlobalFree.
    std::erase_if(s.blocks, [](const auto& entry) {
        return ::GlobalFlags(entry.second.kernel) == GMEM_INVALID_HANDLE;
    });
#endif
    return s.blocks.size();
}

int LockCount(std::uint32_t block) {
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.mutex);
    ::HGLOBAL h = KernelBlock(s, block);
    return h != nullptr ? static_cast<int>(::GlobalFlags(h) & GMEM_LOCKCOUNT) : 0;
}

}  // namespace testing
}  // namespace qor::plat
