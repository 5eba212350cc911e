// TQueryStatement against a database server: the statement requests, the server's
// callbacks while one of them is pending, and the result cursor the server opens.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/RemoteChannel.h"
#include "engine/core/RemoteState.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryStatement.h"

namespace kura {

namespace {

// Callback kinds of a pending statement request.
enum : uint16_t {
    scbPassword = 11,
    scbProgress = 12,
    scbStatementState = 13,
    scbStatus = 14,
};

constexpr const char* kRemoteQueryDatabase = "Remote_Query";

// A parameter value as it stands in the caller's record: the presence byte and the
// value; a BLOB's value is its length and a pointer to its bytes.
constexpr uint32_t kBlobSlotSize = 1 + sizeof(uint32_t) + sizeof(const uint8_t*);

void PutParameters(TRemoteRequest& request, uint16_t count, const TFieldDesc* const* descriptors,
                   const uint8_t* record) {
    if (!descriptors || !record) count = 0;
    count = std::min<uint16_t>(count, static_cast<uint16_t>(MaxParameters));
    for (uint16_t i = 0; i < count; ++i) {
        if (!descriptors[i]) count = i;
    }
    request.PutU16(count);
    for (uint16_t i = 0; i < count; ++i) request.PutParam(descriptors[i]->Data(), FIELD_DESC_SIZE);
    for (uint16_t i = 0; i < count; ++i) {
        const TFieldDesc& desc = *descriptors[i];
        const uint8_t* slot = record + desc.Offset();
        if (desc.FieldType() != fldBLOB) {
            request.PutParam(slot, desc.StoredSize() + 1u);
            continue;
        }
        uint32_t length = 0;
        const uint8_t* bytes = nullptr;
        std::memcpy(&length, slot + 1, sizeof length);
        std::memcpy(&bytes, slot + 1 + sizeof length, sizeof bytes);
        if (slot[0] == 0 || !bytes) length = 0;
        // The pointer means nothing to the server: the bytes follow as their own parameter.
        uint8_t value[kBlobSlotSize] = {};
        value[0] = slot[0];
        std::memcpy(value + 1, &length, sizeof length);
        request.PutParam(value, kBlobSlotSize);
        request.PutParam(bytes, length);
    }
}

}  // namespace

TRemoteChannel& TQueryStatement::Channel() const {
    TDataSession* session = Session();
    if (!session) RaiseEngineError(KURA_NOTINITIALIZED);
    return session->Channel();
}

void TQueryStatement::CreateRemote() {
    Channel().BeginRequest(REQUEST_CREATESTMT);
    Channel().Request().PutU32(FOwnerDatabase->RemoteHandle);
    Channel().Exchange();
    FRemoteHandle = Channel().Reply().GetU32();
}

void TQueryStatement::FreeRemote() noexcept {
    if (FRemoteHandle != 0) {
        try {
            SendRequestAndWait(REQUEST_FREESTMT, {});
        } catch (...) {
            // The server forgets the statement with the session anyway.
        }
        FRemoteHandle = 0;
    }
    CloseResultCursor();
}

TRemoteReply& TQueryStatement::SendRequestAndWait(TRequestCode code,
                                                  const std::function<void(TRemoteRequest&)>& build) {
    TRemoteChannel& channel = Channel();
    // The channel repeats a request whose exchange lost the connection; a loss
    // between the server's callbacks is the statement's to repeat, once.
    bool answered = false;
    const auto attempt = [&] {
        answered = false;
        channel.BeginRequest(code);
        channel.Request().PutU32(FRemoteHandle);
        if (build) build(channel.Request());
        channel.SendAndReceive();
        answered = true;
        ProcessRemoteReplies();
    };
    try {
        attempt();
    } catch (const EKuraEngineError& e) {
        // After any other failure the server may be half-way through the statement.
        if (e.ErrorCode() != KURA_REMOTECOMMLOST || !answered) throw;
        Session()->Reconnect();
        attempt();
    }
    channel.CheckReplyError();
    return channel.Reply();
}

void TQueryStatement::ProcessRemoteReplies() {
    TRemoteChannel& channel = Channel();
    while (channel.GetReplyCode() == KURA_REMOTECALLBACK) ServeCallback(channel.Reply());
}

void TQueryStatement::ServeCallback(TRemoteReply& reply) {
    TRemoteChannel& channel = Channel();
    const int64_t version = Session()->GetServerVersion();
    switch (reply.GetU16()) {
        case scbPassword: {
            const bool answer = DoPassword();
            channel.SendCallbackResponse([&](TRemoteRequest& r) { r.PutBool(answer); });
            return;
        }
        case scbProgress: {
            const uint16_t percent = reply.GetU16();
            bool abort = reply.GetBool();
            DoProgress(percent, abort);
            channel.SendCallbackResponse([&](TRemoteRequest& r) { r.PutBool(abort); });
            return;
        }
        case scbStatementState:
            // The statement before this one has run: a START TRANSACTION that opened
            // the text holds the server's transaction from here on.
            MirrorTransaction(FKind);
            TakeStatementState(ReadRemoteStatementState(reply, version, false));
            // The result of an earlier statement of the text is gone on the server.
            CloseResultCursor();
            if (version >= SERVER_VERSION_EXEC_PARAMS && FKind == skSelect) OpenResultCursor(reply);
            MirrorTransaction(FKind);
            break;
        case scbStatus: {
            const uint16_t value = reply.GetU16();
            if (OnStatus) OnStatus(this, value);
            break;
        }
        default: break;
    }
    channel.ReceiveNext();
}

void TQueryStatement::PrepareRemote(std::string_view text) {
    // A result of the earlier text is the server's no more.
    CloseResultCursor();
    TRemoteReply& reply = SendRequestAndWait(REQUEST_PREPARESTMT, [&](TRemoteRequest& r) {
        r.PutU32(static_cast<uint32_t>(text.size()));
        r.PutString(text);
        r.PutByte(LiveRequest);
        r.PutU32(static_cast<uint32_t>(FMaxRowCount));
    });
    const int64_t version = Session()->GetServerVersion();
    const TRemoteStatementState state = ReadRemoteStatementState(reply, version, true);
    TakeStatementState(state);
    FParamCount = state.ParamCount;
    if (version >= SERVER_VERSION_EXEC_PARAMS && FKind == skSelect) OpenResultCursor(reply);
}

uint16_t TQueryStatement::SetParamsRemote(uint16_t count, const TFieldDesc* const* descriptors,
                                          const uint8_t* record) {
    return SendRequestAndWait(REQUEST_SETSTMTPARAMS, [&](TRemoteRequest& r) {
               PutParameters(r, count, descriptors, record);
           }).Code();
}

void TQueryStatement::ExecuteRemote(TDataCursor*& result, uint16_t count, const TFieldDesc* const* descriptors,
                                    const uint8_t* record, uint8_t progressWanted) {
    result = nullptr;
    const int64_t version = Session()->GetServerVersion();
    const bool paramsInside = version >= SERVER_VERSION_EXEC_PARAMS;
    if (!paramsInside && count > 0) SetParamsRemote(count, descriptors, record);
    TRemoteReply& reply = SendRequestAndWait(REQUEST_EXECUTESTMT, [&](TRemoteRequest& r) {
        if (paramsInside) PutParameters(r, count, descriptors, record);
        r.PutByte(progressWanted);
    });
    const TRemoteExecution execution = ReadRemoteExecution(reply);
    FExecutionTime = execution.Time;
    FRowsAffected = execution.RowsAffected;
    if (FKind == skSelect) {
        if (!paramsInside) {
            CloseResultCursor();
            OpenResultCursor(reply);
        } else if (FResultCursor) {
            FResultCursor->ReadRemoteResultState();
        }
        result = FResultCursor;
    }
    MirrorTransaction(FKind);
}

void TQueryStatement::TakeStatementState(const TRemoteStatementState& state) {
    FKind = state.Kind;
    FLive = state.Live;
    FLiveCompanion = state.LiveCompanion;
    FSelectAll = state.SelectAll;
}

void TQueryStatement::OpenResultCursor(TRemoteReply& reply) {
    const int64_t version = Session()->GetServerVersion();
    std::string database = kRemoteQueryDatabase;
    bool readFieldDefs = FLive != 0;
    bool setOrigins = false;
    if (version >= SERVER_VERSION_SELECT_ALL) {
        readFieldDefs = false;
        if (FLive) {
            FResultTableName = reply.GetString();
            database = FResultTableName;
            setOrigins = FSelectAll != 0;
            readFieldDefs = !setOrigins;
        }
    }
    FResultTableName = database;
    FResultDatabase = Session()->OpenDataDirectory(database, {}, true);
    try {
        FResultCursor = new TDataCursor(FResultDatabase, true);
        FResultCursor->OpenRemoteResult(readFieldDefs, setOrigins);
    } catch (...) {
        CloseResultCursor();
        throw;
    }
}

void TQueryStatement::CloseResultCursor() noexcept {
    delete FResultCursor;
    FResultCursor = nullptr;
    if (FResultDatabase) {
        try {
            Session()->CloseDataDirectory(FResultDatabase);
        } catch (...) {
            // The session frees its databases at its end.
        }
        FResultDatabase = nullptr;
    }
}

void TQueryStatement::MirrorTransaction(uint8_t kind) {
    TDataDirectory* database = FOwnerDatabase;
    if (!database) return;
    if (kind == skStartTransaction && !database->InTransaction()) {
        database->StartTransaction(true);
    } else if (kind == skRollback && database->InTransaction()) {
        database->Rollback(true);
    } else if (kind == skCommit && database->InTransaction()) {
        database->Commit(true, false, true);
    }
}

}  // namespace kura
