// Delimited import and export and the record sort, against SQLite doing the same
// work in the same run, on files in one scratch folder:
//   Read/file_only            the CSV file read in 64 KB blocks, nothing else: the
//                             floor an import cannot go below
//   Import/primary_index      N CSV lines (id, quoted name, amount, date; ids
//                             shuffled) into a table with a primary index on the id;
//                             SQLite inserts the same rows, parsed beforehand, into
//                             an INTEGER PRIMARY KEY table in one transaction
//   Sort/two_keys             N records of an index-less table sorted on name and
//                             amount; SQLite runs CREATE TABLE ... AS SELECT ... ORDER BY
//   Export/all_records        every record written as CSV in primary-key order (and,
//                             as a variant, in record order); SQLite steps a SELECT
//                             and formats the same lines
// Ours imports as the import does it, each record written when its append ends;
// SORT_IMPORT_TRANSACTION=1 adds a variant inside one database transaction, like
// SQLite's (it holds every change in memory until the commit, and is slower here).
// Each step runs once. The SQLite rows carry kura/sqlite (our time over SQLite's); the
// import row of ours carries read/import, the share of the import's time that reading
// the file alone takes.
//
// SORT_IMPORT_RECORDS sets N (default 1,000,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
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
#include "engine/core/DelimitedText.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldTypes.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

int32_t RecordCount() { return bench::CountFromEnvironment("SORT_IMPORT_RECORDS", 1'000'000); }

struct Row {
    int32_t Id;
    std::string Name;
    double Amount;
    std::string Born;  // yyyy/mm/dd
};

struct Scratch {
    std::string Path;
    std::string Csv;
    std::vector<Row> Rows;
    Scratch() {
        char name[] = "/tmp/kura-sort-import-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        Path = name;
        Csv = Path + "/rows.csv";
        const int32_t n = RecordCount();
        std::mt19937 rng(11);
        std::vector<int32_t> ids(static_cast<std::size_t>(n));
        for (int32_t i = 0; i < n; ++i) ids[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(ids.begin(), ids.end(), rng);
        static const char* stems[] = {"tanaka", "suzuki", "sato", "ito", "watanabe", "yamamoto", "nakamura"};
        std::string text;
        text.reserve(static_cast<std::size_t>(n) * 40);
        for (int32_t id : ids) {
            Row r{id, std::string(stems[rng() % 7]) + std::to_string(rng() % 1000),
                  static_cast<double>(rng() % 100000) / 4.0, ""};
            char born[16];
            std::snprintf(born, sizeof born, "%04u/%02u/%02u", static_cast<unsigned>(1950 + rng() % 60),
                          static_cast<unsigned>(1 + rng() % 12), static_cast<unsigned>(1 + rng() % 28));
            r.Born = born;
            char line[128];
            std::snprintf(line, sizeof line, "%d,\"%s\",%.2f,%s\r\n", r.Id, r.Name.c_str(), r.Amount, born);
            text += line;
            Rows.push_back(std::move(r));
        }
        FILE* f = std::fopen(Csv.c_str(), "wb");
        if (!f) throw std::runtime_error("no csv file");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
};

Scratch& Files() {
    static Scratch s;
    return s;
}

std::map<std::string, double>& KuraTimes() {
    static std::map<std::string, double> times;
    return times;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void Finish(benchmark::State& state, const std::string& step, double seconds, bool ours) {
    state.SetIterationTime(seconds);
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(Files().Rows.size()) / seconds);
    if (ours) {
        KuraTimes()[step] = seconds;
        return;
    }
    // "step" is ours in its plain form, "step/variant" a variant of ours.
    const std::string prefix = step + "/";
    for (const auto& [name, kuraSeconds] : KuraTimes()) {
        if (name == step)
            state.counters["kura/sqlite"] = kuraSeconds / seconds;
        else if (name.compare(0, prefix.size(), prefix) == 0)
            state.counters["kura_" + name.substr(prefix.size()) + "/sqlite"] = kuraSeconds / seconds;
    }
}

// ---- Our engine -------------------------------------------------------------------------

using kura::bench::Field;

TTableDefinition Definition(bool primary) {
    TTableDefinition def;
    int32_t offset = 9;
    def.Fields = {Field("Id", fldINT32, 0, offset, 1), Field("Name", fldZSTRING, 20, offset, 2),
                  Field("Amount", fldFLOAT, 0, offset, 3), Field("Born", fldDATE, 0, offset, 4)};
    if (primary) {
        TIndexDesc key;
        key.SetByte(ido::FieldCount, 1);
        key.SetByte(ido::Unique, 1);
        key.SetField(0, 1);
        key.SetKeySize(5);
        def.Indexes = {key};
    }
    return def;
}

struct Kura {
    Kura() {
        InitEngineLibrary();
        Dir = Session.OpenDataDirectory("BENCH", Files().Path);
        for (auto [name, primary] :
             {std::pair{"KIMPORT", true}, std::pair{"KIMPORT2", true}, std::pair{"KSORT", false}}) {
            TDataTable* table = nullptr;
            if (Dir->CreateTable(table, name, false, false, Definition(primary)) != 0 || !table)
                throw std::runtime_error("table not created");
            Dir->CloseTable(table, false, false, false);
        }
    }
    std::unique_ptr<TDataCursor> Open(const char* name) {
        auto c = std::make_unique<TDataCursor>(Dir);
        c->SetTableName(name);
        c->SetExclusive(true);
        c->OpenCursor();
        return c;
    }
    TDelimitedTextParams Params(TDataCursor& c, std::vector<TFieldDesc>& store, const std::string& file) {
        store.resize(4);
        TDelimitedTextParams p;
        p.FileName = file;
        for (uint16_t i = 1; i <= 4; ++i) {
            c.GetFieldDesc(i, store[i - 1]);
            p.Fields.push_back(&store[i - 1]);
        }
        return p;
    }
    TDataSession Session;
    TDataDirectory* Dir = nullptr;
};

Kura& Ours() {
    static Kura k;
    return k;
}

void BM_ReadOnly(benchmark::State& state) {
    Files();
    for (auto _ : state) {
        std::vector<char> buffer(65536);
        const auto start = Clock::now();
        FILE* f = std::fopen(Files().Csv.c_str(), "rb");
        size_t total = 0, got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) total += got;
        std::fclose(f);
        benchmark::DoNotOptimize(total);
        Finish(state, "read", Seconds(start), true);
    }
}

void BM_KuraImport(benchmark::State& state, const char* table, bool transaction) {
    for (auto _ : state) {
        auto c = Ours().Open(table);
        std::vector<TFieldDesc> store;
        TDelimitedTextParams p = Ours().Params(*c, store, Files().Csv);
        const auto start = Clock::now();
        try {
            if (transaction) Ours().Dir->StartTransaction();
            c->ImportTable(p);
            if (transaction) Ours().Dir->Commit();
        } catch (const EKuraEngineError& e) {
            state.SkipWithError((e.what() + (" " + e.ErrorContext(ctxField))).c_str());
            return;
        }
        c.reset();
        const double seconds = Seconds(start);
        c = Ours().Open(table);
        if (c->GetTableRecordCount() != Files().Rows.size()) state.SkipWithError("rows missing");
        Finish(state, transaction ? "import/one_transaction" : "import", seconds, true);
        state.counters["read/import"] = KuraTimes()["read"] / seconds;
    }
}

void BM_KuraSort(benchmark::State& state) {
    for (auto _ : state) {
        auto c = Ours().Open("KSORT");
        // The rows to sort, appended untimed.
        std::vector<uint8_t> rec(c->GetCursorRecordSize());
        for (const Row& r : Files().Rows) {
            std::fill(rec.begin(), rec.end(), 0);
            c->PutField(1, rec.data(), &r.Id);
            c->PutField(2, rec.data(), r.Name.c_str());
            c->PutField(3, rec.data(), &r.Amount);
            c->AppendRecord(rec.data(), false);
        }
        c->SetNoPrimaryIndex(true);
        c.reset();
        c = Ours().Open("KSORT");
        TSortRequest q;
        q.Fields.resize(2);
        c->GetFieldDesc(2, q.Fields[0]);
        c->GetFieldDesc(3, q.Fields[1]);
        const auto start = Clock::now();
        const TSortResult result = c->SortRecords(q);
        c.reset();
        const double seconds = Seconds(start);
        if (result.OutputCount != Files().Rows.size()) state.SkipWithError("rows missing");
        state.counters["runs"] = result.Runs;
        Finish(state, "sort", seconds, true);
    }
}

void BM_KuraExport(benchmark::State& state, bool natural) {
    for (auto _ : state) {
        auto c = Ours().Open("KIMPORT");
        c->SwitchToIndex(natural ? NATURAL_ORDER : PRIMARY_INDEX);
        std::vector<TFieldDesc> store;
        TDelimitedTextParams p = Ours().Params(*c, store, Files().Path + "/export.csv");
        const auto start = Clock::now();
        c->ExportTable(p);
        Finish(state, natural ? "export/natural_order" : "export", Seconds(start), true);
    }
}

// ---- SQLite -----------------------------------------------------------------------------

void Check(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) { Check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql); }

struct Lite {
    Lite() {
        const std::string path = Files().Path + "/sqlite.db";
        if (sqlite3_open(path.c_str(), &Db) != SQLITE_OK) throw std::runtime_error("sqlite open failed");
        Exec(Db, "CREATE TABLE rows(id INTEGER PRIMARY KEY, name TEXT, amount REAL, born TEXT)");
    }
    ~Lite() { sqlite3_close(Db); }
    sqlite3* Db = nullptr;
};

Lite& Theirs() {
    static Lite l;
    return l;
}

void BM_SqliteImport(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = Theirs().Db;
        sqlite3_stmt* insert = nullptr;
        Check(db, sqlite3_prepare_v2(db, "INSERT INTO rows VALUES(?,?,?,?)", -1, &insert, nullptr), "prepare");
        const auto start = Clock::now();
        Exec(db, "BEGIN");
        for (const Row& r : Files().Rows) {
            sqlite3_bind_int(insert, 1, r.Id);
            sqlite3_bind_text(insert, 2, r.Name.c_str(), static_cast<int>(r.Name.size()), SQLITE_STATIC);
            sqlite3_bind_double(insert, 3, r.Amount);
            sqlite3_bind_text(insert, 4, r.Born.c_str(), static_cast<int>(r.Born.size()), SQLITE_STATIC);
            Check(db, sqlite3_step(insert), "insert");
            sqlite3_reset(insert);
        }
        Exec(db, "COMMIT");
        const double seconds = Seconds(start);
        sqlite3_finalize(insert);
        Finish(state, "import", seconds, false);
    }
}

void BM_SqliteSort(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        Exec(Theirs().Db, "CREATE TABLE sorted AS SELECT * FROM rows ORDER BY name, amount");
        Finish(state, "sort", Seconds(start), false);
    }
}

void BM_SqliteExport(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = Theirs().Db;
        sqlite3_stmt* select = nullptr;
        Check(db, sqlite3_prepare_v2(db, "SELECT id, name, amount, born FROM rows", -1, &select, nullptr), "prepare");
        const std::string file = Files().Path + "/sqlite_export.csv";
        const auto start = Clock::now();
        FILE* f = std::fopen(file.c_str(), "wb");
        std::vector<char> out;
        out.reserve(70000);
        char line[160];
        while (sqlite3_step(select) == SQLITE_ROW) {
            const int n = std::snprintf(line, sizeof line, "%d,\"%s\",%.15g,%s\r\n", sqlite3_column_int(select, 0),
                                        reinterpret_cast<const char*>(sqlite3_column_text(select, 1)),
                                        sqlite3_column_double(select, 2),
                                        reinterpret_cast<const char*>(sqlite3_column_text(select, 3)));
            if (out.size() + static_cast<std::size_t>(n) > 65536) {
                std::fwrite(out.data(), 1, out.size(), f);
                out.clear();
            }
            out.insert(out.end(), line, line + n);
        }
        std::fwrite(out.data(), 1, out.size(), f);
        std::fclose(f);
        const double seconds = Seconds(start);
        sqlite3_finalize(select);
        Finish(state, "export", seconds, false);
    }
}

const bool kRegistered = [] {
    auto once = [](benchmark::internal::Benchmark* b) {
        b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    once(benchmark::RegisterBenchmark("Read/file_only", BM_ReadOnly));
    once(benchmark::RegisterBenchmark("Import/primary_index/kura", BM_KuraImport, "KIMPORT", false));
    if (getenv("SORT_IMPORT_TRANSACTION"))
        once(benchmark::RegisterBenchmark("Import/primary_index/kura_one_transaction", BM_KuraImport, "KIMPORT2",
                                          true));
    once(benchmark::RegisterBenchmark("Import/primary_index/sqlite", BM_SqliteImport));
    once(benchmark::RegisterBenchmark("Sort/two_keys/kura", BM_KuraSort));
    once(benchmark::RegisterBenchmark("Sort/two_keys/sqlite", BM_SqliteSort));
    once(benchmark::RegisterBenchmark("Export/all_records/kura", BM_KuraExport, false));
    once(benchmark::RegisterBenchmark("Export/all_records/kura_natural_order", BM_KuraExport, true));
    once(benchmark::RegisterBenchmark("Export/all_records/sqlite", BM_SqliteExport));
    return true;
}();

}  // namespace
