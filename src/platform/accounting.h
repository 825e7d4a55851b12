// What the POSIX and the Windows platform layers share: the call counters and injected faults
// behind the test interface (testing.h), the set of files open through the layer, and the read
// budget (ReadBudget in platform.h is defined with them).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/testing.h"

namespace qor::plat::detail {

// Counts one call of `op` and reports an injected fault: returns false when the call must fail,
// and sets *shortBy for a short transfer when `shortBy` is not null.
bool CountCall(testing::Op op, std::uint32_t* shortBy = nullptr);

// Records a change in the bytes of live blocks (for LiveBytes and PeakBytes).
void AddLiveBytes(std::uint64_t added, std::uint64_t removed);

// The read meter (meter.h) of the calling thread charged for a new block of `bytes`: false when
// it refuses; *meter is the id the block keeps (0: none).
bool ChargeBlock(std::uint64_t bytes, std::uint32_t* meter);
// A block of meter `meter` resized from `before` to `after` bytes: false when the meter refuses
// the growth. A meter that has ended is left alone.
bool RechargeBlock(std::uint32_t meter, std::uint64_t before, std::uint64_t after);
void ReleaseBlock(std::uint32_t meter, std::uint64_t bytes);

// The files open through the layer: only these are read, written, sought or closed.
void TrackFile(int file);
bool IsOpen(int file);
// Returns false when the file was not open.
bool ForgetFile(int file);

// The checks and fault injection shared by reads and writes. Returns false when the transfer
// must fail; otherwise *count is what is to be transferred (less when a short one is injected).
bool BeginTransfer(testing::Op op, int file, const void* buffer, std::uint32_t* count);
// The same for a scattered read of `count` pieces: *count becomes the bytes to read.
bool BeginScatteredRead(int file, const ReadPiece* pieces, std::uint32_t* count);

}  // namespace qor::plat::detail
