// EvaluateBenchmark.cpp - messages per second through evaluate, with the plug-in loaded by
// dlopen as a broker loads it and a broker stub that costs next to nothing.
//
// For each converted body the counter `vs_copies` is the time of the two copies a broker
// cannot avoid (reading the body out and writing the result in: two memcpy of the body's
// size), measured in the same loop, over evaluate's time (1.0 = evaluate costs no more than
// those two copies).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StubBroker.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Node {
    NodeFunctionTable* table = nullptr;
    void* context = nullptr;
};

// Loads the plug-in as a broker does and creates one node through its table.
Node loadNode() {
    void* plugin = dlopen(OSTREVEL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    void* symbol = plugin == nullptr ? nullptr : dlsym(plugin, "bipGetMessageflowNodeFactory");
    if (symbol == nullptr) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", dlerror());
        std::exit(2);
    }
    reinterpret_cast<BrokerFactory* (*)()>(symbol)();
    Node node;
    node.table = stub::definedTable();
    node.context = node.table->createContext(nullptr, u"OstrevelNode", nullptr);
    return node;
}

enum Kind { Forward, Fail, ToIms, FromIms };

// A framed body of exactly `total` bytes: segments of 1,024 data bytes and a shorter last one
// (the sizes benchmarked never leave 1 to 3 bytes over).
std::vector<std::uint8_t> framed(std::size_t total) {
    std::vector<std::uint8_t> body;
    while (body.size() < total) {
        const std::size_t data = std::min<std::size_t>(1024, total - body.size() - 4);
        body.push_back(static_cast<std::uint8_t>((data + 4) >> 8));
        body.push_back(static_cast<std::uint8_t>((data + 4) & 0xFF));
        body.push_back(0);
        body.push_back(0);
        body.insert(body.end(), data, 0x5A);
    }
    return body;
}

void BM_Evaluate(benchmark::State& state) {
    static const Node node = loadNode();
    const auto kind = static_cast<Kind>(state.range(0));
    const auto size = static_cast<std::size_t>(state.range(1));
    const char16_t* direction = kind == ToIms ? u"TOIMS" : u"FROMIMS";
    node.table->setAttribute(node.context, u"MSGTYPES", kind == Fail ? u"ALLIMS" : u"ANY");
    node.table->setAttribute(node.context, u"DIRECTION", direction);
    node.table->setAttribute(node.context, u"MAXMSGDATASIZE", u"65536");
    const bool convert = kind == ToIms || kind == FromIms;
    std::vector<std::uint8_t> body =
        kind == FromIms ? framed(size) : std::vector<std::uint8_t>(size, 0x41);
    stub::setInput(convert ? u"MQIMSVS " : u"MQSTR   ", u"", body);
    std::vector<std::uint8_t> copyTarget(body.size() + 4);
    std::vector<std::uint8_t> copyBack(body.size() + 4);

    const std::uint64_t before = stub::propagated();
    double evaluateTime = 0;
    double copyTime = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        node.table->evaluate(node.context, nullptr, nullptr, stub::inputMessage());
        const auto t1 = Clock::now();
        std::memcpy(copyTarget.data(), body.data(), body.size());
        benchmark::ClobberMemory();
        std::memcpy(copyBack.data(), copyTarget.data(), body.size());
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        evaluateTime += std::chrono::duration<double>(t1 - t0).count();
        copyTime += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (stub::propagated() - before != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("not propagated");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    if (convert) state.counters["vs_copies"] = copyTime / evaluateTime;
}

void arguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"kind", "body"});
    for (int kind : {Forward, Fail, ToIms, FromIms}) {
        for (int size : {100, 1024, 32767}) b->Args({kind, size});
    }
}
BENCHMARK(BM_Evaluate)->Apply(arguments)->UseManualTime()->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
