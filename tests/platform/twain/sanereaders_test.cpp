// When the scanner layer lets a page's end go ahead: every thread that appeared since the
// page started must be gone or asleep where a backend's reader waits (a full pipe, its
// device, time), never running or waiting for a lock, which is where an asynchronous cancel
// can leave the allocator locked.
#include "platform/twain/SaneReaders.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::twain::IsSettledSyscall;
using platform::twain::ProcessThreads;
using platform::twain::WaitForNewThreadsToSettle;
using namespace std::chrono_literals;

// A /proc "syscall" line of a thread asleep in `call`.
std::string Asleep(long call) {
    return std::to_string(call) + " 0x3 0x7f3c 0x10000 0x0 0x0 0x0 0x7ffd 0x7f3b\n";
}

TEST(SaneReaders, OnlyAThreadGoneOrAsleepWhereAReaderWaitsIsSettled) {
    struct Case {
        std::string line;
        bool settled;
    };
    const Case cases[] = {
        {"", true},  // gone
        {Asleep(SYS_write), true},  // the pipe is full
        {Asleep(SYS_read), true},
        {Asleep(SYS_ioctl), true},  // the device
        {Asleep(SYS_ppoll), true},
        {Asleep(SYS_clock_nanosleep), true},
        {"running\n", false},
        {"-1 0x7ffd 0x7f3b\n", false},  // asleep outside a call: a page fault in new memory
        {Asleep(SYS_futex), false},     // how an allocator waits for its lock
        {Asleep(SYS_mmap), false},      // the allocators map with their locks held
        {Asleep(SYS_munmap), false},
        {Asleep(SYS_brk), false},
        {Asleep(SYS_madvise), false},
        {"1x 0x3\n", false},
        {"99999999999999999999 0x3\n", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSettledSyscall(c.line), c.settled) << c.line;
}

// Threads in every state a reader can be in, started after the page's list of threads.
TEST(SaneReaders, APageEndWaitsForItsNewThreadsOnlyUntilTheyBlockWritingOrLeave) {
    std::atomic<bool> stop{false};
    auto spin = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
    };
    std::thread old(spin);  // busy, but there before the page: not the page's reader
    const std::vector<int> before = ProcessThreads();
    ASSERT_TRUE(std::binary_search(before.begin(), before.end(), int(gettid())));
    ASSERT_GE(before.size(), 2u);
    EXPECT_TRUE(WaitForNewThreadsToSettle(before, 60s));

    {
        SCOPED_TRACE("busy: the limit passes");
        std::atomic<bool> done{false};
        std::thread busy([&] {
            while (!done.load(std::memory_order_relaxed)) {
            }
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(WaitForNewThreadsToSettle(before, 200ms));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
        EXPECT_TRUE(WaitForNewThreadsToSettle({}, 200ms)) << "nothing known without a list";
        done = true;
        busy.join();
        EXPECT_TRUE(WaitForNewThreadsToSettle(before, 60s)) << "gone";
    }
    {
        SCOPED_TRACE("waiting for a lock: the limit passes");
        std::mutex m;
        std::condition_variable cv;
        bool go = false;
        std::thread waiter([&] {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return go; });
        });
        EXPECT_FALSE(WaitForNewThreadsToSettle(before, 200ms));
        {
            std::lock_guard lock(m);
            go = true;
        }
        cv.notify_all();
        waiter.join();
    }
    {
        SCOPED_TRACE("blocked writing into a full pipe");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::vector<char> page(1 << 20, 'x');  // far more than a pipe holds
        ssize_t written = -1;
        std::thread writer([&] { written = write(fds[1], page.data(), page.size()); });
        EXPECT_TRUE(WaitForNewThreadsToSettle(before, 60s));
        // A thread of its own that waits is not waited for.
        bool fromNewThread = false;
        std::thread([&] { fromNewThread = WaitForNewThreadsToSettle(before, 60s); }).join();
        EXPECT_TRUE(fromNewThread);
        // Read the page back, so that the writer leaves.
        size_t got = 0;
        std::vector<char> chunk(65536);
        while (got < page.size()) {
            const ssize_t n = read(fds[0], chunk.data(), chunk.size());
            ASSERT_GT(n, 0);
            got += size_t(n);
        }
        writer.join();
        EXPECT_EQ(written, ssize_t(page.size()));
        close(fds[0]);
        close(fds[1]);
    }
    stop = true;
    old.join();
}

}  // namespace
