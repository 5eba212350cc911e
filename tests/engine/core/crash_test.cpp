// A writer killed inside its flush leaves a table that the next program finds
// exactly as it was before or after the interrupted write, and whole.
//
// The writer is the test child's "crash-writer" (tests/helpers/child_crash.cpp): it
// carries out a fixed script of writes and transactions, and the file layer's fault
// seam stops it at a chosen write call. A first run counts the write calls of
// every step; then the writer is killed at a few hundred of them, spread over the
// whole script, each time on a fresh copy of the table. After each kill another
// program (this one) opens the table, which must hold the content before or after
// the step the kill fell into, with record count = live slots = every index's
// key count and every BLOB loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "platform/FileCalls.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/TableCheck.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { InitEngineLibrary(); }
    void TearDown() override { DoneEngineLibrary(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

constexpr uint32_t SEED = 2026;
constexpr int INITIAL = 12;
constexpr int STEPS = 24;
const char* const TABLE = "CRASH";

// A table with the initial records in <root>/pristine, and a work folder that
// each run starts from a fresh copy of it.
class CrashTable {
public:
    CrashTable()
        : initial_(CrashInitialRecords(SEED, INITIAL)), script_(CrashScript(SEED, INITIAL, STEPS)),
          states_(CrashStates(initial_, script_)) {
        fs::create_directories(Pristine());
        fs::create_directories(Work());
        RecordDb db(Pristine(), lpPessimistic);
        EXPECT_TRUE(CreateRecordTable(*db.dir, TABLE, StressTable()));
        auto c = OpenRecordCursor(*db.dir, TABLE);
        for (const CrashOp& op : initial_) RunCrashOp(*c, op);
    }

    std::string Pristine() const { return tmp_.file("pristine"); }
    std::string Work() const { return tmp_.file("work"); }
    const std::vector<CrashRows>& States() const { return states_; }

    void Restore() const {
        for (const char* ext : {".DAT", ".IDX", ".BLB"})
            fs::copy_file(Pristine() + "/" + TABLE + ext, Work() + "/" + TABLE + ext,
                          fs::copy_options::overwrite_existing);
        fs::remove(Work() + "/" + TABLE + ".JNL");
    }

    std::vector<std::string> WriterArgs(uint64_t at, const std::string& action, bool force) const {
        return {"crash-writer", Work(), TABLE, std::to_string(SEED), std::to_string(INITIAL), std::to_string(STEPS),
                std::to_string(at), action, force ? "1" : "0"};
    }

    // Write calls at the end of each step; [0] = 0, before the first.
    std::vector<uint64_t> Calibrate(bool force) const {
        Restore();
        ChildProcess writer(WriterArgs(0, "stop", force));
        std::vector<uint64_t> ends{0};
        for (std::string line = writer.readLine(60000); !line.empty() && line != "done";
             line = writer.readLine(60000)) {
            unsigned step = 0;
            unsigned long long calls = 0;
            if (std::sscanf(line.c_str(), "step %u %llu", &step, &calls) != 2) {
                ADD_FAILURE() << "writer: " << line;
                break;
            }
            ends.push_back(calls);
        }
        EXPECT_EQ(writer.wait(), 0);
        EXPECT_EQ(ends.size(), static_cast<std::size_t>(STEPS + 1));
        return ends;
    }

    // Whether the journal beside the table holds a valid header's magic.
    bool JournalWritten() const {
        std::ifstream in(Work() + "/" + TABLE + ".JNL", std::ios::binary);
        char magic[8] = {};
        in.read(magic, sizeof magic);
        return in.gcount() == 8 && std::string(magic, 8) == "KURA-JNL";
    }

    // Opens the table as a later program does and checks all of it.
    TableContent OpenAndCheck() const {
        RecordDb db(Work(), lpPessimistic);
        auto c = OpenRecordCursor(*db.dir, TABLE);
        return CheckTable(*c);
    }

private:
    TempDir tmp_;
    std::vector<CrashOp> initial_;
    std::vector<CrashStep> script_;
    std::vector<CrashRows> states_;
};

// The step a write call falls into (1-based).
std::size_t StepOf(const std::vector<uint64_t>& ends, uint64_t call) {
    for (std::size_t s = 1; s < ends.size(); ++s)
        if (call <= ends[s]) return s;
    return ends.size();
}

// Up to budget write calls spread evenly over 1..total.
std::vector<uint64_t> KillPoints(uint64_t total, uint64_t budget) {
    std::vector<uint64_t> points;
    if (total <= budget) {
        for (uint64_t k = 1; k <= total; ++k) points.push_back(k);
        return points;
    }
    for (uint64_t i = 0; i < budget; ++i) points.push_back(1 + i * (total - 1) / (budget - 1));
    return points;
}

void KillAndReopen(bool force, const std::string& action, uint64_t budget) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(force);
    ASSERT_EQ(ends.size(), static_cast<std::size_t>(STEPS + 1));
    const std::vector<uint64_t> points = KillPoints(ends.back(), budget);
    int before = 0, after = 0, journalled = 0;
    for (const uint64_t k : points) {
        t.Restore();
        {
            ChildProcess writer(t.WriterArgs(k, action, force));
            while (!writer.readLine(60000).empty()) {
            }
            ASSERT_EQ(writer.wait(), 128 + SIGKILL) << "write call " << k;
        }
        journalled += t.JournalWritten() ? 1 : 0;
        const std::size_t step = StepOf(ends, k);
        ASSERT_LT(step, ends.size());
        const TableContent content = t.OpenAndCheck();
        const bool isBefore = content.Rows == t.States()[step - 1];
        const bool isAfter = content.Rows == t.States()[step];
        EXPECT_TRUE(isBefore || isAfter) << "killed at write call " << k << " of " << ends.back() << ", step " << step
                                         << ": " << content.Rows.size() << " records";
        before += isBefore ? 1 : 0;
        after += isAfter ? 1 : 0;
        EXPECT_FALSE(t.JournalWritten()) << "journal left after the reopen, write call " << k;
        if (::testing::Test::HasFailure()) break;
    }
    std::cout << points.size() << " kills over " << ends.back() << " write calls: " << before << " before, " << after
              << " after, " << journalled << " with a journal to roll back\n";
    // Most kills left a journal to roll back. (A kill at the first write call of a
    // step finds the step before it complete, which counts as "before" the step.)
    EXPECT_GT(before, 0);
    EXPECT_GT(journalled * 2, static_cast<int>(points.size()));
}

// The journal a killed writer left, read by its layout: header fields and
// checksums, then one entry per file with the file's old length.
// Answers the change counter each journalled file's header gets from the flush.
void ExpectJournalLayout(const CrashTable& t, std::map<int, uint32_t>& newCounters) {
    using namespace dfbytes;
    std::ifstream in(t.Work() + "/" + TABLE + ".JNL", std::ios::binary);
    const std::vector<uint8_t> j((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(j.size(), 64u);
    EXPECT_EQ(std::string(j.begin(), j.begin() + 8), "KURA-JNL");
    EXPECT_EQ(GetU32(&j[8]), 1u);
    EXPECT_EQ(GetU32(&j[12]), 64u);
    const uint64_t length = GetU64(&j[16]);
    ASSERT_LE(64 + length, j.size());
    EXPECT_EQ(GetU32(&j[24]), JournalChecksum(&j[64], length));
    EXPECT_EQ(GetU32(&j[60]), JournalChecksum(j.data(), 60));
    const uint32_t entries = GetU32(&j[28]);
    EXPECT_GE(entries, 2u);
    EXPECT_LE(entries, 3u);
    std::size_t at = 64;
    int previous = -1;
    for (uint32_t e = 0; e < entries && at + 28 <= 64 + length; ++e) {
        const int file = j[at];
        EXPECT_GT(file, previous);
        previous = file;
        const char* ext = file == 0 ? ".DAT" : file == 1 ? ".IDX" : ".BLB";
        EXPECT_EQ(GetU64(&j[at + 4]), fs::file_size(t.Pristine() + "/" + TABLE + ext)) << ext;
        EXPECT_EQ(GetU32(&j[at + 12]), 0u);  // the change counter leads every header
        newCounters[file] = GetU32(&j[at + 20]);
        const uint32_t ranges = GetU32(&j[at + 24]);
        at += 28;
        for (uint32_t r = 0; r < ranges && at + 12 <= 64 + length; ++r) at += 12 + GetU32(&j[at + 8]);
    }
    EXPECT_EQ(at, 64 + length);
}

bool IsStopped(pid_t pid) { return TaskState(pid) == 'T'; }

// Starts a writer that stops inside the in-place writes of the first step,
// holding its locks and with its journal written.
std::unique_ptr<ChildProcess> WriterStoppedInItsFlush(const CrashTable& t, const std::vector<uint64_t>& ends) {
    auto writer = std::make_unique<ChildProcess>(t.WriterArgs(ends[1] - 1, "pause", false));
    for (int i = 0; i < 15000 && !IsStopped(writer->pid()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(IsStopped(writer->pid()));
    EXPECT_TRUE(t.JournalWritten());
    return writer;
}

}  // namespace

TEST(Crash, KilledWritersLeaveTheStateBeforeOrAfter) { KillAndReopen(false, "stop", 160); }

TEST(Crash, KilledWritersWithForcedFlushLeaveTheStateBeforeOrAfter) { KillAndReopen(true, "stop", 60); }

TEST(Crash, TornWritesLeaveTheStateBeforeOrAfter) { KillAndReopen(false, "tear", 50); }

TEST(Crash, AWaitingReaderRollsBackAKilledWriter) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 2u);
    ASSERT_GT(ends[1], 3u);
    t.Restore();
    ChildProcess reader({"crash-reader", t.Work(), TABLE});
    ASSERT_EQ(reader.readLine(), "ready");
    auto writer = WriterStoppedInItsFlush(t, ends);
    reader.send("go");
    ASSERT_EQ(reader.readLine(60000), "waiting");
    writer->kill(SIGKILL);
    EXPECT_EQ(writer->wait(), 128 + SIGKILL);
    CrashRows rows;
    std::string line;
    for (line = reader.readLine(60000); line.rfind("row ", 0) == 0; line = reader.readLine(60000)) {
        const auto space = line.find(' ', 4);
        rows[std::stoi(line.substr(4, space - 4))] = line.substr(space + 1);
    }
    EXPECT_EQ(line, "count " + std::to_string(t.States()[0].size()));
    EXPECT_EQ(rows, t.States()[0]);
    EXPECT_EQ(reader.wait(), 0);
    EXPECT_FALSE(t.JournalWritten());
    EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[0]);
}

TEST(Crash, AWaitingWriterRollsBackAKilledWriter) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 2u);
    t.Restore();
    ChildProcess appender({"crash-appender", t.Work(), TABLE, "999"});
    ASSERT_EQ(appender.readLine(), "ready");
    auto writer = WriterStoppedInItsFlush(t, ends);
    appender.send("go");
    ASSERT_EQ(appender.readLine(60000), "waiting");
    writer->kill(SIGKILL);
    EXPECT_EQ(writer->wait(), 128 + SIGKILL);
    EXPECT_EQ(appender.readLine(60000), "ok");
    EXPECT_EQ(appender.wait(), 0);
    EXPECT_FALSE(t.JournalWritten());
    const TableContent content = t.OpenAndCheck();
    CrashRows expected = t.States()[0];
    expected[999] = "late999|" + NoteOf(Checksum(std::vector<uint8_t>{}), Checksum(std::string()));
    EXPECT_EQ(content.Rows, expected);
}

TEST(Crash, ALaterOpenerRollsBackAKilledWriter) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 2u);
    t.Restore();
    {
        ChildProcess writer(t.WriterArgs(ends[1] - 1, "stop", false));
        EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    }
    EXPECT_TRUE(t.JournalWritten());
    std::map<int, uint32_t> counters;
    ExpectJournalLayout(t, counters);
    EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[0]);
    EXPECT_FALSE(t.JournalWritten());
    // The rolled-back headers carry counters past the one the dead writer wrote, so
    // that every program that cached anything drops it.
    for (const auto& [file, counter] : counters) {
        std::ifstream in(t.Work() + "/" + TABLE + (file == 0 ? ".DAT" : file == 1 ? ".IDX" : ".BLB"),
                         std::ios::binary);
        uint8_t raw[4] = {};
        in.read(reinterpret_cast<char*>(raw), 4);
        EXPECT_EQ(dfbytes::GetU32(raw), counter + 1) << "file " << file;
    }
}

// A write call that fails inside a flush (disk full, an I/O error), at every call
// of the flush in turn: a flush outside a transaction with and without a forced
// flush, and a commit. Either the flush fails and the files are as they were
// before it, or it completes; never a journal left for the next program to undo a
// flush reported done. A failed commit has lost the transaction's writes with the
// caches, so a second commit fails as well rather than report writes that are
// gone; after the rollback the next write goes through.
TEST(Crash, AFailedWriteInsideAFlushIsRolledBackAtOnce) {
    enum Mode { Plain, Forced, Commit };
    for (const Mode mode : {Plain, Forced, Commit}) {
        SCOPED_TRACE(mode == Plain ? "flush" : mode == Forced ? "ForceBufferFlush" : "commit");
        CrashTable t;
        CrashRows after = t.States()[0];
        after[500] = "full|" + NoteOf(Checksum(std::vector<uint8_t>(3000, 7)), Checksum(std::string("disk full")));
        int failed = 0;
        for (uint64_t at = 1;; ++at) {
            SCOPED_TRACE(at);
            t.Restore();
            TEngineErrorCode code = 0;
            uint64_t calls = 0;
            {
                RecordDb db(t.Work(), lpPessimistic);
                db.session.SetForceBufferFlush(mode == Forced);
                auto c = OpenRecordCursor(*db.dir, TABLE);
                if (mode == Commit) db.dir->StartTransaction();
                auto append = [&] { AppendStressRecord(*c, 500, "full", "disk full", std::vector<uint8_t>(3000, 7)); };
                if (mode == Commit) append();
                platform::ArmFileFault({at, platform::FileFaultAction::Fail, EIO});
                try {
                    mode == Commit ? db.dir->Commit(true, false) : append();
                } catch (const EKuraEngineError& e) {
                    code = e.ErrorCode();
                }
                calls = platform::FileWriteCalls();
                platform::ArmFileFault({});
                if (code != 0 && mode == Commit) {
                    EXPECT_TRUE(db.dir->InTransaction());
                    TEngineErrorCode again = 0;
                    try {
                        db.dir->Commit(true, false);
                    } catch (const EKuraEngineError& e) {
                        again = e.ErrorCode();
                    }
                    EXPECT_EQ(again, code);
                    db.dir->Rollback();
                }
                // The program that saw the failure carries on.
                if (code != 0) AppendStressRecord(*c, 501, "next", "", {});
            }
            EXPECT_FALSE(t.JournalWritten());
            const CrashRows rows = t.OpenAndCheck().Rows;
            if (code != 0) {
                EXPECT_EQ(code, KURA_WRITEERR);
                CrashRows expected = t.States()[0];
                expected[501] = "next|" + NoteOf(Checksum(std::vector<uint8_t>{}), Checksum(std::string()));
                EXPECT_EQ(rows, expected);
                ++failed;
            } else {
                EXPECT_EQ(rows, after);
            }
            if (calls < at || ::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(failed, 2);
    }
}

// A writer killed half-way through writing its journal has changed nothing in
// place: the torn journal is recognised by its length and checksum and ignored.
TEST(Crash, ATornJournalIsIgnored) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 2u);
    t.Restore();
    {
        // The first write call of the first step is its journal.
        ChildProcess writer(t.WriterArgs(ends[0] + 1, "tear", false));
        EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    }
    EXPECT_TRUE(t.JournalWritten());
    EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[0]);
    EXPECT_FALSE(t.JournalWritten());
}

// ---------------------------------------------------------------------------
// The order of the system calls of one flush, seen through the file layer's call
// table: the journal, its sync (with ForceBufferFlush), the writes in place, the
// files' syncs, and only then the journal's invalidation.

namespace {

struct CallEvent {
    std::string Call;
    std::string File;  // the extension of the file, upper case
};
std::vector<CallEvent>* gEvents = nullptr;

std::string ExtensionOf(int fd) {
    char link[4096] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    const std::string path = n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(dot);
}

void Record(const char* call, int fd) {
    if (gEvents) gEvents->push_back({call, ExtensionOf(fd)});
}

ssize_t RecordingPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    Record("write", fd);
    return platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
}
int RecordingFsync(int fd) {
    Record("sync", fd);
    return platform::SystemFileCalls().fsync(fd);
}
int RecordingFdatasync(int fd) {
    Record("sync", fd);
    return platform::SystemFileCalls().fdatasync(fd);
}

std::vector<CallEvent> CallsOfOneAppend(bool force) {
    CrashTable t;
    t.Restore();
    RecordDb db(t.Work(), lpPessimistic);
    db.session.SetForceBufferFlush(force);
    auto c = OpenRecordCursor(*db.dir, TABLE);
    std::vector<CallEvent> events;
    gEvents = &events;
    platform::FileCalls().pwrite = RecordingPwrite;
    platform::FileCalls().fsync = RecordingFsync;
    platform::FileCalls().fdatasync = RecordingFdatasync;
    try {
        AppendStressRecord(*c, 700, "ordered", "calls in order", std::vector<uint8_t>(2000, 3));
    } catch (...) {
        platform::FileCalls() = platform::SystemFileCalls();
        gEvents = nullptr;
        throw;
    }
    platform::FileCalls() = platform::SystemFileCalls();
    gEvents = nullptr;
    return events;
}

}  // namespace

TEST(Crash, AForcedFlushSyncsTheJournalFirstAndTheFilesBeforeItsEnd) {
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "ForceBufferFlush" : "no forced flush");
        const std::vector<CallEvent> events = CallsOfOneAppend(force);
        ASSERT_GE(events.size(), 4u);
        // One journal write first, one invalidation last.
        EXPECT_EQ(events.front().Call, "write");
        EXPECT_EQ(events.front().File, ".JNL");
        EXPECT_EQ(events.back().Call, "write");
        EXPECT_EQ(events.back().File, ".JNL");
        std::size_t i = 1;
        if (force) {
            EXPECT_EQ(events[i].Call, "sync");
            EXPECT_EQ(events[i].File, ".JNL");
            ++i;
        }
        std::set<std::string> written, synced;
        for (; i + 1 < events.size(); ++i) {
            EXPECT_NE(events[i].File, ".JNL") << "journal touched in the middle at call " << i;
            if (events[i].Call == "write") {
                EXPECT_EQ(synced.count(events[i].File), 0u) << "written after its sync at call " << i;
                written.insert(events[i].File);
            } else {
                synced.insert(events[i].File);
            }
        }
        EXPECT_EQ(written, (std::set<std::string>{".DAT", ".IDX", ".BLB"}));
        EXPECT_EQ(synced, force ? written : std::set<std::string>{});
    }
}

// An exclusive table keeps its modified items between operations. When its small
// caches fill, writing one file's items alone would leave the others behind; a
// writer killed at any write call must still leave a table whose parts agree.
TEST(Crash, AnExclusiveTableUnderCachePressureStaysWhole) {
    CrashTable t;
    t.Restore();
    std::vector<std::string> args = t.WriterArgs(0, "stop", false);
    args.push_back("exclusive");
    uint64_t total = 0;
    {
        ChildProcess writer(args);
        for (std::string line = writer.readLine(60000); !line.empty() && line != "done"; line = writer.readLine(60000)) {
            unsigned step = 0;
            unsigned long long calls = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "step %u %llu", &step, &calls), 2) << line;
            total = calls;
        }
        ASSERT_EQ(writer.wait(), 0);
    }
    EXPECT_EQ(t.OpenAndCheck().Rows, t.States().back());
    ASSERT_GT(total, 20u) << "the caches never filled";
    int journalled = 0;
    for (const uint64_t k : KillPoints(total, 60)) {
        SCOPED_TRACE(k);
        t.Restore();
        args = t.WriterArgs(k, "stop", false);
        args.push_back("exclusive");
        {
            ChildProcess writer(args);
            while (!writer.readLine(60000).empty()) {
            }
            ASSERT_EQ(writer.wait(), 128 + SIGKILL);
        }
        journalled += t.JournalWritten() ? 1 : 0;
        t.OpenAndCheck();
        EXPECT_FALSE(t.JournalWritten());
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(journalled, 0);
}

// A journal that a power cut could make vanish would roll nothing back: its folder
// entry is synced when it is created, and only then.
TEST(Crash, ANewJournalsFolderEntryIsSyncedOnce) {
    TempDir tmp;
    std::vector<CallEvent> events;
    gEvents = &events;
    platform::FileCalls().fsync = RecordingFsync;
    auto folderSyncs = [&] {
        return std::count_if(events.begin(), events.end(), [&](const CallEvent& e) {
            return e.Call == "sync" && fs::is_directory(e.File) && fs::equivalent(e.File, tmp.path());
        });
    };
    try {
        RecordDb db(tmp.path(), lpPessimistic);
        ASSERT_TRUE(CreateRecordTable(*db.dir, "SYNCED", StressTable()));
        {
            auto c = OpenRecordCursor(*db.dir, "SYNCED");
            AppendStressRecord(*c, 1, "one", "words", {});
        }
        EXPECT_TRUE(fs::exists(tmp.file("SYNCED.JNL")));
        EXPECT_EQ(folderSyncs(), 1);
        {
            auto c = OpenRecordCursor(*db.dir, "SYNCED");
            AppendStressRecord(*c, 2, "two", "words", {});
        }
        EXPECT_EQ(folderSyncs(), 1);
    } catch (...) {
        platform::FileCalls() = platform::SystemFileCalls();
        gEvents = nullptr;
        throw;
    }
    platform::FileCalls() = platform::SystemFileCalls();
    gEvents = nullptr;
}

// The journal goes with its table: deleted with it, and a rename leaves no journal
// under either name that a later table could take for its own.
TEST(Crash, TheJournalGoesWithItsTable) {
    TempDir tmp;
    RecordDb db(tmp.path(), lpPessimistic);
    ASSERT_TRUE(CreateRecordTable(*db.dir, "GOING", StressTable()));
    {
        auto c = OpenRecordCursor(*db.dir, "GOING");
        AppendStressRecord(*c, 1, "one", "words", {});
    }
    EXPECT_TRUE(fs::exists(tmp.file("GOING.JNL")));
    // A stale journal under the new name, as a table lost long ago might leave.
    std::ofstream(tmp.file("MOVED.JNL")) << "KURA-JNL stale";
    EXPECT_EQ(db.dir->RenameTable("GOING", "MOVED", false, false), 0);
    EXPECT_FALSE(fs::exists(tmp.file("GOING.JNL")));
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.JNL")));
    {
        auto c = OpenRecordCursor(*db.dir, "MOVED");
        EXPECT_EQ(c->GetTable()->GetRecordCount(), 1u);
    }
    EXPECT_TRUE(fs::exists(tmp.file("MOVED.JNL")));
    EXPECT_EQ(db.dir->DeleteTable("MOVED", false), 0);
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.JNL")));
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.DAT")));
}

// A journal whose checksums hold but whose entries do not (a file that is none of
// the table's, bytes beyond a file's old length, a length no table file reaches)
// is not played back: the table opens as it is.
TEST(Crash, AJournalThatDoesNotHoldTogetherIsIgnored) {
    CrashTable t;
    struct Entry {
        uint8_t File;
        uint64_t OldLength;
        uint64_t Offset;
        uint32_t Length;
    };
    const uint64_t datLength = fs::file_size(t.Pristine() + "/" + TABLE + ".DAT");
    for (const Entry& bad : {Entry{7, datLength, 0, 4}, Entry{0, datLength, datLength - 2, 4},
                             Entry{0, uint64_t{1} << 40, 0, 4}}) {
        SCOPED_TRACE(static_cast<int>(bad.File));
        t.Restore();
        std::vector<uint8_t> j(64, 0);
        auto u32 = [&](uint32_t v) {
            for (int k = 0; k < 4; ++k) j.push_back(static_cast<uint8_t>(v >> (8 * k)));
        };
        auto u64 = [&](uint64_t v) {
            for (int k = 0; k < 8; ++k) j.push_back(static_cast<uint8_t>(v >> (8 * k)));
        };
        j.push_back(bad.File);
        j.insert(j.end(), 3, 0);
        u64(bad.OldLength);
        u32(0);
        u32(0);
        u32(1);
        u32(1);
        u64(bad.Offset);
        u32(bad.Length);
        j.insert(j.end(), bad.Length, 0xEE);
        std::memcpy(j.data(), "KURA-JNL", 8);
        dfbytes::PutU32(&j[8], 1);
        dfbytes::PutU32(&j[12], 64);
        dfbytes::PutU64(&j[16], j.size() - 64);
        dfbytes::PutU32(&j[24], JournalChecksum(&j[64], j.size() - 64));
        dfbytes::PutU32(&j[28], 1);
        dfbytes::PutU32(&j[60], JournalChecksum(j.data(), 60));
        std::ofstream(t.Work() + "/" + TABLE + ".JNL", std::ios::binary)
            .write(reinterpret_cast<const char*>(j.data()), static_cast<std::streamsize>(j.size()));
        EXPECT_TRUE(t.JournalWritten());
        EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[0]);
        EXPECT_FALSE(t.JournalWritten());
        EXPECT_EQ(fs::file_size(t.Work() + "/" + TABLE + ".DAT"), datLength);
    }
}
