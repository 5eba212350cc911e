#pragma once
// The one table a definition or data-changing statement works on: its database,
// taken from the statement's session with one reference, and a closed cursor on it
// carrying the table name and the in-memory flag. Destruction closes the cursor and
// gives the reference back; it never throws.
//
// Where the table lives is what the statement wrote (TSourceTable::SetTableName):
// a name without a path in the statement's own database, a name with a path in
// that folder, a MEMORY table in the in-memory database.
#include <memory>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"

namespace kura {

class TQueryStatement;
class TSourceTable;

class TTargetTable {
public:
    TTargetTable(TQueryStatement& statement, const TSourceTable& table);
    ~TTargetTable();
    TTargetTable(const TTargetTable&) = delete;
    TTargetTable& operator=(const TTargetTable&) = delete;

    TDataDirectory* Database() const { return FDatabase; }
    TDataCursor& Cursor() const { return *FCursor; }
    bool InMemory() const { return FInMemory; }
    const std::string& TableName() const { return FTableName; }
    // 11949 with message: the message as the statement's error, naming the table.
    [[noreturn]] void Raise(const std::string& message) const;
    // 11949 saying the name is too long when the table's file names (its folder and
    // extension with it) would exceed what names a file of the engine.
    void CheckFileNameLength() const;

private:
    TDataSession* FSession = nullptr;
    TDataDirectory* FDatabase = nullptr;
    std::unique_ptr<TDataCursor> FCursor;
    bool FInMemory = false;
    std::string FTableName;
};

// A name as a message about its length shows it: its first 40 characters, and
// "..." when there is more.
std::string NameForMessage(const std::string& name);

// 11949 with the message as the SQL error text.
[[noreturn]] void RaiseStatementError(const std::string& message, const std::string& table = {});

}  // namespace kura
