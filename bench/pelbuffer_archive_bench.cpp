// Storing and loading image buffers and tools through vkArchive, against
// the memcpy of the same pixels measured in the same run (the floor).
#include <benchmark/benchmark.h>
#include <imgnorm/imgnorm.h>

#include <cstring>
#include <vector>

#include "platform/pelarchive.h"

namespace {

constexpr std::int32_t kSide = 4096;

vkPelBuffer<std::uint8_t> image(std::int32_t margin) {
    vkPelBuffer<std::uint8_t> b(kSide + 2 * margin, kSide + 2 * margin);
    for (std::int32_t y = 0; y < b.height(); ++y)
        for (std::int32_t x = 0; x < b.width(); ++x)
            b.pointToOffset()[y * b.rowUpdate() + x] = static_cast<std::uint8_t>(x * 7 + y * 3);
    b.window(vkPelRect(margin, margin, kSide, kSide));
    return b;
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSide * kSide);
}

void BM_MemcpyFloor(benchmark::State& state) {
    std::vector<std::uint8_t> src(std::size_t{kSide} * kSide, 1), dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
    }
    setBytes(state);
}

// margin 0: contiguous rows; margin 3: a window inside larger storage.
void BM_StorePelBuffer(benchmark::State& state) {
    vkPelBuffer<std::uint8_t> b = image(static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state) {
        vkArchive out;
        out || b;
        benchmark::DoNotOptimize(out.bytes().data());
    }
    setBytes(state);
}

void BM_LoadPelBuffer(benchmark::State& state) {
    vkPelBuffer<std::uint8_t> b = image(0);
    vkArchive out;
    out || b;
    const vkArchive stored(out.bytes());
    for (auto _ : state) {
        vkArchive in = stored;  // the archive copy is part of what a caller pays
        vkPelBuffer<std::uint8_t> loaded;
        in || loaded;
        benchmark::DoNotOptimize(loaded.pointToOffset());
    }
    setBytes(state);
}

// A tool with a 4096 x 4096 reference trained for nothing: the load's own
// cost plus the training it ends with.
void BM_LoadTool(benchmark::State& state) {
    vkImageNormalizer tool;
    tool.referenceImage(image(0), false);
    vkArchive out;
    out || tool;
    const vkArchive stored(out.bytes());
    for (auto _ : state) {
        vkArchive in = stored;
        vkImageNormalizer loaded;
        in || loaded;
        benchmark::DoNotOptimize(&loaded);
    }
    setBytes(state);
}

}  // namespace

BENCHMARK(BM_MemcpyFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StorePelBuffer)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPelBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTool)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyFloor)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
