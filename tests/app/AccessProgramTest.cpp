// The real program with host rules in its configuration; other hosts are played by
// loopback addresses the clients bind before they connect.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/LittleEndian.h"
#include "frame/FrameHeader.h"
#include "tests/support/Program.h"
#include "zeft/ZeftClient.h"
#include "zeft/ZeftProtocol.h"

namespace {

int ConnectFrom(const char* from, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {}, {}};
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
        EXPECT_EQ(dir_->Run({"/q"}), 0);
        EXPECT_EQ(WaitExit(pid_), 0);
    }
    // A call from `from`: its status, -1 without a reply; a text reply in `text`.
    int Zeft(const char* from, const char* property, int16_t access, double value = 0,
             std::string* text = nullptr) {
        // Reads carry the value too: the handlers ignore it, the host rules must not.
        ZeftWireCall call{access, kZeftFormatDouble, 1,        kZeftFormatText,        1, 0, "TEST",
                          "",     "LUMERIX",         property, std::vector<uint8_t>(8)};
        StoreLEDouble(call.data.data(), value);
        const std::vector<uint8_t> bytes = ZeftEncodeCall(ZeftMsgType::Call, 1, call);
        int fd = ConnectFrom(from, uint16_t(32100 + dir_->GetPorts().zeftOffset));
        ZeftSendAll(fd, bytes.data(), bytes.size(), ZeftNowMs() + 10000);
        ZeftWireReply r{-1, 0, 0, "", {}};
        ZeftWireHeader h;
        std::vector<uint8_t> body;
        if (ZeftReadMessage(fd, ZeftNowMs() + 20000, 1 << 20, &h, &body) != kZeftOk ||
            ZeftParseReply(body.data(), body.size(), &r) != kZeftOk)
            r.status = -1;
        ::close(fd);
        if (text)
            text->assign(r.data.begin(), r.data.end());
        return r.status;
    }
    // The scale of the next lossless frame for a client at `from`; -1 when it is closed.
    double FrameScale(const char* from) {
        int fd = ConnectFrom(from, dir_->GetPorts().lossless);
        uint8_t header[kFrameHeaderSize];
        const ssize_t n = ::recv(fd, header, sizeof header, MSG_WAITALL);
        ::close(fd);
        return n == ssize_t(sizeof header) ? LoadLEDouble(header + 64) : -1;
    }
    int Http(const char* from, const std::string& request) {
        int fd = ConnectFrom(from, dir_->GetPorts().web);
        const std::string bytes = request + " HTTP/1.1\r\nConnection: close\r\n\r\n";
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char head[13] = {};
        const ssize_t n = ::recv(fd, head, 12, MSG_WAITALL);
        ::close(fd);
        return n == 12 ? std::atoi(head + 9) : -1;
    }
    std::unique_ptr<ProgramDir> dir_;
    pid_t pid_ = -1;
};

// A host that may view but not control: its writes are refused and change nothing, its
// reads work; the same write from a control host is taken. All writes are in the trail.
TEST_F(AccessProgramTest, WritesNeedAControlHostAndAllAreInTheTrail) {
    Start("ControlHosts=127.0.0.1\n");
    EXPECT_EQ(Zeft("127.0.0.2", "C_DYNAMICSCALE", kZeftWrite, 2.5), 1003);
    EXPECT_EQ(Zeft("127.0.0.2", "C_WIDTH", kZeftRead), 0);
    EXPECT_EQ(FrameScale("127.0.0.2"), 1.0);
    EXPECT_EQ(Zeft("127.0.0.1", "C_DYNAMICSCALE", kZeftWrite, 2.5), 0);
    EXPECT_TRUE(WaitFor([&] { return FrameScale("127.0.0.2") == 2.5; }));
    EXPECT_EQ(Http("127.0.0.2", "POST /api/stop"), 403);
    for (const char* line : {"Write from 127.0.0.2: C_DYNAMICSCALE \"2.5\", status 1003",
                             "Write from 127.0.0.1: C_DYNAMICSCALE \"2.5\", status 0",
                             "Write from 127.0.0.2: /api/stop \"\", status 403"})
        EXPECT_TRUE(dir_->WaitForLog(line)) << line;
}

// Hosts outside ViewHosts are shut out at accept (without taking a client), and refused by
// the control system and the web server; the listed ones are served.
TEST_F(AccessProgramTest, OnlyViewHostsConnect) {
    Start("ViewHosts=127.0.0.1 127.0.0.3/32\nControlHosts=10.0.0.0/8, 999.1.1.1\n");
    EXPECT_TRUE(
        dir_->WaitForLog("Access: malformed entry \"999.1.1.1\" in ControlHosts is ignored!"));
    EXPECT_EQ(FrameScale("127.0.0.2"), -1);
    std::string health;
    EXPECT_EQ(Zeft("127.0.0.1", "X_HEALTH", kZeftRead, 0, &health), 0);
    EXPECT_NE(health.find("; lossless 0 clients,"), std::string::npos) << health;
    EXPECT_NE(health.find("; access refused 1"), std::string::npos) << health;
    EXPECT_EQ(FrameScale("127.0.0.3"), 1.0);
    EXPECT_EQ(Zeft("127.0.0.2", "C_WIDTH", kZeftRead), 1003);
    EXPECT_EQ(Zeft("127.0.0.1", "C_DYNAMICSCALE", kZeftWrite, 2), 1003);  // not in 10/8
    EXPECT_EQ(Http("127.0.0.2", "GET /api/status"), 403);
    EXPECT_EQ(Http("127.0.0.3", "GET /api/status"), 200);
}

}  // namespace
