// Bytes.h - byte strings for tests: from text, from hex, and framed into segments.
#ifndef OSTREVEL_TESTS_BYTES_H
#define OSTREVEL_TESTS_BYTES_H

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace ostrevel_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Bytes from hex text such as "00 07 00 00 41".
inline Bytes hexBytes(const std::string& hex) {
    Bytes bytes;
    unsigned value = 0;
    int digits = 0;
    for (char c : hex) {
        int nibble = -1;
        if (c >= '0' && c <= '9') nibble = c - '0';
        if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
        if (nibble < 0) continue;
        value = value * 16 + static_cast<unsigned>(nibble);
        if (++digits == 2) {
            bytes.push_back(static_cast<std::uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return bytes;
}

// One segment: the 4-byte prefix and `data`.
inline Bytes segment(const Bytes& data) {
    const std::size_t ll = data.size() + 4;
    Bytes out(ll, 0);
    out[0] = static_cast<std::uint8_t>(ll >> 8);
    out[1] = static_cast<std::uint8_t>(ll & 0xFF);
    std::copy(data.begin(), data.end(), out.begin() + 4);
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace ostrevel_test

#endif  // OSTREVEL_TESTS_BYTES_H
