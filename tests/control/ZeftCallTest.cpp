#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "base/LogSink.h"
#include "base/UniqueFd.h"
#include "tests/control/ZeftTestSupport.h"

namespace {

using ZeftCallTest = ZeftServerTest;

TEST_F(ZeftCallTest, ReadWriteAndReadWriteRunTheHandlerOnTheMainThread) {
    std::string addr = Address();
    ZeftWireReply r;
    EXPECT_EQ(Call(addr, "VALUE", {}, 1, &r), 0);
    EXPECT_EQ(r.format, kZeftFormatInt);
    EXPECT_EQ(ReplyInt(r), 5);
    EXPECT_EQ(Call(addr, "VALUE", IntRequest(7), 2, &r), 0);
    EXPECT_EQ(value_, 7u);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(Call(addr, "VALUE", IntRequest(9), 3, &r), 0);
    EXPECT_EQ(ReplyInt(r), 9);

    // Through ExecLinkEx: read into a double, write text.
    double d = 0;
    ZeftData reply{&d, kZeftFormatDouble, 1, 0};
    ZeftData request{const_cast<char*>("11"), kZeftFormatChar, 0, 2};
    EXPECT_EQ(Exec(addr, "VALUE", &reply, &request, 3), 0);
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(d, 11.0);
    EXPECT_EQ(runs_, 4);
    EXPECT_TRUE(onMain_);
    EXPECT_EQ(lastDevice_, "DEV");
}

TEST_F(ZeftCallTest, TextPropertyRoundTripsAndReplyBuffersAreChecked) {
    std::string addr = Address();
    std::string written = "Beamline camera";
    ZeftData request{written.data(), kZeftFormatChar, 0, static_cast<uint32_t>(written.size())};
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ZeftData reply{buf, kZeftFormatChar, sizeof buf, 0};
    EXPECT_EQ(Exec(addr, "NAME", &reply, &request, 3), 0);
    EXPECT_EQ(std::string(buf, reply.count), written);
    EXPECT_EQ(name_, written);

    char small[4], term[64];
    int32_t n;
    ZeftData tiny{small, kZeftFormatChar, sizeof small, 0};
    ZeftData asText{term, kZeftFormatText, sizeof term, 0};
    ZeftData asInt{&n, kZeftFormatInt, 1, 0};
    EXPECT_EQ(Exec(addr, "NAME", &tiny, nullptr, 1), kZeftReplyTooLarge);
    EXPECT_EQ(Exec(addr, "NAME", &asText, nullptr, 1), 0);
    EXPECT_STREQ(term, written.c_str());
    EXPECT_EQ(Exec(addr, "NAME", &asInt, nullptr, 1), kZeftFormatMismatch);
}

TEST_F(ZeftCallTest, StatusCodesAndRefusals) {
    struct Case {
        const char* device;
        const char* property;
        int16_t access;
        ZeftRequest request;
        int16_t status;
        const char* message;
    };
    std::vector<Case> cases = {
        {"DEV", "RO", 1, {}, 515, "Internal error!"},
        {"DEV", "VALUE", 2, TextRequest("abc"), 2, ""},
        {"OTHER", "VALUE", 1, {}, kZeftIllegalDevice, "Illegal device."},
        {"DEV", "C_GAIN", 1, {}, kZeftIllegalProperty, "Illegal property."},
        {"DEV", "RO", 2, IntRequest(1), kZeftAccessDenied, "Access denied."},
        {"DEV", "NAME", 2, TextRequest(std::string(200, 'a')), kZeftRequestTooLarge,
         "Request too large."},
    };
    for (const Case& c : cases) {
        ZeftWireReply r;
        EXPECT_EQ(Call(Address(c.device), c.property, c.request, c.access, &r), c.status)
            << c.property;
        EXPECT_EQ(r.message, c.message) << c.property;
    }
    // Refusals never reached the handler.
    EXPECT_EQ(runs_, 2);
}

TEST_F(ZeftCallTest, RequestAboveTheWorkAreaIsRefusedAndTheConnectionGoesOn) {
    ASSERT_EQ(setWorkAreaSize(64 * 1024), 0);
    ZeftWireReply r;
    EXPECT_EQ(Call(Address(), "NAME", TextRequest(std::string(3 << 20, 'x')), 2, &r),
              kZeftRequestTooLarge);
    uint64_t accepted = ZeftGetServerStats().connectionsAccepted;
    EXPECT_EQ(Call(Address(), "VALUE", {}, 1, &r), 0);
    EXPECT_EQ(ReplyInt(r), 5);
    // Same connection: the refused bytes were skipped in step.
    EXPECT_EQ(ZeftGetServerStats().connectionsAccepted, accepted);
    EXPECT_EQ(runs_, 1);
    EXPECT_EQ(setWorkAreaSize(1024 * 1024), 0);
}

TEST_F(ZeftCallTest, DisabledControlAnswersNoCallAndComesBack) {
    ZeftWireReply r;
    srv_->SetEnabled(false);
    EXPECT_EQ(srv_->EquipmentStatus(), kZeftNotEnabled);
    EXPECT_EQ(Call(Named(), "VALUE", {}, 1, &r), kZeftIllegalEquipment);
    EXPECT_EQ(Call(Address(), "VALUE", {}, 1, &r), kZeftIllegalDevice);
    srv_->SetEnabled(true);
    EXPECT_EQ(Call(Named(), "VALUE", {}, 1, &r), 0);
    EXPECT_EQ(runs_, 1);
}

TEST_F(ZeftCallTest, SeveralControlsInOneProcessAreAddressedByName) {
    CSrv frames(&queue_);
    frames.SetEquipmentName("TESTSRVF");
    frames.RegisterDeviceName("device_0", 0);
    ASSERT_EQ(frames.AddProperty("FRAME.GET", 1, kZeftFormatByte, "", 440920, kZeftFormatByte, "",
                                 1, "f"),
              0);
    std::vector<uint8_t> frame(440920);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    frames.SetPropertyCallHandler([&](const std::string&, const std::string&, int32_t, int32_t,
                                      int16_t) { frames.PutReplyArray(frame, 440920); });
    frames.SetEnabled(true);
    ASSERT_EQ(frames.EquipmentStatus(), 0);

    CSrv clash(&queue_);
    clash.SetEquipmentName("testsrvf");
    clash.SetEnabled(true);
    EXPECT_EQ(clash.EquipmentStatus(), kZeftEquipmentInUse);

    WriteNames("TESTSRVF");
    std::vector<uint8_t> got(440920);
    ZeftData reply{got.data(), kZeftFormatByte, static_cast<uint32_t>(got.size()), 0};
    EXPECT_EQ(Exec("/TAVO/TESTSRVF/device_0", "FRAME.GET", &reply, nullptr, 1), 0);
    EXPECT_EQ(got, frame);
    // Given as HOST:PORT, the device picks the control.
    ZeftWireReply r;
    EXPECT_EQ(Call(Address("device_0"), "FRAME.GET", {}, 1, &r), 0);
    EXPECT_EQ(r.data.size(), 440920u);
}

TEST_F(ZeftCallTest, AddressesThatDoNotResolveFailAtOnce) {
    WriteNames("TESTSRV", "BROKEN=nohostport\n");
    int32_t v = 0;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    for (const char* a :
         {"/TAVO/NOSUCH/DEV", "/OTHER/TESTSRV/DEV", "/TAVO/BROKEN/DEV", "TAVO/TESTSRV/DEV",
          "/TAVO/TESTSRV", "/TAVO/TESTSRV/DEV/X", "//TESTSRV/DEV", "/TAVO/127.0.0.1:0/DEV",
          "/TAVO/127.0.0.1:99999/DEV", ""}) {
        int64_t start = ZeftNowMs();
        EXPECT_EQ(ExecLinkEx(a, "VALUE", &reply, nullptr, 1, 5000), kZeftUnknownName) << a;
        EXPECT_LT(ZeftNowMs() - start, 2000) << a;
    }
    EXPECT_EQ(Exec("/tavo/TESTSRV/DEV", "VALUE", &reply, nullptr, 1), 0);
    EXPECT_EQ(v, 5);
}

// A loopback socket bound to a port of the system's choice; "/TAVO/127.0.0.1:PORT/DEV".
std::string BoundAddress(int fd) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return "";
    return "/TAVO/127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/DEV";
}

TEST(ZeftClient, NobodyListeningAndSilentServerFailWithTheirCodes) {
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    UniqueFd closed(::socket(AF_INET, SOCK_STREAM, 0));
    std::string refused = BoundAddress(closed.get());
    closed.reset();
    EXPECT_EQ(ExecLinkEx(refused.c_str(), "X", &reply, nullptr, 1, 3000), kZeftConnectFailed);

    // Accepted by the kernel through the backlog, never answered.
    UniqueFd l(::socket(AF_INET, SOCK_STREAM, 0));
    std::string silent = BoundAddress(l.get());
    ASSERT_EQ(::listen(l.get(), 4), 0);
    int64_t start = ZeftNowMs();
    EXPECT_EQ(ExecLinkEx(silent.c_str(), "X", &reply, nullptr, 1, 300), kZeftTimeout);
    EXPECT_GE(ZeftNowMs() - start, 290);
}

TEST(ZeftClient, ArgumentsAreChecked) {
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0}, noData{nullptr, kZeftFormatInt, 1, 0},
        badFormat{&v, 999, 1, 0}, badRequest{&v, 999, 0, 1};
    const char* a = "/TAVO/127.0.0.1:1/DEV";
    EXPECT_EQ(ExecLinkEx(a, "X", nullptr, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &noData, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &badFormat, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, &badRequest, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, nullptr, 0, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, nullptr, 4, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, nullptr, 1, 0), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "bad name", &reply, nullptr, 1, 100), kZeftInvalidArgument);
}

}  // namespace
