// Classification.cpp - policy decoding, Format texts and the convert/forward/fail decision.
#include "Classification.h"

#include <cstring>

#include "WideText.h"

namespace ostrevel {
namespace {

inline constexpr char16_t NARROWING_LIMIT = 256;
// A Format name and its terminator: the most bytes formatMatches ever compares.
inline constexpr std::size_t FORMAT_NAME_BYTES = sizeof(FORMAT_IMS);

static_assert(sizeof(FORMAT_IMS) == 9 && sizeof(FORMAT_IMSVS) == 9, "8-character names");

// True when `text` begins with `keyword`, compared over the keyword's length only; a shorter
// text fails, as its terminator stands where the keyword has a letter.
template <std::size_t N>
bool beginsWith(const char (&text)[NARROWED_ATTRIBUTE_BYTES], const char (&keyword)[N]) noexcept {
    return std::strncmp(text, keyword, N - 1) == 0;
}

}  // namespace

std::size_t narrowText(const char16_t* source, std::size_t count, char* target) noexcept {
    std::size_t i = 0;
    for (; i < count && source[i] < NARROWING_LIMIT; ++i) {
        target[i] = static_cast<char>(static_cast<unsigned char>(source[i]));
    }
    return i;
}

void narrowAttribute(const char16_t* value, std::size_t valueChars,
                     char (&target)[NARROWED_ATTRIBUTE_BYTES]) noexcept {
    std::size_t length = 0;
    if (value != nullptr) {
        // One byte is kept back for the terminator.
        const std::size_t limit = valueChars < sizeof target ? valueChars : sizeof target - 1;
        length = narrowText(value, wideLength(value, limit), target);
    }
    target[length] = '\0';
}

NodePolicy decodePolicy(const char16_t* msgtypesValue, const char16_t* directionValue,
                        std::size_t valueChars) noexcept {
    char msgtypes[NARROWED_ATTRIBUTE_BYTES];
    char direction[NARROWED_ATTRIBUTE_BYTES];
    narrowAttribute(msgtypesValue, valueChars, msgtypes);
    narrowAttribute(directionValue, valueChars, direction);

    NodePolicy policy{true, false, Direction::FromIms};  // unset or unknown MSGTYPES acts as ANY
    if (beginsWith(msgtypes, MSGTYPES_ANY)) {
        policy.acceptOthers = true;
        policy.iihOnly = false;
    } else if (beginsWith(msgtypes, MSGTYPES_IMSIIH)) {
        policy.acceptOthers = false;
        policy.iihOnly = true;
    } else if (beginsWith(msgtypes, MSGTYPES_ALLIMS)) {
        policy.acceptOthers = false;
        policy.iihOnly = false;
    }
    policy.direction =
        beginsWith(direction, DIRECTION_TOIMS) ? Direction::ToIms : Direction::FromIms;
    return policy;
}

void prepareFormatBuffers(FormatBuffers& buffers) noexcept {
    std::memset(buffers.wide, FORMAT_FILL_BYTE, sizeof buffers.wide);
    std::memset(buffers.text, FORMAT_FILL_BYTE, sizeof buffers.text);
}

void narrowFormat(FormatBuffers& buffers) noexcept {
    // The text ends at its terminator, so the narrowing stops once it has written it.
    for (std::size_t i = 0; i < FORMAT_TEXT_BYTES && buffers.wide[i] < NARROWING_LIMIT; ++i) {
        buffers.text[i] = static_cast<char>(static_cast<unsigned char>(buffers.wide[i]));
        if (buffers.wide[i] == u'\0') {
            break;
        }
    }
}

bool formatMatches(const char (&formatText)[FORMAT_TEXT_BYTES], const char* name) noexcept {
    const void* end = std::memchr(formatText, 0, sizeof formatText);
    if (end == nullptr) {
        return false;  // no terminator within 80 bytes: longer than any name
    }
    const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - formatText);
    // A text of 9 or more characters meets the name's terminator with a non-zero byte.
    return length < FORMAT_NAME_BYTES && std::memcmp(formatText, name, length) == 0;
}

Outcome classifyMessage(const NodePolicy& policy, FormatBuffers& buffers,
                        IihFormatSource iihSource) {
    if (formatMatches(buffers.text, FORMAT_IMS)) {
        // The MQIIH branch does not consult the policy.
        if (iihSource.fetch == nullptr || !iihSource.fetch(iihSource.state, buffers)) {
            return Outcome::Fail;
        }
        return formatMatches(buffers.text, FORMAT_IMSVS) ? Outcome::Convert : Outcome::Fail;
    }
    if (formatMatches(buffers.text, FORMAT_IMSVS)) {
        return policy.iihOnly ? Outcome::Fail : Outcome::Convert;
    }
    return policy.acceptOthers ? Outcome::Forward : Outcome::Fail;
}

}  // namespace ostrevel
