// BrokerLog.h - writing entries to the broker's log, the only log the library has.
#ifndef OSTREVEL_SRC_BROKERLOG_H
#define OSTREVEL_SRC_BROKERLOG_H

#include <cstdint>

#include "BrokerInterface.h"

namespace ostrevel {

// The message source named in every entry.
inline constexpr char16_t LOG_MESSAGE_SOURCE[] = u"MQSeriesIntegrator2";

// The file name of a source path without its folders, worked out at compile time.
constexpr const char* sourceBaseName(const char* path) {
    const char* base = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            base = c + 1;
        }
    }
    return base;
}

// Writes one entry with no inserts: the text is followed by the closing null pointer. The
// broker's code is left in *rc and not examined.
inline void writeLogEntry(int* rc, std::int32_t type, const char* module, std::int32_t line,
                          const char* function, std::uint32_t messageNumber, const char* text) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the broker's log call is variadic
    cciLog(rc, type, module, line, function, LOG_MESSAGE_SOURCE, messageNumber, text,
           static_cast<const char*>(nullptr));
}

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_BROKERLOG_H
