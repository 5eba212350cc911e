#pragma once
// Letting a SANE backend's reader threads settle before the backend ends them.
//
// Many backends (SANE's sanei_thread) run a page's reader in a thread with asynchronous
// cancellation and cancel it when the page ends (sane_cancel, sane_close, or sane_read at
// the end of the data). A cancel that lands while the reader is inside malloc or free
// ends it holding the allocator's lock, and the program then freezes at its next
// allocation of that size. The frontend cannot make the cancel safe, but it can choose
// when it comes: only once every thread that appeared since the page started is gone or
// asleep where a reader waits for its pipe, its device or time.
#include <chrono>
#include <string_view>
#include <vector>

namespace platform::twain {

// How long a page's end waits for its readers. A reader still busy after this (stuck
// inside its device's driver, or computing) is cancelled anyway: a scan must never wait
// for ever, and a freeze is then possible again, but only as rarely as before.
constexpr std::chrono::milliseconds ReaderSettleLimit{2000};

// The ids of the process's threads now, sorted; empty when they cannot be listed.
std::vector<int> ProcessThreads();

// Whether a thread whose /proc ".../syscall" line reads `line` may be cancelled: gone
// (nothing to read), or asleep in a call in which a reader waits for data, room or time
// (read, write, poll, sleep...). Not when it runs ("running"), waits outside a system call
// ("-1 ...", e.g. a page fault inside the allocator's new memory), waits for a lock (futex:
// that is how an allocator waits for its own lock) or maps memory (the allocators' own calls,
// made with their locks held).
bool IsSettledSyscall(std::string_view line);

// Waits until every thread that is not in `before` (a ProcessThreads() list) and is not the
// calling thread is settled, at most `limit`. True when they settled (at once when there is
// none, or when `before` is empty: nothing is known then), false when the limit passed.
bool WaitForNewThreadsToSettle(const std::vector<int>& before, std::chrono::milliseconds limit);

}  // namespace platform::twain
