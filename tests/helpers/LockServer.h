#pragma once
// The line protocol a child uses to hold an index or BLOB file's reader byte and
// writer range while the parent probes them: "read" -> "yes R" or "no";
// "unread R", "write", "unwrite" -> "yes" or "no"; "quit" or the end of input
// closes the file.
#include <string>

#include "tests/helpers/ChildCommands.h"

namespace kura::testchild {

template <typename ReaderWriterFile>
int ServeReaderWriterLocks(ReaderWriterFile& file) {
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
}

}  // namespace kura::testchild
