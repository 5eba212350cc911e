// Reading the table and cursor state blocks of a server's replies (RemoteState.h).
#include "engine/core/RemoteState.h"

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"

namespace kura {

namespace {

// A parameter that must fill its destination exactly.
void GetExactly(TRemoteReply& reply, uint8_t* dest, uint32_t size) {
    if (reply.GetParam(dest, size) != size) reply.RaiseMalformed();
}

// Header checks raise the file errors; from the network they mean a broken reply.
template <typename F>
void AdoptChecked(TRemoteReply& reply, F&& adopt) {
    try {
        adopt();
    } catch (const EKuraEngineError&) {
        reply.RaiseMalformed();
    }
}

}  // namespace

bool RemoteTableStateFollows(int64_t serverVersion, const TDataTable& table, bool queryResult, bool querySource) {
    if (serverVersion < SERVER_VERSION_OPEN_COUNT) return true;
    if (serverVersion < SERVER_VERSION_CURSOR_COUNT) return table.GetOpenCount() == 1;
    if (queryResult != querySource) return true;
    return table.GetCursorCount() == 1;
}

void TDataTable::ReadOpenReply(TRemoteReply& reply) {
    FReadOnly = reply.GetBool();
    FReadOnlyByAttribute = reply.GetBool();
    if (FReadOnlyByAttribute) FReadOnly = true;
    TDataHeader data{};
    GetExactly(reply, data.data(), DATA_HEADER_SIZE);
    AdoptChecked(reply, [&] { FDataFile.AdoptRemoteHeader(data); });
    std::vector<TFieldDesc> descs(FDataFile.GetFieldCount());
    for (TFieldDesc& desc : descs) GetExactly(reply, desc.Data(), FIELD_DESC_SIZE);
    AdoptChecked(reply, [&] { FDataFile.AdoptRemoteFieldDescs(std::move(descs)); });
    TIndexHeader index{};
    GetExactly(reply, index.data(), INDEX_PAGE_SIZE);
    AdoptChecked(reply, [&] { FIndexFile.AdoptRemoteHeader(index); });
}

void TDataTable::ReadCountersFromReply(TRemoteReply& reply) {
    TDataHeader data{};
    GetExactly(reply, data.data(), DATA_HEADER_SIZE);
    // The layout in use cannot change under an open cursor.
    const TDataHeader& current = FDataFile.Header();
    for (int offset : {dho::FieldCount, dho::FieldCount + 1, dho::RecordSize, dho::RecordSize + 1})
        if (data[offset] != current[offset]) reply.RaiseMalformed();
    AdoptChecked(reply, [&] { FDataFile.AdoptRemoteHeader(data); });
    const uint32_t changeCount = reply.GetU32();
    const uint32_t recordCount = reply.GetU32();
    FIndexFile.AdoptRemoteCounters(changeCount, recordCount);
}

void TDataCursor::ReadCursorState(TRemoteReply& reply) {
    FPosition.LogicalPos = reply.GetI32();
    FRecordNo = reply.GetU32();
    FIndexName = reply.GetString(REMOTE_SHORT_STRING);
    FFilteredCount = reply.GetU32();
    if (!FTable) reply.RaiseMalformed();
    FTable->ReadCountersFromReply(reply);
    FKeyBuffer.fill(0);
    reply.GetParam(FKeyBuffer.data(), CURSOR_KEY_BUFFER_SIZE);
    FBOF = reply.GetBool();
    FEOF = reply.GetBool();
}

void TDataCursor::PutPosition(TRemoteRequest& request) {
    request.PutParam(FKeyBuffer.data(), GetKeySize());
    request.PutBool(FBOF);
    request.PutBool(FEOF);
}

}  // namespace kura
