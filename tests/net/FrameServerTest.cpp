#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "net/FrameClient.h"
#include "net/FrameServer.h"
#include "tests/net/NetTestSupport.h"

namespace {

constexpr int kTimeoutMs = 20000;

std::unique_ptr<CFrameClient> Connect(uint16_t port) {
    auto c = std::make_unique<CFrameClient>();
    std::string error;
    EXPECT_EQ(c->Connect("127.0.0.1", port, error), 1) << error;
    c->SetReceiveTimeout(kTimeoutMs);
    return c;
}

// Reads one message and checks it is `expected`, byte for byte.
void ExpectMessage(CFrameClient& c, const std::vector<uint8_t>& expected) {
    FrameMessage m;
    std::string error;
    ASSERT_EQ(c.ReadMessage(m, error), kReadMessage) << error;
    ASSERT_EQ(m.bytes.size(), expected.size());
    EXPECT_TRUE(m.bytes == expected) << "frame " << m.info.frameNumber;
}

// True when the server closed the connection without sending anything.
bool SeesClose(CFrameClient& c) {
    FrameMessage m;
    std::string error;
    return c.ReadMessage(m, error) == kReadEnd;
}

class FrameServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        main.Attach(&server);
        main.Attach(&lossy);
        server.SetClientCountDisplay([this](int n) { shown.push_back(n); });
        server.SetShowClientCount(1);
    }

    uint16_t StartServer(int limit) {
        EXPECT_EQ(server.Start(0, limit, "127.0.0.1"), 1);
        return server.GetPort();
    }

    bool WaitForClients(CFrameServerBase& s, int n) { return main.WaitForClients(s, n); }

    CMessageQueue queue;
    CLogRecorder log;
    MainThread main{queue};
    std::vector<int> shown;  // every value written to the count field
    CFrameServer server{&queue, &log};
    CLossyFrameServer lossy{&queue, &log};
};

TEST_F(FrameServerTest, ClientsReceiveEveryMessageWholeAndInOrder) {
    uint16_t port = StartServer(10);
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(Connect(port));
    ASSERT_TRUE(WaitForClients(server, 3));
    ASSERT_TRUE(main.WaitUntil([&] { return !shown.empty() && shown.back() == 3; }));

    // Rounds of 5 messages never reach the drop rule (6 waiting), however slow the reader.
    const std::vector<std::pair<uint32_t, uint32_t>> sizes = {
        {4, 2},     {768, 574}, {4000, 3000}, {1, 1},     {640, 480}, {4000, 3000},
        {768, 574}, {3, 1},     {1920, 1080}, {768, 574}, {2, 2},     {5, 5}};
    uint32_t frame = 0;
    for (size_t round = 0; round < sizes.size(); round += 5) {
        std::vector<std::vector<uint8_t>> sent;
        for (size_t i = round; i < std::min(round + 5, sizes.size()); ++i) {
            sent.push_back(MakeRawMessage(++frame, sizes[i].first, sizes[i].second));
            ASSERT_EQ(server.Distribute(sent.back().data(), sent.back().size()), 1);
        }
        for (auto& c : clients)
            for (const auto& expected : sent)
                ExpectMessage(*c, expected);
    }
    // The last send may return just after the client has read it all.
    EXPECT_TRUE(main.WaitUntil([&] {
        for (const auto& s : server.GetSessionStats())
            if (s.sent != sizes.size())
                return false;
        return true;
    }));
    for (const auto& s : server.GetSessionStats())
        EXPECT_EQ(s.dropped, 0u);
}

TEST_F(FrameServerTest, NeverReadingClientHoldsAtMostSixAndOthersKeepUp) {
    uint16_t port = StartServer(10);
    auto reader = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));
    auto stuck = Connect(port);
    int small = 4096;
    setsockopt(stuck->GetHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(WaitForClients(server, 2));
    intptr_t stuckId = server.GetSessionStats().at(1).id;

    int maxQueued = 0;
    for (uint32_t frame = 1; frame <= 120; ++frame) {
        auto m = MakeRawMessage(frame, 768, 574);
        server.Distribute(m.data(), m.size());
        ExpectMessage(*reader, m);  // the reader gets every frame, in order
        for (const auto& s : server.GetSessionStats())
            if (s.id == stuckId)
                maxQueued = std::max(maxQueued, s.queued);
    }
    EXPECT_LE(maxQueued, CClientSession::kQueueLimit);
    for (const auto& s : server.GetSessionStats()) {
        if (s.id == stuckId)
            EXPECT_GT(s.dropped, 0u);
        else
            EXPECT_EQ(s.dropped, 0u);
    }
}

TEST_F(FrameServerTest, ClientLimit) {
    for (int limit : {0, 2}) {
        SCOPED_TRACE(limit);
        uint16_t port = StartServer(limit);
        std::vector<std::unique_ptr<CFrameClient>> accepted;
        for (int i = 0; i < limit; ++i) {
            accepted.push_back(Connect(port));
            ASSERT_TRUE(WaitForClients(server, i + 1));
        }
        auto extra = Connect(port);
        EXPECT_TRUE(SeesClose(*extra));
        EXPECT_TRUE(WaitForClients(server, limit));

        auto m = MakeRawMessage(1, 16, 16);
        server.Distribute(m.data(), m.size());
        for (auto& c : accepted)
            ExpectMessage(*c, m);
        ASSERT_TRUE(main.WaitUntil([&] { return queue.Pending() == 0; }));
        main.Pump();
        EXPECT_EQ(shown.back(), limit);
        EXPECT_EQ(server.Stop(), 1);
        EXPECT_EQ(shown.back(), 0);
    }
}

TEST_F(FrameServerTest, ClientThatSendsIsIgnoredAndKeepsReceiving) {
    uint16_t port = StartServer(5);
    auto c = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));
    std::vector<char> junk(5000, 'x');
    ASSERT_EQ(send(c->GetHandle(), junk.data(), junk.size(), 0), 5000);
    for (uint32_t frame = 1; frame <= 3; ++frame) {
        auto m = MakeRawMessage(frame, 32, 8);
        server.Distribute(m.data(), m.size());
        ExpectMessage(*c, m);
    }
    main.Pump();
    EXPECT_EQ(server.GetClientCount(), 1);
    EXPECT_TRUE(main.gone.empty());
}

TEST_F(FrameServerTest, LeavingClientsAreRemoved) {
    uint16_t port = StartServer(5);
    auto stays = Connect(port);
    auto closes = Connect(port);
    auto halfCloses = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 3));

    closes->Close();
    ASSERT_TRUE(WaitForClients(server, 2));
    // Shutting down only the sending side counts as leaving too.
    shutdown(halfCloses->GetHandle(), SHUT_WR);
    ASSERT_TRUE(WaitForClients(server, 1));
    ASSERT_TRUE(main.WaitUntil([&] { return shown.back() == 1; }));
    for (const auto& g : main.gone)
        EXPECT_EQ(g.wParam, CHANNEL_LOSSLESS);

    auto m = MakeRawMessage(9, 8, 8);
    server.Distribute(m.data(), m.size());
    ExpectMessage(*stays, m);
}

TEST_F(FrameServerTest, RepeatedAndStaleNoticesRemoveNothing) {
    uint16_t port = StartServer(5);
    auto a = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));
    auto b = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 2));
    a->Close();
    ASSERT_TRUE(WaitForClients(server, 1));
    ASSERT_EQ(main.gone.size(), 1u);
    intptr_t goneId = main.gone[0].lParam;

    EXPECT_EQ(server.RemoveClient(goneId), 0);
    EXPECT_EQ(server.GetClientCount(), 1);
    // After a restart the old id names no session, even though new ones exist.
    ASSERT_EQ(server.Stop(), 1);
    ASSERT_EQ(server.Start(port, 5, "127.0.0.1"), 1);
    auto c = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));
    server.RemoveClient(goneId);
    server.RemoveClient(server.GetSessionStats().at(0).id + 1000);
    EXPECT_EQ(server.GetClientCount(), 1);
    auto m = MakeRawMessage(1, 4, 2);
    server.Distribute(m.data(), m.size());
    ExpectMessage(*c, m);
}

TEST_F(FrameServerTest, StopWithClientsRemovesEveryoneAndLeavesNoThread) {
    {
        // A first round, so that threads the runtime starts lazily (sanitizers) exist
        // before the count is taken.
        uint16_t port = StartServer(10);
        auto c = Connect(port);
        ASSERT_TRUE(WaitForClients(server, 1));
        ASSERT_EQ(server.Stop(), 1);
    }
    int before = CountThreads();
    uint16_t port = StartServer(10);
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(Connect(port));
    ASSERT_TRUE(WaitForClients(server, 4));
    // One of them is blocked in a send it will never finish.
    auto m = MakeRawMessage(1, 4000, 3000);
    for (int i = 0; i < 3; ++i)
        server.Distribute(m.data(), m.size());
    EXPECT_GT(CountThreads(), before);

    EXPECT_EQ(server.Stop(), 1);
    EXPECT_EQ(server.GetClientCount(), 0);
    EXPECT_EQ(shown.back(), 0);
    EXPECT_EQ(CountThreads(), before);
    EXPECT_EQ(server.Stop(), 1);  // stopping again is harmless
    main.Pump();                  // notices posted while stopping find nothing
    EXPECT_EQ(server.Distribute(m.data(), m.size()), 1);  // not started: nothing happens
}

TEST_F(FrameServerTest, RestartOnTheSamePortAfterClientsWereClosed) {
    uint16_t port = StartServer(5);
    auto c = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));
    auto m = MakeRawMessage(1, 8, 8);
    server.Distribute(m.data(), m.size());
    ExpectMessage(*c, m);
    ASSERT_EQ(server.Stop(), 1);  // the server closes first: its side lingers in TIME_WAIT
    EXPECT_EQ(server.Start(port, 5, "127.0.0.1"), 1);
}

TEST_F(FrameServerTest, StartOnAPortInUseFails) {
    uint16_t port = StartServer(5);
    CFrameServer other(&queue, &log);
    EXPECT_EQ(other.Start(port, 5, "127.0.0.1"), 0);
    EXPECT_EQ(other.IsStarted(), 0);
    EXPECT_EQ(other.Stop(), 1);
}

TEST_F(FrameServerTest, MalformedMessagesAreRefusedAndTheStreamStaysWhole) {
    std::vector<uint32_t> sunk;
    server.SetMessageSink([&](const uint8_t* msg, uint32_t len) {
        sunk.push_back(len);
        EXPECT_EQ(ReadHeader<FrameHeader>(msg).totalLength, len);
    });
    uint16_t port = StartServer(5);
    auto c = Connect(port);
    ASSERT_TRUE(WaitForClients(server, 1));

    auto good = MakeRawMessage(1, 4, 2);
    struct Bad {
        const char* what;
        uint32_t totalLength;
        size_t length;
    } bad[] = {
        {"shorter than a header", 96, 40},
        {"total under 88", 87, 96},
        {"total beyond the buffer", 97, 96},
    };
    for (const auto& b : bad) {
        auto m = good;
        std::memcpy(m.data() + 8, &b.totalLength, 4);
        EXPECT_EQ(server.Distribute(m.data(), b.length), 0) << b.what;
    }
    // A buffer longer than its message: only the message is sent.
    auto padded = good;
    padded.resize(good.size() + 100, 0xAB);
    EXPECT_EQ(server.Distribute(padded.data(), padded.size()), 1);
    ExpectMessage(*c, good);
    EXPECT_EQ(sunk, std::vector<uint32_t>{96});
}

TEST_F(FrameServerTest, SinkSeesEveryMessageWithoutClients) {
    int calls = 0;
    server.SetMessageSink([&](const uint8_t*, uint32_t) { ++calls; });
    StartServer(5);
    for (uint32_t f = 1; f <= 3; ++f) {
        auto m = MakeRawMessage(f, 4, 2);
        server.Distribute(m.data(), m.size());
    }
    EXPECT_EQ(calls, 3);
}

TEST_F(FrameServerTest, LossyChannelCarriesJpegMessagesAndItsOwnNotice) {
    ASSERT_EQ(lossy.Start(0, 3, "127.0.0.1"), 1);
    auto c = Connect(lossy.GetPort());
    auto leaver = Connect(lossy.GetPort());
    ASSERT_TRUE(WaitForClients(lossy, 2));
    auto m = MakeJpegMessage(5, 1234, "a-camera-name-of-29-bytes-xyz");
    lossy.Distribute(m.data(), m.size());
    FrameMessage got;
    std::string error;
    ASSERT_EQ(c->ReadMessage(got, error), kReadMessage) << error;
    EXPECT_TRUE(got.bytes == m);
    EXPECT_EQ(got.info.kind, MessageKind::Lossy);
    EXPECT_EQ(got.info.cameraName, "a-camera-name-of-29-bytes-xyz");

    leaver->Close();
    ASSERT_TRUE(WaitForClients(lossy, 1));
    ASSERT_EQ(main.gone.size(), 1u);
    EXPECT_EQ(main.gone[0].wParam, CHANNEL_LOSSY);
    EXPECT_EQ(server.GetClientCount(), 0);
}

TEST_F(FrameServerTest, ShowCountOnlyOnceEnabled) {
    std::vector<int> quietShown;  // outlives the server that writes it
    CFrameServer quiet(&queue, &log);
    main.Attach(&quiet);
    quiet.SetClientCountDisplay([&](int n) { quietShown.push_back(n); });
    ASSERT_EQ(quiet.Start(0, 5, "127.0.0.1"), 1);
    auto c = Connect(quiet.GetPort());
    ASSERT_TRUE(WaitForClients(quiet, 1));
    main.Pump();
    EXPECT_TRUE(quietShown.empty());
    quiet.SetShowClientCount(1);
    EXPECT_EQ(quietShown, std::vector<int>{1});
}

TEST_F(FrameServerTest, ManyClientsComeAndGoWhileFramesFlow) {
    // Churn for the race detectors: connects, leaves and distributions interleave.
    uint16_t port = StartServer(20);
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (uint32_t frame = 1; frame <= 60; ++frame) {
        if (frame % 3 == 0)
            clients.push_back(Connect(port));
        if (frame % 5 == 0 && !clients.empty())
            clients.erase(clients.begin());
        auto m = MakeRawMessage(frame, 64, 64);
        server.Distribute(m.data(), m.size());
        main.Pump();
    }
    ASSERT_TRUE(main.WaitUntil(
        [&] { return server.GetClientCount() == static_cast<int>(clients.size()); }));
    EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
