// Record locks, the write semaphore and change detection between programs and
// between tables of one program.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <set>
#include <string>

#include "engine/files/DataFile.h"
#include "engine/files/RecordNumberSet.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/DataFileTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const registry = ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

struct Opened {
    TDataFile file{nullptr};
    explicit Opened(const std::string& path) {
        file.FileName = path;
        file.OpenFile();
    }
};

std::string Table(const TempDir& dir) {
    std::string path = dir.file("LOCKS.DAT");
    CreateTable(path, SmallSchema());
    return path;
}

}  // namespace

TEST(DataFileLocks, RecordLockBytesAndOtherProcess) {
    TempDir dir;
    std::string path = Table(dir);
    Opened t(path);
    // Record 1 is byte 4,294,967,293; record 200,000,001 is the first byte of the
    // unlock-all range, 4,094,967,293.
    ASSERT_TRUE(t.file.LockBytes(true, 4294967293LL, 1));
    {
        ChildProcess child({"dat-lockrecord", path, "1"});
        std::string line = child.readLine();
        ASSERT_EQ(line.rfind("fail ", 0), 0u) << line;
        EXPECT_EQ(std::stoi(line.substr(5)), 1);  // refused at once: the kernel asked once, no retry here
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    ASSERT_TRUE(t.file.LockBytes(false, 4294967293LL, 1));
    ASSERT_TRUE(t.file.LockBytes(true, 4094967293LL, 1));
    {
        ChildProcess child({"dat-lockrecord", path, "200000001"});
        EXPECT_EQ(child.readLine().rfind("fail", 0), 0u);
        child.send("quit");
        child.wait();
    }
    ASSERT_TRUE(t.file.LockBytes(false, 4094967293LL, 1));

    EXPECT_FALSE(t.file.LockRecord(0));
    EXPECT_FALSE(t.file.LockRecord(200000002));
    EXPECT_TRUE(t.file.LockRecord(200000001));
    EXPECT_TRUE(t.file.LockRecord(1));
    EXPECT_FALSE(t.file.LockRecord(1));  // also refused through the same handler
    {
        ChildProcess child({"dat-lockrecord", path, "2"});
        EXPECT_EQ(child.readLine().rfind("ok", 0), 0u);
        EXPECT_FALSE(t.file.LockRecord(2));
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    EXPECT_TRUE(t.file.LockRecord(2));
    EXPECT_TRUE(t.file.UnlockAllRecords());
    EXPECT_FALSE(t.file.IsRecordLockHeld(1));
    EXPECT_FALSE(t.file.UnlockRecord(1));  // never a second release
}

TEST(DataFileLocks, KilledHolderFreesItsLock) {
    TempDir dir;
    std::string path = Table(dir);
    Opened t(path);
    ChildProcess child({"dat-lockrecord", path, "5"});
    ASSERT_EQ(child.readLine().rfind("ok", 0), 0u);
    EXPECT_FALSE(t.file.LockRecord(5));
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_TRUE(t.file.LockRecord(5));
    EXPECT_TRUE(t.file.UnlockRecord(5));
}

TEST(DataFileLocks, SemaphoreWaitsForTheOtherWriter) {
    TempDir dir;
    std::string path = Table(dir);
    Opened t(path);
    ChildProcess child({"dat-holdsem", path, "300"});
    ASSERT_EQ(child.readLine(), "ready");
    EXPECT_FALSE(t.file.LockBytes(true, WRITE_SEMAPHORE_OFFSET, 1));
    EXPECT_TRUE(t.file.LockSemaphore());
    // The child announces its release before it releases: a semaphore taken only
    // after the release finds the announcement already waiting.
    EXPECT_EQ(child.readLine(0), "releasing");
    EXPECT_EQ(child.readLine(), "released");
    EXPECT_TRUE(t.file.UnlockSemaphore());
    EXPECT_FALSE(t.file.UnlockSemaphore());
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

// Two tables of one process share one open file and its locks.
TEST(DataFileLocks, TwoTablesOnOneFileInOneProcess) {
    TempDir dir;
    std::string path = Table(dir);
    Opened a(path);
    Opened b(path);
    ASSERT_EQ(a.file.File, b.file.File);
    EXPECT_TRUE(a.file.LockRecord(3));
    EXPECT_FALSE(b.file.LockRecord(3));
    EXPECT_TRUE(b.file.LockRecord(4));
    EXPECT_TRUE(a.file.LockSemaphore());
    EXPECT_FALSE(b.file.LockBytes(true, WRITE_SEMAPHORE_OFFSET, 1));
    // Releasing all of one table's locks leaves the other table's alone.
    EXPECT_TRUE(a.file.UnlockAllRecords());
    EXPECT_FALSE(a.file.LockRecord(4));
    EXPECT_TRUE(b.file.IsRecordLockHeld(4));
    EXPECT_TRUE(b.file.LockRecord(3));
    EXPECT_TRUE(b.file.UnlockAllRecords());
    EXPECT_TRUE(a.file.LockRecord(4));
    EXPECT_TRUE(a.file.UnlockRecord(4));
    EXPECT_TRUE(a.file.UnlockSemaphore());
    // Closing one table gives up its record locks; the file stays open for the other.
    EXPECT_TRUE(a.file.LockRecord(9));
    a.file.CloseFile();
    EXPECT_TRUE(b.file.LockRecord(9));
}

TEST(DataFileLocks, HeaderChangeByOtherProcess) {
    TempDir dir;
    std::string path = Table(dir);
    Opened t(path);
    EXPECT_FALSE(t.file.HeaderChanged());
    uint32_t before = t.file.GetChangeCount();
    ChildProcess child({"dat-touch", path});
    EXPECT_EQ(child.readLine(), "done " + std::to_string(before + 2));
    EXPECT_TRUE(t.file.HeaderChanged());
    EXPECT_EQ(t.file.GetChangeCount(), before + 2);
    EXPECT_FALSE(t.file.HeaderChanged());
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

// The set a data file keeps its record locks in, against a plain ordered set:
// runs across block edges, scattered numbers, the highest numbers, erasing what
// is not there.
TEST(DataFileLocks, RecordNumberSetAgainstModel) {
    std::mt19937 random(34);
    TRecordNumberSet set;
    std::set<uint32_t> model;
    const uint32_t bases[] = {1u, 500u, 100000u, 0xFFFFFFFFu - 2000u};
    for (int step = 0; step < 4000; ++step) {
        const uint32_t base = bases[random() % 4];
        const uint32_t n = base + static_cast<uint32_t>(random() % 1500);
        switch (random() % 4) {
            case 0: {
                const uint32_t count = static_cast<uint32_t>(random() % 700);
                const uint32_t room = 0xFFFFFFFFu - n;
                const uint32_t taken = std::min(count, room);
                set.InsertRun(n, taken);
                for (uint32_t r = 0; r < taken; ++r) model.insert(n + r);
                break;
            }
            case 1:
                set.Insert(n);
                model.insert(n);
                break;
            default:
                set.Erase(n);
                model.erase(n);
                break;
        }
        ASSERT_EQ(set.Contains(n), model.count(n) != 0) << n;
        ASSERT_EQ(set.Size(), model.size());
        if (step % 50 == 0) {
            ASSERT_EQ(set.Ascending(), std::vector<uint32_t>(model.begin(), model.end()));
            std::size_t runs = 0;
            for (auto it = model.begin(); it != model.end(); ++it)
                if (it == model.begin() || *std::prev(it) + 1 != *it) ++runs;
            ASSERT_EQ(set.Runs(), runs);
        }
    }
    ASSERT_EQ(set.Ascending(), std::vector<uint32_t>(model.begin(), model.end()));
    for (uint32_t n : std::vector<uint32_t>(model.begin(), model.end())) set.Erase(n);
    EXPECT_EQ(set.Size(), 0u);
    EXPECT_EQ(set.Runs(), 0u);
    EXPECT_TRUE(set.Ascending().empty());
    set.InsertRun(0xFFFFFFFFu, 1);
    EXPECT_TRUE(set.Contains(0xFFFFFFFFu));
    set.Clear();
    EXPECT_FALSE(set.Contains(0xFFFFFFFFu));
}

// A file closed while it holds runs of record locks, taken one run per call or
// escalated to one lock over the range, gives back every record of every run:
// another table of this process sharing the open file finds none of them, nor
// their neighbours, nor any byte of the range still held.
TEST(DataFileLocks, ClosingAFileGivesBackEveryRecordOfItsRuns) {
    struct Run {
        uint32_t First, Count;
    };
    const Run runs[] = {{1, 1}, {5, 2}, {500, 30}, {2000, 4096}, {RECORD_NUMBER_LIMIT - 2, 3}};
    for (const bool escalate : {false, true}) {
        SCOPED_TRACE(escalate ? "escalated" : "one lock per run");
        TempDir dir;
        std::string path = Table(dir);
        Opened b(path);
        {
            Opened a(path);
            a.file.LockEscalationRuns = 3;
            if (escalate) a.file.AllowLockEscalation();
            for (const Run& run : runs) ASSERT_TRUE(a.file.LockRecordRun(run.First, run.Count)) << run.First;
            EXPECT_EQ(a.file.RecordLocksEscalated(), escalate);
            for (const Run& run : runs) {
                EXPECT_TRUE(a.file.IsRecordLockHeld(run.First + run.Count - 1));
                EXPECT_FALSE(b.file.LockRecord(run.First + run.Count - 1));
            }
            a.file.CloseFile();
        }
        for (const Run& run : runs) {
            const uint32_t from = run.First > 1 ? run.First - 1 : 1;
            const uint32_t to = std::min(run.First + run.Count, RECORD_NUMBER_LIMIT);
            for (uint32_t r = from; r <= to; ++r) {
                ASSERT_TRUE(b.file.LockRecord(r)) << r;
                ASSERT_TRUE(b.file.UnlockRecord(r)) << r;
            }
        }
        ASSERT_TRUE(b.file.LockEachByte(ALL_RECORD_LOCKS_START, ALL_RECORD_LOCKS_LENGTH));
    }
}

// Record locks of a file allowed to escalate, against a model of what it holds
// and what another table of this process holds on the same open file: every lock,
// run and release answers as the model says; the range is taken only while the
// other table holds nothing (then that table is refused every record), and a
// release gives back exactly the records the model no longer holds.
TEST(DataFileLocks, EscalatedRecordLocksAgainstAModel) {
    TempDir dir;
    std::string path = Table(dir);
    Opened a(path);
    Opened b(path);
    a.file.LockEscalationRuns = 6;
    std::mt19937 random(43);
    std::set<uint32_t> own, others;
    // Numbers at both ends of the range.
    auto pick = [&] {
        const auto n = static_cast<uint32_t>(random() % 150);
        return random() % 2 ? 1 + n : RECORD_NUMBER_LIMIT - n;
    };
    auto free = [&](uint32_t r) { return !own.count(r) && !others.count(r); };
    auto probe = [&] {
        for (uint32_t r : {1u, 75u, 150u, 151u, RECORD_NUMBER_LIMIT - 149, RECORD_NUMBER_LIMIT}) {
            if (others.count(r)) continue;
            const bool got = b.file.LockRecord(r);
            ASSERT_EQ(got, !own.count(r) && !a.file.RecordLocksEscalated()) << r;
            if (got) {
                ASSERT_TRUE(b.file.UnlockRecord(r));
            }
        }
    };
    bool allowed = true, escalatedSeen = false, heldOffSeen = false;
    a.file.AllowLockEscalation();
    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const uint32_t r = pick();
        const bool escalated = a.file.RecordLocksEscalated();
        switch (random() % 12) {
            case 0:
            case 1:
            case 2:
            case 3: {
                const bool expected = free(r);
                ASSERT_EQ(a.file.LockRecord(r), expected) << r;
                if (expected) own.insert(r);
                break;
            }
            case 4: {
                const uint32_t count = std::min<uint32_t>(1 + random() % 6, RECORD_NUMBER_LIMIT - r + 1);
                bool expected = true;
                for (uint32_t n = r; n < r + count; ++n) expected = expected && free(n);
                ASSERT_EQ(a.file.LockRecordRun(r, count), expected) << r << "+" << count;
                if (expected)
                    for (uint32_t n = r; n < r + count; ++n) own.insert(n);
                break;
            }
            case 5: {
                const bool expected = free(r) && !escalated;
                ASSERT_EQ(b.file.LockRecord(r), expected) << r;
                if (expected) others.insert(r);
                break;
            }
            case 6:
                if (!others.empty()) {
                    const uint32_t n = *others.begin();
                    ASSERT_TRUE(b.file.UnlockRecord(n));
                    others.erase(n);
                }
                break;
            case 7: {
                std::vector<uint32_t> some, failed;
                for (uint32_t n : own)
                    if (random() % 3 == 0) some.push_back(n);
                a.file.UnlockRecords(some, failed);
                ASSERT_TRUE(failed.empty());
                for (uint32_t n : some) own.erase(n);
                break;
            }
            case 8:
                ASSERT_EQ(a.file.UnlockRecord(r), own.count(r) != 0) << r;
                own.erase(r);
                break;
            case 9:
                if (allowed) {
                    ASSERT_TRUE(a.file.EndLockEscalation());
                    ASSERT_FALSE(a.file.RecordLocksEscalated());
                } else {
                    a.file.AllowLockEscalation();
                }
                allowed = !allowed;
                break;
            default:
                probe();
                break;
        }
        ASSERT_EQ(a.file.IsRecordLockHeld(r), own.count(r) != 0) << r;
        if (a.file.RecordLocksEscalated()) {
            ASSERT_TRUE(allowed);
            ASSERT_TRUE(others.empty());
            escalatedSeen = true;
        } else if (allowed && !others.empty() && own.size() > 20) {
            heldOffSeen = true;
        }
    }
    EXPECT_TRUE(escalatedSeen);
    EXPECT_TRUE(heldOffSeen);
    a.file.CloseFile();
    for (uint32_t r = 1; r <= 151; ++r) {
        if (others.count(r)) continue;
        ASSERT_TRUE(b.file.LockRecord(r)) << r;
    }
    EXPECT_TRUE(b.file.UnlockAllRecords());
}
