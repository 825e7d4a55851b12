#include "platform/memory_file.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace qor::plat::memory {
namespace {

// Memory handles lie far above the descriptors and handles that systems give out.
constexpr HFILE kFirstHandle = 0x40000000;
constexpr std::size_t kMostHandles = 0x10000000;

struct Bytes {
    const std::uint8_t* data;
    std::uint64_t size;
};

struct Opened {
    Bytes bytes{};
    std::uint64_t position = 0;
    bool used = false;
};

struct Registry {
    std::mutex mutex;
    std::uint64_t nextId = 1;  // ids are never reused: a stale name names nothing
    std::unordered_map<std::uint64_t, Bytes> named;
    std::vector<Opened> handles;
    std::vector<std::size_t> free;  // handle slots to reuse
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // outlives every static that may read a file
    return *registry;
}

// The id of a well-formed name, or 0.
std::uint64_t IdOf(const char* name) {
    if (!IsName(name)) return 0;
    const char* digits = name + sizeof kNamePrefix - 1;
    std::uint64_t id = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || p - digits >= 19) return 0;
        id = 10 * id + static_cast<std::uint64_t>(*p - '0');
    }
    return id;
}

HFILE OpenOn(Registry& r, Bytes bytes) {  // a copy: the slots may move
    try {
        std::size_t slot;
        if (!r.free.empty()) {
            slot = r.free.back();
            r.free.pop_back();
        } else {
            if (r.handles.size() >= kMostHandles) return HFILE_ERROR;
            slot = r.handles.size();
            r.handles.emplace_back();
        }
        r.handles[slot] = Opened{bytes, 0, true};
        return kFirstHandle + static_cast<HFILE>(slot);
    } catch (const std::bad_alloc&) {
        return HFILE_ERROR;
    }
}

// The open slot of `file`, or null; the registry's lock is held.
Opened* SlotOf(Registry& r, HFILE file) {
    if (!Owns(file)) return nullptr;
    const auto slot = static_cast<std::size_t>(file - kFirstHandle);
    return slot < r.handles.size() && r.handles[slot].used ? &r.handles[slot] : nullptr;
}

}  // namespace

bool Register(const void* data, std::uint64_t size, char* name, std::size_t capacity) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    char made[kNameSize];
    std::snprintf(made, sizeof made, "%s%llu", kNamePrefix,
                  static_cast<unsigned long long>(r.nextId));
    if (std::strlen(made) + 1 > capacity) return false;
    try {
        r.named.emplace(r.nextId, Bytes{static_cast<const std::uint8_t*>(data), size});
    } catch (const std::bad_alloc&) {
        return false;
    }
    ++r.nextId;
    std::memcpy(name, made, std::strlen(made) + 1);
    return true;
}

bool Unregister(const char* name) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return r.named.erase(IdOf(name)) != 0;
}

bool IsName(const char* path) {
    return path != nullptr && std::strncmp(path, kNamePrefix, sizeof kNamePrefix - 1) == 0;
}

bool Owns(HFILE file) {
    return file >= kFirstHandle;
}

HFILE Open(const char* name) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    const auto found = r.named.find(IdOf(name));
    return found == r.named.end() ? HFILE_ERROR : OpenOn(r, found->second);
}

HFILE Again(HFILE file) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    const Opened* open = SlotOf(r, file);
    return open == nullptr ? HFILE_ERROR : OpenOn(r, open->bytes);
}

std::int32_t Read(HFILE file, void* buffer, std::uint32_t count) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    Opened* open = SlotOf(r, file);
    if (open == nullptr) return -1;
    const std::uint64_t left =
        open->position < open->bytes.size ? open->bytes.size - open->position : 0;
    const auto n = static_cast<std::uint32_t>(left < count ? left : count);
    if (n > 0) std::memcpy(buffer, open->bytes.data + open->position, n);
    open->position += n;
    return static_cast<std::int32_t>(n);
}

std::int32_t Seek(HFILE file, std::int32_t offset, int origin) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    Opened* open = SlotOf(r, file);
    if (open == nullptr) return -1;
    const std::int64_t base = origin == 1   ? static_cast<std::int64_t>(open->position)
                              : origin == 2 ? static_cast<std::int64_t>(open->bytes.size)
                                            : 0;
    const std::int64_t to = base + offset;
    // As with files: a position past the end reads nothing; one before the start fails.
    if (to < 0 || to > 0x7FFFFFFF) return -1;
    open->position = static_cast<std::uint64_t>(to);
    return static_cast<std::int32_t>(to);
}

void Close(HFILE file) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    if (Opened* open = SlotOf(r, file); open != nullptr) {
        *open = Opened{};
        try {
            r.free.push_back(static_cast<std::size_t>(file - kFirstHandle));
        } catch (const std::bad_alloc&) {
            // The slot is only not reused.
        }
    }
}

std::uint64_t Size(HFILE file) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    const Opened* open = SlotOf(r, file);
    return open == nullptr ? 0 : open->bytes.size;
}

}  // namespace qor::plat::memory
