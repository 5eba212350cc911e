// SELECT statements through our planner and executor against SQLite running the
// same SQL on the same 100,000-row tables, each once, in one run:
//   CountIndexedWhere  SELECT COUNT(*) FROM a WHERE grp = 7 (grp indexed)
//   GroupBySum         SELECT grp, SUM(val) FROM a GROUP BY grp (20 groups)
//   JoinIndexedKey     SELECT a.val, b.name FROM a, b WHERE a.id = b.id (b.id indexed)
//   JoinSmallSide      the same join restricted to 1,000 ids of b: b drives
//   OrderByUnindexed   SELECT id, val FROM a ORDER BY val
//   UnindexedRange     SELECT k FROM c WHERE v > 0 AND v < 5 (no index on v)
//   UnindexedEquals    SELECT k FROM c WHERE v = 5 AND h = 5 (no index on either)
//   SecondKeyFieldRange SELECT k FROM c WHERE h > 10 AND h < 20 (h the second field
//                      of c's only index, on (g, h))
//   SecondKeyFieldBetween the same rows as h BETWEEN 11 AND 19
// Ours plans, builds its result table and reads every result row back; SQLite
// prepares and steps every row. Each row carries kura_ms, sqlite_ms and ratio
// (ours over SQLite's). SQL_EXEC_ROWS sets the row count (default 100,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchEnv.h"
#include "bench/BenchFields.h"
#include "bench/BenchQueries.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/IndexFile.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

int32_t RowCount() { return bench::CountFromEnvironment("SQL_EXEC_ROWS", 100'000, 100); }

using kura::bench::Field;

TIndexDesc Index(const char* name, uint16_t field) {
    TIndexDesc d;
    d.SetName(name);
    d.SetField(0, field);
    d.SetByte(ido::FieldCount, 1);
    d.SetKeySize(5 + 4);
    return d;
}

struct Fixture {
    std::string Path;
    TDataSession Session;
    TDataDirectory* Dir = nullptr;
    sqlite3* Lite = nullptr;

    Fixture() {
        InitEngineLibrary();
        char name[] = "/tmp/kura-sql-exec-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        Path = name;
        Session.SetPrivateDir(Path);
        Dir = Session.OpenDataDirectory("DB", Path);
        sqlite3_open(":memory:", &Lite);
        Fill();
    }
    ~Fixture() {
        sqlite3_close(Lite);
        Session.FreeDirectories();
        std::filesystem::remove_all(Path);
    }

    void Create(const char* table, const TTableDefinition& def) {
        TDataTable* t = nullptr;
        if (Dir->CreateTable(t, table, false, false, def) != 0 || !t) throw std::runtime_error("create");
        Dir->CloseTable(t, false, false, false);
    }

    void Fill() {
        const int32_t n = RowCount();
        TTableDefinition a, b;
        int32_t offset = 9;
        a.Fields = {Field("id", fldINT32, 0, offset, 1), Field("grp", fldINT32, 0, offset, 2),
                    Field("val", fldFLOAT, 0, offset, 3), Field("name", fldZSTRING, 16, offset, 4)};
        a.Indexes = {TIndexDesc{}, Index("ixid", 1), Index("ixgrp", 2)};
        offset = 9;
        b.Fields = {Field("id", fldINT32, 0, offset, 1), Field("name", fldZSTRING, 16, offset, 2)};
        b.Indexes = {TIndexDesc{}, Index("ixid", 1)};
        TTableDefinition c;
        offset = 9;
        c.Fields = {Field("k", fldINT32, 0, offset, 1), Field("v", fldINT32, 0, offset, 2),
                    Field("g", fldINT32, 0, offset, 3), Field("h", fldINT32, 0, offset, 4)};
        TIndexDesc gh = Index("ixgh", 3);
        gh.SetField(1, 4);
        gh.SetByte(ido::FieldCount, 2);
        gh.SetKeySize(5 + 5 + 4);
        c.Indexes = {TIndexDesc{}, gh};
        Create("a", a);
        Create("b", b);
        Create("c", c);
        Exec("CREATE TABLE a (id INTEGER, grp INTEGER, val REAL, name TEXT); CREATE INDEX ixa ON a(id);"
             "CREATE INDEX ixg ON a(grp); CREATE TABLE b (id INTEGER, name TEXT); CREATE INDEX ixb ON b(id);"
             "CREATE TABLE c (k INTEGER, v INTEGER, g INTEGER, h INTEGER); CREATE INDEX ixgh ON c(g, h);"
             "BEGIN");
        std::mt19937 rng(7);
        std::mt19937 crng(17);  // c's values apart, so that a's and b's stay as they were
        std::vector<int32_t> ids(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) ids[static_cast<size_t>(i)] = i + 1;
        std::shuffle(ids.begin(), ids.end(), rng);
        sqlite3_stmt* ia = nullptr;
        sqlite3_stmt* ib = nullptr;
        sqlite3_prepare_v2(Lite, "INSERT INTO a VALUES (?, ?, ?, ?)", -1, &ia, nullptr);
        sqlite3_prepare_v2(Lite, "INSERT INTO b VALUES (?, ?)", -1, &ib, nullptr);
        sqlite3_stmt* ic = nullptr;
        sqlite3_prepare_v2(Lite, "INSERT INTO c VALUES (?, ?, ?, ?)", -1, &ic, nullptr);
        TDataCursor ca(Dir), cb(Dir), cc(Dir);
        ca.SetTableName("a");
        cb.SetTableName("b");
        cc.SetTableName("c");
        for (TDataCursor* cursor : {&ca, &cb, &cc}) {
            cursor->SetExclusive(true);
            cursor->OpenCursor();
        }
        std::vector<uint8_t> ra(ca.GetRecordSize() + 16u), rb(cb.GetRecordSize() + 16u);
        std::vector<uint8_t> rc(cc.GetRecordSize() + 16u);
        for (int32_t i = 0; i < n; ++i) {
            const int32_t id = ids[static_cast<size_t>(i)];
            const int32_t grp = id % 20;
            const double val = static_cast<double>(rng() % 100000) / 10.0;
            const std::string name = "n" + std::to_string(rng() % 50000);
            ca.InitRecord(ra.data());
            ca.PutField(1, ra.data(), &id);
            ca.PutField(2, ra.data(), &grp);
            ca.PutField(3, ra.data(), &val);
            ca.PutField(4, ra.data(), name.c_str());
            ca.AppendRecord(ra.data(), false);
            cb.InitRecord(rb.data());
            cb.PutField(1, rb.data(), &id);
            cb.PutField(2, rb.data(), name.c_str());
            cb.AppendRecord(rb.data(), false);
            sqlite3_bind_int(ia, 1, id);
            sqlite3_bind_int(ia, 2, grp);
            sqlite3_bind_double(ia, 3, val);
            sqlite3_bind_text(ia, 4, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(ia);
            sqlite3_reset(ia);
            sqlite3_bind_int(ib, 1, id);
            sqlite3_bind_text(ib, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(ib);
            sqlite3_reset(ib);
            // c: v and h of a thousand values, g of a hundred.
            const int32_t values[] = {id, static_cast<int32_t>(crng() % 1000), static_cast<int32_t>(crng() % 100),
                                      static_cast<int32_t>(crng() % 1000)};
            cc.InitRecord(rc.data());
            for (uint16_t f = 1; f <= 4; ++f) {
                cc.PutField(f, rc.data(), &values[f - 1]);
                sqlite3_bind_int(ic, f, values[f - 1]);
            }
            cc.AppendRecord(rc.data(), false);
            sqlite3_step(ic);
            sqlite3_reset(ic);
        }
        sqlite3_finalize(ia);
        sqlite3_finalize(ib);
        sqlite3_finalize(ic);
        Exec("COMMIT; ANALYZE");
        for (TDataCursor* cursor : {&ca, &cb, &cc}) cursor->CloseCursor(false);
    }

    void Exec(const char* sql) {
        if (sqlite3_exec(Lite, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(Lite));
    }

    // Rows read back.
    int64_t Ours(const std::string& sql) { return kura::bench::ReadSelectRows(Session, Dir, sql); }

    int64_t Theirs(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(Lite, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(Lite));
        int64_t rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) ++rows;
        sqlite3_finalize(st);
        return rows;
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void Compare(benchmark::State& state, const std::string& sql) {
    Fixture& f = Shared();
    for (auto _ : state) {
        // SQL_EXEC_REPEAT runs ours that many times more first, for profiling.
        const char* repeat = getenv("SQL_EXEC_REPEAT");
        for (long r = repeat ? strtol(repeat, nullptr, 10) : 0; r > 0; --r) f.Ours(sql);
        const auto t0 = Clock::now();
        const int64_t ours = f.Ours(sql);
        const auto t1 = Clock::now();
        const int64_t theirs = f.Theirs(sql);
        const auto t2 = Clock::now();
        if (ours != theirs) state.SkipWithError(("row counts differ: " + sql).c_str());
        const double kura = std::chrono::duration<double, std::milli>(t1 - t0).count();
        const double lite = std::chrono::duration<double, std::milli>(t2 - t1).count();
        state.counters["rows"] = static_cast<double>(ours);
        state.counters["kura_ms"] = kura;
        state.counters["sqlite_ms"] = lite;
        state.counters["ratio"] = lite > 0 ? kura / lite : 0;
    }
}

void CountIndexedWhere(benchmark::State& s) { Compare(s, "SELECT COUNT(*) FROM a WHERE grp = 7"); }
void GroupBySum(benchmark::State& s) { Compare(s, "SELECT grp, SUM(val) FROM a GROUP BY grp"); }
void JoinIndexedKey(benchmark::State& s) { Compare(s, "SELECT a.val, b.name FROM a, b WHERE a.id = b.id"); }
void JoinSmallSide(benchmark::State& s) {
    Compare(s, "SELECT a.val, b.name FROM a, b WHERE a.id = b.id AND b.id <= 1000");
}
void OrderByUnindexed(benchmark::State& s) { Compare(s, "SELECT id, val FROM a ORDER BY val"); }
void UnindexedRange(benchmark::State& s) { Compare(s, "SELECT k FROM c WHERE v > 0 AND v < 5"); }
void UnindexedEquals(benchmark::State& s) { Compare(s, "SELECT k FROM c WHERE v = 5 AND h = 5"); }
void SecondKeyFieldRange(benchmark::State& s) { Compare(s, "SELECT k FROM c WHERE h > 10 AND h < 20"); }
void SecondKeyFieldBetween(benchmark::State& s) { Compare(s, "SELECT k FROM c WHERE h BETWEEN 11 AND 19"); }

BENCHMARK(CountIndexedWhere)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(GroupBySum)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(JoinIndexedKey)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(JoinSmallSide)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(OrderByUnindexed)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(UnindexedRange)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(UnindexedEquals)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SecondKeyFieldRange)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SecondKeyFieldBetween)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace


