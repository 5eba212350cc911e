#pragma once
// A database server for tests only: it speaks the frame protocol on a loopback port
// and answers requests by calling our own local engine, one connection at a time, on
// a thread of its own. A script may replace the answer to any request with a fault
// (a reply cut off mid-frame, a late reply, raw bytes, a closed connection).
#include <atomic>
#include <bitset>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/RemoteFrame.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Compression.h"
#include "engine/files/StringList.h"
#include "platform/Sockets.h"

namespace kura::test {

struct TServerRequest {
    uint16_t Code = 0;
    std::vector<std::vector<uint8_t>> Params;
    std::vector<uint8_t> Wire;  // the frame as it came over the wire
    int Connection = 0;         // 1 for the first accepted connection

    std::string Text(size_t i) const { return std::string(Params.at(i).begin(), Params.at(i).end()); }
    uint64_t Number(size_t i) const {
        uint64_t v = 0;
        for (size_t b = Params.at(i).size(); b-- > 0;) v = (v << 8) | Params.at(i)[b];
        return v;
    }
};

enum class TFault { None, DropMidFrame, Delay, Raw, Close, NoReply };

// A callback frame the server sends while it works on a request.
struct TServerCallback {
    std::vector<std::vector<uint8_t>> Params;  // the first is the 16-bit kind
    bool Awaits = false;                       // the server reads a CALLBACKRESPONSE after it
};

struct TServerAction {
    TFault Fault = TFault::None;
    int DelayMs = 0;
    std::vector<uint8_t> Raw;  // for TFault::Raw: sent as it is, instead of the reply
    std::vector<TServerCallback> Callbacks;
};

class TRemoteTestServer {
public:
    using Script = std::function<TServerAction(const TServerRequest&)>;

    TRemoteTestServer() {
        listener_.Listen(0);
        thread_ = std::thread([this] { Run(); });
    }
    ~TRemoteTestServer() {
        stop_ = true;
        thread_.join();
    }

    int32_t Port() const { return listener_.Port(); }
    void SetScript(Script script) {
        std::lock_guard<std::mutex> g(mutex_);
        script_ = std::move(script);
    }
    // Points a session at this server (remote, LAN unless told otherwise).
    void Configure(TDataSession& session, bool lan = true) const {
        session.SetRemote(true);
        session.SetRemoteType(lan);
        session.RemoteAddress = "127.0.0.1";
        session.RemotePort = Port();
    }
    // The requests seen so far, after waiting up to timeoutMs for at least count of
    // them (a logout has no reply to wait for).
    std::vector<TServerRequest> Requests(size_t count, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 5) {
            {
                std::lock_guard<std::mutex> g(mutex_);
                if (requests_.size() >= count) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Requests();
    }
    std::vector<TServerRequest> Requests() {
        std::lock_guard<std::mutex> g(mutex_);
        return requests_;
    }
    // Database names the server knows, with their folders.
    void AddDatabase(const std::string& name, const std::string& path) { databases_[name] = path; }

    std::string User = "admin";
    std::string Password = "secret";
    uint32_t SessionId = 4711;
    std::optional<int64_t> Version = 30400;
    TDataSession Engine;  // the server's own local session

private:
    void Run() {
        while (!stop_) {
            std::unique_ptr<platform::TcpSocket> client = listener_.Accept(50);
            if (!client) continue;
            ++connections_;
            client->SetTimeLimit(5000);
            while (!stop_ && client->Connected()) {
                if (!client->WaitForData(50)) continue;
                std::vector<uint8_t> frame;
                if (!ReadFrame(*client, frame)) break;
                Serve(*client, frame);
            }
        }
    }

    static bool ReadExactly(platform::TcpSocket& s, uint8_t* dest, uint32_t n) {
        for (uint32_t got = 0; got < n;) {
            const int32_t r = s.Read(dest + got, static_cast<int32_t>(n - got));
            if (r <= 0) return false;
            got += static_cast<uint32_t>(r);
        }
        return true;
    }

    static bool ReadFrame(platform::TcpSocket& s, std::vector<uint8_t>& frame) {
        frame.resize(4);
        if (!ReadExactly(s, frame.data(), 4)) return false;
        const uint32_t total = frame[0] | (frame[1] << 8) | (frame[2] << 16) | (uint32_t{frame[3]} << 24);
        if (total < REMOTE_HEADER_SIZE || total > (64u << 20)) return false;
        frame.resize(total);
        return ReadExactly(s, frame.data() + 4, total - 4);
    }

    static TServerRequest Parse(const std::vector<uint8_t>& wire, bool compressed) {
        TServerRequest req;
        req.Wire = wire;
        req.Code = ReadFrameHeader(wire.data()).Code;
        std::vector<uint8_t> payload(wire.begin() + REMOTE_HEADER_SIZE, wire.end());
        if (compressed && !payload.empty()) {
            std::vector<uint8_t> plain;
            DecompressBuf(payload.data(), static_cast<int32_t>(payload.size()), 64 << 20, plain);
            payload = plain;
        }
        for (size_t p = 0; p + 4 <= payload.size();) {
            uint32_t len = 0;
            for (int b = 3; b >= 0; --b) len = (len << 8) | payload[p + b];
            req.Params.emplace_back(payload.begin() + p + 4, payload.begin() + p + 4 + len);
            p += 4 + len;
        }
        return req;
    }

    void Serve(platform::TcpSocket& s, const std::vector<uint8_t>& wire) {
        TServerRequest req;
        req.Wire = wire;
        req.Connection = connections_;
        TRemoteFrameHeader h = ReadFrameHeader(wire.data());
        req.Code = h.Code;
        const bool handshake = h.Code == REQUEST_CONNECTPARAMS || h.Code == REQUEST_RECONNECT;
        // The LAN flag follows the version (and in a re-connection the session id).
        if (h.Code == REQUEST_CONNECTPARAMS && wire.size() > 26) lan_ = wire[26] != 0;
        if (h.Code == REQUEST_RECONNECT && wire.size() > 34) lan_ = wire[34] != 0;
        const bool compressed = !lan_ && !handshake;
        req.Params = Parse(wire, compressed).Params;
        TServerAction action;
        {
            std::lock_guard<std::mutex> g(mutex_);
            requests_.push_back(req);
            if (script_) action = script_(req);
        }
        if (action.Fault == TFault::Close) {
            s.Close();
            return;
        }
        if (action.Fault == TFault::Raw) {
            WriteAll(s, action.Raw.data(), static_cast<uint32_t>(action.Raw.size()));
            return;
        }
        for (const TServerCallback& cb : action.Callbacks) {
            TRemoteRequest frame;
            frame.SetCode(KURA_REMOTECALLBACK);
            for (const auto& p : cb.Params) frame.PutParam(p.data(), static_cast<uint32_t>(p.size()));
            frame.Finish(compressed);
            WriteAll(s, frame.Data(), frame.Header().TotalSize);
            if (!cb.Awaits) continue;
            std::vector<uint8_t> response;
            if (!ReadFrame(s, response)) return;
            TServerRequest got = Parse(response, compressed);
            std::lock_guard<std::mutex> g(mutex_);
            requests_.push_back(got);
        }
        TRemoteRequest reply;  // a reply has the request's layout, the code being the error
        Answer(req, reply);
        if (req.Code == REQUEST_LOGOUT || action.Fault == TFault::NoReply) return;
        reply.Finish(compressed);
        const uint32_t total = reply.Header().TotalSize;
        if (action.Fault == TFault::Delay) std::this_thread::sleep_for(std::chrono::milliseconds(action.DelayMs));
        if (action.Fault == TFault::DropMidFrame) {
            s.Write(reply.Data(), static_cast<int32_t>(total / 2 > 4 ? total / 2 : 5));
            s.Close();
            return;
        }
        WriteAll(s, reply.Data(), total);
    }

    static void WriteAll(platform::TcpSocket& s, const uint8_t* bytes, uint32_t total) {
        for (uint32_t sent = 0; sent < total;) {
            const int32_t n = s.Write(bytes + sent, static_cast<int32_t>(total - sent));
            if (n <= 0) return;
            sent += static_cast<uint32_t>(n);
        }
    }

    static void Fail(TRemoteRequest& reply, uint16_t code, const std::vector<std::string>& strings) {
        reply.SetCode(code);
        reply.Reset();
        for (const std::string& s : strings) reply.PutString(s);
    }

    TDataCursor* Cursor(const TServerRequest& req) {
        const auto it = cursors_.find(static_cast<uint32_t>(req.Number(0)));
        if (it == cursors_.end()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return it->second.get();
    }
    // A closed cursor named for a table-level request: name and in-memory flag follow the handle.
    TDataCursor* NamedCursor(const TServerRequest& req) {
        TDataCursor* c = Cursor(req);
        c->SetTableName(req.Text(1));
        c->SetInMemory(req.Number(2) != 0);
        return c;
    }

    void CreateTable(const TServerRequest& req) {
        TDataCursor* c = NamedCursor(req);
        c->SetTemporaryFiles(req.Number(3) != 0);
        size_t i = 4;
        const auto locale = static_cast<uint16_t>(req.Number(i++));
        const auto sort = static_cast<uint16_t>(req.Number(i++));
        const auto major = static_cast<uint16_t>(req.Number(i++));
        const auto minor = static_cast<uint16_t>(req.Number(i++));
        const bool encrypted = req.Number(i++) != 0;
        const std::string password = req.Text(i++);
        const std::string description = req.Text(i++);
        const auto blobSize = static_cast<uint16_t>(req.Number(i++));
        std::vector<TFieldDesc> fields(req.Number(i++));
        for (TFieldDesc& f : fields) std::copy(req.Params.at(i).begin(), req.Params.at(i).end(), f.Bytes.begin()), ++i;
        const auto secondary = static_cast<uint32_t>(req.Number(i++));
        std::array<TIndexDesc, INDEX_SLOT_COUNT> indexes{};
        for (uint32_t k = 0; k <= secondary; ++k, ++i)
            std::copy(req.Params.at(i).begin(), req.Params.at(i).end(), indexes[k].Bytes.begin());
        TStringList words;
        bool haveWords = false;
        std::bitset<256> spaces;
        std::bitset<256> includes;
        if (req.Params.size() - i > 2) {
            std::copy(req.Params.at(i).begin(), req.Params.at(i).end(), indexes[SYS_TEXT_SLOT].Bytes.begin());
            ++i;
            const auto count = static_cast<int32_t>(req.Number(i++));
            haveWords = count >= 0;
            for (int32_t w = 0; w < count; ++w) words.Add(req.Text(i++));
            for (uint8_t ch : req.Params.at(i++)) spaces.set(ch);
            for (uint8_t ch : req.Params.at(i++)) includes.set(ch);
        }
        const bool noPrimary = req.Number(i++) != 0;
        const bool overwrite = req.Number(i++) != 0;
        c->SetExclusive(true);
        c->CreateTable(locale, sort, overwrite, haveWords ? &words : nullptr, spaces, includes, fields, indexes,
                       secondary, blobSize, description, password, encrypted, major, minor, noPrimary);
        c->SetExclusive(false);
    }

    TDataDirectory* Directory(const TServerRequest& req) {
        const auto it = handles_.find(static_cast<uint32_t>(req.Number(0)));
        if (it == handles_.end()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return it->second;
    }

    void Answer(const TServerRequest& req, TRemoteRequest& reply) {
        reply.SetCode(0);
        reply.Reset();
        try {
            Dispatch(req, reply);
        } catch (const EKuraEngineError& e) {
            Fail(reply, e.ErrorCode(),
                 {e.ErrorContext(ctxUser), e.ErrorContext(ctxDatabase), e.ErrorContext(ctxTable),
                  e.ErrorContext(ctxField), e.ErrorContext(ctxIndex), e.ErrorContext(ctxMessage)});
        }
    }

    void Dispatch(const TServerRequest& req, TRemoteRequest& reply) {
        switch (req.Code) {
            case REQUEST_CONNECTPARAMS:
                reply.PutU32(SessionId);
                if (Version) reply.PutI64(*Version);
                return;
            case REQUEST_RECONNECT:
                if (req.Number(1) != SessionId) Fail(reply, KURA_REMOTECONNECT, {});
                return;
            case REQUEST_LOGIN:
                if (req.Text(0) != User || req.Text(1) != Password) Fail(reply, KURA_REMOTEINVLOGIN, {});
                return;
            case REQUEST_LOGOUT:
                return;
            case REQUEST_SESSIONPARAMS:
                Engine.SetForceBufferFlush(req.Number(0) != 0);
                Engine.SetStrictChangeDetection(req.Number(1) != 0);
                Engine.SetLockRetryCount(static_cast<uint8_t>(req.Number(2)));
                Engine.SetLockWaitTime(static_cast<uint16_t>(req.Number(3)));
                if (req.Params.size() == 6) Engine.SetLockProtocol(static_cast<uint8_t>(req.Number(4)));
                Engine.SetProgressSteps(static_cast<uint16_t>(req.Number(req.Params.size() - 1)));
                return;
            case REQUEST_OPENDATADIR: {
                const auto it = databases_.find(req.Text(0));
                if (it == databases_.end()) {
                    Fail(reply, KURA_REMOTENODB, {User, req.Text(0), "", "", "", ""});
                    return;
                }
                TDataDirectory* dir = Engine.OpenDataDirectory(it->first, it->second);
                const uint32_t handle = nextHandle_++;
                handles_[handle] = dir;
                reply.PutU32(handle);
                return;
            }
            case REQUEST_CLOSEDATADIR:
                Engine.CloseDataDirectory(Directory(req));
                handles_.erase(static_cast<uint32_t>(req.Number(0)));
                return;
            case REQUEST_ADDPASSWORD: Engine.AddPassword(req.Text(0)); return;
            case REQUEST_DELPASSWORD: Engine.RemovePassword(req.Text(0)); return;
            case REQUEST_DELALLPASSWORDS: Engine.RemoveAllPasswords(); return;
            case REQUEST_STARTTXN: Directory(req)->StartTransaction(); return;
            case REQUEST_COMMITTXN: Directory(req)->Commit(req.Number(1) != 0, req.Number(2) != 0); return;
            case REQUEST_ROLLBACKTXN: Directory(req)->Rollback(); return;
            case REQUEST_TABLEEXISTS: reply.PutBool(Directory(req)->TableExists(req.Text(1), req.Number(2) != 0)); return;
            case REQUEST_CREATECURSOR: {
                const uint32_t handle = nextHandle_++;
                cursors_[handle] = std::make_unique<TDataCursor>(Directory(req));
                reply.PutU32(handle);
                return;
            }
            case REQUEST_FREECURSOR: cursors_.erase(static_cast<uint32_t>(req.Number(0))); return;
            case REQUEST_GETDATAHEADER: {
                uint8_t header[DATA_HEADER_SIZE];
                NamedCursor(req)->GetDataHeader(header);
                reply.PutParam(header, DATA_HEADER_SIZE);
                return;
            }
            case REQUEST_DELETETABLE: NamedCursor(req)->DeleteTable(); return;
            case REQUEST_CREATETABLE: CreateTable(req); return;
            case REQUEST_RENAMETABLE: NamedCursor(req)->RenameTable(req.Text(3)); return;
            default: Fail(reply, KURA_REMOTEINVREQUEST, {}); return;
        }
    }

    platform::TcpListener listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Script script_;
    std::vector<TServerRequest> requests_;
    std::map<std::string, std::string> databases_;
    std::map<uint32_t, TDataDirectory*> handles_;
    std::map<uint32_t, std::unique_ptr<TDataCursor>> cursors_;
    uint32_t nextHandle_ = 1;
    std::atomic<int> connections_{0};
    bool lan_ = true;
};

}  // namespace kura::test
