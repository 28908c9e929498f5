// ClassificationTest.cpp - policy decoding, the making and matching of Format texts, and
// the full convert/forward/fail decision table.
#include <cstring>

#include "Classification.h"
#include "TestSupport.h"

namespace {

using namespace ostrevel;

// Makes a Format text as evaluation does: fill, let "the broker" write `value` with its
// terminator, narrow.
FormatBuffers formatText(const std::u16string& value) {
    FormatBuffers buffers;
    prepareFormatBuffers(buffers);
    std::memcpy(buffers.wide, value.c_str(), (value.size() + 1) * sizeof(char16_t));
    narrowFormat(buffers);
    return buffers;
}

NodePolicy policyFor(const std::u16string& msgtypes, const std::u16string& direction = u"") {
    return decodePolicy(msgtypes.c_str(), direction.c_str(), 256);
}

TEST(Classification, DecodesMsgtypesByLeadingKeyword) {
    struct Case {
        std::u16string msgtypes;
        bool acceptOthers;
        bool iihOnly;
    };
    const Case cases[] = {
        {u"ANY", true, false},
        {u"ANYTHING", true, false},
        {u"IMSIIH", false, true},
        {u"IMSIIHX", false, true},
        {u"ALLIMS", false, false},
        {u"ALLIMSX", false, false},
        {u"", true, false},
        {u"any", true, false},
        {u"imsiih", true, false},
        {u"allims", true, false},
        {u" IMSIIH", true, false},
        {u"AN", true, false},
        {u"IMSII", true, false},
        {u"OTHER", true, false},
        {u"I\u0100MSIIH", true, false},  // narrowed to "I" only
        {u"IMSIIH\u0100", false, true},  // the keyword is whole before the wide character
        // U+0149's low byte is "I": narrowing stops at it, it never stands for "I".
        {u"\u0149MSIIH", true, false},
        {u"ALL\u0149MS", true, false},
    };
    for (const Case& c : cases) {
        const NodePolicy policy = policyFor(c.msgtypes);
        EXPECT_EQ(policy.acceptOthers, c.acceptOthers) << brokersim::narrow(c.msgtypes);
        EXPECT_EQ(policy.iihOnly, c.iihOnly) << brokersim::narrow(c.msgtypes);
    }
}

TEST(Classification, DecodesDirection) {
    struct Case {
        std::u16string direction;
        Direction expected;
    };
    const Case cases[] = {{u"TOIMS", Direction::ToIms},       {u"TOIMSX", Direction::ToIms},
                          {u"toims", Direction::FromIms},     {u"TOIM", Direction::FromIms},
                          {u" TOIMS", Direction::FromIms},    {u"", Direction::FromIms},
                          {u"FROMIMS", Direction::FromIms},   {u"TO\u0149IMS", Direction::FromIms},
                          {u"TO\u0149MS", Direction::FromIms}};
    for (const Case& c : cases) {
        EXPECT_EQ(policyFor(u"ANY", c.direction).direction, c.expected)
            << brokersim::narrow(c.direction);
    }
}

TEST(Classification, DecodingReadsNoFurtherThanItIsAllowed) {
    // A value without a terminator within the allowed characters is measured only that far.
    std::u16string unterminated(300, u'A');
    unterminated.replace(0, 6, u"IMSIIH");
    const NodePolicy policy = decodePolicy(unterminated.data(), u"TOIMS", 256);
    EXPECT_TRUE(policy.iihOnly);
    EXPECT_EQ(decodePolicy(nullptr, nullptr, 256).direction, Direction::FromIms);
}

TEST(Classification, FormatMatchesLeadingParts) {
    struct Case {
        std::u16string value;
        bool matchesIms;
        bool matchesImsvs;
    };
    const Case cases[] = {
        {u"MQIMS   ", true, false},
        {u"MQIMS", true, true},
        {u"MQIMSVS ", false, true},
        {u"MQIMSVS", false, true},
        {u"MQIMS ", true, false},
        {u"", true, true},
        {u"MQ", true, true},
        {u"MQIMSVS  ", false, false},
        {u"MQIMS    ", false, false},
        {u"mqims   ", false, false},
        {u"MQSTR   ", false, false},
        {u"MQ\u0130MS   ", false, false},           // a wide character: matches neither
        {std::u16string(79, u' '), false, false},   // long: never matches
        {std::u16string(80, u'M'), false, false},   // no terminator within 80 bytes
        {std::u16string(150, u'M'), false, false},  // longer than the narrowed part
    };
    for (const Case& c : cases) {
        const FormatBuffers buffers = formatText(c.value);
        EXPECT_EQ(formatMatches(buffers.text, FORMAT_IMS), c.matchesIms)
            << brokersim::narrow(c.value);
        EXPECT_EQ(formatMatches(buffers.text, FORMAT_IMSVS), c.matchesImsvs)
            << brokersim::narrow(c.value);
    }
}

TEST(Classification, FormatTextKeepsBlanksAfterAWideCharacter) {
    const FormatBuffers buffers = formatText(u"AB\u0100CD");
    EXPECT_EQ(std::string(buffers.text, 4), "AB  ");
    EXPECT_EQ(std::memchr(buffers.text, 0, sizeof buffers.text), nullptr);
    FormatBuffers untouched;
    prepareFormatBuffers(untouched);
    for (char16_t c : untouched.wide) EXPECT_EQ(c, 0x2020);
}

// How the Format values of one message look in the decision table's columns.
enum class Column { ImsWithIih, ImsWithoutIih, ImsvsOnly, Neither };

struct Message {
    std::u16string mqmd;
    bool iihReadable;
    std::u16string iih;
};

Outcome classify(const NodePolicy& policy, const Message& message, int* iihFetches) {
    struct State {
        const Message* message;
        int* fetches;
    } state{&message, iihFetches};
    FormatBuffers buffers = formatText(message.mqmd);
    auto fetch = [](void* s, FormatBuffers& b) {
        auto* st = static_cast<State*>(s);
        ++*st->fetches;
        if (!st->message->iihReadable) return false;
        b = formatText(st->message->iih);
        return true;
    };
    return classifyMessage(policy, buffers, IihFormatSource{fetch, &state});
}

TEST(Classification, DecisionTable) {
    const Outcome C = Outcome::Convert;
    const Outcome W = Outcome::Forward;
    const Outcome F = Outcome::Fail;
    struct Row {
        std::u16string msgtypes;
        Outcome imsWithIih, imsWithoutIih, imsvsOnly, neither;
    };
    const Row rows[] = {{u"ANY", C, F, C, W},
                        {u"IMSIIH", C, F, F, F},
                        {u"ALLIMS", C, F, C, F},
                        {u"", C, F, C, W},
                        {u"imsiih", C, F, C, W}};
    // Several messages for each column, from the edge cases worth keeping.
    const std::vector<std::pair<Column, Message>> messages = {
        {Column::ImsWithIih, {u"MQIMS   ", true, u"MQIMSVS "}},
        {Column::ImsWithIih, {u"MQIMS", true, u"MQIMSVS"}},
        {Column::ImsWithIih, {u"", true, u"MQIMSVS "}},
        {Column::ImsWithIih, {u"MQIMS   ", true, u""}},
        {Column::ImsWithoutIih, {u"MQIMS   ", false, u""}},
        {Column::ImsWithoutIih, {u"", false, u""}},
        {Column::ImsWithoutIih, {u"MQIMS   ", true, u"MQIMS   "}},
        {Column::ImsWithoutIih, {u"MQIMS   ", true, u"MQIMSVS  "}},
        {Column::ImsWithoutIih, {u"MQIMS   ", true, u"MQSTR   "}},
        {Column::ImsvsOnly, {u"MQIMSVS ", false, u""}},
        {Column::ImsvsOnly, {u"MQIMSVS", false, u""}},
        {Column::Neither, {u"MQSTR   ", false, u""}},
        {Column::Neither, {u"mqims   ", false, u""}},
        {Column::Neither, {u"MQIMS\u0100", false, u""}},
        {Column::Neither, {std::u16string(100, u'M'), false, u""}},
    };
    for (const Row& row : rows) {
        const NodePolicy policy = policyFor(row.msgtypes);
        for (const auto& [column, message] : messages) {
            int fetches = 0;
            const Outcome expected = column == Column::ImsWithIih      ? row.imsWithIih
                                     : column == Column::ImsWithoutIih ? row.imsWithoutIih
                                     : column == Column::ImsvsOnly     ? row.imsvsOnly
                                                                       : row.neither;
            EXPECT_EQ(classify(policy, message, &fetches), expected)
                << brokersim::narrow(row.msgtypes) << " / " << brokersim::narrow(message.mqmd)
                << " / " << brokersim::narrow(message.iih);
            // The MQIIH is looked at only when the MQMD Format matches "MQIMS   ".
            const bool iihBranch = column == Column::ImsWithIih || column == Column::ImsWithoutIih;
            EXPECT_EQ(fetches, iihBranch ? 1 : 0);
        }
    }
}

}  // namespace
