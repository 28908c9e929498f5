// Evaluation.cpp - the per-message pipeline of a node.
//
// Steps, in order: read the node's attributes and decode its policy; obtain the input root
// and a new output message; read the MQMD (and maybe MQIIH) Format and classify; for a
// conversion copy the tree, read the body into the work buffer, reframe it and write it to
// the output body; then pick the terminal, propagate, log, and release the output message
// and the work buffer. Any failed broker check before routing turns the outcome into Fail.
#include "Evaluation.h"

#include <cstddef>
#include <cstdint>

#include "Allocation.h"
#include "BrokerLog.h"
#include "Classification.h"
#include "NodeContext.h"
#include "SegmentFraming.h"

namespace ostrevel {
namespace {

// The source module named in log entries.
constexpr const char* MODULE_NAME = sourceBaseName(__FILE__);

// Each attribute value is read into a buffer of 256 characters, given as 512 bytes.
inline constexpr std::size_t ATTRIBUTE_VALUE_CHARS = 256;
inline constexpr std::int32_t ATTRIBUTE_VALUE_BYTES = ATTRIBUTE_VALUE_CHARS * sizeof(char16_t);

// Element names searched for in the input tree.
inline constexpr char16_t ELEMENT_MQMD[] = u"MQMD";
inline constexpr char16_t ELEMENT_MQIIH[] = u"MQIIH";
inline constexpr char16_t ELEMENT_FORMAT[] = u"Format";

// Holds the output message and deletes it when the call ends, however it ends.
class OutputMessage {
public:
    OutputMessage() = default;
    OutputMessage(const OutputMessage&) = delete;
    OutputMessage(OutputMessage&&) = delete;
    OutputMessage& operator=(const OutputMessage&) = delete;
    OutputMessage& operator=(OutputMessage&&) = delete;
    // Reached with a message still held only while an exception from the broker leaves
    // evaluate. The message is deleted all the same; should the deletion throw as well, that
    // second exception is dropped, as two cannot leave at once.
    ~OutputMessage() {
        if (message_ != nullptr) {
            try {
                cniDeleteMessage(nullptr, message_);
            } catch (...) {  // NOLINT(bugprone-empty-catch): the first exception goes on
            }
        }
    }
    void hold(BrokerMessage* message) { message_ = message; }
    [[nodiscard]] BrokerMessage* get() const { return message_; }
    // Deletes the message now (the normal end of evaluate); an exception from the broker
    // passes to the caller, and the message is not deleted twice.
    void deleteNow() {
        BrokerMessage* message = message_;
        message_ = nullptr;
        if (message != nullptr) {
            cniDeleteMessage(nullptr, message);
        }
    }

private:
    BrokerMessage* message_ = nullptr;
};

// Holds the work buffer and releases it when the call ends, however it ends.
class WorkBuffer {
public:
    WorkBuffer() = default;
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer(WorkBuffer&&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
    WorkBuffer& operator=(WorkBuffer&&) = delete;
    ~WorkBuffer() { releaseBlock(start_); }
    // Allocates `bytes` bytes; returns false when the heap cannot supply them.
    bool allocate(std::size_t bytes) {
        start_ = static_cast<std::uint8_t*>(allocateBlock(bytes));
        return start_ != nullptr;
    }
    [[nodiscard]] std::uint8_t* start() const { return start_; }

private:
    std::uint8_t* start_ = nullptr;
};

bool failed(int rc, const void* handle) {
    return rc != RC_SUCCESS || handle == nullptr;
}

void logEntry(int& rc, std::int32_t type, std::int32_t line, const char* text) {
    writeLogEntry(&rc, type, MODULE_NAME, line, LOG_FUNCTION_EVALUATE, MSG_LOG_NUMBER, text);
}

// Finds `header` under the root and its Format child, and makes the Format text in
// `buffers`. Returns false when a broker call fails or an element is missing.
bool readFormat(int& rc, BrokerElement* root, const char16_t* header, FormatBuffers& buffers) {
    BrokerElement* headerElement =
        cniSearchFirstChild(&rc, root, SEARCH_CHILD_BY_NAME, SEARCH_ANY_ELEMENT_TYPE, header);
    if (failed(rc, headerElement)) {
        return false;
    }
    BrokerElement* format = cniSearchFirstChild(&rc, headerElement, SEARCH_CHILD_BY_NAME,
                                                SEARCH_ANY_ELEMENT_TYPE, ELEMENT_FORMAT);
    if (failed(rc, format)) {
        return false;
    }
    prepareFormatBuffers(buffers);
    cniElementCharacterValue(&rc, format, buffers.wide, FORMAT_READ_LENGTH);
    narrowFormat(buffers);  // narrowed before the code is tested, whatever the read did
    return rc == RC_SUCCESS;
}

struct IihReadState {
    int* rc;
    BrokerElement* inputRoot;
};

bool readIihFormat(void* state, FormatBuffers& buffers) {
    auto* read = static_cast<IihReadState*>(state);
    return readFormat(*read->rc, read->inputRoot, ELEMENT_MQIIH, buffers);
}

// The body element of a message: the last child of the last child of its root.
BrokerElement* bodyElement(int& rc, BrokerElement* root) {
    BrokerElement* parser = cniLastChild(&rc, root);
    if (failed(rc, parser)) {
        return nullptr;
    }
    BrokerElement* body = cniLastChild(&rc, parser);
    return failed(rc, body) ? nullptr : body;
}

// Reads the input body into a new work buffer, reframes it for `direction` and writes it
// to the output body. Returns false on any failure; the buffer then still goes with `work`.
bool convertBody(int& rc, BrokerElement* inputBody, BrokerElement* outputBody, Direction direction,
                 std::int32_t capacity, WorkBuffer& work) {
    if (capacity < 0) {
        return false;  // no usable capacity
    }
    const std::size_t reserved = direction == Direction::ToIms ? SEGMENT_PREFIX_BYTES : 0;
    if (!work.allocate(static_cast<std::size_t>(capacity) + reserved)) {
        return false;
    }
    std::uint8_t* const start = work.start();
    const ByteArrayRef readInto{start + reserved, capacity};
    const std::int32_t n = cniElementByteArrayValue(&rc, inputBody, &readInto);
    if (rc != RC_SUCCESS || n < 0 || n > capacity) {
        return false;  // a count outside the buffer is never trusted
    }
    const FramingResult framed =
        direction == Direction::ToIms ? addSegmentPrefix(start, n) : stripSegmentPrefixes(start, n);
    if (framed.status != FramingStatus::Ok) {
        return false;
    }
    cniSetElementByteArrayValue(&rc, outputBody, &framed.output);
    return rc == RC_SUCCESS;
}

// Steps 2 to 12: everything up to routing. Returns the outcome to route.
Outcome classifyAndConvert(int& rc, BrokerMessage* input, const NodePolicy& policy,
                           std::int32_t capacity, OutputMessage& output, WorkBuffer& work) {
    BrokerElement* inputRoot = cniRootElement(&rc, input);
    if (failed(rc, inputRoot)) {
        return Outcome::Fail;
    }
    BrokerMessageContext* messageContext = cniGetMessageContext(&rc, input);
    if (messageContext == nullptr) {  // its code is not consulted
        return Outcome::Fail;
    }
    output.hold(cniCreateMessage(&rc, messageContext));
    if (failed(rc, output.get())) {
        return Outcome::Fail;
    }
    BrokerElement* outputRoot = cniRootElement(&rc, output.get());
    if (failed(rc, outputRoot)) {
        return Outcome::Fail;
    }

    FormatBuffers formats{};
    if (!readFormat(rc, inputRoot, ELEMENT_MQMD, formats)) {
        return Outcome::Fail;
    }
    IihReadState iihState{&rc, inputRoot};
    const Outcome outcome =
        classifyMessage(policy, formats, IihFormatSource{readIihFormat, &iihState});
    if (outcome != Outcome::Convert) {
        return outcome;
    }

    cniCopyElementTree(&rc, inputRoot, outputRoot);
    if (rc != RC_SUCCESS) {
        return Outcome::Fail;
    }
    BrokerElement* outputBody = bodyElement(rc, outputRoot);
    if (outputBody == nullptr) {
        return Outcome::Fail;
    }
    BrokerElement* inputBody = bodyElement(rc, inputRoot);
    if (inputBody == nullptr) {
        return Outcome::Fail;
    }
    return convertBody(rc, inputBody, outputBody, policy.direction, capacity, work)
               ? Outcome::Convert
               : Outcome::Fail;
}

// Steps 13 and 14: find the terminal, test it, propagate and log.
void route(int& rc, const NodeContext* context, Outcome outcome, BrokerMessage* first,
           BrokerMessage* second, BrokerMessage* toSend) {
    const char16_t* terminalName = outcome == Outcome::Fail ? TERMINAL_FAILURE : TERMINAL_OUT;
    BrokerTerminal* terminal = findOutputTerminal(context, terminalName);
    if (terminal == nullptr) {
        logEntry(rc, LOG_ERROR, __LINE__, LOG_TEXT_NO_TERMINAL);
        return;
    }
    // The code is consulted before the result: a broker that fails inside the test and
    // answers 0 must not have the message dropped silently.
    const std::int32_t attached = cniIsTerminalAttached(&rc, terminal);
    if (rc == RC_EXCEPTION) {
        cciRethrowLastException(nullptr);
        return;
    }
    if (rc != RC_SUCCESS) {
        logEntry(rc, LOG_ERROR, __LINE__, LOG_TEXT_NOT_PROPAGATED);
        return;
    }
    if (attached == 0) {
        return;  // not attached: nothing propagated, nothing logged
    }
    cniPropagate(&rc, terminal, first, second, toSend);
    if (rc == RC_SUCCESS) {
        logEntry(rc, LOG_INFORMATION, __LINE__, LOG_TEXT_PROPAGATED);
        return;
    }
    if (rc == RC_EXCEPTION) {
        ExceptionData exceptionData{};  // filled by the broker, never read
        cciGetLastExceptionData(&rc, &exceptionData);
        cciRethrowLastException(nullptr);
    }
    logEntry(rc, LOG_ERROR, __LINE__, LOG_TEXT_NOT_PROPAGATED);
}

}  // namespace

void evaluate(void* contextPointer, BrokerMessage* first, BrokerMessage* second,
              BrokerMessage* input) {
    const auto* context = static_cast<const NodeContext*>(contextPointer);
    int rc = RC_SUCCESS;

    // The configuration, read afresh for every message. getAttribute writes a terminated
    // value; a missing attribute leaves its buffer alone, so each starts as the empty text.
    char16_t msgtypes[ATTRIBUTE_VALUE_CHARS];
    char16_t direction[ATTRIBUTE_VALUE_CHARS];
    char16_t maxSize[ATTRIBUTE_VALUE_CHARS];
    msgtypes[0] = direction[0] = maxSize[0] = u'\0';
    getAttribute(contextPointer, ATTRIBUTE_MSGTYPES, msgtypes, ATTRIBUTE_VALUE_BYTES);
    getAttribute(contextPointer, ATTRIBUTE_DIRECTION, direction, ATTRIBUTE_VALUE_BYTES);
    getAttribute(contextPointer, ATTRIBUTE_MAXMSGDATASIZE, maxSize, ATTRIBUTE_VALUE_BYTES);
    const NodePolicy policy = decodePolicy(msgtypes, direction, ATTRIBUTE_VALUE_CHARS);
    const std::int32_t capacity = parseDecimal(maxSize);

    // Declared in this order so that the message is deleted before the buffer is released.
    WorkBuffer work;
    OutputMessage output;

    const Outcome outcome = classifyAndConvert(rc, input, policy, capacity, output, work);
    BrokerMessage* toSend = outcome == Outcome::Convert ? output.get() : input;
    route(rc, context, outcome, first, second, toSend);
    // The output message first, then the work buffer; on an exception the guards do both,
    // in the same order.
    output.deleteNow();
}

}  // namespace ostrevel
