#include "tests/web/HttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

int Connect(uint16_t port, const char* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &self.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval t{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    // Also bounds connect: a server at its limit leaves its backlog full.
    timeval c{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &c, sizeof c);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

namespace {

bool ReadMore(int fd, std::string& into) {
    char buf[16384];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    into.append(buf, size_t(n));
    return true;
}

// Takes one chunk of a chunked body from `raw` into `out`; false when incomplete.
bool TakeChunk(std::string& raw, std::string& out, bool* last) {
    const size_t eol = raw.find("\r\n");
    if (eol == std::string::npos)
        return false;
    const size_t size = std::stoul(raw.substr(0, eol), nullptr, 16);
    if (raw.size() < eol + 2 + size + 2)
        return false;
    out += raw.substr(eol + 2, size);
    raw.erase(0, eol + 2 + size + 2);
    *last = size == 0;
    return true;
}

}  // namespace

HttpResponse ReadResponse(int fd) {
    HttpResponse r;
    std::string raw;
    size_t end;
    while ((end = raw.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadMore(fd, raw))
            return r;
    }
    std::string head = raw.substr(0, end);
    raw.erase(0, end + 4);
    if (head.compare(0, 5, "HTTP/") != 0 || head.size() < 12)
        return r;
    r.status = std::stoi(head.substr(9, 3));
    for (size_t pos = head.find("\r\n"); pos != std::string::npos;) {
        const size_t next = head.find("\r\n", pos + 2);
        const std::string line = head.substr(pos + 2, next - pos - 2);
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        pos = next;
    }
    if (r.headers["transfer-encoding"] == "chunked") {
        for (bool last = false; !last;) {
            while (!TakeChunk(raw, r.body, &last)) {
                if (!ReadMore(fd, raw))
                    return r;
            }
        }
    } else if (r.headers.count("content-length")) {
        const size_t length = std::stoul(r.headers["content-length"]);
        while (raw.size() < length && ReadMore(fd, raw)) {
        }
        r.body = raw.substr(0, length);
    } else {
        while (ReadMore(fd, raw)) {
        }
        r.body = raw;
    }
    return r;
}

HttpResponse Fetch(uint16_t port, const std::string& method, const std::string& path) {
    const int fd = Connect(port);
    HttpResponse r;
    if (fd >= 0 && SendAll(fd, method + " " + path +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
        r = ReadResponse(fd);
    if (fd >= 0)
        ::close(fd);
    return r;
}

bool MultipartReader::Start() {
    std::string head;
    size_t end;
    while ((end = raw_.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadMore(fd_, raw_))
            return false;
    }
    head = raw_.substr(0, end);
    raw_.erase(0, end + 4);
    const size_t b = head.find("boundary=");
    if (head.find("multipart/x-mixed-replace") == std::string::npos || b == std::string::npos)
        return false;
    boundary_ = "--" + head.substr(b + 9, head.find("\r\n", b) - b - 9);
    return head.find("chunked") != std::string::npos;  // HTTP/1.1 with unknown length
}

bool MultipartReader::Fill() {
    bool last = false;
    while (!TakeChunk(raw_, buffer_, &last)) {
        if (!ReadMore(fd_, raw_))
            return false;
    }
    return !last;
}

bool MultipartReader::Next(std::string* body) {
    // Each part: the boundary line, its headers, an empty line, then Content-Length bytes.
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill())
            return false;
    }
    const std::string head = buffer_.substr(0, end);
    if (head.compare(0, boundary_.size(), boundary_) != 0)
        return false;
    const size_t cl = head.find("Content-Length: ");
    if (cl == std::string::npos)
        return false;
    const size_t length = std::stoul(head.substr(cl + 16));
    while (buffer_.size() < end + 4 + length + 2) {
        if (!Fill())
            return false;
    }
    *body = buffer_.substr(end + 4, length);
    buffer_.erase(0, end + 4 + length + 2);
    return true;
}
