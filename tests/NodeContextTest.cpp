// NodeContextTest.cpp - node creation, attribute listing, setting and reading, terminals,
// decimal conversions, and allocation failure at every allocation of createContext.
#include <array>
#include <climits>
#include <cstring>

#include "NodeContext.h"
#include "TestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using namespace ostrevel;
using namespace ostrevel_test;
using brokersim::Call;

constexpr std::size_t BUFFER_CHARS = 256;
constexpr char16_t UNTOUCHED = u'#';

struct Buffer {
    std::array<char16_t, BUFFER_CHARS> chars;
    Buffer() { chars.fill(UNTOUCHED); }
    char16_t* data() { return chars.data(); }
    std::u16string text() const { return std::u16string(chars.data()); }
    bool untouched() const {
        for (char16_t c : chars) {
            if (c != UNTOUCHED) return false;
        }
        return true;
    }
};

class NodeContextTest : public BrokerTest {
protected:
    void* newNode(const char16_t* className = NODE_CLASS_NAME) {
        nodeObject = brokersim::newNodeObject();
        void* context = createContext(nullptr, className, nodeObject);
        brokersim::adoptContext(nodeObject, context);  // held like a broker holds it
        return context;
    }
    std::u16string get(void* context, const char16_t* name) {
        Buffer buffer;
        EXPECT_EQ(getAttribute(context, name, buffer.data(), 512), NODE_OK);
        return buffer.text();
    }
    BrokerNode* nodeObject = nullptr;
};

TEST_F(NodeContextTest, ListsTheFourAttributesInOrder) {
    void* context = newNode();
    ASSERT_NE(context, nullptr);
    const char16_t* expected[] = {u"MSGTYPES", u"DIRECTION", u"MAXMSGDATASIZE", u"DEBUG"};
    for (std::int32_t position = 0; position < 4; ++position) {
        Buffer buffer;
        EXPECT_EQ(attributeNameAt(context, position, buffer.data()), NODE_OK);
        EXPECT_EQ(buffer.text(), expected[position]);
        EXPECT_EQ(buffer.chars[std::char_traits<char16_t>::length(expected[position]) + 1],
                  UNTOUCHED);  // the name and its terminator, nothing more
    }
    for (std::int32_t position : {4, 5, -1, INT32_MIN}) {
        Buffer buffer;
        EXPECT_EQ(attributeNameAt(context, position, buffer.data()), NODE_NOT_FOUND);
        EXPECT_TRUE(buffer.untouched());
    }
}

TEST_F(NodeContextTest, CreatesTerminalsAtTheBrokerUnderItsNodeObject) {
    void* context = newNode();
    const auto terminals = brokersim::terminalsOf(nodeObject);
    ASSERT_EQ(terminals.size(), 3U);
    EXPECT_EQ(brokersim::terminalName(terminals[0]), u"in");
    EXPECT_FALSE(brokersim::isOutputTerminal(terminals[0]));
    EXPECT_EQ(brokersim::terminalName(terminals[1]), u"out");
    EXPECT_EQ(brokersim::terminalName(terminals[2]), u"failure");
    auto* node = static_cast<NodeContext*>(context);
    EXPECT_EQ(node->nodeObject, nodeObject);
    EXPECT_EQ(findOutputTerminal(node, u"out"), terminals[1]);
    EXPECT_EQ(findOutputTerminal(node, u"failure"), terminals[2]);
    EXPECT_EQ(findOutputTerminal(node, u"in"), nullptr);  // only output terminals are searched
    EXPECT_EQ(findOutputTerminal(node, u"Out"), nullptr);
}

TEST_F(NodeContextTest, OtherClassNamesGetAnEmptyContext) {
    for (const char16_t* className : {u"ostrevelnode", u"OstrevelNode ", u"", u"Other"}) {
        brokersim::reset();
        void* context = newNode(className);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(static_cast<NodeContext*>(context)->nodeObject, nodeObject);
        Buffer buffer;
        EXPECT_EQ(attributeNameAt(context, 0, buffer.data()), NODE_NOT_FOUND);
        EXPECT_EQ(setAttribute(context, u"MSGTYPES", u"ANY"), NODE_NOT_FOUND);
        EXPECT_EQ(getAttribute(context, u"MSGTYPES", buffer.data(), 512), NODE_NOT_FOUND);
        EXPECT_TRUE(buffer.untouched());
        EXPECT_EQ(findOutputTerminal(static_cast<NodeContext*>(context), u"out"), nullptr);
        EXPECT_EQ(brokersim::callCount(Call::CreateInputTerminal), 0U);
        EXPECT_EQ(brokersim::callCount(Call::CreateOutputTerminal), 0U);
    }
}

TEST_F(NodeContextTest, DefaultsAreZeroAndEmpty) {
    void* context = newNode();
    EXPECT_EQ(get(context, u"MAXMSGDATASIZE"), u"0");
    EXPECT_EQ(get(context, u"MSGTYPES"), u"");
    EXPECT_EQ(get(context, u"DIRECTION"), u"");
    EXPECT_EQ(get(context, u"DEBUG"), u"");
}

TEST_F(NodeContextTest, NamesAreComparedExactly) {
    void* context = newNode();
    for (const char16_t* name : {u"msgtypes", u"MSGTYPES ", u" MSGTYPES", u"MSGTYPE", u""}) {
        Buffer buffer;
        EXPECT_EQ(setAttribute(context, name, u"ANY"), NODE_NOT_FOUND);
        EXPECT_EQ(getAttribute(context, name, buffer.data(), 512), NODE_NOT_FOUND);
        EXPECT_TRUE(buffer.untouched());
    }
    EXPECT_EQ(get(context, u"MSGTYPES"), u"");
}

TEST_F(NodeContextTest, IntegerValuesReadBackAsTheirDecimalText) {
    struct Case {
        const char16_t* set;
        const char16_t* readBack;
    };
    const Case cases[] = {
        {u"  42", u"42"},
        {u"\t7", u"7"},
        {u"0042", u"42"},
        {u"+7", u"7"},
        {u"-12", u"-12"},
        {u"-0", u"0"},
        {u"12abc", u"12"},
        {u"12 34", u"12"},
        {u"0x10", u"0"},
        {u"", u"0"},
        {u"abc", u"0"},
        {u"-", u"0"},
        {u"- 5", u"0"},
        {u"+-5", u"0"},
        {u"2147483647", u"2147483647"},
        {u"2147483648", u"-2147483648"},
        {u"4294967297", u"1"},
        {u"-2147483648", u"-2147483648"},
        {u"\n\v\f\r 9", u"9"},
        // Longer than 19 characters: the whole text is read.
        {u"                    123", u"123"},
        {u"000000000000000000000042", u"42"},
        // Non-ASCII characters are never blanks, signs or digits.
        {u"\u00A05", u"0"},
        {u"\uFF11", u"0"},
        {u"4\u0662", u"4"},
        {u"\u2212"
         u"5",
         u"0"},
        // ... nor are those whose low byte is one ("1", "0", a blank).
        {u"\u0131\u0130", u"0"},
        {u"\u0120"
         u"5",
         u"0"},
        {u"7\u00E9"
         u"5",
         u"7"},
    };
    void* context = newNode();
    for (const Case& c : cases) {
        EXPECT_EQ(setAttribute(context, u"MAXMSGDATASIZE", c.set), NODE_OK);
        EXPECT_EQ(get(context, u"MAXMSGDATASIZE"), c.readBack) << brokersim::narrow(c.set);
    }
    // Far longer texts: narrowed a piece at a time, no piece is lost or read twice.
    const std::u16string blanks(150, u' ');
    EXPECT_EQ(parseDecimal((blanks + u"-321").c_str()), -321);
    EXPECT_EQ(parseDecimal((std::u16string(130, u'0') + u"12" + blanks + u"9").c_str()), 12);
    EXPECT_EQ(parseDecimal((std::u16string(63, u'1') + u"\u00E9" + u"9").c_str()),
              parseDecimal(std::u16string(63, u'1').c_str()));
}

#if defined(_WIN32)
// WideCharToMultiByte refuses best-fit flags under UTF-8, GB18030 and a few more code pages;
// wine does not, so the choice is pinned here.
TEST(WindowsNarrowing, FlagsSuitEveryCodePage) {
    struct Case {
        unsigned codePage;
        unsigned long flags;
    };
    const Case cases[] = {
        {1252, WC_NO_BEST_FIT_CHARS},
        {1250, WC_NO_BEST_FIT_CHARS},
        {437, WC_NO_BEST_FIT_CHARS},
        {932, WC_NO_BEST_FIT_CHARS},
        {936, WC_NO_BEST_FIT_CHARS},
        {65001, 0},
        {54936, 0},
        {65000, 0},
        {50220, 0},
        {50229, 0},
        {57002, 0},
        {57011, 0},
        {42, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(narrowingFlags(c.codePage), c.flags) << "code page " << c.codePage;
    }
}

// The suite runs twice under Windows: once under the system's ANSI code page and once in a
// program whose manifest makes it UTF-8. Narrowing must succeed under the code page in force.
TEST(WindowsNarrowing, TheActiveCodePageNarrows) {
#if defined(OSTREVEL_EXPECTED_CODE_PAGE)
    ASSERT_EQ(GetACP(), static_cast<UINT>(OSTREVEL_EXPECTED_CODE_PAGE));
#endif
    const char16_t text[] = u" 32768\u00E9";
    char narrowed[32];
    const int bytes =
        WideCharToMultiByte(GetACP(), narrowingFlags(GetACP()), reinterpret_cast<LPCWCH>(text), 7,
                            narrowed, sizeof narrowed, nullptr, nullptr);
    EXPECT_GE(bytes, 7) << "code page " << GetACP() << ", error " << GetLastError();
    EXPECT_EQ(parseDecimal(text), 32768);
}
#endif

TEST_F(NodeContextTest, StringValuesAreStoredWithTheirTerminator) {
    void* context = newNode();
    const std::u16string longest(127, u'x');
    EXPECT_EQ(setAttribute(context, u"DEBUG", longest.c_str()), NODE_OK);
    EXPECT_EQ(get(context, u"DEBUG"), longest);
    // Values of 128 characters or more are cut to 127 and stay terminated in the store.
    const std::u16string tooLong = std::u16string(127, u'y') + u"zzzz";
    EXPECT_EQ(setAttribute(context, u"DEBUG", tooLong.c_str()), NODE_OK);
    EXPECT_EQ(get(context, u"DEBUG"), std::u16string(127, u'y'));
    EXPECT_EQ(setAttribute(context, u"DEBUG", u"ab"), NODE_OK);
    EXPECT_EQ(get(context, u"DEBUG"), u"ab");
    // The shorter value clears the rest of the store: nothing of the earlier one shows.
    Buffer whole;
    EXPECT_EQ(getAttribute(context, u"DEBUG", whole.data(), 512), NODE_OK);
    for (std::size_t i = 2; i < STRING_STORE_CHARS; ++i) {
        ASSERT_EQ(whole.chars[i], u'\0') << "character " << i;
    }
    EXPECT_EQ(setAttribute(context, u"DEBUG", u""), NODE_OK);
    EXPECT_EQ(get(context, u"DEBUG"), u"");
    EXPECT_EQ(setAttribute(context, u"DIRECTION", u"\u4E2D\u6587"), NODE_OK);
    EXPECT_EQ(get(context, u"DIRECTION"), u"\u4E2D\u6587");
}

TEST_F(NodeContextTest, GetAttributeWritesNoMoreThanTheLengthGiven) {
    void* context = newNode();
    ASSERT_EQ(setAttribute(context, u"MSGTYPES", u"ANY"), NODE_OK);
    ASSERT_EQ(setAttribute(context, u"MAXMSGDATASIZE", u"-2147483648"), NODE_OK);
    const std::u16string minimum = u"-2147483648";
    struct Case {
        const char16_t* name;
        std::int32_t length;
        std::size_t bytesWritten;
    };
    const Case cases[] = {
        {u"MSGTYPES", 0, 0},         {u"MSGTYPES", -1, 0},        {u"MSGTYPES", INT32_MIN, 0},
        {u"MSGTYPES", 5, 5},         {u"MSGTYPES", 6, 6},         {u"MSGTYPES", 8, 8},
        {u"MSGTYPES", 256, 256},     {u"MSGTYPES", 512, 256},     {u"MAXMSGDATASIZE", -4, 0},
        {u"MAXMSGDATASIZE", 0, 0},   {u"MAXMSGDATASIZE", 3, 3},   {u"MAXMSGDATASIZE", 22, 22},
        {u"MAXMSGDATASIZE", 23, 23}, {u"MAXMSGDATASIZE", 24, 24}, {u"MAXMSGDATASIZE", 512, 24},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, 600> raw;
        raw.fill(0xAB);
        EXPECT_EQ(getAttribute(context, c.name, reinterpret_cast<char16_t*>(raw.data()), c.length),
                  NODE_OK);
        std::size_t written = raw.size();
        while (written > 0 && raw[written - 1] == 0xAB) --written;
        EXPECT_EQ(written, c.bytesWritten) << brokersim::narrow(c.name) << " " << c.length;
    }
    // What arrives is the leading part of the text, byte for byte.
    std::array<char16_t, 12> text;
    text.fill(u'#');
    getAttribute(context, u"MAXMSGDATASIZE", text.data(), 10);
    EXPECT_EQ(std::u16string(text.data(), 5), minimum.substr(0, 5));
    EXPECT_EQ(text[5], u'#');
    getAttribute(context, u"MAXMSGDATASIZE", text.data(), 24);
    EXPECT_EQ(std::u16string(text.data()), minimum);
    getAttribute(context, u"MSGTYPES", text.data(), 6);
    EXPECT_EQ(std::u16string(text.data(), 4), u"ANY4");  // no terminator within 6 bytes
}

// A broker that passes null pointers gets "no such attribute" or none, never a crash.
TEST_F(NodeContextTest, NullArgumentsAreAnsweredNotFollowed) {
    void* context = newNode();
    Buffer buffer;
    EXPECT_EQ(attributeNameAt(nullptr, 0, buffer.data()), NODE_NOT_FOUND);
    EXPECT_EQ(attributeNameAt(context, 0, nullptr), NODE_NOT_FOUND);
    EXPECT_EQ(setAttribute(nullptr, u"MSGTYPES", u"ANY"), NODE_NOT_FOUND);
    EXPECT_EQ(setAttribute(context, nullptr, u"ANY"), NODE_NOT_FOUND);
    EXPECT_EQ(getAttribute(context, nullptr, buffer.data(), 512), NODE_NOT_FOUND);
    EXPECT_EQ(getAttribute(context, u"MSGTYPES", nullptr, 512), NODE_OK);  // nothing written
    EXPECT_TRUE(buffer.untouched());
    EXPECT_EQ(findOutputTerminal(nullptr, u"out"), nullptr);
    EXPECT_EQ(findOutputTerminal(static_cast<NodeContext*>(context), nullptr), nullptr);
    ASSERT_EQ(setAttribute(context, u"MSGTYPES", u"ANY"), NODE_OK);
    EXPECT_EQ(setAttribute(context, u"MSGTYPES", nullptr), NODE_OK);  // reads as empty
    EXPECT_EQ(get(context, u"MSGTYPES"), u"");
    EXPECT_EQ(setAttribute(context, u"MAXMSGDATASIZE", nullptr), NODE_OK);
    EXPECT_EQ(get(context, u"MAXMSGDATASIZE"), u"0");
    EXPECT_EQ(parseDecimal(nullptr), 0);
}

TEST_F(NodeContextTest, ContextsAreIndependent) {
    void* first = newNode();
    BrokerNode* firstObject = nodeObject;
    void* second = newNode();
    ASSERT_NE(first, second);
    EXPECT_EQ(brokersim::terminalsOf(firstObject).size(), 3U);
    EXPECT_EQ(brokersim::terminalsOf(nodeObject).size(), 3U);
    setAttribute(first, u"MSGTYPES", u"ALLIMS");
    EXPECT_EQ(get(first, u"MSGTYPES"), u"ALLIMS");
    EXPECT_EQ(get(second, u"MSGTYPES"), u"");
    EXPECT_NE(findOutputTerminal(static_cast<NodeContext*>(first), u"out"),
              findOutputTerminal(static_cast<NodeContext*>(second), u"out"));
}

TEST_F(NodeContextTest, TerminalWithoutHandleIsFoundAsNone) {
    brokersim::failCall(Call::CreateOutputTerminal, 2, brokersim::Fault{RC_EXCEPTION, true, {}});
    auto* context = static_cast<NodeContext*>(newNode());
    EXPECT_NE(findOutputTerminal(context, u"out"), nullptr);
    EXPECT_EQ(findOutputTerminal(context, u"failure"), nullptr);
    ASSERT_NE(context->outputTail, nullptr);  // the record stays in the list
    EXPECT_EQ(context->outputTail->terminal, nullptr);
    EXPECT_TRUE(brokersim::rethrows().empty());
}

// Fails each allocation of createContext in turn and checks what the node is left with,
// and that nothing but the failed block is missing from the heap's count.
TEST_F(NodeContextTest, EveryAllocationOfCreateContextCanFail) {
    ostrevel::allocation_seam::reset();
    ASSERT_NE(newNode(), nullptr);
    const std::uint64_t allocations = ostrevel::allocation_seam::attempts();
    ASSERT_EQ(allocations, 12U);  // context, 4 x (record, store), 3 terminals

    struct Expected {
        std::vector<std::u16string> attributes;
        std::vector<std::u16string> terminals;
    };
    const std::vector<std::u16string> allAttributes = {u"MSGTYPES", u"DIRECTION", u"MAXMSGDATASIZE",
                                                       u"DEBUG"};
    const std::vector<std::u16string> allTerminals = {u"in", u"out", u"failure"};
    for (std::uint64_t k = 1; k <= allocations; ++k) {
        brokersim::reset();
        ostrevel::allocation_seam::reset();
        ostrevel::allocation_seam::failAllocation(k);
        void* context = newNode();
        if (k == 1) {
            EXPECT_EQ(context, nullptr);
            EXPECT_TRUE(brokersim::terminalsOf(nodeObject).empty());
            EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), 0);
            continue;
        }
        ASSERT_NE(context, nullptr);
        Expected expected{allAttributes, allTerminals};
        if (k <= 9) {
            expected.attributes.erase(expected.attributes.begin() + static_cast<long>((k - 2) / 2));
        } else {
            expected.terminals.erase(expected.terminals.begin() + static_cast<long>(k - 10));
        }
        std::vector<std::u16string> attributes;
        Buffer buffer;
        for (std::int32_t p = 0; attributeNameAt(context, p, buffer.data()) == NODE_OK; ++p) {
            attributes.push_back(buffer.text());
            EXPECT_EQ(setAttribute(context, buffer.data(), u"1"), NODE_OK);
            EXPECT_EQ(get(context, buffer.data()), u"1");
        }
        EXPECT_EQ(attributes, expected.attributes) << "allocation " << k;
        std::vector<std::u16string> terminals;
        for (BrokerTerminal* terminal : brokersim::terminalsOf(nodeObject)) {
            terminals.push_back(brokersim::terminalName(terminal));
        }
        EXPECT_EQ(terminals, expected.terminals) << "allocation " << k;
        // Every block handed out is still held by the context, except a record whose store
        // failed, which is released. A failed record is never followed by its store.
        const std::int64_t released = (k >= 3 && k <= 9 && k % 2 == 1) ? 1 : 0;
        EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(),
                  static_cast<std::int64_t>(ostrevel::allocation_seam::attempts()) - 1 - released);
    }
}

// A terminal creation that throws: the exception reaches the broker, and the context with
// every record already built for it goes back to the heap.
TEST_F(NodeContextTest, EveryBrokerCallOfCreateContextCanThrow) {
    const std::pair<Call, std::uint64_t> calls[] = {{Call::CreateInputTerminal, 1},
                                                    {Call::CreateOutputTerminal, 1},
                                                    {Call::CreateOutputTerminal, 2}};
    for (const auto& [call, k] : calls) {
        SCOPED_TRACE(std::string(brokersim::callName(call)) + " #" + std::to_string(k));
        brokersim::reset();
        ostrevel::allocation_seam::reset();
        brokersim::throwFromCall(call, k);
        EXPECT_THROW(createContext(nullptr, NODE_CLASS_NAME, brokersim::newNodeObject()),
                     brokersim::BrokerException);
        EXPECT_EQ(brokersim::injectedThrows(), 1U);
        EXPECT_GT(ostrevel::allocation_seam::attempts(), 9U);
        EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), 0);
    }
}

TEST(DecimalConversion, FormatThenParseGivesTheSameInteger) {
    const std::int32_t values[] = {0,         1,          -1,         9,          10,
                                   -10,       42,         99999,      2147483647, -2147483647,
                                   INT32_MIN, 1000000000, -1000000000};
    for (std::int32_t value : values) {
        char16_t text[DECIMAL_TEXT_CHARS];
        const std::size_t length = formatDecimal(value, text);
        EXPECT_EQ(length, std::u16string(text).size());
        EXPECT_EQ(parseDecimal(text), value);
    }
    std::uint32_t bits = 0x9E3779B9U;
    for (int i = 0; i < 10000; ++i) {
        bits = bits * 1664525U + 1013904223U;
        std::int32_t value = 0;
        std::memcpy(&value, &bits, sizeof value);
        char16_t text[DECIMAL_TEXT_CHARS];
        formatDecimal(value, text);
        ASSERT_EQ(parseDecimal(text), value);
    }
    char16_t text[DECIMAL_TEXT_CHARS];
    EXPECT_EQ(formatDecimal(INT32_MIN, text), 11U);
    EXPECT_EQ(std::u16string(text), u"-2147483648");
    EXPECT_EQ(formatDecimal(0, text), 1U);
    EXPECT_EQ(std::u16string(text), u"0");
}

}  // namespace
