// Files held in memory: bytes that a caller keeps, registered under a name that every read and
// describe call takes in place of a file name. Their handles go through the file calls of
// platform.h like any other, so a read cannot tell them from a file: the same statuses, the same
// accounts and the same test faults.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qor::plat::memory {

// Every name starts with this, which no caller's path does.
inline constexpr char kNamePrefix[] = "\x01qorimg-memory:";
// A name's bytes, its ending zero included, at most.
inline constexpr std::size_t kNameSize = 40;

// Registers `size` bytes at `data` (which stay the caller's and must not change until they are
// unregistered) and writes their name into `name`. False when the name does not fit or the
// registry is out of memory.
bool Register(const void* data, std::uint64_t size, char* name, std::size_t capacity);
// Forgets the bytes of `name`; false for a name not registered. Handles still open on them keep
// reading them, so a caller unregisters only after the calls that read them return.
bool Unregister(const char* name);

bool IsName(const char* path);
bool Owns(HFILE file);

// The file calls for memory handles, with the results of their namesakes; the platform's calls
// hand their work here once the accounts have taken it.
HFILE Open(const char* name);
HFILE Again(HFILE file);
std::int32_t Read(HFILE file, void* buffer, std::uint32_t count);
std::int32_t Seek(HFILE file, std::int32_t offset, int origin);
void Close(HFILE file);
std::uint64_t Size(HFILE file);

}  // namespace qor::plat::memory
