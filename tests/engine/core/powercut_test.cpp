// A power cut keeps only what was synced. The file layer's call table records
// every write, cut and sync of a scripted run of commits made by two programs (two
// sessions, each with its journal) in turn; at every point of the run the test
// builds the files a power cut there would leave (CutImages.h: writes lost, or torn
// where a forced commit made them) and opens them as the next program does.
// With forced flushes (ForceBufferFlush, or a COMMIT with flush) every commit that
// returned before the cut is there. Among commits that are not forced, the table
// is whole at some earlier commit, never older than the last forced one that
// returned. (While a forced commit syncs what earlier commits left unsynced, one
// file after another, before its journal, a cut leaves those earlier commits in
// part: they were never durable, and no journal covers them any more.)
//
// The playback of a journal is cut too: at every call of the playback that the cut
// of a forced commit leads to, then at every call of the next playback, and so on;
// the last playback leaves the table exactly as an uncut one does, at the state
// before the commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core/EngineLibrary.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/CutImages.h"
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

// A scripted run of commits by two programs, recorded, with the content after
// every step.
class RecordedRun {
public:
    // forced[i]: step i + 1 is forced (a COMMIT with flush for a transaction,
    // ForceBufferFlush for a single write); second[i]: the second program makes it.
    RecordedRun(const std::vector<bool>& forced, const std::vector<bool>& second)
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
        RecordDb first(Work(), lpPessimistic);
        RecordDb other(Work(), lpPessimistic);
        auto firstCursor = OpenRecordCursor(*first.dir, TABLE);
        auto otherCursor = OpenRecordCursor(*other.dir, TABLE);
        // What is on the disk when the run starts (a cut cannot take it back).
        baseline_ = ReadFolder(Work());
        CallRecorder recorder(Work());
        returned_.push_back(0);
        for (std::size_t s = 0; s < script_.size(); ++s) {
            const CrashStep& step = script_[s];
            RecordDb& db = second[s] ? other : first;
            TDataCursor& c = second[s] ? *otherCursor : *firstCursor;
            db.session.SetForceBufferFlush(forced_[s] && !step.Transaction);
            if (step.Transaction) db.dir->StartTransaction();
            for (const CrashOp& op : step.Ops) RunCrashOp(c, op);
            if (step.Transaction) db.dir->Commit(true, forced_[s]);
            returned_.push_back(recorder.Count());
        }
        events_ = recorder.Events();
        // The step each call belongs to, and the syncs a forced commit starts with.
        for (std::size_t s = 1; s < returned_.size(); ++s)
            for (std::size_t i = returned_[s - 1]; i < returned_[s]; ++i) stepOf_.push_back(s);
        auto isJournal = [](const FileEvent& e) { return e.File == std::string(TABLE) + ".JNL"; };
        for (std::size_t i = 0; i < events_.size();) {
            std::size_t end = i;
            while (end < events_.size() && events_[end].What == FileEvent::Sync && !isJournal(events_[end])) ++end;
            if (end > i + 1 && end < events_.size() && isJournal(events_[end]))
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
    const std::vector<FileEvent>& EventList() const { return events_; }
    std::size_t StepOf(std::size_t event) const { return stepOf_[event]; }

    // The files a stop after the first `cut` events leaves; only forced commits'
    // writes are torn.
    FolderFiles Image(std::size_t cut, CutModel model, std::mt19937& rng) const {
        return CutImage(baseline_, events_, cut, model, rng, [&](std::size_t i) { return forced_[stepOf_[i] - 1]; });
    }

    // Opens the image as the next program does; the content it finds.
    TableContent Open(const FolderFiles& files) const {
        WriteFolder(Image(), files);
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
    const std::vector<CrashStep>& Script() const { return script_; }
    std::string Image() const { return tmp_.file("image"); }

private:
    std::string Work() const { return tmp_.file("work"); }

    TempDir tmp_;
    std::vector<CrashOp> initial_;
    std::vector<CrashStep> script_;
    std::vector<CrashRows> states_;
    std::vector<bool> forced_;
    FolderFiles baseline_;
    std::vector<FileEvent> events_;
    std::vector<std::size_t> returned_;  // events when each step returned; [0] = 0
    std::vector<std::size_t> stepOf_;    // by event, 1-based
    std::vector<std::size_t> partlySynced_;
};

// Opens the image of every cut point and checks its content against the steps
// allowed; answers how many cuts lost a step that had returned.
int CheckCuts(const RecordedRun& run, CutModel model, int images, bool forcedOnly) {
    const NoDiskSyncs noSyncs;
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

std::vector<bool> Alternating() {
    std::vector<bool> second(STEPS, false);
    for (std::size_t s = 1; s < second.size(); s += 2) second[s] = true;
    return second;
}

}  // namespace

TEST(PowerCut, EveryForcedCommitThatReturnedSurvives) {
    const RecordedRun run(std::vector<bool>(STEPS, true), Alternating());
    ASSERT_GT(run.Events(), static_cast<std::size_t>(STEPS * 4));
    EXPECT_EQ(CheckCuts(run, CutModel::Lost, 1, false), 0);
    EXPECT_EQ(CheckCuts(run, CutModel::Torn, TORN_IMAGES, false), 0);
}

// The forced commits are the first program's, the others the second's: a forced
// commit finds the files written since its own last sync by the other program,
// which it must sync before its journal can be trusted.
TEST(PowerCut, WithoutForcedCommitsTheTableIsWholeAtAnEarlierCommit) {
    // Forced commits now and then among commits that are not.
    std::vector<bool> forced(STEPS, false);
    std::vector<bool> second(STEPS, true);
    for (int s = 3; s < STEPS; s += 4) {
        forced[static_cast<std::size_t>(s)] = true;
        second[static_cast<std::size_t>(s)] = false;
    }
    const RecordedRun run(forced, second);
    const int lost = CheckCuts(run, CutModel::Lost, 1, true) + CheckCuts(run, CutModel::Torn, TORN_IMAGES, true);
    std::cout << lost << " cuts lost a commit that had returned without a forced flush\n";
    // Without a sync a returned commit is lost to a cut: the model bites.
    EXPECT_GT(lost, 0);
}

// A forced commit killed or cut by a power failure once its journal is on the
// disk and some of its writes in place: the playbacks of its journal are cut at
// every call, twice over, and the table always ends at the state before the commit
// (a single write and a transaction of several).
TEST(PowerCut, APlaybackCutAtAnyCallIsTakenUpByTheNext) {
    const RecordedRun run(std::vector<bool>(STEPS, true), std::vector<bool>(STEPS, false));
    const std::string jnl = std::string(TABLE) + ".JNL";
    int chains = 0;
    for (const bool transaction : {false, true}) {
        // The last in-place write of the first such step: the journal written and
        // synced, the files written, not yet synced.
        std::size_t cut = 0;
        for (std::size_t i = 0; i < run.Events(); ++i) {
            const std::size_t step = run.StepOf(i);
            if (run.Script()[step - 1].Transaction != transaction) continue;
            const FileEvent& e = run.EventList()[i];
            if (e.What == FileEvent::Write && e.File != jnl) cut = i + 1;
            if (cut != 0 && e.File == jnl && e.What == FileEvent::Write) break;
        }
        ASSERT_GT(cut, 0u);
        const std::size_t step = run.StepOf(cut - 1);
        SCOPED_TRACE("step " + std::to_string(step));
        std::mt19937 rng(5);
        // An uncut playback gives the reference, and the state before the step.
        const FolderFiles killed = run.Image(cut, CutModel::Kill, rng);
        WriteFolder(run.Image(), killed);
        ASSERT_EQ(RecoverTables(run.Image(), {TABLE}), 0);
        const FolderFiles reference = TableFilesOf(ReadFolder(run.Image()));
        EXPECT_EQ(run.Open(ReadFolder(run.Image())).Rows, run.States()[step - 1]);
        // Killed there (a single write), or the power cut there (a transaction).
        std::set<uint64_t> seen;
        chains += CutPlaybacks(run.Image(), {TABLE}, run.Image(cut, transaction ? CutModel::Lost : CutModel::Kill, rng),
                               reference, 2, seen);
        if (::testing::Test::HasFailure()) break;
    }
    std::cout << chains << " playbacks of cut playbacks\n";
}
