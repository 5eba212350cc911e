// Child commands for the file sharing and lock tests: a second process that opens
// and locks files on the parent's word.
//
// "platform_files" answers "ready", then runs one line command at a time and
// answers "ok" (open adds the new handle's number: "ok 0") or "fail <error>":
//   open PATH ACCESS SHARE DISPOSITION   ACCESS r, w or rw; SHARE 0..3; DISPOSITION 1..5
//   osopen PATH MODE                     the engine's open with a mode byte (hex); fails
//                                        with the engine error code
//   lock N START LENGTH / unlock N START LENGTH
//   close N
//   quit
#include <sstream>
#include <string>
#include <vector>

#include "engine/files/OSServices.h"
#include "platform/FileCalls.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

std::string Failure() { return "fail " + std::to_string(platform::GetLastError()); }

uint32_t AccessOf(const std::string& text) {
    uint32_t access = 0;
    if (text.find('r') != std::string::npos) access |= platform::GENERIC_READ;
    if (text.find('w') != std::string::npos) access |= platform::GENERIC_WRITE;
    return access;
}

int RunPlatformFiles(const std::vector<std::string>&) {
    std::vector<platform::FileHandle> handles;
    auto handleAt = [&](size_t n) { return n < handles.size() ? handles[n] : platform::INVALID_HANDLE_VALUE; };
    say("ready");
    for (;;) {
        std::string line = hear();
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb.empty() || verb == "quit") break;
        if (verb == "open") {
            std::string path, access;
            uint32_t share = 0, disposition = 0;
            in >> path >> access >> share >> disposition;
            auto h = platform::CreateFile(path, AccessOf(access), share, disposition, 0);
            if (h == platform::INVALID_HANDLE_VALUE) {
                say(Failure());
            } else {
                handles.push_back(h);
                say("ok " + std::to_string(handles.size() - 1));
            }
        } else if (verb == "osopen") {
            std::string path, mode;
            in >> path >> mode;
            auto h = kura::OSOpenFile(path, static_cast<uint8_t>(std::stoul(mode, nullptr, 16)), false);
            if (h == kura::OS_INVALID_HANDLE) {
                say("fail " + std::to_string(kura::OSErrorToEngineError()));
            } else {
                handles.push_back(h);
                say("ok " + std::to_string(handles.size() - 1));
            }
        } else if (verb == "lock" || verb == "unlock") {
            size_t n = 0;
            uint64_t start = 0, length = 0;
            in >> n >> start >> length;
            bool ok = verb == "lock" ? platform::LockFile(handleAt(n), start, length)
                                     : platform::UnlockFile(handleAt(n), start, length);
            say(ok ? "ok" : Failure());
        } else if (verb == "close") {
            size_t n = 0;
            in >> n;
            say(platform::CloseHandle(handleAt(n)) ? "ok" : Failure());
        } else {
            say("fail unknown");
        }
    }
    for (auto h : handles) platform::CloseHandle(h);
    return 0;
}

kura::testchild::ChildCommand platformFiles("platform_files", RunPlatformFiles);

// plat-write-until PATH N stop|tear: creates PATH and writes "0123456789", flushes,
// writes "abcd" and "efgh" (write calls 1 to 4) with the process stopped at call N
// (a torn stop writes half of that call first). Exit code 0 only if never stopped.
int RunWriteUntil(const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    platform::FileHandle h = platform::CreateFile(args[0], platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                                                  platform::CREATE_ALWAYS, platform::FILE_ATTRIBUTE_NORMAL);
    if (h == platform::INVALID_HANDLE_VALUE) return 1;
    platform::ArmFileFault({std::stoull(args[1]),
                            args[2] == "tear" ? platform::FileFaultAction::TearAndStop : platform::FileFaultAction::Stop,
                            5});
    uint32_t done = 0;
    platform::WriteFile(h, "0123456789", 10, &done);
    platform::FlushFileBuffers(h);
    platform::WriteFile(h, "abcd", 4, &done);
    platform::WriteFile(h, "efgh", 4, &done);
    platform::CloseHandle(h);
    return 0;
}

kura::testchild::ChildCommand writeUntil("plat-write-until", RunWriteUntil);

}  // namespace
