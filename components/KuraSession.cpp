#include "components/KuraSession.h"

#include "components/KuraSessionGlobals.h"

#include <algorithm>

#include "components/KuraDatabase.h"
#include "components/KuraDataSet.h"
#include "components/KuraMessages.h"
#include "engine/core/Engine.h"
#include "engine/errors/EngineErrors.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

using detail::gDefault;
using detail::gSessions;

std::function<bool(TKuraSession*)> TKuraSession::PasswordDialogHook;
std::function<bool(std::string&, std::string&)> TKuraSession::RemoteLoginDialogHook;

namespace {

// Short strings of the engine: at most 255 bytes, never half a character.
std::string ShortString(const std::string& text) { return text.substr(0, platform::Cp932PrefixLength(text, 255)); }

}  // namespace

// ---- the session -------------------------------------------------------------------------

TKuraSession::TKuraSession(TComponent* owner) : TComponent(owner) {
    if (owner) {
        for (TComponent* c : owner->Components()) {
            auto* other = dynamic_cast<TKuraSession*>(c);
            if (other && other != this && other->AutoSessionName()) DatabaseError(msg::AutoSessionExists);
        }
    }
    TKuraSessionList& list = gSessions ? *gSessions : Sessions();
    list.AddSession(this);
}

TKuraSession::~TKuraSession() {
    destroying_ = true;
    try {
        SetActive(false);
    } catch (...) {
        // A failing stop must not escape a destructor; the engine session is gone anyway.
        FHandle = nullptr;
    }
    // Owned components (databases) go while this session is still whole; databases
    // owned elsewhere fall back to the default session.
    while (!Components().empty()) delete Components().back();
    for (TKuraDatabase* d : std::vector<TKuraDatabase*>(FDatabases)) d->SessionRemoved();
    FDatabases.clear();
    if (FAutoSessionNumber >= 0 && gSessions) gSessions->ReleaseAutoSessionNumber(FAutoSessionNumber);
    if (gSessions) gSessions->RemoveSession(this);
    if (gDefault == this) gDefault = nullptr;
}

void TKuraSession::SetActive(bool value) {
    if (Loading()) {
        FStreamedActive = value;
        return;
    }
    if (value == Active()) return;
    StartStopSession(value);
}

void TKuraSession::StartStopSession(bool value) {
    platform::CriticalSectionLock lock(Sessions().EngineLock());
    if (value) {
        if (OnStartup) OnStartup(this);
        if (FSessionName.empty()) DatabaseError(msg::SessionNameMissing);
        if (!FDefault) Session().SetActive(true);
        if (FDefault) {
            InitializeEngine();
            FHandle = GetEngineSession();
        } else {
            CreateSession(FHandle, 0);
        }
        try {
            FHandle->SetPrivateDir(ShortString(FPrivateDir));
            FHandle->SetStrictChangeDetection(FStrictChangeDetection);
            FHandle->SetForceBufferFlush(FForceBufferFlush);
            FHandle->SetLockRetryCount(FLockRetryCount);
            FHandle->SetLockWaitTime(FLockWaitTime);
            FHandle->SetLockProtocol(FLockProtocol);
            FHandle->SetProgressSteps(FProgressSteps);
            FHandle->RecordBufferSize = FBufferLimits[0];
            FHandle->RecordBufferCount = FBufferLimits[1];
            FHandle->IndexBufferSize = FBufferLimits[2];
            FHandle->BlobBufferSize = FBufferLimits[3];
            FHandle->BlobBufferCount = FBufferLimits[4];
            if (FSessionType == stRemote) {
                FHandle->SetRemoteType(FRemoteType == rtLAN);
                FHandle->RemoteHost = ShortString(FRemoteHost);
                FHandle->RemoteAddress = ShortString(FRemoteAddress);
                FHandle->RemotePort = FRemotePort;
                FHandle->RemoteService = ShortString(FRemoteService);
                FHandle->RemoteTrace = FRemoteTrace;
                FHandle->RemoteUser = ShortString(FRemoteUser);
                FHandle->RemotePassword = ShortString(FRemotePassword);
                FHandle->SetRemote(true);
                FHandle->Connect();
                FHandle->SetRemoteTraceEvent([this](const std::string& m) { RemoteTraceMessage(m); });
                FHandle->SetRemoteLoginEvent([this](std::string& u, std::string& p) { return RemoteLogin(u, p); });
                try {
                    FHandle->Login();
                    FHandle->SendSessionParams();
                } catch (...) {
                    FHandle->SetRemoteLoginEvent(nullptr);
                    throw;
                }
                FHandle->SetRemoteLoginEvent(nullptr);
            } else {
                FHandle->SetRemote(false);
            }
        } catch (...) {
            StartStopSession(false);
            throw;
        }
        return;
    }
    if (!FHandle) return;
    SetEngineSession(FHandle);
    const std::vector<TKuraDatabase*> databases(FDatabases);
    for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
        if (std::find(FDatabases.begin(), FDatabases.end(), *it) == FDatabases.end()) continue;
        if ((*it)->Temporary()) delete *it;  // removes itself from FDatabases
        else (*it)->SetConnected(false);
    }
    if (FHandle->IsRemote()) {
        // The session ends whether or not the server heard the logout.
        try {
            FHandle->Logout();
        } catch (...) {
            FHandle->Disconnect();
        }
        FHandle->SetRemoteTraceEvent(nullptr);
    }
    if (FDefault) {
        ShutdownEngine();
    } else {
        FreeSession(FHandle);
        if (gDefault && gDefault->FHandle) SetEngineSession(gDefault->FHandle);
    }
    FHandle = nullptr;
}

template <typename T, typename Apply>
void TKuraSession::Forward(T& field, const T& value, Apply apply) {
    if (!Active()) {
        field = value;
        return;
    }
    TSessionLock lock(this);
    if (field != value) {
        field = value;
        apply();
    }
}

void TKuraSession::SetForceBufferFlush(bool v) {
    Forward(FForceBufferFlush, v, [&] { FHandle->SetForceBufferFlush(v); });
}
void TKuraSession::SetLockRetryCount(uint8_t v) {
    Forward(FLockRetryCount, v, [&] { FHandle->SetLockRetryCount(v); });
}
void TKuraSession::SetLockWaitTime(uint16_t v) { Forward(FLockWaitTime, v, [&] { FHandle->SetLockWaitTime(v); }); }
void TKuraSession::SetLockProtocol(TLockProtocol v) {
    Forward(FLockProtocol, v, [&] { FHandle->SetLockProtocol(v); });
}
void TKuraSession::SetPrivateDir(const std::string& v) {
    Forward(FPrivateDir, v, [&] { FHandle->SetPrivateDir(ShortString(v)); });
}
void TKuraSession::SetProgressSteps(uint16_t v) {
    if (v > 100) return;
    Forward(FProgressSteps, v, [&] { FHandle->SetProgressSteps(v); });
}
void TKuraSession::SetStrictChangeDetection(bool v) {
    Forward(FStrictChangeDetection, v, [&] { FHandle->SetStrictChangeDetection(v); });
}
void TKuraSession::SetRemoteTrace(bool v) {
    Forward(FRemoteTrace, v, [&] { FHandle->RemoteTrace = v; });
}

namespace {
template <typename T>
void SetInactiveOnly(const TKuraSession& s, T& field, const T& value) {
    if (s.Active()) DatabaseError(msg::SessionActive);
    field = value;
}
}  // namespace

void TKuraSession::SetSessionType(TSessionType v) { SetInactiveOnly(*this, FSessionType, v); }
void TKuraSession::SetRemoteType(TRemoteType v) { SetInactiveOnly(*this, FRemoteType, v); }
void TKuraSession::SetRemoteHost(const std::string& v) { SetInactiveOnly(*this, FRemoteHost, v); }
void TKuraSession::SetRemoteAddress(const std::string& v) { SetInactiveOnly(*this, FRemoteAddress, v); }
void TKuraSession::SetRemotePort(int32_t v) { SetInactiveOnly(*this, FRemotePort, v); }
void TKuraSession::SetRemoteService(const std::string& v) { SetInactiveOnly(*this, FRemoteService, v); }
void TKuraSession::SetRemoteUser(const std::string& v) { SetInactiveOnly(*this, FRemoteUser, v); }
void TKuraSession::SetRemotePassword(const std::string& v) { SetInactiveOnly(*this, FRemotePassword, v); }

void TKuraSession::SetSessionName(const std::string& value) {
    if (FAutoSessionName && !FUpdatingAutoSessionName) DatabaseError(msg::AutoSessionActive);
    if (Active()) DatabaseError(msg::SessionActive);
    if (!value.empty() && gSessions) {
        TKuraSession* other = gSessions->FindSession(value);
        if (other && other != this) DatabaseErrorFmt(msg::DuplicateSessionName, value);
    }
    FSessionName = value;
}

void TKuraSession::SetAutoSessionName(bool value) {
    if (value == FAutoSessionName) return;
    if (value) {
        if (Active()) DatabaseError(msg::SessionActive);
        if (Owner()) {
            for (TComponent* c : Owner()->Components()) {
                auto* other = dynamic_cast<TKuraSession*>(c);
                if (other && other != this) DatabaseError(msg::AutoSessionExclusive);
            }
        }
        FAutoSessionNumber = Sessions().TakeAutoSessionNumber();
        FAutoSessionName = true;
        MakeAutoSessionName();
    } else {
        if (FAutoSessionNumber >= 0) Sessions().ReleaseAutoSessionNumber(FAutoSessionNumber);
        FAutoSessionNumber = -1;
        FAutoSessionName = false;
    }
}

void TKuraSession::MakeAutoSessionName() {
    if (!FAutoSessionName) return;
    FUpdatingAutoSessionName = true;
    try {
        SetSessionName(Name() + "_" + std::to_string(FAutoSessionNumber + 1));
    } catch (...) {
        FUpdatingAutoSessionName = false;
        throw;
    }
    FUpdatingAutoSessionName = false;
    if (!Owner()) return;
    for (TComponent* c : Owner()->Components()) {
        if (auto* ds = dynamic_cast<TKuraDBDataSet*>(c)) {
            if (!SameText(ds->SessionName(), FSessionName) && !ds->Active()) ds->SetSessionName(FSessionName);
        } else if (auto* db = dynamic_cast<TKuraDatabase*>(c)) {
            if (!SameText(db->SessionName(), FSessionName) && !db->Connected()) db->SetSessionName(FSessionName);
        }
    }
}

void TKuraSession::SetName(const std::string& name) {
    TComponent::SetName(name);
    MakeAutoSessionName();
}

void TKuraSession::Loaded() {
    TComponent::Loaded();
    MakeAutoSessionName();
    if (FStreamedActive) SetActive(true);
}

void TKuraSession::AddPassword(const std::string& password) {
    TSessionLock lock(this);
    FHandle->AddPassword(ShortString(password));
}

void TKuraSession::RemovePassword(const std::string& password) {
    TSessionLock lock(this);
    FHandle->RemovePassword(ShortString(password));
}

void TKuraSession::RemoveAllPasswords() {
    TSessionLock lock(this);
    FHandle->RemoveAllPasswords();
}

bool TKuraSession::GetPassword() {
    if (OnPassword) {
        bool cont = false;
        OnPassword(this, cont);
        return cont;
    }
    return PasswordDialogHook ? PasswordDialogHook(this) : false;
}

bool TKuraSession::RemoteLogin(std::string& user, std::string& password) {
    bool cont = true;
    if (OnRemoteLogin) OnRemoteLogin(this, user, password, cont);
    else cont = RemoteLoginDialogHook ? RemoteLoginDialogHook(user, password) : false;
    user = ShortString(user);
    password = ShortString(password);
    return cont;
}

void TKuraSession::RemoteTraceMessage(const std::string& message) {
    if (OnRemoteTrace) OnRemoteTrace(this, message);
}

void TKuraSession::LockSession() {
    if (FLockCount == 0) {
        Sessions().EngineLock().Enter();
        ++FLockCount;
        try {
            if (FHandle) SetEngineSession(FHandle);
            else SetActive(true);
        } catch (...) {
            --FLockCount;
            Sessions().EngineLock().Leave();
            throw;
        }
    } else {
        ++FLockCount;
    }
}

void TKuraSession::UnlockSession() {
    if (FLockCount <= 0) return;
    if (--FLockCount == 0) Sessions().EngineLock().Leave();
}

TKuraDatabase* TKuraSession::FindDatabase(const std::string& name) {
    for (TKuraDatabase* d : FDatabases)
        if ((!d->DatabaseName().empty() || d->Temporary()) && SameText(d->DatabaseName(), name)) return d;
    return nullptr;
}

TKuraDatabase* TKuraSession::OpenDatabase(const std::string& name, TComponent* owner) {
    TSessionLock lock(this);
    TKuraDatabase* database = nullptr;
    if (owner) {
        for (TComponent* c : owner->Components()) {
            auto* d = dynamic_cast<TKuraDatabase*>(c);
            if (d && d->HandleShared && SameText(d->DatabaseName(), name)) {
                database = d;
                break;
            }
        }
    }
    if (!database) database = FindDatabase(name);
    if (!database) {
        database = new TKuraDatabase(this);
        try {
            database->MarkTemporary();
            database->SetDatabaseName(name);
            if (SameText(name, MEMORY_DATABASE_NAME)) {
                if (FSessionType == stRemote) database->SetRemoteDatabase(name);
            } else if (FSessionType == stRemote) {
                database->SetRemoteDatabase(name);
            } else {
                database->SetDirectory(name);
            }
            database->SetKeepConnection(KeepConnections);
        } catch (...) {
            delete database;
            throw;
        }
    }
    database->SetConnected(true);
    database->AddRef();
    return database;
}

void TKuraSession::CloseDatabase(TKuraDatabase* database) {
    if (!database) return;
    if (database->RefCount() > 0) database->Release();
    if (database->RefCount() == 0 && !database->KeepConnection()) {
        if (!database->Temporary()) database->SetConnected(false);
        else if (!destroying_ && !database->Destroying()) delete database;
    }
}

void TKuraSession::AddDatabase(TKuraDatabase* d) {
    FDatabases.push_back(d);
    DBNotification(2, d);
}

void TKuraSession::RemoveDatabase(TKuraDatabase* d) {
    FDatabases.erase(std::remove(FDatabases.begin(), FDatabases.end(), d), FDatabases.end());
    DBNotification(3, d);
}

void TKuraSession::DBNotification(int event, TKuraDatabase* database) {
    if (OnDBNotify) OnDBNotify(event, database);
}

}  // namespace kura
