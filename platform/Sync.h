#pragma once
// Critical sections and the small process and time services of the original platform.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform {

// A re-entrant lock: the owning thread may enter again and must leave as often.
class CriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    bool TryEnter() { return mutex_.try_lock(); }

    // BasicLockable, so std::lock_guard and std::unique_lock work.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~CriticalSectionLock() { section_.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& section_;
};

// Suspends the calling thread; 0 only yields.
void Sleep(uint32_t milliseconds);
// Milliseconds of a monotonic clock, wrapping at 2^32 like the original.
uint32_t GetTickCount();
uint32_t GetCurrentProcessId();
// The kernel thread id of the calling thread.
uint32_t GetCurrentThreadId();

// The kernel ids of this process's threads that carry the name (as a thread names
// itself, at most 15 bytes kept); none when the threads cannot be listed.
std::vector<int> ThreadsNamed(std::string_view name);
// Waits until none of the threads is left in the process, at most limit; true when
// they are gone. A thread told to end may still be leaving when its owner's wait for
// it returns (a detached thread); this sees it gone from the system.
bool WaitForThreadsToLeave(const std::vector<int>& ids, std::chrono::milliseconds limit);

}  // namespace platform
