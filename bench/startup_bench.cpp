// Start-up of the program with 10,000 employees in Staff: from the application object
// to the main window shown with its four tables checked and open, and where the time
// goes (the start-up's own steps are reported as counters in milliseconds).
// Headless (offscreen); the data are generated here once.
//
// The program keeps its result tables and sort runs in the system temporary folder
// and looks names up there without regard to case: the start-up runs with a
// temporary folder of its own (TMPDIR), empty for ".../0", holding 50,000 files of
// other programs for ".../50000".
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "app/Splash.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "platform/CodePage.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double applicationMs = 0;

gui::TApplication& App() {
    static int argc = 1;
    static char name[] = "yomitora";
    static char* argv[] = {name, nullptr};
    static gui::TApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        const auto t0 = Clock::now();
        auto* a = new gui::TApplication(argc, argv);
        applicationMs = Ms(t0, Clock::now());
        return a;
    }();
    return *app;
}

// A program folder whose Staff table holds 10,000 employees (made by a first start).
const QTemporaryDir& ProgramFolder() {
    static QTemporaryDir* dir = [] {
        auto* d = new QTemporaryDir;
        app::SetProgramPath((d->path() + "/yomitora").toStdString());
        app::Fmain = new app::TFmain;
        app::Fmain->show();
        QApplication::processEvents();
        kura::TKuraTable& t = *app::DMdata->Tstaff;
        const char* const departments[] = {"総務", "経理", "営業", "製造", "品質", "開発", ""};
        for (int id = 1; id <= 10000; ++id) {
            t.Append();
            t.FieldByName("StaffCD")->SetAsInteger(id);
            t.FieldByName("Simei")->SetAsUtf8("社員" + std::to_string(id));
            t.FieldByName("Furigana")->SetAsUtf8("しゃいん");
            t.FieldByName("Bu")->SetAsUtf8(departments[id % 7]);
            t.FieldByName("Jyusyo1")->SetAsUtf8("東京都千代田区" + std::to_string(id));
            t.FieldByName("SeinenYMD")->SetAsDateTime(20000 + id % 9000);
            if (id % 10 == 0) t.FieldByName("TaisyokuYMD")->SetAsDateTime(40000 + id);
            t.Post();
        }
        app::Fmain->close();
        delete app::Fmain;
        delete app::DMdata;
        kura::DoneSessions();
        return d;
    }();
    return *dir;
}

// The temporary folder the start-ups use, with `crowd` files of other programs.
std::filesystem::path gTemporaryFolder;

void UseTemporaryFolder(int crowd) {
    if (gTemporaryFolder.empty()) {
        gTemporaryFolder = std::filesystem::temp_directory_path() / ("startup_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(gTemporaryFolder);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(gTemporaryFolder, ec);
        });
    }
    static int made = 0;
    for (; made < crowd; ++made) std::ofstream(gTemporaryFolder / ("other" + std::to_string(made) + ".tmp"));
    setenv("TMPDIR", gTemporaryFolder.c_str(), 1);
}

void BM_StartUpWithTenThousandEmployees(benchmark::State& state) {
    App();
    ProgramFolder();
    UseTemporaryFolder(static_cast<int>(state.range(0)));
    std::map<std::string, double> steps;
    double splashMs = 0, windowMs = 0, showMs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        app::TFsplash* splash = app::ShowStartSplash();
        const auto t1 = Clock::now();
        app::Fmain = new app::TFmain;
        splash->CloseWhenShown(app::Fmain);
        const auto t2 = Clock::now();
        app::Fmain->show();
        QApplication::processEvents();
        const auto t3 = Clock::now();
        if (!app::Fmain->StartedUp() || app::DMdata->Tstaff->RecordCount() != 10000) state.SkipWithError("start-up failed");
        splashMs += Ms(t0, t1);
        windowMs += Ms(t1, t2);
        showMs += Ms(t2, t3);
        for (const auto& [name, ms] : app::Fmain->StartupTimes) steps[name] += ms;
        state.PauseTiming();
        app::Fmain->close();
        delete app::Fmain;
        delete app::DMdata;
        kura::DoneSessions();
        QApplication::processEvents();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["application_ms_once"] = applicationMs;
    state.counters["splash_ms"] = splashMs / n;
    state.counters["main_window_made_ms"] = windowMs / n;
    state.counters["shown_and_started_ms"] = showMs / n;
    for (const auto& [name, ms] : steps) state.counters["step_" + name + "_ms"] = ms / n;
}
BENCHMARK(BM_StartUpWithTenThousandEmployees)->Arg(0)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
