// Index selection and maintenance, emptying, delimited-text transfers and
// restructuring of a remote cursor's table: each is one request; the server does
// the work (opening the text file itself) and the cursor takes back its state.
// Restructuring reports progress and asks its question through the callback loop.
#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/DelimitedText.h"
#include "engine/core/Restructure.h"

namespace kura {

void TDataCursor::ReadRemoteIndexSelection(TRemoteReply& reply) {
    const uint8_t indexNo = reply.GetByte();
    const bool known = indexNo == NATURAL_ORDER || indexNo == SYS_DELETED_SLOT || indexNo == SYS_TEXT_SLOT ||
                       indexNo <= GetIndexCount();
    if (!known) reply.RaiseMalformed();
    ReadCursorState(reply);
    FRangeActive = false;
    // The cursor state named the index; its descriptor comes from the table's copy.
    SetIndexNumber(indexNo);
    FVisibleSetActive = IsNaturalOrder() || AnyFilterActive();
}

void TDataCursor::SetRemoteIndexName(std::string_view name) {
    ReadRemoteIndexSelection(SendPositioned(REQUEST_SETINDEXNAME, [&](TRemoteRequest& request) {
        request.PutString(name);
    }));
}

void TDataCursor::AddRemoteSecondaryIndex(const TIndexDesc& desc, uint8_t option) {
    // The table's copy of the index header learns the index first (its name checks
    // run here); it forgets it again when the server refuses.
    TIndexFile& file = FTable->GetIndexFile();
    // A temporary index keeps its pages in a side file on the server; the copy here
    // holds no pages and needs no side file of its own.
    TIndexDesc copy = desc;
    copy.Bytes[ido::Temporary] = 0;
    file.AddIndex(copy);
    try {
        ReadCursorState(SendPositioned(REQUEST_ADDSECONDARYINDEX, [&](TRemoteRequest& request) {
            request.PutParam(desc.Bytes.data(), INDEX_DESC_SIZE);
            request.PutByte(option);
        }));
    } catch (...) {
        file.DeleteIndexDesc(file.GetIndexCount(), true);
        throw;
    }
}

void TDataCursor::DeleteRemoteIndex(std::string_view name, uint8_t slot, uint8_t compact) {
    TRemoteReply& reply = SendPositioned(REQUEST_DELETEINDEX, [&](TRemoteRequest& request) {
        request.PutString(name);
        request.PutByte(compact);
    });
    FTable->GetIndexFile().DeleteIndexDesc(slot, compact != 0);
    // The cursor's own index may be the one that went: leave it before reading.
    SetIndexNumber(NATURAL_ORDER);
    ReadRemoteIndexSelection(reply);
}

void TDataCursor::EmptyRemoteTable() {
    BeginRemote(REQUEST_EMPTYTABLE);
    ReadCursorState(SendRemote());
}

void TDataCursor::TransferRemoteTable(TRequestCode code, const TDelimitedTextParams& params) {
    const int64_t version = GetServerVersion();
    const bool progress =
        params.ProgressWanted || (code == REQUEST_IMPORTTABLE ? !!FEvents.ImportProgress : !!FEvents.ExportProgress);
    ReadCursorState(SendPositioned(code, [&](TRemoteRequest& request) {
        request.PutString(params.FileName);
        request.PutByte(static_cast<uint8_t>(params.Delimiter));
        request.PutU16(static_cast<uint16_t>(params.Fields.size()));
        // A column the import skips goes as a descriptor of field number 0.
        static const TFieldDesc skipped{};
        for (const TFieldDesc* field : params.Fields)
            request.PutParam((field ? *field : skipped).Data(), FIELD_DESC_SIZE);
        if (version >= SERVER_VERSION_LOCK_PROTOCOL) {
            request.PutString(params.DateFormat);
            request.PutString(params.TimeFormat);
            request.PutByte(static_cast<uint8_t>(params.DecimalSeparator));
        }
        if (version >= SERVER_VERSION_FIELD_NAMES_FLAG) request.PutBool(params.FieldNamesInFirstLine);
        request.PutBool(progress);
    }));
}

void TDataCursor::RestructureRemoteTable(const TRestructureParams& params) {
    TRemoteRequest& request = BeginRemote(REQUEST_RESTRUCTURETABLE);
    request.PutString(FTableName);
    request.PutBool(FInMemory);
    TRemoteTableDefinition d;
    d.LocaleId = params.LocaleId;
    d.SortId = params.SortId;
    d.UserMajor = params.UserMajor;
    d.UserMinor = params.UserMinor;
    d.Encrypted = params.Encrypted;
    d.Password = params.Password;
    d.Description = params.Description;
    d.BlobBlockSize = params.BlobBlockSize;
    d.Fields = &params.Fields;
    d.SecondaryCount = params.IndexCount;
    d.Indexes = &params.Indexes;
    d.StopWords = params.StopWords;
    d.SpaceChars = params.SpaceChars;
    d.IncludeChars = params.IncludeChars;
    PutRemoteDefinition(request, d);
    request.PutByte(params.Option);
    request.PutI32(params.LastAutoInc);
    request.PutBool(params.SuppressBackups);
    // The server calls back only for what this cursor has a handler for.
    request.PutBool(!!FEvents.RestructureProgress);
    request.PutBool(!!FEvents.RestructureQuestion);
    SendRemote();
}

}  // namespace kura
