#pragma once
// What every request area of the loopback test server shares: the parsed request,
// the server's own engine state (its session, databases, directory and cursor
// handles), and the table of request handlers the areas fill in.
//
// An area is one header that defines `Register<Area>Area(TServerAreas&)`, adding a
// handler per request code; RemoteServerAreas.h includes it and calls it (one line).
// A handler answers by writing reply parameters; an engine error it raises becomes an
// error reply with the error's six context strings.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/RemoteFrame.h"
#include "engine/errors/EngineErrors.h"

namespace kura::test {

// A frame as the server would send it (uncompressed), with the parameters `fill`
// puts in: the input of the client's reply readers.
inline std::vector<uint8_t> ReplyFrame(const std::function<void(TRemoteRequest&)>& fill) {
    TRemoteRequest r;
    r.SetCode(0);
    fill(r);
    r.Finish(false);
    return std::vector<uint8_t>(r.Data(), r.Data() + r.Header().TotalSize);
}

struct TServerRequest {
    uint16_t Code = 0;
    std::vector<std::vector<uint8_t>> Params;
    std::vector<uint8_t> Wire;  // the frame as it came over the wire
    int Connection = 0;         // 1 for the first accepted connection

    const std::vector<uint8_t>& Bytes(size_t i) const {
        if (i >= Params.size()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return Params[i];
    }
    std::string Text(size_t i) const { return std::string(Bytes(i).begin(), Bytes(i).end()); }
    uint64_t Number(size_t i) const {
        uint64_t v = 0;
        for (size_t b = Bytes(i).size(); b-- > 0;) v = (v << 8) | Params[i][b];
        return v;
    }
    bool Flag(size_t i) const { return Number(i) != 0; }
};

// The engine side of the server: what the handlers work on.
struct TServerState {
    std::string User = "admin";
    std::string Password = "secret";
    uint32_t SessionId = 4711;
    std::optional<int64_t> Version = 30400;
    TDataSession Engine;  // the server's own local session

    std::map<std::string, std::string> Databases;  // name -> folder
    std::map<uint32_t, TDataDirectory*> Directories;
    std::map<uint32_t, std::unique_ptr<TDataCursor>> Cursors;
    std::map<uint32_t, TFilter*> Filters;  // the cursors own them
    uint32_t NextHandle = 1;

    // While a handler runs: sends the client a callback frame (its parameters put by
    // build, the kind first) and, when awaits is set, returns its CALLBACKRESPONSE
    // (empty when the connection went).
    std::function<TServerRequest(const std::function<void(TRemoteRequest&)>& build, bool awaits)> Callback;
    // The same with the frame's parameters given whole; returns the response's.
    std::vector<std::vector<uint8_t>> CallBack(const std::vector<std::vector<uint8_t>>& params, bool awaits) {
        return Callback(
                   [&](TRemoteRequest& frame) {
                       for (const auto& p : params) frame.PutParam(p.data(), static_cast<uint32_t>(p.size()));
                   },
                   awaits)
            .Params;
    }

    uint32_t NewHandle() { return NextHandle++; }
    TDataDirectory* Directory(const TServerRequest& req) {
        const auto it = Directories.find(static_cast<uint32_t>(req.Number(0)));
        if (it == Directories.end()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return it->second;
    }
    // The cursor whose handle comes first in the request.
    TDataCursor* Cursor(const TServerRequest& req) {
        const auto it = Cursors.find(static_cast<uint32_t>(req.Number(0)));
        if (it == Cursors.end()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return it->second.get();
    }
    // A closed cursor named for a table-level request: name and in-memory flag follow the handle.
    TDataCursor* NamedCursor(const TServerRequest& req) {
        TDataCursor* c = Cursor(req);
        c->SetTableName(req.Text(1));
        c->SetInMemory(req.Flag(2));
        return c;
    }
};

// Replaces whatever the reply holds with an error reply.
inline void FailReply(TRemoteRequest& reply, uint16_t code, const std::vector<std::string>& strings) {
    reply.SetCode(code);
    reply.Reset();
    for (const std::string& s : strings) reply.PutString(s);
}

using TServerHandler = std::function<void(TServerState&, const TServerRequest&, TRemoteRequest&)>;

class TServerAreas {
public:
    void On(uint16_t code, TServerHandler handler) { handlers_[code] = std::move(handler); }
    const TServerHandler* Find(uint16_t code) const {
        const auto it = handlers_.find(code);
        return it == handlers_.end() ? nullptr : &it->second;
    }

private:
    std::map<uint16_t, TServerHandler> handlers_;
};

}  // namespace kura::test
