#include "platform/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>

#include "platform/atomic_file_system.h"
#include "platform/memory_file.h"

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
    // Bytes registered in memory are read only: nothing is written for their name.
    if (name == nullptr || name[0] == '\0' || memory::IsName(name)) {
        return AtomicResult::CreateFailed;
    }
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
    AtomicBatch one;
    AtomicResult added = AddToAtomicBatch(f, &one);
    if (added != AtomicResult::Ok || one.files.empty()) return added;
    std::vector<AtomicOutcome> outcome = CommitAtomicBatch(&one);
    if (outcome.empty()) return AtomicResult::NoMemory;
    errno = outcome[0].error;
    return outcome[0].result;
}

AtomicResult AddToAtomicBatch(AtomicFile* f, AtomicBatch* batch) {
    if (f->file == HFILE_ERROR) return AtomicResult::WriteFailed;
    bool ok = f->stream == nullptr || std::fflush(f->stream) == 0;
    if (f->stream != nullptr && std::fclose(f->stream) != 0) ok = false;
    f->stream = nullptr;
    if (f->direct) return CloseAll(f, ok) ? AtomicResult::Ok : AtomicResult::WriteFailed;
    const int error = errno;
    AtomicResult result = ok ? AtomicResult::Ok : AtomicResult::WriteFailed;
    if (ok) {
        if (f->replaces) detail::TakeOverAttributes(*f);
        std::uint32_t high = 0;
        const std::uint32_t low = GetFileSize(f->file, &high);
        try {
            batch->files.push_back(std::move(*f));
            *f = AtomicFile{};
            batch->bytes += low == 0xFFFFFFFFu ? 0 : (std::uint64_t{high} << 32 | low);
            return AtomicResult::Ok;
        } catch (const std::bad_alloc&) {
            result = AtomicResult::NoMemory;
        }
    }
    AbortAtomicFile(f);
    errno = error;
    return result;
}

std::vector<AtomicOutcome> CommitAtomicBatch(AtomicBatch* batch) {
    std::vector<AtomicOutcome> outcomes;
    std::vector<HFILE> handles;
    std::vector<std::string> folders;  // of the files renamed, each once
    try {
        outcomes.resize(batch->files.size());
        handles.reserve(batch->files.size());
        folders.reserve(batch->files.size());
    } catch (const std::bad_alloc&) {
        // Without room for the outcomes nothing is committed: no outcome, no file replaced.
        AbortAtomicBatch(batch);
        return {};
    }
    std::vector<AtomicFile> files = std::move(batch->files);
    batch->files.clear();
    batch->bytes = 0;
    for (const AtomicFile& f : files) handles.push_back(f.file);
    errno = 0;
    const bool synced = FlushFilesTogether(handles.data(), handles.size()) != 0;
    const int syncError = errno != 0 ? errno : EIO;
    for (std::size_t i = 0; i < files.size(); ++i) {
        AtomicFile* f = &files[i];
        AtomicOutcome& o = outcomes[i];
        o.target = f->target;
        errno = 0;
        if (!CloseAll(f, synced)) {
            o.result = AtomicResult::WriteFailed;
            o.error = synced ? (errno != 0 ? errno : EIO) : syncError;
            DeleteFileA(f->temporary.c_str());
            continue;
        }
        if (MoveFileReplace(f->temporary.c_str(), f->target.c_str()) == 0) {
            o.result = AtomicResult::RenameFailed;
            o.error = errno != 0 ? errno : EIO;
            DeleteFileA(f->temporary.c_str());
            continue;
        }
        if (std::find(folders.begin(), folders.end(), f->directory) == folders.end()) {
            folders.push_back(f->directory);
        }
    }
    // The directory entries are what a crash would lose now: the files are in place, but not
    // yet for certain where a folder's sync fails.
    for (const std::string& folder : folders) {
        errno = 0;
        if (FlushDirectory(folder.c_str()) != 0) continue;
        const int error = errno != 0 ? errno : EIO;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (files[i].directory == folder && outcomes[i].result == AtomicResult::Ok) {
                outcomes[i].result = AtomicResult::WriteFailed;
                outcomes[i].error = error;
            }
        }
    }
    return outcomes;
}

void AbortAtomicBatch(AtomicBatch* batch) {
    for (AtomicFile& f : batch->files) AbortAtomicFile(&f);
    batch->files.clear();
    batch->bytes = 0;
}

AtomicBatch::~AtomicBatch() {
    AbortAtomicBatch(this);
}

void AbortAtomicFile(AtomicFile* f) {
    bool hadFile = f->file != HFILE_ERROR;
    CloseAll(f, true);
    if (hadFile && !f->direct && !f->temporary.empty()) DeleteFileA(f->temporary.c_str());
}

}  // namespace qor::plat
