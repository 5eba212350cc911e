// Child commands for the lock tests of BLOB files: a second program that holds the
// reader byte or the writer range of a BLOB file while the parent probes them.
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/BlobFile.h"
#include "tests/helpers/ChildCommands.h"
#include "tests/helpers/LockServer.h"

namespace {

using kura::testchild::say;

// blob_lock PATH: opens the BLOB file (512-byte blocks) and serves its locks.
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
    return kura::testchild::ServeReaderWriterLocks(file);
});

}  // namespace
