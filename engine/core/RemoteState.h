#pragma once
// The state blocks a database server sends back to a remote cursor, parameter by
// parameter (each a u32 length and its bytes, RemoteFrame.h):
//
// Table state (OPENCURSOR and CLONECURSOR replies, when RemoteTableStateFollows):
//   read-only (1), read-only by attribute (1), data header (127), one 768-byte field
//   descriptor per field the data header declares, index header (4096)
//
// Cursor state (after every request that moves or re-reads the cursor):
//   logical position (4), current record number (4), index name (at most 255),
//   record count (4), data header (127), index change count (4), index record
//   count (4), current key (at most 523), BOF (1), EOF (1)
//
// Position block (sent by the requests that need the cursor's place):
//   cursor handle (4), current key (key-size bytes), BOF (1), EOF (1)
//
// Open state of an SQL result cursor: handle (4), table name (at most 255),
//   exclusive, in-memory, temporary files, query result, query source (1 each)
//
// Record block (READRECORDBLOCK, after the result and the cursor state): count (4),
//   then that many records of the cursor's record size
//
// BLOB bytes (GETBLOB, after the result): count (4), then that many bytes
//
// Field definitions of an SQL result cursor: count (4, at most 1023), then each
//   768-byte definition; from server 3.08 a computed one is followed by the byte
//   count of its expression image (4) and the image (ExpStream.h).
//
// Statement state of an SQL statement (PREPARESTMT reply, statement-state callback):
//   kind, live, live companion (1 each); from server 3.06 select-all (1); in a
//   PREPARESTMT reply from server 3.28 the parameter count (4)
//
// Execution of an SQL statement (EXECUTESTMT reply): execution time (8, a float),
//   rows affected (4)
//
// Whatever does not fit its destination exactly, or a header that fails the checks of
// a header read from disk, is a malformed reply: KURA_UNCOMPRESS, connection dropped.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/expr/ExpTree.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"

namespace kura {

class TDataTable;
class TRemoteReply;

struct TRemoteTableState {
    bool ReadOnly = false;
    bool ReadOnlyByAttribute = false;
    TDataHeader Data{};
    std::vector<TFieldDesc> Fields;
    TIndexHeader Index{};
};

struct TRemoteCursorState {
    int32_t Position = 0;
    uint32_t RecordNo = 0;
    std::string IndexName;
    uint32_t RecordCount = 0;
    TDataHeader Data{};
    uint32_t IndexChangeCount = 0;
    uint32_t IndexRecordCount = 0;
    std::array<uint8_t, 523> Key{};  // zero beyond what the server sent
    bool Bof = false;
    bool Eof = false;
};

struct TRemoteOpenState {
    uint32_t Handle = 0;
    std::string TableName;
    bool Exclusive = false;
    bool InMemory = false;
    bool TemporaryFiles = false;
    bool QueryResult = false;
    bool QuerySource = false;
};

struct TRemoteFieldDefs {
    std::vector<TFieldDesc> Defs;
    std::vector<TExpressionPtr> Expressions;  // one per definition; nullptr for none
};

struct TRemoteStatementState {
    uint8_t Kind = 0;
    uint8_t Live = 0;
    uint8_t LiveCompanion = 0;
    uint8_t SelectAll = 0;
    uint32_t ParamCount = 0;
};

struct TRemoteExecution {
    double Time = 0;
    uint32_t RowsAffected = 0;
};

// Server versions that change the statement requests.
constexpr int64_t SERVER_VERSION_SELECT_ALL = 30600;   // select-all flag; live results name their database
constexpr int64_t SERVER_VERSION_EXEC_PARAMS = 30900;  // parameters inside EXECUTESTMT; result opened at prepare
constexpr int64_t SERVER_VERSION_PARAM_COUNT = 32800;  // PREPARESTMT reports the parameter count

// The computed-field limit of a result cursor's definitions.
constexpr uint32_t REMOTE_RESULT_FIELD_LIMIT = 1023;
// From this server version computed definitions carry their expressions.
constexpr int64_t SERVER_VERSION_FIELD_EXPRESSIONS = 30800;

// Readers of the blocks above: every parameter must fit its destination exactly (or,
// for names and keys, at most), counts are bounded before anything is sized by them.
TRemoteTableState ReadRemoteTableState(TRemoteReply& reply);
TRemoteCursorState ReadRemoteCursorState(TRemoteReply& reply);
TRemoteOpenState ReadRemoteOpenState(TRemoteReply& reply);
TRemoteFieldDefs ReadRemoteFieldDefs(TRemoteReply& reply, int64_t serverVersion);
// withParamCount: a PREPARESTMT reply (a callback carries no count).
TRemoteStatementState ReadRemoteStatementState(TRemoteReply& reply, int64_t serverVersion, bool withParamCount);
TRemoteExecution ReadRemoteExecution(TRemoteReply& reply);

// READRECORDBLOCK: the count of records (never more than wanted), then each record
// of exactly recordSize bytes, copied one after another into dest (may be nullptr).
int32_t ReadRemoteRecords(TRemoteReply& reply, int32_t wanted, uint16_t recordSize, uint8_t* dest);
// GETBLOB: the count of bytes read (never more than capacity), then exactly those
// bytes, copied into dest.
uint32_t ReadRemoteBlobBytes(TRemoteReply& reply, void* dest, uint32_t capacity);

// Server versions that change what OPENCURSOR carries.
constexpr int64_t SERVER_VERSION_OPEN_COUNT = 30500;    // 3.05: table state only to the first open
constexpr int64_t SERVER_VERSION_CURSOR_COUNT = 30600;  // 3.06: ... only to the first cursor

// From 3.09 a server takes CANCELRECORD; from 3.11 it leaves open BLOBs to the
// client, and their changed contents travel with the record writes.
constexpr int64_t SERVER_VERSION_CANCEL_RECORD = 30900;
constexpr int64_t SERVER_VERSION_CLIENT_BLOBS = 31100;

// Whether an OPENCURSOR or CLONECURSOR reply carries the table state: both ends
// decide it from the server's version and their own view of the shared table.
bool RemoteTableStateFollows(int64_t serverVersion, const TDataTable& table, bool queryResult, bool querySource);

}  // namespace kura
