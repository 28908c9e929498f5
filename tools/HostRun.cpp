// HostRun.cpp - `ostrevel-host run`: sends message bodies through a node and reports, for
// each, the terminal it reached, its sizes and the log entry written.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "BrokerSim.h"
#include "Host.h"

namespace host {
namespace {

constexpr std::size_t FORMAT_CHARS = 8;  // an MQ Format field is 8 characters
constexpr int MAX_JOBS = 256;
constexpr std::size_t PROGRESS_FROM = 20;  // messages in a batch before a progress bar shows
constexpr int PROGRESS_WIDTH = 30;
constexpr std::size_t NAME_COLUMN_MAX = 40;

struct Message {
    std::string name;  // as the user named it
    std::vector<std::uint8_t> body;
    std::string mqmdFormat;
    std::optional<std::string> iihFormat;
};

struct Result {
    std::optional<std::string> terminal;  // none: the message went nowhere
    bool converted = false;
    std::vector<std::uint8_t> sentBody;
    std::optional<brokersim::LogRecord> log;
};

struct Options {
    Attributes attributes;
    std::string plugin;
    std::optional<std::string> mqmdFormat;
    std::optional<std::string> iihFormat;
    std::optional<std::string> manifest;
    std::optional<std::string> output;
    bool json = false;
    int jobs = 1;
    std::vector<std::string> files;
};

std::string padded(std::string format) {
    if (format.size() < FORMAT_CHARS) {
        format.append(FORMAT_CHARS - format.size(), ' ');
    }
    return format;
}

// A whole number that fits 32 bits, or nothing.
std::optional<long long> wholeNumber(const std::string& text) {
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
    if (used != text.size() || value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return value;
}

Options parseOptions(const std::vector<std::string>& args, const char* argv0) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                throw UsageError("run: " + arg + " needs a value");
            }
            return args[++i];
        };
        if (arg == "--msgtypes") {
            options.attributes.emplace_back("MSGTYPES", value());
        } else if (arg == "--direction") {
            options.attributes.emplace_back("DIRECTION", value());
        } else if (arg == "--max-size") {
            const std::string& size = value();
            if (!wholeNumber(size)) {
                throw UsageError("run: --max-size needs a whole number of bytes, not '" + size +
                                 "'");
            }
            options.attributes.emplace_back("MAXMSGDATASIZE", size);
        } else if (arg == "--debug") {
            options.attributes.emplace_back("DEBUG", value());
        } else if (arg == "--set") {
            const std::string& assignment = value();
            const std::size_t equals = assignment.find('=');
            if (equals == std::string::npos || equals == 0) {
                throw UsageError("run: --set needs NAME=VALUE, not '" + assignment + "'");
            }
            options.attributes.emplace_back(assignment.substr(0, equals),
                                            assignment.substr(equals + 1));
        } else if (arg == "--plugin") {
            options.plugin = value();
        } else if (arg == "--mqmd-format") {
            options.mqmdFormat = value();
        } else if (arg == "--iih-format") {
            options.iihFormat = value();
        } else if (arg == "--manifest") {
            options.manifest = value();
        } else if (arg == "--output") {
            options.output = value();
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--jobs") {
            const std::string& jobs = value();
            const std::optional<long long> number = wholeNumber(jobs);
            if (!number || *number < 1 || *number > MAX_JOBS) {
                throw UsageError("run: --jobs needs a number from 1 to " +
                                 std::to_string(MAX_JOBS) + ", not '" + jobs + "'");
            }
            options.jobs = static_cast<int>(*number);
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            throw UsageError("run: unknown option " + arg + " (see ostrevel-host help)");
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.plugin.empty()) {
        options.plugin = defaultPluginPath(argv0);
    }
    if (options.manifest && !options.files.empty()) {
        throw UsageError("run: give either FILEs or --manifest, not both");
    }
    if (!options.manifest && !options.mqmdFormat) {
        throw UsageError(
            "run: give the messages' --mqmd-format (for example MQIMSVS), or a --manifest");
    }
    if (std::count(options.files.begin(), options.files.end(), "-") > 1) {
        throw UsageError("run: standard input can be read only once");
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
                throw UsageError(where + ": unclosed quote");
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

std::vector<Message> readManifest(const std::string& path) {
    const std::vector<std::uint8_t> content = readFile(path);
    std::istringstream stream(std::string(content.begin(), content.end()));
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::vector<Message> messages;
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const std::vector<std::string> parts = fields(line, where);
        if (parts.empty()) {
            continue;
        }
        if (parts.size() < 2 || parts.size() > 3) {
            throw UsageError(where + ": expected BODY-FILE MQMD-FORMAT [MQIIH-FORMAT]");
        }
        const std::filesystem::path body = parts[0];
        Message message;
        message.name = parts[0];
        message.body = readFile(body.is_absolute() ? body.string() : (folder / body).string());
        message.mqmdFormat = padded(parts[1]);
        if (parts.size() == 3 && parts[2] != "-") {
            message.iihFormat = padded(parts[2]);
        }
        messages.push_back(std::move(message));
    }
    if (messages.empty()) {
        throw UsageError("manifest " + path + " names no message");
    }
    return messages;
}

std::vector<Message> readMessages(const Options& options) {
    if (options.manifest) {
        return readManifest(*options.manifest);
    }
    std::vector<std::string> files = options.files;
    if (files.empty()) {
        files.push_back("-");
    }
    std::vector<Message> messages;
    for (const std::string& file : files) {
        Message message;
        message.name = file == "-" ? "(stdin)" : file;
        message.body = readFile(file);
        message.mqmdFormat = padded(*options.mqmdFormat);
        if (options.iihFormat) {
            message.iihFormat = padded(*options.iihFormat);
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

void showProgress(std::size_t done, std::size_t total) {
    const auto filled = static_cast<int>(done * PROGRESS_WIDTH / total);
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################",
                 PROGRESS_WIDTH - filled, "", done, total);
    std::fflush(stderr);
}

// Evaluates every message on `jobs` threads; each thread tags what it makes the broker record
// with the message's number, so that every entry can be matched to its message.
std::vector<Result> evaluateAll(const LoadedNode& node, const std::vector<Message>& messages,
                                int jobs, bool progress) {
    std::vector<BrokerMessage*> inputs(messages.size(), nullptr);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < messages.size(); i = next++) {
            brokersim::MessageLayout layout;
            layout.mqmdFormat = brokersim::wide(messages[i].mqmdFormat);
            layout.withIih = messages[i].iihFormat.has_value();
            if (layout.withIih) {
                layout.iihFormat = brokersim::wide(*messages[i].iihFormat);
            }
            layout.body = messages[i].body;
            inputs[i] = brokersim::makeMessage(layout);
            brokersim::setThreadTag(i + 1);
            node.table->evaluate(node.context, brokersim::opaqueHandle(1),
                                 brokersim::opaqueHandle(2), inputs[i]);
            brokersim::setThreadTag(0);
            ++done;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < jobs; ++t) {
        threads.emplace_back(worker);
    }
    if (progress) {
        std::thread progressBar([&] {
            while (done < messages.size()) {
                showProgress(done, messages.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            showProgress(done, messages.size());
            std::fputs("\n", stderr);
        });
        worker();
        for (auto& thread : threads) thread.join();
        progressBar.join();
    } else {
        worker();
        for (auto& thread : threads) thread.join();
    }

    std::vector<Result> results(messages.size());
    for (const brokersim::Propagation& sent : brokersim::propagations()) {
        if (sent.tag == 0 || sent.tag > results.size()) continue;
        Result& result = results[sent.tag - 1];
        result.terminal = brokersim::narrow(sent.terminalName);
        result.converted = sent.sent != inputs[sent.tag - 1];
        result.sentBody = sent.copy.body.value_or(std::vector<std::uint8_t>{});
    }
    for (const brokersim::LogRecord& entry : brokersim::logRecords()) {
        if (entry.tag == 0 || entry.tag > results.size()) continue;
        results[entry.tag - 1].log = entry;
    }
    return results;
}

std::string logText(const std::optional<brokersim::LogRecord>& log) {
    if (!log) return "-";
    return std::string(log->type == LOG_ERROR ? "error: " : "information: ") + log->text;
}

std::string route(const Result& result) {
    if (!result.terminal) return "nowhere";
    return std::string(result.converted ? "converted" : "unchanged") + " -> " + *result.terminal;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

// Writes what each terminal received to DIR/TERMINAL/NAME; names that repeat get .2, .3, ...
void writeOutputs(const std::string& folder, const std::vector<Message>& messages,
                  const std::vector<Result>& results) {
    std::set<std::string> used;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!results[i].terminal) continue;
        const std::filesystem::path dir = std::filesystem::path(folder) / *results[i].terminal;
        std::error_code error;
        std::filesystem::create_directories(dir, error);
        if (error) {
            throw UsageError("cannot create folder " + dir.string() + ": " + error.message());
        }
        std::string name = std::filesystem::path(messages[i].name).filename().string();
        if (name.empty() || name == "(stdin)") name = "stdin";
        std::string unique = name;
        for (int copy = 2; !used.insert((dir / unique).string()).second; ++copy) {
            unique = name + "." + std::to_string(copy);
        }
        std::ofstream out(dir / unique, std::ios::binary);
        out.write(reinterpret_cast<const char*>(results[i].sentBody.data()),
                  static_cast<std::streamsize>(results[i].sentBody.size()));
        if (!out) {
            throw UsageError("cannot write " + (dir / unique).string());
        }
    }
}

}  // namespace

int runCommand(const std::vector<std::string>& args, const char* argv0) {
    const Options options = parseOptions(args, argv0);
    const LoadedNode node = loadNode(options.plugin, options.attributes);
    const std::vector<Message> messages = readMessages(options);

    const bool progress = isatty(STDERR_FILENO) != 0 && messages.size() >= PROGRESS_FROM;
    const std::vector<Result> results = evaluateAll(node, messages, options.jobs, progress);

    // A single message without --output: its body goes to standard output, the report to
    // standard error (a terminal gets no raw bytes).
    const bool bodyToStdout = messages.size() == 1 && !options.output;
    std::FILE* report = bodyToStdout ? stderr : stdout;

    std::size_t nameWidth = 5;
    for (const Message& m : messages)
        nameWidth = std::max(nameWidth, std::min(m.name.size(), NAME_COLUMN_MAX));
    if (!options.json) {
        std::fprintf(report, "%-*s  %-21s  %8s  %8s  %s\n", static_cast<int>(nameWidth), "input",
                     "route", "in", "out", "log");
    }
    std::size_t converted = 0, unchanged = 0, failed = 0, nowhere = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const Result& r = results[i];
        const std::string outSize = r.terminal ? std::to_string(r.sentBody.size()) : "-";
        if (options.json) {
            std::fprintf(report,
                         "{\"input\":%s,\"terminal\":%s,\"converted\":%s,\"inputBytes\":%zu,"
                         "\"outputBytes\":%s,\"log\":%s}\n",
                         jsonString(messages[i].name).c_str(),
                         r.terminal ? jsonString(*r.terminal).c_str() : "null",
                         r.converted ? "true" : "false", messages[i].body.size(),
                         r.terminal ? outSize.c_str() : "null",
                         r.log ? ("{\"type\":" +
                                  jsonString(r.log->type == LOG_ERROR ? "error" : "information") +
                                  ",\"text\":" + jsonString(r.log->text) + "}")
                                     .c_str()
                               : "null");
        } else {
            std::fprintf(report, "%-*s  %-21s  %8zu  %8s  %s\n", static_cast<int>(nameWidth),
                         messages[i].name.c_str(), route(r).c_str(), messages[i].body.size(),
                         outSize.c_str(), logText(r.log).c_str());
        }
        if (!r.terminal)
            ++nowhere;
        else if (*r.terminal != "out")
            ++failed;
        else if (r.converted)
            ++converted;
        else
            ++unchanged;
    }

    if (options.output) {
        writeOutputs(*options.output, messages, results);
    } else if (bodyToStdout && results[0].terminal) {
        if (isatty(STDOUT_FILENO) != 0) {
            std::fprintf(stderr,
                         "(body not written to a terminal: redirect it, or use --output DIR)\n");
        } else {
            std::fwrite(results[0].sentBody.data(), 1, results[0].sentBody.size(), stdout);
        }
    }

    const std::size_t total = messages.size();
    if (options.json) {
        std::fprintf(report,
                     "{\"summary\":{\"messages\":%zu,\"converted\":%zu,\"unchanged\":%zu,"
                     "\"failure\":%zu,\"nowhere\":%zu}}\n",
                     total, converted, unchanged, failed, nowhere);
    } else {
        std::fprintf(report,
                     "%zu message%s: %zu converted to out, %zu unchanged to out, %zu to failure, "
                     "%zu nowhere\n",
                     total, total == 1 ? "" : "s", converted, unchanged, failed, nowhere);
        std::string maxSize = "0";
        for (const auto& [name, value] : options.attributes) {
            if (name == "MAXMSGDATASIZE") maxSize = value;
        }
        if (failed > 0 && wholeNumber(maxSize).value_or(0) == 0) {
            std::fprintf(report,
                         "note: MAXMSGDATASIZE is 0 (the node's default), so every body that "
                         "needs converting fails; set --max-size\n");
        }
    }
    return converted + unchanged == total ? EXIT_ALL_OUT : EXIT_NOT_ALL_OUT;
}

}  // namespace host
