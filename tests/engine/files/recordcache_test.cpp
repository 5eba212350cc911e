// Records, the record cache, block reads, flushing and slot allocation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/KeyEncoding.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/DataFileTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const registry = ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

void SetName(TRecord* r, const std::string& name) {
    r->GetBuffer()[9] = 1;
    std::memset(r->GetBuffer() + 10, 0, 11);
    std::memcpy(r->GetBuffer() + 10, name.data(), std::min<std::size_t>(name.size(), 10));
    r->Modified = 1;
}

std::string NameOf(TRecord* r) { return std::string(reinterpret_cast<const char*>(r->GetBuffer() + 10)); }

// Appends records 1..count named R1, R2, ... and writes everything.
void Fill(TDataFile& f, uint32_t count) {
    for (uint32_t i = 1; i <= count; ++i) {
        TRecord* r = nullptr;
        ASSERT_TRUE(f.AllocateRecord(nullptr, r));
        r->Clear(true);
        SetName(r, "R" + std::to_string(r->GetRecordNumber()));
        f.ReleaseRecord(r);
    }
    f.FlushRecords();
    f.WriteHeader(true);
    f.WriteFieldDescs();
}

std::string MakeTable(const TempDir& dir, const std::string& name, uint32_t count, bool encrypted = false) {
    std::string path = dir.file(name);
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    Schema s = SmallSchema();
    f.CreateHeader(0, 0, s.Fields, 0, "", "pw", encrypted, 0, 0);
    Fill(f, count);
    f.CloseFile();
    return path;
}

struct OpenTable {
    TestOwner owner;
    TDataFile file{&owner};
    explicit OpenTable(const std::string& path) {
        file.FileName = path;
        file.OpenFile();
    }
    TRecord* Read(uint32_t n, int32_t direction = 1, bool readAhead = true, TDataFileCursor* cursor = nullptr,
                  bool cursorReadAhead = false) {
        TRecord* r = nullptr;
        EXPECT_TRUE(file.ReadRecord(cursor, n, r, direction, cursorReadAhead, readAhead));
        return r;
    }
};

}  // namespace

TEST(RecordCache, BlockReads) {
    TempDir dir;
    std::string path = MakeTable(dir, "BLOCK.DAT", 1000);
    OpenTable t(path);
    const uint32_t perBlock = 8192 / 21;
    ASSERT_EQ(t.file.GetRecordsPerBlock(), static_cast<int32_t>(perBlock));
    for (uint32_t n = 1; n <= perBlock; ++n) {
        TRecord* r = t.Read(n);
        ASSERT_EQ(NameOf(r), "R" + std::to_string(n));
        t.file.ReleaseRecord(r);
    }
    EXPECT_EQ(t.file.Statistics().BlockReads, 1u);
    t.file.ReleaseRecord(t.Read(perBlock + 1));
    EXPECT_EQ(t.file.Statistics().BlockReads, 2u);
    // The last block stops at the last record: no short read.
    t.file.ReleaseRecord(t.Read(1000));
    EXPECT_EQ(t.file.Statistics().RecordsRead, 2 * perBlock + 1);

    // Backward from record 1 reads exactly slot 1; without read-ahead one slot.
    OpenTable b(path);
    b.file.ReleaseRecord(b.Read(1, 2));
    EXPECT_EQ(b.file.Statistics().RecordsRead, 1u);
    b.file.ReleaseRecord(b.Read(500, 2));
    EXPECT_EQ(b.file.Statistics().RecordsRead, 1u + perBlock);
    int32_t index = 0;
    EXPECT_TRUE(b.file.FindCachedRecord(500 - perBlock + 1, index));
    b.file.ReleaseRecord(b.Read(900, 1, false));
    EXPECT_EQ(b.file.Statistics().RecordsRead, 2u + perBlock);

    // The cursor says how many follow in its order.
    OpenTable c(path);
    TestCursor cursor;
    cursor.ReadAhead = 5;
    c.file.ReleaseRecord(c.Read(10, 1, true, &cursor, true));
    EXPECT_EQ(c.file.Statistics().RecordsRead, 5u);
    EXPECT_EQ(cursor.BeginReads, 1);
    EXPECT_EQ(c.file.GetCachedRecordCount(), 5);

    // Records above 8,192 bytes come one per read.
    Schema wide;
    for (int i = 0; i < 34; ++i) wide.Add("S" + std::to_string(i), fldZSTRING, 250);
    TDataFile w(nullptr);
    w.FileName = dir.file("WIDE.DAT");
    w.CreateHeader(0, 0, wide.Fields, 0, "", "", false, 0, 0);
    EXPECT_EQ(w.GetRecordSize(), 8577);
    EXPECT_EQ(w.GetRecordsPerBlock(), 1);
}

TEST(RecordCache, ReadFailures) {
    TempDir dir;
    std::string path = MakeTable(dir, "FAIL.DAT", 3);
    OpenTable t(path);
    TRecord* r = nullptr;
    EXPECT_EQ(ErrorOf([&] { t.file.ReadRecord(nullptr, 0, r, 1, false, false); }), KURA_FILECORRUPT);
    // Past the last slot the file has no bytes: a short read outside the accepted case.
    EXPECT_EQ(ErrorOf([&] { t.file.ReadRecord(nullptr, 6, r, 1, false, true); }), KURA_READERR);
    // Once the table wrote inside a transaction the short read is accepted, and the
    // missing slot is reported instead.
    t.owner.Transaction = true;
    t.owner.Written = true;
    EXPECT_EQ(ErrorOf([&] { t.file.ReadRecord(nullptr, 6, r, 1, false, true); }), KURA_FILECORRUPT);
}

TEST(RecordCache, FlushSkipsPinnedAndWritesRuns) {
    TempDir dir;
    std::string path = MakeTable(dir, "FLUSH.DAT", 6);
    OpenTable t(path);
    TRecord* held = t.Read(2);
    SetName(held, "PINNED");
    for (uint32_t n : {1u, 3u, 4u, 6u}) {
        TRecord* r = t.Read(n);
        SetName(r, "NEW" + std::to_string(n));
        t.file.ReleaseRecord(r);
    }
    EXPECT_TRUE(t.file.FlushRecords());
    // Records 1, 3-4 and 6 lie a few slots apart: one write, with records 2 and 5
    // as the file holds them; record 2 stays unwritten while pinned.
    EXPECT_EQ(t.file.Statistics().RunWrites, 1u);
    EXPECT_TRUE(t.owner.Written);
    std::vector<uint8_t> disk = ReadAll(Native(path));
    const std::size_t start = 127 + 2 * 768;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&disk[start + 21 + 10])), "R2");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&disk[start + 2 * 21 + 10])), "NEW3");
    EXPECT_EQ(held->Modified, 1);
    t.file.ReleaseRecord(held);
    EXPECT_TRUE(t.file.FlushRecords());
    EXPECT_FALSE(t.file.FlushRecords());
    disk = ReadAll(Native(path));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&disk[start + 21 + 10])), "PINNED");
}

TEST(RecordCache, GrowthInsideTransactionAndRecycling) {
    TempDir dir;
    std::string path = MakeTable(dir, "GROW.DAT", 0);
    {
        OpenTable t(path);
        t.owner.BufferSize = 4 * 21;  // room for four records
        t.file.TrimRecordCache();
        ASSERT_EQ(t.file.GetCacheCapacity(), 4);
        t.owner.Transaction = true;
        const int64_t emptySize = t.file.GetFileSize();
        for (int i = 0; i < 10; ++i) {
            TRecord* r = nullptr;
            ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
            r->Clear(true);
            SetName(r, "T" + std::to_string(i));
            t.file.ReleaseRecord(r);
        }
        // Nothing may be written before the commit: the cache grew instead.
        EXPECT_EQ(t.file.GetCacheCapacity(), 4 + 64);
        EXPECT_EQ(t.file.GetCachedRecordCount(), 10);
        EXPECT_EQ(t.file.GetFileSize(), emptySize);
        EXPECT_EQ(t.file.Statistics().RunWrites, 0u);
        // Trimming inside the transaction cannot write either.
        t.file.TrimRecordCache();
        EXPECT_EQ(t.file.GetCachedRecordCount(), 10);
        // After the commit the trim writes and shrinks back to the limit.
        t.owner.Transaction = false;
        t.file.TrimRecordCache();
        EXPECT_EQ(t.file.GetCachedRecordCount(), 4);
        EXPECT_EQ(t.file.GetCacheCapacity(), 4);
        EXPECT_EQ(t.file.GetFileSize(), emptySize + 10 * 21);
        t.file.WriteHeader(true);
    }
    // Outside a transaction a full cache writes and recycles instead of growing.
    OpenTable t(path);
    t.owner.BufferSize = 4 * 21;
    t.file.TrimRecordCache();
    for (int i = 0; i < 10; ++i) {
        TRecord* r = nullptr;
        ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
        r->Clear(true);
        SetName(r, "U" + std::to_string(i));
        t.file.ReleaseRecord(r);
    }
    EXPECT_EQ(t.file.GetCacheCapacity(), 4);
    EXPECT_LE(t.file.GetCachedRecordCount(), 4);
    t.file.FlushRecords();
    t.file.FreeRecordCache();
    TRecord* r = t.Read(15);
    EXPECT_EQ(NameOf(r), "U4");
    EXPECT_EQ(r->GetAutoIncValue(), 15u);
    t.file.ReleaseRecord(r);
}

// A commit of many appended records makes one long run of dirty records; each
// write of it stays bounded, so the run length never overflows the write size.
TEST(RecordCache, LongRunsAreWrittenInBoundedPieces) {
    TempDir dir;
    std::string path = dir.file("LONG.DAT");
    Schema s;
    s.Add("A", fldZSTRING, 250).Add("B", fldZSTRING, 250).Add("C", fldZSTRING, 250).Add("D", fldZSTRING, 250);
    const int32_t r = s.RecordSize();
    ASSERT_EQ(r, 1017);
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    f.CreateHeader(0, 0, s.Fields, 0, "", "", false, 0, 0);
    f.WriteHeader(true);
    f.WriteFieldDescs();
    const uint32_t count = 2100;
    owner.Transaction = true;
    for (uint32_t i = 1; i <= count; ++i) {
        TRecord* rec = nullptr;
        ASSERT_TRUE(f.AllocateRecord(nullptr, rec));
        rec->Clear(false);
        uint8_t* b = rec->GetBuffer();
        b[9] = 1;
        std::memset(b + 10, 'a' + static_cast<int>(i % 26), 250);
        dfbytes::PutU32(b + 10, i);
        rec->Modified = 1;
        f.ReleaseRecord(rec);
    }
    owner.Transaction = false;
    ASSERT_EQ(f.Statistics().RunWrites, 0u);
    EXPECT_TRUE(f.FlushRecords());
    const uint32_t perWrite = static_cast<uint32_t>(RECORD_RUN_WRITE_LIMIT / r);
    EXPECT_EQ(f.Statistics().RunWrites, (count + perWrite - 1) / perWrite);
    f.WriteHeader(true);
    f.CloseFile();

    std::vector<uint8_t> disk = ReadAll(Native(path));
    const std::size_t start = 127 + 4 * 768;
    ASSERT_EQ(disk.size(), start + static_cast<std::size_t>(count) * r);
    for (uint32_t n : {1u, perWrite, perWrite + 1, 2 * perWrite + 1, count}) {
        const uint8_t* slot = &disk[start + static_cast<std::size_t>(n - 1) * r];
        EXPECT_EQ(slot[0], 0) << n;
        EXPECT_EQ(dfbytes::GetU32(slot + 1), n);
        EXPECT_EQ(dfbytes::GetU32(slot + 10), n);
        EXPECT_EQ(slot[10 + 249], 'a' + n % 26) << n;
    }
}

TEST(RecordCache, TableFullOnSparseFile) {
    TempDir dir;
    // Record-number limit: R = 9 with no fields.
    {
        std::string path = dir.file("NUMBERS.DAT");
        {
            TDataFile f(nullptr);
            f.FileName = path;
            f.CreateHeader(0, 0, {}, 0, "", "", false, 0, 0);
            EXPECT_EQ(f.GetRecordSize(), 9);
            f.WriteHeader(true);
            f.CloseFile();
        }
        std::vector<uint8_t> h = ReadAll(Native(path));
        dfbytes::PutU32(&h[13], 200000000);
        WriteAll(Native(path), h);
        ASSERT_EQ(truncate(Native(path).c_str(), 127 + 199999999LL * 9), 0);
        OpenTable t(path);
        t.file.VerifyHeader();
        TRecord* r = nullptr;
        ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
        EXPECT_EQ(r->GetRecordNumber(), 200000000u);
        t.file.ReleaseRecord(r);
        EXPECT_EQ(ErrorOf([&] { t.file.AllocateRecord(nullptr, r); }), KURA_TABLEFULL);
    }
    // Byte limit: the slot would end beyond byte 4,000,000,000.
    {
        std::string path = dir.file("BYTES.DAT");
        Schema s;
        s.Add("TEXT", fldZSTRING, 90);  // R = 9 + 92 = 101
        {
            TDataFile f(nullptr);
            f.FileName = path;
            f.CreateHeader(0, 0, s.Fields, 0, "", "", false, 0, 0);
            f.WriteHeader(true);
            f.WriteFieldDescs();
            f.CloseFile();
        }
        const int64_t start = 127 + 768;
        const uint32_t lastFit = static_cast<uint32_t>((4000000000LL - start) / 101);  // ends at or below 4e9
        std::vector<uint8_t> h = ReadAll(Native(path));
        dfbytes::PutU32(&h[13], lastFit);
        WriteAll(Native(path), h);
        ASSERT_EQ(truncate(Native(path).c_str(), start + (static_cast<int64_t>(lastFit) - 1) * 101), 0);
        OpenTable t(path);
        t.file.VerifyHeader();
        TRecord* r = nullptr;
        ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
        t.file.ReleaseRecord(r);
        EXPECT_EQ(ErrorOf([&] { t.file.AllocateRecord(nullptr, r); }), KURA_TABLEFULL);
    }
}

TEST(RecordCache, ChangeCheckOnMiss) {
    TempDir dir;
    std::string path = MakeTable(dir, "CHANGE.DAT", 20);
    OpenTable reader(path);
    OpenTable writer(path);  // a second handler on the same shared file
    TestCursor cursor;
    cursor.OnBeginRead = [&] {
        if (!reader.file.HeaderChanged()) return false;
        reader.file.FreeRecordCache();
        return true;
    };
    TRecord* r = reader.Read(1, 1, false, &cursor);
    reader.file.ReleaseRecord(r);
    writer.file.MarkModified();
    writer.file.WriteHeader(false);
    // A hit needs no check; a miss finds the change and the read reports it.
    reader.file.ReleaseRecord(reader.Read(1, 1, false, &cursor));
    EXPECT_FALSE(reader.file.ReadRecord(&cursor, 2, r, 1, false, false));
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(reader.file.GetCachedRecordCount(), 0);
    EXPECT_EQ(reader.file.GetChangeCount(), writer.file.GetChangeCount());
    // The next read goes on normally.
    reader.file.ReleaseRecord(reader.Read(2, 1, false, &cursor));
    // Strict change detection leaves the check to the cursor's own brackets.
    writer.file.MarkModified();
    writer.file.WriteHeader(false);
    reader.owner.Strict = true;
    int before = cursor.BeginReads;
    reader.file.ReleaseRecord(reader.Read(3, 1, false, &cursor));
    EXPECT_EQ(cursor.BeginReads, before);
}

TEST(RecordCache, DeletedChainAndAllocation) {
    TempDir dir;
    std::string path = MakeTable(dir, "CHAIN.DAT", 10);
    OpenTable t(path);
    for (uint32_t n : {3u, 7u}) {
        TRecord* r = t.Read(n);
        t.file.FreeRecord(r);
        t.file.ReleaseRecord(r);
    }
    EXPECT_EQ(t.file.GetNextFreeRecord(), 7u);
    TRecord* r7 = t.Read(7);
    EXPECT_EQ(r7->GetNextDeleted(), 3u);
    t.file.ReleaseRecord(r7);
    TRecord* r3 = t.Read(3);
    EXPECT_EQ(r3->GetNextDeleted(), 0u);
    t.file.ReleaseRecord(r3);
    for (uint32_t expected : {7u, 3u, 11u}) {
        TRecord* r = nullptr;
        ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
        EXPECT_EQ(r->GetRecordNumber(), expected);
        r->Clear(true);
        SetName(r, "NEW");
        t.file.ReleaseRecord(r);
    }
    // Without a primary index deleted slots are never reused.
    TRecord* r = t.Read(5);
    t.file.FreeRecord(r);
    t.file.ReleaseRecord(r);
    t.owner.NoPrimary = true;
    ASSERT_TRUE(t.file.AllocateRecord(nullptr, r));
    EXPECT_EQ(r->GetRecordNumber(), 12u);
    t.file.ReleaseRecord(r);
    t.owner.NoPrimary = false;
    EXPECT_EQ(t.file.GetNextFreeRecord(), 13u);

    // A chain that points at a live record or past the end is a corrupt file.
    t.file.SetNextFreeRecord(4);
    EXPECT_EQ(ErrorOf([&] { t.file.AllocateRecord(nullptr, r); }), KURA_FILECORRUPT);
    TRecord* live = t.Read(4);
    EXPECT_FALSE(live->IsDeleted());
    EXPECT_EQ(NameOf(live), "R4");
    EXPECT_EQ(live->PinCount, 1);  // only this read's pin: the failed allocation let go
    t.file.ReleaseRecord(live);
    t.file.SetNextFreeRecord(99);
    EXPECT_EQ(ErrorOf([&] { t.file.AllocateRecord(nullptr, r); }), KURA_FILECORRUPT);
}

TEST(RecordCache, EncryptedRecordsAndRecordObjects) {
    TempDir dir;
    std::string path = MakeTable(dir, "ENC.DAT", 2, true);
    std::vector<uint8_t> disk = ReadAll(Native(path));
    const std::size_t start = 127 + 2 * 768;
    std::vector<uint8_t> slot(disk.begin() + start, disk.begin() + start + 21);
    UnscrambleBuffer(slot.data(), 21, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    EXPECT_EQ(slot[0], 0);
    EXPECT_EQ(dfbytes::GetU32(&slot[1]), 1u);
    EXPECT_EQ(dfbytes::GetU32(&slot[5]), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&slot[10])), "R1");
    OpenTable t(path);
    TRecord* r = t.Read(2);
    EXPECT_EQ(NameOf(r), "R2");
    EXPECT_TRUE(r->EqualsBuffer(r->GetBuffer()));
    std::vector<uint8_t> copy(r->GetBuffer(), r->GetBuffer() + 21);
    copy[12] ^= 1;
    EXPECT_FALSE(r->EqualsBuffer(copy.data()));
    // SetFieldData keeps the record header.
    copy[1] = 99;
    r->SetFieldData(copy.data());
    EXPECT_EQ(dfbytes::GetU32(r->GetBuffer() + 1), 2u);
    EXPECT_EQ(r->GetBuffer()[12], copy[12]);
    EXPECT_EQ(r->Modified, 1);

    // Dropping the cache while a record is held keeps that record alive until released.
    t.file.FreeRecordCache();
    EXPECT_EQ(t.file.GetCachedRecordCount(), 0);
    EXPECT_EQ(r->GetBuffer()[12], copy[12]);
    t.file.ReleaseRecord(r);
    TRecord* again = t.Read(2);
    EXPECT_EQ(NameOf(again), "R2");  // the unsaved change went with the cache
    t.file.ReleaseRecord(again);

    // The pool hands out cleared records of the table's size.
    TRecord* pooled = t.file.PopRecord();
    EXPECT_EQ(pooled->GetRecordSize(), 21);
    EXPECT_EQ(pooled->PinCount, 0);
    pooled->SetSortKeySize(100);
    t.file.PushRecord(pooled);
    EXPECT_EQ(pooled, nullptr);
}
