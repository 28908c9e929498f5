// FuzzInput.h - splits a fuzzer's byte string into the typed pieces a target needs.
#ifndef OSTREVEL_FUZZ_FUZZINPUT_H
#define OSTREVEL_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrevel_fuzz {

// Reads the input front to back; every read past the end yields zeros, so any input works.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }

    std::uint32_t number(int bytes) {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value = (value << 8) | byte();
        return value;
    }

    // A wide text of up to `maxChars` characters: a length byte, then two bytes a character.
    // Characters are mostly ASCII so that keywords are reachable; some are wide.
    std::u16string wideText(std::size_t maxChars) {
        const std::size_t length = byte() % (maxChars + 1);
        std::u16string text;
        for (std::size_t i = 0; i < length && offset_ < size_; ++i) {
            const std::uint8_t low = byte();
            const std::uint8_t kind = byte();
            char16_t c = low;
            if (kind >= 0xF0) c = static_cast<char16_t>(0x100 | low);        // 256 or more
            if (kind >= 0xFC) c = static_cast<char16_t>((kind << 8) | low);  // anywhere
            text.push_back(c == 0 ? u' ' : c);
        }
        return text;
    }

    std::vector<std::uint8_t> rest() {
        std::vector<std::uint8_t> bytes(data_ + offset_, data_ + size_);
        offset_ = size_;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace ostrevel_fuzz

#endif  // OSTREVEL_FUZZ_FUZZINPUT_H
