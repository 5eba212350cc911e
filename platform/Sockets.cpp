#include "platform/Sockets.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "platform/LastError.h"

namespace platform {

namespace {

// Waits for events on fd; milliseconds <= 0 waits without limit. The poll result
// (0 on timeout, negative on error) with EINTR retried.
int PollFor(int fd, short events, int32_t milliseconds) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, milliseconds > 0 ? milliseconds : -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0 && (p.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        return rc;
    }
}

void SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return;
    ::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// Connects one candidate address, waiting at most milliseconds (<= 0: the system's own).
int ConnectOne(const addrinfo* ai, int32_t milliseconds) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    SetBlocking(fd, false);
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
        rc = PollFor(fd, POLLOUT, milliseconds);
        if (rc == 0) {
            errno = ETIMEDOUT;
            rc = -1;
        } else if (rc > 0) {
            int err = 0;
            socklen_t len = sizeof(err);
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
            if (err != 0) errno = err;
        }
    }
    if (rc < 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    SetBlocking(fd, true);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return fd;
}

}  // namespace

TcpSocket::TcpSocket(int fd) : fd_(fd) {}

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Open(const std::string& host, const std::string& address, int32_t port, const std::string& service) {
    Close();
    const std::string node = !host.empty() ? host : address;
    const std::string serv = !service.empty() ? service : std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = host.empty() ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    if (::getaddrinfo(node.c_str(), serv.c_str(), &hints, &list) != 0 || list == nullptr) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    int err = ECONNREFUSED;
    for (const addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
        fd_ = ConnectOne(ai, timeLimit_);
        if (fd_ < 0) err = errno;
    }
    ::freeaddrinfo(list);
    if (fd_ < 0) WSASetLastError(WSAErrorFromErrno(err));
    return fd_ >= 0;
}

void TcpSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpSocket::Fail(int err) {
    WSASetLastError(WSAErrorFromErrno(err));
    Close();
}

bool TcpSocket::WaitForData(int32_t milliseconds) {
    if (fd_ < 0) return false;
    const int rc = PollFor(fd_, POLLIN, milliseconds);
    if (rc < 0) Fail(errno);
    return rc > 0;
}

int32_t TcpSocket::Write(const void* bytes, int32_t length) {
    if (fd_ < 0 || length <= 0) return 0;
    const int rc = PollFor(fd_, POLLOUT, timeLimit_);
    if (rc <= 0) {
        Fail(rc == 0 ? ETIMEDOUT : errno);
        return 0;
    }
    ssize_t n;
    do {
        n = ::send(fd_, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        Fail(n < 0 ? errno : ECONNRESET);
        return 0;
    }
    return static_cast<int32_t>(n);
}

int32_t TcpSocket::Read(void* bytes, int32_t length) {
    if (fd_ < 0 || length <= 0) return 0;
    const int rc = PollFor(fd_, POLLIN, timeLimit_);
    if (rc <= 0) {
        Fail(rc == 0 ? ETIMEDOUT : errno);
        return 0;
    }
    ssize_t n;
    do {
        n = ::recv(fd_, bytes, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        Fail(n < 0 ? errno : ECONNRESET);
        return 0;
    }
    return static_cast<int32_t>(n);
}

TcpListener::~TcpListener() { Close(); }

bool TcpListener::Listen(int32_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        WSASetLastError(WSAErrorFromErrno(errno));
        return false;
    }
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) < 0 || ::listen(fd_, 8) < 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        WSASetLastError(WSAErrorFromErrno(errno));
        Close();
        return false;
    }
    port_ = ntohs(sa.sin_port);
    return true;
}

std::unique_ptr<TcpSocket> TcpListener::Accept(int32_t milliseconds) {
    if (fd_ < 0 || PollFor(fd_, POLLIN, milliseconds) <= 0) return nullptr;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return std::make_unique<TcpSocket>(fd);
}

void TcpListener::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    port_ = 0;
}

}  // namespace platform
