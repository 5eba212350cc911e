// BLOB fields through the cursor: open, read, write, truncate and free in memory,
// and the values the record writes store, read back after reopening.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "engine/files/BlobBuffer.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

constexpr uint16_t F_ID = 1;
constexpr uint16_t F_NAME = 2;
constexpr uint16_t F_PHOTO = 3;
constexpr uint16_t F_NOTES = 4;
constexpr uint8_t RW = 2;

TTableDefinition BlobTable() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, 20);
    b.Field("Photo", fldBLOB).SetSubType(fldstBINARY);
    b.Field("Notes", fldBLOB).SetSubType(fldstMEMO);
    b.Primary({F_ID});
    return b.Def;
}

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : bytes) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

struct BlobFixture : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;

    void SetUp() override {
        db.Create("PEOPLE", BlobTable());
        c = db.Open("PEOPLE", false);
    }
    std::vector<uint8_t> NewRecord(int32_t id) {
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        uint8_t v[8] = {};
        PutI32(v, id);
        c->PutField(F_ID, rec.data(), v);
        return rec;
    }
    // Appends a record whose Photo holds `content`.
    void AppendWithPhoto(int32_t id, const std::vector<uint8_t>& content) {
        std::vector<uint8_t> rec = NewRecord(id);
        uint32_t size = 99;
        ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), 0);
        ASSERT_EQ(size, 0u);
        ASSERT_EQ(c->PutBlob(F_PHOTO, rec.data(), 0, content.data(), static_cast<uint32_t>(content.size()), false), 0);
        c->AppendRecord(rec.data(), true);
        EXPECT_TRUE(c->FOpenBlobs.empty());
    }
    // Positions on the record with this Id and reads it; with lock it enters edit
    // state as the dataset does it (a plain read first, then the locked one).
    std::vector<uint8_t> Edit(int32_t id, bool lock) {
        std::vector<uint8_t> rec;
        if (!SeekRecordById(*c, F_ID, id, rec)) {
            ADD_FAILURE() << "record " << id << " not found";
        } else if (lock) {
            EXPECT_EQ(c->GetCurrentRecord(rec.data(), true), 0);
        }
        return rec;
    }
    // The Photo of the record with this Id, read through a fresh cursor.
    std::vector<uint8_t> ReadPhoto(TDataCursor& cur, int32_t id) {
        std::vector<uint8_t> rec(cur.GetCursorRecordSize());
        cur.SetToBegin();
        while (cur.GetNextRecord(rec.data()) == 0) {
            uint8_t v[8] = {};
            bool blank = true;
            cur.GetField(F_ID, rec.data(), v, blank);
            if (GetI32(v) != id) continue;
            uint32_t size = 0;
            EXPECT_EQ(cur.OpenBlob(F_PHOTO, rec.data(), RW, false, false, size), 0);
            std::vector<uint8_t> out(size);
            uint32_t read = 0;
            if (size > 0) {
                EXPECT_EQ(cur.GetBlob(F_PHOTO, rec.data(), 0, out.data(), size, read, false), 0);
            }
            EXPECT_EQ(read, size);
            EXPECT_EQ(cur.FreeBlob(F_PHOTO, rec.data(), false, true), 0);
            return out;
        }
        ADD_FAILURE() << "record " << id << " not found";
        return {};
    }
};

TEST_F(BlobFixture, ErrorCodesOfTheCommonCheck) {
    std::vector<uint8_t> rec = NewRecord(1);
    uint32_t size = 0;
    uint32_t read = 7;
    uint8_t byte = 0;
    EXPECT_EQ(c->OpenBlob(F_NAME, rec.data(), RW, false, true, size), KURA_NOTABLOB);
    EXPECT_EQ(c->GetBlob(F_NAME, rec.data(), 0, &byte, 1, read, false), KURA_NOTABLOB);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(c->PutBlob(F_ID, rec.data(), 0, &byte, 1, false), KURA_NOTABLOB);
    // A BLOB field that is not open.
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(c->TruncateBlob(F_PHOTO, rec.data(), 0, false), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(c->FreeBlob(F_PHOTO, rec.data(), false, true), KURA_INVALIDBLOBHANDLE);

    // Forged handles: never followed, whatever their value.
    for (int32_t forged : {-1, -12345, INT32_MIN}) {
        uint8_t v[4];
        dfbytes::PutU32(v, static_cast<uint32_t>(forged));
        c->PutField(F_PHOTO, rec.data(), v, true);
        EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), KURA_INVALIDBLOBHANDLE) << forged;
        EXPECT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), KURA_INVALIDBLOBOFFSET) << forged;
    }

    // Another cursor's handle is not this cursor's BLOB.
    auto other = db.Open("PEOPLE", false);
    std::vector<uint8_t> rec2 = NewRecord(2);
    ASSERT_EQ(other->OpenBlob(F_PHOTO, rec2.data(), RW, false, true, size), 0);
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec2.data(), size, false), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(other->FreeBlob(F_PHOTO, rec2.data(), false, true), 0);
}

TEST_F(BlobFixture, ReadWriteTruncateInMemory) {
    std::vector<uint8_t> rec = NewRecord(1);
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), 0);
    bool blank = false;
    c->GetField(F_PHOTO, rec.data(), nullptr, blank);
    EXPECT_TRUE(blank);  // open but empty

    // Writing at 10 into an empty BLOB: zeros before the bytes.
    const uint8_t abc[3] = {'a', 'b', 'c'};
    ASSERT_EQ(c->PutBlob(F_PHOTO, rec.data(), 10, abc, 3, false), 0);
    ASSERT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), 0);
    EXPECT_EQ(size, 13u);
    c->GetField(F_PHOTO, rec.data(), nullptr, blank);
    EXPECT_FALSE(blank);

    uint8_t out[32] = {};
    uint32_t read = 0;
    EXPECT_EQ(c->GetBlob(F_PHOTO, rec.data(), 0, out, 13, read, false), 0);
    EXPECT_EQ(read, 13u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 10), std::vector<uint8_t>(10, 0));
    EXPECT_EQ(std::memcmp(out + 10, abc, 3), 0);

    // Past the end: 8711 with the bytes that are there.
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(c->GetBlob(F_PHOTO, rec.data(), 0, out, 20, read, false), KURA_ENDOFBLOB);
    EXPECT_EQ(read, 13u);
    // From the last byte: that byte is read.
    EXPECT_EQ(c->GetBlob(F_PHOTO, rec.data(), 12, out, 5, read, false), KURA_ENDOFBLOB);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(out[0], 'c');
    EXPECT_EQ(c->GetBlob(F_PHOTO, rec.data(), 13, out, 1, read, false), KURA_ENDOFBLOB);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(c->GetBlob(F_PHOTO, rec.data(), 4000000000u, out, 4000000000u, read, false), KURA_ENDOFBLOB);
    EXPECT_EQ(read, 0u);
    // A write that would reach beyond 2 GiB is refused, the BLOB unchanged.
    EXPECT_EQ(c->PutBlob(F_PHOTO, rec.data(), 0x7FFFFFFFu, abc, 3, false), KURA_INVALIDBLOBOFFSET);
    EXPECT_EQ(c->PutBlob(F_PHOTO, rec.data(), 0, nullptr, 3, false), KURA_INVALIDBLOBLEN);
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), 0);
    EXPECT_EQ(size, 13u);

    // Truncation grows and shrinks; to 0 the field is blank again.
    EXPECT_EQ(c->TruncateBlob(F_PHOTO, rec.data(), 20, false), 0);
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), 0);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(c->TruncateBlob(F_PHOTO, rec.data(), 0, false), 0);
    c->GetField(F_PHOTO, rec.data(), nullptr, blank);
    EXPECT_TRUE(blank);
    EXPECT_EQ(c->FreeBlob(F_PHOTO, rec.data(), false, true), 0);
    EXPECT_TRUE(c->FOpenBlobs.empty());
}

TEST_F(BlobFixture, SharedOpensCountAndTheLimit) {
    std::vector<uint8_t> rec = NewRecord(1);
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), 0);
    const uint8_t x[4] = {1, 2, 3, 4};
    ASSERT_EQ(c->PutBlob(F_PHOTO, rec.data(), 0, x, 4, false), 0);
    // Opening again through the same buffer shares the BLOB.
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), 1, false, true, size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(c->FOpenBlobs.size(), 1u);
    EXPECT_EQ(c->FreeBlob(F_PHOTO, rec.data(), false, true), 0);
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), 0);  // still open
    EXPECT_EQ(c->FreeBlob(F_PHOTO, rec.data(), false, true), 0);
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, rec.data(), size, false), KURA_INVALIDBLOBHANDLE);
    EXPECT_TRUE(c->FOpenBlobs.empty());

    // 128 BLOBs open at once, the 129th refused.
    std::vector<std::vector<uint8_t>> recs;
    for (int i = 0; i < 128; ++i) {
        recs.push_back(NewRecord(i));
        ASSERT_EQ(c->OpenBlob(F_PHOTO, recs.back().data(), RW, false, false, size), 0) << i;
        const uint32_t v = static_cast<uint32_t>(i);
        ASSERT_EQ(c->PutBlob(F_PHOTO, recs.back().data(), 0, &v, 4, false), 0);
    }
    std::vector<uint8_t> extra = NewRecord(999);
    EXPECT_EQ(c->OpenBlob(F_NOTES, extra.data(), RW, false, false, size), KURA_OPENBLOBLIMIT);
    // Each keeps its own content.
    for (int i = 0; i < 128; ++i) {
        uint32_t v = 0;
        uint32_t read = 0;
        ASSERT_EQ(c->GetBlob(F_PHOTO, recs[static_cast<std::size_t>(i)].data(), 0, &v, 4, read, false), 0);
        EXPECT_EQ(v, static_cast<uint32_t>(i));
    }
    // Freeing one makes room again; FreeAllBlobs without All keeps these (not free
    // with record), with All frees them.
    EXPECT_EQ(c->FreeBlob(F_PHOTO, recs[5].data(), false, true), 0);
    EXPECT_EQ(c->OpenBlob(F_NOTES, extra.data(), RW, false, true, size), 0);
    c->FreeAllBlobs(false, true);
    EXPECT_EQ(c->FOpenBlobs.size(), 127u);
    c->FreeAllBlobs(true, true);
    EXPECT_TRUE(c->FOpenBlobs.empty());
    EXPECT_EQ(c->GetBlobSize(F_PHOTO, recs[0].data(), size, false), KURA_INVALIDBLOBHANDLE);
}

TEST_F(BlobFixture, DiscardFreesEveryOpenBlobOfTheBuffer) {
    std::vector<uint8_t> rec = NewRecord(1);
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, false, size), 0);  // empty: blank
    ASSERT_EQ(c->OpenBlob(F_NOTES, rec.data(), RW, false, false, size), 0);
    ASSERT_EQ(c->PutBlob(F_NOTES, rec.data(), 0, "hi", 2, false), 0);
    c->DiscardRecordBlobs(rec.data());
    EXPECT_TRUE(c->FOpenBlobs.empty());
    bool blank = false;
    c->GetField(F_NOTES, rec.data(), nullptr, blank);
    EXPECT_TRUE(blank);
}

TEST_F(BlobFixture, SizesFromZeroToTenMiBSurviveReopen) {
    const int32_t blockData = c->GetBlobBlockDataSize();
    const std::vector<std::size_t> sizes = {0,
                                            1,
                                            static_cast<std::size_t>(blockData - 1),
                                            static_cast<std::size_t>(blockData),
                                            static_cast<std::size_t>(blockData + 1),
                                            100000,
                                            10u * 1024 * 1024};
    for (std::size_t i = 0; i < sizes.size(); ++i) AppendWithPhoto(static_cast<int32_t>(i + 1), Pattern(sizes[i], i));
    c.reset();
    auto again = db.Open("PEOPLE", false);
    for (std::size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(ReadPhoto(*again, static_cast<int32_t>(i + 1)), Pattern(sizes[i], i)) << sizes[i];
}

TEST_F(BlobFixture, InsideTransactionsCommitAndRollback) {
    db.dir->StartTransaction();
    AppendWithPhoto(1, Pattern(300000, 1));
    AppendWithPhoto(2, Pattern(5, 2));
    db.dir->Commit();
    db.dir->StartTransaction();
    AppendWithPhoto(3, Pattern(70000, 3));
    db.dir->Rollback();
    c.reset();
    auto again = db.Open("PEOPLE", false);
    EXPECT_EQ(ReadPhoto(*again, 1), Pattern(300000, 1));
    EXPECT_EQ(ReadPhoto(*again, 2), Pattern(5, 2));
    EXPECT_EQ(again->GetRecordCount(), 2u);
}

TEST_F(BlobFixture, ModifyOverwriteTruncateAndFreeBeforePost) {
    AppendWithPhoto(1, Pattern(5000, 7));
    std::vector<uint8_t> rec = Edit(1, true);

    // Overwriting bytes inside the size is a change the post must save.
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), 0);
    ASSERT_EQ(size, 5000u);
    const std::vector<uint8_t> patch(100, 0xEE);
    ASSERT_EQ(c->PutBlob(F_PHOTO, rec.data(), 2000, patch.data(), 100, false), 0);
    c->ModifyRecord(rec.data(), true, true);
    std::vector<uint8_t> expected = Pattern(5000, 7);
    std::copy(patch.begin(), patch.end(), expected.begin() + 2000);
    EXPECT_EQ(ReadPhoto(*c, 1), expected);

    // A changed BLOB freed before the post leaves the stored one as it was.
    rec = Edit(1, true);
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, false, size), 0);
    ASSERT_EQ(c->TruncateBlob(F_PHOTO, rec.data(), 3, false), 0);
    ASSERT_EQ(c->FreeBlob(F_PHOTO, rec.data(), false, true), 0);
    c->ModifyRecord(rec.data(), true, true);
    EXPECT_EQ(ReadPhoto(*c, 1), expected);

    // Truncated to 0 and posted: the chain is freed, the field blank.
    rec = Edit(1, true);
    ASSERT_EQ(c->OpenBlob(F_PHOTO, rec.data(), RW, false, true, size), 0);
    ASSERT_EQ(c->TruncateBlob(F_PHOTO, rec.data(), 0, false), 0);
    c->ModifyRecord(rec.data(), true, true);
    rec = Edit(1, false);
    bool blank = false;
    uint8_t ref[8] = {};
    c->GetField(F_PHOTO, rec.data(), ref, blank);
    EXPECT_TRUE(blank);
    EXPECT_EQ(GetI32(ref), 0);
    EXPECT_NE(c->GetTable()->GetBlobFile().GetFreeHead(), 0u);
}

TEST_F(BlobFixture, DeleteFreesTheChainsForReuse) {
    AppendWithPhoto(1, Pattern(40000, 1));
    std::vector<uint8_t> rec = Edit(1, false);
    const uint32_t blocksBefore = c->GetTable()->GetBlobFile().GetLastBlockNumber();
    c->DeleteRecord(rec.data(), true);
    EXPECT_TRUE(c->FOpenBlobs.empty());
    // The new value takes the freed blocks instead of growing the file.
    AppendWithPhoto(2, Pattern(40000, 2));
    EXPECT_EQ(c->GetTable()->GetBlobFile().GetLastBlockNumber(), blocksBefore);
    EXPECT_EQ(ReadPhoto(*c, 2), Pattern(40000, 2));
}

// Two modified BLOBs of different records cannot be saved by one record write.
TEST_F(BlobFixture, SavingBlobsOfTwoRecordsIsRefused) {
    AppendWithPhoto(1, Pattern(10, 1));
    AppendWithPhoto(2, Pattern(10, 2));
    std::vector<uint8_t> a(c->GetCursorRecordSize());
    std::vector<uint8_t> b(c->GetCursorRecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(a.data()), 0);
    ASSERT_EQ(c->GetNextRecord(b.data()), 0);
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(F_PHOTO, a.data(), RW, false, false, size), 0);
    ASSERT_EQ(c->OpenBlob(F_PHOTO, b.data(), RW, false, false, size), 0);
    ASSERT_EQ(c->TruncateBlob(F_PHOTO, a.data(), 1, false), 0);
    ASSERT_EQ(c->TruncateBlob(F_PHOTO, b.data(), 1, false), 0);
    c->BeginWrite();
    EXPECT_EQ(ErrorOf([&] { c->SaveOpenBlobs(); }), KURA_MEMOCORRUPT);
    c->EndWrite();
    c->FreeAllBlobs(true, true);
}

}  // namespace
