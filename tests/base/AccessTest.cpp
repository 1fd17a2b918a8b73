// The host matcher every listener shares, and the rate-limited write trail.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/HostList.h"
#include "base/WriteTrail.h"

namespace {

uint32_t Ip(const char* text) {
    in_addr a{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &a), 1) << text;
    return ntohl(a.s_addr);
}

TEST(HostList, MatchesAddressesAndNetworksAndSkipsWhatIsMalformed) {
    struct Case {
        const char* list;
        std::vector<const char*> allowed, denied, malformed;
    };
    const Case cases[] = {
        {"", {"0.0.0.0", "10.1.2.3", "255.255.255.255"}, {}, {}},
        {" ,\t, ", {"10.1.2.3"}, {}, {}},  // separators only: nothing listed
        {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2", "0.0.0.0"}, {}},
        {"127.0.0.1 10.1.0.0/16,192.168.7.3",
         {"127.0.0.1", "10.1.0.0", "10.1.255.255", "192.168.7.3"},
         {"10.2.0.0", "10.0.255.255", "192.168.7.4", "127.0.0.2"},
         {}},
        {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255", "8.8.8.8"}, {}, {}},
        {"10.9.8.7/32", {"10.9.8.7"}, {"10.9.8.6", "10.9.8.8"}, {}},
        {"10.1.2.3/16", {"10.1.0.0", "10.1.99.1"}, {"10.2.2.3"}, {}},  // host bits set
        {"172.16.5.4/31", {"172.16.5.4", "172.16.5.5"}, {"172.16.5.6", "172.16.5.3"}, {}},
        {"127.0.0.1 10.1.0.0/33 1.2.3 300.1.1.1 01.2.3.4 a.b.c.d 1.2.3.4/ /8 1.2.3.4/-1 1.2.3.4.5",
         {"127.0.0.1"},
         {"10.1.0.1", "1.2.3.4", "0.0.0.0"},
         {"10.1.0.0/33", "1.2.3", "300.1.1.1", "01.2.3.4", "a.b.c.d", "1.2.3.4/", "/8",
          "1.2.3.4/-1", "1.2.3.4.5"}},
        // All malformed: nobody, never everybody.
        {"localhost, 10.0.0.0/40",
         {},
         {"127.0.0.1", "10.0.0.1", "0.0.0.0"},
         {"localhost", "10.0.0.0/40"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> bad;
        const CHostList list = CHostList::Parse(c.list, &bad);
        for (const char* a : c.allowed)
            EXPECT_TRUE(list.Allows(Ip(a))) << c.list << " / " << a;
        for (const char* a : c.denied)
            EXPECT_FALSE(list.Allows(Ip(a))) << c.list << " / " << a;
        EXPECT_EQ(bad, std::vector<std::string>(c.malformed.begin(), c.malformed.end())) << c.list;
        EXPECT_EQ(list.AllowsNobody(), c.allowed.empty()) << c.list;
    }
}

TEST(HostList, PeersAreMatchedAsIPv4AlsoWhenMappedIntoIPv6) {
    const CHostList list = CHostList::Parse("192.0.2.0/24");
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    ::inet_pton(AF_INET, "192.0.2.9", &v4.sin_addr);
    sockaddr_in6 mapped{}, other{};
    mapped.sin6_family = other.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "::ffff:192.0.2.9", &mapped.sin6_addr);
    ::inet_pton(AF_INET6, "2001:db8::c000:209", &other.sin6_addr);  // same low bits, not mapped
    auto allows = [](const CHostList& l, const auto& a) {
        return l.Allows(reinterpret_cast<const sockaddr*>(&a), sizeof a);
    };
    EXPECT_TRUE(allows(list, v4));
    EXPECT_TRUE(allows(list, mapped));
    EXPECT_FALSE(allows(list, other));
    EXPECT_TRUE(allows(CHostList(), other));  // the empty list lets every peer in
    EXPECT_FALSE(list.Allows(reinterpret_cast<const sockaddr*>(&v4), sizeof v4 - 1));
    ::inet_pton(AF_INET6, "::ffff:192.0.3.9", &mapped.sin6_addr);
    EXPECT_FALSE(allows(list, mapped));
    uint32_t address = 0;
    EXPECT_TRUE(PeerIPv4(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, &address));
    EXPECT_EQ(FormatIPv4(address), "192.0.2.9");
}

TEST(WriteTrail, ValuesAreCutAndEscaped) {
    EXPECT_EQ(EscapeForLog("2.5", 64), "2.5");
    EXPECT_EQ(EscapeForLog(std::string("a\0b\n\"\\\xff", 7), 64), "a\\x00b\\x0a\\x22\\x5c\\xff");
    EXPECT_EQ(EscapeForLog(std::string(70, 'x'), 64), std::string(64, 'x') + "...");
    std::vector<std::string> lines;
    CWriteTrail trail([&](std::string line) { lines.push_back(std::move(line)); });
    trail.Record("10.0.0.1", "C_NAME", std::string(100, 'n'), 0, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Write from 10.0.0.1: C_NAME \"" + std::string(64, 'n') + "...\", status 0");
}

// A storm over three seconds: at most 20 lines in each, the rest summed up per peer once
// the second is over, and every write accounted for.
TEST(WriteTrail, AStormGetsTwentyLinesASecondAndOneSummaryPerPeer) {
    std::vector<std::pair<int64_t, std::string>> lines;
    int64_t now = 0;
    CWriteTrail trail([&](std::string line) { lines.emplace_back(now / 1000, std::move(line)); });
    int sent = 0;
    for (now = 0; now < 3000; now += 10) {  // 100 writes a second
        trail.Record(now % 20 == 0 ? "10.0.0.2" : "10.0.0.3", "S_START", "", 1003, now);
        trail.Tick(now);
        ++sent;
    }
    trail.Tick(now);
    std::map<int64_t, int> perSecond;
    uint64_t logged = 0, summed = 0;
    for (const auto& [second, text] : lines) {
        unsigned long long n = 0;
        char peer[32] = {};
        if (std::sscanf(text.c_str(), "%llu more writes from %31s not logged", &n, peer) == 2) {
            summed += n;
            continue;
        }
        EXPECT_EQ(text.rfind("Write from 10.0.0.", 0), 0u) << text;
        ++perSecond[second];
        ++logged;
    }
    for (const auto& [second, count] : perSecond)
        EXPECT_EQ(count, CWriteTrail::kLinesPerSecond) << second;
    EXPECT_EQ(logged + summed, static_cast<uint64_t>(sent));
    // Seconds 0..2 each leave one summary for each of the two peers, emitted a second later.
    const std::string first = "40 more writes from 10.0.0.3 not logged";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const auto& l) { return l.first == 1 && l.second == first; }),
              1);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const auto& l) { return l.second.find(" more ") != std::string::npos; }),
        6);
}

}  // namespace
