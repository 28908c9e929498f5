// HostMain.cpp - ostrevel-host's entry point, plug-in loading and file reading.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "BrokerSim.h"
#include "Host.h"
#include "Ostrevel.h"

namespace host {
namespace {

constexpr char PLUGIN_FILE[] = "libostrevel.so";
constexpr char EXPORT_NAME[] = "bipGetMessageflowNodeFactory";
constexpr char16_t NODE_CLASS[] = u"OstrevelNode";
constexpr std::size_t MAX_VERSION_CHARS = 40;  // a version mark is read no further

constexpr char USAGE[] = R"(Usage: ostrevel-host run [OPTIONS] [--] [FILE...]
  or:  ostrevel-host inspect [--hex] FILE
  or:  ostrevel-host help | --help | --version

Loads the Ostrevel plug-in as a message broker does, on a simulated broker, and shows
offline where messages go and why.

run: sends each FILE ("-" or none: standard input) through a node of the plug-in and prints
one line per message: the input, the route it took, its sizes, where its output was
written, the log entry, and the reason for the route. The reason comes from the node's own
rules applied to the same attributes and message; the run checks that the plug-in took the
route the reason implies and reports a DISAGREEMENT when it did not. A summary counts the
messages by route and reason. Messages are read and sent a window at a time, so memory
stays bounded whatever the batch.

Node options (the node's attributes; unset ones keep the node's defaults):
  --msgtypes VALUE       MSGTYPES: ANY, IMSIIH or ALLIMS
  --direction VALUE      DIRECTION: TOIMS wraps bodies, anything else strips them
  --max-size BYTES       MAXMSGDATASIZE: the largest body the node converts (default 0)
  --debug VALUE          DEBUG: stored only
  --set NAME=VALUE       any attribute by name
  --plugin PATH          the plug-in to load (default: $OSTREVEL_PLUGIN, else the one
                         installed or built beside this program)

Message options:
  --mqmd-format F        MQMD Format of every FILE (padded with blanks to 8 characters)
  --iih-format F         give every FILE an MQIIH header with this Format
  --manifest FILE        a batch with its own Formats, one message a line:
                           BODY-FILE  MQMD-FORMAT  [MQIIH-FORMAT]
                         ('#' starts a comment; paths are relative to the manifest;
                         "-" is standard input, once; no --mqmd-format or --iih-format)
  --max-input-size N     refuse a FILE larger than N bytes (default 104857600, MQ's
                         largest message)

Output options:
  --output DIR           write what each terminal received to DIR/TERMINAL/PATH, PATH being
                         the input's path below the inputs' common folder; DIR must be
                         empty or new
  --force                with --output: first remove DIR/out and DIR/failure
  --json                 one JSON object per line, always on standard output, instead of
                         the table
  --jobs N               evaluate on N threads at once (default 1)
  --                     ends the options: every later argument is a FILE

Without --output and --json, a single message's body goes to standard output and the
report to standard error.

Exit status: 0 when every message reached "out", 1 when any went to "failure" or nowhere,
2 for a usage, input, output or loading error, or a disagreement between the plug-in and
its rules. Every error is one line that names its file or stream.

inspect: lists the IMS segments of a framed body (offset, LL, ZZ, data length, first bytes)
and, for a body the node would refuse, the offset and the reason. --hex shows all the data.
Exit status 0 for a valid body, 1 for an invalid one, 2 for an error.

--version: the version of this program and of the plug-in it would load.
)";

// The version of the plug-in file at `path`, read from its version mark; a text that says
// why when there is none.
std::string pluginVersion(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = readInput(path, DEFAULT_MAX_INPUT_BYTES);
    } catch (const HostError& error) {
        return error.what();
    }
    const std::string prefix = ostrevel::VERSION_MARK_PREFIX;
    const auto mark = std::search(bytes.begin(), bytes.end(), prefix.begin(), prefix.end());
    if (mark == bytes.end()) {
        return path + ": no version mark (not an Ostrevel plug-in, or one older than 0.1.0)";
    }
    std::string version;
    for (auto c = mark + static_cast<std::ptrdiff_t>(prefix.size());
         c != bytes.end() && *c != 0 && version.size() < MAX_VERSION_CHARS; ++c) {
        version.push_back(static_cast<char>(*c));
    }
    return path + ", version " + version;
}

int versionCommand(const char* argv0) {
    writeTo(stdout, std::string(TOOL_NAME) + " " + OSTREVEL_VERSION + "\n");
    writeTo(stdout, "plug-in: " + pluginVersion(defaultPluginPath(argv0)) + "\n");
    return EXIT_ALL_OUT;
}

}  // namespace

std::string defaultPluginPath(const char* argv0) {
    if (const char* fromEnvironment = std::getenv("OSTREVEL_PLUGIN")) {
        return fromEnvironment;
    }
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        self = std::filesystem::absolute(argv0, error);
    }
    const std::filesystem::path folder = self.parent_path();
    const std::filesystem::path installed = folder / OSTREVEL_PLUGIN_DIR_FROM_BIN / PLUGIN_FILE;
    for (const auto& candidate : {installed, folder / ".." / PLUGIN_FILE, folder / PLUGIN_FILE}) {
        if (std::filesystem::exists(candidate, error)) {
            return candidate.lexically_normal().string();
        }
    }
    return installed.lexically_normal().string();
}

LoadedNode loadNode(const std::string& path, const Attributes& attributes) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw HostError("cannot load plug-in " + path + ": no such file (give --plugin PATH)");
    }
    // RTLD_LOCAL as a broker loads plug-ins: the plug-in sees the broker's functions, no
    // other plug-in sees the plug-in's.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw HostError("cannot load plug-in " + path + ": " +
                        (reason != nullptr ? reason : "not a loadable library"));
    }
    void* symbol = dlsym(handle, EXPORT_NAME);
    if (symbol == nullptr) {
        throw HostError(path + " is not an Ostrevel plug-in: it does not export " +
                        std::string(EXPORT_NAME));
    }
    BrokerFactory* factory = reinterpret_cast<BrokerFactory* (*)()>(symbol)();
    LoadedNode node;
    node.table = factory == nullptr ? nullptr : brokersim::definedTable(factory, NODE_CLASS);
    if (node.table == nullptr) {
        throw HostError(path + " did not define the node class OstrevelNode");
    }
    node.context = brokersim::createNode(*node.table).context;
    if (node.context == nullptr) {
        throw HostError("the plug-in could not create a node (out of memory)");
    }
    for (const auto& [name, value] : attributes) {
        const std::u16string wideName = brokersim::wide(name);
        const std::u16string wideValue = brokersim::wide(value);
        if (node.table->setAttribute(node.context, wideName.c_str(), wideValue.c_str()) != 0) {
            throw HostError("unknown attribute " + name +
                            " (the node has MSGTYPES, DIRECTION, MAXMSGDATASIZE and DEBUG)");
        }
    }
    return node;
}

}  // namespace host

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        host::guardStandardStreams();
        int code = host::EXIT_ERROR;
        if (args.empty()) {
            host::writeTo(stderr, host::USAGE);
            return host::EXIT_ERROR;
        }
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
            host::writeTo(stdout, host::USAGE);
            code = host::EXIT_ALL_OUT;
        } else if (args[0] == "--version") {
            code = host::versionCommand(argv[0]);
        } else if (args[0] == "run") {
            code = host::runCommand(rest, argv[0]);
        } else if (args[0] == "inspect") {
            code = host::inspectCommand(rest);
        } else {
            throw host::HostError("unknown command " + args[0] + " (run, inspect or help)");
        }
        host::finishStandardOutput();  // a report that did not reach its reader is an error
        return code;
    } catch (const host::HostError& error) {
        std::fprintf(stderr, "%s: %s\n", host::TOOL_NAME, error.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", host::TOOL_NAME);
    } catch (const std::exception& error) {  // nothing else is foreseen
        std::fprintf(stderr, "%s: %s\n", host::TOOL_NAME, error.what());
    }
    return host::EXIT_ERROR;
}
