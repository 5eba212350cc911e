// Second-process commands for the data file lock tests.
#include <chrono>
#include <string>
#include <thread>

#include "engine/files/DataFile.h"
#include "engine/files/EngineFile.h"
#include "tests/common/FileCallFaults.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// Opens the data file named by the first argument; "error <code>" when it fails.
bool OpenData(kura::TDataFile& file, const std::vector<std::string>& args) {
    if (!kura::FileList) kura::FileList = new kura::TFileList();
    if (args.empty()) return false;
    file.FileName = args[0];
    try {
        file.OpenFile();
    } catch (const kura::EKuraEngineError& e) {
        say("error " + std::to_string(e.ErrorCode()));
        return false;
    }
    return true;
}

// dat-lockrecord PATH N: locks record N once, reports "ok" or "fail" with the locks the
// kernel refused meanwhile, holds it until "quit".
const kura::testchild::ChildCommand lockRecord("dat-lockrecord", [](const std::vector<std::string>& args) {
    kura::TDataFile file(nullptr);
    if (args.size() < 2 || !OpenData(file, args)) return 1;
    kura::test::RefusedLocks refused;
    bool ok = file.LockRecord(static_cast<uint32_t>(std::stoul(args[1])));
    say(std::string(ok ? "ok " : "fail ") + std::to_string(refused.Take()));
    hear();
    if (ok) file.UnlockRecord(static_cast<uint32_t>(std::stoul(args[1])));
    return 0;
});

// dat-holdsem PATH MS: takes the write semaphore, says "ready", after MS
// milliseconds says "releasing" and only then releases it, says "released" and
// waits for "quit". Whoever gets the semaphore after "ready" finds "releasing"
// already sent.
const kura::testchild::ChildCommand holdSemaphore("dat-holdsem", [](const std::vector<std::string>& args) {
    kura::TDataFile file(nullptr);
    if (args.size() < 2 || !OpenData(file, args)) return 1;
    if (!file.LockSemaphore()) {
        say("fail");
        return 1;
    }
    say("ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args[1])));
    say("releasing");
    say(file.UnlockSemaphore() ? "released" : "fail");
    hear();
    return 0;
});

// dat-touch PATH: marks the header modified and writes it, then says "done <count>".
const kura::testchild::ChildCommand touchHeader("dat-touch", [](const std::vector<std::string>& args) {
    kura::TDataFile file(nullptr);
    if (!OpenData(file, args)) return 1;
    file.MarkModified();
    file.WriteHeader(false);
    say("done " + std::to_string(file.GetChangeCount()));
    hear();
    return 0;
});

}  // namespace
