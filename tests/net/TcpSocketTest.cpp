#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
        EXPECT_EQ(len, sizeof peer);
        EXPECT_EQ(peer.sin_family, AF_INET);
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
    int small = 64 * 1024;  // many partial sends
    setsockopt(p.server.GetHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<uint8_t> big(12'000'000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31 + (i >> 16));
    std::vector<uint8_t> got(big.size());
    int received = 0;
    std::thread reader(
        [&] { received = p.client.Receive(got.data(), static_cast<int>(got.size())); });
    EXPECT_EQ(p.server.Send(big.data(), static_cast<uint32_t>(big.size())), 12'000'000);
    reader.join();
    EXPECT_EQ(received, 12'000'000);
    EXPECT_TRUE(got == big);
}

TEST(TcpSocket, SendToAClosedPeerFailsWithoutSignal) {
    // SIGPIPE would end the test process if a send raised it.
    Pair p;
    p.client.Close();
    std::vector<uint8_t> data(1 << 20, 1);
    int64_t rc = 0;
    for (int i = 0; i < 50 && rc != -1; ++i)
        rc = p.server.Send(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(rc, -1);
}

TEST(TcpSocket, ShutdownWakesABlockedReceive) {
    Pair p;
    int rc = 0;
    std::thread t([&] {
        char buf[8];
        rc = p.server.Receive(buf, 8);
    });
    p.server.Shutdown(SHUT_RDWR);
    t.join();
    EXPECT_EQ(rc, -1);
}

TEST(TcpSocket, CreateOnAPortInUseFailsAndKeepsTheBindCode) {
    CTcpSocket first, second;
    ASSERT_EQ(first.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
    ASSERT_EQ(first.Listen(5), 1);
    EXPECT_EQ(second.Create(first.GetLocalPort(), SOCK_STREAM, "127.0.0.1"), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.GetErrorCode(), CTcpSocket::kErrCreateBind);
    EXPECT_EQ(second.GetLastErrno(), EADDRINUSE);
    EXPECT_EQ(second.GetErrorText(), "Could not bind socket (CRE/4)");

    CTcpSocket badAddress;
    EXPECT_EQ(badAddress.Create(0, SOCK_STREAM, "not-an-address"), 0);
    EXPECT_FALSE(badAddress.IsOpen());
}

TEST(TcpSocket, AcceptIntoAFreshTargetOwnsTheSocket) {
    Pair p;
    EXPECT_TRUE(p.server.IsOpen());
    EXPECT_EQ(p.server.GetErrorCode(), 0);  // nothing was shut down on the way
    std::string addr;
    uint16_t port = 0;
    EXPECT_EQ(p.server.GetPeerAddress(addr, port), 1);
    EXPECT_EQ(addr, "127.0.0.1");
    EXPECT_NE(port, 0);
}

TEST(TcpSocket, FailuresLeaveTheirCodes) {
    CTcpSocket empty;  // destroying it makes no socket call
    EXPECT_EQ(empty.Close(), -1);
    EXPECT_EQ(empty.GetErrorText(), "");
    EXPECT_EQ(empty.Attach(-1), 0);
    EXPECT_EQ(empty.GetErrorCode(), CTcpSocket::kErrAttach);

    CTcpSocket listener;
    ASSERT_EQ(listener.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
    uint16_t unused = listener.GetLocalPort();
    listener.Close();  // bound but never listening: connections are refused
    CTcpSocket refused;
    EXPECT_EQ(refused.Connect("127.0.0.1", unused), 0);
    EXPECT_EQ(refused.GetErrorCode(), CTcpSocket::kErrConnect);
    EXPECT_EQ(refused.GetErrorText(), "Failed connect. (CON/14) (WSA=6fh)");  // ECONNREFUSED

    CTcpSocket lookup;
    EXPECT_EQ(lookup.Connect("no-such-host.invalid", 1), 0);
    EXPECT_EQ(lookup.GetErrorCode(), CTcpSocket::kErrLookup);

    CTcpSocket notListening;
    EXPECT_EQ(notListening.Listen(5), 0);
    EXPECT_EQ(notListening.GetErrorText(),
              "Could not initialize listensocket. (LIS/7) (WSA=9h)");  // EBADF
}

}  // namespace
