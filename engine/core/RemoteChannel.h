#pragma once
// The remote client channel of one session: one TCP connection to a database
// server, one request in flight at a time.
//
// Every remote operation follows the same steps, in order:
//   BeginRequest(code)   re-connect when needed (REQUEST_RECONNECT keeps the server's
//                        session id), set the code, empty the payload
//   Put*(...)            the parameters the operation's request lists, in order
//   Exchange()           finish the frame (zlib level 9 on internet connections), send
//                        it and receive the reply; a lost connection is re-connected
//                        once and the request repeated, a second loss raises
//                        KURA_REMOTECOMMLOST; a reply carrying an error code raises it
//                        with the server's six context strings
//   Reply().Get*()       the reply's parameters; a malformed reply drops the connection
//                        and raises KURA_UNCOMPRESS
//
// States: disconnected -> Connect -> connected -> Login -> logged in -> Logout ->
// disconnected. A send or receive failure disconnects; the next request re-connects.
// The client waits for a reply as long as the connection stays open (each wait is
// RemoteTimeout seconds; keep-alive probes notice a vanished server).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/core/RemoteFrame.h"

namespace platform {
class TcpSocket;
}

namespace kura {

class TDataSession;

// The client's engine version in CONNECTPARAMS and RECONNECT (currency 3.30).
constexpr int64_t REMOTE_CLIENT_VERSION = 33000;
constexpr int REMOTE_LOGIN_ATTEMPTS = 3;

class TRemoteChannel {
public:
    explicit TRemoteChannel(TDataSession& session);
    ~TRemoteChannel();
    TRemoteChannel(const TRemoteChannel&) = delete;
    TRemoteChannel& operator=(const TRemoteChannel&) = delete;

    void Connect();
    void Reconnect();
    void Disconnect();
    void Login();
    void Logout();
    void SendSessionParams();
    bool Connected() const;

    void CheckConnected();
    void BeginRequest(TRequestCode code);
    TRemoteRequest& Request() { return FRequest; }
    // Finish, send, receive (with the one retry) and raise a carried error.
    void Exchange();
    // The same without the error check, for callers that read the code themselves.
    void SendAndReceive();
    void CheckReplyError();
    TRemoteReply& Reply() { return FReply; }
    // Inside a pending request that the server interrupted with a callback frame: the
    // next frame of the same exchange, either simply awaited or after sending
    // REQUEST_CALLBACKRESPONSE with what build puts in. Neither is repeated after a
    // lost connection (the server's work would run twice).
    void ReceiveNext();
    void SendCallbackResponse(const std::function<void(TRemoteRequest&)>& build);
    TRequestCode GetRequestCode() const { return FRequest.Code(); }
    uint16_t GetReplyCode() const { return FReply.Code(); }

private:
    bool CompressionApplies() const;
    void OpenSocket(bool reconnecting);
    void SendRequest();
    void ReceiveReply();
    // Exchanges the connection or re-connection request, uncompressed and without retry.
    void ExchangeUnretried();
    // CONNECTPARAMS or RECONNECT: built, exchanged uncompressed and without retry.
    void ExchangeHandshake(TRequestCode code);
    void PutClientName();
    [[noreturn]] void RaiseCommLost();
    void Trace(const std::string& line) const;

    TDataSession& FSession;
    std::unique_ptr<platform::TcpSocket> FSocket;
    bool FCompressionSuppressed = false;
    TRemoteRequest FRequest;
    TRemoteReply FReply;
};

}  // namespace kura
