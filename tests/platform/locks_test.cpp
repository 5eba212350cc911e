#include "platform/Files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "platform/LastError.h"
#include "tests/common/TestSupport.h"

using namespace platform;

namespace {

using kura::test::Native;

constexpr uint32_t RW = GENERIC_READ | GENERIC_WRITE;
constexpr uint32_t SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Where the engine keeps its lock bytes: just below 4 GiB, beyond any data.
constexpr uint64_t kTop = 0xFFFEFFFFull;

std::string MakeFile(const kura::test::TempDir& dir, const std::string& name) {
    std::string path = dir.file(name);
    std::ofstream(Native(path)) << "data";
    return path;
}

FileHandle OpenShared(const std::string& path, uint32_t access = RW) {
    return CreateFile(path, access, SHARE_ALL, OPEN_EXISTING, 0);
}

// A file opened twice by this process, both handles able to lock.
struct TwoHandles {
    kura::test::TempDir dir;
    std::string path;
    FileHandle h;
    FileHandle other;
    explicit TwoHandles(const std::string& name)
        : path(MakeFile(dir, name)), h(OpenShared(path)), other(OpenShared(path)) {}
    ~TwoHandles() {
        CloseHandle(h);
        CloseHandle(other);
    }
    bool open() const { return h != INVALID_HANDLE_VALUE && other != INVALID_HANDLE_VALUE; }
};

std::string Lock(uint64_t start, uint64_t length) {
    return std::to_string(start) + " " + std::to_string(length);
}

}  // namespace

TEST(PlatformLocks, OverlapsAreRefusedThroughEveryHandleOfTheProcess) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "t.dat");
    FileHandle a = OpenShared(path);
    FileHandle b = OpenShared(path);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);

    EXPECT_TRUE(LockFile(a, kTop + 10, 10));
    // The same handle, another handle: any overlap refuses, at either end.
    EXPECT_FALSE(LockFile(a, kTop + 10, 10));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(LockFile(a, kTop + 15, 10));
    EXPECT_FALSE(LockFile(b, kTop + 15, 10));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(LockFile(b, kTop + 5, 6));
    EXPECT_FALSE(LockFile(b, kTop, 100));
    // Neighbours touch but do not overlap.
    EXPECT_TRUE(LockFile(b, kTop + 20, 5));
    EXPECT_TRUE(LockFile(a, kTop + 5, 5));

    // Unlock needs the exact range and the handle that locked it.
    EXPECT_FALSE(UnlockFile(a, kTop + 10, 5));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_FALSE(UnlockFile(a, kTop + 10, 20));
    EXPECT_FALSE(UnlockFile(b, kTop + 10, 10));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_FALSE(UnlockFile(a, kTop + 900, 1));
    EXPECT_TRUE(UnlockFile(a, kTop + 10, 10));
    EXPECT_FALSE(UnlockFile(a, kTop + 10, 10));  // only once
    EXPECT_TRUE(LockFile(b, kTop + 15, 5));
    EXPECT_FALSE(LockFile(a, kTop + 12, 4));  // still b's byte 15

    // Length 0 and ranges into the share markers are refused.
    EXPECT_FALSE(LockFile(a, 100, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(LockFile(a, kShareMarkerBase - 1, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(LockFile(a, UINT64_MAX, 1));
    EXPECT_TRUE(LockFile(a, kShareMarkerBase - 1, 1));
    EXPECT_TRUE(LockFile(a, 0, 1));

    // Closing a handle releases what it held, for the other handles too.
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_TRUE(LockFile(a, kTop + 15, 10));
    FileHandle c = OpenShared(path);
    EXPECT_FALSE(LockFile(c, kTop + 15, 1));
    CloseHandle(a);
    EXPECT_TRUE(LockFile(c, kTop + 15, 1));
    CloseHandle(c);
    EXPECT_FALSE(LockFile(c, 1, 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PlatformLocks, LockedRangeRefusesAnotherProcessUntilReleased) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "shared.dat");
    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + path + " rw 3 3");
    ASSERT_EQ(child.readLine(), "ok 0");
    child.send("lock 0 " + Lock(kTop, 16));
    ASSERT_EQ(child.readLine(), "ok");

    FileHandle h = OpenShared(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(LockFile(h, kTop, 16));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(LockFile(h, kTop + 15, 1));
    EXPECT_TRUE(LockFile(h, kTop + 16, 1));
    child.send("lock 0 " + Lock(kTop + 16, 1));
    EXPECT_EQ(child.readLine(), "fail 33");

    // A different split of the range releases nothing.
    child.send("unlock 0 " + Lock(kTop, 8));
    EXPECT_EQ(child.readLine(), "fail 158");
    EXPECT_FALSE(LockFile(h, kTop, 1));
    child.send("unlock 0 " + Lock(kTop, 16));
    EXPECT_EQ(child.readLine(), "ok");
    EXPECT_TRUE(LockFile(h, kTop, 16));
    EXPECT_TRUE(UnlockFile(h, kTop, 16));

    // A process killed in the middle leaves no lock behind.
    child.send("lock 0 " + Lock(kTop + 100, 4));
    ASSERT_EQ(child.readLine(), "ok");
    EXPECT_FALSE(LockFile(h, kTop + 100, 4));
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_TRUE(LockFile(h, kTop + 100, 4));
    CloseHandle(h);
}

TEST(PlatformLocks, ReadOnlyHandlesLockToo) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "ro.dat");
    ASSERT_EQ(chmod(Native(path).c_str(), 0444), 0);
    FileHandle a = OpenShared(path, GENERIC_READ);
    FileHandle b = OpenShared(path, GENERIC_READ);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(LockFile(a, kTop, 2));
    EXPECT_FALSE(LockFile(b, kTop + 1, 1));

    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + path + " r 3 3");
    ASSERT_EQ(child.readLine(), "ok 0");
    child.send("lock 0 " + Lock(kTop, 1));
    EXPECT_EQ(child.readLine(), "fail 33");
    EXPECT_TRUE(UnlockFile(a, kTop, 2));
    child.send("lock 0 " + Lock(kTop, 1));
    EXPECT_EQ(child.readLine(), "ok");
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(LockFile(b, kTop, 1));
    CloseHandle(a);
    CloseHandle(b);
}

TEST(PlatformLocks, ConcurrentLockersNeverShareARange) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "race.dat");
    constexpr int kThreads = 4;
    std::vector<FileHandle> handles;
    for (int i = 0; i < kThreads; ++i) handles.push_back(OpenShared(path));
    std::atomic<int> holders{0};
    std::atomic<int> maxHolders{0};
    std::atomic<int> acquired{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 300; ++round) {
                if (!LockFile(handles[i], kTop, 4)) continue;
                int now = ++holders;
                int seen = maxHolders.load();
                while (now > seen && !maxHolders.compare_exchange_weak(seen, now)) {
                }
                ++acquired;
                --holders;
                EXPECT_TRUE(UnlockFile(handles[i], kTop, 4));
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(maxHolders.load(), 1);
    EXPECT_GT(acquired.load(), 0);
    for (auto h : handles) CloseHandle(h);
}

// Many held ranges, as a transaction holding its record locks has: neighbours may
// touch, any overlap is refused, and only the exact range unlocks.
TEST(PlatformLocks, ManyRangesTouchButNeverOverlap) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "many.dat");
    FileHandle h = OpenShared(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (uint64_t i = 0; i < 2000; ++i) ASSERT_TRUE(LockFile(h, 1000 + i * 10, 5)) << i;
    EXPECT_TRUE(LockFile(h, 1005, 5));    // exactly between two neighbours
    EXPECT_FALSE(LockFile(h, 1004, 1));   // the last byte of a range
    EXPECT_FALSE(LockFile(h, 1009, 3));   // reaches into the next range
    EXPECT_FALSE(LockFile(h, 990, 2000)); // covers many
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_TRUE(LockFile(h, 995, 5));     // just before the first
    EXPECT_FALSE(UnlockFile(h, 1010, 4));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    for (uint64_t i = 0; i < 2000; ++i) ASSERT_TRUE(UnlockFile(h, 1000 + i * 10, 5)) << i;
    EXPECT_FALSE(LockFile(h, 1003, 4));   // 1005 is still held
    EXPECT_TRUE(UnlockFile(h, 1005, 5));
    EXPECT_TRUE(LockFile(h, 1003, 4));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PlatformLocks, RangesLockedOneByOneAreReleasedTogetherForOtherProcessesToo) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "runs.dat");
    FileHandle h = OpenShared(path);
    FileHandle other = OpenShared(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    for (uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(LockFile(h, kTop + i, 1));
    ASSERT_TRUE(LockFile(h, kTop + 5, 1));
    // Another handle of this process cannot release them, nor can a range that
    // goes beyond what is held.
    EXPECT_FALSE(UnlockFileRanges(other, kTop, 5));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_FALSE(UnlockFileRanges(h, kTop, 7));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_TRUE(UnlockFileRanges(h, kTop, 5));

    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + path + " rw 3 3");
    ASSERT_EQ(child.readLine(), "ok 0");
    child.send("lock 0 " + Lock(kTop, 5));
    EXPECT_EQ(child.readLine(), "ok");
    child.send("lock 0 " + Lock(kTop + 5, 1));
    EXPECT_EQ(child.readLine(), "fail 33");
    child.send("quit");
    child.wait();
    EXPECT_TRUE(UnlockFile(h, kTop + 5, 1));
    CloseHandle(h);
    CloseHandle(other);
}

TEST(PlatformLocks, BytesLockedInOneCallAreHeldAndReleasedOneByOne) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "bytes.dat");
    FileHandle h = OpenShared(path);
    FileHandle other = OpenShared(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    // All or nothing: one byte held elsewhere refuses the whole run.
    ASSERT_TRUE(LockFile(other, kTop + 3, 1));
    EXPECT_FALSE(LockFileBytes(h, kTop, 6));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_TRUE(LockFile(h, kTop, 3));
    EXPECT_TRUE(UnlockFile(h, kTop, 3));
    EXPECT_TRUE(UnlockFile(other, kTop + 3, 1));
    EXPECT_FALSE(LockFileBytes(h, kTop, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(LockFileBytes(h, kTop, 6));
    EXPECT_FALSE(LockFile(other, kTop + 5, 1));
    // Each byte is a range of its own: the run as a whole is no single lock.
    EXPECT_FALSE(UnlockFile(h, kTop, 6));
    EXPECT_TRUE(UnlockFile(h, kTop + 2, 1));
    EXPECT_TRUE(UnlockFileRanges(h, kTop + 3, 3));

    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + path + " rw 3 3");
    ASSERT_EQ(child.readLine(), "ok 0");
    child.send("lock 0 " + Lock(kTop + 2, 4));
    EXPECT_EQ(child.readLine(), "ok");
    child.send("lock 0 " + Lock(kTop + 1, 1));
    EXPECT_EQ(child.readLine(), "fail 33");
    EXPECT_TRUE(UnlockFileRanges(h, kTop, 2));
    child.send("lock 0 " + Lock(kTop, 2));
    EXPECT_EQ(child.readLine(), "ok");
    child.send("quit");
    child.wait();
    CloseHandle(h);
    CloseHandle(other);
}

// Runs locked byte by byte are kept as runs and split as bytes go: every way of
// locking and releasing agrees with a model that holds each byte of such a run as
// a lock of its own, in this process and, at the end, for another process.
TEST(PlatformLocks, RunsOfByteLocksSplitAsTheirBytesGoAgainstModel) {
    TwoHandles files("runs.dat");
    ASSERT_TRUE(files.open());
    const FileHandle h = files.h;
    const FileHandle other = files.other;
    constexpr uint64_t kSpan = 48;
    // The model: the locks held, by start and length (a run is its bytes).
    std::map<uint64_t, uint64_t> held;
    auto free = [&](uint64_t s, uint64_t n) {
        for (const auto& [start, length] : held)
            if (start < s + n && s < start + length) return false;
        return true;
    };
    auto covered = [&](uint64_t s, uint64_t n) {
        uint64_t at = s;
        for (auto it = held.find(s); it != held.end() && it->first == at && at < s + n; ++it) at += it->second;
        return at == s + n;
    };
    std::mt19937 rng(3434);
    for (int step = 0; step < 3000; ++step) {
        const uint64_t s = rng() % kSpan;
        const uint64_t n = 1 + rng() % (rng() % 4 == 0 ? 12 : 3);
        const int op = static_cast<int>(rng() % 4);
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " at " + Lock(s, n));
        if (op == 0) {
            const bool want = free(s, n);
            ASSERT_EQ(LockFileBytes(h, kTop + s, n), want);
            for (uint64_t b = s; want && b < s + n; ++b) held[b] = 1;
        } else if (op == 1) {
            const bool want = free(s, n);
            ASSERT_EQ(LockFile(h, kTop + s, n), want);
            if (want) held[s] = n;
        } else if (op == 2) {
            auto it = held.find(s);
            const bool want = it != held.end() && it->second == n;
            ASSERT_EQ(UnlockFile(h, kTop + s, n), want);
            if (want) held.erase(it);
        } else {
            const bool want = covered(s, n);
            ASSERT_EQ(UnlockFileRanges(h, kTop + s, n), want);
            if (want) held.erase(held.find(s), held.lower_bound(s + n));
        }
        // Another handle of this process sees each byte as held or free.
        const uint64_t probe = rng() % kSpan;
        const bool isFree = free(probe, 1);
        ASSERT_EQ(LockFile(other, kTop + probe, 1), isFree) << "byte " << probe;
        ASSERT_TRUE(!isFree || UnlockFile(other, kTop + probe, 1));
    }
    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + files.path + " rw 3 3");
    ASSERT_EQ(child.readLine(), "ok 0");
    for (uint64_t b = 0; b < kSpan; ++b) {
        child.send("lock 0 " + Lock(kTop + b, 1));
        const bool isFree = free(b, 1);
        EXPECT_EQ(child.readLine(), isFree ? "ok" : "fail 33") << "byte " << b;
        if (isFree) {
            child.send("unlock 0 " + Lock(kTop + b, 1));
            EXPECT_EQ(child.readLine(), "ok");
        }
    }
    child.send("quit");
    child.wait();
    for (const auto& [start, length] : held) EXPECT_TRUE(UnlockFile(h, kTop + start, length));
}
