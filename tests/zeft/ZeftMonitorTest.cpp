#include <gtest/gtest.h>

#include "tests/zeft/ZeftTestSupport.h"

namespace {

// Monitors, and the limits that keep untrusted peers from exhausting the server.
class ZeftMonitorTest : public ZeftServerTest {
  protected:
    ZeftMonitorTest() {
        limits_.maxQueuedBytes = 2u * 1024 * 1024;
        limits_.partialMessageTimeoutMs = 300;
        limits_.idleTimeoutMs = 400;
        limits_.maxConnections = 6;
        limits_.maxConnectionsPerPeer = 4;
        limits_.maxCallsPerConnection = 3;
        limits_.maxMonitorsPerConnection = 64;
    }
    // Serves anew under `limits_`: other values replace the registration.
    void Reregister() {
        ZeftSetServerLimits(limits_);
        ASSERT_EQ(Register("TESTSRV2", 12), 0);
        port_ = ZeftGetRegistration().port;
    }
    void TearDown() override {
        SetBurstLimit(500);
        ZeftServerTest::TearDown();
    }
};

TEST_F(ZeftMonitorTest, IntervalIsNeverShorterThanMinPollingRate) {
    MinPollingRate = 100;
    // Asked for every millisecond, served at most every 100 ms: in 600 ms at most one
    // immediate run and six timed ones.
    int fd = Connect(RawCall(ZeftMsgType::Monitor, "COUNTER", 1, 1));
    int64_t end = ZeftNowMs() + 600;
    PumpUntil([&] { return ZeftNowMs() > end; });
    EXPECT_GE(runs_, 2);
    EXPECT_LE(runs_, 7);
    ::close(fd);
}

TEST_F(ZeftMonitorTest, ScheduleServesAtOnceAndSubscribersShareEveryRun) {
    // Interval 0: served only at the start and when the property is scheduled.
    int a = Connect(RawCall(ZeftMsgType::Monitor, "COUNTER", 1));
    int b = Connect(RawCall(ZeftMsgType::Monitor, "COUNTER", 2));
    int32_t va = 0, vb = 0;
    for (int32_t k = 1; k <= 3; ++k) {
        if (k > 1) {
            EXPECT_EQ(_SystemScheduleProperty("TESTSRV", "COUNTER"), 0);
        }
        EXPECT_EQ(NextReply(a, true, &va), std::make_pair(1u, kZeftOk));
        EXPECT_EQ(NextReply(b, true, &vb), std::make_pair(2u, kZeftOk));
        EXPECT_EQ(va, k);
        EXPECT_EQ(vb, k);
    }
    EXPECT_EQ(ZeftGetServerStats().contracts, 1);
    EXPECT_EQ(runs_, 3);
    ::close(a);
    EXPECT_EQ(_SystemScheduleProperty("testsrv", "COUNTER"), 0);
    EXPECT_EQ(NextReply(b, true, &vb), std::make_pair(2u, kZeftOk));
    EXPECT_EQ(vb, 4);
    ::close(b);
    EXPECT_TRUE(PumpUntil([] { return ZeftGetServerStats().contracts == 0; }));
}

TEST_F(ZeftMonitorTest, RefusedMonitorEndsAtOnce) {
    std::string addr = Address();
    ZeftWireReply r;
    EXPECT_TRUE(OnClient([&] {
        CZeftMonitor m;
        return m.Open(addr.c_str(), "NOSUCH", {}, kZeftRead, 50, 3000) == 0 &&
               m.Next(3000, &r) == 0 && m.Ended();
    }));
    EXPECT_EQ(r.status, kZeftIllegalProperty);
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().contracts == 0; }));
}

TEST_F(ZeftMonitorTest, ReaderThatStopsReadingLosesRepliesNotMemory) {
    int fd = Connect(RawCall(ZeftMsgType::Monitor, "BIG"));
    ASSERT_TRUE(PumpUntil([&] { return runs_ == 1; }));
    for (int i = 0; i < 40; ++i) {
        _SystemScheduleProperty("TESTSRV", "BIG");
        ASSERT_TRUE(PumpUntil([&] { return ZeftGetServerStats().contractRuns >= 2u + i; }));
    }
    EXPECT_GT(ZeftGetServerStats().monitorRepliesDropped, 0u);
    EXPECT_TRUE(ServerStillAnswers());
    // What the reader does get is whole replies: the stream is still in step.
    EXPECT_EQ(NextReply(fd, false), std::make_pair(1u, kZeftOk));
    ::close(fd);
}

TEST_F(ZeftMonitorTest, BadInputClosesOnlyItsOwnConnection) {
    auto header = [](ZeftMsgType type, uint32_t length) {
        std::vector<uint8_t> h(kZeftHeaderSize);
        ZeftWriteHeader(h.data(), ZeftWireHeader{type, 0, 1, length});
        return h;
    };
    std::vector<uint8_t> valid = RawCall(ZeftMsgType::Call, "COUNTER");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"oversized", header(ZeftMsgType::Call, 0x7FFFFFF0)},
        {"reply from a client", header(ZeftMsgType::Reply, 0)},
        {"cancel with a body", header(ZeftMsgType::Cancel, 4)},
        {"truncated, then silent", std::vector<uint8_t>(valid.begin(), valid.end() - 3)},
        {"connected, never a byte", {}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ClosedByServer(Connect(c.bytes))) << c.what;
        EXPECT_TRUE(ServerStillAnswers()) << c.what;
    }
    EXPECT_GE(ZeftGetServerStats().connectionsClosedBad, 4u);

    // One byte every 100 ms: the message never completes within the 300 ms allowed,
    // however steadily it trickles.
    int fd = Connect();
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        for (size_t i = 0; i < valid.size() && !stop; ++i) {
            if (::send(fd, &valid[i], 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    uint64_t bad = ZeftGetServerStats().connectionsClosedBad;
    int runs = runs_;
    EXPECT_TRUE(PumpUntil([&] { return ZeftGetServerStats().connectionsClosedBad > bad; }));
    stop = true;
    drip.join();
    EXPECT_TRUE(ClosedByServer(fd));
    EXPECT_EQ(runs_, runs);
}

TEST_F(ZeftMonitorTest, ConnectionsAreSharedOutAndIdleOnesMakeRoom) {
    limits_.idleTimeoutMs = 60000;
    Reregister();
    std::vector<int> fds = {Connect(RawCall(ZeftMsgType::Monitor, "COUNTER"), "127.0.0.2"),
                            Connect(RawCall(ZeftMsgType::Monitor, "COUNTER"), "127.0.0.2")};
    for (int fd : fds)  // subscribed before the idle ones come
        EXPECT_EQ(NextReply(fd).second, kZeftOk);
    for (int i = 0; i < 4; ++i)
        fds.push_back(Connect());
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().openConnections == 6; }));
    EXPECT_TRUE(ClosedByServer(Connect()));  // beyond one peer's share
    EXPECT_EQ(ZeftGetServerStats().connectionsRefused, 1u);
    // At the total the oldest idle connection gives way; older monitor holders never do.
    int oldestIdle = fds[2];
    fds.erase(fds.begin() + 2);
    fds.push_back(Connect({}, "127.0.0.3"));
    EXPECT_TRUE(ClosedByServer(oldestIdle));
    EXPECT_EQ(ZeftGetServerStats().connectionsRefused, 1u);
    for (int fd : fds)
        ::close(fd);
}

// A caller that sends and never reads: no more is read from it once its replies pass the
// bound, and it is closed when none gets through for the write time-out.
TEST_F(ZeftMonitorTest, CallerThatNeverReadsIsHeldBackThenClosed) {
    limits_.maxQueuedBytes = 64 * 1024;
    limits_.writeTimeoutMs = 500;
    Reregister();
    // Refused by the network thread: no handler needs pumping.
    std::vector<uint8_t> one = RawCall(ZeftMsgType::Call, "X", 1, 0, kZeftRead, "NODEV"), burst;
    for (int i = 0; i < 1000; ++i)
        burst.insert(burst.end(), one.begin(), one.end());
    int fd = Connect();
    timeval limit{10, 0};  // without the write time-out, the send would wait for good
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    size_t sent = 0, k = burst.size();
    for (ssize_t n; (n = ::send(fd, &burst[sent % k], k - sent % k, MSG_NOSIGNAL)) > 0;)
        sent += static_cast<size_t>(n);  // until the server closes it
    EXPECT_EQ(ZeftGetServerStats().connectionsClosedBad, 1u);
    EXPECT_LE(ZeftGetServerStats().queuedBytesPeak, 64u * 1024 + 64);
    EXPECT_GT(sent, 1u << 20);
    ::close(fd);
}

// Nothing is pumped until the refusals are read, so every accepted call stays waiting.
TEST_F(ZeftMonitorTest, CallsBeyondTheBurstLimitAreRefusedUntilOthersEnd) {
    EXPECT_EQ(SetBurstLimit(0), 500);  // raised to 1: a limit of 0 would refuse everything
    EXPECT_EQ(SetBurstLimit(2), 1);
    int a = Connect(RawCalls(ZeftMsgType::Call, 1, 2));
    int b = Connect(RawCall(ZeftMsgType::Call, "COUNTER", 7));
    EXPECT_EQ(NextReply(b, false), std::make_pair(7u, kZeftServerBusy));
    // A monitor at the limit is not refused: its run waits for its next turn.
    int m = Connect(RawCall(ZeftMsgType::Monitor, "COUNTER", 9, 50));
    EXPECT_EQ(NextReply(a), std::make_pair(1u, kZeftOk));
    EXPECT_EQ(NextReply(a), std::make_pair(2u, kZeftOk));
    EXPECT_EQ(NextReply(m), std::make_pair(9u, kZeftOk));
    ::close(m);
    std::vector<uint8_t> second = RawCall(ZeftMsgType::Call, "COUNTER", 2);
    ZeftSendAll(b, second.data(), second.size(), ZeftNowMs() + 3000);
    EXPECT_EQ(NextReply(b), std::make_pair(2u, kZeftOk));
    ::close(a);
    ::close(b);
}

TEST_F(ZeftMonitorTest, WaitingCallsMonitorsAndContractsAreBounded) {
    int fd = Connect(RawCalls(ZeftMsgType::Call, 1, 4));
    EXPECT_EQ(NextReply(fd, false), std::make_pair(4u, kZeftServerBusy));
    for (uint32_t id = 1; id <= 3; ++id)
        EXPECT_EQ(NextReply(fd), std::make_pair(id, kZeftOk));
    ::close(fd);

    // 64 monitors a connection; 256 contracts in all.
    std::vector<int> fds{Connect(RawCalls(ZeftMsgType::Monitor, 1, 65))};
    EXPECT_EQ(NextReply(fds[0], false), std::make_pair(65u, kZeftServerBusy));
    for (int i = 1; i < 4; ++i)
        fds.push_back(Connect(RawCalls(ZeftMsgType::Monitor, 100 * i, 64)));
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().contracts == 256; }));
    fds.push_back(Connect(RawCalls(ZeftMsgType::Monitor, 1000, 1), "127.0.0.2"));
    EXPECT_EQ(NextReply(fds.back(), false), std::make_pair(1000u, kZeftServerBusy));
    for (int f : fds)
        ::close(f);
}

}  // namespace
