// SegmentFraming.cpp - wrapping a body into one IMS segment and stripping segment prefixes.
#include "SegmentFraming.h"

#include <cstring>

namespace ostrevel {
namespace {

FramingResult refused(std::uint8_t* buffer, FramingStatus status, std::int32_t offset) noexcept {
    return FramingResult{ByteArrayRef{buffer, 0}, status, offset};
}

}  // namespace

const char* framingStatusText(FramingStatus status) noexcept {
    switch (status) {
        case FramingStatus::Ok:
            return "valid";
        case FramingStatus::BodyTooLong:
            return "body longer than 32767 bytes does not fit one segment";
        case FramingStatus::NegativeLength:
            return "negative body length";
        case FramingStatus::LengthBelowPrefix:
            return "segment length LL below 4";
        case FramingStatus::LengthAboveMaximum:
            return "segment length LL above 32771";
        case FramingStatus::SegmentPastEnd:
            return "segment runs past the end of the body";
        case FramingStatus::PrefixCutShort:
            return "1 to 3 bytes left after the last whole segment (segment prefix cut short)";
    }
    return "unknown";
}

FramingResult addSegmentPrefix(std::uint8_t* buffer, std::int32_t n) noexcept {
    if (n < 0) {
        return refused(buffer, FramingStatus::NegativeLength, 0);
    }
    if (n > MAX_SEGMENT_DATA) {
        return refused(buffer, FramingStatus::BodyTooLong, 0);
    }
    const std::int32_t m = n + SEGMENT_PREFIX_BYTES;
    buffer[0] = static_cast<std::uint8_t>(m >> 8);
    buffer[1] = static_cast<std::uint8_t>(m & 0xFF);
    buffer[2] = 0;
    buffer[3] = 0;
    return FramingResult{ByteArrayRef{buffer, m}, FramingStatus::Ok, 0};
}

FramingResult stripSegmentPrefixes(std::uint8_t* buffer, std::int32_t n) noexcept {
    if (n < 0) {
        return refused(buffer, FramingStatus::NegativeLength, 0);
    }
    std::int32_t read = 0;
    std::int32_t write = 0;
    while (read < n) {
        std::int32_t dataLength = 0;
        const FramingStatus status = checkSegmentAt(buffer, n, read, dataLength);
        if (status != FramingStatus::Ok) {
            return refused(buffer, status, read);
        }
        read += SEGMENT_PREFIX_BYTES;
        // The write position trails the read position by 4 bytes per segment read so far,
        // so moving front to back never overwrites bytes not yet read.
        std::memmove(buffer + write, buffer + read, static_cast<std::size_t>(dataLength));
        read += dataLength;
        write += dataLength;
    }
    return FramingResult{ByteArrayRef{buffer, write}, FramingStatus::Ok, 0};
}

}  // namespace ostrevel
