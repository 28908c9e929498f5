// StubBroker.cpp - the nineteen broker functions at next to no cost (see StubBroker.h).
#include "StubBroker.h"

#include <cstring>

struct BrokerElement {
    const char16_t* name = u"";
    std::u16string characterValue;
    std::vector<std::uint8_t> bytes;
    std::int32_t size = 0;  // bytes in use
    std::vector<BrokerElement*> children;
};

struct BrokerMessageContext {};

struct BrokerMessage {
    BrokerElement root;
};

struct BrokerTerminal {};
struct BrokerFactory {};

namespace {

struct Tree {
    BrokerElement properties{u"Properties", {}, {}, 0, {}};
    BrokerElement mqmdFormat{u"Format", {}, {}, 0, {}};
    BrokerElement mqmd{u"MQMD", {}, {}, 0, {&mqmdFormat}};
    BrokerElement iihFormat{u"Format", {}, {}, 0, {}};
    BrokerElement iih{u"MQIIH", {}, {}, 0, {&iihFormat}};
    BrokerElement body{u"BLOB", {}, {}, 0, {}};
    BrokerElement parser{u"BLOB", {}, {}, 0, {&body}};
    BrokerMessage message{{u"Root", {}, {}, 0, {&properties, &mqmd, &iih, &parser}}};
};

Tree input;
Tree output;
BrokerMessageContext context;
BrokerTerminal terminals[3];
BrokerFactory factory;
std::uint64_t propagatedCount = 0;
NodeFunctionTable* classTable = nullptr;

bool sameName(const char16_t* a, const char16_t* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

}  // namespace

namespace stub {

void setInput(const std::u16string& mqmdFormat, const std::u16string& iihFormat,
              const std::vector<std::uint8_t>& body) {
    input.mqmdFormat.characterValue = mqmdFormat;
    input.iihFormat.characterValue = iihFormat;
    input.body.bytes = body;
    input.body.size = static_cast<std::int32_t>(body.size());
    output.body.bytes.assign(body.size() + 4, 0);
}

BrokerMessage* inputMessage() {
    return &input.message;
}

const std::vector<std::uint8_t>& outputBody() {
    static std::vector<std::uint8_t> copy;
    copy.assign(output.body.bytes.begin(), output.body.bytes.begin() + output.body.size);
    return copy;
}

std::uint64_t propagated() {
    return propagatedCount;
}

NodeFunctionTable* definedTable() {
    return classTable;
}

}  // namespace stub

extern "C" {

BrokerFactory* cniCreateNodeFactory(int* rc, const char16_t*) {
    *rc = 0;
    return &factory;
}
void cniDefineNodeClass(int* rc, BrokerFactory*, const char16_t*, NodeFunctionTable* table) {
    *rc = 0;
    classTable = table;
}
BrokerTerminal* cniCreateInputTerminal(int* rc, BrokerNode*, const char16_t*) {
    *rc = 0;
    return &terminals[0];
}
BrokerTerminal* cniCreateOutputTerminal(int* rc, BrokerNode*, const char16_t* name) {
    *rc = 0;
    return sameName(name, u"out") ? &terminals[1] : &terminals[2];
}
BrokerElement* cniRootElement(int* rc, BrokerMessage* message) {
    *rc = 0;
    return &message->root;
}
BrokerMessageContext* cniGetMessageContext(int* rc, BrokerMessage*) {
    *rc = 0;
    return &context;
}
BrokerMessage* cniCreateMessage(int* rc, BrokerMessageContext*) {
    *rc = 0;
    return &output.message;  // built once; the tree copy below is free
}
BrokerElement* cniSearchFirstChild(int* rc, BrokerElement* element, std::int32_t, std::int32_t,
                                   const char16_t* name) {
    *rc = 0;
    for (BrokerElement* child : element->children) {
        if (sameName(child->name, name)) return child;
    }
    return nullptr;
}
BrokerElement* cniLastChild(int* rc, BrokerElement* element) {
    *rc = 0;
    return element->children.empty() ? nullptr : element->children.back();
}
void cniCopyElementTree(int* rc, BrokerElement*, BrokerElement*) {
    *rc = 0;
}
std::int32_t cniElementCharacterValue(int* rc, BrokerElement* element, char16_t* buffer,
                                      std::int32_t) {
    *rc = 0;
    std::memcpy(buffer, element->characterValue.c_str(),
                (element->characterValue.size() + 1) * sizeof(char16_t));
    return static_cast<std::int32_t>(element->characterValue.size());
}
std::int32_t cniElementByteArrayValue(int* rc, BrokerElement* element, const ByteArrayRef* value) {
    if (element->size > value->size) {
        *rc = 1;
        return 0;
    }
    *rc = 0;
    std::memcpy(value->pointer, element->bytes.data(), static_cast<std::size_t>(element->size));
    return element->size;
}
void cniSetElementByteArrayValue(int* rc, BrokerElement* element, const ByteArrayRef* value) {
    *rc = 0;
    std::memcpy(element->bytes.data(), value->pointer, static_cast<std::size_t>(value->size));
    element->size = value->size;
}
std::int32_t cniIsTerminalAttached(int* rc, BrokerTerminal*) {
    *rc = 0;
    return 1;
}
std::int32_t cniPropagate(int* rc, BrokerTerminal*, BrokerMessage*, BrokerMessage*,
                          BrokerMessage*) {
    *rc = 0;
    ++propagatedCount;
    return 1;
}
void cniDeleteMessage(int*, BrokerMessage*) {}
void cciLog(int* rc, std::int32_t, const char*, std::int32_t, const char*, const char16_t*,
            std::uint32_t, const char*, ...) {
    *rc = 0;
}
void cciGetLastExceptionData(int* rc, ExceptionData*) {
    *rc = 0;
}
void cciRethrowLastException(int*) {}

}  // extern "C"
