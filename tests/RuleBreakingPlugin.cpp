// RuleBreakingPlugin.cpp - a plug-in that breaks the node's rules on purpose: it sends every
// message unchanged to "out". The host tool's tests load it to see the tool's differential
// check catch a plug-in that disagrees with its own rules.
#include <cstring>
#include <map>
#include <string>

#include "BrokerInterface.h"

namespace {

struct Context {
    BrokerTerminal* out = nullptr;
    std::map<std::u16string, std::u16string> attributes{
        {u"MSGTYPES", u""}, {u"DIRECTION", u""}, {u"MAXMSGDATASIZE", u"0"}, {u"DEBUG", u""}};
};

void* createContext(BrokerFactory*, const char16_t*, BrokerNode* node) {
    auto* context = new Context;  // held for the life of the process, as a node's context is
    int rc = 0;
    cniCreateInputTerminal(&rc, node, u"in");
    context->out = cniCreateOutputTerminal(&rc, node, u"out");
    cniCreateOutputTerminal(&rc, node, u"failure");
    return context;
}

std::int32_t attributeNameAt(void*, std::int32_t, char16_t*) {
    return 1;
}

std::int32_t setAttribute(void* context, const char16_t* name, const char16_t* value) {
    auto& attributes = static_cast<Context*>(context)->attributes;
    const auto found = attributes.find(name);
    if (found == attributes.end()) return 1;
    found->second = value;
    return 0;
}

std::int32_t getAttribute(void* context, const char16_t* name, char16_t* buffer,
                          std::int32_t length) {
    const auto& attributes = static_cast<Context*>(context)->attributes;
    const auto found = attributes.find(name);
    if (found == attributes.end()) return 1;
    const std::size_t bytes = (found->second.size() + 1) * sizeof(char16_t);
    if (length > 0 && bytes <= static_cast<std::size_t>(length)) {
        std::memcpy(buffer, found->second.c_str(), bytes);
    }
    return 0;
}

void evaluate(void* context, BrokerMessage* first, BrokerMessage* second, BrokerMessage* input) {
    int rc = 0;
    cniPropagate(&rc, static_cast<Context*>(context)->out, first, second, input);
    cciLog(&rc, LOG_INFORMATION, "RuleBreakingPlugin.cpp", __LINE__, "evaluate()",
           u"MQSeriesIntegrator2", MSG_LOG_NUMBER, "Message propagated",
           static_cast<const char*>(nullptr));
}

NodeFunctionTable table{};

}  // namespace

extern "C" PLUGIN_EXPORT BrokerFactory* bipGetMessageflowNodeFactory(void) {
    table.createContext = createContext;
    table.attributeNameAt = attributeNameAt;
    table.setAttribute = setAttribute;
    table.getAttribute = getAttribute;
    table.evaluate = evaluate;
    int rc = 0;
    BrokerFactory* factory = cniCreateNodeFactory(&rc, u"OstrevelFactory");
    cniDefineNodeClass(&rc, factory, u"OstrevelNode", &table);
    return factory;
}
