#pragma once
// Session components: the application-side face of engine sessions.
//
// Sessions() is the process-wide list; its first session, Session() named
// "Default", is the default session, whose start switches the engine on and whose
// stop switches it off. Every other session starts the default one first and owns
// an engine session of its own.
//
// All engine work of the process runs inside one engine-wide critical section that
// the list owns: LockSession enters it (nesting counted per session) and makes the
// session's engine session current, UnlockSession leaves it. TSessionLock is the
// scoped form every component uses around its engine calls.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataSession.h"
#include "platform/Sync.h"
#include "platform/dataset/Component.h"

namespace kura {

class TKuraDatabase;
class TKuraSession;

using TKuraPasswordEvent = std::function<void(TKuraSession* sender, bool& continueOpen)>;
using TLoginEvent = std::function<void(TKuraSession* sender, std::string& user, std::string& password, bool& cont)>;
using TTraceEvent = std::function<void(TKuraSession* sender, const std::string& message)>;
using TSessionNotifyEvent = std::function<void(int event, TKuraDatabase* database)>;

class TKuraSessionList {
public:
    TKuraSessionList() = default;
    ~TKuraSessionList();  // CloseAll
    TKuraSessionList(const TKuraSessionList&) = delete;
    TKuraSessionList& operator=(const TKuraSessionList&) = delete;

    void AddSession(TKuraSession* s);
    void RemoveSession(TKuraSession* s);
    // Empty name: the default session; otherwise case-insensitive; nullptr when none.
    TKuraSession* FindSession(const std::string& name);
    // Raises "Session name %s is not valid." when none.
    TKuraSession* GetSession(const std::string& name);
    void CloseAll();
    int Count();
    TKuraSession* operator[](int i);
    platform::CriticalSection& EngineLock() { return engineLock_; }
    // Auto-session numbers: the first free one is taken.
    int32_t TakeAutoSessionNumber();
    void ReleaseAutoSessionNumber(int32_t n);

private:
    std::recursive_mutex listLock_;
    std::vector<TKuraSession*> sessions_;
    std::vector<bool> sessionNumbers_;
    platform::CriticalSection engineLock_;
};

// The global list, created with its default session on first use.
TKuraSessionList& Sessions();
TKuraSession& Session();
// Frees the list and every session (the default one last), which shuts the engine
// down. The next Sessions() starts afresh.
void DoneSessions();

class TKuraSession : public TComponent {
public:
    explicit TKuraSession(TComponent* owner = nullptr);
    ~TKuraSession() override;

    static constexpr const char* EngineVersion = "3.30";

    bool Active() const { return FHandle != nullptr; }
    void SetActive(bool value);
    bool AutoSessionName() const { return FAutoSessionName; }
    void SetAutoSessionName(bool value);
    bool ForceBufferFlush() const { return FForceBufferFlush; }
    void SetForceBufferFlush(bool value);
    bool KeepConnections = true;
    uint8_t LockRetryCount() const { return FLockRetryCount; }
    void SetLockRetryCount(uint8_t value);
    uint16_t LockWaitTime() const { return FLockWaitTime; }
    void SetLockWaitTime(uint16_t value);
    TLockProtocol LockProtocol() const { return FLockProtocol; }
    void SetLockProtocol(TLockProtocol value);
    const std::string& PrivateDir() const { return FPrivateDir; }
    void SetPrivateDir(const std::string& value);
    uint16_t ProgressSteps() const { return FProgressSteps; }
    void SetProgressSteps(uint16_t value);  // above 100: ignored
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& value);
    bool StrictChangeDetection() const { return FStrictChangeDetection; }
    void SetStrictChangeDetection(bool value);
    TSessionType SessionType() const { return FSessionType; }
    void SetSessionType(TSessionType value);
    TRemoteType RemoteType() const { return FRemoteType; }
    void SetRemoteType(TRemoteType value);
    const std::string& RemoteHost() const { return FRemoteHost; }
    void SetRemoteHost(const std::string& value);
    const std::string& RemoteAddress() const { return FRemoteAddress; }
    void SetRemoteAddress(const std::string& value);
    int32_t RemotePort() const { return FRemotePort; }
    void SetRemotePort(int32_t value);
    const std::string& RemoteService() const { return FRemoteService; }
    void SetRemoteService(const std::string& value);
    bool RemoteTrace() const { return FRemoteTrace; }
    void SetRemoteTrace(bool value);
    const std::string& RemoteUser() const { return FRemoteUser; }
    void SetRemoteUser(const std::string& value);
    const std::string& RemotePassword() const { return FRemotePassword; }
    void SetRemotePassword(const std::string& value);
    bool IsDefault() const { return FDefault; }
    void MarkDefault() { FDefault = true; }

    TKuraPasswordEvent OnPassword;
    std::function<void(TKuraSession* sender)> OnStartup;
    TLoginEvent OnRemoteLogin;
    TTraceEvent OnRemoteTrace;
    TSessionNotifyEvent OnDBNotify;

    TDataSession* Handle() const { return FHandle; }
    void AddPassword(const std::string& password);
    void RemovePassword(const std::string& password);
    void RemoveAllPasswords();
    // OnPassword, or else the password dialog hook; false when neither gives one.
    bool GetPassword();
    // The engine's login callback of a remote session: OnRemoteLogin with Continue
    // true, or else the login dialog hook; the names come back cut to short strings.
    bool RemoteLogin(std::string& user, std::string& password);
    // The engine's trace callback: OnRemoteTrace when assigned.
    void RemoteTraceMessage(const std::string& message);
    TKuraDatabase* OpenDatabase(const std::string& name, TComponent* owner);
    void CloseDatabase(TKuraDatabase* database);
    TKuraDatabase* FindDatabase(const std::string& name);
    void LockSession();
    void UnlockSession();
    int32_t LockCount() const { return FLockCount; }
    void AddDatabase(TKuraDatabase* d);
    void RemoveDatabase(TKuraDatabase* d);
    const std::vector<TKuraDatabase*>& Databases() const { return FDatabases; }
    void DBNotification(int event, TKuraDatabase* database);
    // The GUI installs the password dialog here; without it GetPassword answers false.
    static std::function<bool(TKuraSession*)> PasswordDialogHook;
    // The remote login dialog, likewise.
    static std::function<bool(std::string& user, std::string& password)> RemoteLoginDialogHook;

    void SetName(const std::string& name) override;

protected:
    void Loaded() override;

private:
    void StartStopSession(bool value);
    void MakeAutoSessionName();
    template <typename T, typename Apply>
    void Forward(T& field, const T& value, Apply apply);

    TDataSession* FHandle = nullptr;
    std::vector<TKuraDatabase*> FDatabases;
    bool FStreamedActive = false;
    bool FDefault = false;
    bool FAutoSessionName = false;
    bool FUpdatingAutoSessionName = false;
    std::string FSessionName;
    int32_t FAutoSessionNumber = -1;
    std::string FPrivateDir;
    uint16_t FProgressSteps = 20;
    int32_t FLockCount = 0;
    bool FForceBufferFlush = false;
    bool FStrictChangeDetection = false;
    uint8_t FLockRetryCount = 15;
    uint16_t FLockWaitTime = 100;
    TLockProtocol FLockProtocol = lpPessimistic;
    TSessionType FSessionType = stLocal;
    TRemoteType FRemoteType = rtLAN;
    std::string FRemoteHost;
    std::string FRemoteAddress = "127.0.0.1";
    int32_t FRemotePort = 12005;
    std::string FRemoteService;
    bool FRemoteTrace = false;
    std::string FRemoteUser;
    std::string FRemotePassword;
    int32_t FBufferLimits[5] = {16384, 8192, 16384, 32768, 8192};
};

// Scoped LockSession/UnlockSession; a null session does nothing.
class TSessionLock {
public:
    explicit TSessionLock(TKuraSession* session) : session_(session) {
        if (session_) session_->LockSession();
    }
    ~TSessionLock() {
        if (session_) session_->UnlockSession();
    }
    TSessionLock(const TSessionLock&) = delete;
    TSessionLock& operator=(const TSessionLock&) = delete;

private:
    TKuraSession* session_;
};

}  // namespace kura
