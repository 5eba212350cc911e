#include "engine/core/DataDirectory.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "engine/core/DataCursor.h"
#include "engine/core/RemoteChannel.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Sync.h"

namespace kura {

namespace {

constexpr std::size_t kShortStringMax = 255;

std::string ShortString(std::string_view s) { return std::string(s.substr(0, std::min(s.size(), kShortStringMax))); }

std::string TrimBlanksOf(std::string_view s) {
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return std::string(s.substr(first, last - first));
}

// Table names compare trimmed and without regard to the case of ASCII letters,
// double-byte characters exactly.
bool SameTableName(std::string_view a, std::string_view b) { return SameNameText(TrimBlanksOf(a), TrimBlanksOf(b)); }

// The name with ".DAT" as its extension: kept when present, appended otherwise.
std::string WithDataExt(std::string_view name) {
    std::string trimmed = TrimBlanksOf(name);
    if (SameNameText(ExtractFileExt(trimmed), DataFileExt)) return trimmed;
    return trimmed + std::string(DataFileExt);
}

// "", ".", ".." or a name that ends in a separator would become files named only by
// their extension, or land beside the database: such a table does not exist.
constexpr int32_t NO_SUCH_TABLE = -static_cast<int32_t>(KURA_OSENOENT);

void RethrowFirst(std::exception_ptr& error) {
    if (error) std::rethrow_exception(error);
}

}  // namespace

TDataDirectory::TDataDirectory(TDataSession* session) : TSessionDatabase(session) {}

TDataDirectory::~TDataDirectory() {
    if (!IsRemote()) {
        try {
            Rollback();
        } catch (...) {
        }
    }
    // Each object leaves its list as it is freed; the lists are emptied from the end.
    FreeStatements();
    while (!FCursors.empty()) {
        TDataCursor* cursor = FCursors.back();
        FCursors.pop_back();
        delete cursor;
    }
    for (TDataTable* table : FTables) delete table;
    FTables.clear();
}

void TDataDirectory::FreeStatements() {
    while (!FStatements.empty()) {
        TDirectoryStatement* statement = FStatements.back();
        FStatements.pop_back();
        delete statement;
    }
}

bool TDataDirectory::IsRemote() const { return Session != nullptr && Session->IsRemote(); }

bool TDataDirectory::KeepsObjectLists() const { return Session != nullptr && Session->GetCreationFlag() != 0; }

std::string TDataDirectory::GetDatabaseName() const { return IsRemote() || KeepsObjectLists() ? Name : Path; }

namespace {

template <typename T>
void RemoveFrom(std::vector<T*>& list, T* item) {
    const auto it = std::find(list.begin(), list.end(), item);
    if (it != list.end()) list.erase(it);
}

}  // namespace

void TDataDirectory::AddCursor(TDataCursor* cursor) {
    if (KeepsObjectLists() && cursor) FCursors.push_back(cursor);
}

void TDataDirectory::RemoveCursor(TDataCursor* cursor) { RemoveFrom(FCursors, cursor); }

void TDataDirectory::AddStatement(TDirectoryStatement* statement) {
    if (KeepsObjectLists() && statement) FStatements.push_back(statement);
}

void TDataDirectory::RemoveStatement(TDirectoryStatement* statement) { RemoveFrom(FStatements, statement); }

void TDataDirectory::SendRemote(TRequestCode code, bool endTransaction, bool forceFlush) {
    TRemoteChannel& channel = Session->Channel();
    channel.BeginRequest(code);
    channel.Request().PutU32(RemoteHandle);
    if (code == REQUEST_COMMITTXN) {
        channel.Request().PutBool(endTransaction);
        channel.Request().PutBool(forceFlush);
    }
    channel.Exchange();
}

int32_t TDataDirectory::FindTable(std::string_view name, bool inMemory) const {
    for (std::size_t i = 0; i < FTables.size(); ++i) {
        const TDataTable* table = FTables[i];
        // "NAME" and "NAME.DAT" name the same files, hence the same table.
        if (table->IsInMemory() == inMemory && SameTableName(WithDataExt(table->GetName()), WithDataExt(name)))
            return static_cast<int32_t>(i);
    }
    return -1;
}

int32_t TDataDirectory::IndexOfTable(const TDataTable* table) const {
    const auto it = std::find(FTables.begin(), FTables.end(), table);
    return it == FTables.end() ? -1 : static_cast<int32_t>(it - FTables.begin());
}

void TDataDirectory::FreeTableAt(int32_t index) {
    TDataTable* table = FTables[static_cast<std::size_t>(index)];
    FTables.erase(FTables.begin() + index);
    delete table;
}

// ---- Tables ---------------------------------------------------------------------

int32_t TDataDirectory::OpenTable(std::string_view name, TDataTable*& table, bool queryResult, bool querySource,
                                  bool temporary, bool inMemory, bool skipInUseCheck, bool exclusive) {
    table = nullptr;
    if (!NamesTableFile(name)) return NO_SUCH_TABLE;
    const bool counts = queryResult == querySource;
    const int32_t index = FindTable(name, inMemory);
    if (index >= 0) {
        TDataTable* found = FTables[static_cast<std::size_t>(index)];
        if (found->GetOpenCount() == 0 && !found->InTransaction()) {
            found->SetExclusive(exclusive);
            found->SetInMemory(inMemory);
            found->SetTemporary(temporary);
            found->Open();
            if (FInTransaction) {
                try {
                    found->StartTransaction();
                } catch (...) {
                    try {
                        found->Close(false);
                    } catch (...) {
                    }
                    throw;
                }
            }
        } else {
            const bool heldOnlyByTransaction = found->GetOpenCount() == 0 && found->InTransaction();
            if ((found->IsExclusive() || exclusive) && !skipInUseCheck && !heldOnlyByTransaction)
                return -static_cast<int32_t>(KURA_OSEACCES);
            if (heldOnlyByTransaction) found->SetExclusiveForTransaction(found->IsExclusive() && !exclusive);
            found->Open();
        }
        if (counts) found->AddCursorRef();
        table = found;
        return 0;
    }

    auto* created = new TDataTable(this);
    try {
        created->SetName(name);
        created->SetExclusive(exclusive);
        created->SetInMemory(inMemory);
        created->SetTemporary(temporary);
        created->Open();
        if (FInTransaction) created->StartTransaction();
    } catch (...) {
        delete created;
        throw;
    }
    if (counts) created->AddCursorRef();
    FTables.push_back(created);
    table = created;
    return 0;
}

int32_t TDataDirectory::CloseTable(TDataTable* table, bool discardTemporary, bool queryResult, bool querySource) {
    const int32_t index = IndexOfTable(table);
    if (index < 0) return -static_cast<int32_t>(KURA_OSENOENT);
    if (table->IsOpen()) table->Close(discardTemporary);
    if (table->GetOpenCount() == 0 && !table->InTransaction()) {
        FreeTableAt(index);
    } else if (queryResult == querySource) {
        table->RemoveCursorRef();
    }
    return 0;
}

bool TDataDirectory::ClaimTemporaryName(const std::string& name) {
    const platform::FileHandle handle =
        platform::CreateFile(name, platform::GENERIC_READ | platform::GENERIC_WRITE, 0, platform::CREATE_NEW,
                             platform::FILE_ATTRIBUTE_NORMAL);
    if (handle == platform::INVALID_HANDLE_VALUE) {
        const uint32_t error = platform::GetLastError();
        // Taken by someone else; any other failure is left to the create to report.
        return error != platform::ERROR_FILE_EXISTS && error != platform::ERROR_ALREADY_EXISTS &&
               error != platform::ERROR_SHARING_VIOLATION;
    }
    platform::CloseHandle(handle);
    return true;
}

int32_t TDataDirectory::CreateTable(TDataTable*& table, std::string_view name, bool inMemory, bool temporary,
                                    const TTableDefinition& definition) {
    table = nullptr;
    if (!NamesTableFile(name)) return NO_SUCH_TABLE;
    std::string tableName = ShortString(name);
    // Programs sharing the temporary folder may pick the same free name; the one
    // that creates its .DAT first keeps it, the others move on.
    std::string claimed;
    if (temporary && !inMemory && !IsRemote()) {
        for (;;) {
            const std::string dataName = Path + WithDataExt(tableName);
            if (FindTable(tableName, inMemory) < 0 && ClaimTemporaryName(dataName)) {
                claimed = dataName;
                break;
            }
            tableName = GetTempTableName(inMemory);
        }
    }

    const int32_t index = FindTable(tableName, inMemory);
    TDataTable* target = nullptr;
    if (index >= 0) {
        target = FTables[static_cast<std::size_t>(index)];
        if (target->IsOpen() || target->GetOpenCount() > 0 || target->InTransaction())
            return -static_cast<int32_t>(KURA_OSEACCES);
    }
    const bool isNew = target == nullptr;
    if (isNew) {
        target = new TDataTable(this);
        target->SetName(tableName);
    }
    target->SetExclusive(true);
    target->SetInMemory(inMemory);
    target->SetTemporary(temporary);
    try {
        target->CreateFiles(definition);
    } catch (...) {
        if (isNew) delete target;
        // The reserved name is given back when the create did not take it over.
        if (!claimed.empty() && !FileList->FileExists(claimed, false)) claimed.clear();
        if (!claimed.empty()) FileList->DeleteFile(claimed, false);
        throw;
    }
    if (isNew) FTables.push_back(target);
    table = target;
    return 0;
}

int32_t TDataDirectory::DeleteTable(std::string_view name, bool inMemory) {
    if (!NamesTableFile(name)) return NO_SUCH_TABLE;
    const int32_t index = FindTable(name, inMemory);
    if (index >= 0) {
        TDataTable* table = FTables[static_cast<std::size_t>(index)];
        if (table->IsOpen() || table->GetOpenCount() > 0 || table->InTransaction())
            return -static_cast<int32_t>(KURA_OSEACCES);
        table->DeleteFiles();
        FreeTableAt(index);
        return 0;
    }
    TDataTable transient(this);
    transient.SetName(name);
    transient.SetInMemory(inMemory);
    transient.DeleteFiles();
    return 0;
}

int32_t TDataDirectory::RenameTable(std::string_view name, std::string_view newName, bool asBackup, bool inMemory) {
    if (!NamesTableFile(name) || !NamesTableFile(newName)) return NO_SUCH_TABLE;
    const int32_t index = FindTable(name, inMemory);
    if (index >= 0) {
        TDataTable* table = FTables[static_cast<std::size_t>(index)];
        if (table->IsOpen() || table->GetOpenCount() > 0 || table->InTransaction())
            return -static_cast<int32_t>(KURA_OSEACCES);
        table->RenameFiles(newName, asBackup);
        return 0;
    }
    TDataTable transient(this);
    transient.SetName(name);
    transient.SetInMemory(inMemory);
    transient.RenameFiles(newName, asBackup);
    return 0;
}

bool TDataDirectory::TableExists(std::string_view name, bool inMemory) {
    if (!NamesTableFile(name)) return false;
    const std::string wanted = WithDataExt(name);
    for (const TDataTable* table : FTables) {
        if (table->IsInMemory() == inMemory && SameTableName(WithDataExt(table->GetName()), wanted)) return true;
    }
    if (IsRemote()) {
        TRemoteChannel& channel = Session->Channel();
        channel.BeginRequest(REQUEST_TABLEEXISTS);
        channel.Request().PutU32(RemoteHandle);
        channel.Request().PutString(name);
        channel.Request().PutBool(inMemory);
        channel.Exchange();
        return channel.Reply().GetBool();
    }
    return FileExistsInList(Path + wanted, inMemory);
}

std::string TDataDirectory::GetTempTableName(bool inMemory) {
    const int64_t threadId = static_cast<int64_t>(platform::GetCurrentThreadId());
    const std::string prefix = std::to_string(threadId < 0 ? -threadId : threadId).substr(0, 5);
    // Wider than the 16 bits the names were once counted in, so a folder full of
    // names cannot send the search round for ever.
    for (uint32_t counter = 0;; ++counter) {
        std::string candidate = prefix + std::to_string(counter) + std::string(DataFileExt);
        if (!TableExists(candidate, inMemory)) return candidate;
    }
}

// ---- Transactions ------------------------------------------------------------------

// A table the transaction no longer keeps: it goes when nobody uses it any more;
// otherwise an exclusive use that was only the transaction's ends.
void TDataDirectory::ReleaseAfterTransaction(TDataTable* table, std::exception_ptr& error) {
    if (table->InTransaction()) return;
    try {
        if (table->GetOpenCount() > 0) {
            table->ShareAfterTransaction();
            return;
        }
        CloseTable(table, true, false, false);
    } catch (...) {
        if (!error) error = std::current_exception();
        const int32_t index = table->GetOpenCount() == 0 ? IndexOfTable(table) : -1;
        if (index >= 0) FreeTableAt(index);
    }
}

void TDataDirectory::StartTransaction(bool localOnly) {
    if (FInTransaction) return;
    if (IsRemote() && !localOnly) SendRemote(REQUEST_STARTTXN);
    std::size_t started = 0;
    try {
        for (; started < FTables.size(); ++started) FTables[started]->StartTransaction();
    } catch (...) {
        // Tables that already hold their semaphore let go of it before the error
        // goes on; otherwise they would keep every other writer out.
        for (std::size_t i = started; i-- > 0;) {
            try {
                FTables[i]->Rollback();
            } catch (...) {
            }
        }
        throw;
    }
    FInTransaction = true;
}

void TDataDirectory::Commit(bool endTransaction, bool forceFlush, bool localOnly) {
    if (IsRemote() && !localOnly) SendRemote(REQUEST_COMMITTXN, endTransaction, forceFlush);
    // Pass 1 and 2: every writer lock first, then every buffer, held back and
    // written for all the tables together: a commit changes all of them or none.
    std::vector<TDataTable*> begun;
    std::vector<TDataTable*> held;
    TJournalCommit commit;
    try {
        for (std::size_t i = FTables.size(); i-- > 0;) {
            FTables[i]->CommitBeginWrite();
            begun.push_back(FTables[i]);
        }
        for (std::size_t i = FTables.size(); i-- > 0;) {
            const std::size_t before = commit.Size();
            FTables[i]->CommitFlush(endTransaction, forceFlush, commit);
            if (commit.Size() > before) held.push_back(FTables[i]);
        }
        commit.Apply();
    } catch (...) {
        TEngineErrorCode code = KURA_WRITEERR;
        try {
            throw;
        } catch (const EKuraEngineError& e) {
            code = e.ErrorCode();
        } catch (...) {
        }
        for (TDataTable* table : held) table->CommitLost(code);
        // The transaction stays open; the writer locks taken for it are given back.
        for (TDataTable* table : begun) {
            try {
                table->CommitAbandon();
            } catch (...) {
            }
        }
        throw;
    }
    // Pass 3: locks released; tables nobody uses any more go.
    std::exception_ptr error;
    for (std::size_t i = FTables.size(); i-- > 0;) {
        TDataTable* table = FTables[i];
        try {
            table->CommitEnd(endTransaction);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
        ReleaseAfterTransaction(table, error);
    }
    FInTransaction = false;
    RethrowFirst(error);
}

void TDataDirectory::Rollback(bool localOnly) {
    if (IsRemote() && !localOnly) SendRemote(REQUEST_ROLLBACKTXN);
    std::exception_ptr error;
    for (std::size_t i = FTables.size(); i-- > 0;) {
        TDataTable* table = FTables[i];
        try {
            table->Rollback();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
        ReleaseAfterTransaction(table, error);
    }
    FInTransaction = false;
    RethrowFirst(error);
}

}  // namespace kura
