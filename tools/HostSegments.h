// HostSegments.h - walks the segments of a framed body by the node's own prefix check, for
// the reasons of `run` and the listing of `inspect`.
#ifndef OSTREVEL_TOOLS_HOSTSEGMENTS_H
#define OSTREVEL_TOOLS_HOSTSEGMENTS_H

#include <cstdint>
#include <vector>

#include "SegmentFraming.h"

namespace host {

// Calls onSegment(offset, data, dataLength) for each segment of `body` in order, up to the
// first bad prefix. Returns Ok when the segments tile the body exactly; otherwise the status
// of the first bad prefix, whose offset goes to `badOffset`. `body` holds at most INT32_MAX
// bytes.
template <typename OnSegment>
ostrevel::FramingStatus walkSegments(const std::vector<std::uint8_t>& body, OnSegment onSegment,
                                     std::int32_t& badOffset) {
    const auto size = static_cast<std::int32_t>(body.size());
    for (std::int32_t offset = 0; offset < size;) {
        std::int32_t dataLength = 0;
        const ostrevel::FramingStatus status =
            ostrevel::checkSegmentAt(body.data(), size, offset, dataLength);
        if (status != ostrevel::FramingStatus::Ok) {
            badOffset = offset;
            return status;
        }
        onSegment(offset, body.data() + offset + ostrevel::SEGMENT_PREFIX_BYTES, dataLength);
        offset += dataLength + ostrevel::SEGMENT_PREFIX_BYTES;
    }
    return ostrevel::FramingStatus::Ok;
}

}  // namespace host

#endif  // OSTREVEL_TOOLS_HOSTSEGMENTS_H
