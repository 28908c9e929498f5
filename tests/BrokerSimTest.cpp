// BrokerSimTest.cpp - the simulated broker's own behaviour that the other tests rely on:
// fault injection, the message ledger, the rethrow modes, value reads and the records.
#include <cstring>
#include <thread>

#include "TestSupport.h"

namespace {

using namespace ostrevel_test;
using brokersim::Call;
using brokersim::Fault;

class BrokerSimTest : public BrokerTest {};

TEST_F(BrokerSimTest, FaultsHitTheChosenCallOrEveryCallFromItOn) {
    BrokerMessage* message = brokersim::makeMessage({});
    brokersim::failCall(Call::RootElement, 2, Fault{RC_EXCEPTION, true, {}});
    brokersim::failCall(Call::LastChild, 3, Fault{7, false, {}}, true);
    int rc = -1;
    EXPECT_NE(cniRootElement(&rc, message), nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cniRootElement(&rc, message), nullptr);
    EXPECT_EQ(rc, RC_EXCEPTION);
    EXPECT_NE(cniRootElement(&rc, message), nullptr);
    EXPECT_EQ(rc, 0);
    BrokerElement* root = brokersim::rootOf(message);
    for (int call = 1; call <= 5; ++call) {
        EXPECT_NE(cniLastChild(&rc, root), nullptr);  // code only: the handle still comes
        EXPECT_EQ(rc, call >= 3 ? 7 : 0) << call;
    }
    EXPECT_EQ(brokersim::callCount(Call::RootElement), 3U);
    EXPECT_EQ(brokersim::callCount(Call::LastChild), 5U);
    EXPECT_EQ(brokersim::trace().size(), 8U);
    EXPECT_EQ(brokersim::trace().front(), Call::RootElement);
}

TEST_F(BrokerSimTest, LedgerCountsMessagesCreatedAndNotDeleted) {
    BrokerMessage* input = brokersim::makeMessage({});
    int rc = 0;
    BrokerMessageContext* context = cniGetMessageContext(&rc, input);
    BrokerMessage* a = cniCreateMessage(&rc, context);
    BrokerMessage* b = cniCreateMessage(&rc, context);
    EXPECT_EQ(brokersim::liveMessages(), 2);
    cniDeleteMessage(nullptr, a);
    EXPECT_EQ(brokersim::liveMessages(), 1);
    cniDeleteMessage(nullptr, b);
    EXPECT_EQ(brokersim::liveMessages(), 0);
    // Misuse is recorded, not ignored: a second delete, deleting the broker's own message.
    cniDeleteMessage(nullptr, a);
    cniDeleteMessage(nullptr, input);
    EXPECT_EQ(brokersim::violations().size(), 2U);
    brokersim::reset();
}

TEST_F(BrokerSimTest, RethrowReturnsOrThrows) {
    cciRethrowLastException(nullptr);
    brokersim::setRethrowMode(brokersim::RethrowMode::Throw);
    EXPECT_THROW(cciRethrowLastException(nullptr), brokersim::BrokerException);
    const auto rethrows = brokersim::rethrows();
    ASSERT_EQ(rethrows.size(), 2U);
    EXPECT_FALSE(rethrows[0].threw);
    EXPECT_TRUE(rethrows[1].threw);
    EXPECT_FALSE(rethrows[1].rcGiven);
}

TEST_F(BrokerSimTest, CharacterReadCountsBytesAndWritesNothingThatDoesNotFit) {
    brokersim::MessageLayout layout;
    layout.mqmdFormat = u"ABC";
    BrokerMessage* message = brokersim::makeMessage(layout);
    int rc = 0;
    BrokerElement* mqmd = cniSearchFirstChild(&rc, brokersim::rootOf(message), 4, 0, u"MQMD");
    BrokerElement* format = cniSearchFirstChild(&rc, mqmd, 4, 0, u"Format");
    ASSERT_NE(format, nullptr);
    char16_t buffer[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    cniElementCharacterValue(&rc, format, buffer, 7);  // 3 characters + terminator = 8 bytes
    EXPECT_NE(rc, 0);
    EXPECT_EQ(buffer[0], u'#');
    cniElementCharacterValue(&rc, format, buffer, 8);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::u16string(buffer), u"ABC");
    // Only search by name (mode 4) of any type (0) is supported.
    EXPECT_EQ(cniSearchFirstChild(&rc, mqmd, 3, 0, u"Format"), nullptr);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(cniSearchFirstChild(&rc, mqmd, 4, 0, u"format"), nullptr);
    EXPECT_EQ(rc, 0);  // not found is not a failure
}

TEST_F(BrokerSimTest, ByteReadPlacesNothingWhenTheValueIsLongerThanTheCapacity) {
    brokersim::MessageLayout layout;
    layout.body = bytesOf("hello");
    BrokerMessage* message = brokersim::makeMessage(layout);
    int rc = 0;
    BrokerElement* body = cniLastChild(&rc, cniLastChild(&rc, brokersim::rootOf(message)));
    std::uint8_t buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    ByteArrayRef small{buffer, 4};
    EXPECT_EQ(cniElementByteArrayValue(&rc, body, &small), 0);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(buffer[0], '#');
    ByteArrayRef exact{buffer, 5};
    EXPECT_EQ(cniElementByteArrayValue(&rc, body, &exact), 5);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::memcmp(buffer, "hello#", 6), 0);
    brokersim::failCall(Call::ElementByteArrayValue, 3, Fault{0, false, -1});
    EXPECT_EQ(cniElementByteArrayValue(&rc, body, &exact), -1);  // result overridden
}

TEST_F(BrokerSimTest, CopyIsDeepAndPropagationKeepsACopy) {
    brokersim::MessageLayout layout;
    layout.mqmdFormat = u"MQIMS   ";
    layout.withIih = true;
    layout.body = bytesOf("data");
    BrokerMessage* input = brokersim::makeMessage(layout);
    int rc = 0;
    BrokerMessage* output = cniCreateMessage(&rc, cniGetMessageContext(&rc, input));
    BrokerElement* outRoot = cniRootElement(&rc, output);
    cniCopyElementTree(&rc, cniRootElement(&rc, input), outRoot);
    BrokerElement* outBody = cniLastChild(&rc, cniLastChild(&rc, outRoot));
    const Bytes changed = bytesOf("DATA!");
    ByteArrayRef ref{const_cast<std::uint8_t*>(changed.data()), 5};
    cniSetElementByteArrayValue(&rc, outBody, &ref);
    EXPECT_EQ(brokersim::viewMessage(input).body, bytesOf("data"));
    const auto view = brokersim::viewMessage(output);
    EXPECT_EQ(view.body, changed);
    EXPECT_EQ(view.iihFormat, u"MQIMSVS ");
    EXPECT_EQ(view.childNames,
              (std::vector<std::u16string>{u"Properties", u"MQMD", u"MQIIH", u"BLOB"}));

    BrokerNode* node = brokersim::newNodeObject();
    BrokerTerminal* out = cniCreateOutputTerminal(&rc, node, u"out");
    cniPropagate(&rc, out, brokersim::opaqueHandle(1), brokersim::opaqueHandle(2), output);
    cniDeleteMessage(nullptr, output);
    const auto sent = brokersim::propagations();
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0].terminalName, u"out");
    EXPECT_EQ(sent[0].first, brokersim::opaqueHandle(1));
    EXPECT_EQ(sent[0].copy.body, changed);  // still readable after the delete
    EXPECT_EQ(brokersim::liveMessages(), 0);
}

TEST_F(BrokerSimTest, LogRecordsEveryArgumentAndTheClosingNull) {
    int rc = 5;
    cciLog(&rc, LOG_ERROR, "M.cpp", 12, "f()", u"Source", 7U, "text", "insert",
           static_cast<const char*>(nullptr));
    const auto logs = brokersim::logRecords();
    ASSERT_EQ(logs.size(), 1U);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(logs[0].module, "M.cpp");
    EXPECT_EQ(logs[0].line, 12);
    EXPECT_EQ(logs[0].function, "f()");
    EXPECT_EQ(logs[0].source, u"Source");
    EXPECT_EQ(logs[0].messageNumber, 7U);
    EXPECT_EQ(logs[0].text, "text");
    EXPECT_EQ(logs[0].inserts, std::vector<std::string>{"insert"});
    EXPECT_TRUE(logs[0].closedByNull);
}

TEST_F(BrokerSimTest, SafeFromSeveralThreads) {
    BrokerMessage* input = brokersim::makeMessage({});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([input] {
            for (int i = 0; i < 500; ++i) {
                int rc = 0;
                BrokerMessage* m = cniCreateMessage(&rc, cniGetMessageContext(&rc, input));
                cniRootElement(&rc, m);
                cniDeleteMessage(nullptr, m);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(brokersim::liveMessages(), 0);
    EXPECT_EQ(brokersim::callCount(Call::CreateMessage), 2000U);
}

}  // namespace
