// BrokerSim.cpp - the simulated broker's objects, its nineteen functions and its records.
#include "BrokerSim.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <unordered_set>

// The broker's objects. The interface declares these types incomplete; the simulator
// gives them their content.
struct BrokerElement {
    std::u16string name;
    std::optional<std::u16string> characterValue;
    std::optional<std::vector<std::uint8_t>> byteValue;
    std::vector<std::unique_ptr<BrokerElement>> children;
};

struct BrokerMessageContext {
    int unused = 0;
};

struct BrokerMessage {
    BrokerMessageContext* context = nullptr;
    std::unique_ptr<BrokerElement> root;
    bool createdByPlugin = false;
    bool deleted = false;
};

struct BrokerTerminal {
    BrokerNode* node = nullptr;
    std::u16string name;
    bool output = false;
    bool attached = true;
};

struct BrokerNode {
    std::vector<BrokerTerminal*> terminals;
    void* context = nullptr;  // what createContext returned for this node
};

struct BrokerFactory {
    std::u16string name;
    std::vector<std::pair<std::u16string, NodeFunctionTable*>> classes;
};

namespace brokersim {
namespace {

// Inserts read from cciLog's variable part before giving up on a closing null.
constexpr int MAX_LOG_INSERTS = 8;
constexpr std::uint8_t EXCEPTION_DATA_FILL = 0xEE;

struct FaultPlan {
    Call call;
    std::uint64_t k;
    bool andAfter;
    Fault fault;
    bool throws;  // the call throws BrokerException instead
};

// Everything the simulator knows; guarded by `lock`.
struct State {
    std::mutex lock;
    std::vector<std::unique_ptr<BrokerFactory>> factories;
    std::vector<std::unique_ptr<BrokerNode>> nodes;
    std::vector<std::unique_ptr<BrokerTerminal>> terminals;
    std::vector<std::unique_ptr<BrokerMessageContext>> contexts;
    std::vector<std::unique_ptr<BrokerMessage>> messages;  // kept until reset, deleted or not
    std::unordered_set<const BrokerMessage*> messageSet;
    std::unordered_set<const BrokerElement*> elements;  // every element of a live message
    std::array<std::uint64_t, CALL_KINDS> counts{};
    std::vector<Call> calls;
    std::vector<FaultPlan> faults;
    RethrowMode rethrowMode = RethrowMode::Return;
    std::vector<LogRecord> logs;
    std::vector<Propagation> sent;
    std::vector<ExceptionFetch> fetches;
    std::vector<Rethrow> rethrown;
    std::uint64_t injectedThrows = 0;
    std::int64_t live = 0;
    std::vector<std::string> misuse;
    // Node contexts are never released by the plug-in; like a real broker, the simulator
    // holds them until the process ends, also across reset().
    std::vector<void*> retainedContexts;
};

thread_local std::uint64_t threadTag = 0;

State& state() {
    // Never destroyed, so that what it holds stays reachable for leak checkers at exit.
    static State* instance = new State;
    return *instance;
}

using Guard = std::lock_guard<std::mutex>;

// Counts and traces a call; returns the fault planned for this call, if any, or throws
// BrokerException when the plan says so (before the call has done anything).
std::optional<Fault> enter(State& s, Call call) {
    const std::uint64_t number = ++s.counts[static_cast<std::size_t>(call)];
    s.calls.push_back(call);
    for (const FaultPlan& plan : s.faults) {
        if (plan.call == call && (plan.andAfter ? number >= plan.k : number == plan.k)) {
            if (plan.throws) {
                ++s.injectedThrows;
                throw BrokerException();
            }
            return plan.fault;
        }
    }
    return std::nullopt;
}

void setRc(int* rc, int code) {
    if (rc != nullptr) {
        *rc = code;
    }
}

void requireRc(State& s, int* rc, const char* function) {
    if (rc == nullptr) {
        s.misuse.push_back(std::string(function) + ": null return-code pointer");
    }
}

void unregisterTree(State& s, const BrokerElement* element) {
    s.elements.erase(element);
    for (const auto& child : element->children) {
        unregisterTree(s, child.get());
    }
}

std::unique_ptr<BrokerElement> newElement(State& s, const std::u16string& name) {
    auto element = std::make_unique<BrokerElement>();
    element->name = name;
    s.elements.insert(element.get());
    return element;
}

std::unique_ptr<BrokerElement> copyTree(State& s, const BrokerElement& source) {
    auto copy = newElement(s, source.name);
    copy->characterValue = source.characterValue;
    copy->byteValue = source.byteValue;
    for (const auto& child : source.children) {
        copy->children.push_back(copyTree(s, *child));
    }
    return copy;
}

bool knownElement(State& s, BrokerElement* element, const char* function) {
    if (element != nullptr && s.elements.count(element) != 0) {
        return true;
    }
    s.misuse.push_back(std::string(function) + ": unknown or released element");
    return false;
}

bool knownMessage(State& s, BrokerMessage* message, const char* function) {
    if (s.messageSet.count(message) == 0) {
        s.misuse.push_back(std::string(function) + ": unknown message");
        return false;
    }
    if (message->deleted) {
        s.misuse.push_back(std::string(function) + ": deleted message");
        return false;
    }
    return true;
}

bool knownTerminal(State& s, BrokerTerminal* terminal, const char* function) {
    for (const auto& t : s.terminals) {
        if (t.get() == terminal) {
            return true;
        }
    }
    s.misuse.push_back(std::string(function) + ": unknown terminal");
    return false;
}

BrokerNode* findNode(State& s, BrokerNode* node) {
    for (const auto& n : s.nodes) {
        if (n.get() == node) {
            return n.get();
        }
    }
    return nullptr;
}

BrokerMessage* newMessage(State& s, BrokerMessageContext* context, bool byPlugin) {
    auto message = std::make_unique<BrokerMessage>();
    message->context = context;
    message->root = newElement(s, u"Root");
    message->createdByPlugin = byPlugin;
    s.messageSet.insert(message.get());
    s.messages.push_back(std::move(message));
    return s.messages.back().get();
}

BrokerMessageContext* newContext(State& s) {
    s.contexts.push_back(std::make_unique<BrokerMessageContext>());
    return s.contexts.back().get();
}

const BrokerElement* childNamed(const BrokerElement& parent, const std::u16string& name) {
    for (const auto& child : parent.children) {
        if (child->name == name) {
            return child.get();
        }
    }
    return nullptr;
}

MessageView view(const BrokerElement& root) {
    MessageView v;
    for (const auto& child : root.children) {
        v.childNames.push_back(child->name);
    }
    if (const BrokerElement* mqmd = childNamed(root, u"MQMD")) {
        v.hasMqmd = true;
        if (const BrokerElement* format = childNamed(*mqmd, u"Format")) {
            v.mqmdFormat = format->characterValue;
        }
    }
    if (const BrokerElement* iih = childNamed(root, u"MQIIH")) {
        v.hasIih = true;
        if (const BrokerElement* format = childNamed(*iih, u"Format")) {
            v.iihFormat = format->characterValue;
        }
    }
    if (!root.children.empty() && !root.children.back()->children.empty()) {
        v.body = root.children.back()->children.back()->byteValue;
    }
    return v;
}

BrokerTerminal* createTerminal(int* rc, BrokerNode* node, const char16_t* name, bool output,
                               Call call, const char* function) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, call);
    requireRc(s, rc, function);
    BrokerNode* owner = findNode(s, node);
    if (owner == nullptr || name == nullptr) {
        s.misuse.push_back(std::string(function) + ": unknown node object or no name");
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    if (fault && fault->nullHandle) {
        setRc(rc, fault->code);
        return nullptr;
    }
    auto terminal = std::make_unique<BrokerTerminal>();
    terminal->node = owner;
    terminal->name = name;
    terminal->output = output;
    owner->terminals.push_back(terminal.get());
    s.terminals.push_back(std::move(terminal));
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    return s.terminals.back().get();
}

// Forgets messages, records, faults and counters; keeps factories, nodes and terminals.
void clearRecordsLocked(State& s) {
    s.messages.clear();
    s.messageSet.clear();
    s.contexts.clear();
    s.elements.clear();
    s.counts.fill(0);
    s.calls.clear();
    s.faults.clear();
    s.rethrowMode = RethrowMode::Return;
    s.logs.clear();
    s.sent.clear();
    s.fetches.clear();
    s.rethrown.clear();
    s.injectedThrows = 0;
    s.live = 0;
    s.misuse.clear();
}

}  // namespace

const char* callName(Call call) {
    static constexpr const char* names[CALL_KINDS] = {"cniCreateNodeFactory",
                                                      "cniDefineNodeClass",
                                                      "cniCreateInputTerminal",
                                                      "cniCreateOutputTerminal",
                                                      "cniRootElement",
                                                      "cniGetMessageContext",
                                                      "cniCreateMessage",
                                                      "cniSearchFirstChild",
                                                      "cniLastChild",
                                                      "cniCopyElementTree",
                                                      "cniElementCharacterValue",
                                                      "cniElementByteArrayValue",
                                                      "cniSetElementByteArrayValue",
                                                      "cniIsTerminalAttached",
                                                      "cniPropagate",
                                                      "cniDeleteMessage",
                                                      "cciLog",
                                                      "cciGetLastExceptionData",
                                                      "cciRethrowLastException"};
    return names[static_cast<std::size_t>(call)];
}

void reset() {
    State& s = state();
    Guard guard(s.lock);
    for (const auto& node : s.nodes) {
        if (node->context != nullptr) {
            s.retainedContexts.push_back(node->context);
        }
    }
    s.factories.clear();
    s.nodes.clear();
    s.terminals.clear();
    clearRecordsLocked(s);
}

void clearRecords() {
    State& s = state();
    Guard guard(s.lock);
    clearRecordsLocked(s);
}

void setThreadTag(std::uint64_t tag) {
    threadTag = tag;
}

void failCall(Call call, std::uint64_t k, Fault fault, bool andAfter) {
    State& s = state();
    Guard guard(s.lock);
    s.faults.push_back(FaultPlan{call, k, andAfter, fault, false});
}

void throwFromCall(Call call, std::uint64_t k, bool andAfter) {
    State& s = state();
    Guard guard(s.lock);
    s.faults.push_back(FaultPlan{call, k, andAfter, Fault{}, true});
}

std::uint64_t injectedThrows() {
    State& s = state();
    Guard guard(s.lock);
    return s.injectedThrows;
}

void clearFaults() {
    State& s = state();
    Guard guard(s.lock);
    s.faults.clear();
}

void setRethrowMode(RethrowMode mode) {
    State& s = state();
    Guard guard(s.lock);
    s.rethrowMode = mode;
}

std::uint64_t callCount(Call call) {
    State& s = state();
    Guard guard(s.lock);
    return s.counts[static_cast<std::size_t>(call)];
}

std::vector<Call> trace() {
    State& s = state();
    Guard guard(s.lock);
    return s.calls;
}

std::vector<LogRecord> logRecords() {
    State& s = state();
    Guard guard(s.lock);
    return s.logs;
}

std::vector<Propagation> propagations() {
    State& s = state();
    Guard guard(s.lock);
    return s.sent;
}

std::vector<ExceptionFetch> exceptionFetches() {
    State& s = state();
    Guard guard(s.lock);
    return s.fetches;
}

std::vector<Propagation> takePropagations() {
    State& s = state();
    Guard guard(s.lock);
    std::vector<Propagation> taken;
    taken.swap(s.sent);
    return taken;
}

std::vector<LogRecord> takeLogRecords() {
    State& s = state();
    Guard guard(s.lock);
    std::vector<LogRecord> taken;
    taken.swap(s.logs);
    return taken;
}

std::vector<Rethrow> rethrows() {
    State& s = state();
    Guard guard(s.lock);
    return s.rethrown;
}

std::int64_t liveMessages() {
    State& s = state();
    Guard guard(s.lock);
    return s.live;
}

std::vector<std::string> violations() {
    State& s = state();
    Guard guard(s.lock);
    return s.misuse;
}

std::vector<std::u16string> factoryNames() {
    State& s = state();
    Guard guard(s.lock);
    std::vector<std::u16string> names;
    for (const auto& factory : s.factories) {
        names.push_back(factory->name);
    }
    return names;
}

NodeFunctionTable* definedTable(BrokerFactory* factory, const std::u16string& className) {
    State& s = state();
    Guard guard(s.lock);
    for (const auto& f : s.factories) {
        if (f.get() != factory) {
            continue;
        }
        for (const auto& definition : f->classes) {
            if (definition.first == className) {
                return definition.second;
            }
        }
    }
    return nullptr;
}

BrokerNode* newNodeObject() {
    State& s = state();
    Guard guard(s.lock);
    s.nodes.push_back(std::make_unique<BrokerNode>());
    return s.nodes.back().get();
}

Node createNode(const NodeFunctionTable& table, const std::u16string& className) {
    BrokerNode* object = newNodeObject();
    // Called without the lock held: createContext calls back into the broker.
    void* context = table.createContext(nullptr, className.c_str(), object);
    adoptContext(object, context);
    return Node{object, context};
}

void adoptContext(BrokerNode* node, void* context) {
    State& s = state();
    Guard guard(s.lock);
    if (BrokerNode* owner = findNode(s, node)) {
        owner->context = context;
    } else {
        s.retainedContexts.push_back(context);
    }
}

std::vector<BrokerTerminal*> terminalsOf(BrokerNode* node) {
    State& s = state();
    Guard guard(s.lock);
    BrokerNode* owner = findNode(s, node);
    return owner == nullptr ? std::vector<BrokerTerminal*>{} : owner->terminals;
}

BrokerTerminal* terminalNamed(BrokerNode* node, const std::u16string& name) {
    for (BrokerTerminal* terminal : terminalsOf(node)) {
        if (terminal->name == name) {
            return terminal;
        }
    }
    return nullptr;
}

std::u16string terminalName(BrokerTerminal* terminal) {
    State& s = state();
    Guard guard(s.lock);
    return knownTerminal(s, terminal, "terminalName") ? terminal->name : std::u16string();
}

bool isOutputTerminal(BrokerTerminal* terminal) {
    State& s = state();
    Guard guard(s.lock);
    return knownTerminal(s, terminal, "isOutputTerminal") && terminal->output;
}

void setAttached(BrokerTerminal* terminal, bool attached) {
    State& s = state();
    Guard guard(s.lock);
    if (knownTerminal(s, terminal, "setAttached")) {
        terminal->attached = attached;
    }
}

bool isAttached(BrokerTerminal* terminal) {
    State& s = state();
    Guard guard(s.lock);
    return knownTerminal(s, terminal, "isAttached") && terminal->attached;
}

BrokerMessage* makeMessage(const MessageLayout& layout) {
    State& s = state();
    Guard guard(s.lock);
    BrokerMessage* message = newMessage(s, newContext(s), false);
    BrokerElement& root = *message->root;
    auto addHeader = [&](const std::u16string& name, const std::optional<std::u16string>& format) {
        auto header = newElement(s, name);
        if (format) {
            auto formatElement = newElement(s, u"Format");
            formatElement->characterValue = *format;
            header->children.push_back(std::move(formatElement));
        }
        root.children.push_back(std::move(header));
    };
    root.children.push_back(newElement(s, u"Properties"));
    if (layout.withMqmd) {
        addHeader(u"MQMD", layout.mqmdFormat);
    }
    if (layout.withIih) {
        addHeader(u"MQIIH", layout.iihFormat);
    }
    for (const std::u16string& name : layout.extraHeaders) {
        root.children.push_back(newElement(s, name));
    }
    if (layout.withBody) {
        auto parser = newElement(s, u"BLOB");
        auto body = newElement(s, u"BLOB");
        body->byteValue = layout.body;
        parser->children.push_back(std::move(body));
        root.children.push_back(std::move(parser));
    }
    return message;
}

BrokerMessage* makeEmptyMessage() {
    State& s = state();
    Guard guard(s.lock);
    return newMessage(s, newContext(s), false);
}

MessageView viewMessage(BrokerMessage* message) {
    State& s = state();
    Guard guard(s.lock);
    if (!knownMessage(s, message, "viewMessage")) {
        return MessageView{};
    }
    return view(*message->root);
}

BrokerMessage* opaqueHandle(std::uintptr_t tag) {
    // Never dereferenced: only compared. Odd values keep it apart from real objects.
    return reinterpret_cast<BrokerMessage*>(tag * 2 + 1);
}

BrokerElement* rootOf(BrokerMessage* message) {
    State& s = state();
    Guard guard(s.lock);
    return knownMessage(s, message, "rootOf") ? message->root.get() : nullptr;
}

BrokerElement* addChild(BrokerElement* parent, const std::u16string& name) {
    State& s = state();
    Guard guard(s.lock);
    if (!knownElement(s, parent, "addChild")) {
        return nullptr;
    }
    parent->children.push_back(newElement(s, name));
    return parent->children.back().get();
}

void setCharacterValue(BrokerElement* element, const std::u16string& value) {
    State& s = state();
    Guard guard(s.lock);
    if (knownElement(s, element, "setCharacterValue")) {
        element->characterValue = value;
    }
}

void setByteValue(BrokerElement* element, const std::vector<std::uint8_t>& bytes) {
    State& s = state();
    Guard guard(s.lock);
    if (knownElement(s, element, "setByteValue")) {
        element->byteValue = bytes;
    }
}

std::u16string wide(const std::string& ascii) {
    std::u16string text;
    for (unsigned char c : ascii) {
        text.push_back(static_cast<char16_t>(c));
    }
    return text;
}

std::string narrow(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        result.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return result;
}

}  // namespace brokersim

// The nineteen broker functions.
using namespace brokersim;

extern "C" {

BROKER_API BrokerFactory* cniCreateNodeFactory(int* rc, const char16_t* name) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::CreateNodeFactory);
    requireRc(s, rc, "cniCreateNodeFactory");
    if (name == nullptr) {
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    if (fault && fault->nullHandle) {
        setRc(rc, fault->code);
        return nullptr;
    }
    auto factory = std::make_unique<BrokerFactory>();
    factory->name = name;
    s.factories.push_back(std::move(factory));
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    return s.factories.back().get();
}

BROKER_API void cniDefineNodeClass(int* rc, BrokerFactory* factory, const char16_t* className,
                                   NodeFunctionTable* table) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::DefineNodeClass);
    requireRc(s, rc, "cniDefineNodeClass");
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return;
    }
    for (const auto& f : s.factories) {
        if (f.get() == factory && className != nullptr && table != nullptr) {
            f->classes.emplace_back(className, table);
            setRc(rc, RC_SUCCESS);
            return;
        }
    }
    s.misuse.push_back("cniDefineNodeClass: unknown factory, or no class name or table");
    setRc(rc, RC_FAILURE);
}

BROKER_API BrokerTerminal* cniCreateInputTerminal(int* rc, BrokerNode* node, const char16_t* name) {
    return createTerminal(rc, node, name, false, Call::CreateInputTerminal,
                          "cniCreateInputTerminal");
}

BROKER_API BrokerTerminal* cniCreateOutputTerminal(int* rc, BrokerNode* node,
                                                   const char16_t* name) {
    return createTerminal(rc, node, name, true, Call::CreateOutputTerminal,
                          "cniCreateOutputTerminal");
}

BROKER_API BrokerElement* cniRootElement(int* rc, BrokerMessage* message) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::RootElement);
    requireRc(s, rc, "cniRootElement");
    if (!knownMessage(s, message, "cniRootElement")) {
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    return fault && fault->nullHandle ? nullptr : message->root.get();
}

BROKER_API BrokerMessageContext* cniGetMessageContext(int* rc, BrokerMessage* message) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::GetMessageContext);
    requireRc(s, rc, "cniGetMessageContext");
    if (!knownMessage(s, message, "cniGetMessageContext")) {
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    return fault && fault->nullHandle ? nullptr : message->context;
}

BROKER_API BrokerMessage* cniCreateMessage(int* rc, BrokerMessageContext* context) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::CreateMessage);
    requireRc(s, rc, "cniCreateMessage");
    const bool known = std::any_of(s.contexts.begin(), s.contexts.end(),
                                   [&](const auto& c) { return c.get() == context; });
    if (!known) {
        s.misuse.push_back("cniCreateMessage: unknown message context");
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    if (fault && fault->nullHandle) {
        setRc(rc, fault->code);
        return nullptr;
    }
    BrokerMessage* message = newMessage(s, context, true);
    ++s.live;
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    return message;
}

BROKER_API BrokerElement* cniSearchFirstChild(int* rc, BrokerElement* element, std::int32_t mode,
                                              std::int32_t type, const char16_t* name) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::SearchFirstChild);
    requireRc(s, rc, "cniSearchFirstChild");
    if (!knownElement(s, element, "cniSearchFirstChild") || name == nullptr ||
        mode != SEARCH_CHILD_BY_NAME || type != SEARCH_ANY_ELEMENT_TYPE) {
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    if (fault && fault->nullHandle) {
        return nullptr;
    }
    for (const auto& child : element->children) {
        if (child->name == name) {
            return child.get();
        }
    }
    return nullptr;
}

BROKER_API BrokerElement* cniLastChild(int* rc, BrokerElement* element) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::LastChild);
    requireRc(s, rc, "cniLastChild");
    if (!knownElement(s, element, "cniLastChild")) {
        setRc(rc, RC_FAILURE);
        return nullptr;
    }
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    if ((fault && fault->nullHandle) || element->children.empty()) {
        return nullptr;
    }
    return element->children.back().get();
}

BROKER_API void cniCopyElementTree(int* rc, BrokerElement* source, BrokerElement* target) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::CopyElementTree);
    requireRc(s, rc, "cniCopyElementTree");
    if (!knownElement(s, source, "cniCopyElementTree") ||
        !knownElement(s, target, "cniCopyElementTree")) {
        setRc(rc, RC_FAILURE);
        return;
    }
    if (fault && fault->code != RC_SUCCESS) {
        // A failing copy may leave part of the tree behind, as a real broker's may: the
        // first child of the source is copied before the failure is reported.
        if (!source->children.empty() && source != target) {
            target->children.push_back(copyTree(s, *source->children.front()));
        }
        setRc(rc, fault->code);
        return;
    }
    // Copy first, then attach, so that copying a tree into itself cannot run forever.
    std::unique_ptr<BrokerElement> copy = copyTree(s, *source);
    target->characterValue = copy->characterValue;
    target->byteValue = copy->byteValue;
    for (auto& child : copy->children) {
        target->children.push_back(std::move(child));
    }
    s.elements.erase(copy.get());
    setRc(rc, RC_SUCCESS);
}

BROKER_API std::int32_t cniElementCharacterValue(int* rc, BrokerElement* element, char16_t* buffer,
                                                 std::int32_t length) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::ElementCharacterValue);
    requireRc(s, rc, "cniElementCharacterValue");
    if (!knownElement(s, element, "cniElementCharacterValue") || buffer == nullptr) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return fault->result.value_or(0);
    }
    // The length counts bytes; a value that does not fit with its terminator is not written.
    if (!element->characterValue || length < 0 ||
        (element->characterValue->size() + 1) * sizeof(char16_t) >
            static_cast<std::size_t>(length)) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    const std::u16string& value = *element->characterValue;
    std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(char16_t));
    setRc(rc, RC_SUCCESS);
    return fault && fault->result ? *fault->result : static_cast<std::int32_t>(value.size());
}

BROKER_API std::int32_t cniElementByteArrayValue(int* rc, BrokerElement* element,
                                                 const ByteArrayRef* value) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::ElementByteArrayValue);
    requireRc(s, rc, "cniElementByteArrayValue");
    if (!knownElement(s, element, "cniElementByteArrayValue") || value == nullptr) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    if (value->size < 0) {
        s.misuse.push_back("cniElementByteArrayValue: negative capacity");
        setRc(rc, RC_FAILURE);
        return 0;
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return fault->result.value_or(0);
    }
    // A value longer than the capacity places nothing and fails.
    if (!element->byteValue || value->size < 0 ||
        element->byteValue->size() > static_cast<std::size_t>(value->size) ||
        (value->pointer == nullptr && !element->byteValue->empty())) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    const std::vector<std::uint8_t>& bytes = *element->byteValue;
    if (!bytes.empty()) {
        std::memcpy(value->pointer, bytes.data(), bytes.size());
    }
    setRc(rc, RC_SUCCESS);
    return fault && fault->result ? *fault->result : static_cast<std::int32_t>(bytes.size());
}

BROKER_API void cniSetElementByteArrayValue(int* rc, BrokerElement* element,
                                            const ByteArrayRef* value) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::SetElementByteArrayValue);
    requireRc(s, rc, "cniSetElementByteArrayValue");
    if (!knownElement(s, element, "cniSetElementByteArrayValue") || value == nullptr ||
        value->size < 0 || (value->pointer == nullptr && value->size > 0)) {
        s.misuse.push_back("cniSetElementByteArrayValue: bad element or byte reference");
        setRc(rc, RC_FAILURE);
        return;
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return;
    }
    element->byteValue = std::vector<std::uint8_t>(value->pointer, value->pointer + value->size);
    setRc(rc, RC_SUCCESS);
}

BROKER_API std::int32_t cniIsTerminalAttached(int* rc, BrokerTerminal* terminal) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::IsTerminalAttached);
    requireRc(s, rc, "cniIsTerminalAttached");
    if (!knownTerminal(s, terminal, "cniIsTerminalAttached")) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    setRc(rc, fault ? fault->code : RC_SUCCESS);
    if (fault && fault->result) {
        return *fault->result;
    }
    return terminal->attached ? 1 : 0;
}

BROKER_API std::int32_t cniPropagate(int* rc, BrokerTerminal* terminal, BrokerMessage* first,
                                     BrokerMessage* second, BrokerMessage* toSend) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::Propagate);
    requireRc(s, rc, "cniPropagate");
    if (!knownTerminal(s, terminal, "cniPropagate") || !knownMessage(s, toSend, "cniPropagate")) {
        setRc(rc, RC_FAILURE);
        return 0;
    }
    if (!terminal->output || !terminal->attached) {
        s.misuse.push_back("cniPropagate: terminal is not an attached output terminal");
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return fault->result.value_or(0);
    }
    s.sent.push_back(Propagation{threadTag, terminal, terminal->name, first, second, toSend,
                                 view(*toSend->root)});
    setRc(rc, RC_SUCCESS);
    return fault && fault->result ? *fault->result : 1;
}

BROKER_API void cniDeleteMessage(int* rc, BrokerMessage* message) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::DeleteMessage);
    if (!knownMessage(s, message, "cniDeleteMessage")) {
        setRc(rc, RC_FAILURE);
        return;
    }
    if (!message->createdByPlugin) {
        s.misuse.push_back("cniDeleteMessage: the message belongs to the broker");
        setRc(rc, RC_FAILURE);
        return;
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return;
    }
    message->deleted = true;
    unregisterTree(s, message->root.get());
    message->root.reset();
    --s.live;
    setRc(rc, RC_SUCCESS);
}

BROKER_API void cciLog(int* rc, std::int32_t type, const char* module, std::int32_t line,
                       const char* function, const char16_t* source, std::uint32_t messageNumber,
                       const char* text, ...) {
    LogRecord record{threadTag,
                     rc != nullptr,
                     type,
                     module != nullptr ? module : "",
                     line,
                     function != nullptr ? function : "",
                     source != nullptr ? source : u"",
                     messageNumber,
                     text != nullptr ? text : "",
                     {},
                     false};
    std::va_list inserts;
    va_start(inserts, text);
    for (int i = 0; i < MAX_LOG_INSERTS; ++i) {
        const char* insert = va_arg(inserts, const char*);
        if (insert == nullptr) {
            record.closedByNull = true;
            break;
        }
        record.inserts.emplace_back(insert);
    }
    va_end(inserts);

    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::Log);
    requireRc(s, rc, "cciLog");
    if (!record.closedByNull) {
        s.misuse.push_back("cciLog: no closing null pointer");
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return;
    }
    s.logs.push_back(std::move(record));
    setRc(rc, RC_SUCCESS);
}

BROKER_API void cciGetLastExceptionData(int* rc, ExceptionData* record) {
    State& s = state();
    Guard guard(s.lock);
    const std::optional<Fault> fault = enter(s, Call::GetLastExceptionData);
    s.fetches.push_back(ExceptionFetch{rc != nullptr});
    if (record == nullptr) {
        s.misuse.push_back("cciGetLastExceptionData: no record");
        setRc(rc, RC_FAILURE);
        return;
    }
    if (fault && fault->code != RC_SUCCESS) {
        setRc(rc, fault->code);
        return;
    }
    std::memset(record->bytes, EXCEPTION_DATA_FILL, sizeof record->bytes);
    setRc(rc, RC_SUCCESS);
}

BROKER_API void cciRethrowLastException(int* rc) {
    bool doThrow = false;
    {
        State& s = state();
        Guard guard(s.lock);
        enter(s, Call::RethrowLastException);
        doThrow = s.rethrowMode == RethrowMode::Throw;
        s.rethrown.push_back(Rethrow{rc != nullptr, doThrow});
        setRc(rc, RC_SUCCESS);
    }
    if (doThrow) {
        throw BrokerException();
    }
}

}  // extern "C"
