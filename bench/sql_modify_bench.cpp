// Data-changing SQL over a 100,000-row table, ours against SQLite on the same
// machine in the same run:
//   Update10/kura, Update10/sqlite   UPDATE of 10 % of the rows (k <= 10000)
//   InsertSelect/kura, .../sqlite    INSERT INTO t2 SELECT * FROM t (every row);
//                                    creating and dropping t2 is not timed
// The last row carries the ratios our time / SQLite time.
// The table: k (integer, primary key), name (string 20), n (integer), amount
// (float). SQLite: k INTEGER PRIMARY KEY and the same columns, in one file with
// the default journal, each statement in its own transaction as ours; at equal
// durability (synchronous=OFF: our statements' commits are not forced to the
// disk) and with a page cache of our size for such a table (64 KB).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryStatement.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

constexpr int Records = 100000;

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
        Run("CREATE TABLE t (k INTEGER, name CHAR(20), n INTEGER, amount FLOAT, PRIMARY KEY (k))");
        Fill();

        sqlite3_open((dir + "/t.sqlite").c_str(), &db);
        Sqlite("PRAGMA synchronous=OFF; PRAGMA cache_size=-64;");
        sqlite3_exec(db, "CREATE TABLE t (k INTEGER PRIMARY KEY, name TEXT, n INTEGER, amount REAL); BEGIN;", nullptr,
                     nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        for (int i = 1; i <= Records; ++i) {
            const std::string n = "Name" + std::to_string(i);
            sqlite3_bind_int(insert, 1, i);
            sqlite3_bind_text(insert, 2, n.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, i % 1000);
            sqlite3_bind_double(insert, 4, i * 0.25);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    }
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
    void Fill() {
        TQueryStatement statement(database);
        statement.Prepare("START TRANSACTION");
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        statement.Prepare("INSERT INTO t VALUES (?, ?, ?, ?)");
        TFieldDesc k, name, n, amount;
        k.SetFieldType(fldINT32), k.SetStoredSize(4), k.SetOffset(0);
        name.SetFieldType(fldZSTRING), name.SetStoredSize(21), name.SetOffset(5);
        n.SetFieldType(fldINT32), n.SetStoredSize(4), n.SetOffset(27);
        amount.SetFieldType(fldFLOAT), amount.SetStoredSize(8), amount.SetOffset(32);
        const TFieldDesc* descs[] = {&k, &name, &n, &amount};
        uint8_t record[48];
        for (int i = 1; i <= Records; ++i) {
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
        const auto start = Clock::now();
        body();
        total += std::chrono::duration<double>(Clock::now() - start).count();
        teardown();
    }
    gSeconds[name] = total / static_cast<double>(state.iterations());
    state.counters["seconds"] = gSeconds[name];
}

void Nothing() {}

void UpdateKura(benchmark::State& state) {
    Timed(state, "update_kura", Nothing, [] {
        if (Shared().Run("UPDATE t SET n = n + 1 WHERE k <= 10000") != 10000) throw std::runtime_error("rows");
    }, Nothing);
}

void UpdateSqlite(benchmark::State& state) {
    Timed(state, "update_sqlite", Nothing, [] { Shared().Sqlite("UPDATE t SET n = n + 1 WHERE k <= 10000"); },
          Nothing);
}

void InsertSelectKura(benchmark::State& state) {
    Timed(
        state, "insert_kura",
        [] { Shared().Run("CREATE TABLE t2 (k INTEGER, name CHAR(20), n INTEGER, amount FLOAT)"); },
        [] {
            if (Shared().Run("INSERT INTO t2 SELECT * FROM t") != Records) throw std::runtime_error("rows");
        },
        [] { Shared().Run("DROP TABLE t2"); });
}

void InsertSelectSqlite(benchmark::State& state) {
    Timed(
        state, "insert_sqlite",
        [] { Shared().Sqlite("CREATE TABLE t2 (k INTEGER, name TEXT, n INTEGER, amount REAL)"); },
        [] { Shared().Sqlite("INSERT INTO t2 SELECT * FROM t"); }, [] { Shared().Sqlite("DROP TABLE t2"); });
}

void Ratios(benchmark::State& state) {
    for (auto _ : state) {
    }
    auto ratio = [](const char* ours, const char* peer) {
        const double p = gSeconds[peer];
        return p > 0 ? gSeconds[ours] / p : 0.0;
    };
    state.counters["update_kura_over_sqlite"] = ratio("update_kura", "update_sqlite");
    state.counters["insert_select_kura_over_sqlite"] = ratio("insert_kura", "insert_sqlite");
}

BENCHMARK(UpdateKura)->Name("Update10/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(UpdateSqlite)->Name("Update10/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(InsertSelectKura)->Name("InsertSelect/kura")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(InsertSelectSqlite)->Name("InsertSelect/sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Ratios)->Name("Ratios")->Iterations(1);

}  // namespace
