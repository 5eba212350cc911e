// Child commands for the index lock tests: a second program that takes the
// reader and writer locks of an index file while the parent tries its own.
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/IndexFile.h"
#include "tests/helpers/ChildCommands.h"
#include "tests/helpers/LockServer.h"

namespace {

using kura::testchild::say;

// index_locks PATH: opens the index file shared and serves its locks, one
// attempt each.
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
    return kura::testchild::ServeReaderWriterLocks(file);
});

}  // namespace
