// Allocation.cpp - the heap seam: plain heap calls, plus fault injection in test builds.
#include "Allocation.h"

#include <new>

#if defined(OSTREVEL_ALLOCATION_SEAM)
#include <atomic>
#endif

namespace ostrevel {

#if defined(OSTREVEL_ALLOCATION_SEAM)
namespace {

std::atomic<std::uint64_t> attemptCount{0};
std::atomic<std::int64_t> liveCount{0};
std::atomic<std::uint64_t> failAt{0};
std::atomic<bool> failAfter{false};

// True when the allocation with this 1-based number is planned to fail.
bool plannedToFail(std::uint64_t number) noexcept {
    const std::uint64_t k = failAt.load();
    if (k == 0) {
        return false;
    }
    return failAfter.load() ? number >= k : number == k;
}

}  // namespace

namespace allocation_seam {

void failAllocation(std::uint64_t k, bool andAfter) noexcept {
    failAfter.store(andAfter);
    failAt.store(k == 0 ? 0 : attemptCount.load() + k);
}

void reset() noexcept {
    failAt.store(0);
    failAfter.store(false);
    attemptCount.store(0);
    liveCount.store(0);
}

std::uint64_t attempts() noexcept { return attemptCount.load(); }

std::int64_t liveBlocks() noexcept { return liveCount.load(); }

}  // namespace allocation_seam
#endif

void* allocateBlock(std::size_t bytes) noexcept {
#if defined(OSTREVEL_ALLOCATION_SEAM)
    if (plannedToFail(++attemptCount)) {
        return nullptr;
    }
#endif
    // A zero-byte request still needs a real block, so that "empty" never reads as "failed".
    void* block = ::operator new(bytes == 0 ? 1 : bytes, std::nothrow);
#if defined(OSTREVEL_ALLOCATION_SEAM)
    if (block != nullptr) {
        ++liveCount;
    }
#endif
    return block;
}

void releaseBlock(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
#if defined(OSTREVEL_ALLOCATION_SEAM)
    --liveCount;
#endif
    ::operator delete(block);
}

}  // namespace ostrevel
