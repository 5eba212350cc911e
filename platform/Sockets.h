#pragma once
// Blocking TCP sockets with a time limit, the one door through which the engine's
// remote client (and the tests' loopback server) reach the network.
//
// Contract:
// - Every call is blocking but bounded: a write waits at most the socket's time limit
//   for room, a read at most that long for data. A call that fails, times out or
//   meets the peer's close marks the socket not connected and stores the Windows
//   Sockets number of the fault (WSAGetLastError); nothing throws.
// - Connected() is false once any fault was seen; the caller decides what that means.
// - Writes never raise SIGPIPE. Keep-alive probes are on, so a peer that vanished
//   without closing shows up as a fault even while a reader waits for long.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class TcpSocket {
public:
    TcpSocket() = default;
    // Takes over an already connected descriptor (a listener's accepted socket).
    explicit TcpSocket(int fd);
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to host (a name, resolved) or else address (dotted), at the service's
    // port when a service is named, else at port. False when no connection came up.
    bool Open(const std::string& host, const std::string& address, int32_t port, const std::string& service);
    void Close();
    bool Connected() const { return fd_ >= 0; }

    // Milliseconds one write or read may wait; 0 or less waits without limit.
    void SetTimeLimit(int32_t milliseconds) { timeLimit_ = milliseconds; }

    // True when data (or the peer's close) is ready to read within milliseconds.
    bool WaitForData(int32_t milliseconds);
    // Writes up to length bytes; the number written, 0 on a fault (then not connected).
    int32_t Write(const void* bytes, int32_t length);
    // Reads up to length bytes; the number read, 0 at the peer's close or on a fault
    // (then not connected).
    int32_t Read(void* bytes, int32_t length);

private:
    void Fail(int err);
    int fd_ = -1;
    int32_t timeLimit_ = 0;
};

// A listening socket on the loopback address, for the tests' server.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Listens on 127.0.0.1 at port, 0 picks a free one. False on failure.
    bool Listen(int32_t port = 0);
    // The port listened on; 0 when not listening.
    int32_t Port() const { return port_; }
    // The next connection within milliseconds; nullptr when none came.
    std::unique_ptr<TcpSocket> Accept(int32_t milliseconds);
    void Close();

private:
    int fd_ = -1;
    int32_t port_ = 0;
};

}  // namespace platform
