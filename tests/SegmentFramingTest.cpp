// SegmentFramingTest.cpp - wrapping into one segment, stripping segment prefixes in place,
// the refusal of every kind of invalid framed body, and a wrap/strip round trip.
#include <random>

#include "SegmentFraming.h"
#include "TestSupport.h"

namespace {

using namespace ostrevel;
using namespace ostrevel_test;

// Runs the strip on a copy of `body` in a buffer of exactly its size (so that the address
// sanitizer sees any read or write past it) and returns the result and the output bytes.
struct Stripped {
    FramingStatus status;
    std::int32_t errorOffset;
    Bytes output;
};

Stripped strip(const Bytes& body) {
    auto buffer = std::make_unique<std::uint8_t[]>(body.size());
    std::copy(body.begin(), body.end(), buffer.get());
    const FramingResult result =
        stripSegmentPrefixes(buffer.get(), static_cast<std::int32_t>(body.size()));
    EXPECT_EQ(result.output.pointer, buffer.get());
    EXPECT_GE(result.output.size, 0);
    EXPECT_LE(result.output.size, static_cast<std::int32_t>(body.size()));
    return {result.status, result.errorOffset,
            Bytes(buffer.get(), buffer.get() + result.output.size)};
}

// Wraps `body` as a ToIms work buffer does it: 4 reserved bytes, then the body.
FramingResult wrap(const Bytes& body, Bytes& buffer) {
    buffer.assign(body.size() + 4, 0xEE);
    std::copy(body.begin(), body.end(), buffer.begin() + 4);
    return addSegmentPrefix(buffer.data(), static_cast<std::int32_t>(body.size()));
}

TEST(SegmentFraming, WrapsTheWholeBodyIntoOneSegment) {
    struct Case {
        std::size_t bodySize;
        std::uint8_t ll0, ll1;
    };
    const Case cases[] = {{0, 0x00, 0x04},     {3, 0x00, 0x07},     {80, 0x00, 0x54},
                          {32763, 0x7F, 0xFF}, {32764, 0x80, 0x00}, {32767, 0x80, 0x03}};
    for (const Case& c : cases) {
        Bytes body(c.bodySize);
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
        Bytes buffer;
        const FramingResult result = wrap(body, buffer);
        ASSERT_EQ(result.status, FramingStatus::Ok) << c.bodySize;
        EXPECT_EQ(result.output.pointer, buffer.data());
        EXPECT_EQ(result.output.size, static_cast<std::int32_t>(c.bodySize + 4));
        EXPECT_EQ(buffer[0], c.ll0);
        EXPECT_EQ(buffer[1], c.ll1);
        EXPECT_EQ(buffer[2], 0);
        EXPECT_EQ(buffer[3], 0);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), buffer.begin() + 4));  // not moved
    }
    // An already framed body is wrapped whole; its own prefixes stay in the data.
    Bytes buffer;
    ASSERT_EQ(wrap(hexBytes("00 05 00 00 41"), buffer).status, FramingStatus::Ok);
    EXPECT_EQ(buffer, hexBytes("00 09 00 00 00 05 00 00 41"));
}

TEST(SegmentFraming, RefusesABodyTooLongForOneSegment) {
    for (std::size_t size : {32768U, 65531U, 65532U, 100000U}) {
        Bytes buffer;
        const FramingResult result = wrap(Bytes(size, 0x41), buffer);
        EXPECT_EQ(result.status, FramingStatus::BodyTooLong) << size;
        EXPECT_EQ(result.output.size, 0);
        EXPECT_EQ(buffer[0], 0xEE);  // nothing written
    }
    std::uint8_t four[4] = {};
    EXPECT_EQ(addSegmentPrefix(four, -1).status, FramingStatus::NegativeLength);
}

TEST(SegmentFraming, StripsValidBodies) {
    struct Case {
        const char* name;
        Bytes body;
        Bytes expected;
    };
    const Bytes full(32767, 0x5A);
    const Case cases[] = {
        {"worked example", hexBytes("00 07 00 00 41 42 43 00 06 00 00 44 45"),
         hexBytes("41 42 43 44 45")},
        {"empty body", {}, {}},
        {"ZZ ignored", hexBytes("00 07 12 34 41 42 43"), hexBytes("41 42 43")},
        {"empty segment between", hexBytes("00 05 00 00 41 00 04 00 00 00 05 00 00 42"),
         hexBytes("41 42")},
        {"only empty segments", hexBytes("00 04 00 00 00 04 00 00 00 04 00 00"), {}},
        {"largest segment", segment(full), full},
        {"largest then small", concat({segment(full), segment(bytesOf("xy"))}),
         concat({full, bytesOf("xy")})},
    };
    for (const Case& c : cases) {
        const Stripped result = strip(c.body);
        EXPECT_EQ(result.status, FramingStatus::Ok) << c.name;
        EXPECT_EQ(result.output, c.expected) << c.name;
    }
}

TEST(SegmentFraming, RefusesEveryKindOfInvalidBody) {
    Bytes sixteen;  // 16 one-byte segments: 80 bytes
    for (int i = 0; i < 16; ++i) sixteen = concat({sixteen, hexBytes("00 05 00 00 41")});
    struct Case {
        const char* name;
        Bytes body;
        FramingStatus status;
        std::int32_t offset;
    };
    const Case cases[] = {
        {"LL 0", hexBytes("00 00 00 00 41"), FramingStatus::LengthBelowPrefix, 0},
        {"LL 3", hexBytes("00 03 00 00"), FramingStatus::LengthBelowPrefix, 0},
        {"LL 3 in second segment", hexBytes("00 05 00 00 41 00 03 00 00"),
         FramingStatus::LengthBelowPrefix, 5},
        {"LL 32772", concat({hexBytes("80 04 00 00"), Bytes(32768, 1)}),
         FramingStatus::LengthAboveMaximum, 0},
        {"LL FFFF", concat({hexBytes("FF FF 00 00"), Bytes(65531, 1)}),
         FramingStatus::LengthAboveMaximum, 0},
        {"segment past end", hexBytes("00 08 00 00 41 42"), FramingStatus::SegmentPastEnd, 0},
        {"LL 32771 past end", hexBytes("80 03 00 00 41"), FramingStatus::SegmentPastEnd, 0},
        {"last segment past end", hexBytes("00 05 00 00 41 00 09 00 00 42"),
         FramingStatus::SegmentPastEnd, 5},
        {"one byte", hexBytes("00"), FramingStatus::PrefixCutShort, 0},
        {"three bytes", hexBytes("00 04 00"), FramingStatus::PrefixCutShort, 0},
        {"1 byte left", hexBytes("00 05 00 00 41 00"), FramingStatus::PrefixCutShort, 5},
        {"3 bytes left", hexBytes("00 04 00 00 00 04 00"), FramingStatus::PrefixCutShort, 4},
        // After 16 segments the block copies take over: every bound holds there too.
        {"LL 3 after 16 segments", concat({sixteen, hexBytes("00 03 00 00"), Bytes(100, 1)}),
         FramingStatus::LengthBelowPrefix, 80},
        {"LL 0 after 16 segments", concat({sixteen, hexBytes("00 00 00 00"), Bytes(100, 1)}),
         FramingStatus::LengthBelowPrefix, 80},
        {"LL 32772 after 16 segments", concat({sixteen, hexBytes("80 04 00 00"), Bytes(100, 1)}),
         FramingStatus::LengthAboveMaximum, 80},
        {"past end after 16 segments", concat({sixteen, hexBytes("00 69 00 00"), Bytes(100, 1)}),
         FramingStatus::SegmentPastEnd, 80},
    };
    for (const Case& c : cases) {
        const Stripped result = strip(c.body);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.errorOffset, c.offset) << c.name;
        EXPECT_TRUE(result.output.empty()) << c.name;
        EXPECT_STRNE(framingStatusText(c.status), "unknown");
    }
    std::uint8_t four[4] = {};
    EXPECT_EQ(stripSegmentPrefixes(four, -4).status, FramingStatus::NegativeLength);
}

// Wrapping then stripping gives every body of 0 to 32,767 bytes back unchanged.
TEST(SegmentFraming, WrapThenStripRoundTrips) {
    std::mt19937 random(20261211);
    std::vector<std::size_t> sizes = {0, 1, 2, 3, 4, 5, 32766, 32767};
    std::uniform_int_distribution<std::size_t> anySize(0, 32767);
    for (int i = 0; i < 300; ++i) sizes.push_back(anySize(random));
    for (std::size_t size : sizes) {
        Bytes body(size);
        for (auto& byte : body) byte = static_cast<std::uint8_t>(random());
        Bytes buffer;
        const FramingResult wrapped = wrap(body, buffer);
        ASSERT_EQ(wrapped.status, FramingStatus::Ok);
        const Stripped stripped =
            strip(Bytes(buffer.begin(), buffer.begin() + wrapped.output.size));
        ASSERT_EQ(stripped.status, FramingStatus::Ok) << size;
        ASSERT_EQ(stripped.output, body) << size;
    }
}

// Many random segmentations of random data strip to the data joined.
TEST(SegmentFraming, StripJoinsRandomSegmentations) {
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        Bytes framed;
        Bytes joined;
        const int segments = static_cast<int>(random() % 40);
        const std::uint32_t maxData = i % 3 == 0 ? 32767U : 100U;
        for (int s = 0; s < segments; ++s) {
            Bytes data(random() % (maxData + 1));
            for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
            const Bytes seg = segment(data);
            framed.insert(framed.end(), seg.begin(), seg.end());
            joined.insert(joined.end(), data.begin(), data.end());
        }
        const Stripped result = strip(framed);
        ASSERT_EQ(result.status, FramingStatus::Ok);
        ASSERT_EQ(result.output, joined);
    }
}

// Long bodies of many short segments take the fast path in their middle and the careful path
// at both ends; a bad prefix anywhere is refused with its offset, and nothing outside the
// exact-sized buffer is touched (the address sanitizer build checks that).
TEST(SegmentFraming, LongBodiesThroughEveryPath) {
    std::mt19937 random(99);
    for (int round = 0; round < 24; ++round) {
        Bytes framed;
        Bytes joined;
        std::vector<std::size_t> prefixOffsets;
        const std::size_t maxData = round % 4 == 0 ? 3000 : round % 2 == 0 ? 100 : 17;
        while (framed.size() < 120000) {
            Bytes data(random() % (maxData + 1));
            for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
            prefixOffsets.push_back(framed.size());
            const Bytes seg = segment(data);
            framed.insert(framed.end(), seg.begin(), seg.end());
            joined.insert(joined.end(), data.begin(), data.end());
        }
        const Stripped whole = strip(framed);
        ASSERT_EQ(whole.status, FramingStatus::Ok);
        ASSERT_EQ(whole.output, joined);

        // Spoil one prefix with every kind of bad LL, at every kind of place: among the first
        // 16 segments (careful path), just after them and in the middle (block copies), and
        // near the end (careful path again).
        const std::size_t places[] = {random() % 16, 16 + random() % 8, prefixOffsets.size() / 2,
                                      prefixOffsets.size() - 1 - random() % 4};
        struct Spoil {
            std::uint8_t high, low;
            FramingStatus status;
        };
        const Spoil spoils[] = {{0x00, 0x00, FramingStatus::LengthBelowPrefix},
                                {0x00, 0x03, FramingStatus::LengthBelowPrefix},
                                {0x80, 0x04, FramingStatus::LengthAboveMaximum},
                                {0xFF, 0xFF, FramingStatus::LengthAboveMaximum}};
        for (const std::size_t which : places) {
            const std::size_t offset = prefixOffsets[which];
            for (const Spoil& spoil : spoils) {
                Bytes bad = framed;
                bad[offset] = spoil.high;
                bad[offset + 1] = spoil.low;
                const Stripped refused = strip(bad);
                EXPECT_EQ(refused.status, spoil.status)
                    << "round " << round << " segment " << which;
                EXPECT_EQ(refused.errorOffset, static_cast<std::int32_t>(offset))
                    << "round " << round << " segment " << which;
            }
        }

        // Cut the body short inside its last segment, or leave a stray byte behind it.
        Bytes cut(framed.begin(), framed.end() - 1);
        EXPECT_NE(strip(cut).status, FramingStatus::Ok);
        Bytes extra = framed;
        extra.push_back(0);
        const Stripped stray = strip(extra);
        EXPECT_EQ(stray.status, FramingStatus::PrefixCutShort);
        EXPECT_EQ(stray.errorOffset, static_cast<std::int32_t>(framed.size()));
    }
}

}  // namespace
