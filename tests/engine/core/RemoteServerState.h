#pragma once
// The test server's writers of the state blocks a remote cursor reads back
// (engine/core/RemoteState.h gives the layout). Every area that moves or re-reads a
// server cursor ends its reply with PutCursorState; open and clone replies start
// with PutOpenReply.
#include "engine/core/DataTable.h"
#include "engine/core/RemoteState.h"
#include "tests/engine/core/RemoteServerCore.h"

namespace kura::test {

inline int64_t ReportedVersion(const TServerState& s) { return s.Version.value_or(SERVER_VERSION_NONE_REPORTED); }

inline void PutTableState(TRemoteRequest& reply, TDataCursor& c) {
    TDataTable& table = *c.FTable;
    reply.PutBool(table.IsReadOnly());
    reply.PutBool(table.IsReadOnlyByAttribute());
    reply.PutParam(table.GetDataFile().Header().data(), DATA_HEADER_SIZE);
    for (uint16_t n = 1; n <= table.GetFieldCount(); ++n) {
        TFieldDesc desc;
        table.GetFieldDesc(n, desc);
        reply.PutParam(desc.Data(), FIELD_DESC_SIZE);
    }
    reply.PutParam(table.GetIndexFile().Header().data(), INDEX_PAGE_SIZE);
}

// The client reads the record number a local cursor would report as the position.
inline void PutCursorState(TRemoteRequest& reply, TDataCursor& c) {
    TDataTable& table = *c.FTable;
    reply.PutU32(c.GetRecordNumber());
    reply.PutU32(c.GetCurrentRecordNumber());
    reply.PutString(c.GetIndexName());
    reply.PutU32(c.GetRecordCount());
    reply.PutParam(table.GetDataFile().Header().data(), DATA_HEADER_SIZE);
    reply.PutU32(table.GetIndexFile().GetChangeCount());
    reply.PutU32(table.GetIndexFile().GetRecordCount());
    reply.PutParam(c.GetCurrentKey(), c.GetKeySize());
    reply.PutBool(c.FBOF);
    reply.PutBool(c.FEOF);
}

// OPENCURSOR and CLONECURSOR: table state when it follows, cursor state, index number.
inline void PutOpenReply(const TServerState& s, TRemoteRequest& reply, TDataCursor& c) {
    if (RemoteTableStateFollows(ReportedVersion(s), *c.FTable, c.FQueryResult, c.FQuerySource))
        PutTableState(reply, c);
    PutCursorState(reply, c);
    reply.PutByte(c.GetCurrentIndexNo());
}

}  // namespace kura::test
