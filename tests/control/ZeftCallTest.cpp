#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <vector>

#include "base/UniqueFd.h"
#include "tests/control/ZeftTestSupport.h"

namespace {

using ZeftCallTest = ZeftServerTest;

TEST_F(ZeftCallTest, CallsRunTheHandlerOnTheMainThreadAndRepliesAreConverted) {
    std::string addr = Address();
    ZeftWireReply r;
    EXPECT_EQ(Call(addr, "VALUE", {}, kZeftRead, &r), 0);
    EXPECT_EQ(r.format, kZeftFormatInt);
    EXPECT_EQ(ReplyInt(r), 5);
    EXPECT_EQ(Call(addr, "VALUE", IntRequest(7), kZeftWrite, &r), 0);
    EXPECT_EQ(value_, 7u);
    EXPECT_EQ(r.count, 0u);

    // Through ExecLinkEx: write text, read into a double.
    double d = 0;
    ZeftData reply{&d, kZeftFormatDouble, 1, 0};
    ZeftData request{const_cast<char*>("11"), kZeftFormatChar, 0, 2};
    EXPECT_EQ(Exec(addr, "VALUE", &reply, &request, kZeftReadWrite), 0);
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(d, 11.0);
    EXPECT_TRUE(onMain_);
    EXPECT_EQ(lastDevice_, "DEV");

    std::string written = "Beamline camera";
    ZeftData text{written.data(), kZeftFormatChar, 0, static_cast<uint32_t>(written.size())};
    char chars[64], small[4], term[64];
    int32_t n;
    ZeftData asChars{chars, kZeftFormatChar, sizeof chars, 0};
    ZeftData tiny{small, kZeftFormatChar, sizeof small, 0};
    ZeftData asText{term, kZeftFormatText, sizeof term, 0};
    ZeftData asInt{&n, kZeftFormatInt, 1, 0};
    EXPECT_EQ(Exec(addr, "NAME", &asChars, &text, kZeftReadWrite), 0);
    EXPECT_EQ(std::string(chars, asChars.count), written);
    EXPECT_EQ(Exec(addr, "NAME", &tiny, nullptr, kZeftRead), kZeftReplyTooLarge);
    EXPECT_EQ(Exec(addr, "NAME", &asText, nullptr, kZeftRead), 0);
    EXPECT_STREQ(term, written.c_str());
    EXPECT_EQ(Exec(addr, "NAME", &asInt, nullptr, kZeftRead), kZeftFormatMismatch);
    EXPECT_EQ(runs_, 7);
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
        {"DEV", "RO", kZeftRead, {}, 515, "Internal error!"},
        {"DEV", "VALUE", kZeftWrite, TextRequest("abc"), 2, ""},
        {"OTHER", "VALUE", kZeftRead, {}, kZeftIllegalDevice, "Illegal device."},
        {"DEV", "C_GAIN", kZeftRead, {}, kZeftIllegalProperty, "Illegal property."},
        {"DEV", "RO", kZeftWrite, IntRequest(1), kZeftAccessDenied, "Access denied."},
        {"DEV", "NAME", kZeftWrite, TextRequest(std::string(200, 'a')), kZeftRequestTooLarge,
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
    EXPECT_EQ(Call(Address(), "NAME", TextRequest(std::string(3 << 20, 'x')), kZeftWrite, &r),
              kZeftRequestTooLarge);
    uint64_t accepted = ZeftGetServerStats().connectionsAccepted;
    EXPECT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), 0);
    EXPECT_EQ(ReplyInt(r), 5);
    // Same connection: the refused bytes were skipped in step.
    EXPECT_EQ(ZeftGetServerStats().connectionsAccepted, accepted);
    EXPECT_EQ(runs_, 1);
    EXPECT_EQ(setWorkAreaSize(1024 * 1024), 0);
}

TEST_F(ZeftCallTest, ControlsAreFoundByNameOrDeviceAndOnlyWhileEnabled) {
    ZeftWireReply r;
    srv_->SetEnabled(false);
    EXPECT_EQ(Call(Named(), "VALUE", {}, kZeftRead, &r), kZeftIllegalEquipment);
    EXPECT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), kZeftIllegalDevice);
    srv_->SetEnabled(true);
    EXPECT_EQ(Call(Named(), "VALUE", {}, kZeftRead, &r), 0);

    CSrv frames(&queue_);
    frames.SetEquipmentName("TESTSRVF");
    frames.RegisterDeviceName("device_0", 0);
    ASSERT_EQ(frames.AddProperty("FRAME.GET", 1, kZeftFormatByte, "", 440920, kZeftFormatByte, "",
                                 kZeftRead, "f"),
              0);
    std::vector<uint8_t> frame(440920);
    std::iota(frame.begin(), frame.end(), 0);  // wraps: any misplaced byte shows
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
    EXPECT_EQ(Exec("/TAVO/TESTSRVF/device_0", "FRAME.GET", &reply, nullptr, kZeftRead), 0);
    EXPECT_EQ(got, frame);
    // Given as HOST:PORT, the device picks the control.
    EXPECT_EQ(Call(Address("device_0"), "FRAME.GET", {}, kZeftRead, &r), 0);
    EXPECT_EQ(r.data.size(), 440920u);
}

TEST_F(ZeftCallTest, AddressesThatDoNotResolveFailAtOnce) {
    WriteNames("TESTSRV", "BROKEN=nohostport\n");
    int32_t v = 0;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    for (const char* a :
         {"/TAVO/NOSUCH/DEV", "/OTHER/TESTSRV/DEV", "/TAVO/BROKEN/DEV", "TAVO/TESTSRV/DEV",
          "/TAVO/TESTSRV", "/TAVO/TESTSRV/DEV/X", "//TESTSRV/DEV", "/TAVO/127.0.0.1:0/DEV", ""}) {
        int64_t start = ZeftNowMs();
        EXPECT_EQ(ExecLinkEx(a, "VALUE", &reply, nullptr, kZeftRead, 5000), kZeftUnknownName) << a;
        EXPECT_LT(ZeftNowMs() - start, 2000) << a;
    }
    EXPECT_EQ(Exec("/tavo/TESTSRV/DEV", "VALUE", &reply, nullptr, kZeftRead), 0);
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

TEST(ZeftClient, BadArgumentsNobodyListeningAndSilentServerFailWithTheirCodes) {
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0}, noData{nullptr, kZeftFormatInt, 1, 0},
        badFormat{&v, 999, 1, 0}, badRequest{&v, 999, 0, 1};
    const char* a = "/TAVO/127.0.0.1:1/DEV";
    EXPECT_EQ(ExecLinkEx(a, "X", nullptr, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &noData, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &badFormat, nullptr, 1, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, &badRequest, 1, 100), kZeftInvalidArgument);
    for (int16_t access : {0, 4})
        EXPECT_EQ(ExecLinkEx(a, "X", &reply, nullptr, access, 100), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "X", &reply, nullptr, 1, 0), kZeftInvalidArgument);
    EXPECT_EQ(ExecLinkEx(a, "bad name", &reply, nullptr, 1, 100), kZeftInvalidArgument);

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

}  // namespace
