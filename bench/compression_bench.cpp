// Level-9 compression and decompression of 64 KiB buffers, the size of a
// whole-file copy chunk and of a large remote payload.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "engine/files/Compression.h"

namespace {

constexpr int32_t kSize = 64 * 1024;

// 0: record-like text; 1: random bytes (incompressible).
std::vector<uint8_t> Input(int kind)
{
    std::vector<uint8_t> v(kSize);
    if (kind == 0) {
        const std::string words = "Staff Simei Furigana 1985-04-01 Tokyo Sales 0312345678 ";
        std::mt19937 rng(1);
        for (int32_t i = 0; i < kSize; ++i)
            v[i] = static_cast<uint8_t>(rng() % 8 == 0 ? '0' + rng() % 10 : words[i % words.size()]);
    } else {
        std::mt19937 rng(2);
        for (auto& b : v)
            b = static_cast<uint8_t>(rng());
    }
    return v;
}

void BM_Compress64K(benchmark::State& state)
{
    const auto input = Input(static_cast<int>(state.range(0)));
    std::vector<uint8_t> out;
    for (auto _ : state) {
        kura::CompressBuffer(input.data(), kSize, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kSize});
    state.counters["ratio"] = static_cast<double>(out.size()) / kSize;
}
BENCHMARK(BM_Compress64K)->Arg(0)->Arg(1)->ArgName("random");

void BM_Decompress64K(benchmark::State& state)
{
    const auto input = Input(static_cast<int>(state.range(0)));
    std::vector<uint8_t> packed, out;
    kura::CompressBuffer(input.data(), kSize, packed);
    for (auto _ : state) {
        kura::DecompressBuffer(packed.data(), static_cast<int32_t>(packed.size()), kSize, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kSize});
}
BENCHMARK(BM_Decompress64K)->Arg(0)->Arg(1)->ArgName("random");

}  // namespace
