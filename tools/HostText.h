// HostText.h - how ostrevel-host shows names and values: padded table cells, names quoted when
// they hold control characters or bytes that are not UTF-8, and JSON strings that stay valid
// whatever bytes a name holds.
#ifndef OSTREVEL_TOOLS_HOSTTEXT_H
#define OSTREVEL_TOOLS_HOSTTEXT_H

#include <cstddef>
#include <string>

namespace host {

// `text` followed (padRight) or preceded (padLeft) by blanks up to `width` bytes.
std::string padRight(const std::string& text, std::size_t width);
std::string padLeft(const std::string& text, std::size_t width);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUtf8(const std::string& text);

// `name` as it stands when it is valid UTF-8 without control characters, quotes or
// backslashes; otherwise in double quotes with \n, \t, \\, \" and \xHH escapes, so that a
// table row stays one line and every byte can be told.
std::string quotedName(const std::string& name);

// A JSON string for `text`: valid UTF-8 is kept, control characters are \u escapes, and each
// byte that is not part of valid UTF-8 becomes U+FFFD (the exact bytes go in hexOf).
std::string jsonString(const std::string& text);

// printf-style formatting into a string.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The bytes of `text` as lower-case hexadecimal.
std::string hexOf(const std::string& text);

}  // namespace host

#endif  // OSTREVEL_TOOLS_HOSTTEXT_H
