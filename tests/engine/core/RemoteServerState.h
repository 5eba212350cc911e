#pragma once
// The test server's writers of the state blocks a remote cursor reads back
// (engine/core/RemoteState.h gives the layout). Every area that moves or re-reads a
// server cursor ends its reply with PutCursorState; open and clone replies start
// with PutOpenReply. A request that carries the client's position block takes its
// cursor through PositionedCursor, which first puts the server cursor where the
// client stands when it stands elsewhere (a record block read ahead leaves it on the
// block's last entry).
#include <algorithm>
#include <array>

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

// A key parameter as the engine's key buffers hold it; empty stays nullptr.
struct TServerKey {
    std::array<uint8_t, RANGE_KEY_SIZE> Bytes{};
    const uint8_t* Data = nullptr;
    TServerKey(const TServerRequest& req, size_t i) {
        const std::vector<uint8_t>& p = req.Bytes(i);
        if (p.size() > Bytes.size()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        if (p.empty()) return;
        std::copy(p.begin(), p.end(), Bytes.begin());
        Data = Bytes.data();
    }
};

// Handle, key, BOF, EOF: the parameters after the block start at 4.
constexpr size_t kAfterPosition = 4;

inline void Reposition(TDataCursor& c, const TServerRequest& req) {
    const std::vector<uint8_t>& key = req.Bytes(1);
    const bool bof = req.Flag(2);
    const bool eof = req.Flag(3);
    if (bof == c.FBOF && eof == c.FEOF && key.size() == c.GetKeySize() &&
        std::equal(key.begin(), key.end(), c.GetCurrentKey()))
        return;
    if (bof && eof) return;
    if (bof) return c.SetToBegin();
    if (eof) return c.SetToEnd();
    const TServerKey wanted(req, 1);
    if (!c.IsNaturalOrder()) {
        c.FindKey(1, wanted.Bytes.data(), 0, 1, 0);
        return;
    }
    uint32_t recordNo = 0;
    for (size_t b = 4; b-- > 0;) recordNo = (recordNo << 8) | wanted.Bytes[b];
    c.CheckForChanges();
    c.GotoRecordNumber(static_cast<int32_t>(recordNo));
    c.LoadCurrentRecord(1);
    c.EndRead();
}

inline TDataCursor* PositionedCursor(TServerState& s, const TServerRequest& req) {
    req.Bytes(kAfterPosition - 1);
    TDataCursor* c = s.Cursor(req);
    Reposition(*c, req);
    return c;
}

}  // namespace kura::test
