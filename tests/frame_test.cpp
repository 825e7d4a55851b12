// The entry points' record, as the worker sees it through the opening progress call.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "support/test_util.h"

namespace qor::test {
namespace {

struct Seen {
    std::vector<std::uint8_t> record;  // the 4157 bytes at the first progress call
    int calls = 0;
};
thread_local Seen* gSeen = nullptr;

std::int32_t CaptureRecord(QorProgressInfo* info) {
    Seen* s = gSeen;
    if (s->calls++ == 0) {
        // The info sits at byte 20 of the record.
        auto* base = reinterpret_cast<const std::uint8_t*>(info) - 20;
        s->record.assign(base, base + 4157);
    }
    return 0;
}

template <typename T>
T At(const std::vector<std::uint8_t>& rec, std::size_t offset) {
    T v;
    std::memcpy(&v, rec.data() + offset, sizeof v);
    return v;
}

class FrameTest : public LeakCheckedTest {};

// A name that fills the whole field reaches the worker whole, terminated by the zero bytes after
// the field. (Longer names are refused: see the hostile-files test.)
TEST_F(FrameTest, ReaderEntryFillsRecordAndPassesNamesThatFillTheField) {
    Seen seen;
    gSeen = &seen;
    std::string fullName(512, 'a');
    fullName[0] = '/';
    std::uint32_t result = 0xDEAD;
    std::int16_t transparent = 42;
    std::int16_t status =
        QorReadGIF(CaptureRecord, 0x1234, fullName.c_str(), &result, &transparent);
    EXPECT_EQ(status, QOR_OPEN_FAILED);  // the path does not exist
    ASSERT_EQ(seen.record.size(), 4157u);
    const auto& rec = seen.record;
    EXPECT_EQ(At<std::uint32_t>(rec, 0), 4157u);
    EXPECT_EQ(At<std::uint32_t>(rec, 20), 0x1234u);  // userValue
    EXPECT_EQ(At<std::uint32_t>(rec, 24), 0u);       // done
    EXPECT_EQ(At<std::uint32_t>(rec, 28), 100u);     // total
    EXPECT_EQ(At<std::uint32_t>(rec, 32), 1u);       // hostFlag1
    EXPECT_EQ(At<std::uint32_t>(rec, 36), 0u);       // hostFlag2
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data() + 108), 512), fullName);
    EXPECT_EQ(rec[620], 0);                       // the name is still terminated
    EXPECT_EQ(At<std::uint32_t>(rec, 1136), 1u);  // loadPixels
    EXPECT_EQ(result, 0xDEADu);                   // untouched on failure
    EXPECT_EQ(transparent, 42);
    gSeen = nullptr;
}

TEST_F(FrameTest, EmptyNameGivesOneProgressCallAndNullOutputsAreRefused) {
    ProgressRecorder rec;
    gRecorder = &rec;
    std::uint32_t result = 9;
    std::int16_t transparent = 9;
    EXPECT_EQ(QorReadGIF(RecordProgress, 5, "", &result, &transparent), QOR_BAD_REQUEST);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0], std::make_pair(0u, 100u));
    EXPECT_EQ(rec.userValue, 5u);
    EXPECT_EQ(result, 9u);
    EXPECT_EQ(transparent, 9);

    rec.calls.clear();
    EXPECT_EQ(QorReadTIF(RecordProgress, 0, "", &result), QOR_BAD_REQUEST);
    EXPECT_EQ(rec.calls.size(), 1u);
    rec.calls.clear();
    EXPECT_EQ(QorWriteGIF(RecordProgress, 0, "", 0, 0, 0, 0), QOR_BAD_REQUEST);
    EXPECT_EQ(rec.calls.size(), 1u);

    // Null outputs: refused before any work, nothing opened or allocated.
    rec.calls.clear();
    EXPECT_EQ(QorReadGIF(RecordProgress, 0, "x.gif", nullptr, &transparent), QOR_BAD_REQUEST);
    EXPECT_EQ(QorReadGIF(RecordProgress, 0, "x.gif", &result, nullptr), QOR_BAD_REQUEST);
    EXPECT_EQ(QorReadTIF(RecordProgress, 0, "x.tif", nullptr), QOR_BAD_REQUEST);
    EXPECT_TRUE(rec.calls.empty());
    // A null file name is treated as an empty one.
    EXPECT_EQ(QorReadTIF(nullptr, 0, nullptr, &result), QOR_BAD_REQUEST);
    gRecorder = nullptr;
}

TEST_F(FrameTest, WorkersRefuseNullRecordsAndBadSignaturesWithoutProgress) {
    ProgressRecorder rec;
    gRecorder = &rec;
    EXPECT_EQ(ReadGifWorker(nullptr), QOR_BAD_REQUEST);
    EXPECT_EQ(WriteGifWorker(nullptr), QOR_BAD_REQUEST);
    EXPECT_EQ(ReadTiffWorker(nullptr), QOR_BAD_REQUEST);
    Request r("whatever", RecordProgress);
    r->signature = 4156;
    EXPECT_EQ(ReadGifWorker(r.get()), QOR_BAD_REQUEST);
    EXPECT_EQ(WriteGifWorker(r.get()), QOR_BAD_REQUEST);
    EXPECT_EQ(ReadTiffWorker(r.get()), QOR_BAD_REQUEST);
    EXPECT_TRUE(rec.calls.empty());
    gRecorder = nullptr;
}

TEST_F(FrameTest, WriterEntrySetsTransparencyFromTheOptionByte) {
    struct Case {
        std::uint32_t option, index;
        std::uint8_t writeTransparent;
        std::int16_t transparentIndex;
    } cases[] = {
        {0, 7, 0, -1},           // option 0: none
        {1, 300, 1, 300},        // option 1: the low 16 bits of the index, even out of range
        {0x101, 0x10005, 1, 5},  // only the low byte of the option and 16 bits of the index
        {2, 9, 2, 0},            // any other option leaves the index 0
    };
    for (const Case& c : cases) {
        Seen seen;
        gSeen = &seen;
        QorWriteGIF(CaptureRecord, 0, "", 0x777, c.option, 3, c.index);
        ASSERT_EQ(seen.record.size(), 4157u);
        EXPECT_EQ(seen.record[1198], c.writeTransparent) << c.option;
        EXPECT_EQ(At<std::int16_t>(seen.record, 4133), c.transparentIndex) << c.option;
        EXPECT_EQ(At<std::uint32_t>(seen.record, 1207), 3u);
        EXPECT_EQ(At<std::uint32_t>(seen.record, 4145), 0x777u);
        EXPECT_EQ(At<std::uint32_t>(seen.record, 1136), 0u);  // the writer leaves loadPixels 0
    }
    gSeen = nullptr;
}

}  // namespace
}  // namespace qor::test

namespace qor::test {
namespace {

class EntryFaultTest : public LeakCheckedTest {};

// Whichever lock fails, including the entry point's own lock of the layer block, a read either
// fails with nothing left behind or delivers a document whose release leaves nothing behind.
TEST_F(EntryFaultTest, EveryLockFailureLeavesNothingOrAWholeDocument) {
    for (const char* name : {"plasma256.gif", "plasma-rgb.tif"}) {
        std::string path = std::string(QORIMG_TEST_DATA) + "/../../examples/" + name;
        bool gif = std::string(name).ends_with(".gif");
        std::uint64_t runs =
            plat::testing::SweepFaults(plat::testing::Op::Lock, [&](std::uint64_t n) {
                std::uint32_t dib = 0;
                std::int16_t transparent = 0;
                std::int16_t status = gif ? QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent)
                                          : QorReadTIF(nullptr, 0, path.c_str(), &dib);
                if (status == 0) {
                    EXPECT_NE(dib, 0u) << name << " lock " << n;
                    EXPECT_EQ(QorDocumentLayers(dib, nullptr, 0), 1u) << name << " lock " << n;
                    EXPECT_EQ(QorReleaseDocument(dib), 0) << name << " lock " << n;
                } else {
                    EXPECT_EQ(status, QOR_NO_MEMORY) << name << " lock " << n;
                }
                EXPECT_EQ(plat::testing::LiveBlocks(), blocksBefore_) << name << " lock " << n;
                EXPECT_EQ(plat::testing::OpenFiles(), filesBefore_) << name << " lock " << n;
            });
        EXPECT_GE(runs, 3u) << name;
    }
}

}  // namespace
}  // namespace qor::test

namespace qor::test {
namespace {

class ConcurrencyTest : public LeakCheckedTest {};

// Reads and writes on different files from several threads give the same pixels as one thread:
// the only shared state is the block table and the document registry.
TEST_F(ConcurrencyTest, ReadersAndWritersOnDifferentFilesDoNotInterfere) {
    const std::string examples = std::string(QORIMG_TEST_DATA) + "/../../examples/";
    const std::vector<std::string> files = {"plasma256.gif", "plasma16-interlaced.gif",
                                            "plasma-rgb-packbits.tif",
                                            "plasma-rgb-lzw-predictor.tif", "bilevel-g4.tif"};
    auto read = [&](const std::string& name, Image* out) {
        std::uint32_t dib = 0;
        std::int16_t transparent = 0;
        std::string path = examples + name;
        std::int16_t status = name.ends_with(".gif")
                                  ? QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent)
                                  : QorReadTIF(nullptr, 0, path.c_str(), &dib);
        if (status != 0) return status;
        *out = ReadDib(dib);
        QorReleaseDocument(dib);
        return status;
    };
    std::vector<Image> expected(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) ASSERT_EQ(read(files[i], &expected[i]), 0);

    TempDir dir;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                std::size_t i = static_cast<std::size_t>(t + round) % files.size();
                Image got;
                if (read(files[i], &got) != 0 || got.pixels != expected[i].pixels ||
                    got.palette != expected[i].palette) {
                    ++mismatches;
                }
                // Each thread also writes its own GIF and reads it back.
                if (expected[0].bits == 8) {
                    std::vector<std::uint8_t> indices(expected[0].pixels.begin(),
                                                      expected[0].pixels.end());
                    HGLOBAL dib = MakeDib(expected[0].width, expected[0].height, 8,
                                          expected[0].palette, indices);
                    std::string out = dir.Path("t" + std::to_string(t) + ".gif");
                    if (QorWriteGIF(nullptr, 0, out.c_str(), dib, 0, round % 2, 0) != 0) {
                        ++mismatches;
                    }
                    plat::GlobalFree(dib);
                    std::uint32_t back = 0;
                    std::int16_t tr = 0;
                    if (QorReadGIF(nullptr, 0, out.c_str(), &back, &tr) != 0 ||
                        ReadDib(back).pixels != expected[0].pixels) {
                        ++mismatches;
                    }
                    QorReleaseDocument(back);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace qor::test
