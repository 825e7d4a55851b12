// The one atomic-file writer: a file is written under a fresh temporary name beside its target
// and put in its place whole, so that a failed or cancelled write leaves whatever was there
// before untouched and no partial file behind.
//
//   AtomicFile out;
//   if (BeginAtomicFile(name, &out) != AtomicResult::Ok) ...;   // nothing was touched
//   write to out.file (_lwrite), or to AtomicFileStream(&out) (stdio)
//   CommitAtomicFile(&out) on success, AbortAtomicFile(&out) on failure
//
// What the finished file keeps of the one it replaces: its name, the permission bits, and (when
// the process may set them) its owner and group. A symbolic link stays a link: the file it
// names is the one replaced. A device or a pipe is written in place. What differs from writing
// in place: other hard links to the old file keep the old contents, and so do open descriptors;
// an unprivileged writer becomes the owner of the new file; extended attributes and ACLs are
// not carried over.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qor::plat {

enum class AtomicResult {
    Ok,
    NoMemory,      // no room for the names
    CreateFailed,  // the target cannot be replaced or the temporary file cannot be created
    WriteFailed,   // flushing, syncing or closing the temporary file failed: the target is kept
    RenameFailed,  // the temporary file could not be put in the target's place
};

struct AtomicFile {
    // The open temporary file (also a POSIX descriptor), HFILE_ERROR once committed or aborted.
    HFILE file = HFILE_ERROR;
    std::string target;     // the file that is replaced, symbolic links resolved
    std::string temporary;  // where the file is written until the commit
    std::string directory;  // the target's directory, synced after the rename
    bool direct = false;    // a device or a pipe, written in place
    bool replaces = false;  // a regular file of the target's name exists
    unsigned mode = 0;      // the replaced file's permission bits, owner and group
    unsigned owner = 0, group = 0;
    std::FILE* stream = nullptr;  // from AtomicFileStream, closed by commit and abort
};

// Creates the temporary file beside `name` (exclusively, so that no other writer and no planted
// link is ever opened). On any result but Ok nothing is left open or created.
AtomicResult BeginAtomicFile(const char* name, AtomicFile* out);

// A stdio stream over the temporary file, for writers that use stdio; opened once, null when
// that fails. Do not close it: the commit flushes and closes it and reports what failed.
std::FILE* AtomicFileStream(AtomicFile* file);

// Flushes and syncs the temporary file, gives it the replaced file's permissions, renames it over
// the target and syncs the directory. On any failure before the rename the temporary file is
// removed and the target is untouched. A failed sync of the directory after the rename is
// WriteFailed too: the new file is in place, but a crash may still lose it.
AtomicResult CommitAtomicFile(AtomicFile* file);

// Closes and removes the temporary file (a device or pipe is only closed).
void AbortAtomicFile(AtomicFile* file);

// Files committed together, so that a run of many files pays one sync of their data (one pass
// over the file system, see FlushFilesTogether) and one of each folder, not two syncs a file:
//
//   AtomicBatch batch;
//   for each file: BeginAtomicFile, write, then AddToAtomicBatch (or AbortAtomicFile)
//   when batch.Full() and at the end: CommitAtomicBatch(&batch), one result per file
//   on cancel: AbortAtomicBatch(&batch), or let the batch go out of scope
//
// Until the commit, no target is touched: a failure or an interruption before it leaves every
// old file as it was, and the destructor removes the temporary files.
struct AtomicBatch {
    // At most this many files wait at once (each holds a descriptor open until the commit) and
    // at most this many bytes of theirs, so that a crash loses, and a commit writes, a bounded
    // amount of work.
    static constexpr std::size_t kMostFiles = 256;
    static constexpr std::uint64_t kMostBytes = std::uint64_t{256} << 20;

    AtomicBatch() = default;
    ~AtomicBatch();
    AtomicBatch(const AtomicBatch&) = delete;
    AtomicBatch& operator=(const AtomicBatch&) = delete;

    bool Full() const { return files.size() >= kMostFiles || bytes >= kMostBytes; }

    std::vector<AtomicFile> files;  // written and flushed, their temporary files still open
    std::uint64_t bytes = 0;        // the size of those files
};

// What the commit of one file of a batch came to: the file's target, the result, and errno at
// the failure (0 with Ok).
struct AtomicOutcome {
    std::string target;
    AtomicResult result = AtomicResult::Ok;
    int error = 0;
};

// Flushes the file's stream and takes it into the batch: Ok, or WriteFailed when the flush
// failed (the temporary file is then removed and the target kept). A device or a pipe, written
// in place, is closed at once and not kept.
AtomicResult AddToAtomicBatch(AtomicFile* file, AtomicBatch* batch);

// Syncs the batch's files together, gives each the replaced file's permissions, renames each over
// its target and syncs each folder once; returns the outcomes in the order the files were added,
// and leaves the batch empty. A file whose rename failed, or all of them when the sync failed,
// are removed and their targets kept. Without memory for the outcomes the batch is aborted and
// none is returned.
std::vector<AtomicOutcome> CommitAtomicBatch(AtomicBatch* batch);

// Closes and removes every temporary file of the batch.
void AbortAtomicBatch(AtomicBatch* batch);

}  // namespace qor::plat
