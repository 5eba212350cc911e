#pragma once
// The texts of the components' EDatabaseError messages ("%s" is filled in).
namespace kura::msg {

constexpr const char* FieldReadOnly = "Field %s cannot be modified.";
constexpr const char* NotIndexField = "Field %s is not in the current index.";
constexpr const char* CircularDataLink = "Circular data links are not allowed.";
constexpr const char* FieldIndexError = "Field index out of range.";
constexpr const char* IndexFieldMissing = "Cannot access index field %s.";
constexpr const char* ActiveTransaction = "Database %s already has an active transaction.";
constexpr const char* NoActiveTransaction = "Database %s has no active transaction.";
constexpr const char* NoTableName = "Missing table name.";
constexpr const char* DuplicateDatabaseName = "Database name %s already exists.";
constexpr const char* DuplicateSessionName = "Session name %s already exists.";
constexpr const char* InvalidSessionName = "Session name %s is not valid.";
constexpr const char* DatabaseNameMissing = "Database name is missing.";
constexpr const char* InvalidDatabaseName = "Database name %s is not valid.";
constexpr const char* SessionNameMissing = "Session name is missing.";
constexpr const char* DatabaseOpen = "Cannot perform this operation on an open database.";
constexpr const char* DatabaseClosed = "Cannot perform this operation on a closed database.";
constexpr const char* SessionActive = "Cannot perform this operation on an active session.";
constexpr const char* AutoSessionActive = "Cannot perform this operation on the active auto-session.";
constexpr const char* AutoSessionExclusive = "The active auto-session can be the only active session.";
constexpr const char* AutoSessionExists = "This auto-session already exists.";
constexpr const char* HandleError = "Error creating table handle.";
constexpr const char* NoSQLStatement = "No SQL statement available";
constexpr const char* NoParameterValue = "No value for parameter '%s'";
constexpr const char* NotEditing = "Table is not in edit or insert mode.";
constexpr const char* MemoryTableNoFields =
    "You must define at least one field before you can open an in-memory table at design-time";

}  // namespace kura::msg
