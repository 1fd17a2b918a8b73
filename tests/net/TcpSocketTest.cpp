#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "net/TcpSocket.h"

namespace {

// A connected pair over loopback: `server` is the accepted end.
struct Pair {
    CTcpSocket listener, server, client;
    Pair() {
        EXPECT_EQ(listener.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
        EXPECT_EQ(listener.Listen(5), 1);
        EXPECT_EQ(client.Connect("127.0.0.1", listener.GetLocalPort()), 1);
        sockaddr_in peer{};
        socklen_t len = 0;
        EXPECT_EQ(listener.Accept(server, &peer, &len), 1);
        std::string addr;
        uint16_t port = 0;
        EXPECT_EQ(server.GetPeerAddress(addr, port), 1);
        EXPECT_TRUE(addr == "127.0.0.1" && port == ntohs(peer.sin_port) && len == sizeof peer);
    }
};

TEST(TcpSocket, ReceiveReadsExactlyAndFailsWhenThePeerCloses) {
    Pair p;
    char buf[16] = {};
    EXPECT_EQ(p.server.Receive(buf, 0), 0);
    EXPECT_EQ(p.server.Receive(buf, -5), 0);
    ASSERT_EQ(p.client.Send("abcdef", 6), 6);
    EXPECT_EQ(p.server.Receive(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    // Two bytes are there, four are asked for, then the peer leaves: -1, not 2.
    p.client.Close();
    EXPECT_EQ(p.server.Receive(buf, 4), -1);
}

TEST(TcpSocket, SendPutsOutTheWholeMessageAcrossPartialSends) {
    Pair p;
    int small = 64 * 1024;
    setsockopt(p.server.GetHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<uint8_t> big(12'000'000), got(big.size());
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31 + (i >> 16));
    int received = 0;
    std::thread reader([&] { received = p.client.Receive(got.data(), 12'000'000); });
    EXPECT_EQ(p.server.Send(big.data(), 12'000'000), 12'000'000);
    reader.join();
    EXPECT_EQ(received, 12'000'000);
    EXPECT_TRUE(got == big);
}

TEST(TcpSocket, SendToAClosedPeerFailsWithoutSignal) {
    Pair p;  // SIGPIPE would end the test process
    p.client.Close();
    std::vector<uint8_t> data(1 << 20, 1);
    int64_t rc = 0;
    for (int i = 0; i < 50 && rc != -1; ++i)
        rc = p.server.Send(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(rc, -1);
}

}  // namespace
