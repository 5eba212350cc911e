// Child commands for the sharing tests of file handlers: a second program that
// holds a file open, or a byte range locked, while the parent tries its own.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/DataFile.h"
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

// files_probe PATH...: opens each file shared, says "ready" (or "fail CODE"), then
// answers one line per command until "quit", holding nothing in between:
//   try I START LENGTH     -> "ok" when the range of file I was free (it is taken
//                             and given back at once), else "refused"
//   records I FIRST LAST   -> "refused" and each record number of FIRST..LAST
//                             whose lock byte in data file I somebody holds
kura::testchild::ChildCommand probeCommand("files_probe", [](const std::vector<std::string>& args) {
    EnsureFileList();
    std::vector<std::unique_ptr<kura::TFileHandler>> files;
    for (const std::string& path : args) {
        files.push_back(std::make_unique<kura::TFileHandler>());
        files.back()->FileName = path;
        try {
            files.back()->OpenFile();
        } catch (const kura::EKuraEngineError& e) {
            say("fail " + std::to_string(e.ErrorCode()));
            return 1;
        }
    }
    auto free = [&](std::size_t i, int64_t start, int64_t length) {
        if (!files[i]->LockBytes(true, start, length)) return false;
        files[i]->LockBytes(false, start, length);
        return true;
    };
    say("ready");
    for (;;) {
        std::istringstream in(hear());
        std::string command;
        std::size_t i = 0;
        int64_t a = 0, b = 0;
        in >> command >> i >> a >> b;
        if (i >= files.size()) break;
        if (command == "try") {
            say(free(i, a, b) ? "ok" : "refused");
        } else if (command == "records") {
            std::string answer = "refused";
            for (int64_t r = a; r <= b; ++r)
                if (!free(i, kura::RECORD_LOCK_BASE - r, 1)) answer += " " + std::to_string(r);
            say(answer);
        } else {
            break;
        }
    }
    for (auto& file : files) file->CloseFile();
    return 0;
});

}  // namespace
