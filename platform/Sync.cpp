#include "platform/Sync.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <thread>

namespace platform {

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Unsigned arithmetic: the count wraps after 49.7 days, as callers expect.
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(gettid()); }

namespace {
std::string TaskPath(int id) { return "/proc/self/task/" + std::to_string(id); }
}  // namespace

std::vector<int> ThreadsNamed(std::string_view name) {
    std::vector<int> ids;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return ids;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view text = entry->d_name;
        int id = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
        if (ec != std::errc() || end != text.data() + text.size()) continue;
        std::string comm;
        std::getline(std::ifstream(TaskPath(id) + "/comm"), comm);
        if (comm == name.substr(0, 15)) ids.push_back(id);
    }
    closedir(dir);
    return ids;
}

bool WaitForThreadsToLeave(const std::vector<int>& ids, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const bool gone = std::none_of(ids.begin(), ids.end(), [](int id) {
            struct stat st;
            return stat(TaskPath(id).c_str(), &st) == 0;
        });
        if (gone) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
}

}  // namespace platform
