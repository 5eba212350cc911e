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
#include <future>
#include <condition_variable>
#include <mutex>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <ranges>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/core/EngineLibrary.h"
#include "engine/core/TableRename.h"
#include "engine/core/TableSwap.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/FileHandler.h"
#include "engine/files/Journal.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/CutImages.h"
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
// checksums, then one entry per open file with the file's old length and its
// leading bytes before the flush (the pristine file's) and after it.
// Answers the change counter each journalled file's header gets from the flush.
void ExpectJournalLayout(const CrashTable& t, std::map<int, uint32_t>& newCounters) {
    using namespace dfbytes;
    std::ifstream in(t.Work() + "/" + TABLE + ".JNL", std::ios::binary);
    const std::vector<uint8_t> j((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(j.size(), 64u);
    EXPECT_EQ(std::string(j.begin(), j.begin() + 8), "KURA-JNL");
    EXPECT_EQ(GetU32(&j[8]), 2u);
    EXPECT_EQ(GetU32(&j[12]), 64u);
    const uint64_t length = GetU64(&j[16]);
    ASSERT_LE(64 + length, j.size());
    EXPECT_EQ(GetU32(&j[24]), JournalChecksum(&j[64], length));
    EXPECT_EQ(GetU32(&j[60]), JournalChecksum(j.data(), 60));
    EXPECT_EQ(GetU32(&j[28]), 3u);
    std::size_t at = 64;
    int written = 0;
    for (int file = 0; file < 3 && at + 46 <= 64 + length; ++file) {
        EXPECT_EQ(j[at], file);
        const char* ext = file == 0 ? ".DAT" : file == 1 ? ".IDX" : ".BLB";
        std::ifstream in(t.Pristine() + "/" + TABLE + ext, std::ios::binary);
        const std::vector<uint8_t> pristine((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const uint64_t oldLength = GetU64(&j[at + 4]);
        EXPECT_EQ(oldLength, pristine.size()) << ext;
        EXPECT_EQ(GetU32(&j[at + 12]), 0u);  // the change counter leads every header
        const uint32_t ranges = GetU32(&j[at + 24]);
        const uint64_t newLength = GetU64(&j[at + 28]);
        EXPECT_LE(GetU64(&j[at + 36]), std::min(oldLength, newLength)) << ext;
        const uint16_t image = GetU16(&j[at + 44]);
        EXPECT_GE(image, 4) << ext;
        EXPECT_LE(image, 128) << ext;
        if (j[at + 1] == 1) {
            ++written;
            newCounters[file] = GetU32(&j[at + 20]);
        } else {
            EXPECT_EQ(j[at + 1], 0) << ext;
            EXPECT_EQ(ranges, 0u) << ext;
            EXPECT_EQ(newLength, oldLength) << ext;
        }
        at += 46;
        EXPECT_TRUE(at + 2u * image <= j.size() &&
                    std::equal(j.begin() + static_cast<std::ptrdiff_t>(at),
                               j.begin() + static_cast<std::ptrdiff_t>(at + image), pristine.begin()))
            << ext << ": the image before is not the file's first bytes";
        at += 2u * image;
        for (uint32_t r = 0; r < ranges && at + 12 <= 64 + length; ++r) at += 12 + GetU32(&j[at + 8]);
    }
    EXPECT_GE(written, 2);
    EXPECT_EQ(at, 64 + length);
}

bool IsStopped(pid_t pid) { return TaskState(pid) == 'T'; }

// Watches a process for a wait in one of the engine's retry loops (a timed pause
// of the kernel between attempts at a lock): its current system call, where the
// system shows it, is the pause at 20 looks in a row; else it has paused 30 times
// since the first look.
class RetryWatch {
public:
    explicit RetryWatch(pid_t pid) : pid_(pid) {}
    bool Waits() {
        std::ifstream call("/proc/" + std::to_string(pid_) + "/syscall");
        long number = -1;
        if (call >> number) {
            streak_ = number == SYS_clock_nanosleep || number == SYS_nanosleep ? streak_ + 1 : 0;
            return streak_ >= 20;
        }
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        long switches = -1;
        for (std::string word; status >> word;)
            if (word == "voluntary_ctxt_switches:" && status >> switches) break;
        if (switches < 0) return false;
        if (first_ < 0) first_ = switches;
        return switches - first_ >= 30;
    }

private:
    pid_t pid_;
    int streak_ = 0;
    long first_ = -1;
};

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
// flush, and a commit with and without flush. Either the flush fails and the files
// are as they were before it, or it completes; never a journal left for the next
// program to undo a flush reported done. A failed commit has lost the transaction's writes with the
// caches, so a second commit fails as well rather than report writes that are
// gone; after the rollback the next write goes through.
TEST(Crash, AFailedWriteInsideAFlushIsRolledBackAtOnce) {
    enum Mode { Plain, Forced, Commit, ForcedCommit };
    for (const Mode mode : {Plain, Forced, Commit, ForcedCommit}) {
        const bool commit = mode == Commit || mode == ForcedCommit;
        const char* const names[] = {"flush", "ForceBufferFlush", "commit", "commit with flush"};
        SCOPED_TRACE(names[mode]);
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
                if (commit) db.dir->StartTransaction();
                auto append = [&] { AppendStressRecord(*c, 500, "full", "disk full", std::vector<uint8_t>(3000, 7)); };
                if (commit) append();
                const FaultedCall faulted = CallFailingAt(at, EIO, [&] { commit ? db.dir->Commit(true, mode == ForcedCommit) : append(); });
                code = faulted.Code;
                calls = faulted.Calls;
                if (code != 0 && commit) {
                    EXPECT_TRUE(db.dir->InTransaction());
                    TEngineErrorCode again = 0;
                    try {
                        db.dir->Commit(true, mode == ForcedCommit);
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

// The calls of one append, after a first append with or without a forced flush.
std::vector<CallEvent> CallsOfOneAppend(bool forceBefore, bool force) {
    CrashTable t;
    t.Restore();
    RecordDb db(t.Work(), lpPessimistic);
    auto c = OpenRecordCursor(*db.dir, TABLE);
    db.session.SetForceBufferFlush(forceBefore);
    AppendStressRecord(*c, 699, "before", "the first flush", std::vector<uint8_t>(900, 4));
    db.session.SetForceBufferFlush(force);
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

// A forced flush: the files first synced when an earlier flush left writes in them
// unsynced, then the journal written and synced, the files written and each synced
// after its writes, and the journal invalidated and synced; a flush that is not
// forced syncs nothing.
TEST(Crash, AForcedFlushSyncsTheJournalFirstAndTheFilesBeforeItsEnd) {
    const std::set<std::string> tableFiles{".DAT", ".IDX", ".BLB"};
    for (const auto& [forceBefore, force] :
         {std::pair{false, false}, std::pair{true, true}, std::pair{false, true}, std::pair{true, false}}) {
        SCOPED_TRACE(std::string(forceBefore ? "forced" : "plain") + " then " + (force ? "forced" : "plain"));
        const std::vector<CallEvent> events = CallsOfOneAppend(forceBefore, force);
        ASSERT_GE(events.size(), 4u);
        std::size_t i = 0;
        if (force && !forceBefore) {
            std::set<std::string> first;
            for (; i < events.size() && events[i].Call == "sync" && events[i].File != ".JNL"; ++i)
                first.insert(events[i].File);
            EXPECT_EQ(first, tableFiles) << "the unsynced writes of the plain flush";
        }
        // One journal write first, one invalidation last.
        ASSERT_LT(i + 2, events.size());
        EXPECT_EQ(events[i].Call, "write");
        EXPECT_EQ(events[i].File, ".JNL");
        ++i;
        std::size_t end = events.size() - 1;
        if (force) {
            EXPECT_EQ(events[i].Call, "sync");
            EXPECT_EQ(events[i].File, ".JNL");
            ++i;
            EXPECT_EQ(events[end].Call, "sync");
            EXPECT_EQ(events[end].File, ".JNL");
            --end;
        }
        EXPECT_EQ(events[end].Call, "write");
        EXPECT_EQ(events[end].File, ".JNL");
        std::set<std::string> written, synced;
        for (; i < end; ++i) {
            EXPECT_NE(events[i].File, ".JNL") << "journal touched in the middle at call " << i;
            if (events[i].Call == "write") {
                EXPECT_EQ(synced.count(events[i].File), 0u) << "written after its sync at call " << i;
                written.insert(events[i].File);
            } else {
                synced.insert(events[i].File);
            }
        }
        EXPECT_EQ(written, tableFiles);
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

namespace {

// A journal with a whole header and nothing to play back: what a recovery reads,
// unlike a journal that holds nothing.
Bytes EmptyValidJournal() {
    Bytes j(64, 0);
    std::memcpy(j.data(), "KURA-JNL", 8);
    dfbytes::PutU32(&j[8], 2);
    dfbytes::PutU32(&j[12], 64);
    dfbytes::PutU32(&j[24], JournalChecksum(j.data() + 64, 0));
    dfbytes::PutU32(&j[60], JournalChecksum(j.data(), 60));
    return j;
}

}  // namespace

// The journal goes with its table: deleted with it (and the copies set aside), and
// a rename leaves no journal under either name that a later table could take for
// its own, and takes the copies and the record of settled commits along.
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
    for (const char* left : {"GOING.JNS", "GOING.JNL.2"}) std::ofstream(tmp.file(left)) << "left";
    // Whatever of another table stands at a name the table's files would take (or
    // a journal there that holds anything a recovery could read): the rename is
    // refused, naming it, and no file changes. The table's own record goes nowhere
    // its absence would let it take over another's.
    const std::tuple<const char*, bool, bool> obstacles[] = {  // the name, a link, the table's own record there
        {"MOVED.JNS", false, true}, {"MOVED.JNS", false, false}, {"MOVED.JNS", true, true}, {"MOVED.JNL.3", false, true},
        {"MOVED.JNL.999", false, false}, {"MOVED.DAT", false, true}, {"MOVED.IDX", false, true},
        {"MOVED.BLB", true, true}, {"MOVED.JNL", true, true}, {"MOVED.JNL", false, true}};
    for (const auto& [name, link, ownRecord] : obstacles) {
        SCOPED_TRACE(std::string(name) + (link ? ", a link" : "") + (ownRecord ? "" : ", no record of its own"));
        const std::string at = tmp.file(name), journal = tmp.file("MOVED.JNL");
        if (at == journal) fs::rename(journal, journal + ".kept");
        if (link) fs::create_symlink(tmp.file("nowhere"), at);
        else if (at == journal) WriteBytes(at, EmptyValidJournal());
        else std::ofstream(at) << "another's";
        if (!ownRecord) fs::rename(tmp.file("GOING.JNS"), tmp.file("GOING.JNS.kept"));
        const FolderFiles before = ReadFolder(tmp.path());
        const Raised r = RaisedBy([&] { db.dir->RenameTable("GOING", "MOVED", false, false); });
        EXPECT_EQ(r.code, KURA_TABLEEXISTS);
        EXPECT_EQ(r.table, at);
        EXPECT_EQ(ReadFolder(tmp.path()), before);
        fs::remove(at);
        if (at == journal) fs::rename(journal + ".kept", journal);
        if (!ownRecord) fs::rename(tmp.file("GOING.JNS.kept"), tmp.file("GOING.JNS"));
    }
    // A name whose table was never there; a new name in a folder that is not there
    // (the folder named, nothing changed).
    EXPECT_EQ(RaisedBy([&] { db.dir->RenameTable("NEVER", "MOVED", false, false); }).code, KURA_OSENOENT);
    const FolderFiles before = ReadFolder(tmp.path());
    const Raised away = RaisedBy([&] { db.dir->RenameTable("GOING", tmp.file("NOWHERE/MOVED"), false, false); });
    EXPECT_EQ(away.code, KURA_OSENOENT);
    EXPECT_EQ(away.table, tmp.file("NOWHERE/"));
    EXPECT_EQ(ReadFolder(tmp.path()), before);
    EXPECT_TRUE(fs::exists(tmp.file("GOING.DAT")));
    EXPECT_EQ(db.dir->RenameTable("GOING", "MOVED", false, false), 0);
    for (const char* left : {"GOING.JNS", "GOING.JNL.2"}) EXPECT_FALSE(fs::exists(tmp.file(left)));
    for (const char* left : {"MOVED.JNS", "MOVED.JNL.2"}) EXPECT_TRUE(fs::exists(tmp.file(left)));
    EXPECT_FALSE(fs::exists(tmp.file("GOING.JNL")));
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.JNL")));
    {
        auto c = OpenRecordCursor(*db.dir, "MOVED");
        EXPECT_EQ(c->GetTable()->GetRecordCount(), 1u);
    }
    EXPECT_TRUE(fs::exists(tmp.file("MOVED.JNL")));
    // Copies of journals set aside, also as many as earlier programs kept.
    for (const char* copy : {"MOVED.JNL.1", "MOVED.JNL.2", "MOVED.JNL.999"}) std::ofstream(tmp.file(copy)) << "copy";
    EXPECT_EQ(db.dir->DeleteTable("MOVED", false), 0);
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.JNL")));
    for (const char* copy : {"MOVED.JNL.1", "MOVED.JNL.2", "MOVED.JNL.999", "MOVED.JNS"})
        EXPECT_FALSE(fs::exists(tmp.file(copy)));
    EXPECT_FALSE(fs::exists(tmp.file("MOVED.DAT")));
}

// ---------------------------------------------------------------------------
// A rename through the engine stopped at any of its calls on the folder (each
// file moved, each marker written or deleted): a kill right before the call, or
// the call failing. The next open of either name, or the next rename, ends it or
// takes it back: the table opens whole under one of the names, with its record and
// journal copies, and the other name holds nothing (a failed open makes nothing).
// Also to another folder, named relative to the renaming program's working folder,
// the rename ended from another working folder (with a folder of that name too).

namespace {

struct RenameStops {
    std::string Folder;
    std::vector<FolderFiles>* Images = nullptr;  // the folder before each call, when kept
    int FailAt = 0;                  // the call that fails (0: none)
    std::vector<std::string> Moved;  // the name each move call moved ("" for other calls)
};
RenameStops* gStops = nullptr;

// A folder and the folders in it: each file by its path below the folder, each
// folder by its path and "/".
FolderFiles ReadTree(const std::string& folder) {
    FolderFiles files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).string();
        if (entry.is_directory() && !entry.is_symlink()) files[name + "/"] = {};
        else files[name] = ReadBytes(entry.path().string());
    }
    return files;
}

// Makes the folder hold exactly these files and folders.
void WriteTree(const std::string& folder, const FolderFiles& files) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
    for (const auto& [name, bytes] : files) {
        const fs::path path = folder + "/" + name;
        fs::create_directories(name.ends_with('/') ? path : path.parent_path());
        if (!name.ends_with('/')) WriteBytes(path.string(), bytes);
    }
}

// Whether the call on this path (or descriptor) counts, and whether it fails. A
// relative path is the working folder's.
bool StopAt(const std::string& given, bool move = false) {
    const std::string path = given.starts_with('/') ? given : fs::current_path().string() + "/" + given;
    if (!gStops || path.rfind(gStops->Folder + "/", 0) != 0) return false;
    if (gStops->Images) gStops->Images->push_back(ReadTree(gStops->Folder));
    gStops->Moved.push_back(move ? path.substr(gStops->Folder.size() + 1) : std::string());
    return static_cast<int>(gStops->Moved.size()) == gStops->FailAt;
}
std::string PathOf(int fd) {
    std::error_code ec;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}
int StoppingOpen(const char* path, int flags, mode_t mode) {
    return (flags & O_CREAT) && StopAt(path) ? (errno = EIO, -1) : platform::SystemFileCalls().open(path, flags, mode);
}
ssize_t StoppingPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return StopAt(PathOf(fd)) ? (errno = EIO, -1) : platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
}
int StoppingUnlink(const char* path) {
    return StopAt(path) ? (errno = EIO, -1) : platform::SystemFileCalls().unlink(path);
}
int StoppingRename(const char* from, const char* to) {
    return StopAt(from, true) ? (errno = EIO, -1) : platform::SystemFileCalls().renameNoReplace(from, to);
}

// The working folder of this process, put back at the end of the scope.
struct WorkingFolder {
    fs::path Saved = fs::current_path();
    ~WorkingFolder() { fs::current_path(Saved); }
};

// Where a rename sends the table: the new name as given, the folder it names, the
// working folders of the program that renames and of the one that ends it (all below
// the work folder), and the markers' texts once the rename stands ("@": the work folder).
struct RenameTarget {
    const char *Given, *Folder, *Renamer, *Finisher, *OldMarker, *NewMarker;
};

// The table T of work, with these rows and the folder as start holds it, renamed to the target.
void RenameStoppedAtAnyCall(const std::string& work, const CrashRows& rows, const FolderFiles& start,
                            const RenameTarget& target) {
    SCOPED_TRACE(std::string("renamed to ") + target.Given);
    auto in = [&](const char* below) { return *below ? work + "/" + below : work; };
    const std::string newFolder = in(target.Folder), finisher = in(target.Finisher);
    const std::string newKey = *target.Folder ? std::string(target.Folder) + "/T2" : "T2";
    auto stopped = [&](int failAt, std::vector<FolderFiles>* images) {
        WriteTree(work, start);
        RenameStops stops{work, images, failAt, {}};
        gStops = &stops;
        fs::current_path(in(target.Renamer));
        platform::FileCalls().open = StoppingOpen;
        platform::FileCalls().pwrite = StoppingPwrite;
        platform::FileCalls().unlink = StoppingUnlink;
        platform::FileCalls().renameNoReplace = StoppingRename;
        const TEngineErrorCode code =
            RaisedBy([&] { RecordDb(work, lpPessimistic).dir->RenameTable("T", target.Given, false, false); }).code;
        platform::FileCalls() = platform::SystemFileCalls();
        gStops = nullptr;
        fs::current_path(finisher);
        return std::make_pair(stops.Moved, code);
    };
    std::vector<FolderFiles> images;
    const std::vector<std::string> moved = stopped(0, &images).first;
    const int calls = static_cast<int>(moved.size());
    // The table's first move: a failure there or before it leaves the rename refused and nothing changed.
    const auto firstMove = std::find(moved.begin(), moved.end(), "T.DAT") - moved.begin() + 1;
    ASSERT_GT(calls, 8);
    images.push_back(ReadTree(work));  // and once it ended
    // The markers as the rename writes them, once it stands.
    const auto standing = std::find_if(images.begin(), images.end(), [](const FolderFiles& f) {
        return f.count("T.RNM") && f.count("T.DAT");
    });
    ASSERT_NE(standing, images.end());
    auto text = [&](std::string marker) {
        for (std::size_t at; (at = marker.find('@')) != std::string::npos;) marker.replace(at, 1, work);
        return Bytes(marker.begin(), marker.end());
    };
    EXPECT_EQ(standing->at("T.RNM"), text(target.OldMarker));
    EXPECT_EQ(standing->at(newKey + ".RNM"), text(target.NewMarker));
    // Which name the table opens under: the old one before the rename stood, the new
    // one after; "" when neither holds it whole. The names are opened in this order,
    // each from a database of its own folder, after a rename of T once more when asked.
    auto check = [&](std::vector<std::string> order, bool renameAgain) -> std::string {
        SCOPED_TRACE("opened first: " + order[0] + (renameAgain ? ", renamed again" : ""));
        std::string found;
        if (renameAgain) {
            RecordDb db(work, lpPessimistic);
            TDataCursor cursor(db.dir);
            cursor.SetTableName("T");
            const TEngineErrorCode again = RaisedBy([&] { cursor.RenameTable(newFolder + "/T2"); }).code;
            EXPECT_TRUE(again == 0 || again == KURA_OSENOENT) << again;
        }
        for (const std::string& name : order) {
            const FolderFiles before = ReadTree(work);
            RecordDb db(name == "T2" ? newFolder : work, lpPessimistic);
            std::unique_ptr<TDataCursor> c;
            const TEngineErrorCode open = RaisedBy([&] { c = OpenRecordCursor(*db.dir, name); }).code;
            if (open != 0) {
                EXPECT_EQ(open, KURA_OSENOENT) << name;
                const std::string key = name == "T2" ? newKey : name;
                for (const auto& [file, bytes] : ReadTree(work))  // nothing made under the name
                    EXPECT_FALSE(file.rfind(key + ".", 0) == 0 && !before.count(file)) << file << " made";
                continue;
            }
            EXPECT_TRUE(found.empty()) << "whole under both names";
            EXPECT_EQ(CheckTable(*c).Rows, rows);
            found = name;
        }
        // Nothing of the table left under the other name, nor a marker, nor anything
        // in another working folder.
        const std::string other = found == "T" ? newKey : "T";
        const FolderFiles after = ReadTree(work);
        for (const auto& [file, bytes] : after)
            EXPECT_FALSE(file.ends_with(".RNM") || file.ends_with(".RN$") || file.rfind(other + ".", 0) == 0 ||
                         (file.rfind("away/", 0) == 0 && !file.ends_with("/")))
                << file << " left behind";
        const std::string key = found == "T2" ? newKey : found;
        for (const char* left : {".JNS", ".JNL.2"}) EXPECT_TRUE(after.count(key + left)) << key << left;
        return found;
    };
    // Killed right before each call: once the rename stood, it stays done.
    bool stood = false;
    for (std::size_t at = 0; at < images.size(); ++at) {
        SCOPED_TRACE("killed before call " + std::to_string(at + 1) + " of " + std::to_string(calls));
        for (const bool renameAgain : {false, true})
            for (const std::string first : {"T", "T2"}) {
                WriteTree(work, images[at]);
                const std::string found = check({first, first == "T" ? "T2" : "T"}, renameAgain);
                if (renameAgain || first == "T2") {
                    EXPECT_EQ(found, renameAgain || stood ? "T2" : "T");
                    continue;
                }
                ASSERT_FALSE(found.empty());
                EXPECT_TRUE(!stood || found == "T2") << "taken back after it stood";
                stood = found == "T2";
            }
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_TRUE(stood);
    // A call that fails: up to the table's first move the rename is refused with
    // nothing changed; after it, it ends under the new name, at once or at the next open.
    ASSERT_LE(firstMove, calls);
    for (int at = 1; at <= calls; ++at) {
        SCOPED_TRACE("call " + std::to_string(at) + " failed");
        const TEngineErrorCode code = stopped(at, nullptr).second;
        const FolderFiles now = ReadTree(work);
        EXPECT_TRUE(at > firstMove || (code != 0 && std::ranges::equal(std::views::keys(now), std::views::keys(start))))
            << "refused with " << code << ", the same files left";
        EXPECT_EQ(check({"T", "T2"}, false), at <= firstMove ? "T" : "T2") << code;
        if (::testing::Test::HasFailure()) return;
    }
    // Markers as earlier versions wrote them (the other folder relative to the renaming
    // program's working folder) still end the rename, read from that working folder.
    if (*target.Folder) {
        FolderFiles earlier = *standing;
        earlier["T.RNM"] = text(std::string(">") + target.Given);
        earlier[newKey + ".RNM"] = text("<@\\T");
        fs::current_path(in(target.Renamer));
        WriteTree(work, earlier);
        EXPECT_EQ(check({"T", "T2"}, false), "T2");
        fs::current_path(finisher);
        return;
    }
    // A journal that holds a change at the old name all the same (its program had the
    // table open when the rename settled it, and was killed in a commit since) goes
    // with the files rather than being dropped.
    WriteTree(work, *standing);
    WriteBytes(work + "/T.JNL", EmptyValidJournal());
    EXPECT_TRUE(CompleteInterruptedRename(work + "/", "T2"));
    EXPECT_FALSE(fs::exists(work + "/T.JNL"));
    EXPECT_EQ(ReadBytes(work + "/T2.JNL"), EmptyValidJournal());
    // A file put at a name: a marker that says nothing, or a link in a marker's place
    // (nothing moves on its word, and the open is refused naming it); a marker held by
    // the program that renames (here, this one): the table in use. Once the rename
    // stood: a file come to a name the table takes stops it, named, the markers kept;
    // a new name's marker left by an earlier rename stopped before it stood takes
    // nothing of this one. With the file gone, the table opens under its old or new name.
    const TempDir elsewhere;
    std::ofstream(elsewhere.file("marker")) << ">T2";
    // The folder, the file put there and its bytes (none: a link), held, the name opened, the report and its file.
    using MarkerRow = std::tuple<const FolderFiles*, const char*, std::optional<Bytes>, bool, const char*,
                                 TEngineErrorCode, const char*>;
    const MarkerRow markers[] = {{&start, "T.RNM", text(">"), false, "T", KURA_HEADERCORRUPT, "T.RNM"},
                                 {&start, "T.RNM", text("?T2"), false, "T", KURA_HEADERCORRUPT, "T.RNM"},
                                 {&start, "T.RNM", text(">T"), false, "T", KURA_HEADERCORRUPT, "T.RNM"},
                                 {&start, "T.RNM", std::nullopt, false, "T", KURA_OSEACCES, "T.RNM"},
                                 {&start, "T.RNM", text(">T2"), true, "T", KURA_OSEACCES, "T.RNM"},
                                 {&*standing, "T2.IDX", text("another's"), false, "T", KURA_TABLEEXISTS, "T2.IDX"},
                                 {&*standing, "T2.JNL", EmptyValidJournal(), false, "T2", KURA_TABLEEXISTS, "T2.JNL"},
                                 {&*standing, "T3.RNM", text("<T"), false, "T3", KURA_OSENOENT, "T3.DAT"}};
    for (const auto& [image, file, content, held, opened, code, named] : markers) {
        SCOPED_TRACE(std::string(file) + " put there, " + opened + " opened");
        WriteTree(work, *image);
        const std::string at = work + "/" + file;
        if (content) WriteBytes(at, *content);
        else fs::create_symlink(elsewhere.file("marker"), at);
        TFileHandler holder;
        holder.FileName = at;
        holder.Exclusive = true;
        if (held) holder.OpenFile();
        const FolderFiles before = ReadTree(work);
        {
            RecordDb db(work, lpPessimistic);
            const Raised r = RaisedBy([&] { OpenRecordCursor(*db.dir, opened); });
            EXPECT_EQ(r.code, code);
            EXPECT_EQ(platform::NormalizeSeparators(r.table), work + "/" + named);
        }
        const FolderFiles after = ReadTree(work);
        EXPECT_TRUE(image != &start || after == before) << "changed";
        for (const char* kept : {"T.RNM", "T2.RNM"})
            EXPECT_TRUE(image == &start || after.count(kept)) << kept << " gone before the rename ended";
        EXPECT_EQ(after.count(file), code == KURA_TABLEEXISTS || image == &start ? 1u : 0u);
        if (held) holder.CloseFile();
        fs::remove(at);
        EXPECT_EQ(check({"T", "T2"}, false), image == &start ? "T" : "T2");
    }
    // Another program opens either name while the rename waits right before each of
    // its calls: it is refused as the table in use, or finds the table whole under
    // one name or under none, and the rename's own answer says how it ended: done
    // under the new name, or refused as the table in use with nothing changed.
    auto met = [&](int at) {
        WriteTree(work, start);
        ChildProcess renamer({"rename-met", work, "T", "T2", std::to_string(at)});
        std::string line = renamer.readLine(60000);
        if (line.starts_with("at ")) {
            for (const std::string name : {at % 2 ? "T2" : "T", at % 2 ? "T" : "T2"}) {
                RecordDb db(work, lpPessimistic);
                std::unique_ptr<TDataCursor> c;
                const TEngineErrorCode open = RaisedBy([&] { c = OpenRecordCursor(*db.dir, name); }).code;
                EXPECT_TRUE(open == 0 || open == KURA_OSEACCES || open == KURA_OSENOENT) << name << " " << open;
                EXPECT_TRUE(!c || CheckTable(*c).Rows == rows) << name << " opened, not whole";
            }
            renamer.send("go");
            line = renamer.readLine(60000);
        }
        EXPECT_EQ(renamer.wait(), 0);
        unsigned code = 0, made = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "done %u %u", &code, &made), 2) << line;
        return std::make_pair(static_cast<TEngineErrorCode>(code), static_cast<int>(made));
    };
    const int metCalls = met(0).second;
    EXPECT_GT(metCalls, 8);
    for (int at = 1; at <= metCalls; ++at) {
        SCOPED_TRACE("met before call " + std::to_string(at) + " of " + std::to_string(metCalls));
        const TEngineErrorCode code = met(at).first;
        EXPECT_TRUE(code == 0 || code == KURA_OSEACCES) << code;
        EXPECT_EQ(check({"T", "T2"}, false), code == 0 ? "T2" : "T") << "the rename said " << code;
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace

TEST(Crash, ARenameStoppedAtAnyCallEndsWholeUnderOneName) {
    TempDir tmp;
    const std::string work = fs::canonical(tmp.path()).string();
    const WorkingFolder kept;
    CrashRows rows;
    {
        RecordDb db(work, lpPessimistic);
        ASSERT_TRUE(CreateRecordTable(*db.dir, "T", StressTable()));
        auto c = OpenRecordCursor(*db.dir, "T");
        for (int32_t code = 1; code <= 5; ++code) AppendStressRecord(*c, code, "r" + std::to_string(code), "memo", {7});
        rows = CheckTable(*c).Rows;
    }
    for (const char* left : {"T.JNS", "T.JNL.2"}) std::ofstream(work + "/" + left) << "left";
    for (const char* folder : {"sub", "away/sub"}) fs::create_directories(work + "/" + folder);
    const FolderFiles start = ReadTree(work);
    for (const RenameTarget& target : {RenameTarget{"T2", "", "", "", ">T2", "<T"},
                                       RenameTarget{"sub/T2", "sub", "", "away", ">@/sub/T2", "<@/T"}})
        RenameStoppedAtAnyCall(work, rows, start, target);
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

// ---------------------------------------------------------------------------
// A program that opens the table reads the files' headers while another writer may
// start a flush: had it seen some of the files written in place and others not
// yet (a BLOB header counting blocks that are not written, an index behind its
// records), it would refuse the table as corrupt (8961). The opener here is held
// between its look at the journal and its first header read while a writer goes
// into its flush and stops at each of its write calls in turn.

namespace {

// Holds the next open of a .DAT file of this process until released, and counts
// the reads of .BLB files after that.
struct OpenGate {
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Armed = false;
    bool Reached = false;
    bool Released = false;
    int BlobReads = 0;
};
OpenGate* gGate = nullptr;

ssize_t CountedPread(int fd, void* buffer, size_t count, off_t offset) {
    const ssize_t n = platform::SystemFileCalls().pread(fd, buffer, count, offset);
    if (gGate && ExtensionOf(fd) == ".BLB") {
        std::lock_guard<std::mutex> lock(gGate->Mutex);
        ++gGate->BlobReads;
        gGate->Changed.notify_all();
    }
    return n;
}

int GatedOpen(const char* path, int flags, mode_t mode) {
    const std::string name(path);
    if (gGate && name.size() > 4 && name.compare(name.size() - 4, 4, ".DAT") == 0) {
        std::unique_lock<std::mutex> lock(gGate->Mutex);
        if (gGate->Armed) {
            gGate->Armed = false;
            gGate->Reached = true;
            gGate->Changed.notify_all();
            gGate->Changed.wait_for(lock, std::chrono::seconds(60), [] { return gGate->Released; });
        }
    }
    return platform::SystemFileCalls().open(path, flags, mode);
}

}  // namespace

TEST(Crash, AnOpenerNeverReadsAFlushHalfWay) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 2u);
    // The first step whose flush grows the BLOB file (new blocks, not freed ones).
    // The writer runs the script up to that step; it is stopped at every write call
    // of that step in turn: its journal, the writes in place and the journal's
    // invalidation.
    auto writerArgs = [&](std::size_t steps, uint64_t k) {
        return std::vector<std::string>{"crash-writer", t.Work(), TABLE, std::to_string(SEED),
                                        std::to_string(INITIAL), std::to_string(steps), std::to_string(k), "pause",
                                        "0"};
    };
    const std::string blobFile = t.Work() + "/" + TABLE + ".BLB";
    std::size_t step = 1;
    for (uintmax_t size = fs::file_size(t.Pristine() + "/" + TABLE + ".BLB"); step < ends.size(); ++step) {
        t.Restore();
        ChildProcess writer(writerArgs(step, 0));
        while (!writer.readLine(60000).empty()) {
        }
        ASSERT_EQ(writer.wait(), 0);
        if (fs::file_size(blobFile) > size) break;
        size = fs::file_size(blobFile);
    }
    ASSERT_LT(step, ends.size());
    int overtaken = 0;
    for (uint64_t k = ends[step - 1] + 1; k <= ends[step]; ++k) {
        SCOPED_TRACE("writer stopped at write call " + std::to_string(k));
        t.Restore();
        OpenGate gate;
        gate.Armed = true;
        gGate = &gate;
        platform::FileCalls().open = GatedOpen;
        platform::FileCalls().pread = CountedPread;
        struct Opened {
            std::unique_ptr<RecordDb> Db;
            std::unique_ptr<TDataCursor> Cursor;
            TEngineErrorCode Error = 0;
        };
        auto opening = std::async(std::launch::async, [&] {
            Opened o;
            try {
                o.Db = std::make_unique<RecordDb>(t.Work(), lpPessimistic);
                o.Cursor = OpenRecordCursor(*o.Db->dir, TABLE);
            } catch (const EKuraEngineError& e) {
                o.Error = e.ErrorCode();
            }
            return o;
        });
        auto release = [&] {
            std::lock_guard<std::mutex> lock(gate.Mutex);
            gate.Released = true;
            gate.Changed.notify_all();
        };
        {
            std::unique_lock<std::mutex> lock(gate.Mutex);
            EXPECT_TRUE(gate.Changed.wait_for(lock, std::chrono::seconds(60), [&] { return gate.Reached; }));
        }
        ChildProcess writer(writerArgs(step, k));
        // The writer runs until it reaches its stop (it overtook the opener) or waits
        // for the journal's lock that the opener holds: a sound opener keeps it out
        // of its flush. A writer that never got that far would prove nothing.
        RetryWatch watch(writer.pid());
        const bool progressed = WaitUntil([&] { return IsStopped(writer.pid()) || watch.Waits(); }, 60000);
        EXPECT_TRUE(progressed) << "the writer neither waited nor reached its stop";
        overtaken += IsStopped(writer.pid()) ? 1 : 0;
        release();
        {
            // The opener reads the headers, the BLOB file's last.
            std::unique_lock<std::mutex> lock(gate.Mutex);
            EXPECT_TRUE(gate.Changed.wait_for(lock, std::chrono::seconds(60), [&] { return gate.BlobReads > 0; }));
        }
        // Let go by the opener, the writer goes on to its stop; the opener then waits
        // for the writer's flush to end.
        for (int i = 0; i < 15000 && !IsStopped(writer.pid()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        writer.kill(SIGCONT);
        ASSERT_EQ(opening.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        platform::FileCalls() = platform::SystemFileCalls();
        gGate = nullptr;
        Opened o = opening.get();
        EXPECT_EQ(o.Error, 0);
        while (!writer.readLine(60000).empty()) {
        }
        EXPECT_EQ(writer.wait(), 0);
        o.Cursor.reset();
        o.Db.reset();
        EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[step]);
        if (::testing::Test::HasFailure()) break;
    }
    // No writer gets into its flush while an opener reads the headers.
    EXPECT_EQ(overtaken, 0) << "writers reached their stop while the opener stood before its headers";
}

// ---------------------------------------------------------------------------
// A journal is played back only onto the files it was written for: at their state
// before or after its flush or between the two (a writer that died in its
// writes). Beside files put back from an older copy, beside another table's files
// or when it cannot be read (a later format), the files are left as they are, the
// journal is copied aside and the open reports it once. A journal whose payload
// checksum does not hold is torn and ignored. Journals of the first format, which
// earlier programs wrote, are checked by their change counters and played back.

namespace {

// A table's files and journal by extension.
using TableFiles = std::map<std::string, Bytes>;
const char* const kExts[] = {".DAT", ".IDX", ".BLB", ".JNL"};

TableFiles ReadTable(const std::string& folder) {
    TableFiles files;
    for (const char* ext : kExts)
        if (fs::exists(folder + "/" + TABLE + ext)) files[ext] = ReadBytes(folder + "/" + TABLE + ext);
    return files;
}

void WriteTable(const std::string& folder, const TableFiles& files) {
    for (const char* ext : kExts) fs::remove(folder + "/" + TABLE + ext);
    for (const auto& [ext, bytes] : files) WriteBytes(folder + "/" + TABLE + ext, bytes);
}

// The table as a writer killed at write call k leaves it.
TableFiles KilledAt(const CrashTable& t, uint64_t k) {
    t.Restore();
    ChildProcess writer(t.WriterArgs(k, "stop", false));
    while (!writer.readLine(60000).empty()) {
    }
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    return ReadTable(t.Work());
}

// The offset in the journal of the last old byte it saves.
std::size_t LastSavedByte(const Bytes& j) {
    using namespace dfbytes;
    const std::size_t end = 64 + GetU64(&j[16]);
    std::size_t last = 0;
    for (std::size_t at = 64; at < end;) {
        const uint32_t ranges = GetU32(&j[at + 24]);
        at += 46 + 2u * GetU16(&j[at + 44]);
        for (uint32_t r = 0; r < ranges; ++r) {
            const uint32_t length = GetU32(&j[at + 8]);
            if (length > 0) last = at + 12 + length - 1;
            at += 12 + length;
        }
    }
    return last;
}

}  // namespace

TEST(Crash, AJournalIsPlayedBackOnlyOntoItsOwnFiles) {
    CrashTable t;
    const std::vector<uint64_t> ends = t.Calibrate(false);
    ASSERT_GT(ends.size(), 4u);
    const TableFiles pristine = ReadTable(t.Pristine());
    // Killed in the writes in place of the first and third steps, at the first
    // write in place (the journal written, nothing else), and at the invalidation of
    // the first step's journal (the files at its after state).
    const TableFiles inStep1 = KilledAt(t, ends[1] - 1);
    const TableFiles inStep3 = KilledAt(t, ends[3] - 1);
    const TableFiles journalOnly = KilledAt(t, ends[0] + 2);
    const TableFiles atAfter = KilledAt(t, ends[1]);
    for (const TableFiles* f : {&inStep1, &inStep3, &journalOnly, &atAfter}) ASSERT_EQ(f->count(".JNL"), 1u);
    ASSERT_NE(atAfter.at(".DAT"), pristine.at(".DAT"));

    // Another table of the same layout and name, with records of its own.
    TempDir otherFolder;
    CrashRows otherRows;
    {
        RecordDb db(otherFolder.path(), lpPessimistic);
        ASSERT_TRUE(CreateRecordTable(*db.dir, TABLE, StressTable()));
        auto c = OpenRecordCursor(*db.dir, TABLE);
        for (const CrashOp& op : CrashInitialRecords(SEED + 1, INITIAL)) {
            RunCrashOp(*c, op);
            ApplyToModel(otherRows, op);
        }
    }
    TableFiles other = ReadTable(otherFolder.path());
    other.erase(".JNL");

    auto with = [](TableFiles files, const Bytes& journal) {
        files[".JNL"] = journal;
        return files;
    };
    auto laterFormat = [](Bytes j) {
        dfbytes::PutU32(&j[8], 4);
        Seal(j);
        return j;
    };
    auto wrongChecksum = [](Bytes j) {
        j[LastSavedByte(j)] ^= 0x5A;
        return j;
    };
    TableFiles pristineFiles = pristine;
    pristineFiles.erase(".JNL");
    struct Case {
        const char* What;
        TableFiles Files;
        bool Fits;
        CrashRows Rows;  // the content after the open
    };
    const Case cases[] = {
        {"its files, killed in its writes", inStep1, true, t.States()[0]},
        {"its files at the after state", atAfter, true, t.States()[0]},
        {"its files, nothing written in place", journalOnly, true, t.States()[0]},
        {"an older copy of its files", with(pristineFiles, inStep3.at(".JNL")), false, t.States()[0]},
        {"another table's files", with(other, inStep1.at(".JNL")), false, otherRows},
        {"another table's files, nothing written in place", with(other, journalOnly.at(".JNL")), false, otherRows},
        {"a first-format journal, killed in its writes", with(inStep1, FirstFormat(inStep1.at(".JNL"))), true,
         t.States()[0]},
        {"a first-format journal beside an older copy", with(pristineFiles, FirstFormat(inStep3.at(".JNL"))),
         false, t.States()[0]},
        {"a journal of a later format", with(pristineFiles, laterFormat(journalOnly.at(".JNL"))), false,
         t.States()[0]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        for (const auto& entry : fs::directory_iterator(t.Work())) fs::remove(entry.path());
        WriteTable(t.Work(), c.Files);
        const std::string aside = t.Work() + "/" + TABLE + ".JNL.1";
        TEngineErrorCode code = 0;
        std::string message;
        try {
            t.OpenAndCheck();
        } catch (const EKuraEngineError& e) {
            code = e.ErrorCode();
            message = e.what();
        }
        EXPECT_FALSE(t.JournalWritten());
        if (c.Fits) {
            EXPECT_EQ(code, 0) << message;
            EXPECT_FALSE(fs::exists(aside));
        } else {
            EXPECT_EQ(code, KURA_HEADERCORRUPT);
            EXPECT_NE(message.find(std::string(TABLE) + ".JNL.1"), std::string::npos) << message;
            // The files as they were, the journal whole beside them.
            TableFiles now = ReadTable(t.Work());
            for (const char* ext : {".DAT", ".IDX", ".BLB"}) EXPECT_EQ(now[ext], c.Files.at(ext)) << ext;
            const Bytes& j = c.Files.at(".JNL");
            EXPECT_EQ(ReadBytes(aside), Bytes(j.begin(), j.begin() + 64 + dfbytes::GetU64(&j[16])));
        }
        // The report is given once; the table then opens as it is.
        EXPECT_EQ(t.OpenAndCheck().Rows, c.Rows);
    }

    // A payload that does not match its checksum was torn while it was written:
    // nothing is played back, not even the change counters, and nothing reported.
    for (const auto& entry : fs::directory_iterator(t.Work())) fs::remove(entry.path());
    WriteTable(t.Work(), with(pristineFiles, wrongChecksum(journalOnly.at(".JNL"))));
    EXPECT_TRUE(t.JournalWritten());
    EXPECT_EQ(t.OpenAndCheck().Rows, t.States()[0]);
    EXPECT_FALSE(t.JournalWritten());
    EXPECT_FALSE(fs::exists(t.Work() + "/" + TABLE + ".JNL.1"));
    const TableFiles now = ReadTable(t.Work());
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) EXPECT_EQ(now.at(ext), pristine.at(ext)) << ext;
}
