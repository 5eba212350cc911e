#include "engine/files/WorkFolder.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string_view>
#include <utility>

#include "engine/files/FileHandler.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

constexpr std::string_view kPrefix = "KURA";
constexpr std::string_view kLockExt = ".LCK";
// Names of this process taken by its other sessions are passed over; past this many
// something else refuses them all.
constexpr uint32_t kMostNames = 10000;
// What one result table's share of the look over the temporary folder costs at most:
// names read (a thousand cost about a quarter of a millisecond), and time spent on
// the folders among them whose program is gone, tried and emptied. In that time some
// 120 to 140 files of a large folder go on a journalled file system, so that a folder
// of 25,000 files goes over some 170 to 190 tables, while the first result table waits
// for them about half of what its own query over a thousand records costs. The
// removal of the emptied folder itself comes on top, at the table that removed its
// last files (for such a folder 13 ms to a quarter of a second on ext4, as the disk
// is busy).
constexpr size_t kNamesReadAtOnce = 1024;
constexpr int64_t kShareMicroseconds = 800;
// However slow the file system or busy the machine, a table tries this many folders
// and files before its time counts: a small folder left by a killed program goes
// with the next program's first query, and a large one still goes over the queries.
constexpr int32_t kLeastTries = 16;
// A look over the temporary folder starts again this many result tables after the
// last came to its end, so that a session that makes many pays for it at a few.
constexpr uint32_t kTablesBetweenLooks = 64;

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

// The work folders that the names in a folder show, each once.
std::vector<std::string> WorkFolderNames(const std::vector<std::string>& entries) {
    std::set<std::string, std::less<>> names;
    for (const std::string& entry : entries) {
        const std::string_view name = WorkFolderName(entry);
        if (!name.empty()) names.emplace(name);
    }
    return {names.begin(), names.end()};
}

enum class TClearing {
    Gone,     // emptied and removed, or no folder was left beside the lock file
    Left,     // emptied in part: its files went while `more` allowed
    NotOurs,  // its program lives, or it is not ours to clear (another user's, a link)
};

// Empties and removes the work folder `name` in `folder` when its program is gone,
// each of its files tried while `more` (when given) answers true.
TClearing ClearIfAbandoned(const std::string& folder, const std::string& name, const std::function<bool()>& more) {
    // Refused while its program lives (or when it is not ours to open).
    const TOSHandle lock = OSHoldFile(folder + name + std::string(kLockExt));
    if (lock == OS_INVALID_HANDLE) return TClearing::NotOurs;
    // Refused while its program lives, whether its lock file is the one it held or
    // was made anew just now. A folder that is not ours (another user's, a link) is
    // left for its owner; its lock file goes all the same and is made again by the
    // next one that looks.
    TClearing outcome = TClearing::Gone;
    const TOSHandle held = OSHoldPrivateFolder(folder + name, false);
    if (held == OS_INVALID_HANDLE) {
        if (OSLastError() != platform::ERROR_FILE_NOT_FOUND) outcome = TClearing::NotOurs;
    } else if (!OSRemoveHeldFolder(held, more)) {
        outcome = OSLastError() == platform::ERROR_DIR_NOT_EMPTY ? TClearing::Left : TClearing::NotOurs;
    }
    OSCloseFile(lock);
    return outcome;
}

int64_t ClockMicroseconds() {
    if (TWorkFolder::ClearingClock) return TWorkFolder::ClearingClock();
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

}  // namespace

void TWorkFolder::ClearAbandoned(const std::string& parent) {
    const std::string folder = AddTrailingBackslash(parent);
    const TOSHandle look = OSOpenFolder(folder);
    for (std::vector<std::string> part; !(part = OSFolderNamesPart(look, kNamesReadAtOnce)).empty();)
        for (const std::string& name : WorkFolderNames(part)) ClearIfAbandoned(folder, name, {});
    OSCloseFile(look);
}

int64_t (*TWorkFolder::ClearingClock)() = nullptr;

TWorkFolder::TWorkFolder(std::string parent) : FParent(std::move(parent)) {
    // The first table's share, which a folder left at the session's own name may
    // take a part of.
    FShareLeft = kShareMicroseconds;
    FTriesLeft = kLeastTries;
    FShareStarted = true;
    Make(0);
    // Each program's look starts at a name of its own, and tries the folders in an
    // order of its own, so that those that make one result table each clear, between
    // them, the folders anywhere in parent.
    FLook = OSOpenFolder(AddTrailingBackslash(FParent));
    const auto clock = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const uint64_t seed =
        clock ^ (uint64_t{platform::GetCurrentProcessId()} << 40) ^ reinterpret_cast<std::uintptr_t>(this);
    OSSeekFolderAtRandom(FLook, seed);
    FDraw.seed(static_cast<std::minstd_rand::result_type>(seed ^ (seed >> 32)));
}

void TWorkFolder::BeginSpending() { FShareEnd = ClockMicroseconds() + FShareLeft; }

bool TWorkFolder::ShareSpent() {
    // The clock is read at every try, also those that come before it counts.
    const bool late = ClockMicroseconds() >= FShareEnd;
    if (FTriesLeft > 0) return --FTriesLeft, false;
    return late;
}

void TWorkFolder::EndSpending() { FShareLeft = std::max<int64_t>(FShareEnd - ClockMicroseconds(), 0); }

void TWorkFolder::Make(uint32_t first) {
    const std::string folder = AddTrailingBackslash(FParent);
    const std::string base = folder + std::string(kPrefix) + std::to_string(platform::GetCurrentProcessId()) + "-";
    for (uint32_t n = first;; ++n) {
        const std::string name = base + std::to_string(n);
        FLock = OSHoldFile(name + std::string(kLockExt));
        uint32_t error = FLock == OS_INVALID_HANDLE ? OSLastError() : 0;
        // Another session of this process holds the name, or something that is not
        // ours stands in its place: the next one.
        bool taken = error == platform::ERROR_SHARING_VIOLATION || error == platform::ERROR_FILE_EXISTS;
        if (FLock != OS_INVALID_HANDLE) {
            FFolder = OSHoldPrivateFolder(name, true);
            error = FFolder == OS_INVALID_HANDLE ? OSLastError() : 0;
            // A folder of the name whose lock file could be taken was left by a program
            // that is gone (an earlier one of this process id): it is emptied and made
            // again. One that is held, not ours to empty (another user's, a link), or
            // too full to empty in the table's share of time is passed over.
            if (error == platform::ERROR_ALREADY_EXISTS) {
                BeginSpending();
                if (OSRemoveHeldFolder(OSHoldPrivateFolder(name, false), [this] { return !ShareSpent(); }))
                    FFolder = OSHoldPrivateFolder(name, true);
                EndSpending();
            }
            if (FFolder != OS_INVALID_HANDLE) {
                FNumber = n;
                FPath = AddTrailingBackslash(name);
                return;
            }
            taken = error == platform::ERROR_ALREADY_EXISTS || error == platform::ERROR_SHARING_VIOLATION;
            OSCloseFile(FLock);
            FLock = OS_INVALID_HANDLE;
        }
        if (!taken || n + 1 >= kMostNames) RaiseFolderError(OSErrorToEngineError(error), folder);
    }
}

const std::string& TWorkFolder::Ready() {
    if (!std::exchange(FShareStarted, false)) FShareLeft = kShareMicroseconds, FTriesLeft = kLeastTries;
    // Removed or moved by someone else: let go of, and another one made.
    if (!OSHeldFolderNamed(FFolder)) {
        OSCloseFile(FFolder);
        OSCloseFile(FLock);
        FFolder = FLock = OS_INVALID_HANDLE;
        Make(FNumber + 1);
    }
    ClearSome();
    return FPath;
}

void TWorkFolder::ClearSome() {
    const std::string folder = AddTrailingBackslash(FParent);
    // The first look, which started at random, goes on at once from the beginning,
    // so that a small folder is read whole at one table; each later look starts only
    // some tables after the last came to its end.
    std::vector<std::string> names;
    while (FFound.empty() && names.size() < kNamesReadAtOnce) {
        if (FLook == OS_INVALID_HANDLE) {
            if (FTablesBeforeLook-- != 0) break;
            FTablesBeforeLook = kTablesBetweenLooks;
            if ((FLook = OSOpenFolder(folder)) == OS_INVALID_HANDLE) break;
        }
        const std::vector<std::string> part = OSFolderNamesPart(FLook, kNamesReadAtOnce - names.size());
        names.insert(names.end(), part.begin(), part.end());
        if (names.size() < kNamesReadAtOnce) {
            OSCloseFile(FLook);
            FLook = OS_INVALID_HANDLE;
        }
    }
    if (FFound.empty()) {
        FFound = WorkFolderNames(names);
        std::erase_if(FFound, [&](const std::string& name) { return FPassed.contains(name); });
    }
    // Drawn at random, so that what is not ours to clear, wherever it sorts, keeps
    // no folder from being tried; a folder with more files than the share allows is
    // taken up again by the next table, until it is gone.
    const std::function<bool()> more = [this] { return !ShareSpent(); };
    BeginSpending();
    while (!FFound.empty() && more()) {
        std::swap(FFound[FDraw() % FFound.size()], FFound.back());
        const std::string& name = FFound.back();
        const TClearing outcome = AddTrailingBackslash(folder + name) == FPath ? TClearing::NotOurs
                                                                                : ClearIfAbandoned(folder, name, more);
        if (outcome == TClearing::Left) break;
        if (outcome == TClearing::NotOurs) FPassed.insert(name);
        FFound.pop_back();
    }
    EndSpending();
}

TWorkFolder::~TWorkFolder() {
    OSCloseFile(FLook);
    OSRemoveHeldFolder(FFolder);
    OSCloseFile(FLock);
}

}  // namespace kura
