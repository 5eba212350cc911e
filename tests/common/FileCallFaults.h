#pragma once
// Fails one chosen file-changing system call of the file layer (platform/FileCalls.h):
// every create, write, truncation, sync, rename, link and delete counts, from the
// last arming (or only those on a file whose path holds a given name). A test first
// counts the calls of a clean run, then runs again with the Nth call failing (EIO,
// nothing done), or the process killed right before it as a crash would end it, for
// every N. While an object lives it stands between the file layer and the kernel;
// the kernel's calls come back when it goes. One at a time.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/FileCalls.h"

namespace kura::test {

class FileCallFaults {
public:
    // named: only calls on a file whose path holds it count (all when empty).
    explicit FileCallFaults(std::string named = {}) {
        State() = {0, 0, {}, std::move(named), false};
        platform::FileCallTable& calls = platform::FileCalls();
        calls.open = [](const char* path, int flags, mode_t mode) {
            if ((flags & O_CREAT) != 0 && Fails("create", Named(path))) return -1;
            return platform::SystemFileCalls().open(path, flags, mode);
        };
        calls.pwrite = [](int fd, const void* buffer, size_t count, off_t offset) -> ssize_t {
            if (Fails("write", NamedFd(fd))) return -1;
            return platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
        };
        calls.ftruncate = [](int fd, off_t length) {
            if (Fails("truncate", NamedFd(fd))) return -1;
            return platform::SystemFileCalls().ftruncate(fd, length);
        };
        calls.fsync = [](int fd) {
            if (Fails("sync", NamedFd(fd))) return -1;
            return platform::SystemFileCalls().fsync(fd);
        };
        calls.fdatasync = [](int fd) {
            if (Fails("sync", NamedFd(fd))) return -1;
            return platform::SystemFileCalls().fdatasync(fd);
        };
        calls.unlink = [](const char* path) {
            if (Fails("delete", Named(path))) return -1;
            return platform::SystemFileCalls().unlink(path);
        };
        calls.rename = [](const char* from, const char* to) {
            if (Fails("rename", Named(from) || Named(to))) return -1;
            return platform::SystemFileCalls().rename(from, to);
        };
        calls.renameNoReplace = [](const char* from, const char* to) {
            if (Fails("rename", Named(from) || Named(to))) return -1;
            return platform::SystemFileCalls().renameNoReplace(from, to);
        };
        calls.link = [](const char* from, const char* to) {
            if (Fails("link", Named(from) || Named(to))) return -1;
            return platform::SystemFileCalls().link(from, to);
        };
    }
    ~FileCallFaults() { platform::FileCalls() = platform::SystemFileCalls(); }
    FileCallFaults(const FileCallFaults&) = delete;
    FileCallFaults& operator=(const FileCallFaults&) = delete;

    // Restarts the count; call `at` (1 = the next one) fails, 0 fails none. With kill,
    // the process is killed (SIGKILL) right before it instead.
    void Arm(uint64_t at, bool kill = false) { State() = {0, at, {}, State().Named, kill}; }
    void Disarm() { State().At = 0; }
    // Calls since the last arming.
    uint64_t Calls() const { return State().Calls; }
    // What the armed call was ("write", "rename", ...), "" while it has not come.
    const std::string& Failed() const { return State().Failed; }

private:
    struct TState {
        uint64_t Calls = 0;
        uint64_t At = 0;
        std::string Failed;
        std::string Named;
        bool Kill = false;
    };
    static TState& State() {
        static TState state;
        return state;
    }
    static bool Named(std::string_view path) {
        return State().Named.empty() || path.find(State().Named) != std::string_view::npos;
    }
    static bool NamedFd(int fd) {
        if (State().Named.empty()) return true;
        std::error_code ec;
        return Named(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).native());
    }
    static bool Fails(const char* what, bool named) {
        TState& s = State();
        if (!named || ++s.Calls != s.At) return false;
        if (s.Kill) ::kill(::getpid(), SIGKILL);
        s.Failed = what;
        errno = EIO;
        return true;
    }
};

// While it lives every open of the file layer goes through `open`, which answers in
// the kernel's stead or calls it (platform::SystemFileCalls()). One at a time.
class OpensThrough {
public:
    using Open = std::function<int(const char* path, int flags, mode_t mode)>;
    explicit OpensThrough(Open open) : saved_(platform::FileCalls()) {
        open_ = std::move(open);
        platform::FileCalls().open = [](const char* path, int flags, mode_t mode) { return open_(path, flags, mode); };
    }
    ~OpensThrough() {
        platform::FileCalls() = saved_;
        open_ = nullptr;
    }
    OpensThrough(const OpensThrough&) = delete;
    OpensThrough& operator=(const OpensThrough&) = delete;

private:
    static inline Open open_;
    platform::FileCallTable saved_;
};

// While it lives no file can be made in the folder (EACCES), as in a folder the
// user may not write to.
class RefusedOpensIn : OpensThrough {
public:
    explicit RefusedOpensIn(const std::string& folder)
        : OpensThrough([in = std::filesystem::canonical(folder).string() + "/"](const char* p, int flags, mode_t m) {
              if ((flags & O_CREAT) != 0 && std::string_view(p).starts_with(in)) return errno = EACCES, -1;
              return platform::SystemFileCalls().open(p, flags, m);
          }) {}
};

// Counts the byte-range locks the kernel refuses while it lives: a wait's tries are
// counted instead of timed, so that a loaded machine changes nothing. One at a time.
class RefusedLocks {
public:
    RefusedLocks() {
        count_ = 0;
        platform::FileCalls().lock = [](int fd, short type, off_t start, off_t length) {
            const int result = platform::SystemFileCalls().lock(fd, type, start, length);
            if (result != 0) ++count_;
            return result;
        };
    }
    ~RefusedLocks() { platform::FileCalls().lock = platform::SystemFileCalls().lock; }
    RefusedLocks(const RefusedLocks&) = delete;
    RefusedLocks& operator=(const RefusedLocks&) = delete;
    // Refusals since it was made or last read; reading starts the count again.
    int Take() { return std::exchange(count_, 0); }

private:
    static inline int count_ = 0;
};

}  // namespace kura::test
