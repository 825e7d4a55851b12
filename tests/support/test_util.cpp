#include "support/test_util.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/dib.h"

namespace qor::test {

thread_local ProgressRecorder* gRecorder = nullptr;

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qorimg-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    char* made = ::mkdtemp(buf.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string DataPath(const std::string& name) { return std::string(QORIMG_TEST_DATA) + "/" + name; }

std::string CorporaDir() {
    const char* env = std::getenv("QORIMG_CORPORA");
    std::string dir = env != nullptr && *env != '\0' ? env : QORIMG_CORPORA_DIR;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}

Request::Request(const std::string& fileName, ProgressProc progress, std::uint32_t userValue) {
    std::memset(&r, 0, sizeof r);
    r.signature = kRequestSignature;
    r.progressBlock.progress = progress;
    r.progressBlock.info.userValue = userValue;
    r.hostFlag1 = 1;
    std::memcpy(r.fileName, fileName.data(), std::min(fileName.size(), sizeof r.fileName));
    r.loadPixels = 1;
}

namespace {

std::uint32_t U32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

Image ReadDib(HGLOBAL dib) {
    Image img;
    std::uint64_t size = plat::GlobalSize(dib);
    EXPECT_GE(size, 40u);
    if (size < 40) return img;
    auto* p = static_cast<const std::uint8_t*>(plat::GlobalLock(dib));
    EXPECT_NE(p, nullptr);
    if (p == nullptr) return img;
    std::int32_t w, h;
    std::uint16_t bits;
    std::memcpy(&w, p + 4, 4);
    std::memcpy(&h, p + 8, 4);
    std::memcpy(&bits, p + 14, 2);
    img.width = w;
    img.height = h;
    img.bits = bits;
    img.clrUsed = U32(p + 32);
    DibView view;
    EXPECT_TRUE(ViewDib(const_cast<std::uint8_t*>(p), size, &view));
    std::uint64_t offset = view.pixelOffset;
    std::uint32_t entries = static_cast<std::uint32_t>((offset - U32(p)) / 4);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint8_t* q = p + U32(p) + 4 * i;
        img.palette.push_back(std::uint32_t{q[2]} << 16 | std::uint32_t{q[1]} << 8 | q[0]);
    }
    std::uint64_t stride = ((std::uint64_t(w) * bits + 31) / 32) * 4;
    EXPECT_GE(size, offset + stride * std::uint64_t(h));
    if (w <= 0 || h <= 0 || size < offset + stride * std::uint64_t(h)) {
        plat::GlobalUnlock(dib);
        return img;
    }
    img.pixels.resize(std::size_t(w) * std::size_t(h));
    for (std::int32_t y = 0; y < h; ++y) {
        const std::uint8_t* row = p + offset + stride * std::uint64_t(h - 1 - y);
        for (std::int32_t x = 0; x < w; ++x) {
            std::uint32_t v = 0;
            switch (bits) {
                case 1: v = (row[x / 8] >> (7 - x % 8)) & 1u; break;
                case 4: v = (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 15u; break;
                case 8: v = row[x]; break;
                case 24: {
                    const std::uint8_t* q = row + 3 * x;
                    v = std::uint32_t{q[2]} << 16 | std::uint32_t{q[1]} << 8 | q[0];
                    break;
                }
                default: ADD_FAILURE() << "unexpected bit depth " << bits; break;
            }
            img.pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] = v;
        }
    }
    plat::GlobalUnlock(dib);
    return img;
}

HGLOBAL MakeDib(std::int32_t width, std::int32_t height, int bits,
                const std::vector<std::uint32_t>& palette, const std::vector<std::uint8_t>& pixels) {
    std::uint64_t stride = ((std::uint64_t(width) * unsigned(bits) + 31) / 32) * 4;
    std::uint64_t colours = 1ull << bits;
    std::uint64_t size = 40 + 4 * colours + stride * std::uint64_t(height);
    HGLOBAL h = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, size);
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(h));
    std::uint32_t u32;
    u32 = 40;
    std::memcpy(p, &u32, 4);
    std::memcpy(p + 4, &width, 4);
    std::memcpy(p + 8, &height, 4);
    std::uint16_t planes = 1, bpp = static_cast<std::uint16_t>(bits);
    std::memcpy(p + 12, &planes, 2);
    std::memcpy(p + 14, &bpp, 2);
    u32 = static_cast<std::uint32_t>(stride * std::uint64_t(height));
    std::memcpy(p + 20, &u32, 4);
    u32 = static_cast<std::uint32_t>(colours);
    std::memcpy(p + 32, &u32, 4);
    std::memcpy(p + 36, &u32, 4);
    for (std::size_t i = 0; i < palette.size() && i < colours; ++i) {
        std::uint8_t* q = p + 40 + 4 * i;
        q[0] = static_cast<std::uint8_t>(palette[i]);
        q[1] = static_cast<std::uint8_t>(palette[i] >> 8);
        q[2] = static_cast<std::uint8_t>(palette[i] >> 16);
    }
    std::uint8_t* base = p + 40 + 4 * colours;
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = base + stride * std::uint64_t(height - 1 - y);
        for (std::int32_t x = 0; x < width; ++x) {
            std::uint8_t v = pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)];
            switch (bits) {
                case 1: row[x / 8] |= static_cast<std::uint8_t>((v & 1) << (7 - x % 8)); break;
                case 4: row[x / 2] |= static_cast<std::uint8_t>((v & 15) << (x % 2 == 0 ? 4 : 0)); break;
                default: row[x] = v; break;
            }
        }
    }
    plat::GlobalUnlock(h);
    return h;
}

void LeakCheckedTest::SetUp() {
    plat::testing::Reset();
    host::testing::Reset();
    blocksBefore_ = plat::testing::LiveBlocks();
    filesBefore_ = plat::testing::OpenFiles();
}

void LeakCheckedTest::TearDown() {
    plat::testing::Reset();
    plat::testing::SetReadBudget(0);
    host::testing::Reset();
    EXPECT_EQ(plat::testing::LiveBlocks(), blocksBefore_) << "blocks leaked";
    EXPECT_EQ(plat::testing::OpenFiles(), filesBefore_) << "files left open";
}

std::int32_t RecordProgress(QorProgressInfo* info) {
    ProgressRecorder* r = gRecorder;
    if (r == nullptr) return 0;
    r->userValue = info->userValue;
    r->calls.emplace_back(info->done, info->total);
    return r->cancelAt != 0 && r->calls.size() == r->cancelAt ? 1 : 0;
}

}  // namespace qor::test
