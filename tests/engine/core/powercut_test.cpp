// A power cut keeps only what was synced. The file layer's call table records
// every write, cut and sync of a scripted run of commits; at every point of the
// run the test builds the files a power cut there would leave and opens them as
// the next program does:
//   - "lost": each file as its last completed sync left it, every later write gone;
//   - "torn": the same, but each later write of a forced commit kept, lost or torn
//     (a part of it written), at random, several images per point.
// With forced flushes (ForceBufferFlush, or a COMMIT with flush) every commit that
// returned before the cut is there. Among commits that are not forced, the table
// is whole at some earlier commit, never older than the last forced one that
// returned. (While a forced commit syncs what earlier commits left unsynced, one
// file after another, before its journal, a cut leaves those earlier commits in
// part: they were never durable, and no journal covers them any more.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/core/EngineLibrary.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/TableCheck.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

constexpr uint32_t SEED = 3232;
constexpr int INITIAL = 10;
constexpr int STEPS = 12;
constexpr int TORN_IMAGES = 2;
const char* const TABLE = "CUT";
const char* const kExts[] = {".DAT", ".IDX", ".BLB", ".JNL"};

using Bytes = std::vector<uint8_t>;

// One call of the file layer on a file of the table.
struct Event {
    enum Kind { Write, Cut, Sync } What = Write;
    std::string File;  // extension
    int64_t Offset = 0;  // where a write starts; the length a cut leaves
    Bytes Data;
};

struct Recorder {
    std::string Folder;  // the table's folder as the kernel names it
    std::vector<Event> Events;
};
Recorder* gRecorder = nullptr;

// The table file an open descriptor names ("" for any other).
std::string TableFileOf(int fd) {
    char link[4096] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    const std::string path = n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
    if (!gRecorder || path.rfind(gRecorder->Folder + "/" + TABLE + ".", 0) != 0) return {};
    const std::string ext = path.substr(gRecorder->Folder.size() + 1 + std::strlen(TABLE));
    return std::find(std::begin(kExts), std::end(kExts), ext) != std::end(kExts) ? ext : std::string();
}

void Record(Event e) {
    if (!e.File.empty()) gRecorder->Events.push_back(std::move(e));
}

ssize_t RecordingPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    const ssize_t n = platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
    if (n > 0) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        Record({Event::Write, TableFileOf(fd), offset, Bytes(bytes, bytes + n)});
    }
    return n;
}
int RecordingFtruncate(int fd, off_t length) {
    const int result = platform::SystemFileCalls().ftruncate(fd, length);
    if (result == 0) Record({Event::Cut, TableFileOf(fd), length, {}});
    return result;
}
int RecordingFsync(int fd) {
    const int result = platform::SystemFileCalls().fsync(fd);
    if (result == 0) Record({Event::Sync, TableFileOf(fd), 0, {}});
    return result;
}
int RecordingFdatasync(int fd) {
    const int result = platform::SystemFileCalls().fdatasync(fd);
    if (result == 0) Record({Event::Sync, TableFileOf(fd), 0, {}});
    return result;
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Apply(Bytes& file, const Event& e, std::size_t keep) {
    if (e.What == Event::Cut) {
        file.resize(static_cast<std::size_t>(e.Offset), 0);
        return;
    }
    const auto at = static_cast<std::size_t>(e.Offset);
    if (file.size() < at + keep) file.resize(at + keep, 0);
    std::copy(e.Data.begin(), e.Data.begin() + static_cast<std::ptrdiff_t>(keep), file.begin() + at);
}

// How the writes after a file's last sync fare.
enum class Model { Lost, Torn };

// A scripted run of commits, recorded, with the content after every step.
class RecordedRun {
public:
    // forced[i]: step i + 1 is forced (a COMMIT with flush for a transaction,
    // ForceBufferFlush for a single write).
    explicit RecordedRun(const std::vector<bool>& forced)
        : initial_(CrashInitialRecords(SEED, INITIAL)), script_(CrashScript(SEED, INITIAL, STEPS)),
          states_(CrashStates(initial_, script_)), forced_(forced) {
        fs::create_directories(Work());
        fs::create_directories(Image());
        {
            RecordDb db(Work(), lpPessimistic);
            EXPECT_TRUE(CreateRecordTable(*db.dir, TABLE, StressTable()));
            auto c = OpenRecordCursor(*db.dir, TABLE);
            for (const CrashOp& op : initial_) RunCrashOp(*c, op);
        }
        RecordDb db(Work(), lpPessimistic);
        auto c = OpenRecordCursor(*db.dir, TABLE);
        // What is on the disk when the run starts (a cut cannot take it back).
        for (const char* ext : kExts) baseline_[ext] = ReadBytes(Work() + "/" + TABLE + ext);
        Recorder recorder{fs::canonical(Work()).string(), {}};
        gRecorder = &recorder;
        platform::FileCalls().pwrite = RecordingPwrite;
        platform::FileCalls().ftruncate = RecordingFtruncate;
        platform::FileCalls().fsync = RecordingFsync;
        platform::FileCalls().fdatasync = RecordingFdatasync;
        returned_.push_back(0);
        try {
            for (std::size_t s = 0; s < script_.size(); ++s) {
                const CrashStep& step = script_[s];
                db.session.SetForceBufferFlush(forced_[s] && !step.Transaction);
                if (step.Transaction) db.dir->StartTransaction();
                for (const CrashOp& op : step.Ops) RunCrashOp(*c, op);
                if (step.Transaction) db.dir->Commit(true, forced_[s]);
                returned_.push_back(recorder.Events.size());
            }
        } catch (...) {
            platform::FileCalls() = platform::SystemFileCalls();
            gRecorder = nullptr;
            throw;
        }
        platform::FileCalls() = platform::SystemFileCalls();
        gRecorder = nullptr;
        events_ = std::move(recorder.Events);
        // The step each call belongs to, and the syncs a forced commit starts with.
        for (std::size_t s = 1; s < returned_.size(); ++s)
            for (std::size_t i = returned_[s - 1]; i < returned_[s]; ++i) stepOf_.push_back(s);
        for (std::size_t i = 0; i < events_.size();) {
            std::size_t end = i;
            while (end < events_.size() && events_[end].What == Event::Sync && events_[end].File != ".JNL") ++end;
            if (end > i + 1 && end < events_.size() && events_[end].File == ".JNL")
                for (std::size_t cut = i + 1; cut < end; ++cut) partlySynced_.push_back(cut);
            i = std::max(end, i + 1);
        }
    }

    // Whether a cut falls between the first syncs of a forced commit, with some of
    // the files synced and others not.
    bool PartlySynced(std::size_t cut) const {
        return std::find(partlySynced_.begin(), partlySynced_.end(), cut) != partlySynced_.end();
    }

    std::size_t Events() const { return events_.size(); }

    // The files a power cut after the first `cut` events leaves.
    std::map<std::string, Bytes> Image(std::size_t cut, Model model, std::mt19937& rng) const {
        std::map<std::string, Bytes> files = baseline_;
        for (const char* ext : kExts) {
            std::size_t synced = 0;  // events before the file's last sync
            for (std::size_t i = 0; i < cut; ++i)
                if (events_[i].What == Event::Sync && events_[i].File == ext) synced = i;
            Bytes& file = files[ext];
            for (std::size_t i = 0; i < cut; ++i) {
                const Event& e = events_[i];
                if (e.File != ext || e.What == Event::Sync) continue;
                if (i < synced) {
                    Apply(file, e, e.Data.size());
                    continue;
                }
                if (model == Model::Lost || !forced_[stepOf_[i] - 1]) continue;
                const uint32_t fate = rng() % 3;
                if (fate == 0) continue;
                const std::size_t keep =
                    fate == 1 || e.Data.size() < 2 ? e.Data.size() : 1 + rng() % (e.Data.size() - 1);
                Apply(file, e, keep);
            }
        }
        return files;
    }

    // Opens the image as the next program does; the content it finds.
    TableContent Open(const std::map<std::string, Bytes>& files) const {
        for (const auto& entry : fs::directory_iterator(Image())) fs::remove(entry.path());
        for (const auto& [ext, bytes] : files)
            std::ofstream(Image() + "/" + TABLE + ext, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        RecordDb db(Image(), lpPessimistic);
        auto c = OpenRecordCursor(*db.dir, TABLE);
        return CheckTable(*c);
    }

    // The steps whose content a cut after `cut` events may leave: from the last
    // step that returned (or, with `forcedOnly`, the last forced step that did) to
    // the one under way.
    std::pair<std::size_t, std::size_t> Allowed(std::size_t cut, bool forcedOnly) const {
        std::size_t last = 0;
        while (last + 1 < returned_.size() && returned_[last + 1] <= cut) ++last;
        std::size_t first = last;
        if (forcedOnly)
            while (first > 0 && !forced_[first - 1]) --first;
        return {first, std::min(last + 1, script_.size())};
    }

    const std::vector<CrashRows>& States() const { return states_; }

private:
    std::string Work() const { return tmp_.file("work"); }
    std::string Image() const { return tmp_.file("image"); }

    TempDir tmp_;
    std::vector<CrashOp> initial_;
    std::vector<CrashStep> script_;
    std::vector<CrashRows> states_;
    std::vector<bool> forced_;
    std::map<std::string, Bytes> baseline_;
    std::vector<Event> events_;
    std::vector<std::size_t> returned_;  // events when each step returned; [0] = 0
    std::vector<std::size_t> stepOf_;    // by event, 1-based
    std::vector<std::size_t> partlySynced_;
};

// Opens the image of every cut point and checks its content against the steps
// allowed; answers how many cuts lost a step that had returned.
int CheckCuts(const RecordedRun& run, Model model, int images, bool forcedOnly) {
    int lostReturned = 0;
    for (std::size_t cut = 0; cut <= run.Events(); ++cut) {
        if (run.PartlySynced(cut)) continue;
        std::mt19937 rng(static_cast<uint32_t>(cut * 7919 + 13));
        for (int image = 0; image < images; ++image) {
            SCOPED_TRACE("power cut after " + std::to_string(cut) + " of " + std::to_string(run.Events()) +
                         " calls, image " + std::to_string(image));
            TableContent content;
            try {
                content = run.Open(run.Image(cut, model, rng));
            } catch (const EKuraEngineError& e) {
                ADD_FAILURE() << e.what();
                return lostReturned;
            }
            const auto [first, last] = run.Allowed(cut, forcedOnly);
            std::size_t found = 0;
            while (found < run.States().size() && content.Rows != run.States()[found]) ++found;
            EXPECT_TRUE(found >= first && found <= last)
                << "content of step " << (found < run.States().size() ? std::to_string(found) : "none")
                << ", allowed " << first << " to " << last;
            if (found < run.Allowed(cut, false).first) ++lostReturned;
            if (::testing::Test::HasFailure()) return lostReturned;
        }
    }
    return lostReturned;
}

}  // namespace

TEST(PowerCut, EveryForcedCommitThatReturnedSurvives) {
    const RecordedRun run(std::vector<bool>(STEPS, true));
    ASSERT_GT(run.Events(), static_cast<std::size_t>(STEPS * 4));
    EXPECT_EQ(CheckCuts(run, Model::Lost, 1, false), 0);
    EXPECT_EQ(CheckCuts(run, Model::Torn, TORN_IMAGES, false), 0);
}

TEST(PowerCut, WithoutForcedCommitsTheTableIsWholeAtAnEarlierCommit) {
    // Forced commits now and then among commits that are not.
    std::vector<bool> forced(STEPS, false);
    for (int s = 3; s < STEPS; s += 4) forced[static_cast<std::size_t>(s)] = true;
    const RecordedRun run(forced);
    const int lost = CheckCuts(run, Model::Lost, 1, true) + CheckCuts(run, Model::Torn, TORN_IMAGES, true);
    std::cout << lost << " cuts lost a commit that had returned without a forced flush\n";
    // Without a sync a returned commit is lost to a cut: the model bites.
    EXPECT_GT(lost, 0);
}
