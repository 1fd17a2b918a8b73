#include "base/HostList.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// Decimal digits only, no sign, no leading zero, at most `max`.
bool ParseSmall(std::string_view text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0'))
        return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > max)
        return false;
    *value = v;
    return true;
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ',';
}

}  // namespace

bool ParseIPv4(std::string_view text, uint32_t* address) {
    uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return false;
        uint32_t octet;
        if (!ParseSmall(text.substr(0, dot), 255, &octet))
            return false;
        result = result << 8 | octet;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    *address = result;
    return true;
}

CHostList CHostList::Parse(std::string_view text, std::vector<std::string>* malformed) {
    CHostList list;
    bool any = false;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && IsSeparator(text[pos]))
            ++pos;
        size_t end = pos;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        if (end == pos)
            break;
        std::string_view entry = text.substr(pos, end - pos);
        pos = end;
        any = true;
        size_t slash = entry.find('/');
        uint32_t address, prefix = 32;
        if (!ParseIPv4(entry.substr(0, slash), &address) ||
            (slash != std::string_view::npos &&
             !ParseSmall(entry.substr(slash + 1), 32, &prefix))) {
            if (malformed)
                malformed->emplace_back(entry);
            continue;
        }
        uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
        list.nets_.push_back({address & mask, mask});
    }
    list.everyone_ = !any;
    return list;
}

bool CHostList::Allows(uint32_t address) const {
    if (everyone_)
        return true;
    for (const Net& n : nets_) {
        if ((address & n.mask) == n.base)
            return true;
    }
    return false;
}

bool CHostList::Allows(const sockaddr* peer, socklen_t length) const {
    if (everyone_)
        return true;
    uint32_t address;
    return PeerIPv4(peer, length, &address) && Allows(address);
}

bool PeerIPv4(const sockaddr* peer, socklen_t length, uint32_t* address) {
    if (peer == nullptr)
        return false;
    if (peer->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, peer, sizeof in);
        *address = ntohl(in.sin_addr.s_addr);
        return true;
    }
    if (peer->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6;
        std::memcpy(&in6, peer, sizeof in6);
        if (!IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
            return false;
        const uint8_t* b = in6.sin6_addr.s6_addr + 12;
        *address = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
        return true;
    }
    return false;
}

std::string FormatIPv4(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}
