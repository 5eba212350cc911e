// Data-changing SQL over a table of N rows (100,000; SQL_MODIFY_RECORDS sets
// another N), ours against SQLite on the same machine in the same run:
//   Update10/...           UPDATE of 10 % of the rows (k <= N / 10) of t, whose rows
//                          were appended in key order
//   Update10_scattered/... the same UPDATE of tr, the same rows appended in a
//                          shuffled order: the rows it changes lie all over the file
//   Delete10_scattered/... DELETE of the same 10 % of td, a fresh copy of tr made
//                          before each run (not timed) and dropped after it
//   InsertSelect/...       INSERT INTO t2 SELECT * FROM t (every row); creating and
//                          dropping t2 is not timed
//   UpdateJoined/...       UPDATE of t over a join with j (one row for each k <= N /
//                          10), with a condition that reads both tables (OR), which
//                          each joined row tests on the record as the rows before left it
// Each row reports the process's peak resident memory over the statement beside its
// time (peak_MB, BenchMemory.h). The last row carries the ratios our time / SQLite
// time.
// The tables: k (integer, primary key), name (string 20), n (integer), amount
// (float). SQLite: k INTEGER PRIMARY KEY and the same columns, in one file with
// the default journal, each statement in its own transaction as ours; at equal
// durability (synchronous=OFF: our statements' commits are not forced to the
// disk) and with a page cache of our size for such a table (64 KB); the
// sqlite_default_cache rows run the same statements with SQLite's default page
// cache (2 MB).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryStatement.h"
#include "bench/BenchEnv.h"
#include "bench/BenchMemory.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

const int Records = bench::CountFromEnvironment("SQL_MODIFY_RECORDS", 100'000, 1000);
const int Changed = Records / 10;  // the rows k <= Changed

std::string WhereChanged() { return " WHERE k <= " + std::to_string(Changed); }

// The keys 1..Records in the order the rows of tr are appended.
std::vector<int> ShuffledKeys() {
    std::vector<int> keys(Records);
    std::iota(keys.begin(), keys.end(), 1);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(43));
    return keys;
}

struct Fixture {
    std::string dir;
    std::unique_ptr<TDataSession> session;
    TDataDirectory* database = nullptr;
    sqlite3* db = nullptr;

    Fixture() {
        char name[] = "/tmp/kura-sql-modify-bench-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        dir = name;
        InitEngineLibrary();
        session = std::make_unique<TDataSession>();
        database = session->OpenDataDirectory("DB", dir);
        std::vector<int> inOrder(Records);
        std::iota(inOrder.begin(), inOrder.end(), 1);
        const std::vector<int> shuffled = ShuffledKeys();
        for (const char* table : {"t", "tr"})
            Run("CREATE TABLE " + std::string(table) +
                " (k INTEGER, name CHAR(20), n INTEGER, amount FLOAT, PRIMARY KEY (k))");
        Fill("t", inOrder);
        Fill("tr", shuffled);
        Run("CREATE TABLE j (k INTEGER, x INTEGER)");
        Run("INSERT INTO j SELECT k, 1 FROM t" + WhereChanged());

        sqlite3_open((dir + "/t.sqlite").c_str(), &db);
        Sqlite("PRAGMA synchronous=OFF");
        Cache(false);
        FillSqlite("t", inOrder);
        FillSqlite("tr", shuffled);
        Sqlite("CREATE TABLE j (k INTEGER, x INTEGER)");
        Sqlite(("INSERT INTO j SELECT k, 1 FROM t" + WhereChanged()).c_str());
    }

    void FillSqlite(const std::string& table, const std::vector<int>& keys) {
        Sqlite(("CREATE TABLE " + table + " (k INTEGER PRIMARY KEY, name TEXT, n INTEGER, amount REAL)").c_str());
        Sqlite("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, ("INSERT INTO " + table + " VALUES (?, ?, ?, ?)").c_str(), -1, &insert, nullptr);
        for (const int i : keys) {
            const std::string n = "Name" + std::to_string(i);
            sqlite3_bind_int(insert, 1, i);
            sqlite3_bind_text(insert, 2, n.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, i % 1000);
            sqlite3_bind_double(insert, 4, i * 0.25);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Sqlite("COMMIT");
    }

    // Our page cache size, or SQLite's default.
    void Cache(bool defaultCache) { Sqlite(defaultCache ? "PRAGMA cache_size=-2000" : "PRAGMA cache_size=-64"); }
    ~Fixture() {
        session.reset();
        DoneEngineLibrary();
        sqlite3_close(db);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    uint32_t Run(const std::string& sql) {
        TQueryStatement statement(database);
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        return statement.RowsAffected();
    }

    // One prepared INSERT with four parameters, run once per row.
    void Fill(const std::string& table, const std::vector<int>& keys) {
        TQueryStatement statement(database);
        statement.Prepare("START TRANSACTION");
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        statement.Prepare("INSERT INTO " + table + " VALUES (?, ?, ?, ?)");
        TFieldDesc k, name, n, amount;
        k.SetFieldType(fldINT32), k.SetStoredSize(4), k.SetOffset(0);
        name.SetFieldType(fldZSTRING), name.SetStoredSize(21), name.SetOffset(5);
        n.SetFieldType(fldINT32), n.SetStoredSize(4), n.SetOffset(27);
        amount.SetFieldType(fldFLOAT), amount.SetStoredSize(8), amount.SetOffset(32);
        const TFieldDesc* descs[] = {&k, &name, &n, &amount};
        uint8_t record[48];
        for (const int i : keys) {
            std::memset(record, 0, sizeof record);
            const std::string text = "Name" + std::to_string(i);
            const int32_t score = i % 1000;
            const double value = i * 0.25;
            record[0] = record[5] = record[27] = record[32] = 1;
            std::memcpy(record + 1, &i, 4);
            std::memcpy(record + 6, text.c_str(), text.size());
            std::memcpy(record + 28, &score, 4);
            std::memcpy(record + 33, &value, 8);
            statement.Execute(cursor, 4, descs, record);
        }
        statement.Prepare("COMMIT");
        statement.Execute(cursor);
    }

    void Sqlite(const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
    }
};

Fixture& Shared() {
    static Fixture f;
    return f;
}

std::map<std::string, double> gSeconds;

// setup and teardown run outside the timed part.
template <typename Setup, typename Body, typename Teardown>
void Timed(benchmark::State& state, const char* name, Setup setup, Body body, Teardown teardown) {
    Shared();
    double total = 0;
    for (auto _ : state) {
        setup();
        const bench::MemoryWatch memory;
        const auto start = Clock::now();
        body();
        total += std::chrono::duration<double>(Clock::now() - start).count();
        memory.Report(state);
        teardown();
    }
    gSeconds[name] = total / static_cast<double>(state.iterations());
    state.counters["seconds"] = gSeconds[name];
}

void Nothing() {}

void UpdateKura(benchmark::State& state, const char* name, const char* table) {
    const std::string sql = "UPDATE " + std::string(table) + " SET n = n + 1" + WhereChanged();
    Timed(state, name, Nothing, [&] {
        if (Shared().Run(sql) != static_cast<uint32_t>(Changed)) throw std::runtime_error("rows");
    }, Nothing);
}

void UpdateSqlite(benchmark::State& state, const char* name, const char* table, bool defaultCache) {
    const std::string sql = "UPDATE " + std::string(table) + " SET n = n + 1" + WhereChanged();
    Shared().Cache(defaultCache);
    Timed(state, name, Nothing, [&] { Shared().Sqlite(sql.c_str()); }, Nothing);
    Shared().Cache(false);
}

const char* const JoinedCondition = " t.k = j.k AND (t.n < 100000 OR j.x > 100)";

void UpdateJoinedKura(benchmark::State& state) {
    const std::string sql = std::string("UPDATE t SET n = n + j.x FROM t, j WHERE") + JoinedCondition;
    Timed(state, "joined_kura", Nothing, [&] {
        if (Shared().Run(sql) != static_cast<uint32_t>(Changed)) throw std::runtime_error("rows");
    }, Nothing);
}

void UpdateJoinedSqlite(benchmark::State& state, const char* name, bool defaultCache) {
    const std::string sql = std::string("UPDATE t SET n = n + j.x FROM j WHERE") + JoinedCondition;
    Shared().Cache(defaultCache);
    Timed(state, name, Nothing, [&] { Shared().Sqlite(sql.c_str()); }, Nothing);
    Shared().Cache(false);
}

void DeleteKura(benchmark::State& state) {
    Timed(
        state, "delete_kura",
        [] {
            Shared().Run("CREATE TABLE td (k INTEGER, name CHAR(20), n INTEGER, amount FLOAT, PRIMARY KEY (k))");
            Shared().Fill("td", ShuffledKeys());
        },
        [] {
            if (Shared().Run("DELETE FROM td" + WhereChanged()) != static_cast<uint32_t>(Changed))
                throw std::runtime_error("rows");
        },
        [] { Shared().Run("DROP TABLE td"); });
}

void DeleteSqlite(benchmark::State& state, const char* name, bool defaultCache) {
    Shared().Cache(defaultCache);
    Timed(
        state, name, [] { Shared().FillSqlite("td", ShuffledKeys()); },
        [] { Shared().Sqlite(("DELETE FROM td" + WhereChanged()).c_str()); },
        [] { Shared().Sqlite("DROP TABLE td"); });
    Shared().Cache(false);
}

void InsertSelectKura(benchmark::State& state) {
    Timed(
        state, "insert_kura",
        [] { Shared().Run("CREATE TABLE t2 (k INTEGER, name CHAR(20), n INTEGER, amount FLOAT)"); },
        [] {
            if (Shared().Run("INSERT INTO t2 SELECT * FROM t") != static_cast<uint32_t>(Records)) throw std::runtime_error("rows");
        },
        [] { Shared().Run("DROP TABLE t2"); });
}

void InsertSelectSqlite(benchmark::State& state, const char* name, bool defaultCache) {
    Shared().Cache(defaultCache);
    Timed(
        state, name,
        [] { Shared().Sqlite("CREATE TABLE t2 (k INTEGER, name TEXT, n INTEGER, amount REAL)"); },
        [] { Shared().Sqlite("INSERT INTO t2 SELECT * FROM t"); }, [] { Shared().Sqlite("DROP TABLE t2"); });
    Shared().Cache(false);
}

void Ratios(benchmark::State& state) {
    for (auto _ : state) {
    }
    auto ratio = [](const char* ours, const char* peer) {
        const double p = gSeconds[peer];
        return p > 0 ? gSeconds[ours] / p : 0.0;
    };
    state.counters["update_kura_over_sqlite"] = ratio("update_kura", "update_sqlite");
    state.counters["update_kura_over_sqlite_default_cache"] = ratio("update_kura", "update_sqlite_default");
    state.counters["update_scattered_kura_over_sqlite"] = ratio("scattered_kura", "scattered_sqlite");
    state.counters["update_scattered_kura_over_sqlite_default_cache"] =
        ratio("scattered_kura", "scattered_sqlite_default");
    state.counters["delete_scattered_kura_over_sqlite"] = ratio("delete_kura", "delete_sqlite");
    state.counters["delete_scattered_kura_over_sqlite_default_cache"] = ratio("delete_kura", "delete_sqlite_default");
    state.counters["insert_select_kura_over_sqlite"] = ratio("insert_kura", "insert_sqlite");
    state.counters["insert_select_kura_over_sqlite_default_cache"] = ratio("insert_kura", "insert_sqlite_default");
    state.counters["update_joined_kura_over_sqlite"] = ratio("joined_kura", "joined_sqlite");
    state.counters["update_joined_kura_over_sqlite_default_cache"] = ratio("joined_kura", "joined_sqlite_default");
}

BENCHMARK_CAPTURE(UpdateKura, key_order, "update_kura", "t")
    ->Name("Update10/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateSqlite, key_order, "update_sqlite", "t", false)
    ->Name("Update10/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateSqlite, key_order_default, "update_sqlite_default", "t", true)
    ->Name("Update10/sqlite_default_cache")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateKura, scattered, "scattered_kura", "tr")
    ->Name("Update10_scattered/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateSqlite, scattered, "scattered_sqlite", "tr", false)
    ->Name("Update10_scattered/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateSqlite, scattered_default, "scattered_sqlite_default", "tr", true)
    ->Name("Update10_scattered/sqlite_default_cache")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(DeleteKura)->Name("Delete10_scattered/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(DeleteSqlite, equal, "delete_sqlite", false)
    ->Name("Delete10_scattered/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(DeleteSqlite, default_cache, "delete_sqlite_default", true)
    ->Name("Delete10_scattered/sqlite_default_cache")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(InsertSelectKura)->Name("InsertSelect/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(InsertSelectSqlite, equal, "insert_sqlite", false)
    ->Name("InsertSelect/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(InsertSelectSqlite, default_cache, "insert_sqlite_default", true)
    ->Name("InsertSelect/sqlite_default_cache")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(UpdateJoinedKura)->Name("UpdateJoined/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateJoinedSqlite, equal, "joined_sqlite", false)
    ->Name("UpdateJoined/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(UpdateJoinedSqlite, default_cache, "joined_sqlite_default", true)
    ->Name("UpdateJoined/sqlite_default_cache")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Ratios)->Name("Ratios")->Iterations(1);

}  // namespace
