// NodeContext.cpp - node instance records, attribute operations and decimal conversions.
#include "NodeContext.h"

#include <cstring>
#include <new>

#include "Allocation.h"
#include "WideText.h"

#if defined(_WIN32)
#include <windows.h>

#include <algorithm>
#include <iterator>
#endif

namespace ostrevel {
namespace {

// Allocates a zero-filled record of type T through the heap seam; null on failure.
template <typename T>
T* allocateRecord() noexcept {
    void* block = allocateBlock(sizeof(T));
    if (block == nullptr) {
        return nullptr;
    }
    // Placement new starts the record's life in the block; the context family owns it.
    return new (block) T{};  // NOLINT(cppcoreguidelines-owning-memory)
}

NodeAttribute* findAttribute(const NodeContext* context, const char16_t* name) noexcept {
    if (context == nullptr || name == nullptr) {
        return nullptr;
    }
    for (NodeAttribute* attribute = context->attributeHead; attribute != nullptr;
         attribute = attribute->next) {
        if (wideEquals(attribute->name, name)) {
            return attribute;
        }
    }
    return nullptr;
}

using CreateTerminalCall = BrokerTerminal* (*)(int*, BrokerNode*, const char16_t*);

// Builds a terminal record, appends it and asks the broker for the terminal. The record is
// linked before the broker is called, so that it goes with the context if the call throws.
NodeTerminal* addTerminal(NodeContext* context, const char16_t* name, CreateTerminalCall create,
                          NodeTerminal*& head, NodeTerminal*& tail) {
    auto* record = allocateRecord<NodeTerminal>();
    if (record == nullptr) {
        return nullptr;
    }
    wideCopy(record->name, TERMINAL_NAME_CHARS, name);
    if (tail == nullptr) {
        head = record;
    } else {
        tail->next = record;
    }
    tail = record;
    int rc = RC_SUCCESS;  // not examined: a null handle is dealt with when routing
    record->terminal = create(&rc, context->nodeObject, name);
    return record;
}

// Returns a list of terminal records to the heap.
void releaseTerminals(NodeTerminal* terminal) noexcept {
    while (terminal != nullptr) {
        NodeTerminal* next = terminal->next;
        releaseBlock(terminal);
        terminal = next;
    }
}

// Returns a context and every record and store linked to it to the heap.
void releaseContext(NodeContext* context) noexcept {
    for (NodeAttribute* attribute = context->attributeHead; attribute != nullptr;) {
        NodeAttribute* next = attribute->next;
        releaseBlock(attribute->store);
        releaseBlock(attribute);
        attribute = next;
    }
    releaseTerminals(context->inputHead);
    releaseTerminals(context->outputHead);
    releaseBlock(context);
}

// Holds a context while it is built and releases it, with all it holds, unless the building
// completes: an exception from the broker must not leave the records behind.
class ContextUnderConstruction {
public:
    explicit ContextUnderConstruction(NodeContext* context) noexcept : context_(context) {}
    ContextUnderConstruction(const ContextUnderConstruction&) = delete;
    ContextUnderConstruction(ContextUnderConstruction&&) = delete;
    ContextUnderConstruction& operator=(const ContextUnderConstruction&) = delete;
    ContextUnderConstruction& operator=(ContextUnderConstruction&&) = delete;
    ~ContextUnderConstruction() {
        if (context_ != nullptr) {
            releaseContext(context_);
        }
    }
    // The building is complete: the caller owns the context from now on.
    NodeContext* complete() noexcept {
        NodeContext* context = context_;
        context_ = nullptr;
        return context;
    }

private:
    NodeContext* context_;
};

// A byte outside ASCII: what the parser is fed for a character that is no blank, sign or digit.
constexpr unsigned char NOT_ASCII = 0x80;

// The decimal rule over narrowed bytes, fed one at a time: leading ASCII blanks, one optional
// sign, then digits accumulated modulo 2^32; the first other byte ends the number. Reads the
// whole text whatever its length. Never fails: no digits give 0.
class DecimalParser {
public:
    // False once the number has ended: later bytes change nothing.
    [[nodiscard]] bool wantsMore() const noexcept { return state_ != State::Done; }

    void feed(unsigned char c) noexcept {
        if (state_ == State::Leading) {
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                return;
            }
            state_ = State::Digits;
            if (c == '-' || c == '+') {
                negative_ = c == '-';
                return;
            }
        }
        if (state_ == State::Digits && c >= '0' && c <= '9') {
            value_ = value_ * 10U + static_cast<std::uint32_t>(c - '0');  // wraps by design
            return;
        }
        state_ = State::Done;
    }

    [[nodiscard]] std::int32_t result() const noexcept {
        const std::uint32_t bits = negative_ ? 0U - value_ : value_;
        std::int32_t signedValue = 0;
        std::memcpy(&signedValue, &bits, sizeof signedValue);  // the 32 bits read as signed
        return signedValue;
    }

private:
    enum class State { Leading, Digits, Done };
    State state_ = State::Leading;
    bool negative_ = false;
    std::uint32_t value_ = 0;  // unsigned: wraps modulo 2^32
};

}  // namespace

void* createContext(BrokerFactory* /*ignored*/, const char16_t* className, BrokerNode* nodeObject) {
    auto* context = allocateRecord<NodeContext>();
    if (context == nullptr) {
        return nullptr;
    }
    context->nodeObject = nodeObject;
    if (className == nullptr || !wideEquals(className, NODE_CLASS_NAME)) {
        return context;
    }
    ContextUnderConstruction building(context);
    // A record that cannot be allocated is simply absent; the node works without it.
    addAttribute(context, ATTRIBUTE_MSGTYPES, ATTR_STRING);
    addAttribute(context, ATTRIBUTE_DIRECTION, ATTR_STRING);
    addAttribute(context, ATTRIBUTE_MAXMSGDATASIZE, ATTR_INTEGER);
    addAttribute(context, ATTRIBUTE_DEBUG, ATTR_STRING);
    addInputTerminal(context, TERMINAL_IN);
    addOutputTerminal(context, TERMINAL_OUT);
    addOutputTerminal(context, TERMINAL_FAILURE);
    return building.complete();
}

NodeAttribute* addAttribute(NodeContext* context, const char16_t* name, std::int32_t type) {
    auto* attribute = allocateRecord<NodeAttribute>();
    if (attribute == nullptr) {
        return nullptr;
    }
    attribute->type = type;
    const std::size_t storeBytes = type == ATTR_INTEGER ? INTEGER_STORE_BYTES : STRING_STORE_BYTES;
    attribute->store = allocateBlock(storeBytes);
    if (attribute->store == nullptr) {
        // An attribute without a store could hold no value: leave it out of the list.
        releaseBlock(attribute);
        return nullptr;
    }
    std::memset(attribute->store, 0, storeBytes);
    wideCopy(attribute->name, ATTRIBUTE_NAME_CHARS, name);
    if (context->attributeTail == nullptr) {
        context->attributeHead = attribute;
    } else {
        context->attributeTail->next = attribute;
    }
    context->attributeTail = attribute;
    return attribute;
}

NodeTerminal* addInputTerminal(NodeContext* context, const char16_t* name) {
    return addTerminal(context, name, cniCreateInputTerminal, context->inputHead,
                       context->inputTail);
}

NodeTerminal* addOutputTerminal(NodeContext* context, const char16_t* name) {
    return addTerminal(context, name, cniCreateOutputTerminal, context->outputHead,
                       context->outputTail);
}

std::int32_t attributeNameAt(void* context, std::int32_t position, char16_t* buffer) {
    if (context == nullptr || buffer == nullptr || position < 0) {
        return NODE_NOT_FOUND;
    }
    std::int32_t count = 0;
    for (const NodeAttribute* attribute = static_cast<NodeContext*>(context)->attributeHead;
         attribute != nullptr; attribute = attribute->next, ++count) {
        if (count == position) {
            wideCopy(buffer, ATTRIBUTE_NAME_CHARS, attribute->name);
            return NODE_OK;
        }
    }
    return NODE_NOT_FOUND;
}

std::int32_t setAttribute(void* context, const char16_t* name, const char16_t* value) {
    NodeAttribute* attribute = findAttribute(static_cast<NodeContext*>(context), name);
    if (attribute == nullptr) {
        return NODE_NOT_FOUND;
    }
    const char16_t* text = value == nullptr ? u"" : value;  // no value reads as the empty text
    if (attribute->type == ATTR_INTEGER) {
        const std::int32_t number = parseDecimal(text);
        std::memcpy(attribute->store, &number, sizeof number);
        return NODE_OK;
    }
    // Cut to 127 characters so the stored text is always terminated within the store, and
    // clear what follows so no earlier, longer value lingers behind the terminator.
    auto* store = static_cast<char16_t*>(attribute->store);
    const std::size_t length = wideLength(text, STRING_STORE_CHARS - 1);
    std::memcpy(store, text, length * sizeof(char16_t));
    std::memset(store + length, 0, (STRING_STORE_CHARS - length) * sizeof(char16_t));
    return NODE_OK;
}

std::int32_t getAttribute(void* context, const char16_t* name, char16_t* buffer,
                          std::int32_t lengthInBytes) {
    const NodeAttribute* attribute = findAttribute(static_cast<NodeContext*>(context), name);
    if (attribute == nullptr) {
        return NODE_NOT_FOUND;
    }
    if (lengthInBytes <= 0 || buffer == nullptr) {
        return NODE_OK;  // no room: nothing is written
    }
    const auto length = static_cast<std::size_t>(lengthInBytes);
    if (attribute->type == ATTR_INTEGER) {
        std::int32_t number = 0;
        std::memcpy(&number, attribute->store, sizeof number);
        char16_t text[DECIMAL_TEXT_CHARS];
        const std::size_t textBytes = (formatDecimal(number, text) + 1) * sizeof(char16_t);
        // Byte for byte, like string values: a short buffer gets the leading part only.
        std::memcpy(buffer, text, length < textBytes ? length : textBytes);
        return NODE_OK;
    }
    std::memcpy(buffer, attribute->store,
                length < STRING_STORE_BYTES ? length : STRING_STORE_BYTES);
    return NODE_OK;
}

BrokerTerminal* findOutputTerminal(const NodeContext* context, const char16_t* name) {
    if (context == nullptr || name == nullptr) {
        return nullptr;
    }
    for (const NodeTerminal* record = context->outputHead; record != nullptr;
         record = record->next) {
        if (wideEquals(record->name, name)) {
            return record->terminal;
        }
    }
    return nullptr;
}

#if defined(_WIN32)
unsigned long narrowingFlags(unsigned codePage) noexcept {
    // Code pages for which WideCharToMultiByte refuses any other flags (it fails with
    // ERROR_INVALID_FLAGS): UTF-8, GB18030, UTF-7, the ISO-2022 and ISCII families, symbol.
    constexpr unsigned FLAGLESS[] = {42,    50220, 50221, 50222, 50225, 50227, 50229,
                                     54936, 57002, 57003, 57004, 57005, 57006, 57007,
                                     57008, 57009, 57010, 57011, 65000, 65001};
    const bool flagless =
        std::find(std::begin(FLAGLESS), std::end(FLAGLESS), codePage) != std::end(FLAGLESS);
    return flagless ? 0 : WC_NO_BEST_FIT_CHARS;
}
#endif

std::int32_t parseDecimal(const char16_t* text) {
    DecimalParser parser;
    if (text == nullptr) {
        return parser.result();
    }
#if defined(_WIN32)
    // The text is narrowed through the ANSI code page, a chunk at a time, with the flags that
    // code page accepts (best-fit off where allowed, so that no character outside ASCII
    // becomes an ASCII blank, sign or digit).
    constexpr int CHUNK_CHARS = 64;
    constexpr int CHUNK_BYTES = 4 * CHUNK_CHARS;  // room for any code page's bytes per character
    const unsigned codePage = GetACP();
    const unsigned long flags = narrowingFlags(codePage);
    for (const char16_t* chunk = text; *chunk != u'\0' && parser.wantsMore();) {
        int count = 0;
        while (count < CHUNK_CHARS && chunk[count] != u'\0') {
            ++count;
        }
        char narrowed[CHUNK_BYTES];
        const int bytes = WideCharToMultiByte(codePage, flags, reinterpret_cast<LPCWCH>(chunk),
                                              count, narrowed, CHUNK_BYTES, nullptr, nullptr);
        if (bytes <= 0) {
            parser.feed(NOT_ASCII);  // text that cannot be narrowed ends the number
            break;
        }
        for (int i = 0; i < bytes && parser.wantsMore(); ++i) {
            parser.feed(static_cast<unsigned char>(narrowed[i]));
        }
        chunk += count;
    }
#else
    // Characters outside ASCII are never blanks, signs or digits; NOT_ASCII stands for them.
    for (const char16_t* c = text; *c != u'\0' && parser.wantsMore(); ++c) {
        parser.feed(*c < NOT_ASCII ? static_cast<unsigned char>(*c) : NOT_ASCII);
    }
#endif
    return parser.result();
}

std::size_t formatDecimal(std::int32_t value, char16_t* buffer) {
    // Work on the magnitude as unsigned so that the most negative value needs no special case.
    auto magnitude = static_cast<std::uint32_t>(value);
    if (value < 0) {
        magnitude = 0U - magnitude;
    }
    char16_t digits[DECIMAL_TEXT_CHARS];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10U);
        magnitude /= 10U;
    } while (magnitude != 0U);
    std::size_t length = 0;
    if (value < 0) {
        buffer[length++] = u'-';
    }
    while (count > 0) {
        buffer[length++] = digits[--count];
    }
    buffer[length] = u'\0';
    return length;
}

}  // namespace ostrevel
