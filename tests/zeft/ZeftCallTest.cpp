#include <gtest/gtest.h>

#include <numeric>

#include "tests/zeft/ZeftTestSupport.h"

namespace {

using ZeftCallTest = ZeftServerTest;

TEST_F(ZeftCallTest, HandlerRunsOnTheMainThreadAndRefusalsNeverReachIt) {
    ZeftWireReply r;
    EXPECT_EQ(Call(Address(), "VALUE", IntRequest(7), kZeftReadWrite, &r), 0);
    EXPECT_EQ(ReplyInt(r), 7);
    EXPECT_TRUE(onMain_);
    char small[4];
    int32_t n;
    ZeftData tiny{small, kZeftFormatChar, sizeof small, 0}, asInt{&n, kZeftFormatInt, 1, 0};
    EXPECT_EQ(Exec(Address(), "NAME", &tiny, nullptr, kZeftRead), kZeftReplyTooLarge);
    EXPECT_EQ(Exec(Address(), "NAME", &asInt, nullptr, kZeftRead), kZeftFormatMismatch);

    struct Case {
        const char* device;
        const char* property;
        int16_t access;
        ZeftRequest request;
        int16_t status;
    } cases[] = {
        {"DEV", "RO", kZeftRead, {}, 515},
        {"DEV", "VALUE", kZeftWrite, TextRequest("abc"), 2},  // 2: refused by the handler
        {"DEV", "VALUE", kZeftWrite, IntRequest(-1), 2},
        {"DEV", "VALUE", kZeftWrite, TextRequest("4294967296"), 2},
        {"OTHER", "VALUE", kZeftRead, {}, kZeftIllegalDevice},
        {"DEV", "C_GAIN", kZeftRead, {}, kZeftIllegalProperty},
        {"DEV", "NAME", kZeftWrite, TextRequest(std::string(200, 'a')), kZeftRequestTooLarge},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Call(Address(c.device), c.property, c.request, c.access, &r), c.status)
            << c.property;
    EXPECT_EQ(runs_, 7);
}

// Access the property does not allow is the handler's to answer; a monitor never writes.
TEST_F(ZeftCallTest, AccessReachesTheHandlerAndMonitorsAreReadOnly) {
    std::vector<int16_t> seen;
    srv_->SetPropertyCallHandler([&](auto&&, auto&&, int32_t, int32_t, int16_t access) {
        seen.push_back(access);
        srv_->SetCallStatus(73, "");
    });
    ZeftWireReply r;
    EXPECT_EQ(Call(Address(), "RO", {}, 0, &r), 73);
    using T = ZeftMsgType;
    struct Case {
        T type;
        int16_t access, status;
    } cases[] = {{T::Call, kZeftWrite, 73},
                 {T::Call, 0, 73},
                 {T::Call, 4, kZeftAccessDenied},
                 {T::Call, -1, kZeftAccessDenied},
                 {T::Monitor, kZeftWrite, kZeftMonitorReadOnly},
                 {T::Monitor, kZeftReadWrite, kZeftMonitorReadOnly},
                 {T::Monitor, 0, 73}};
    for (const Case& c : cases) {
        int fd = Connect(RawCall(c.type, "RO", 1, 0, c.access));
        EXPECT_EQ(NextReply(fd), std::make_pair(1u, c.status)) << c.access;
        ::close(fd);
    }
    EXPECT_EQ(seen, (std::vector<int16_t>{0, kZeftWrite, 0, 0}));
}

TEST_F(ZeftCallTest, RegisteringWithOtherValuesReplacesTheRegistration) {
    ZeftWireReply r;
    ASSERT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), 0);
    ASSERT_EQ(Register("TESTSRV", 11), 0);
    EXPECT_EQ(ZeftGetServerStats().connectionsAccepted, 1u);  // the same server goes on
    uint16_t first = port_;
    for (int16_t offset : {11, 12}) {
        ASSERT_EQ(Register("CAM8", offset, "LAB"), 0);
        port_ = ZeftGetRegistration().port;
        EXPECT_EQ(port_ == first, offset == 11);
        EXPECT_EQ(Call("/LAB" + Address().substr(5), "VALUE", {}, kZeftRead, &r), 0) << offset;
        EXPECT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), kZeftIllegalEquipment);  // TAVO
    }
    UniqueFd old;
    EXPECT_EQ(ZeftConnect("127.0.0.1", first, ZeftNowMs() + 1000, &old), kZeftConnectFailed);
    srv_->SetEquipmentName("CAM8X");
    WriteNames("X", "[LAB]\nCAM8X=127.0.0.1:" + std::to_string(port_) +
                        "\nTESTSRV=127.0.0.1:" + std::to_string(port_) + "\n");
    EXPECT_EQ(Call("/LAB/CAM8X/DEV", "VALUE", {}, kZeftRead, &r), 0);
    EXPECT_EQ(Call("/LAB/TESTSRV/DEV", "VALUE", {}, kZeftRead, &r), kZeftIllegalEquipment);
}

// Equipment lives in a context: another context names equipment this server lacks,
// whether addressed by name or by host and port, for calls and monitors alike.
TEST_F(ZeftCallTest, AnotherContextIsIllegalEquipmentHoweverAddressed) {
    WriteNames("TESTSRV", "[LAB]\nTESTSRV=127.0.0.1:" + std::to_string(port_) + "\n");
    ZeftWireReply r;
    EXPECT_EQ(Call("/LAB" + Address().substr(5), "VALUE", {}, kZeftRead, &r),
              kZeftIllegalEquipment);
    EXPECT_EQ(Call("/LAB/TESTSRV/DEV", "VALUE", {}, kZeftRead, &r), kZeftIllegalEquipment);
    EXPECT_EQ(Call(Address("OTHER"), "VALUE", {}, kZeftRead, &r), kZeftIllegalDevice);
    ZeftWireCall call;
    call.access = kZeftRead;
    call.context = "LAB";
    call.device = "DEV";
    call.property = "VALUE";
    call.intervalMs = 100;
    int fd = Connect(ZeftEncodeCall(ZeftMsgType::Monitor, 1, call));
    EXPECT_EQ(NextReply(fd), std::make_pair(1u, kZeftIllegalEquipment));
    ::close(fd);
    EXPECT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), 0);
}

TEST_F(ZeftCallTest, RepliesBeyondThePropertySizeAreRefused) {
    srv_->AddProperty("CHARS", 1, kZeftFormatInt, "", 8, kZeftFormatChar, "", kZeftRead, "");
    srv_->AddProperty("BYTE4", 1, kZeftFormatInt, "", 4, kZeftFormatByte, "", kZeftRead, "");
    std::vector<uint8_t> sixteen(16, 1), seventeen(17, 1), five(5, 1);
    using P = std::function<int16_t()>;
    struct Case {
        const char* property;
        P put;
        int16_t rc;
        size_t bytes;  // of the reply sent
    } cases[] = {
        {"VALUE", P([&] { return srv_->PutReplyData(1e12); }), kZeftConversion, 0},
        {"NAME", P([&] { return srv_->PutReplyData(std::string(1025, 'a')); }), kZeftReplyOverflow,
         0},
        {"CHARS", P([&] { return srv_->PutReplyData("12345678"); }), 0, 8},
        {"CHARS", P([&] { return srv_->PutReplyData("123456789"); }), kZeftReplyOverflow, 0},
        {"SPOT", P([&] { return srv_->PutReplyArray(seventeen, 17); }), kZeftConversion, 0},
        {"SPOT", P([&] { return srv_->PutReplyArray(sixteen, 17); }), kZeftInvalidArgument, 0},
        {"BYTE4", P([&] { return srv_->PutReplyArray(five, 5); }), kZeftReplyOverflow, 0},
        {"BYTE4", P([&] { return srv_->PutReplyArray(five, 4); }), 0, 4},
    };
    for (const Case& c : cases) {
        int16_t rc = 99;
        srv_->SetPropertyCallHandler([&](auto&&...) { rc = c.put(); });
        ZeftWireReply r;
        Call(Address(), c.property, {}, kZeftRead, &r);
        EXPECT_EQ(rc, c.rc) << c.property;
        EXPECT_EQ(r.data.size(), c.bytes) << c.property;
    }
}

TEST_F(ZeftCallTest, StatusMessageIsCutAndCallMembersOutsideAHandlerAreRefused) {
    srv_->SetPropertyCallHandler(
        [&](auto&&...) { srv_->SetCallStatus(516, std::string(400, 'm')); });
    ZeftWireReply r;
    EXPECT_EQ(Call(Address(), "VALUE", {}, kZeftRead, &r), 516);
    EXPECT_EQ(r.message, std::string(kZeftMaxMessage, 'm'));
    uint32_t u;
    EXPECT_EQ(srv_->GetRequestData(u), kZeftNotInCall);
    EXPECT_EQ(srv_->PutReplyData(1u), kZeftNotInCall);
    EXPECT_EQ(srv_->PutReplyArray({}, 0), kZeftNotInCall);
    srv_->SetCallStatus(5, "ignored");  // no effect, no crash
}

TEST_F(ZeftCallTest, AddPropertyRefusesConflictsAndBadSizes) {
    struct Case {
        const char* name;
        int32_t reqSize, replySize;
        int16_t replyFormat, rc;
    } cases[] = {
        {"VALUE", 1, 1, kZeftFormatInt, 0},  // same again: fine
        {"VALUE", 1, 2, kZeftFormatInt, kZeftDuplicateProperty},
        {"NEW3", 0, 1, kZeftFormatInt, kZeftBadSize},
        {"NEW4", 1, -5, kZeftFormatInt, kZeftBadSize},
        {"NEW5", 1, 2, kZeftFormatText, kZeftBadSize},
        {"NEW6", 1, 0x7FFFFFFF, kZeftFormatDouble, kZeftBadSize},
        {"bad name", 1, 1, kZeftFormatInt, kZeftInvalidArgument},
    };
    for (const Case& c : cases)
        EXPECT_EQ(srv_->AddProperty(c.name, c.reqSize, kZeftFormatInt, "", c.replySize,
                                    c.replyFormat, "", kZeftReadWrite, ""),
                  c.rc)
            << c.name;
    EXPECT_EQ(srv_->Properties().size(), 7u);  // the same declaration again adds nothing
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
    frames.SetPropertyCallHandler([&](auto&&...) { frames.PutReplyArray(frame, 440920); });
    frames.SetEnabled(true);
    ASSERT_EQ(frames.EquipmentStatus(), 0);
    CSrv clash(&queue_);
    clash.SetEquipmentName("testsrvf");
    clash.SetEnabled(true);
    EXPECT_EQ(clash.EquipmentStatus(), kZeftEquipmentInUse);

    WriteNames("TESTSRVF");
    EXPECT_EQ(Call("/TAVO/TESTSRVF/device_0", "FRAME.GET", {}, kZeftRead, &r), 0);
    // Given as HOST:PORT, the device picks the control.
    EXPECT_EQ(Call(Address("device_0"), "FRAME.GET", {}, kZeftRead, &r), 0);
    EXPECT_EQ(r.data, frame);
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

TEST(ZeftClient, NobodyListeningAndSilentServerFailWithTheirCodes) {
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    EXPECT_EQ(ExecLinkEx("/TAVO/127.0.0.1:1/DEV", "X", &reply, nullptr, 1, 3000),
              kZeftConnectFailed);
    // Accepted by the kernel through the backlog, never answered.
    UniqueFd l(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(l.get(), reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::listen(l.get(), 4), 0);
    ::getsockname(l.get(), reinterpret_cast<sockaddr*>(&a), &len);
    std::string silent = "/TAVO/127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/DEV";
    int64_t start = ZeftNowMs();
    EXPECT_EQ(ExecLinkEx(silent.c_str(), "X", &reply, nullptr, 1, 300), kZeftTimeout);
    EXPECT_GE(ZeftNowMs() - start, 290);
}

}  // namespace
