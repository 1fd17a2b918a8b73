#include "net/TcpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kReceiveChunk = 4000;

sockaddr_in MakeAddress(uint16_t port, in_addr_t address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

// INADDR_ANY for null; INADDR_NONE when the text is not a dotted address.
in_addr_t ParseAddress(const char* address) {
    if (address == nullptr)
        return htonl(INADDR_ANY);
    in_addr a{};
    if (inet_pton(AF_INET, address, &a) != 1)
        return INADDR_NONE;
    return a.s_addr;
}

}  // namespace

CTcpSocket::~CTcpSocket() {
    if (fd_ >= 0)
        Release();
}

void CTcpSocket::Fail(int code, int err) {
    errorCode_.store(code, std::memory_order_relaxed);
    errorErrno_.store(err, std::memory_order_relaxed);
}

int CTcpSocket::Release() {
    if (fd_ < 0)
        return -1;
    // A socket that never connected cannot be shut down; that is not a failure.
    if (::shutdown(fd_, SHUT_WR) != 0 && errno != ENOTCONN)
        Fail(kErrShutdown, errno);
    // No EINTR retry: on Linux the descriptor is released even when close() is interrupted.
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
}

int CTcpSocket::Create(uint16_t port, int type, const char* address) {
    if (fd_ >= 0)
        Release();
    fd_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        Fail(kErrSocket, errno);
        return 0;
    }
    // Without this a restart of a server whose clients were just closed fails for a
    // minute (TIME_WAIT). Linux still refuses a second listener on the same port.
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    in_addr_t a = ParseAddress(address);
    sockaddr_in sa = MakeAddress(port, a);
    if (a == INADDR_NONE || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int err = a == INADDR_NONE ? EINVAL : errno;
        // The clean-up keeps the bind failure as the reported cause.
        ::close(fd_);
        fd_ = -1;
        Fail(kErrCreateBind, err);
        return 0;
    }
    return 1;
}

int CTcpSocket::Listen(int backlog) {
    if (::listen(fd_, backlog) != 0) {
        Fail(kErrListen, errno);
        return 0;
    }
    return 1;
}

int CTcpSocket::Accept(CTcpSocket& target, sockaddr_in* address, socklen_t* length) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        len = sizeof sa;
        fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Fail(kErrAccept, errno);
        return 0;
    }
    target.Release();
    target.fd_ = fd;
    if (length != nullptr)
        *length = len;
    if (address != nullptr)
        *address = sa;
    return 1;
}

int CTcpSocket::Close() {
    return Release();
}

int CTcpSocket::Receive(void* buffer, int length, int flags) {
    if (length < 1)
        return 0;
    auto* p = static_cast<char*>(buffer);
    int received = 0;
    while (received < length) {
        size_t want = static_cast<size_t>(std::min(length - received, kReceiveChunk));
        ssize_t n = ::recv(fd_, p + received, want, flags);
        if (n > 0) {
            received += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
    return received;
}

int64_t CTcpSocket::Send(const void* buffer, uint32_t length, int flags) {
    // A half-sent message would corrupt the client's stream, so a partial send goes on
    // until everything is out or the socket fails.
    auto* p = static_cast<const char*>(buffer);
    uint32_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(fd_, p + sent, length - sent, flags | MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        return -1;
    }
    return sent;
}

int CTcpSocket::Bind(const sockaddr* address, socklen_t length) {
    if (::bind(fd_, address, length) != 0) {
        Fail(kErrBindAddr, errno);
        return 0;
    }
    return 1;
}

int CTcpSocket::Bind(uint16_t port, const char* address) {
    in_addr_t a = ParseAddress(address);
    sockaddr_in sa = MakeAddress(port, a);
    if (a == INADDR_NONE) {
        Fail(kErrBindPort, EINVAL);
        return 0;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Fail(kErrBindPort, errno);
        return 0;
    }
    return 1;
}

bool CTcpSocket::OpenStream() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        Fail(kErrSocket, errno);
        return false;
    }
    return true;
}

int CTcpSocket::Connect(const char* host, uint16_t port) {
    if (host == nullptr) {
        Fail(kErrLookup, EINVAL);
        return 0;
    }
    in_addr_t a = ParseAddress(host);
    if (a == INADDR_NONE) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        int rc = ::getaddrinfo(host, nullptr, &hints, &list);
        if (rc != 0 || list == nullptr) {
            Fail(kErrLookup, rc == EAI_SYSTEM ? errno : EHOSTUNREACH);
            return 0;
        }
        a = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(list);
    }
    if (fd_ < 0 && !OpenStream())
        return 0;
    sockaddr_in sa = MakeAddress(port, a);
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        Fail(kErrConnect, errno);
        return 0;
    }
    return 1;
}

int CTcpSocket::Connect(const sockaddr* address, socklen_t length) {
    if (fd_ < 0 && !OpenStream())
        return 0;
    int rc;
    do {
        rc = ::connect(fd_, address, length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        Fail(kErrConnectAddr, errno);
        return 0;
    }
    return 1;
}

int CTcpSocket::GetPeerName(sockaddr_in* address) {
    socklen_t len = sizeof *address;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(address), &len) != 0) {
        Fail(kErrPeerName, errno);
        return 0;
    }
    return 1;
}

int CTcpSocket::GetPeerAddress(std::string& address, uint16_t& port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    char text[INET_ADDRSTRLEN] = {};
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) == nullptr) {
        Fail(kErrPeerAddress, errno);
        return 0;
    }
    address = text;
    port = ntohs(sa.sin_port);
    return 1;
}

int CTcpSocket::Attach(int fd) {
    if (fd < 0) {
        Fail(kErrAttach, EBADF);
        return 0;
    }
    Release();
    fd_ = fd;
    return 1;
}

int CTcpSocket::Shutdown(int how) {
    if (::shutdown(fd_, how) != 0) {
        Fail(kErrShutdown, errno);
        return 0;
    }
    return 1;
}

uint16_t CTcpSocket::GetLocalPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

void CTcpSocket::GetErrorText(std::string& text) const {
    int code = errorCode_.load(std::memory_order_relaxed);
    if (code != 0)  // no failure: the text stays as it was
        text = ErrorText(code, errorErrno_.load(std::memory_order_relaxed));
}

std::string CTcpSocket::ErrorText(int code, int errnoValue) {
    unsigned err = static_cast<unsigned>(errnoValue);
    char buf[160];
    switch (code) {
        case 0:
            return {};
        case kErrSocket:
            std::snprintf(buf, sizeof buf, "Invalid socket handle. (CRE/%d)", code);
            break;
        case kErrCreateBind:
            std::snprintf(buf, sizeof buf, "Could not bind socket (CRE/%d)", code);
            break;
        case kErrShutdown:
            std::snprintf(buf, sizeof buf, "Could not shut down socket. (SHD/%d) (WSA=%xh)", code,
                          err);
            break;
        case kErrListen:
            std::snprintf(buf, sizeof buf, "Could not initialize listensocket. (LIS/%d) (WSA=%xh)",
                          code, err);
            break;
        case kErrAttach:
            std::snprintf(buf, sizeof buf, "Could not attach socket. (ATT/%d) (WSA=%xh)", code,
                          err);
            break;
        case kErrAccept:
            std::snprintf(buf, sizeof buf, "WSAAccept returned invalid socket. (ACC/%d) (WSA=%xh)",
                          code, err);
            break;
        case kErrBindAddr:
            std::snprintf(buf, sizeof buf, "Error BIND socket. (BND/%d) (WSA=%xh)", code, err);
            break;
        case kErrBindPort:
            std::snprintf(buf, sizeof buf, "Error BIND socket. (BN1/%d) (WSA=%xh)", code, err);
            break;
        case kErrPeerAddress:
            std::snprintf(buf, sizeof buf, "Error in GetPeerName. (GPN/%d) (WSA=%xh)", code, err);
            break;
        case kErrPeerName:
            std::snprintf(buf, sizeof buf, "Error in GetPeerName. (GP1/%d) (WSA=%xh)", code, err);
            break;
        case kErrConnect:
            std::snprintf(buf, sizeof buf, "Failed connect. (CON/%d) (WSA=%xh)", code, err);
            break;
        case kErrLookup:
            std::snprintf(buf, sizeof buf, "Failed gethostbyname. (CON/%d) (WSA=%xh)", code, err);
            break;
        case kErrConnectAddr:
            std::snprintf(buf, sizeof buf, "Failed connect. (CO1/%d) (WSA=%xh)", code, err);
            break;
        default:
            std::snprintf(buf, sizeof buf, "Unknown error: %d (maybe WSAERR=%xh)", code, err);
            break;
    }
    return buf;
}

std::string CTcpSocket::GetErrorText() const {
    std::string text;
    GetErrorText(text);
    return text;
}
