// Host.h - ostrevel-host: load the plug-in as a broker does and try it on messages offline.
//
// `run` sends message bodies through a node of the loaded plug-in on the simulated broker and
// reports where each went; `inspect` lists the IMS segments of a framed body. Shared here:
// the exit codes, the usage error, and the plug-in loading.
#ifndef OSTREVEL_TOOLS_HOST_H
#define OSTREVEL_TOOLS_HOST_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BrokerInterface.h"

namespace host {

// Exit codes.
inline constexpr int EXIT_ALL_OUT = 0;  // run: every message reached "out"; inspect: valid
inline constexpr int EXIT_NOT_ALL_OUT =
    1;                                // run: some went to "failure" or nowhere; inspect: invalid
inline constexpr int EXIT_USAGE = 2;  // a usage, input or loading error

inline constexpr char TOOL_NAME[] = "ostrevel-host";

// A problem with what the user gave: reported as one line, exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The node's attributes as given on the command line, in the order they are set.
using Attributes = std::vector<std::pair<std::string, std::string>>;

// A node of the plug-in's class, created through its function table.
struct LoadedNode {
    NodeFunctionTable* table = nullptr;
    void* context = nullptr;
};

// Loads the plug-in at `path` with dlopen, calls its export and creates one node with the
// given attributes. Throws UsageError with a clear message for every failure.
LoadedNode loadNode(const std::string& path, const Attributes& attributes);

// The plug-in to load: --plugin, else $OSTREVEL_PLUGIN, else the one installed with this
// program or built beside it.
std::string defaultPluginPath(const char* argv0);

// Reads a whole file ("-" is standard input). Throws UsageError when it cannot.
std::vector<std::uint8_t> readFile(const std::string& path);

// Commands; they return the exit code.
int runCommand(const std::vector<std::string>& args, const char* argv0);
int inspectCommand(const std::vector<std::string>& args);

}  // namespace host

#endif  // OSTREVEL_TOOLS_HOST_H
