// Host rules of the control-system server: other hosts are played by loopback addresses
// a raw client binds before it connects.
#include <mutex>

#include "base/LittleEndian.h"
#include "tests/control/ZeftTestSupport.h"

namespace {

class ZeftAccessTest : public ZeftServerTest {
  protected:
    void TearDown() override {
        ZeftSetAccess({});
        ZeftServerTest::TearDown();
    }
    void Rules(const char* view, const char* control) {
        ZeftSetAccess(
            {CHostList::Parse(view), CHostList::Parse(control), [this](const ZeftWriteNote& n) {
                 std::lock_guard lock(notesMutex_);
                 notes_.push_back(FormatIPv4(n.peer) + " " + n.property + " " + n.value + " " +
                                  std::to_string(n.status));
             }});
    }
    // One request from `from`: (status, integer of the reply).
    std::pair<int16_t, int32_t> Send(const char* from, ZeftMsgType type, int16_t access,
                                     int32_t value = 0) {
        ZeftWireCall call;
        call.access = access;
        call.device = "DEV";
        call.property = "VALUE";
        call.replyFormat = kZeftFormatInt;
        call.replyCapacity = 1;
        call.intervalMs = 100;
        if (access & kZeftWrite) {
            call.requestFormat = kZeftFormatInt;
            call.requestCount = 1;
            call.data.resize(4);
            StoreLE32(call.data.data(), static_cast<uint32_t>(value));
        }
        int fd = Connect(ZeftEncodeCall(type, 9, call), from);
        int32_t got = -1;
        auto [id, status] = NextReply(fd, true, &got);
        ::close(fd);
        EXPECT_EQ(id, 9u) << from;
        return {status, got};
    }
    std::vector<std::string> Notes() {
        std::lock_guard lock(notesMutex_);
        return notes_;
    }

    std::mutex notesMutex_;  // guards notes_, written on the server's network thread
    std::vector<std::string> notes_;
};

TEST_F(ZeftAccessTest, WritesFromOutsideControlHostsAreDeniedBeforeTheHandler) {
    Rules("", "127.0.0.1");
    const int before = runs_;
    EXPECT_EQ(Send("127.0.0.2", ZeftMsgType::Call, kZeftWrite, 7).first, kZeftAccessDenied);
    EXPECT_EQ(Send("127.0.0.2", ZeftMsgType::Call, kZeftReadWrite, 7).first, kZeftAccessDenied);
    EXPECT_EQ(runs_, before);
    EXPECT_EQ(value_, 5u);
    EXPECT_EQ(Send("127.0.0.2", ZeftMsgType::Call, kZeftRead), std::make_pair(kZeftOk, 5));
    EXPECT_EQ(Send("127.0.0.2", ZeftMsgType::Monitor, kZeftRead), std::make_pair(kZeftOk, 5));
    EXPECT_EQ(Send("127.0.0.1", ZeftMsgType::Call, kZeftReadWrite, 7), std::make_pair(kZeftOk, 7));
    EXPECT_EQ(value_, 7u);
    EXPECT_EQ(Notes(), (std::vector<std::string>{"127.0.0.2 VALUE 7 1003", "127.0.0.2 VALUE 7 1003",
                                                 "127.0.0.1 VALUE 7 0"}));
}

TEST_F(ZeftAccessTest, HostsOutsideViewHostsAreDeniedEverything) {
    Rules("127.0.0.1 127.0.0.3/32", "");
    const int before = runs_;
    for (auto [type, access] : {std::pair{ZeftMsgType::Call, kZeftRead},
                                {ZeftMsgType::Monitor, kZeftRead},
                                {ZeftMsgType::Call, kZeftWrite}})
        EXPECT_EQ(Send("127.0.0.2", type, access).first, kZeftAccessDenied);
    EXPECT_EQ(runs_, before);
    EXPECT_EQ(Send("127.0.0.3", ZeftMsgType::Call, kZeftRead), std::make_pair(kZeftOk, 5));
    EXPECT_EQ(Send("127.0.0.1", ZeftMsgType::Call, kZeftWrite, 3).first, kZeftOk);
    EXPECT_EQ(value_, 3u);
    // A list with nothing valid in it lets nobody in.
    Rules("127.0.0.256", "");
    EXPECT_EQ(Send("127.0.0.1", ZeftMsgType::Call, kZeftRead).first, kZeftAccessDenied);
}

}  // namespace
