// Child command for the scanner layer's loader: one page of SANE's "test" backend, whose
// reader thread is cancelled at the end of every page, scanned while another thread holds
// the dynamic loader's lock (a library's constructor that waits; see loader_stall.c).
//
// "sane_loader_lock MODE CONFIG_DIR LIMIT_MS": MODE "loader" loads SANE through the
// scanner layer's loader, "bare" with dlopen alone. Says "held" once the lock is held,
// "blocked" when the page has not ended within LIMIT_MS (the lock is then let go) and
// "scanned" when it has ended; then scans a second page with the lock free, shuts SANE
// down and exits 0.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/twain/SaneLibrary.h"
#include "tests/common/SaneTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::say;
using platform::twain::SaneLibrary;

// SANE as a program that never went through our loader has it.
std::shared_ptr<SaneLibrary> LoadBare() {
    auto lib = std::make_shared<SaneLibrary>();
    lib->module = dlopen("libsane.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib->module) return nullptr;
    auto bind = [&](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(lib->module, name));
        return slot != nullptr;
    };
    SANE_Int version = 0;
    if (!bind("sane_init", lib->init) || !bind("sane_exit", lib->exit) || !bind("sane_open", lib->open) ||
        !bind("sane_close", lib->close) || !bind("sane_start", lib->start) || !bind("sane_read", lib->read) ||
        !bind("sane_cancel", lib->cancel) || lib->init(&version, nullptr) != SANE_STATUS_GOOD)
        return nullptr;
    lib->initialised = true;
    return lib;
}

// Reads one page to its end; the backend cancels its reader thread there.
bool ScanPage(SaneLibrary& sane, SANE_Handle device) {
    if (sane.start(device) != SANE_STATUS_GOOD) return false;
    SANE_Byte buffer[4096];
    SANE_Int length = 0;
    SANE_Status status;
    while ((status = sane.read(device, buffer, sizeof buffer, &length)) == SANE_STATUS_GOOD) {
    }
    sane.cancel(device);
    return status == SANE_STATUS_EOF;
}

int RunSaneLoaderLock(const std::vector<std::string>& args) {
    if (args.size() != 3 || !kura::test::UseSaneTestBackend()) return 2;
    setenv("SANE_CONFIG_DIR", args[1].c_str(), 1);
    const auto limit = std::chrono::milliseconds(std::stoi(args[2]));
    std::shared_ptr<SaneLibrary> sane = args[0] == "loader" ? platform::twain::LoadSaneLibrary() : LoadBare();
    SANE_Handle device = nullptr;
    // Opening loads the backend, which needs the loader lock: done before it is taken.
    if (!sane || sane->open("test:0", &device) != SANE_STATUS_GOOD) {
        say("no sane");
        return 1;
    }

    int held[2], release[2];
    if (pipe(held) != 0 || pipe(release) != 0) return 1;
    setenv("KURA_LOADER_STALL", (std::to_string(held[1]) + "," + std::to_string(release[0])).c_str(), 1);
    auto letGo = [&, once = std::make_shared<std::once_flag>()] {
        std::call_once(*once, [&] { (void)!write(release[1], "r", 1); });
    };
    std::thread holder([] {
        if (void* stall = dlopen(KURA_LOADER_STALL_MODULE, RTLD_NOW)) dlclose(stall);
    });
    char byte;
    pollfd wait{held[0], POLLIN, 0};
    if (poll(&wait, 1, 30000) != 1 || read(held[0], &byte, 1) != 1) {
        say("not held");
        letGo();
        holder.join();
        return 1;
    }
    say("held");

    std::mutex guard;
    std::condition_variable changed;
    bool ended = false;
    std::thread watchdog([&] {
        std::unique_lock lock(guard);
        if (!changed.wait_for(lock, limit, [&] { return ended; })) {
            say("blocked");
            letGo();
        }
    });
    const bool first = ScanPage(*sane, device);
    {
        std::lock_guard lock(guard);
        ended = true;
    }
    changed.notify_all();
    say(first ? "scanned" : "scan failed");
    watchdog.join();
    letGo();
    holder.join();

    const bool second = ScanPage(*sane, device);
    sane->close(device);
    sane.reset();
    return first && second ? 0 : 1;
}

kura::testchild::ChildCommand registerSaneLoaderLock("sane_loader_lock", RunSaneLoaderLock);

}  // namespace
