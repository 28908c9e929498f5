// BrokerInterface.h - the message broker's plug-in interface, as the plug-in sees it.
//
// Declares the nineteen functions the broker provides to a node plug-in, the handle
// types they exchange, the function table through which the broker drives a node class,
// and the fixed codes both sides agree on. The plug-in is built against these
// declarations only; the functions are resolved at load time from the process (or, on
// Windows, from the broker's DLL) that loads the plug-in.
//
// Conventions: wide text is null-terminated char16_t; every function takes `int* rc` first
// and stores 0 (success), RC_EXCEPTION (an exception is pending in the broker) or another
// non-zero failure code there. A null handle means "none".
#ifndef OSTREVEL_BROKER_BROKERINTERFACE_H
#define OSTREVEL_BROKER_BROKERINTERFACE_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(BROKER_BUILDING_DLL)
#define BROKER_API __declspec(dllexport)
#else
#define BROKER_API __declspec(dllimport)
#endif
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#define BROKER_API __attribute__((visibility("default")))
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

// Size of the broker's exception-data record.
inline constexpr std::size_t EXCEPTION_DATA_BYTES = 576;

// Return codes.
inline constexpr int RC_SUCCESS = 0;
inline constexpr int RC_EXCEPTION = 64;

// Log types.
inline constexpr std::int32_t LOG_ERROR = 0;
inline constexpr std::int32_t LOG_INFORMATION = 2;

// Message number of the node's log entries.
inline constexpr std::uint32_t MSG_LOG_NUMBER = 0x40000A3F;

// cniSearchFirstChild: search the direct children by exact name, of any element type.
inline constexpr std::int32_t SEARCH_CHILD_BY_NAME = 4;
inline constexpr std::int32_t SEARCH_ANY_ELEMENT_TYPE = 0;

extern "C" {

// Opaque handles issued by the broker. Each is a distinct incomplete type so that
// handles of different kinds cannot be mixed up.
struct BrokerFactory;
struct BrokerNode;
struct BrokerTerminal;
struct BrokerMessage;
struct BrokerMessageContext;
struct BrokerElement;

// A run of bytes read from or written to an element's byte-array value.
struct ByteArrayRef {
    std::uint8_t* pointer;
    std::int32_t size;
};

// The broker's description of a pending exception; the caller owns it and never reads it.
struct ExceptionData {
    std::uint8_t bytes[EXCEPTION_DATA_BYTES];
};

// The node operations a plug-in hands to the broker, one table per node class.
using CreateContextFunction = void* (*)(BrokerFactory* ignored, const char16_t* className,
                                        BrokerNode* nodeObject);
using ReservedNodeFunction = void (*)(void* context);
using AttributeNameAtFunction = std::int32_t (*)(void* context, std::int32_t position,
                                                 char16_t* buffer);
using SetAttributeFunction = std::int32_t (*)(void* context, const char16_t* name,
                                              const char16_t* value);
using GetAttributeFunction = std::int32_t (*)(void* context, const char16_t* name, char16_t* buffer,
                                              std::int32_t lengthInBytes);
using EvaluateFunction = void (*)(void* context, BrokerMessage* first, BrokerMessage* second,
                                  BrokerMessage* input);

struct NodeFunctionTable {
    CreateContextFunction createContext;      // slot 1
    ReservedNodeFunction reserved;            // slot 2: unused, always null
    AttributeNameAtFunction attributeNameAt;  // slot 3
    SetAttributeFunction setAttribute;        // slot 4
    GetAttributeFunction getAttribute;        // slot 5
    EvaluateFunction evaluate;                // slot 6
};

// Registration.
BROKER_API BrokerFactory* cniCreateNodeFactory(int* rc, const char16_t* name);
BROKER_API void cniDefineNodeClass(int* rc, BrokerFactory* factory, const char16_t* className,
                                   NodeFunctionTable* table);

// Terminals of a node object.
BROKER_API BrokerTerminal* cniCreateInputTerminal(int* rc, BrokerNode* node, const char16_t* name);
BROKER_API BrokerTerminal* cniCreateOutputTerminal(int* rc, BrokerNode* node, const char16_t* name);

// Messages and their trees.
BROKER_API BrokerElement* cniRootElement(int* rc, BrokerMessage* message);
BROKER_API BrokerMessageContext* cniGetMessageContext(int* rc, BrokerMessage* message);
BROKER_API BrokerMessage* cniCreateMessage(int* rc, BrokerMessageContext* context);
BROKER_API BrokerElement* cniSearchFirstChild(int* rc, BrokerElement* element, std::int32_t mode,
                                              std::int32_t type, const char16_t* name);
BROKER_API BrokerElement* cniLastChild(int* rc, BrokerElement* element);
BROKER_API void cniCopyElementTree(int* rc, BrokerElement* source, BrokerElement* target);

// Element values. The character read's length is the buffer's size as the broker counts it.
BROKER_API std::int32_t cniElementCharacterValue(int* rc, BrokerElement* element, char16_t* buffer,
                                                 std::int32_t length);
// Places at most value->size bytes at value->pointer; returns the number placed.
BROKER_API std::int32_t cniElementByteArrayValue(int* rc, BrokerElement* element,
                                                 const ByteArrayRef* value);
BROKER_API void cniSetElementByteArrayValue(int* rc, BrokerElement* element,
                                            const ByteArrayRef* value);

// Routing.
BROKER_API std::int32_t cniIsTerminalAttached(int* rc, BrokerTerminal* terminal);
BROKER_API std::int32_t cniPropagate(int* rc, BrokerTerminal* terminal, BrokerMessage* first,
                                     BrokerMessage* second, BrokerMessage* toSend);
// Called with a null rc.
BROKER_API void cniDeleteMessage(int* rc, BrokerMessage* message);

// Logging: the variable part is a list of const char* inserts closed by a null pointer.
BROKER_API void cciLog(int* rc, std::int32_t type, const char* module, std::int32_t line,
                       const char* function, const char16_t* source, std::uint32_t messageNumber,
                       const char* text, ...);

// Exceptions pending in the broker. rc may be null for the rethrow.
BROKER_API void cciGetLastExceptionData(int* rc, ExceptionData* record);
BROKER_API void cciRethrowLastException(int* rc);

// The plug-in's one export.
PLUGIN_EXPORT BrokerFactory* bipGetMessageflowNodeFactory(void);

}  // extern "C"

static_assert(sizeof(ExceptionData) == EXCEPTION_DATA_BYTES, "exception record is 576 bytes");
static_assert(sizeof(std::int32_t) == 4 && sizeof(char16_t) == 2, "interface widths");

#endif  // OSTREVEL_BROKER_BROKERINTERFACE_H
