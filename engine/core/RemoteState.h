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
// Field definitions of an SQL result cursor: count (4, at most 1023), then each
//   768-byte definition; from server 3.08 a computed one is followed by the byte
//   count of its expression image (4) and the image (ExpStream.h).
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

// Server versions that change what OPENCURSOR carries.
constexpr int64_t SERVER_VERSION_OPEN_COUNT = 30500;    // 3.05: table state only to the first open
constexpr int64_t SERVER_VERSION_CURSOR_COUNT = 30600;  // 3.06: ... only to the first cursor

// Whether an OPENCURSOR or CLONECURSOR reply carries the table state: both ends
// decide it from the server's version and their own view of the shared table.
bool RemoteTableStateFollows(int64_t serverVersion, const TDataTable& table, bool queryResult, bool querySource);

}  // namespace kura
