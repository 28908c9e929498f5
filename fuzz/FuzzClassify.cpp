// FuzzClassify.cpp - policy decoding, Format matching, classification and parseDecimal on
// arbitrary wide text, each checked against a plain reference of its rule.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Classification.h"
#include "FuzzInput.h"
#include "NodeContext.h"

namespace {

using namespace ostrevel;

// The narrowed text: the leading run of characters below 256.
std::string narrowed(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 256) break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

bool referenceMatches(const std::u16string& value, const std::string& name) {
    if (value.size() >= 80) return false;
    for (char16_t c : value) {
        if (c >= 256) return false;
    }
    const std::string text = narrowed(value);
    return name.compare(0, text.size(), text) == 0 && text.size() <= name.size();
}

Outcome referenceOutcome(const std::u16string& msgtypes, const std::u16string& mqmd,
                         bool iihReadable, const std::u16string& iih) {
    const std::string types = narrowed(msgtypes);
    const bool imsiih = types.rfind("IMSIIH", 0) == 0 && types.rfind("ANY", 0) != 0;
    const bool allims = types.rfind("ALLIMS", 0) == 0;
    if (referenceMatches(mqmd, "MQIMS   ")) {
        return iihReadable && referenceMatches(iih, "MQIMSVS ") ? Outcome::Convert : Outcome::Fail;
    }
    if (referenceMatches(mqmd, "MQIMSVS ")) return imsiih ? Outcome::Fail : Outcome::Convert;
    return imsiih || allims ? Outcome::Fail : Outcome::Forward;
}

std::int32_t referenceParse(const std::u16string& text) {
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

void fillFormat(FormatBuffers& buffers, const std::u16string& value) {
    prepareFormatBuffers(buffers);
    // The broker writes value and terminator when they fit 160 bytes, as the simulator does.
    if ((value.size() + 1) * 2 <= static_cast<std::size_t>(FORMAT_READ_LENGTH))
        std::memcpy(buffers.wide, value.c_str(), (value.size() + 1) * 2);
    narrowFormat(buffers);
}

struct IihState {
    bool readable;
    std::u16string value;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostrevel_fuzz::FuzzInput input(data, size);
    const std::u16string msgtypes = input.wideText(140);
    const std::u16string direction = input.wideText(12);
    std::u16string mqmd = input.wideText(100);
    IihState iih{(input.byte() & 1) == 0, input.wideText(100)};
    const std::u16string number = input.wideText(40);
    // Values longer than the broker's buffer cannot be read; keep them to what fits.
    if (mqmd.size() > 79) mqmd.resize(79);
    if (iih.value.size() > 79) iih.value.resize(79);

    std::u16string storedTypes = msgtypes.substr(0, 127);  // what the attribute store keeps
    const NodePolicy policy = decodePolicy(storedTypes.c_str(), direction.c_str(), 256);
    const bool toIms = narrowed(direction).rfind("TOIMS", 0) == 0;
    if ((policy.direction == Direction::ToIms) != toIms) std::abort();

    FormatBuffers buffers;
    fillFormat(buffers, mqmd);
    if (formatMatches(buffers.text, FORMAT_IMS) != referenceMatches(mqmd, "MQIMS   ")) std::abort();
    if (formatMatches(buffers.text, FORMAT_IMSVS) != referenceMatches(mqmd, "MQIMSVS "))
        std::abort();
    auto fetch = [](void* state, FormatBuffers& b) {
        auto* s = static_cast<IihState*>(state);
        if (!s->readable) return false;
        fillFormat(b, s->value);
        return true;
    };
    const Outcome outcome = classifyMessage(policy, buffers, IihFormatSource{fetch, &iih});
    if (outcome != referenceOutcome(storedTypes, mqmd, iih.readable, iih.value)) std::abort();

    if (parseDecimal(number.c_str()) != referenceParse(number)) std::abort();
    return 0;
}
