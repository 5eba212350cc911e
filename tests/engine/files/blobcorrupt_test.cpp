// Damaged BLOB files: every link, length and counter read from the disk is checked
// before it is followed, so a corrupt file gives its engine error, never a loop, an
// over-read or a block freed twice.
#include <gtest/gtest.h>

#include "engine/files/BlobBuffer.h"
#include "engine/files/BlobFile.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/BlobTestSupport.h"

namespace kura {
namespace {

using namespace kura::test;
using dfbytes::GetU32;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new BlobRegistryEnvironment);

class BlobCorruptTest : public ::testing::Test {
protected:
    void Open(const std::vector<uint8_t>& image) {
        file.CloseFile();
        WriteBytes(Native(path), image);
        file.FileName = path;
        file.SetBlockSize(64);
        file.OpenFile();
        cursor.File = &file;
    }
    int Load(uint32_t blobId, uint32_t first) {
        TBlobBuffer buffer(&cursor);
        buffer.BlobId = blobId;
        buffer.FirstBlock = first;
        return ErrorOf([&] { buffer.Load(); });
    }
    int Free(uint32_t blobId, uint32_t first, bool repair) {
        return ErrorOf([&] { EXPECT_TRUE(file.FreeBlobChain(&cursor, first, repair, 1, blobId)); });
    }
    int Save(uint32_t blobId, uint32_t first, std::size_t size) {
        TBlobBuffer buffer(&cursor);
        buffer.BlobId = blobId;
        buffer.FirstBlock = first;
        Fill(buffer, Pattern(size, 9));
        return ErrorOf([&] { buffer.Save(); });
    }
    // Nothing was freed and no block is left pinned.
    void ExpectUntouched() {
        EXPECT_EQ(file.GetFreeHead(), 0u);
        EXPECT_FALSE(file.IsHeaderModified());
        for (uint32_t n = 1; n <= file.GetLastBlockNumber(); ++n) {
            TBlock* b = nullptr;
            ASSERT_TRUE(file.ReadBlock(&cursor, n, b, 1, false));
            EXPECT_EQ(b->PinCount, 1) << "block " << n;
            file.ReleaseBlock(b);
        }
    }

    TempDir dir;
    std::string path = dir.file("STAFF.BLB");
    TestBlobOwner owner;
    TBlobFile file{&owner};
    TestBlobCursor cursor;
    const BlockImage filler{0, 0, 0, 99, 0, 0};
};

TEST_F(BlobCorruptTest, ChainsThatRunIntoThemselvesRaise8963) {
    // A -> B -> C -> A, with spare blocks so the length alone looks plausible.
    const std::vector<BlockImage> cycle{
        {0, 2, 46, 7, 184, 1}, {1, 3, 46, 7, 0, 2}, {2, 1, 46, 7, 0, 3}, filler, filler};
    Open(BuildBlobFile(64, 0, cycle));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);
    EXPECT_EQ(Free(7, 1, false), KURA_MEMOCORRUPT);
    EXPECT_EQ(Free(7, 1, true), KURA_MEMOCORRUPT);
    ExpectUntouched();
    EXPECT_EQ(Save(7, 1, 184), KURA_MEMOCORRUPT);
    EXPECT_EQ(file.GetFreeHead(), 0u);

    // Shrinking to one block: the old tail leads back into the block just written.
    Open(BuildBlobFile(64, 0, cycle));
    EXPECT_EQ(Save(8, 1, 30), KURA_MEMOCORRUPT);
    EXPECT_EQ(file.GetFreeHead(), 0u);

    // A -> B -> C -> B: the loop does not pass through the block the walk holds.
    Open(BuildBlobFile(64, 0, {{0, 2, 46, 7, 184, 1}, {1, 3, 46, 7, 0, 2}, {2, 2, 46, 7, 0, 3}, filler, filler}));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);
    EXPECT_EQ(Free(7, 1, true), KURA_MEMOCORRUPT);
    ExpectUntouched();

    // A block that names itself as its successor.
    Open(BuildBlobFile(64, 0, {{0, 1, 46, 7, 92, 1}, filler}));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);
    EXPECT_EQ(Free(7, 1, true), KURA_MEMOCORRUPT);
    ExpectUntouched();
}

TEST_F(BlobCorruptTest, LinksAndLengthsFromTheDiskAreCheckedBeforeUse) {
    // A next link beyond the last block.
    Open(BuildBlobFile(64, 0, {{0, 9, 46, 7, 92, 1}, filler}));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);
    EXPECT_EQ(Free(7, 1, true), KURA_MEMOCORRUPT);
    ExpectUntouched();
    EXPECT_EQ(Load(7, 3), KURA_MEMOCORRUPT);  // a first block beyond the file

    // More used bytes than a block holds; a total no chain of this file can hold.
    Open(BuildBlobFile(64, 0, {{0, 0, 200, 7, 40, 1}}));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);
    Open(BuildBlobFile(64, 0, {{0, 0, 46, 7, 0xFFFFFFF0u, 1}}));
    EXPECT_EQ(Load(7, 1), KURA_MEMOCORRUPT);

    // A chain that ends before its length, and a block that holds fewer bytes than
    // its place in the chain needs.
    Open(BuildBlobFile(64, 0, {{0, 0, 46, 7, 92, 1}, filler}));
    EXPECT_EQ(Load(7, 1), KURA_ENDOFBLOB);
    Open(BuildBlobFile(64, 0, {{0, 2, 10, 7, 56, 1}, {1, 0, 46, 7, 0, 2}}));
    EXPECT_EQ(Load(7, 1), KURA_ENDOFBLOB);
}

TEST_F(BlobCorruptTest, ForeignIdsFailLoadingAndAreMendedByRepair) {
    const std::vector<BlockImage> chain{{0, 2, 46, 8, 92, 1}, {1, 0, 46, 8, 0, 2}};
    Open(BuildBlobFile(64, 0, chain));
    EXPECT_EQ(Load(7, 1), KURA_KEYORRECDELETED);
    EXPECT_EQ(Free(7, 1, false), KURA_MEMOCORRUPT);
    ExpectUntouched();
    uint32_t first = 1;
    ASSERT_TRUE(file.FreeBlobChain(&cursor, first, true, 1, 7));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(file.GetFreeHead(), 2u);
    file.FlushBlocks();
    file.WriteHeader(false);
    auto disk = ReadBytes(Native(path));
    EXPECT_EQ(GetU32(&disk[512 + 64 + 4]), 1u);  // block 2 -> block 1 -> end
    EXPECT_EQ(GetU32(&disk[512 + 4]), 0u);
    EXPECT_EQ(GetU32(&disk[512 + 64 + 10]), 7u);

    // Only the second block belongs to another value.
    Open(BuildBlobFile(64, 0, {{0, 2, 46, 8, 92, 1}, {1, 0, 46, 9, 0, 2}}));
    EXPECT_EQ(Load(8, 1), KURA_KEYORRECDELETED);
    EXPECT_EQ(Free(8, 1, false), KURA_MEMOCORRUPT);
    ExpectUntouched();
}

TEST_F(BlobCorruptTest, AChangeCheckWhileFreeingNeverLeavesAChainHalfFreed) {
    // Forty blocks of one value; with room for two blocks the cache has let the
    // first ones go again by the time the checked chain is freed.
    std::vector<BlockImage> blocks;
    for (uint32_t n = 1; n <= 40; ++n) blocks.push_back({n - 1, n == 40 ? 0 : n + 1, 0, 7, 0, 0});
    owner.BufferSize = 2 * 64;
    Open(BuildBlobFile(64, 0, blocks));
    int calls = 0;
    cursor.OnBeginRead = [&] { return ++calls == 41; };  // the first miss after the whole walk
    TBlobBuffer buffer(&cursor);
    buffer.BlobId = 7;
    buffer.FirstBlock = 1;
    EXPECT_EQ(ErrorOf([&] { buffer.SaveEmpty(); }), 0);
    EXPECT_EQ(buffer.FirstBlock, 0u);
    // Every block is on the free chain exactly once.
    std::vector<bool> seen(41, false);
    uint32_t n = file.GetFreeHead();
    int count = 0;
    cursor.OnBeginRead = nullptr;
    while (n != 0 && count <= 40) {
        ASSERT_TRUE(file.IsBlockInUse(n));
        EXPECT_FALSE(seen[n]) << "block " << n << " freed twice";
        seen[n] = true;
        TBlock* b = nullptr;
        ASSERT_TRUE(file.ReadBlock(&cursor, n, b, 1, false));
        n = b->Next;
        file.ReleaseBlock(b);
        ++count;
    }
    EXPECT_EQ(count, 40);
}

TEST_F(BlobCorruptTest, FreeChainAndHeaderChecks) {
    TBlock* b = nullptr;
    // A free head beyond the last block.
    Open(BuildBlobFile(64, 9, {filler, filler}));
    EXPECT_EQ(ErrorOf([&] { file.AllocateBlock(&cursor, b); }), KURA_MEMOCORRUPT);
    EXPECT_EQ(ErrorOf([&] { file.VerifyHeader(); }), KURA_HEADERCORRUPT);
    // A free block naming itself, or a block beyond the file, as the next free one.
    Open(BuildBlobFile(64, 1, {{0, 1, 0, 0, 0, 0}}));
    EXPECT_EQ(ErrorOf([&] { file.AllocateBlock(&cursor, b); }), KURA_MEMOCORRUPT);
    Open(BuildBlobFile(64, 1, {{0, 7, 0, 0, 0, 0}}));
    EXPECT_EQ(ErrorOf([&] { file.AllocateBlock(&cursor, b); }), KURA_MEMOCORRUPT);
    EXPECT_EQ(file.GetFreeHead(), 1u);

    // An empty file verifies only with an empty free chain.
    Open(BuildBlobFile(64, 0, {}));
    file.VerifyHeader();
    Open(BuildBlobFile(64, 1, {}));
    EXPECT_EQ(ErrorOf([&] { file.VerifyHeader(); }), KURA_HEADERCORRUPT);

    // Headers that cannot be opened; a failed open leaves the file closed.
    for (auto [image, code] : std::vector<std::pair<std::vector<uint8_t>, int>>{
             {BuildBlobFile(64, 0, {}, 0xFFFFFFFFu), KURA_HEADERCORRUPT},
             {BuildBlobFile(64, 0, {filler}, 3), KURA_HEADERCORRUPT},  // block 2 lies past the end
             {BuildBlobFile(64, 0, {}, 0, 4), KURA_OLDVERSION},
             {std::vector<uint8_t>(100, 0), KURA_HEADERCORRUPT}}) {
        file.CloseFile();
        WriteBytes(Native(path), image);
        EXPECT_EQ(ErrorOf([&] { file.OpenFile(); }), code);
        EXPECT_FALSE(file.IsOpen);
    }
    auto zeroCounter = BuildBlobFile(64, 0, {});
    dfbytes::PutU32(&zeroCounter[13], 0);
    WriteBytes(Native(path), zeroCounter);
    EXPECT_EQ(ErrorOf([&] { file.OpenFile(); }), KURA_HEADERCORRUPT);

    // Another program's header is checked before it is taken.
    Open(BuildBlobFile(64, 0, {filler}));
    auto changed = BuildBlobFile(64, 0, {filler}, 0xFFFFFFFFu);
    changed[0] = 5;
    WriteBytes(Native(path), changed);
    EXPECT_EQ(ErrorOf([&] { file.HeaderChanged(); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(file.GetLastBlockNumber(), 1u);
}

}  // namespace
}  // namespace kura
