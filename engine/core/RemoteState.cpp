// Reading the state blocks of a server's replies (RemoteState.h) and taking them
// over into the remote table and cursor.
#include "engine/core/RemoteState.h"

#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/expr/ExpStream.h"
#include "engine/files/Locale.h"
#include "engine/files/NameRoutines.h"

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

uint16_t HeaderU16(const TDataHeader& header, int offset) {
    return static_cast<uint16_t>(header[offset] | (header[offset + 1] << 8));
}

}  // namespace

bool RemoteTableStateFollows(int64_t serverVersion, const TDataTable& table, bool queryResult, bool querySource) {
    if (serverVersion < SERVER_VERSION_OPEN_COUNT) return true;
    if (serverVersion < SERVER_VERSION_CURSOR_COUNT) return table.GetOpenCount() == 1;
    if (queryResult != querySource) return true;
    return table.GetCursorCount() == 1;
}

// ---- Readers ----------------------------------------------------------------------

TRemoteTableState ReadRemoteTableState(TRemoteReply& reply) {
    TRemoteTableState state;
    state.ReadOnly = reply.GetBool();
    state.ReadOnlyByAttribute = reply.GetBool();
    GetExactly(reply, state.Data.data(), DATA_HEADER_SIZE);
    const uint16_t fieldCount = HeaderU16(state.Data, dho::FieldCount);
    if (fieldCount > MAX_TABLE_FIELDS) reply.RaiseMalformed();
    // Grown as the definitions arrive: a count alone reserves nothing.
    for (uint16_t i = 0; i < fieldCount; ++i) {
        TFieldDesc desc;
        GetExactly(reply, desc.Data(), FIELD_DESC_SIZE);
        state.Fields.push_back(desc);
    }
    GetExactly(reply, state.Index.data(), INDEX_PAGE_SIZE);
    return state;
}

TRemoteCursorState ReadRemoteCursorState(TRemoteReply& reply) {
    TRemoteCursorState state;
    state.Position = reply.GetI32();
    state.RecordNo = reply.GetU32();
    state.IndexName = reply.GetString(REMOTE_SHORT_STRING);
    state.RecordCount = reply.GetU32();
    GetExactly(reply, state.Data.data(), DATA_HEADER_SIZE);
    state.IndexChangeCount = reply.GetU32();
    state.IndexRecordCount = reply.GetU32();
    reply.GetParam(state.Key.data(), static_cast<uint32_t>(state.Key.size()));
    state.Bof = reply.GetBool();
    state.Eof = reply.GetBool();
    return state;
}

TRemoteOpenState ReadRemoteOpenState(TRemoteReply& reply) {
    TRemoteOpenState state;
    state.Handle = reply.GetU32();
    state.TableName = reply.GetString(REMOTE_SHORT_STRING);
    state.Exclusive = reply.GetBool();
    state.InMemory = reply.GetBool();
    state.TemporaryFiles = reply.GetBool();
    state.QueryResult = reply.GetBool();
    state.QuerySource = reply.GetBool();
    return state;
}

TRemoteFieldDefs ReadRemoteFieldDefs(TRemoteReply& reply, int64_t serverVersion) {
    TRemoteFieldDefs defs;
    const uint32_t count = reply.GetU32();
    if (count > REMOTE_RESULT_FIELD_LIMIT) reply.RaiseMalformed();
    for (uint32_t i = 0; i < count; ++i) {
        TFieldDesc& desc = defs.Defs.emplace_back();
        defs.Expressions.emplace_back();
        GetExactly(reply, desc.Data(), FIELD_DESC_SIZE);
        // The expression reference of the image means nothing here.
        std::fill(desc.Bytes.begin() + fdo::Expression, desc.Bytes.begin() + fdo::Expression + 4, 0);
        if (serverVersion < SERVER_VERSION_FIELD_EXPRESSIONS || desc.Computed() == 0) continue;
        const uint32_t size = reply.GetU32();
        const std::span<const uint8_t> image = reply.NextParam();
        if (image.size() != size) reply.RaiseMalformed();
        TExpToken* root = nullptr;
        if (size > 0) {
            try {
                ReadExpressionStream(image.data(), image.size(), root);
            } catch (const EKuraEngineError&) {
                reply.RaiseMalformed();
            }
        }
        defs.Expressions[i].reset(root);
    }
    return defs;
}

TRemoteStatementState ReadRemoteStatementState(TRemoteReply& reply, int64_t serverVersion, bool withParamCount) {
    TRemoteStatementState state;
    state.Kind = reply.GetByte();
    state.Live = reply.GetByte();
    state.LiveCompanion = reply.GetByte();
    if (serverVersion >= SERVER_VERSION_SELECT_ALL) state.SelectAll = reply.GetByte();
    if (withParamCount && serverVersion >= SERVER_VERSION_PARAM_COUNT) state.ParamCount = reply.GetU32();
    return state;
}

TRemoteExecution ReadRemoteExecution(TRemoteReply& reply) {
    TRemoteExecution execution;
    const auto bits = static_cast<uint64_t>(reply.GetI64());
    std::memcpy(&execution.Time, &bits, sizeof execution.Time);
    execution.RowsAffected = reply.GetU32();
    return execution;
}

// ---- Taking the state over -----------------------------------------------------------

void TDataTable::ReadOpenReply(TRemoteReply& reply) {
    TRemoteTableState state = ReadRemoteTableState(reply);
    AdoptChecked(reply, [&] {
        FDataFile.AdoptRemoteHeader(state.Data);
        FDataFile.AdoptRemoteFieldDescs(std::move(state.Fields));
        FIndexFile.AdoptRemoteHeader(state.Index);
    });
    FReadOnly = state.ReadOnly || state.ReadOnlyByAttribute;
    FReadOnlyByAttribute = state.ReadOnlyByAttribute;
}

void TDataTable::AdoptRemoteCounters(TRemoteReply& reply, const TDataHeader& data, uint32_t indexChangeCount,
                                     uint32_t indexRecordCount) {
    // The layout in use cannot change under an open cursor.
    const TDataHeader& current = FDataFile.Header();
    if (HeaderU16(data, dho::FieldCount) != HeaderU16(current, dho::FieldCount) ||
        HeaderU16(data, dho::RecordSize) != HeaderU16(current, dho::RecordSize))
        reply.RaiseMalformed();
    AdoptChecked(reply, [&] { FDataFile.AdoptRemoteHeader(data); });
    FIndexFile.AdoptRemoteCounters(indexChangeCount, indexRecordCount);
}

void TDataCursor::ReadCursorState(TRemoteReply& reply) {
    const TRemoteCursorState state = ReadRemoteCursorState(reply);
    if (!FTable) reply.RaiseMalformed();
    FTable->AdoptRemoteCounters(reply, state.Data, state.IndexChangeCount, state.IndexRecordCount);
    FPosition.LogicalPos = state.Position;
    FRecordNo = state.RecordNo;
    FIndexName = state.IndexName;
    FFilteredCount = state.RecordCount;
    FKeyBuffer = state.Key;
    FBOF = state.Bof;
    FEOF = state.Eof;
}

void TDataCursor::ReadOpenState(TRemoteReply& reply) {
    const TRemoteOpenState state = ReadRemoteOpenState(reply);
    FRemoteHandle = state.Handle;
    FTableName = state.TableName;
    FExclusive = state.Exclusive;
    FInMemory = state.InMemory;
    FTemporaryFiles = state.TemporaryFiles;
    FQueryResult = state.QueryResult;
    FQuerySource = state.QuerySource;
}

void TDataCursor::ReadFieldDefs(TRemoteReply& reply) {
    TRemoteFieldDefs defs = ReadRemoteFieldDefs(reply, GetServerVersion());
    std::vector<const TExpToken*> expressions;
    for (const TExpressionPtr& e : defs.Expressions) expressions.push_back(e.get());
    const bool live = std::any_of(defs.Defs.begin(), defs.Defs.end(),
                                  [](const TFieldDesc& d) { return d.Bytes[fdo::Hidden] != 0; });
    if (!live) {
        SetComputedFieldDefs(defs.Defs.data(), static_cast<int32_t>(defs.Defs.size()),
                             static_cast<int32_t>(REMOTE_RESULT_FIELD_LIMIT), expressions.data());
        return;
    }
    // A live result keeps its table's own fields first, hidden from datasets, and its
    // columns after them under their result names, so names and numbers repeat
    // between the two: each definition is checked on its own, and names must differ
    // only among the columns a dataset sees.
    std::vector<std::string> visible;
    for (TFieldDesc& d : defs.Defs) {
        std::vector<TFieldDesc> one{d};
        ValidateFieldDefs(true, one, false);
        d = one[0];
        if (d.Bytes[fdo::Hidden] != 0) continue;
        std::string upper = UpperCaseName(d.Name());
        if (std::find(visible.begin(), visible.end(), upper) != visible.end()) reply.RaiseMalformed();
        visible.push_back(std::move(upper));
    }
    SetResultFieldDefs(defs.Defs, expressions);
}

void TDataCursor::PutPosition(TRemoteRequest& request) {
    request.PutParam(FKeyBuffer.data(), GetKeySize());
    request.PutBool(FBOF);
    request.PutBool(FEOF);
}

int32_t ReadRemoteRecords(TRemoteReply& reply, int32_t wanted, uint16_t recordSize, uint8_t* dest) {
    const int32_t count = reply.GetI32();
    // More records than were asked for would run past the caller's buffer.
    if (count < 0 || count > std::max(wanted, 0)) reply.RaiseMalformed();
    for (int32_t i = 0; i < count; ++i) {
        const std::span<const uint8_t> record = reply.NextParam();
        if (record.size() != recordSize) reply.RaiseMalformed();
        if (dest) std::memcpy(dest + static_cast<std::size_t>(i) * recordSize, record.data(), recordSize);
    }
    return count;
}

uint32_t ReadRemoteBlobBytes(TRemoteReply& reply, void* dest, uint32_t capacity) {
    const uint32_t count = reply.GetU32();
    const std::span<const uint8_t> bytes = reply.NextParam();
    if (count > capacity || bytes.size() != count) reply.RaiseMalformed();
    if (count > 0) std::memcpy(dest, bytes.data(), count);
    return count;
}

}  // namespace kura
