#include "engine/core/RemoteChannel.h"

#include <algorithm>

#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/OSServices.h"
#include "platform/Sockets.h"
#include "platform/Sync.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

bool IsCommLost(const EKuraEngineError& e) { return e.ErrorCode() == KURA_REMOTECOMMLOST; }

std::string Elapsed(uint32_t since) { return std::to_string(platform::GetTickCount() - since); }

}  // namespace

TRemoteChannel::TRemoteChannel(TDataSession& session) : FSession(session) {
    FReply.SetMalformedHandler([this] { Disconnect(); });
}

TRemoteChannel::~TRemoteChannel() { Disconnect(); }

bool TRemoteChannel::Connected() const { return FSession.FConnected; }

bool TRemoteChannel::CompressionApplies() const { return !FSession.FLAN && !FCompressionSuppressed; }

void TRemoteChannel::Trace(const std::string& line) const {
    if (FSession.RemoteTrace) FSession.DoRemoteTrace(line.substr(0, std::min<size_t>(line.size(), 255)));
}

void TRemoteChannel::RaiseCommLost() {
    Disconnect();
    RaiseEngineError(KURA_REMOTECOMMLOST, FSession.GetServerName());
}

// ---- Connection ------------------------------------------------------------------

void TRemoteChannel::OpenSocket(bool reconnecting) {
    const uint32_t start = platform::GetTickCount();
    FSocket = std::make_unique<platform::TcpSocket>();
    const int32_t limit = FSession.RemoteTimeout > 0 ? FSession.RemoteTimeout * 1000 : 0;
    FSocket->SetTimeLimit(limit);
    if (!FSocket->Open(FSession.RemoteHost, FSession.RemoteAddress, FSession.RemotePort, FSession.RemoteService)) {
        FSocket.reset();
        RaiseEngineError(KURA_REMOTECONNECT, FSession.GetServerName());
    }
    FSession.FConnected = true;
    std::string line = reconnecting ? "Re-connection to " : "Connection to ";
    line += !FSession.RemoteService.empty() ? "service " + FSession.RemoteService
                                            : "port " + std::to_string(FSession.RemotePort);
    line += " at host " + (!FSession.RemoteHost.empty() ? FSession.RemoteHost : FSession.RemoteAddress);
    Trace(line + " completed in " + Elapsed(start) + " msecs");
}

void TRemoteChannel::PutClientName() {
    std::string name = GetComputerName() + std::to_string(platform::GetCurrentProcessId());
    FRequest.PutString(std::string_view(name).substr(0, std::min<size_t>(name.size(), 255)));
}

void TRemoteChannel::ExchangeHandshake(TRequestCode code) {
    FCompressionSuppressed = true;
    try {
        FRequest.SetCode(code);
        FRequest.Reset();
        FRequest.PutI64(REMOTE_CLIENT_VERSION);
        if (code == REQUEST_RECONNECT) FRequest.PutU32(FSession.FRemoteSessionId);
        FRequest.PutBool(FSession.FLAN);
        PutClientName();
        FRequest.PutU32(platform::GetCurrentThreadId());
        ExchangeUnretried();
    } catch (...) {
        FCompressionSuppressed = false;
        throw;
    }
    FCompressionSuppressed = false;
}

void TRemoteChannel::ExchangeUnretried() {
    FRequest.Finish(CompressionApplies());
    SendRequest();
    ReceiveReply();
}

void TRemoteChannel::Connect() {
    if (Connected()) return;
    FSession.FRemoteSessionId = 0;
    OpenSocket(false);
    ExchangeHandshake(REQUEST_CONNECTPARAMS);
    if (FReply.Code() != 0) {
        const uint16_t code = FReply.Code();
        Disconnect();
        RaiseEngineError(code, FSession.GetServerName());
    }
    FSession.FRemoteSessionId = FReply.GetU32();
    FSession.FServerVersion = FReply.AtEnd() ? SERVER_VERSION_NONE_REPORTED : FReply.GetI64();
}

void TRemoteChannel::Reconnect() {
    if (Connected()) return;
    OpenSocket(true);
    // The interrupted request is kept aside and put back, so it can be sent again.
    const TRemoteRequest interrupted = FRequest;
    try {
        ExchangeHandshake(REQUEST_RECONNECT);
    } catch (...) {
        FRequest = interrupted;
        throw;
    }
    FRequest = interrupted;
    if (FReply.Code() != 0) {
        const uint16_t code = FReply.Code();
        Disconnect();
        RaiseEngineError(code, FSession.GetServerName());
    }
}

void TRemoteChannel::Disconnect() {
    if (FSocket) FSocket->Close();
    FSocket.reset();
    FSession.FConnected = false;
}

// ---- Login -----------------------------------------------------------------------

void TRemoteChannel::Login() {
    std::string& user = FSession.RemoteUser;
    std::string& password = FSession.RemotePassword;
    for (int attempts = 0;;) {
        if (user.empty() || password.empty()) {
            const bool answered = FSession.FOnRemoteLogin && FSession.FOnRemoteLogin(user, password);
            if (!answered) {
                Disconnect();
                Abort();
            }
            user.resize(std::min<size_t>(user.size(), 255));
            password.resize(std::min<size_t>(password.size(), 255));
        }
        FRequest.SetCode(REQUEST_LOGIN);
        FRequest.Reset();
        FRequest.PutString(user);
        FRequest.PutString(password);
        ExchangeUnretried();
        const uint16_t code = FReply.Code();
        if (code == 0) {
            FSession.FLoggedIn = true;
            return;
        }
        if (code != KURA_REMOTEINVLOGIN) {
            Disconnect();
            RaiseEngineError(code, FSession.GetServerName(), user);
        }
        user.clear();
        password.clear();
        if (++attempts >= REMOTE_LOGIN_ATTEMPTS) {
            Disconnect();
            RaiseEngineError(KURA_REMOTEINVLOGIN, FSession.GetServerName(), user);
        }
    }
}

void TRemoteChannel::Logout() {
    if (!Connected()) return;
    FRequest.SetCode(REQUEST_LOGOUT);
    FRequest.Reset();
    FRequest.Finish(CompressionApplies());
    try {
        SendRequest();
    } catch (const EKuraEngineError& e) {
        if (!IsCommLost(e)) throw;
        Reconnect();
        SendRequest();
    }
    FSession.FLoggedIn = false;
    Disconnect();
}

void TRemoteChannel::SendSessionParams() {
    BeginRequest(REQUEST_SESSIONPARAMS);
    FRequest.PutBool(FSession.FForceBufferFlush);
    FRequest.PutBool(FSession.FStrictChangeDetection);
    FRequest.PutByte(FSession.FLockRetryCount);
    FRequest.PutU16(FSession.FLockWaitTime);
    if (FSession.FServerVersion >= SERVER_VERSION_LOCK_PROTOCOL) FRequest.PutByte(FSession.FLockProtocol);
    FRequest.PutU16(FSession.FProgressSteps);
    Exchange();
}

// ---- One request -----------------------------------------------------------------

void TRemoteChannel::CheckConnected() {
    if (!Connected()) Reconnect();
}

void TRemoteChannel::BeginRequest(TRequestCode code) {
    CheckConnected();
    FRequest.SetCode(code);
    FRequest.Reset();
}

void TRemoteChannel::SendAndReceive() {
    FRequest.Finish(CompressionApplies());
    try {
        SendRequest();
        ReceiveReply();
    } catch (const EKuraEngineError& e) {
        if (!IsCommLost(e)) throw;
        Reconnect();
        SendRequest();
        ReceiveReply();
    }
}

void TRemoteChannel::CheckReplyError() {
    if (FReply.Code() == 0) return;
    const auto s = FReply.ErrorStrings();
    RaiseEngineError(FReply.Code(), FSession.GetServerName(), s[0], s[1], s[2], s[3], s[4], s[5]);
}

void TRemoteChannel::Exchange() {
    SendAndReceive();
    CheckReplyError();
}

void TRemoteChannel::ReceiveNext() { ReceiveReply(); }

void TRemoteChannel::SendCallbackResponse(const std::function<void(TRemoteRequest&)>& build) {
    FRequest.SetCode(REQUEST_CALLBACKRESPONSE);
    FRequest.Reset();
    build(FRequest);
    ExchangeUnretried();
}

void TRemoteChannel::SendRequest() {
    const uint32_t start = platform::GetTickCount();
    const uint32_t total = FRequest.Header().TotalSize;
    uint32_t sent = 0;
    while (FSocket && FSocket->Connected() && sent < total) {
        const auto chunk = static_cast<int32_t>(std::min(total - sent, REMOTE_CHUNK_SIZE));
        const int32_t written = FSocket->Write(FRequest.Data() + sent, chunk);
        if (written <= 0) break;
        sent += static_cast<uint32_t>(written);
    }
    if (sent != total) RaiseCommLost();
    Trace("Send request - Code: " + GetRequestName(FRequest.Code()) + " Size: " + std::to_string(total) +
          " Total Time: " + Elapsed(start) + " msecs");
}

void TRemoteChannel::ReceiveReply() {
    const uint32_t start = platform::GetTickCount();
    const int32_t wait = FSession.RemoteTimeout > 0 ? FSession.RemoteTimeout * 1000 : 0;
    // Waits (again and again) while the connection stays open.
    auto waitForData = [&] {
        while (FSocket && FSocket->Connected()) {
            if (FSocket->WaitForData(wait)) return true;
        }
        return false;
    };
    uint8_t size[4];
    uint32_t got = 0;
    while (got < 4 && waitForData()) {
        const int32_t n = FSocket->Read(size + got, static_cast<int32_t>(4 - got));
        if (n <= 0) break;
        got += static_cast<uint32_t>(n);
    }
    if (got != 4) RaiseCommLost();
    // The announced size is checked before any byte is reserved for it, and the
    // buffer grows only as bytes actually arrive.
    const uint32_t total = FReply.CheckAnnouncedSize(size);
    std::vector<uint8_t> frame(size, size + 4);
    uint32_t received = 4;
    while (received < total && waitForData()) {
        const uint32_t chunk = std::min(total - received, REMOTE_CHUNK_SIZE);
        frame.resize(received + chunk);
        const int32_t n = FSocket->Read(frame.data() + received, static_cast<int32_t>(chunk));
        if (n <= 0) break;
        received += static_cast<uint32_t>(n);
    }
    if (received != total) RaiseCommLost();
    frame.resize(received);
    FReply.Load(std::move(frame), CompressionApplies());
    Trace("Receive reply - Code: " + GetEngineErrorName(FReply.Code()) +
          " Size: " + std::to_string(FReply.Header().TotalSize) + " Total Time: " + Elapsed(start) + " msecs");
}

}  // namespace kura
