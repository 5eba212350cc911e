// Child commands for the sharing tests of file handlers: a second program that
// holds a file open, or a byte range locked, while the parent tries its own.
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FileHandler.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

void EnsureFileList() {
    if (!kura::FileList) kura::FileList = new kura::TFileList();
}

// files_open PATH excl|shared: opens the file, says "ok" or "fail CODE", then holds
// it until the parent says "quit".
kura::testchild::ChildCommand openCommand("files_open", [](const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    EnsureFileList();
    kura::TFileHandler handler;
    handler.FileName = args[0];
    handler.Exclusive = args[1] == "excl";
    try {
        handler.OpenFile();
        say("ok");
    } catch (const kura::EKuraEngineError& e) {
        say("fail " + std::to_string(e.ErrorCode()));
    }
    while (true) {
        std::string line = hear();
        if (line.empty() || line == "quit") break;
    }
    handler.CloseFile();
    return 0;
});

// files_lock PATH START LENGTH: opens the file shared and answers each "lock" and
// "unlock" line with "yes" or "no" for that range; ends at "quit".
kura::testchild::ChildCommand lockCommand("files_lock", [](const std::vector<std::string>& args) {
    if (args.size() != 3) return 2;
    EnsureFileList();
    kura::TFileHandler handler;
    handler.FileName = args[0];
    try {
        handler.OpenFile();
    } catch (const kura::EKuraEngineError& e) {
        say("fail " + std::to_string(e.ErrorCode()));
        return 1;
    }
    say("ready");
    const int64_t start = std::stoll(args[1]);
    const int64_t length = std::stoll(args[2]);
    while (true) {
        std::string line = hear();
        if (line == "lock" || line == "unlock")
            say(handler.LockBytes(line == "lock", start, length) ? "yes" : "no");
        else
            break;
    }
    handler.CloseFile();
    return 0;
});

}  // namespace
