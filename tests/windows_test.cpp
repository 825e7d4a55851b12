// Windows only: on 32-bit Windows the library's handles are the kernel's own movable blocks, so a
// host's GlobalAlloc block can be written and a delivered DIB freed with GlobalFree.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "support/tiff_builder.h"

// Last: it defines macros that clash with the library's names.
#include "platform/win32.h"

namespace qor::test {
namespace {

class WindowsTest : public LeakCheckedTest {};

// Names reach the kernel as the host gives them: bytes of the ANSI code page, not UTF-8.
TEST_F(WindowsTest, AnsiFileNamesAreUsedAsGiven) {
    TempDir dir;
    const std::string path = dir.dir().string() + "\\caf\xE9 \xC4\xDF.gif";
    const std::vector<std::uint8_t> pixels = {0, 1, 1, 0, 1, 0};
    HGLOBAL dib = MakeDib(3, 2, 1, {0x000000, 0xFFFFFF}, pixels);
    ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), dib, 0, 0, 0), QOR_OK);
    EXPECT_NE(::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    std::uint32_t delivered = 0;
    std::int16_t transparent = 0;
    ASSERT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &delivered, &transparent), QOR_OK);
    EXPECT_EQ(ReadDib(delivered).pixels, ReadDib(dib).pixels);
    QorReleaseDocument(delivered);
    plat::GlobalFree(dib);
}

// 33 Group 4 pages of 32767 x 32767 take 4.4 GB as DIBs, more than a 32-bit process can hold and
// than the default limit: the whole file is refused, its first page alone is read.
TEST_F(WindowsTest, OnePageOfAFileLargerThanTheAddressSpaceIsRead) {
    TiffBuilder b(false);
    const std::uint32_t strip = b.Append({0x00, 0x10, 0x01});  // end of block: a white page
    using E = TiffBuilder;
    for (int i = 0; i < 33; ++i) {
        b.AddIfd({E::Long(256, {32767}), E::Long(257, {32767}), E::Short(258, {1}),
                  E::Short(259, {4}), E::Short(262, {0}), E::Long(273, {strip}),
                  E::Short(277, {1})});
    }
    TempDir dir;
    const std::string path = dir.Path("large.tif");
    WriteFile(path, b.bytes());
    std::uint32_t dib = 0;
    EXPECT_EQ(QorReadTIF(nullptr, 0, path.c_str(), &dib), QOR_NO_MEMORY);
    QorReadOptions options{};
    options.size = sizeof options;
    options.pageCount = 1;
    ASSERT_EQ(QorReadTIFEx(nullptr, 0, path.c_str(), &options, &dib), QOR_OK);
    EXPECT_EQ(QorDocumentLayers(dib, nullptr, 0), 1u);
    EXPECT_EQ(QorGlobalSize(dib), DibSize(32767, 32767, 1));
    EXPECT_EQ(QorReleaseDocument(dib), QOR_OK);
}

#ifndef _WIN64
::HGLOBAL Kernel(QorHandle h) {
    return reinterpret_cast<::HGLOBAL>(static_cast<std::uintptr_t>(h));
}

TEST_F(WindowsTest, KernelBlocksAreWrittenReadAndFreedByTheHost) {
    TempDir dir;
    const std::string path = dir.Path("kernel.gif");
    std::vector<std::uint32_t> palette;
    for (std::uint32_t i = 0; i < 256; ++i) palette.push_back(i * 0x010203u);
    std::vector<std::uint8_t> pixels(37 * 23);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7);
    HGLOBAL reference = MakeDib(37, 23, 8, palette, pixels);
    const std::uint64_t size = plat::GlobalSize(reference);

    // The host's own block, copied from the reference DIB.
    ::HGLOBAL own = ::GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size));
    ASSERT_NE(own, nullptr);
    std::memcpy(::GlobalLock(own), plat::GlobalLock(reference), static_cast<std::size_t>(size));
    ::GlobalUnlock(own);
    plat::GlobalUnlock(reference);
    const auto ownHandle = static_cast<QorHandle>(reinterpret_cast<std::uintptr_t>(own));

    ASSERT_EQ(QorWriteGIF(nullptr, 0, path.c_str(), ownHandle, 0, 1, 0), QOR_OK);
    EXPECT_EQ(::GlobalFlags(own) & GMEM_LOCKCOUNT, 0u);  // the writer unlocked it
    std::uint32_t delivered = 0;
    std::int16_t transparent = 0;
    ASSERT_EQ(QorReadGIF(nullptr, 0, path.c_str(), &delivered, &transparent), QOR_OK);
    Image got = ReadDib(delivered), want = ReadDib(reference);
    EXPECT_EQ(got.pixels, want.pixels);
    EXPECT_EQ(got.palette, want.palette);

    // The delivered DIB is a kernel block: the host locks and frees it with the kernel's calls.
    auto* header = static_cast<const std::uint8_t*>(::GlobalLock(Kernel(delivered)));
    ASSERT_NE(header, nullptr);
    std::int32_t width = 0;
    std::memcpy(&width, header + 4, 4);
    EXPECT_EQ(width, 37);
    ::GlobalUnlock(Kernel(delivered));
    EXPECT_EQ(::GlobalFree(Kernel(delivered)), nullptr);
    EXPECT_EQ(::GlobalFree(own), nullptr);
    plat::GlobalFree(reference);
}

// A host frees one layer of a two-page document and at once allocates a block of its own with the
// kernel, which tends to give it the freed handle's value, then releases the document by the first
// layer's value. The first layer freed with GlobalFree ended the document: nothing is freed and
// the other layer is the host's. A layer freed with QorGlobalFree left the document, whose release
// frees the rest. Either way the host's block stays whole.
TEST_F(WindowsTest, AHostBlockSurvivesTheReleaseOfADocumentWithAFreedLayer) {
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "GlobalFree of the first layer" : "QorGlobalFree of the second");
        std::uint32_t dib = 0;
        ASSERT_EQ(QorReadTIF(nullptr, 0, DataPath("tiff/cp-multipage-le.tif").c_str(), &dib), 0);
        QorHandle layers[2] = {};
        ASSERT_EQ(QorDocumentLayers(dib, layers, 2), 2u);
        const QorHandle kept = layers[first ? 1 : 0];
        // The host's new block has the freed layer's size: only its contents tell it apart.
        const SIZE_T size = ::GlobalSize(Kernel(layers[first ? 0 : 1]));
        if (first) {
            ASSERT_EQ(::GlobalFree(Kernel(dib)), nullptr);
        } else {
            ASSERT_EQ(QorGlobalFree(layers[1]), 0u);
        }
        ::HGLOBAL own = ::GlobalAlloc(GMEM_MOVEABLE, size);
        ASSERT_NE(own, nullptr);
        std::memset(::GlobalLock(own), 0x5A, size);
        ::GlobalUnlock(own);

        EXPECT_EQ(QorReleaseDocument(dib), first ? QOR_BAD_REQUEST : QOR_OK);
        auto* p = static_cast<const std::uint8_t*>(::GlobalLock(own));
        ASSERT_NE(p, nullptr) << "the host's block was freed";
        EXPECT_EQ(std::count(p, p + size, 0x5A), static_cast<std::ptrdiff_t>(size));
        ::GlobalUnlock(own);
        EXPECT_EQ(::GlobalFree(own), nullptr);
        EXPECT_EQ(::GlobalSize(Kernel(kept)) != 0, first) << "released with the document";
        if (first) {
            EXPECT_EQ(::GlobalFree(Kernel(kept)), nullptr);
        }
    }
}
#endif

}  // namespace
}  // namespace qor::test
