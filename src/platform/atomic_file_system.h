// What the atomic-file writer needs of each system: atomic_file_posix.cpp and
// atomic_file_win32.cpp implement it, and CMake builds the one for the target.
#pragma once

#include <cstdint>
#include <string>

#include "platform/atomic_file.h"

namespace qor::plat::detail {

// A temporary file name (no folder) that no other writer, in this process or another, is likely
// to pick at the same time; creating it exclusively settles the rare collision.
std::string TemporaryLeaf(std::uint64_t processId);

// Creates a new temporary file named `prefix` (its folder, with the separator) and a fresh leaf,
// trying other leaves while a name is taken. Sets out->temporary and out->file; CreateFailed
// when no name could be created.
AtomicResult CreateTemporary(const std::string& prefix, std::uint64_t processId, AtomicFile* out);

// Resolves `name` to the file to replace and creates the temporary file beside it (or opens a
// device in place). On any result but Ok, whatever was opened is left in *out for the caller to
// abort.
AtomicResult BeginOnSystem(const char* name, AtomicFile* out);

// Gives the temporary file what it keeps of the file it replaces.
void TakeOverAttributes(const AtomicFile& f);

}  // namespace qor::plat::detail
