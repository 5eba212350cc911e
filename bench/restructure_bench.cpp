// Adding one index to a table of N rows (id primary key, name, amount, date), against
// SQLite doing the same in the same run, on files in one scratch folder:
//   AddIndex/kura_index_only          RestructureTable with one more secondary index
//                                     (non-unique, on the name): the index is built
//                                     in the table's own index file, the old index
//                                     file kept as .IBK as ALTER TABLE keeps it
//   AddIndex/kura_index_only_nobackup the same without the .IBK
//   AddIndex/kura_full_copy           the same index with a field check every row
//                                     passes, which makes the restructure copy the
//                                     whole table as every index change once did
//                                     (backups kept)
//   AddIndex/sqlite                   CREATE INDEX on the same rows in a file
//                                     database (its default journal and syncs)
// Each run starts from the same files, copied untimed; SQLite's index is dropped
// untimed after each run. The SQLite row carries kura_<variant>/sqlite, the time
// of each of ours over SQLite's.
//
// RESTRUCTURE_ROWS sets N (default 100,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchEnv.h"
#include "bench/BenchFields.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "engine/core/Restructure.h"
#include "engine/files/FieldTypes.h"
#include "tests/engine/core/RestructureTestSupport.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int32_t RowCount() { return bench::CountFromEnvironment("RESTRUCTURE_ROWS", 100'000); }

struct Row {
    int32_t Id;
    std::string Name;
    double Amount;
    int32_t Born;  // day number
};

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::map<std::string, double>& KuraTimes() {
    static std::map<std::string, double> times;
    return times;
}

// The scratch folder with the model table of ours and SQLite's database.
struct Scratch {
    std::string Path;
    std::vector<Row> Rows;
    TDataSession Session;
    TDataDirectory* Dir = nullptr;
    sqlite3* Lite = nullptr;

    Scratch() {
        char name[] = "/tmp/kura-restructure-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        Path = name;
        std::mt19937 rng(5);
        static const char* stems[] = {"tanaka", "suzuki", "sato", "ito", "watanabe", "yamamoto", "nakamura"};
        const int32_t n = RowCount();
        for (int32_t id = 1; id <= n; ++id)
            Rows.push_back({id, std::string(stems[rng() % 7]) + std::to_string(rng() % 5000),
                            static_cast<double>(rng() % 100000) / 4.0, 700000 + static_cast<int32_t>(rng() % 20000)});
        InitEngineLibrary();
        Dir = Session.OpenDataDirectory("BENCH", Path);
        MakeModel();
        MakeLite();
    }
    ~Scratch() {
        sqlite3_close(Lite);
        std::error_code ec;
        fs::remove_all(Path, ec);
    }

    void MakeModel() {
        TTableDefinition def;
        int32_t offset = 9;
        def.Fields = {bench::Field("Id", fldINT32, 0, offset, 1), bench::Field("Name", fldZSTRING, 20, offset, 2),
                      bench::Field("Amount", fldFLOAT, 0, offset, 3), bench::Field("Born", fldDATE, 0, offset, 4)};
        def.Indexes = {bench::OneFieldIndex("", 1, true)};
        TDataTable* table = nullptr;
        if (Dir->CreateTable(table, "MODEL", false, false, def) != 0 || !table)
            throw std::runtime_error("table not created");
        Dir->CloseTable(table, false, false, false);
        TDataCursor c(Dir);
        c.SetTableName("MODEL");
        c.SetExclusive(true);
        c.OpenCursor();
        std::vector<uint8_t> rec(c.GetCursorRecordSize());
        for (const Row& r : Rows) {
            std::fill(rec.begin(), rec.end(), 0);
            c.PutField(1, rec.data(), &r.Id);
            c.PutField(2, rec.data(), r.Name.c_str());
            c.PutField(3, rec.data(), &r.Amount);
            c.PutField(4, rec.data(), &r.Born);
            c.AppendRecord(rec.data(), false);
        }
        c.CloseCursor(false);
    }

    void MakeLite() {
        if (sqlite3_open((Path + "/sqlite.db").c_str(), &Lite) != SQLITE_OK)
            throw std::runtime_error("sqlite open failed");
        Exec("CREATE TABLE rows(id INTEGER PRIMARY KEY, name TEXT, amount REAL, born INTEGER)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(Lite, "INSERT INTO rows VALUES(?,?,?,?)", -1, &insert, nullptr);
        Exec("BEGIN");
        for (const Row& r : Rows) {
            sqlite3_bind_int(insert, 1, r.Id);
            sqlite3_bind_text(insert, 2, r.Name.c_str(), static_cast<int>(r.Name.size()), SQLITE_STATIC);
            sqlite3_bind_double(insert, 3, r.Amount);
            sqlite3_bind_int(insert, 4, r.Born);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        Exec("COMMIT");
        sqlite3_finalize(insert);
    }

    void Exec(const char* sql) {
        if (sqlite3_exec(Lite, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string(sql) + ": " + sqlite3_errmsg(Lite));
    }

    // A fresh copy of the model table as T, nothing else of T's left.
    void FreshCopy() {
        for (const auto& e : fs::directory_iterator(Path))
            if (e.path().stem() == "T") fs::remove(e.path());
        for (const char* ext : {".DAT", ".IDX"}) fs::copy_file(Path + "/MODEL" + ext, Path + "/T" + ext);
    }
};

Scratch& Files() {
    static Scratch s;
    return s;
}

// The model's definition with one more secondary index on the name.
TRestructureParams WithNameIndex() {
    TRestructureParams p = test::CurrentDefinition(Files().Dir, "T");
    TIndexDesc byName;
    byName.SetName("ByName");
    byName.SetField(0, 2);
    p.Indexes[++p.IndexCount] = byName;
    return p;
}

enum class TVariant { IndexOnly, IndexOnlyNoBackup, FullCopy };

void BM_KuraAddIndex(benchmark::State& state, TVariant variant, const char* step) {
    for (auto _ : state) {
        Files().FreshCopy();
        TRestructureParams p = WithNameIndex();
        p.SuppressBackups = variant == TVariant::IndexOnlyNoBackup;
        if (variant == TVariant::FullCopy) p.Fields[0].SetMinValue("0");
        TDataCursor c(Files().Dir);
        c.SetTableName("T");
        c.SetExclusive(true);
        const auto start = Clock::now();
        try {
            c.RestructureTable(p);
        } catch (const EKuraEngineError& e) {
            state.SkipWithError(e.what());
            return;
        }
        const double seconds = Seconds(start);
        const bool copied = fs::exists(Files().Path + "/T.DBK");
        if (copied != (variant == TVariant::FullCopy)) state.SkipWithError("not the way asked for");
        state.SetIterationTime(seconds);
        state.counters["rows/s"] = benchmark::Counter(static_cast<double>(Files().Rows.size()) / seconds);
        KuraTimes()[step] = seconds;
    }
}

void BM_SqliteAddIndex(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        Files().Exec("CREATE INDEX byname ON rows(name)");
        const double seconds = Seconds(start);
        Files().Exec("DROP INDEX byname");
        state.SetIterationTime(seconds);
        state.counters["rows/s"] = benchmark::Counter(static_cast<double>(Files().Rows.size()) / seconds);
        for (const auto& [name, kuraSeconds] : KuraTimes()) state.counters["kura_" + name + "/sqlite"] = kuraSeconds / seconds;
    }
}

const bool kRegistered = [] {
    auto once = [](benchmark::internal::Benchmark* b) {
        b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    once(benchmark::RegisterBenchmark("AddIndex/kura_index_only", BM_KuraAddIndex, TVariant::IndexOnly, "index_only"));
    once(benchmark::RegisterBenchmark("AddIndex/kura_index_only_nobackup", BM_KuraAddIndex,
                                      TVariant::IndexOnlyNoBackup, "index_only_nobackup"));
    once(benchmark::RegisterBenchmark("AddIndex/kura_full_copy", BM_KuraAddIndex, TVariant::FullCopy, "full_copy"));
    once(benchmark::RegisterBenchmark("AddIndex/sqlite", BM_SqliteAddIndex));
    return true;
}();

}  // namespace
