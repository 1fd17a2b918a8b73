#include "base/Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

CResult<ListeningSocket> OpenListener(const char* address, uint16_t port, int backlog) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && *address != '\0' &&
        ::inet_pton(AF_INET, address, &addr.sin_addr) != 1)
        return CError{EINVAL, "not a dotted IPv4 address"};
    ListeningSocket listener;
    listener.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.fd)
        return CError{errno, "socket failed"};
    // Without it a restart right after clients were closed cannot bind for a minute.
    // Linux still refuses a second listener on the same port.
    const int one = 1;
    ::setsockopt(listener.fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return CError{errno, "bind failed"};
    if (::listen(listener.fd.get(), backlog) != 0)
        return CError{errno, "listen failed"};
    socklen_t length = sizeof addr;
    if (::getsockname(listener.fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return CError{errno, "getsockname failed"};
    listener.port = ntohs(addr.sin_port);
    return listener;
}
