// Allocation.h - the one seam through which the library takes memory from the heap.
//
// Every record, value store and work buffer comes from allocateBlock and goes back through
// releaseBlock. Neither throws: a failed allocation is a null result. Builds that define
// OSTREVEL_ALLOCATION_SEAM (the test build) can count allocations and make chosen ones fail;
// the plug-in build compiles the seam down to plain calls of the global heap.
#ifndef OSTREVEL_SRC_ALLOCATION_H
#define OSTREVEL_SRC_ALLOCATION_H

#include <cstddef>
#include <cstdint>

namespace ostrevel {

// Returns a block of at least `bytes` bytes (a zero-byte request still gets a distinct,
// non-null block) or null when the heap cannot supply it. The caller owns the block.
void* allocateBlock(std::size_t bytes) noexcept;

// Returns a block from allocateBlock to the heap; null is ignored.
void releaseBlock(void* block) noexcept;

#if defined(OSTREVEL_ALLOCATION_SEAM)
namespace allocation_seam {

// Makes the k-th allocation from now (1-based) fail; with `andAfter`, every one from the
// k-th on. 0 clears the plan.
void failAllocation(std::uint64_t k, bool andAfter = false) noexcept;
// Clears the plan and the counters.
void reset() noexcept;
// Allocations attempted since the last reset (failed ones included).
std::uint64_t attempts() noexcept;
// Blocks handed out and not yet released since the last reset.
std::int64_t liveBlocks() noexcept;
// Calls `hook` (null: none) each time a block is released, before it goes back to the heap,
// so that a test can see when a release happens relative to other events. Not cleared by
// reset.
void setReleaseHook(void (*hook)(void* block)) noexcept;

}  // namespace allocation_seam
#endif

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_ALLOCATION_H
