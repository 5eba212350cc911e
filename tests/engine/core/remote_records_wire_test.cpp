// Record blocks and BLOB bytes as a broken or hostile server may send them: every
// count is held against what the caller asked for and what the frame holds; a reply
// that breaks the rules raises 15002, drops the connection, and the next request
// goes out on a new one.
#include <gtest/gtest.h>

#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

struct RecordsCase {
    const char* what;
    int32_t wanted;
    int32_t count;                   // announced
    std::vector<uint32_t> sizes;     // of the records that follow
    TEngineErrorCode error;
};

}  // namespace

TEST(RemoteRecordBlock, CountsAndSizesAreHeldToTheRequest) {
    const std::vector<RecordsCase> cases = {
        {"whole", 3, 3, {8, 8, 8}, 0},
        {"fewer", 3, 1, {8}, 0},
        {"none", 0, 0, {}, 0},
        {"more than asked", 2, 3, {8, 8, 8}, KURA_UNCOMPRESS},
        {"negative count", 2, -1, {}, KURA_UNCOMPRESS},
        {"short record", 2, 2, {8, 7}, KURA_UNCOMPRESS},
        {"long record", 2, 1, {9}, KURA_UNCOMPRESS},
        {"missing record", 2, 2, {8}, KURA_UNCOMPRESS},
    };
    for (const RecordsCase& k : cases) {
        TRemoteReply reply;
        reply.Load(ReplyFrame([&](TRemoteRequest& r) {
                       r.PutI32(k.count);
                       for (size_t i = 0; i < k.sizes.size(); ++i) {
                           std::vector<uint8_t> record(k.sizes[i], static_cast<uint8_t>(i + 1));
                           r.PutParam(record.data(), k.sizes[i]);
                       }
                   }),
                   false);
        // Exactly room for what was asked: a sanitizer sees any write past it.
        std::vector<uint8_t> dest(static_cast<size_t>(k.wanted) * 8);
        int32_t read = -1;
        EXPECT_EQ(EngineErrorOf([&] { read = ReadRemoteRecords(reply, k.wanted, 8, dest.data()); }), k.error)
            << k.what;
        if (k.error == 0) {
            EXPECT_EQ(read, k.count) << k.what;
            for (int32_t i = 0; i < read; ++i) EXPECT_EQ(dest[static_cast<size_t>(i) * 8], i + 1) << k.what;
        }
    }
}

TEST(RemoteBlobBytes, NeverMoreThanTheDestinationNorOtherThanAnnounced) {
    struct Case {
        const char* what;
        uint32_t capacity, announced, sent;
        TEngineErrorCode error;
    };
    for (const Case& k : std::vector<Case>{{"exact", 5, 5, 5, 0},
                                           {"short read", 5, 3, 3, 0},
                                           {"nothing", 0, 0, 0, 0},
                                           {"past the destination", 4, 5, 5, KURA_UNCOMPRESS},
                                           {"fewer bytes than said", 5, 5, 4, KURA_UNCOMPRESS},
                                           {"more bytes than said", 5, 3, 4, KURA_UNCOMPRESS}}) {
        TRemoteReply reply;
        reply.Load(ReplyFrame([&](TRemoteRequest& r) {
                       r.PutU32(k.announced);
                       std::vector<uint8_t> bytes(k.sent, 0x5A);
                       r.PutParam(bytes.data(), k.sent);
                   }),
                   false);
        std::vector<uint8_t> dest(k.capacity);
        uint32_t read = 0;
        EXPECT_EQ(EngineErrorOf([&] { read = ReadRemoteBlobBytes(reply, dest.data(), k.capacity); }), k.error)
            << k.what;
        if (k.error == 0) {
            EXPECT_EQ(read, k.announced) << k.what;
        }
    }
}

namespace {

class RecordWire : public LocalOrRemoteCursor {
protected:
    RecordWire() { ServerVersion = 31100; }
    // Answers the first request of the code with the frame instead of the real reply.
    void BreakNext(uint16_t code, std::vector<uint8_t> frame) {
        auto sent = std::make_shared<bool>(false);
        server->SetScript([code, frame, sent](const TServerRequest& req) {
            TServerAction a;
            if (req.Code == code && !*sent) {
                *sent = true;
                a.Fault = TFault::Raw;
                a.Raw = frame;
            }
            return a;
        });
    }
};

}  // namespace

TEST_P(RecordWire, BrokenRecordBlocksAndBlobContentsDropTheConnection) {
    if (GetParam() != TCursorMode::RemoteLan) GTEST_SKIP() << "raw frames go out uncompressed";
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    const uint16_t size = c.GetCursorRecordSize();

    // Four records for a block of two.
    BreakNext(REQUEST_READRECORDBLOCK, ReplyFrame([&](TRemoteRequest& r) {
                  r.PutU16(0);
                  PutCursorState(r, ref);
                  r.PutI32(4);
                  std::vector<uint8_t> record(size);
                  for (int i = 0; i < 4; ++i) r.PutParam(record.data(), size);
              }));
    std::vector<uint8_t> block(2 * size);
    int32_t count = 2;
    const int connection = server->Requests().back().Connection;
    EXPECT_EQ(EngineErrorOf([&] { c.ReadRecordBlock(count, block.data()); }), KURA_UNCOMPRESS);
    server->SetScript(nullptr);
    count = 2;
    EXPECT_EQ(c.ReadRecordBlock(count, block.data()), 0);
    EXPECT_EQ(count, 2);
    EXPECT_GT(server->Requests().back().Connection, connection);

    // A record of another size in a current-record reply.
    BreakNext(REQUEST_GETCURRECORD, ReplyFrame([&](TRemoteRequest& r) {
                  r.PutU16(0);
                  PutCursorState(r, ref);
                  std::vector<uint8_t> record(size + 1);
                  r.PutParam(record.data(), size + 1);
              }));
    std::vector<uint8_t> record(size);
    EXPECT_EQ(EngineErrorOf([&] { c.GetCurrentRecord(record.data(), false); }), KURA_UNCOMPRESS);
    server->SetScript(nullptr);
    c.SetToBegin();
    EXPECT_EQ(c.GetNextRecord(record.data()), 0);
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), 0);

    // BLOB content that is not as long as announced.
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Notes", fldBLOB).SetSubType(fldstBINARY);
    b.Primary({1});
    TDataTable* table = nullptr;
    ASSERT_EQ(maker->CreateTable(table, "NOTES", false, false, b.Def), 0);
    maker->CloseTable(table, false, false, false);
    TDataCursor& notes = Open("NOTES");
    std::vector<uint8_t> row(notes.GetCursorRecordSize(), 0);
    uint8_t stored[4] = {7, 0, 0, 0};  // a chain reference: the content follows the reply
    notes.PutField(2, row.data(), stored, true);
    BreakNext(REQUEST_OPENBLOB, ReplyFrame([&](TRemoteRequest& r) {
                  r.PutU16(0);
                  std::vector<uint8_t> reply = row;
                  uint8_t handle[4] = {0xFE, 0xFF, 0xFF, 0xFF};
                  notes.PutField(2, reply.data(), handle, true);
                  r.PutParam(reply.data(), static_cast<uint32_t>(reply.size()));
                  r.PutU32(5);
                  r.PutParam("abc", 3);
              }));
    uint32_t blobSize = 0;
    EXPECT_EQ(EngineErrorOf([&] { notes.OpenBlob(2, row.data(), 2, false, true, blobSize); }), KURA_UNCOMPRESS);
    server->SetScript(nullptr);
    // Nothing half-opened stays behind.
    EXPECT_TRUE(notes.FOpenBlobs.empty());
    c.SetToEnd();
    EXPECT_EQ(c.GetPriorRecord(record.data()), 0);
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), 0);
}

// The server's references to the BLOBs of a copied record are its own numbers: one
// that happens to equal the handle of a BLOB the client has open is still a new BLOB.
TEST_P(RecordWire, ServerBlobReferencesNeverNameTheClientsBlobs) {
    if (GetParam() != TCursorMode::RemoteLan) GTEST_SKIP() << "raw frames go out uncompressed";
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Notes", fldBLOB).SetSubType(fldstBINARY);
    b.Primary({1});
    TDataTable* table = nullptr;
    ASSERT_EQ(maker->CreateTable(table, "NOTES", false, false, b.Def), 0);
    maker->CloseTable(table, false, false, false);
    TDataCursor& c = Open("NOTES");
    TDataCursor& ref = Reference("NOTES");
    std::vector<uint8_t> mine(c.GetCursorRecordSize(), 0);
    uint32_t size = 0;
    ASSERT_EQ(c.OpenBlob(2, mine.data(), 2, false, true, size), 0);
    ASSERT_EQ(c.PutBlob(2, mine.data(), 0, "mine", 4, false), 0);
    // The copy's field carries the number of the client's own open BLOB.
    uint8_t handle[256] = {};
    bool blank = true;
    c.GetField(2, mine.data(), handle, blank);
    std::vector<uint8_t> copy = mine;
    BreakNext(REQUEST_CLONECURRECORD, ReplyFrame([&](TRemoteRequest& r) {
                  r.PutU16(0);
                  PutCursorState(r, ref);
                  r.PutParam(copy.data(), static_cast<uint32_t>(copy.size()));
                  r.PutU32(3);
                  r.PutParam("abc", 3);
              }));
    std::vector<uint8_t> clone(c.GetCursorRecordSize(), 0);
    ASSERT_EQ(c.CloneCurrentRecord(clone.data()), 0);
    server->SetScript(nullptr);
    EXPECT_EQ(c.FOpenBlobs.size(), 2u);
    ASSERT_EQ(c.GetBlobSize(2, clone.data(), size, false), 0);
    EXPECT_EQ(size, 3u);
    ASSERT_EQ(c.GetBlobSize(2, mine.data(), size, false), 0);
    EXPECT_EQ(size, 4u);
}

INSTANTIATE_LOCAL_AND_REMOTE(RecordWire);
