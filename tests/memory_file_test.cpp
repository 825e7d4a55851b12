// Files held in memory read exactly as the files they came from: every GIF and TIFF of the
// committed data, the examples and the shared corpora, described and read both ways, classic
// and extended, on one and two threads, whole and cut short.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"
#include "support/test_util.h"

namespace qor::test {
namespace {

// A memory name for `bytes`, closed at the end of the scope.
class MemoryName {
  public:
    explicit MemoryName(const Bytes& bytes) {
        status_ = QorOpenMemory(bytes.data(), bytes.size(), name_, sizeof name_);
    }
    ~MemoryName() {
        if (status_ == 0) QorCloseMemory(name_);
    }
    MemoryName(const MemoryName&) = delete;
    MemoryName& operator=(const MemoryName&) = delete;
    const char* name() const { return name_; }
    std::int16_t status() const { return status_; }

  private:
    char name_[QOR_MEMORY_NAME_SIZE] = {};
    std::int16_t status_ = -1;
};

// What a read gave: its status and every layer's DIB bytes.
struct Outcome {
    std::int16_t status = 0;
    std::int16_t transparent = 0;
    std::vector<Bytes> layers;
    bool operator==(const Outcome&) const = default;
};

Outcome Read(bool gif, const char* name, const QorReadOptions& options) {
    Outcome o;
    QorHandle first = 0;
    o.status = gif ? QorReadGIFEx(nullptr, 0, name, &options, &first, &o.transparent)
                   : QorReadTIFEx(nullptr, 0, name, &options, &first);
    if (o.status != 0) return o;
    std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
    QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
    for (QorHandle h : layers) {
        const auto* p = static_cast<const std::uint8_t*>(QorGlobalLock(h));
        o.layers.emplace_back(p, p + QorGlobalSize(h));
        QorGlobalUnlock(h);
    }
    QorReleaseDocument(first);
    return o;
}

// The description's records as bytes, file and pages or frames together.
Bytes Describe(bool gif, const char* name, std::uint32_t flags, std::int16_t* status) {
    Bytes out;
    auto append = [&out](const void* p, std::size_t n) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
    };
    if (gif) {
        QorGifInfo info{};
        info.size = sizeof info;
        std::vector<QorGifFrame> frames(64);
        *status = QorDescribeGIF(name, &info, frames.data(), 64);
        append(&info, sizeof info);
        append(frames.data(), frames.size() * sizeof(QorGifFrame));
    } else {
        QorTifInfo info{};
        info.size = sizeof info;
        info.flags = flags;
        std::vector<QorTifPage> pages(64);
        *status = QorDescribeTIF(name, &info, pages.data(), 64);
        append(&info, sizeof info);
        append(pages.data(), pages.size() * sizeof(QorTifPage));
    }
    return out;
}

class MemoryFileTest : public LeakCheckedTest {
  protected:
    TempDir dir_;
};

TEST_F(MemoryFileTest, EveryFileReadsFromMemoryAsFromItsFile) {
    std::vector<std::string> roots = {DataPath("tiff"), DataPath("tifflzw"), DataPath("fax"),
                                      DataPath("gif"),
                                      std::string(QORIMG_TEST_DATA) + "/../../examples"};
    if (!CorporaDir().empty()) roots.push_back(CorporaDir());
    std::size_t files = 0, delivered = 0;
    for (const std::string& root : roots) {
        if (!std::filesystem::is_directory(root)) continue;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
            const std::string ext = e.path().extension().string();
            const bool gif = ext == ".gif";
            if (!gif && ext != ".tif" && ext != ".tiff") continue;
            const std::string path = e.path().string();
            SCOPED_TRACE(path);
            const Bytes bytes = ReadFile(path);
            if (bytes.size() > (8u << 20)) continue;  // the suite's time
            ++files;
            // Whole, and cut to half: a cut buffer is a cut file.
            for (std::size_t size : {bytes.size(), bytes.size() / 2}) {
                const Bytes held(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
                const std::string cut = dir_.Path(gif ? "cut.gif" : "cut.tif");
                WriteFile(cut, held);
                MemoryName memory(held);
                ASSERT_EQ(memory.status(), 0);
                for (std::uint32_t flags : {0u, std::uint32_t{QOR_READ_EXTENDED}}) {
                    std::int16_t fromFile = 0, fromMemory = 0;
                    EXPECT_EQ(Describe(gif, memory.name(), flags, &fromMemory),
                              Describe(gif, cut.c_str(), flags, &fromFile))
                        << "flags " << flags << ", " << size << " bytes";
                    EXPECT_EQ(fromMemory, fromFile);
                    for (std::uint32_t threads : {1u, 2u}) {
                        if (gif && threads == 2) continue;
                        QorReadOptions o{sizeof o, flags, 0, 0, 0, threads, 0};
                        const Outcome file = Read(gif, cut.c_str(), o);
                        EXPECT_EQ(Read(gif, memory.name(), o), file)
                            << "flags " << flags << ", " << threads << " threads, " << size
                            << " bytes";
                        if (file.status == 0) ++delivered;
                    }
                }
            }
        }
    }
    EXPECT_GT(files, 50u);
    EXPECT_GT(delivered, files);
}

TEST_F(MemoryFileTest, NamesAreCheckedAndReadOnly) {
    const Bytes gif =
        ReadFile(DataPath("gif") + "/" +
                 std::filesystem::directory_iterator(DataPath("gif"))->path().filename().string());
    char name[QOR_MEMORY_NAME_SIZE];
    EXPECT_EQ(QorOpenMemory(nullptr, 1, name, sizeof name), QOR_BAD_REQUEST);
    EXPECT_EQ(QorOpenMemory(gif.data(), gif.size(), nullptr, sizeof name), QOR_BAD_REQUEST);
    EXPECT_EQ(QorOpenMemory(gif.data(), gif.size(), name, 8), QOR_BAD_REQUEST);
    // An empty buffer is an empty file: too short to be a GIF or a TIFF.
    ASSERT_EQ(QorOpenMemory(nullptr, 0, name, sizeof name), 0);
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    EXPECT_EQ(QorReadGIF(nullptr, 0, name, &dib, &transparent), QOR_READ_FAILED);
    EXPECT_EQ(QorReadTIF(nullptr, 0, name, &dib), QOR_READ_FAILED);
    ASSERT_EQ(QorCloseMemory(name), 0);
    // A closed name is a file that cannot be opened, and closes no more.
    EXPECT_EQ(QorReadTIF(nullptr, 0, name, &dib), QOR_OPEN_FAILED);
    EXPECT_EQ(QorCloseMemory(name), QOR_BAD_REQUEST);
    EXPECT_EQ(QorCloseMemory("not a memory name"), QOR_BAD_REQUEST);

    // The bytes are read only: a write to the name creates nothing, here or anywhere.
    MemoryName memory(gif);
    ASSERT_EQ(QorReadGIF(nullptr, 0, memory.name(), &dib, &transparent), 0);
    const auto before = std::distance(std::filesystem::directory_iterator("."),
                                      std::filesystem::directory_iterator());
    EXPECT_EQ(QorWriteGIF(nullptr, 0, memory.name(), dib, 0, 0, 0), QOR_CREATE_FAILED);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."),
                            std::filesystem::directory_iterator()),
              before);
    QorReleaseDocument(dib);
}

}  // namespace
}  // namespace qor::test
