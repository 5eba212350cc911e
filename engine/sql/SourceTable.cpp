#include "engine/sql/SourceTable.h"

#include "engine/core/DataSession.h"
#include "engine/expr/ExpToken.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

std::string Short(std::string_view s) { return std::string(s.substr(0, 255)); }

}  // namespace

TDataDirectory* OpenMemoryDatabase(TDataSession& session) { return session.OpenDataDirectory(MemoryDatabaseName, {}); }

TSourceTable::~TSourceTable() { FreeExpression(TableCondition); }

void TSourceTable::SetTableName(std::string_view name, bool inMemory, std::string_view ownDatabase) {
    const std::string normalised = NormalizePathDelimiters(name);
    WrittenName = Short(normalised);
    InMemory = inMemory ? 1 : 0;
    if (inMemory) {
        std::string table;
        ExtractFileExtPart(normalised, ".DAT", table);
        TableName = Short(table);
        Database = std::string(MemoryDatabaseName);
    } else {
        // The folder is what comes before the last separator that is a character of its
        // own: in "表示" the second byte of 表 is 0x5C and no separator.
        const size_t slash = LastDelimiter(normalised, "\\");
        Database = Short(slash == std::string::npos ? ownDatabase
                                                    : StripAllTrailingBackslashes(normalised.substr(0, slash)));
        std::string table;
        SplitFileNameExt(normalised, ".DAT", table);
        TableName = Short(table);
        if (SameNameText(Database, MemoryDatabaseName)) {
            InMemory = 1;
            Database = std::string(MemoryDatabaseName);
        }
    }
    if (CorrelationName.empty()) CorrelationName = TableName;
}

void TSourceTable::SetCorrelationName(std::string_view name) {
    if (CorrelationName != name) CorrelationName = Short(name);
}

TJoinExpression::~TJoinExpression() { FreeExpression(Condition); }

}  // namespace kura
