#include <algorithm>
#include <cstring>
#include <vector>

#include "support/test_util.h"

namespace qor::test {
namespace {

namespace ht = qor::host::testing;

class HostTest : public LeakCheckedTest {};

std::uint32_t LayerHandle(HGLOBAL block, std::uint32_t i) {
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(block));
    std::uint32_t v = 0;
    if (p != nullptr) std::memcpy(&v, p + 260 + 4 * i, 4);
    plat::GlobalUnlock(block);
    return v;
}

TEST_F(HostTest, LayersDocumentsAndRelease) {
    Request r("x");
    HGLOBAL dib = MakeDib(3, 2, 8, {0x112233}, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(host::CreateLayerFromBitmap(r.get(), dib, 0), 0);
    EXPECT_EQ(std::uint16_t{r->layerCount}, 1);
    EXPECT_EQ(LayerHandle(r->layerBlock, 0), dib);
    host::AdoptDocument(r->layerBlock);
    plat::GlobalFree(r->layerBlock);
    QorHandle handles[4] = {};
    EXPECT_EQ(QorDocumentLayers(dib, handles, 4), 1u);
    EXPECT_EQ(handles[0], dib);

    Request t("y");
    HGLOBAL pages[3];
    for (auto& p : pages) p = MakeDib(1, 1, 1, {}, {1});
    ASSERT_EQ(host::ReserveLayers(t.get(), 3, 1), 0);
    EXPECT_EQ(std::uint16_t{t->layerCount}, 3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(host::AssignLayerBitmap(t.get(), i, i == 0, pages[i], 0), 0);
    }
    EXPECT_NE(host::AssignLayerBitmap(t.get(), 3, 0, pages[0], 0), 0);  // beyond the reserve
    EXPECT_EQ(LayerHandle(t->layerBlock, 2), pages[2]);
    host::AdoptDocument(t->layerBlock);
    plat::GlobalFree(t->layerBlock);
    EXPECT_EQ(QorDocumentLayers(pages[0], handles, 2), 3u);  // count even when capacity is less
    EXPECT_EQ(handles[1], pages[1]);

    EXPECT_EQ(QorReleaseDocument(dib), 0);
    EXPECT_EQ(QorReleaseDocument(dib), QOR_BAD_REQUEST);
    EXPECT_EQ(QorReleaseDocument(pages[0]), 0);
    EXPECT_EQ(plat::GlobalSize(pages[2]), 0u);  // every layer's DIB is gone
}

// A three-layer document d[0..2] changed before its release: a layer freed with QorGlobalFree,
// or a newer document that lists one of its handles, as when the library gets a freed handle's
// value again. Then a block of the DIBs' size is allocated (on 32-bit Windows the kernel would
// give it a freed handle's value at once). The release frees the listed layers and no other.
TEST_F(HostTest, ReleaseFreesOnlyTheLayersStillInTheDocument) {
    auto adopt = [](const std::vector<HGLOBAL>& dibs) {
        Request r("x");
        ASSERT_EQ(host::ReserveLayers(r.get(), static_cast<std::uint32_t>(dibs.size()), 1), 0);
        for (std::uint32_t i = 0; i < dibs.size(); ++i) {
            ASSERT_EQ(host::AssignLayerBitmap(r.get(), i, i == 0, dibs[i], 0), 0);
        }
        host::AdoptDocument(r->layerBlock);
        plat::GlobalFree(r->layerBlock);
    };
    struct Case {
        int freed;                // the layer freed with QorGlobalFree, or -1
        std::vector<int> newer;   // the DIBs of a newer document (d[3] is another DIB)
        std::vector<int> listed;  // the document's layers at its release; none: it has ended
    };
    for (const Case& c : {Case{1, {}, {0, 2}}, Case{0, {}, {}}, Case{-1, {1, 3}, {0, 2}},
                          Case{-1, {0, 3}, {0, 3}}}) {
        HGLOBAL d[4];
        for (HGLOBAL& dib : d) dib = MakeDib(4, 2, 8, {}, Bytes(8, 1));
        adopt({d[0], d[1], d[2]});
        if (c.freed >= 0) {
            EXPECT_EQ(QorGlobalFree(d[c.freed]), 0u);
        }
        HGLOBAL own = plat::GlobalAlloc(plat::GMEM_MOVEABLE, plat::GlobalSize(d[3]));
        std::vector<HGLOBAL> newer, listed;
        for (int i : c.newer) newer.push_back(d[i]);
        for (int i : c.listed) listed.push_back(d[i]);
        if (!newer.empty()) adopt(newer);
        QorHandle got[4] = {};
        EXPECT_EQ(std::vector<HGLOBAL>(got, got + QorDocumentLayers(d[0], got, 4)), listed);
        EXPECT_EQ(QorReleaseDocument(d[0]), listed.empty() ? QOR_BAD_REQUEST : QOR_OK);
        for (int i = 0; i < 4; ++i) {
            if (i == c.freed) continue;
            const bool released = std::count(listed.begin(), listed.end(), d[i]) != 0;
            EXPECT_EQ(plat::GlobalFree(d[i]) != 0, released) << i;
        }
        EXPECT_EQ(plat::GlobalFree(own), 0u);
    }
}

TEST_F(HostTest, InvertBitmapKeepsHeaderAndPaletteAndInvertsPixels) {
    HGLOBAL dib = MakeDib(
        10, 3, 1, {0x000000, 0xFFFFFF},
        {1, 0, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    HGLOBAL inv = 0;
    ASSERT_EQ(host::InvertBitmap(nullptr, dib, &inv), 0);
    Image a = ReadDib(dib), b = ReadDib(inv);
    EXPECT_EQ(b.width, 10);
    EXPECT_EQ(b.palette, a.palette);
    for (std::size_t i = 0; i < a.pixels.size(); ++i) EXPECT_EQ(b.pixels[i], 1 - a.pixels[i]);
    plat::GlobalFree(inv);
    plat::GlobalFree(dib);
    HGLOBAL none = 0;
    EXPECT_NE(host::InvertBitmap(nullptr, 0xFFFFFF, &none), 0);
    EXPECT_EQ(none, 0u);
}

TEST_F(HostTest, InjectedStatusesComeBackWithoutSideEffects) {
    Request r("x");
    HGLOBAL dib = MakeDib(1, 1, 8, {}, {0});
    ht::FailCall(ht::Call::CreateLayerFromBitmap, 777, 2);
    ASSERT_EQ(host::CreateLayerFromBitmap(r.get(), dib, 0), 0);
    plat::GlobalFree(r->layerBlock);
    r->layerBlock = 0;
    EXPECT_EQ(host::CreateLayerFromBitmap(r.get(), dib, 0), 777);
    EXPECT_EQ(HGLOBAL{r->layerBlock}, 0u);
    EXPECT_EQ(ht::CallCount(ht::Call::CreateLayerFromBitmap), 2u);
    ht::FailCall(ht::Call::InvertBitmap, -3);
    HGLOBAL out = 0;
    EXPECT_EQ(host::InvertBitmap(nullptr, dib, &out), -3);
    EXPECT_EQ(out, 0u);
    plat::GlobalFree(dib);
}

}  // namespace
}  // namespace qor::test
