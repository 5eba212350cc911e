// A remote cursor's open, close, clone and full-text parameters: the server opens
// its own cursor and sends back the table's definitions and the cursor's state.
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/RemoteState.h"

namespace kura {

TRemoteReply& TDataCursor::SendPositioned(TRequestCode code, const std::function<void(TRemoteRequest&)>& more) {
    TRemoteRequest& request = BeginRemote(code);
    PutPosition(request);
    if (more) more(request);
    return SendRemote();
}

void TDataCursor::OpenRemoteState(bool alreadyOpenedRemotely) {
    if (!alreadyOpenedRemotely) {
        TRemoteRequest& request = BeginRemote(REQUEST_OPENCURSOR);
        request.PutString(FTableName);
        request.PutBool(FExclusive);
        request.PutBool(FReadOnly);
        request.PutBool(FInMemory);
        SendRemote();
    }
    TRemoteReply& reply = RemoteChannel().Reply();
    if (RemoteTableStateFollows(GetServerVersion(), *FTable, FQueryResult, FQuerySource)) FTable->ReadOpenReply(reply);
    if (FTable->IsReadOnly()) FReadOnly = true;
    FTableFilesReadOnly = FTable->IsReadOnlyByAttribute();
    if (FTableFilesReadOnly) FReadOnly = true;
    ReadCursorState(reply);
    const uint8_t indexNo = reply.GetByte();
    if (indexNo != NATURAL_ORDER && indexNo >= INDEX_SLOT_COUNT) reply.RaiseMalformed();

    TDataFile& data = FTable->GetDataFile();
    FLocaleID = data.GetLocaleID();
    FSortID = data.GetSortID();
    FFieldCount = std::min<uint16_t>(FTable->GetFieldCount(), CURSOR_MAX_FIELDS);
    FRecordSize = FTable->GetRecordSize();
    CopyTableFieldDefs();
    FVisibleSetActive = false;
    FRangeActive = false;
    SetIndexNumber(indexNo);
    if (IsNaturalOrder()) FVisibleSetActive = true;
}

void TDataCursor::CloseRemoteCursor() noexcept {
    try {
        BeginRemote(REQUEST_CLOSECURSOR);
        SendRemote();
    } catch (...) {
        // The table is let go locally whatever the server answered.
    }
}

TDataCursor* TDataCursor::CloneRemoteCursor() {
    RemoteChannel().CheckConnected();
    TDataCursor* clone = new TDataCursor(FDirectory, true);
    try {
        TRemoteRequest& request = BeginRemote(REQUEST_CLONECURSOR);
        PutPosition(request);
        clone->FRemoteHandle = SendRemote().GetU32();
        clone->FTableName = FTableName;
        clone->FExclusive = FExclusive;
        clone->FExclusiveClone = FExclusive;
        clone->FReadOnly = FReadOnly;
        clone->FInMemory = FInMemory;
        clone->FQueryResult = FQueryResult;
        clone->FQuerySource = FQuerySource;
        clone->OpenCursor(true);
    } catch (...) {
        delete clone;
        throw;
    }
    return clone;
}

void TDataCursor::LoadRemoteTextIndexParams() {
    FStopWords.LanguageId = FLocaleID;
    FStopWords.SortId = FSortID;
    FStopWords.Clear();
    FSpaceChars.reset();
    FIncludeChars.reset();
    // Servers before 3.04 keep no full-text parameters.
    if (GetServerVersion() >= SERVER_VERSION_LOCK_PROTOCOL) {
        BeginRemote(REQUEST_TEXTINDEXPARAMS);
        TRemoteReply& reply = SendRemote();
        const uint32_t count = reply.GetU32();
        for (uint32_t i = 0; i < count; ++i) FStopWords.Add(reply.GetString());
        for (uint8_t c : reply.GetBytes(256)) FSpaceChars.set(c);
        for (uint8_t c : reply.GetBytes(256)) FIncludeChars.set(c);
    }
    FTextParamsLoaded = true;
}

}  // namespace kura
