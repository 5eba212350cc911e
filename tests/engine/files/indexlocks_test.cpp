// The reader and writer locks of an index file, between two programs and inside
// one: readers share, the writer range covers every reader byte, and the locks of
// a program that dies are gone with it.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace kura {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new test::FileListEnvironment);

struct LockFixture {
    test::TempDir dir;
    std::string path = dir.file("STAFF.IDX");
    std::unique_ptr<TIndexFile> file;

    LockFixture() {
        TIndexFile creator(nullptr);
        creator.FileName = path;
        creator.CreateFile();
        creator.WriteHeader(false);
        creator.CloseFile();
        file = Open();
    }
    std::unique_ptr<TIndexFile> Open() {
        auto f = std::make_unique<TIndexFile>(nullptr);
        f->FileName = path;
        f->OpenFile();
        f->LockAttempts = 3;
        return f;
    }
};

TEST(IndexLocks, TheWriterRangeExcludesEveryReaderByte) {
    LockFixture f;
    test::ChildProcess child({"index_locks", f.path});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("write");
    ASSERT_EQ(child.readLine(), "yes");
    int32_t taken = 0;
    for (int64_t r = 1; r <= 65535; ++r)
        if (f.file->LockBytes(true, INDEX_READ_LOCK_BASE - r, 1)) ++taken;
    EXPECT_EQ(taken, 0);
    EXPECT_TRUE(f.file->LockBytes(true, INDEX_WRITE_LOCK_OFFSET - 1, 1));  // just below the range
    EXPECT_TRUE(f.file->LockBytes(false, INDEX_WRITE_LOCK_OFFSET - 1, 1));
    int32_t reader = 0;
    EXPECT_FALSE(f.file->LockRead(reader));
    EXPECT_FALSE(f.file->LockWrite());
    child.send("unwrite");
    ASSERT_EQ(child.readLine(), "yes");
    ASSERT_TRUE(f.file->LockRead(reader));
    EXPECT_GE(reader, 1);
    EXPECT_LE(reader, 65535);
    child.send("write");
    EXPECT_EQ(child.readLine(), "no");  // a reader keeps the writer out
    EXPECT_TRUE(f.file->UnlockRead(reader));
    child.send("write");
    EXPECT_EQ(child.readLine(), "yes");
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

TEST(IndexLocks, ReadersShareAndAWriterWaitsForAllOfThem) {
    LockFixture f;
    test::ChildProcess child({"index_locks", f.path});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("read");
    const std::string answer = child.readLine();
    ASSERT_EQ(answer.rfind("yes ", 0), 0u) << answer;
    int32_t reader = 0;
    EXPECT_TRUE(f.file->LockRead(reader));
    EXPECT_NE(std::to_string(reader), answer.substr(4));
    EXPECT_TRUE(f.file->UnlockRead(reader));
    EXPECT_FALSE(f.file->LockWrite());
    child.send("un" + std::string("read ") + answer.substr(4));
    EXPECT_EQ(child.readLine(), "yes");
    EXPECT_TRUE(f.file->LockWrite());
    EXPECT_TRUE(f.file->UnlockWrite());
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

TEST(IndexLocks, AKilledHolderFreesItsLocks) {
    LockFixture f;
    {
        test::ChildProcess child({"index_locks", f.path});
        ASSERT_EQ(child.readLine(), "ready");
        child.send("write");
        ASSERT_EQ(child.readLine(), "yes");
        EXPECT_FALSE(f.file->LockWrite());
        child.kill(SIGKILL);
        child.wait();
    }
    f.file->LockAttempts = 100;
    EXPECT_TRUE(f.file->LockWrite());
    EXPECT_TRUE(f.file->UnlockWrite());
}

TEST(IndexLocks, ATableHoldingItsReaderByteCannotTakeTheWriterLock) {
    LockFixture f;
    int32_t reader = 0;
    ASSERT_TRUE(f.file->LockRead(reader));
    EXPECT_FALSE(f.file->LockWrite());
    // Another table of this program on the same file is kept out the same way.
    std::unique_ptr<TIndexFile> second = f.Open();
    EXPECT_FALSE(second->LockWrite());
    int32_t other = 0;
    EXPECT_TRUE(second->LockRead(other));
    EXPECT_TRUE(second->UnlockRead(other));
    EXPECT_TRUE(f.file->UnlockRead(reader));
    EXPECT_FALSE(f.file->UnlockRead(reader));  // nothing left to release
    EXPECT_TRUE(second->LockWrite());
    EXPECT_FALSE(f.file->LockRead(reader));
    EXPECT_TRUE(second->UnlockWrite());
    EXPECT_FALSE(f.file->UnlockRead(0));
}

}  // namespace
}  // namespace kura
