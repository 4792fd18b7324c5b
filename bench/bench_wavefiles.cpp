// Throughput of the WAVE file classes in the conversion job's 200-frame
// blocks: reading 24-bit and Brinmoor-WAVE sources, writing both layouts.
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int blockFrames = 200;
constexpr int fileFrames = 1 << 20; // about 24 s at 44100 Hz

QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

template<class File>
QString makeFile(const char *name)
{
    const QString path = scratch().filePath(name);
    File file;
    file.open(path, QIODevice::WriteOnly);
    std::vector<Frame> block(blockFrames);
    for (int i = 0; i < fileFrames; i += blockFrames) {
        for (int k = 0; k < blockFrames; ++k)
            block[size_t(k)] = {((i + k) % 1000) / 1000.0 - 0.5, 0.25};
        file.writeFrames(block.data(), blockFrames);
    }
    file.close();
    return path;
}

template<class File>
void readBlocks(benchmark::State &state, const QString &path)
{
    std::vector<Frame> block(blockFrames);
    for (auto _ : state) {
        File file;
        file.open(path, QIODevice::ReadOnly);
        while (file.readFrames(block.data(), blockFrames) > 0)
            benchmark::DoNotOptimize(block.data());
        file.close();
    }
    state.SetItemsProcessed(state.iterations() * fileFrames);
}

template<class File>
void writeBlocks(benchmark::State &state)
{
    const QString path = scratch().filePath("written.wav");
    std::vector<Frame> block(blockFrames, Frame{0.3, -0.3});
    for (auto _ : state) {
        File file;
        file.open(path, QIODevice::WriteOnly);
        for (int i = 0; i < fileFrames; i += blockFrames)
            file.writeFrames(block.data(), blockFrames);
        file.close();
    }
    state.SetItemsProcessed(state.iterations() * fileFrames);
}

void BM_ReadStandard24(benchmark::State &state)
{
    static const QString path = makeFile<StandardWaveFile>("standard.wav");
    readBlocks<StandardWaveFile>(state, path);
}

void BM_ReadBrinmoor(benchmark::State &state)
{
    static const QString path = makeFile<BrinmoorWaveFile>("recording.wav");
    readBlocks<BrinmoorWaveFile>(state, path);
}

void BM_MeasurePeak(benchmark::State &state)
{
    static const QString path = makeFile<BrinmoorWaveFile>("recording.wav");
    BrinmoorWaveFile file;
    file.open(path, QIODevice::ReadOnly);
    bool ok;
    for (auto _ : state)
        benchmark::DoNotOptimize(file.measurePeak(ok));
    state.SetItemsProcessed(state.iterations() * fileFrames);
}

void BM_WriteStandard24(benchmark::State &state)
{
    writeBlocks<StandardWaveFile>(state);
}

void BM_WriteBrinmoor(benchmark::State &state)
{
    writeBlocks<BrinmoorWaveFile>(state);
}

} // namespace

BENCHMARK(BM_ReadStandard24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBrinmoor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasurePeak)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteStandard24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBrinmoor)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
