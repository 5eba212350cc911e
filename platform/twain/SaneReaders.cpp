#include "platform/twain/SaneReaders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <thread>

namespace platform::twain {
namespace {

// Calls in which a reader waits for its pipe, its device, the network, a child or time.
// Neither glibc's allocator nor the sanitizers' sleep in any of them with a lock held.
bool IsWaitingCall(long call) {
    switch (call) {
        case SYS_read:
        case SYS_write:
        case SYS_readv:
        case SYS_writev:
        case SYS_pread64:
        case SYS_pwrite64:
        case SYS_ioctl:
        case SYS_ppoll:
        case SYS_pselect6:
        case SYS_epoll_pwait:
        case SYS_nanosleep:
        case SYS_clock_nanosleep:
        case SYS_recvfrom:
        case SYS_recvmsg:
        case SYS_sendto:
        case SYS_sendmsg:
        case SYS_accept4:
        case SYS_connect:
        case SYS_wait4:
        case SYS_waitid:
        case SYS_rt_sigsuspend:
        case SYS_rt_sigtimedwait:
#ifdef SYS_poll
        case SYS_poll:
        case SYS_select:
        case SYS_epoll_wait:
        case SYS_accept:
        case SYS_pause:
#endif
            return true;
        default: return false;
    }
}

// The thread's /proc "syscall" line; "" once the thread is gone (or when the file cannot be
// read: nothing is known then, and nothing is waited for).
std::string SyscallLine(int thread) {
    const std::string path = "/proc/self/task/" + std::to_string(thread) + "/syscall";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n > 0 ? std::string(buffer, size_t(n)) : "";
}

}  // namespace

std::vector<int> ProcessThreads() {
    std::vector<int> threads;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return threads;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        int id = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), id);
        if (ec == std::errc() && end == name.data() + name.size()) threads.push_back(id);
    }
    closedir(dir);
    std::sort(threads.begin(), threads.end());
    return threads;
}

bool IsSettledSyscall(std::string_view line) {
    const size_t start = line.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) return true;  // gone
    line.remove_prefix(start);
    long call = -1;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), call);
    const bool whole = end == line.data() + line.size() || *end == ' ' || *end == '\n';
    return ec == std::errc() && whole && IsWaitingCall(call);
}

bool WaitForNewThreadsToSettle(const std::vector<int>& before, std::chrono::milliseconds limit) {
    if (before.empty()) return true;
    const int self = int(gettid());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        bool settled = true;
        for (int thread : ProcessThreads())
            if (thread != self && !std::binary_search(before.begin(), before.end(), thread) &&
                !IsSettledSyscall(SyscallLine(thread))) {
                settled = false;
                break;
            }
        if (settled) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // The reader is usually one write away from a full pipe, or leaving.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
}

}  // namespace platform::twain
