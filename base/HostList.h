#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Which peers may reach a way into the server: IPv4 addresses and CIDR networks. The one
// matcher of every listener (control system, frame channels, web), so a list means the
// same everywhere. Immutable once parsed; any thread may read it.
class CHostList {
  public:
    // Everyone.
    CHostList() = default;

    // "127.0.0.1 10.1.0.0/16,192.168.7.3": entries separated by spaces, tabs or commas.
    // Empty text allows everyone. A malformed entry is skipped and its text appended to
    // `malformed`; a list whose every entry is malformed allows nobody, so a typing
    // error never opens the server. Host bits under the prefix are ignored.
    static CHostList Parse(std::string_view text, std::vector<std::string>* malformed = nullptr);

    bool AllowsEveryone() const { return everyone_; }
    bool AllowsNobody() const { return !everyone_ && nets_.empty(); }
    // `address` in host byte order.
    bool Allows(uint32_t address) const;
    // An IPv4 peer, or an IPv6 peer that is an IPv4-mapped address; any other peer only
    // when everyone is allowed.
    bool Allows(const sockaddr* peer, socklen_t length) const;

  private:
    struct Net {
        uint32_t base;
        uint32_t mask;
    };
    std::vector<Net> nets_;
    bool everyone_ = true;
};

// The IPv4 address (host byte order) of an AF_INET peer or an IPv4-mapped AF_INET6 one.
bool PeerIPv4(const sockaddr* peer, socklen_t length, uint32_t* address);
// "a.b.c.d" of an address in host byte order.
std::string FormatIPv4(uint32_t address);
// Dotted decimal, four parts of 0 to 255 without leading zeros; nothing else.
bool ParseIPv4(std::string_view text, uint32_t* address);
