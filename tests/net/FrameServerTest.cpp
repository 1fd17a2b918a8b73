#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "net/FrameClient.h"
#include "net/FrameServer.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/LogRecorder.h"

namespace {

constexpr int kTimeoutMs = 20000;

std::unique_ptr<CFrameClient> Connect(uint16_t port) {
    auto c = std::make_unique<CFrameClient>();
    std::string error;
    EXPECT_EQ(c->Connect("127.0.0.1", port, error), 1) << error;
    c->SetReceiveTimeout(kTimeoutMs);
    return c;
}

void ExpectMessage(CFrameClient& c, const std::vector<uint8_t>& expected) {
    FrameMessage m;
    std::string error;
    ASSERT_EQ(c.ReadMessage(m, error), kReadMessage) << error;
    EXPECT_TRUE(m.bytes == expected) << "frame " << m.info.frameNumber;
}

class FrameServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.SetClientCountDisplay([this](int n) { shown.push_back(n); });
        server.SetShowClientCount(1);
    }

    uint16_t StartServer(int limit) {
        EXPECT_EQ(server.Start(0, limit, "127.0.0.1"), 1);
        return server.GetPort();
    }

    CMessageQueue queue;
    CLogRecorder log;
    MainThread main{queue};
    std::vector<int> shown, lossyShown;
    CFrameServer server{&queue, &log};
    CLossyFrameServer lossy{&queue, &log};
};

TEST_F(FrameServerTest, NeverReadingClientHoldsAtMostSixAndOthersKeepUp) {
    uint16_t port = StartServer(10);
    auto reader = Connect(port);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    auto stuck = Connect(port);
    int small = 4096;
    setsockopt(stuck->GetHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(main.WaitForClients(server, 2));
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
    for (const auto& s : server.GetSessionStats())
        EXPECT_EQ(s.dropped > 0, s.id == stuckId);
}

TEST_F(FrameServerTest, SlowReaderGetsWholeMessagesAfterItsSocketFilled) {
    uint16_t port = StartServer(2);
    auto slow = Connect(port);
    int small = 256 * 1024;
    setsockopt(slow->GetHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    // 12 MB: more than the socket buffers on both ends hold.
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t frame = 1; frame <= 4; ++frame) {
        sent.push_back(MakeRawMessage(frame, 2048, 1500 + frame));
        server.Distribute(sent.back().data(), static_cast<uint32_t>(sent.back().size()));
    }
    // The server's writes stopped part-way into a message; reading picks them up again.
    ASSERT_TRUE(main.WaitUntil([&] { return server.GetSessionStats().at(0).queued < 3; }));
    for (const auto& m : sent)
        ExpectMessage(*slow, m);
    EXPECT_EQ(server.GetSessionStats().at(0).dropped, 0u);
}

TEST_F(FrameServerTest, FullChannelsRunOnAConstantHandfulOfThreads) {
    constexpr int kClients = 255;
    ASSERT_EQ(lossy.Start(0, kClients, "127.0.0.1"), 1);
    uint16_t port = StartServer(kClients);
    const int serving = CountThreads();
    EXPECT_LE(serving, 12);
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Connect(port));
        clients.push_back(Connect(lossy.GetPort()));
    }
    ASSERT_TRUE(main.WaitForClients(server, kClients));
    ASSERT_TRUE(main.WaitForClients(lossy, kClients));
    auto raw = MakeRawMessage(7, 64, 48);
    auto jpeg = MakeJpegMessage(7, 500, "cam");
    server.Distribute(raw.data(), static_cast<uint32_t>(raw.size()));
    lossy.Distribute(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
    for (size_t i = 0; i < clients.size(); ++i)
        ExpectMessage(*clients[i], i % 2 == 0 ? raw : jpeg);
    EXPECT_EQ(CountThreads(), serving);
}

TEST_F(FrameServerTest, ClientLimit) {
    for (int limit : {0, 2}) {
        SCOPED_TRACE(limit);
        uint16_t port = StartServer(limit);
        std::vector<std::unique_ptr<CFrameClient>> accepted;
        for (int i = 0; i < limit; ++i) {
            accepted.push_back(Connect(port));
            ASSERT_TRUE(main.WaitForClients(server, i + 1));
        }
        auto extra = Connect(port);
        FrameMessage none;
        std::string error;
        EXPECT_EQ(extra->ReadMessage(none, error), kReadEnd);
        EXPECT_TRUE(main.WaitForClients(server, limit));

        auto m = MakeRawMessage(1, 16, 16);
        server.Distribute(m.data(), m.size());
        for (auto& c : accepted)
            ExpectMessage(*c, m);
        ASSERT_TRUE(main.WaitUntil([&] { return queue.Pending() == 0; }));
        main.Pump();
        EXPECT_EQ(shown.back(), limit);
        EXPECT_EQ(server.Stop(), 1);
    }
}

TEST_F(FrameServerTest, LeavingClientsAreRemovedOnceAndOneThatSendsStays) {
    uint16_t port = StartServer(5);
    auto stays = Connect(port);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    const intptr_t staysId = server.GetSessionStats()[0].id;
    auto closes = Connect(port);
    auto halfCloses = Connect(port);
    ASSERT_TRUE(main.WaitForClients(server, 3));
    std::vector<intptr_t> leaving;
    for (const auto& st : server.GetSessionStats())
        if (st.id != staysId)
            leaving.push_back(st.id);
    std::vector<char> junk(5000, 'x');
    ASSERT_EQ(send(stays->GetHandle(), junk.data(), junk.size(), 0), 5000);

    closes->Close();
    ASSERT_TRUE(main.WaitForClients(server, 2));
    // Shutting down only the sending side counts as leaving too.
    shutdown(halfCloses->GetHandle(), SHUT_WR);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    ASSERT_TRUE(main.WaitUntil([&] { return shown.back() == 1; }));
    for (uint32_t frame = 1; frame <= 3; ++frame) {
        auto m = MakeRawMessage(frame, 32, 8);
        server.Distribute(m.data(), m.size());
        ExpectMessage(*stays, m);
    }
    main.Pump();
    ASSERT_EQ(server.GetSessionStats().size(), 1u);
    EXPECT_EQ(server.GetSessionStats()[0].id, staysId);

    // Repeated and stale removals remove nothing.
    ASSERT_EQ(leaving.size(), 2u);
    const intptr_t goneId = leaving[0];
    EXPECT_EQ(server.RemoveClient(goneId), 0);
    EXPECT_EQ(server.GetClientCount(), 1);
    CFrameServer other(&queue, &log);
    EXPECT_EQ(other.Start(port, 5, "127.0.0.1"), 0);
    // The server closes first, so its side lingers in TIME_WAIT: restart must still bind.
    // After it the old id names no session, even though new ones exist.
    ASSERT_EQ(server.Stop(), 1);
    EXPECT_EQ(server.DepartedSent(), 3u);  // the removed sessions' messages still count
    ASSERT_EQ(server.Start(port, 5, "127.0.0.1"), 1);
    auto again = Connect(port);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    server.RemoveClient(goneId);
    server.RemoveClient(server.GetSessionStats().at(0).id + 1000);
    EXPECT_EQ(server.GetClientCount(), 1);
}

TEST_F(FrameServerTest, StopWithClientsRemovesEveryoneAndLeavesNoThread) {
    {
        // A first round, so that threads the runtime starts lazily (sanitizers) exist
        // before the count is taken.
        uint16_t port = StartServer(10);
        auto c = Connect(port);
        ASSERT_TRUE(main.WaitForClients(server, 1));
        ASSERT_EQ(server.Stop(), 1);
    }
    int before = CountThreads();
    uint16_t port = StartServer(10);
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(Connect(port));
    ASSERT_TRUE(main.WaitForClients(server, 4));
    // One of them is blocked in a send it will never finish.
    auto m = MakeRawMessage(1, 4000, 3000);
    for (int i = 0; i < 3; ++i)
        server.Distribute(m.data(), m.size());
    EXPECT_EQ(server.Stop(), 1);
    EXPECT_EQ(shown.back(), 0);
    EXPECT_EQ(CountThreads(), before);
    EXPECT_EQ(server.Stop(), 1);  // stopping again is harmless
    main.Pump();                  // notices posted while stopping find nothing
    EXPECT_EQ(server.Distribute(m.data(), m.size()), 1);  // not started: nothing happens
}

TEST_F(FrameServerTest, MalformedMessagesAreRefusedAndTheStreamStaysWhole) {
    std::vector<uint32_t> sunk;
    server.SetMessageSink([&](const CSharedMessageRef& msg) {
        sunk.push_back(msg->Length());
        EXPECT_EQ(ReadHeader<FrameHeader>(msg->Data()).totalLength, msg->Length());
    });
    uint16_t port = StartServer(5);
    auto good = MakeRawMessage(1, 4, 2);
    EXPECT_EQ(server.Distribute(good.data(), good.size()), 1);  // the sink needs no client
    auto c = Connect(port);
    ASSERT_TRUE(main.WaitForClients(server, 1));
    // Shorter than a header, total under 88, total beyond the buffer.
    for (auto [total, length] : {std::pair<uint32_t, uint32_t>{96, 40}, {87, 96}, {97, 96}}) {
        auto m = good;
        std::memcpy(m.data() + 8, &total, 4);
        EXPECT_EQ(server.Distribute(m.data(), length), 0) << total << " " << length;
    }
    // A buffer longer than its message: only the message is sent.
    auto padded = good;
    padded.resize(good.size() + 100, 0xAB);
    EXPECT_EQ(server.Distribute(padded.data(), padded.size()), 1);
    ExpectMessage(*c, good);
    EXPECT_EQ(sunk, (std::vector<uint32_t>{96, 96}));
}

TEST_F(FrameServerTest, LossyChannelRemovesItsOwnLeaversAndHasItsOwnDisplay) {
    lossy.SetClientCountDisplay([this](int n) { lossyShown.push_back(n); });
    ASSERT_EQ(lossy.Start(0, 3, "127.0.0.1"), 1);
    auto leaver = Connect(lossy.GetPort());
    ASSERT_TRUE(main.WaitForClients(lossy, 1));
    main.Pump();
    EXPECT_TRUE(lossyShown.empty());  // shown only once enabled
    lossy.SetShowClientCount(1);
    EXPECT_EQ(lossyShown, std::vector<int>{1});
    leaver->Close();
    ASSERT_TRUE(main.WaitForClients(lossy, 0));
    EXPECT_EQ(lossyShown.back(), 0);
}

TEST_F(FrameServerTest, ManyClientsComeAndGoWhileFramesFlow) {
    // Churn for the race detectors.
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
