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
        const fs::path out = dir / "stdout";
        const fs::path err = dir / "stderr";
        const std::string command = TOOL_COMMAND + " " + args + " <'" + input + "' >'" +
                                    out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }
    std::string node(const std::string& msgtypes, const std::string& direction) {
        return "run --plugin '" + PLUGIN + "' --msgtypes " + msgtypes + " --direction " +
               direction + " --max-size 4096";
    }
    void write(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
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
    EXPECT_NE(
        one.out.find("{\"input\":\"reply-framed.bin\",\"terminal\":\"out\",\"converted\":true,"
                     "\"inputBytes\":47,\"outputBytes\":35,\"log\":{\"type\":\"information\","
                     "\"text\":\"Message propagated\"}}"),
        std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("{\"summary\":{\"messages\":60,\"converted\":20,\"unchanged\":20,"
                           "\"failure\":20,\"nowhere\":0}}"),
              std::string::npos);
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
         "cannot read missing.bin: no such file"},
        {node("ANY", "TOIMS") + " --mqmd-format MQIMSVS '" + (dir / "folder").string() + "'",
         "it is a folder"},
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
         "no such file"},
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

}  // namespace
