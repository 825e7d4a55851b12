// The block calls of qorhost.dll: it reaches the blocks through qorimg.dll's exported block
// calls, so that both libraries resolve the same handles (on 64-bit Windows they are ids that
// only qorimg.dll knows). Built into qorhost.dll only.
#include "platform/platform.h"
#include "qorimg/qorimg.h"

namespace qor::plat {

HGLOBAL GlobalAlloc(std::uint32_t flags, std::uint64_t bytes) {
    return QorGlobalAlloc(flags, bytes);
}
void* GlobalLock(HGLOBAL block) {
    return QorGlobalLock(block);
}
int GlobalUnlock(HGLOBAL block) {
    return QorGlobalUnlock(block);
}
HGLOBAL GlobalFree(HGLOBAL block) {
    return QorGlobalFree(block);
}
std::uint64_t GlobalSize(HGLOBAL block) {
    return QorGlobalSize(block);
}

}  // namespace qor::plat
