// FuzzStrip.cpp - stripping arbitrary bytes: never outside the buffer, the same verdict as a
// plain reference walk, and a valid result that re-wraps into the input's segments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "SegmentFraming.h"

namespace {

struct Segment {
    std::size_t dataOffset;
    std::size_t dataLength;
};

// The framing rule written out plainly: every LL from 4 to 32,771, segments tiling the body.
bool referenceWalk(const std::uint8_t* body, std::size_t n, std::vector<Segment>& segments,
                   std::size_t& badOffset) {
    std::size_t offset = 0;
    while (offset < n) {
        badOffset = offset;
        if (n - offset < 4) return false;
        const std::size_t ll = (static_cast<std::size_t>(body[offset]) << 8) | body[offset + 1];
        if (ll < 4 || ll > 32771 || ll > n - offset) return false;
        segments.push_back({offset + 4, ll - 4});
        offset += ll;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1U << 20) return 0;
    // An exact-sized heap copy, so that the address sanitizer catches any access past it.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(buffer.get(), data, size);
    const auto n = static_cast<std::int32_t>(size);
    const ostrevel::FramingResult result = ostrevel::stripSegmentPrefixes(buffer.get(), n);

    std::vector<Segment> segments;
    std::size_t badOffset = 0;
    const bool valid = referenceWalk(data, size, segments, badOffset);
    if (valid != (result.status == ostrevel::FramingStatus::Ok)) std::abort();
    if (!valid) {
        if (result.output.size != 0 || result.errorOffset != static_cast<std::int32_t>(badOffset))
            std::abort();
        return 0;
    }
    if (result.output.pointer != buffer.get() || result.output.size < 0 || result.output.size > n)
        std::abort();
    // Re-wrapping the output along the input's segments gives the input back (ZZ aside).
    std::size_t position = 0;
    for (const Segment& segment : segments) {
        if (std::memcmp(buffer.get() + position, data + segment.dataOffset, segment.dataLength) != 0)
            std::abort();
        position += segment.dataLength;
    }
    if (position != static_cast<std::size_t>(result.output.size)) std::abort();
    return 0;
}
