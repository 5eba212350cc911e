#pragma once
// The system calls behind Files.cpp (and the settings file's writes, gui/IniFile.cpp),
// gathered in one table so that a test can stand between the file layer and the
// kernel: replace a call, fail the Nth write with an error, or stop the process
// right at it, at a chosen point and without luck. Nothing outside tests changes the
// table or arms a fault.
//
// Write calls are every pwrite, ftruncate, fsync and fdatasync the file layer makes; they are
// counted from the start of the process or the last arming, whether a fault is
// armed or not, so a test can first count a run and then stop a second run at any
// call of it.
#include <cstdint>
#include <sys/types.h>

namespace platform {

struct FileCallTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t count, off_t offset);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*fdatasync)(int fd);
    int (*unlink)(const char* path);
    int (*rename)(const char* from, const char* to);
    int (*renameNoReplace)(const char* from, const char* to);
    int (*link)(const char* from, const char* to);
    int (*mkdir)(const char* path, mode_t mode);
    // The byte-range locks of LockFile and its kin (open-file-description locks that
    // never wait): `lock` takes a read or write lock (type F_RDLCK or F_WRLCK) over
    // [start, start + length), `unlock` releases what the descriptor holds there.
    // Both answer 0, or -1 with errno set. The share-mode markers of an open are
    // not locked through them.
    int (*lock)(int fd, short type, off_t start, off_t length);
    int (*unlock)(int fd, off_t start, off_t length);
};

// The table Files.cpp calls through; tests may replace entries and must put the
// kernel's own back (SystemFileCalls) when done.
FileCallTable& FileCalls();
const FileCallTable& SystemFileCalls();

enum class FileFaultAction {
    Fail,         // the call fails with the given errno and does nothing
    Stop,         // the process is killed (SIGKILL) before the call
    TearAndStop,  // a pwrite writes its first half, then the process is killed
    Pause,        // the process stops (SIGSTOP) before the call and makes it once continued
};

struct FileFault {
    uint64_t AtCall = 0;  // 1 = the first write call after arming; 0 disarms
    FileFaultAction Action = FileFaultAction::Fail;
    int Error = 5;        // EIO
};

// Restarts the count of write calls and arms the fault (AtCall 0 only restarts it).
void ArmFileFault(const FileFault& fault);
// Write calls since the start of the process or the last arming.
uint64_t FileWriteCalls();

}  // namespace platform
