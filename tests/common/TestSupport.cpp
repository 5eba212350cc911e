#include "tests/common/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/Files.h"

#ifndef KURA_TEST_CHILD
#define KURA_TEST_CHILD "kura_test_child"
#endif

namespace kura::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kura-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    native_ = tmpl;
    if (!platform::TryUtf8ToCp932(native_, path_) || platform::Cp932ToUtf8(path_) != native_) {
        std::error_code ec;
        std::filesystem::remove_all(native_, ec);
        throw std::runtime_error("code page 932 cannot hold the temporary folder's path " + native_);
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(native_, ec);
}

std::string Native(const std::string& path) { return platform::NativePath(path); }

ChildProcess::ChildProcess(const std::vector<std::string>& args) { start(KURA_TEST_CHILD, args); }

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) { start(program, args); }

void ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    if (access(program.c_str(), X_OK) != 0)
        throw std::runtime_error("the test's helper program is missing: build its target (" + program + ")");
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argvStore;
    argvStore.push_back(program);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        reap();
    }
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
}

void ChildProcess::send(const std::string& line) {
    std::string data = line + "\n";
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(toChild_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string ChildProcess::readLine(int timeoutMs) {
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        pollfd pfd{fromChild_, POLLIN, 0};
        int r = poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return "";
        char chunk[256];
        ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

void ChildProcess::reap() {
    if (reaped_) return;
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

int ChildProcess::wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        const pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (r < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            reap();
            throw std::runtime_error("child process " + std::to_string(pid_) + " did not end within " +
                                     std::to_string(timeoutMs) + " ms and was killed");
        }
        usleep(2000);
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

void ChildProcess::kill(int signal) {
    if (!reaped_) ::kill(pid_, signal);
}

std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t OpenFilesIn(const std::string& path) {
    std::error_code ec;
    const std::string folder = std::filesystem::canonical(path, ec).string() + "/";
    std::size_t open = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code readError;
        const std::string target = std::filesystem::read_symlink(it->path(), readError).string();
        if (!readError && target.rfind(folder, 0) == 0 && target.find('/', folder.size()) == std::string::npos) ++open;
    }
    return open;
}

FileSizeLimit::FileSizeLimit(unsigned long long bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
    previous_ = limit.rlim_cur;
    previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    limit.rlim_cur = bytes;
    set_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = previous_;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::signal(SIGXFSZ, previousSignal_);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(1000);
    }
    return true;
}

char TaskState(pid_t id) {
    std::ifstream in("/proc/" + std::to_string(id) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold anything; the state follows its closing one.
    const auto close = stat.rfind(") ");
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

}  // namespace kura::test
