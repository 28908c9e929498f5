// NodeContext.h - one node instance: its typed attributes, its terminals, and the operations
// through which the broker creates a node and lists, sets and reads its attributes.
//
// A context and everything it holds is allocated once by createContext and never released:
// the broker's function table has no operation that would release it. After creation only
// setAttribute writes a context, and the broker must not run it alongside other operations
// on the same node; every other operation only reads.
#ifndef OSTREVEL_SRC_NODECONTEXT_H
#define OSTREVEL_SRC_NODECONTEXT_H

#include <cstddef>
#include <cstdint>

#include "BrokerInterface.h"

namespace ostrevel {

// Attribute type codes.
inline constexpr std::int32_t ATTR_INTEGER = 2;
inline constexpr std::int32_t ATTR_STRING = 5;

// Field and store sizes.
inline constexpr std::size_t ATTRIBUTE_NAME_CHARS = 128;
inline constexpr std::size_t TERMINAL_NAME_CHARS = 256;
inline constexpr std::size_t INTEGER_STORE_BYTES = 4;
inline constexpr std::size_t STRING_STORE_BYTES = 256;
inline constexpr std::size_t STRING_STORE_CHARS = STRING_STORE_BYTES / sizeof(char16_t);
// formatDecimal's longest text: a sign, ten digits and the terminator.
inline constexpr std::size_t DECIMAL_TEXT_CHARS = 12;

// Results of the node operations.
inline constexpr std::int32_t NODE_OK = 0;
inline constexpr std::int32_t NODE_NOT_FOUND = 1;

// Names of the node class, its attributes and its terminals.
inline constexpr char16_t NODE_CLASS_NAME[] = u"OstrevelNode";
inline constexpr char16_t ATTRIBUTE_MSGTYPES[] = u"MSGTYPES";
inline constexpr char16_t ATTRIBUTE_DIRECTION[] = u"DIRECTION";
inline constexpr char16_t ATTRIBUTE_MAXMSGDATASIZE[] = u"MAXMSGDATASIZE";
inline constexpr char16_t ATTRIBUTE_DEBUG[] = u"DEBUG";
inline constexpr char16_t TERMINAL_IN[] = u"in";
inline constexpr char16_t TERMINAL_OUT[] = u"out";
inline constexpr char16_t TERMINAL_FAILURE[] = u"failure";

struct NodeAttribute {
    NodeAttribute* next;  // null for the last
    void* store;          // INTEGER_STORE_BYTES or STRING_STORE_BYTES, per type
    std::int32_t type;    // ATTR_INTEGER or ATTR_STRING
    char16_t name[ATTRIBUTE_NAME_CHARS];
};

struct NodeTerminal {
    NodeTerminal* next;        // null for the last
    BrokerTerminal* terminal;  // the broker's handle; null when it returned none
    char16_t name[TERMINAL_NAME_CHARS];
};

struct NodeContext {
    BrokerNode* nodeObject;
    NodeAttribute* attributeHead;
    NodeAttribute* attributeTail;
    NodeTerminal* inputHead;
    NodeTerminal* inputTail;
    NodeTerminal* outputHead;
    NodeTerminal* outputTail;
};

// Table operations (slots 1, 3, 4 and 5). `context` is what createContext returned.

// Returns a new context, or null when it cannot be allocated. For the class name
// "OstrevelNode" the context gets the four attributes and has the broker create the
// terminals "in", "out" and "failure"; for any other name it stays empty. A record whose
// allocation fails is left out. The context is never released. An exception thrown by the
// broker while the terminals are created passes to the caller; the context and everything
// allocated for it are released first.
void* createContext(BrokerFactory* ignored, const char16_t* className, BrokerNode* nodeObject);

// Writes the name of the attribute at `position` (0-based) with its terminator into
// `buffer`, which must hold 15 characters. Returns NODE_OK, or NODE_NOT_FOUND without
// touching the buffer.
std::int32_t attributeNameAt(void* context, std::int32_t position, char16_t* buffer);

// Stores `value`: integers through parseDecimal, strings cut to 127 characters.
// Returns NODE_OK, or NODE_NOT_FOUND when there is no attribute of that name.
std::int32_t setAttribute(void* context, const char16_t* name, const char16_t* value);

// Writes the value as wide text into `buffer`, never more than `lengthInBytes` bytes
// (nothing for a negative length). A string delivers min(length, 256) bytes of its store;
// an integer delivers min(length, size of its decimal text and terminator) bytes.
// Returns NODE_OK, or NODE_NOT_FOUND without touching the buffer.
std::int32_t getAttribute(void* context, const char16_t* name, char16_t* buffer,
                          std::int32_t lengthInBytes);

// Internal operations.

// Appends an attribute with a zero-filled store. Returns it, or null (nothing linked) when
// the record or its store cannot be allocated.
NodeAttribute* addAttribute(NodeContext* context, const char16_t* name, std::int32_t type);
// Appends a terminal record and has the broker create the terminal. Returns the record, or
// null when it cannot be allocated (the broker is then not asked).
NodeTerminal* addInputTerminal(NodeContext* context, const char16_t* name);
NodeTerminal* addOutputTerminal(NodeContext* context, const char16_t* name);

// The broker's handle of the output terminal of that name; null when there is none or the
// broker issued none.
BrokerTerminal* findOutputTerminal(const NodeContext* context, const char16_t* name);

// Wide decimal text to a 32-bit integer; never fails. Leading ASCII blanks, one optional
// sign, then digits, accumulated modulo 2^32; anything else ends the number. The whole text
// is read whatever its length, so a long run of leading blanks or zeros still parses.
// Characters outside ASCII are never blanks, signs or digits.
// On Windows the text is narrowed through the ANSI code page.
std::int32_t parseDecimal(const char16_t* text);

#if defined(_WIN32)
// The WideCharToMultiByte flags that narrowing uses under `codePage`: best-fit mapping off
// (WC_NO_BEST_FIT_CHARS) wherever the code page allows flags, 0 where it allows none (UTF-8
// and GB18030 among them), so that the conversion never fails for its flags.
unsigned long narrowingFlags(unsigned codePage) noexcept;
#endif

// Writes `value` as wide decimal text with its terminator into `buffer`, which holds
// DECIMAL_TEXT_CHARS characters. Returns the number of characters before the terminator.
std::size_t formatDecimal(std::int32_t value, char16_t* buffer);

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_NODECONTEXT_H
