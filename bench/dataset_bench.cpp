// Browsing 100,000 records from First to EOF, reading every field of every record,
// three ways on the same machine in the same run:
//   Browse/table_component   TKuraTable: First, then Next until EOF, each field read
//                            through its field object
//   Browse/table_block_read  the same with BlockReadSize 100 (many records per
//                            engine call)
//   Browse/bare_cursor       a TDataCursor on the same table: GetNextRecord and
//                            GetField per field
//   Browse/query_component   TKuraQuery on "SELECT Id, Name, Score, Joined, Amount
//                            FROM Staff ORDER BY Id": the query run (a result
//                            table) and its result browsed the same way
//   Browse/query_live        "SELECT * FROM Staff" asked for a live result: the
//                            table's own cursor (rows were added in Id order)
//   Browse/sqlite            SQLite stepping "SELECT Id, Name, Score, Joined, Amount
//                            FROM staff ORDER BY Id" and reading every column
// The last row carries the ratios table/cursor, table/sqlite, query/cursor and
// query/sqlite (time over time).
// The table: Id (integer, primary), Name (string 20), Score (integer), Joined
// (date), Amount (float). SQLite: Id INTEGER PRIMARY KEY and the same columns.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataCursor.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

constexpr int Records = 100000;

struct Fixture {
    std::string dir;
    std::unique_ptr<TKuraTable> table;
    sqlite3* db = nullptr;

    Fixture() {
        char name[] = "/tmp/kura-dataset-bench-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        dir = name;
        table = std::make_unique<TKuraTable>();
        table->SetDatabaseName(dir);
        table->SetTableName("Staff");
        table->FieldDefs().Add("Id", ftInteger, 0, true);
        table->FieldDefs().Add("Name", ftString, 20);
        table->FieldDefs().Add("Score", ftInteger);
        table->FieldDefs().Add("Joined", ftDate);
        table->FieldDefs().Add("Amount", ftFloat);
        table->IndexDefs().Add("", "Id", ixPrimary | ixUnique);
        table->CreateTable();
        table->SetExclusive(true);
        table->Open();
        for (int i = 1; i <= Records; ++i) {
            table->Append();
            table->Fields(0)->SetAsInteger(i);
            table->Fields(1)->SetAsString("Name" + std::to_string(i));
            table->Fields(2)->SetAsInteger(i % 1000);
            table->Fields(3)->SetAsDateTime(40000 + i % 5000);
            table->Fields(4)->SetAsFloat(i * 0.25);
            table->Post();
        }
        table->Close();
        table->SetExclusive(false);
        table->Open();

        sqlite3_open((dir + "/staff.sqlite").c_str(), &db);
        sqlite3_exec(db,
                     "CREATE TABLE staff (Id INTEGER PRIMARY KEY, Name TEXT, Score INTEGER, Joined REAL, Amount REAL);"
                     "BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO staff VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
        for (int i = 1; i <= Records; ++i) {
            const std::string n = "Name" + std::to_string(i);
            sqlite3_bind_int(insert, 1, i);
            sqlite3_bind_text(insert, 2, n.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, i % 1000);
            sqlite3_bind_double(insert, 4, 40000 + i % 5000);
            sqlite3_bind_double(insert, 5, i * 0.25);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    }
    ~Fixture() {
        table.reset();
        DoneSessions();
        sqlite3_close(db);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& Shared() {
    static Fixture f;
    return f;
}

std::map<std::string, double> gSeconds;

template <typename F>
void Timed(benchmark::State& state, const char* name, F body) {
    Shared();
    double total = 0;
    int64_t checksum = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        checksum += body();
        total += std::chrono::duration<double>(Clock::now() - start).count();
    }
    gSeconds[name] = total / static_cast<double>(state.iterations());
    state.counters["records"] = Records;
    benchmark::DoNotOptimize(checksum);
}

int64_t ReadAllFields(TDataSet& t) {
    int64_t sum = 0;
    TField* f[5];
    for (int i = 0; i < 5; ++i) f[i] = t.Fields(i);
    while (!t.Eof()) {
        sum += f[0]->AsInteger();
        sum += static_cast<int64_t>(f[1]->AsString().size());
        sum += f[2]->AsInteger();
        sum += static_cast<int64_t>(f[3]->AsDateTime());
        sum += static_cast<int64_t>(f[4]->AsFloat());
        t.Next();
    }
    return sum;
}

void TableComponent(benchmark::State& state) {
    Timed(state, "table", [] {
        TKuraTable& t = *Shared().table;
        t.First();
        return ReadAllFields(t);
    });
}

void TableBlockRead(benchmark::State& state) {
    Timed(state, "block", [] {
        TKuraTable& t = *Shared().table;
        t.First();
        t.SetBlockReadSizeValue(100);
        const int64_t sum = ReadAllFields(t);
        t.SetBlockReadSizeValue(0);
        return sum;
    });
}

void BrowseQuery(benchmark::State& state, const char* name, bool live) {
    TKuraQuery q;
    q.SetDatabaseName(Shared().dir);
    q.SetRequestLive(live);
    // A live result is the table's own cursor; rows were added in Id order.
    q.SetSQL(live ? "SELECT * FROM Staff" : "SELECT Id, Name, Score, Joined, Amount FROM Staff ORDER BY Id");
    Timed(state, name, [&q] {
        q.Open();
        const int64_t sum = ReadAllFields(q);
        q.Close();
        return sum;
    });
}

void QueryComponent(benchmark::State& state) { BrowseQuery(state, "query", false); }
void QueryLive(benchmark::State& state) { BrowseQuery(state, "query_live", true); }

void BareCursor(benchmark::State& state) {
    TKuraTable& t = *Shared().table;
    TDataCursor cursor(t.Database()->Handle());
    cursor.SetTableName("Staff");
    cursor.OpenCursor();
    std::vector<uint8_t> record(cursor.GetCursorRecordSize());
    Timed(state, "cursor", [&] {
        int64_t sum = 0;
        cursor.SetToBegin();
        bool blank = false;
        int32_t i32 = 0;
        char name[21];
        double d = 0;
        while (cursor.GetNextRecord(record.data()) == 0) {
            cursor.GetField(1, record.data(), &i32, blank);
            sum += i32;
            cursor.GetField(2, record.data(), name, blank);
            sum += static_cast<int64_t>(strnlen(name, sizeof name));
            cursor.GetField(3, record.data(), &i32, blank);
            sum += i32;
            cursor.GetField(4, record.data(), &i32, blank);
            sum += i32;
            cursor.GetField(5, record.data(), &d, blank);
            sum += static_cast<int64_t>(d);
        }
        return sum;
    });
    cursor.CloseCursor(false);
}

void Sqlite(benchmark::State& state) {
    sqlite3* db = Shared().db;
    Timed(state, "sqlite", [db] {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT Id, Name, Score, Joined, Amount FROM staff ORDER BY Id", -1, &s, nullptr);
        int64_t sum = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            sum += sqlite3_column_int(s, 0);
            sum += sqlite3_column_bytes(s, 1);
            sum += sqlite3_column_int(s, 2);
            sum += static_cast<int64_t>(sqlite3_column_double(s, 3));
            sum += static_cast<int64_t>(sqlite3_column_double(s, 4));
        }
        sqlite3_finalize(s);
        return sum;
    });
    state.counters["table/cursor"] = gSeconds["table"] / gSeconds["cursor"];
    state.counters["table/sqlite"] = gSeconds["table"] / gSeconds["sqlite"];
    state.counters["block/cursor"] = gSeconds["block"] / gSeconds["cursor"];
    state.counters["block/sqlite"] = gSeconds["block"] / gSeconds["sqlite"];
    state.counters["query/cursor"] = gSeconds["query"] / gSeconds["cursor"];
    state.counters["query/sqlite"] = gSeconds["query"] / gSeconds["sqlite"];
    state.counters["live/cursor"] = gSeconds["query_live"] / gSeconds["cursor"];
    state.counters["live/sqlite"] = gSeconds["query_live"] / gSeconds["sqlite"];
}

BENCHMARK(TableComponent)->Name("Browse/table_component")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(TableBlockRead)->Name("Browse/table_block_read")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QueryComponent)->Name("Browse/query_component")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(QueryLive)->Name("Browse/query_live")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BareCursor)->Name("Browse/bare_cursor")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Sqlite)->Name("Browse/sqlite")->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
