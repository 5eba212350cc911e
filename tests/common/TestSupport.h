#pragma once
// Shared test support: scratch folders and a second process to test sharing and locks.
#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace kura::test {

// A fresh folder under the system temporary folder, removed with its contents at
// destruction. path() and file() name it as the engine does, in code page 932 (converted
// once from the system's UTF-8); a test's own system calls (the C and C++ libraries,
// std::filesystem) take Native(path). The two differ where the path is not ASCII, as
// under --folder-name (tests/common/main/TestMain.cpp).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string native_;
};

// An engine path (code page 932) as the system names it, converted as the file layer
// converts it at each call.
std::string Native(const std::string& path);

// The test child program (tests/helpers), started with fork and exec and driven
// through its stdin and stdout lines.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args);
    // Another program than the test child (a test's own helper program).
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send(const std::string& line);
    // Next stdout line; "" when the child closed its output or timeoutMs passed.
    std::string readLine(int timeoutMs = 10000);
    // Waits for the exit and answers the exit code (128 + signal when killed). A
    // child still running after timeoutMs is killed and std::runtime_error raised,
    // so a test whose child hangs fails with a message instead of hanging.
    int wait(int timeoutMs = kDefaultWaitMs);
    static constexpr int kDefaultWaitMs = 60000;
    void kill(int signal);
    pid_t pid() const { return pid_; }

private:
    void start(const std::string& program, const std::vector<std::string>& args);
    void reap();  // kills nothing; blocks until the child is gone
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buffer_;
    int status_ = -1;
    bool reaped_ = false;
};

// The names in a folder (not its sub-folders' contents), sorted; none when it cannot be read.
std::vector<std::string> FolderNames(const std::string& path);
// The files in a folder this process has open, named or no longer named there
// (a private scratch file has no name left to list).
std::size_t OpenFilesIn(const std::string& path);

// A limit on the size of the files the process writes, for its lifetime: a write past
// it fails (EFBIG), as on a full disk, for every user.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Set() const { return set_; }

private:
    unsigned long long previous_ = 0;
    void (*previousSignal_)(int) = nullptr;
    bool set_ = false;
};

// Polls until condition() holds, at most timeoutMs; answers whether it came.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 30000);

// The state letter /proc gives a process or thread of this machine: 'R' running, 'S'
// sleeping in the kernel (waiting for a lock, a condition, input), 'T' stopped; 0 once
// it is gone.
char TaskState(pid_t id);

}  // namespace kura::test
