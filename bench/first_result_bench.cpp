// The first result table of a session, as a program's first ORDER BY without a fitting
// index makes it, in a temporary folder that other programs share:
//   FirstOrderBy/0                 the temporary folder empty
//   FirstOrderBy/50000             50,000 files of other programs in it
//   FirstOrderByAfterKilled/1000/2 1,000 result folders of killed programs in it (each
//                                  beside its lock file, with a table's two files),
//                                  those gone made again before each run
//   FirstOrderByAfterKilled/4/25000  4 such folders of 25,000 files each
// Each run is a new session over 1,000 employees; the time is its first query's
// (planned, built and read to its end), later_ms the same query once more in that
// session, left_after_first the killed programs' folders still there after the first.
//   FirstWorkFolder/4/25000        beside the same 4 folders, a session's work folder
//                                  made and its first result table's part of the
//                                  clearing alone, without the query around it;
//                                  files_cleared the files it removed
//   ClearedByOneQueryPrograms/2/25000  2 folders of 25,000 files left by killed
//                                  programs, beside 4 living programs' folders that
//                                  sort after them, and programs that make one
//                                  result table each until both are gone (at most
//                                  1,500): programs is how many it took, files_left
//                                  what they left, and the time a program's query's;
//                                  longest_ms the longest query of the run.
//   RemoveEmptiedFolder/25000      a killed program's folder of 25,000 files, emptied
//                                  (not timed), then removed: what the query that
//                                  empties such a folder waits for beyond its share.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchQueries.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/OSServices.h"
#include "engine/files/WorkFolder.h"

namespace {

using namespace kura;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kQuery = "SELECT id, name FROM staff ORDER BY name";
constexpr int kKilledPid = 3'000'000;  // above every process id in use here

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Fixture {
    fs::path Root;
    fs::path Data;

    Fixture() {
        char name[] = "/tmp/kura-first-result-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no scratch folder");
        Root = name;
        Data = Root / "db";
        fs::create_directories(Data);
        InitEngineLibrary();
        TDataSession session;
        TDataDirectory* database = session.OpenDataDirectory("DB", Data.string());
        Run(database, "CREATE TABLE staff (id INTEGER, name CHAR(20), PRIMARY KEY (id))");
        Run(database, "START TRANSACTION");
        for (int id = 1; id <= 1000; ++id)
            Run(database, "INSERT INTO staff VALUES (" + std::to_string(id) + ", 'name" +
                              std::to_string(id * 7919 % 1009) + "')");
        Run(database, "COMMIT");
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }

    static void Run(TDataDirectory* database, const std::string& sql) {
        TQueryStatement statement(database);
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
    }

    // A temporary folder of its own for each kind of crowd.
    fs::path Temporary(const std::string& kind) {
        const fs::path folder = Root / kind;
        fs::create_directories(folder);
        return folder;
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void FolderOfKilledProgram(const fs::path& temporary, int i, int files) {
    const std::string name = "KURA" + std::to_string(kKilledPid + i) + "-0";
    if (fs::exists(temporary / name)) return;
    fs::create_directory(temporary / name);
    fs::permissions(temporary / name, fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(temporary / (name + ".LCK"));
    std::ofstream(temporary / name / "123450.DAT") << std::string(4096, 'x');
    std::ofstream(temporary / name / "123450.IDX") << std::string(2048, 'x');
    for (int f = 2; f < files; ++f) std::ofstream(temporary / name / (std::to_string(f) + ".DAT"));
}

int FoldersOfKilledPrograms(const fs::path& temporary, int killed) {
    int left = 0;
    for (int i = 0; i < killed; ++i) left += fs::exists(temporary / ("KURA" + std::to_string(kKilledPid + i) + "-0"));
    return left;
}

void Measure(benchmark::State& state, const fs::path& temporary, int killed, int files = 0) {
    Fixture& f = Shared();
    double laterMs = 0, left = 0;
    for (auto _ : state) {
        for (int i = 0; i < killed; ++i) FolderOfKilledProgram(temporary, i, files);
        auto session = std::make_unique<TDataSession>();
        session->SetPrivateDir(temporary.string());
        TDataDirectory* database = session->OpenDataDirectory("DB", f.Data.string());
        const auto first = Clock::now();
        benchmark::DoNotOptimize(bench::ReadSelectRows(*session, database, kQuery));
        state.SetIterationTime(MsSince(first) / 1000.0);
        const auto later = Clock::now();
        benchmark::DoNotOptimize(bench::ReadSelectRows(*session, database, kQuery));
        laterMs += MsSince(later);
        if (killed > 0) left += FoldersOfKilledPrograms(temporary, killed);
        session.reset();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["later_ms"] = laterMs / n;
    if (killed > 0) state.counters["left_after_first"] = left / n;
}

void FirstOrderBy(benchmark::State& state) {
    const int crowd = static_cast<int>(state.range(0));
    const fs::path temporary = Shared().Temporary("files" + std::to_string(crowd));
    for (int i = 0; i < crowd; ++i) {
        const fs::path other = temporary / ("other" + std::to_string(i) + ".tmp");
        if (!fs::exists(other)) std::ofstream{other};
    }
    Measure(state, temporary, 0);
}

void FirstOrderByAfterKilled(benchmark::State& state) {
    const auto killed = static_cast<int>(state.range(0)), files = static_cast<int>(state.range(1));
    Measure(state, Shared().Temporary("killed" + std::to_string(files)), killed, files);
}

size_t FilesOfKilledPrograms(const fs::path& temporary, int killed) {
    size_t files = 0;
    for (int i = 0; i < killed; ++i) {
        std::error_code ec;
        const fs::path folder = temporary / ("KURA" + std::to_string(kKilledPid + i) + "-0");
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); ++it) ++files;
    }
    return files;
}

void FirstWorkFolder(benchmark::State& state) {
    const auto killed = static_cast<int>(state.range(0)), files = static_cast<int>(state.range(1));
    const fs::path temporary = Shared().Temporary("killed" + std::to_string(files));
    double cleared = 0;
    for (auto _ : state) {
        for (int i = 0; i < killed; ++i) FolderOfKilledProgram(temporary, i, files);
        const size_t before = FilesOfKilledPrograms(temporary, killed);
        {
            const auto first = Clock::now();
            TWorkFolder folder(temporary.string());
            benchmark::DoNotOptimize(folder.Ready());
            state.SetIterationTime(MsSince(first) / 1000.0);
        }
        cleared += static_cast<double>(before - FilesOfKilledPrograms(temporary, killed));
    }
    state.counters["files_cleared"] = cleared / static_cast<double>(state.iterations());
}

void ClearedByOneQueryPrograms(benchmark::State& state) {
    const auto killed = static_cast<int>(state.range(0)), files = static_cast<int>(state.range(1));
    constexpr int kMostPrograms = 1500;
    Fixture& f = Shared();
    const fs::path temporary = f.Temporary("cleared" + std::to_string(files));
    // Living programs' folders, held here as their programs hold them (the lock
    // file open, the folder locked); their names sort after the killed programs'.
    std::vector<TOSHandle> living;
    for (int i = 0; i < 4; ++i) {
        const std::string name = (temporary / ("KURA" + std::to_string(2 * kKilledPid + i) + "-0")).string();
        living.push_back(OSHoldFile(name + ".LCK"));
        living.push_back(OSHoldPrivateFolder(name, true));
    }
    double programs = 0, left = 0, longest = 0;
    for (auto _ : state) {
        for (int i = 0; i < killed; ++i) FolderOfKilledProgram(temporary, i, files);
        double ms = 0, longestHere = 0;
        int n = 0;
        for (; n < kMostPrograms && FoldersOfKilledPrograms(temporary, killed) > 0; ++n) {
            auto session = std::make_unique<TDataSession>();
            session->SetPrivateDir(temporary.string());
            TDataDirectory* database = session->OpenDataDirectory("DB", f.Data.string());
            const auto first = Clock::now();
            benchmark::DoNotOptimize(bench::ReadSelectRows(*session, database, kQuery));
            const double queryMs = MsSince(first);
            ms += queryMs;
            longestHere = std::max(longestHere, queryMs);
        }
        longest += longestHere;
        state.SetIterationTime(ms / std::max(n, 1) / 1000.0);
        programs += n;
        left += static_cast<double>(FilesOfKilledPrograms(temporary, killed));
        for (int i = 0; i < killed; ++i) {
            const fs::path folder = temporary / ("KURA" + std::to_string(kKilledPid + i) + "-0");
            std::error_code ec;
            fs::remove_all(folder, ec);
            fs::remove(folder.string() + ".LCK", ec);
        }
    }
    for (size_t i = 0; i < living.size(); i += 2) {
        OSRemoveHeldFolder(living[i + 1]);
        OSCloseFile(living[i]);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["programs"] = programs / n;
    state.counters["files_left"] = left / n;
    state.counters["longest_ms"] = longest / n;
}

void RemoveEmptiedFolder(benchmark::State& state) {
    const auto files = static_cast<int>(state.range(0));
    const fs::path temporary = Shared().Temporary("emptied" + std::to_string(files));
    const fs::path folder = temporary / ("KURA" + std::to_string(kKilledPid) + "-0");
    for (auto _ : state) {
        FolderOfKilledProgram(temporary, 0, files);
        std::vector<fs::path> names;
        for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path());
        for (const fs::path& name : names) fs::remove(name);
        const auto start = Clock::now();
        fs::remove(folder);
        state.SetIterationTime(MsSince(start) / 1000.0);
        fs::remove(folder.string() + ".LCK");
    }
}

BENCHMARK(FirstOrderBy)->Arg(0)->Arg(50000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(FirstOrderByAfterKilled)
    ->Args({1000, 2})
    ->Args({4, 25000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

BENCHMARK(FirstWorkFolder)
    ->Args({4, 25000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(ClearedByOneQueryPrograms)
    ->Args({2, 25000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(RemoveEmptiedFolder)->Arg(25000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
