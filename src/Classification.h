// Classification.h - decides what a node does with a message: convert its body, forward it
// unchanged to "out", or fail it to "failure".
//
// decodePolicy turns the node's MSGTYPES and DIRECTION values into a NodePolicy;
// classifyMessage weighs a message's MQMD Format (and, for "MQIMS   ", its MQIIH Format)
// against that policy. Nothing here calls the broker or touches the heap: the caller reads
// the Format values and hands in a way to read the MQIIH one.
#ifndef OSTREVEL_SRC_CLASSIFICATION_H
#define OSTREVEL_SRC_CLASSIFICATION_H

#include <cstddef>
#include <cstdint>

namespace ostrevel {

enum class Direction { ToIms, FromIms };

struct NodePolicy {
    bool acceptOthers;    // a non-IMS message is forwarded instead of failed
    bool iihOnly;         // an IMS message without an MQIIH is failed instead of converted
    Direction direction;  // the framing a conversion runs
};

enum class Outcome { Convert, Forward, Fail };

// Narrowed copy of an attribute value; the zero fill supplies the terminator.
inline constexpr std::size_t NARROWED_ATTRIBUTE_BYTES = 256;
// The Format text: the first 80 characters of a Format value, narrowed.
inline constexpr std::size_t FORMAT_TEXT_BYTES = 80;
// The wide buffer the broker writes a Format value into has room for 160 characters, so the
// read is safe whether the broker counts the length it is given in bytes or in characters.
inline constexpr std::size_t FORMAT_WIDE_CHARS = 160;
inline constexpr std::int32_t FORMAT_READ_LENGTH = 160;
inline constexpr std::uint8_t FORMAT_FILL_BYTE = 0x20;

// IMS format names: 8 characters each, and the terminator takes part in the comparison.
inline constexpr char FORMAT_IMS[] = "MQIMS   ";
inline constexpr char FORMAT_IMSVS[] = "MQIMSVS ";

// MSGTYPES and DIRECTION keywords, compared over their own length.
inline constexpr char MSGTYPES_ANY[] = "ANY";
inline constexpr char MSGTYPES_IMSIIH[] = "IMSIIH";
inline constexpr char MSGTYPES_ALLIMS[] = "ALLIMS";
inline constexpr char DIRECTION_TOIMS[] = "TOIMS";

// Narrows `count` wide characters into `target`: each character below 256 becomes the byte of
// the same value; the first character of 256 or more ends the narrowing. Writes no
// terminator. Returns the number of bytes written.
std::size_t narrowText(const char16_t* source, std::size_t count, char* target) noexcept;

// Narrows `value` into `target` and terminates it: up to the value's terminator, reading at
// most `valueChars` characters and writing at most 255 bytes and the terminator.
void narrowAttribute(const char16_t* value, std::size_t valueChars,
                     char (&target)[NARROWED_ATTRIBUTE_BYTES]) noexcept;

// The policy for the MSGTYPES and DIRECTION values as getAttribute reports them; each value
// is read up to its terminator and never beyond `valueChars` characters. Never fails.
NodePolicy decodePolicy(const char16_t* msgtypesValue, const char16_t* directionValue,
                        std::size_t valueChars) noexcept;

// The two buffers in which a Format value is read and narrowed.
struct FormatBuffers {
    char16_t wide[FORMAT_WIDE_CHARS];  // the broker writes the value here
    char text[FORMAT_TEXT_BYTES];      // the Format text, narrowed from `wide`
};

// Fills both buffers with 0x20 bytes before the broker's read.
void prepareFormatBuffers(FormatBuffers& buffers) noexcept;

// Narrows the first 80 characters of `wide` into `text`, up to and including the terminator
// when it falls within them; from the first character of 256 or more on, `text` keeps its
// blanks.
void narrowFormat(FormatBuffers& buffers) noexcept;

// True when the Format text (up to its first zero byte, or "longer than 8" when it has none)
// is a leading part of `name`, the empty text and the whole name included.
bool formatMatches(const char (&formatText)[FORMAT_TEXT_BYTES], const char* name) noexcept;

// How classifyMessage obtains the MQIIH Format text when it needs it: `fetch` fills `text`
// and returns true, or returns false when any broker call on the way failed. It calls into
// the broker, so it may throw whatever the broker throws.
struct IihFormatSource {
    bool (*fetch)(void* state, FormatBuffers& buffers);
    void* state;
};

// The outcome for a message whose MQMD Format text was obtained. `buffers.text` holds that
// text; on the MQIIH branch the same buffers are reused for the MQIIH Format. An exception
// from the fetch passes through to the caller untouched.
Outcome classifyMessage(const NodePolicy& policy, FormatBuffers& buffers,
                        IihFormatSource iihSource);

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_CLASSIFICATION_H
