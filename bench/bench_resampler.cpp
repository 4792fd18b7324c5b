// Throughput of the rate conversion stage in input frames per second, in the
// 200-frame blocks that a conversion uses.
#include "converter/kerneldsp.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

void stageThroughput(benchmark::State &state, double inRate, double outRate)
{
    constexpr int block = 200;
    KernelDsp stage(nullptr);
    if (stage.setRates(inRate, outRate) != 1) {
        state.SkipWithError("rate pair refused");
        return;
    }
    std::mt19937 random(1);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<Frame> in(block);
    for (Frame &f : in)
        f = Frame{value(random), value(random)};
    std::vector<Frame> out(4 * block);
    int outCount = 0;
    for (auto _ : state) {
        stage.process(in.data(), block, out.data(), &outCount);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
}

} // namespace

BENCHMARK_CAPTURE(stageThroughput, 44100_to_39062_5, 44100.0, 39062.5);
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_44100, 39062.5, 44100.0);
BENCHMARK_CAPTURE(stageThroughput, 48000_to_39062_5, 48000.0, 39062.5);
BENCHMARK_CAPTURE(stageThroughput, 44100_to_44100, 44100.0, 44100.0);

BENCHMARK_MAIN();
