// HostRun.cpp - `ostrevel-host run`: sends message bodies through a node and reports, for
// each, the terminal it reached, why (by the library's own rules), its sizes and the log
// entry written; and checks that the plug-in took the route its rules imply.
//
// Messages go through in windows of a bounded count and size: a window's bodies are read,
// evaluated on the requested threads, reported and released before the next window is read,
// so that memory stays bounded whatever the batch.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <exception>
#include <filesystem>
#include <new>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "BrokerSim.h"
#include "Host.h"
#include "HostReason.h"
#include "HostText.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t FORMAT_CHARS = 8;  // an MQ Format field is 8 characters
constexpr int MAX_JOBS = 256;
constexpr std::size_t PROGRESS_FROM = 20;  // messages in a batch before a progress bar shows
constexpr int PROGRESS_WIDTH = 30;
constexpr std::size_t NAME_COLUMN_MAX = 40;
constexpr std::size_t OUTPUT_COLUMN_MAX = 50;
constexpr int LOG_COLUMN = 31;  // "information: Message propagated"
// A window closes at this many messages or once its bodies reach this many bytes.
constexpr std::size_t WINDOW_MESSAGES = 256;
constexpr std::size_t WINDOW_BYTES = 16U * 1024U * 1024U;
constexpr char STDIN_OUTPUT_NAME[] = "stdin";
constexpr char TERMINAL_OUT[] = "out";
constexpr char TERMINAL_FAILURE[] = "failure";

// One message of the batch, before its body is read.
struct Entry {
    std::string name;  // as the user wrote it
    std::string path;  // what to read: a file, or "-" for standard input
    std::string mqmdFormat;
    std::optional<std::string> iihFormat;
    std::string outputName;  // its path below DIR/TERMINAL/ with --output
};

struct Options {
    Attributes attributes;
    std::optional<std::string> plugin;
    std::optional<std::string> mqmdFormat;
    std::optional<std::string> iihFormat;
    std::optional<std::string> manifest;
    std::optional<std::string> output;
    bool force = false;
    bool json = false;
    int jobs = 1;
    std::size_t maxInput = DEFAULT_MAX_INPUT_BYTES;
    std::vector<std::string> files;
};

// What the plug-in did with one message, as the simulated broker recorded it.
struct Observed {
    std::optional<std::string> terminal;  // none: the message went nowhere
    bool converted = false;
    std::vector<std::uint8_t> sentBody;
    std::optional<brokersim::LogRecord> log;
};

std::string padded(std::string format) {
    if (format.size() < FORMAT_CHARS) {
        format.append(FORMAT_CHARS - format.size(), ' ');
    }
    return format;
}

// A whole number within [low, high], or nothing.
std::optional<long long> wholeNumber(const std::string& text, long long low, long long high) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

Options parseOptions(const std::vector<std::string>& args) {
    Options options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                throw HostError("run: " + arg + " needs a value");
            }
            return args[++i];
        };
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            options.files.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--msgtypes") {
            options.attributes.emplace_back("MSGTYPES", value());
        } else if (arg == "--direction") {
            options.attributes.emplace_back("DIRECTION", value());
        } else if (arg == "--max-size") {
            const std::string& size = value();
            if (!wholeNumber(size, INT32_MIN, INT32_MAX)) {
                throw HostError("run: --max-size needs a whole number of bytes, not '" + size +
                                "'");
            }
            options.attributes.emplace_back("MAXMSGDATASIZE", size);
        } else if (arg == "--debug") {
            options.attributes.emplace_back("DEBUG", value());
        } else if (arg == "--set") {
            const std::string& assignment = value();
            const std::size_t equals = assignment.find('=');
            if (equals == std::string::npos || equals == 0) {
                throw HostError("run: --set needs NAME=VALUE, not '" + assignment + "'");
            }
            options.attributes.emplace_back(assignment.substr(0, equals),
                                            assignment.substr(equals + 1));
        } else if (arg == "--plugin") {
            options.plugin = value();
            if (options.plugin->empty()) {
                throw HostError("run: --plugin needs the path of a plug-in, not ''");
            }
        } else if (arg == "--mqmd-format") {
            options.mqmdFormat = value();
        } else if (arg == "--iih-format") {
            options.iihFormat = value();
        } else if (arg == "--manifest") {
            options.manifest = value();
        } else if (arg == "--output") {
            options.output = value();
            if (options.output->empty()) {
                throw HostError("run: --output needs a folder, not ''");
            }
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--jobs") {
            const std::string& jobs = value();
            const std::optional<long long> number = wholeNumber(jobs, 1, MAX_JOBS);
            if (!number) {
                throw HostError("run: --jobs needs a number from 1 to " + std::to_string(MAX_JOBS) +
                                ", not '" + jobs + "'");
            }
            options.jobs = static_cast<int>(*number);
        } else if (arg == "--max-input-size") {
            const std::string& size = value();
            const std::optional<long long> number = wholeNumber(size, 0, INT32_MAX);
            if (!number) {
                throw HostError("run: --max-input-size needs a number of bytes from 0 to " +
                                std::to_string(INT32_MAX) + ", not '" + size + "'");
            }
            options.maxInput = static_cast<std::size_t>(*number);
        } else {
            throw HostError("run: unknown option " + arg + " (see ostrevel-host help)");
        }
    }
    if (options.manifest && !options.files.empty()) {
        throw HostError("run: give either FILEs or --manifest, not both");
    }
    if (options.manifest && (options.mqmdFormat || options.iihFormat)) {
        throw HostError(
            "run: --mqmd-format and --iih-format do not go with --manifest: the "
            "manifest gives each message's Formats");
    }
    if (!options.manifest && !options.mqmdFormat) {
        throw HostError(
            "run: give the messages' --mqmd-format (for example MQIMSVS), or a --manifest");
    }
    if (std::count(options.files.begin(), options.files.end(), STDIN_NAME) > 1) {
        throw HostError("run: standard input can be read only once");
    }
    if (options.force && !options.output) {
        throw HostError("run: --force goes with --output");
    }
    return options;
}

// Splits a manifest line into whitespace-separated fields; "..." keeps blanks in a field.
std::vector<std::string> fields(const std::string& line, const std::string& where) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i])) != 0) {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        std::string field;
        if (line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                throw HostError(where + ": unclosed quote");
            }
            field = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])) == 0) {
                field.push_back(line[i++]);
            }
        }
        out.push_back(field);
    }
    return out;
}

// The manifest's messages; body paths are relative to the manifest's folder, and "-" is
// standard input, at most once.
std::vector<Entry> readManifest(const std::string& path, std::size_t limit) {
    const std::vector<std::uint8_t> content = readInput(path, limit);
    std::istringstream stream(std::string(content.begin(), content.end()));
    const fs::path folder = path == STDIN_NAME ? fs::path() : fs::path(path).parent_path();
    std::vector<Entry> entries;
    bool standardInputUsed = false;
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        const std::string where =
            (path == STDIN_NAME ? "standard input" : path) + ":" + std::to_string(number);
        const std::vector<std::string> parts = fields(line, where);
        if (parts.empty()) {
            continue;
        }
        if (parts.size() < 2 || parts.size() > 3) {
            throw HostError(where + ": expected BODY-FILE MQMD-FORMAT [MQIIH-FORMAT]");
        }
        Entry entry;
        entry.name = parts[0];
        if (parts[0] == STDIN_NAME) {
            if (path == STDIN_NAME) {
                throw HostError(where + ": '-' names standard input, which holds the manifest");
            }
            if (standardInputUsed) {
                throw HostError(where + ": standard input ('-') can be read only once");
            }
            standardInputUsed = true;
            entry.path = STDIN_NAME;
        } else {
            const fs::path body = parts[0];
            entry.path = body.is_absolute() ? body.string() : (folder / body).string();
        }
        entry.mqmdFormat = padded(parts[1]);
        if (parts.size() == 3 && parts[2] != "-") {
            entry.iihFormat = padded(parts[2]);
        }
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        throw HostError("manifest " + path + " names no message");
    }
    return entries;
}

std::vector<Entry> batchOf(const Options& options) {
    if (options.manifest) {
        return readManifest(*options.manifest, options.maxInput);
    }
    std::vector<std::string> files = options.files;
    if (files.empty()) {
        files.emplace_back(STDIN_NAME);
    }
    std::vector<Entry> entries;
    for (const std::string& file : files) {
        Entry entry;
        entry.name = file == STDIN_NAME ? "(stdin)" : file;
        entry.path = file;
        entry.mqmdFormat = padded(*options.mqmdFormat);
        if (options.iihFormat) {
            entry.iihFormat = padded(*options.iihFormat);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Gives every entry its output path: its own path relative to the inputs' common folder, so
// that two inputs never share an output and each output tells its input. Standard input's
// output is "stdin".
void nameOutputs(std::vector<Entry>& entries) {
    std::vector<fs::path> absolute(entries.size());
    std::optional<fs::path> base;
    std::set<fs::path> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].path == STDIN_NAME) continue;
        std::error_code error;
        absolute[i] = fs::absolute(entries[i].path, error).lexically_normal();
        if (error) {
            throw HostError("cannot name the output of " + entries[i].name + ": " +
                            error.message());
        }
        if (!seen.insert(absolute[i]).second) {
            throw HostError(entries[i].name + " is in the batch twice: each input is run once");
        }
        const fs::path folder = absolute[i].parent_path();
        if (!base) {
            base = folder;
            continue;
        }
        // The common folder: the leading components both paths share.
        fs::path common;
        auto a = base->begin();
        auto b = folder.begin();
        for (; a != base->end() && b != folder.end() && *a == *b; ++a, ++b) common /= *a;
        base = common;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].outputName = entries[i].path == STDIN_NAME
                                    ? STDIN_OUTPUT_NAME
                                    : absolute[i].lexically_relative(*base).string();
    }
    const bool standardInput = std::any_of(entries.begin(), entries.end(),
                                           [](const Entry& e) { return e.path == STDIN_NAME; });
    for (const Entry& entry : entries) {
        if (standardInput && entry.path != STDIN_NAME && entry.outputName == STDIN_OUTPUT_NAME) {
            throw HostError("the output of " + entry.name +
                            " would take the name of standard input's output, 'stdin'");
        }
    }
}

// Makes the output folder ready: refuses a folder that is not empty unless --force, which
// first removes this tool's own out/ and failure/ folders from it.
void prepareOutputFolder(const std::string& folder, bool force) {
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        throw HostError("cannot use output folder " + folder + ": it exists and is not a folder");
    }
    if (fs::is_directory(status)) {
        const bool empty = fs::is_empty(folder, error);
        if (error) {
            throw HostError("cannot read output folder " + folder + ": " + error.message());
        }
        if (!empty && !force) {
            throw HostError("output folder " + folder +
                            " is not empty: give --force to replace its out/ and failure/ "
                            "folders");
        }
        for (const char* terminal : {TERMINAL_OUT, TERMINAL_FAILURE}) {
            fs::remove_all(fs::path(folder) / terminal, error);
            if (error) {
                throw HostError("cannot clear " + (fs::path(folder) / terminal).string() + ": " +
                                error.message());
            }
        }
    }
    fs::create_directories(folder, error);
    if (error) {
        throw HostError("cannot create output folder " + folder + ": " + error.message());
    }
}

void writeOutput(const fs::path& path, const std::vector<std::uint8_t>& body) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) {
        throw HostError("cannot create folder " + path.parent_path().string() + ": " +
                        error.message());
    }
    writeNewFile(path.string(), body);
}

void showProgress(std::size_t done, std::size_t total) {
    const auto filled = static_cast<int>(done * PROGRESS_WIDTH / total);
    writeTo(stderr, "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                        std::string(static_cast<std::size_t>(PROGRESS_WIDTH - filled), ' ') + "] " +
                        std::to_string(done) + "/" + std::to_string(total));
}

std::string logText(const std::optional<brokersim::LogRecord>& log) {
    if (!log) return "-";
    return std::string(log->type == LOG_ERROR ? "error: " : "information: ") + log->text;
}

std::string routeText(const Observed& observed) {
    if (!observed.terminal) return "nowhere";
    return std::string(observed.converted ? "converted" : "unchanged") + " -> " +
           *observed.terminal;
}

// Whether what the plug-in did is what the rules say; `why` tells how it differs.
bool agrees(const Reason& reason, const Observed& observed, std::string& why) {
    const std::string expected = std::string(reason.converted ? "converted" : "unchanged") +
                                 " -> " + (reason.toOut ? TERMINAL_OUT : TERMINAL_FAILURE);
    if (routeText(observed) != expected) {
        why = "the plug-in sent it " + routeText(observed) + ", the rules say " + expected;
        return false;
    }
    if (reason.converted &&
        (observed.sentBody.size() != reason.outputBytes ||
         digestOf(observed.sentBody.data(), observed.sentBody.size()) != reason.outputDigest)) {
        why = "the plug-in's converted body (" + std::to_string(observed.sentBody.size()) +
              " bytes) differs from the rules' (" + std::to_string(reason.outputBytes) + " bytes)";
        return false;
    }
    return true;
}

// A reason that only what the plug-in did can show: a failed propagation, or none.
std::optional<ReasonCode> observedOnly(const Observed& observed) {
    if (observed.log && observed.log->type == LOG_ERROR) return ReasonCode::BrokerError;
    if (!observed.terminal) return ReasonCode::TerminalNotAttached;
    return std::nullopt;
}

// The whole run: its settings, where it reports, and what it has counted.
class Run {
public:
    Run(const Options& options, LoadedNode node, std::vector<Entry> entries)
        : options_(options),
          node_(node),
          entries_(std::move(entries)),
          settings_(readSettings(node_)),
          bodyToStdout_(entries_.size() == 1 && !options.output && !options.json),
          report_(bodyToStdout_ ? stderr : stdout),
          progress_(isatty(STDERR_FILENO) != 0 && isatty(STDOUT_FILENO) == 0 &&
                    entries_.size() >= PROGRESS_FROM) {
        for (const Entry& entry : entries_) {
            nameWidth_ =
                std::max(nameWidth_, std::min(quotedName(entry.name).size(), NAME_COLUMN_MAX));
            if (options.output) {
                outputWidth_ = std::max(
                    outputWidth_, std::min(outputPath(entry, TERMINAL_FAILURE).string().size(),
                                           OUTPUT_COLUMN_MAX));
            }
        }
    }

    int execute() {
        warnAboutSettings();
        if (options_.output) {
            prepareOutputFolder(*options_.output, options_.force);
        }
        for (std::size_t first = 0; first < entries_.size();) {
            first = runWindow(first);
        }
        if (progress_) writeTo(stderr, "\n");
        if (bodyToStdout_ && single_) {
            if (isatty(STDOUT_FILENO) != 0) {
                writeTo(stderr,
                        "(body not written to a terminal: redirect it, or use --output "
                        "DIR)\n");
            } else {
                writeBytesTo(stdout, single_->data(), single_->size());
            }
        }
        writeSummary();
        if (disagreements_ > 0) {
            writeTo(stderr, std::string(TOOL_NAME) + ": " + std::to_string(disagreements_) +
                                " message" + (disagreements_ == 1 ? "" : "s") +
                                " went elsewhere than the node's own rules say (see above): "
                                "the plug-in and its rules disagree\n");
            return EXIT_ERROR;
        }
        return toOut_ == entries_.size() ? EXIT_ALL_OUT : EXIT_NOT_ALL_OUT;
    }

private:
    // Reads, evaluates, reports and releases the window that starts at `first`; returns the
    // first entry of the next window.
    std::size_t runWindow(std::size_t first) {
        std::vector<Reason> reasons;
        std::vector<std::uint64_t> sizes;
        std::vector<BrokerMessage*> inputs;
        std::size_t bytes = 0;
        std::size_t end = first;
        while (end < entries_.size() && end - first < WINDOW_MESSAGES &&
               (end == first || bytes < WINDOW_BYTES)) {
            const Entry& entry = entries_[end];
            try {
                brokersim::MessageLayout layout;
                layout.body = readInput(entry.path, options_.maxInput);
                const MessageShape shape{brokersim::wide(entry.mqmdFormat),
                                         entry.iihFormat ? std::optional<std::u16string>(
                                                               brokersim::wide(*entry.iihFormat))
                                                         : std::nullopt};
                reasons.push_back(explainMessage(settings_, shape, layout.body));
                sizes.push_back(layout.body.size());
                bytes += layout.body.size();
                layout.mqmdFormat = shape.mqmdFormat;
                layout.withIih = shape.iihFormat.has_value();
                layout.iihFormat = shape.iihFormat;
                inputs.push_back(brokersim::makeMessage(layout));  // the simulator's copy
            } catch (const std::bad_alloc&) {
                throw HostError("out of memory while reading " + entry.name);
            }
            ++end;
        }
        evaluateWindow(first, inputs);

        std::vector<Observed> observed(inputs.size());
        for (brokersim::Propagation& sent : brokersim::takePropagations()) {
            if (sent.tag <= first || sent.tag > end) continue;
            Observed& o = observed[sent.tag - 1 - first];
            o.terminal = brokersim::narrow(sent.terminalName);
            o.converted = sent.sent != inputs[sent.tag - 1 - first];
            o.sentBody = std::move(sent.copy.body).value_or(std::vector<std::uint8_t>{});
        }
        for (brokersim::LogRecord& entry : brokersim::takeLogRecords()) {
            if (entry.tag <= first || entry.tag > end) continue;
            observed[entry.tag - 1 - first].log = std::move(entry);
        }
        brokersim::clearRecords();  // the window's messages go

        for (std::size_t i = first; i < end; ++i) {
            report(entries_[i], reasons[i - first], sizes[i - first], observed[i - first]);
            if (progress_) showProgress(i + 1, entries_.size());
        }
        return end;
    }

    // Evaluates the window's messages on the requested threads. Each thread tags what it makes
    // the broker record with the message's number; nothing a thread throws escapes it.
    void evaluateWindow(std::size_t first, const std::vector<BrokerMessage*>& inputs) {
        std::vector<std::exception_ptr> errors(inputs.size());
        std::atomic<std::size_t> next{0};
        auto worker = [&]() noexcept {
            for (std::size_t i = next++; i < inputs.size(); i = next++) {
                try {
                    brokersim::setThreadTag(first + i + 1);
                    node_.table->evaluate(node_.context, brokersim::opaqueHandle(1),
                                          brokersim::opaqueHandle(2), inputs[i]);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
                brokersim::setThreadTag(0);
            }
        };
        std::vector<std::thread> threads;
        try {
            const auto extra = std::min(static_cast<std::size_t>(options_.jobs), inputs.size());
            for (std::size_t t = 1; t < extra; ++t) threads.emplace_back(worker);
        } catch (const std::system_error&) {
            // Fewer threads than asked: the ones running, and this one, do the work.
        }
        worker();
        for (auto& thread : threads) thread.join();
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (!errors[i]) continue;
            const std::string& name = entries_[first + i].name;
            try {
                std::rethrow_exception(errors[i]);
            } catch (const std::bad_alloc&) {
                throw HostError("out of memory while evaluating " + name);
            } catch (const std::exception& error) {
                throw HostError("evaluating " + name + " raised: " + error.what());
            } catch (...) {  // a plug-in may throw anything; it still ends as one line
                throw HostError("evaluating " + name + " raised an exception of unknown type");
            }
        }
    }

    fs::path outputPath(const Entry& entry, const std::string& terminal) const {
        return fs::path(*options_.output) / terminal / entry.outputName;
    }

    void report(const Entry& entry, const Reason& reason, std::uint64_t inputBytes,
                Observed& observed) {
        std::string why;
        const bool agreed = agrees(reason, observed, why);
        const std::optional<ReasonCode> seen = observedOnly(observed);
        const ReasonCode code = seen.value_or(reason.code);
        std::string reasonText = seen ? reasonLabel(*seen, settings_) : reason.text;
        if (!agreed) {
            ++disagreements_;
            writeTo(stderr, std::string(TOOL_NAME) + ": DISAGREEMENT on " + quotedName(entry.name) +
                                ": " + why + " (" + reason.text + ")\n");
            reasonText = "DISAGREES with the rules: " + why;
        }

        std::optional<std::string> written;
        if (options_.output && observed.terminal) {
            const fs::path path = outputPath(entry, *observed.terminal);
            writeOutput(path, observed.sentBody);
            written = path.string();
        } else if (bodyToStdout_ && observed.terminal) {
            single_ = std::move(observed.sentBody);
            observed.sentBody.clear();
            observed.sentBody.shrink_to_fit();
        }
        const std::uint64_t outputBytes =
            observed.terminal ? (single_ ? single_->size() : observed.sentBody.size()) : 0;

        if (options_.json) {
            std::string line = "{\"input\":" + jsonString(entry.name);
            if (!isValidUtf8(entry.name)) line += ",\"inputHex\":" + jsonString(hexOf(entry.name));
            line += ",\"output\":" + (written ? jsonString(*written) : "null");
            line +=
                ",\"terminal\":" + (observed.terminal ? jsonString(*observed.terminal) : "null");
            line += std::string(",\"converted\":") + (observed.converted ? "true" : "false");
            line += ",\"inputBytes\":" + std::to_string(inputBytes);
            line += ",\"outputBytes\":" +
                    (observed.terminal ? std::to_string(outputBytes) : std::string("null"));
            line += ",\"reason\":{\"code\":" + jsonString(reasonCodeName(code)) +
                    ",\"text\":" + jsonString(reasonText) + "}";
            line +=
                ",\"log\":" +
                (observed.log
                     ? "{\"type\":" +
                           jsonString(observed.log->type == LOG_ERROR ? "error" : "information") +
                           ",\"text\":" + jsonString(observed.log->text) + "}"
                     : std::string("null"));
            line += std::string(",\"agrees\":") + (agreed ? "true" : "false") + "}\n";
            writeTo(report_, line);
        } else {
            if (!headerWritten_) {  // written with the first row, so that an error comes alone
                std::string header = padRight("input", nameWidth_) + "  " + padRight("route", 21) +
                                     "  " + padLeft("in", 8) + "  " + padLeft("out", 8) + "  ";
                if (options_.output) header += padRight("output", outputWidth_) + "  ";
                writeTo(report_, header + padRight("log", LOG_COLUMN) + "  reason\n");
                headerWritten_ = true;
            }
            std::string line =
                padRight(quotedName(entry.name), nameWidth_) + "  " +
                padRight(routeText(observed), 21) + "  " + padLeft(std::to_string(inputBytes), 8) +
                "  " + padLeft(observed.terminal ? std::to_string(outputBytes) : "-", 8) + "  ";
            if (options_.output) line += padRight(written.value_or("-"), outputWidth_) + "  ";
            line += padRight(logText(observed.log), LOG_COLUMN) + "  " + reasonText + "\n";
            writeTo(report_, line);
        }

        if (!observed.terminal) {
            ++nowhere_;
        } else if (*observed.terminal == TERMINAL_OUT) {
            ++toOut_;
            ++(observed.converted ? converted_ : unchanged_);
            ++outReasons_[static_cast<std::size_t>(code)];
        } else {
            ++toFailure_;
            ++failureReasons_[static_cast<std::size_t>(code)];
        }
    }

    // Warns of settings that defeat every conversion, or that the node holds otherwise than
    // they were given.
    void warnAboutSettings() {
        std::optional<std::string> lastGiven;  // the node holds the last value set
        for (const auto& [name, value] : options_.attributes) {
            if (name == "MAXMSGDATASIZE") lastGiven = value;
        }
        const std::optional<long long> given =
            lastGiven ? wholeNumber(*lastGiven, INT64_MIN, INT64_MAX) : std::nullopt;
        if (given && *given != settings_.capacity) {
            writeTo(stderr, std::string(TOOL_NAME) + ": warning: MAXMSGDATASIZE '" + *lastGiven +
                                "' is held by the node as " + std::to_string(settings_.capacity) +
                                " (it keeps 32 bits)\n");
        }
        if (settings_.capacity < 0) {
            writeTo(stderr, std::string(TOOL_NAME) + ": warning: MAXMSGDATASIZE is " +
                                std::to_string(settings_.capacity) +
                                ": every message that needs converting goes to failure\n");
        }
    }

    std::string byReason(const std::array<std::size_t, REASON_CODES>& counts) const {
        std::string text;
        for (int code = 0; code < REASON_CODES; ++code) {
            const std::size_t count = counts[static_cast<std::size_t>(code)];
            if (count == 0) continue;
            text += (text.empty() ? "" : ", ") + std::to_string(count) + " " +
                    reasonLabel(static_cast<ReasonCode>(code), settings_);
        }
        return text;
    }

    std::string reasonsJson() const {
        std::string text;
        for (int code = 0; code < REASON_CODES; ++code) {
            const std::size_t count = outReasons_[static_cast<std::size_t>(code)] +
                                      failureReasons_[static_cast<std::size_t>(code)];
            if (count == 0) continue;
            text += std::string(text.empty() ? "" : ",") +
                    jsonString(reasonCodeName(static_cast<ReasonCode>(code))) + ":" +
                    std::to_string(count);
        }
        return "{" + text + "}";
    }

    void writeSummary() {
        const std::size_t total = entries_.size();
        if (options_.json) {
            writeTo(report_, "{\"summary\":{\"messages\":" + std::to_string(total) +
                                 ",\"converted\":" + std::to_string(converted_) +
                                 ",\"unchanged\":" + std::to_string(unchanged_) +
                                 ",\"failure\":" + std::to_string(toFailure_) +
                                 ",\"nowhere\":" + std::to_string(nowhere_) +
                                 ",\"disagreements\":" + std::to_string(disagreements_) +
                                 ",\"reasons\":" + reasonsJson() + "}}\n");
            return;
        }
        writeTo(report_, std::to_string(total) + " message" + (total == 1 ? "" : "s") + ": " +
                             std::to_string(converted_) + " converted to out, " +
                             std::to_string(unchanged_) + " unchanged to out, " +
                             std::to_string(toFailure_) + " to failure, " +
                             std::to_string(nowhere_) + " nowhere\n");
        if (toOut_ > 0) {
            writeTo(report_, std::to_string(toOut_) + " to out: " + byReason(outReasons_) + "\n");
        }
        if (toFailure_ > 0) {
            writeTo(report_, std::to_string(toFailure_) +
                                 " to failure: " + byReason(failureReasons_) + "\n");
        }
    }

    const Options& options_;
    LoadedNode node_;
    std::vector<Entry> entries_;
    NodeSettings settings_;
    bool bodyToStdout_;
    std::FILE* report_;
    bool progress_;
    bool headerWritten_ = false;
    std::size_t nameWidth_ = 5;
    std::size_t outputWidth_ = 6;
    std::optional<std::vector<std::uint8_t>> single_;  // the body for standard output
    std::size_t converted_ = 0, unchanged_ = 0, toOut_ = 0, toFailure_ = 0, nowhere_ = 0;
    std::size_t disagreements_ = 0;
    std::array<std::size_t, REASON_CODES> outReasons_{};
    std::array<std::size_t, REASON_CODES> failureReasons_{};
};

}  // namespace

int runCommand(const std::vector<std::string>& args, const char* argv0) {
    const Options options = parseOptions(args);
    std::vector<Entry> entries = batchOf(options);
    if (options.output) {
        nameOutputs(entries);
    }
    const LoadedNode node =
        loadNode(options.plugin.value_or(defaultPluginPath(argv0)), options.attributes);
    Run run(options, node, std::move(entries));
    return run.execute();
}

}  // namespace host
