// The real program with host rules in its configuration: other hosts are played by
// loopback addresses the clients bind before they connect.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "base/LittleEndian.h"
#include "control/zeft/ZeftClient.h"
#include "control/zeft/ZeftProtocol.h"
#include "frame/FrameHeader.h"
#include "tests/support/Program.h"

namespace {

int ConnectFrom(const char* from, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << from;
    timeval tv{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

class AccessProgramTest : public ::testing::Test {
  protected:
    void Start(const std::string& access) {
        dir_ = std::make_unique<ProgramDir>(LUMERIX2_EXE, ("[Access]\n" + access).c_str());
        WriteFileText(dir_->File("curhardware.cfg"),
                      "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\n"
                      "DeviceVideoMode=7\n");
        pid_ = dir_->StartServer({"/a"});
        ASSERT_TRUE(dir_->WaitForLog("Grabbing started."));
    }
    void TearDown() override {
        if (pid_ > 0) {
            EXPECT_EQ(dir_->Run({"/q"}), 0);
            EXPECT_EQ(WaitExit(pid_), 0);
        }
    }
    uint16_t ZeftPort() const { return uint16_t(32100 + dir_->GetPorts().zeftOffset); }

    // `count` calls of `property` on one connection from `from`; the replies in order.
    std::vector<ZeftWireReply> Calls(const char* from, const char* property, int16_t access,
                                     double value = 0, int count = 1) {
        ZeftWireCall call;
        call.access = access;
        call.context = "TEST";
        call.device = "LUMERIX";
        call.property = property;
        call.replyFormat = kZeftFormatText;
        call.replyCapacity = 1;
        if (access & kZeftWrite) {
            call.requestFormat = kZeftFormatDouble;
            call.requestCount = 1;
            call.data.resize(8);
            StoreLEDouble(call.data.data(), value);
        }
        std::vector<uint8_t> bytes;
        for (int i = 1; i <= count; ++i) {
            auto one = ZeftEncodeCall(ZeftMsgType::Call, uint32_t(i), call);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        int fd = ConnectFrom(from, ZeftPort());
        EXPECT_EQ(ZeftSendAll(fd, bytes.data(), bytes.size(), ZeftNowMs() + 10000), kZeftOk);
        std::vector<ZeftWireReply> replies;
        for (int i = 0; i < count; ++i) {
            ZeftWireHeader h;
            std::vector<uint8_t> body;
            ZeftWireReply r;
            if (ZeftReadMessage(fd, ZeftNowMs() + 20000, 1 << 20, &h, &body) != kZeftOk ||
                ZeftParseReply(body.data(), body.size(), &r) != kZeftOk)
                break;
            replies.push_back(r);
        }
        ::close(fd);
        EXPECT_EQ(int(replies.size()), count) << from << " " << property;
        return replies;
    }
    int16_t Status(const char* from, const char* property, int16_t access, double value = 0) {
        auto r = Calls(from, property, access, value);
        return r.empty() ? -999 : r[0].status;
    }
    std::string Health() {
        auto r = Calls("127.0.0.1", "X_HEALTH", kZeftRead);
        return r.empty() ? "" : std::string(r[0].data.begin(), r[0].data.end());
    }
    // The scale of the next lossless frame read by a client at `from`.
    double FrameScale(const char* from) {
        int fd = ConnectFrom(from, dir_->GetPorts().lossless);
        uint8_t header[kFrameHeaderSize];
        const ssize_t n = ::recv(fd, header, sizeof header, MSG_WAITALL);
        ::close(fd);
        return n == ssize_t(sizeof header) ? LoadLEDouble(header + 64) : -1;
    }
    // The status of one HTTP request to the web server from `from`.
    int HttpStatus(const char* from, const char* method, const char* path) {
        int fd = ConnectFrom(from, dir_->GetPorts().web);
        const std::string request =
            std::string(method) + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  ssize_t(request.size()));
        char head[13] = {};
        const ssize_t n = ::recv(fd, head, 12, MSG_WAITALL);
        ::close(fd);
        return n == 12 ? std::atoi(head + 9) : -1;
    }
    size_t CountLog(const std::string& prefix) const {
        auto texts = LogTexts(dir_->Log());
        return size_t(std::count_if(texts.begin(), texts.end(),
                                    [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
    }

    std::unique_ptr<ProgramDir> dir_;
    pid_t pid_ = -1;
};

// A host that may view but not control: its write is refused and changes nothing, its
// reads work; the same write from a control host is taken. Both are in the trail.
TEST_F(AccessProgramTest, WritesNeedAControlHostAndAllAreInTheTrail) {
    Start("ControlHosts=127.0.0.1\n");
    EXPECT_EQ(Status("127.0.0.2", "C_DYNAMICSCALE", kZeftWrite, 2.5), 1003);
    EXPECT_EQ(Status("127.0.0.2", "C_DYNAMICSCALE", kZeftReadWrite, 2.5), 1003);
    EXPECT_EQ(Status("127.0.0.2", "C_WIDTH", kZeftRead), 0);
    EXPECT_EQ(FrameScale("127.0.0.2"), 1.0);
    EXPECT_EQ(Status("127.0.0.1", "C_DYNAMICSCALE", kZeftWrite, 2.5), 0);
    EXPECT_EQ(Status("127.0.0.1", "C_WIDTH", kZeftRead), 0);
    EXPECT_TRUE(WaitFor([&] { return FrameScale("127.0.0.2") == 2.5; }));
    EXPECT_TRUE(dir_->WaitForLog("Write from 127.0.0.2: C_DYNAMICSCALE \"2.5\", status 1003"));
    EXPECT_TRUE(dir_->WaitForLog("Write from 127.0.0.1: C_DYNAMICSCALE \"2.5\", status 0"));
    EXPECT_EQ(HttpStatus("127.0.0.2", "POST", "/api/stop"), 403);
    EXPECT_EQ(HttpStatus("127.0.0.2", "GET", "/api/status"), 200);
    EXPECT_TRUE(dir_->WaitForLog("Write from 127.0.0.2: /api/stop \"\", status 403"));

    // A storm from one host: at most 20 lines in each second it lasts, the rest counted
    // in one summary line a second, and every write accounted for.
    const size_t before = CountLog("Write from 127.0.0.2:");
    const time_t first = ::time(nullptr);
    const auto replies = Calls("127.0.0.2", "C_DYNAMICSCALE", kZeftWrite, 9, 300);
    const time_t last = ::time(nullptr);
    EXPECT_TRUE(std::all_of(replies.begin(), replies.end(),
                            [](const ZeftWireReply& r) { return r.status == 1003; }));
    auto accounted = [&] {
        size_t summed = 0;
        for (const std::string& t : LogTexts(dir_->Log())) {
            unsigned long n = 0;
            if (std::sscanf(t.c_str(), "%lu more writes from 127.0.0.2 not logged", &n) == 1)
                summed += n;
        }
        return CountLog("Write from 127.0.0.2:") - before + summed;
    };
    EXPECT_TRUE(WaitFor([&] { return accounted() == 300; })) << accounted();
    EXPECT_LE(CountLog("Write from 127.0.0.2:"), before + 20 * size_t(last - first + 1));
}

// Hosts outside ViewHosts are shut out of the frame channels at accept (without taking a
// client) and out of the control system; the listed ones get frames.
TEST_F(AccessProgramTest, OnlyViewHostsConnect) {
    Start("ViewHosts=127.0.0.1 127.0.0.3/32\nControlHosts=10.0.0.0/8, 999.1.1.1\n");
    EXPECT_TRUE(
        dir_->WaitForLog("Access: malformed entry \"999.1.1.1\" in ControlHosts is ignored!"));
    int refused = ConnectFrom("127.0.0.2", dir_->GetPorts().lossless);
    char byte;
    EXPECT_EQ(::recv(refused, &byte, 1, 0), 0);
    ::close(refused);
    EXPECT_NE(Health().find("; lossless 0 clients,"), std::string::npos);
    EXPECT_NE(Health().find("; access refused 1"), std::string::npos) << Health();
    EXPECT_EQ(FrameScale("127.0.0.3"), 1.0);
    EXPECT_EQ(Status("127.0.0.2", "C_WIDTH", kZeftRead), 1003);
    EXPECT_EQ(Status("127.0.0.3", "C_WIDTH", kZeftRead), 0);
    EXPECT_EQ(Status("127.0.0.1", "C_DYNAMICSCALE", kZeftWrite, 2), 1003);  // not in 10/8
    EXPECT_EQ(HttpStatus("127.0.0.2", "GET", "/api/status"), 403);
    EXPECT_EQ(HttpStatus("127.0.0.3", "GET", "/api/status"), 200);
}

}  // namespace
