// FramingBenchmark.cpp - segment framing measured against the physical limit in the same run.
//
// Stripping: an ~8 MiB framed body is stripped in place; in the same loop the same bytes are
// moved by 4 with memmove in a buffer of the same size. Each iteration restores the body
// first (not timed). The iteration time is the strip's; the counter `vs_memmove` is memmove's
// time over the strip's (1.0 = as fast as memmove).
// Wrapping: addSegmentPrefix for a 1-byte and a 32,767-byte body, 1,000 calls an iteration;
// `vs_1_byte` is the 1-byte time over this one's (1.0 = independent of the size).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "SegmentFraming.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t TARGET_BODY_BYTES = 8U << 20;

// Frames segments whose data sizes come from `nextSize` until the body is about 8 MiB.
template <typename NextSize>
std::vector<std::uint8_t> framedBody(NextSize nextSize) {
    std::vector<std::uint8_t> body;
    body.reserve(TARGET_BODY_BYTES + 40000);
    std::uint8_t fill = 1;
    while (body.size() < TARGET_BODY_BYTES) {
        const std::size_t data = nextSize();
        const std::size_t ll = data + 4;
        body.push_back(static_cast<std::uint8_t>(ll >> 8));
        body.push_back(static_cast<std::uint8_t>(ll & 0xFF));
        body.push_back(0);
        body.push_back(0);
        body.insert(body.end(), data, fill++);
    }
    return body;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void stripVersusMemmove(benchmark::State& state, const std::vector<std::uint8_t>& original) {
    std::vector<std::uint8_t> work(original.size());
    const auto n = static_cast<std::int32_t>(original.size());
    double stripTime = 0;
    double memmoveTime = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), original.data(), original.size());
        const auto t0 = Clock::now();
        const ostrevel::FramingResult result = ostrevel::stripSegmentPrefixes(work.data(), n);
        benchmark::DoNotOptimize(result);
        const auto t1 = Clock::now();
        if (result.status != ostrevel::FramingStatus::Ok) state.SkipWithError("refused");
        std::memcpy(work.data(), original.data(), original.size());
        const auto t2 = Clock::now();
        std::memmove(work.data(), work.data() + 4, original.size() - 4);
        benchmark::ClobberMemory();
        const auto t3 = Clock::now();
        stripTime += seconds(t1 - t0);
        memmoveTime += seconds(t3 - t2);
        state.SetIterationTime(seconds(t1 - t0));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
    state.counters["vs_memmove"] = memmoveTime / stripTime;
}

void BM_Strip(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    stripVersusMemmove(state, framedBody([size] { return size; }));
}
BENCHMARK(BM_Strip)
    ->ArgName("segment_data")
    ->Arg(1)
    ->Arg(16)
    ->Arg(80)
    ->Arg(1024)
    ->Arg(32767)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// A realistic mix: most segments 80 to 2,000 bytes, some short, a few long.
void BM_StripMix(benchmark::State& state) {
    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> usual(80, 2000);
    std::uniform_int_distribution<std::size_t> shortOne(0, 79);
    std::uniform_int_distribution<std::size_t> longOne(2001, 32767);
    std::uniform_int_distribution<int> pick(0, 99);
    stripVersusMemmove(
        state, framedBody([&] {
            const int p = pick(random);
            return p < 85 ? usual(random) : p < 97 ? shortOne(random) : longOne(random);
        }));
}
BENCHMARK(BM_StripMix)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Wrap(benchmark::State& state) {
    const auto size = static_cast<std::int32_t>(state.range(0));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 4, 0x41);
    std::vector<std::uint8_t> small(5, 0x41);
    constexpr int BATCH = 1000;
    double thisTime = 0;
    double smallTime = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < BATCH; ++i) {
            benchmark::DoNotOptimize(buffer.data());
            benchmark::DoNotOptimize(ostrevel::addSegmentPrefix(buffer.data(), size));
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < BATCH; ++i) {
            benchmark::DoNotOptimize(small.data());
            benchmark::DoNotOptimize(ostrevel::addSegmentPrefix(small.data(), 1));
        }
        const auto t2 = Clock::now();
        thisTime += seconds(t1 - t0);
        smallTime += seconds(t2 - t1);
        state.SetIterationTime(seconds(t1 - t0));
    }
    state.counters["ns_per_call"] =
        thisTime * 1e9 / (static_cast<double>(state.iterations()) * BATCH);
    state.counters["vs_1_byte"] = smallTime / thisTime;
}
BENCHMARK(BM_Wrap)->ArgName("body")->Arg(1)->Arg(32767)->UseManualTime()->Unit(
    benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
