#pragma once
// Win32-style file calls over POSIX, with the semantics the engine was built on:
//
// - Share modes: a file opened without sharing refuses every further open, from
//   this process or another, with ERROR_SHARING_VIOLATION; delete, rename and
//   create-over of a file that is open anywhere are refused the same way. Kept with
//   open-file-description (OFD) locks on marker bytes above 2^40. A create whose
//   share mode denies others marks the making in the file's folder until that share
//   mode is in force: an open never meets the new file empty and unshared, it is
//   refused as the share mode refuses it.
// - LockFile never waits and refuses any overlap with a held range, also through
//   the same handle; UnlockFile releases only a range locked exactly so. OFD locks
//   (which belong to the handle and vanish with its process) plus an in-process
//   table checked first.
// - One file position per handle; reads and writes use pread/pwrite under the
//   handle's re-entrant lock.
// - MoveFile never replaces an existing file and works across file systems.
// - Names are engine text (code page 932 bytes); "\" and "/" both separate
//   (a 0x5C trail byte of a double-byte character does not); the last component
//   is looked up without regard to case, and a create reuses an existing spelling
//   (not so a program's own names in a shared folder: HoldMarkFile and its kin).
// - Every descriptor is close-on-exec.
//
// Every call that fails stores a Win32 error number for GetLastError (LastError.h).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An open file. Handles are positive; INVALID_HANDLE_VALUE marks a failed open.
using FileHandle = std::intptr_t;
constexpr FileHandle INVALID_HANDLE_VALUE = -1;

// Access rights.
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;

// Share modes.
constexpr uint32_t FILE_SHARE_READ = 0x1;
constexpr uint32_t FILE_SHARE_WRITE = 0x2;

// Dispositions.
constexpr uint32_t CREATE_NEW = 1;
constexpr uint32_t CREATE_ALWAYS = 2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t OPEN_ALWAYS = 4;
constexpr uint32_t TRUNCATE_EXISTING = 5;

// Attributes and flags.
constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr uint32_t FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr uint32_t FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr uint32_t FILE_FLAG_RANDOM_ACCESS = 0x10000000u;
// Ours, not Win32's: a symbolic link at the name is neither followed nor opened, and
// the open fails with ERROR_CANT_RESOLVE_FILENAME, so that nothing is written
// through a link that someone planted in a shared folder.
constexpr uint32_t FILE_FLAG_NO_LINK = 0x00200000u;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// Seek origins.
constexpr uint32_t FILE_BEGIN = 0;
constexpr uint32_t FILE_CURRENT = 1;
constexpr uint32_t FILE_END = 2;

// Byte ranges from here on hold the share-mode markers; LockFile refuses them.
constexpr uint64_t kShareMarkerBase = uint64_t{1} << 40;

// Opens or creates a file. access: GENERIC_READ and/or GENERIC_WRITE; share:
// FILE_SHARE_* bits; disposition: CREATE_NEW .. TRUNCATE_EXISTING; flags:
// FILE_ATTRIBUTE_* and FILE_FLAG_* (FILE_FLAG_DELETE_ON_CLOSE removes the file when
// the handle closes). A file without any write bit in its mode (the read-only
// attribute) refuses write access with ERROR_ACCESS_DENIED, also for root.
// INVALID_HANDLE_VALUE on failure.
FileHandle CreateFile(std::string_view name, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flagsAndAttributes);
bool CloseHandle(FileHandle handle);
// From now on the handle shares reading and writing with other opens, as if it had
// been opened so: what its share mode denied others is no longer denied. False for
// an unknown handle.
bool ShareHandle(FileHandle handle);
// The open file loses its name at once and lives on, nameless, until its last
// handle closes: a scratch file that no other opener may share leaves nothing
// behind, however its process ends. False with the last error set when the name
// could not be removed (or names another file by now).
bool ReleaseFileName(FileHandle handle);
// Whether two handles are open on the same file, by whatever names.
bool SameFile(FileHandle a, FileHandle b);

// Transfers at the handle's position, which moves by the bytes transferred.
// ReadFile at or beyond the end succeeds with 0 bytes.
bool ReadFile(FileHandle handle, void* buffer, uint32_t count, uint32_t* transferred);
bool WriteFile(FileHandle handle, const void* buffer, uint32_t count, uint32_t* transferred);

// Moves the handle's position; answers the new position, or -1 on failure
// (ERROR_NEGATIVE_SEEK for a position before the start, which stays unchanged).
int64_t SetFilePointer(FileHandle handle, int64_t distance, uint32_t moveMethod);
// Cuts or extends the file at the handle's position.
bool SetEndOfFile(FileHandle handle);
bool FlushFileBuffers(FileHandle handle);
// Flushes the file's bytes and whatever metadata reading them back needs (its
// length), not its times: cheaper for a file rewritten in place at the same length.
bool FlushFileData(FileHandle handle);
// Size in bytes, -1 on failure.
int64_t GetFileSize(FileHandle handle);

// Byte-range locks; see above. Length 0 and ranges reaching kShareMarkerBase are
// refused with ERROR_INVALID_PARAMETER; a conflict gives ERROR_LOCK_VIOLATION;
// UnlockFile of a range not locked exactly so through this handle gives
// ERROR_NOT_LOCKED.
bool LockFile(FileHandle handle, uint64_t offset, uint64_t length);
bool UnlockFile(FileHandle handle, uint64_t offset, uint64_t length);
// Releases in one step the ranges this handle locked one by one that together
// cover exactly [offset, offset + length): the same as an UnlockFile of each, with
// one system call. Anything else (a gap, a range reaching outside, one locked
// through another handle) gives ERROR_NOT_LOCKED and releases nothing.
bool UnlockFileRanges(FileHandle handle, uint64_t offset, uint64_t length);
// Locks every byte of [offset, offset + length) with one system call, each byte
// held afterwards as a range of its own: the same as a LockFile of each byte, so
// that each is released alone or in runs by UnlockFileRanges. All or nothing.
bool LockFileBytes(FileHandle handle, uint64_t offset, uint64_t length);
// Locks every byte of [offset, offset + length) as LockFileBytes does, taking in
// the handle's own locks inside the range: they stay held, as bytes of the run,
// so that one system call replaces many scattered locks. Refused with
// ERROR_LOCK_VIOLATION, nothing changed, when another program or another handle
// holds any byte of the range, when a lock of the handle reaches outside it or is
// a range locked as one, or when the handle's own locks inside it do not come to
// exactly `heldInside` bytes (the caller's count of what it locked there).
bool LockFileBytesOver(FileHandle handle, uint64_t offset, uint64_t length, uint64_t heldInside);

// A process of this computer that holds a byte-range lock: its id and its program's
// name as the system gives it.
struct TLockHolder {
    int Pid = 0;
    std::string Program;
};
// The other processes of this computer whose open files hold a lock overlapping
// [offset, offset + length) of the handle's file. Found through /proc, so the
// processes of other users, and programs on other computers sharing the folder, are
// not seen: an empty answer means only that no holder could be seen.
std::vector<TLockHolder> LockHolders(FileHandle handle, uint64_t offset, uint64_t length);

// Makes a folder (readable by all, as the user's umask allows); ERROR_ALREADY_EXISTS
// when the name is taken, by a folder or anything else.
bool CreateDirectory(std::string_view name);
// Deletes a file; ERROR_SHARING_VIOLATION while it is open anywhere,
// ERROR_ACCESS_DENIED for a read-only file or a directory.
bool DeleteFile(std::string_view name);
// Renames or moves a file; fails with ERROR_ALREADY_EXISTS when the new name
// exists (a change of case only is allowed), ERROR_SHARING_VIOLATION while the
// file is open anywhere. Across file systems the file is copied, flushed and the
// original deleted.
bool MoveFile(std::string_view existingName, std::string_view newName);
// The file open through the handle takes the new name as MoveFile gives it, while
// the handle keeps it open, held as it was: another opener never finds it under
// either name unheld. Within one file system only (ERROR_NOT_SAME_DEVICE);
// ERROR_FILE_NOT_FOUND when the handle's name no longer leads to its file.
bool MoveHeldFile(FileHandle handle, std::string_view newName);

// A program's own names in a folder that programs share (a temporary folder): each
// is used exactly as given, never looked up in another case (which would read the
// whole folder), and never through a symbolic link, so that nothing planted at the
// name leads elsewhere; what stands there and is not this user's own is refused.
//
// Holds the file open without sharing, made when missing, and removes it when the
// handle closes: a mark that lasts as long as its holder's process. Refused with
// ERROR_SHARING_VIOLATION while another opener holds it, with ERROR_FILE_EXISTS
// where something else stands at the name (a link, a folder, another user's file).
FileHandle HoldMarkFile(std::string_view name);
// Holds a folder that only its owner may enter, locked for as long as the handle is
// open (the system drops the lock with its process; a file system without locks
// keeps none): made first when `make` is set (ERROR_ALREADY_EXISTS when the name is
// taken), else the one at the name (ERROR_FILE_NOT_FOUND when there is none).
// Refused with ERROR_SHARING_VIOLATION while another handle holds it, with
// ERROR_ACCESS_DENIED for anything else at the name (a link, a file, a folder of
// another user or one that others may enter). The handle serves the two calls below
// and CloseHandle.
FileHandle HoldPrivateDirectory(std::string_view name, bool make);
// Whether the name the folder was held by still leads to it (it was not removed,
// moved or replaced).
bool HeldDirectoryNamed(FileHandle handle);
// Removes the held folder with its files while its name still leads to it, and
// closes the handle whatever comes of it. `more`, when given, is asked before each
// file is tried: once it answers false the folder stays, with the files left, and
// the call fails with ERROR_DIR_NOT_EMPTY. `removed`, when given, counts the files
// that went.
bool RemoveHeldDirectory(FileHandle handle, const std::function<bool()>& more = {}, size_t* removed = nullptr);

// A folder opened for reading its names a part at a time, so that a look over a
// large folder can be spread over many calls; closed with CloseHandle.
FileHandle OpenDirectory(std::string_view name);
// Up to `most` further names (engine text, without "." and ".."); none once every
// name was read. A name made or removed meanwhile may be missed.
bool ReadDirectoryPart(FileHandle handle, size_t most, std::vector<std::string>* names);
// Moves the reading to a place in the folder that `seed` picks at random, so that
// looks of many programs, each reading a part, start at different names: the names
// before it are not read. Where the file system gives no such place, the reading
// starts at the beginning.
bool SeekDirectoryAtRandom(FileHandle handle, uint64_t seed);

// Makes the entry of a newly created file durable: fsyncs the folder holding it.
// False with the last error set when the folder cannot be opened or synced.
bool SyncDirectoryOf(std::string_view fileName);

// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY (no write bit in the mode),
// FILE_ATTRIBUTE_NORMAL; INVALID_FILE_ATTRIBUTES when missing.
uint32_t GetFileAttributes(std::string_view name);

// What FindFirstFile tells about one name.
struct FileFindData {
    uint32_t attributes = 0;
    int64_t lastWriteSeconds = 0;      // seconds since 1970-01-01 UTC
    uint32_t lastWriteNanoseconds = 0;
    uint64_t size = 0;
    std::string name;                   // the spelling on disk, engine text
};
// Looks up one file or directory (no wildcards); false with the last error set
// when it does not exist.
bool FindFile(std::string_view name, FileFindData* data);
// Whether each name is an existing file that is not a folder (as FindFile finds
// it, a link followed), or with anyEntry whether anything stands at it (a folder,
// a link not followed): the names of one folder that are not there as written are
// looked for in one read of it between them, not in one read each.
std::vector<bool> FilesExist(const std::vector<std::string>& names, bool anyEntry = false);
// Whether a symbolic link stands at the name (not followed, whether it leads
// anywhere or not).
bool IsSymbolicLink(std::string_view name);

// The temporary folder (TMPDIR or /tmp) with a trailing "/".
std::string GetTempPath();
// The current folder without a trailing separator ("/" for the root).
std::string GetCurrentDirectory();
// The host name, at most 15 characters.
std::string GetComputerName();

// Engine path to the system's bytes, as every call here converts it: separators
// made "/", code page 932 converted to UTF-8 (bytes that do not convert are kept).
// For a file that the caller itself opens with the system's calls or a library's
// (a page file, a bitmap); the last component is not looked up in another case.
std::string NativePath(std::string_view name);
// Engine path to the name on disk: separators made "/", code page 932 converted
// to UTF-8 (bytes that do not convert are kept), and the last component replaced
// by an existing entry of the same name in another case when there is no exact one.
std::string ResolvePath(std::string_view name);
// Engine path with "\" made "/" where it separates; double-byte aware.
std::string NormalizeSeparators(std::string_view name);

}  // namespace platform
