// OstrevelDemo.cpp - loads the plug-in as a broker would, creates a node, sets and reads its
// attributes, and sends a few messages through it on the simulated broker.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BrokerSim.h"

namespace {

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char digits[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        out += digits;
    }
    return out.empty() ? "(empty)" : out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PLUGIN.so\n", argv[0]);
        return 2;
    }
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 2;
    }
    auto getFactory =
        reinterpret_cast<BrokerFactory* (*)()>(dlsym(plugin, "bipGetMessageflowNodeFactory"));
    if (getFactory == nullptr) {
        std::fprintf(stderr, "%s has no bipGetMessageflowNodeFactory\n", argv[1]);
        return 2;
    }
    BrokerFactory* factory = getFactory();
    NodeFunctionTable* table = brokersim::definedTable(factory, u"OstrevelNode");
    if (table == nullptr) {
        std::fprintf(stderr, "the plug-in defined no OstrevelNode class\n");
        return 2;
    }
    const brokersim::Node node = brokersim::createNode(*table);
    std::printf("Loaded %s; created a node of class OstrevelNode.\n\nAttributes:\n", argv[1]);
    const char16_t* values[] = {u"ANY", u"TOIMS", u"4096", u"NO"};
    char16_t name[16];
    for (std::int32_t position = 0; table->attributeNameAt(node.context, position, name) == 0;
         ++position) {
        table->setAttribute(node.context, name, values[position % 4]);
        char16_t value[256];
        table->getAttribute(node.context, name, value, sizeof value);
        std::printf("  %-15s = %s\n", brokersim::narrow(name).c_str(),
                    brokersim::narrow(value).c_str());
    }

    struct Sample {
        const char* what;
        const char16_t* direction;
        brokersim::MessageSpec spec;
    };
    brokersim::MessageSpec ims;
    ims.mqmdFormat = u"MQIMSVS ";
    ims.body = {'H', 'E', 'L', 'L', 'O'};
    brokersim::MessageSpec framed = ims;
    framed.body = {0, 7, 0, 0, 'A', 'B', 'C', 0, 6, 0, 0, 'D', 'E'};
    brokersim::MessageSpec other = ims;
    other.mqmdFormat = u"MQSTR   ";
    const Sample samples[] = {{"IMS message, DIRECTION TOIMS", u"TOIMS", ims},
                              {"IMS message, DIRECTION FROMIMS", u"FROMIMS", framed},
                              {"non-IMS message, MSGTYPES ANY", u"TOIMS", other}};
    std::printf("\nMessages:\n");
    for (const Sample& sample : samples) {
        table->setAttribute(node.context, u"DIRECTION", sample.direction);
        const std::size_t before = brokersim::propagations().size();
        table->evaluate(node.context, nullptr, nullptr, brokersim::makeMessage(sample.spec));
        const auto sent = brokersim::propagations();
        std::printf("  %s\n    in:  %s\n", sample.what, hex(sample.spec.body).c_str());
        if (sent.size() > before) {
            std::printf("    out: %s-> \"%s\"\n",
                        hex(sent.back().copy.body.value_or(std::vector<std::uint8_t>{})).c_str(),
                        brokersim::narrow(sent.back().terminalName).c_str());
        }
        std::printf("    log: %s\n", brokersim::logRecords().back().text.c_str());
    }
    return brokersim::liveMessages() == 0 ? 0 : 1;
}
