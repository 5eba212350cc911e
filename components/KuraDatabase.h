#pragma once
// The database component: names a database for the datasets of one session and
// holds the engine database while connected. A local database is a folder or the
// in-memory database "Memory"; transactions run over all tables of the database.
// Datasets join FDataSets when they open and leave when they close; disconnecting
// closes them all first.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "platform/Files.h"
#include "platform/dataset/Component.h"

namespace kura {

class TKuraSession;
class TKuraDBDataSet;

// What keeps a transaction of a database from starting at once: the table whose
// write lock another program holds (its own transaction, or a write under way) and
// the programs of this computer seen holding it (none seen: a program on another
// computer sharing the folder, one of another user, or one that let go meanwhile).
struct TTransactionBlock {
    std::string Table;
    std::vector<platform::TLockHolder> Holders;
};

class TKuraDatabase : public TComponent {
public:
    explicit TKuraDatabase(TComponent* owner = nullptr);
    ~TKuraDatabase() override;

    static constexpr const char* EngineVersion = "3.30";

    bool Connected() const { return FHandle != nullptr; }
    void SetConnected(bool value);
    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(const std::string& value);
    const std::string& Directory() const { return FDirectory; }
    void SetDirectory(const std::string& value);
    const std::string& RemoteDatabase() const { return FRemoteDatabase; }
    void SetRemoteDatabase(const std::string& value);
    bool HandleShared = false;
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool value);
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& value);
    std::function<void(TKuraDatabase*)> BeforeConnect;

    TDataDirectory* Handle() const { return FHandle; }
    TKuraSession* Session() const { return FSession; }
    bool Temporary() const { return FTemporary; }
    void MarkTemporary() { FTemporary = true; }
    bool InTransaction() const;
    void StartTransaction();
    // Starts the transaction only when no other program holds a table of the database
    // at this moment, never waiting for one (StartTransaction waits over a minute and
    // a half): false then, nothing started, and what holds it in `blocked`. Other
    // failures raise as StartTransaction's do.
    bool TryStartTransaction(TTransactionBlock* blocked = nullptr);
    void Commit(bool forceFlush);
    void Rollback();

    int32_t RefCount() const { return FRefCount; }
    void AddRef() { ++FRefCount; }
    void Release() { --FRefCount; }
    void AddDataSet(TKuraDBDataSet* ds);
    void RemoveDataSet(TKuraDBDataSet* ds);
    int DataSetCount() const { return static_cast<int>(FDataSets.size()); }
    // The bound session is going away: disconnect and bind to the default session
    // (nothing is bound when the default session itself goes).
    void SessionRemoved();

protected:
    void Loaded() override;

private:
    void BindSession(bool activate);
    void CheckName(const std::string& name);
    void CheckClosed() const;

    std::vector<TKuraDBDataSet*> FDataSets;
    bool FKeepConnection = true;
    bool FTemporary = false;
    bool FStreamedConnected = false;
    bool FBorrowedHandle = false;
    int32_t FRefCount = 0;
    TDataDirectory* FHandle = nullptr;
    TKuraSession* FSession = nullptr;
    std::string FSessionName, FDatabaseName, FDirectory, FRemoteDatabase;
};

}  // namespace kura
