// Start-up of the program with 10,000 employees in Staff, two ways:
//   ProcessStart...  a real start: the program (a copy of the built executable in a
//                    folder of its own, beside its settings and database) started as
//                    a process and timed from the exec to its main window shown with
//                    its four tables checked and open and both views filled; the
//                    program reports that moment when YOMITORA_EXIT_WHEN_SHOWN is set
//                    (app/main.cpp) and then ends, untimed. The counters give the
//                    median, least and greatest of the starts in milliseconds, and
//                    the median processor time the program had used by then
//                    (cpu_median_ms: on a busy machine the wall time waits for
//                    processors as well).
//   StartUpWith...   the same start-up again inside this process (the application
//                    object, the libraries and the fonts already loaded), and where its
//                    time goes: the start-up's own steps as counters in milliseconds.
// Headless (offscreen); the data are generated here once.
//
// The program keeps its result tables and sort runs in the system temporary folder
// and looks names up there without regard to case: the start-up runs with a
// temporary folder of its own (TMPDIR), empty for ".../0", holding 50,000 files of
// other programs for ".../50000".
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// A program folder whose Staff table holds 10,000 employees (made by a first start),
// removed with what it holds when the run ends.
const QTemporaryDir& ProgramFolder() {
    static QTemporaryDir* dir = [] {
        auto* d = new QTemporaryDir;
        std::atexit([] { delete dir; });
        app::SetProgramPath(d->path() + "/yomitora");
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

// The temporary folders the start-ups use, one per crowd of files of other
// programs, all under one folder removed at exit.
std::filesystem::path TemporaryFolder(int crowd) {
    static const std::filesystem::path root = [] {
        const auto path = std::filesystem::temp_directory_path() / ("startup_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        static const std::filesystem::path removed = path;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removed, ec);
        });
        return path;
    }();
    const std::filesystem::path folder = root / std::to_string(crowd);
    if (!std::filesystem::exists(folder)) {
        std::filesystem::create_directories(folder);
        for (int made = 0; made < crowd; ++made) std::ofstream(folder / ("other" + std::to_string(made) + ".tmp"));
    }
    return folder;
}

void UseTemporaryFolder(int crowd) { setenv("TMPDIR", TemporaryFolder(crowd).c_str(), 1); }

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

// ---- A real start as a process ------------------------------------------------------------

// The built program copied into the program folder, beside the data it starts on.
std::string ProgramCopy() {
    static const std::string path = [] {
        const std::string copy = (ProgramFolder().path() + "/yomitora").toStdString();
        std::filesystem::copy_file(YOMITORA_PROGRAM, copy, std::filesystem::copy_options::overwrite_existing);
        return copy;
    }();
    return path;
}

double MsSince(Clock::time_point t) { return Ms(t, Clock::now()); }

struct TStart {
    double WallMs = -1;
    double CpuMs = -1;
};

// One start of the program with TMPDIR at the folder: milliseconds from the exec to
// its "shown"; the end of the process is waited for (at most 30 s) outside the time.
TStart StartProgramOnce(const std::filesystem::path& temporary) {
    std::vector<std::string> settings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("TMPDIR=", 0) == 0 || entry.rfind("QT_QPA_PLATFORM=", 0) == 0) continue;
        settings.push_back(entry);
    }
    settings.push_back("TMPDIR=" + temporary.string());
    settings.push_back("QT_QPA_PLATFORM=offscreen");
    settings.push_back("YOMITORA_EXIT_WHEN_SHOWN=1");
    std::vector<char*> envp;
    for (std::string& entry : settings) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = ProgramCopy();
    char* argv[] = {program.data(), nullptr};

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        throw std::runtime_error("the program did not start");
    }
    std::string said;
    TStart result;
    while (MsSince(start) < 30000) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buffer[256];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) break;
        said.append(buffer, static_cast<std::size_t>(got));
        if (said.find('\n') != std::string::npos) {
            result.WallMs = MsSince(start);
            break;
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (MsSince(start) > 60000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error("the program did not end");
        }
        usleep(1000);
    }
    if (said.rfind("shown ", 0) != 0 || result.WallMs < 0)
        throw std::runtime_error("the program did not show its window");
    result.CpuMs = std::strtod(said.c_str() + 6, nullptr);
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_ProcessStartWithTenThousandEmployees(benchmark::State& state) {
    App();
    ProgramFolder();
    const std::filesystem::path temporary = TemporaryFolder(static_cast<int>(state.range(0)));
    std::vector<double> starts, processor;
    try {
        StartProgramOnce(temporary);  // the executable and the data into the system's file cache
        for (auto _ : state) {
            const TStart one = StartProgramOnce(temporary);
            state.SetIterationTime(one.WallMs / 1000.0);
            starts.push_back(one.WallMs);
            processor.push_back(one.CpuMs);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["median_ms"] = Median(starts);
    state.counters["least_ms"] = *std::min_element(starts.begin(), starts.end());
    state.counters["greatest_ms"] = *std::max_element(starts.begin(), starts.end());
    state.counters["cpu_median_ms"] = Median(processor);
}
BENCHMARK(BM_ProcessStartWithTenThousandEmployees)
    ->Arg(0)
    ->Arg(50000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(11);

}  // namespace
