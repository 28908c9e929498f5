// PluginLoadTest.cpp - loads the built plug-in with dlopen as a broker does, looks the export
// up by name, and drives a node end to end through the table; the simulated broker linked
// into this program provides the broker functions that the plug-in leaves undefined.
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "NodeHarness.h"

namespace {

using namespace ostrevel_test;

using GetFactory = BrokerFactory* (*)();

// Loading a library and finding a symbol, the way the platform's brokers do it.
#if defined(_WIN32)
void* openLibrary(const char* path) {
    return reinterpret_cast<void*>(LoadLibraryA(path));
}
void* findSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void closeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}
std::string loadError() {
    return "error " + std::to_string(GetLastError());
}
#else
void* openLibrary(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void* findSymbol(void* library, const char* name) {
    return dlsym(library, name);
}
void closeLibrary(void* library) {
    dlclose(library);
}
std::string loadError() {
    const char* error = dlerror();
    return error != nullptr ? error : "";
}
#endif

class PluginLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        handle = openLibrary(OSTREVEL_PLUGIN_PATH);
        ASSERT_NE(handle, nullptr) << loadError();
        void* symbol = findSymbol(handle, "bipGetMessageflowNodeFactory");
        ASSERT_NE(symbol, nullptr) << loadError();
        getFactory = reinterpret_cast<GetFactory>(symbol);
    }
    static void TearDownTestSuite() {
        if (handle != nullptr) closeLibrary(handle);
    }
    void SetUp() override {
        brokersim::reset();
        node = std::make_unique<NodeHarness>(getFactory);
        ASSERT_TRUE(node->ready());
    }
    void TearDown() override {
        EXPECT_EQ(brokersim::liveMessages(), 0);
        EXPECT_EQ(brokersim::violations(), std::vector<std::string>{});
    }
    static inline void* handle = nullptr;
    static inline GetFactory getFactory = nullptr;
    std::unique_ptr<NodeHarness> node;
};

TEST_F(PluginLoadTest, EveryRouteThroughTheLoadedPlugin) {
    struct Case {
        const char* name;
        std::u16string msgtypes, direction;
        brokersim::MessageLayout layout;
        std::u16string terminal;
        Bytes body;
    };
    const Bytes framed = hexBytes("00 07 00 00 41 42 43 00 06 00 00 44 45");
    const Case cases[] = {
        {"convert to IMS", u"ANY", u"TOIMS", message(u"MQIMS   ", u"MQIMSVS ", bytesOf("ABC")),
         u"out", hexBytes("00 07 00 00 41 42 43")},
        {"convert from IMS", u"ALLIMS", u"FROMIMS", message(u"MQIMSVS ", std::nullopt, framed),
         u"out", bytesOf("ABCDE")},
        {"forward", u"ANY", u"TOIMS", message(u"MQSTR   ", std::nullopt, bytesOf("xyz")), u"out",
         bytesOf("xyz")},
        {"fail", u"IMSIIH", u"TOIMS", message(u"MQIMSVS ", std::nullopt, bytesOf("xyz")),
         u"failure", bytesOf("xyz")},
        {"invalid framing", u"ANY", u"FROMIMS", message(u"MQIMSVS ", std::nullopt, bytesOf("xyz")),
         u"failure", bytesOf("xyz")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        node->configure(c.msgtypes, c.direction, 1000);
        const RunResult run = node->run(c.layout);
        EXPECT_EQ(run.terminal, c.terminal);
        EXPECT_EQ(run.sentBody, c.body);
        ASSERT_EQ(run.logs.size(), 1U);
        EXPECT_EQ(run.logs[0].text, "Message propagated");
        EXPECT_EQ(run.logs[0].module, "Evaluation.cpp");
    }
}

TEST_F(PluginLoadTest, AttributesThroughTheTable) {
    const NodeFunctionTable& table = node->table();
    EXPECT_EQ(table.reserved, nullptr);
    char16_t name[16];
    EXPECT_EQ(table.attributeNameAt(node->context(), 2, name), 0);
    EXPECT_EQ(std::u16string(name), u"MAXMSGDATASIZE");
    EXPECT_EQ(table.setAttribute(node->context(), u"MAXMSGDATASIZE", u" 0042"), 0);
    char16_t value[256];
    EXPECT_EQ(table.getAttribute(node->context(), u"MAXMSGDATASIZE", value, 512), 0);
    EXPECT_EQ(std::u16string(value), u"42");
    EXPECT_EQ(table.getAttribute(node->context(), u"NOSUCH", value, 512), 1);
}

// An exception raised by the broker's rethrow passes through the plug-in unchanged, and the
// plug-in still deletes its output message.
TEST_F(PluginLoadTest, BrokerExceptionPassesThroughAndNothingLeaks) {
    node->configure(u"ANY", u"TOIMS", 1000);
    brokersim::setRethrowMode(brokersim::RethrowMode::Throw);
    brokersim::failCall(brokersim::Call::Propagate, 1, brokersim::Fault{RC_EXCEPTION, false, {}});
    const RunResult run = node->run(message(u"MQIMSVS ", std::nullopt, bytesOf("ABC")));
    EXPECT_TRUE(run.threw);
    EXPECT_TRUE(run.logs.empty());
    EXPECT_EQ(brokersim::rethrows().size(), 1U);
}

}  // namespace
