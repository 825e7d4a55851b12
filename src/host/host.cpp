#include "host/host.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/dib.h"

namespace qor::host {
namespace {

using plat::GlobalAlloc;
using plat::GlobalFree;
using plat::GlobalLock;
using plat::GlobalSize;
using plat::GlobalUnlock;

// A DIB of a document, with its size and the first bytes of its header (size, width, height,
// planes and bit count) when the document was made. The layer stays the document's while its
// handle names a block of that size that starts with those bytes: a block freed through
// QorGlobalFree has none, and its handle is not reused soon (the platform layer sees to that on
// 32-bit Windows too). A block that the host freed with the kernel's GlobalFree on 32-bit Windows
// may have given its handle to the host's next allocation at once; a block of another size, or
// one that does not start as that DIB's header, is still told apart.
constexpr std::size_t kHeadBytes = 16;
struct Layer {
    HGLOBAL dib = 0;
    std::uint64_t size = 0;
    std::array<std::uint8_t, kHeadBytes> head{};
    bool headKnown = false;  // false when the block could not be locked to read it
};

// The first bytes of a block, or false when it has fewer or cannot be locked.
bool HeadOf(HGLOBAL block, std::array<std::uint8_t, kHeadBytes>* head) {
    if (GlobalSize(block) < kHeadBytes) return false;
    const auto* p = static_cast<const std::uint8_t*>(GlobalLock(block));
    if (p == nullptr) return false;
    std::memcpy(head->data(), p, kHeadBytes);
    GlobalUnlock(block);
    return true;
}

// Documents by first DIB handle; each lists its layers in order, the first one included.
using Documents = std::map<HGLOBAL, std::vector<Layer>>;

struct Registry {
    std::mutex mutex;
    Documents documents;
    // The document (by first DIB handle) that lists each DIB: a DIB belongs to one at most.
    std::unordered_map<HGLOBAL, HGLOBAL> owners;
    // The DIBs of every layer block handed out and not yet adopted, by layer block handle.
    std::map<HGLOBAL, std::vector<HGLOBAL>> pending;
    std::uint32_t calls[4] = {};
    struct Fault {
        std::int16_t status = 0;
        std::uint32_t nth = 0;
    } faults[4];
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Counts a call and returns the injected status for it, or 0.
std::int16_t InjectedStatus(testing::Call call) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto i = static_cast<int>(call);
    std::uint32_t n = ++r.calls[i];
    return r.faults[i].nth == n ? r.faults[i].status : std::int16_t{0};
}

// Allocates a layer block for `count` layers with every DIB handle 0 and records it in the
// request. Returns 0 or 102.
std::int16_t MakeLayerBlock(ImageIoRequest* request, std::uint32_t count, HGLOBAL first) {
    HGLOBAL block =
        GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, kFirstLayerOffset + 4ull * count);
    if (block == 0) return QOR_NO_MEMORY;
    auto* p = static_cast<unsigned char*>(GlobalLock(block));
    if (p == nullptr) {
        GlobalFree(block);
        return QOR_NO_MEMORY;
    }
    StoreLE32(p, kLayerBlockTag);
    StoreLE32(p + 4, count);
    StoreLE32(p + kFirstLayerOffset, first);
    GlobalUnlock(block);
    request->layerBlock = block;
    request->layerCount = static_cast<std::uint16_t>(count);
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    // A reader that failed after its layers were made frees the layer block itself: forget
    // such blocks here (handles are not reused soon, so a freed one is never mistaken).
    std::erase_if(r.pending, [](const auto& entry) { return GlobalSize(entry.first) == 0; });
    std::vector<HGLOBAL> layers(count, 0);
    layers[0] = first;
    r.pending[block] = std::move(layers);
    return 0;
}

bool StillDelivered(const Layer& layer) {
    if (layer.size == 0 || GlobalSize(layer.dib) != layer.size) return false;
    // A lock that fails tells nothing about the block: its size has to do.
    std::array<std::uint8_t, kHeadBytes> head;
    return !layer.headKnown || !HeadOf(layer.dib, &head) || head == layer.head;
}

// Forgets a document without freeing anything (the registry's mutex is held).
void Forget(Registry& r, Documents::iterator it) {
    for (const Layer& layer : it->second) r.owners.erase(layer.dib);
    r.documents.erase(it);
}

// Drops the layers of a document whose blocks are gone. A document whose first layer is gone has
// ended: it is forgotten, and the host frees its other layers. Returns whether it remains.
bool Prune(Registry& r, Documents::iterator it) {
    std::vector<Layer>& layers = it->second;
    if (!StillDelivered(layers.front())) {
        Forget(r, it);
        return false;
    }
    std::erase_if(layers, [&r](const Layer& layer) {
        if (StillDelivered(layer)) return false;
        r.owners.erase(layer.dib);
        return true;
    });
    return true;
}

}  // namespace

std::int16_t QOR_HOSTCALL CreateLayerFromBitmap(ImageIoRequest* request, HGLOBAL dib,
                                                std::uint32_t) {
    if (std::int16_t s = InjectedStatus(testing::Call::CreateLayerFromBitmap)) return s;
    if (request == nullptr || GlobalSize(dib) == 0) return QOR_BAD_REQUEST;
    return MakeLayerBlock(request, 1, dib);
}

std::int16_t QOR_HOSTCALL ReserveLayers(ImageIoRequest* request, std::uint32_t layerCount,
                                        std::uint32_t) {
    if (std::int16_t s = InjectedStatus(testing::Call::ReserveLayers)) return s;
    if (request == nullptr || layerCount == 0 || layerCount > kMaxLayers) return QOR_BAD_REQUEST;
    return MakeLayerBlock(request, layerCount, 0);
}

std::int16_t QOR_HOSTCALL AssignLayerBitmap(ImageIoRequest* request, std::uint32_t layerIndex,
                                            std::uint32_t, HGLOBAL bitmap, HGLOBAL) {
    if (std::int16_t s = InjectedStatus(testing::Call::AssignLayerBitmap)) return s;
    if (request == nullptr || GlobalSize(bitmap) == 0) return QOR_BAD_REQUEST;
    HGLOBAL block = request->layerBlock;
    auto* p = static_cast<unsigned char*>(GlobalLock(block));
    if (p == nullptr) return QOR_NO_MEMORY;
    std::int16_t status = QOR_BAD_REQUEST;
    if (LoadLE32(p) == kLayerBlockTag && layerIndex < LoadLE32(p + 4) &&
        kFirstLayerOffset + 4ull * layerIndex + 4 <= GlobalSize(block)) {
        StoreLE32(p + kFirstLayerOffset + 4 * layerIndex, bitmap);
        status = 0;
    }
    GlobalUnlock(block);
    if (status == 0) {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> guard(r.mutex);
        auto it = r.pending.find(block);
        if (it != r.pending.end() && layerIndex < it->second.size()) {
            it->second[layerIndex] = bitmap;
        }
    }
    return status;
}

std::int16_t QOR_HOSTCALL InvertBitmap(ProgressBlock*, HGLOBAL dib, HGLOBAL* result) {
    if (std::int16_t s = InjectedStatus(testing::Call::InvertBitmap)) return s;
    if (result == nullptr) return QOR_BAD_REQUEST;
    std::uint64_t size = GlobalSize(dib);
    if (size == 0) return QOR_BAD_REQUEST;
    HGLOBAL copy = GlobalAlloc(plat::GMEM_MOVEABLE, size);
    if (copy == 0) return QOR_NO_MEMORY;
    auto* src = static_cast<unsigned char*>(GlobalLock(dib));
    auto* dst = static_cast<unsigned char*>(GlobalLock(copy));
    std::int16_t status = QOR_NO_MEMORY;
    DibView view;
    if (src != nullptr && dst != nullptr) {
        status = static_cast<std::int16_t>(ViewDib(src, size, &view) ? 0 : QOR_BAD_REQUEST);
        if (status == 0) {
            // The header and colour table are copied; every byte after them is inverted.
            const std::uint64_t pixels = view.pixelOffset;
            std::memcpy(dst, src, static_cast<std::size_t>(pixels));
            for (std::uint64_t i = pixels; i < size; ++i) {
                dst[i] = static_cast<unsigned char>(~src[i]);
            }
        }
    }
    if (src != nullptr) GlobalUnlock(dib);
    if (dst != nullptr) GlobalUnlock(copy);
    if (status != 0) {
        GlobalFree(copy);
        return status;
    }
    *result = copy;
    return 0;
}

HGLOBAL QOR_HOSTCALL AdoptDocument(HGLOBAL layerBlock) {
    std::vector<HGLOBAL> layers;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> guard(r.mutex);
        auto it = r.pending.find(layerBlock);
        if (it != r.pending.end()) {
            layers = std::move(it->second);
            r.pending.erase(it);
        }
    }
    if (layers.empty()) {
        // A block the host did not make: take the layers from its contents.
        auto* p = static_cast<const unsigned char*>(GlobalLock(layerBlock));
        if (p == nullptr) return 0;
        std::uint64_t size = GlobalSize(layerBlock);
        if (size >= kFirstLayerOffset + 4 && LoadLE32(p) == kLayerBlockTag) {
            std::uint64_t count = LoadLE32(p + 4);
            for (std::uint64_t i = 0; i < count && kFirstLayerOffset + 4 * i + 4 <= size; ++i) {
                layers.push_back(LoadLE32(p + kFirstLayerOffset + 4 * i));
            }
        }
        GlobalUnlock(layerBlock);
    }
    if (layers.empty() || layers.front() == 0) return 0;
    std::vector<Layer> document;
    std::unordered_set<HGLOBAL> seen;
    for (HGLOBAL dib : layers) {
        if (dib == 0 || !seen.insert(dib).second) continue;
        Layer layer{dib, GlobalSize(dib), {}, false};
        layer.headKnown = HeadOf(dib, &layer.head);
        document.push_back(layer);
    }
    const HGLOBAL first = layers.front();
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    // A handle that an older document lists names a new block now, so the older one's is gone:
    // the layer leaves that document, and a first layer takes the document with it.
    for (const Layer& layer : document) {
        auto owner = r.owners.find(layer.dib);
        if (owner == r.owners.end()) continue;
        auto older = r.documents.find(owner->second);
        if (older->first == layer.dib) {
            Forget(r, older);
        } else {
            std::erase_if(older->second, [&](const Layer& l) { return l.dib == layer.dib; });
            r.owners.erase(owner);
        }
    }
    // Documents and layers that the host freed itself do not pile up.
    for (auto it = r.documents.begin(); it != r.documents.end();) Prune(r, it++);
    for (const Layer& layer : document) r.owners[layer.dib] = first;
    r.documents[first] = std::move(document);
    return first;
}

namespace testing {

void FailCall(Call call, std::int16_t status, std::uint32_t nth) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.faults[static_cast<int>(call)] = {status, nth};
}

void Reset() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (auto& f : r.faults) f = {};
    for (auto& c : r.calls) c = 0;
}

std::uint32_t CallCount(Call call) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return r.calls[static_cast<int>(call)];
}

std::uint64_t DocumentCount() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return r.documents.size();
}

}  // namespace testing
}  // namespace qor::host

extern "C" {

QOR_API uint32_t QOR_CALL QorDocumentLayers(QorHandle firstDib, QorHandle* handles,
                                            uint32_t capacity) {
    auto& r = qor::host::TheRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.documents.find(firstDib);
    if (it == r.documents.end() || !qor::host::Prune(r, it)) return 0;
    const auto& layers = it->second;
    for (std::uint32_t i = 0; handles != nullptr && i < capacity && i < layers.size(); ++i) {
        handles[i] = layers[i].dib;
    }
    return static_cast<uint32_t>(layers.size());
}

QOR_API int16_t QOR_CALL QorReleaseDocument(QorHandle firstDib) {
    std::vector<qor::host::Layer> layers;
    {
        auto& r = qor::host::TheRegistry();
        std::lock_guard<std::mutex> guard(r.mutex);
        auto it = r.documents.find(firstDib);
        if (it == r.documents.end() || !qor::host::Prune(r, it)) return QOR_BAD_REQUEST;
        layers = it->second;
        qor::host::Forget(r, it);
    }
    for (const auto& layer : layers) qor::plat::GlobalFree(layer.dib);
    return 0;
}

}  // extern "C"
