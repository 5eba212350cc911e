// The reader byte and writer range of a BLOB file between two programs. The parent
// probes single bytes with one attempt each, so a refused lock never waits through
// the retry loop.
#include <gtest/gtest.h>

#include <csignal>

#include "engine/files/BlobFile.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/BlobTestSupport.h"

namespace kura {
namespace {

using namespace kura::test;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new BlobRegistryEnvironment);

class BlobLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        TBlobFile creator(nullptr);
        creator.FileName = path;
        creator.CreateFile();
        creator.WriteHeader(true);
        creator.CloseFile();
        file.FileName = path;
        file.SetBlockSize(512);
        file.OpenFile();
    }
    bool Probe(int64_t start, int64_t length) {
        if (!file.LockBytes(true, start, length)) return false;
        EXPECT_TRUE(file.LockBytes(false, start, length));
        return true;
    }
    bool ProbeReader(int32_t r) { return Probe(BLOB_READER_LOCK_BASE - r, 1); }
    bool ProbeWriter() { return Probe(BLOB_WRITER_LOCK_OFFSET, BLOB_WRITER_LOCK_LENGTH); }

    TempDir dir;
    std::string path = dir.file("STAFF.BLB");
    TBlobFile file{nullptr};
};

TEST_F(BlobLockTest, WriterRangeExcludesEveryReaderByte) {
    ChildProcess child({"blob_lock", path});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("write");
    ASSERT_EQ(child.readLine(), "yes");
    for (int32_t r : {1, 2, 32768, 65534, 65535}) EXPECT_FALSE(ProbeReader(r)) << r;
    EXPECT_FALSE(ProbeWriter());
    // The bytes just outside the range stay free: r = 0 would land on one of them,
    // which is why it is never drawn.
    EXPECT_TRUE(Probe(BLOB_WRITER_LOCK_OFFSET - 1, 1));
    EXPECT_TRUE(ProbeReader(0));
    child.send("unwrite");
    EXPECT_EQ(child.readLine(), "yes");
    EXPECT_TRUE(ProbeWriter());
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(BlobLockTest, ReadersShareAndEachExcludesTheWriter) {
    ChildProcess child({"blob_lock", path});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("read");
    std::string answer = child.readLine();
    ASSERT_EQ(answer.rfind("yes ", 0), 0u) << answer;
    const int32_t childByte = std::stoi(answer.substr(4));
    EXPECT_GE(childByte, 1);
    EXPECT_LE(childByte, 65535);
    EXPECT_FALSE(ProbeReader(childByte));
    EXPECT_FALSE(ProbeWriter());

    int32_t r = 0;
    ASSERT_TRUE(file.LockRead(r));
    EXPECT_NE(r, childByte);
    // A program holding its own reader byte conflicts with its own writer range.
    EXPECT_FALSE(ProbeWriter());
    EXPECT_TRUE(file.UnlockRead(r));
    EXPECT_FALSE(file.UnlockRead(0));

    child.send("unread " + std::to_string(childByte));
    EXPECT_EQ(child.readLine(), "yes");
    ASSERT_TRUE(file.LockWrite());
    EXPECT_TRUE(file.UnlockWrite());
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(BlobLockTest, AKilledHolderFreesItsLocks) {
    ChildProcess child({"blob_lock", path});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("write");
    ASSERT_EQ(child.readLine(), "yes");
    EXPECT_FALSE(ProbeWriter());
    child.kill(SIGKILL);
    child.wait();
    ASSERT_TRUE(file.LockWrite());
    EXPECT_TRUE(file.UnlockWrite());
}

}  // namespace
}  // namespace kura
