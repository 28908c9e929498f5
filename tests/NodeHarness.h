// NodeHarness.h - a node of class OstrevelNode created through the registered function table
// on the simulated broker, and one message run through it with everything that resulted.
#ifndef OSTREVEL_TESTS_NODEHARNESS_H
#define OSTREVEL_TESTS_NODEHARNESS_H

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BrokerSim.h"
#include "Bytes.h"

namespace ostrevel_test {

// What one evaluate call did.
struct RunResult {
    std::optional<std::u16string> terminal;  // where the message went; none if nowhere
    bool sentInput = false;                  // the input message itself was sent
    std::optional<Bytes> sentBody;
    std::vector<brokersim::LogRecord> logs;  // entries written by this call
    BrokerMessage* first = nullptr;          // pass-through handles as they arrived
    BrokerMessage* second = nullptr;
    bool inputUnchanged = true;
    bool threw = false;
};

class NodeHarness {
public:
    // Registers the plug-in through `getFactory` and creates a node from its table.
    explicit NodeHarness(BrokerFactory* (*getFactory)()) {
        factory_ = getFactory();
        table_ = brokersim::definedTable(factory_, u"OstrevelNode");
        if (table_ != nullptr) node_ = brokersim::createNode(*table_);
    }

    bool ready() const { return table_ != nullptr && node_.context != nullptr; }
    const NodeFunctionTable& table() const { return *table_; }
    void* context() const { return node_.context; }
    BrokerNode* object() const { return node_.object; }
    BrokerTerminal* terminal(const std::u16string& name) const {
        return brokersim::terminalNamed(node_.object, name);
    }

    void set(const std::u16string& name, const std::u16string& value) {
        table_->setAttribute(node_.context, name.c_str(), value.c_str());
    }
    void configure(const std::u16string& msgtypes, const std::u16string& direction,
                   std::int32_t maxSize) {
        set(u"MSGTYPES", msgtypes);
        set(u"DIRECTION", direction);
        set(u"MAXMSGDATASIZE", brokersim::wide(std::to_string(maxSize)));
    }

    // Sends one message built from `layout` through evaluate.
    RunResult run(const brokersim::MessageLayout& layout) {
        return runMessage(brokersim::makeMessage(layout));
    }

    RunResult runMessage(BrokerMessage* input) {
        const std::size_t logsBefore = brokersim::logRecords().size();
        const std::size_t sentBefore = brokersim::propagations().size();
        const brokersim::MessageView before = brokersim::viewMessage(input);
        RunResult result;
        BrokerMessage* first = brokersim::opaqueHandle(++tag_);
        BrokerMessage* second = brokersim::opaqueHandle(++tag_);
        try {
            table_->evaluate(node_.context, first, second, input);
        } catch (const brokersim::BrokerException&) {
            result.threw = true;
        }
        const auto sent = brokersim::propagations();
        if (sent.size() > sentBefore) {
            const brokersim::Propagation& p = sent.back();
            result.terminal = p.terminalName;
            result.sentInput = p.sent == input;
            result.sentBody = p.copy.body;
            result.first = p.first;
            result.second = p.second;
            EXPECT_EQ(p.first, first);
            EXPECT_EQ(p.second, second);
            EXPECT_EQ(sent.size(), sentBefore + 1) << "at most one propagation";
        }
        const auto logs = brokersim::logRecords();
        result.logs.assign(logs.begin() + static_cast<long>(logsBefore), logs.end());
        const brokersim::MessageView after = brokersim::viewMessage(input);
        result.inputUnchanged =
            after.body == before.body && after.childNames == before.childNames &&
            after.mqmdFormat == before.mqmdFormat && after.iihFormat == before.iihFormat;
        return result;
    }

private:
    BrokerFactory* factory_ = nullptr;
    NodeFunctionTable* table_ = nullptr;
    brokersim::Node node_{};
    std::uintptr_t tag_ = 0;
};

inline brokersim::MessageLayout message(const std::optional<std::u16string>& mqmd,
                                        const std::optional<std::u16string>& iih,
                                        const Bytes& body) {
    brokersim::MessageLayout layout;
    layout.withMqmd = true;
    layout.mqmdFormat = mqmd;
    layout.withIih = iih.has_value();
    layout.iihFormat = iih;
    layout.body = body;
    return layout;
}

}  // namespace ostrevel_test

#endif  // OSTREVEL_TESTS_NODEHARNESS_H
