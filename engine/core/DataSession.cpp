#include "engine/core/DataSession.h"

#include <algorithm>

#include "engine/core/DataDirectory.h"
#include "engine/core/RemoteChannel.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Locale.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "engine/files/WorkFolder.h"

namespace kura {

namespace {

constexpr size_t kShortStringMax = 255;

// Names, paths and passwords are short strings: anything longer is cut.
std::string ShortString(std::string_view s) { return std::string(s.substr(0, std::min(s.size(), kShortStringMax))); }

// Blanks and control characters off both ends.
std::string_view Trim(std::string_view s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return s.substr(first, last - first);
}

// Passwords are case-sensitive and may not hide a difference behind a zero byte.
bool SamePassword(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareStringsByLocale(0, 0, a.c_str(), false, 0, b.c_str()) == 0;
}

}  // namespace

TDataSession::TDataSession(uint8_t creationFlag)
    : FCreationFlag(creationFlag),
      FDefaultDir(ShortString(AddTrailingBackslash(GetCurrentDir()))),
      FPrivateDir(ShortString(GetTempDir())) {}

TDataSession::~TDataSession() {
    if (FRemote) {
        // Dropping the channel needs no server, and no logout is sent.
        if (FChannel) FChannel->Disconnect();
        FLoggedIn = false;
    } else {
        RemoveAllPasswords();
    }
    FreeDirectories();
}

// ---- Settings ------------------------------------------------------------------

void TDataSession::SetPrivateDir(std::string_view value) {
    if (value.empty()) {
        FPrivateDir.clear();
        return;
    }
    std::string dir = ShortString(AddTrailingBackslash(value));
    if (dir != FPrivateDir) FPrivateDir = std::move(dir);
}

std::string TDataSession::GetDatabasePath() const { return FPrivateDir.empty() ? FDefaultDir : FPrivateDir; }

std::string TDataSession::GetWorkPath() {
    const std::string parent = GetDatabasePath();
    if (FRemote) return parent;
    for (const auto& folder : FWorkFolders)
        if (folder->Parent() == parent) return folder->Ready();
    FWorkFolders.push_back(std::make_unique<TWorkFolder>(parent));
    return FWorkFolders.back()->Ready();
}

int32_t TDataSession::GetProgressInterval() const { return FProgressSteps == 0 ? 100 : 100 / FProgressSteps; }

void TDataSession::SetProgressSteps(uint16_t value) {
    if (value == FProgressSteps) return;
    FProgressSteps = value;
    SessionParamsChanged();
}

void TDataSession::SetForceBufferFlush(bool value) {
    if (value == FForceBufferFlush) return;
    FForceBufferFlush = value;
    SessionParamsChanged();
}

void TDataSession::SetStrictChangeDetection(bool value) {
    if (value == FStrictChangeDetection) return;
    FStrictChangeDetection = value;
    SessionParamsChanged();
}

void TDataSession::SetLockRetryCount(uint8_t value) {
    if (value == FLockRetryCount) return;
    FLockRetryCount = value;
    SessionParamsChanged();
}

void TDataSession::SetLockWaitTime(uint16_t value) {
    if (value == FLockWaitTime) return;
    FLockWaitTime = value;
    SessionParamsChanged();
}

void TDataSession::SetLockProtocol(uint8_t value) {
    if (value == FLockProtocol) return;
    FLockProtocol = value;
    SessionParamsChanged(true);
}

void TDataSession::SessionParamsChanged(bool lockProtocol) {
    if (!FRemote || !FLoggedIn) return;
    // Servers before 3.04 do not take the lock protocol, so it alone is not sent.
    if (lockProtocol && FServerVersion < SERVER_VERSION_LOCK_PROTOCOL) return;
    SendSessionParams();
}

// ---- Local or remote -------------------------------------------------------------

void TDataSession::SetRemote(bool value) {
    if (!FConnected) FRemote = value;
}

void TDataSession::SetRemoteType(bool lan) {
    if (!FConnected) FLAN = lan;
}

std::string TDataSession::GetServerName() const { return !RemoteHost.empty() ? RemoteHost : RemoteAddress; }

void TDataSession::DoRemoteTrace(const std::string& message) const {
    if (FOnRemoteTrace) FOnRemoteTrace(message);
}

int32_t TDataSession::DoTableAccess(TDataCursor* cursor, uint8_t access) const {
    return FOnTableAccess ? FOnTableAccess(cursor, access) : 0;
}

// ---- Channel ----------------------------------------------------------------------

TRemoteChannel& TDataSession::Channel() {
    if (!FChannel) FChannel = std::make_unique<TRemoteChannel>(*this);
    return *FChannel;
}

void TDataSession::Connect() { Channel().Connect(); }
void TDataSession::Reconnect() { Channel().Reconnect(); }
void TDataSession::Disconnect() {
    if (FChannel) FChannel->Disconnect();
}
void TDataSession::Login() { Channel().Login(); }
void TDataSession::Logout() {
    if (FChannel) FChannel->Logout();
}
void TDataSession::SendSessionParams() { Channel().SendSessionParams(); }

// ---- Passwords ------------------------------------------------------------------

void TDataSession::AddPassword(std::string_view password) {
    if (FRemote) {
        Channel().BeginRequest(REQUEST_ADDPASSWORD);
        Channel().Request().PutString(ShortString(password));
        Channel().Exchange();
        return;
    }
    const std::string p = ShortString(password);
    if (p.empty() || PasswordExists(p)) return;
    FPasswords.push_back(p);
}

void TDataSession::RemovePassword(std::string_view password) {
    if (FRemote) {
        Channel().BeginRequest(REQUEST_DELPASSWORD);
        Channel().Request().PutString(ShortString(password));
        Channel().Exchange();
        return;
    }
    const std::string p = ShortString(password);
    const auto it = std::find_if(FPasswords.begin(), FPasswords.end(),
                                 [&](const std::string& entry) { return SamePassword(entry, p); });
    if (it != FPasswords.end()) FPasswords.erase(it);
}

void TDataSession::RemoveAllPasswords() {
    if (FRemote) {
        Channel().BeginRequest(REQUEST_DELALLPASSWORDS);
        Channel().Exchange();
        return;
    }
    while (!FPasswords.empty()) FPasswords.pop_back();
}

bool TDataSession::PasswordExists(std::string_view password) const {
    const std::string p = ShortString(password);
    return std::any_of(FPasswords.begin(), FPasswords.end(),
                       [&](const std::string& entry) { return SamePassword(entry, p); });
}

// ---- Databases ------------------------------------------------------------------

TDataDirectory* TDataSession::OpenDataDirectory(std::string_view name, std::string_view path, bool localOnly) {
    const std::string dbName = ShortString(name);
    if (FRemote) {
        const std::string wanted(Trim(dbName));
        for (TDataDirectory* dir : FDirectories) {
            if (SameNameText(std::string(Trim(dir->Name)), wanted)) {
                ++dir->References;
                return dir;
            }
        }
        // A local-only database (the SQL engine's result databases) has no server handle.
        uint32_t handle = 0;
        if (!localOnly) {
            Channel().BeginRequest(REQUEST_OPENDATADIR);
            Channel().Request().PutString(dbName);
            Channel().Exchange();
            handle = Channel().Reply().GetU32();
        }
        auto* dir = new TDataDirectory(this);
        FDirectories.push_back(dir);
        dir->Name = dbName;
        dir->RemoteHandle = handle;
        ++dir->References;
        return dir;
    }

    std::string dbPath;
    if (SameNameText(dbName, std::string(MEMORY_DATABASE_NAME))) {
        dbPath = path.empty() ? std::string() : ShortString(AddTrailingBackslash(path));
    } else {
        dbPath = path.empty() ? FDefaultDir : ShortString(AddTrailingBackslash(path));
    }
    // "\" and "/" both separate folders here, so a path written either way is one
    // database (two would keep two sets of shared tables for the same files).
    const std::string wanted = NormalizePathDelimiters(Trim(dbPath));
    for (TDataDirectory* dir : FDirectories) {
        if (SameNameText(NormalizePathDelimiters(Trim(dir->Path)), wanted)) {
            ++dir->References;
            return dir;
        }
    }
    auto* dir = new TDataDirectory(this);
    FDirectories.push_back(dir);
    dir->Name = dbName;
    dir->Path = dbPath;
    ++dir->References;
    return dir;
}

int32_t TDataSession::FindDirectory(const TDataDirectory* directory) const {
    const auto it = std::find(FDirectories.begin(), FDirectories.end(), directory);
    return it == FDirectories.end() ? -1 : static_cast<int32_t>(it - FDirectories.begin());
}

void TDataSession::CloseDataDirectory(TDataDirectory* directory, bool force) {
    if (!directory) return;
    const int32_t index = FindDirectory(directory);
    if (index < 0 || directory->References == 0) return;
    --directory->References;
    if (directory->References > 0) return;
    // A remote database is closed on the server before it goes; when that fails the
    // database stays listed (without references) until the session frees it. A
    // local-only database (an SQL result's) has nothing on the server to close.
    if (FRemote && !force && directory->RemoteHandle != 0) {
        Channel().BeginRequest(REQUEST_CLOSEDATADIR);
        Channel().Request().PutU32(directory->RemoteHandle);
        Channel().Exchange();
    }
    FDirectories.erase(FDirectories.begin() + index);
    delete directory;
}

void TDataSession::FreeDirectories() {
    // Taken out of the list first, so a database's destructor never meets itself
    // in the session's list.
    std::vector<TDataDirectory*> dirs;
    dirs.swap(FDirectories);
    for (TDataDirectory* dir : dirs) dir->FreeStatements();
    for (TDataDirectory* dir : dirs) delete dir;
}

}  // namespace kura
