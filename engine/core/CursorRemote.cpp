// The cursor's side of the remote protocol: its requests carry its server handle
// first, and while the server works on one it may call back (password, status,
// progress, restructure questions) any number of times before the final reply.
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"

namespace kura {

namespace {

// Callback kinds of the server's callback frames.
enum : uint16_t {
    cbPassword = 0,
    cbFilterRecord = 1,
    cbStatusNumber = 2,
    cbStatusText = 3,
    cbIndexProgress = 4,
    cbProgress = 5,
    cbProgress2 = 6,
    cbRestructureProgress = 7,
    cbRestructureQuestion = 8,
    cbStatusNumber2 = 9,
    cbStatusText2 = 10,
    cbImportProgress = 15,
    cbExportProgress = 16,
};

// Requests whose header is not kept as the cursor's last request.
bool KeepsLastRequest(TRequestCode code) {
    if (code == 17 || code == 31 || code == 32 || code == 38 || code == 39 || code == 75 || code == 120) return false;
    if ((code >= 41 && code <= 45) || (code >= 61 && code <= 70) || (code >= 83 && code <= 85)) return false;
    return true;
}

}  // namespace

TRemoteChannel& TDataCursor::RemoteChannel() const {
    TDataSession* session = GetSession();
    if (!session) RaiseError(KURA_NOTINITIALIZED);
    return session->Channel();
}

TRemoteRequest& TDataCursor::BeginRemote(TRequestCode code) {
    TRemoteChannel& channel = RemoteChannel();
    channel.BeginRequest(code);
    channel.Request().PutU32(FRemoteHandle);
    return channel.Request();
}

TRemoteReply& TDataCursor::SendRemote() {
    TRemoteChannel& channel = RemoteChannel();
    channel.SendAndReceive();
    if (KeepsLastRequest(channel.GetRequestCode())) WriteFrameHeader(FLastRequest.data(), channel.Request().Header());
    std::vector<uint8_t> response;
    while (channel.GetReplyCode() == KURA_REMOTECALLBACK) {
        response.clear();
        bool answers = false;
        try {
            answers = ServeRemoteCallback(channel.Reply(), response);
        } catch (...) {
            // A handler that gives up leaves the server waiting in the middle of the
            // request: only a new connection brings both ends back in step.
            channel.Disconnect();
            throw;
        }
        if (answers) {
            channel.SendCallbackResponse([&](TRemoteRequest& r) {
                for (uint8_t b : response) r.PutByte(b);
            });
        } else {
            channel.ReceiveNext();
        }
    }
    channel.CheckReplyError();
    return channel.Reply();
}

bool TDataCursor::ServeRemoteCallback(TRemoteReply& reply, std::vector<uint8_t>& response) {
    const uint16_t kind = reply.GetU16();
    switch (kind) {
        case cbPassword:
            response.push_back(DoPasswordEvent() ? 1 : 0);
            return true;
        case cbFilterRecord:
            response.push_back(RemoteCallbackFilterPasses(reply) ? 1 : 0);
            return true;
        case cbStatusNumber:
        case cbStatusNumber2: {
            const std::string text = reply.GetString();
            const uint16_t number = reply.GetU16();
            kind == cbStatusNumber ? DoStatusNumber(text, number) : DoStatusNumber2(text, number);
            return false;
        }
        case cbStatusText:
        case cbStatusText2: {
            const std::string text = reply.GetString();
            kind == cbStatusText ? DoStatusText(text) : DoStatusText2(text);
            return false;
        }
        case cbIndexProgress: DoIndexProgress(reply.GetU16()); return false;
        case cbProgress: DoProgress(reply.GetU16()); return false;
        case cbProgress2: DoProgress2(reply.GetU16()); return false;
        case cbRestructureProgress: DoRestructureProgress(reply.GetU16()); return false;
        case cbImportProgress: DoImportProgress(reply.GetU16()); return false;
        case cbExportProgress: DoExportProgress(reply.GetU16()); return false;
        case cbRestructureQuestion: {
            const uint8_t question = reply.GetByte();
            const std::string text = reply.GetString();
            // The answers start as a local restructure's do (stop asking: no; continue:
            // yes), so a handler that leaves them alone lets the work go on.
            uint8_t answer1 = 0;
            uint8_t answer2 = 1;
            DoRestructureQuestion(question, text, answer1, answer2);
            response.push_back(answer1);
            response.push_back(answer2);
            return true;
        }
        default:
            // A kind the client does not know leaves the exchange in an unknown state.
            reply.RaiseMalformed();
    }
}

// ---- Remote BLOB transfers ---------------------------------------------------------

std::vector<uint8_t> TDataCursor::GetReplyParam() {
    const std::span<const uint8_t> param = RemoteChannel().Reply().NextParam();
    return std::vector<uint8_t>(param.begin(), param.end());
}

void TDataCursor::PutRequestParam(const void* bytes, uint32_t length) {
    RemoteChannel().Request().PutParam(bytes, length);
}

// ---- Table-level requests of a closed cursor -----------------------------------------

void TDataCursor::CreateRemoteCursor() {
    TRemoteChannel& channel = RemoteChannel();
    channel.BeginRequest(REQUEST_CREATECURSOR);
    channel.Request().PutU32(FDirectory->RemoteHandle);
    FRemoteHandle = SendRemote().GetU32();
}

void TDataCursor::FreeRemoteCursor() noexcept {
    if (FRemoteHandle == 0 || FQueryResult) return;
    try {
        BeginRemote(REQUEST_FREECURSOR);
        SendRemote();
    } catch (...) {
        // The server forgets the cursor with the session anyway.
    }
    FRemoteHandle = 0;
}

void TDataCursor::GetRemoteDataHeader(uint8_t* buffer) {
    TRemoteRequest& request = BeginRemote(REQUEST_GETDATAHEADER);
    request.PutString(FTableName);
    request.PutBool(FInMemory);
    TRemoteReply& reply = SendRemote();
    std::memset(buffer, 0, DATA_HEADER_SIZE);
    reply.GetParam(buffer, DATA_HEADER_SIZE);
}

void TDataCursor::SendRemoteTableRequest(TRequestCode code, std::string_view newName) {
    TRemoteRequest& request = BeginRemote(code);
    request.PutString(FTableName);
    request.PutBool(FInMemory);
    if (code == REQUEST_RENAMETABLE) request.PutString(newName);
    SendRemote();
}

void TDataCursor::SendRemoteCreateTable(const TRemoteTableDefinition& d) {
    TRemoteRequest& request = BeginRemote(REQUEST_CREATETABLE);
    request.PutString(FTableName);
    request.PutBool(FInMemory);
    request.PutBool(FTemporaryFiles);
    PutRemoteDefinition(request, d);
    request.PutBool(d.NoPrimaryIndex);
    request.PutBool(d.Overwrite);
    SendRemote();
}

void TDataCursor::PutRemoteDefinition(TRemoteRequest& request, const TRemoteTableDefinition& d) {
    request.PutU16(d.LocaleId);
    request.PutU16(d.SortId);
    request.PutU16(d.UserMajor);
    request.PutU16(d.UserMinor);
    request.PutBool(d.Encrypted);
    request.PutString(d.Password);
    request.PutString(d.Description);
    request.PutU16(d.BlobBlockSize);
    // The definitions were checked: the counts fit their parameters.
    request.PutU16(static_cast<uint16_t>(d.Fields->size()));
    for (const TFieldDesc& field : *d.Fields) request.PutParam(field.Data(), FIELD_DESC_SIZE);
    request.PutByte(static_cast<uint8_t>(d.SecondaryCount));
    for (uint32_t i = 0; i <= d.SecondaryCount; ++i) request.PutParam((*d.Indexes)[i].Bytes.data(), INDEX_DESC_SIZE);
    // Servers before 3.04 know no full-text index. Parameters left unset keep the
    // table's: no stop-word list goes as the count -1, an unset character set as an
    // empty one.
    if (GetServerVersion() >= SERVER_VERSION_LOCK_PROTOCOL) {
        PutRemoteTextIndex(request, (*d.Indexes)[SYS_TEXT_SLOT], d.StopWords, d.SpaceChars, d.IncludeChars);
    }
}

void PutRemoteTextIndex(TRemoteRequest& request, const TIndexDesc& textIndex, const TStringList* stopWords,
                        const std::bitset<256>* spaceChars, const std::bitset<256>* includeChars) {
    request.PutParam(textIndex.Bytes.data(), INDEX_DESC_SIZE);
    request.PutI32(stopWords ? stopWords->Count() : -1);
    if (stopWords)
        for (int32_t i = 0; i < stopWords->Count(); ++i) request.PutString(stopWords->Get(i));
    request.PutString(spaceChars ? CharSetMembers(*spaceChars) : std::string());
    request.PutString(includeChars ? CharSetMembers(*includeChars) : std::string());
}

std::string CharSetMembers(const std::bitset<256>& set) {
    std::string members;
    for (size_t c = 0; c < set.size(); ++c)
        if (set[c]) members.push_back(static_cast<char>(c));
    return members;
}

}  // namespace kura
