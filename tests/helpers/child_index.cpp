// Child commands for the index lock tests: a second program that takes the
// reader and writer locks of an index file while the parent tries its own.
#include <string>
#include <vector>

#include "engine/core/errors/EngineErrors.h"
#include "engine/files/IndexFile.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// index_locks PATH: opens the index file shared and answers each line:
// "read" -> "yes R" or "no"; "unread R" -> "yes"/"no"; "write" -> "yes"/"no";
// "unwrite" -> "yes"/"no". One attempt each. Ends at "quit" or end of input.
kura::testchild::ChildCommand indexLocks("index_locks", [](const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    if (!kura::FileList) kura::FileList = new kura::TFileList();
    kura::TIndexFile file(nullptr);
    file.FileName = args[0];
    file.LockAttempts = 1;
    try {
        file.OpenFile();
    } catch (const kura::EKuraEngineError& e) {
        say("fail " + std::to_string(e.ErrorCode()));
        return 1;
    }
    say("ready");
    while (true) {
        const std::string line = hear();
        if (line.empty() || line == "quit") break;
        if (line == "read") {
            int32_t reader = 0;
            say(file.LockRead(reader) ? "yes " + std::to_string(reader) : "no");
        } else if (line.rfind("unread ", 0) == 0) {
            say(file.UnlockRead(std::stoi(line.substr(7))) ? "yes" : "no");
        } else if (line == "write") {
            say(file.LockWrite() ? "yes" : "no");
        } else if (line == "unwrite") {
            say(file.UnlockWrite() ? "yes" : "no");
        } else {
            say("?");
        }
    }
    file.CloseFile();
    return 0;
});

}  // namespace
