// Opening a table and closing it again, as every start, every window and every
// query does before its first record: the look for interrupted work beside the
// table, the journal, the headers. In a folder of the program's four tables, and
// in one of 200 tables, where each look at the folder reads more names. And a
// rename, which looks for every name of the table's records and journal copies.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"

namespace {

using namespace kura;
using namespace kura::test;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/kura-open-bench-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The benchmark's count of tables "Table0", "Table1", ... in the folder, each with a
// record and its journal, as tables in use have (or made only); false, said, when one
// could not be made.
bool MakeTables(benchmark::State& state, RecordDb& db, bool used) {
    static const bool started = (InitEngineLibrary(), true);
    (void)started;
    for (int n = 0; n < static_cast<int>(state.range(0)); ++n) {
        const std::string name = "Table" + std::to_string(n);
        if (!CreateRecordTable(*db.dir, name, StressTable())) {
            state.SkipWithError("a table could not be made");
            return false;
        }
        if (!used) continue;
        auto c = OpenRecordCursor(*db.dir, name);
        AppendStressRecord(*c, n + 1, "name", "memo", {});
    }
    return true;
}

void BM_OpenAndClose(benchmark::State& state) {
    ScratchDir dir;
    RecordDb db(dir.path, lpPessimistic);
    if (!MakeTables(state, db, true)) return;
    for (auto _ : state) {
        auto c = OpenRecordCursor(*db.dir, "Table0");
        benchmark::DoNotOptimize(c->GetTable());
        c->CloseCursor(false);
    }
}

BENCHMARK(BM_OpenAndClose)->Arg(4)->Arg(200)->Unit(benchmark::kMicrosecond);

// A table renamed to another name and back, in the same folders.
void BM_RenameThereAndBack(benchmark::State& state) {
    ScratchDir dir;
    RecordDb db(dir.path, lpPessimistic);
    if (!MakeTables(state, db, false)) return;
    for (auto _ : state) {
        if (db.dir->RenameTable("Table0", "Moved", false, false) != 0 ||
            db.dir->RenameTable("Moved", "Table0", false, false) != 0)
            state.SkipWithError("a rename failed");
    }
}

BENCHMARK(BM_RenameThereAndBack)->Arg(4)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace
