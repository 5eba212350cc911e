#pragma once
// The engine's only contact with the operating system for files, critical sections
// and system facts: thin wrappers with the fixed flags the engine relies on, and
// the mapping of OS error numbers to engine error codes. Nothing here raises.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Sync.h"

namespace kura {

// An OS file handle; -1 after a failed open, 0 is never a valid handle.
using TOSHandle = platform::FileHandle;
constexpr TOSHandle OS_INVALID_HANDLE = platform::INVALID_HANDLE_VALUE;

// Open mode bytes: bits 0-1 access (0 read, 1 write, 2 read and write), bits 4-7
// the share mode (0 or 1 none, 2 read, 3 write, 4 read and write).
constexpr uint8_t fmOpenRead = 0x00;
constexpr uint8_t fmOpenWrite = 0x01;
constexpr uint8_t fmOpenReadWrite = 0x02;
constexpr uint8_t fmShareCompat = 0x00;
constexpr uint8_t fmShareExclusive = 0x10;
constexpr uint8_t fmShareDenyWrite = 0x20;
constexpr uint8_t fmShareDenyRead = 0x30;
constexpr uint8_t fmShareDenyNone = 0x40;

// Opens an existing file; a temporary one is removed when its handle closes.
// A mode byte outside the tables fails with ERROR_INVALID_PARAMETER. Nothing is
// ever written through a symbolic link: an open for writing (as the two below)
// refuses a link at the name with ERROR_CANT_RESOLVE_FILENAME (KURA_OSEACCES),
// while an open for reading follows it.
TOSHandle OSOpenFile(std::string_view name, uint8_t mode, bool temporary);
// Creates or truncates a file for reading and writing, unshared.
TOSHandle OSCreateFile(std::string_view name, bool temporary);
// Opens a table's side file for reading and writing, shared with every other
// opener, creating it when missing.
TOSHandle OSOpenSideFile(std::string_view name);
// Makes a newly created file's folder entry durable.
bool OSSyncFolderOf(std::string_view name);
bool OSCloseFile(TOSHandle handle);
// The open file is shared with every other opener from now on, whatever its share
// mode denied.
bool OSShareFile(TOSHandle handle);
// The open file loses its name and lives on until it is closed (a private
// scratch file that must not outlive its process).
bool OSReleaseFileName(TOSHandle handle);
// Whether two handles are open on one file.
bool OSSameFile(TOSHandle a, TOSHandle b);
bool OSDeleteFile(std::string_view name);
// Fails when the new name exists.
bool OSRenameFile(std::string_view oldName, std::string_view newName);
// The open file takes the new name while the handle keeps it held (in its file
// system only); fails when the new name exists.
bool OSRenameHeldFile(TOSHandle handle, std::string_view newName);
// A program's own names in a folder that programs share, each used as given and
// never through a link (platform::HoldMarkFile and its kin). Holds a file open
// without sharing, made when missing, and removes it when the handle closes: a mark
// that lasts as long as its holder's process. Fails with ERROR_SHARING_VIOLATION
// while another opener (of any program) holds it, with ERROR_FILE_EXISTS where
// something that is not this user's file stands at the name.
TOSHandle OSHoldFile(std::string_view name);
// Holds a folder only its owner may enter, locked while the handle is open: made
// first when `make` is set, else the one at the name. Fails while another holds it
// (ERROR_SHARING_VIOLATION) and for anything that is not such a folder of this user.
TOSHandle OSHoldPrivateFolder(std::string_view name, bool make);
// Whether the held folder's name still leads to it.
bool OSHeldFolderNamed(TOSHandle folder);
// Removes the held folder with its files while its name leads to it, and lets go.
// Once `more` (asked before each file) answers false it fails with
// ERROR_DIR_NOT_EMPTY, the folder left with the files untried; removed counts the
// files that went.
bool OSRemoveHeldFolder(TOSHandle folder, const std::function<bool()>& more = {}, size_t* removed = nullptr);
// A folder whose names are read a part at a time (OSFolderNamesPart); closed with
// OSCloseFile.
TOSHandle OSOpenFolder(std::string_view name);
// Up to `most` further names of the folder; none once all were read.
std::vector<std::string> OSFolderNamesPart(TOSHandle folder, size_t most);
// Starts the reading of names at a place that seed picks at random.
bool OSSeekFolderAtRandom(TOSHandle folder, uint64_t seed);
bool OSLockFile(TOSHandle handle, int64_t start, int64_t length);
bool OSUnlockFile(TOSHandle handle, int64_t start, int64_t length);
// Releases ranges locked one by one that together cover exactly this range.
bool OSUnlockFileRanges(TOSHandle handle, int64_t start, int64_t length);
// Locks each byte of the range as a range of its own, with one system call.
bool OSLockFileBytes(TOSHandle handle, int64_t start, int64_t length);
// Locks each byte of the range taking in the handle's own locks inside it, which
// must come to exactly heldInside bytes (platform::LockFileBytesOver).
bool OSLockFileBytesOver(TOSHandle handle, int64_t start, int64_t length, int64_t heldInside);
// origin 0 begin, 1 current, 2 end; the new position, -1 on failure.
int64_t OSFileSeek(TOSHandle handle, uint16_t origin, int64_t offset);
// Bytes transferred; -1 on failure (also for a negative count).
int32_t OSFileRead(TOSHandle handle, void* buffer, int32_t count);
int32_t OSFileWrite(TOSHandle handle, const void* buffer, int32_t count);
// Cuts the file at the handle's position.
bool OSTruncateFile(TOSHandle handle);
bool OSFlushFile(TOSHandle handle);
// The file's bytes and length only (a side file rewritten in place).
bool OSFlushFileData(TOSHandle handle);

// The FILE_ATTRIBUTE_* bits; -1 when the name does not exist.
int32_t GetFileAttr(std::string_view name);
// DOS date in the high 16 bits and DOS time in the low 16 bits of the last write
// (local time); -1 when missing, for a directory, and for a date a DOS date cannot
// hold (before 1980, after 2107).
int32_t GetFileDosDate(std::string_view name);
// An existing file that is not a directory, whatever its date.
bool DiskFileExists(std::string_view name);
// DiskFileExists of each name, the names of one folder looked for together.
std::vector<bool> DiskFilesExist(const std::vector<std::string>& names);
// Whether anything at all stands at each name: a file, a folder, a link (not
// followed, leading anywhere or nowhere); looked for as DiskFilesExist looks.
std::vector<bool> DiskNamesTaken(const std::vector<std::string>& names);
// Whether a symbolic link stands at the name, followed or not.
bool OSIsLink(std::string_view name);

std::string GetCurrentDir();
std::string GetTempDir();
std::string GetComputerName();

uint32_t OSLastError();
int32_t OSSocketError();

// The kernel's major.minor as a Currency (four implied decimals): 6.1 gives 61000.
int64_t GetOSVersion();
// 2, the platform id of the NT family, so the 9x workarounds stay off.
uint32_t GetOSPlatform();

// Path separators: the directory separator, the alternative one the engine may
// also write, the drive separator and the extension separator.
inline constexpr std::string_view DirectorySeparator = "/";
inline constexpr std::string_view AltDirectorySeparator = "\\";
inline constexpr std::string_view DriveSeparator = ":";
inline constexpr std::string_view ExtensionSeparator = ".";

// The engine error code (positive) for an OS error number, by default the calling
// thread's last one: 11010, 11012, 11013, 11014, 11016, 11023, 11025 or 11047.
TEngineErrorCode OSErrorToEngineError(uint32_t osError = platform::GetLastError());

// Critical sections. NewCriticalSection allocates one that is not usable until
// InitCriticalSection; DoneCriticalSection undoes the initialisation and
// FreeCriticalSection frees it (also when still initialised) and clears the
// variable. Enter and leave are re-entrant; on nil or an uninitialised section
// they do nothing.
struct TCriticalSection;
using PCriticalSection = TCriticalSection*;
PCriticalSection NewCriticalSection();
void InitCriticalSection(PCriticalSection section);
void EnterCritical(PCriticalSection section);
void LeaveCritical(PCriticalSection section);
void DoneCriticalSection(PCriticalSection section);
void FreeCriticalSection(PCriticalSection& section);

// Holds a critical section for a scope (nil is allowed and does nothing).
class TCriticalGuard {
public:
    explicit TCriticalGuard(PCriticalSection section) : section_(section) { EnterCritical(section_); }
    ~TCriticalGuard() { LeaveCritical(section_); }
    TCriticalGuard(const TCriticalGuard&) = delete;
    TCriticalGuard& operator=(const TCriticalGuard&) = delete;

private:
    PCriticalSection section_;
};

}  // namespace kura
