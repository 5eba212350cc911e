// How the cost of the main workloads grows with the table, ours beside SQLite on the
// same rows in the same run, at 10,000, 100,000 and 1,000,000 records (SCALE_SIZES
// gives other sizes, comma-separated):
//   append        every record through a shared cursor in one transaction, keys in
//                 shuffled order (SQLite: INSERT in one transaction)
//   scan_natural  every record in the order the file keeps them
//   scan_primary  every record in primary-key order
//   group_by      SELECT grp, COUNT(*) FROM t GROUP BY grp (100 groups)
//   indexed_join  SELECT d.name, t.id FROM d, t WHERE d.id = t.grp (d: 1,000 rows,
//                 t.grp indexed on both sides), every row read
//   shared_delete every tenth record, found by key and deleted through a shared
//                 cursor in one transaction (SQLite: DELETE ... WHERE id = ?)
// Durability and cache as in engine_vs_sqlite: SQLite synchronous=OFF beside our
// unforced commits, its page cache held to the size of ours (64 KB), a file in the
// same folder. Each step runs once per size; the table at the end gives the seconds,
// the ratio ours / SQLite's, and for each size after the first the growth of our
// time against N log N: "x N log N" is (t2 / t1) / (N2 log N2 / N1 log N1), and a
// step is marked FASTER where that passes 1.5 (cost growing faster than N log N).
// Beside each time stands the process's peak resident memory over that step (MB,
// the peak reset as the step starts). SCALE_STEPS names the steps to run after the
// append that fills the table (comma-separated; all when unset), for profiling.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchFields.h"
#include "bench/BenchMemory.h"
#include "bench/BenchQueries.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldTypes.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;
using kura::bench::Field;

constexpr int32_t GROUPS = 100;
constexpr int32_t DEPARTMENTS = 1000;

std::vector<int32_t> Sizes() {
    const char* text = getenv("SCALE_SIZES");
    std::vector<int32_t> sizes;
    std::stringstream in(text ? text : "10000,100000,1000000");
    for (std::string item; std::getline(in, item, ',');) {
        const long n = strtol(item.c_str(), nullptr, 10);
        if (n >= 1000 && n <= 10'000'000) sizes.push_back(static_cast<int32_t>(n));
    }
    return sizes;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using kura::bench::OneFieldIndex;

struct Times {
    double Ours = 0;
    double Theirs = 0;
    double OursPeakMB = 0;
    double TheirsPeakMB = 0;
};

// Whether SCALE_STEPS (unset: every step) names the step.
bool Wanted(const std::string& step) {
    const char* text = getenv("SCALE_STEPS");
    if (!text || step == "append") return true;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (item == step) return true;
    return false;
}

// Resets the process's peak resident memory to what is resident now.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// step -> size -> times
std::map<std::string, std::map<int32_t, Times>>& Results() {
    static std::map<std::string, std::map<int32_t, Times>> results;
    return results;
}

class World {
public:
    explicit World(int32_t n) : N(n) {
        char name[] = "/tmp/kura-scale-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        Path = name;
        InitEngineLibrary();
        Session = std::make_unique<TDataSession>();
        Session->SetPrivateDir(Path);
        Dir = Session->OpenDataDirectory("DB", Path);
        int32_t offset = 9;
        TTableDefinition t;
        t.Fields = {Field("id", fldINT32, 0, offset, 1), Field("grp", fldINT32, 0, offset, 2),
                    Field("name", fldZSTRING, 20, offset, 3), Field("note", fldZSTRING, 40, offset, 4)};
        t.Indexes = {OneFieldIndex("", 1, true), OneFieldIndex("bygrp", 2, false)};
        offset = 9;
        TTableDefinition d;
        d.Fields = {Field("id", fldINT32, 0, offset, 1), Field("name", fldZSTRING, 20, offset, 2)};
        d.Indexes = {OneFieldIndex("", 1, true)};
        Create("t", t);
        Create("d", d);
        sqlite3_open((Path + "/peer.sqlite").c_str(), &Lite);
        Exec("PRAGMA synchronous=OFF; PRAGMA cache_size=-64;"
             "CREATE TABLE t(id INTEGER PRIMARY KEY, grp INTEGER, name TEXT, note TEXT);"
             "CREATE INDEX t_grp ON t(grp); CREATE TABLE d(id INTEGER PRIMARY KEY, name TEXT)");
        std::mt19937 rng(34);
        Order.resize(static_cast<std::size_t>(N));
        for (int32_t i = 0; i < N; ++i) Order[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(Order.begin(), Order.end(), rng);
        Deletes.assign(Order.begin(), Order.end());
        std::shuffle(Deletes.begin(), Deletes.end(), rng);
        Deletes.resize(static_cast<std::size_t>(N / 10));
        FillDepartments();
    }
    ~World() {
        sqlite3_close(Lite);
        Session.reset();
        DoneEngineLibrary();
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }

    void Run() {
        Step("append", [&] { AppendOurs(); }, [&] { AppendTheirs(); });
        Step("scan_natural", [&] { ScanOurs(NATURAL_ORDER); }, [&] { Rows("SELECT id, name, note FROM t"); });
        Step("scan_primary", [&] { ScanOurs(PRIMARY_INDEX); },
             [&] { Rows("SELECT id, name, note FROM t ORDER BY id"); });
        const std::string groupBy = "SELECT grp, COUNT(*) FROM t GROUP BY grp";
        Step("group_by", [&] { Check(Sql(groupBy), GROUPS); }, [&] { Check(Rows(groupBy), GROUPS); });
        const std::string join = "SELECT d.name, t.id FROM d, t WHERE d.id = t.grp";
        Step("indexed_join", [&] { Check(Sql(join), N); }, [&] { Check(Rows(join), N); });
        Step("shared_delete", [&] { DeleteOurs(); }, [&] { DeleteTheirs(); });
    }

private:
    template <class Ours, class Theirs>
    void Step(const std::string& name, Ours ours, Theirs theirs) {
        if (!Wanted(name)) return;
        ResetPeak();
        auto start = Clock::now();
        ours();
        Times& t = Results()[name][N];
        t.Ours = Seconds(start);
        t.OursPeakMB = kura::bench::ResidentMB("VmHWM");
        ResetPeak();
        start = Clock::now();
        theirs();
        t.Theirs = Seconds(start);
        t.TheirsPeakMB = kura::bench::ResidentMB("VmHWM");
        std::printf("%-14s %9d  ours %9.3f s %7.1f MB  sqlite %9.3f s %7.1f MB\n", name.c_str(), N, t.Ours,
                    t.OursPeakMB, t.Theirs, t.TheirsPeakMB);
        std::fflush(stdout);
    }
    static void Check(int64_t rows, int64_t expected) {
        if (rows != expected) throw std::runtime_error("unexpected row count " + std::to_string(rows));
    }
    void Create(const char* name, const TTableDefinition& def) {
        TDataTable* table = nullptr;
        if (Dir->CreateTable(table, name, false, false, def) != 0 || !table) throw std::runtime_error("create");
        Dir->CloseTable(table, false, false, false);
    }
    void Exec(const char* sql) {
        if (sqlite3_exec(Lite, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(Lite));
    }
    std::unique_ptr<TDataCursor> Open(const char* table) {
        auto c = std::make_unique<TDataCursor>(Dir);
        c->SetTableName(table);
        c->OpenCursor();
        return c;
    }
    void FillDepartments() {
        auto c = Open("d");
        std::vector<uint8_t> rec(c->GetCursorRecordSize());
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(Lite, "INSERT INTO d VALUES (?, ?)", -1, &insert, nullptr);
        for (int32_t id = 0; id < DEPARTMENTS; ++id) {
            const std::string name = "dept" + std::to_string(id);
            c->InitRecord(rec.data());
            c->PutField(1, rec.data(), &id);
            c->PutField(2, rec.data(), name.c_str());
            c->AppendRecord(rec.data(), false);
            sqlite3_bind_int(insert, 1, id);
            sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT");
    }
    // The groups are the first GROUPS departments: the join meets every record once.
    static int32_t GroupOf(int32_t id) { return id % GROUPS; }

    void AppendOurs() {
        auto c = Open("t");
        std::vector<uint8_t> rec(c->GetCursorRecordSize());
        Dir->StartTransaction();
        for (const int32_t id : Order) {
            const int32_t grp = GroupOf(id);
            const std::string name = "name" + std::to_string(id % 50000);
            const std::string note = "note of record " + std::to_string(id);
            c->InitRecord(rec.data());
            c->PutField(1, rec.data(), &id);
            c->PutField(2, rec.data(), &grp);
            c->PutField(3, rec.data(), name.c_str());
            c->PutField(4, rec.data(), note.c_str());
            c->AppendRecord(rec.data(), false);
        }
        Dir->Commit();
    }
    void AppendTheirs() {
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(Lite, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        for (const int32_t id : Order) {
            const std::string name = "name" + std::to_string(id % 50000);
            const std::string note = "note of record " + std::to_string(id);
            sqlite3_bind_int(insert, 1, id);
            sqlite3_bind_int(insert, 2, GroupOf(id));
            sqlite3_bind_text(insert, 3, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 4, note.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT");
    }
    void ScanOurs(uint8_t index) {
        auto c = Open("t");
        c->SwitchToIndex(index);
        std::vector<uint8_t> rec(c->GetCursorRecordSize());
        int64_t rows = 0;
        c->SetToBegin();
        while (c->GetNextRecord(rec.data()) == 0) ++rows;
        Check(rows, N);
    }
    void DeleteOurs() {
        auto c = Open("t");
        c->SwitchToIndex(PRIMARY_INDEX);
        std::vector<uint8_t> key(c->GetCursorRecordSize()), rec(c->GetCursorRecordSize());
        Dir->StartTransaction();
        for (const int32_t id : Deletes) {
            c->InitRecord(key.data());
            c->PutField(1, key.data(), &id);
            if (!c->FindKey(0, key.data(), 1, 0, 0, rec.data())) throw std::runtime_error("key not found");
            c->DeleteRecord(rec.data(), false);
        }
        Dir->Commit();
        Check(c->GetTableRecordCount(), N - static_cast<int64_t>(Deletes.size()));
    }
    void DeleteTheirs() {
        Exec("BEGIN");
        sqlite3_stmt* remove = nullptr;
        sqlite3_prepare_v2(Lite, "DELETE FROM t WHERE id = ?", -1, &remove, nullptr);
        for (const int32_t id : Deletes) {
            sqlite3_bind_int(remove, 1, id);
            sqlite3_step(remove);
            sqlite3_reset(remove);
        }
        sqlite3_finalize(remove);
        Exec("COMMIT");
    }
    // Rows of an SQL statement, every one read back.
    int64_t Sql(const std::string& sql) { return kura::bench::ReadSelectRows(*Session, Dir, sql); }
    int64_t Rows(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(Lite, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(Lite));
        int64_t rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            sqlite3_column_text(st, 1);
            ++rows;
        }
        sqlite3_finalize(st);
        return rows;
    }

    int32_t N;
    std::string Path;
    std::unique_ptr<TDataSession> Session;
    TDataDirectory* Dir = nullptr;
    sqlite3* Lite = nullptr;
    std::vector<int32_t> Order;
    std::vector<int32_t> Deletes;
};

void PrintTable() {
    std::printf("\n%-14s %9s %10s %10s %10s %10s %8s %12s\n", "step", "records", "ours s", "ours MB", "sqlite s",
                "sqlite MB", "ratio", "x N log N");
    for (const auto& [step, sizes] : Results()) {
        const std::pair<const int32_t, Times>* previous = nullptr;
        for (const auto& entry : sizes) {
            const auto& [n, t] = entry;
            std::string growth = "";
            if (previous) {
                const double n1 = previous->first;
                const double nlogn = (n * std::log(static_cast<double>(n))) / (n1 * std::log(n1));
                const double g = (t.Ours / std::max(previous->second.Ours, 1e-9)) / nlogn;
                char text[32];
                std::snprintf(text, sizeof text, "%.2f%s", g, g > 1.5 ? " FASTER" : "");
                growth = text;
            }
            std::printf("%-14s %9d %10.3f %10.1f %10.3f %10.1f %8.2f %12s\n", step.c_str(), n, t.Ours, t.OursPeakMB,
                        t.Theirs, t.TheirsPeakMB, t.Ours / std::max(t.Theirs, 1e-9), growth.c_str());
            previous = &entry;
        }
    }
    std::fflush(stdout);
}

void BM_Scale(benchmark::State& state) {
    for (auto _ : state) {
        try {
            for (const int32_t n : Sizes()) World(n).Run();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
        }
    }
    PrintTable();
}
BENCHMARK(BM_Scale)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
