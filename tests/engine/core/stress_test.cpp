// Several programs append, modify and delete records with BLOBs, a memo under the
// text index and a unique name on one table at the same time, under both lock
// protocols and partly inside transactions. Afterwards the table must be whole:
// every index holds exactly the live records, "Sys Deleted" one key per slot,
// every BLOB loads and matches the checksum its record keeps, auto-increment
// values are unique and "Sys Text" holds exactly the words of the live memos.
// The workers are the test child's "stress-worker" command
// (tests/helpers/child_stress.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"
#include "tests/engine/core/TableCheck.h"
#include "tests/engine/files/IndexTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { InitEngineLibrary(); }
    void TearDown() override { DoneEngineLibrary(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

constexpr int WORKERS = 4;
constexpr int WORK_MILLISECONDS = 3000;
constexpr int INITIAL_RECORDS = 40;

// Reads "name=value" counters from a worker's closing line.
std::map<std::string, int> Counters(const std::string& line) {
    std::map<std::string, int> counters;
    std::istringstream in(line);
    std::string item;
    while (in >> item) {
        const auto eq = item.find('=');
        if (eq != std::string::npos) counters[item.substr(0, eq)] = std::stoi(item.substr(eq + 1));
    }
    return counters;
}

void MakeStressTable(const std::string& path) {
    RecordDb db(path, lpPessimistic);
    ASSERT_TRUE(CreateRecordTable(*db.dir, "STRESS", StressTable()));
    auto c = OpenRecordCursor(*db.dir, "STRESS");
    std::mt19937 rng(4242);
    for (int i = 1; i <= INITIAL_RECORDS; ++i)
        AppendStressRecord(*c, i, "start" + std::to_string(i), MakeMemo(rng, 0, static_cast<uint32_t>(i), 200),
                           RandomBytes(rng, rng() % 20481));
}

}  // namespace

TEST(Stress, ConcurrentWorkersLeaveEveryIndexAndBlobConsistent) {
    TempDir tmp;
    MakeStressTable(tmp.path());

    std::vector<std::unique_ptr<ChildProcess>> workers;
    for (int w = 1; w <= WORKERS; ++w) {
        workers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "stress-worker", tmp.path(), "STRESS", std::to_string(w), std::to_string(WORK_MILLISECONDS)}));
    }
    for (auto& w : workers) ASSERT_EQ(w->readLine(), "ready");
    for (auto& w : workers) w->send("go");

    int appended = 0, deleted = 0, modified = 0;
    for (int w = 0; w < WORKERS; ++w) {
        const std::string line = workers[w]->readLine(WORK_MILLISECONDS + 60000);
        EXPECT_EQ(line.rfind("done ", 0), 0u) << "worker " << w + 1 << ": " << line;
        const auto counters = Counters(line);
        appended += counters.count("appended") ? counters.at("appended") : 0;
        deleted += counters.count("deleted") ? counters.at("deleted") : 0;
        modified += counters.count("modified") ? counters.at("modified") : 0;
        EXPECT_EQ(workers[w]->wait(), 0) << "worker " << w + 1;
        std::cout << "worker " << w + 1 << ": " << line << "\n";
    }
    // Every kind of write happened, or the run proves little.
    EXPECT_GT(appended, 0);
    EXPECT_GT(deleted, 0);
    EXPECT_GT(modified, 0);

    RecordDb db(tmp.path(), lpPessimistic);
    auto c = OpenRecordCursor(*db.dir, "STRESS", true);
    const uint32_t count = CheckTable(*c).Count;
    // Every write that reported success is in the table, no other.
    EXPECT_EQ(static_cast<int>(count), INITIAL_RECORDS + appended - deleted);
}

// Writers killed one after another, each at a write call of its own (most land
// inside a flush), while others go on writing: every program that carries on
// finds correct data, and the table ends whole.
TEST(Stress, WritersKilledInTheirFlushesLeaveTheTableConsistent) {
    TempDir tmp;
    MakeStressTable(tmp.path());
    std::vector<std::unique_ptr<ChildProcess>> workers;
    for (int w = 1; w <= 3; ++w) {
        workers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "stress-worker", tmp.path(), "STRESS", std::to_string(w), std::to_string(WORK_MILLISECONDS)}));
    }
    for (auto& w : workers) ASSERT_EQ(w->readLine(), "ready");
    for (auto& w : workers) w->send("go");

    std::mt19937 rng(99);
    int kills = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WORK_MILLISECONDS);
    // Victims come one after another while the others work, and on until enough
    // were killed, however slow the machine.
    constexpr int KILLS = 4;
    for (int victim = 0; (std::chrono::steady_clock::now() < end || kills < KILLS) && victim < 40; ++victim) {
        ChildProcess v({"stress-worker", tmp.path(), "STRESS", std::to_string(4 + victim % 5),
                        std::to_string(WORK_MILLISECONDS), std::to_string(10 + rng() % 300)});
        ASSERT_EQ(v.readLine(), "ready");
        v.send("go");
        const int code = v.wait();
        EXPECT_TRUE(code == 128 + SIGKILL || code == 0) << "victim " << victim << " ended with " << code;
        kills += code == 128 + SIGKILL ? 1 : 0;
    }
    for (int w = 0; w < 3; ++w) {
        const std::string line = workers[w]->readLine(WORK_MILLISECONDS + 60000);
        EXPECT_EQ(line.rfind("done ", 0), 0u) << "worker " << w + 1 << ": " << line;
        EXPECT_EQ(workers[w]->wait(), 0) << "worker " << w + 1;
    }
    std::cout << kills << " writers killed\n";
    EXPECT_GE(kills, KILLS);

    RecordDb db(tmp.path(), lpPessimistic);
    auto c = OpenRecordCursor(*db.dir, "STRESS", true);
    CheckTable(*c);
}

// A record lock refused after its retries used to leave the bracket it opened for
// the wait behind; the next cache miss then took a reader lock that no bracket end
// released, and every writer of every program waited for it until it timed out.
TEST(Stress, RefusedRecordLockLeavesNoReadBracketOpen) {
    TempDir tmp;
    RecordDb db(tmp.path(), lpOptimistic);
    ASSERT_TRUE(CreateRecordTable(*db.dir, "REC", RecordTable()));
    auto c = OpenRecordCursor(*db.dir, "REC");
    std::vector<uint8_t> record = MakeRecord(*c, 1, "A");
    c->AppendRecord(record.data(), true);
    TDataTable& table = *c->GetTable();
    auto ErrorOf = [](auto&& f) -> TEngineErrorCode {
        try {
            f();
        } catch (const EKuraEngineError& e) {
            return e.ErrorCode();
        }
        return 0;
    };

    ChildProcess child({"rec-shell", tmp.path(), "REC", std::to_string(lpPessimistic)});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("first");
    ASSERT_EQ(child.readLine(), "rec 1 A");
    child.send("lock");
    ASSERT_EQ(child.readLine(), "ok");

    std::vector<uint8_t> buffer(c->GetCursorRecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    // Inside the write bracket: the optimistic post and the delete.
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);
    SetName(*c, buffer, "B");
    EXPECT_EQ(ErrorOf([&] { c->ModifyRecord(buffer.data(), true, true); }), KURA_RECLOCKFAILED);
    ASSERT_EQ(table.GetReadDepth(), 0u);
    ASSERT_FALSE(table.IsReadLocked());
    c->CancelRecord();
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
    EXPECT_EQ(ErrorOf([&] { c->DeleteRecord(buffer.data(), true); }), KURA_RECLOCKFAILED);
    ASSERT_EQ(table.GetReadDepth(), 0u);
    ASSERT_FALSE(table.IsReadLocked());
    // Inside a read bracket: entering edit state under the pessimistic protocol.
    db.session.SetLockProtocol(lpPessimistic);
    EXPECT_EQ(ErrorOf([&] { c->GetCurrentRecord(buffer.data(), true); }), KURA_RECLOCKFAILED);
    ASSERT_EQ(table.GetReadDepth(), 0u);
    ASSERT_FALSE(table.IsReadLocked());

    // The other program writes, this one reads its change from the disk, and the
    // other program can write again at once.
    child.send("cancel");
    ASSERT_EQ(child.readLine(), "ok");
    child.send("append 2 C");
    ASSERT_EQ(child.readLine(), "ok");
    c->Refresh();
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    EXPECT_EQ(TextOf(*c, buffer), "C");
    EXPECT_FALSE(table.IsReadLocked());
    child.send("append 3 D");
    EXPECT_EQ(child.readLine(30000), "ok");
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

// Optimistic edit: another program rewrites the memo after this cursor entered edit
// state, and a BLOB opened before the post reads the disk and with it the changed
// record. The post must still see that the record is no longer the one it read:
// otherwise it undoes the other program's change and leaves the memo field naming
// a chain that now carries another BLOB id, which never loads again.
TEST(Stress, OptimisticPostSeesAChangeReadBeforeIt) {
    TempDir tmp;
    std::mt19937 rng(7);
    const std::vector<uint8_t> photo = RandomBytes(rng, 9000);
    {
        RecordDb writer(tmp.path(), lpPessimistic);
        ASSERT_TRUE(CreateRecordTable(*writer.dir, "STRESS", StressTable()));
        auto c = OpenRecordCursor(*writer.dir, "STRESS");
        AppendStressRecord(*c, 1, "one", "first memo words", photo);
    }
    // A cursor that has not seen the BLOBs yet: opening one reads the disk.
    RecordDb db(tmp.path(), lpOptimistic);
    auto c = OpenRecordCursor(*db.dir, "STRESS");
    std::vector<uint8_t> buffer(c->GetCursorRecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);

    ChildProcess child({"stress-edit", tmp.path(), "STRESS", "1"});
    ASSERT_EQ(child.readLine(), "ok");
    EXPECT_EQ(child.wait(), 0);

    const std::vector<uint8_t> newPhoto = RandomBytes(rng, 5000);
    WriteBlob(*c, buffer.data(), F_PHOTO, newPhoto.data(), newPhoto.size());
    TEngineErrorCode code = 0;
    try {
        c->ModifyRecord(buffer.data(), true, true);
    } catch (const EKuraEngineError& e) {
        code = e.ErrorCode();
    }
    EXPECT_EQ(code, KURA_KEYORRECDELETED);
    c->FreeAllBlobs(true);
    c->CancelRecord();

    // The record is the other program's, and both its BLOBs load.
    c.reset();
    auto check = OpenRecordCursor(*db.dir, "STRESS", true);
    check->SetToBegin();
    ASSERT_EQ(check->GetNextRecord(buffer.data()), 0);
    try {
        EXPECT_EQ(LoadBlob(*check, buffer.data(), F_PHOTO, false), photo);
        const std::vector<uint8_t> memo = LoadBlob(*check, buffer.data(), F_MEMO, false);
        EXPECT_EQ(std::string(memo.begin(), memo.end()), "rewritten by another program");
    } catch (const EKuraEngineError& e) {
        ADD_FAILURE() << "BLOB does not load: " << e.ErrorCode();
    }
}
