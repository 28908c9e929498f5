// HostToolTest.cpp - runs ostrevel-host as a user does, as a process, and checks its output,
// the files it writes and its exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Bytes.h"

namespace {

namespace fs = std::filesystem;
using ostrevel_test::Bytes;

const std::string TOOL = OSTREVEL_HOST_PATH;
// The tool as a shell command: in a cross build, started through the target's emulator.
const std::string TOOL_COMMAND = std::string(OSTREVEL_EMULATOR) + " '" + TOOL + "'";
const std::string PLUGIN = OSTREVEL_PLUGIN_PATH;
const std::string SAMPLES = OSTREVEL_SAMPLES_DIR;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

class HostToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("ostrevel-host-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the tool with `args` (a shell word list) and standard input from `input`.
    Outcome run(const std::string& args, const std::string& input = "/dev/null") {
        return runRedirected(args, "<'" + input + "' >'" + (dir / "stdout").string() + "'");
    }
    // Runs the tool with `args` and the shell redirections given for its standard input and
    // output; standard error is always captured.
    Outcome runRedirected(const std::string& args, const std::string& redirections) {
        const fs::path out = dir / "stdout";
        const fs::path err = dir / "stderr";
        fs::remove(out);
        const std::string command =
            TOOL_COMMAND + " " + args + " " + redirections + " 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }
    std::string node(const std::string& msgtypes, const std::string& direction) {
        return "run --plugin '" + PLUGIN + "' --msgtypes " + msgtypes + " --direction " +
               direction + " --max-size 4096";
    }
    void write(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }
    fs::path dir;
};

TEST_F(HostToolTest, ManifestBatchToIms) {
    const Outcome o = run(node("ANY", "TOIMS") + " --manifest '" + SAMPLES + "/to-ims.manifest'");
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("order.txt       converted -> out"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("plain-text.txt  unchanged -> out"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("information: Message propagated"), std::string::npos);
    EXPECT_NE(o.out.find("3 messages: 2 converted to out, 1 unchanged to out, 0 to failure"),
              std::string::npos);
}

TEST_F(HostToolTest, FailuresGiveExitCodeOneAndOutputFolders) {
    const Outcome o = run(node("ALLIMS", "FROMIMS") + " --manifest '" + SAMPLES +
                          "/from-ims.manifest' --output '" + (dir / "result").string() + "'");
    EXPECT_EQ(o.exitCode, 1) << o.err;
    EXPECT_NE(o.out.find("malformed-framed.bin  unchanged -> failure"), std::string::npos) << o.out;
    EXPECT_EQ(slurp(dir / "result" / "out" / "reply-framed.bin"),
              "REPLY 4711 ACCEPTED SHIP 2026-12-14");
    EXPECT_EQ(slurp(dir / "result" / "failure" / "malformed-framed.bin"),
              slurp(fs::path(SAMPLES) / "malformed-framed.bin"));
    EXPECT_TRUE(fs::exists(dir / "result" / "failure" / "plain-text.txt"));
}

TEST_F(HostToolTest, SingleMessageBodyGoesToStandardOutputAndRoundTrips) {
    const Outcome wrapped =
        run(node("ANY", "TOIMS") + " --mqmd-format MQIMSVS -", SAMPLES + "/order.txt");
    ASSERT_EQ(wrapped.exitCode, 0) << wrapped.err;
    const std::string original = slurp(fs::path(SAMPLES) / "order.txt");
    EXPECT_EQ(wrapped.out, std::string("\x00\x20\x00\x00", 4) + original);
    EXPECT_NE(wrapped.err.find("(stdin)"), std::string::npos);  // the report is on stderr
    write(dir / "wrapped.bin", wrapped.out);
    const Outcome stripped =
        run(node("ANY", "FROMIMS") + " --mqmd-format MQIMS --iih-format MQIMSVS '" +
            (dir / "wrapped.bin").string() + "'");
    ASSERT_EQ(stripped.exitCode, 0) << stripped.err;
    EXPECT_EQ(stripped.out, original);
}

TEST_F(HostToolTest, JsonLinesAndManyThreadsAgree) {
    std::string manifest;
    for (int i = 0; i < 60; ++i) {
        manifest += std::string(i % 3 == 0   ? "malformed-framed.bin MQIMSVS\n"
                                : i % 3 == 1 ? "reply-framed.bin MQIMSVS\n"
                                             : "plain-text.txt MQSTR\n");
    }
    fs::copy(SAMPLES, dir / "samples");
    write(dir / "samples" / "many.manifest", manifest);
    const std::string batch = node("ANY", "FROMIMS") + " --json --manifest '" +
                              (dir / "samples" / "many.manifest").string() + "'";
    const Outcome one = run(batch);
    const Outcome four = run(batch + " --jobs 4");
    EXPECT_EQ(one.exitCode, 1);
    EXPECT_EQ(four.exitCode, 1);
    EXPECT_EQ(one.out, four.out);  // the same lines, in input order
    EXPECT_NE(one.out.find("{\"input\":\"reply-framed.bin\",\"output\":null,\"terminal\":\"out\","
                           "\"converted\":true,\"inputBytes\":47,\"outputBytes\":35,\"reason\":{"
                           "\"code\":\"converted\",\"text\":\"3 segments stripped, 35 bytes of "
                           "data\"},\"log\":{\"type\":\"information\",\"text\":\"Message "
                           "propagated\"},\"agrees\":true}"),
              std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("{\"summary\":{\"messages\":60,\"converted\":20,\"unchanged\":20,"
                           "\"failure\":20,\"nowhere\":0,\"disagreements\":0,\"reasons\":{"
                           "\"converted\":20,\"forwarded-not-ims\":20,\"broken-framing\":20}}}"),
              std::string::npos)
        << one.out;
}

TEST_F(HostToolTest, InspectListsSegmentsAndNamesTheFault) {
    const Outcome valid = run("inspect '" + SAMPLES + "/reply-framed.bin'");
    EXPECT_EQ(valid.exitCode, 0);
    EXPECT_NE(valid.out.find("      15     13  00 00       9  41 43 43 45 50 54 45 44  |ACCEPTED|"),
              std::string::npos)
        << valid.out;
    EXPECT_NE(valid.out.find("valid: 3 segments, 35 data bytes"), std::string::npos);
    const Outcome invalid = run("inspect '" + SAMPLES + "/malformed-framed.bin'");
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_NE(invalid.out.find("invalid at offset 15: segment runs past the end of the body"),
              std::string::npos)
        << invalid.out;
    write(dir / "short.bin", std::string("\x00\x05\x00\x00"
                                         "A\x00",
                                         6));
    EXPECT_NE(run("inspect '" + (dir / "short.bin").string() + "'")
                  .out.find("invalid at offset 5: 1 to 3 bytes left"),
              std::string::npos);
    write(dir / "empty.bin", "");
    EXPECT_EQ(run("inspect '" + (dir / "empty.bin").string() + "'").exitCode, 0);
}

// Every bad input gets one clear line on standard error and exit code 2, never a crash.
TEST_F(HostToolTest, BadInputGetsOneClearMessage) {
    write(dir / "not-a-plugin.so", "this is text");
    fs::create_directories(dir / "folder");
    const std::string order = "'" + SAMPLES + "/order.txt'";
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {node("ANY", "TOIMS") + " --mqmd-format MQIMSVS missing.bin",
         "cannot read missing.bin: No such file or directory"},
        {node("ANY", "TOIMS") + " --mqmd-format MQIMSVS '" + (dir / "folder").string() + "'",
         "Is a directory"},
        {"run --plugin '" + (dir / "not-a-plugin.so").string() + "' --mqmd-format X " + order,
         "cannot load plug-in"},
        {"run --plugin '" + (dir / "nothing.so").string() + "' --mqmd-format X " + order,
         "no such file"},
        {"run --plugin '" + std::string(OSTREVEL_BROKERSIM_PATH) + "' --mqmd-format X " + order,
         "is not an Ostrevel plug-in: it does not export bipGetMessageflowNodeFactory"},
        {node("ANY", "TOIMS") + " --colour red " + order, "unknown option --colour"},
        {node("ANY", "TOIMS") + " --set COLOUR=red --mqmd-format X " + order,
         "unknown attribute COLOUR"},
        {node("ANY", "TOIMS") + " --max-size 12kb --mqmd-format X " + order,
         "--max-size needs a whole number of bytes, not '12kb'"},
        {node("ANY", "TOIMS") + " --max-size 99999999999 --mqmd-format X " + order, "whole number"},
        {node("ANY", "TOIMS") + " " + order, "give the messages' --mqmd-format"},
        {node("ANY", "TOIMS") + " --mqmd-format", "--mqmd-format needs a value"},
        {node("ANY", "TOIMS") + " --manifest '" + (dir / "none.manifest").string() + "'",
         "No such file or directory"},
        {"inspect", "give the FILE to inspect"},
        {"frobnicate", "unknown command frobnicate"},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.exitCode, 2) << c.args;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.args << "\n" << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_EQ(o.err.rfind("ostrevel-host: ", 0), 0U) << o.err;
    }
    write(dir / "bad.manifest", "order.txt\n");
    EXPECT_NE(run(node("ANY", "TOIMS") + " --manifest '" + (dir / "bad.manifest").string() + "'")
                  .err.find("bad.manifest:1: expected BODY-FILE MQMD-FORMAT [MQIIH-FORMAT]"),
              std::string::npos);
}

// Every route carries its reason, from the node's own rules, and the plug-in agrees with it.
TEST_F(HostToolTest, EveryRouteHasItsReason) {
    write(dir / "big.bin", std::string(40000, 'a'));
    const std::string order = quoted(fs::path(SAMPLES) / "order.txt");
    const std::string framed = quoted(fs::path(SAMPLES) / "reply-framed.bin");
    const std::string broken = quoted(fs::path(SAMPLES) / "malformed-framed.bin");
    const std::string longFormat(100, 'F');
    struct Case {
        std::string args;
        int exitCode;
        std::string code;
        std::string text;
    };
    const Case cases[] = {
        {"--msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMSVS " + order, 0,
         "converted", "wrapped into one segment, LL 32"},
        {"--msgtypes ANY --direction FROMIMS --max-size 100 --mqmd-format MQIMSVS " + framed, 0,
         "converted", "3 segments stripped, 35 bytes of data"},
        {"--msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQSTR " + order, 0,
         "forwarded-not-ims", "MQMD Format 'MQSTR' is no IMS format; MSGTYPES 'ANY' forwards"},
        {"--msgtypes ALLIMS --direction TOIMS --max-size 100 --mqmd-format MQSTR " + order, 1,
         "not-ims", "MSGTYPES 'ALLIMS' refuses it"},
        {"--msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMS " + order, 1,
         "no-mqiih", "MQMD Format is MQIMS but the message has no MQIIH header"},
        {"--msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMS --iih-format "
         "MQSTR " +
             order,
         1, "mqiih-format-not-mqimsvs", "MQIIH Format 'MQSTR' is not MQIMSVS"},
        {"--msgtypes IMSIIH --direction TOIMS --max-size 100 --mqmd-format MQIMSVS " + order, 1,
         "no-mqiih-under-imsiih", "MSGTYPES 'IMSIIH' takes only messages with one"},
        {"--msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format " + longFormat + " " +
             order,
         1, "format-unreadable", "MQMD Format of 100 characters is longer than the node reads"},
        {"--msgtypes ANY --direction TOIMS --max-size -1 --mqmd-format MQIMSVS " + order, 1,
         "max-size-negative", "MAXMSGDATASIZE is -1: the node converts nothing"},
        {"--msgtypes ANY --direction TOIMS --mqmd-format MQIMSVS " + order, 1, "max-size-zero",
         "body of 28 bytes, MAXMSGDATASIZE is 0 (the node's default: set --max-size)"},
        {"--msgtypes ANY --direction TOIMS --max-size 10 --mqmd-format MQIMSVS " + order, 1,
         "over-max-size", "body of 28 bytes is over MAXMSGDATASIZE 10"},
        {"--msgtypes ANY --direction TOIMS --max-size 50000 --mqmd-format MQIMSVS " +
             quoted(dir / "big.bin"),
         1, "too-long-for-one-segment", "body of 40000 bytes is over 32767 bytes"},
        {"--msgtypes ANY --direction FROMIMS --max-size 100 --mqmd-format MQIMSVS " + broken, 1,
         "broken-framing", "broken framing at offset 15: segment runs past the end of the body"},
    };
    for (const Case& c : cases) {
        // --json puts even a single message's line on standard output.
        const Outcome o = run("run --plugin " + quoted(PLUGIN) + " --json " + c.args);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.args << "\n" << o.err;
        EXPECT_NE(o.out.find("\"reason\":{\"code\":\"" + c.code + "\",\"text\":\""),
                  std::string::npos)
            << c.args << "\n"
            << o.out;
        EXPECT_NE(o.out.find(c.text), std::string::npos) << c.args << "\n" << o.out;
        EXPECT_NE(o.out.find("\"agrees\":true"), std::string::npos) << o.out;
    }
    // The table gives the same reasons, and the summary counts them.
    const Outcome table = run(node("ANY", "FROMIMS") + " --max-size 30 --manifest " +
                              quoted(fs::path(SAMPLES) / "from-ims.manifest"));
    EXPECT_EQ(table.exitCode, 1) << table.err;
    EXPECT_NE(table.out.find("body of 47 bytes is over MAXMSGDATASIZE 30"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("1 to out: 1 forwarded as not IMS\n"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("3 to failure: 2 over MAXMSGDATASIZE 30, 1 broken framing\n"),
              std::string::npos)
        << table.out;
}

// Settings that defeat every conversion, or that the node holds otherwise than given, are said.
TEST_F(HostToolTest, WarnsOfSettingsThatFailEveryConversion) {
    const std::string order = quoted(fs::path(SAMPLES) / "order.txt");
    const Outcome wrapped = run(node("ANY", "TOIMS") +
                                " --set MAXMSGDATASIZE=999999999999 "
                                "--mqmd-format MQIMSVS --output " +
                                quoted(dir / "o") + " " + order);
    EXPECT_EQ(wrapped.exitCode, 1);
    EXPECT_NE(wrapped.err.find("warning: MAXMSGDATASIZE '999999999999' is held by the node as "
                               "-727379969"),
              std::string::npos)
        << wrapped.err;
    EXPECT_NE(wrapped.out.find("MAXMSGDATASIZE is -727379969: the node converts nothing"),
              std::string::npos)
        << wrapped.out;
    const Outcome negative = run("run --plugin " + quoted(PLUGIN) +
                                 " --max-size -1 --mqmd-format MQIMSVS --json " + order);
    EXPECT_NE(negative.err.find("warning: MAXMSGDATASIZE is -1: every message that needs "
                                "converting goes to failure"),
              std::string::npos)
        << negative.err;
}

// A plug-in that sends messages elsewhere than its rules say is caught, loudly, exit code 2.
TEST_F(HostToolTest, DisagreementBetweenPluginAndRulesIsReported) {
    const Outcome o =
        run("run --plugin " + quoted(OSTREVEL_RULE_BREAKING_PLUGIN_PATH) +
            " --msgtypes ALLIMS --direction FROMIMS --max-size 100 --mqmd-format MQIMSVS --json " +
            quoted(fs::path(SAMPLES) / "malformed-framed.bin") + " " +
            quoted(fs::path(SAMPLES) / "reply-framed.bin"));
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find("DISAGREEMENT on " + SAMPLES +
                         "/malformed-framed.bin: the plug-in sent "
                         "it unchanged -> out, the rules say unchanged -> failure"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("the rules say converted -> out"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("2 messages went elsewhere than the node's own rules say"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.out.find("\"agrees\":false"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"disagreements\":2"), std::string::npos) << o.out;
}

// Runs that could lose output or misread input: each ends with exit code 2 and one line that
// names the stream or file and the reason.
TEST_F(HostToolTest, HostileRunsFailLoudlyAndLoseNothing) {
    const std::string order = quoted(fs::path(SAMPLES) / "order.txt");
    const std::string two = order + " " + quoted(fs::path(SAMPLES) / "customer.txt");
    const std::string toIms = node("ANY", "TOIMS") + " --mqmd-format MQIMSVS ";
    write(dir / "in-the-way", "a file where the output folder should be");
    write(dir / "used" / "out" / "old.bin", "an earlier run's output");
    write(dir / "twice.manifest", "- MQSTR\n- MQSTR\n");
    write(dir / "1001.bin", std::string(1001, 'a'));
    write(dir / "1000.bin", std::string(1000, 'a'));
    const std::string out = " >" + quoted(dir / "stdout");
    struct Case {
        const char* name;
        std::string args;
        std::string redirections;
        std::string message;
    };
    const Case cases[] = {
        {"standard output full", toIms + two, "</dev/null >/dev/full",
         "cannot write standard output: No space left on device"},
        {"help to a full output", "help", "</dev/null >/dev/full",
         "cannot write standard output: No space left on device"},
        {"inspect to a full output", "inspect " + order, "</dev/null >/dev/full",
         "cannot write standard output: No space left on device"},
        {"standard output closed", toIms + two, "</dev/null >&-", "standard output is closed"},
        {"a folder as standard input", toIms + "-", "<" + quoted(SAMPLES) + out,
         "cannot read standard input: Is a directory"},
        {"inspect a folder on standard input", "inspect -", "<" + quoted(SAMPLES) + out,
         "cannot read standard input: Is a directory"},
        {"standard input closed", toIms + "-", "<&-" + out,
         "cannot read standard input: it is closed"},
        {"an endless input", toIms + "--max-input-size 1000 /dev/zero", "</dev/null" + out,
         "/dev/zero is larger than 1000 bytes: not read further"},
        {"an input one byte over the limit",
         toIms + "--max-input-size 1000 " + quoted(dir / "1001.bin"), "</dev/null" + out,
         "1001.bin is larger than 1000 bytes"},
        {"a file in the way of the output folder",
         toIms + "--output " + quoted(dir / "in-the-way") + " " + order, "</dev/null" + out,
         "it exists and is not a folder"},
        {"a rerun into a used folder", toIms + "--output " + quoted(dir / "used") + " " + order,
         "</dev/null" + out, "is not empty: give --force"},
        {"the same input twice, into one output folder",
         toIms + "--output " + quoted(dir / "twice") + " " + order + " " + order,
         "</dev/null" + out, "is in the batch twice"},
        {"standard input twice in a manifest",
         node("ANY", "TOIMS") + " --manifest " + quoted(dir / "twice.manifest"), "</dev/null" + out,
         "twice.manifest:2: standard input ('-') can be read only once"},
        {"Formats with a manifest",
         toIms + "--manifest " + quoted(fs::path(SAMPLES) / "to-ims.manifest"), "</dev/null" + out,
         "--mqmd-format and --iih-format do not go with --manifest"},
        {"an empty plug-in path", "run --plugin '' --mqmd-format X " + order, "</dev/null" + out,
         "--plugin needs the path of a plug-in, not ''"},
    };
    for (const Case& c : cases) {
        const Outcome o = runRedirected(c.args, c.redirections);
        EXPECT_EQ(o.exitCode, 2) << c.name << "\n" << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.name << "\n" << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << c.name << "\n" << o.err;
        EXPECT_EQ(o.err.rfind("ostrevel-host: ", 0), 0U) << c.name << "\n" << o.err;
    }
    EXPECT_EQ(slurp(dir / "used" / "out" / "old.bin"), "an earlier run's output");
    EXPECT_EQ(run(node("ANY", "TOIMS") + " --mqmd-format MQSTR --max-input-size 1000 " +
                  quoted(dir / "1000.bin"))
                  .exitCode,
              0);
    // A reader that stops early is the usual quiet end.
    const Outcome piped = runRedirected(toIms + two + " | head -c 0", "</dev/null");
    EXPECT_TRUE(piped.err.empty()) << piped.err;
}

// Inputs of the same name in different folders keep apart, each output under its own path,
// and --force replaces the tool's own folders: a message now on failure keeps no old output.
TEST_F(HostToolTest, OutputPathsNeverSwapInputs) {
    write(dir / "in" / "d1" / "x.bin", "one");
    write(dir / "in" / "d2" / "x.bin", "two");
    write(dir / "in" / "x.bin.2", "three");
    const std::string inputs = quoted(dir / "in" / "d1" / "x.bin") + " " +
                               quoted(dir / "in" / "d2" / "x.bin") + " " +
                               quoted(dir / "in" / "x.bin.2");
    const fs::path result = dir / "result";
    const Outcome first = run(node("ANY", "TOIMS") + " --mqmd-format MQIMSVS --json --output " +
                              quoted(result) + " " + inputs);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    for (const auto& [name, content] : {std::pair<std::string, std::string>{"d1/x.bin", "one"},
                                        {"d2/x.bin", "two"},
                                        {"x.bin.2", "three"}}) {
        const std::string written = slurp(result / "out" / name);
        ASSERT_EQ(written.size(), content.size() + 4) << name;
        EXPECT_EQ(written.substr(4), content) << name;
        EXPECT_NE(first.out.find("\"output\":\"" + (result / "out" / name).string() + "\""),
                  std::string::npos)
            << first.out;
    }
    const Outcome again = run(node("ALLIMS", "TOIMS") + " --mqmd-format MQSTR --force --output " +
                              quoted(result) + " " + inputs);
    EXPECT_EQ(again.exitCode, 1) << again.err;
    EXPECT_FALSE(fs::exists(result / "out"));
    EXPECT_EQ(slurp(result / "failure" / "d2" / "x.bin"), "two");
    EXPECT_NE(again.out.find(result.string() + "/failure/d1/x.bin"), std::string::npos)
        << again.out;
}

// Names with control characters or bytes that are not UTF-8: the table keeps one line per
// message, the JSON stays valid and keeps the exact bytes; "--" ends the options.
TEST_F(HostToolTest, AnyFileNameIsShownSafely) {
    const std::string invalid = std::string("name-\xFF\xFE.bin");
    write(dir / invalid, "x");
    write(dir / "line\nbreak.bin", "y");
    write(dir / "--json", "z");
    const std::string args = node("ANY", "TOIMS") + " --mqmd-format MQSTR ";
    const Outcome json = run(args + "--json " + quoted(dir / invalid));
    EXPECT_EQ(json.out.find('\xFF'), std::string::npos);
    EXPECT_NE(json.out.find("name-\xEF\xBF\xBD\xEF\xBF\xBD.bin"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"inputHex\":\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("6e616d652dfffe2e62696e\""), std::string::npos) << json.out;
    const Outcome table = run(args + quoted(dir / "line\nbreak.bin") + " " + quoted(dir / invalid));
    EXPECT_NE(table.out.find("line\\nbreak.bin\""), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("name-\\xFF\\xFE.bin\""), std::string::npos) << table.out;
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 5) << table.out;
    const Outcome dashes = run(args + "-- " + quoted(dir / "--json"));
    EXPECT_EQ(dashes.exitCode, 0) << dashes.err;
    EXPECT_EQ(dashes.out, "z");
}

// A --output folder on a filesystem that fills up: the file that could not be written is
// reported, exit code 2, and no row claims it.
TEST_F(HostToolTest, AFullFilesystemIsReported) {
    const fs::path small = dir / "small";
    fs::create_directories(small);
    if (std::system(
            ("mount -t tmpfs -o size=12k tmpfs " + quoted(small) + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "this machine does not let the test mount a small filesystem";
    }
    std::string manifest;
    for (int i = 0; i < 8; ++i) {
        write(dir / ("m" + std::to_string(i) + ".bin"), std::string(3000, 'a'));
        manifest += "m" + std::to_string(i) + ".bin MQSTR\n";
    }
    write(dir / "batch.manifest", manifest);
    const Outcome o = run(node("ANY", "TOIMS") + " --manifest " + quoted(dir / "batch.manifest") +
                          " --output " + quoted(small / "result"));
    std::system(("umount " + quoted(small)).c_str());
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(o.out.find("m7.bin"), std::string::npos) << o.out;
}

}  // namespace
