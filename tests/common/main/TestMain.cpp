// The main of every test program. The program gets a temporary folder of its own,
// made TMPDIR for itself and every child it starts, so that whatever a test leaves
// there is seen at the end: the program then names it and fails, whichever test it
// ran (ctest runs one test per process, side by side, each in its own folder). With
// --folder-name=NAME the folder is named NAME (UTF-8, as ヨミトラ, whose bytes also read
// as other code page 932 text), so that a path handed to the engine in the system's form
// instead of as engine text names another folder and fails.
//
// The folder is looked at when the process exits, after the function-local statics
// made by the tests (a folder kept for the whole program, say) have gone, and it is
// removed then in any case. Without a runtime folder of the session (XDG_RUNTIME_DIR,
// as under CI) Qt would make one in the temporary folder; the program gets its own
// beside it.
//
// A program killed before it exits (ctest's time limit ends it with SIGKILL) cannot look
// at its folder: a watcher process, started first and detached from it so that the kill
// of the program's process tree misses it, removes the folder once the program is gone.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "tests/common/TestSupport.h"

// The sanitizers' leak check, present in the sanitized build only.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// The program's folder, holding TMPDIR and "run"; kept past every static destructor.
std::string& OwnFolder() {
    static std::string* path = new std::string;
    return *path;
}
std::string& OwnTemp() {
    static std::string* path = new std::string;
    return *path;
}
pid_t gOwner = 0;

// The threads besides this one, by name, once those still leaving have gone (at most
// a few seconds).
std::string ThreadsLeft() {
    std::string names;
    kura::test::WaitUntil(
        [&] {
            names.clear();
            for (const std::string& id : kura::test::FolderNames("/proc/self/task")) {
                if (id == std::to_string(gettid())) continue;
                std::string name;
                std::getline(std::ifstream("/proc/self/task/" + id + "/comm"), name);
                names += "  " + name + " (" + id + ")\n";
            }
            return names.empty();
        },
        3000);
    return names;
}

void CheckOwnFolderAtExit() {
    if (getpid() != gOwner) return;  // a forked child leaves the folder to its parent
    std::string left;
    for (const std::string& name : kura::test::FolderNames(OwnTemp())) left += "  " + name + "\n";
    std::error_code ec;
    fs::remove_all(OwnFolder(), ec);
    const std::string threads = ThreadsLeft();
    if (left.empty() && threads.empty()) return;
    if (!left.empty()) std::fprintf(stderr, "The tests left these in the temporary folder:\n%s", left.c_str());
    if (!threads.empty()) std::fprintf(stderr, "The tests left these threads running at exit:\n%s", threads.c_str());
    std::fflush(stderr);
    // The exit status can no longer be changed but by ending here; the leak check that
    // would have come after this handler comes first.
    if (__lsan_do_leak_check) __lsan_do_leak_check();
    _exit(1);
}

// Forks the watcher (twice, so that it is no child of this program): it waits until
// every holder of the pipe's writing end has gone, which the program's death is, and
// removes the folder. Started while the program is still single-threaded.
void WatchOwnFolder(const std::string& folder) {
    int gone[2];
    if (pipe2(gone, O_CLOEXEC) != 0) return;
    const pid_t first = fork();
    if (first == 0) {
        if (fork() != 0) _exit(0);
        setsid();
        close(gone[1]);
        // Nothing of the test's output may stay open here, or ctest would wait for it.
        const int null = open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2}) dup2(null, fd);
        char byte;
        while (read(gone[0], &byte, 1) < 0 && errno == EINTR) {
        }
        std::error_code ec;
        fs::remove_all(folder, ec);
        _exit(0);
    }
    close(gone[0]);  // the writing end is kept open, unwritten, for the program's whole life
    if (first > 0)
        while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
        }
}

void MakeOwnFolders(const std::string& named) {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "kura-tests-XXXXXX").string();
    if (ec || !mkdtemp(pattern.data())) return;
    const std::string tmp = pattern + "/" + (named.empty() ? "tmp" : named), run = pattern + "/run";
    if (!fs::create_directory(tmp, ec) || !fs::create_directory(run, ec)) {
        fs::remove_all(pattern, ec);
        return;
    }
    fs::permissions(run, fs::perms::owner_all, ec);
    OwnFolder() = pattern;
    OwnTemp() = tmp;
    gOwner = getpid();
    WatchOwnFolder(pattern);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 0);
    std::atexit(CheckOwnFolderAtExit);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    constexpr std::string_view option = "--folder-name=";
    std::string named;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with(option)) named = argv[i] + option.size();
    MakeOwnFolders(named);
    return RUN_ALL_TESTS();
}
