#include "platform/accounting.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/meter.h"

namespace qor::plat {
namespace {

struct Fault {
    std::uint64_t nth = 0;  // 0 = none
    std::uint32_t shortBy = 0;
};

struct Accounts {
    std::mutex mutex;
    testing::Counts counts;
    Fault faults[8];
    std::unordered_set<int> files;
    std::uint64_t liveBytes = 0;  // the sizes of all live blocks
    std::uint64_t peakBytes = 0;  // the most that liveBytes reached since the last ResetPeak
    std::uint32_t readCap = 0;    // 0, or the most bytes one read transfers
};

Accounts& TheAccounts() {
    static Accounts* accounts = new Accounts;  // never destroyed: blocks may be freed at exit
    return *accounts;
}

std::uint64_t& Counter(testing::Counts& c, testing::Op op) {
    switch (op) {
        case testing::Op::Alloc:
            return c.allocs;
        case testing::Op::Lock:
            return c.locks;
        case testing::Op::Read:
            return c.reads;
        case testing::Op::Write:
            return c.writes;
        case testing::Op::Open:
            return c.opens;
        case testing::Op::Create:
            return c.creates;
        case testing::Op::Sync:
            return c.syncs;
        case testing::Op::Close:
            break;
    }
    return c.closes;
}

std::atomic<std::uint64_t> gReadBudget{kReadBudget};

// The meters of the reads in progress, by id; ids are not reused, so a block charged to a meter
// that has ended finds none.
struct Meters {
    std::mutex mutex;
    std::unordered_map<std::uint32_t, ReadMeter*> live;
    std::uint32_t nextId = 1;
    std::uint64_t endedPeak = 0;  // the highest peak of a meter ended since the last ResetPeak
};

Meters& TheMeters() {
    static Meters* meters = new Meters;  // never destroyed: blocks may be freed at exit
    return *meters;
}

thread_local ReadMeter* tMeter = nullptr;
std::atomic<std::uint64_t> gSmallestThreadedPage{0};  // 0: the caller's usual size

}  // namespace

std::uint64_t ReadBudget() {
    return gReadBudget.load(std::memory_order_relaxed);
}

std::uint64_t SmallestThreadedPage(std::uint64_t usual) {
    const std::uint64_t set = gSmallestThreadedPage.load(std::memory_order_relaxed);
    return set != 0 ? set : usual;
}

ReadMeter::ReadMeter(std::uint64_t limit) : limit_(limit) {
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    do {
        id_ = m.nextId++;
    } while (id_ == 0);
    m.live.emplace(id_, this);
}

ReadMeter::~ReadMeter() {
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    m.live.erase(id_);
    m.endedPeak = std::max(m.endedPeak, peak());
}

bool ReadMeter::Charge(std::uint64_t bytes) {
    std::uint64_t u = used_.load(std::memory_order_relaxed);
    do {
        if (bytes > limit_ || u > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(u, u + bytes, std::memory_order_relaxed));
    std::uint64_t p = peak_.load(std::memory_order_relaxed);
    while (u + bytes > p && !peak_.compare_exchange_weak(p, u + bytes, std::memory_order_relaxed)) {
    }
    return true;
}

void ReadMeter::Release(std::uint64_t bytes) {
    used_.fetch_sub(bytes, std::memory_order_relaxed);
}

ReadMeter* CurrentMeter() {
    return tMeter;
}

MeterScope::MeterScope(ReadMeter* meter) : previous_(tMeter) {
    tMeter = meter;
}

MeterScope::~MeterScope() {
    tMeter = previous_;
}

bool MeterCharge::Take(std::uint64_t bytes) {
    Drop();
    ReadMeter* meter = CurrentMeter();
    if (meter == nullptr || bytes == 0) return true;
    if (!meter->Charge(bytes)) return false;
    meter_ = meter;
    bytes_ = bytes;
    return true;
}

void MeterCharge::Drop() {
    if (meter_ != nullptr) meter_->Release(bytes_);
    meter_ = nullptr;
    bytes_ = 0;
}

bool detail::ChargeBlock(std::uint64_t bytes, std::uint32_t* meter) {
    *meter = 0;
    ReadMeter* current = CurrentMeter();
    if (current == nullptr) return true;
    if (!current->Charge(bytes)) return false;
    *meter = current->id();
    return true;
}

bool detail::RechargeBlock(std::uint32_t meter, std::uint64_t before, std::uint64_t after) {
    if (meter == 0 || before == after) return true;
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    auto it = m.live.find(meter);
    if (it == m.live.end()) return true;
    if (after > before) return it->second->Charge(after - before);
    it->second->Release(before - after);
    return true;
}

void detail::ReleaseBlock(std::uint32_t meter, std::uint64_t bytes) {
    if (meter == 0) return;
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    auto it = m.live.find(meter);
    if (it != m.live.end()) it->second->Release(bytes);
}

bool detail::CountCall(testing::Op op, std::uint32_t* shortBy) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    std::uint64_t n = ++Counter(a.counts, op);
    const Fault& f = a.faults[static_cast<int>(op)];
    if (f.nth == 0 || f.nth != n) return true;
    if (f.shortBy > 0 && shortBy != nullptr) {
        *shortBy = f.shortBy;
        return true;
    }
    return false;
}

void detail::AddLiveBytes(std::uint64_t added, std::uint64_t removed) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    a.liveBytes = a.liveBytes + added - removed;
    if (a.liveBytes > a.peakBytes) a.peakBytes = a.liveBytes;
}

void detail::TrackFile(int file) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    a.files.insert(file);
}

bool detail::IsOpen(int file) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.files.count(file) != 0;
}

bool detail::ForgetFile(int file) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.files.erase(file) != 0;
}

bool detail::BeginTransfer(testing::Op op, int file, const void* buffer, std::uint32_t* count) {
    std::uint32_t shortBy = 0;
    if (!CountCall(op, &shortBy)) return false;
    {
        Accounts& a = TheAccounts();
        std::lock_guard<std::mutex> guard(a.mutex);
        if (a.files.count(file) == 0) return false;
        if (op == testing::Op::Read && a.readCap != 0 && *count > a.readCap + shortBy) {
            shortBy = *count - a.readCap;
        }
    }
    if (*count > 0x7FFFFFFFu || (buffer == nullptr && *count > 0)) return false;
    *count = shortBy >= *count ? 0 : *count - shortBy;
    return true;
}

bool detail::BeginScatteredRead(int file, const ReadPiece* pieces, std::uint32_t* count) {
    if (*count == 0 || *count > kMostReadPieces) return false;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < *count; ++i) total += pieces[i].size;
    if (total > 0x7FFFFFFFu) return false;
    *count = static_cast<std::uint32_t>(total);
    return BeginTransfer(testing::Op::Read, file, pieces[0].data, count);
}

namespace testing {

void SetSmallestThreadedPage(std::uint64_t bytes) {
    gSmallestThreadedPage.store(bytes, std::memory_order_relaxed);
}

void SetReadBudget(std::uint64_t bytes) {
    gReadBudget.store(bytes != 0 ? bytes : kReadBudget, std::memory_order_relaxed);
}

void FailNth(Op op, std::uint64_t n, std::uint32_t shortBy) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    a.faults[static_cast<int>(op)] = Fault{n, shortBy};
}

void CapReads(std::uint32_t most) {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    a.readCap = most;
}

void Reset() {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    for (Fault& f : a.faults) f = Fault{};
    a.readCap = 0;
    a.counts = Counts{};
}

Counts CallCounts() {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.counts;
}

std::uint64_t OpenFiles() {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.files.size();
}

std::uint64_t LiveBytes() {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.liveBytes;
}

std::uint64_t PeakBytes() {
    Accounts& a = TheAccounts();
    std::lock_guard<std::mutex> guard(a.mutex);
    return a.peakBytes;
}

void ResetPeak() {
    {
        Accounts& a = TheAccounts();
        std::lock_guard<std::mutex> guard(a.mutex);
        a.peakBytes = a.liveBytes;
    }
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    m.endedPeak = 0;
}

std::uint64_t ReadPeak() {
    Meters& m = TheMeters();
    std::lock_guard<std::mutex> guard(m.mutex);
    return m.endedPeak;
}

}  // namespace testing
}  // namespace qor::plat
