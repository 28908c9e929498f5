// FuzzClassify.cpp - policy decoding, Format matching, classification and parseDecimal on
// arbitrary wide text, each checked against a plain reference of its rule.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Classification.h"
#include "FuzzInput.h"
#include "NodeContext.h"
#include "Reference.h"

namespace {

using namespace ostrevel;

void fillFormat(FormatBuffers& buffers, const std::u16string& value) {
    prepareFormatBuffers(buffers);
    // The broker writes value and terminator when they fit 160 bytes, as the simulator does.
    if ((value.size() + 1) * 2 <= static_cast<std::size_t>(FORMAT_READ_LENGTH))
        std::memcpy(buffers.wide, value.c_str(), (value.size() + 1) * sizeof(char16_t));
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
    if ((policy.direction == Direction::ToIms) != reference::toIms(direction)) std::abort();

    FormatBuffers buffers;
    fillFormat(buffers, mqmd);
    if (formatMatches(buffers.text, FORMAT_IMS) != reference::formatMatches(mqmd, "MQIMS   "))
        std::abort();
    if (formatMatches(buffers.text, FORMAT_IMSVS) != reference::formatMatches(mqmd, "MQIMSVS "))
        std::abort();
    auto fetch = [](void* state, FormatBuffers& b) {
        auto* s = static_cast<IihState*>(state);
        if (!s->readable) return false;
        fillFormat(b, s->value);
        return true;
    };
    const Outcome outcome = classifyMessage(policy, buffers, IihFormatSource{fetch, &iih});
    const auto expected = reference::classify(
        storedTypes, mqmd, iih.readable ? std::optional<std::u16string>(iih.value) : std::nullopt);
    if (static_cast<int>(outcome) != static_cast<int>(expected)) std::abort();

    if (parseDecimal(number.c_str()) != reference::parseDecimal(number)) std::abort();
    return 0;
}
