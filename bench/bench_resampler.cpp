// Throughput of the rate conversion stage in input frames per second, in the
// 200-frame blocks that a conversion uses: taking its input in place, already
// rounded, as a conversion's reader leaves it ("in place"), and copying it
// from the caller's frames ("copied").
#include "converter/kerneldsp.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

void stageThroughput(benchmark::State &state, double inRate, double outRate, bool inPlace)
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
    // The stage keeps its input area apart from its history.
    std::copy(in.begin(), in.end(), stage.input());
    roundToSingle(stage.input(), block);
    for (auto _ : state) {
        if (inPlace)
            stage.processInput(block, true, 0.3, out.data(), &outCount);
        else
            stage.process(in.data(), block, out.data(), &outCount);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
}

} // namespace

BENCHMARK_CAPTURE(stageThroughput, 44100_to_39062_5, 44100.0, 39062.5, true);
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_44100, 39062.5, 44100.0, true);
BENCHMARK_CAPTURE(stageThroughput, 44100_to_39062_5_copied, 44100.0, 39062.5, false);
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_44100_copied, 39062.5, 44100.0, false);
BENCHMARK_CAPTURE(stageThroughput, 48000_to_39062_5, 48000.0, 39062.5, true);
// The other rates a standard destination may have.
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_48000, 39062.5, 48000.0, true);
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_88200, 39062.5, 88200.0, true);
BENCHMARK_CAPTURE(stageThroughput, 39062_5_to_96000, 39062.5, 96000.0, true);
BENCHMARK_CAPTURE(stageThroughput, 44100_to_44100, 44100.0, 44100.0, true);

BENCHMARK_MAIN();
