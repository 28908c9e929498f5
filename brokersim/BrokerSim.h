// BrokerSim.h - a simulated message broker that provides the nineteen plug-in functions in
// memory, for the tests, the demo and the host tool.
//
// It keeps factories and node classes, node objects with their terminals, messages in
// message contexts with element trees, and records what the plug-in does: every call in
// order, every propagation (with a deep copy of the message sent), every log entry with all
// of its arguments, and the messages created and not yet deleted. Any call can be made to
// fail on purpose. All state is process-wide and guarded by one lock, so the functions may
// be called from several threads at once; reset() starts afresh between tests.
#ifndef OSTREVEL_BROKERSIM_BROKERSIM_H
#define OSTREVEL_BROKERSIM_BROKERSIM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrokerInterface.h"

#if defined(_WIN32)
#if defined(BROKER_BUILDING_DLL)
#define BROKERSIM_API __declspec(dllexport)
#else
#define BROKERSIM_API __declspec(dllimport)
#endif
#else
#define BROKERSIM_API __attribute__((visibility("default")))
#endif

namespace brokersim {

// The broker functions, for call counts, traces and fault injection.
enum class Call : int {
    CreateNodeFactory,
    DefineNodeClass,
    CreateInputTerminal,
    CreateOutputTerminal,
    RootElement,
    GetMessageContext,
    CreateMessage,
    SearchFirstChild,
    LastChild,
    CopyElementTree,
    ElementCharacterValue,
    ElementByteArrayValue,
    SetElementByteArrayValue,
    IsTerminalAttached,
    Propagate,
    DeleteMessage,
    Log,
    GetLastExceptionData,
    RethrowLastException,
};
inline constexpr std::size_t CALL_KINDS = 19;

BROKERSIM_API const char* callName(Call call);

// The code a failing call reports when a test does not choose one.
inline constexpr int RC_FAILURE = 1;

// What an injected fault makes a call do.
//   - Calls that return a handle: with `nullHandle` the call does nothing and returns null;
//     otherwise it does its work and returns its handle, and only the code is changed.
//   - cniIsTerminalAttached reports the terminal's real state with the chosen code.
//   - Every other call does nothing when `code` is non-zero.
//   - `result`, when set, replaces the value returned (cniElementByteArrayValue and the like).
struct Fault {
    int code = RC_FAILURE;
    bool nullHandle = false;
    std::optional<std::int32_t> result;
};

// The exception that cciRethrowLastException raises in RethrowMode::Throw, and that any call
// raises when a test plans it with throwFromCall.
class BrokerException : public std::runtime_error {
public:
    BrokerException() : std::runtime_error("simulated broker exception") {}
};

enum class RethrowMode { Return, Throw };

struct LogRecord {
    std::uint64_t tag;  // the writing thread's tag (setThreadTag)
    bool rcGiven;
    std::int32_t type;
    std::string module;
    std::int32_t line;
    std::string function;
    std::u16string source;
    std::uint32_t messageNumber;
    std::string text;
    std::vector<std::string> inserts;  // const char* arguments before the closing null
    bool closedByNull;                 // false when no null came within the insert limit
};

// A message's Formats and body, as read back from its tree.
struct MessageView {
    bool hasMqmd = false;
    std::optional<std::u16string> mqmdFormat;
    bool hasIih = false;
    std::optional<std::u16string> iihFormat;
    std::optional<std::vector<std::uint8_t>> body;  // the bytes of the body element
    std::vector<std::u16string> childNames;         // names of the root's children, in order
};

struct Propagation {
    std::uint64_t tag;  // the propagating thread's tag (setThreadTag)
    BrokerTerminal* terminal;
    std::u16string terminalName;
    BrokerMessage* first;
    BrokerMessage* second;
    BrokerMessage* sent;
    MessageView copy;  // the message as it was when it was sent
};

struct ExceptionFetch {
    bool rcGiven;
};

struct Rethrow {
    bool rcGiven;
    bool threw;
};

// How a test builds an input message. The root's children are, in this order:
// "Properties"; "MQMD" with a "Format" child; "MQIIH" with a "Format" child; the extra
// headers; and last a body parser element ("BLOB") whose last child ("BLOB") holds the bytes.
struct MessageLayout {
    bool withMqmd = true;
    std::optional<std::u16string> mqmdFormat = u"MQSTR   ";  // nullopt: MQMD without Format
    bool withIih = false;
    std::optional<std::u16string> iihFormat = u"MQIMSVS ";  // nullopt: MQIIH without Format
    std::vector<std::u16string> extraHeaders;
    bool withBody = true;
    std::vector<std::uint8_t> body;
};

// Starts afresh: forgets every object, record, fault and counter; rethrows return again.
// Node contexts stay held, as the plug-in never releases them.
BROKERSIM_API void reset();
// Forgets messages, records, faults and counters but keeps factories, nodes and terminals,
// so that existing nodes can go on receiving messages.
BROKERSIM_API void clearRecords();

// Tags what the calling thread logs and propagates from now on, so that a host running
// several messages at once on several threads can tell whose entry is whose. 0 by default.
BROKERSIM_API void setThreadTag(std::uint64_t tag);

// Fault injection. `k` counts the calls of that function since the last reset, from 1.
BROKERSIM_API void failCall(Call call, std::uint64_t k, Fault fault = {}, bool andAfter = false);
// Makes the k-th call of that function throw BrokerException before it does anything, as a
// broker written in C++ may.
BROKERSIM_API void throwFromCall(Call call, std::uint64_t k, bool andAfter = false);
// How many planned throws have been raised since the last reset.
BROKERSIM_API std::uint64_t injectedThrows();
BROKERSIM_API void clearFaults();
BROKERSIM_API void setRethrowMode(RethrowMode mode);

// Observation.
BROKERSIM_API std::uint64_t callCount(Call call);
BROKERSIM_API std::vector<Call> trace();
BROKERSIM_API std::vector<LogRecord> logRecords();
BROKERSIM_API std::vector<Propagation> propagations();
BROKERSIM_API std::vector<ExceptionFetch> exceptionFetches();
// The propagations and log entries recorded so far, moved out: the simulator forgets them,
// so that a long-running host holds each message's copy only as long as it needs it.
BROKERSIM_API std::vector<Propagation> takePropagations();
BROKERSIM_API std::vector<LogRecord> takeLogRecords();
BROKERSIM_API std::vector<Rethrow> rethrows();
// Messages created by cniCreateMessage and not yet deleted.
BROKERSIM_API std::int64_t liveMessages();
// Misuses of the interface seen so far (unknown or deleted handles, a null rc where one is
// required, a log entry not closed by a null pointer, ...), one text each.
BROKERSIM_API std::vector<std::string> violations();

// Registration, as the broker does it on loading a plug-in.
BROKERSIM_API std::vector<std::u16string> factoryNames();
// The table defined for `className` on `factory`, or null.
BROKERSIM_API NodeFunctionTable* definedTable(BrokerFactory* factory,
                                              const std::u16string& className);

// Node objects: the broker's side of a node. createNode makes a node object and calls the
// table's createContext for it, as a broker does for every node of a flow.
struct Node {
    BrokerNode* object;
    void* context;
};
BROKERSIM_API BrokerNode* newNodeObject();
// Records the context that createContext returned for a node object; the simulator holds it
// until the process ends. createNode does this itself.
BROKERSIM_API void adoptContext(BrokerNode* node, void* context);
BROKERSIM_API Node createNode(const NodeFunctionTable& table,
                              const std::u16string& className = u"OstrevelNode");
// The terminals the plug-in created on a node object, in creation order.
BROKERSIM_API std::vector<BrokerTerminal*> terminalsOf(BrokerNode* node);
// The terminal of that name on the node (input or output), or null.
BROKERSIM_API BrokerTerminal* terminalNamed(BrokerNode* node, const std::u16string& name);
BROKERSIM_API std::u16string terminalName(BrokerTerminal* terminal);
BROKERSIM_API bool isOutputTerminal(BrokerTerminal* terminal);
// Output terminals start attached; a test detaches them to model an unwired terminal.
BROKERSIM_API void setAttached(BrokerTerminal* terminal, bool attached);
BROKERSIM_API bool isAttached(BrokerTerminal* terminal);

// Messages owned by the test. They do not count as live plug-in messages.
BROKERSIM_API BrokerMessage* makeMessage(const MessageLayout& layout);
BROKERSIM_API BrokerMessage* makeEmptyMessage();  // a root without children
BROKERSIM_API MessageView viewMessage(BrokerMessage* message);
// A handle that no message has, for pass-through arguments.
BROKERSIM_API BrokerMessage* opaqueHandle(std::uintptr_t tag);

// Low-level tree building for unusual shapes.
BROKERSIM_API BrokerElement* rootOf(BrokerMessage* message);
BROKERSIM_API BrokerElement* addChild(BrokerElement* parent, const std::u16string& name);
BROKERSIM_API void setCharacterValue(BrokerElement* element, const std::u16string& value);
BROKERSIM_API void setByteValue(BrokerElement* element, const std::vector<std::uint8_t>& bytes);

// Helpers for tests: UTF-16 text from ASCII, and bytes from a string.
BROKERSIM_API std::u16string wide(const std::string& ascii);
BROKERSIM_API std::string narrow(const std::u16string& text);  // '?' for non-ASCII

}  // namespace brokersim

#endif  // OSTREVEL_BROKERSIM_BROKERSIM_H
