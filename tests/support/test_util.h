// Shared helpers for the test suites: temporary files, DIB access, the leak check.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/testing.h"
#include "record/request.h"
#include "support/dib_image.h"

namespace qor::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& dir() const { return dir_; }

  private:
    std::filesystem::path dir_;
};

void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Paths of the committed test data and of the third-party corpora (empty when absent).
std::string DataPath(const std::string& name);
std::string CorporaDir();

// A request as an entry point builds it, for calling workers directly.
struct Request {
    alignas(kRequestAlignment) ImageIoRequest r;
    Request(const std::string& fileName, ProgressProc progress = nullptr,
            std::uint32_t userValue = 0);
    ImageIoRequest* operator->() { return &r; }
    ImageIoRequest* get() { return &r; }
};

// Reads a packed DIB block (bottom-up rows) into an Image; fails the test on a malformed block.
Image ReadDib(HGLOBAL dib);

// Every page of several strips is decoded on threads, whatever its size, when the environment sets
// QORIMG_TEST_THREADED (the suite's run under ThreadSanitizer); otherwise small pages stay on the
// caller's thread. LeakCheckedTest resets it before and after each test.
void ResetThreadedPageSize();

// Resets the platform and host fault injection before each test and checks afterwards that the
// test left no live block and no open file.
class LeakCheckedTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::uint64_t blocksBefore_ = 0;
    std::uint64_t filesBefore_ = 0;
};

// RecordProgress is a progress callback that appends every call to *gRecorder (when set) and
// cancels on call number `cancelAt` (1-based, 0 = never).
struct ProgressRecorder {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;  // (done, total)
    std::uint32_t cancelAt = 0;
    std::uint32_t userValue = 0;
};
extern thread_local ProgressRecorder* gRecorder;
std::int32_t RecordProgress(QorProgressInfo* info);

}  // namespace qor::test
