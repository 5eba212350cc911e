// The main window's two views rebuilt over 10,000 employees in 12 departments (one
// in ten retired), against SQLite running the same SQL over the same rows in one run:
//   OverviewRefresh   RefreshJyokyo: the per-department GROUP BY, the pie and grid
//                     filled, the COUNT(*) total; SQLite steps both queries.
//   StaffListRebuild  OpenStaffList sorted by department and code: the 51-column
//                     result built and read to its end; SQLite steps every row.
// Each row reports kura_ms (the whole rebuild), kura_query_ms (the same SQL through a
// query component of the same session, read to its end: the engine's part),
// kura_gui_ms (the rest: chart, grid, labels), sqlite_ms and the ratios of both
// kura_ms and kura_query_ms over SQLite's, per rebuild, and the process's peak
// resident memory over the row (peak_MB, BenchMemory.h). SQLite runs on a file in
// the benchmark's folder with synchronous=OFF, at its default 2 MB page cache
// (sqlite_ms, ratio, query_ratio) and with a page cache of our caches' size for
// the Staff table, 64 KB (sqlite_equal_cache_ms, ratio_equal_cache,
// query_ratio_equal_cache); the whole table is in the system's file cache on both
// sides.
//
// The program keeps its result tables and sort runs in the system temporary folder:
// the benchmark gives it a folder of its own (TMPDIR), empty for the rows ".../0",
// holding 50,000 files of other programs for the rows ".../50000".
// MAINWIN_ROWS sets the employee count (default 10,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench/BenchEnv.h"
#include "bench/BenchMemory.h"
#include "app/DMdata.h"
#include "app/DateText.h"
#include "app/MainWindow.h"
#include "app/Schema.h"
#include "app/ProgramPaths.h"
#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace {

using Clock = std::chrono::steady_clock;

int Rows() { return kura::bench::CountFromEnvironment("MAINWIN_ROWS", 10'000, 10, 1'000'000); }

const char* const Departments[] = {"営業部", "総務部", "製造部", "開発部", "品質部", "経理部",
                                   "人事部", "物流部", "購買部", "企画部", "広報部", "法務部"};

struct World {
    World() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "yomitora";
        static char* argv[] = {name, nullptr};
        dir = std::filesystem::temp_directory_path() / ("mainwin_bench_" + std::to_string(getpid()));
        temp = dir / "temp";
        std::filesystem::create_directories(temp);
        setenv("TMPDIR", temp.c_str(), 1);
        app = new gui::TApplication(argc, argv);
        app::SetProgramPath(QString::fromStdString((dir / "yomitora").string()));
        app::Fmain = new app::TFmain;
        app::Fmain->show();
        QApplication::processEvents();
        sqlite3_open((dir / "peer.sqlite").c_str(), &lite);
        Exec("PRAGMA synchronous=OFF");
        Exec("PRAGMA cache_size=-2000");
        // The same 61 columns; the same SQL texts run on both.
        std::string create = "CREATE TABLE STAFF (";
        for (const app::TColumnSpec& c : app::StaffSpec().Columns)
            create += c.Name + (c.Type == kura::ftInteger ? " INTEGER" : " TEXT") +
                      (c.Name == "StaffCD" ? " PRIMARY KEY, " : ", ");
        Exec((create.substr(0, create.size() - 2) + ")").c_str());
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(lite,
                           "INSERT INTO STAFF (StaffCD, Simei, Furigana, Bu, SeinenYMD, TaisyokuYMD, Yatin) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)",
                           -1, &insert, nullptr);
        kura::TKuraTable& t = *app::DMdata->Tstaff;
        const int rows = Rows();
        for (int i = 0; i < rows; ++i) {
            const std::string name = "社員" + std::to_string(i);
            const char* bu = Departments[(i * 7) % 12];
            t.Append();
            t.FieldByName("StaffCD")->SetAsInteger(i + 1);
            t.FieldByName("Simei")->SetAsUtf8(name);
            t.FieldByName("Furigana")->SetAsUtf8("しゃいん");
            t.FieldByName("Bu")->SetAsUtf8(bu);
            t.FieldByName("SeinenYMD")->SetAsDateTime(app::EncodeDate(1950 + i % 50, 1 + i % 12, 1 + i % 28));
            if (i % 10 == 0) t.FieldByName("TaisyokuYMD")->SetAsDateTime(app::EncodeDate(2020, 3, 31));
            t.FieldByName("Yatin")->SetAsInteger(30000 + i % 50 * 1000);
            t.Post();
            sqlite3_bind_int(insert, 1, i + 1);
            sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, "しゃいん", -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 4, bu, -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 5, "1970/01/01", -1, SQLITE_STATIC);
            if (i % 10 == 0) sqlite3_bind_text(insert, 6, "2020/03/31", -1, SQLITE_STATIC);
            else sqlite3_bind_null(insert, 6);
            sqlite3_bind_int(insert, 7, 30000 + i % 50 * 1000);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT");
        // Records 16 KB, the primary index 16 KB, the BLOB blocks 32 KB.
        sqlite3_open((dir / "peer.sqlite").c_str(), &liteEqual);
        if (sqlite3_exec(liteEqual, "PRAGMA cache_size=-64", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(liteEqual));
    }
    ~World() {
        sqlite3_close(liteEqual);
        sqlite3_close(lite);
        delete app::Fmain;
        delete app::DMdata;
        kura::DoneSessions();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void Exec(const char* sql) {
        if (sqlite3_exec(lite, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(lite));
    }
    int Step(const char* sql, bool equalCache = false) {
        sqlite3* db = equalCache ? liteEqual : lite;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
        int rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(st); ++c) sqlite3_column_text(st, c);
            ++rows;
        }
        sqlite3_finalize(st);
        return rows;
    }
    // Fills the temporary folder with files of other programs up to n.
    void CrowdTemp(int n) {
        for (int i = crowd; i < n; ++i) std::ofstream(temp / ("other" + std::to_string(i) + ".tmp"));
        crowd = std::max(crowd, n);
    }
    // The query's rows read to the end through a query component of the session.
    static void ReadAll(const std::string& sql) {
        kura::TKuraQuery q;
        q.SetDatabaseName("DataDB");
        q.SetSessionName("MySession");
        q.SetSQL(sql);
        q.Open();
        for (q.First(); !q.Eof(); q.Next()) benchmark::DoNotOptimize(q.Fields(0)->AsString());
        q.Close();
    }
    gui::TApplication* app;
    std::filesystem::path dir, temp;
    int crowd = 0;
    sqlite3* lite = nullptr;
    sqlite3* liteEqual = nullptr;
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        // The world itself outlives the run; its folder (and the crowd) does not.
        static std::filesystem::path folder = w->dir;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        });
        return w;
    }();
    return *world;
}

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

template <class Ours, class Queries, class Peer>
void Compare(benchmark::State& state, Ours ours, Queries queries, Peer peer) {
    World& w = TheWorld();
    w.CrowdTemp(static_cast<int>(state.range(0)));
    const kura::bench::MemoryWatch memory;
    double kuraMs = 0, queryMs = 0, liteMs = 0, equalMs = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t = Clock::now();
        ours(w);
        kuraMs += MsSince(t);
        t = Clock::now();
        queries(w);
        queryMs += MsSince(t);
        t = Clock::now();
        peer(w, false);
        liteMs += MsSince(t);
        t = Clock::now();
        peer(w, true);
        equalMs += MsSince(t);
        ++n;
    }
    state.counters["sqlite_equal_cache_ms"] = equalMs / double(n);
    state.counters["ratio_equal_cache"] = kuraMs / std::max(equalMs, 1e-6);
    state.counters["query_ratio_equal_cache"] = queryMs / std::max(equalMs, 1e-6);
    state.counters["kura_ms"] = kuraMs / double(n);
    state.counters["kura_query_ms"] = queryMs / double(n);
    state.counters["kura_gui_ms"] = std::max(kuraMs - queryMs, 0.0) / double(n);
    state.counters["sqlite_ms"] = liteMs / double(n);
    state.counters["ratio"] = kuraMs / std::max(liteMs, 1e-6);
    state.counters["query_ratio"] = queryMs / std::max(liteMs, 1e-6);
    memory.Report(state);
}

void OverviewRefresh(benchmark::State& state) {
    Compare(
        state, [](World&) { app::Fmain->RefreshJyokyo(); },
        [](World&) {
            World::ReadAll(app::Fmain->Qjyokyo->SQL());
            World::ReadAll(app::Fmain->Query1->SQL());
        },
        [](World& w, bool equalCache) {
            benchmark::DoNotOptimize(w.Step(app::Fmain->Qjyokyo->SQL().c_str(), equalCache));
            benchmark::DoNotOptimize(w.Step(app::Fmain->Query1->SQL().c_str(), equalCache));
        });
}

void StaffListRebuild(benchmark::State& state) {
    TheWorld();
    app::Fmain->Settings.Komoku[0] = "部";
    app::Fmain->Settings.Komoku[1] = "コード";
    Compare(
        state,
        [](World&) {
            app::Fmain->OpenStaffList();
            kura::TDataSet& q = *app::Fmain->Qstaff;
            for (q.First(); !q.Eof(); q.Next()) benchmark::DoNotOptimize(q.Fields(1)->AsString());
            q.First();
        },
        [](World&) { World::ReadAll(app::Fmain->Qstaff->SQL()); },
        [](World& w, bool equalCache) {
            benchmark::DoNotOptimize(w.Step(app::Fmain->Qstaff->SQL().c_str(), equalCache));
        });
}

// The empty temporary folder first, then the crowded one.
BENCHMARK(OverviewRefresh)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(StaffListRebuild)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(OverviewRefresh)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(StaffListRebuild)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace
