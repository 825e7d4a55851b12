// A movable block held locked for as long as its owner lives: unlocked and freed on every way
// out, unless its handle is handed over. The working memory of the decoders and the writer is
// held this way.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qor::plat {

class LockedBlock {
  public:
    LockedBlock() = default;
    LockedBlock(const LockedBlock&) = delete;
    LockedBlock& operator=(const LockedBlock&) = delete;
    ~LockedBlock() { Free(); }

    // Allocates `bytes` with `flags` and locks the block, after freeing any block held. False,
    // with nothing held, when either step fails.
    bool Allocate(std::uint64_t bytes, std::uint32_t flags = GMEM_MOVEABLE | GMEM_ZEROINIT) {
        Free();
        handle_ = GlobalAlloc(flags, bytes);
        if (handle_ == 0) return false;
        data_ = static_cast<std::uint8_t*>(GlobalLock(handle_));
        if (data_ == nullptr) Free();
        return data_ != nullptr;
    }
    std::uint8_t* data() const { return data_; }
    template <typename T>
    T* As() const {
        return reinterpret_cast<T*>(data_);
    }
    HGLOBAL handle() const { return handle_; }
    // Unlocks the block and hands it to the caller, who frees it.
    HGLOBAL Release() {
        if (data_ != nullptr) GlobalUnlock(handle_);
        data_ = nullptr;
        const HGLOBAL h = handle_;
        handle_ = 0;
        return h;
    }
    void Free() {
        if (const HGLOBAL h = Release(); h != 0) GlobalFree(h);
    }

  private:
    HGLOBAL handle_ = 0;
    std::uint8_t* data_ = nullptr;
};

}  // namespace qor::plat
