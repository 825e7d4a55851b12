#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>

#include "platform/atomic_file_system.h"

namespace qor::plat {
namespace {

// Closes the stream (which flushes it) and the file; false when anything failed.
bool CloseAll(AtomicFile* f, bool ok) {
    if (f->stream != nullptr && std::fclose(f->stream) != 0) ok = false;
    f->stream = nullptr;
    if (f->file != HFILE_ERROR && _lclose(f->file) != 0) ok = false;
    f->file = HFILE_ERROR;
    return ok;
}

}  // namespace

std::string detail::TemporaryLeaf(std::uint64_t processId) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    x ^= static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    x ^= processId << 32;
    // Finalise (splitmix64) so that neighbouring inputs give unrelated names.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = ".qorimg-";
    for (int i = 60; i >= 0; i -= 4) name += kHex[(x >> i) & 15];
    name += ".tmp";
    return name;
}

AtomicResult detail::CreateTemporary(const std::string& prefix, std::uint64_t processId,
                                     AtomicFile* out) {
    constexpr int kMaxNameAttempts = 16;
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        out->temporary = prefix + TemporaryLeaf(processId);
        out->file = CreateNewFile(out->temporary.c_str());
        if (out->file != HFILE_ERROR) return AtomicResult::Ok;
        if (errno != EEXIST) break;
    }
    out->temporary.clear();
    return AtomicResult::CreateFailed;
}

AtomicResult BeginAtomicFile(const char* name, AtomicFile* out) {
    if (name == nullptr || name[0] == '\0') return AtomicResult::CreateFailed;
    AtomicResult result;
    try {
        result = detail::BeginOnSystem(name, out);
    } catch (const std::bad_alloc&) {
        result = AtomicResult::NoMemory;
    }
    if (result != AtomicResult::Ok && out->file != HFILE_ERROR) AbortAtomicFile(out);
    return result;
}

AtomicResult CommitAtomicFile(AtomicFile* f) {
    if (f->file == HFILE_ERROR) return AtomicResult::WriteFailed;
    bool ok = f->stream == nullptr || std::fflush(f->stream) == 0;
    if (f->direct) return CloseAll(f, ok) ? AtomicResult::Ok : AtomicResult::WriteFailed;
    if (ok && f->replaces) detail::TakeOverAttributes(*f);
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
