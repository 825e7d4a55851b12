// The memory of one read. A read installs a meter on its thread (MeterScope), and on each worker
// thread it starts for that read; every block allocated on such a thread is charged to the meter
// until it is freed, and an allocation that would pass the meter's limit fails before it is made.
// Memory that is not a block (a library's own) is charged by its estimate (Charge, Release).
// A block remembers the meter that charged it by id: one freed after its read has ended (a
// delivered DIB that the host frees) changes no meter.
#pragma once

#include <atomic>
#include <cstdint>

namespace qor::plat {

class ReadMeter {
  public:
    explicit ReadMeter(std::uint64_t limit);
    ~ReadMeter();
    ReadMeter(const ReadMeter&) = delete;
    ReadMeter& operator=(const ReadMeter&) = delete;

    // Adds `bytes` to what the read holds: false, with nothing added, when that would pass the
    // limit.
    bool Charge(std::uint64_t bytes);
    void Release(std::uint64_t bytes);
    std::uint64_t limit() const { return limit_; }
    std::uint64_t used() const { return used_.load(std::memory_order_relaxed); }
    std::uint64_t peak() const { return peak_.load(std::memory_order_relaxed); }
    // What may still be charged.
    std::uint64_t Left() const {
        const std::uint64_t u = used();
        return u < limit_ ? limit_ - u : 0;
    }
    std::uint32_t id() const { return id_; }

  private:
    std::uint64_t limit_;
    std::atomic<std::uint64_t> used_{0};
    std::atomic<std::uint64_t> peak_{0};
    std::uint32_t id_;
};

// The calling thread's meter, or null.
ReadMeter* CurrentMeter();

// Makes `meter` the calling thread's for the scope's life (null: none), then restores the one
// before.
class MeterScope {
  public:
    explicit MeterScope(ReadMeter* meter);
    ~MeterScope();
    MeterScope(const MeterScope&) = delete;
    MeterScope& operator=(const MeterScope&) = delete;

  private:
    ReadMeter* previous_;
};

// An estimate of memory that is not a block, charged to the calling thread's meter while the
// charge lives. ok() is false when the meter refused it (nothing is charged then).
class MeterCharge {
  public:
    MeterCharge() = default;
    ~MeterCharge() { Drop(); }
    MeterCharge(const MeterCharge&) = delete;
    MeterCharge& operator=(const MeterCharge&) = delete;
    // Replaces the charge held by `bytes`; false when the meter refuses (nothing is held then).
    bool Take(std::uint64_t bytes);
    void Drop();

  private:
    ReadMeter* meter_ = nullptr;
    std::uint64_t bytes_ = 0;
};

}  // namespace qor::plat
