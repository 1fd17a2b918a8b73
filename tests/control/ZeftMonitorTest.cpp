#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "control/zeft/ZeftProtocol.h"
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

    void SetUp() override {
        ZeftServerTest::SetUp();
        ASSERT_EQ(
            srv_->AddProperty("COUNTER", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", 1, "c"), 0);
        ASSERT_EQ(
            srv_->AddProperty("BIG", 1, kZeftFormatByte, "", 1 << 20, kZeftFormatByte, "", 1, "b"),
            0);
        big_.assign(1 << 20, 0x5A);
        srv_->SetPropertyCallHandler(
            [this](const std::string&, const std::string& prop, int32_t, int32_t, int16_t) {
                ++runs_;
                if (prop == "COUNTER")
                    srv_->PutReplyData(static_cast<uint32_t>(runs_.load()));
                else
                    srv_->PutReplyArray(big_, static_cast<uint32_t>(big_.size()));
            });
    }

    // A raw connection to the server.
    int Connect() {
        UniqueFd fd;
        EXPECT_EQ(ZeftConnect("127.0.0.1", port_, ZeftNowMs() + 3000, &fd), kZeftOk);
        return fd.release();
    }

    // Whether the server closed `fd` within `ms` (pumping meanwhile).
    bool ClosedByServer(int fd, int ms = 5000) {
        bool closed = false;
        PumpUntil(
            [&] {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    char b[256];
                    ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
                    closed = n == 0 || (n < 0 && errno != EAGAIN);
                }
                return closed;
            },
            ms / 1000 + 1);
        return closed;
    }

    bool ServerStillAnswers() {
        std::string addr = Address();
        ZeftWireReply r;
        return OnClient([&] { return ZeftCall(addr.c_str(), "COUNTER", {}, 1, 3000, &r); }) == 0;
    }

    std::atomic<int> runs_{0};
    std::vector<uint8_t> big_;
};

TEST_F(ZeftMonitorTest, PollsAtItsInterval) {
    std::string addr = Address();
    std::vector<int32_t> seen = OnClient([&] {
        std::vector<int32_t> values;
        CZeftMonitor m;
        if (m.Open(addr.c_str(), "COUNTER", {}, 1, 30, 3000) != 0)
            return values;
        ZeftWireReply r;
        while (values.size() < 5 && m.Next(3000, &r) == 0)
            values.push_back(ReplyInt(r));
        return values;
    });
    ASSERT_EQ(seen.size(), 5u);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_GT(seen[i], seen[i - 1]);
}

TEST_F(ZeftMonitorTest, IntervalIsNeverShorterThanMinPollingRate) {
    MinPollingRate = 100;
    std::string addr = Address();
    // Asked for every millisecond, served at most every 100 ms: in 600 ms at most one
    // immediate run and six timed ones (a loaded machine only makes it fewer).
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
    MinPollingRate = 8;
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
    EXPECT_EQ(runs_, 6);  // one handler run per delivery, shared by both

    // One leaves; the other is still served.
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
    bool ended = OnClient([&] {
        CZeftMonitor m;
        return m.Open(addr.c_str(), "NOSUCH", {}, 1, 50, 3000) == 0 && m.Next(3000, &r) == 0 &&
               m.Ended();
    });
    EXPECT_TRUE(ended);
    EXPECT_EQ(r.status, kZeftIllegalProperty);
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().contracts == 0; }));
}

TEST_F(ZeftMonitorTest, ReaderThatStopsReadingLosesRepliesNotMemory) {
    int fd = Connect();
    ZeftWireCall call;
    call.access = 1;
    call.device = "DEV";
    call.property = "BIG";
    call.equipment = "TESTSRV";
    std::vector<uint8_t> msg = ZeftEncodeCall(ZeftMsgType::Monitor, 1, call);
    ASSERT_EQ(ZeftSendAll(fd, msg.data(), msg.size(), ZeftNowMs() + 3000), 0);
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
    ZeftWireCall call;
    call.access = 1;
    call.device = "DEV";
    call.property = "COUNTER";
    std::vector<uint8_t> valid = ZeftEncodeCall(ZeftMsgType::Call, 1, call);
    std::vector<uint8_t> badName = valid;
    badName[kZeftHeaderSize + kZeftCallFixedSize] = 200;  // context longer than the body

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> garbage(64, 'G');
    std::vector<uint8_t> truncated = valid;
    truncated.resize(valid.size() - 3);
    std::vector<Case> cases = {
        {"garbage", garbage},
        {"oversized", header(ZeftMsgType::Call, 0x7FFFFFF0)},
        {"reply from a client", header(ZeftMsgType::Reply, 0)},
        {"cancel with a body", header(ZeftMsgType::Cancel, 4)},
        {"name past the end", badName},
        {"truncated, then silent", truncated},
        {"header begun, then silent", std::vector<uint8_t>(valid.begin(), valid.begin() + 5)},
        {"connected, never a byte", {}},
    };
    for (const Case& c : cases) {
        int fd = Connect();
        if (!c.bytes.empty())
            ZeftSendAll(fd, c.bytes.data(), c.bytes.size(), ZeftNowMs() + 3000);
        EXPECT_TRUE(ClosedByServer(fd)) << c.what;
        ::close(fd);
        EXPECT_TRUE(ServerStillAnswers()) << c.what;
    }
    EXPECT_GE(ZeftGetServerStats().connectionsClosedBad, 7u);
}

TEST_F(ZeftMonitorTest, SlowDripTimesOut) {
    int fd = Connect();
    // One byte every 100 ms: the message never completes within the 300 ms allowed.
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        ZeftWireCall call;
        call.access = 1;
        call.device = "DEV";
        call.property = "COUNTER";
        std::vector<uint8_t> m = ZeftEncodeCall(ZeftMsgType::Call, 1, call);
        for (size_t i = 0; i < m.size() && !stop; ++i) {
            if (::send(fd, &m[i], 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    bool closed = ClosedByServer(fd);
    stop = true;
    drip.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(runs_, 0);
    ::close(fd);
    EXPECT_TRUE(ServerStillAnswers());
}

TEST_F(ZeftMonitorTest, ConnectionsAreBounded) {
    std::vector<int> fds;
    // Keep them busy with a monitor each, so idleness does not close them.
    for (int i = 0; i < 6; ++i) {
        fds.push_back(Connect());
        ZeftWireCall call;
        call.access = 1;
        call.device = "DEV";
        call.property = "COUNTER";
        std::vector<uint8_t> m = ZeftEncodeCall(ZeftMsgType::Monitor, 1, call);
        ZeftSendAll(fds.back(), m.data(), m.size(), ZeftNowMs() + 3000);
    }
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().openConnections == 6; }));
    int extra = Connect();
    EXPECT_TRUE(ClosedByServer(extra));
    ::close(extra);
    EXPECT_EQ(ZeftGetServerStats().connectionsRefused, 1u);
    ::close(fds.back());
    fds.pop_back();
    ASSERT_TRUE(PumpUntil([] { return ZeftGetServerStats().openConnections == 5; }));
    EXPECT_TRUE(ServerStillAnswers());
    for (int fd : fds)
        ::close(fd);
}

}  // namespace
