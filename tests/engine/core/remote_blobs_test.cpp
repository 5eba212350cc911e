// Cursor BLOBs on a local session and through the loopback test server, against a
// server that keeps open BLOBs itself (before 3.11) and one that leaves them to the
// client: open, read, write, truncate, free and post give the same everywhere, and
// what is posted is what a local reader finds in the files.
#include <gtest/gtest.h>

#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

constexpr uint16_t F_ID = 1;
constexpr uint16_t F_NAME = 2;
constexpr uint16_t F_NOTES = 3;
constexpr uint8_t RW = 2;

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : bytes) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

class BlobModes : public LocalOrRemoteCursor {
protected:
    void MakeNotes(const std::string& name) {
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 20);
        b.Field("Notes", fldBLOB).SetSubType(fldstBINARY);
        b.Primary({F_ID});
        TDataTable* table = nullptr;
        ASSERT_EQ(maker->CreateTable(table, name, false, false, b.Def), 0);
        maker->CloseTable(table, false, false, false);
    }
    std::vector<uint8_t> NewRecord(TDataCursor& c, int32_t id) {
        std::vector<uint8_t> record(c.GetCursorRecordSize(), 0);
        uint8_t v[8] = {};
        PutI32(v, id);
        c.PutField(F_ID, record.data(), v);
        c.PutField(F_NAME, record.data(), "Name");
        return record;
    }
    // The stored content, as a local reader of the files finds it.
    std::vector<uint8_t> Stored(int32_t id) {
        TDataCursor& ref = Reference("NOTES");
        std::vector<uint8_t> record;
        if (!SeekRecordById(ref, F_ID, id, record)) return {0xFF};
        uint32_t size = 0;
        EXPECT_EQ(ref.OpenBlob(F_NOTES, record.data(), RW, false, false, size), 0);
        std::vector<uint8_t> bytes(size);
        uint32_t read = 0;
        if (size > 0) {
            EXPECT_EQ(ref.GetBlob(F_NOTES, record.data(), 0, bytes.data(), size, read, false), 0);
        }
        EXPECT_EQ(ref.FreeBlob(F_NOTES, record.data(), false), 0);
        ref.CloseCursor(false);
        return bytes;
    }
    std::vector<uint8_t> Read(TDataCursor& c, std::vector<uint8_t>& record) {
        uint32_t size = 0;
        EXPECT_EQ(c.GetBlobSize(F_NOTES, record.data(), size, false), 0);
        std::vector<uint8_t> bytes(size);
        uint32_t read = 0;
        if (size > 0) {
            EXPECT_EQ(c.GetBlob(F_NOTES, record.data(), 0, bytes.data(), size, read, false), 0);
        }
        EXPECT_EQ(read, size);
        return bytes;
    }
    // The same steps against every server (below).
    void WriteReadTruncateFreeAndPost();
    void CancelledRecordsLeaveNoOpenBlobs();
};

class BlobModesNewServer : public BlobModes {
protected:
    BlobModesNewServer() { ServerVersion = 31100; }
};

// From 3.27 each uploaded BLOB carries a flag byte after its reference.
class BlobModesFlagServer : public BlobModes {
protected:
    BlobModesFlagServer() { ServerVersion = 33000; }
};


}  // namespace

void BlobModes::WriteReadTruncateFreeAndPost() {
    MakeNotes("NOTES");
    TDataCursor& c = Open("NOTES");
    const std::vector<uint8_t> big = Pattern(1 << 20, 7);

    // A new record with a BLOB of a mebibyte.
    std::vector<uint8_t> record = NewRecord(c, 1);
    uint32_t size = 99;
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 0, big.data(), static_cast<uint32_t>(big.size()), false), 0);
    c.AppendRecord(record.data(), true);
    EXPECT_EQ(Stored(1), big);

    // A second record, with a small BLOB written at an offset into an empty one.
    record = NewRecord(c, 2);
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 10, "abc", 3, false), 0);
    ASSERT_EQ(c.GetBlobSize(F_NOTES, record.data(), size, false), 0);
    EXPECT_EQ(size, 13u);
    c.AppendRecord(record.data(), true);
    std::vector<uint8_t> expected(13, 0);
    std::memcpy(expected.data() + 10, "abc", 3);
    EXPECT_EQ(Stored(2), expected);

    // Reading back through the cursor, whole and in part.
    ASSERT_TRUE(SeekRecordById(c, F_ID, 1, record));
    ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    EXPECT_EQ(size, big.size());
    EXPECT_EQ(Read(c, record), big);
    std::vector<uint8_t> tail(100, 0xEE);
    uint32_t read = 0;
    EXPECT_EQ(c.GetBlob(F_NOTES, record.data(), size - 10, tail.data(), 100, read, false), KURA_ENDOFBLOB);
    EXPECT_EQ(read, 10u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 10, big.end() - 10));
    // Opened twice through the same buffer: one BLOB, two frees.
    uint32_t again = 0;
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, again), 0);
    EXPECT_EQ(again, size);
    ASSERT_EQ(c.FreeBlob(F_NOTES, record.data(), false), 0);

    // Overwritten in the middle and cut short, then posted.
    ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 2, "XY", 2, false), 0);
    ASSERT_EQ(c.TruncateBlob(F_NOTES, record.data(), 6, false), 0);
    std::vector<uint8_t> cut(big.begin(), big.begin() + 6);
    cut[2] = 'X';
    cut[3] = 'Y';
    EXPECT_EQ(Read(c, record), cut);
    c.ModifyRecord(record.data(), true, true);
    EXPECT_EQ(Stored(1), cut);
    // BLOBs that went with the record are gone from the cursor, on both ends.
    EXPECT_TRUE(c.FOpenBlobs.empty());
    EXPECT_EQ(c.GetBlobSize(F_NOTES, record.data(), size, false), KURA_INVALIDBLOBHANDLE);

    // Changes freed before the post are lost; the record keeps its BLOB.
    ASSERT_TRUE(SeekRecordById(c, F_ID, 2, record));
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, false, size), 0);
    ASSERT_EQ(c.TruncateBlob(F_NOTES, record.data(), 0, false), 0);
    bool blank = false;
    c.GetField(F_NOTES, record.data(), nullptr, blank);
    EXPECT_TRUE(blank);
    ASSERT_EQ(c.FreeBlob(F_NOTES, record.data(), false), 0);
    EXPECT_EQ(Stored(2), expected);

    // A copy of the record copies its BLOB.
    std::vector<uint8_t> copy(c.GetCursorRecordSize());
    ASSERT_EQ(c.CloneCurrentRecord(copy.data()), 0);
    uint8_t id[4];
    PutI32(id, 3);
    c.PutField(F_ID, copy.data(), id);
    c.AppendRecord(copy.data(), true);
    EXPECT_EQ(Stored(3), expected);

    // Truncated to nothing and posted: the field is blank and the chain freed.
    ASSERT_TRUE(SeekRecordById(c, F_ID, 2, record));
    ASSERT_EQ(c.GetCurrentRecord(record.data(), true), 0);
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    ASSERT_EQ(c.TruncateBlob(F_NOTES, record.data(), 0, false), 0);
    c.ModifyRecord(record.data(), true, true);
    EXPECT_EQ(Stored(2), std::vector<uint8_t>{});
    EXPECT_EQ(Stored(3), expected);

    // Deleting a record with a BLOB.
    ASSERT_TRUE(SeekRecordById(c, F_ID, 1, record));
    c.DeleteRecord(record.data(), true);
    EXPECT_EQ(Stored(1), std::vector<uint8_t>{0xFF});

    // Wrong fields and closed BLOBs.
    ASSERT_TRUE(SeekRecordById(c, F_ID, 3, record));
    EXPECT_EQ(c.OpenBlob(F_NAME, record.data(), RW, false, true, size), KURA_NOTABLOB);
    EXPECT_EQ(c.GetBlobSize(F_NAME, record.data(), size, false), KURA_NOTABLOB);
    EXPECT_EQ(c.GetBlobSize(F_NOTES, record.data(), size, false), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(c.FreeBlob(F_NOTES, record.data(), false), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(c.TruncateBlob(F_NOTES, record.data(), 1, false), KURA_INVALIDBLOBHANDLE);
    // Everything left open goes at once.
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, false, size), 0);
    c.FreeAllBlobs(true);
    EXPECT_EQ(c.GetBlobSize(F_NOTES, record.data(), size, false), KURA_INVALIDBLOBHANDLE);
}

TEST_P(BlobModes, WriteReadTruncateFreeAndPost) { BlobModes::WriteReadTruncateFreeAndPost(); }
TEST_P(BlobModesNewServer, WriteReadTruncateFreeAndPost) { BlobModes::WriteReadTruncateFreeAndPost(); }
TEST_P(BlobModesFlagServer, WriteReadTruncateFreeAndPost) { BlobModes::WriteReadTruncateFreeAndPost(); }

// A cancelled append leaves the server with no open BLOB of it: the next one opens.
TEST_P(BlobModesNewServer, ChangedBlobsTravelWithTheirRecordOnly) {
    MakeNotes("NOTES");
    TDataCursor& c = Open("NOTES");
    std::vector<uint8_t> record = NewRecord(c, 1);
    uint32_t size = 0;
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 0, "first", 5, false), 0);
    c.AppendRecord(record.data(), true);
    // A refused write keeps its changes for the next try.
    record = NewRecord(c, 1);
    ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
    ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 0, "second", 6, false), 0);
    EXPECT_EQ(EngineErrorOf([&] { c.AppendRecord(record.data(), true); }), KURA_KEYVIOL);
    uint8_t id[4];
    PutI32(id, 2);
    c.PutField(F_ID, record.data(), id);
    c.AppendRecord(record.data(), true);
    EXPECT_EQ(Stored(2), std::vector<uint8_t>({'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(Stored(1), std::vector<uint8_t>({'f', 'i', 'r', 's', 't'}));
    if (!Remote()) return;
    // Only open and free went to the server; the content went with the appends.
    for (const TServerRequest& r : server->Requests())
        EXPECT_TRUE(r.Code != REQUEST_PUTBLOB && r.Code != REQUEST_GETBLOB && r.Code != REQUEST_GETBLOBSIZE) << r.Code;
}

INSTANTIATE_LOCAL_AND_REMOTE(BlobModes);
INSTANTIATE_LOCAL_AND_REMOTE(BlobModesNewServer);
INSTANTIATE_LOCAL_AND_REMOTE(BlobModesFlagServer);

// A cancelled new record lets go of its BLOBs, empty ones included, wherever they are
// kept: otherwise every cancelled insert would use up one of the 128 open BLOBs.
void BlobModes::CancelledRecordsLeaveNoOpenBlobs() {
    MakeNotes("NOTES");
    TDataCursor& c = Open("NOTES");
    for (const bool written : {false, true}) {
        std::vector<uint8_t> record = NewRecord(c, 1);
        uint32_t size = 0;
        ASSERT_EQ(c.OpenBlob(F_NOTES, record.data(), RW, false, true, size), 0);
        if (written) {
            ASSERT_EQ(c.PutBlob(F_NOTES, record.data(), 0, "x", 1, false), 0);
        }
        c.DiscardRecordBlobs(record.data());
        EXPECT_TRUE(c.FOpenBlobs.empty()) << written;
        if (server) {
            for (const auto& [handle, cursor] : server->Cursors) EXPECT_TRUE(cursor->FOpenBlobs.empty()) << written;
        }
    }
}

TEST_P(BlobModes, CancelledRecordsLeaveNoOpenBlobs) { CancelledRecordsLeaveNoOpenBlobs(); }
TEST_P(BlobModesNewServer, CancelledRecordsLeaveNoOpenBlobs) { CancelledRecordsLeaveNoOpenBlobs(); }
TEST_P(BlobModesFlagServer, CancelledRecordsLeaveNoOpenBlobs) { CancelledRecordsLeaveNoOpenBlobs(); }
