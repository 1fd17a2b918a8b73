#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "tests/control/ZeftTestSupport.h"

namespace {

class ZeftMonitorTest : public ZeftServerTest {
  protected:
    ZeftMonitorTest() {
        limits_.maxQueuedBytes = 2u * 1024 * 1024;
        limits_.partialMessageTimeoutMs = 300;
        limits_.idleTimeoutMs = 400;
        limits_.maxConnections = 6;
    }

    int Connect(const std::vector<uint8_t>& bytes = {}) {
        UniqueFd fd;
        EXPECT_EQ(ZeftConnect("127.0.0.1", port_, ZeftNowMs() + 3000, &fd), kZeftOk);
        if (!bytes.empty())
            ZeftSendAll(fd.get(), bytes.data(), bytes.size(), ZeftNowMs() + 3000);
        return fd.release();
    }

    // Whether the server closed `fd` within seconds (pumping meanwhile); closes it.
    bool ClosedByServer(int fd) {
        bool closed = false;
        PumpUntil([&] {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                char b[256];
                ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
                closed = n == 0 || (n < 0 && errno != EAGAIN);
            }
            return closed;
        });
        ::close(fd);
        return closed;
    }

    bool ServerStillAnswers() {
        ZeftWireReply r;
        return Call(Address(), "COUNTER", {}, 1, &r) == 0;
    }
};

TEST_F(ZeftMonitorTest, IntervalIsNeverShorterThanMinPollingRate) {
    MinPollingRate = 100;
    std::string addr = Address();
    // Asked for every millisecond, served at most every 100 ms: in 600 ms at most one
    // immediate run and six timed ones.
    int replies = OnClient([&] {
        CZeftMonitor m;
        if (m.Open(addr.c_str(), "COUNTER", {}, 1, 1, 3000) != 0)
            return -1;
        int n = 0;
        int64_t end = ZeftNowMs() + 600;
        ZeftWireReply r;
        while (ZeftNowMs() < end) {
            int16_t rc = m.Next(static_cast<int32_t>(std::max<int64_t>(end - ZeftNowMs(), 1)), &r);
            if (rc == kZeftTimeout)
                break;
            if (rc != 0)
                return -1;
            ++n;
        }
        return n;
    });
    EXPECT_GE(replies, 1);
    EXPECT_LE(replies, 7);
}

TEST_F(ZeftMonitorTest, ScheduleServesAtOnceAndTwoSubscribersShareEveryRun) {
    std::string addr = Address();
    std::atomic<int> last[2] = {0, 0};
    std::atomic<bool> leave[2] = {false, false};
    std::vector<int32_t> seen[2];
    auto subscriber = [&](int i) {
        CZeftMonitor m;
        // Interval 0: served only at the start and when the property is scheduled.
        if (m.Open(addr.c_str(), "COUNTER", {}, 1, 0, 3000) != 0)
            return;
        ZeftWireReply r;
        while (!leave[i]) {
            int16_t rc = m.Next(100, &r);
            if (rc == kZeftTimeout)
                continue;
            if (rc != 0)
                return;
            seen[i].push_back(ReplyInt(r));
            last[i] = ReplyInt(r);
        }
    };
    std::thread a(subscriber, 0), b(subscriber, 1);
    ASSERT_TRUE(PumpUntil([&] { return last[0] == 1 && last[1] == 1; }));
    EXPECT_EQ(ZeftGetServerStats().contracts, 1);
    for (int k = 2; k <= 6; ++k) {
        EXPECT_EQ(_SystemScheduleProperty("TESTSRV", "COUNTER"), 0);
        ASSERT_TRUE(PumpUntil([&] { return last[0] == k && last[1] == k; })) << k;
    }
    EXPECT_EQ(runs_, 6);

    leave[0] = true;
    a.join();
    EXPECT_EQ(_SystemScheduleProperty("testsrv", "COUNTER"), 0);
    ASSERT_TRUE(PumpUntil([&] { return last[1] == 7; }));
    leave[1] = true;
    b.join();
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().contracts == 0; }));
    EXPECT_EQ(seen[1], (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(seen[0], (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(ZeftMonitorTest, RefusedMonitorEndsAtOnce) {
    std::string addr = Address();
    ZeftWireReply r;
    EXPECT_TRUE(OnClient([&] {
        CZeftMonitor m;
        return m.Open(addr.c_str(), "NOSUCH", {}, 1, 50, 3000) == 0 && m.Next(3000, &r) == 0 &&
               m.Ended();
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
    ZeftWireHeader h;
    std::vector<uint8_t> body;
    ZeftWireReply r;
    ASSERT_EQ(ZeftReadMessage(fd, ZeftNowMs() + 3000, 4u << 20, &h, &body), 0);
    ASSERT_EQ(ZeftParseReply(body.data(), body.size(), &r), 0);
    EXPECT_EQ(r.data.size(), 1u << 20);
    ::close(fd);
}

TEST_F(ZeftMonitorTest, BadInputClosesOnlyItsOwnConnection) {
    auto header = [](ZeftMsgType type, uint32_t length) {
        std::vector<uint8_t> h(kZeftHeaderSize);
        ZeftWriteHeader(h.data(), ZeftWireHeader{type, 0, 1, length});
        return h;
    };
    std::vector<uint8_t> valid = RawCall(ZeftMsgType::Call, "COUNTER");
    std::vector<uint8_t> badName = valid;
    badName[kZeftHeaderSize + kZeftCallFixedSize] = 200;  // context longer than the body
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"garbage", std::vector<uint8_t>(64, 'G')},
        {"oversized", header(ZeftMsgType::Call, 0x7FFFFFF0)},
        {"reply from a client", header(ZeftMsgType::Reply, 0)},
        {"cancel with a body", header(ZeftMsgType::Cancel, 4)},
        {"name past the end", badName},
        {"truncated, then silent", std::vector<uint8_t>(valid.begin(), valid.end() - 3)},
        {"header begun, then silent", std::vector<uint8_t>(valid.begin(), valid.begin() + 5)},
        {"connected, never a byte", {}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(ClosedByServer(Connect(c.bytes))) << c.what;
        EXPECT_TRUE(ServerStillAnswers()) << c.what;
    }
    EXPECT_GE(ZeftGetServerStats().connectionsClosedBad, 7u);
}

TEST_F(ZeftMonitorTest, SlowDripTimesOut) {
    int fd = Connect();
    // One byte every 100 ms: the message never completes within the 300 ms allowed.
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        std::vector<uint8_t> m = RawCall(ZeftMsgType::Call, "COUNTER");
        for (size_t i = 0; i < m.size() && !stop; ++i) {
            if (::send(fd, &m[i], 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    PumpUntil([&] { return ZeftGetServerStats().connectionsClosedBad > 0; });
    stop = true;
    drip.join();
    EXPECT_TRUE(ClosedByServer(fd));
    EXPECT_EQ(runs_, 0);
    EXPECT_TRUE(ServerStillAnswers());
}

TEST_F(ZeftMonitorTest, ConnectionsAreBounded) {
    // Each busy with a monitor, so idleness does not close them.
    std::vector<int> fds;
    for (int i = 0; i < 6; ++i)
        fds.push_back(Connect(RawCall(ZeftMsgType::Monitor, "COUNTER")));
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().openConnections == 6; }));
    EXPECT_TRUE(ClosedByServer(Connect()));
    EXPECT_EQ(ZeftGetServerStats().connectionsRefused, 1u);
    ::close(fds.back());
    fds.pop_back();
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().openConnections == 5; }));
    EXPECT_TRUE(ServerStillAnswers());
    for (int fd : fds)
        ::close(fd);
}

}  // namespace
