// WideText.h - small helpers for the null-terminated char16_t text that crosses the broker
// boundary. The standard library has no bounded length or comparison for char16_t strings.
#ifndef OSTREVEL_SRC_WIDETEXT_H
#define OSTREVEL_SRC_WIDETEXT_H

#include <cstddef>

namespace ostrevel {

// Number of characters before the terminator, looking at no more than `limit` characters.
inline std::size_t wideLength(const char16_t* text, std::size_t limit) noexcept {
    std::size_t length = 0;
    while (length < limit && text[length] != u'\0') {
        ++length;
    }
    return length;
}

// Exact comparison, character by character: no case folding, no trimming.
inline bool wideEquals(const char16_t* left, const char16_t* right) noexcept {
    while (*left != u'\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

// Copies at most `capacity - 1` characters and always terminates; capacity must be >= 1.
inline void wideCopy(char16_t* target, std::size_t capacity, const char16_t* source) noexcept {
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i] != u'\0'; ++i) {
        target[i] = source[i];
    }
    target[i] = u'\0';
}

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_WIDETEXT_H
