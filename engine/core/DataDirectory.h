#pragma once
// One open database of a session: a folder on disk, or the in-memory database
// "Memory" whose tables live in the in-memory file store. It keeps the shared table
// objects its cursors use, creates, deletes and renames tables by name, hands out
// unused temporary table names and runs transactions over all its open tables.
//
// The session creates it with `new TDataDirectory(session)`, fills in the name and
// path, counts the references and deletes it at the last close or when the session
// ends (TSessionDatabase, DataSession.h).
//
// Table operations answer 0 or a negated engine error code, which the caller
// raises: -11013 (KURA_OSEACCES) for a table in use, -11010 (KURA_OSENOENT) for
// closing a table that is not in the list. Errors of the files pass through raised.
//
// A transaction holds the .DAT write semaphore of each of its tables from its start
// to its end, so writers of other programs wait; a commit takes the writer locks of
// all tables before it writes any, each pass running from the last table to the
// first. Only the session's thread enters.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/RemoteRequests.h"

namespace kura {

class TDataCursor;

// What a database keeps in its statement list: the SQL engine's statement objects.
class TDirectoryStatement {
public:
    virtual ~TDirectoryStatement() = default;
};

// Object lists: a database of a session created with a nonzero creation flag (a
// server's session, for one) keeps every cursor and SQL statement made on it. Each
// registers itself when made and leaves the list when freed; those still listed
// when the database goes are freed with it (statements first, then cursors), so
// such a session's owner frees its databases, not each object. Other sessions keep
// no lists and own their cursors and statements as before.
class TDataDirectory : public TSessionDatabase {
public:
    explicit TDataDirectory(TDataSession* session);
    // Rolls back an open transaction of a local database and frees every table
    // object; never throws.
    ~TDataDirectory() override;

    // The path for a local database of a session without object lists, the name
    // otherwise.
    std::string GetDatabaseName() const;
    bool IsRemote() const;
    bool KeepsObjectLists() const;
    // List upkeep; nothing happens unless the database keeps object lists.
    void AddCursor(TDataCursor* cursor);
    void RemoveCursor(TDataCursor* cursor);
    void AddStatement(TDirectoryStatement* statement);
    void RemoveStatement(TDirectoryStatement* statement);
    // Frees the statements still listed. A session frees those of all its databases
    // before any database: a statement's own cursors may lie in another database.
    void FreeStatements();
    const std::vector<TDataCursor*>& Cursors() const { return FCursors; }
    const std::vector<TDirectoryStatement*>& Statements() const { return FStatements; }
    bool InTransaction() const { return FInTransaction; }
    // Open (or transaction-held) tables, in order of first open.
    const std::vector<TDataTable*>& Tables() const { return FTables; }

    // The shared table object for a cursor. A cursor whose query-result and
    // query-source flags are both clear or both set counts as a user of the table.
    int32_t OpenTable(std::string_view name, TDataTable*& table, bool queryResult, bool querySource, bool temporary,
                      bool inMemory, bool skipInUseCheck, bool exclusive);
    int32_t CloseTable(TDataTable* table, bool discardTemporary, bool queryResult, bool querySource);
    // Creates the three files; the table comes back open once, exclusive, and the
    // caller closes it with CloseTable. A temporary table on disk is created under
    // a name no other program holds: when its .DAT appears meanwhile, the next free
    // temporary name is taken, and table->GetName() tells which.
    int32_t CreateTable(TDataTable*& table, std::string_view name, bool inMemory, bool temporary,
                        const TTableDefinition& definition);
    int32_t DeleteTable(std::string_view name, bool inMemory);
    int32_t RenameTable(std::string_view name, std::string_view newName, bool asBackup, bool inMemory);
    bool TableExists(std::string_view name, bool inMemory);
    // The first "<thread prefix><counter>.DAT" that TableExists does not know.
    std::string GetTempTableName(bool inMemory);

    // Transactions over every table of the database. A start that fails on one
    // table rolls back the tables already started and raises. A commit that fails
    // part-way releases the writer locks it took, keeps the transaction open and
    // raises; it can then be tried again or rolled back.
    void StartTransaction(bool localOnly = false);
    void Commit(bool endTransaction = true, bool forceFlush = false, bool localOnly = false);
    void Rollback(bool localOnly = false);

private:
    // Position in Tables of the object with this name and in-memory flag; -1.
    int32_t FindTable(std::string_view name, bool inMemory) const;
    int32_t IndexOfTable(const TDataTable* table) const;
    void FreeTableAt(int32_t index);
    void ReleaseAfterTransaction(TDataTable* table, std::exception_ptr& error);
    // Reserves a temporary table's .DAT with an exclusive create; false when the
    // name was taken by someone else.
    bool ClaimTemporaryName(const std::string& name);
    // A database-wide request: the handle, then for a commit its two flags.
    void SendRemote(TRequestCode code, bool endTransaction = false, bool forceFlush = false);

    std::vector<TDataTable*> FTables;
    std::vector<TDataCursor*> FCursors;
    std::vector<TDirectoryStatement*> FStatements;
    bool FInTransaction = false;
};

}  // namespace kura
