// HostInspect.cpp - `ostrevel-host inspect`: the segments of a framed body, by the same rule
// the node strips them with.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>

#include "Host.h"
#include "HostSegments.h"
#include "HostText.h"

namespace host {
namespace {

constexpr std::size_t FIRST_BYTES = 8;  // data bytes shown per segment without --hex
constexpr std::size_t HEX_LINE = 16;
constexpr int HEX_COLUMN_FIRST = 3 * static_cast<int>(FIRST_BYTES) - 1;
constexpr int HEX_COLUMN_FULL = 3 * static_cast<int>(HEX_LINE) - 1;

std::string hex(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += digits;
    }
    return out;
}

std::string text(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(std::isprint(bytes[i]) != 0 ? static_cast<char>(bytes[i]) : '.');
    }
    return out;
}

}  // namespace

int inspectCommand(const std::vector<std::string>& args) {
    bool fullHex = false;
    std::string path;
    for (const std::string& arg : args) {
        if (arg == "--hex") {
            fullHex = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            throw HostError("inspect: unknown option " + arg);
        } else if (path.empty()) {
            path = arg;
        } else {
            throw HostError("inspect: give one FILE");
        }
    }
    if (path.empty()) {
        throw HostError("inspect: give the FILE to inspect");
    }
    std::vector<std::uint8_t> body;
    try {
        body = readInput(path, INT32_MAX);
    } catch (const std::bad_alloc&) {
        throw HostError("out of memory while reading " + path);
    }
    const auto n = static_cast<std::int32_t>(body.size());

    writeTo(stdout, formatted("%s: %d bytes\n", path.c_str(), n));
    writeTo(stdout,
            formatted("%8s  %5s  %5s  %6s  %s\n", "offset", "LL", "ZZ", "data", "first bytes"));
    std::int32_t segments = 0;
    std::int64_t dataBytes = 0;
    std::int32_t badOffset = 0;
    const ostrevel::FramingStatus status = walkSegments(
        body,
        [&](std::int32_t offset, const std::uint8_t* data, std::int32_t dataLength) {
            const std::uint8_t* prefix = data - ostrevel::SEGMENT_PREFIX_BYTES;
            const auto length = static_cast<std::size_t>(dataLength);
            const std::size_t shown =
                fullHex ? std::min(length, HEX_LINE) : std::min(length, FIRST_BYTES);
            const int hexWidth = fullHex ? HEX_COLUMN_FULL : HEX_COLUMN_FIRST;
            writeTo(stdout, formatted("%8d  %5d  %5s  %6d  %-*s  |%s|%s\n", offset,
                                      dataLength + ostrevel::SEGMENT_PREFIX_BYTES,
                                      hex(prefix + 2, 2).c_str(), dataLength, hexWidth,
                                      hex(data, shown).c_str(), text(data, shown).c_str(),
                                      !fullHex && length > shown ? " ..." : ""));
            for (std::size_t line = HEX_LINE; fullHex && line < length; line += HEX_LINE) {
                const std::size_t count = std::min(HEX_LINE, length - line);
                writeTo(stdout, formatted("%8s  %5s  %5s  %6s  %-47s  |%s|\n", "", "", "", "",
                                          hex(data + line, count).c_str(),
                                          text(data + line, count).c_str()));
            }
            ++segments;
            dataBytes += dataLength;
        },
        badOffset);
    if (status != ostrevel::FramingStatus::Ok) {
        writeTo(stdout, formatted("invalid at offset %d: %s\n", badOffset,
                                  ostrevel::framingStatusText(status)));
        writeTo(stdout, formatted("the node sends such a body unchanged to \"failure\"\n"));
        return EXIT_NOT_ALL_OUT;
    }
    writeTo(stdout, formatted("valid: %d segment%s, %lld data bytes\n", segments,
                              segments == 1 ? "" : "s", static_cast<long long>(dataBytes)));
    return EXIT_ALL_OUT;
}

}  // namespace host
