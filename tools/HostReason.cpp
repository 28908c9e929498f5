// HostReason.cpp - the reason for a message's route, from the library's own rules: the
// policy decoding, Format narrowing and classification, the decimal rule for MAXMSGDATASIZE,
// and the segment check the stripping uses.
#include "HostReason.h"

#include <cstring>

#include "BrokerSim.h"
#include "HostSegments.h"
#include "NodeContext.h"

namespace host {
namespace {

// Attribute values are read back as evaluate reads them: 256 characters, given as bytes.
constexpr std::size_t READ_BACK_CHARS = 256;
constexpr std::uint64_t FNV_PRIME = 0x100000001B3ULL;
// The longest Format value the node's read takes whole, its terminator aside.
constexpr std::size_t FORMAT_READ_CHARS = ostrevel::FORMAT_READ_LENGTH / sizeof(char16_t) - 1;

std::u16string readBack(const LoadedNode& node, const char16_t* name) {
    char16_t buffer[READ_BACK_CHARS] = {};
    node.table->getAttribute(node.context, name, buffer, static_cast<std::int32_t>(sizeof buffer));
    buffer[READ_BACK_CHARS - 1] = u'\0';
    return buffer;
}

// A Format value for a message: narrowed ('?' for wide characters), trailing blanks dropped.
std::string shown(const std::u16string& value) {
    std::string text = brokersim::narrow(value);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return "'" + text + "'";
}

// Reads a Format value into the buffers as the node's read through the simulated broker does:
// whole when it fits the read with its terminator; otherwise the read fails.
bool readFormatValue(const std::optional<std::u16string>& value, ostrevel::FormatBuffers& buffers) {
    ostrevel::prepareFormatBuffers(buffers);
    const bool fits = value && value->size() <= FORMAT_READ_CHARS;
    if (fits) {
        std::memcpy(buffers.wide, value->c_str(), (value->size() + 1) * sizeof(char16_t));
    }
    ostrevel::narrowFormat(buffers);
    return fits;
}

bool readIihFormat(void* state, ostrevel::FormatBuffers& buffers) {
    return readFormatValue(static_cast<const MessageShape*>(state)->iihFormat, buffers);
}

Reason failed(ReasonCode code, std::string text) {
    return Reason{code, std::move(text), false, false};
}

std::string bytes(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// The reason for a message the rules convert: the capacity and the framing decide.
Reason conversion(const NodeSettings& settings, const std::vector<std::uint8_t>& body) {
    const std::size_t n = body.size();
    if (settings.capacity < 0) {
        return failed(ReasonCode::MaxSizeNegative, "MAXMSGDATASIZE is " +
                                                       std::to_string(settings.capacity) +
                                                       ": the node converts nothing");
    }
    if (n > static_cast<std::size_t>(settings.capacity)) {
        if (settings.capacity == 0) {
            return failed(ReasonCode::MaxSizeZero,
                          "body of " + bytes(n) +
                              ", MAXMSGDATASIZE is 0 (the node's default: set --max-size)");
        }
        return failed(ReasonCode::OverMaxSize, "body of " + bytes(n) + " is over MAXMSGDATASIZE " +
                                                   std::to_string(settings.capacity));
    }
    const auto size = static_cast<std::int32_t>(n);
    Reason reason{ReasonCode::Converted, "", true, true};
    if (settings.policy.direction == ostrevel::Direction::ToIms) {
        if (size > ostrevel::MAX_SEGMENT_DATA) {
            return failed(ReasonCode::TooLongForOneSegment,
                          "body of " + bytes(n) + " is over " +
                              std::to_string(ostrevel::MAX_SEGMENT_DATA) +
                              " bytes, the most one segment holds");
        }
        const std::int32_t ll = size + ostrevel::SEGMENT_PREFIX_BYTES;
        const std::uint8_t prefix[ostrevel::SEGMENT_PREFIX_BYTES] = {
            static_cast<std::uint8_t>(ll >> 8), static_cast<std::uint8_t>(ll & 0xFF), 0, 0};
        reason.outputDigest = digestOf(body.data(), n, digestOf(prefix, sizeof prefix));
        reason.outputBytes = n + sizeof prefix;
        reason.text = "wrapped into one segment, LL " + std::to_string(ll);
        return reason;
    }
    std::uint64_t digest = digestOf(nullptr, 0);
    std::size_t segments = 0;
    std::int32_t badOffset = 0;
    const ostrevel::FramingStatus status = walkSegments(
        body,
        [&](std::int32_t, const std::uint8_t* data, std::int32_t dataLength) {
            digest = digestOf(data, static_cast<std::size_t>(dataLength), digest);
            reason.outputBytes += static_cast<std::uint64_t>(dataLength);
            ++segments;
        },
        badOffset);
    if (status != ostrevel::FramingStatus::Ok) {
        return failed(ReasonCode::BrokenFraming, "broken framing at offset " +
                                                     std::to_string(badOffset) + ": " +
                                                     ostrevel::framingStatusText(status));
    }
    reason.outputDigest = digest;
    reason.text = std::to_string(segments) + (segments == 1 ? " segment" : " segments") +
                  " stripped, " + bytes(reason.outputBytes) + " of data";
    return reason;
}

}  // namespace

std::uint64_t digestOf(const std::uint8_t* bytes, std::size_t count, std::uint64_t digest) {
    for (std::size_t i = 0; i < count; ++i) {
        digest = (digest ^ bytes[i]) * FNV_PRIME;
    }
    return digest;
}

NodeSettings readSettings(const LoadedNode& node) {
    NodeSettings settings;
    settings.msgtypes = readBack(node, ostrevel::ATTRIBUTE_MSGTYPES);
    settings.direction = readBack(node, ostrevel::ATTRIBUTE_DIRECTION);
    settings.maxSize = readBack(node, ostrevel::ATTRIBUTE_MAXMSGDATASIZE);
    settings.policy = ostrevel::decodePolicy(settings.msgtypes.c_str(), settings.direction.c_str(),
                                             READ_BACK_CHARS);
    settings.capacity = ostrevel::parseDecimal(settings.maxSize.c_str());
    return settings;
}

Reason explainMessage(const NodeSettings& settings, const MessageShape& shape,
                      const std::vector<std::uint8_t>& body) {
    ostrevel::FormatBuffers buffers{};
    if (!readFormatValue(shape.mqmdFormat, buffers)) {
        return failed(ReasonCode::FormatUnreadable,
                      shape.mqmdFormat
                          ? "MQMD Format of " + std::to_string(shape.mqmdFormat->size()) +
                                " characters is longer than the node reads (" +
                                std::to_string(FORMAT_READ_CHARS) + ")"
                          : "the MQMD has no Format");
    }
    const bool ims = ostrevel::formatMatches(buffers.text, ostrevel::FORMAT_IMS);
    const bool imsvs = ostrevel::formatMatches(buffers.text, ostrevel::FORMAT_IMSVS);
    const ostrevel::Outcome outcome = ostrevel::classifyMessage(
        settings.policy, buffers,
        ostrevel::IihFormatSource{readIihFormat, const_cast<MessageShape*>(&shape)});
    const std::string mqmd = shown(*shape.mqmdFormat);
    const std::string msgtypes = "'" + brokersim::narrow(settings.msgtypes) + "'";
    switch (outcome) {
        case ostrevel::Outcome::Convert:
            return conversion(settings, body);
        case ostrevel::Outcome::Forward:
            return Reason{ReasonCode::ForwardedNotIms,
                          "MQMD Format " + mqmd + " is no IMS format; MSGTYPES " + msgtypes +
                              " forwards it unchanged",
                          true, false};
        case ostrevel::Outcome::Fail:
            break;
    }
    if (ims) {
        if (!shape.iihFormat) {
            return failed(ReasonCode::NoMqiih,
                          "MQMD Format is MQIMS but the message has no MQIIH header");
        }
        if (shape.iihFormat->size() > FORMAT_READ_CHARS) {
            return failed(ReasonCode::FormatUnreadable,
                          "MQIIH Format of " + std::to_string(shape.iihFormat->size()) +
                              " characters is longer than the node reads (" +
                              std::to_string(FORMAT_READ_CHARS) + ")");
        }
        return failed(ReasonCode::MqiihFormatNotImsvs,
                      "MQIIH Format " + shown(*shape.iihFormat) + " is not MQIMSVS");
    }
    if (imsvs) {
        return failed(ReasonCode::NoMqiihUnderImsiih,
                      "MQMD Format MQIMSVS has no MQIIH header, and MSGTYPES " + msgtypes +
                          " takes only messages with one");
    }
    return failed(
        ReasonCode::NotImsRefused,
        "MQMD Format " + mqmd + " is no IMS format; MSGTYPES " + msgtypes + " refuses it");
}

const char* reasonCodeName(ReasonCode code) {
    switch (code) {
        case ReasonCode::Converted:
            return "converted";
        case ReasonCode::ForwardedNotIms:
            return "forwarded-not-ims";
        case ReasonCode::NotImsRefused:
            return "not-ims";
        case ReasonCode::NoMqiih:
            return "no-mqiih";
        case ReasonCode::MqiihFormatNotImsvs:
            return "mqiih-format-not-mqimsvs";
        case ReasonCode::NoMqiihUnderImsiih:
            return "no-mqiih-under-imsiih";
        case ReasonCode::FormatUnreadable:
            return "format-unreadable";
        case ReasonCode::MaxSizeNegative:
            return "max-size-negative";
        case ReasonCode::MaxSizeZero:
            return "max-size-zero";
        case ReasonCode::OverMaxSize:
            return "over-max-size";
        case ReasonCode::TooLongForOneSegment:
            return "too-long-for-one-segment";
        case ReasonCode::BrokenFraming:
            return "broken-framing";
        case ReasonCode::BrokerError:
            return "broker-error";
        case ReasonCode::TerminalNotAttached:
            return "terminal-not-attached";
    }
    return "unknown";
}

std::string reasonLabel(ReasonCode code, const NodeSettings& settings) {
    switch (code) {
        case ReasonCode::Converted:
            return "converted";
        case ReasonCode::ForwardedNotIms:
            return "forwarded as not IMS";
        case ReasonCode::NotImsRefused:
            return "not IMS under MSGTYPES " + brokersim::narrow(settings.msgtypes);
        case ReasonCode::NoMqiih:
            return "MQIMS without an MQIIH header";
        case ReasonCode::MqiihFormatNotImsvs:
            return "MQIIH Format not MQIMSVS";
        case ReasonCode::NoMqiihUnderImsiih:
            return "no MQIIH under MSGTYPES IMSIIH";
        case ReasonCode::FormatUnreadable:
            return "Format too long to read";
        case ReasonCode::MaxSizeNegative:
            return "MAXMSGDATASIZE negative (" + std::to_string(settings.capacity) + ")";
        case ReasonCode::MaxSizeZero:
            return "MAXMSGDATASIZE 0";
        case ReasonCode::OverMaxSize:
            return "over MAXMSGDATASIZE " + std::to_string(settings.capacity);
        case ReasonCode::TooLongForOneSegment:
            return "too long for one segment";
        case ReasonCode::BrokenFraming:
            return "broken framing";
        case ReasonCode::BrokerError:
            return "broker error";
        case ReasonCode::TerminalNotAttached:
            return "terminal not attached";
    }
    return "unknown";
}

}  // namespace host
