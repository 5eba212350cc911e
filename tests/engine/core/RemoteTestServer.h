#pragma once
// A database server for tests only: it speaks the frame protocol on a loopback port
// and answers requests by calling our own local engine, one connection at a time, on
// a thread of its own. A script may replace the answer to any request with a fault
// (a reply cut off mid-frame, a late reply, raw bytes, a closed connection).
// The answers themselves come from the request areas of RemoteServerAreas.h.
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
#include "tests/engine/core/RemoteServerAreas.h"

namespace kura::test {

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

class TRemoteTestServer : public TServerState {
public:
    using Script = std::function<TServerAction(const TServerRequest&)>;

    TRemoteTestServer() {
        RegisterServerAreas(areas_);
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
    // Configures the session for this server and logs it in with the server's user.
    void LogIn(TDataSession& session, bool lan = true) const {
        Configure(session, lan);
        session.RemoteUser = User;
        session.RemotePassword = Password;
        session.Connect();
        session.Login();
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
    void ClearRequests() {
        std::lock_guard<std::mutex> g(mutex_);
        requests_.clear();
    }
    std::vector<TServerRequest> Requests() {
        std::lock_guard<std::mutex> g(mutex_);
        return requests_;
    }
    // Frames that crossed the connection so far, both ways: requests, callback
    // frames, callback responses and replies (a round trip counts 2).
    uint64_t Frames() const { return frames_; }
    // Off: requests are counted but not kept (long benchmark runs).
    std::atomic<bool> KeepRequests{true};

    // Database names the server knows, with their folders.
    void AddDatabase(const std::string& name, const std::string& path) { Databases[name] = path; }

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
        ++frames_;
        TServerAction action;
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (KeepRequests) requests_.push_back(req);
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
        // A lost client ends the exchange; the handlers see an empty response.
        bool lost = false;
        Callback = [&](const std::function<void(TRemoteRequest&)>& build, bool awaits) {
            TServerRequest got;
            if (lost) return got;
            TRemoteRequest frame;
            frame.SetCode(KURA_REMOTECALLBACK);
            build(frame);
            frame.Finish(compressed);
            ++frames_;
            WriteAll(s, frame.Data(), frame.Header().TotalSize);
            if (!awaits) return got;
            std::vector<uint8_t> response;
            if (!ReadFrame(s, response)) {
                lost = true;
                return got;
            }
            got = Parse(response, compressed);
            ++frames_;
            Record(got);
            return got;
        };
        for (const TServerCallback& cb : action.Callbacks) {
            CallBack(cb.Params, cb.Awaits);
            if (lost) break;
        }
        if (lost) {
            Callback = nullptr;
            return;
        }
        TRemoteRequest reply;  // a reply has the request's layout, the code being the error
        Answer(req, reply);
        Callback = nullptr;
        // The client went away in the middle: it reconnects and asks again.
        if (lost) return;
        if (req.Code == REQUEST_LOGOUT || action.Fault == TFault::NoReply) return;
        reply.Finish(compressed);
        const uint32_t total = reply.Header().TotalSize;
        if (action.Fault == TFault::Delay) std::this_thread::sleep_for(std::chrono::milliseconds(action.DelayMs));
        if (action.Fault == TFault::DropMidFrame) {
            s.Write(reply.Data(), static_cast<int32_t>(total / 2 > 4 ? total / 2 : 5));
            s.Close();
            return;
        }
        ++frames_;
        WriteAll(s, reply.Data(), total);
    }

    void Record(TServerRequest req) {
        std::lock_guard<std::mutex> g(mutex_);
        if (KeepRequests) requests_.push_back(std::move(req));
    }

    static void WriteAll(platform::TcpSocket& s, const uint8_t* bytes, uint32_t total) {
        for (uint32_t sent = 0; sent < total;) {
            const int32_t n = s.Write(bytes + sent, static_cast<int32_t>(total - sent));
            if (n <= 0) return;
            sent += static_cast<uint32_t>(n);
        }
    }

    void Answer(const TServerRequest& req, TRemoteRequest& reply) {
        reply.SetCode(0);
        reply.Reset();
        try {
            if (const TServerHandler* handler = areas_.Find(req.Code))
                (*handler)(*this, req, reply);
            else
                FailReply(reply, KURA_REMOTEINVREQUEST, {});
        } catch (const EKuraEngineError& e) {
            FailReply(reply, e.ErrorCode(),
                 {e.ErrorContext(ctxUser), e.ErrorContext(ctxDatabase), e.ErrorContext(ctxTable),
                  e.ErrorContext(ctxField), e.ErrorContext(ctxIndex), e.ErrorContext(ctxMessage)});
        }
    }

    platform::TcpListener listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Script script_;
    std::vector<TServerRequest> requests_;
    TServerAreas areas_;
    std::atomic<int> connections_{0};
    std::atomic<uint64_t> frames_{0};
    bool lan_ = true;
};

}  // namespace kura::test
