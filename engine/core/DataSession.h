#pragma once
// The engine session: the settings the table, lock and cursor code reads, the
// passwords of encrypted tables and the session's open databases. A session is
// local (all work happens in this process) or remote (the client of a database
// server, through its channel: RemoteChannel.h). A remote session forwards the
// password and database operations to the server and raises the errors it answers.
//
// A session is used from one thread at a time and takes no lock of its own.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/HeldChanges.h"

namespace kura {

class TDataSession;
class TDataDirectory;  // engine/core/DataDirectory.h
class TDataCursor;
class TRemoteChannel;  // engine/core/RemoteChannel.h
class TWorkFolder;     // engine/files/WorkFolder.h

enum TLockProtocol : uint8_t { lpPessimistic = 0, lpOptimistic = 1 };
enum TSessionType : uint8_t { stLocal = 0, stRemote = 1 };
enum TRemoteType : uint8_t { rtLAN = 0, rtInternet = 1 };

// Access kinds the SQL engine announces through the table-access callback.
enum TTableAccess : uint8_t {
    taSelect = 0,
    taInsert = 1,
    taUpdate = 2,
    taDelete = 3,
    taCreate = 4,
    taAlter = 5,
    taDrop = 6,
};

// Server versions are Currency values (four implied decimals).
constexpr int64_t SERVER_VERSION_NONE_REPORTED = 30300;  // 3.03
constexpr int64_t SERVER_VERSION_LOCK_PROTOCOL = 30400;  // 3.04 first takes the lock protocol
// 3.11 first takes the filters' count-estimate option and the field-names flag of
// import and export.
constexpr int64_t SERVER_VERSION_FILTER_ESTIMATES = 31100;
constexpr int64_t SERVER_VERSION_FIELD_NAMES_FLAG = 31100;

constexpr std::string_view MEMORY_DATABASE_NAME = "Memory";

// What the session itself keeps of each open database: the owner, the server's
// handle, the name, the path and the reference count. TDataDirectory derives from
// it and adds the tables and transactions; the session creates databases with
// `new TDataDirectory(session)` and deletes them through this base, so the
// destructor is virtual and must not throw.
class TSessionDatabase {
public:
    explicit TSessionDatabase(TDataSession* session) : Session(session) {}
    virtual ~TSessionDatabase() = default;
    TSessionDatabase(const TSessionDatabase&) = delete;
    TSessionDatabase& operator=(const TSessionDatabase&) = delete;

    TDataSession* Session;
    uint32_t RemoteHandle = 0;
    std::string Name;  // at most 255 bytes
    std::string Path;  // with a trailing separator; empty for "Memory" without a path
    uint16_t References = 0;
};

// user name and password buffers (at most 255 bytes each); false stops the login.
using TRemoteLoginEvent = std::function<bool(std::string& user, std::string& password)>;
using TRemoteTraceEvent = std::function<void(const std::string& message)>;
using TTableAccessEvent = std::function<int32_t(TDataCursor* cursor, uint8_t access)>;

class TDataSession {
public:
    // The flag is kept for the cursors and databases to read; 0 at every call site.
    explicit TDataSession(uint8_t creationFlag = 0);
    // A remote session drops its channel; a local one forgets its passwords. Then
    // every database is freed.
    ~TDataSession();
    TDataSession(const TDataSession&) = delete;
    TDataSession& operator=(const TDataSession&) = delete;

    uint8_t GetCreationFlag() const { return FCreationFlag; }

    // ---- Settings (each setter stores only a changed value) -------------------
    // Empty clears it; otherwise trimmed with one trailing separator.
    void SetPrivateDir(std::string_view value);
    const std::string& GetPrivateDir() const { return FPrivateDir; }
    // The current directory at creation, with a trailing separator.
    const std::string& GetDefaultDir() const { return FDefaultDir; }
    // PrivateDir, or the default directory when PrivateDir is empty.
    std::string GetDatabasePath() const;
    // The folder of the session's result tables: a folder of its own in the database
    // path (TWorkFolder), made at first use (and again when someone else removed
    // it), and removed with the session; each call clears a few of the folders of
    // programs that are gone. A remote session has none.
    std::string GetWorkPath();

    void SetProgressSteps(uint16_t value);
    uint16_t GetProgressSteps() const { return FProgressSteps; }
    // The percentage between two progress events: 100 div the steps, 100 for 0 steps.
    int32_t GetProgressInterval() const;

    void SetForceBufferFlush(bool value);
    bool GetForceBufferFlush() const { return FForceBufferFlush; }
    void SetStrictChangeDetection(bool value);
    bool GetStrictChangeDetection() const { return FStrictChangeDetection; }
    void SetLockRetryCount(uint8_t value);
    uint8_t GetLockRetryCount() const { return FLockRetryCount; }
    // Milliseconds slept between two lock attempts.
    void SetLockWaitTime(uint16_t value);
    uint16_t GetLockWaitTime() const { return FLockWaitTime; }
    void SetLockProtocol(uint8_t value);
    uint8_t GetLockProtocol() const { return FLockProtocol; }

    // ---- Local or remote ------------------------------------------------------
    // Both are ignored while the channel is connected.
    void SetRemote(bool value);
    bool IsRemote() const { return FRemote; }
    TSessionType GetSessionType() const { return FRemote ? stRemote : stLocal; }
    void SetRemoteType(bool lan);
    bool IsLAN() const { return FLAN; }
    TRemoteType GetRemoteType() const { return FLAN ? rtLAN : rtInternet; }
    uint32_t GetRemoteSessionId() const { return FRemoteSessionId; }
    // Currency; 0 until a server reports one.
    int64_t GetServerVersion() const { return FServerVersion; }
    bool IsConnected() const { return FConnected; }
    bool IsLoggedIn() const { return FLoggedIn; }
    // RemoteHost, else RemoteAddress, else empty: the server slot of remote errors.
    std::string GetServerName() const;

    // The channel (remote sessions): opened by Connect, the credentials checked by
    // Login, closed by Logout (or Disconnect without telling the server).
    void Connect();
    void Reconnect();
    void Disconnect();
    void Login();
    void Logout();
    void SendSessionParams();
    // Created on first use; every remote operation goes through it.
    TRemoteChannel& Channel();

    void SetRemoteLoginEvent(TRemoteLoginEvent event) { FOnRemoteLogin = std::move(event); }
    void SetRemoteTraceEvent(TRemoteTraceEvent event) { FOnRemoteTrace = std::move(event); }
    void DoRemoteTrace(const std::string& message) const;

    // Written directly by the dataset components.
    std::string RemoteHost;
    std::string RemoteAddress = "127.0.0.1";
    int32_t RemotePort = 12005;
    std::string RemoteService;
    std::string RemoteUser;
    std::string RemotePassword;
    bool RemoteTrace = false;
    int32_t RemoteTimeout = 300;  // seconds per wait for reply data

    // Cache limits of each table's files.
    int32_t RecordBufferSize = 16384;  // bytes of cached records per data file
    int32_t RecordBufferCount = 8192;  // most cached records per data file
    int32_t IndexBufferSize = 16384;   // bytes of index pages per index
    int32_t BlobBufferSize = 32768;    // bytes of BLOB blocks per BLOB file
    int32_t BlobBufferCount = 8192;    // most cached blocks per BLOB file
    // Bytes of a transaction's changes each table keeps in memory beyond its
    // caches; past them the changes move to a temporary file until the commit.
    int64_t TransactionMemory = DEFAULT_TRANSACTION_MEMORY;

    // Asked by the SQL engine before it touches a table; 0 when unassigned.
    void SetTableAccessEvent(TTableAccessEvent event) { FOnTableAccess = std::move(event); }
    int32_t DoTableAccess(TDataCursor* cursor, uint8_t access) const;

    // ---- Passwords (case-sensitive, at most 255 bytes each) --------------------
    // Adding an empty or known password and removing an unknown one do nothing.
    void AddPassword(std::string_view password);
    void RemovePassword(std::string_view password);
    void RemoveAllPasswords();
    bool PasswordExists(std::string_view password) const;
    const std::vector<std::string>& GetPasswords() const { return FPasswords; }

    // ---- Databases ------------------------------------------------------------
    // The database for a path, or for the name "Memory" the in-memory database; an
    // empty path means the default directory. One more reference each time; no file
    // is touched. localOnly keeps a remote session from asking the server.
    TDataDirectory* OpenDataDirectory(std::string_view name, std::string_view path, bool localOnly = false);
    // Drops one reference and frees the database at the last one. Nothing happens
    // for nil, for a database of another session and for one without references.
    void CloseDataDirectory(TDataDirectory* directory, bool force = false);
    // Frees every database, first to last.
    void FreeDirectories();
    // The open databases in order of opening; owned by the session.
    const std::vector<TDataDirectory*>& Directories() const { return FDirectories; }

private:
    friend class TRemoteChannel;
    // Re-sends the session parameters to a server the session is logged in to.
    void SessionParamsChanged(bool lockProtocol = false);
    int32_t FindDirectory(const TDataDirectory* directory) const;

    uint8_t FCreationFlag;
    std::vector<TDataDirectory*> FDirectories;
    std::string FDefaultDir;
    std::string FPrivateDir;
    uint16_t FProgressSteps = 20;
    std::vector<std::string> FPasswords;
    bool FForceBufferFlush = false;
    bool FStrictChangeDetection = false;
    uint8_t FLockRetryCount = 15;
    uint16_t FLockWaitTime = 100;
    uint8_t FLockProtocol = lpPessimistic;
    bool FRemote = false;
    uint32_t FRemoteSessionId = 0;
    int64_t FServerVersion = 0;
    bool FLAN = true;
    bool FConnected = false;
    bool FLoggedIn = false;
    TRemoteLoginEvent FOnRemoteLogin;
    TRemoteTraceEvent FOnRemoteTrace;
    TTableAccessEvent FOnTableAccess;
    std::unique_ptr<TRemoteChannel> FChannel;
    // One per database path asked for; gone after the databases, whose result
    // tables they hold.
    std::vector<std::unique_ptr<TWorkFolder>> FWorkFolders;
};

}  // namespace kura
