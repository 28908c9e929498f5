// FuzzStrip.cpp - stripping arbitrary bytes: never outside the buffer, the same verdict as a
// plain reference walk, and a valid result that re-wraps into the input's segments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Reference.h"
#include "SegmentFraming.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1U << 20) return 0;
    // An exact-sized heap copy, so that the address sanitizer catches any access past it.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(buffer.get(), data, size);
    const auto n = static_cast<std::int32_t>(size);
    const ostrevel::FramingResult result = ostrevel::stripSegmentPrefixes(buffer.get(), n);

    std::vector<reference::Segment> segments;
    std::size_t badOffset = 0;
    const bool valid = reference::walk(data, size, segments, badOffset);
    if (valid != (result.status == ostrevel::FramingStatus::Ok)) std::abort();
    if (!valid) {
        if (result.output.size != 0 || result.errorOffset != static_cast<std::int32_t>(badOffset))
            std::abort();
        return 0;
    }
    if (result.output.pointer != buffer.get() || result.output.size < 0 || result.output.size > n)
        std::abort();
    // Re-wrapping the output along the input's segments gives the input's data back.
    std::size_t position = 0;
    for (const reference::Segment& segment : segments) {
        if (std::memcmp(buffer.get() + position, data + segment.dataOffset, segment.dataLength) !=
            0)
            std::abort();
        position += segment.dataLength;
    }
    if (position != static_cast<std::size_t>(result.output.size)) std::abort();
    return 0;
}
