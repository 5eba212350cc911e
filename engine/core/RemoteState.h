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
// Whatever does not fit its destination exactly, or a header that fails the checks of
// a header read from disk, is a malformed reply: KURA_UNCOMPRESS, connection dropped.
#include <cstdint>

namespace kura {

class TDataTable;

// Server versions that change what OPENCURSOR carries.
constexpr int64_t SERVER_VERSION_OPEN_COUNT = 30500;    // 3.05: table state only to the first open
constexpr int64_t SERVER_VERSION_CURSOR_COUNT = 30600;  // 3.06: ... only to the first cursor

// Whether an OPENCURSOR or CLONECURSOR reply carries the table state: both ends
// decide it from the server's version and their own view of the shared table.
bool RemoteTableStateFollows(int64_t serverVersion, const TDataTable& table, bool queryResult, bool querySource);

}  // namespace kura
