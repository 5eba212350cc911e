// Record reads and writes, record locks, bookmarks and transactions, run on a local
// session and through the loopback test server: every mode must give what a local
// reference cursor on the same files gives.
#include <gtest/gtest.h>

#include <map>

#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

int32_t IdOf(TDataCursor& c, const std::vector<uint8_t>& record) {
    uint8_t v[8] = {};
    bool blank = true;
    c.GetField(1, record.data(), v, blank);
    return blank ? -1 : GetI32(v);
}

std::string NameOf(TDataCursor& c, const std::vector<uint8_t>& record) {
    char v[32] = {};
    bool blank = true;
    c.GetField(2, record.data(), v, blank);
    return blank ? "" : std::string(v);
}

// The ids of the table in index order, through any cursor. A cursor of another
// session (another program) reads the files afresh first.
std::vector<int32_t> Ids(TDataCursor& c) {
    if (!c.IsRemote()) c.Refresh();
    std::vector<int32_t> ids;
    std::vector<uint8_t> record(c.GetCursorRecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) ids.push_back(IdOf(c, record));
    return ids;
}

class RecordModes : public LocalOrRemoteCursor {
protected:
    // Lock waits kept short; the protocol as given, on both ends of a remote session.
    void UseLocks(uint8_t protocol) {
        session.SetLockProtocol(protocol);
        session.SetLockRetryCount(1);
        session.SetLockWaitTime(10);
        if (Remote()) session.SendSessionParams();
    }
    std::vector<uint8_t> Record(TDataCursor& c) { return std::vector<uint8_t>(c.GetCursorRecordSize()); }
    // Reads the record with the id into record, the cursor standing on it.
    void Seek(TDataCursor& c, int32_t id, std::vector<uint8_t>& record) {
        ASSERT_TRUE(SeekRecordById(c, 1, id, record)) << id;
    }
    // Against every server version (below).
    void PessimisticLocks();
};

// Cancelling needs its own request from server 3.09; BLOBs stay with the client from 3.11.
class RecordModesNewServer : public RecordModes {
protected:
    RecordModesNewServer() { ServerVersion = 31100; }
};

void AppendModifyDelete(RecordModes& t, TDataCursor& c, TDataCursor& ref) {
    (void)t;
    std::vector<uint8_t> record(c.GetCursorRecordSize());
    RecordImage image(c);
    image.Int(1, 25).Text(2, "New");
    c.AppendRecord(image.data(), true);
    // The new record is the current one.
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), 0);
    EXPECT_EQ(IdOf(c, record), 25);
    EXPECT_EQ(Ids(ref), (std::vector<int32_t>{10, 20, 25, 30}));

    ASSERT_TRUE(SeekRecordById(c, 1, 20, record));
    ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
    std::vector<uint8_t> changed = record;
    c.PutField(2, changed.data(), "Changed");
    c.ModifyRecord(changed.data(), true, true);
    std::vector<uint8_t> seen(ref.GetCursorRecordSize());
    ref.Refresh();
    ASSERT_TRUE(SeekRecordById(ref, 1, 20, seen));
    EXPECT_EQ(NameOf(ref, seen), "Changed");

    // A key change moves the record in the index order.
    ASSERT_TRUE(SeekRecordById(c, 1, 10, record));
    ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
    changed = record;
    uint8_t id[4];
    PutI32(id, 35);
    c.PutField(1, changed.data(), id);
    c.ModifyRecord(changed.data(), true, true);
    EXPECT_EQ(Ids(ref), (std::vector<int32_t>{20, 25, 30, 35}));

    ASSERT_TRUE(SeekRecordById(c, 1, 25, record));
    c.DeleteRecord(record.data(), true);
    EXPECT_EQ(Ids(ref), (std::vector<int32_t>{20, 30, 35}));
    EXPECT_EQ(Ids(c), (std::vector<int32_t>{20, 30, 35}));
    EXPECT_EQ(c.GetRecordCount(), 3u);
    // The freed slot is taken again by the next append, and its lock was let go.
    image.Int(1, 40).Text(2, "Again");
    c.AppendRecord(image.data(), true);
    EXPECT_EQ(Ids(ref), (std::vector<int32_t>{20, 30, 35, 40}));
    // A duplicate primary key is refused.
    EXPECT_EQ(EngineErrorOf([&] { c.AppendRecord(image.data(), true); }), KURA_KEYVIOL);
}

}  // namespace

TEST_P(RecordModes, AppendModifyDeleteAsTheLocalEngineDoes) {
    MakeStaff("STAFF", 3);
    AppendModifyDelete(*this, Open("STAFF"), Reference("STAFF"));
}

TEST_P(RecordModesNewServer, AppendModifyDeleteAsTheLocalEngineDoes) {
    MakeStaff("STAFF", 3);
    AppendModifyDelete(*this, Open("STAFF"), Reference("STAFF"));
}

TEST_P(RecordModes, ReadsReportTheirPositionAndZeroTheBuffer) {
    MakeStaff("EMPTY", 0);
    TDataCursor& empty = Open("EMPTY");
    std::vector<uint8_t> record(empty.GetCursorRecordSize(), 0xEE);
    EXPECT_EQ(empty.GetCurrentRecord(record.data(), false), KURA_NOCURRREC);
    EXPECT_EQ(record, std::vector<uint8_t>(record.size(), 0));
    EXPECT_EQ(empty.GetCurrentRecord(nullptr, false), KURA_NOCURRREC);

    MakeStaff("STAFF", 6);
    TDataCursor& c = Open("STAFF");
    record = Record(c);
    std::fill(record.begin(), record.end(), 0xEE);
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), KURA_BOF);
    EXPECT_EQ(record, std::vector<uint8_t>(record.size(), 0));
    c.SetToEnd();
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), KURA_EOF);
    EXPECT_EQ(c.GetPriorRecord(record.data()), 0);
    EXPECT_EQ(IdOf(c, record), 60);
    EXPECT_EQ(c.GetCurrentRecord(nullptr, false), 0);

    // Record blocks: as many as there are, then the end.
    struct Case {
        int32_t skip, wanted, read;
        TEngineErrorCode result;
        int32_t firstId;
    };
    for (const Case& k : std::vector<Case>{{0, 4, 4, 0, 10}, {3, 5, 3, KURA_EOF, 40}, {2, 0, 0, 0, 0},
                                           {6, 2, 0, KURA_EOF, 0}, {1, 5, 5, 0, 20}}) {
        c.SetToBegin();
        for (int32_t i = 0; i < k.skip; ++i) ASSERT_EQ(c.GetNextRecord(nullptr), 0);
        int32_t count = k.wanted;
        std::vector<uint8_t> block((k.wanted + 1) * c.GetCursorRecordSize(), 0xEE);
        EXPECT_EQ(c.ReadRecordBlock(count, block.data()), k.result) << k.skip << "/" << k.wanted;
        EXPECT_EQ(count, k.read);
        if (k.read > 0) {
            std::vector<uint8_t> first(block.begin(), block.begin() + c.GetCursorRecordSize());
            std::vector<uint8_t> last(block.begin() + (k.read - 1) * c.GetCursorRecordSize(),
                                      block.begin() + k.read * c.GetCursorRecordSize());
            EXPECT_EQ(IdOf(c, first), k.firstId);
            EXPECT_EQ(IdOf(c, last), k.firstId + 10 * (k.read - 1));
            // The cursor stands on the last record read, or after it at the end.
            EXPECT_EQ(c.GetCurrentRecord(record.data(), false), k.result);
            if (k.result == 0) {
                EXPECT_EQ(record, last);
            }
        }
        // The next step goes on from where the block ended.
        if (k.result == 0 && k.read > 0 && k.firstId + 10 * k.read <= 60) {
            ASSERT_EQ(c.GetNextRecord(record.data()), 0);
            EXPECT_EQ(IdOf(c, record), k.firstId + 10 * k.read);
        }
    }

    // A copy of the current record has its fields.
    ASSERT_TRUE(SeekRecordById(c, 1, 30, record));
    std::vector<uint8_t> copy = Record(c);
    EXPECT_EQ(c.CloneCurrentRecord(copy.data()), 0);
    EXPECT_EQ(IdOf(c, copy), 30);
    EXPECT_EQ(NameOf(c, copy), "N30");
}

TEST_P(RecordModes, PessimisticLocksKeepASecondEditorOut) { PessimisticLocks(); }
TEST_P(RecordModesNewServer, PessimisticLocksKeepASecondEditorOut) { PessimisticLocks(); }

void RecordModes::PessimisticLocks() {
    MakeStaff("STAFF", 3);
    UseLocks(lpPessimistic);
    TDataCursor& a = Open("STAFF");
    TDataCursor& b = Open("STAFF");
    std::vector<uint8_t> ra = Record(a);
    std::vector<uint8_t> rb = Record(b);
    Seek(a, 20, ra);
    Seek(b, 20, rb);
    ASSERT_EQ(a.GetCurrentRecord(ra.data(), true), 0);
    EXPECT_EQ(a.GetLockedRecordNo(), 2u);
    EXPECT_EQ(EngineErrorOf([&] { b.GetCurrentRecord(rb.data(), true); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(EngineErrorOf([&] { b.DeleteRecord(rb.data(), false); }), KURA_RECLOCKFAILED);
    // Another session (another program) cannot lock it either.
    TDataCursor& other = Reference("STAFF");
    std::vector<uint8_t> ro = Record(other);
    Seek(other, 20, ro);
    maker_session.SetLockRetryCount(1);
    maker_session.SetLockWaitTime(10);
    EXPECT_EQ(EngineErrorOf([&] { other.GetCurrentRecord(ro.data(), true); }), KURA_RECLOCKFAILED);

    // The lock ends with the cancel; then the other cursor may edit.
    a.CancelRecord();
    EXPECT_EQ(a.GetLockedRecordNo(), 0u);
    ASSERT_EQ(b.GetCurrentRecord(rb.data(), true), 0);
    b.PutField(2, rb.data(), "ByB");
    b.ModifyRecord(rb.data(), true, false);
    EXPECT_EQ(b.GetLockedRecordNo(), 0u);
    // The first cursor's copy is out of date: its lock attempt says so and holds nothing.
    EXPECT_EQ(EngineErrorOf([&] { a.GetCurrentRecord(ra.data(), true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(a.GetLockedRecordNo(), 0u);
    ASSERT_EQ(a.GetCurrentRecord(ra.data(), false), 0);
    EXPECT_EQ(NameOf(a, ra), "ByB");

    // A lock held by another session keeps this one out until it is released.
    Seek(other, 30, ro);
    ASSERT_EQ(other.GetCurrentRecord(ro.data(), true), 0);
    Seek(a, 30, ra);
    EXPECT_EQ(EngineErrorOf([&] { a.GetCurrentRecord(ra.data(), true); }), KURA_RECLOCKFAILED);
    other.CancelRecord();
    ASSERT_EQ(a.GetCurrentRecord(ra.data(), true), 0);
    a.DeleteRecord(ra.data(), false);
    EXPECT_EQ(a.GetLockedRecordNo(), 0u);
    EXPECT_EQ(Ids(other), (std::vector<int32_t>{10, 20}));
}

TEST_P(RecordModesNewServer, OptimisticEditsLoseToTheFirstPost) {
    MakeStaff("STAFF", 3);
    UseLocks(lpOptimistic);
    TDataCursor& a = Open("STAFF");
    TDataCursor& b = Open("STAFF");
    std::vector<uint8_t> ra = Record(a);
    std::vector<uint8_t> rb = Record(b);
    Seek(a, 10, ra);
    Seek(b, 10, rb);
    ASSERT_EQ(a.GetCurrentRecord(ra.data(), true), 0);
    ASSERT_EQ(b.GetCurrentRecord(rb.data(), true), 0);
    a.PutField(2, ra.data(), "ByA");
    a.ModifyRecord(ra.data(), true, false);
    b.PutField(2, rb.data(), "ByB");
    EXPECT_EQ(EngineErrorOf([&] { b.ModifyRecord(rb.data(), true, false); }), KURA_KEYORRECDELETED);
    // Until it cancels, every post of the second editor fails.
    ASSERT_EQ(b.GetCurrentRecord(rb.data(), false), 0);
    b.PutField(2, rb.data(), "ByB");
    EXPECT_EQ(EngineErrorOf([&] { b.ModifyRecord(rb.data(), true, false); }), KURA_KEYORRECDELETED);
    b.CancelRecord();
    // An edit begun on an old copy fails at once; on the current one it goes through.
    EXPECT_EQ(EngineErrorOf([&] { b.GetCurrentRecord(rb.data(), true); }), KURA_KEYORRECDELETED);
    ASSERT_EQ(b.GetCurrentRecord(rb.data(), false), 0);
    ASSERT_EQ(b.GetCurrentRecord(rb.data(), true), 0);
    EXPECT_EQ(NameOf(b, rb), "ByA");
    b.PutField(2, rb.data(), "ByB");
    b.ModifyRecord(rb.data(), true, false);
    TDataCursor& ref = Reference("STAFF");
    std::vector<uint8_t> seen = Record(ref);
    ref.Refresh();
    Seek(ref, 10, seen);
    EXPECT_EQ(NameOf(ref, seen), "ByB");
}

TEST_P(RecordModes, CancelGoesToTheServerAsItsVersionAllows) {
    if (!Remote()) GTEST_SKIP() << "a wire matter";
    MakeStaff("STAFF", 2);
    UseLocks(lpPessimistic);
    for (const int64_t version : {30400, 30900}) {
        server->Version = version;
        session.Disconnect();
        session.Connect();
        session.Login();
        session.SendSessionParams();
        TDataCursor& c = Open("STAFF");
        std::vector<uint8_t> record = Record(c);
        Seek(c, 10, record);
        ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
        const size_t before = server->Requests().size();
        c.CancelRecord();
        EXPECT_EQ(c.GetLockedRecordNo(), 0u);
        const std::vector<TServerRequest> seen = server->Requests(before + 1);
        ASSERT_GT(seen.size(), before);
        EXPECT_EQ(seen[before].Code, version < 30900 ? REQUEST_WRITEUNLOCKRECORD : REQUEST_CANCELRECORD);
        // Either way the record is free again on the server.
        TDataCursor& d = Open("STAFF");
        std::vector<uint8_t> other = Record(d);
        Seek(d, 10, other);
        EXPECT_EQ(d.GetCurrentRecord(other.data(), true), 0);
        d.CancelRecord();
        c.CloseCursor(false);
        d.CloseCursor(false);
    }
}

TEST_P(RecordModes, BookmarksAndOtherCursorsPlaces) {
    MakeStaff("STAFF", 5);
    TDataCursor& c = Open("STAFF");
    TDataCursor& d = Open("STAFF");
    std::vector<uint8_t> record = Record(c);
    for (const bool byName : {false, true}) {
        if (byName) {
            // Only the local cursor selects indexes here; the remote one stays in Id order.
            if (Remote()) continue;
            c.SetIndexName("ByName");
        }
        Seek(c, 30, record);
        const TCursorBookmark mark = c.GetBookmark();
        EXPECT_EQ(mark.size(), c.GetKeySize());
        c.SetToEnd();
        EXPECT_TRUE(c.SetToBookmark(mark, false, false));
        ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
        EXPECT_EQ(IdOf(c, record), 30);
        EXPECT_EQ(c.CompareBookmarks(mark, c.GetBookmark()), 0);
        // The other cursor takes this one's place.
        d.SetToBegin();
        EXPECT_EQ(d.SetToCursor(c), 0);
        ASSERT_EQ(d.GetCurrentRecord(record.data(), false), 0);
        EXPECT_EQ(IdOf(d, record), 30);
        ASSERT_EQ(d.GetNextRecord(record.data()), 0);
        EXPECT_EQ(IdOf(d, record), 40);
    }
    // A deleted record's bookmark finds only its neighbour.
    Seek(c, 20, record);
    const TCursorBookmark gone = c.GetBookmark();
    c.DeleteRecord(record.data(), true);
    EXPECT_FALSE(c.SetToBookmark(gone, false, false));
    EXPECT_TRUE(c.SetToBookmark(gone, true, false));
    ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
    EXPECT_EQ(IdOf(c, record), 30);
}

TEST_P(RecordModes, TransactionsKeepOrDropTheirRecords) {
    MakeStaff("STAFF", 2);
    TDataCursor& c = Open("STAFF");
    RecordImage image(c);
    dir->StartTransaction();
    image.Int(1, 30).Text(2, "Kept");
    c.AppendRecord(image.data(), true);
    dir->Commit();
    dir->StartTransaction();
    image.Int(1, 40).Text(2, "Dropped");
    c.AppendRecord(image.data(), true);
    std::vector<uint8_t> record = Record(c);
    Seek(c, 10, record);
    c.DeleteRecord(record.data(), true);
    EXPECT_EQ(Ids(c), (std::vector<int32_t>{20, 30, 40}));
    dir->Rollback();
    c.Refresh();
    EXPECT_EQ(Ids(c), (std::vector<int32_t>{10, 20, 30}));
    EXPECT_EQ(Ids(Reference("STAFF")), (std::vector<int32_t>{10, 20, 30}));
}

TEST_P(RecordModes, FlushBuffersWritesForOtherPrograms) {
    MakeStaff("STAFF", 1);
    TDataCursor& c = Open("STAFF");
    RecordImage image(c);
    image.Int(1, 20).Text(2, "Two");
    c.AppendRecord(image.data(), false);
    c.FlushBuffers(true, true, true, true, false);
    EXPECT_EQ(Ids(Reference("STAFF")), (std::vector<int32_t>{10, 20}));
}

INSTANTIATE_LOCAL_AND_REMOTE(RecordModes);
INSTANTIATE_LOCAL_AND_REMOTE(RecordModesNewServer);

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace

// The record read request as it goes over a LAN connection, byte for byte.
TEST_P(RecordModes, RecordReadRequestOnTheWire) {
    if (GetParam() != TCursorMode::RemoteLan) GTEST_SKIP() << "one wire form";
    MakeStaff("STAFF", 2);
    TDataCursor& c = Open("STAFF");
    std::vector<uint8_t> record = Record(c);
    ASSERT_EQ(c.GetNextRecord(record.data()), 0);
    ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
    const std::vector<TServerRequest> seen = server->Requests();
    ASSERT_FALSE(seen.empty());
    ASSERT_EQ(seen.back().Code, REQUEST_GETCURRECORD);
    const std::string golden = std::string("52000000" "1800" "48000000")  // size 82, code 24, payload 72
                               + "04000000" "02000000"                  // the cursor's server handle
                               + "05000000" "018000000a"                // current key: Id 10
                               + "01000000" "00" + "01000000" "00"      // not BOF, not EOF
                               + "24000000"                             // the caller's record, 36 bytes:
                               + "00" "01000000" "01000000"             //   live, record 1, auto-increment 1
                               + "01" "0a000000"                        //   Id 10
                               + "01" "4e313000" + std::string(34, '0') //   Name "N10", zero-filled
                               + "01000000" "01";                       // lock
    EXPECT_EQ(Hex(seen.back().Wire), golden);
}

// Random appends, renames and deletes against a model of the table: every mode ends
// with the same records, read through the cursor itself and through a local reader.
TEST_P(RecordModes, RandomEditsMatchAModel) {
    MakeStaff("STAFF", 0);
    TDataCursor& c = Open("STAFF");
    std::map<int32_t, std::string> model;
    uint32_t x = 12345;
    auto next = [&](uint32_t n) {
        x = x * 1103515245u + 12345u;
        return (x >> 16) % n;
    };
    std::vector<uint8_t> record = Record(c);
    for (int step = 0; step < 80; ++step) {
        const int32_t id = static_cast<int32_t>(1 + next(30));
        const std::string name = "R" + std::to_string(step);
        const uint32_t op = next(3);
        SCOPED_TRACE(::testing::Message() << "step " << step << " op " << op << " id " << id);
        if (op == 0 || model.empty()) {
            RecordImage image(c);
            image.Int(1, id).Text(2, name);
            const TEngineErrorCode error = EngineErrorOf([&] { c.AppendRecord(image.data(), true); });
            EXPECT_EQ(error, model.count(id) ? KURA_KEYVIOL : 0);
            if (!error) model[id] = name;
            continue;
        }
        auto it = model.lower_bound(id);
        if (it == model.end()) it = model.begin();
        ASSERT_TRUE(SeekRecordById(c, 1, it->first, record));
        if (op == 1) {
            ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
            c.PutField(2, record.data(), name.c_str());
            c.ModifyRecord(record.data(), true, true);
            it->second = name;
        } else {
            c.DeleteRecord(record.data(), true);
            model.erase(it);
        }
        EXPECT_EQ(c.GetLockedRecordNo(), 0u);
    }
    std::vector<int32_t> ids;
    for (const auto& [id, name] : model) ids.push_back(id);
    EXPECT_EQ(Ids(c), ids);
    TDataCursor& ref = Reference("STAFF");
    EXPECT_EQ(Ids(ref), ids);
    for (const auto& [id, name] : model) {
        ASSERT_TRUE(SeekRecordById(ref, 1, id, record));
        EXPECT_EQ(NameOf(ref, record), name) << id;
    }
    EXPECT_EQ(c.GetRecordCount(), model.size());
}
