// The main window's two views rebuilt over 10,000 employees in 12 departments (one
// in ten retired), against SQLite running the same SQL over the same rows in one run:
//   OverviewRefresh   RefreshJyokyo: the per-department GROUP BY, the pie and grid
//                     filled, the COUNT(*) total; SQLite steps both queries.
//   StaffListRebuild  OpenStaffList sorted by department and code: the 51-column
//                     result built and read to its end; SQLite steps every row.
// Each row reports kura_ms, sqlite_ms and ratio (ours over SQLite's), per rebuild.
// MAINWIN_ROWS sets the employee count (default 10,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>

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

int Rows() {
    const char* text = getenv("MAINWIN_ROWS");
    const long n = text ? strtol(text, nullptr, 10) : 0;
    return n >= 10 && n <= 1'000'000 ? static_cast<int>(n) : 10'000;
}

const char* const Departments[] = {"営業部", "総務部", "製造部", "開発部", "品質部", "経理部",
                                   "人事部", "物流部", "購買部", "企画部", "広報部", "法務部"};

struct World {
    World() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "yomitora";
        static char* argv[] = {name, nullptr};
        app = new gui::TApplication(argc, argv);
        dir = std::filesystem::temp_directory_path() / ("mainwin_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        app::SetProgramPath((dir / "yomitora").string());
        app::Fmain = new app::TFmain;
        app::Fmain->show();
        QApplication::processEvents();
        sqlite3_open(":memory:", &lite);
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
    }
    ~World() {
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
    int Step(const char* sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(lite, sql, -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(lite));
        int rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(st); ++c) sqlite3_column_text(st, c);
            ++rows;
        }
        sqlite3_finalize(st);
        return rows;
    }
    gui::TApplication* app;
    std::filesystem::path dir;
    sqlite3* lite = nullptr;
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

template <class Ours, class Peer>
void Compare(benchmark::State& state, Ours ours, Peer peer) {
    World& w = TheWorld();
    double kuraMs = 0, liteMs = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        ours(w);
        auto t1 = Clock::now();
        peer(w);
        auto t2 = Clock::now();
        kuraMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
        liteMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
        ++n;
    }
    state.counters["kura_ms"] = kuraMs / double(n);
    state.counters["sqlite_ms"] = liteMs / double(n);
    state.counters["ratio"] = kuraMs / std::max(liteMs, 1e-6);
}

void OverviewRefresh(benchmark::State& state) {
    Compare(
        state, [](World&) { app::Fmain->RefreshJyokyo(); },
        [](World& w) {
            benchmark::DoNotOptimize(w.Step(app::Fmain->Qjyokyo->SQL().c_str()));
            benchmark::DoNotOptimize(w.Step(app::Fmain->Query1->SQL().c_str()));
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
        [](World& w) { benchmark::DoNotOptimize(w.Step(app::Fmain->Qstaff->SQL().c_str())); });
}

BENCHMARK(OverviewRefresh)->Unit(benchmark::kMillisecond);
BENCHMARK(StaffListRebuild)->Unit(benchmark::kMillisecond);

}  // namespace
