// Counting the records of a filter on a table of 1,000,000 records, against SQLite
// on the same data: an equality on an indexed column (about 100 records), a range
// over 30 % of the records, a predicate on a column without an index, an equality
// (about 100 records) and an ordered comparison (about 11 %) on a 40-byte text
// without an index, and a word search in a memo (SQLite: FTS5 MATCH). Each of our runs adds the filter,
// activates it and reads the record count (the drop follows untimed); each
// SQLite run prepares and steps a SELECT count(*). Times are wall time, what the
// user waits for (processor time would leave out every wait: for a lock, between
// retries, for the disk).
//
// Our cursor runs each case twice: exclusive (".../0") and shared (".../1"), as
// the program opens its tables, each time on a cursor opened afresh (so on a
// table whose caches start empty, not grown by the filling). SQLite runs with a page cache of our caches' size
// for this table (SQLite_EqualCache) and at its default 2 MB (SQLite_DefaultCache),
// each before ours; the counters "ratio" and "ratio_default_cache" of each Ours_*
// row are its time divided by those of SQLite on the same case. Each row also
// reports the process's peak resident memory over it (peak_MB, BenchMemory.h).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchFields.h"
#include "bench/BenchMemory.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace {

using namespace kura;

constexpr int32_t RECORDS = 1000000;
constexpr int32_t GROUPS = 10000;
constexpr int32_t WORDS = 5000;
constexpr int WORDS_PER_RECORD = 6;

struct Row {
    int32_t Grp, Val, Free;
    std::string Label;
    std::string Notes;
};

std::vector<Row> MakeRows() {
    std::mt19937 rng(42);
    std::vector<Row> rows(RECORDS);
    for (Row& r : rows) {
        r.Grp = static_cast<int32_t>(rng() % GROUPS);
        r.Val = static_cast<int32_t>(rng() % 1000);
        r.Free = static_cast<int32_t>(rng() % 1000);
        r.Label = "customer " + std::to_string(rng() % 10000) + " of the northern branch";
        for (int w = 0; w < WORDS_PER_RECORD; ++w) r.Notes += (w ? " w" : "w") + std::to_string(rng() % WORDS);
    }
    return rows;
}

struct Scratch {
    std::string path;
    Scratch() {
        char name[] = "/tmp/kura-filter-bench-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// ---- Ours ---------------------------------------------------------------------------

struct Ours {
    Scratch dir;
    std::unique_ptr<TDataSession> session;
    TDataDirectory* db = nullptr;
    std::unique_ptr<TDataCursor> cursor;

    explicit Ours(const std::vector<Row>& rows) {
        InitEngineLibrary();
        session = std::make_unique<TDataSession>();
        db = session->OpenDataDirectory("DB", dir.path);
        TTableDefinition def;
        int32_t offset = 9;
        test::PlaceField(def, offset, test::NewField("Id", fldINT32));
        test::PlaceField(def, offset, test::NewField("Grp", fldINT32));
        test::PlaceField(def, offset, test::NewField("Val", fldINT32));
        test::PlaceField(def, offset, test::NewField("Free", fldINT32));
        test::PlaceField(def, offset, test::NewField("Label", fldZSTRING, 40));
        test::PlaceField(def, offset, test::NewField("Notes", fldBLOB, 0, fldstMEMO));
        def.Indexes.push_back(bench::OneFieldIndex("", 1, true));
        def.Indexes.push_back(bench::OneFieldIndex("ByGrp", 2, false));
        def.Indexes.push_back(bench::OneFieldIndex("ByVal", 3, false));
        TIndexDesc text;
        text.SetName("Sys Text");
        text.SetField(0, 6);
        text.SetByte(ido::FieldCount, 1);
        text.SetKeySize(SYS_TEXT_KEY_SIZE);
        def.TextIndex = text;
        TDataTable* table = nullptr;
        if (db->CreateTable(table, "T", false, false, def) != 0 || !table) throw std::runtime_error("create");
        db->CloseTable(table, false, false, false);
        cursor = std::make_unique<TDataCursor>(db);
        cursor->SetTableName("T");
        cursor->SetExclusive(true);
        cursor->OpenCursor();
        std::vector<uint8_t> rec(cursor->GetCursorRecordSize());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::fill(rec.begin(), rec.end(), 0);
            const int32_t id = static_cast<int32_t>(i) + 1;
            cursor->PutField(1, rec.data(), &id);
            cursor->PutField(2, rec.data(), &rows[i].Grp);
            cursor->PutField(3, rec.data(), &rows[i].Val);
            cursor->PutField(4, rec.data(), &rows[i].Free);
            cursor->PutField(5, rec.data(), rows[i].Label.c_str());
            uint32_t size = 0;
            cursor->OpenBlob(6, rec.data(), 2, false, true, size);
            cursor->PutBlob(6, rec.data(), 0, rows[i].Notes.data(), static_cast<uint32_t>(rows[i].Notes.size()), false);
            cursor->AppendRecord(rec.data(), false);
        }
        cursor->SwitchToIndex(NATURAL_ORDER);
    }
    // The cursor opened again, exclusive or shared (another program may open the
    // table beside it); the table closes in between, and its caches go with it.
    void OpenAs(bool exclusive) {
        cursor.reset();
        cursor = std::make_unique<TDataCursor>(db);
        cursor->SetTableName("T");
        cursor->SetExclusive(exclusive);
        cursor->OpenCursor();
        cursor->SwitchToIndex(NATURAL_ORDER);
    }
    ~Ours() {
        cursor.reset();
        session.reset();
        DoneEngineLibrary();
    }
    // Adds and activates the filter and counts its records; the filter is left
    // for DropLast, which runs outside the timing.
    uint32_t Count(const std::string& text) {
        Last = cursor->AddFilter(text);
        cursor->ActivateFilter(Last);
        return cursor->GetRecordCount();
    }
    void DropLast() {
        if (Last) cursor->DropFilter(Last);
        Last = nullptr;
    }
    TFilter* Last = nullptr;
};

// ---- SQLite -------------------------------------------------------------------------

struct Peer {
    Scratch dir;
    sqlite3* db = nullptr;
    // A second connection to the same file, at SQLite's default page cache.
    sqlite3* defaultCache = nullptr;

    void Exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "sqlite";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }
    explicit Peer(const std::vector<Row>& rows) {
        sqlite3_open((dir.path + "/t.db").c_str(), &db);
        // Our caches for this table: records, five indexes and the memo blocks.
        Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-128;");
        Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, grp INT, val INT, free INT, label TEXT, notes TEXT)");
        Exec("CREATE VIRTUAL TABLE words USING fts5(notes)");
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_stmt* words = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO words(rowid, notes) VALUES (?, ?)", -1, &words, nullptr);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            sqlite3_bind_int(insert, 1, static_cast<int>(i) + 1);
            sqlite3_bind_int(insert, 2, rows[i].Grp);
            sqlite3_bind_int(insert, 3, rows[i].Val);
            sqlite3_bind_int(insert, 4, rows[i].Free);
            sqlite3_bind_text(insert, 5, rows[i].Label.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 6, rows[i].Notes.c_str(), -1, SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            sqlite3_bind_int(words, 1, static_cast<int>(i) + 1);
            sqlite3_bind_text(words, 2, rows[i].Notes.c_str(), -1, SQLITE_STATIC);
            sqlite3_step(words);
            sqlite3_reset(words);
        }
        sqlite3_finalize(insert);
        sqlite3_finalize(words);
        Exec("COMMIT");
        Exec("CREATE INDEX by_grp ON t(grp); CREATE INDEX by_val ON t(val); ANALYZE;");
        sqlite3_open((dir.path + "/t.db").c_str(), &defaultCache);
    }
    ~Peer() {
        sqlite3_close(defaultCache);
        sqlite3_close(db);
    }
    int64_t Count(const std::string& sql, bool atDefaultCache) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(atDefaultCache ? defaultCache : db, sql.c_str(), -1, &s, nullptr);
        int64_t n = -1;
        if (sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return n;
    }
};

struct Setup {
    std::vector<Row> rows = MakeRows();
    std::unique_ptr<Peer> peer = std::make_unique<Peer>(rows);
    std::unique_ptr<Ours> ours = std::make_unique<Ours>(rows);
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

// SQLite's mean time per case, at equal cache ([0]) and at its default ([1]).
std::map<std::string, double>& PeerTimes(bool atDefaultCache) {
    static std::map<std::string, double> times[2];
    return times[atDefaultCache ? 1 : 0];
}

struct Case {
    const char* name;
    std::string ours;
    std::string peer;
};

const Case CASES[] = {
    {"IndexedEquality", "Grp = 4321", "SELECT count(*) FROM t WHERE grp = 4321"},
    {"Range30Percent", "Val < 300", "SELECT count(*) FROM t WHERE val < 300"},
    {"UnindexedPredicate", "Free = 7", "SELECT count(*) FROM t WHERE free = 7"},
    {"UnindexedTextEquality", "Label = 'customer 4321 of the northern branch'",
     "SELECT count(*) FROM t WHERE label = 'customer 4321 of the northern branch'"},
    {"UnindexedTextOrder", "Label < 'customer 2'", "SELECT count(*) FROM t WHERE label < 'customer 2'"},
    {"MemoWordSearch", "TEXTSEARCH('w1234' IN Notes)", "SELECT count(*) FROM words WHERE words MATCH 'w1234'"},
};

// Mean wall time of one run, after one untimed run that warms the caches. after
// runs untimed after each run.
template <class F, class G>
double TimeOf(benchmark::State& state, F&& run, G&& after) {
    run();
    after();
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(std::max(seconds, 1e-9));
        total += seconds;
        after();
    }
    return total / static_cast<double>(state.iterations());
}

void SQLiteAt(benchmark::State& state, bool atDefaultCache) {
    Shared();  // both tables are built before the first timing
    const Case& c = CASES[state.range(0)];
    state.SetLabel(c.name);
    const kura::bench::MemoryWatch memory;
    int64_t n = 0;
    PeerTimes(atDefaultCache)[c.name] =
        TimeOf(state, [&] { n = Shared().peer->Count(c.peer, atDefaultCache); }, [] {});
    state.counters["records"] = static_cast<double>(n);
    memory.Report(state);
}

void BM_SQLite_EqualCache(benchmark::State& state) { SQLiteAt(state, false); }
void BM_SQLite_DefaultCache(benchmark::State& state) { SQLiteAt(state, true); }

void BM_Ours(benchmark::State& state) {
    Shared();
    const Case& c = CASES[state.range(0)];
    const bool shared = state.range(1) != 0;
    state.SetLabel(std::string(c.name) + (shared ? " shared" : " exclusive"));
    Shared().ours->OpenAs(!shared);
    const kura::bench::MemoryWatch memory;
    uint32_t n = 0;
    const double mean = TimeOf(state, [&] { n = Shared().ours->Count(c.ours); }, [] { Shared().ours->DropLast(); });
    state.counters["records"] = n;
    for (const bool atDefault : {false, true}) {
        const auto peer = PeerTimes(atDefault).find(c.name);
        if (peer != PeerTimes(atDefault).end() && peer->second > 0)
            state.counters[atDefault ? "ratio_default_cache" : "ratio"] = mean / peer->second;
    }
    memory.Report(state);
}

BENCHMARK(BM_SQLite_EqualCache)->DenseRange(0, 5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLite_DefaultCache)->DenseRange(0, 5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
