#include "platform/Files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"

namespace platform {

// ---------------------------------------------------------------------------
// The system call table and its fault seam

namespace {

int SystemOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int SystemRenameNoReplace(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int SystemSetLock(int fd, short type, off_t start, off_t length) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    fl.l_pid = 0;
    return fcntl(fd, F_OFD_SETLK, &fl);
}
int SystemLock(int fd, short type, off_t start, off_t length) { return SystemSetLock(fd, type, start, length); }
int SystemUnlock(int fd, off_t start, off_t length) { return SystemSetLock(fd, F_UNLCK, start, length); }

const FileCallTable kSystemCalls = {SystemOpen, ::close,     ::pread,  ::pwrite, ::ftruncate,           ::fsync,
                                    ::fdatasync, ::unlink, ::rename, SystemRenameNoReplace, ::link,
                                    ::mkdir,     SystemLock,  SystemUnlock};
FileCallTable gCalls = kSystemCalls;

std::atomic<uint64_t> gWriteCalls{0};
std::atomic<uint64_t> gFaultAt{0};
std::atomic<int> gFaultAction{0};
std::atomic<int> gFaultError{0};

[[noreturn]] void StopProcess() {
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

// Counts one write call; true when the armed fault makes it fail (errno set).
// A stopping fault never returns.
bool WriteCallFails() {
    const uint64_t n = gWriteCalls.fetch_add(1) + 1;
    if (n != gFaultAt.load()) return false;
    switch (static_cast<FileFaultAction>(gFaultAction.load())) {
        case FileFaultAction::Fail: errno = gFaultError.load(); return true;
        case FileFaultAction::Pause: ::kill(::getpid(), SIGSTOP); return false;
        default: StopProcess();
    }
}

ssize_t SysPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    const uint64_t n = gWriteCalls.load() + 1;
    if (n == gFaultAt.load() && static_cast<FileFaultAction>(gFaultAction.load()) == FileFaultAction::TearAndStop) {
        gCalls.pwrite(fd, buffer, count / 2, offset);
        StopProcess();
    }
    if (WriteCallFails()) return -1;
    return gCalls.pwrite(fd, buffer, count, offset);
}

int SysFtruncate(int fd, off_t length) {
    if (WriteCallFails()) return -1;
    return gCalls.ftruncate(fd, length);
}

int SysFsync(int fd) {
    if (WriteCallFails()) return -1;
    return gCalls.fsync(fd);
}

int SysFdatasync(int fd) {
    if (WriteCallFails()) return -1;
    return gCalls.fdatasync(fd);
}

}  // namespace

FileCallTable& FileCalls() { return gCalls; }
const FileCallTable& SystemFileCalls() { return kSystemCalls; }

void ArmFileFault(const FileFault& fault) {
    gFaultAt.store(0);
    gFaultAction.store(static_cast<int>(fault.Action));
    gFaultError.store(fault.Error);
    gWriteCalls.store(0);
    gFaultAt.store(fault.AtCall);
}

uint64_t FileWriteCalls() { return gWriteCalls.load(); }

namespace {

// ---------------------------------------------------------------------------
// Errors

bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
}

// Where a native path's folder ends (its last "/"), npos for a bare name.
size_t FolderEnd(const std::string& native) { return native.rfind('/'); }

// ENOENT means "file not found" only when the folder exists; otherwise the path is
// wrong, which callers report differently.
uint32_t MissingError(const std::string& path) {
    auto slash = FolderEnd(path);
    if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
    struct stat st{};
    if (stat(path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

uint32_t ErrorForPath(int err, const std::string& path) {
    if (err == ENOENT) return MissingError(path);
    return Win32ErrorFromErrno(err);
}

bool FailErrno(int err, const std::string& path) { return Fail(ErrorForPath(err, path)); }

bool HasNoWriteBit(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// ---------------------------------------------------------------------------
// Code page conversion of names. Unlike text for display, a name must never be
// changed by a replacement character, or the file could not be found again: a
// name that does not convert is used with its bytes as they are.

std::string Convert(std::string_view text, const char* to, const char* from) {
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return std::string(text);
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string in(text);
    std::string out(in.size() * 4 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return std::string(text);
    out.resize(out.size() - outLeft);
    return out;
}

std::string CP932ToUTF8(std::string_view text) { return Convert(text, "UTF-8", "CP932"); }
std::string UTF8ToCP932(std::string_view text) { return Convert(text, "CP932", "UTF-8"); }

// ---------------------------------------------------------------------------
// Share-mode markers: single bytes from kShareMarkerBase on. Every open holds a
// read lock on kPresent; opens with read or write access hold kReadAccess or
// kWriteAccess; opens that do not share reading or writing hold kDenyRead or
// kDenyWrite. All markers are read locks, so no write access is needed; a new open
// first sets its own and then looks for conflicting ones of other opens. Two opens
// racing each other can both see the other and both fail, but never both succeed.

enum Marker : uint64_t { kPresent = 0, kReadAccess = 1, kWriteAccess = 2, kDenyRead = 3, kDenyWrite = 4 };

bool SetOfdLock(int fd, short type, uint64_t start, uint64_t length) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void SetMarker(int fd, Marker m) {
    // A file system without locks cannot keep share modes; the open still works.
    SetOfdLock(fd, F_RDLCK, kShareMarkerBase + m, 1);
}

// Whether an open file description other than fd's holds a lock in the range.
bool OthersLock(int fd, uint64_t start, uint64_t length) {
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

// A file being made. Between the system call that makes a file and its share mode in
// force lies a moment in which another open would meet it empty and unshared, which
// Win32 never lets happen (a program reading a table another one is making would
// take it for a damaged one). So a create whose share mode denies something first
// marks the making in the file's folder, with a read lock on a byte of the folder
// that the file's name chooses, held until that share mode holds (the system drops it
// with its process); an open that meets an empty file looks for the mark before it
// puts its own share mode in force, and is refused as that share mode would refuse it.
// A folder that cannot be opened or locked keeps no mark: the create still works.
constexpr uint64_t kMakingBase = kShareMarkerBase + (uint64_t{1} << 32);

uint64_t MakingByte(const std::string& native) {
    uint32_t hash = 2166136261u;  // FNV-1a over the name in its folder
    for (size_t i = FolderEnd(native) + 1; i < native.size(); ++i)
        hash = (hash ^ static_cast<unsigned char>(native[i])) * 16777619u;
    return kMakingBase + hash;
}

int OpenFolderOf(const std::string& native) {
    const size_t slash = FolderEnd(native);
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    return gCalls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY, 0);
}

class MakingMark {
public:
    MakingMark() = default;
    ~MakingMark() { Clear(); }
    MakingMark(const MakingMark&) = delete;
    MakingMark& operator=(const MakingMark&) = delete;
    void Set(const std::string& native) {
        Clear();
        fd_ = OpenFolderOf(native);
        if (fd_ >= 0) SetOfdLock(fd_, F_RDLCK, MakingByte(native), 1);
    }
    void Clear() {
        if (fd_ >= 0) gCalls.close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

bool BeingMade(const std::string& native) {
    const int folder = OpenFolderOf(native);
    if (folder < 0) return false;
    const bool made = OthersLock(folder, MakingByte(native), 1);
    gCalls.close(folder);
    return made;
}

bool OthersHold(int fd, Marker m) { return OthersLock(fd, kShareMarkerBase + m, 1); }

// Whether the file at path is open anywhere (this process included).
bool IsOpenAnywhere(const std::string& path) {
    int fd = gCalls.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) fd = gCalls.open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) return false;
    bool open = OthersHold(fd, kPresent);
    gCalls.close(fd);
    return open;
}

// ---------------------------------------------------------------------------
// Open files

struct FileKey {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator<(const FileKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
    bool operator==(const FileKey& o) const { return dev == o.dev && ino == o.ino; }
};

struct FileObject {
    FileHandle id = 0;
    int fd = -1;
    // The descriptor and lock type byte-range locks use: fd itself when writable;
    // for a read-only handle a second read/write descriptor when permitted, else a
    // read lock on fd that withdraws when another holder shows up.
    int lockFd = -1;
    short lockType = F_WRLCK;
    bool lockFdChosen = false;
    bool canRead = false;
    bool canWrite = false;
    bool deleteOnClose = false;
    bool closed = false;  // guarded by the lock table's mutex
    // A folder read a part at a time (OpenDirectory); fd is its descriptor.
    DIR* listing = nullptr;
    std::string path;
    FileKey key;
    int64_t position = 0;
    std::recursive_mutex mutex;

    ~FileObject() {
        if (deleteOnClose) {
            struct stat st{};
            // Only the file this handle opened; the name may have been reused.
            if (stat(path.c_str(), &st) == 0 && FileKey{st.st_dev, st.st_ino} == key) gCalls.unlink(path.c_str());
        }
        if (lockFd >= 0 && lockFd != fd) gCalls.close(lockFd);
        if (listing) closedir(listing);
        else if (fd >= 0) gCalls.close(fd);
    }
};

std::mutex gHandlesMutex;
std::unordered_map<FileHandle, std::shared_ptr<FileObject>> gHandles;
FileHandle gNextHandle = 1;

struct HeldRange {
    FileHandle owner;
    uint64_t length;
    // Locked as separate bytes in one call: each byte is released on its own (or
    // with its neighbours), so the range splits where a release cuts it. Kept as
    // one entry, a run of thousands of bytes costs one node, not one per byte.
    bool bytes = false;
};
// The ranges a file's locks hold in this process, by start. They never overlap,
// so a transaction holding thousands of record locks checks and releases each in
// logarithmic time.
using HeldRanges = std::map<uint64_t, HeldRange>;
std::mutex gLocksMutex;
std::map<FileKey, HeldRanges> gHeldRanges;

bool Overlaps(const HeldRanges& ranges, uint64_t offset, uint64_t last) {
    auto it = ranges.upper_bound(last);
    if (it == ranges.begin()) return false;
    --it;
    return it->first + it->second.length - 1 >= offset;
}

std::shared_ptr<FileObject> Find(FileHandle handle) {
    std::lock_guard<std::mutex> guard(gHandlesMutex);
    auto it = gHandles.find(handle);
    if (it == gHandles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// A name on disk (UTF-8) is the leaf (UTF-8, and leafCp932 as the engine wrote it)
// as names compare (Cp932SameText): letters of either case, full-width Latin ones
// too. Every spelling of a name has its byte length, so only those are converted.
bool SameNameOnDisk(std::string_view entry, std::string_view leaf, const std::string& leafCp932) {
    if (entry.size() != leaf.size()) return false;
    if (EqualsIgnoringAsciiCase(entry, leaf)) return true;
    std::string entryCp932;
    return !leafCp932.empty() && TryUtf8ToCp932(entry, entryCp932) && Cp932SameText(entryCp932, leafCp932);
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Names with at most this many ASCII letters are looked for spelling by spelling
// (2^n lstat calls at most) instead of reading their folder: a name that is not
// there, such as every new temporary file, then costs a few look-ups of the
// folder's index rather than a read of all its entries.
constexpr int kSpellingsTriedLetters = 5;

enum class SpellingSearch { Found, Absent, TooManyLetters };

// Tries the other spellings of the leaf (dir is the path up to and with its
// slash) in byte order, upper case before lower case from the first letter on,
// so that the first one found is the one a read of the folder would choose.
SpellingSearch FindSpelling(const std::string& dir, const std::string& leaf, std::string& found) {
    std::vector<size_t> letters;
    for (size_t i = 0; i < leaf.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(leaf[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) letters.push_back(i);
    }
    if (letters.size() > kSpellingsTriedLetters) return SpellingSearch::TooManyLetters;
    const uint32_t count = 1u << letters.size();
    std::string path = dir + leaf;
    const size_t base = dir.size();
    for (uint32_t mask = 0; mask < count; ++mask) {
        for (size_t j = 0; j < letters.size(); ++j) {
            const bool lower = (mask >> (letters.size() - 1 - j)) & 1u;
            const char c = static_cast<char>(static_cast<unsigned char>(leaf[letters[j]]) & ~0x20);
            path[base + letters[j]] = lower ? static_cast<char>(c | 0x20) : c;
        }
        if (path.compare(base, std::string::npos, leaf) == 0) continue;  // the caller's own, tried first
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0) {
            found = path.substr(base);
            return SpellingSearch::Found;
        }
    }
    return SpellingSearch::Absent;
}

// Each name on disk as ResolvePath gives it: the name itself when it is there as
// written or not at all, else its spelling in the folder. The names of one folder
// that are neither there as written nor found spelling by spelling share one read
// of the folder.
std::vector<std::string> ResolveNatives(const std::vector<std::string>& natives) {
    std::vector<std::string> resolved(natives);
    struct Sought {
        size_t At;
        std::string Prefix, Leaf, LeafCp932, Best;
        bool Found = false;
    };
    std::map<std::string, std::vector<Sought>> byFolder;
    for (size_t i = 0; i < natives.size(); ++i) {
        const std::string& native = natives[i];
        if (native.empty()) continue;
        auto slash = native.rfind('/');
        std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
        std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
        if (leaf.empty() || leaf == "." || leaf == "..") continue;
        struct stat st{};
        if (lstat(native.c_str(), &st) == 0) continue;
        std::string prefix = slash == std::string::npos ? std::string() : native.substr(0, slash + 1);
        // Only a name of ASCII characters has its other spellings in ASCII letters
        // alone; any other (full-width letters have two cases too) is looked for in
        // the folder.
        const bool ascii = IsAscii(leaf);
        std::string spelling;
        switch (ascii ? FindSpelling(prefix, leaf, spelling) : SpellingSearch::TooManyLetters) {
            case SpellingSearch::Found: resolved[i] = prefix + spelling; continue;
            case SpellingSearch::Absent: continue;
            case SpellingSearch::TooManyLetters: break;
        }
        std::string leafCp932;
        if (!ascii && !TryUtf8ToCp932(leaf, leafCp932)) leafCp932.clear();
        byFolder[dir].push_back({i, std::move(prefix), std::move(leaf), std::move(leafCp932), {}, false});
    }
    for (auto& [dir, sought] : byFolder) {
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            std::string_view entry(e->d_name);
            // Of several spellings the smallest in byte order, so every process agrees.
            for (Sought& s : sought)
                if (SameNameOnDisk(entry, s.Leaf, s.LeafCp932) && (!s.Found || entry < s.Best)) {
                    s.Best = std::string(entry);
                    s.Found = true;
                }
        }
        closedir(d);
        for (const Sought& s : sought)
            if (s.Found) resolved[s.At] = s.Prefix + s.Best;
    }
    return resolved;
}

std::string ResolveNative(const std::string& native) { return ResolveNatives({native})[0]; }

bool ReadAll(int fd, void* buffer, size_t count, int64_t offset, size_t* done) {
    *done = 0;
    auto* p = static_cast<unsigned char*>(buffer);
    while (*done < count) {
        ssize_t n = gCalls.pread(fd, p + *done, count - *done, static_cast<off_t>(offset + static_cast<int64_t>(*done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        *done += static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* buffer, size_t count, int64_t offset, size_t* done) {
    *done = 0;
    auto* p = static_cast<const unsigned char*>(buffer);
    while (*done < count) {
        ssize_t n = SysPwrite(fd, p + *done, count - *done, static_cast<off_t>(offset + static_cast<int64_t>(*done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        *done += static_cast<size_t>(n);
    }
    return true;
}

// Copies a regular file for a move across file systems: new file, contents,
// mode and times, flushed before the original goes.
bool CopyForMove(const std::string& from, const std::string& to, const struct stat& st) {
    int in = gCalls.open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
    if (in < 0) return FailErrno(errno, from);
    int out = gCalls.open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, st.st_mode & 07777);
    if (out < 0) {
        int err = errno;
        gCalls.close(in);
        return Fail(err == EEXIST ? ERROR_ALREADY_EXISTS : ErrorForPath(err, to));
    }
    std::vector<unsigned char> buffer(65536);
    int64_t offset = 0;
    int err = 0;
    for (;;) {
        size_t got = 0;
        if (!ReadAll(in, buffer.data(), buffer.size(), offset, &got)) {
            err = errno;
            break;
        }
        if (got == 0) break;
        size_t put = 0;
        if (!WriteAll(out, buffer.data(), got, offset, &put)) {
            err = errno;
            break;
        }
        offset += static_cast<int64_t>(got);
    }
    if (err == 0) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
        if (SysFsync(out) != 0) err = errno;
    }
    gCalls.close(in);
    if (gCalls.close(out) != 0 && err == 0) err = errno;
    if (err != 0) {
        gCalls.unlink(to.c_str());
        return Fail(Win32ErrorFromErrno(err));
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names

std::string NormalizeSeparators(std::string_view name) {
    std::string out(name);
    for (size_t i = 0; i < out.size(); i += Cp932CharLength(out, i))
        if (Cp932CharLength(out, i) == 1 && out[i] == '\\') out[i] = '/';
    return out;
}

std::string NativePath(std::string_view name) { return CP932ToUTF8(NormalizeSeparators(name)); }

std::string ResolvePath(std::string_view name) { return ResolveNative(NativePath(name)); }

// ---------------------------------------------------------------------------
// Opening and closing

namespace {

FileHandle Register(std::shared_ptr<FileObject> object) {
    std::lock_guard<std::mutex> guard(gHandlesMutex);
    object->id = gNextHandle++;
    gHandles.emplace(object->id, object);
    return object->id;
}

// The handle of a regular file just opened at path as fd (st its status), with the
// share mode and the rest of CreateFile's arguments applied; fd is closed when it
// fails.
FileHandle AdoptFile(int fd, const struct stat& st, const std::string& path, uint32_t access, uint32_t share,
                     bool truncates, uint32_t flagsAndAttributes) {
    const bool wantRead = (access & GENERIC_READ) != 0;
    const bool wantWrite = (access & GENERIC_WRITE) != 0;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    // Share mode: an open without data access neither denies nor is denied.
    const bool dataAccess = wantRead || wantWrite;
    const bool shareRead = !dataAccess || (share & FILE_SHARE_READ) != 0;
    const bool shareWrite = !dataAccess || (share & FILE_SHARE_WRITE) != 0;
    SetMarker(fd, kPresent);
    if (wantRead) SetMarker(fd, kReadAccess);
    if (wantWrite) SetMarker(fd, kWriteAccess);
    if (!shareRead) SetMarker(fd, kDenyRead);
    if (!shareWrite) SetMarker(fd, kDenyWrite);
    bool conflict = (wantRead && OthersHold(fd, kDenyRead)) || (wantWrite && OthersHold(fd, kDenyWrite)) ||
                    (!shareRead && OthersHold(fd, kReadAccess)) || (!shareWrite && OthersHold(fd, kWriteAccess));
    if (conflict) {
        gCalls.close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (truncates && st.st_size != 0 && SysFtruncate(fd, 0) != 0) {
        int err = errno;
        gCalls.close(fd);
        SetLastError(Win32ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    auto object = std::make_shared<FileObject>();
    object->fd = fd;
    object->canRead = wantRead;
    object->canWrite = wantWrite;
    object->deleteOnClose = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    object->path = path;
    object->key = FileKey{st.st_dev, st.st_ino};
    return Register(std::move(object));
}

}  // namespace

FileHandle CreateFile(std::string_view name, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flagsAndAttributes) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = ResolvePath(name);
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool wantWrite = (access & GENERIC_WRITE) != 0;
    const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition == TRUNCATE_EXISTING && !wantWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    const bool noLink = (flagsAndAttributes & FILE_FLAG_NO_LINK) != 0;
    const int accessFlags = (wantWrite || truncates) ? O_RDWR : O_RDONLY;
    const int baseFlags = accessFlags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (noLink ? O_NOFOLLOW : 0);
    const bool dataAccess = (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
    const bool unshared = dataAccess && (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE);
    MakingMark making;  // held until the file's share mode is in force
    bool made = false;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        struct stat st{};
        bool exists = (noLink ? lstat(path.c_str(), &st) : stat(path.c_str(), &st)) == 0;
        // Also a link to nowhere, which a create would otherwise make its target.
        if (exists && S_ISLNK(st.st_mode)) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return INVALID_HANDLE_VALUE;
        }
        if (exists && disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if (exists && S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // The read-only attribute refuses writing to everyone, root included.
        if (exists && (wantWrite || truncates) && HasNoWriteBit(st)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (exists || disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            fd = gCalls.open(path.c_str(), baseFlags, 0);
            if (fd < 0 && errno == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING)
                continue;  // removed meanwhile: create it
        } else {
            if (unshared) making.Set(path);
            fd = gCalls.open(path.c_str(), baseFlags | O_CREAT | O_EXCL, 0666);
            made = fd >= 0;
            if (!made) making.Clear();
            if (fd < 0 && errno == EEXIST && disposition != CREATE_NEW) continue;  // created meanwhile: open it
        }
        if (fd < 0) {
            int err = errno;
            // A link put in the name's place since it was looked at.
            if (noLink && err == ELOOP) SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            else SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : ErrorForPath(err, path));
            return INVALID_HANDLE_VALUE;
        }
    }
    if (fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        gCalls.close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Checked before this open's share mode is in force, which would refuse the maker.
    if (!made && dataAccess && st.st_size == 0 && BeingMade(path)) {
        gCalls.close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return AdoptFile(fd, st, path, access, share, truncates, flagsAndAttributes);
}

bool ShareHandle(FileHandle handle) {
    const std::shared_ptr<FileObject> object = Find(handle);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    for (const Marker m : {kDenyRead, kDenyWrite}) SetOfdLock(object->fd, F_UNLCK, kShareMarkerBase + m, 1);
    return true;
}

bool CloseHandle(FileHandle handle) {
    std::shared_ptr<FileObject> object;
    {
        std::lock_guard<std::mutex> guard(gHandlesMutex);
        auto it = gHandles.find(handle);
        if (it == gHandles.end()) return Fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        gHandles.erase(it);
    }
    {
        // The kernel drops the handle's locks with its descriptor; drop ours now.
        std::lock_guard<std::mutex> guard(gLocksMutex);
        object->closed = true;
        auto it = gHeldRanges.find(object->key);
        if (it != gHeldRanges.end()) {
            auto& ranges = it->second;
            std::erase_if(ranges, [&](const auto& entry) { return entry.second.owner == handle; });
            if (ranges.empty()) gHeldRanges.erase(it);
        }
    }
    // The descriptor closes (and a delete-on-close file goes) when the last user
    // of the object lets go, normally right here.
    object.reset();
    return true;
}

bool ReleaseFileName(FileHandle handle) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    struct stat st{};
    if (stat(object->path.c_str(), &st) != 0) return FailErrno(errno, object->path);
    if (!(FileKey{st.st_dev, st.st_ino} == object->key)) return Fail(ERROR_FILE_NOT_FOUND);
    if (gCalls.unlink(object->path.c_str()) != 0) return FailErrno(errno, object->path);
    object->deleteOnClose = false;
    return true;
}

bool SameFile(FileHandle a, FileHandle b) {
    auto first = Find(a);
    auto second = Find(b);
    return first && second && first->key == second->key;
}

// ---------------------------------------------------------------------------
// Transfers and position

bool ReadFile(FileHandle handle, void* buffer, uint32_t count, uint32_t* transferred) {
    if (transferred) *transferred = 0;
    auto object = Find(handle);
    if (!object) return false;
    if (!object->canRead) return Fail(ERROR_ACCESS_DENIED);
    if (count > 0 && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    if (object->position > INT64_MAX - static_cast<int64_t>(count)) return true;  // nothing lies there
    size_t done = 0;
    bool ok = ReadAll(object->fd, buffer, count, object->position, &done);
    int err = errno;
    object->position += static_cast<int64_t>(done);
    if (transferred) *transferred = static_cast<uint32_t>(done);
    if (!ok) return Fail(Win32ErrorFromErrno(err));
    return true;
}

bool WriteFile(FileHandle handle, const void* buffer, uint32_t count, uint32_t* transferred) {
    if (transferred) *transferred = 0;
    auto object = Find(handle);
    if (!object) return false;
    if (!object->canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (count > 0 && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    if (object->position > INT64_MAX - static_cast<int64_t>(count)) return Fail(ERROR_DISK_FULL);
    size_t done = 0;
    bool ok = WriteAll(object->fd, buffer, count, object->position, &done);
    int err = errno;
    object->position += static_cast<int64_t>(done);
    if (transferred) *transferred = static_cast<uint32_t>(done);
    if (!ok) return Fail(Win32ErrorFromErrno(err));
    return true;
}

int64_t SetFilePointer(FileHandle handle, int64_t distance, uint32_t moveMethod) {
    auto object = Find(handle);
    if (!object) return -1;
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    int64_t base = 0;
    switch (moveMethod) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = object->position; break;
        case FILE_END: {
            struct stat st{};
            if (fstat(object->fd, &st) != 0) {
                SetLastError(Win32ErrorFromErrno(errno));
                return -1;
            }
            base = st.st_size;
            break;
        }
        default: SetLastError(ERROR_INVALID_PARAMETER); return -1;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(base, distance, &target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    object->position = target;
    return target;
}

bool SetEndOfFile(FileHandle handle) {
    auto object = Find(handle);
    if (!object) return false;
    if (!object->canWrite) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    if (SysFtruncate(object->fd, static_cast<off_t>(object->position)) != 0) return Fail(Win32ErrorFromErrno(errno));
    return true;
}

bool FlushFileBuffers(FileHandle handle) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    // A read-only handle has nothing to flush; fsync is harmless on it.
    if (SysFsync(object->fd) != 0) return Fail(Win32ErrorFromErrno(errno));
    return true;
}

bool FlushFileData(FileHandle handle) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    if (SysFdatasync(object->fd) != 0) return Fail(Win32ErrorFromErrno(errno));
    return true;
}

int64_t GetFileSize(FileHandle handle) {
    auto object = Find(handle);
    if (!object) return -1;
    struct stat st{};
    if (fstat(object->fd, &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return -1;
    }
    return st.st_size;
}

// ---------------------------------------------------------------------------
// Byte-range locks

namespace {

// One lock or release of LockFile and its kin, through the call table: true, or
// false with errno set when the system refuses it. A refused release releases
// nothing (a release only fails when it would have to split a lock and cannot).
bool SetRangeLock(int fd, short type, uint64_t start, uint64_t length) {
    const auto first = static_cast<off_t>(start);
    const auto count = static_cast<off_t>(length);
    for (;;) {
        if ((type == F_UNLCK ? gCalls.unlock(fd, first, count) : gCalls.lock(fd, type, first, count)) == 0)
            return true;
        if (errno != EINTR) return false;
    }
}

bool FailLockCall(int err) {
    return Fail((err == EAGAIN || err == EACCES) ? ERROR_LOCK_VIOLATION : Win32ErrorFromErrno(err));
}

// Picks, at the handle's first lock, the descriptor and lock type its locks use.
void ChooseLockFd(FileObject& object) {
    if (object.lockFdChosen) return;
    object.lockFdChosen = true;
    if (object.canWrite) {
        object.lockFd = object.fd;
        return;
    }
    int fd = gCalls.open(object.path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    struct stat st{};
    if (fd >= 0 && fstat(fd, &st) == 0 && FileKey{st.st_dev, st.st_ino} == object.key) {
        object.lockFd = fd;
    } else {
        if (fd >= 0) gCalls.close(fd);
        object.lockFd = object.fd;
        object.lockType = F_RDLCK;
    }
}

// The handle's file when [offset, offset + length) is a range it may lock;
// nullptr, with the error set, when not.
std::shared_ptr<FileObject> FindForLock(FileHandle handle, uint64_t offset, uint64_t length) {
    auto object = Find(handle);
    if (object && (length == 0 || offset >= kShareMarkerBase || length > kShareMarkerBase - offset)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return object;
}

// Locks [offset, offset + length) with one system call and records it as
// `pieces` ranges of length / pieces bytes each.
bool LockRange(FileHandle handle, uint64_t offset, uint64_t length, uint64_t pieces) {
    auto object = FindForLock(handle, offset, length);
    if (!object) return false;
    const uint64_t last = offset + length - 1;
    std::lock_guard<std::mutex> guard(gLocksMutex);
    if (object->closed) return Fail(ERROR_INVALID_HANDLE);
    auto& ranges = gHeldRanges[object->key];
    if (Overlaps(ranges, offset, last)) return Fail(ERROR_LOCK_VIOLATION);
    ChooseLockFd(*object);
    if (!SetRangeLock(object->lockFd, object->lockType, offset, length)) {
        const int err = errno;
        if (ranges.empty()) gHeldRanges.erase(object->key);
        return FailLockCall(err);
    }
    if (object->lockType == F_RDLCK && OthersLock(object->lockFd, offset, length)) {
        // Read locks do not exclude each other: a second read-only holder is seen
        // afterwards and the newcomer withdraws (two racing may both withdraw).
        SetRangeLock(object->lockFd, F_UNLCK, offset, length);
        if (ranges.empty()) gHeldRanges.erase(object->key);
        return Fail(ERROR_LOCK_VIOLATION);
    }
    ranges.emplace(offset, HeldRange{handle, length, pieces > 1});
    return true;
}

// The entry of the handle's lock that holds byte `offset` as a lock of its own:
// one starting there, or a run of bytes covering it. end() when there is none.
HeldRanges::iterator HeldAt(HeldRanges& ranges, FileHandle handle, uint64_t offset) {
    auto it = ranges.upper_bound(offset);
    if (it == ranges.begin()) return ranges.end();
    --it;
    const bool starts = it->first == offset;
    const bool inside = it->second.bytes && offset - it->first < it->second.length;
    return it->second.owner == handle && (starts || inside) ? it : ranges.end();
}

// Removes [offset, end) from the entries first..last (last included), which
// cover it exactly apart from the byte runs at either edge; what those runs
// hold outside it stays held.
void ReleaseHeld(HeldRanges& ranges, HeldRanges::iterator first, HeldRanges::iterator last, uint64_t offset,
                 uint64_t end) {
    const uint64_t lastEnd = last->first + last->second.length;
    const HeldRange tail{last->second.owner, lastEnd - end, true};
    const uint64_t firstStart = first->first;
    const HeldRange head{first->second.owner, offset - firstStart, true};
    ranges.erase(first, std::next(last));
    if (head.length > 0) ranges.emplace(firstStart, head);
    if (tail.length > 0) ranges.emplace(end, tail);
}

}  // namespace

bool LockFile(FileHandle handle, uint64_t offset, uint64_t length) { return LockRange(handle, offset, length, 1); }

bool LockFileBytes(FileHandle handle, uint64_t offset, uint64_t length) {
    return LockRange(handle, offset, length, std::max<uint64_t>(length, 1));
}

bool LockFileBytesOver(FileHandle handle, uint64_t offset, uint64_t length, uint64_t heldInside) {
    auto object = FindForLock(handle, offset, length);
    if (!object) return false;
    const uint64_t last = offset + length - 1;
    std::lock_guard<std::mutex> guard(gLocksMutex);
    if (object->closed) return Fail(ERROR_INVALID_HANDLE);
    auto found = gHeldRanges.find(object->key);
    uint64_t inside = 0;
    if (found != gHeldRanges.end()) {
        const HeldRanges& ranges = found->second;
        auto it = ranges.upper_bound(offset);
        if (it != ranges.begin() && std::prev(it)->first + std::prev(it)->second.length > offset)
            return Fail(ERROR_LOCK_VIOLATION);
        for (; it != ranges.end() && it->first <= last; ++it) {
            const HeldRange& held = it->second;
            const bool byBytes = held.bytes || held.length == 1;
            if (held.owner != handle || !byBytes || held.length - 1 > last - it->first)
                return Fail(ERROR_LOCK_VIOLATION);
            inside += held.length;
        }
    }
    if (inside != heldInside) return Fail(ERROR_LOCK_VIOLATION);
    ChooseLockFd(*object);
    // A read lock cannot keep out another read-only holder for a whole range.
    if (object->lockType != F_WRLCK) return Fail(ERROR_LOCK_VIOLATION);
    // The system merges the handle's own locks inside into the new one and
    // refuses it when anybody else holds a byte of it.
    if (!SetRangeLock(object->lockFd, F_WRLCK, offset, length)) return FailLockCall(errno);
    auto& ranges = gHeldRanges[object->key];
    ranges.erase(ranges.lower_bound(offset), ranges.upper_bound(last));
    ranges.emplace(offset, HeldRange{handle, length, true});
    return true;
}

bool UnlockFile(FileHandle handle, uint64_t offset, uint64_t length) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::mutex> guard(gLocksMutex);
    auto it = gHeldRanges.find(object->key);
    if (it == gHeldRanges.end()) return Fail(ERROR_NOT_LOCKED);
    auto& ranges = it->second;
    auto held = HeldAt(ranges, handle, offset);
    // One lock: a whole range locked as such, or one byte of a run of bytes.
    const uint64_t size = held == ranges.end() ? 0 : (held->second.bytes ? 1 : held->second.length);
    if (held == ranges.end() || size != length) return Fail(ERROR_NOT_LOCKED);
    // Ranges of one handle never overlap, so this releases exactly the one lock.
    // Refused, it is still held and stays recorded so.
    if (!SetRangeLock(object->lockFd, F_UNLCK, offset, length)) return FailLockCall(errno);
    ReleaseHeld(ranges, held, held, offset, offset + length);
    if (ranges.empty()) gHeldRanges.erase(it);
    return true;
}

bool UnlockFileRanges(FileHandle handle, uint64_t offset, uint64_t length) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::mutex> guard(gLocksMutex);
    auto it = gHeldRanges.find(object->key);
    if (it == gHeldRanges.end() || length == 0 || offset > UINT64_MAX - length) return Fail(ERROR_NOT_LOCKED);
    auto& ranges = it->second;
    const uint64_t end = offset + length;
    // Whole locks one after the other; a run of bytes may be cut at either end.
    const auto first = HeldAt(ranges, handle, offset);
    auto last = first;
    uint64_t covered = offset;
    for (auto next = first;; ++next) {
        if (next == ranges.end() || next->second.owner != handle) return Fail(ERROR_NOT_LOCKED);
        const bool starts = next->first == covered;
        if (!starts && next != first) return Fail(ERROR_NOT_LOCKED);
        const uint64_t nextEnd = next->first + next->second.length;
        if (nextEnd > end && !next->second.bytes) return Fail(ERROR_NOT_LOCKED);
        last = next;
        covered = std::min(nextEnd, end);
        if (covered == end) break;
    }
    if (!SetRangeLock(object->lockFd, F_UNLCK, offset, length)) return FailLockCall(errno);
    ReleaseHeld(ranges, first, last, offset, end);
    if (ranges.empty()) gHeldRanges.erase(it);
    return true;
}

// ---------------------------------------------------------------------------
// Names on disk

bool DeleteFile(std::string_view name) {
    std::string path = ResolvePath(name);
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return FailErrno(errno, path);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISREG(st.st_mode)) {
        if (HasNoWriteBit(st)) return Fail(ERROR_ACCESS_DENIED);
        if (IsOpenAnywhere(path)) return Fail(ERROR_SHARING_VIOLATION);
    }
    if (gCalls.unlink(path.c_str()) != 0) return FailErrno(errno, path);
    return true;
}

namespace {

// A folder's path on disk without the separator a folder name may end in, its last
// component looked up in another case when `lookUp` is set.
std::string FolderPath(std::string_view name, bool lookUp = true) {
    std::string path = lookUp ? ResolvePath(name) : NativePath(name);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

FileHandle FailHandle(uint32_t error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Whether the name, not followed where it is a link, leads to the file of key.
bool NameLeadsTo(const std::string& path, const FileKey& key) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && FileKey{st.st_dev, st.st_ino} == key;
}

// Removes the files of the folder open as fd through that descriptor, so that only
// its own go whatever its name comes to mean, each tried while `more` (when given)
// answers true, and counts those that went in `removed`: 0, the first error, or
// ENOTEMPTY when untried ones are left. Names are read a few at a time, so that
// taking a part of a large folder costs that part, not a read of a thousand names.
int EmptyDirectory(int fd, const std::function<bool()>& more, size_t& removed) {
    const int listed = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) return errno;
    alignas(dirent64) char buffer[4096];
    int failed = 0;
    bool stopped = false;
    while (!stopped) {
        const ssize_t got = ::getdents64(listed, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && failed == 0) failed = errno;
            break;
        }
        for (ssize_t offset = 0; offset < got && !stopped;) {
            const auto* e = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += e->d_reclen;
            const std::string_view entry(e->d_name);
            if (entry == "." || entry == "..") continue;
            if (more && !more()) {
                stopped = true;
                if (failed == 0) failed = ENOTEMPTY;
            } else if (::unlinkat(listed, e->d_name, 0) == 0) {
                ++removed;
            } else if (failed == 0) {
                failed = errno;
            }
        }
    }
    ::close(listed);
    return failed;
}

}  // namespace

FileHandle HoldMarkFile(std::string_view name) {
    const std::string path = NativePath(name);
    if (path.empty()) return FailHandle(ERROR_PATH_NOT_FOUND);
    // Another holder that lets go removes the name; when it does so between our open
    // and our lock, we would hold a file no name leads to any more, and a third
    // program would take the name for one nobody holds. Such a hold is let go and
    // taken again under the name as it now is.
    for (int attempt = 0;; ++attempt) {
        const int fd =
            gCalls.open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
        struct stat st{};
        if (fd < 0) {
            const int err = errno;
            // A link, a folder, or a file this user may not open.
            const bool inTheWay = err == ELOOP || err == EISDIR || lstat(path.c_str(), &st) == 0;
            return FailHandle(inTheWay ? ERROR_FILE_EXISTS : ErrorForPath(err, path));
        }
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            gCalls.close(fd);
            return FailHandle(ERROR_FILE_EXISTS);
        }
        const FileHandle held =
            AdoptFile(fd, st, path, GENERIC_READ | GENERIC_WRITE, 0, false, FILE_FLAG_DELETE_ON_CLOSE);
        if (held == INVALID_HANDLE_VALUE || attempt == 3 || NameLeadsTo(path, FileKey{st.st_dev, st.st_ino}))
            return held;
        CloseHandle(held);
    }
}

bool CreateDirectory(std::string_view name) {
    const std::string path = FolderPath(name, false);
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    if (gCalls.mkdir(path.c_str(), 0777) == 0) return true;
    return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorForPath(errno, path));
}

FileHandle HoldPrivateDirectory(std::string_view name, bool make) {
    const std::string path = FolderPath(name, false);
    if (path.empty()) return FailHandle(ERROR_PATH_NOT_FOUND);
    if (make && gCalls.mkdir(path.c_str(), S_IRWXU) != 0)
        return FailHandle(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorForPath(errno, path));
    // Opened without following a link, the handle reaches this folder alone,
    // whatever its name comes to mean meanwhile.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FailHandle(errno == ELOOP || errno == ENOTDIR ? ERROR_ACCESS_DENIED : ErrorForPath(errno, path));
    struct stat st{};
    uint32_t error = 0;
    if (fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        error = ERROR_ACCESS_DENIED;
    // A file system without locks keeps none: the folder is held without one.
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        error = ERROR_SHARING_VIOLATION;
    // Removed by the holder the lock was refused to a moment ago, or replaced.
    else if (!NameLeadsTo(path, FileKey{st.st_dev, st.st_ino}))
        error = ERROR_SHARING_VIOLATION;
    if (error != 0) {
        ::close(fd);
        return FailHandle(error);
    }
    auto object = std::make_shared<FileObject>();
    object->fd = fd;
    object->path = path;
    object->key = FileKey{st.st_dev, st.st_ino};
    return Register(std::move(object));
}

bool HeldDirectoryNamed(FileHandle handle) {
    const std::shared_ptr<FileObject> object = Find(handle);
    return object && NameLeadsTo(object->path, object->key);
}

bool RemoveHeldDirectory(FileHandle handle, const std::function<bool()>& more, size_t* removed) {
    size_t gone = 0;
    if (removed) *removed = 0;
    const std::shared_ptr<FileObject> object = Find(handle);
    if (!object) return false;
    // Only while its name leads to it: a folder moved away keeps what it holds.
    int failed = NameLeadsTo(object->path, object->key) ? EmptyDirectory(object->fd, more, gone) : ENOENT;
    if (removed) *removed = gone;
    if (failed == 0 && ::rmdir(object->path.c_str()) != 0) failed = errno;
    CloseHandle(handle);
    return failed == 0 || Fail(Win32ErrorFromErrno(failed));
}

FileHandle OpenDirectory(std::string_view name) {
    const std::string path = FolderPath(name);
    DIR* d = path.empty() ? nullptr : opendir(path.c_str());
    if (!d) return FailHandle(path.empty() ? ERROR_PATH_NOT_FOUND : ErrorForPath(errno, path));
    struct stat st{};
    fstat(dirfd(d), &st);
    auto object = std::make_shared<FileObject>();
    object->listing = d;
    object->fd = dirfd(d);
    object->path = path;
    object->key = FileKey{st.st_dev, st.st_ino};
    return Register(std::move(object));
}

bool ReadDirectoryPart(FileHandle handle, size_t most, std::vector<std::string>* names) {
    names->clear();
    const std::shared_ptr<FileObject> object = Find(handle);
    if (!object) return false;
    if (!object->listing) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    while (names->size() < most) {
        const dirent* e = readdir(object->listing);
        if (!e) break;
        const std::string_view entry(e->d_name);
        if (entry != "." && entry != "..") names->push_back(UTF8ToCP932(entry));
    }
    return true;
}

namespace {

// The first name (but "." and "..") that a reading of the folder open as fd from the
// position `at` gives; empty when none.
std::string FirstNameFrom(int fd, uint64_t at) {
    alignas(dirent64) char buffer[1024];
    if (lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) return {};
    const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
    for (ssize_t offset = 0; offset < got;) {
        const auto* e = reinterpret_cast<const dirent64*>(buffer + offset);
        const std::string_view entry(e->d_name);
        if (entry != "." && entry != "..") return std::string(entry);
        offset += e->d_reclen;
    }
    return {};
}

}  // namespace

bool SeekDirectoryAtRandom(FileHandle handle, uint64_t seed) {
    const std::shared_ptr<FileObject> object = Find(handle);
    if (!object) return false;
    if (!object->listing) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    // Positions are the file system's own: hashes of the names spread over 63 bits
    // (ext4), or small numbers that grow with each name (most others), or fall
    // (tmpfs, which reads the newest name first and reads it from any position past
    // the last). A position drawn from ever smaller ranges is taken at the first
    // that leads to a name, but the one past the last position leads to: the place is
    // then about as likely to be anywhere among the names, whatever the positions.
    const std::string past = FirstNameFrom(object->fd, uint64_t{INT64_MAX});
    std::mt19937_64 draw(seed);
    for (int bits = 63; bits > 0; --bits) {
        const uint64_t at = draw() >> (64 - bits);
        const std::string name = FirstNameFrom(object->fd, at);
        if (!name.empty() && name != past) {
            seekdir(object->listing, static_cast<long>(at));
            return true;
        }
    }
    rewinddir(object->listing);
    return true;
}

namespace {

// MoveFile on native paths; `moved` gets the name the file has now. `held`: the file
// is open through a handle of this process, which keeps it: it is not refused for
// being open, nor copied to another file system (the handle would keep the old file).
bool MoveNative(const std::string& from, const std::string& literalTo, bool held, std::string& moved) {
    if (from.empty() || literalTo.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st{};
    if (lstat(from.c_str(), &st) != 0) return FailErrno(errno, from);
    std::string to = ResolveNative(literalTo);
    moved = to;
    struct stat target{};
    bool caseChange = false;
    if (lstat(to.c_str(), &target) == 0) {
        // Only the same file under another case may take the name.
        if (target.st_dev != st.st_dev || target.st_ino != st.st_ino) return Fail(ERROR_ALREADY_EXISTS);
        moved = literalTo;
        if (literalTo == from) return true;
        to = literalTo;
        caseChange = true;
    }
    if (!held && S_ISREG(st.st_mode) && IsOpenAnywhere(from)) return Fail(ERROR_SHARING_VIOLATION);
    if (caseChange) {
        if (gCalls.rename(from.c_str(), to.c_str()) != 0) return FailErrno(errno, from);
        return true;
    }
    if (gCalls.renameNoReplace(from.c_str(), to.c_str()) == 0) return true;
    int err = errno;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // A file system without RENAME_NOREPLACE: a hard link never replaces.
        if (gCalls.link(from.c_str(), to.c_str()) == 0) {
            gCalls.unlink(from.c_str());
            return true;
        }
        err = errno;
        if (err == EPERM || err == EOPNOTSUPP) {
            if (lstat(to.c_str(), &target) == 0) return Fail(ERROR_ALREADY_EXISTS);
            if (gCalls.rename(from.c_str(), to.c_str()) == 0) return true;
            err = errno;
        }
    }
    if (err == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
    if (err != EXDEV) return FailErrno(err, err == ENOENT ? to : from);
    if (held || !S_ISREG(st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
    if (!CopyForMove(from, to, st)) return false;
    if (gCalls.unlink(from.c_str()) != 0) {
        // Never leave the file twice.
        err = errno;
        gCalls.unlink(to.c_str());
        return FailErrno(err, from);
    }
    return true;
}

}  // namespace

bool MoveFile(std::string_view existingName, std::string_view newName) {
    std::string moved;
    return MoveNative(ResolvePath(existingName), NativePath(newName), false, moved);
}

bool MoveHeldFile(FileHandle handle, std::string_view newName) {
    auto object = Find(handle);
    if (!object) return false;
    std::lock_guard<std::recursive_mutex> guard(object->mutex);
    // Only the file this handle opened; its name may have gone or been reused.
    if (object->listing || !NameLeadsTo(object->path, object->key)) return Fail(ERROR_FILE_NOT_FOUND);
    std::string moved;
    if (!MoveNative(object->path, NativePath(newName), true, moved)) return false;
    object->path = moved;
    return true;
}

namespace {

// The locks a /proc/PID/fdinfo/FD text lists, as "lock:\t1: OFDLCK ADVISORY  WRITE -1
// 08:01:1234 4294967295 4294967295" lines (the end is "EOF" for a lock to the end):
// whether one overlaps [first, last].
bool FdInfoLocks(const std::string& info, uint64_t first, uint64_t last) {
    std::istringstream lines(info);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 5, "lock:") != 0) continue;
        char kind[16] = {}, mode[16] = {}, access[16] = {}, device[64] = {}, stop[32] = {};
        int id = 0, pid = 0;
        unsigned long long start = 0;
        if (std::sscanf(line.c_str(), "lock: %d: %15s %15s %15s %d %63s %llu %31s", &id, kind, mode, access, &pid,
                        device, &start, stop) != 8)
            continue;
        const uint64_t lockLast = std::strcmp(stop, "EOF") == 0 ? UINT64_MAX : std::strtoull(stop, nullptr, 10);
        if (start <= last && lockLast >= first) return true;
    }
    return false;
}

std::string ReadSmallFile(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

std::vector<TLockHolder> LockHolders(FileHandle handle, uint64_t offset, uint64_t length) {
    std::vector<TLockHolder> holders;
    auto object = Find(handle);
    if (!object || length == 0) return holders;
    const FileKey key = object->key;
    const uint64_t last = offset + length - 1;
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc) return holders;
    while (dirent* process = readdir(proc)) {
        char* stop = nullptr;
        const long pid = std::strtol(process->d_name, &stop, 10);
        if (pid <= 0 || *stop != 0 || pid == self) continue;
        const std::string base = std::string("/proc/") + process->d_name;
        DIR* fds = opendir((base + "/fd").c_str());
        if (!fds) continue;  // another user's process
        bool holds = false;
        while (dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st{};
            if (stat((base + "/fd/" + fd->d_name).c_str(), &st) != 0 || !(FileKey{st.st_dev, st.st_ino} == key))
                continue;
            if (FdInfoLocks(ReadSmallFile(base + "/fdinfo/" + fd->d_name), offset, last)) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (!holds) continue;
        std::string program = ReadSmallFile(base + "/comm");
        while (!program.empty() && (program.back() == '\n' || program.back() == ' ')) program.pop_back();
        holders.push_back({static_cast<int>(pid), program});
    }
    closedir(proc);
    std::sort(holders.begin(), holders.end(), [](const TLockHolder& a, const TLockHolder& b) { return a.Pid < b.Pid; });
    return holders;
}

bool SyncDirectoryOf(std::string_view fileName) {
    std::string path = ResolvePath(fileName);
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(Win32ErrorFromErrno(errno));
    const bool ok = SysFsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    return ok ? true : Fail(Win32ErrorFromErrno(err));
}

uint32_t GetFileAttributes(std::string_view name) {
    std::string path = ResolvePath(name);
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ErrorForPath(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return HasNoWriteBit(st) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

bool FindFile(std::string_view name, FileFindData* data) {
    std::string path = ResolvePath(name);
    struct stat st{};
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    if (stat(path.c_str(), &st) != 0) return FailErrno(errno, path);
    if (data) {
        data->attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                           : HasNoWriteBit(st) ? FILE_ATTRIBUTE_READONLY
                                               : FILE_ATTRIBUTE_NORMAL;
        data->lastWriteSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
        data->lastWriteNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
        data->size = static_cast<uint64_t>(st.st_size);
        auto slash = path.rfind('/');
        data->name = UTF8ToCP932(slash == std::string::npos ? path : path.substr(slash + 1));
    }
    return true;
}

std::vector<bool> FilesExist(const std::vector<std::string>& names, bool anyEntry) {
    std::vector<std::string> natives;
    natives.reserve(names.size());
    for (const std::string& name : names) natives.push_back(NativePath(name));
    const std::vector<std::string> paths = ResolveNatives(natives);
    std::vector<bool> exist(names.size(), false);
    for (size_t i = 0; i < paths.size(); ++i) {
        struct stat st{};
        if (paths[i].empty()) continue;
        exist[i] = anyEntry ? lstat(paths[i].c_str(), &st) == 0
                            : stat(paths[i].c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    }
    return exist;
}

bool IsSymbolicLink(std::string_view name) {
    const std::string path = ResolvePath(name);
    struct stat st{};
    return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// ---------------------------------------------------------------------------
// System folders and names

std::string GetTempPath() {
    std::string dir;
    const char* env = std::getenv("TMPDIR");
    struct stat st{};
    if (env && *env && stat(env, &st) == 0 && S_ISDIR(st.st_mode)) dir = env;
    else dir = "/tmp";
    if (dir.back() != '/') dir.push_back('/');
    return UTF8ToCP932(dir);
}

std::string GetCurrentDirectory() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size())) return UTF8ToCP932(buffer.data());
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            SetLastError(Win32ErrorFromErrno(errno));
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string GetComputerName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return std::string();
    }
    std::string name(buffer);
    // The original keeps at most 15 characters.
    if (name.size() > 15) name.resize(15);
    return name;
}

}  // namespace platform
