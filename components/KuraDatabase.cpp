#include "components/KuraDatabase.h"

#include <algorithm>

#include "components/KuraDataSet.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Routines.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

namespace {

// ":" or "\" as a character of its own; a double-byte character's trail byte
// (0x5C is a common one) is never taken for either.
bool HasPathChars(const std::string& name) { return LastDelimiter(name, ":\\") != std::string::npos; }

}  // namespace

TKuraDatabase::TKuraDatabase(TComponent* owner) : TComponent(owner) {
    FSession = dynamic_cast<TKuraSession*>(owner);
    if (!FSession) {
        if (owner) {
            for (TComponent* c : owner->Components()) {
                auto* s = dynamic_cast<TKuraSession*>(c);
                if (s && s->AutoSessionName()) FSession = s;
            }
        }
        if (!FSession) FSession = &kura::Session();
    }
    FSessionName = FSession->SessionName();
    FSession->AddDatabase(this);
}

TKuraDatabase::~TKuraDatabase() {
    destroying_ = true;
    try {
        SetConnected(false);
    } catch (...) {
        FHandle = nullptr;
    }
    if (FSession) FSession->RemoveDatabase(this);
}

void TKuraDatabase::CheckClosed() const {
    if (Connected()) DatabaseError(msg::DatabaseOpen);
}

void TKuraDatabase::BindSession(bool activate) {
    TKuraSession* s = Sessions().GetSession(FSessionName);
    if (s != FSession) {
        if (FSession) FSession->RemoveDatabase(this);
        FSession = s;
        FSession->AddDatabase(this);
    }
    if (activate) {
        CheckName(FDatabaseName);
        FSession->SetActive(true);
    }
}

void TKuraDatabase::CheckName(const std::string& name) {
    if (!FSession || name.empty()) return;
    for (TKuraDatabase* other : std::vector<TKuraDatabase*>(FSession->Databases())) {
        if (other == this || !SameText(other->DatabaseName(), name)) continue;
        if (HandleShared && other->HandleShared) continue;
        if (!other->Temporary() || other->RefCount() > 0) DatabaseErrorFmt(msg::DuplicateDatabaseName, name);
        delete other;
    }
}

void TKuraDatabase::SetConnected(bool value) {
    if (Loading()) {
        FStreamedConnected = value;
        return;
    }
    if (value) {
        if (FHandle) return;
        if (BeforeConnect) BeforeConnect(this);
        if (FDatabaseName.empty() && !FTemporary) DatabaseError(msg::DatabaseNameMissing);
        BindSession(true);
        if (HandleShared) {
            for (TKuraDatabase* other : FSession->Databases()) {
                if (other != this && other->HandleShared && other->FHandle &&
                    SameText(other->DatabaseName(), FDatabaseName)) {
                    FHandle = other->FHandle;
                    FBorrowedHandle = true;
                    return;
                }
            }
        }
        TSessionLock lock(FSession);
        const std::string name = FDatabaseName.empty() || HasPathChars(FDatabaseName) ? std::string() : FDatabaseName;
        if (FSession->SessionType() == stRemote) FHandle = FSession->Handle()->OpenDataDirectory(FRemoteDatabase, {});
        else FHandle = FSession->Handle()->OpenDataDirectory(name, FDirectory);
        FSession->DBNotification(0, this);
        return;
    }
    if (!FHandle) return;
    if (FSession) FSession->DBNotification(1, this);
    while (!FDataSets.empty()) {
        TKuraDBDataSet* ds = FDataSets.back();
        ds->Disconnect();
        // A dataset that could not leave is dropped from the list all the same.
        if (!FDataSets.empty() && FDataSets.back() == ds) FDataSets.pop_back();
    }
    if (FBorrowedHandle) {
        FBorrowedHandle = false;
    } else if (FSession && FSession->Handle()) {
        TSessionLock lock(FSession);
        FSession->Handle()->CloseDataDirectory(FHandle);
    }
    FHandle = nullptr;
    FRefCount = 0;
}

void TKuraDatabase::SetDatabaseName(const std::string& value) {
    if (Loading()) {
        FDatabaseName = value;
        return;
    }
    const std::string v = NormalizePathDelimiters(value);
    if (v == FDatabaseName) return;
    CheckClosed();
    if (!FTemporary && !v.empty() && HasPathChars(v)) DatabaseErrorFmt(msg::InvalidDatabaseName, v);
    CheckName(v);
    FDatabaseName = v;
}

void TKuraDatabase::SetDirectory(const std::string& value) {
    const std::string v = NormalizePathDelimiters(value);
    if (!Loading() && v != FDirectory) CheckClosed();
    FDirectory = v;
}

void TKuraDatabase::SetRemoteDatabase(const std::string& value) {
    const std::string v = StripBackslashes(NormalizePathDelimiters(value));
    if (!Loading() && v != FRemoteDatabase) CheckClosed();
    FRemoteDatabase = v;
}

void TKuraDatabase::SetSessionName(const std::string& value) {
    if (Loading()) {
        FSessionName = value;
        return;
    }
    if (value == FSessionName) return;
    CheckClosed();
    FSessionName = value;
    BindSession(false);
}

void TKuraDatabase::SetKeepConnection(bool value) {
    FKeepConnection = value;
    if (!value && FRefCount == 0) SetConnected(false);
}

void TKuraDatabase::Loaded() {
    TComponent::Loaded();
    if (FStreamedConnected) SetConnected(true);
    else BindSession(false);
}

bool TKuraDatabase::InTransaction() const { return FHandle && FHandle->InTransaction(); }

void TKuraDatabase::StartTransaction() {
    if (!FHandle) DatabaseError(msg::DatabaseClosed);
    if (FHandle->InTransaction()) DatabaseErrorFmt(msg::ActiveTransaction, FDatabaseName);
    TSessionLock lock(FSession);
    FHandle->StartTransaction();
}

bool TKuraDatabase::TryStartTransaction(TTransactionBlock* blocked) {
    if (!FHandle) DatabaseError(msg::DatabaseClosed);
    if (FHandle->InTransaction()) DatabaseErrorFmt(msg::ActiveTransaction, FDatabaseName);
    TSessionLock lock(FSession);
    // One attempt at each table's write semaphore instead of the long retry.
    std::vector<std::pair<TDataTable*, int32_t>> attempts;
    for (TDataTable* table : FHandle->Tables()) {
        attempts.emplace_back(table, table->SemaphoreAttempts);
        table->SemaphoreAttempts = 1;
    }
    auto restore = [&] {
        for (const auto& [table, count] : attempts) table->SemaphoreAttempts = count;
    };
    try {
        FHandle->StartTransaction();
    } catch (const EKuraEngineError& e) {
        restore();
        if (e.ErrorCode() != KURA_LOCKTIMEOUT || FHandle->IsRemote()) throw;
        if (blocked) {
            blocked->Table = e.ErrorContext(ctxTable);
            blocked->Holders.clear();
            for (TDataTable* table : FHandle->Tables())
                if (table->GetName() == blocked->Table) blocked->Holders = table->SemaphoreHolders();
        }
        return false;
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return true;
}

void TKuraDatabase::Commit(bool forceFlush) {
    if (!FHandle) DatabaseError(msg::DatabaseClosed);
    if (!FHandle->InTransaction()) DatabaseErrorFmt(msg::NoActiveTransaction, FDatabaseName);
    TSessionLock lock(FSession);
    FHandle->Commit(true, forceFlush);
}

void TKuraDatabase::Rollback() {
    if (!FHandle) DatabaseError(msg::DatabaseClosed);
    if (!FHandle->InTransaction()) DatabaseErrorFmt(msg::NoActiveTransaction, FDatabaseName);
    TSessionLock lock(FSession);
    FHandle->Rollback();
}

void TKuraDatabase::SessionRemoved() {
    try {
        SetConnected(false);
    } catch (...) {
        FHandle = nullptr;
    }
    TKuraSession* old = FSession;
    FSession = nullptr;
    FSessionName.clear();
    if (old && !old->IsDefault()) {
        TKuraSession* fallback = Sessions().FindSession("");
        if (fallback && fallback != old) {
            FSession = fallback;
            FSession->AddDatabase(this);
        }
    }
}

void TKuraDatabase::AddDataSet(TKuraDBDataSet* ds) {
    if (std::find(FDataSets.begin(), FDataSets.end(), ds) == FDataSets.end()) FDataSets.push_back(ds);
}

void TKuraDatabase::RemoveDataSet(TKuraDBDataSet* ds) {
    FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), ds), FDataSets.end());
}

}  // namespace kura
