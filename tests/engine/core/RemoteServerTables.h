#pragma once
// Test server area: creating and freeing cursors, and the table-level requests of a
// closed cursor (header, existence, create, delete, rename).
#include <array>
#include <bitset>

#include "engine/files/StringList.h"
#include "tests/engine/core/RemoteServerCore.h"

namespace kura::test {

inline void ServeCreateTable(TServerState& s, const TServerRequest& req) {
    TDataCursor* c = s.NamedCursor(req);
    c->SetTemporaryFiles(req.Flag(3));
    size_t i = 4;
    const auto locale = static_cast<uint16_t>(req.Number(i++));
    const auto sort = static_cast<uint16_t>(req.Number(i++));
    const auto major = static_cast<uint16_t>(req.Number(i++));
    const auto minor = static_cast<uint16_t>(req.Number(i++));
    const bool encrypted = req.Flag(i++);
    const std::string password = req.Text(i++);
    const std::string description = req.Text(i++);
    const auto blobSize = static_cast<uint16_t>(req.Number(i++));
    std::vector<TFieldDesc> fields(req.Number(i++));
    for (TFieldDesc& f : fields) std::copy(req.Bytes(i).begin(), req.Bytes(i).end(), f.Bytes.begin()), ++i;
    const auto secondary = static_cast<uint32_t>(req.Number(i++));
    std::array<TIndexDesc, INDEX_SLOT_COUNT> indexes{};
    for (uint32_t k = 0; k <= secondary; ++k, ++i)
        std::copy(req.Bytes(i).begin(), req.Bytes(i).end(), indexes[k].Bytes.begin());
    TStringList words;
    bool haveWords = false;
    std::bitset<256> spaces;
    std::bitset<256> includes;
    if (req.Params.size() - i > 2) {
        std::copy(req.Bytes(i).begin(), req.Bytes(i).end(), indexes[SYS_TEXT_SLOT].Bytes.begin());
        ++i;
        const auto count = static_cast<int32_t>(req.Number(i++));
        haveWords = count >= 0;
        for (int32_t w = 0; w < count; ++w) words.Add(req.Text(i++));
        for (uint8_t ch : req.Bytes(i++)) spaces.set(ch);
        for (uint8_t ch : req.Bytes(i++)) includes.set(ch);
    }
    const bool noPrimary = req.Flag(i++);
    const bool overwrite = req.Flag(i++);
    c->SetExclusive(true);
    c->CreateTable(locale, sort, overwrite, haveWords ? &words : nullptr, spaces, includes, fields, indexes, secondary,
                   blobSize, description, password, encrypted, major, minor, noPrimary);
    c->SetExclusive(false);
}

inline void RegisterTableArea(TServerAreas& areas) {
    areas.On(REQUEST_TABLEEXISTS, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        reply.PutBool(s.Directory(req)->TableExists(req.Text(1), req.Flag(2)));
    });
    areas.On(REQUEST_CREATECURSOR, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataDirectory* dir = s.Directory(req);
        const uint32_t handle = s.NewHandle();
        s.Cursors[handle] = std::make_unique<TDataCursor>(dir);
        reply.PutU32(handle);
    });
    areas.On(REQUEST_FREECURSOR, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Cursors.erase(static_cast<uint32_t>(req.Number(0)));
    });
    areas.On(REQUEST_GETDATAHEADER, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        uint8_t header[DATA_HEADER_SIZE];
        s.NamedCursor(req)->GetDataHeader(header);
        reply.PutParam(header, DATA_HEADER_SIZE);
    });
    areas.On(REQUEST_DELETETABLE,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.NamedCursor(req)->DeleteTable(); });
    areas.On(REQUEST_CREATETABLE,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { ServeCreateTable(s, req); });
    areas.On(REQUEST_RENAMETABLE, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.NamedCursor(req)->RenameTable(req.Text(3));
    });
}

}  // namespace kura::test
