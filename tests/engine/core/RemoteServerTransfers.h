#pragma once
// Test server area: delimited-text import and export (the server opens the file
// the client names: both run on one machine) and table restructuring, which asks
// its question and reports progress through callback frames (kinds 7 and 8; import
// and export progress are kinds 15 and 16).
#include <bitset>
#include <memory>

#include "engine/core/DelimitedText.h"
#include "engine/core/Restructure.h"
#include "tests/engine/core/RemoteServerIndexes.h"

namespace kura::test {

// Clears a cursor's callback slots when the request is done, whatever happens.
struct TServerEventsGuard {
    TDataCursor& C;
    ~TServerEventsGuard() {
        C.Events().ImportProgress = nullptr;
        C.Events().ExportProgress = nullptr;
        C.Events().RestructureProgress = nullptr;
        C.Events().RestructureQuestion = nullptr;
    }
};

inline void ServeTransfer(TServerState& s, const TServerRequest& req, TRemoteRequest& reply, bool import) {
    TDataCursor* c = PositionedCursor(s, req);
    size_t i = kAfterPosition;
    TDelimitedTextParams params;
    params.FileName = req.Text(i++);
    params.Delimiter = static_cast<char>(req.Number(i++));
    std::vector<TFieldDesc> fields(req.Number(i++));
    for (TFieldDesc& field : fields) {
        const std::vector<uint8_t>& bytes = req.Bytes(i++);
        if (bytes.size() != FIELD_DESC_SIZE) RaiseEngineError(KURA_REMOTEINVREQUEST);
        std::copy(bytes.begin(), bytes.end(), field.Bytes.begin());
        params.Fields.push_back(field.FieldNo() == 0 ? nullptr : &field);
    }
    if (ReportedVersion(s) >= SERVER_VERSION_LOCK_PROTOCOL) {
        params.DateFormat = req.Text(i++);
        params.TimeFormat = req.Text(i++);
        params.DecimalSeparator = static_cast<char>(req.Number(i++));
    }
    if (ReportedVersion(s) >= SERVER_VERSION_FIELD_NAMES_FLAG) params.FieldNamesInFirstLine = req.Flag(i++);
    // The progress flag is the last parameter: nothing may follow it.
    if (req.Params.size() != i + 1) RaiseEngineError(KURA_REMOTEINVREQUEST);
    const bool progress = req.Flag(i);
    TServerEventsGuard guard{*c};
    if (progress) {
        const uint16_t kind = import ? 15 : 16;
        auto notify = [&s, kind](TDataCursor*, uint16_t percent) { ServerNotify(s, kind, {U16Param(percent)}); };
        (import ? c->Events().ImportProgress : c->Events().ExportProgress) = notify;
    }
    import ? c->ImportTable(params) : c->ExportTable(params);
    PutCursorState(reply, *c);
}

inline void ServeRestructure(TServerState& s, const TServerRequest& req) {
    TDataCursor* c = s.NamedCursor(req);
    size_t i = 3;
    TRestructureParams p;
    p.LocaleId = static_cast<uint16_t>(req.Number(i++));
    p.SortId = static_cast<uint16_t>(req.Number(i++));
    p.UserMajor = static_cast<uint16_t>(req.Number(i++));
    p.UserMinor = static_cast<uint16_t>(req.Number(i++));
    p.Encrypted = req.Flag(i++);
    p.Password = req.Text(i++);
    p.Description = req.Text(i++);
    p.BlobBlockSize = static_cast<uint16_t>(req.Number(i++));
    p.Fields.resize(req.Number(i++));
    for (TFieldDesc& field : p.Fields) {
        const std::vector<uint8_t>& bytes = req.Bytes(i++);
        if (bytes.size() != FIELD_DESC_SIZE) RaiseEngineError(KURA_REMOTEINVREQUEST);
        std::copy(bytes.begin(), bytes.end(), field.Bytes.begin());
    }
    p.IndexCount = static_cast<uint8_t>(req.Number(i++));
    if (p.IndexCount > MAX_SECONDARY_INDEXES) RaiseEngineError(KURA_REMOTEINVREQUEST);
    auto index = [&](TIndexDesc& desc) {
        const std::vector<uint8_t>& bytes = req.Bytes(i++);
        if (bytes.size() != INDEX_DESC_SIZE) RaiseEngineError(KURA_REMOTEINVREQUEST);
        std::copy(bytes.begin(), bytes.end(), desc.Bytes.begin());
    };
    for (uint8_t k = 0; k <= p.IndexCount; ++k) index(p.Indexes[k]);
    TStringList words;
    std::bitset<256> spaces;
    std::bitset<256> includes;
    if (ReportedVersion(s) >= SERVER_VERSION_LOCK_PROTOCOL) {
        index(p.Indexes[SYS_TEXT_SLOT]);
        const auto count = static_cast<int32_t>(req.Number(i++));
        for (int32_t w = 0; w < count; ++w) words.Add(req.Text(i++));
        if (count >= 0) p.StopWords = &words;
        for (uint8_t ch : req.Bytes(i++)) spaces.set(ch);
        for (uint8_t ch : req.Bytes(i++)) includes.set(ch);
        // An empty set keeps the table's.
        if (spaces.any()) p.SpaceChars = &spaces;
        if (includes.any()) p.IncludeChars = &includes;
    }
    p.Option = static_cast<uint8_t>(req.Number(i++));
    p.LastAutoInc = static_cast<int32_t>(req.Number(i++));
    p.SuppressBackups = req.Flag(i++);
    const bool progress = req.Flag(i++);
    const bool questions = req.Flag(i++);
    TServerEventsGuard guard{*c};
    if (progress)
        c->Events().RestructureProgress = [&s](TDataCursor*, uint16_t percent) {
            ServerNotify(s, 7, {U16Param(percent)});
        };
    if (questions)
        c->Events().RestructureQuestion = [&s](TDataCursor*, uint8_t reason, const std::string& text, uint8_t& stop,
                                               uint8_t& go) {
            if (!s.Callback) return;
            const auto answer =
                s.CallBack({U16Param(8), {reason}, std::vector<uint8_t>(text.begin(), text.end())}, true);
            // No answer (the client went away) stops the work.
            if (answer.size() != 2 || answer[0].size() != 1 || answer[1].size() != 1) {
                go = 0;
                return;
            }
            stop = answer[0][0];
            go = answer[1][0];
        };
    c->SetExclusive(true);
    try {
        c->RestructureTable(p);
    } catch (...) {
        c->SetExclusive(false);
        throw;
    }
    c->SetExclusive(false);
}

inline void RegisterTransferArea(TServerAreas& areas) {
    areas.On(REQUEST_IMPORTTABLE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        ServeTransfer(s, req, reply, true);
    });
    areas.On(REQUEST_EXPORTTABLE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        ServeTransfer(s, req, reply, false);
    });
    areas.On(REQUEST_RESTRUCTURETABLE,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { ServeRestructure(s, req); });
}

}  // namespace kura::test
