// SegmentFraming.cpp - wrapping a body into one IMS segment and stripping segment prefixes.
#include "SegmentFraming.h"

#include <cstring>

namespace ostrevel {
namespace {

FramingResult refused(std::uint8_t* buffer, FramingStatus status, std::int32_t offset) noexcept {
    return FramingResult{ByteArrayRef{buffer, 0}, status, offset};
}

// The fast path copies fixed blocks of this size: plain vector loads and stores, no call.
constexpr std::ptrdiff_t BLOCK = 64;
constexpr std::size_t SMALL_BLOCK = 16;
static_assert(SMALL_BLOCK <= BLOCK, "the small block needs no more room than the block");
// Segments read before the write position trails the read position by a whole block (each
// segment read widens the gap by its 4 prefix bytes).
constexpr int SEGMENTS_BEFORE_BLOCK_GAP = BLOCK / SEGMENT_PREFIX_BYTES;
// The fast path needs room to read a prefix and copy one block behind it.
constexpr std::ptrdiff_t FAST_PATH_MARGIN = SEGMENT_PREFIX_BYTES + BLOCK;

// LL lies between 4 and 32,771: one unsigned test, as LL below 4 wraps around.
inline bool lengthInRange(std::uint32_t ll) noexcept {
    return ll - MIN_SEGMENT_LENGTH <= static_cast<std::uint32_t>(MAX_SEGMENT_DATA);
}

// Copies `length` bytes from `from` down to `to` in whole blocks; the last block may run up
// to BLOCK - 1 bytes past the data, and one block is copied for empty data. Safe only when
// from - to >= BLOCK (no block overlaps its own source, and no store reaches a byte that a
// later block or the next prefix has yet to read) and BLOCK - 1 bytes behind the data lie
// within the body (no load goes past its end).
inline void copyInBlocks(std::uint8_t* to, const std::uint8_t* from, std::size_t length) noexcept {
    if (length <= SMALL_BLOCK) {  // short data: one small block does
        std::memcpy(to, from, SMALL_BLOCK);
        return;
    }
    std::memcpy(to, from, BLOCK);
    for (std::size_t i = BLOCK; i < length; i += BLOCK) {
        std::memcpy(to + i, from + i, BLOCK);
    }
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
    const std::uint8_t* const end = buffer + n;
    const std::uint8_t* from = buffer;  // the next prefix
    std::uint8_t* to = buffer;          // where the next data goes; trails `from`, never passes it
    int segmentsRead = 0;
    // Why the careful path stopped. It stays Ok only while every prefix read was valid.
    FramingStatus stopped = FramingStatus::Ok;

    // The careful path: each prefix judged by checkSegmentAt, data moved with memmove. It
    // serves the first segments (the gap is still under a block) and the last ones (near the
    // end of the body), and it alone decides a refusal and its reason.
    auto carefulStep = [&]() noexcept {
        std::int32_t dataLength = 0;
        stopped = checkSegmentAt(buffer, n, static_cast<std::int32_t>(from - buffer), dataLength);
        if (stopped != FramingStatus::Ok) {
            return false;
        }
        std::memmove(to, from + SEGMENT_PREFIX_BYTES, static_cast<std::size_t>(dataLength));
        to += dataLength;
        from += dataLength + SEGMENT_PREFIX_BYTES;
        ++segmentsRead;
        return true;
    };
    while (segmentsRead < SEGMENTS_BEFORE_BLOCK_GAP && from != end && carefulStep()) {
    }
    // The fast path: the gap is at least a block and stays so; a segment goes this way when
    // its LL is in range and its data and one block behind it lie within the body. Anything
    // else goes back to the careful path, which judges it.
    if (segmentsRead == SEGMENTS_BEFORE_BLOCK_GAP) {
        while (end - from >= FAST_PATH_MARGIN) {
            const auto ll = static_cast<std::uint32_t>(readSegmentLength(from));
            if (!lengthInRange(ll) || static_cast<std::ptrdiff_t>(ll) > end - from - (BLOCK - 1)) {
                break;
            }
            const std::size_t dataLength = ll - SEGMENT_PREFIX_BYTES;
            copyInBlocks(to, from + SEGMENT_PREFIX_BYTES, dataLength);
            to += dataLength;
            from += ll;
        }
    }
    while (stopped == FramingStatus::Ok && from != end && carefulStep()) {
    }

    // Success only when the segments tiled the body exactly. A body that did not is refused
    // whatever else happened: with the reason its check gave, and never as Ok.
    if (from != end) {
        const FramingStatus reason =
            stopped != FramingStatus::Ok ? stopped : FramingStatus::SegmentPastEnd;
        return refused(buffer, reason, static_cast<std::int32_t>(from - buffer));
    }
    return FramingResult{ByteArrayRef{buffer, static_cast<std::int32_t>(to - buffer)},
                         FramingStatus::Ok, 0};
}

}  // namespace ostrevel
