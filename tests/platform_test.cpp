#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstring>

#include "platform/atomic_file.h"
#include "support/test_util.h"

namespace qor::test {
namespace {

using namespace qor::plat;
namespace pt = qor::plat::testing;

class PlatformTest : public LeakCheckedTest {};

TEST_F(PlatformTest, BlocksLockResizeAndFree) {
    const std::uint64_t before = pt::LiveBytes();
    pt::ResetPeak();
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 1000);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GlobalSize(h), 1000u);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0) << i;
    p[999] = 7;
    EXPECT_EQ(GlobalLock(h), p);  // locks nest, address stable while locked
    EXPECT_EQ(pt::LockCount(h), 2);
    EXPECT_EQ(GlobalReAlloc(h, 2000, GMEM_MOVEABLE), 0u);  // a locked block does not move
    EXPECT_EQ(GlobalUnlock(h), 1);
    EXPECT_EQ(GlobalUnlock(h), 0);
    EXPECT_EQ(GlobalReAlloc(h, 2000, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalSize(h), 2000u);
    p = static_cast<unsigned char*>(GlobalLock(h));
    EXPECT_EQ(p[999], 7);
    EXPECT_EQ(p[1999], 0);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalReAlloc(h, 10, GMEM_MOVEABLE), h);
    EXPECT_EQ(GlobalSize(h), 10u);
    // The byte accounting follows resizes; the peak stays at the largest size.
    EXPECT_EQ(pt::LiveBytes() - before, 10u);
    EXPECT_EQ(pt::PeakBytes() - before, 2000u);
    EXPECT_EQ(GlobalFree(h), 0u);
    EXPECT_EQ(pt::LiveBytes(), before);
    // A stale handle is refused everywhere, and a new block never takes it over.
    EXPECT_EQ(GlobalFree(h), h);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalSize(h), 0u);
    HGLOBAL again = GlobalAlloc(GMEM_MOVEABLE, 10);
#if !defined(_WIN32) || defined(_WIN64)  // 32-bit Windows hands out the kernel's own handles
    EXPECT_NE(again, h);
#endif
    GlobalFree(again);
    // Sizes that no block can hold.
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 0), 0u);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, kMaxBlockSize + 1), 0u);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 1ull << 40), 0u);
}

TEST_F(PlatformTest, FilesReadWriteSeekAndSize) {
    TempDir dir;
    std::string path = dir.Path("f.bin");
    HFILE f = _lcreat(path.c_str(), 0);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(pt::OpenFiles(), filesBefore_ + 1);
    EXPECT_EQ(_lwrite(f, "hello world", 11), 11);
    EXPECT_EQ(_lclose(f), 0);
    EXPECT_EQ(_lclose(f), HFILE_ERROR);  // closed once only
    f = _lopen(path.c_str(), 0);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(GetFileSize(f, nullptr), 11u);
    char buf[32] = {};
    EXPECT_EQ(_llseek(f, 6, 0), 6);
    EXPECT_EQ(_lread(f, buf, 32), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(_lread(f, buf, 32), 0);  // end of file
    EXPECT_EQ(_llseek(f, -5, 1), 6);
    EXPECT_EQ(_llseek(f, 0, 2), 11);
    EXPECT_EQ(_llseek(f, -100, 1), -1);
    // A second handle on the file reads from its own position, for another thread.
    HFILE again = OpenAgain(f);
    ASSERT_NE(again, HFILE_ERROR);
    EXPECT_EQ(pt::OpenFiles(), filesBefore_ + 2);
    EXPECT_EQ(_llseek(f, 6, 0), 6);
    EXPECT_EQ(_lread(again, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(_lread(f, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(_lclose(again), 0);
    EXPECT_EQ(_lclose(f), 0);
    EXPECT_EQ(_lread(f, buf, 1), -1);  // not open any more
    EXPECT_EQ(OpenAgain(f), HFILE_ERROR);
    EXPECT_EQ(_lopen(dir.Path("missing").c_str(), 0), HFILE_ERROR);
    EXPECT_EQ(_lopen(dir.dir().string().c_str(), 0), HFILE_ERROR);  // a directory is not a file
    EXPECT_NE(DeleteFileA(path.c_str()), 0);
    EXPECT_FALSE(FileExists(path));
}

TEST_F(PlatformTest, FaultInjectionCountsAndFailsTheNthCall) {
    TempDir dir;
    WriteFile(dir.Path("f"), Bytes(100, 1));
    pt::FailNth(pt::Op::Alloc, 2);
    HGLOBAL a = GlobalAlloc(GMEM_MOVEABLE, 4);
    HGLOBAL b = GlobalAlloc(GMEM_MOVEABLE, 4);
    HGLOBAL c = GlobalAlloc(GMEM_MOVEABLE, 4);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(b, 0u);
    EXPECT_NE(c, 0u);
    pt::FailNth(pt::Op::Lock, 1);
    EXPECT_EQ(GlobalLock(a), nullptr);
    EXPECT_NE(GlobalLock(a), nullptr);
    GlobalUnlock(a);
    GlobalFree(a);
    GlobalFree(c);

    pt::FailNth(pt::Op::Read, 2, 30);  // the second read comes up 30 bytes short
    HFILE f = _lopen(dir.Path("f").c_str(), 0);
    char buf[100];
    EXPECT_EQ(_lread(f, buf, 40), 40);
    EXPECT_EQ(_lread(f, buf, 40), 10);
    pt::FailNth(pt::Op::Read, 3);
    EXPECT_EQ(_lread(f, buf, 40), -1);
    EXPECT_EQ(pt::CallCounts().reads, 3u);
    _lclose(f);

    // A sweep runs once per reachable call and stops at the first run that never reaches it.
    std::uint64_t runs = pt::SweepFaults(pt::Op::Alloc, [](std::uint64_t) {
        for (int i = 0; i < 3; ++i) GlobalFree(GlobalAlloc(GMEM_MOVEABLE, 8));
    });
    EXPECT_EQ(runs, 3u);
}

// The atomic-file writer as the tool uses it, through the descriptor or a stdio stream: a failed
// sync or close of the temporary file keeps the old file, a failed sync of the directory after
// the rename is reported with the new file in place, and nothing but the target remains.
TEST_F(PlatformTest, AtomicFileCommitsWholeOrKeepsTheOldFile) {
    TempDir dir;
    const std::string target = dir.Path("out.bin");
    using R = AtomicResult;
    struct Case {
        pt::Op op;
        std::uint64_t nth;  // 0: no fault
        R want;
        bool replaced;
    };
    // The first close is Begin's check that the old file can be written.
    for (Case c : {Case{pt::Op::Sync, 0, R::Ok, true}, Case{pt::Op::Sync, 1, R::WriteFailed, false},
                   Case{pt::Op::Sync, 2, R::WriteFailed, true},
                   Case{pt::Op::Close, 2, R::WriteFailed, false}}) {
        for (bool stream : {false, true}) {
            SCOPED_TRACE(std::to_string(int(c.op)) + "/" + std::to_string(c.nth) +
                         (stream ? " stream" : ""));
            WriteFile(target, Bytes{'o', 'l', 'd'});
            pt::Reset();
            pt::FailNth(c.op, c.nth);
            AtomicFile f;
            ASSERT_EQ(BeginAtomicFile(target.c_str(), &f), R::Ok);
            if (stream) {
                ASSERT_GE(std::fputs("new", AtomicFileStream(&f)), 0);  // non-negative on success
            } else {
                ASSERT_EQ(_lwrite(f.file, "new", 3), 3);
            }
            EXPECT_EQ(CommitAtomicFile(&f), c.want);
            EXPECT_EQ(ReadFile(target),
                      c.replaced ? (Bytes{'n', 'e', 'w'}) : (Bytes{'o', 'l', 'd'}));
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 1);
        }
    }
    pt::Reset();
    AtomicFile f;
    ASSERT_EQ(BeginAtomicFile(target.c_str(), &f), R::Ok);
    std::fputs("partial", AtomicFileStream(&f));
    AbortAtomicFile(&f);
    EXPECT_EQ(ReadFile(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 1);

    // The temporary file is created exclusively: a name taken by a file or a planted link is
    // never opened.
    EXPECT_EQ(CreateNewFile(target.c_str()), HFILE_ERROR);
#ifndef _WIN32
    ASSERT_EQ(::symlink(target.c_str(), dir.Path("planted").c_str()), 0);
    EXPECT_EQ(CreateNewFile(dir.Path("planted").c_str()), HFILE_ERROR);
#endif
    EXPECT_EQ(ReadFile(target), (Bytes{'o', 'l', 'd'}));
}

// A batch of files in two folders: the files' data are synced together (one sync counted per
// file) and each folder once, whatever the number of files in it. A failed sync of the data keeps
// every old file; a failed sync of a folder reports its files, which are in place; a batch that
// is never committed leaves the old files and no temporary file.
TEST_F(PlatformTest, AtomicBatchSyncsEachFolderOnce) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path("b"));
    const std::vector<std::string> targets = {dir.Path("a1"), dir.Path("b/b1"), dir.Path("a2"),
                                              dir.Path("b/b2")};
    using R = AtomicResult;
    struct Case {
        std::uint64_t failSync;  // 0: no fault
        bool commit;
        std::vector<R> want;
        std::vector<bool> replaced;
    };
    const R ok = R::Ok, failed = R::WriteFailed;
    for (const Case& c :
         {Case{0, true, {ok, ok, ok, ok}, {true, true, true, true}},
          Case{3, true, {failed, failed, failed, failed}, {false, false, false, false}},
          Case{5, true, {failed, ok, failed, ok}, {true, true, true, true}},
          Case{6, true, {ok, failed, ok, failed}, {true, true, true, true}},
          Case{0, false, {}, {false, false, false, false}}}) {
        SCOPED_TRACE(std::to_string(c.failSync) + (c.commit ? " commit" : " abort"));
        for (const auto& t : targets) WriteFile(t, Bytes{'o', 'l', 'd'});
        pt::Reset();
        pt::FailNth(pt::Op::Sync, c.failSync);
        std::vector<AtomicOutcome> outcomes;
        {
            AtomicBatch batch;
            for (const auto& t : targets) {
                AtomicFile f;
                ASSERT_EQ(BeginAtomicFile(t.c_str(), &f), R::Ok);
                ASSERT_GE(std::fputs("new", AtomicFileStream(&f)), 0);
                ASSERT_EQ(AddToAtomicBatch(&f, &batch), R::Ok);
            }
            EXPECT_EQ(batch.bytes, 3u * targets.size());
            if (c.commit) outcomes = CommitAtomicBatch(&batch);
        }
        if (c.commit && c.failSync == 0) {
            EXPECT_EQ(pt::CallCounts().syncs, targets.size() + 2);
        }
        ASSERT_EQ(outcomes.size(), c.want.size());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (i < outcomes.size()) {
                EXPECT_EQ(outcomes[i].result, c.want[i]) << i;
            }
            EXPECT_EQ(ReadFile(targets[i]),
                      c.replaced[i] ? (Bytes{'n', 'e', 'w'}) : (Bytes{'o', 'l', 'd'}))
                << i;
        }
        // Two files and the folder b in the top folder, two files in b: no temporary file.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 3);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("b")), {}), 2);
    }
}

}  // namespace
}  // namespace qor::test
