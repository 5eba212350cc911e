#include "engine/files/WorkFolder.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "engine/files/FileHandler.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

constexpr std::string_view kPrefix = "KURA";
constexpr std::string_view kLockExt = ".LCK";
// Names of this process taken by its other sessions are passed over; past this many
// something else refuses them all.
constexpr uint32_t kMostNames = 10000;

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The name of the work folder that a folder's or a lock file's name belongs to;
// empty for every other name.
std::string_view WorkFolderName(std::string_view name) {
    if (name.size() > kLockExt.size() && name.substr(name.size() - kLockExt.size()) == kLockExt)
        name.remove_suffix(kLockExt.size());
    if (name.substr(0, kPrefix.size()) != kPrefix) return {};
    const std::string_view rest = name.substr(kPrefix.size());
    const size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !AllDigits(rest.substr(0, dash)) || !AllDigits(rest.substr(dash + 1)))
        return {};
    return name;
}

}  // namespace

void TWorkFolder::ClearAbandoned(const std::string& parent) {
    const std::string folder = AddTrailingBackslash(parent);
    std::set<std::string, std::less<>> names;
    for (const std::string& entry : OSFolderNames(folder)) {
        const std::string_view name = WorkFolderName(entry);
        if (!name.empty()) names.emplace(name);
    }
    for (const std::string& name : names) {
        // Refused while its program lives (or when it is not ours to open).
        const TOSHandle lock = OSHoldFile(folder + name + std::string(kLockExt));
        if (lock == OS_INVALID_HANDLE) continue;
        // A folder that will not go (another user's) is left for its owner; its lock
        // file goes all the same and is made again by the next one that looks.
        OSRemovePrivateFolder(folder + name);
        OSCloseFile(lock);
    }
}

TWorkFolder::TWorkFolder(std::string parent) : FParent(std::move(parent)) {
    const std::string folder = AddTrailingBackslash(FParent);
    ClearAbandoned(folder);
    const std::string base = folder + std::string(kPrefix) + std::to_string(platform::GetCurrentProcessId()) + "-";
    std::string name;
    for (uint32_t n = 0;; ++n) {
        name = base + std::to_string(n);
        const std::string lockName = name + std::string(kLockExt);
        FLock = OSHoldFile(lockName);
        if (FLock == OS_INVALID_HANDLE) {
            const uint32_t error = OSLastError();
            // Another session of this process holds the name, or something that is not
            // ours stands in its place: the next one.
            const bool taken = error == platform::ERROR_SHARING_VIOLATION || GetFileAttr(lockName) != -1;
            if (taken && n + 1 < kMostNames) continue;
            RaiseFolderError(OSErrorToEngineError(error), folder);
        }
        if (OSCreatePrivateFolder(name)) break;
        uint32_t error = OSLastError();
        // A folder of the name whose lock file could be taken was left by a program
        // that is gone: it is emptied and used. One that is not ours to empty (another
        // user's, a link) is passed over.
        const bool existed = error == platform::ERROR_ALREADY_EXISTS;
        if (existed && OSRemovePrivateFolder(name) && OSCreatePrivateFolder(name)) break;
        if (existed) error = OSLastError();
        OSCloseFile(FLock);
        FLock = OS_INVALID_HANDLE;
        if (!existed || n + 1 >= kMostNames) RaiseFolderError(OSErrorToEngineError(error), folder);
    }
    FPath = AddTrailingBackslash(name);
}

TWorkFolder::~TWorkFolder() {
    OSRemovePrivateFolder(FPath);
    OSCloseFile(FLock);
}

}  // namespace kura
