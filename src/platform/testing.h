// Test-only accounting and fault injection for the platform layer. Production code never calls
// these; tests use them to prove that every failure path releases every block and file.
#pragma once

#include <cstdint>

namespace qor::plat::testing {

enum class Op { Alloc, Lock, Read, Write, Open, Create, Sync, Close };

struct Counts {
    std::uint64_t allocs = 0, locks = 0, reads = 0, writes = 0, opens = 0, creates = 0, syncs = 0,
                  closes = 0;
};

// Makes the n-th call (1-based, counted from the last Reset) of `op` fail: Alloc returns 0, Lock
// returns null, Read and Write return -1, Open and Create return -1, Sync (of a file or a
// directory) returns 0, and Close closes the file but returns -1. With `shortBy` > 0 a Read or
// Write transfers that many bytes fewer than asked (at least 0) instead of failing.
void FailNth(Op op, std::uint64_t n, std::uint32_t shortBy = 0);
// Makes every read transfer at most `most` bytes (0: no limit) until the next Reset.
void CapReads(std::uint32_t most);
// Clears all injected failures, the read cap and the call counters (not the live block and file
// counts).
void Reset();
// Calls made since the last Reset.
Counts CallCounts();
// Lowers the budget of one read's images (ReadBudget) so that tests need not allocate
// gigabytes; 0 restores kReadBudget.
void SetReadBudget(std::uint64_t bytes);
// Lowers the size from which a page's strips are decoded on several threads (SmallestThreadedPage),
// so that small test files take the threaded path; 0 restores the usual size.
void SetSmallestThreadedPage(std::uint64_t bytes);
// Blocks allocated and not yet freed, and files open and not yet closed.
std::uint64_t LiveBlocks();
std::uint64_t OpenFiles();
// The bytes of all live blocks, and the most they reached since the last ResetPeak (which
// starts the peak again from what is live now).
std::uint64_t LiveBytes();
std::uint64_t PeakBytes();
void ResetPeak();
// The most that any one read held, all its memory counted by its meter (meter.h), among the reads
// that ended since the last ResetPeak.
std::uint64_t ReadPeak();
// Locks still held on a block (0 for an unknown one).
int LockCount(std::uint32_t block);

// Runs `body` once per fault position: for n = 1, 2, ... it makes the n-th `op` fail and calls
// body(n); it stops after the first run in which that call was never reached. Returns the number
// of runs that hit a fault.
template <typename Body>
std::uint64_t SweepFaults(Op op, Body body, std::uint32_t shortBy = 0) {
    std::uint64_t n = 1;
    for (;; ++n) {
        Reset();
        FailNth(op, n, shortBy);
        body(n);
        Counts c = CallCounts();
        std::uint64_t made = op == Op::Alloc    ? c.allocs
                             : op == Op::Lock   ? c.locks
                             : op == Op::Read   ? c.reads
                             : op == Op::Write  ? c.writes
                             : op == Op::Open   ? c.opens
                             : op == Op::Create ? c.creates
                             : op == Op::Sync   ? c.syncs
                                                : c.closes;
        Reset();
        if (made < n) break;
    }
    return n - 1;
}

}  // namespace qor::plat::testing
