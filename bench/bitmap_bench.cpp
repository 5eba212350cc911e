// Counting and walking record bitmaps the size of a large table.
#include <benchmark/benchmark.h>

#include <random>

#include "engine/files/RecordsBitmap.h"

namespace {

constexpr int32_t kRecords = 10'000'000;

// Dense: every record set except about one in 64 (long runs of whole words).
// Sparse: about one record in 1,000 set, scattered.
const kura::TRecordsBitmap& Bitmap(bool dense)
{
    static kura::TRecordsBitmap bitmaps[2];
    kura::TRecordsBitmap& b = bitmaps[dense ? 1 : 0];
    if (b.RecordCount() == 0) {
        b.SetRecordCount(kRecords);
        std::mt19937 rng(dense ? 1 : 2);
        if (dense) {
            b.SetAll();
            for (int32_t i = 0; i < kRecords / 64; ++i)
                b.ClearBit(1 + static_cast<int32_t>(rng() % kRecords));
        } else {
            for (int32_t i = 0; i < kRecords / 1000; ++i)
                b.SetBit(1 + static_cast<int32_t>(rng() % kRecords));
        }
    }
    return b;
}

void BM_Count(benchmark::State& state)
{
    const auto& b = Bitmap(state.range(0) != 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(b.Count());
    state.SetItemsProcessed(state.iterations() * int64_t{kRecords});
}
BENCHMARK(BM_Count)->Arg(1)->Arg(0)->ArgName("dense")->Unit(benchmark::kMillisecond);

// Steps through every set record one at a time, as a cursor moving by 1.
void BM_FindNextWalk(benchmark::State& state)
{
    const auto& b = Bitmap(state.range(0) != 0);
    int64_t found = 0;
    for (auto _ : state) {
        int32_t recNo = 0, position = 0;
        while (b.FindNext(recNo, 1, position))
            ++found;
        benchmark::DoNotOptimize(position);
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kRecords});
    state.counters["set"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FindNextWalk)->Arg(1)->Arg(0)->ArgName("dense")->Unit(benchmark::kMillisecond);

// Moves by 1,000 set records at a time, as a cursor paging through a filter.
void BM_FindNextJump(benchmark::State& state)
{
    const auto& b = Bitmap(state.range(0) != 0);
    for (auto _ : state) {
        int32_t recNo = 0, position = 0;
        while (b.FindNext(recNo, 1000, position)) {
        }
        benchmark::DoNotOptimize(position);
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kRecords});
}
BENCHMARK(BM_FindNextJump)->Arg(1)->Arg(0)->ArgName("dense")->Unit(benchmark::kMillisecond);

}  // namespace
