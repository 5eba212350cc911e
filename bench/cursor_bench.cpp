// Random key searches (FindKey) and random go-to-record-number calls
// (SetToRecordNumber) of a cursor on tables of 10^3 to 10^6 records, in the order of
// the unique primary index (5-byte keys) and of a non-unique string index (26-byte
// keys, so a taller tree). Both walk one page per tree level, so their cost should
// follow the height of the tree, not the size of the table. The counters report the
// height and the index pages read from disk per call.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "tests/engine/core/CursorTestSupport.h"

namespace {

using namespace kura;
using namespace kura::test;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/kura-cursor-bench-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::string NameOf(int32_t id) {
    // Spread over the key space, with the id's digits so that names repeat rarely.
    static const char* stems[] = {"tanaka", "suzuki", "sato", "ito", "watanabe", "yamamoto", "nakamura", "kobayashi"};
    return std::string(stems[static_cast<uint32_t>(id) * 2654435761u % 8]) + std::to_string(id % 100000);
}

// A table of n records; keys in the primary index, the name index and "Sys
// Deleted", written in one write bracket with a flush every 50,000 records.
struct BenchTable {
    explicit BenchTable(int32_t n) : Count(n) {
        Db = std::make_unique<NavDb>(Dir.path);
        TDataTable& table = *Db->Table;
        TDataFile& data = table.GetDataFile();
        std::vector<int32_t> ids(static_cast<std::size_t>(n));
        for (int32_t i = 0; i < n; ++i) ids[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(ids.begin(), ids.end(), std::mt19937(5));
        FixtureIndexCursor primary(table.GetIndexFile(), NAV_PRIMARY, false);
        FixtureIndexCursor byName(table.GetIndexFile(), NAV_BY_NAME, false);
        FixtureIndexCursor deleted(table.GetIndexFile(), SYS_DELETED_SLOT, false);
        table.BeginWrite();
        for (int32_t i = 0; i < n; ++i) {
            TRecord* record = nullptr;
            data.AllocateRecord(nullptr, record);
            NavRecord r;
            r.RecordNo = record->GetRecordNumber();
            r.RowId = data.GetNextAutoInc();
            r.Id = ids[static_cast<std::size_t>(i)];
            r.Name = NameOf(r.Id);
            uint8_t* b = record->GetBuffer();
            dfbytes::PutU32(b + RH_NUMBER, r.RecordNo);
            dfbytes::PutU32(b + RH_AUTOINC, r.RowId);
            b[NAV_ID_OFFSET] = 1;
            dfbytes::PutU32(b + NAV_ID_OFFSET + 1, static_cast<uint32_t>(r.Id));
            b[NAV_NAME_OFFSET] = 1;
            std::memcpy(b + NAV_NAME_OFFSET + 1, r.Name.data(), r.Name.size());
            record->Modified = 1;
            data.ReleaseRecord(record);
            primary.Insert(NavKey(table, NAV_PRIMARY, r).data(), r.RecordNo);
            byName.Insert(NavKey(table, NAV_BY_NAME, r).data(), r.RecordNo);
            deleted.Insert(RowKey(0, r.RowId).data(), r.RecordNo);
            table.IncRecordCount();
            if ((i + 1) % 50000 == 0) table.FlushBuffers(true, true, false, false, true);
        }
        table.FlushBuffers(true, true, false, false, true);
        table.EndWrite();
        Cursor = Db->Open();
        // Start from a cold cache of the session's default size.
        Cursor->ResetBuffers(true, false);
        TreeChecker checker(table.GetIndexFile(), primary);
        std::vector<TreeEntry> entries;
        checker.Check(entries, false);
        PrimaryHeight = checker.Height();
        TreeChecker nameChecker(table.GetIndexFile(), byName);
        nameChecker.Check(entries, false);
        NameHeight = nameChecker.Height();
    }
    ~BenchTable() {
        Cursor.reset();
        Db.reset();
    }

    int32_t Count;
    ScratchDir Dir;
    std::unique_ptr<NavDb> Db;
    std::unique_ptr<TDataCursor> Cursor;
    int32_t PrimaryHeight = 0;
    int32_t NameHeight = 0;
};

// One table at a time: the benchmarks of a size run together.
BenchTable& TableOf(int32_t n) {
    static bool started = false;
    if (!started) {
        InitEngineLibrary();
        started = true;
    }
    static std::unique_ptr<BenchTable> current;
    if (!current || current->Count != n) {
        current.reset();
        current = std::make_unique<BenchTable>(n);
    }
    return *current;
}

void Report(benchmark::State& state, BenchTable& t, uint8_t index, uint64_t readsBefore) {
    const uint64_t reads = t.Db->Table->GetIndexFile().Statistics().PageReads - readsBefore;
    state.counters["height"] = index == NAV_PRIMARY ? t.PrimaryHeight : t.NameHeight;
    state.counters["page_reads/op"] =
        benchmark::Counter(static_cast<double>(reads) / static_cast<double>(state.iterations()));
}

void BM_FindKey(benchmark::State& state, uint8_t index) {
    BenchTable& t = TableOf(static_cast<int32_t>(state.range(0)));
    TDataCursor& c = *t.Cursor;
    c.SwitchToIndex(index);
    std::mt19937 rng(17);
    std::vector<uint8_t> image(c.GetCursorRecordSize(), 0);
    const uint64_t before = t.Db->Table->GetIndexFile().Statistics().PageReads;
    int64_t misses = 0;
    for (auto _ : state) {
        const auto id = static_cast<int32_t>(rng() % static_cast<uint32_t>(t.Count)) + 1;
        std::fill(image.begin(), image.end(), 0);
        image[NAV_ID_OFFSET] = 1;
        dfbytes::PutU32(&image[NAV_ID_OFFSET + 1], static_cast<uint32_t>(id));
        const std::string name = NameOf(id);
        image[NAV_NAME_OFFSET] = 1;
        std::memcpy(&image[NAV_NAME_OFFSET + 1], name.data(), name.size());
        if (!c.FindKey(0, image.data(), 1, 0, 0)) ++misses;
    }
    if (misses) state.SkipWithError("a key was not found");
    Report(state, t, index, before);
}

void BM_SetToRecordNumber(benchmark::State& state, uint8_t index) {
    BenchTable& t = TableOf(static_cast<int32_t>(state.range(0)));
    TDataCursor& c = *t.Cursor;
    c.SwitchToIndex(index);
    std::mt19937 rng(23);
    const uint64_t before = t.Db->Table->GetIndexFile().Statistics().PageReads;
    int64_t misses = 0;
    for (auto _ : state) {
        const auto n = static_cast<int32_t>(rng() % static_cast<uint32_t>(t.Count)) + 1;
        if (!c.SetToRecordNumber(n)) ++misses;
    }
    if (misses) state.SkipWithError("a record number was not reached");
    Report(state, t, index, before);
}

// Registered size by size, so that each table is built once.
const bool kRegistered = [] {
    for (int64_t n : {1'000, 10'000, 100'000, 1'000'000}) {
        benchmark::RegisterBenchmark("FindKey/primary", BM_FindKey, NAV_PRIMARY)->Arg(n)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("SetToRecordNumber/primary", BM_SetToRecordNumber, NAV_PRIMARY)
            ->Arg(n)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("FindKey/by_name", BM_FindKey, NAV_BY_NAME)->Arg(n)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("SetToRecordNumber/by_name", BM_SetToRecordNumber, NAV_BY_NAME)
            ->Arg(n)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace
