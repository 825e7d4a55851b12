// The operating-system layer: movable global memory blocks and the classic 16-bit-compatible
// file calls with their Windows meaning, implemented on POSIX (platform.cpp) and on the Windows
// kernel's own calls (platform_win32.cpp). Nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::plat {

using HGLOBAL = std::uint32_t;  // 0 = failure / none
using HFILE = int;              // -1 = failure

inline constexpr std::uint32_t GMEM_FIXED = 0x0000;
inline constexpr std::uint32_t GMEM_MOVEABLE = 0x0002;
inline constexpr std::uint32_t GMEM_ZEROINIT = 0x0040;
inline constexpr HFILE HFILE_ERROR = -1;

// The largest block that can be allocated. Every size the codecs derive from a file is checked
// against it before allocating, so that 32-bit offsets inside a block never overflow.
inline constexpr std::uint64_t kMaxBlockSize = 0x7FFFFFFFu;
// The most that the images of one read may hold together: 4 GiB, the whole address space of the
// 32-bit host the library was made for. Each image is one block, but a file can hold thousands.
inline constexpr std::uint64_t kReadBudget = 4ull << 30;
// The budget in force: kReadBudget unless a test has lowered it.
std::uint64_t ReadBudget();
// The least bytes of rows for which a page's strips are decoded on several threads: `usual`,
// unless a test has lowered it.
std::uint64_t SmallestThreadedPage(std::uint64_t usual);

// Returns 0 when the size is 0 or above kMaxBlockSize, or when memory runs out.
HGLOBAL GlobalAlloc(std::uint32_t flags, std::uint64_t bytes);
// Returns null for an unknown handle. Locks nest; the address is stable while locked.
void* GlobalLock(HGLOBAL block);
// Returns the remaining lock count (0 when unlocked, or for an unknown handle).
int GlobalUnlock(HGLOBAL block);
// Returns 0 on success, or the handle when it is unknown.
HGLOBAL GlobalFree(HGLOBAL block);
// Resizes an unlocked block (GMEM_ZEROINIT zero-fills any growth). Returns the handle, which
// stays the same, or 0 on failure, when the block stays as it was.
HGLOBAL GlobalReAlloc(HGLOBAL block, std::uint64_t bytes, std::uint32_t flags);
// The size of a block in bytes, 0 for an unknown handle.
std::uint64_t GlobalSize(HGLOBAL block);

// mode 0 = read, 1 = write, 2 = read/write, optionally with kOpenNoWait. Returns -1 on failure.
HFILE _lopen(const char* path, int mode);
// An open that does not wait: a pipe without a reader fails to open for writing (POSIX; other
// systems ignore it). Later transfers wait as usual.
constexpr int kOpenNoWait = 0x10000;
// The file that `file` reads, opened once more for reading with a position of its own, so that
// another thread can read it at the same time. -1 when the system cannot (the caller then reads
// on one thread). Counted as an open; closed by _lclose.
HFILE OpenAgain(HFILE file);
// Creates or truncates a file for writing (attribute is ignored). Returns -1 on failure.
HFILE _lcreat(const char* path, int attribute);
// Creates a file that does not exist yet, for reading and writing. Fails (-1, errno EEXIST) when
// anything of that name exists, a symbolic link included.
HFILE CreateNewFile(const char* path);
// Return the number of bytes transferred (0 at the end of the file), or -1 on failure. A count
// above 0x7FFFFFFF fails.
std::int32_t _lread(HFILE file, void* buffer, std::uint32_t count);
std::int32_t _lwrite(HFILE file, const void* buffer, std::uint32_t count);
// One piece of memory that a scattered read fills.
struct ReadPiece {
    void* data;
    std::uint32_t size;
};
// At most this many pieces in one scattered read.
inline constexpr std::uint32_t kMostReadPieces = 256;
// Reads the file's next bytes into `pieces` in turn, as one _lread of their total size would
// (each byte goes straight to its place): the bytes read, fewer at the end of the file, or -1.
std::int32_t ReadScattered(HFILE file, const ReadPiece* pieces, std::uint32_t count);
// origin 0 = start, 1 = current, 2 = end. Returns the new position or -1.
std::int32_t _llseek(HFILE file, std::int32_t offset, int origin);
// Moves to an absolute offset; false when the offset is out of a seek's reach or the seek fails.
inline bool SeekTo(HFILE file, std::uint64_t offset) {
    return offset <= 0x7FFFFFFF && _llseek(file, static_cast<std::int32_t>(offset), 0) >= 0;
}
// Returns 0, or -1 for a handle that is not open or when the system reports that the close
// failed (the handle is released either way).
HFILE _lclose(HFILE file);
// Writes the file's data and metadata through to its device. Returns non-zero on success.
int FlushFileBuffers(HFILE file);
// The same for several files at once, each counted as one sync: on Linux one syncfs for each file
// system that they are on (the files' data and their journal go out in one pass, where a sync of
// each would wait for a journal commit of its own), elsewhere each file in turn. Returns non-zero
// when every file's data is on its device.
int FlushFilesTogether(const HFILE* files, std::size_t count);
// The same for a directory's entries (after a rename into it). Returns non-zero on success, and
// also where the file system cannot sync a directory.
int FlushDirectory(const char* path);
// The file size (low 32 bits; the high 32 bits through `high` when it is not null), or
// 0xFFFFFFFF on failure.
std::uint32_t GetFileSize(HFILE file, std::uint32_t* high);
// Returns non-zero on success.
int DeleteFileA(const char* path);
// Renames `from` over `to` atomically. Returns non-zero on success.
int MoveFileReplace(const char* from, const char* to);

}  // namespace qor::plat
