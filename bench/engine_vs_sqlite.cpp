// The same workload through our cursors and through SQLite, on files in one scratch
// folder, so the two can be compared on the same machine in the same run:
//   Append/one_transaction        N records in one transaction, primary keys in shuffled order
//   Append/commit_per_record      N records, each committed on its own, without sync on
//                                 either side (ours: no ForceBufferFlush; SQLite:
//                                 synchronous=OFF)
//   Append/commit_per_record_sync the same with sync at every commit on both sides
//                                 (ours: ForceBufferFlush; SQLite: synchronous=FULL),
//                                 for the first 10,000 records at most: a synced
//                                 commit costs the disk's flush at any size, and a
//                                 million of them would take hours
//   Lookup/primary_key            N random primary-key searches, each reading its record
//   Scan/natural_order            every record in the order the file keeps them (ours:
//                                 record-number order, that is append order; SQLite:
//                                 its table b-tree, which is the key order)
//   Scan/primary_order            every record in primary-key order (SQLite's key is its
//                                 row id, so this is its natural order too: ours reads
//                                 the records scattered over the file); the
//                                 sqlite_unclustered row has SQLite laid out like ours:
//                                 rows in append order, a unique index on the key
//   Scan/secondary_order          every record in the order of the secondary index (both
//                                 sides read the records scattered over the file)
//   Range/primary_key             200 counts of the records of a window of ids, each window
//                                 about a thousandth of the table, timed after one untimed
//                                 pass over the same windows, ours through a cursor's filter,
//                                 each window written as two comparisons (kura: Id > a AND
//                                 Id < b), as BETWEEN (kura_between), with the constants
//                                 first (kura_constant_first: a < Id AND b > Id) and as three
//                                 comparisons, the third a wider bound (kura_three)
//   Range/secondary_text          the same over the names (a CHAR column under the secondary
//                                 index): Name >= 'sato123' AND Name < 'sato123:', the names
//                                 that begin with a stem and a number
//   Range/unindexed_text          the same over the notes, which no index leads (every window
//                                 reads the whole table, so 20 windows instead of 200):
//                                 Note >= 'note of record 123' AND Note < 'note of record 123:'
//   RangeCount/...                the same windows in the same spellings through SQL's
//                                 SELECT COUNT(*)
//   RangeSelect/...               through SQL's SELECT Id, every row read back
//   RangeUpdate/..., RangeDelete/...  through SQL's UPDATE (a note set) and DELETE, each in
//                                 a transaction started and rolled back untimed
//                                 SQLite runs each statement with the two comparisons, prepared
//                                 once and its bounds bound for each window
//   Delete/10_percent             every tenth record, found by key, in one transaction
//   JoinedUpdate/<shape>/<rows>   a joined UPDATE over tables of 10,000, 100,000 and
//                                 1,000,000 rows of their own (jt: key, a name under an
//                                 index, a number; js, jr: one number each, without index;
//                                 ju: jt's columns without the index; every table holding
//                                 the keys 1..rows once, appended in key order; jg: a key,
//                                 the number 7 in g, under an index, and in h, without
//                                 one, and a number; jo: one record, 7), each row
//                                 changing every record of jt (jg) it names once, beside
//                                 SQLite's UPDATE ... FROM of the same changes:
//                                   right_outer     another table drives, the target starts
//                                                   its rows again under each of its rows:
//                                                   UPDATE jt SET n = n + 1 FROM jt INNER JOIN
//                                                   js ON jt.k = js.id RIGHT OUTER JOIN jr ON
//                                                   jr.j = jt.k AND jr.j = js.id
//                                   self_name_read  a self-join on the indexed name whose SET
//                                                   reads the other name's written column:
//                                                   UPDATE jt SET n = jt.n + s.n FROM jt INNER
//                                                   JOIN jt s ON s.name = jt.name
//                                   self_name       the same with SET n = jt.n + 1
//                                   self_name_few   self_name_read for the records of the
//                                                   first thousandth of the keys only
//                                                   (WHERE jt.k <= rows / 1000)
//                                   self_unindexed  self_name_read on ju, whose name no
//                                                   index serves (1,000, 3,000 and 10,000
//                                                   rows)
//                                   one_key         jo (as p) drives, and jg starts its
//                                                   rows once, all of them of one key
//                                                   of its index: UPDATE jg SET n = n + 1
//                                                   FROM jg INNER JOIN jo ON jo.g = jg.g
//                                                   RIGHT OUTER JOIN jo p ON p.g = jo.g
//                                                   (the first table may own no RIGHT
//                                                   OUTER JOIN of an UPDATE)
//                                   one_key_unindexed  the same on h, which no index
//                                                   serves
//                                 These rows report the process's processor time (cpu_ms)
//                                 beside the wall time, and the statement's peak resident
//                                 memory above what was resident before it (added_MB).
//                                 ENGINE_VS_SQLITE_JOINED_ROWS sets the largest size of the
//                                 indexed shapes (default 1,000,000; 100,000 leaves it out).
// Durability is the same on both sides: our commits are not forced to the disk, so
// SQLite runs with synchronous=OFF, except in commit_per_record_sync, where ours
// force every flush (ForceBufferFlush) and SQLite runs with synchronous=FULL. Its
// page cache is held to the size of ours for this table (records and each of its
// three indexes: 16 KB each), both sides reading through the system's file cache.
// The sqlite_default_cache rows run the shared-transaction append and the delete
// once more on a table of their own with SQLite's default page cache (2 MB), as a
// program that leaves it alone would.
//
// The append and delete rows report the process's peak resident memory over the
// step (peak_MB; the peak is reset when the step starts) and what stays resident
// after its commit (rss_after_MB), beside the time (BenchMemory.h).
//
// Each step runs once and is timed as a whole, from a settled system: what earlier
// steps left for the kernel to write back is written first, untimed, so that a step
// does not wait for it (a delete after the per-record appends took up to five times
// its own time). Its wall time can still exceed its processor time after the forced
// per-record steps: run it after its own append alone to see its own cost. The SQLite rows carry the ratio
// kura/sqlite (our time divided by SQLite's) of the same step, and kura_<variant>/sqlite
// for each variant of ours run in that step; all ratios are printed again as one table
// at the end of the run.
//
// The table: a 32-bit primary key, a 20-byte name under a non-unique secondary index
// and a 40-byte note without index. In SQLite: INTEGER PRIMARY KEY (the row id, its
// fastest primary key), the same two texts and one index on the name.
//
// Our rows use a shared cursor, as a program with other users would; the kura_exclusive
// variants show what the record locks and change checks of sharing cost. Per-record
// commits of ours are one StartTransaction/Commit per record (kura), or writes outside
// a transaction, each of which flushes on its own (kura_no_transaction).
//
// A shared append or delete holds one record lock byte per record until the commit,
// as the lock protocol requires; inside the transaction no writer range is taken
// before the commit, and an append locks its new slots ahead, a run per call. The
// kernel checks every new lock against every held one. The lock_floor rows take just
// those locks through the same platform calls, so the table at the end shows how far
// the shared steps are above that floor.
//
// Every flush of ours goes through the table's rollback journal (one journal write,
// the writes in place, the journal invalidated; with ForceBufferFlush the journal
// and the files synced). The per-record commits run once more with the journal
// switched off (kura_unjournalled, kura_force_flush_unjournalled) to show its cost.
//
// The SQLite rows of the ranges also carry the ratio of each spelling of ours to the
// cheapest of them in the same statement (kura_<spelling>/cheapest).
//
// ENGINE_VS_SQLITE_RECORDS sets N (default 100,000), for profiling runs;
// ENGINE_VS_SQLITE_TRANSACTION_MB the session's transaction memory (default 16). System calls
// per record of each workload: see bench/syscalls_per_record.sh.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

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
#include <tuple>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldTypes.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "platform/Files.h"
#include "bench/BenchEnv.h"
#include "bench/BenchMemory.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;

constexpr uint16_t F_ID = 1;
constexpr uint16_t F_NAME = 2;
constexpr uint16_t F_NOTE = 3;
constexpr uint8_t NAME_INDEX = 1;

int32_t RecordCount() { return bench::CountFromEnvironment("ENGINE_VS_SQLITE_RECORDS", 100'000); }
constexpr int32_t SYNCED_APPENDS = 10'000;

std::string NameOf(int32_t id) {
    static const char* stems[] = {"tanaka", "suzuki", "sato", "ito", "watanabe", "yamamoto", "nakamura", "kobayashi"};
    return std::string(stems[static_cast<uint32_t>(id) * 2654435761u % 8]) + std::to_string(id % 100000);
}

std::string NoteOf(int32_t id) { return "note of record " + std::to_string(id) + " in the benchmark"; }

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/kura-vs-sqlite-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        path = name;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The ids in the order both engines append, look up and delete them.
struct Workload {
    int32_t Count = RecordCount();
    int32_t SyncedCount = std::min(Count, SYNCED_APPENDS);  // appends of the synced steps
    std::vector<int32_t> AppendOrder;
    std::vector<int32_t> Lookups;
    std::vector<int32_t> Deletes;
    Workload() {
        std::mt19937 rng(5);
        AppendOrder.resize(static_cast<std::size_t>(Count));
        for (int32_t i = 0; i < Count; ++i) AppendOrder[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(AppendOrder.begin(), AppendOrder.end(), rng);
        Lookups.resize(static_cast<std::size_t>(Count));
        for (auto& id : Lookups) id = static_cast<int32_t>(rng() % static_cast<uint32_t>(Count)) + 1;
        std::vector<int32_t> order = AppendOrder;
        std::shuffle(order.begin(), order.end(), rng);
        Deletes.assign(order.begin(), order.begin() + Count / 10);
    }
};

Workload& Work() {
    static Workload w;
    return w;
}

ScratchDir& Scratch() {
    static ScratchDir dir;
    return dir;
}

// Seconds of our engine per step, for the ratio on the SQLite row of the step.
std::map<std::string, double>& KuraTimes() {
    static std::map<std::string, double> times;
    return times;
}

// The start of a timed step, once the file cache holds nothing unwritten.
Clock::time_point SettledStart() {
    ::sync();
    return Clock::now();
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Every ratio of the run, printed as one table when the program ends.
struct RatioTable {
    std::vector<std::pair<std::string, double>> Rows;
    ~RatioTable() {
        if (Rows.empty()) return;
        std::printf("\n%-52s %10s\n", "ratio (our time / their time)", "ratio");
        for (const auto& [name, ratio] : Rows) std::printf("%-52s %10.2f\n", name.c_str(), ratio);
        std::fflush(stdout);
    }
};

RatioTable& Ratios() {
    static RatioTable table;
    return table;
}

void Finish(benchmark::State& state, const char* step, double seconds, int64_t operations, bool ours,
            const std::string& peer = "sqlite") {
    state.SetIterationTime(seconds);
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(operations) / seconds);
    if (ours) {
        KuraTimes()[step] = seconds;
        return;
    }
    // "step" is ours in its plain form; "step/variant" a variant of ours.
    const std::string prefix = std::string(step) + "/";
    for (const auto& [name, kuraSeconds] : KuraTimes()) {
        std::string label;
        if (name == step)
            label = "kura/" + peer;
        else if (name.compare(0, prefix.size(), prefix) == 0)
            label = "kura_" + name.substr(prefix.size()) + "/" + peer;
        else
            continue;
        state.counters[label] = kuraSeconds / seconds;
        Ratios().Rows.emplace_back(std::string(step) + "  " + label, kuraSeconds / seconds);
    }
}

// ---- Our engine ---------------------------------------------------------------------------

TTableDefinition BenchTableDefinition() {
    TTableDefinition def;
    int32_t offset = 9;
    auto add = [&](const char* name, TEngineFieldType type, uint8_t size) {
        TFieldDesc d;
        d.SetFieldNo(static_cast<uint16_t>(def.Fields.size() + 1));
        d.SetName(name);
        d.SetFieldType(type);
        d.SetDeclaredSize(size);
        d.DerivePhysical();
        d.SetPosition(static_cast<uint16_t>(def.Fields.size() + 1));
        d.SetOffset(static_cast<uint16_t>(offset));
        offset += d.StoredSize() + 1;
        def.Fields.push_back(d);
    };
    add("Id", fldINT32, 0);
    add("Name", fldZSTRING, 20);
    add("Note", fldZSTRING, 40);
    auto keySize = [&](uint16_t field) {
        const TFieldDesc& f = def.Fields[field - 1];
        return static_cast<uint16_t>(GetFieldDataSize(f.FieldType(), f.StoredSize()) + 1);
    };
    TIndexDesc primary;
    primary.SetByte(ido::FieldCount, 1);
    primary.SetByte(ido::Unique, 1);
    primary.SetField(0, F_ID);
    primary.SetKeySize(keySize(F_ID));
    TIndexDesc byName;
    byName.SetName("ByName");
    byName.SetByte(ido::FieldCount, 1);
    byName.SetField(0, F_NAME);
    // A non-unique key carries the record's row identifier after the fields.
    byName.SetKeySize(static_cast<uint16_t>(keySize(F_NAME) + 4));
    def.Indexes = {primary, byName};
    def.Description = "engine vs sqlite";
    return def;
}

// One session and database over the scratch folder; one table per append step.
struct Kura {
    Kura() {
        InitEngineLibrary();
        // ENGINE_VS_SQLITE_TRANSACTION_MB sets the session's transaction memory, to
        // see what a larger budget buys the one-transaction append.
        if (const char* mb = getenv("ENGINE_VS_SQLITE_TRANSACTION_MB"); mb && strtol(mb, nullptr, 10) > 0)
            Session.TransactionMemory = int64_t{strtol(mb, nullptr, 10)} << 20;
        // SQL's result tables in the scratch folder too, away from what other
        // programs leave in the shared temporary folder.
        Session.SetPrivateDir(Scratch().path);
        Dir = Session.OpenDataDirectory("BENCH", Scratch().path);
        for (const char* name : {"KTXN", "KEXCL", "KCOMMIT", "KAUTO", "KSYNC", "KNOJNL", "KSYNCNJ"}) {
            TDataTable* table = nullptr;
            if (Dir->CreateTable(table, name, false, false, BenchTableDefinition()) != 0 || !table)
                throw std::runtime_error("table not created");
            Dir->CloseTable(table, false, false, false);
        }
    }
    // Only the table of the step is open, so a commit has no other table to visit.
    std::unique_ptr<TDataCursor> Open(const char* name, bool exclusive = false) {
        auto cursor = std::make_unique<TDataCursor>(Dir);
        cursor->SetTableName(name);
        cursor->SetExclusive(exclusive);
        cursor->OpenCursor();
        return cursor;
    }
    TDataSession Session;
    TDataDirectory* Dir = nullptr;
};

Kura& Ours() {
    static Kura kura;
    return kura;
}

void Fill(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t id) {
    std::fill(buffer.begin(), buffer.end(), 0);
    c.PutField(F_ID, buffer.data(), &id);
    const std::string name = NameOf(id);
    const std::string note = NoteOf(id);
    c.PutField(F_NAME, buffer.data(), name.c_str());
    c.PutField(F_NOTE, buffer.data(), note.c_str());
}

int32_t IdOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
    int32_t id = 0;
    bool blank = true;
    c.GetField(F_ID, buffer.data(), &id, blank);
    return blank ? -1 : id;
}

enum class CommitMode { OneTransaction, Exclusive, TransactionPerRecord, NoTransaction, ForcedFlush };

// The journal of the open table switched off: its flushes write in place only.
bool WithoutJournal(const char* table) {
    return std::strcmp(table, "KNOJNL") == 0 || std::strcmp(table, "KSYNCNJ") == 0;
}

// Timed until the cursor is closed: an exclusive cursor writes its caches then.
void BM_KuraAppend(benchmark::State& state, const char* step, const char* table, CommitMode mode) {
    Workload& w = Work();
    Kura& k = Ours();
    for (auto _ : state) {
        const bool single = mode == CommitMode::OneTransaction || mode == CommitMode::Exclusive;
        auto c = k.Open(table, mode == CommitMode::Exclusive);
        if (WithoutJournal(table)) c->GetTable()->GetJournal().Close();
        std::vector<uint8_t> buffer(c->GetCursorRecordSize());
        k.Session.SetForceBufferFlush(mode == CommitMode::ForcedFlush);
        const bench::MemoryWatch memory;
        const auto start = SettledStart();
        if (single) k.Dir->StartTransaction();
        const int32_t count = mode == CommitMode::ForcedFlush ? w.SyncedCount : w.Count;
        for (int32_t i = 0; i < count; ++i) {
            Fill(*c, buffer, w.AppendOrder[static_cast<std::size_t>(i)]);
            if (mode == CommitMode::TransactionPerRecord || mode == CommitMode::ForcedFlush) {
                k.Dir->StartTransaction();
                c->AppendRecord(buffer.data(), false);
                k.Dir->Commit();
            } else {
                c->AppendRecord(buffer.data(), false);
            }
        }
        if (single) k.Dir->Commit();
        c.reset();
        const double seconds = Seconds(start);
        memory.Report(state);
        k.Session.SetForceBufferFlush(false);
        c = k.Open(table);
        if (c->GetTableRecordCount() != static_cast<uint32_t>(count)) state.SkipWithError("record count differs");
        Finish(state, step, seconds, count, true);
    }
}

void BM_KuraLookup(benchmark::State& state) {
    Workload& w = Work();
    for (auto _ : state) {
        auto c = Ours().Open("KTXN");
        c->SwitchToIndex(PRIMARY_INDEX);
        std::vector<uint8_t> search(c->GetCursorRecordSize());
        std::vector<uint8_t> record(c->GetCursorRecordSize());
        int64_t misses = 0;
        const auto start = SettledStart();
        for (const int32_t id : w.Lookups) {
            std::fill(search.begin(), search.end(), 0);
            c->PutField(F_ID, search.data(), &id);
            if (!c->FindKey(0, search.data(), 1, 0, 0, record.data()) || IdOf(*c, record) != id) ++misses;
        }
        const double seconds = Seconds(start);
        if (misses) state.SkipWithError("a key was not found");
        Finish(state, "lookup", seconds, w.Count, true);
    }
}

void BM_KuraScan(benchmark::State& state, const char* step, uint8_t index, bool exclusive) {
    Workload& w = Work();
    for (auto _ : state) {
        auto c = Ours().Open("KTXN", exclusive);
        c->SwitchToIndex(index);
        std::vector<uint8_t> record(c->GetCursorRecordSize());
        char name[32] = {};
        std::string previous;
        int64_t count = 0;
        int64_t idSum = 0;
        bool ordered = true;
        const auto start = SettledStart();
        c->SetToBegin();
        while (c->GetNextRecord(record.data()) == 0) {
            ++count;
            bool blank = true;
            c->GetField(F_NAME, record.data(), name, blank);
            if (index == NAME_INDEX) {
                if (previous > name) ordered = false;
                previous = name;
            } else if (index == NATURAL_ORDER) {
                idSum += IdOf(*c, record);
            } else if (IdOf(*c, record) != count) {
                ordered = false;
            }
        }
        const double seconds = Seconds(start);
        // Natural order is append order: every id once, in the shuffled order.
        if (index == NATURAL_ORDER && idSum != int64_t{w.Count} * (w.Count + 1) / 2) ordered = false;
        if (count != w.Count || !ordered) state.SkipWithError("scan saw a wrong record sequence");
        Finish(state, step, seconds, count, true);
    }
}

void BM_KuraDelete(benchmark::State& state, const char* step, const char* table, bool exclusive) {
    Workload& w = Work();
    Kura& k = Ours();
    for (auto _ : state) {
        auto c = k.Open(table, exclusive);
        c->SwitchToIndex(PRIMARY_INDEX);
        std::vector<uint8_t> search(c->GetCursorRecordSize());
        std::vector<uint8_t> record(c->GetCursorRecordSize());
        int64_t misses = 0;
        const bench::MemoryWatch memory;
        const auto start = SettledStart();
        k.Dir->StartTransaction();
        for (const int32_t id : w.Deletes) {
            std::fill(search.begin(), search.end(), 0);
            c->PutField(F_ID, search.data(), &id);
            if (!c->FindKey(0, search.data(), 1, 0, 0, record.data())) {
                ++misses;
                continue;
            }
            c->DeleteRecord(record.data(), false);
        }
        k.Dir->Commit();
        const double seconds = Seconds(start);
        memory.Report(state);
        const auto left = static_cast<uint32_t>(w.Count - static_cast<int32_t>(w.Deletes.size()));
        if (misses || c->GetTableRecordCount() != left) state.SkipWithError("deletes went wrong");
        Finish(state, step, seconds, static_cast<int64_t>(w.Deletes.size()), true);
    }
}

// The windows of the range steps, the same for both engines: ids a < id < b, the
// names and the notes that begin with a text that ends in three digits (name >= p
// AND name < p + ":", ':' coming after the digits).
constexpr int RANGE_COUNTS = 200;
constexpr int UNINDEXED_RANGE_COUNTS = 20;

// The column a window bounds: the primary key, the indexed name, the note no index leads.
enum class RangeColumn { Id, Name, Note };

int RangeCount(RangeColumn column) { return column == RangeColumn::Note ? UNINDEXED_RANGE_COUNTS : RANGE_COUNTS; }

struct RangeWindows {
    std::vector<std::pair<int32_t, int32_t>> Ids;
    std::vector<std::string> Names;
    std::vector<std::string> Notes;
    RangeWindows() {
        std::mt19937 rng(11);
        const auto count = static_cast<uint32_t>(Work().Count);
        const auto width = std::max<uint32_t>(count / 1000, 10);
        for (int i = 0; i < RANGE_COUNTS; ++i) {
            const auto low = static_cast<int32_t>(rng() % std::max<uint32_t>(count - std::min(count, width), 1));
            Ids.emplace_back(low, low + static_cast<int32_t>(width) + 1);
            // A stem and the first three digits of a number.
            const std::string name = NameOf(static_cast<int32_t>(rng() % count) + 1);
            Names.push_back(name.substr(0, name.find_first_of("0123456789") + 3));
        }
        std::mt19937 notes(13);
        for (int i = 0; i < UNINDEXED_RANGE_COUNTS; ++i) {
            const auto id = static_cast<int32_t>(100 + notes() % std::max<uint32_t>(count - std::min(count, 100u), 1));
            const std::string note = NoteOf(id);
            Notes.push_back(note.substr(0, note.find_first_of("0123456789") + 3));
        }
    }
};

// What each of ours counted over all windows, which SQLite's count must equal.
std::map<std::string, int64_t>& RangeTotals() {
    static std::map<std::string, int64_t> totals;
    return totals;
}

const RangeWindows& Windows() {
    static RangeWindows windows;
    return windows;
}

// How a window is written: two comparisons, BETWEEN, two comparisons with the
// constant first, or three comparisons (the third a wider bound on one side).
enum class Spelling { Two, Between, ConstantFirst, Three };
// What reads it: a cursor's filter, SQL's COUNT(*), a SELECT whose rows are read
// back, an UPDATE and a DELETE (these two each in a transaction rolled back).
enum class RangeStatement { Filter, Count, Select, Update, Delete };

// Window i as a condition.
std::string RangeCondition(RangeColumn column, Spelling spelling, std::size_t i) {
    const RangeWindows& w = Windows();
    if (column != RangeColumn::Id) {
        const std::string c = column == RangeColumn::Name ? "Name" : "Note";
        const std::string p = "'" + (column == RangeColumn::Name ? w.Names[i] : w.Notes[i]);
        switch (spelling) {
            case Spelling::Two: return c + " >= " + p + "' AND " + c + " < " + p + ":'";
            case Spelling::Between: return c + " BETWEEN " + p + "' AND " + p + "9999'";
            case Spelling::ConstantFirst: return p + "' <= " + c + " AND " + p + ":' > " + c;
            case Spelling::Three: return c + " >= " + p + "' AND " + c + " < " + p + ":' AND " + c + " < " + p + ";'";
        }
    }
    const auto [low, high] = w.Ids[i];
    const std::string a = std::to_string(low);
    const std::string b = std::to_string(high);
    switch (spelling) {
        case Spelling::Two: return "Id > " + a + " AND Id < " + b;
        case Spelling::Between: return "Id BETWEEN " + std::to_string(low + 1) + " AND " + std::to_string(high - 1);
        case Spelling::ConstantFirst: return a + " < Id AND " + b + " > Id";
        case Spelling::Three: return "Id > " + a + " AND Id < " + b + " AND Id < " + std::to_string(high + 1000);
    }
    return {};
}

std::string RangeStatementText(RangeStatement statement, const std::string& condition) {
    switch (statement) {
        case RangeStatement::Select: return "SELECT Id FROM KTXN WHERE " + condition;
        case RangeStatement::Update: return "UPDATE KTXN SET Note = 'range' WHERE " + condition;
        case RangeStatement::Delete: return "DELETE FROM KTXN WHERE " + condition;
        default: return "SELECT COUNT(*) FROM KTXN WHERE " + condition;
    }
}

// Ours reads every window: through a filter on a cursor in natural order (added,
// activated, counted, dropped), or through SQL; the rows counted, read back or
// changed are summed. A change's transaction is started and rolled back untimed.
void BM_KuraRange(benchmark::State& state, const char* step, RangeColumn column, Spelling spelling,
                  RangeStatement statement) {
    Kura& k = Ours();
    for (auto _ : state) {
        auto c = k.Open("KTXN");
        c->SwitchToIndex(NATURAL_ORDER);
        TQueryContext context;
        context.Session = &k.Session;
        context.Database = k.Dir;
        double seconds = 0;
        auto readAll = [&] {
            int64_t total = 0;
            seconds = 0;
            for (std::size_t i = 0; i < static_cast<std::size_t>(RangeCount(column)); ++i) {
                const std::string condition = RangeCondition(column, spelling, i);
                if (statement == RangeStatement::Filter) {
                    const auto start = Clock::now();
                    TFilter* filter = c->AddFilter(condition);
                    c->ActivateFilter(filter);
                    total += c->GetRecordCount();
                    c->DropFilter(filter);
                    seconds += Seconds(start);
                } else if (statement == RangeStatement::Update || statement == RangeStatement::Delete) {
                    k.Dir->StartTransaction();
                    const auto start = Clock::now();
                    TQueryStatement change(k.Dir);
                    change.Prepare(RangeStatementText(statement, condition));
                    TDataCursor* none = nullptr;
                    change.Execute(none);
                    total += change.RowsAffected();
                    seconds += Seconds(start);
                    k.Dir->Rollback();
                } else {
                    const auto start = Clock::now();
                    TQueryStatement select;
                    select.ParseFirst(RangeStatementText(statement, condition));
                    TDataCursor* result = RunSelectStatement(select, context);
                    std::vector<uint8_t> record(result->GetRecordSize() + 16u);
                    result->SetToBegin();
                    while (result->GetNextRecord(record.data()) == 0) {
                        int32_t n = 1;
                        bool blank = true;
                        if (statement == RangeStatement::Count) result->GetField(1, record.data(), &n, blank);
                        total += n;
                    }
                    seconds += Seconds(start);
                }
            }
            return total;
        };
        readAll();  // untimed: the pages of the windows in the caches
        ::sync();
        const int64_t total = readAll();
        state.counters["records"] = static_cast<double>(total);
        Finish(state, step, seconds, RangeCount(column), true);
        RangeTotals()[step] = total;
    }
}

// The locks a shared append or delete takes in one transaction, taken and released
// the same way through the same platform calls on a scratch file: an append's new
// slots in runs of 16, 32, ... up to 4096 bytes per call, a delete's records one
// byte each until the file holds as many separate locks as escalate (the kernel
// checks each new lock against every held one), then one lock over the whole
// record-lock range in their place, as the table takes it; all held to the commit,
// there released highest record number first, consecutive ones together, or the
// range in one call. What is left of our time above this is ours; this is the
// kernel's share.
void BM_LockFloor(benchmark::State& state, const char* step, bool appending) {
    Workload& w = Work();
    auto open = [](const std::string& name) {
        return platform::CreateFile(name, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                    platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_ALWAYS,
                                    platform::FILE_ATTRIBUTE_NORMAL);
    };
    const platform::FileHandle dat = open(Scratch().path + "/FLOOR.DAT");
    auto byte = [](uint32_t recordNo) { return static_cast<uint64_t>(RECORD_LOCK_BASE - recordNo); };
    for (auto _ : state) {
        std::vector<uint32_t> held;
        bool escalated = false;
        bool ok = dat != platform::INVALID_HANDLE_VALUE;
        const auto start = SettledStart();
        if (appending) {
            // The new records 1..N, in runs that double up to 4096.
            const auto count = static_cast<uint32_t>(w.AppendOrder.size());
            uint32_t run = 16;
            for (uint32_t first = 1; first <= count; first += run, run = std::min(run * 2, 4096u)) {
                const uint32_t n = std::min(run, count - first + 1);
                ok = platform::LockFileBytes(dat, byte(first + n - 1), n) && ok;
                for (uint32_t r = first; r < first + n; ++r) held.push_back(r);
            }
        } else {
            // The record of each id deleted (any distinct numbers of the same
            // spread would do); past the escalation the range holds them all.
            for (const int32_t id : w.Deletes) {
                if (!escalated && held.size() >= RECORD_LOCK_ESCALATION) {
                    escalated = platform::LockFileBytesOver(dat, ALL_RECORD_LOCKS_START, ALL_RECORD_LOCKS_LENGTH,
                                                            held.size());
                    ok = escalated && ok;
                }
                if (!escalated) ok = platform::LockFile(dat, byte(static_cast<uint32_t>(id)), 1) && ok;
                held.push_back(static_cast<uint32_t>(id));
            }
        }
        if (escalated) {
            ok = platform::UnlockFileRanges(dat, ALL_RECORD_LOCKS_START, ALL_RECORD_LOCKS_LENGTH) && ok;
            held.clear();
        }
        std::sort(held.begin(), held.end());
        std::size_t end = held.size();
        while (end > 0) {
            std::size_t begin = end - 1;
            while (begin > 0 && held[begin - 1] + 1 == held[begin]) --begin;
            ok = (end - begin == 1 ? platform::UnlockFile(dat, byte(held[begin]), 1)
                                   : platform::UnlockFileRanges(dat, byte(held[end - 1]), end - begin)) &&
                 ok;
            end = begin;
        }
        const double seconds = Seconds(start);
        if (!ok) state.SkipWithError("a lock failed");
        state.SetIterationTime(seconds);
        const auto shared = KuraTimes().find(step);
        if (shared != KuraTimes().end()) {
            state.counters["kura/floor"] = shared->second / seconds;
            Ratios().Rows.emplace_back(std::string(step) + "  kura/lock_floor", shared->second / seconds);
        }
    }
    platform::CloseHandle(dat);
}

// ---- SQLite ---------------------------------------------------------------------------------

void Check(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) { Check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql); }

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        Check(db, sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr), sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    int Step() {
        const int rc = sqlite3_step(stmt_);
        Check(db_, rc, "step");
        return rc;
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// One database file in the scratch folder with its default rollback journal;
// synchronous OFF unless a step asks for FULL, and a page cache of our size.
constexpr int LITE_CACHE_KIB = 64;

struct Lite {
    Lite() {
        const std::string path = Scratch().path + "/sqlite.db";
        if (sqlite3_open(path.c_str(), &Db) != SQLITE_OK) throw std::runtime_error("sqlite open failed");
        Exec(Db, ("PRAGMA cache_size=-" + std::to_string(LITE_CACHE_KIB)).c_str());
        Exec(Db, "PRAGMA synchronous=OFF");
        for (const char* table : {"stxn", "scommit", "snosync", "sdefault"}) {
            Exec(Db, ("CREATE TABLE " + std::string(table) + "(id INTEGER PRIMARY KEY, name TEXT, note TEXT)").c_str());
            Exec(Db, ("CREATE INDEX " + std::string(table) + "_name ON " + table + "(name)").c_str());
        }
        // Laid out as ours: rows in append order, the key under a unique index.
        Exec(Db, "CREATE TABLE sunc(id INTEGER NOT NULL, name TEXT, note TEXT)");
        Exec(Db, "CREATE UNIQUE INDEX sunc_id ON sunc(id)");
        Exec(Db, "CREATE INDEX sunc_name ON sunc(name)");
    }
    // Every record of the workload into the table, in the order both engines append.
    // The first `count` ids of the append order; all without a count.
    void InsertAll(const Workload& w, const char* table, int32_t count = -1) {
        Statement insert(Db, ("INSERT INTO " + std::string(table) + "(id, name, note) VALUES (?, ?, ?)").c_str());
        const std::size_t n = count < 0 ? w.AppendOrder.size() : static_cast<std::size_t>(count);
        for (std::size_t i = 0; i < n; ++i) {
            const int32_t id = w.AppendOrder[i];
            const std::string name = NameOf(id);
            const std::string note = NoteOf(id);
            sqlite3_bind_int(insert.get(), 1, id);
            sqlite3_bind_text(insert.get(), 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert.get(), 3, note.data(), static_cast<int>(note.size()), SQLITE_TRANSIENT);
            insert.Step();
            sqlite3_reset(insert.get());
        }
    }
    // Fills sunc once, untimed.
    void FillUnclustered(const Workload& w) {
        if (UnclusteredFilled) return;
        UnclusteredFilled = true;
        Exec(Db, "BEGIN");
        InsertAll(w, "sunc");
        Exec(Db, "COMMIT");
    }
    bool UnclusteredFilled = false;
    ~Lite() { sqlite3_close(Db); }
    int64_t Count(const char* table) {
        Statement s(Db, ("SELECT count(*) FROM " + std::string(table)).c_str());
        s.Step();
        return sqlite3_column_int64(s.get(), 0);
    }
    sqlite3* Db = nullptr;
};

Lite& Theirs() {
    static Lite lite;
    return lite;
}

// SQLite's page cache for a step: ours (LITE_CACHE_KIB) or its default.
void LiteCache(Lite& l, bool defaultCache) {
    Exec(l.Db, defaultCache ? "PRAGMA cache_size=-2000"
                            : ("PRAGMA cache_size=-" + std::to_string(LITE_CACHE_KIB)).c_str());
}

const char* LitePeer(bool defaultCache) { return defaultCache ? "sqlite_default_cache" : "sqlite"; }

void BM_SqliteAppend(benchmark::State& state, const char* step, const char* table, bool oneTransaction,
                     bool synchronousOff, bool defaultCache) {
    Workload& w = Work();
    Lite& l = Theirs();
    for (auto _ : state) {
        if (!synchronousOff) Exec(l.Db, "PRAGMA synchronous=FULL");
        LiteCache(l, defaultCache);
        const bench::MemoryWatch memory;
        const auto start = SettledStart();
        if (oneTransaction) Exec(l.Db, "BEGIN");
        const int32_t count = synchronousOff || oneTransaction ? w.Count : w.SyncedCount;
        l.InsertAll(w, table, count);
        if (oneTransaction) Exec(l.Db, "COMMIT");
        const double seconds = Seconds(start);
        memory.Report(state);
        LiteCache(l, false);
        if (!synchronousOff) Exec(l.Db, "PRAGMA synchronous=OFF");
        if (l.Count(table) != count) state.SkipWithError("record count differs");
        Finish(state, step, seconds, count, false, LitePeer(defaultCache));
    }
}

void BM_SqliteLookup(benchmark::State& state) {
    Workload& w = Work();
    Lite& l = Theirs();
    for (auto _ : state) {
        Statement select(l.Db, "SELECT id, name, note FROM stxn WHERE id = ?");
        int64_t misses = 0;
        const auto start = SettledStart();
        for (const int32_t id : w.Lookups) {
            sqlite3_bind_int(select.get(), 1, id);
            if (select.Step() != SQLITE_ROW || sqlite3_column_int(select.get(), 0) != id ||
                !sqlite3_column_text(select.get(), 1))
                ++misses;
            sqlite3_reset(select.get());
        }
        const double seconds = Seconds(start);
        if (misses) state.SkipWithError("a key was not found");
        Finish(state, "lookup", seconds, w.Count, false);
    }
}

enum class LiteOrder { Natural, Key, Name, UnclusteredKey };

void BM_SqliteScan(benchmark::State& state, const char* step, LiteOrder order) {
    Workload& w = Work();
    Lite& l = Theirs();
    const bool byName = order == LiteOrder::Name;
    if (order == LiteOrder::UnclusteredKey) l.FillUnclustered(w);
    for (auto _ : state) {
        Statement select(l.Db, byName                        ? "SELECT id, name, note FROM stxn INDEXED BY stxn_name ORDER BY name"
                               : order == LiteOrder::Natural ? "SELECT id, name, note FROM stxn"
                               : order == LiteOrder::Key     ? "SELECT id, name, note FROM stxn ORDER BY id"
                                                             : "SELECT id, name, note FROM sunc INDEXED BY sunc_id ORDER BY id");
        std::string previous;
        int64_t count = 0;
        bool ordered = true;
        const auto start = SettledStart();
        while (select.Step() == SQLITE_ROW) {
            ++count;
            const char* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 1));
            sqlite3_column_text(select.get(), 2);
            if (byName) {
                if (!name || previous > name) ordered = false;
                previous = name ? name : "";
            } else if (sqlite3_column_int(select.get(), 0) != count) {
                ordered = false;
            }
        }
        const double seconds = Seconds(start);
        if (count != w.Count || !ordered) state.SkipWithError("scan saw a wrong record sequence");
        Finish(state, step, seconds, count, false,
               order == LiteOrder::UnclusteredKey ? "sqlite_unclustered" : "sqlite");
    }
}

// SQLite reads the same windows, written as two comparisons, through the same
// statement: prepared once, the window's bounds bound each time.
void BM_SqliteRange(benchmark::State& state, const char* step, RangeColumn column, RangeStatement statement) {
    Lite& l = Theirs();
    const RangeWindows& w = Windows();
    const bool names = column != RangeColumn::Id;
    for (auto _ : state) {
        const std::string condition = column == RangeColumn::Name   ? " WHERE name >= ? AND name < ?"
                                      : column == RangeColumn::Note ? " WHERE note >= ? AND note < ?"
                                                                    : " WHERE id > ? AND id < ?";
        const std::string text = statement == RangeStatement::Select   ? "SELECT id FROM stxn" + condition
                                 : statement == RangeStatement::Update ? "UPDATE stxn SET note = 'range'" + condition
                                 : statement == RangeStatement::Delete ? "DELETE FROM stxn" + condition
                                                                       : "SELECT count(*) FROM stxn" + condition;
        const bool changes = statement == RangeStatement::Update || statement == RangeStatement::Delete;
        Statement run(l.Db, text.c_str());
        double seconds = 0;
        auto readAll = [&] {
            int64_t total = 0;
            seconds = 0;
            for (std::size_t i = 0; i < static_cast<std::size_t>(RangeCount(column)); ++i) {
                const std::string p = column == RangeColumn::Note ? w.Notes[i] : w.Names[i];
                const std::string high = p + ":";
                if (changes) Exec(l.Db, "BEGIN");
                const auto start = Clock::now();
                if (names) {
                    sqlite3_bind_text(run.get(), 1, p.data(), static_cast<int>(p.size()), SQLITE_TRANSIENT);
                    sqlite3_bind_text(run.get(), 2, high.data(), static_cast<int>(high.size()), SQLITE_TRANSIENT);
                } else {
                    sqlite3_bind_int(run.get(), 1, w.Ids[i].first);
                    sqlite3_bind_int(run.get(), 2, w.Ids[i].second);
                }
                while (run.Step() == SQLITE_ROW)
                    total += statement == RangeStatement::Select ? 1 : sqlite3_column_int64(run.get(), 0);
                if (changes) total += sqlite3_changes(l.Db);
                sqlite3_reset(run.get());
                seconds += Seconds(start);
                if (changes) Exec(l.Db, "ROLLBACK");
            }
            return total;
        };
        readAll();  // untimed, as ours
        ::sync();
        const int64_t total = readAll();
        state.counters["records"] = static_cast<double>(total);
        const std::string prefix = std::string(step);
        for (const auto& [name, ours] : RangeTotals())
            if ((name == prefix || name.compare(0, prefix.size() + 1, prefix + "/") == 0) && ours != total)
                state.SkipWithError("counts differ");
        Finish(state, step, seconds, RangeCount(column), false);
        // Each spelling of ours against the cheapest of them.
        double cheapest = 0;
        for (const auto& [name, ours] : KuraTimes())
            if (name == prefix || name.compare(0, prefix.size() + 1, prefix + "/") == 0)
                cheapest = cheapest > 0 ? std::min(cheapest, ours) : ours;
        for (const auto& [name, ours] : KuraTimes()) {
            if (!(name == prefix || name.compare(0, prefix.size() + 1, prefix + "/") == 0) || cheapest <= 0) continue;
            const std::string label =
                (name == prefix ? std::string("kura") : "kura_" + name.substr(prefix.size() + 1)) + "/cheapest";
            state.counters[label] = ours / cheapest;
            Ratios().Rows.emplace_back(prefix + "  " + label, ours / cheapest);
        }
    }
}

void BM_SqliteDelete(benchmark::State& state, const char* table, bool defaultCache) {
    Workload& w = Work();
    Lite& l = Theirs();
    for (auto _ : state) {
        Statement remove(l.Db, ("DELETE FROM " + std::string(table) + " WHERE id = ?").c_str());
        int64_t misses = 0;
        LiteCache(l, defaultCache);
        const bench::MemoryWatch memory;
        const auto start = SettledStart();
        Exec(l.Db, "BEGIN");
        for (const int32_t id : w.Deletes) {
            sqlite3_bind_int(remove.get(), 1, id);
            remove.Step();
            if (sqlite3_changes(l.Db) != 1) ++misses;
            sqlite3_reset(remove.get());
        }
        Exec(l.Db, "COMMIT");
        const double seconds = Seconds(start);
        memory.Report(state);
        LiteCache(l, false);
        if (misses || l.Count(table) != w.Count - static_cast<int64_t>(w.Deletes.size()))
            state.SkipWithError("deletes went wrong");
        Finish(state, "delete", seconds, static_cast<int64_t>(w.Deletes.size()), false, LitePeer(defaultCache));
    }
}

// ---- Joined UPDATE shapes ----------------------------------------------------------------------

enum class JoinShape { RightOuter, SelfNameRead, SelfName, SelfNameFew, SelfUnindexed, OneKey, OneKeyUnindexed };

std::string JoinedTable(const char* prefix, int32_t rows) { return prefix + std::to_string(rows); }

// Our statement, or SQLite's UPDATE ... FROM of the same changes (the target is
// not named again in its FROM; the outer join's null rows change nothing).
std::string JoinedUpdateText(JoinShape shape, int32_t rows, bool ours) {
    const std::string t = JoinedTable(ours ? "JT" : "jt", rows), s = JoinedTable(ours ? "JS" : "js", rows),
                      r = JoinedTable(ours ? "JR" : "jr", rows);
    switch (shape) {
        case JoinShape::RightOuter:
            return ours ? "UPDATE " + t + " SET n = n + 1 FROM " + t + " INNER JOIN " + s + " ON " + t + ".k = " + s +
                              ".id RIGHT OUTER JOIN " + r + " ON " + r + ".j = " + t + ".k AND " + r + ".j = " + s + ".id"
                        : "UPDATE " + t + " SET n = n + 1 FROM " + s + ", " + r + " WHERE " + t + ".k = " + s +
                              ".id AND " + r + ".j = " + t + ".k AND " + r + ".j = " + s + ".id";
        case JoinShape::SelfNameRead:
            return ours ? "UPDATE " + t + " SET n = " + t + ".n + s.n FROM " + t + " INNER JOIN " + t +
                              " s ON s.name = " + t + ".name"
                        : "UPDATE " + t + " SET n = " + t + ".n + s.n FROM " + t + " AS s WHERE s.name = " + t + ".name";
        case JoinShape::SelfName:
            return ours ? "UPDATE " + t + " SET n = " + t + ".n + 1 FROM " + t + " INNER JOIN " + t +
                              " s ON s.name = " + t + ".name"
                        : "UPDATE " + t + " SET n = " + t + ".n + 1 FROM " + t + " AS s WHERE s.name = " + t + ".name";
        case JoinShape::SelfNameFew:
            return JoinedUpdateText(JoinShape::SelfNameRead, rows, ours) + (ours ? " WHERE " : " AND ") + t +
                   ".k <= " + std::to_string(rows / 1000);
        case JoinShape::OneKey:
        case JoinShape::OneKeyUnindexed: {
            const std::string g = JoinedTable(ours ? "JG" : "jg", rows), o = JoinedTable(ours ? "JO" : "jo", rows);
            const std::string on = o + ".g = " + g + (shape == JoinShape::OneKey ? ".g" : ".h");
            return ours ? "UPDATE " + g + " SET n = n + 1 FROM " + g + " INNER JOIN " + o + " ON " + on +
                              " RIGHT OUTER JOIN " + o + " p ON p.g = " + o + ".g"
                        : "UPDATE " + g + " SET n = n + 1 FROM " + o + ", " + o + " AS p WHERE " + on + " AND p.g = " +
                              o + ".g";
        }
        case JoinShape::SelfUnindexed: {
            const std::string u = JoinedTable(ours ? "JU" : "ju", rows);
            return ours ? "UPDATE " + u + " SET n = " + u + ".n + s.n FROM " + u + " INNER JOIN " + u +
                              " s ON s.name = " + u + ".name"
                        : "UPDATE " + u + " SET n = " + u + ".n + s.n FROM " + u + " AS s WHERE s.name = " + u + ".name";
        }
    }
    return {};
}

// The keys 1..rows in order.
std::vector<int32_t> KeysInOrder(int32_t rows) {
    std::vector<int32_t> keys(static_cast<std::size_t>(rows));
    for (int32_t i = 0; i < rows; ++i) keys[static_cast<std::size_t>(i)] = i + 1;
    return keys;
}

double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The three tables of a size, made and filled once, untimed.
void MakeKuraJoinedTables(int32_t rows) {
    static std::vector<int32_t> made;
    if (std::find(made.begin(), made.end(), rows) != made.end()) return;
    made.push_back(rows);
    Kura& k = Ours();
    const std::string t = JoinedTable("JT", rows), s = JoinedTable("JS", rows), r = JoinedTable("JR", rows),
                      u = JoinedTable("JU", rows), g = JoinedTable("JG", rows), o = JoinedTable("JO", rows);
    for (const std::string& sql : {"CREATE TABLE " + t + " (k INTEGER, name CHAR(20), n INTEGER, PRIMARY KEY (k))",
                                   "CREATE INDEX ByName ON " + t + " (name)", "CREATE TABLE " + s + " (id INTEGER)",
                                   "CREATE TABLE " + r + " (j INTEGER)",
                                   "CREATE TABLE " + u + " (k INTEGER, name CHAR(20), n INTEGER, PRIMARY KEY (k))",
                                   "CREATE TABLE " + g + " (k INTEGER, g INTEGER, h INTEGER, n INTEGER, PRIMARY KEY (k))",
                                   "CREATE INDEX ByG ON " + g + " (g)", "CREATE TABLE " + o + " (g INTEGER)"}) {
        TQueryStatement statement(k.Dir);
        statement.Prepare(sql);
        TDataCursor* none = nullptr;
        statement.Execute(none);
    }
    for (const std::string& table : {t, s, r, u, g, o}) {
        auto c = k.Open(table.c_str());
        std::vector<uint8_t> buffer(c->GetCursorRecordSize());
        k.Dir->StartTransaction();
        for (const int32_t key : KeysInOrder(table == o ? 1 : rows)) {
            std::fill(buffer.begin(), buffer.end(), 0);
            const int32_t n = key % 1000, seven = 7;
            c->PutField(1, buffer.data(), table == o ? &seven : &key);
            if (table == t || table == u) {
                const std::string name = NameOf(key);
                c->PutField(2, buffer.data(), name.c_str());
                c->PutField(3, buffer.data(), &n);
            } else if (table == g) {
                c->PutField(2, buffer.data(), &seven);
                c->PutField(3, buffer.data(), &seven);
                c->PutField(4, buffer.data(), &n);
            }
            c->AppendRecord(buffer.data(), false);
        }
        k.Dir->Commit();
    }
}

void MakeLiteJoinedTables(int32_t rows) {
    static std::vector<int32_t> made;
    if (std::find(made.begin(), made.end(), rows) != made.end()) return;
    made.push_back(rows);
    Lite& l = Theirs();
    const std::string t = JoinedTable("jt", rows), s = JoinedTable("js", rows), r = JoinedTable("jr", rows),
                      u = JoinedTable("ju", rows), g = JoinedTable("jg", rows), o = JoinedTable("jo", rows);
    Exec(l.Db, ("CREATE TABLE " + g + " (k INTEGER PRIMARY KEY, g INTEGER, h INTEGER, n INTEGER)").c_str());
    Exec(l.Db, ("CREATE INDEX " + g + "_g ON " + g + " (g)").c_str());
    Exec(l.Db, ("CREATE TABLE " + o + " (g INTEGER)").c_str());
    Exec(l.Db, ("CREATE TABLE " + t + " (k INTEGER PRIMARY KEY, name TEXT, n INTEGER)").c_str());
    Exec(l.Db, ("CREATE INDEX " + t + "_name ON " + t + " (name)").c_str());
    Exec(l.Db, ("CREATE TABLE " + s + " (id INTEGER)").c_str());
    Exec(l.Db, ("CREATE TABLE " + r + " (j INTEGER)").c_str());
    Exec(l.Db, ("CREATE TABLE " + u + " (k INTEGER PRIMARY KEY, name TEXT, n INTEGER)").c_str());
    Exec(l.Db, "BEGIN");
    for (const std::string& table : {t, s, r, u}) {
        const bool named = table == t || table == u;
        Statement insert(l.Db, ("INSERT INTO " + table + (named ? " VALUES (?, ?, ?)" : " VALUES (?)")).c_str());
        for (const int32_t key : KeysInOrder(rows)) {
            sqlite3_bind_int(insert.get(), 1, key);
            if (named) {
                const std::string name = NameOf(key);
                sqlite3_bind_text(insert.get(), 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
                sqlite3_bind_int(insert.get(), 3, key % 1000);
            }
            insert.Step();
            sqlite3_reset(insert.get());
        }
    }
    Statement insert(l.Db, ("INSERT INTO " + g + " VALUES (?, 7, 7, ?)").c_str());
    for (const int32_t key : KeysInOrder(rows)) {
        sqlite3_bind_int(insert.get(), 1, key);
        sqlite3_bind_int(insert.get(), 2, key % 1000);
        insert.Step();
        sqlite3_reset(insert.get());
    }
    Exec(l.Db, ("INSERT INTO " + o + " VALUES (7)").c_str());
    Exec(l.Db, "COMMIT");
}

void BM_JoinedUpdate(benchmark::State& state, const char* step, JoinShape shape, int32_t rows, bool ours) {
    if (ours)
        MakeKuraJoinedTables(rows);
    else
        MakeLiteJoinedTables(rows);
    for (auto _ : state) {
        int64_t changed = 0;
        const auto start = SettledStart();
        const bench::MemoryWatch memory;
        const double cpu = ProcessSeconds();
        if (ours) {
            TQueryStatement change(Ours().Dir);
            change.Prepare(JoinedUpdateText(shape, rows, true));
            TDataCursor* none = nullptr;
            change.Execute(none);
            changed = change.RowsAffected();
        } else {
            Lite& l = Theirs();
            Exec(l.Db, JoinedUpdateText(shape, rows, false).c_str());
            changed = sqlite3_changes(l.Db);
        }
        const double seconds = Seconds(start);
        state.counters["cpu_ms"] = (ProcessSeconds() - cpu) * 1000;
        state.counters["added_MB"] = memory.AddedMB();
        if (changed != (shape == JoinShape::SelfNameFew ? rows / 1000 : rows))
            state.SkipWithError("the rows changed differ");
        Finish(state, step, seconds, rows, ours);
    }
}

// Each step once, ours first, in this order: the later steps work on the table the
// first step filled.
const bool kRegistered = [] {
    auto once = [](benchmark::internal::Benchmark* b) {
        b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    once(benchmark::RegisterBenchmark("Append/one_transaction/kura", BM_KuraAppend, "append_txn", "KTXN",
                                      CommitMode::OneTransaction));
    once(benchmark::RegisterBenchmark("Append/one_transaction/kura_exclusive", BM_KuraAppend, "append_txn/exclusive",
                                      "KEXCL", CommitMode::Exclusive));
    once(benchmark::RegisterBenchmark("Append/one_transaction/lock_floor", BM_LockFloor, "append_txn", true));
    once(benchmark::RegisterBenchmark("Append/one_transaction/sqlite", BM_SqliteAppend, "append_txn", "stxn", true,
                                      false, false));
    once(benchmark::RegisterBenchmark("Append/one_transaction/sqlite_default_cache", BM_SqliteAppend, "append_txn",
                                      "sdefault", true, false, true));
    once(benchmark::RegisterBenchmark("Append/commit_per_record/kura", BM_KuraAppend, "append_commit", "KCOMMIT",
                                      CommitMode::TransactionPerRecord));
    once(benchmark::RegisterBenchmark("Append/commit_per_record/kura_no_transaction", BM_KuraAppend,
                                      "append_commit/no_transaction", "KAUTO", CommitMode::NoTransaction));
    once(benchmark::RegisterBenchmark("Append/commit_per_record/kura_unjournalled", BM_KuraAppend,
                                      "append_commit/unjournalled", "KNOJNL", CommitMode::TransactionPerRecord));
    once(benchmark::RegisterBenchmark("Append/commit_per_record/sqlite_synchronous_off", BM_SqliteAppend,
                                      "append_commit", "snosync", false, true, false));
    once(benchmark::RegisterBenchmark("Append/commit_per_record_sync/kura_force_flush", BM_KuraAppend,
                                      "append_commit_sync", "KSYNC", CommitMode::ForcedFlush));
    once(benchmark::RegisterBenchmark("Append/commit_per_record_sync/kura_force_flush_unjournalled", BM_KuraAppend,
                                      "append_commit_sync/unjournalled", "KSYNCNJ", CommitMode::ForcedFlush));
    once(benchmark::RegisterBenchmark("Append/commit_per_record_sync/sqlite_synchronous_full", BM_SqliteAppend,
                                      "append_commit_sync", "scommit", false, false, false));
    once(benchmark::RegisterBenchmark("Lookup/primary_key/kura", BM_KuraLookup));
    once(benchmark::RegisterBenchmark("Lookup/primary_key/sqlite", BM_SqliteLookup));
    once(benchmark::RegisterBenchmark("Scan/natural_order/kura", BM_KuraScan, "scan_natural", NATURAL_ORDER,
                                      false));
    once(benchmark::RegisterBenchmark("Scan/natural_order/kura_exclusive", BM_KuraScan, "scan_natural/exclusive",
                                      NATURAL_ORDER, true));
    once(benchmark::RegisterBenchmark("Scan/natural_order/sqlite", BM_SqliteScan, "scan_natural",
                                      LiteOrder::Natural));
    once(benchmark::RegisterBenchmark("Scan/primary_order/kura", BM_KuraScan, "scan_primary", PRIMARY_INDEX,
                                      false));
    once(benchmark::RegisterBenchmark("Scan/primary_order/kura_exclusive", BM_KuraScan, "scan_primary/exclusive",
                                      PRIMARY_INDEX, true));
    once(benchmark::RegisterBenchmark("Scan/primary_order/sqlite", BM_SqliteScan, "scan_primary", LiteOrder::Key));
    once(benchmark::RegisterBenchmark("Scan/primary_order/sqlite_unclustered", BM_SqliteScan, "scan_primary",
                                      LiteOrder::UnclusteredKey));
    once(benchmark::RegisterBenchmark("Scan/secondary_order/kura", BM_KuraScan, "scan_name", NAME_INDEX, false));
    once(benchmark::RegisterBenchmark("Scan/secondary_order/kura_exclusive", BM_KuraScan, "scan_name/exclusive",
                                      NAME_INDEX, true));
    once(benchmark::RegisterBenchmark("Scan/secondary_order/sqlite", BM_SqliteScan, "scan_name", LiteOrder::Name));
    // The range rows: per statement, each spelling of ours, then SQLite.
    struct RangeRow {
        const char* Row;
        const char* Step;
        RangeStatement Statement;
    };
    static const RangeRow rangeRows[] = {{"Range", "range", RangeStatement::Filter},
                                         {"RangeCount", "range_count", RangeStatement::Count},
                                         {"RangeSelect", "range_select", RangeStatement::Select},
                                         {"RangeUpdate", "range_update", RangeStatement::Update},
                                         {"RangeDelete", "range_delete", RangeStatement::Delete}};
    static const std::pair<const char*, Spelling> spellings[] = {{"", Spelling::Two},
                                                                 {"between", Spelling::Between},
                                                                 {"constant_first", Spelling::ConstantFirst},
                                                                 {"three", Spelling::Three}};
    static std::vector<std::string> rangeSteps;  // the steps' names live as long as the run
    rangeSteps.reserve(std::size(rangeRows) * 3 * std::size(spellings));
    for (const RangeRow& range : rangeRows) {
        for (const RangeColumn column : {RangeColumn::Id, RangeColumn::Name, RangeColumn::Note}) {
            static const char* const rows[] = {"/primary_key/", "/secondary_text/", "/unindexed_text/"};
            static const char* const suffixes[] = {"_id", "_name", "_note"};
            const std::string row = std::string(range.Row) + rows[static_cast<int>(column)];
            const std::string step = std::string(range.Step) + suffixes[static_cast<int>(column)];
            for (const auto& [variant, spelling] : spellings) {
                rangeSteps.push_back(*variant ? step + "/" + variant : step);
                once(benchmark::RegisterBenchmark((row + (*variant ? "kura_" + std::string(variant) : "kura")).c_str(),
                                                  BM_KuraRange, rangeSteps.back().c_str(), column, spelling,
                                                  range.Statement));
            }
            once(benchmark::RegisterBenchmark((row + "sqlite").c_str(), BM_SqliteRange,
                                              rangeSteps[rangeSteps.size() - std::size(spellings)].c_str(), column,
                                              range.Statement));
        }
    }
    once(benchmark::RegisterBenchmark("Delete/10_percent/kura", BM_KuraDelete, "delete", "KTXN", false));
    once(benchmark::RegisterBenchmark("Delete/10_percent/kura_exclusive", BM_KuraDelete, "delete/exclusive", "KEXCL",
                                      true));
    once(benchmark::RegisterBenchmark("Delete/10_percent/lock_floor", BM_LockFloor, "delete", false));
    once(benchmark::RegisterBenchmark("Delete/10_percent/sqlite", BM_SqliteDelete, "stxn", false));
    once(benchmark::RegisterBenchmark("Delete/10_percent/sqlite_default_cache", BM_SqliteDelete, "sdefault", true));
    static const std::pair<const char*, JoinShape> joinShapes[] = {{"right_outer", JoinShape::RightOuter},
                                                                   {"self_name_read", JoinShape::SelfNameRead},
                                                                   {"self_name", JoinShape::SelfName},
                                                                   {"self_name_few", JoinShape::SelfNameFew},
                                                                   {"one_key", JoinShape::OneKey},
                                                                   {"one_key_unindexed", JoinShape::OneKeyUnindexed}};
    const int32_t most = bench::CountFromEnvironment("ENGINE_VS_SQLITE_JOINED_ROWS", 1'000'000);
    std::vector<std::tuple<int32_t, const char*, JoinShape>> joinRuns;
    for (const int32_t rows : {10'000, 100'000, 1'000'000})
        for (const auto& [name, shape] : joinShapes)
            if (rows <= std::max(most, 100'000)) joinRuns.emplace_back(rows, name, shape);
    for (const int32_t rows : {1'000, 3'000, 10'000}) joinRuns.emplace_back(rows, "self_unindexed", JoinShape::SelfUnindexed);
    static std::vector<std::string> joinSteps;  // the steps' names live as long as the run
    joinSteps.reserve(joinRuns.size());
    for (const auto& [rows, name, shape] : joinRuns) {
        const std::string row = "JoinedUpdate/" + std::string(name) + "/" + std::to_string(rows) + "/";
        joinSteps.push_back("joined_" + std::string(name) + "_" + std::to_string(rows));
        once(benchmark::RegisterBenchmark((row + "kura").c_str(), BM_JoinedUpdate, joinSteps.back().c_str(), shape,
                                          rows, true));
        once(benchmark::RegisterBenchmark((row + "sqlite").c_str(), BM_JoinedUpdate, joinSteps.back().c_str(), shape,
                                          rows, false));
    }
    return true;
}();

}  // namespace
