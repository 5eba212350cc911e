// The cursor that made a transaction's changes, after the program rolled back (the
// desktop program's grid keeps its cursor open over a failed save). At every
// write, cut and sync of a failing commit in turn, for a transaction that stays in
// the caches and one past its memory budget (held changes, spill file), a shared
// and an exclusive cursor, one table and two: the same cursor reads, from where it
// stood and then every record by key, in key, name and natural order, and the
// record count, as before the transaction; it then edits again and commits, and a
// new cursor, the table check and a later program agree with it. A rollback
// without a failed commit leaves the cursor, in every order and in a key range,
// standing on the old table as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "platform/FileCalls.h"
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

const char* const kTables[] = {"GRID", "\x8E\xD0\x88\xF5\x95\x5C"};
constexpr int32_t INITIAL = 12;
constexpr uint8_t BY_NAME = 1;

struct Case {
    const char* Name;
    bool PastBudget;
    bool Exclusive;
    int Tables;
};
const Case kCases[] = {
    {"in the caches, shared", false, false, 1},    {"in the caches, exclusive", false, true, 1},
    {"past the budget, shared", true, false, 1},   {"past the budget, exclusive", true, true, 1},
    {"two tables in the caches", false, false, 2}, {"two tables past the budget, exclusive", true, true, 2},
};

// Small caches, and (past the budget) a budget of a few pages, so that the
// transaction's changes move to the spill file.
struct GridDb : RecordDb {
    GridDb(const std::string& data, const std::string& privateFolder, bool pastBudget)
        : RecordDb(data, lpPessimistic) {
        session.SetPrivateDir(privateFolder);
        session.RecordBufferSize = 1024;
        session.IndexBufferSize = 16384;
        session.BlobBufferSize = 4096;
        if (pastBudget) session.TransactionMemory = 12000;
    }
};

// Tables of the stress layout with a few records each, and per table the
// transaction's changes: modifications, appends and deletions (more of them past
// the budget), the last a modification of a record that follows a deleted one,
// so that in the transaction's tree the keys after it moved.
class GridTables {
public:
    explicit GridTables(const Case& k) : case_(k) {
        fs::create_directories(Data());
        fs::create_directories(Private());
        RecordDb db(Data(), lpPessimistic);
        std::mt19937 rng(71);
        for (int t = 0; t < k.Tables; ++t) {
            EXPECT_TRUE(CreateRecordTable(*db.dir, kTables[t], StressTable()));
            auto c = OpenRecordCursor(*db.dir, kTables[t]);
            CrashRows rows;
            for (const CrashOp& op : CrashInitialRecords(71 + static_cast<uint32_t>(t), INITIAL)) {
                RunCrashOp(*c, op);
                ApplyToModel(rows, op);
            }
            before_.push_back(rows);
            std::vector<CrashOp> script = {CrashOp{CrashOp::Delete, 3, {}, {}, 0, 0}};
            ApplyToModel(rows, script.back());
            const int ops = k.PastBudget ? 90 : 6;
            int32_t next = INITIAL + 1;
            for (int i = 0; i < ops; ++i) {
                CrashOp op = NewRecordOp(rng, next, CrashOp::Append);
                if (i % 3 == 0) op = NewRecordOp(rng, 1 + static_cast<int32_t>(rng() % INITIAL), CrashOp::Modify);
                if (i % 5 == 2) op = CrashOp{CrashOp::Delete, 1 + static_cast<int32_t>(rng() % INITIAL), {}, {}, 0, 0};
                if (op.What != CrashOp::Append && !rows.count(op.Code)) continue;
                if (op.Code == STOOD || op.Code == UNTOUCHED) continue;
                next += op.What == CrashOp::Append ? 1 : 0;
                script.push_back(op);
                ApplyToModel(rows, op);
            }
            script.push_back(NewRecordOp(rng, STOOD, CrashOp::Modify));
            scripts_.push_back(script);
        }
        pristine_ = ReadFolder(Data());
    }
    // The record the cursor stands on at the end of the transaction (changed in
    // it), and one the transaction leaves alone.
    static constexpr int32_t STOOD = 4;
    static constexpr int32_t UNTOUCHED = 7;

    std::string Data() const { return tmp_.file("data"); }
    std::string Private() const { return tmp_.file("private"); }
    const std::vector<CrashRows>& Before() const { return before_; }
    void Restore() const { WriteFolder(Data(), pristine_); }
    const FolderFiles& Pristine() const { return pristine_; }

    std::vector<std::unique_ptr<TDataCursor>> Open(GridDb& db) const {
        std::vector<std::unique_ptr<TDataCursor>> cursors;
        for (int t = 0; t < case_.Tables; ++t) cursors.push_back(OpenRecordCursor(*db.dir, kTables[t], case_.Exclusive));
        return cursors;
    }
    // Starts the transaction and makes its changes; true when they spilled.
    bool Change(GridDb& db, std::vector<std::unique_ptr<TDataCursor>>& cursors) const {
        db.dir->StartTransaction();
        for (std::size_t t = 0; t < cursors.size(); ++t)
            for (const CrashOp& op : scripts_[t]) RunCrashOp(*cursors[t], op);
        return OpenFilesIn(Private()) > 0;
    }
    // Every table as a later program finds it, checked whole.
    std::vector<CrashRows> Contents() const {
        RecordDb db(Data(), lpPessimistic);
        std::vector<CrashRows> rows;
        for (int t = 0; t < case_.Tables; ++t) rows.push_back(CheckTable(*OpenRecordCursor(*db.dir, kTables[t])).Rows);
        return rows;
    }

private:
    Case case_;
    TempDir tmp_;
    std::vector<CrashRows> before_;
    std::vector<std::vector<CrashOp>> scripts_;
    FolderFiles pristine_;
};

// The codes appended in a transaction (never in the table before it).
const std::vector<int32_t> kAppended = {INITIAL + 1, INITIAL + 2, INITIAL + 3, 40, 90};

// The failures the running test has met so far: each case stops at its own first.
int Failures() {
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int failures = 0;
    for (int i = 0; i < result->total_part_count(); ++i) failures += result->GetTestPartResult(i).failed() ? 1 : 0;
    return failures;
}

std::string RowOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
    return TextOf(c, buffer, F_NAME) + "|" + TextOf(c, buffer, F_NOTE);
}

// The codes the cursor steps over from the first record in its order (an index
// number, or natural), with their rows.
std::vector<std::pair<int32_t, std::string>> ReadSequence(TDataCursor& c) {
    std::vector<std::pair<int32_t, std::string>> sequence;
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    c.SetToBegin();
    for (int guard = 0; guard < 100000 && c.GetNextRecord(buffer.data()) == 0; ++guard)
        sequence.emplace_back(CodeOf(c, buffer), RowOf(c, buffer));
    return sequence;
}

CrashRows ReadInOrder(TDataCursor& c, uint8_t indexNo) {
    c.SwitchToIndex(indexNo);
    CrashRows rows;
    for (const auto& [code, row] : ReadSequence(c)) EXPECT_TRUE(rows.emplace(code, row).second) << code << " twice";
    c.SwitchToIndex(PRIMARY_INDEX);
    return rows;
}

// Everything the cursor reads of its table matches the rows: each record by its
// key (none of the appended codes), each order, the record count, the table check.
void ExpectCursorReads(TDataCursor& c, const CrashRows& rows) {
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    for (const auto& [code, row] : rows) {
        std::vector<uint8_t> probe = MakeRecord(c, code, "");
        ASSERT_NE(c.FindKey(0, probe.data(), 1, 0, 0, nullptr), 0) << "no record " << code;
        ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << "record " << code;
        EXPECT_EQ(CodeOf(c, buffer), code);
        EXPECT_EQ(RowOf(c, buffer), row) << "record " << code;
    }
    for (const int32_t code : kAppended) {
        if (rows.count(code)) continue;
        std::vector<uint8_t> probe = MakeRecord(c, code, "");
        EXPECT_EQ(c.FindKey(0, probe.data(), 1, 0, 0, nullptr), 0) << "record " << code << " is found";
    }
    EXPECT_EQ(c.GetRecordCount(), rows.size());
    EXPECT_EQ(ReadInOrder(c, PRIMARY_INDEX), rows) << "in key order";
    EXPECT_EQ(ReadInOrder(c, NATURAL_ORDER), rows) << "in natural order";
    EXPECT_EQ(ReadInOrder(c, BY_NAME), rows) << "by name";
    EXPECT_EQ(CheckTable(c).Rows, rows) << "table check";
}

// Where the cursor stood: the record `code` (as in the sequence of its order),
// the records after and before it, and back on it.
void ExpectWhereItStood(TDataCursor& c, int32_t code, const std::vector<std::pair<int32_t, std::string>>& sequence) {
    const auto at = std::find_if(sequence.begin(), sequence.end(), [&](const auto& e) { return e.first == code; });
    ASSERT_NE(at, sequence.end()) << code;
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
    EXPECT_EQ(CodeOf(c, buffer), code);
    EXPECT_EQ(RowOf(c, buffer), at->second);
    if (at + 1 != sequence.end()) {
        ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
        EXPECT_EQ(CodeOf(c, buffer), (at + 1)->first) << "the record after";
        EXPECT_EQ(RowOf(c, buffer), (at + 1)->second);
        ASSERT_EQ(c.GetPriorRecord(buffer.data()), 0);
    }
    if (at != sequence.begin()) {
        ASSERT_EQ(c.GetPriorRecord(buffer.data()), 0);
        EXPECT_EQ(CodeOf(c, buffer), (at - 1)->first) << "the record before";
        EXPECT_EQ(RowOf(c, buffer), (at - 1)->second);
        ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
    }
    EXPECT_EQ(CodeOf(c, buffer), code);
    EXPECT_EQ(RowOf(c, buffer), at->second);
    EXPECT_EQ(c.GetRecordCount(), sequence.size());
}

// The rows as the primary index orders them.
std::vector<std::pair<int32_t, std::string>> InKeyOrder(const CrashRows& rows) {
    return {rows.begin(), rows.end()};
}

TEST(RollbackCursor, TheCursorOfAFailedCommitReadsTheOldTableAfterTheRollback) {
    const NoDiskSyncs noSyncs;
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.Name);
        GridTables t(k);
        const int failures = Failures();
        int failed = 0;
        for (uint64_t at = 1;; ++at) {
            SCOPED_TRACE("write call " + std::to_string(at));
            t.Restore();
            TEngineErrorCode code = 0;
            uint64_t calls = 0;
            std::vector<CrashRows> expected = t.Before();
            {
                GridDb db(t.Data(), t.Private(), k.PastBudget);
                auto cursors = t.Open(db);
                EXPECT_EQ(t.Change(db, cursors), k.PastBudget);
                const FaultedCall faulted = CallFailingAt(at, FullDiskOrFailedDevice(at), [&] { db.dir->Commit(); });
                code = faulted.Code;
                calls = faulted.Calls;
                if (code == 0) break;
                ++failed;
                EXPECT_EQ(code, KURA_WRITEERR);
                db.dir->Rollback();
                EXPECT_TRUE(fs::is_empty(t.Private()) && OpenFilesIn(t.Private()) == 0);
                EXPECT_EQ(TableFilesOf(ReadFolder(t.Data())), TableFilesOf(t.Pristine()));
                // Where the grid left them, then everything, the same cursors read
                // the table as before.
                for (std::size_t i = 0; i < cursors.size(); ++i) {
                    SCOPED_TRACE("table " + std::to_string(i) + ", the same cursor");
                    ExpectWhereItStood(*cursors[i], GridTables::STOOD, InKeyOrder(expected[i]));
                    ExpectCursorReads(*cursors[i], expected[i]);
                }
                // They edit again, and the commit succeeds.
                std::mt19937 rng(static_cast<uint32_t>(at));
                db.dir->StartTransaction();
                for (std::size_t i = 0; i < cursors.size(); ++i) {
                    std::vector<CrashOp> ops = {NewRecordOp(rng, GridTables::STOOD, CrashOp::Modify),
                                                NewRecordOp(rng, 500, CrashOp::Append),
                                                CrashOp{CrashOp::Delete, 5, {}, {}, 0, 0},
                                                NewRecordOp(rng, 9, CrashOp::Modify)};
                    for (const CrashOp& op : ops) {
                        RunCrashOp(*cursors[i], op);
                        ApplyToModel(expected[i], op);
                    }
                }
                db.dir->Commit();
                for (std::size_t i = 0; i < cursors.size(); ++i) {
                    SCOPED_TRACE("table " + std::to_string(i) + " after the next commit");
                    ExpectCursorReads(*cursors[i], expected[i]);
                }
                // A new cursor (once an exclusive one let go of its table) agrees.
                cursors.clear();
                for (std::size_t i = 0; i < expected.size(); ++i)
                    EXPECT_EQ(CheckTable(*OpenRecordCursor(*db.dir, kTables[i])).Rows, expected[i]) << "a new cursor";
            }
            EXPECT_TRUE(fs::is_empty(t.Private()) && OpenFilesIn(t.Private()) == 0);
            if (at % 4 == 1) {
                EXPECT_EQ(t.Contents(), expected) << "a later program";
            }
            if (calls < at || Failures() > failures) break;
        }
        EXPECT_GT(failed, 4);
    }
}

// A rollback without a failed commit: the cursor stood on a record in an order (or
// a key range) when the program rolled back, and goes on from it in the old table.
TEST(RollbackCursor, ARolledBackCursorGoesOnFromWhereItStoodInTheOldTable) {
    struct Order {
        const char* Name;
        uint8_t IndexNo;
        bool Range;  // codes 2..10 of the primary index
        const char* Filter;
        int32_t Stood;
    };
    const Order orders[] = {{"key order", PRIMARY_INDEX, false, nullptr, GridTables::STOOD},
                            {"natural order", NATURAL_ORDER, false, nullptr, GridTables::STOOD},
                            {"by name", BY_NAME, false, nullptr, GridTables::UNTOUCHED},
                            {"a key range", PRIMARY_INDEX, true, nullptr, GridTables::STOOD},
                            {"a filter", PRIMARY_INDEX, false, "Code <= 10", GridTables::STOOD},
                            {"a filter in natural order", NATURAL_ORDER, false, "Code >= 2", GridTables::STOOD}};
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.Name);
        GridTables t(k);
        const int failures = Failures();
        for (const Order& o : orders) {
            SCOPED_TRACE(o.Name);
            t.Restore();
            GridDb db(t.Data(), t.Private(), k.PastBudget);
            auto cursors = t.Open(db);
            std::vector<std::vector<std::pair<int32_t, std::string>>> sequences;
            // The cursor in the order, on the record it will stand on.
            const auto enter = [&](TDataCursor& c) {
                std::vector<uint8_t> probe = MakeRecord(c, o.Stood, "");
                c.SwitchToIndex(o.IndexNo);
                if (o.Range) {
                    const std::vector<uint8_t> low = MakeRecord(c, 2, "");
                    const std::vector<uint8_t> high = MakeRecord(c, 10, "");
                    c.SetRange(0, low.data(), 1, high.data(), 1);
                }
                if (o.IndexNo != PRIMARY_INDEX) c.SwitchToIndex(PRIMARY_INDEX);
                ASSERT_NE(c.FindKey(0, probe.data(), 1, 0, 0, nullptr), 0);
                if (o.IndexNo != PRIMARY_INDEX) c.SwitchToIndex(o.IndexNo);
                if (o.Filter) c.ActivateFilter(c.AddFilter(o.Filter));
            };
            const auto leave = [&](TDataCursor& c) {
                if (o.Filter) c.DropFilter(nullptr);
                c.ResetRange();
                c.SwitchToIndex(PRIMARY_INDEX);
            };
            for (auto& c : cursors) {
                enter(*c);
                sequences.push_back(ReadSequence(*c));
                leave(*c);
            }
            EXPECT_EQ(t.Change(db, cursors), k.PastBudget);
            for (std::size_t i = 0; i < cursors.size(); ++i) {
                TDataCursor& c = *cursors[i];
                enter(c);
                std::vector<uint8_t> buffer(c.GetCursorRecordSize());
                ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
                ASSERT_EQ(CodeOf(c, buffer), o.Stood);
                // As a grid does: the rows next to the current one, and the count.
                if (c.GetNextRecord(buffer.data()) == 0) c.GetPriorRecord(buffer.data());
                EXPECT_GT(c.GetRecordCount(), 0u);
            }
            db.dir->Rollback();
            for (std::size_t i = 0; i < cursors.size(); ++i) {
                SCOPED_TRACE("table " + std::to_string(i));
                ExpectWhereItStood(*cursors[i], o.Stood, sequences[i]);
                EXPECT_EQ(ReadSequence(*cursors[i]), sequences[i]);
                leave(*cursors[i]);
                ExpectCursorReads(*cursors[i], t.Before()[i]);
            }
            if (Failures() > failures) break;
        }
    }
}

// The record the cursor stood on was appended in the transaction: after the
// rollback it is gone, and the cursor stands next to where it was (or at an end)
// instead of on a record number or key the table no longer has.
TEST(RollbackCursor, ACursorOnARecordTheRollbackTookBackStandsNextToIt) {
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.Name);
        GridTables t(k);
        for (const uint8_t order : {PRIMARY_INDEX, NATURAL_ORDER, BY_NAME}) {
            SCOPED_TRACE("order " + std::to_string(order));
            t.Restore();
            GridDb db(t.Data(), t.Private(), k.PastBudget);
            auto cursors = t.Open(db);
            t.Change(db, cursors);
            for (auto& c : cursors) {
                std::vector<uint8_t> probe = MakeRecord(*c, INITIAL + 1, "");
                ASSERT_NE(c->FindKey(0, probe.data(), 1, 0, 0, nullptr), 0);
                c->SwitchToIndex(order);
            }
            db.dir->Rollback();
            for (std::size_t i = 0; i < cursors.size(); ++i) {
                SCOPED_TRACE("table " + std::to_string(i));
                TDataCursor& c = *cursors[i];
                std::vector<uint8_t> buffer(c.GetCursorRecordSize());
                const TEngineErrorCode current = c.GetCurrentRecord(buffer.data(), false);
                if (current == 0) {
                    EXPECT_EQ(t.Before()[i].count(CodeOf(c, buffer)), 1u) << CodeOf(c, buffer);
                } else {
                    EXPECT_TRUE(current == KURA_EOF || current == KURA_BOF) << current;
                }
                // Stepping on from there meets old records only, and each once.
                std::set<int32_t> seen;
                for (int n = 0; n < 100 && c.GetNextRecord(buffer.data()) == 0; ++n) {
                    EXPECT_EQ(t.Before()[i].count(CodeOf(c, buffer)), 1u) << CodeOf(c, buffer);
                    EXPECT_TRUE(seen.insert(CodeOf(c, buffer)).second) << CodeOf(c, buffer);
                }
                c.SwitchToIndex(PRIMARY_INDEX);
                ExpectCursorReads(c, t.Before()[i]);
            }
        }
    }
}

}  // namespace
