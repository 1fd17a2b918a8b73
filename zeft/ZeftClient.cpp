#include "zeft/ZeftClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "base/HostPort.h"
#include "config/IniFile.h"
#include "zeft/Zeft.h"

namespace {

std::mutex g_namesMutex;  // guards g_namesDir and g_namesFile
std::string g_namesDir;   // empty: the directory of the running executable
std::string g_namesFile = kZeftNamesFile;

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
}

// Idle connections kept for the next call to the same server, so a client that calls
// often does not pay a connection each time.
struct PooledConn {
    std::string key;
    UniqueFd fd;
};
std::mutex g_poolMutex;  // guards g_pool
std::vector<PooledConn> g_pool;
constexpr size_t kPoolMax = 8;

// A reply that has begun must be whole within this, whatever the caller's wait.
constexpr int32_t kReplyRestTimeoutMs = 5000;
// A cancel is a courtesy: the server also ends the monitor when the connection closes.
constexpr int64_t kCancelSendTimeoutMs = 100;

// A pooled connection the server has closed (or sent something unasked) is useless.
bool StillUsable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

UniqueFd TakePooled(const std::string& key) {
    std::vector<UniqueFd> stale;  // closed outside the lock
    UniqueFd found;
    {
        std::lock_guard lock(g_poolMutex);
        for (auto it = g_pool.begin(); it != g_pool.end();) {
            if (it->key != key) {
                ++it;
                continue;
            }
            UniqueFd fd = std::move(it->fd);
            it = g_pool.erase(it);
            if (StillUsable(fd.get())) {
                found = std::move(fd);
                break;
            }
            stale.push_back(std::move(fd));
        }
    }
    return found;
}

void ReturnPooled(const std::string& key, UniqueFd fd) {
    UniqueFd evicted;
    std::lock_guard lock(g_poolMutex);
    if (g_pool.size() >= kPoolMax) {
        evicted = std::move(g_pool.front().fd);
        g_pool.erase(g_pool.begin());
    }
    g_pool.push_back(PooledConn{key, std::move(fd)});
}

int WaitFd(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - ZeftNowMs();
        if (left <= 0)
            return 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : n;
    }
}

int16_t ReadExact(int fd, uint8_t* buf, size_t length, int64_t deadline) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::recv(fd, buf + got, length - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return kZeftConnectionLost;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return kZeftConnectionLost;
        int w = WaitFd(fd, POLLIN, deadline);
        if (w == 0)
            return kZeftTimeout;
        if (w < 0)
            return kZeftConnectionLost;
    }
    return kZeftOk;
}

}  // namespace

void ZeftSetNamesFile(const std::string& directory, const std::string& fileName) {
    std::lock_guard lock(g_namesMutex);
    g_namesDir = directory;
    g_namesFile = fileName;
}

int16_t ZeftResolveAddress(const char* address, ZeftAddress* out) {
    if (!address || address[0] != '/')
        return kZeftUnknownName;
    std::string a(address, strnlen(address, 3 * (kZeftMaxName + 1) + 1));
    size_t s1 = a.find('/', 1);
    size_t s2 = s1 == std::string::npos ? s1 : a.find('/', s1 + 1);
    if (s2 == std::string::npos || a.find('/', s2 + 1) != std::string::npos)
        return kZeftUnknownName;
    out->context = a.substr(1, s1 - 1);
    std::string server = a.substr(s1 + 1, s2 - s1 - 1);
    out->device = a.substr(s2 + 1);
    if (!ZeftNameValid(out->context) || !ZeftNameValid(server) || !ZeftNameValid(out->device))
        return kZeftUnknownName;
    if (ParseHostPort(server, out->host, out->port)) {
        out->server.clear();
        return kZeftOk;
    }
    std::string dir, file;
    {
        std::lock_guard lock(g_namesMutex);
        dir = g_namesDir;
        file = g_namesFile;
    }
    if (dir.empty())
        dir = ExecutableDirectory();
    CIniFile names(dir);
    names.Load(file);
    std::string target = names.GetValue(out->context, server, "");
    if (!ParseHostPort(target, out->host, out->port))
        return kZeftUnknownName;
    out->server = server;
    return kZeftOk;
}

int64_t ZeftNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int16_t ZeftConnect(const std::string& host, uint16_t port, int64_t deadline, UniqueFd* out) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
            return kZeftUnknownName;
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return kZeftConnectFailed;
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS)
            return kZeftConnectFailed;
        int w = WaitFd(fd.get(), POLLOUT, deadline);
        if (w == 0)
            return kZeftTimeout;
        int err = 0;
        socklen_t len = sizeof err;
        if (w < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return kZeftConnectFailed;
    }
    *out = std::move(fd);
    return kZeftOk;
}

int16_t ZeftSendAll(int fd, const uint8_t* data, size_t length, int64_t deadline) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return kZeftConnectionLost;
        int w = WaitFd(fd, POLLOUT, deadline);
        if (w == 0)
            return kZeftTimeout;
        if (w < 0)
            return kZeftConnectionLost;
    }
    return kZeftOk;
}

int16_t ZeftReadMessage(int fd, int64_t deadline, size_t maxBody, ZeftWireHeader* header,
                        std::vector<uint8_t>* body) {
    uint8_t h[kZeftHeaderSize];
    int16_t rc = ReadExact(fd, h, sizeof h, deadline);
    if (rc != kZeftOk)
        return rc;
    if (!ZeftParseHeader(h, header) || header->bodyLength > maxBody)
        return kZeftProtocolError;
    body->resize(header->bodyLength);
    return ReadExact(fd, body->data(), body->size(), deadline);
}

namespace {

ZeftWireCall MakeCall(const ZeftAddress& addr, const char* property, const ZeftRequest& request,
                      int16_t access) {
    ZeftWireCall call;
    call.access = access;
    call.requestFormat = request.format;
    call.requestCount = request.count;
    call.context = addr.context;
    call.equipment = addr.server;
    call.device = addr.device;
    call.property = std::string(property, strnlen(property, kZeftMaxName + 1));
    call.data = request.data;
    return call;
}

int16_t CheckCallArgs(const char* property, const ZeftRequest& request, int16_t access,
                      int32_t timeoutMs) {
    if (!property || !ZeftNameValid(std::string(property, strnlen(property, kZeftMaxName + 1))))
        return kZeftInvalidArgument;
    if (access < 0 || access > kZeftReadWrite || timeoutMs <= 0)
        return kZeftInvalidArgument;
    if (request.count != 0 &&
        (!ZeftFormatKnown(request.format) ||
         !ZeftDataLengthValid(request.format, request.count, request.data.size())))
        return kZeftInvalidArgument;
    return kZeftOk;
}

size_t MaxReplyBody(uint64_t maxReplyBytes) {
    return kZeftReplyFixedSize + kZeftMaxMessage +
           static_cast<size_t>(std::min(maxReplyBytes, kZeftMaxReplyBytes));
}

// One exchange on a connected socket: kZeftOk with the reply, or a failure.
int16_t Exchange(int fd, const std::vector<uint8_t>& message, uint32_t id, int64_t deadline,
                 size_t maxBody, ZeftWireReply* reply) {
    int16_t rc = ZeftSendAll(fd, message.data(), message.size(), deadline);
    if (rc != kZeftOk)
        return rc;
    ZeftWireHeader h;
    std::vector<uint8_t> body;
    rc = ZeftReadMessage(fd, deadline, maxBody, &h, &body);
    if (rc != kZeftOk)
        return rc;
    if (h.type != ZeftMsgType::Reply || h.id != id)
        return kZeftProtocolError;
    return ZeftParseReply(body.data(), body.size(), reply);
}

}  // namespace

int16_t ZeftCall(const char* address, const char* property, const ZeftRequest& request,
                 int16_t access, int32_t timeoutMs, ZeftWireReply* reply, uint64_t maxReplyBytes) {
    int64_t deadline = ZeftNowMs() + timeoutMs;
    int16_t rc = CheckCallArgs(property, request, access, timeoutMs);
    if (rc != kZeftOk || !reply)
        return rc != kZeftOk ? rc : kZeftInvalidArgument;
    ZeftAddress addr;
    rc = ZeftResolveAddress(address, &addr);
    if (rc != kZeftOk)
        return rc;
    std::string key = addr.host + ":" + std::to_string(addr.port);
    constexpr uint32_t kId = 1;
    std::vector<uint8_t> message =
        ZeftEncodeCall(ZeftMsgType::Call, kId, MakeCall(addr, property, request, access));
    size_t maxBody = MaxReplyBody(maxReplyBytes);

    UniqueFd fd = TakePooled(key);
    if (fd) {
        rc = Exchange(fd.get(), message, kId, deadline, maxBody, reply);
        // The server closes idle connections only when no request is waiting in them, so a
        // pooled connection that was closed under us never ran the call: try a fresh one.
        if (rc == kZeftConnectionLost)
            fd.reset();
    }
    if (!fd) {
        rc = ZeftConnect(addr.host, addr.port, deadline, &fd);
        if (rc != kZeftOk)
            return rc;
        rc = Exchange(fd.get(), message, kId, deadline, maxBody, reply);
    }
    if (rc != kZeftOk)
        return rc;
    ReturnPooled(key, std::move(fd));
    return reply->status;
}

CZeftMonitor::~CZeftMonitor() {
    Close();
}

int16_t CZeftMonitor::Open(const char* address, const char* property, const ZeftRequest& request,
                           int16_t access, uint32_t intervalMs, int32_t timeoutMs,
                           uint64_t maxReplyBytes) {
    Close();
    int64_t deadline = ZeftNowMs() + timeoutMs;
    int16_t rc = CheckCallArgs(property, request, access, timeoutMs);
    if (rc != kZeftOk)
        return rc;
    ZeftAddress addr;
    rc = ZeftResolveAddress(address, &addr);
    if (rc != kZeftOk)
        return rc;
    rc = ZeftConnect(addr.host, addr.port, deadline, &fd_);
    if (rc != kZeftOk)
        return rc;
    ZeftWireCall call = MakeCall(addr, property, request, access);
    call.intervalMs = intervalMs;
    std::vector<uint8_t> message = ZeftEncodeCall(ZeftMsgType::Monitor, id_, call);
    rc = ZeftSendAll(fd_.get(), message.data(), message.size(), deadline);
    if (rc != kZeftOk) {
        fd_.reset();
        return rc;
    }
    maxReplyBytes_ = maxReplyBytes;
    ended_ = false;
    return kZeftOk;
}

int16_t CZeftMonitor::Next(int32_t timeoutMs, ZeftWireReply* reply) {
    if (!fd_ || ended_)
        return kZeftConnectionLost;
    int w = WaitFd(fd_.get(), POLLIN, ZeftNowMs() + timeoutMs);
    if (w == 0)
        return kZeftTimeout;
    // Once a reply has begun, the rest must follow promptly; a stream left half read
    // would be out of step, so any failure ends the monitor.
    ZeftWireHeader h;
    std::vector<uint8_t> body;
    int16_t rc = ZeftReadMessage(fd_.get(), ZeftNowMs() + std::max(timeoutMs, kReplyRestTimeoutMs),
                                 MaxReplyBody(maxReplyBytes_), &h, &body);
    if (rc != kZeftOk) {
        fd_.reset();
        return rc;
    }
    if (h.type != ZeftMsgType::Reply || h.id != id_ ||
        ZeftParseReply(body.data(), body.size(), reply) != kZeftOk) {
        fd_.reset();
        return kZeftProtocolError;
    }
    if (h.flags & kZeftFlagFinal)
        ended_ = true;
    return kZeftOk;
}

void CZeftMonitor::Close() {
    if (fd_ && !ended_) {
        std::vector<uint8_t> cancel = ZeftEncodeCancel(id_);
        ZeftSendAll(fd_.get(), cancel.data(), cancel.size(), ZeftNowMs() + kCancelSendTimeoutMs);
    }
    fd_.reset();
    ended_ = false;
}
