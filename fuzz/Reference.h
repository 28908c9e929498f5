// Reference.h - the node's rules written out plainly, independent of the library's code, for
// the fuzz targets to check the library against.
#ifndef OSTREVEL_FUZZ_REFERENCE_H
#define OSTREVEL_FUZZ_REFERENCE_H

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace reference {

enum class Outcome { Convert, Forward, Fail };

// The leading run of characters below 256, as bytes.
inline std::string narrowed(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 256) break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

inline bool beginsWith(const std::string& text, const char* keyword) {
    return text.compare(0, std::strlen(keyword), keyword) == 0;
}

// A Format value (as the broker delivers it) is a leading part of the 8-character name.
inline bool formatMatches(const std::u16string& value, const std::string& name) {
    if (value.size() >= 80) return false;
    for (char16_t c : value) {
        if (c >= 256) return false;
    }
    const std::string text = narrowed(value);
    return text.size() <= name.size() && name.compare(0, text.size(), text) == 0;
}

// nullopt stands for a Format that could not be obtained.
inline Outcome classify(const std::u16string& msgtypes, const std::optional<std::u16string>& mqmd,
                        const std::optional<std::u16string>& iih) {
    if (!mqmd) return Outcome::Fail;
    const std::string types = narrowed(msgtypes);
    const bool any = beginsWith(types, "ANY");
    const bool imsiih = !any && beginsWith(types, "IMSIIH");
    const bool allims = !any && !imsiih && beginsWith(types, "ALLIMS");
    if (formatMatches(*mqmd, "MQIMS   ")) {
        return iih && formatMatches(*iih, "MQIMSVS ") ? Outcome::Convert : Outcome::Fail;
    }
    if (formatMatches(*mqmd, "MQIMSVS ")) return imsiih ? Outcome::Fail : Outcome::Convert;
    return imsiih || allims ? Outcome::Fail : Outcome::Forward;
}

inline bool toIms(const std::u16string& direction) {
    return beginsWith(narrowed(direction), "TOIMS");
}

struct Segment {
    std::size_t dataOffset;
    std::size_t dataLength;
};

// Walks a framed body: every LL from 4 to 32,771, segments tiling the body exactly. On
// failure `badOffset` is the offset of the offending prefix.
inline bool walk(const std::uint8_t* body, std::size_t n, std::vector<Segment>& segments,
                 std::size_t& badOffset) {
    std::size_t offset = 0;
    while (offset < n) {
        badOffset = offset;
        if (n - offset < 4) return false;
        const std::size_t ll = (static_cast<std::size_t>(body[offset]) << 8) | body[offset + 1];
        if (ll < 4 || ll > 32771 || ll > n - offset) return false;
        segments.push_back({offset + 4, ll - 4});
        offset += ll;
    }
    return true;
}

// The stripped body, or nullopt when the framing is not valid.
inline std::optional<std::vector<std::uint8_t>> strip(const std::vector<std::uint8_t>& body) {
    std::vector<Segment> segments;
    std::size_t badOffset = 0;
    if (!walk(body.data(), body.size(), segments, badOffset)) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (const Segment& s : segments)
        out.insert(out.end(), body.begin() + static_cast<long>(s.dataOffset),
                   body.begin() + static_cast<long>(s.dataOffset + s.dataLength));
    return out;
}

// The body wrapped into one segment, or nullopt when it is too long for one.
inline std::optional<std::vector<std::uint8_t>> wrap(const std::vector<std::uint8_t>& body) {
    if (body.size() > 32767) return std::nullopt;
    const std::size_t ll = body.size() + 4;
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(ll >> 8),
                                  static_cast<std::uint8_t>(ll & 0xFF), 0, 0};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// parseDecimal's rule: ASCII blanks, one sign, ASCII digits modulo 2^32.
inline std::int32_t parseDecimal(const std::u16string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= 9 && text[i] <= 13))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = (value * 10 + (text[i] - u'0')) & 0xFFFFFFFFULL;
    if (negative) value = (0x100000000ULL - value) & 0xFFFFFFFFULL;
    const auto bits = static_cast<std::uint32_t>(value);
    std::int32_t result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

}  // namespace reference

#endif  // OSTREVEL_FUZZ_REFERENCE_H
