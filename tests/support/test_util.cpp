#include "support/test_util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/dib.h"

namespace qor::test {

thread_local ProgressRecorder* gRecorder = nullptr;

#ifdef _WIN32
// In the Windows temporary folder (under Wine, the prefix's). create_directory fails on a name
// that exists, so a directory is never shared.
TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto name = "qorimg-test-" + std::to_string(random() % 1000000000u);
        dir_ = std::filesystem::temp_directory_path() / name;
        if (std::filesystem::create_directory(dir_)) return;
    }
    throw std::runtime_error("cannot create a temporary directory");
}
#else
TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qorimg-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    char* made = ::mkdtemp(buf.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = made;
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string DataPath(const std::string& name) {
    return std::string(QORIMG_TEST_DATA) + "/" + name;
}

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

Image ReadDib(HGLOBAL dib) {
    Image img;
    std::string why;
    EXPECT_TRUE(DecodeDib(dib, &img, &why)) << why;
    return img;
}

void ResetThreadedPageSize() {
    plat::testing::SetSmallestThreadedPage(std::getenv("QORIMG_TEST_THREADED") != nullptr ? 1 : 0);
}

namespace {
// Tests that do not reset it start from the same size.
const bool kThreadedPageSizeSet = (ResetThreadedPageSize(), true);
}  // namespace

void LeakCheckedTest::SetUp() {
    ResetThreadedPageSize();
    plat::testing::Reset();
    host::testing::Reset();
    blocksBefore_ = plat::testing::LiveBlocks();
    filesBefore_ = plat::testing::OpenFiles();
}

void LeakCheckedTest::TearDown() {
    plat::testing::Reset();
    plat::testing::SetReadBudget(0);
    ResetThreadedPageSize();
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
