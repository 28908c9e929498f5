// SegmentFraming.h - IMS segment framing of a message body, inside the node's work buffer.
//
// An IMS body is a run of segments, each a 4-byte prefix (LL: big-endian length of the whole
// segment, prefix included; ZZ: two bytes written as zero, never examined) and LL - 4 data
// bytes. addSegmentPrefix wraps a whole body into one segment without moving it;
// stripSegmentPrefixes joins the data of all segments at the front of the buffer, in place,
// in one pass. Bodies that cannot be framed or stripped correctly are refused, never
// half-converted, and nothing outside the body's bytes is ever read or written.
#ifndef OSTREVEL_SRC_SEGMENTFRAMING_H
#define OSTREVEL_SRC_SEGMENTFRAMING_H

#include <cstdint>

#include "BrokerInterface.h"

namespace ostrevel {

inline constexpr std::int32_t SEGMENT_PREFIX_BYTES = 4;
inline constexpr std::int32_t MIN_SEGMENT_LENGTH = SEGMENT_PREFIX_BYTES;  // LL of an empty segment
inline constexpr std::int32_t MAX_SEGMENT_DATA = 32767;
inline constexpr std::int32_t MAX_SEGMENT_LENGTH = MAX_SEGMENT_DATA + SEGMENT_PREFIX_BYTES;

enum class FramingStatus {
    Ok,
    BodyTooLong,         // wrapping: more than MAX_SEGMENT_DATA bytes for one segment
    NegativeLength,      // a body length below 0
    LengthBelowPrefix,   // stripping: an LL of 0 to 3
    LengthAboveMaximum,  // stripping: an LL of 32,772 or more
    SegmentPastEnd,      // stripping: a segment's data runs past the body's end
    PrefixCutShort,      // stripping: 1 to 3 bytes left where a prefix should start
};

// What a framing operation produced. `output` points into the work buffer and owns nothing;
// when `status` is not Ok its size is 0 and `errorOffset` is the offset of the offending
// segment prefix (0 for errors of the body as a whole).
struct FramingResult {
    ByteArrayRef output;
    FramingStatus status;
    std::int32_t errorOffset;
};

// A short English description of a status, for tools and logs.
const char* framingStatusText(FramingStatus status) noexcept;

// The segment length LL of the prefix at `prefix`: big-endian, read a byte at a time, so it
// is right on every byte order (compilers turn it into one load, swapped on little-endian).
// The only reader of LL in the project.
inline std::int32_t readSegmentLength(const std::uint8_t* prefix) noexcept {
    return (static_cast<std::int32_t>(prefix[0]) << 8) | static_cast<std::int32_t>(prefix[1]);
}

// Checks the segment prefix at `offset` of a body of `n` bytes (0 <= offset < n). On Ok sets
// `dataLength` to the segment's data length, which then lies within the body. The one rule
// that decides whether a prefix is valid; the stripping and the tools use it alike.
inline FramingStatus checkSegmentAt(const std::uint8_t* body, std::int32_t n, std::int32_t offset,
                                    std::int32_t& dataLength) noexcept {
    if (n - offset < SEGMENT_PREFIX_BYTES) {
        return FramingStatus::PrefixCutShort;
    }
    const std::int32_t ll = readSegmentLength(body + offset);
    if (ll < MIN_SEGMENT_LENGTH) {
        return FramingStatus::LengthBelowPrefix;
    }
    if (ll > MAX_SEGMENT_LENGTH) {
        return FramingStatus::LengthAboveMaximum;
    }
    if (ll > n - offset) {
        return FramingStatus::SegmentPastEnd;
    }
    dataLength = ll - SEGMENT_PREFIX_BYTES;
    return FramingStatus::Ok;
}

// `buffer` is a ToIms work buffer: 4 reserved bytes, then the n body bytes. Writes the prefix
// into the reserved bytes and returns {buffer, n + 4}. Refuses (BodyTooLong) a body of more
// than 32,767 bytes, whose LL would not fit, and a negative n; nothing is written then.
FramingResult addSegmentPrefix(std::uint8_t* buffer, std::int32_t n) noexcept;

// `buffer` is a FromIms work buffer holding a framed body of n bytes. Moves the data of all
// segments, in order, to the front and returns {buffer, total data length}. A body that is
// not a valid framing (every LL from 4 to 32,771, segments tiling the body exactly) is
// refused with the offset of the first bad prefix; the buffer's content is then unspecified
// but nothing outside its n bytes was touched.
FramingResult stripSegmentPrefixes(std::uint8_t* buffer, std::int32_t n) noexcept;

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_SEGMENTFRAMING_H
