// EvaluationTest.cpp - evaluate end to end through the registered table on the simulated
// broker: the decision table, routing and log entries, terminals, broker codes and
// rethrows, the work buffer, a fault sweep over every broker call, and many threads.
#include <atomic>
#include <thread>

#include "Evaluation.h"
#include "NodeHarness.h"
#include "TestSupport.h"

namespace {

using namespace ostrevel_test;
using brokersim::Call;
using brokersim::Fault;

const Bytes BODY = bytesOf("ABC");
const Bytes WRAPPED = hexBytes("00 07 00 00 41 42 43");
const Bytes FRAMED = hexBytes("00 07 00 00 41 42 43 00 06 00 00 44 45");
const Bytes JOINED = bytesOf("ABCDE");

class EvaluationTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        node = std::make_unique<NodeHarness>(bipGetMessageflowNodeFactory);
        ASSERT_TRUE(node->ready());
        node->configure(u"ANY", u"TOIMS", 1000);
    }
    std::unique_ptr<NodeHarness> node;
};

// Records, for the work buffer's release, how many times the output message had been
// deleted by then: the message must go first. Installed for the life of the object.
class ReleaseOrder {
public:
    ReleaseOrder() {
        beginRun();
        ostrevel::allocation_seam::setReleaseHook(record);
    }
    ReleaseOrder(const ReleaseOrder&) = delete;
    ReleaseOrder& operator=(const ReleaseOrder&) = delete;
    ~ReleaseOrder() { ostrevel::allocation_seam::setReleaseHook(nullptr); }
    // Forgets the releases seen so far: a new run begins.
    static void beginRun() { releases = 0; }
    // Checks that every release came after the last deletion of the run.
    static void expectMessageDeletedFirst() {
        if (releases > 0) {
            EXPECT_GE(brokersim::callCount(Call::DeleteMessage), 1U);
            EXPECT_EQ(deletesAtRelease, brokersim::callCount(Call::DeleteMessage))
                << "the work buffer was released before the output message was deleted";
        }
    }

private:
    static void record(void* /*block*/) {
        ++releases;
        deletesAtRelease = brokersim::callCount(Call::DeleteMessage);
    }
    static inline std::uint64_t releases = 0;
    static inline std::uint64_t deletesAtRelease = 0;
};

void expectLogEntry(const RunResult& run, std::int32_t type, const std::string& text) {
    ASSERT_EQ(run.logs.size(), 1U);
    const brokersim::LogRecord& entry = run.logs[0];
    EXPECT_TRUE(entry.rcGiven);
    EXPECT_EQ(entry.type, type);
    EXPECT_EQ(entry.module, "Evaluation.cpp");
    EXPECT_GT(entry.line, 0);
    EXPECT_EQ(entry.function, "evaluate()");
    EXPECT_EQ(entry.source, u"MQSeriesIntegrator2");
    EXPECT_EQ(entry.messageNumber, MSG_LOG_NUMBER);
    EXPECT_EQ(entry.text, text);
    EXPECT_TRUE(entry.inserts.empty());
    EXPECT_TRUE(entry.closedByNull);
}

// Every cell of the decision table, end to end: the terminal, the message sent and its body.
TEST_F(EvaluationTest, DecisionTableEndToEnd) {
    enum Expect { ConvertOut, ForwardOut, FailOut };
    struct Column {
        const char* name;
        brokersim::MessageLayout layout;
    };
    const Column columns[] = {
        {"IMS with MQIIH", message(u"MQIMS   ", u"MQIMSVS ", BODY)},
        {"IMS, MQIIH Format wrong", message(u"MQIMS   ", u"MQSTR   ", BODY)},
        {"IMS, no MQIIH", message(u"MQIMS   ", std::nullopt, BODY)},
        {"IMSVS only", message(u"MQIMSVS ", std::nullopt, BODY)},
        {"neither", message(u"MQSTR   ", std::nullopt, BODY)},
        // 50 characters: read whole (the Format is read with room for 160), and no name.
        {"long Format", message(u"MQIMSVS " + std::u16string(42, u'x'), std::nullopt, BODY)},
    };
    constexpr int COLUMNS = sizeof columns / sizeof columns[0];
    struct Row {
        std::u16string msgtypes;
        Expect cells[COLUMNS];
    };
    const Row rows[] = {
        {u"ANY", {ConvertOut, FailOut, FailOut, ConvertOut, ForwardOut, ForwardOut}},
        {u"IMSIIH", {ConvertOut, FailOut, FailOut, FailOut, FailOut, FailOut}},
        {u"ALLIMS", {ConvertOut, FailOut, FailOut, ConvertOut, FailOut, FailOut}},
        {u"", {ConvertOut, FailOut, FailOut, ConvertOut, ForwardOut, ForwardOut}},
    };
    for (const Row& row : rows) {
        node->set(u"MSGTYPES", row.msgtypes);
        for (int c = 0; c < COLUMNS; ++c) {
            SCOPED_TRACE(brokersim::narrow(row.msgtypes) + " / " + columns[c].name);
            const RunResult run = node->run(columns[c].layout);
            EXPECT_TRUE(run.inputUnchanged);
            expectLogEntry(run, LOG_INFORMATION, "Message propagated");
            switch (row.cells[c]) {
                case ConvertOut:
                    EXPECT_EQ(run.terminal, u"out");
                    EXPECT_FALSE(run.sentInput);
                    EXPECT_EQ(run.sentBody, WRAPPED);
                    break;
                case ForwardOut:
                    EXPECT_EQ(run.terminal, u"out");
                    EXPECT_TRUE(run.sentInput);
                    EXPECT_EQ(run.sentBody, BODY);
                    break;
                case FailOut:
                    EXPECT_EQ(run.terminal, u"failure");
                    EXPECT_TRUE(run.sentInput);
                    EXPECT_EQ(run.sentBody, BODY);
                    break;
            }
            EXPECT_EQ(brokersim::liveMessages(), 0);
        }
    }
}

TEST_F(EvaluationTest, ConvertedMessageKeepsEveryHeaderAndIsDeletedAfterSending) {
    node->set(u"DIRECTION", u"FROMIMS");
    brokersim::MessageLayout layout = message(u"MQIMS   ", u"MQIMSVS ", FRAMED);
    layout.extraHeaders = {u"MQRFH2"};
    const RunResult run = node->run(layout);
    ASSERT_EQ(run.terminal, u"out");
    EXPECT_EQ(run.sentBody, JOINED);
    const auto sent = brokersim::propagations().back().copy;
    EXPECT_EQ(sent.childNames,
              (std::vector<std::u16string>{u"Properties", u"MQMD", u"MQIIH", u"MQRFH2", u"BLOB"}));
    EXPECT_EQ(sent.mqmdFormat, u"MQIMS   ");
    EXPECT_EQ(brokersim::callCount(Call::CreateMessage), 1U);
    EXPECT_EQ(brokersim::callCount(Call::DeleteMessage), 1U);
    const auto calls = brokersim::trace();
    EXPECT_EQ(calls.back(), Call::DeleteMessage);  // after propagation and its log entry
    EXPECT_EQ(calls[calls.size() - 2], Call::Log);
    EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), 12);  // only the node's own records
}

TEST_F(EvaluationTest, MissingHeadersAndFormatsFail) {
    brokersim::MessageLayout noMqmd = message(u"MQIMSVS ", std::nullopt, BODY);
    noMqmd.withMqmd = false;
    brokersim::MessageLayout noFormat = message(std::nullopt, std::nullopt, BODY);
    brokersim::MessageLayout iihWithoutFormat = message(u"MQIMS   ", std::nullopt, BODY);
    iihWithoutFormat.withIih = true;
    brokersim::MessageLayout noBody = message(u"MQIMSVS ", std::nullopt, BODY);
    noBody.withBody = false;
    for (const auto& layout :
         {noMqmd, noFormat, iihWithoutFormat, noBody, message(u"", std::nullopt, BODY)}) {
        const RunResult run = node->run(layout);
        EXPECT_EQ(run.terminal, u"failure");
        EXPECT_TRUE(run.sentInput);
        expectLogEntry(run, LOG_INFORMATION, "Message propagated");
    }
    // Forward: an output message is created and deleted unused; no work buffer.
    const std::int64_t before = ostrevel::allocation_seam::liveBlocks();
    const std::uint64_t allocations = ostrevel::allocation_seam::attempts();
    const RunResult forwarded = node->run(message(u"MQSTR   ", std::nullopt, BODY));
    EXPECT_TRUE(forwarded.sentInput);
    EXPECT_EQ(ostrevel::allocation_seam::attempts(), allocations);
    EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), before);
    EXPECT_EQ(brokersim::callCount(Call::CreateMessage), brokersim::callCount(Call::DeleteMessage));
    EXPECT_EQ(brokersim::liveMessages(), 0);
}

TEST_F(EvaluationTest, WorkBufferCapacityAndBodySize) {
    struct Case {
        const char* name;
        std::u16string direction;
        std::int32_t capacity;
        Bytes body;
        std::optional<Bytes> converted;  // nullopt: failed
    };
    const Bytes largest(32767, 0x61);
    const Case cases[] = {
        {"empty body, capacity 0, ToIms", u"TOIMS", 0, {}, hexBytes("00 04 00 00")},
        {"empty body, capacity 0, FromIms", u"FROMIMS", 0, {}, Bytes{}},
        {"body fills the capacity", u"TOIMS", 3, BODY, WRAPPED},
        {"body one byte over", u"TOIMS", 2, BODY, std::nullopt},
        {"capacity never set", u"TOIMS", 0, BODY, std::nullopt},
        {"negative capacity", u"TOIMS", -1, {}, std::nullopt},
        {"most negative capacity", u"FROMIMS", INT32_MIN, {}, std::nullopt},
        {"largest segment", u"TOIMS", 32767, largest, segment(largest)},
        {"too long for one segment", u"TOIMS", 40000, Bytes(32768, 1), std::nullopt},
        {"largest strip", u"FROMIMS", 32771, segment(largest), largest},
        {"invalid framing", u"FROMIMS", 100, hexBytes("00 09 00 00 41"), std::nullopt},
        {"framing cut short", u"FROMIMS", 100, hexBytes("00 05 00 00 41 00"), std::nullopt},
    };
    const std::int64_t baseline = ostrevel::allocation_seam::liveBlocks();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        node->configure(u"ANY", c.direction, c.capacity);
        const std::uint64_t allocations = ostrevel::allocation_seam::attempts();
        const RunResult run = node->run(message(u"MQIMSVS ", std::nullopt, c.body));
        // A negative capacity takes no buffer (and is never handed to the broker).
        EXPECT_EQ(ostrevel::allocation_seam::attempts() - allocations, c.capacity < 0 ? 0U : 1U);
        if (c.converted) {
            EXPECT_EQ(run.terminal, u"out");
            EXPECT_FALSE(run.sentInput);
            EXPECT_EQ(run.sentBody, *c.converted);
        } else {
            EXPECT_EQ(run.terminal, u"failure");
            EXPECT_TRUE(run.sentInput);
        }
        EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), baseline);
        EXPECT_EQ(brokersim::liveMessages(), 0);
    }
}

TEST_F(EvaluationTest, UntrustworthyBodyCountsFail) {
    for (std::int32_t result : {-1, 4, INT32_MIN, INT32_MAX}) {
        brokersim::reset();
        node = std::make_unique<NodeHarness>(bipGetMessageflowNodeFactory);
        node->configure(u"ANY", u"TOIMS", 3);
        brokersim::failCall(Call::ElementByteArrayValue, 1, Fault{0, false, result});
        const RunResult run = node->run(message(u"MQIMSVS ", std::nullopt, BODY));
        EXPECT_EQ(run.terminal, u"failure") << result;
    }
}

TEST_F(EvaluationTest, WorkBufferAllocationFailureFails) {
    ostrevel::allocation_seam::failAllocation(1);
    const RunResult run = node->run(message(u"MQIMSVS ", std::nullopt, BODY));
    EXPECT_EQ(run.terminal, u"failure");
    EXPECT_TRUE(run.sentInput);
    expectLogEntry(run, LOG_INFORMATION, "Message propagated");
    EXPECT_EQ(brokersim::liveMessages(), 0);
}

// The heap is touched once per converted message (its work buffer), never otherwise.
TEST_F(EvaluationTest, OneAllocationPerConvertedMessageNoneOtherwise) {
    struct Case {
        const char* name;
        std::u16string msgtypes, direction;
        brokersim::MessageLayout layout;
        std::uint64_t allocations;
    };
    const Case cases[] = {
        {"convert ToIms", u"ANY", u"TOIMS", message(u"MQIMSVS ", std::nullopt, BODY), 1},
        {"convert FromIms", u"ANY", u"FROMIMS", message(u"MQIMSVS ", std::nullopt, FRAMED), 1},
        {"forward", u"ANY", u"TOIMS", message(u"MQSTR   ", std::nullopt, BODY), 0},
        {"fail", u"ALLIMS", u"TOIMS", message(u"MQSTR   ", std::nullopt, BODY), 0},
        {"fail, no MQIIH", u"ANY", u"TOIMS", message(u"MQIMS   ", std::nullopt, BODY), 0},
    };
    for (const Case& c : cases) {
        node->configure(c.msgtypes, c.direction, 1000);
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t before = ostrevel::allocation_seam::attempts();
            node->run(c.layout);
            EXPECT_EQ(ostrevel::allocation_seam::attempts() - before, c.allocations) << c.name;
        }
    }
}

TEST_F(EvaluationTest, AttributeChangedBetweenMessagesAppliesToTheNext) {
    EXPECT_EQ(node->run(message(u"MQIMSVS ", std::nullopt, BODY)).sentBody, WRAPPED);
    node->set(u"DIRECTION", u"FROMIMS");
    EXPECT_EQ(node->run(message(u"MQIMSVS ", std::nullopt, FRAMED)).sentBody, JOINED);
    node->set(u"MSGTYPES", u"IMSIIH");
    EXPECT_EQ(node->run(message(u"MQIMSVS ", std::nullopt, FRAMED)).terminal, u"failure");
    node->set(u"DEBUG", u"YES");  // stored only: no effect
    EXPECT_EQ(node->run(message(u"MQIMS   ", u"MQIMSVS ", FRAMED)).sentBody, JOINED);
}

TEST_F(EvaluationTest, UnattachedTerminalsGetNothingAndNothingIsLogged) {
    for (const char16_t* name : {u"out", u"failure"}) {
        brokersim::setAttached(node->terminal(u"out"), std::u16string(name) != u"out");
        brokersim::setAttached(node->terminal(u"failure"), std::u16string(name) != u"failure");
        const auto layout = std::u16string(name) == u"out"
                                ? message(u"MQIMSVS ", std::nullopt, BODY)
                                : message(u"MQIMS   ", std::nullopt, BODY);
        const RunResult run = node->run(layout);
        EXPECT_FALSE(run.terminal.has_value());
        EXPECT_TRUE(run.logs.empty());
        EXPECT_EQ(brokersim::liveMessages(), 0);
    }
}

TEST(EvaluationTerminals, TerminalWithoutHandleIsLoggedAsMissing) {
    // The second and the third output terminal ("out", "failure") get no handle in turn.
    for (std::uint64_t k : {1U, 2U}) {
        brokersim::reset();
        brokersim::failCall(Call::CreateOutputTerminal, k, Fault{1, true, {}});
        NodeHarness node(bipGetMessageflowNodeFactory);
        node.configure(u"ANY", u"TOIMS", 100);
        const auto layout = k == 1 ? message(u"MQIMSVS ", std::nullopt, BODY)
                                   : message(u"MQIMS   ", std::nullopt, BODY);
        const RunResult run = node.run(layout);
        EXPECT_FALSE(run.terminal.has_value());
        expectLogEntry(run, LOG_ERROR, "Terminal does not exist.");
        EXPECT_EQ(brokersim::callCount(Call::IsTerminalAttached), 0U);
        EXPECT_EQ(brokersim::liveMessages(), 0);
        EXPECT_TRUE(brokersim::violations().empty());
    }
}

// The attachment test's and the propagation's codes, with the rethrow returning or throwing.
// The attachment test's code is consulted whatever it answers: a failure inside it never
// drops the message silently.
TEST_F(EvaluationTest, AttachmentAndPropagationCodes) {
    struct Case {
        const char* name;
        Call call;
        int code;
        std::optional<std::int32_t> answer;  // what the call returns; none: the real answer
        bool rethrowThrows;
        bool propagated;
        std::optional<std::pair<std::int32_t, std::string>> log;
        std::size_t fetches;
        std::size_t rethrows;
    };
    const std::pair<std::int32_t, std::string> notPropagated{LOG_ERROR, "Message not propagated"};
    const auto attach = Call::IsTerminalAttached;
    const auto none = std::nullopt;
    const Case cases[] = {
        {"attach 1", attach, 1, none, false, false, notPropagated, 0, 0},
        {"attach 64", attach, RC_EXCEPTION, none, false, false, none, 0, 1},
        {"attach 64 throws", attach, RC_EXCEPTION, none, true, false, none, 0, 1},
        {"attach 1 answering 0", attach, 1, 0, false, false, notPropagated, 0, 0},
        {"attach 64 answering 0", attach, RC_EXCEPTION, 0, false, false, none, 0, 1},
        {"attach 64 answering 0 throws", attach, RC_EXCEPTION, 0, true, false, none, 0, 1},
        {"attach 0 answering 0", attach, 0, 0, false, false, none, 0, 0},
        {"propagate 1", Call::Propagate, 1, none, false, false, notPropagated, 0, 0},
        {"propagate 64", Call::Propagate, RC_EXCEPTION, none, false, false, notPropagated, 1, 1},
        {"propagate 64 throws", Call::Propagate, RC_EXCEPTION, none, true, false, none, 1, 1},
    };
    for (const Case& c : cases) {
        for (bool convert : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (convert ? " convert" : " fail"));
            brokersim::reset();
            node = std::make_unique<NodeHarness>(bipGetMessageflowNodeFactory);
            node->configure(u"ANY", u"TOIMS", 100);
            const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();
            brokersim::failCall(c.call, 1, Fault{c.code, false, c.answer});
            brokersim::setRethrowMode(c.rethrowThrows ? brokersim::RethrowMode::Throw
                                                      : brokersim::RethrowMode::Return);
            const RunResult run =
                node->run(message(convert ? u"MQIMSVS " : u"MQIMS   ", std::nullopt, BODY));
            EXPECT_EQ(run.threw, c.rethrowThrows);
            EXPECT_EQ(run.terminal.has_value(), c.propagated);
            if (c.log) {
                expectLogEntry(run, c.log->first, c.log->second);
            } else {
                EXPECT_TRUE(run.logs.empty());
            }
            const auto fetches = brokersim::exceptionFetches();
            EXPECT_EQ(fetches.size(), c.fetches);
            for (const auto& fetch : fetches) EXPECT_TRUE(fetch.rcGiven);
            const auto rethrows = brokersim::rethrows();
            EXPECT_EQ(rethrows.size(), c.rethrows);
            for (const auto& rethrow : rethrows) EXPECT_FALSE(rethrow.rcGiven);
            // Nothing held, whichever way control left evaluate.
            EXPECT_EQ(brokersim::liveMessages(), 0);
            EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), blocks);
            EXPECT_TRUE(brokersim::violations().empty());
        }
    }
}

// The broker's rethrow throws and the deletion of the output message on the way out throws
// as well: the first exception reaches the caller, the second is dropped, nothing is held.
TEST_F(EvaluationTest, ASecondExceptionDuringCleanUpIsDropped) {
    const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();
    brokersim::failCall(Call::IsTerminalAttached, 1, Fault{RC_EXCEPTION, false, {}});
    brokersim::setRethrowMode(brokersim::RethrowMode::Throw);
    brokersim::throwFromCall(Call::DeleteMessage, 1);
    const RunResult run = node->run(message(u"MQIMSVS ", std::nullopt, BODY));
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(brokersim::rethrows().size(), 1U);
    EXPECT_EQ(brokersim::injectedThrows(), 1U);
    EXPECT_EQ(brokersim::callCount(Call::DeleteMessage), 1U);
    EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), blocks);
}

// Fault sweep: in each scenario, every broker call that evaluate makes is failed in turn
// (code 1, code 64, and a null handle where the call returns one), and made to throw.
TEST(EvaluationFaultSweep, EveryBrokerCallFailingInTurn) {
    struct Scenario {
        const char* name;
        std::u16string msgtypes, direction;
        brokersim::MessageLayout layout;
        std::u16string terminal;
        bool sendsInput;
    };
    const Scenario scenarios[] = {
        {"convert ToIms", u"ANY", u"TOIMS", message(u"MQIMS   ", u"MQIMSVS ", BODY), u"out", false},
        {"convert FromIms", u"ANY", u"FROMIMS", message(u"MQIMSVS ", std::nullopt, FRAMED), u"out",
         false},
        {"forward", u"ANY", u"TOIMS", message(u"MQSTR   ", std::nullopt, BODY), u"out", true},
        {"fail", u"ALLIMS", u"TOIMS", message(u"MQSTR   ", std::nullopt, BODY), u"failure", true},
    };
    auto fresh = [](const Scenario& s) {
        brokersim::reset();
        ostrevel::allocation_seam::reset();
        auto node = std::make_unique<NodeHarness>(bipGetMessageflowNodeFactory);
        node->configure(s.msgtypes, s.direction, 100);
        ReleaseOrder::beginRun();
        return node;
    };
    auto isHandleCall = [](Call call) {
        return call == Call::RootElement || call == Call::GetMessageContext ||
               call == Call::CreateMessage || call == Call::SearchFirstChild ||
               call == Call::LastChild;
    };
    std::size_t faultsTried = 0;
    const ReleaseOrder order;
    for (const Scenario& s : scenarios) {
        auto node = fresh(s);
        const std::size_t start = brokersim::trace().size();
        const RunResult clean = node->run(s.layout);
        ASSERT_EQ(clean.terminal, s.terminal) << s.name;
        ASSERT_EQ(clean.sentInput, s.sendsInput) << s.name;
        ReleaseOrder::expectMessageDeletedFirst();
        const std::vector<Call> calls = brokersim::trace();
        const auto position = [&](Call call) {
            return static_cast<std::size_t>(
                std::find(calls.begin() + static_cast<long>(start), calls.end(), call) -
                calls.begin());
        };
        const std::size_t propagateAt = position(Call::Propagate);
        const std::size_t logAt = position(Call::Log);
        ASSERT_LT(logAt, calls.size());

        for (std::size_t i = start; i < calls.size(); ++i) {
            const Call call = calls[i];
            const auto k = static_cast<std::uint64_t>(
                std::count(calls.begin(), calls.begin() + static_cast<long>(i) + 1, call));
            {
                // The call throws: the exception reaches the caller, and whatever evaluate
                // holds is released on the way, the output message first.
                SCOPED_TRACE(std::string(s.name) + ": " + brokersim::callName(call) + " #" +
                             std::to_string(k) + " throws");
                node = fresh(s);
                const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();
                brokersim::throwFromCall(call, k);
                const RunResult run = node->run(s.layout);
                ++faultsTried;
                EXPECT_TRUE(run.threw);
                EXPECT_EQ(brokersim::injectedThrows(), 1U);
                EXPECT_EQ(run.terminal.has_value(), i > propagateAt);
                EXPECT_EQ(run.logs.size(), i > logAt ? 1U : 0U);
                EXPECT_TRUE(run.inputUnchanged);
                // A broker whose deletion throws keeps the message itself.
                EXPECT_EQ(brokersim::liveMessages(), call == Call::DeleteMessage ? 1 : 0);
                EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), blocks);
                EXPECT_EQ(brokersim::violations(), std::vector<std::string>{});
                ReleaseOrder::expectMessageDeletedFirst();
            }
            if (call == Call::DeleteMessage)
                continue;  // a broker that cannot delete leaks by itself
            std::vector<Fault> faults = {Fault{1, false, {}}, Fault{RC_EXCEPTION, false, {}}};
            if (isHandleCall(call)) faults.push_back(Fault{0, true, {}});
            for (const Fault& fault : faults) {
                SCOPED_TRACE(std::string(s.name) + ": " + brokersim::callName(call) + " #" +
                             std::to_string(k) + " code " + std::to_string(fault.code) +
                             (fault.nullHandle ? " null" : ""));
                node = fresh(s);
                const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();
                brokersim::failCall(call, k, fault);
                const RunResult run = node->run(s.layout);
                ++faultsTried;

                if (call == Call::IsTerminalAttached) {
                    EXPECT_FALSE(run.terminal.has_value());
                    if (fault.code == RC_EXCEPTION) {
                        EXPECT_TRUE(run.logs.empty());
                        EXPECT_EQ(brokersim::rethrows().size(), 1U);
                    } else {
                        expectLogEntry(run, LOG_ERROR, "Message not propagated");
                    }
                } else if (call == Call::Propagate) {
                    EXPECT_FALSE(run.terminal.has_value());
                    expectLogEntry(run, LOG_ERROR, "Message not propagated");
                    EXPECT_EQ(brokersim::exceptionFetches().size(),
                              fault.code == RC_EXCEPTION ? 1U : 0U);
                } else if (call == Call::Log) {
                    EXPECT_EQ(run.terminal, clean.terminal);
                    EXPECT_TRUE(run.logs.empty());
                } else if (call == Call::GetMessageContext && !fault.nullHandle) {
                    EXPECT_EQ(run.terminal, clean.terminal);  // its code is not consulted
                    EXPECT_EQ(run.sentBody, clean.sentBody);
                } else {
                    // Any failure before routing: the input goes unchanged to "failure".
                    EXPECT_EQ(run.terminal, u"failure");
                    EXPECT_TRUE(run.sentInput);
                    expectLogEntry(run, LOG_INFORMATION, "Message propagated");
                    EXPECT_TRUE(brokersim::rethrows().empty());
                }
                EXPECT_TRUE(run.inputUnchanged);
                EXPECT_EQ(brokersim::liveMessages(), 0);
                EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), blocks);
                EXPECT_EQ(brokersim::violations(), std::vector<std::string>{});
                ReleaseOrder::expectMessageDeletedFirst();
            }
        }
    }
    EXPECT_GT(faultsTried, 100U);
}

// Many threads evaluate mixed messages at once, on one node and on several.
TEST(EvaluationConcurrency, ManyThreadsOneNodeAndSeveralNodes) {
    constexpr int THREADS = 4;
    constexpr int MESSAGES = 300;
    constexpr std::uintptr_t TAG_BASE = 1000000;
    // Node 0 wraps under ANY, node 1 strips under ANY, node 2 wraps under ALLIMS.
    auto bodyOf = [](int t, int i) {
        return Bytes(static_cast<std::size_t>((i * 131 + t) % 2000),
                     static_cast<std::uint8_t>(t + i));
    };
    for (bool oneNode : {true, false}) {
        SCOPED_TRACE(oneNode ? "one node" : "three nodes");
        brokersim::reset();
        ostrevel::allocation_seam::reset();
        std::vector<std::unique_ptr<NodeHarness>> nodes;
        for (int n = 0; n < 3; ++n) {
            nodes.push_back(std::make_unique<NodeHarness>(bipGetMessageflowNodeFactory));
            nodes.back()->configure(n == 2 ? u"ALLIMS" : u"ANY", n == 1 ? u"FROMIMS" : u"TOIMS",
                                    70000);
        }
        const std::int64_t blocks = ostrevel::allocation_seam::liveBlocks();
        auto nodeFor = [oneNode](int t, int i) { return oneNode ? 0 : (i + t) % 3; };

        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < MESSAGES; ++i) {
                    const int n = nodeFor(t, i);
                    const bool ims = i % 2 == 0;
                    const Bytes data = bodyOf(t, i);
                    BrokerMessage* input = brokersim::makeMessage(
                        message(ims ? u"MQIMSVS " : u"MQSTR   ", std::nullopt,
                                ims && n == 1 ? segment(data) : data));
                    const auto tag = TAG_BASE + static_cast<std::uintptr_t>(t * MESSAGES + i);
                    const NodeHarness& node = *nodes[static_cast<std::size_t>(n)];
                    node.table().evaluate(node.context(), brokersim::opaqueHandle(tag),
                                          brokersim::opaqueHandle(0), input);
                }
            });
        }
        for (auto& thread : threads) thread.join();

        // Every propagation is checked against the message its pass-through handle names.
        int wrong = 0;
        const auto sent = brokersim::propagations();
        for (const auto& p : sent) {
            const auto tag =
                static_cast<int>((reinterpret_cast<std::uintptr_t>(p.first) - 1) / 2 - TAG_BASE);
            const int t = tag / MESSAGES;
            const int i = tag % MESSAGES;
            const int n = nodeFor(t, i);
            const Bytes data = bodyOf(t, i);
            const bool ims = i % 2 == 0;
            const std::u16string terminal = !ims && n == 2 ? u"failure" : u"out";
            const Bytes body = ims && n != 1 ? segment(data) : data;
            if (p.terminalName != terminal || p.copy.body != body) ++wrong;
        }
        EXPECT_EQ(sent.size(), static_cast<std::size_t>(THREADS * MESSAGES));
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(brokersim::liveMessages(), 0);
        EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), blocks);
        EXPECT_TRUE(brokersim::violations().empty());
    }
}

}  // namespace
