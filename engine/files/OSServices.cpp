#include "engine/files/OSServices.h"

#include <ctime>
#include <optional>
#include <sys/utsname.h>

namespace kura {

namespace {

constexpr uint32_t kShareModes[] = {0, 0, platform::FILE_SHARE_READ, platform::FILE_SHARE_WRITE,
                                    platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE};
constexpr uint32_t kAccessModes[] = {platform::GENERIC_READ, platform::GENERIC_WRITE,
                                     platform::GENERIC_READ | platform::GENERIC_WRITE};

}  // namespace

// ---------------------------------------------------------------------------
// Files

TOSHandle OSOpenFile(std::string_view name, uint8_t mode, bool temporary) {
    const unsigned accessIndex = mode & 0x03u;
    const unsigned shareIndex = (mode & 0xF0u) >> 4;
    if (accessIndex >= std::size(kAccessModes) || shareIndex >= std::size(kShareModes)) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        return OS_INVALID_HANDLE;
    }
    uint32_t flags = temporary ? (platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE)
                               : platform::FILE_ATTRIBUTE_NORMAL;
    flags |= platform::FILE_FLAG_RANDOM_ACCESS;
    // Written through a link, a table's file would be another's, wherever it leads.
    if (kAccessModes[accessIndex] & platform::GENERIC_WRITE) flags |= platform::FILE_FLAG_NO_LINK;
    return platform::CreateFile(name, kAccessModes[accessIndex], kShareModes[shareIndex], platform::OPEN_EXISTING,
                                flags);
}

TOSHandle OSCreateFile(std::string_view name, bool temporary) {
    uint32_t flags = temporary ? platform::FILE_ATTRIBUTE_TEMPORARY : platform::FILE_ATTRIBUTE_NORMAL;
    flags |= platform::FILE_FLAG_RANDOM_ACCESS | platform::FILE_FLAG_NO_LINK;
    return platform::CreateFile(name, platform::GENERIC_READ | platform::GENERIC_WRITE, 0, platform::CREATE_ALWAYS,
                                flags);
}

TOSHandle OSOpenSideFile(std::string_view name) {
    return platform::CreateFile(name, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_ALWAYS,
                                platform::FILE_ATTRIBUTE_NORMAL | platform::FILE_FLAG_NO_LINK);
}

TOSHandle OSHoldFile(std::string_view name) { return platform::HoldMarkFile(name); }

TOSHandle OSHoldPrivateFolder(std::string_view name, bool make) { return platform::HoldPrivateDirectory(name, make); }

bool OSHeldFolderNamed(TOSHandle folder) { return platform::HeldDirectoryNamed(folder); }

bool OSRemoveHeldFolder(TOSHandle folder, const std::function<bool()>& more, size_t* removed) {
    return platform::RemoveHeldDirectory(folder, more, removed);
}

TOSHandle OSOpenFolder(std::string_view name) { return platform::OpenDirectory(name); }

std::vector<std::string> OSFolderNamesPart(TOSHandle folder, size_t most) {
    std::vector<std::string> names;
    platform::ReadDirectoryPart(folder, most, &names);
    return names;
}

bool OSSeekFolderAtRandom(TOSHandle folder, uint64_t seed) { return platform::SeekDirectoryAtRandom(folder, seed); }

bool OSSyncFolderOf(std::string_view name) { return platform::SyncDirectoryOf(name); }

bool OSCloseFile(TOSHandle handle) { return platform::CloseHandle(handle); }

bool OSShareFile(TOSHandle handle) { return platform::ShareHandle(handle); }
bool OSReleaseFileName(TOSHandle handle) { return platform::ReleaseFileName(handle); }

bool OSSameFile(TOSHandle a, TOSHandle b) { return platform::SameFile(a, b); }

bool OSDeleteFile(std::string_view name) { return platform::DeleteFile(name); }

bool OSRenameFile(std::string_view oldName, std::string_view newName) { return platform::MoveFile(oldName, newName); }
bool OSRenameHeldFile(TOSHandle handle, std::string_view newName) { return platform::MoveHeldFile(handle, newName); }

bool OSLockFile(TOSHandle handle, int64_t start, int64_t length) {
    // Negative values become offsets beyond any lockable range and are refused.
    return platform::LockFile(handle, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool OSUnlockFile(TOSHandle handle, int64_t start, int64_t length) {
    return platform::UnlockFile(handle, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool OSUnlockFileRanges(TOSHandle handle, int64_t start, int64_t length) {
    return platform::UnlockFileRanges(handle, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool OSLockFileBytes(TOSHandle handle, int64_t start, int64_t length) {
    return platform::LockFileBytes(handle, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool OSLockFileBytesOver(TOSHandle handle, int64_t start, int64_t length, int64_t heldInside) {
    return platform::LockFileBytesOver(handle, static_cast<uint64_t>(start), static_cast<uint64_t>(length),
                                       static_cast<uint64_t>(heldInside));
}

int64_t OSFileSeek(TOSHandle handle, uint16_t origin, int64_t offset) {
    return platform::SetFilePointer(handle, offset, origin);
}

int32_t OSFileRead(TOSHandle handle, void* buffer, int32_t count) {
    if (count < 0) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        return -1;
    }
    uint32_t done = 0;
    if (!platform::ReadFile(handle, buffer, static_cast<uint32_t>(count), &done)) return -1;
    return static_cast<int32_t>(done);
}

int32_t OSFileWrite(TOSHandle handle, const void* buffer, int32_t count) {
    if (count < 0) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        return -1;
    }
    uint32_t done = 0;
    if (!platform::WriteFile(handle, buffer, static_cast<uint32_t>(count), &done)) return -1;
    return static_cast<int32_t>(done);
}

bool OSTruncateFile(TOSHandle handle) { return platform::SetEndOfFile(handle); }

bool OSFlushFile(TOSHandle handle) { return platform::FlushFileBuffers(handle); }

bool OSFlushFileData(TOSHandle handle) { return platform::FlushFileData(handle); }

int32_t GetFileAttr(std::string_view name) { return static_cast<int32_t>(platform::GetFileAttributes(name)); }

int32_t GetFileDosDate(std::string_view name) {
    platform::FileFindData data;
    if (!platform::FindFile(name, &data)) return -1;
    if (data.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) return -1;
    time_t seconds = static_cast<time_t>(data.lastWriteSeconds);
    struct tm local{};
    if (!localtime_r(&seconds, &local)) return -1;
    const int year = local.tm_year + 1900;
    // A DOS date counts years 1980 to 2107 in seven bits.
    if (year < 1980 || year > 2107) return -1;
    const uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) | (static_cast<uint32_t>(local.tm_mon + 1) << 5) |
                          static_cast<uint32_t>(local.tm_mday);
    const uint32_t time = (static_cast<uint32_t>(local.tm_hour) << 11) | (static_cast<uint32_t>(local.tm_min) << 5) |
                          static_cast<uint32_t>(local.tm_sec / 2);
    return static_cast<int32_t>((date << 16) | time);
}

std::vector<bool> DiskFilesExist(const std::vector<std::string>& names) { return platform::FilesExist(names); }

std::vector<bool> DiskNamesTaken(const std::vector<std::string>& names) { return platform::FilesExist(names, true); }

bool OSIsLink(std::string_view name) { return platform::IsSymbolicLink(name); }

bool DiskFileExists(std::string_view name) {
    // Asked of the file itself, not of its DOS date: a file dated before 1980 or
    // after 2107 exists too, or the engine would take its table for missing and
    // make a new, empty one.
    platform::FileFindData data;
    if (!platform::FindFile(name, &data)) return false;
    return (data.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string GetCurrentDir() { return platform::GetCurrentDirectory(); }

std::string GetTempDir() { return platform::GetTempPath(); }

std::string GetComputerName() { return platform::GetComputerName(); }

uint32_t OSLastError() { return platform::GetLastError(); }

int32_t OSSocketError() { return platform::WSAGetLastError(); }

// ---------------------------------------------------------------------------
// System facts

int64_t GetOSVersion() {
    struct utsname info{};
    if (uname(&info) != 0) return 0;
    // "6.1.0-18-amd64": major and minor as the text "6.1" read as a Currency.
    const char* p = info.release;
    int64_t major = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9' && major < 100000) {
        major = major * 10 + (*p++ - '0');
        any = true;
    }
    if (!any) return 0;
    int64_t fraction = 0;
    if (*p == '.') {
        ++p;
        int64_t scale = 1000;
        while (*p >= '0' && *p <= '9' && scale > 0) {
            fraction += (*p++ - '0') * scale;
            scale /= 10;
        }
    }
    return major * 10000 + fraction;
}

uint32_t GetOSPlatform() { return 2; }

TEngineErrorCode OSErrorToEngineError(uint32_t osError) {
    switch (osError) {
        case platform::ERROR_FILE_NOT_FOUND:
        case platform::ERROR_PATH_NOT_FOUND: return KURA_OSENOENT;
        case platform::ERROR_TOO_MANY_OPEN_FILES: return KURA_OSEMFILE;
        case platform::ERROR_ACCESS_DENIED:
        case platform::ERROR_SHARING_VIOLATION:
        case platform::ERROR_NETWORK_ACCESS_DENIED:
        case platform::ERROR_CANT_RESOLVE_FILENAME: return KURA_OSEACCES;
        case platform::ERROR_INVALID_HANDLE: return KURA_OSEBADF;
        case platform::ERROR_NOT_ENOUGH_MEMORY: return KURA_OSENOMEM;
        case platform::ERROR_INVALID_DRIVE: return KURA_OSENODEV;
        case platform::ERROR_NOT_SAME_DEVICE: return KURA_OSENOTSAM;
        default: return KURA_OSUNKNOWN;
    }
}

// ---------------------------------------------------------------------------
// Critical sections

struct TCriticalSection {
    std::optional<platform::CriticalSection> section;
};

PCriticalSection NewCriticalSection() { return new TCriticalSection(); }

void InitCriticalSection(PCriticalSection section) {
    if (section && !section->section) section->section.emplace();
}

void EnterCritical(PCriticalSection section) {
    if (section && section->section) section->section->Enter();
}

void LeaveCritical(PCriticalSection section) {
    if (section && section->section) section->section->Leave();
}

void DoneCriticalSection(PCriticalSection section) {
    if (section) section->section.reset();
}

void FreeCriticalSection(PCriticalSection& section) {
    delete section;
    section = nullptr;
}

}  // namespace kura
