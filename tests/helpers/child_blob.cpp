// Child commands for the lock tests of BLOB files: a second program that holds the
// reader byte or the writer range of a BLOB file while the parent probes them.
#include <string>
#include <vector>

#include "engine/core/errors/EngineErrors.h"
#include "engine/files/BlobFile.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// blob_lock PATH: opens the BLOB file (512-byte blocks) and answers "read" with
// "yes R" or "no", "unread R" and "write"/"unwrite" with "yes" or "no"; ends at
// "quit" or at the end of its input.
kura::testchild::ChildCommand blobLockCommand("blob_lock", [](const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    if (!kura::FileList) kura::FileList = new kura::TFileList();
    kura::TBlobFile file(nullptr);
    file.FileName = args[0];
    file.SetBlockSize(512);
    try {
        file.OpenFile();
    } catch (const kura::EKuraEngineError& e) {
        say("fail " + std::to_string(e.ErrorCode()));
        return 1;
    }
    say("ready");
    while (true) {
        std::string line = hear();
        if (line == "read") {
            int32_t r = 0;
            say(file.LockRead(r) ? "yes " + std::to_string(r) : "no");
        } else if (line.rfind("unread ", 0) == 0) {
            say(file.UnlockRead(std::stoi(line.substr(7))) ? "yes" : "no");
        } else if (line == "write") {
            say(file.LockWrite() ? "yes" : "no");
        } else if (line == "unwrite") {
            say(file.UnlockWrite() ? "yes" : "no");
        } else {
            break;
        }
    }
    file.CloseFile();
    return 0;
});

}  // namespace
