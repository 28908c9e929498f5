// HostText.cpp - padding, quoting, UTF-8 checking and JSON escaping for ostrevel-host.
#include "HostText.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace host {
namespace {

constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE = 0x7F;

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t sequenceAt(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t value = 0;
    std::uint32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1FU, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0FU, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07U, smallest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0U) != 0x80U) return 0;
        value = (value << 6) | (byte(i + k) & 0x3FU);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return value < smallest || surrogate || value > 0x10FFFF ? 0 : length;
}

std::string escaped(const char* format, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

std::string padRight(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string padLeft(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

bool isValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string quotedName(const std::string& name) {
    bool plain = isValidUtf8(name);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < FIRST_PRINTABLE || byte == DELETE || c == '"' || c == '\\') plain = false;
    }
    if (plain) return name;
    std::string out = "\"";
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const std::size_t length = sequenceAt(name, i);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '"' || byte == '\\') {
            out += std::string("\\") + name[i];
        } else if (length == 0 || byte < FIRST_PRINTABLE || byte == DELETE) {
            out += escaped("\\x%02X", byte);
        } else {
            out += name.substr(i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) {
            out += REPLACEMENT_CHARACTER;
            ++i;
        } else if (byte == '"' || byte == '\\') {
            out += std::string("\\") + text[i];
            ++i;
        } else if (byte < FIRST_PRINTABLE || byte == DELETE) {
            out += escaped("\\u%04x", byte);
            ++i;
        } else {
            out += text.substr(i, length);
            i += length;
        }
    }
    return out + "\"";
}

std::string formatted(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::vector<char> buffer(length > 0 ? static_cast<std::size_t>(length) + 1 : 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    va_end(again);
    return std::string(buffer.data(), buffer.size() - 1);
}

std::string hexOf(const std::string& text) {
    std::string out;
    for (const char c : text) out += escaped("%02x", static_cast<unsigned char>(c));
    return out;
}

}  // namespace host
