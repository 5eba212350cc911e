#include "engine/errors/EngineErrors.h"

#include <algorithm>
#include <initializer_list>
#include <mutex>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/LastError.h"

namespace kura {

namespace {

constexpr size_t MaxMessageLength = 254;
constexpr const char* UnknownErrorText = "An unknown error occurred";

struct ErrorRow {
    TEngineErrorCode code;
    const char* name;
    // nullptr: the code has no text of its own. "%-" is " - " and its slot's text,
    // or nothing when the slot is empty.
    const char* message;
    std::initializer_list<TEngineErrorSlot> args;
};

// clang-format off
const ErrorRow ErrorTable[] = {
    {KURA_NONE, "KURA_NONE", nullptr, {}},
    {KURA_BOF, "KURA_BOF", "Beginning of table '%s' unexpectedly encountered", {ctxTable}},
    {KURA_EOF, "KURA_EOF", "End of table '%s' unexpectedly encountered", {ctxTable}},
    {KURA_KEYORRECDELETED, "KURA_KEYORRECDELETED", "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", {ctxTable}},
    {KURA_NOCURRREC, "KURA_NOCURRREC", "No current record in the table '%s'", {ctxTable}},
    {KURA_RECNOTFOUND, "KURA_RECNOTFOUND", "Record not found in the table '%s'", {ctxTable}},
    {KURA_ENDOFBLOB, "KURA_ENDOFBLOB", "End of blob data in the table '%s' reached prematurely", {ctxTable}},
    {KURA_HEADERCORRUPT, "KURA_HEADERCORRUPT", "Header information corrupt in the table '%s'%-", {ctxTable, ctxMessage}},
    {KURA_FILECORRUPT, "KURA_FILECORRUPT", "Data record buffers corrupt in the table '%s'", {ctxTable}},
    {KURA_MEMOCORRUPT, "KURA_MEMOCORRUPT", "BLOB block buffers corrupt in the table '%s'", {ctxTable}},
    {KURA_INDEXCORRUPT, "KURA_INDEXCORRUPT", "Index page buffers corrupt in the table '%s'", {ctxTable}},
    {KURA_READERR, "KURA_READERR", "Error reading from the table '%s'", {ctxTable}},
    {KURA_WRITEERR, "KURA_WRITEERR", "Error writing to the table '%s'", {ctxTable}},
    {KURA_FILEDELETEFAIL, "KURA_FILEDELETEFAIL", "Cannot delete the table '%s'", {ctxTable}},
    {KURA_FILENOACCESS, "KURA_FILENOACCESS", "Error accessing header information for the table '%s'", {ctxTable}},
    {KURA_RECTOOBIG, "KURA_RECTOOBIG", "Maximum record size exceeded in the table '%s'", {ctxTable}},
    {KURA_TABLEFULL, "KURA_TABLEFULL", "The table '%s' is full and cannot contain any more data", {ctxTable}},
    {KURA_INTERNALLIMIT, "KURA_INTERNALLIMIT", "Too many filters defined for the table '%s'", {ctxTable}},
    {KURA_INDEXLIMIT, "KURA_INDEXLIMIT", "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", {ctxTable}},
    {KURA_FLDLIMIT, "KURA_FLDLIMIT", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", {ctxTable}},
    {KURA_OPENBLOBLIMIT, "KURA_OPENBLOBLIMIT", "Too many blobs opened in the table '%s'", {ctxTable}},
    {KURA_BLOBLIMIT, "KURA_BLOBLIMIT", "Too many blob fields or invalid blob block size specified for the table '%s'", {ctxTable}},
    {KURA_KEYVIOL, "KURA_KEYVIOL", "Duplicate key found in the index '%s' of the table '%s'", {ctxIndex, ctxTable}},
    {KURA_MINVALERR, "KURA_MINVALERR", "The value for the field '%s' in the table '%s' is below the minimum allowable value", {ctxField, ctxTable}},
    {KURA_MAXVALERR, "KURA_MAXVALERR", "The value for the field '%s' in the table '%s' is above the maximum allowable value", {ctxField, ctxTable}},
    {KURA_REQDERR, "KURA_REQDERR", "A value must be provided for the field '%s' in the table '%s'", {ctxField, ctxTable}},
    {KURA_OUTOFRANGE, "KURA_OUTOFRANGE", "Invalid field number or name '%s' specified for the table '%s'", {ctxField, ctxTable}},
    {KURA_PRIMARYKEYREDEFINE, "KURA_PRIMARYKEYREDEFINE", "A primary index is already defined for the table '%s' and cannot be added again", {ctxTable}},
    {KURA_INVALIDBLOBOFFSET, "KURA_INVALIDBLOBOFFSET", "Invalid blob offset into the table '%s' specified", {ctxTable}},
    {KURA_INVALIDFLDTYPE, "KURA_INVALIDFLDTYPE", "Invalid field definition specified for the field '%s' in the table '%s'", {ctxField, ctxTable}},
    {KURA_INVALIDVCHKSTRUCT, "KURA_INVALIDVCHKSTRUCT", "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", {ctxField, ctxTable}},
    {KURA_INDEXNAMEREQUIRED, "KURA_INDEXNAMEREQUIRED", "The secondary index name is missing or not specified for the table '%s'", {ctxTable}},
    {KURA_INVALIDPASSWORD, "KURA_INVALIDPASSWORD", "Password provided for the table '%s' is invalid", {ctxTable}},
    {KURA_INVALIDINDEXNAME, "KURA_INVALIDINDEXNAME", "Invalid secondary index name '%s' specified for the table '%s'", {ctxIndex, ctxTable}},
    {KURA_INVALIDIDXDESC, "KURA_INVALIDIDXDESC", "Invalid field number '%s' specified in the index '%s' for the table '%s'", {ctxField, ctxIndex, ctxTable}},
    {KURA_INVALIDKEY, "KURA_INVALIDKEY", "Invalid key size specified in the index '%s' for the table '%s'", {ctxIndex, ctxTable}},
    {KURA_INDEXEXISTS, "KURA_INDEXEXISTS", "The secondary index '%s' already exists for the table '%s'", {ctxIndex, ctxTable}},
    {KURA_INVALIDBLOBLEN, "KURA_INVALIDBLOBLEN", "Invalid blob length in the table '%s'", {ctxTable}},
    {KURA_INVALIDBLOBHANDLE, "KURA_INVALIDBLOBHANDLE", "Invalid blob handle for the table '%s' specified", {ctxTable}},
    {KURA_TABLEOPEN, "KURA_TABLEOPEN", "The table '%s' is already in use", {ctxTable}},
    {KURA_INVALIDFIELDNAME, "KURA_INVALIDFIELDNAME", "Invalid or duplicate field name '%s' specified for the table '%s'", {ctxField, ctxTable}},
    {KURA_NOSUCHFILTER, "KURA_NOSUCHFILTER", "Invalid filter handle specified for the table '%s'", {ctxTable}},
    {KURA_INVALIDFILTER, "KURA_INVALIDFILTER", "Filter error for the table '%s' - %s", {ctxTable, ctxMessage}},
    {KURA_INVALIDINDEXDELETE, "KURA_INVALIDINDEXDELETE", "The primary index cannot be removed from the table '%s'", {ctxTable}},
    {KURA_LOCKED, "KURA_LOCKED", "The table '%s' is already locked by another user", {ctxTable}},
    {KURA_UNLOCKFAILED, "KURA_UNLOCKFAILED", "Cannot unlock table or record in the table '%s'", {ctxTable}},
    {KURA_LOCKTIMEOUT, "KURA_LOCKTIMEOUT", "General lock failure with the table '%s'", {ctxTable}},
    {KURA_NEEDEXCLACCESS, "KURA_NEEDEXCLACCESS", "The table '%s' must be opened exclusively", {ctxTable}},
    {KURA_RECLOCKFAILED, "KURA_RECLOCKFAILED", "Record in the table '%s' is in use by another user", {ctxTable}},
    {KURA_NOTSUFFTABLERIGHTS, "KURA_NOTSUFFTABLERIGHTS", "Insufficient rights to the table '%s', a password is required", {ctxTable}},
    {KURA_NOTABLOB, "KURA_NOTABLOB", "Invalid blob field '%s' specified for the table '%s'", {ctxField, ctxTable}},
    {KURA_NOTINITIALIZED, "KURA_NOTINITIALIZED", "The database engine is not initialized", {}},
    {KURA_OSENOENT, "KURA_OSENOENT", "Table '%s' does not exist", {ctxTable}},
    {KURA_OSEMFILE, "KURA_OSEMFILE", "Too many operating system files open while attempting to open the table '%s'", {ctxTable}},
    {KURA_OSEACCES, "KURA_OSEACCES", "Access denied to table '%s'%-", {ctxTable, ctxMessage}},
    {KURA_OSEBADF, "KURA_OSEBADF", "Invalid operating system file handle for the table '%s'", {ctxTable}},
    {KURA_OSENOMEM, "KURA_OSENOMEM", "There is insufficient operating system memory available for the current operation", {}},
    {KURA_OSEINVMEM, "KURA_OSEINVMEM", "Invalid length for the in-memory table '%s'", {ctxTable}},
    {KURA_OSENODEV, "KURA_OSENODEV", "Access denied to logical operating system device for the table '%s'", {ctxTable}},
    {KURA_OSENOTSAM, "KURA_OSENOTSAM", "The table '%s' has been moved", {ctxTable}},
    {KURA_OSUNKNOWN, "KURA_OSUNKNOWN", "An unknown operating system error %s occurred with the table '%s'", {ctxOSError, ctxTable}},
    {KURA_REMOTECOMMLOST, "KURA_REMOTECOMMLOST", "The connection to the database server at '%s' has been lost", {ctxServer}},
    {KURA_REMOTEUNKNOWN, "KURA_REMOTEUNKNOWN", "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", {ctxMessage, ctxServer}},
    {KURA_REMOTECONNECT, "KURA_REMOTECONNECT", "A connection to the database server at '%s' cannot be established", {ctxServer}},
    {KURA_REMOTENOLOGIN, "KURA_REMOTENOLOGIN", "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", {ctxServer}},
    {KURA_REMOTEMAXCONNECT, "KURA_REMOTEMAXCONNECT", "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", {ctxServer}},
    {KURA_REMOTEADDRESSBLOCK, "KURA_REMOTEADDRESSBLOCK", "A connection to the database server at '%s' cannot be established, the client address is blocked", {ctxServer}},
    {KURA_REMOTECALLBACK, "KURA_REMOTECALLBACK", nullptr, {}},
    {KURA_REMOTECALLBACKERR, "KURA_REMOTECALLBACKERR", "A server callback error occurred for the database server at '%s'", {ctxServer}},
    {KURA_REMOTEVERSION, "KURA_REMOTEVERSION", "A call to the database server at '%s' failed, the client engine version does not match the server", {ctxServer}},
    {KURA_REMOTEINVLOGIN, "KURA_REMOTEINVLOGIN", "A connection to the database server at '%s' cannot be established, the login information provided is invalid", {ctxServer}},
    {KURA_REMOTENOTAUTH, "KURA_REMOTENOTAUTH", "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", {ctxUser, ctxDatabase, ctxServer}},
    {KURA_REMOTENOTADMIN, "KURA_REMOTENOTADMIN", "The user '%s' is not authorized to perform administration functions on the database server at '%s'", {ctxUser, ctxServer}},
    {KURA_REMOTEINVUSER, "KURA_REMOTEINVUSER", "The user name is either invalid or blank", {}},
    {KURA_REMOTENOUSER, "KURA_REMOTENOUSER", "The user '%s' does not exist on the database server at '%s'", {ctxUser, ctxServer}},
    {KURA_REMOTEDUPUSER, "KURA_REMOTEDUPUSER", "The user '%s' already exists on the database server at '%s'", {ctxUser, ctxServer}},
    {KURA_REMOTEINVDB, "KURA_REMOTEINVDB", "The database name or directory is either invalid or blank", {}},
    {KURA_REMOTENODB, "KURA_REMOTENODB", "The database '%s' does not exist on the database server at '%s'", {ctxDatabase, ctxServer}},
    {KURA_REMOTEDUPDB, "KURA_REMOTEDUPDB", "The database '%s' already exists on the database server at '%s'", {ctxDatabase, ctxServer}},
    {KURA_REMOTEINVDBUSER, "KURA_REMOTEINVDBUSER", "The database user name is either invalid or blank", {}},
    {KURA_REMOTENODBUSER, "KURA_REMOTENODBUSER", "The database user '%s' does not exist for the database '%s' on the database server at '%s'", {ctxUser, ctxDatabase, ctxServer}},
    {KURA_REMOTEDUPDBUSER, "KURA_REMOTEDUPDBUSER", "The database user '%s' already exists for the database '%s' on the database server at '%s'", {ctxUser, ctxDatabase, ctxServer}},
    {KURA_REMOTEINVREQUEST, "KURA_REMOTEINVREQUEST", "An invalid or unknown request was made to the database server at '%s'", {ctxServer}},
    {KURA_IMPORTERROR, "KURA_IMPORTERROR", "An error occurred during the import into the table '%s' - %s", {ctxTable, ctxMessage}},
    {KURA_EXPORTERROR, "KURA_EXPORTERROR", "An error occurred during the export from the table '%s' - %s", {ctxTable, ctxMessage}},
    {KURA_SQLPARSE, "KURA_SQLPARSE", "SQL error - %s", {ctxMessage}},
    {KURA_OLDVERSION, "KURA_OLDVERSION", "The table '%s' is not the correct version", {ctxTable}},
    {KURA_SEARCHCOLREQD, "KURA_SEARCHCOLREQD", "Invalid field '%s' specified for the index '%s' in the table '%s'", {ctxField, ctxIndex, ctxTable}},
    {KURA_TABLEEXISTS, "KURA_TABLEEXISTS", "The table '%s' already exists", {ctxTable}},
    {KURA_COMPRESS, "KURA_COMPRESS", "Error compressing data", {}},
    {KURA_UNCOMPRESS, "KURA_UNCOMPRESS", "Error uncompressing data", {}},
    {KURA_CANNOTLOADLDDRV, "KURA_CANNOTLOADLDDRV", "The language driver for the table '%s' is not available or installed", {ctxTable}},
};
// clang-format on

const ErrorRow* FindRow(uint32_t code) {
    for (const auto& row : ErrorTable)
        if (row.code == code) return &row;
    return nullptr;
}

struct TEngineErrorContext {
    TEngineErrorCode ErrorCode = 0;
    int32_t OSErrorCode = 0;
    int32_t SocketErrorCode = 0;
    std::string Strings[EngineErrorContextStrings];
};

// One context for the process; the lock is re-entrant because the exception's
// constructor reads the context back while RaiseEngineError still holds it.
std::recursive_mutex& ContextLock() {
    static std::recursive_mutex lock;
    return lock;
}

TEngineErrorContext& Context() {
    static TEngineErrorContext context;
    return context;
}

// A text cut to a byte limit keeps whole characters: a lead byte without its trail
// would make the rest of the text that shows it unreadable.
std::string ShortString(std::string_view s, size_t most = EngineErrorContextLength) {
    return std::string(s.substr(0, platform::Cp932PrefixLength(s, most)));
}

}  // namespace

void LockEngineErrorContext() { ContextLock().lock(); }
void UnlockEngineErrorContext() { ContextLock().unlock(); }

void ClearEngineErrorContext() {
    std::lock_guard guard(ContextLock());
    Context() = TEngineErrorContext{};
}

void SetEngineErrorContext(uint32_t code, int32_t osError, int32_t socketError, std::string_view server,
                           std::string_view user, std::string_view database, std::string_view table,
                           std::string_view field, std::string_view index, std::string_view message) {
    std::lock_guard guard(ContextLock());
    auto& c = Context();
    c.ErrorCode = static_cast<TEngineErrorCode>(code & 0xFFFF);
    c.OSErrorCode = osError;
    c.SocketErrorCode = socketError;
    std::string_view strings[EngineErrorContextStrings] = {server, user, database, table, field, index, message};
    for (int i = 0; i < EngineErrorContextStrings; ++i) c.Strings[i] = ShortString(strings[i]);
}

std::string GetEngineErrorContext(int index) {
    std::lock_guard guard(ContextLock());
    const auto& c = Context();
    if (index >= 0 && index < EngineErrorContextStrings) return c.Strings[index];
    if (index == ctxOSError) return std::to_string(c.OSErrorCode);
    if (index == ctxSocketError) return std::to_string(c.SocketErrorCode);
    return {};
}

std::string GetEngineErrorMessage(uint32_t code) {
    const ErrorRow* row = FindRow(code);
    if (!row || !row->message || row->code == KURA_NONE) return UnknownErrorText;
    std::string result;
    auto arg = row->args.begin();
    for (const char* p = row->message; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && arg != row->args.end()) {
            result += GetEngineErrorContext(*arg++);
            ++p;
        } else if (p[0] == '%' && p[1] == '-' && arg != row->args.end()) {
            // What the one who meets the error can do, when the raise says it.
            const std::string advice = GetEngineErrorContext(*arg++);
            if (!advice.empty()) result += " - " + advice;
            ++p;
        } else {
            result += *p;
        }
    }
    return ShortString(result, MaxMessageLength);
}

std::string GetEngineErrorName(uint32_t code) {
    if (code > 0xFFFF) return {};
    const ErrorRow* row = FindRow(code);
    return row ? row->name : std::string();
}

TEngineErrorCode GetEngineErrorCode(const std::exception& e) {
    if (auto* engine = dynamic_cast<const EKuraEngineError*>(&e)) return engine->ErrorCode();
    return KURA_OSUNKNOWN;
}

TEngineErrorCode GetEngineErrorCode(std::exception_ptr e) {
    if (!e) return KURA_OSUNKNOWN;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return GetEngineErrorCode(ex);
    } catch (...) {
        return KURA_OSUNKNOWN;
    }
}

EKuraEngineError::EKuraEngineError(uint32_t code)
    : EDatabaseError(
          // The message is built from the context the raise has just stored.
          "Kura Engine Error # " + std::to_string(code & 0xFFFF) + " " + GetEngineErrorMessage(code & 0xFFFF)),
      errorCode_(static_cast<TEngineErrorCode>(code & 0xFFFF)) {
    std::lock_guard guard(ContextLock());
    for (int i = 0; i < EngineErrorContextStrings; ++i) context_[i] = GetEngineErrorContext(i);
    // The numbers travel as decimal text, as every consumer of the context reads them.
    osErrorCode_ = static_cast<int32_t>(std::stol(GetEngineErrorContext(ctxOSError)));
    socketErrorCode_ = static_cast<int32_t>(std::stol(GetEngineErrorContext(ctxSocketError)));
}

const std::string& EKuraEngineError::ErrorContext(int slot) const {
    static const std::string empty;
    if (slot < 0 || slot >= EngineErrorContextStrings) return empty;
    return context_[slot];
}

void RaiseKuraEngineError(uint32_t code) { throw EKuraEngineError(code); }

void RaiseEngineError(uint32_t code, std::string_view server, std::string_view user, std::string_view database,
                      std::string_view table, std::string_view field, std::string_view index,
                      std::string_view message) {
    std::lock_guard guard(ContextLock());
    ClearEngineErrorContext();
    int32_t socketError = platform::WSAGetLastError();
    int32_t osError = static_cast<int32_t>(platform::GetLastError());
    // Paths are shown as the system writes them, not with the engine's separators.
    const std::string databasePath = platform::NormalizeSeparators(database);
    const std::string tablePath = platform::NormalizeSeparators(table);
    SetEngineErrorContext(code, osError, socketError, server, user, databasePath, tablePath, field, index, message);
    RaiseKuraEngineError(code & 0xFFFF);
}

}  // namespace kura
