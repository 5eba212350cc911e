#include "engine/sql/TargetTable.h"

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpToken.h"
#include "engine/files/EngineFile.h"
#include "engine/files/Routines.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

std::string NameForMessage(const std::string& name) {
    const size_t shown = CharPrefixDBCS(name, 40);
    return name.substr(0, shown) + (shown < name.size() ? "..." : "");
}

void RaiseStatementError(const std::string& message, const std::string& table) {
    RaiseEngineError(KURA_SQLPARSE, {}, {}, {}, table, {}, {}, std::string_view(message).substr(0, 255));
}

TTargetTable::TTargetTable(TQueryStatement& statement, const TSourceTable& table) {
    FSession = statement.Session();
    if (!FSession) RaiseEngineError(KURA_NOTINITIALIZED);
    FInMemory = table.InMemory != 0;
    FTableName = table.TableName;
    if (FInMemory) {
        FDatabase = OpenMemoryDatabase(*FSession);
    } else {
        FDatabase = FSession->OpenDataDirectory(table.Database, table.Database);
    }
    try {
        FCursor = std::make_unique<TDataCursor>(FDatabase);
        FCursor->SetTableName(FTableName);
        FCursor->SetInMemory(FInMemory);
        FCursor->SetPasswordEvent([&statement](TDataCursor*) { return statement.DoPassword(); });
    } catch (...) {
        FCursor.reset();
        FSession->CloseDataDirectory(FDatabase);
        throw;
    }
}

TTargetTable::~TTargetTable() {
    try {
        if (FCursor && FCursor->IsOpen()) FCursor->CloseCursor(false);
    } catch (...) {
    }
    FCursor.reset();
    if (FSession && FDatabase) FSession->CloseDataDirectory(FDatabase);
}

void TTargetTable::Raise(const std::string& message) const { RaiseStatementError(message, FTableName); }

void TTargetTable::CheckFileNameLength() const {
    // The table's files differ in their extensions only, all as long as ".DAT".
    const size_t length = (FInMemory || !FDatabase ? 0 : FDatabase->Path.size()) + FTableName.size() + 4;
    if (length <= MaxFileNameLength) return;
    Raise("Table name '" + NameForMessage(FTableName) + "' is too long: its file name would have " + std::to_string(length) +
          " characters with its folder, at most " + std::to_string(MaxFileNameLength));
}

}  // namespace kura
