// ForwardInstructions.cpp - forwards a fixed number of messages through the plug-in on the
// stub broker, for counting instructions with callgrind (see scripts/bench).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "StubBroker.h"

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 10000;
    void* plugin = dlopen(OSTREVEL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    void* symbol = plugin == nullptr ? nullptr : dlsym(plugin, "bipGetMessageflowNodeFactory");
    if (symbol == nullptr) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", dlerror());
        return 2;
    }
    reinterpret_cast<BrokerFactory* (*)()>(symbol)();
    NodeFunctionTable* table = stub::definedTable();
    void* node = table->createContext(nullptr, u"OstrevelNode", nullptr);
    table->setAttribute(node, u"MSGTYPES", u"ANY");
    table->setAttribute(node, u"MAXMSGDATASIZE", u"4096");
    stub::setInput(u"MQSTR   ", u"", std::vector<std::uint8_t>(100, 0x41));
    for (int i = 0; i < messages; ++i) {
        table->evaluate(node, nullptr, nullptr, stub::inputMessage());
    }
    return stub::propagated() == static_cast<std::uint64_t>(messages) ? 0 : 1;
}
