// HostReason.h - why a message goes where it goes, worked out by ostrevel-host itself.
//
// The reason comes from the library's own classification and framing code applied to the
// same attributes (as the node holds them) and the same message; nothing of the plug-in's
// behaviour or log is changed or read for it. The run then compares the route the reason
// implies with the route the plug-in took: a differential check on every message.
#ifndef OSTREVEL_TOOLS_HOSTREASON_H
#define OSTREVEL_TOOLS_HOSTREASON_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Classification.h"
#include "Host.h"

namespace host {

// Stable codes, as --json gives them.
enum class ReasonCode {
    Converted,             // out: the body was reframed
    ForwardedNotIms,       // out: no IMS Format, MSGTYPES forwards such messages
    NotImsRefused,         // failure: no IMS Format, MSGTYPES (ALLIMS, IMSIIH) refuses them
    NoMqiih,               // failure: MQMD Format MQIMS, but no MQIIH header or no Format in it
    MqiihFormatNotImsvs,   // failure: MQMD Format MQIMS, MQIIH Format not MQIMSVS
    NoMqiihUnderImsiih,    // failure: MQMD Format MQIMSVS under MSGTYPES IMSIIH
    FormatUnreadable,      // failure: a Format value too long for the node's read
    MaxSizeNegative,       // failure: MAXMSGDATASIZE below 0
    MaxSizeZero,           // failure: MAXMSGDATASIZE 0 and a body that is not empty
    OverMaxSize,           // failure: a body longer than MAXMSGDATASIZE
    TooLongForOneSegment,  // failure: a TOIMS body over 32,767 bytes
    BrokenFraming,         // failure: a FROMIMS body that is not a valid run of segments
    // Seen only in what the plug-in did, never implied by the rules:
    BrokerError,          // the plug-in logged "Message not propagated"
    TerminalNotAttached,  // the message went nowhere
};
inline constexpr int REASON_CODES = 14;

// What the rules say of one message.
struct Reason {
    ReasonCode code;
    std::string text;                // the reason in words, with the sizes and offsets that matter
    bool toOut;                      // the terminal the rules imply: "out", else "failure"
    bool converted;                  // the rules imply a converted (new) message
    std::uint64_t outputDigest = 0;  // converted: digest of the body the rules produce
    std::uint64_t outputBytes = 0;   // converted: its size
};

// The node's settings, as it holds them (read back through its getAttribute).
struct NodeSettings {
    std::u16string msgtypes;
    std::u16string direction;
    std::u16string maxSize;
    ostrevel::NodePolicy policy{};
    std::int32_t capacity = 0;
};

// One message as the run gives it to the node.
struct MessageShape {
    std::optional<std::u16string> mqmdFormat;  // none: the MQMD has no Format
    std::optional<std::u16string> iihFormat;   // none: no MQIIH header
};

NodeSettings readSettings(const LoadedNode& node);
Reason explainMessage(const NodeSettings& settings, const MessageShape& shape,
                      const std::vector<std::uint8_t>& body);

// The digest the converted body is compared by (64-bit FNV-1a).
std::uint64_t digestOf(const std::uint8_t* bytes, std::size_t count,
                       std::uint64_t digest = 0xCBF29CE484222325ULL);

const char* reasonCodeName(ReasonCode code);
// A short label for the summary, e.g. "over MAXMSGDATASIZE 10".
std::string reasonLabel(ReasonCode code, const NodeSettings& settings);

}  // namespace host

#endif  // OSTREVEL_TOOLS_HOSTREASON_H
