#include "engine/files/BlobFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/files/BlobBuffer.h"
#include "engine/files/KeyEncoding.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/BlobTestSupport.h"

namespace kura {
namespace {

using namespace kura::test;
using dfbytes::GetU16;
using dfbytes::GetU32;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new BlobRegistryEnvironment);

class BlobFileTest : public ::testing::Test {
protected:
    void Create(uint16_t blockSize) {
        file.FileName = path;
        file.SetBlockSize(blockSize);
        file.CreateFile();
        cursor.File = &file;
    }
    // Writes a value as the cursor does when a record is posted.
    uint32_t Store(uint32_t blobId, const std::vector<uint8_t>& bytes, uint32_t firstBlock = 0) {
        TBlobBuffer buffer(&cursor);
        buffer.BlobId = blobId;
        buffer.FirstBlock = firstBlock;
        Fill(buffer, bytes);
        buffer.Save();
        EXPECT_EQ(buffer.Modified, 0);
        return buffer.FirstBlock;
    }
    std::vector<uint8_t> Fetch(uint32_t blobId, uint32_t firstBlock) {
        TBlobBuffer buffer(&cursor);
        buffer.BlobId = blobId;
        buffer.FirstBlock = firstBlock;
        buffer.Load();
        return Contents(buffer);
    }
    void Persist() {
        file.FlushBlocks();
        file.WriteHeader(false);
    }
    // Block N of the file on disk (unscrambled files only).
    std::vector<uint8_t> DiskBlock(uint32_t n) {
        std::vector<uint8_t> all = ReadBytes(Native(path));
        const std::size_t start = BLOB_HEADER_SIZE + (n - 1) * static_cast<std::size_t>(file.GetBlockSize());
        if (all.size() < start + file.GetBlockSize()) return {};
        return std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(start),
                                    all.begin() + static_cast<std::ptrdiff_t>(start + file.GetBlockSize()));
    }

    TempDir dir;
    std::string path = dir.file("STAFF.BLB");
    TestBlobOwner owner;
    TBlobFile file{&owner};
    TestBlobCursor cursor;
};

TEST_F(BlobFileTest, NewFileGoldenBytesAndBlockSizeRules) {
    Create(0);  // 0 stands for 512
    EXPECT_EQ(file.GetBlockSize(), 512);
    EXPECT_EQ(file.GetBlockDataSize(), 494);
    EXPECT_EQ(file.GetLastBlockNumber(), 0u);
    EXPECT_TRUE(file.IsHeaderModified());
    EXPECT_TRUE(file.WriteHeader(false));
    EXPECT_FALSE(file.WriteHeader(false));

    std::vector<uint8_t> expected(512, 0);
    expected[0] = 1;   // change counter after the first write
    expected[8] = 5;   // version
    expected[13] = 1;  // next new block
    expected[17] = 1;  // header-modified as it was in memory when written
    EXPECT_EQ(ReadBytes(Native(path)), expected);
    EXPECT_TRUE(owner.Written);
    file.VerifyHeader();
    EXPECT_EQ(file.GetCacheCapacity(), 64);  // 32768 div 512
    EXPECT_EQ(file.GetReadAheadLimit(), 32);

    file.CloseFile();
    file.OpenFile();
    EXPECT_FALSE(file.IsHeaderModified());
    EXPECT_EQ(file.GetChangeCount(), 1u);
    EXPECT_FALSE(file.HeaderChanged());
    file.MarkModified();
    EXPECT_EQ(file.GetChangeCount(), 2u);
    EXPECT_TRUE(file.HeaderChanged());  // the disk still says 1
    EXPECT_EQ(file.GetChangeCount(), 1u);
    file.CloseFile();

    // Blocks below 64 bytes leave no room for data: refused at open and at create.
    TBlobFile small(&owner);
    small.FileName = path;
    small.SetBlockSize(63);
    EXPECT_EQ(ErrorOf([&] { small.OpenFile(); }), KURA_BLOBLIMIT);
    EXPECT_FALSE(small.IsOpen);
    small.FileName = dir.file("OTHER.BLB");
    EXPECT_EQ(ErrorOf([&] { small.CreateFile(); }), KURA_BLOBLIMIT);
    small.SetBlockSize(64);
    small.FileName = path;
    small.OpenFile();
    EXPECT_EQ(small.GetCacheCapacity(), 512);
    EXPECT_EQ(small.GetReadAheadLimit(), 256);
}

TEST_F(BlobFileTest, ValuesOf494And495BytesAtTheBlockBoundary) {
    Create(512);
    const auto fits = Pattern(494, 1);
    const auto spills = Pattern(495, 2);
    EXPECT_EQ(Store(7, fits), 1u);
    EXPECT_EQ(file.GetLastBlockNumber(), 1u);
    EXPECT_EQ(Store(8, spills), 2u);
    EXPECT_EQ(file.GetLastBlockNumber(), 3u);
    Persist();
    EXPECT_EQ(ReadBytes(Native(path)).size(), 512u + 3 * 512);

    auto b1 = DiskBlock(1);
    EXPECT_EQ(GetU32(&b1[0]), 0u);
    EXPECT_EQ(GetU32(&b1[4]), 0u);
    EXPECT_EQ(GetU16(&b1[8]), 494);
    EXPECT_EQ(GetU32(&b1[10]), 7u);
    EXPECT_EQ(GetU32(&b1[14]), 494u);
    EXPECT_TRUE(std::equal(fits.begin(), fits.end(), b1.begin() + 18));
    auto b2 = DiskBlock(2);
    auto b3 = DiskBlock(3);
    EXPECT_EQ(GetU32(&b2[4]), 3u);
    EXPECT_EQ(GetU16(&b2[8]), 494);
    EXPECT_EQ(GetU32(&b2[14]), 495u);
    EXPECT_EQ(GetU32(&b3[0]), 2u);
    EXPECT_EQ(GetU32(&b3[4]), 0u);
    EXPECT_EQ(GetU16(&b3[8]), 1);
    EXPECT_EQ(GetU32(&b3[10]), 8u);
    EXPECT_EQ(GetU32(&b3[14]), 0u);
    EXPECT_EQ(b3[18], spills[494]);

    // A second program's view: a fresh file object reads them back.
    file.CloseFile();
    file.OpenFile();
    EXPECT_EQ(Fetch(7, 1), fits);
    EXPECT_EQ(Fetch(8, 2), spills);
    EXPECT_EQ(Fetch(9, 0), std::vector<uint8_t>{});  // no chain: an empty value
}

TEST_F(BlobFileTest, ShrinkingFreesTheTailAndReuseTakesTheLastFreedFirst) {
    Create(64);  // 46 data bytes a block
    EXPECT_EQ(Store(5, Pattern(120, 3)), 1u);
    EXPECT_EQ(file.GetLastBlockNumber(), 3u);

    const auto small = Pattern(30, 4);
    EXPECT_EQ(Store(6, small, 1), 1u);  // the first block is rewritten in place
    Persist();
    EXPECT_EQ(file.GetFreeHead(), 3u);
    auto b1 = DiskBlock(1), b2 = DiskBlock(2), b3 = DiskBlock(3);
    EXPECT_EQ(GetU32(&b1[4]), 0u);
    EXPECT_EQ(GetU32(&b1[10]), 6u);
    EXPECT_EQ(GetU32(&b1[14]), 30u);
    EXPECT_EQ(GetU32(&b3[4]), 2u);   // freed last, so it heads the free chain
    EXPECT_EQ(GetU32(&b2[4]), 0u);   // the chain was empty before
    EXPECT_EQ(GetU32(&b3[0]), 2u);   // a freed block keeps its other fields,
    EXPECT_EQ(GetU32(&b3[10]), 6u);  // its id mended to the value that freed it
    EXPECT_EQ(Fetch(6, 1), small);

    // Growing again takes block 3, then block 2, then a new block 4.
    const auto big = Pattern(150, 5);
    EXPECT_EQ(Store(7, big, 1), 1u);
    Persist();
    EXPECT_EQ(file.GetFreeHead(), 0u);
    EXPECT_EQ(file.GetLastBlockNumber(), 4u);
    EXPECT_EQ(GetU32(&DiskBlock(1)[4]), 3u);
    EXPECT_EQ(GetU32(&DiskBlock(3)[4]), 2u);
    EXPECT_EQ(GetU32(&DiskBlock(2)[4]), 4u);
    EXPECT_EQ(GetU32(&DiskBlock(4)[0]), 2u);
    EXPECT_EQ(Fetch(7, 1), big);

    // Emptying frees every block; allocation then walks them back newest first.
    TBlobBuffer empty(&cursor);
    empty.BlobId = 7;
    empty.FirstBlock = 1;
    empty.SaveEmpty();
    EXPECT_EQ(empty.FirstBlock, 0u);
    for (uint32_t expected : {4u, 2u, 3u, 1u, 5u}) {
        TBlock* b = nullptr;
        ASSERT_TRUE(file.AllocateBlock(&cursor, b));
        EXPECT_EQ(b->BlockNumber, expected);
        EXPECT_EQ(b->Next, 0u);  // handed out cleared
        file.ReleaseBlock(b);
    }

    // Emptying the file leaves only the header; numbering starts again at 1.
    file.InitFile();
    EXPECT_EQ(ReadBytes(Native(path)).size(), 512u);
    EXPECT_EQ(file.GetLastBlockNumber(), 0u);
    EXPECT_EQ(file.GetFreeHead(), 0u);
    EXPECT_EQ(file.GetCachedBlockCount(), 0);
    EXPECT_EQ(Store(8, small), 1u);
    EXPECT_EQ(Fetch(8, 1), small);
}

TEST_F(BlobFileTest, EncryptedFilesScrambleHeaderBlockHeaderAndDataSeparately) {
    owner.Encrypted = true;
    Create(64);
    const auto value = Pattern(60, 6);
    EXPECT_EQ(Store(9, value), 1u);
    Persist();
    auto disk = ReadBytes(Native(path));
    ASSERT_EQ(disk.size(), 512u + 2 * 64);

    std::vector<uint8_t> header(disk.begin(), disk.begin() + 512);
    UnscrambleBuffer(header.data(), 512, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    EXPECT_EQ(header[8], 5);
    EXPECT_EQ(GetU32(&header[13]), 3u);

    std::vector<uint8_t> block(disk.begin() + 512, disk.begin() + 576);
    EXPECT_FALSE(std::equal(value.begin(), value.begin() + 46, block.begin() + 18));
    UnscrambleBuffer(block.data(), 18, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    UnscrambleBuffer(block.data() + 18, 46, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    EXPECT_EQ(GetU32(&block[4]), 2u);
    EXPECT_EQ(GetU16(&block[8]), 46);
    EXPECT_EQ(GetU32(&block[10]), 9u);
    EXPECT_EQ(GetU32(&block[14]), 60u);
    EXPECT_TRUE(std::equal(value.begin(), value.begin() + 46, block.begin() + 18));

    file.CloseFile();
    file.OpenFile();
    EXPECT_EQ(Fetch(9, 1), value);
}

TEST_F(BlobFileTest, BlockTransfersAreBoundsChecked) {
    Create(64);
    TBlock* b = nullptr;
    ASSERT_TRUE(file.AllocateBlock(&cursor, b));
    const std::vector<uint8_t> src(64, 0xAB);
    std::vector<uint8_t> dest(64, 0);
    EXPECT_EQ(ErrorOf([&] { b->WriteData(0, 47, src.data()); }), KURA_INVALIDBLOBLEN);
    EXPECT_EQ(ErrorOf([&] { b->WriteData(40, 7, src.data()); }), KURA_INVALIDBLOBLEN);
    EXPECT_EQ(ErrorOf([&] { b->WriteData(-1, 1, src.data()); }), KURA_INVALIDBLOBLEN);
    EXPECT_EQ(ErrorOf([&] { b->ReadData(0, 47, dest.data()); }), KURA_INVALIDBLOBLEN);
    EXPECT_EQ(b->UsedBytes, 0);
    EXPECT_EQ(b->WriteData(6, 40, src.data()), 40);
    EXPECT_EQ(b->UsedBytes, 46);
    EXPECT_EQ(b->ReadData(10, 46, dest.data()), 36);  // only the used bytes
    EXPECT_EQ(b->ReadData(0, 0, dest.data()), 0);
    file.ReleaseBlock(b);
}

TEST_F(BlobFileTest, ReadAheadCacheGrowthAndChangeChecks) {
    Create(64);
    const auto value = Pattern(460, 7);  // 10 blocks
    EXPECT_EQ(Store(3, value), 1u);
    Persist();
    EXPECT_EQ(file.Statistics().RunWrites, 1u);  // one run of ten blocks

    // Near the end a read-ahead stops at the last block in use.
    file.FreeBlockCache();
    TBlock* b = nullptr;
    ASSERT_TRUE(file.ReadBlock(&cursor, 8, b, 16, true));
    EXPECT_EQ(file.Statistics().BlocksRead, 3u);
    file.ReleaseBlock(b);
    EXPECT_EQ(ErrorOf([&] { file.ReadBlock(&cursor, 0, b, 1, false); }), KURA_MEMOCORRUPT);
    EXPECT_EQ(ErrorOf([&] { file.ReadBlock(&cursor, 12, b, 1, false); }), KURA_MEMOCORRUPT);

    // A load reads the first block alone, then the rest in one transfer; a change
    // found by the cursor's check makes it start over.
    file.FreeBlockCache();
    const uint32_t reads = file.Statistics().BlockReads;
    int changes = 1;
    cursor.BeginReads = 0;
    cursor.OnBeginRead = [&] { return changes-- > 0; };
    EXPECT_EQ(Fetch(3, 1), value);
    EXPECT_EQ(cursor.BeginReads, 3);
    EXPECT_EQ(file.Statistics().BlockReads, reads + 2);
    cursor.OnBeginRead = nullptr;

    // Inside a transaction dirty blocks stay; the cache grows by 32 instead.
    owner.BufferSize = 128;  // two blocks
    file.TrimBlockCache();
    EXPECT_EQ(file.GetCacheCapacity(), 2);
    owner.Transaction = true;
    const uint32_t runs = file.Statistics().RunWrites;
    EXPECT_EQ(Store(4, Pattern(200, 8)), 11u);
    EXPECT_EQ(file.GetCacheCapacity(), 34);
    EXPECT_EQ(file.Statistics().RunWrites, runs);
    owner.Transaction = false;
    file.TrimBlockCache();
    EXPECT_EQ(file.GetCachedBlockCount(), 2);
    EXPECT_EQ(file.GetCacheCapacity(), 2);
    EXPECT_EQ(file.Statistics().RunWrites, runs + 1);
    file.WriteHeader(false);
    file.FreeBlockCache();
    EXPECT_EQ(Fetch(4, 11), Pattern(200, 8));
}

TEST_F(BlobFileTest, BlockNumberAndFileSizeLimits) {
    // 7,812,500 blocks of 512 bytes would end beyond byte 4,000,000,000.
    WriteBytes(Native(path), BuildBlobFile(512, 0, {}, 7812500));
    std::filesystem::resize_file(Native(path), 512 + 7812499LL * 512);  // sparse
    file.FileName = path;
    file.SetBlockSize(512);
    file.OpenFile();
    cursor.File = &file;
    TBlock* b = nullptr;
    EXPECT_EQ(ErrorOf([&] { file.AllocateBlock(&cursor, b); }), KURA_TABLEFULL);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(file.GetLastBlockNumber(), 7812499u);
}

TEST_F(BlobFileTest, RemoteBuffersTravelAsRequestAndReplyParameters) {
    cursor.Remote = true;
    TBlobBuffer buffer(&cursor);
    cursor.Reply = {{3, 0, 0, 0}, {'a', 'b', 'c'}};
    buffer.Load();
    EXPECT_EQ(Contents(buffer), (std::vector<uint8_t>{'a', 'b', 'c'}));
    cursor.Reply = {{4, 0, 0, 0}, {'a'}};
    EXPECT_EQ(ErrorOf([&] { buffer.Load(); }), KURA_ENDOFBLOB);

    buffer.RemoteReference = 0x01020304;
    buffer.RemoteFlag = 1;
    buffer.Save();
    ASSERT_EQ(cursor.Request.size(), 4u);
    EXPECT_EQ(cursor.Request[0], (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(cursor.Request[1], (std::vector<uint8_t>{1}));
    EXPECT_EQ(cursor.Request[2], (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(cursor.Request[3], (std::vector<uint8_t>{'a', 'b', 'c'}));

    cursor.Request.clear();
    cursor.ServerVersion = 32600;  // older servers take no flag byte
    buffer.SetSize(0);
    buffer.Save();
    ASSERT_EQ(cursor.Request.size(), 2u);
    EXPECT_EQ(cursor.Request[1], (std::vector<uint8_t>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace kura
