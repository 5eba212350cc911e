// The expression evaluator alone: a five-term condition (the tree typed and
// prepared as a cursor filter is) evaluated for 1,000,000 records held in memory,
// with no table, cursor or record cache under it, against SQLite answering
// SELECT count(*) ... WHERE over an in-memory table without an index, in the same
// run. Reports nanoseconds per record for both and the ratio ours / SQLite. A
// filter over a table is filter_bench's.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/EngineLibrary.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/TypeCheck.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldTypes.h"

using namespace kura;

namespace {

constexpr int32_t RecordCount = 1000000;
constexpr const char* Filter = "Age BETWEEN 25 AND 50 AND Salary > 40000.0 AND Dept = 'Sales' AND Active AND Id > 100";
constexpr const char* SqlFilter =
    "SELECT count(*) FROM staff WHERE age BETWEEN 25 AND 50 AND salary > 40000.0 AND dept = 'Sales' AND active "
    "AND id > 100";

struct TRow {
    int32_t Id;
    int32_t Age;
    double Salary;
    char Dept[12];
    bool Active;
};

const char* const Depts[] = {"Sales", "Accounts", "Plant", "Research", "Office"};

const std::vector<TRow>& Rows() {
    static const std::vector<TRow> rows = [] {
        std::vector<TRow> out(RecordCount);
        std::mt19937 random(42);
        for (int32_t i = 0; i < RecordCount; ++i) {
            TRow& r = out[static_cast<std::size_t>(i)];
            r.Id = i + 1;
            r.Age = 18 + static_cast<int32_t>(random() % 50);
            r.Salary = 20000.0 + static_cast<double>(random() % 60000);
            std::strcpy(r.Dept, Depts[random() % 5]);
            r.Active = random() % 4 != 0;
        }
        return out;
    }();
    return rows;
}

struct TColumn {
    const char* Name;
    uint8_t Type;
    int32_t Size;
};
const TColumn Columns[] = {{"Id", fldINT32, 4},        {"Age", fldINT32, 4}, {"Salary", fldFLOAT, 8},
                           {"Dept", fldZSTRING, 12},   {"Active", fldBOOL, 2}};

bool Resolve(void*, TExpToken* node) {
    for (uint16_t i = 0; i < 5; ++i) {
        if (node->Name != Columns[i].Name) continue;
        node->FieldNumber = static_cast<uint16_t>(i + 1);
        node->DataType = Columns[i].Type;
        node->DataSize = Columns[i].Size;
        return true;
    }
    return false;
}

void ColumnValue(void*, void* context, TExpToken* result) {
    const TRow& r = *static_cast<const TRow*>(context);
    result->IsNull = 0;
    switch (result->FieldNumber) {
        case 1: exv::Store<int32_t>(*result, r.Id); break;
        case 2: exv::Store<int32_t>(*result, r.Age); break;
        case 3: exv::Store<double>(*result, r.Salary); break;
        case 4: exv::PutText(*result, r.Dept); break;
        default: exv::Store<int16_t>(*result, r.Active ? 1 : 0); break;
    }
}

TExpressionPtr PreparedFilter() {
    TExpressionParser parser;
    parser.ErrorCode = KURA_INVALIDFILTER;
    parser.ContextName = "filter expression";
    parser.SetText(Filter);
    parser.NextToken();
    TExpressionPtr parsed(parser.ParseExpression(pfExtendedPredicates));
    CheckExpressionTypes(KURA_INVALIDFILTER, "staff", "", true, true, &Resolve, nullptr, nullptr, parsed.get(),
                         "filter expression");
    return TExpressionPtr(CopyExpressionForCursor(parsed.get(), nullptr, &ColumnValue, false, false, 0, 0));
}

int64_t CountWithKura(const TExpToken* filter) {
    int64_t count = 0;
    for (const TRow& row : Rows()) {
        TExpToken* result = EvaluateExpression(filter, const_cast<TRow*>(&row), nullptr, 0, 0, &ColumnValue);
        if (exv::Load<int16_t>(*result) != 0) ++count;
        ReleaseExpToken(result);
    }
    return count;
}

class TSqliteTable {
public:
    TSqliteTable() {
        if (sqlite3_open(":memory:", &FDb) != SQLITE_OK) throw std::runtime_error("sqlite open");
        Exec("CREATE TABLE staff (id INTEGER, age INTEGER, salary REAL, dept TEXT, active INTEGER)");
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(FDb, "INSERT INTO staff VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
        for (const TRow& r : Rows()) {
            sqlite3_bind_int(insert, 1, r.Id);
            sqlite3_bind_int(insert, 2, r.Age);
            sqlite3_bind_double(insert, 3, r.Salary);
            sqlite3_bind_text(insert, 4, r.Dept, -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 5, r.Active ? 1 : 0);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT");
        sqlite3_prepare_v2(FDb, SqlFilter, -1, &FQuery, nullptr);
    }
    ~TSqliteTable() {
        sqlite3_finalize(FQuery);
        sqlite3_close(FDb);
    }
    int64_t Count() {
        sqlite3_reset(FQuery);
        if (sqlite3_step(FQuery) != SQLITE_ROW) throw std::runtime_error("sqlite query");
        return sqlite3_column_int64(FQuery, 0);
    }

private:
    void Exec(const char* sql) {
        if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
    }
    sqlite3* FDb = nullptr;
    sqlite3_stmt* FQuery = nullptr;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Both engines on the same records in every iteration; the counters give ns per
// record for each and their ratio.
void BM_EvaluatorFiveTermsVsSqlite(benchmark::State& state) {
    InitEngineLibrary();  // the node pool, warm as under a cursor
    TExpressionPtr filter = PreparedFilter();
    TSqliteTable sqlite;
    double ours = 0;
    double theirs = 0;
    int64_t kuraCount = 0;
    int64_t sqliteCount = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        kuraCount = CountWithKura(filter.get());
        ours += Seconds(start);
        start = std::chrono::steady_clock::now();
        sqliteCount = sqlite.Count();
        theirs += Seconds(start);
    }
    if (kuraCount != sqliteCount) state.SkipWithError("the two engines disagree on the count");
    const double records = static_cast<double>(state.iterations()) * RecordCount;
    state.counters["kura_ns_per_record"] = ours * 1e9 / records;
    state.counters["sqlite_ns_per_record"] = theirs * 1e9 / records;
    state.counters["ratio_kura_to_sqlite"] = ours / theirs;
    state.counters["matches"] = static_cast<double>(kuraCount);
    filter.reset();
    DoneEngineLibrary();
}
BENCHMARK(BM_EvaluatorFiveTermsVsSqlite)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
