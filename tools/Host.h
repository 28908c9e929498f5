// Host.h - ostrevel-host: load the plug-in as a broker does and try it on messages offline.
//
// `run` sends message bodies through a node of the loaded plug-in on the simulated broker and
// reports where each went and why; `inspect` lists the IMS segments of a framed body. Shared
// here: the exit codes, the error that ends a run, checked reading and writing, and the
// plug-in loading.
#ifndef OSTREVEL_TOOLS_HOST_H
#define OSTREVEL_TOOLS_HOST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BrokerInterface.h"

namespace host {

// Exit codes.
inline constexpr int EXIT_ALL_OUT = 0;      // run: every message reached "out"; inspect: valid
inline constexpr int EXIT_NOT_ALL_OUT = 1;  // run: some went to "failure" or nowhere;
                                            // inspect: invalid
inline constexpr int EXIT_ERROR = 2;        // a usage, input, output or loading error, or a
                                            // disagreement between the plug-in and its rules

inline constexpr char TOOL_NAME[] = "ostrevel-host";
inline constexpr char STDIN_NAME[] = "-";

// The largest input read by default: MQ's largest message, 100 MiB.
inline constexpr std::size_t DEFAULT_MAX_INPUT_BYTES = 100U * 1024U * 1024U;

// A problem that ends the command: reported as one line naming its file or stream and the
// reason, exit code 2.
class HostError : public std::runtime_error {
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
// given attributes. Throws HostError with a clear message for every failure.
LoadedNode loadNode(const std::string& path, const Attributes& attributes);

// The plug-in to load when --plugin is not given: $OSTREVEL_PLUGIN, else the one installed
// with this program or built beside it.
std::string defaultPluginPath(const char* argv0);

// Standard streams. Call once at start: a closed standard input or error gets /dev/null in
// its place (so that no file opened later takes its number), and is remembered; a closed
// standard output is an error, as every command writes there.
void guardStandardStreams();

// Reads a whole file ("-": standard input) of at most `limit` bytes. Throws HostError naming
// the file and the system's reason when it cannot be opened or read, is a folder, is larger
// than `limit`, or (standard input) is closed.
std::vector<std::uint8_t> readInput(const std::string& path, std::size_t limit);

// Writes all of `bytes` to a new file at `path`, failing if it exists, and closes it. Throws
// HostError naming the file and the reason on any failure; the file is then removed.
void writeNewFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Checked writing to standard output or error. A failed write throws HostError naming the
// stream and the reason; a closed pipe (EPIPE) ends the process quietly, as usual.
void writeTo(std::FILE* stream, const std::string& text);
void writeBytesTo(std::FILE* stream, const std::uint8_t* bytes, std::size_t count);
// Flushes and closes standard output, checked: what was not written is reported.
void finishStandardOutput();

// Commands; they return the exit code.
int runCommand(const std::vector<std::string>& args, const char* argv0);
int inspectCommand(const std::vector<std::string>& args);

}  // namespace host

#endif  // OSTREVEL_TOOLS_HOST_H
