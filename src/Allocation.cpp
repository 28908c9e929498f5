// Allocation.cpp - the heap seam: plain heap calls, plus fault injection in test builds.
#include "Allocation.h"

#include <new>

#if defined(OSTREVEL_ALLOCATION_SEAM)
#include <atomic>
#endif

namespace ostrevel {

#if defined(OSTREVEL_ALLOCATION_SEAM)
namespace {

struct SeamState {
    std::atomic<std::uint64_t> attempts{0};
    std::atomic<std::int64_t> live{0};
    std::atomic<std::uint64_t> failAt{0};  // 1-based attempt number; 0: none
    std::atomic<bool> failAfter{false};
    std::atomic<void (*)(void*)> releaseHook{nullptr};
};

SeamState& seam() noexcept {
    static SeamState state;
    return state;
}

// True when the allocation with this 1-based number is planned to fail.
bool plannedToFail(std::uint64_t number) noexcept {
    const std::uint64_t k = seam().failAt.load();
    if (k == 0) {
        return false;
    }
    return seam().failAfter.load() ? number >= k : number == k;
}

}  // namespace

namespace allocation_seam {

void failAllocation(std::uint64_t k, bool andAfter) noexcept {
    seam().failAfter.store(andAfter);
    seam().failAt.store(k == 0 ? 0 : seam().attempts.load() + k);
}

void reset() noexcept {
    seam().failAt.store(0);
    seam().failAfter.store(false);
    seam().attempts.store(0);
    seam().live.store(0);
}

std::uint64_t attempts() noexcept {
    return seam().attempts.load();
}

std::int64_t liveBlocks() noexcept {
    return seam().live.load();
}

void setReleaseHook(void (*hook)(void* block)) noexcept {
    seam().releaseHook.store(hook);
}

}  // namespace allocation_seam
#endif

void* allocateBlock(std::size_t bytes) noexcept {
#if defined(OSTREVEL_ALLOCATION_SEAM)
    if (plannedToFail(++seam().attempts)) {
        return nullptr;
    }
#endif
    // A zero-byte request still needs a real block, so that "empty" never reads as "failed".
    void* block = ::operator new(bytes == 0 ? 1 : bytes, std::nothrow);
#if defined(OSTREVEL_ALLOCATION_SEAM)
    if (block != nullptr) {
        ++seam().live;
    }
#endif
    return block;
}

void releaseBlock(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
#if defined(OSTREVEL_ALLOCATION_SEAM)
    --seam().live;
    if (void (*hook)(void*) = seam().releaseHook.load()) {
        hook(block);
    }
#endif
    ::operator delete(block);
}

}  // namespace ostrevel
