// One million key inserts and one million random key lookups in one index,
// through the page cache and the file: the default cache of a session (two pages
// per index) and a large one (4 MB), with the pages read and written counted.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/files/IndexFile.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace {

constexpr int32_t kKeys = 1'000'000;
constexpr uint16_t kKeySize = 12;  // an 8-byte value and a row identifier

// A non-unique key: a random value and the row identifier, big-endian.
void MakeKey(uint64_t value, uint32_t rowId, uint8_t* key) {
    for (int i = 0; i < 8; ++i) key[i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
    for (int i = 0; i < 4; ++i) key[8 + i] = static_cast<uint8_t>(rowId >> (8 * (3 - i)));
}

// A scratch folder of its own, removed with the file.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/kura-bench-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~ScratchDir() {
        std::remove((path + "/BENCH.IDX").c_str());
        rmdir(path.c_str());
    }
    std::string file(const std::string& leaf) const { return path + "/" + leaf; }
};

struct Table {
    ScratchDir dir;
    kura::test::TestIndexOwner owner;
    std::unique_ptr<kura::TIndexFile> file;
    std::unique_ptr<kura::test::TestIndexCursor> cursor;
    std::vector<uint64_t> values;

    Table(int32_t cacheLimit, uint8_t compression) {
        if (!kura::FileList) kura::FileList = new kura::TFileList();
        owner.CacheLimit = cacheLimit;
        file = std::make_unique<kura::TIndexFile>(&owner);
        file->FileName = dir.file("BENCH.IDX");
        file->CreateFile();
        file->AddIndex(kura::test::MakeIndexDesc("ByValue", kKeySize, false, compression));
        cursor = std::make_unique<kura::test::TestIndexCursor>(*file, 1);
        std::mt19937_64 rng(7);
        values.resize(kKeys);
        for (auto& v : values) v = rng() % 5'000'000'000ULL;
    }
};

void Report(benchmark::State& state, const kura::TIndexFile& file, uint64_t reads0, uint64_t writes0,
            uint64_t runs0) {
    const auto& s = file.Statistics();
    state.counters["pages_read"] = static_cast<double>(s.PageReads - reads0);
    state.counters["pages_written"] = static_cast<double>(s.PageWrites - writes0);
    state.counters["write_runs"] = static_cast<double>(s.RunWrites - runs0);
    state.counters["file_pages"] = static_cast<double>(file.GetLastPageNumber());
}

void BM_InsertThenLookup(benchmark::State& state) {
    const int32_t cacheLimit = static_cast<int32_t>(state.range(0));
    const uint8_t compression = static_cast<uint8_t>(state.range(1));
    const bool lookups = state.range(2) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        Table table(cacheLimit, compression);
        uint8_t key[kKeySize];
        if (lookups) {
            for (int32_t i = 0; i < kKeys; ++i) {
                MakeKey(table.values[i], static_cast<uint32_t>(i + 1), key);
                table.cursor->Insert(key, static_cast<uint32_t>(i + 1));
            }
            table.file->FlushPages(false);
            table.file->TrimPageCache();
        }
        const auto& s = table.file->Statistics();
        const uint64_t reads0 = s.PageReads, writes0 = s.PageWrites, runs0 = s.RunWrites;
        std::mt19937 rng(11);
        state.ResumeTiming();
        if (lookups) {
            int64_t found = 0;
            for (int32_t i = 0; i < kKeys; ++i) {
                const uint32_t row = rng() % kKeys;
                MakeKey(table.values[row], row + 1, key);
                found += table.cursor->Exists(key) ? 1 : 0;
            }
            if (found != kKeys) state.SkipWithError("a key went missing");
        } else {
            for (int32_t i = 0; i < kKeys; ++i) {
                MakeKey(table.values[i], static_cast<uint32_t>(i + 1), key);
                table.cursor->Insert(key, static_cast<uint32_t>(i + 1));
            }
            table.file->FlushPages(false);
            table.file->WriteHeader(false);
        }
        state.PauseTiming();
        Report(state, *table.file, reads0, writes0, runs0);
        table.file->CloseFile();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kKeys});
}

// Arguments: index cache limit in bytes, key compression, lookups (else inserts).
BENCHMARK(BM_InsertThenLookup)
    ->Args({16384, 0, 0})
    ->Args({16384, 0, 1})
    ->Args({4 << 20, 0, 0})
    ->Args({4 << 20, 0, 1})
    ->Args({4 << 20, 3, 0})
    ->Args({4 << 20, 3, 1})
    ->ArgNames({"cache", "compression", "lookup"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
