// The host matcher every listener shares, and the rate-limited write trail.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/HostList.h"
#include "base/WriteTrail.h"

namespace {

TEST(HostList, MatchesAddressesAndNetworksAndSkipsWhatIsMalformed) {
    const struct {
        const char* list;
        std::vector<const char*> allowed, denied;
        std::vector<std::string> malformed;
    } cases[] = {
        {" ,\t", {"0.0.0.0", "255.255.255.255"}, {}, {}},  // nothing listed: everyone
        {"127.0.0.1 10.1.0.0/16,10.9.8.7/32",
         {"127.0.0.1", "10.1.0.0", "10.1.255.255", "10.9.8.7"},
         {"127.0.0.2", "10.2.0.0", "10.0.255.255", "10.9.8.6"},
         {}},
        {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255"}, {}, {}},
        {"10.1.2.3/16", {"10.1.0.0", "10.1.99.1"}, {"10.2.2.3"}, {}},  // host bits set
        {"127.0.0.1 1.2.3/8 300.1.1.1 01.2.3.4 1.2.3.4/33 1.2.3.4/ /8 1.2.3.4.5 a.b.c.d",
         {"127.0.0.1"},
         {"1.2.3.4", "0.0.0.0"},
         {"1.2.3/8", "300.1.1.1", "01.2.3.4", "1.2.3.4/33", "1.2.3.4/", "/8", "1.2.3.4.5",
          "a.b.c.d"}},
        {"localhost, 10.0.0.0/-1", {}, {"127.0.0.1", "10.0.0.1"}, {"localhost", "10.0.0.0/-1"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> bad;
        const CHostList list = CHostList::Parse(c.list, &bad);
        uint32_t a = 0;
        for (const char* text : c.allowed)
            EXPECT_TRUE(ParseIPv4(text, &a) && list.Allows(a)) << c.list << " / " << text;
        for (const char* text : c.denied)
            EXPECT_TRUE(ParseIPv4(text, &a) && !list.Allows(a)) << c.list << " / " << text;
        EXPECT_EQ(bad, c.malformed) << c.list;
        EXPECT_EQ(list.AllowsNobody(), c.allowed.empty()) << c.list;  // all malformed: nobody
    }
    // Peers: IPv4 mapped into IPv6 as their IPv4 address; other IPv6 peers never match.
    const CHostList list = CHostList::Parse("192.0.2.0/24");
    sockaddr_in6 peer{AF_INET6, 0, 0, {}, 0};
    auto allows = [&](const CHostList& l, const char* text) {
        ::inet_pton(AF_INET6, text, &peer.sin6_addr);
        return l.Allows(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    };
    EXPECT_TRUE(allows(list, "::ffff:192.0.2.9"));
    EXPECT_FALSE(allows(list, "2001:db8::c000:209"));
}

// A storm of 100 writes a second from two peers for three seconds: 20 lines in each second,
// the rest summed up per peer once the second is over, every write accounted for.
TEST(WriteTrail, AStormGetsTwentyLinesASecondAndOneSummaryPerPeer) {
    std::map<int64_t, std::vector<std::string>> lines;  // by second
    int64_t now = 0;
    CWriteTrail trail([&](std::string line) { lines[now / 1000].push_back(std::move(line)); });
    trail.Record("10.0.0.1", "C_CAMNAME", std::string("a\"\\\n\xff") + std::string(70, 'x'), 0, 0);
    EXPECT_EQ(lines[0][0], "Write from 10.0.0.1: C_CAMNAME \"a\\x22\\x5c\\x0a\\xff" +
                               std::string(59, 'x') + "...\", status 0");
    for (now = 1; now < 3000; now += 10) {
        trail.Record(now % 20 == 1 ? "10.0.0.2" : "10.0.0.3", "S_STOP", "1", 1003, now);
        trail.Tick(now);
    }
    trail.Tick(now);
    EXPECT_EQ(lines[1][0], "40 more writes from 10.0.0.2 not logged");
    EXPECT_EQ(lines[1][1], "41 more writes from 10.0.0.3 not logged");  // 19 logged after the first
    size_t total = 0;
    for (const auto& [second, texts] : lines) {
        size_t logged = 0;
        for (const std::string& t : texts) {
            unsigned long n = 0;
            logged += t.rfind("Write from", 0) == 0;
            total += std::sscanf(t.c_str(), "%lu more", &n) == 1 ? n : t[0] == 'W';
        }
        EXPECT_EQ(logged, second < 3 ? 20u : 0u) << second;
    }
    EXPECT_EQ(total, 1u + 300u);
}

}  // namespace
