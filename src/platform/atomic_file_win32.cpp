// The atomic-file writer's Windows part. A name is the host's bytes in the ANSI code page and
// stays bytes: converting it to a wide string and back does not give the same bytes, and the
// file would be written under another name.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/atomic_file_system.h"

// Last: it defines macros that clash with the library's names.
#include "platform/win32.h"

namespace qor::plat {
namespace {

// What a replacing file keeps of the attributes of the one it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The folder part of `name` with its separator ("" for a name without one). It walks characters,
// not bytes: in a double-byte code page the second byte of a character may equal '\'.
std::string FolderOf(const std::string& name) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (::IsDBCSLeadByte(c) && i + 1 < name.size()) {
            ++i;
        } else if (c == '\\' || c == '/' || c == ':') {
            end = i + 1;
        }
    }
    return name.substr(0, end);
}

}  // namespace

AtomicResult detail::BeginOnSystem(const char* name, AtomicFile* out) {
    out->target = name;
    DWORD attributes = ::GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return AtomicResult::CreateFailed;
        // A file that could not be written in place (read-only, or locked by another program)
        // is not replaced either.
        HFILE probe = _lopen(name, 1);
        if (probe == HFILE_ERROR) return AtomicResult::CreateFailed;
        _lclose(probe);
        out->replaces = true;
        out->mode = attributes;
    }
    const std::string folder = FolderOf(out->target);
    out->directory = folder.empty() ? "." : folder;
    return detail::CreateTemporary(folder, ::GetCurrentProcessId(), out);
}

void detail::TakeOverAttributes(const AtomicFile& f) {
    DWORD kept = f.mode & kKeptAttributes;
    ::SetFileAttributesA(f.temporary.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

std::FILE* AtomicFileStream(AtomicFile* file) {
    if (file->stream == nullptr && file->file != HFILE_ERROR) {
        // A second handle of the same open file, which shares its position.
        HANDLE self = ::GetCurrentProcess(), copy = nullptr;
        HANDLE own = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file->file));
        if (!::DuplicateHandle(self, own, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return nullptr;
        }
        int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(copy), _O_BINARY | _O_WRONLY);
        if (fd < 0) {
            ::CloseHandle(copy);
            return nullptr;
        }
        file->stream = ::_fdopen(fd, "wb");
        if (file->stream == nullptr) ::_close(fd);
    }
    return file->stream;
}

}  // namespace qor::plat
