// RegistrationTest.cpp - the export: the function table, the loading entry, the factory and
// node class, and failure of the factory creation.
#include "Evaluation.h"
#include "NodeContext.h"
#include "Ostrevel.h"
#include "TestSupport.h"

namespace {

using namespace ostrevel_test;
using brokersim::Call;
using brokersim::Fault;

class RegistrationTest : public BrokerTest {};

void expectTableFilled() {
    const NodeFunctionTable& table = ostrevel::nodeFunctionTable();
    EXPECT_EQ(table.createContext, &ostrevel::createContext);
    EXPECT_EQ(table.reserved, nullptr);
    EXPECT_EQ(table.attributeNameAt, &ostrevel::attributeNameAt);
    EXPECT_EQ(table.setAttribute, &ostrevel::setAttribute);
    EXPECT_EQ(table.getAttribute, &ostrevel::getAttribute);
    EXPECT_EQ(table.evaluate, &ostrevel::evaluate);
}

TEST_F(RegistrationTest, CreatesTheFactoryAndDefinesTheNodeClass) {
    BrokerFactory* factory = bipGetMessageflowNodeFactory();
    ASSERT_NE(factory, nullptr);
    expectTableFilled();
    EXPECT_EQ(brokersim::factoryNames(), std::vector<std::u16string>{u"OstrevelFactory"});
    EXPECT_EQ(brokersim::definedTable(factory, u"OstrevelNode"), &ostrevel::nodeFunctionTable());
    EXPECT_EQ(brokersim::trace(),
              (std::vector<Call>{Call::Log, Call::CreateNodeFactory, Call::DefineNodeClass}));
    const auto logs = brokersim::logRecords();
    ASSERT_EQ(logs.size(), 1U);
    EXPECT_TRUE(logs[0].rcGiven);
    EXPECT_EQ(logs[0].type, LOG_INFORMATION);
    EXPECT_EQ(logs[0].module, "Ostrevel.cpp");
    EXPECT_GT(logs[0].line, 0);
    EXPECT_EQ(logs[0].function, "bipGetMessageflowNodeFactory()");
    EXPECT_EQ(logs[0].source, u"MQSeriesIntegrator2");
    EXPECT_EQ(logs[0].messageNumber, 0U);
    EXPECT_EQ(logs[0].text, "Plugin <OstrevelFactory> loading");
    EXPECT_TRUE(logs[0].closedByNull);
}

TEST_F(RegistrationTest, ASecondCallRegistersAgain) {
    BrokerFactory* first = bipGetMessageflowNodeFactory();
    BrokerFactory* second = bipGetMessageflowNodeFactory();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    expectTableFilled();
    EXPECT_EQ(brokersim::logRecords().size(), 2U);
    EXPECT_NE(brokersim::definedTable(second, u"OstrevelNode"), nullptr);
}

TEST_F(RegistrationTest, FactoryCreationFailure) {
    struct Case {
        const char* name;
        int code;
        bool rethrowThrows;
        std::size_t fetchesAndRethrows;
    };
    const Case cases[] = {{"code 1", 1, false, 0},
                          {"code 64, rethrow returns", RC_EXCEPTION, false, 1},
                          {"code 64, rethrow throws", RC_EXCEPTION, true, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        brokersim::reset();
        brokersim::failCall(Call::CreateNodeFactory, 1, Fault{c.code, true, {}});
        if (c.rethrowThrows) brokersim::setRethrowMode(brokersim::RethrowMode::Throw);
        BrokerFactory* factory = reinterpret_cast<BrokerFactory*>(1);
        bool threw = false;
        try {
            factory = bipGetMessageflowNodeFactory();
        } catch (const brokersim::BrokerException&) {
            threw = true;
        }
        EXPECT_EQ(threw, c.rethrowThrows);
        if (!threw) {
            EXPECT_EQ(factory, nullptr);
        }
        expectTableFilled();
        EXPECT_EQ(brokersim::logRecords().size(), 1U);  // logged before the factory
        EXPECT_EQ(brokersim::callCount(Call::DefineNodeClass), 0U);
        EXPECT_EQ(brokersim::exceptionFetches().size(), c.fetchesAndRethrows);
        EXPECT_EQ(brokersim::rethrows().size(), c.fetchesAndRethrows);
        for (const auto& fetch : brokersim::exceptionFetches()) EXPECT_TRUE(fetch.rcGiven);
        for (const auto& rethrow : brokersim::rethrows()) EXPECT_TRUE(rethrow.rcGiven);
    }
}

TEST_F(RegistrationTest, FailingClassDefinitionIsNotNoticed) {
    brokersim::failCall(Call::DefineNodeClass, 1, Fault{RC_EXCEPTION, false, {}});
    EXPECT_NE(bipGetMessageflowNodeFactory(), nullptr);
    EXPECT_TRUE(brokersim::rethrows().empty());
}

// Each broker call of the export throwing in turn: the exception passes through unchanged.
TEST_F(RegistrationTest, BrokerExceptionsPassThrough) {
    for (Call call : {Call::Log, Call::CreateNodeFactory, Call::DefineNodeClass}) {
        SCOPED_TRACE(brokersim::callName(call));
        brokersim::reset();
        brokersim::throwFromCall(call, 1);
        EXPECT_THROW(bipGetMessageflowNodeFactory(), brokersim::BrokerException);
        EXPECT_EQ(brokersim::injectedThrows(), 1U);
        EXPECT_EQ(ostrevel::allocation_seam::liveBlocks(), 0);
    }
}

}  // namespace
