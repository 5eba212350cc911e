// The operations a remote cursor refuses with KURA_REMOTECONNECT (11280), every one of
// them in every mode: a local cursor carries each out, a remote one refuses it before
// anything reaches the server, keeps no resources of the refused call (the sanitizers
// would see a leaked filter tree) and stays usable. The README lists the same set.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "engine/files/RecordSort.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

class RemoteRefusals : public LocalOrRemoteCursor {};

struct Refusal {
    const char* Name;
    bool Exclusive;             // the operation needs an exclusive cursor
    bool Closed;                // the operation works on a closed cursor
    bool LocalSucceeds;         // else a local cursor may refuse for a reason of its own
    std::function<void(TDataCursor&)> Run;
};

TIndexDesc DescOf(TDataCursor& c, uint8_t slot) {
    TIndexDesc desc;
    c.GetIndexDesc(slot, desc);
    return desc;
}

const Refusal kRefusals[] = {
    {"step forward one record", false, false, true, [](TDataCursor& c) { c.MoveBy(1); }},
    {"step back one record", false, false, true, [](TDataCursor& c) { c.MoveBy(-1); }},
    {"step by three records", false, false, true, [](TDataCursor& c) { c.MoveBy(3); }},
    {"first key", false, false, true, [](TDataCursor& c) { c.MoveToFirstKey(); }},
    {"last key", false, false, true, [](TDataCursor& c) { c.MoveToLastKey(); }},
    {"index position", false, false, true, [](TDataCursor& c) { c.GotoIndexPosition(2); }},
    {"record number", false, false, true, [](TDataCursor& c) { c.GotoRecordNumber(2); }},
    {"natural order", false, false, true, [](TDataCursor& c) { c.SwitchToIndex(NATURAL_ORDER); }},
    {"deleted-record index", false, false, false, [](TDataCursor& c) { c.SwitchToIndex(SYS_DELETED_SLOT); }},
    {"full-text index", false, false, false, [](TDataCursor& c) { c.SwitchToIndex(SYS_TEXT_SLOT); }},
    {"filter changed in place", false, false, true,
     [](TDataCursor& c) { c.ModifyFilter(c.AddFilter("Id > 10"), "Id > 20"); }},
    {"index deleted by number", true, false, true, [](TDataCursor& c) { c.DeleteIndexByNumber(1, 1); }},
    {"index name lookup", false, false, true, [](TDataCursor& c) { c.IndexNameExists("ByName"); }},
    {"physical sort", true, false, true, [](TDataCursor& c) { c.SortRecords(TSortRequest{}); }},
    {"backup of the table files", false, true, true, [](TDataCursor& c) { c.BackupTableFiles(); }},
    {"backup of the index file", true, false, true, [](TDataCursor& c) { c.BackupIndexFile(); }},
    {"restore of the index file", true, false, true,
     [](TDataCursor& c) {
         c.BackupIndexFile();
         c.RestoreIndexFile(false, true);
     }},
    {"index fields renumbered", true, false, true, [](TDataCursor& c) { c.RenumberIndexFields(); }},
    {"description and password", true, false, true,
     [](TDataCursor& c) { c.SetDescriptionAndPassword("", "staff", 1, 0, c.GetLastAutoIncValue()); }},
    {"index descriptor", true, false, true, [](TDataCursor& c) { c.SetIndexDesc(1, DescOf(c, 1)); }},
    {"index name and fields", true, false, true, [](TDataCursor& c) { c.SetIndexNameAndFields(1, DescOf(c, 1)); }},
    {"last BLOB block", false, false, true, [](TDataCursor& c) { c.GetLastBlobBlockNumber(); }},
    {"key search", false, false, true,
     [](TDataCursor& c) {
         std::vector<uint8_t> key(RANGE_KEY_SIZE, 0);
         c.PositionOnKey(key.data(), 1, 0);
     }},
    {"record numbers of the keys", false, false, true,
     [](TDataCursor& c) {
         std::vector<uint32_t> numbers;
         c.CollectKeyRecordNumbers(numbers, true);
         if (numbers.size() != 5) throw std::runtime_error("not every key");
     }},
};

}  // namespace

TEST_P(RemoteRefusals, EachRefusedOperationAnswers11280RemotelyAndRunsLocally) {
    int n = 0;
    for (const Refusal& r : kRefusals) {
        SCOPED_TRACE(r.Name);
        const std::string table = "T" + std::to_string(++n);
        MakeStaff(table, 5);
        TDataCursor& c = Closed(table);
        c.SetExclusive(r.Exclusive);
        if (!r.Closed) c.OpenCursor();
        const TEngineErrorCode code = EngineErrorOf([&] { r.Run(c); });
        if (Remote()) {
            EXPECT_EQ(code, KURA_REMOTECONNECT);
        } else if (r.LocalSucceeds) {
            EXPECT_EQ(code, 0);
        } else {
            EXPECT_NE(code, KURA_REMOTECONNECT);
        }
        // Refused or done, the cursor goes on serving its table (a local backup of
        // the table files has taken the table away).
        if (r.Closed && !Remote()) continue;
        if (r.Closed) c.OpenCursor();
        c.SetToBegin();
        EXPECT_EQ(c.GetRecordCount(), 5u);
    }
}

INSTANTIATE_LOCAL_AND_REMOTE(RemoteRefusals);
