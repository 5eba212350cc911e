// The scanner layer's loader against the freeze of cancelled backend threads. A page of
// SANE's "test" backend, whose reader thread is cancelled at the end of every page, is
// scanned in a child program while another thread holds the dynamic loader's lock. SANE
// loaded by dlopen alone waits for that lock at the page's end (the thread's first exit or
// cancel loads libgcc_s under it; had the lock's owner been a cancelled thread, it would
// wait for ever); SANE loaded through our loader must end the page without it.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/common/SaneTestSupport.h"
#include "tests/common/TestSupport.h"

namespace {

TEST(SaneLoader, APageEndsWhileTheLoaderLockIsHeld) {
    if (!kura::test::UseSaneTestBackend()) GTEST_SKIP() << "SANE's test backend is not installed";
    kura::test::WriteSaneTestConfig({});
    struct Case {
        const char* mode;
        const char* limitMs;  // how long the child waits for the page's end
        const char* expected;
    };
    // Without our loader the page cannot end while the lock is held: the case shows that the
    // ordering forces the load under the lock. With it the page ends well within the limit.
    for (const Case& c : {Case{"bare", "2000", "blocked"}, Case{"loader", "60000", "scanned"}}) {
        SCOPED_TRACE(c.mode);
        kura::test::ChildProcess child({"sane_loader_lock", c.mode, kura::test::SaneConfigFolder(), c.limitMs});
        ASSERT_EQ(child.readLine(30000), "held");
        EXPECT_EQ(child.readLine(90000), c.expected);
        if (std::string(c.mode) == "loader") {
            EXPECT_EQ(child.wait(), 0);
        } else {
            // Once the lock is let go the two loads race as they do in a program; that race is
            // what this test is not about.
            child.kill(SIGKILL);
        }
    }
}

}  // namespace
