// Ostrevel.h - the plug-in's export and the node class registration.
#ifndef OSTREVEL_SRC_OSTREVEL_H
#define OSTREVEL_SRC_OSTREVEL_H

#include "BrokerInterface.h"

namespace ostrevel {

inline constexpr char16_t FACTORY_NAME[] = u"OstrevelFactory";
inline constexpr char LOG_TEXT_LOADING[] = "Plugin <OstrevelFactory> loading";
inline constexpr char LOG_FUNCTION_EXPORT[] = "bipGetMessageflowNodeFactory()";
inline constexpr std::uint32_t LOG_NUMBER_LOADING = 0;

// The plug-in file carries its version as "@(#)ostrevel " then the version, the mark that
// what(1) looks for; ostrevel-host --version reads it from the file.
inline constexpr char VERSION_MARK_PREFIX[] = "@(#)ostrevel ";

// The process-wide table handed to the broker; filled by every call of the export.
const NodeFunctionTable& nodeFunctionTable();

}  // namespace ostrevel

#endif  // OSTREVEL_SRC_OSTREVEL_H
