#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "base/LogSink.h"
#include "tests/control/ZeftTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

class ZeftCallTest : public ZeftServerTest {
  protected:
    void SetUp() override {
        ZeftServerTest::SetUp();
        ASSERT_EQ(srv_->AddProperty("VALUE", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", 3, "v"),
                  kZeftOk);
        ASSERT_EQ(
            srv_->AddProperty("NAME", 32, kZeftFormatChar, "", 1, kZeftFormatText, "", 3, "n"),
            kZeftOk);
        ASSERT_EQ(srv_->AddProperty("RO", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", 1, "r"),
                  kZeftOk);
        srv_->SetPropertyCallHandler([this](const std::string& device, const std::string& prop,
                                            int32_t, int32_t, int16_t access) {
            onMain_ = onMain_ && IsMainThread();
            ++calls_;
            lastDevice_ = device;
            if (prop == "VALUE") {
                if (access & kZeftWrite) {
                    uint32_t v;
                    if (srv_->GetRequestData(v) != kZeftOk)
                        return srv_->SetCallStatus(2, "");
                    value_ = v;
                }
                if ((access & kZeftRead) && srv_->PutReplyData(value_) != kZeftOk)
                    return srv_->SetCallStatus(515, "Error!");
                srv_->SetCallStatus(0, "");
            } else if (prop == "NAME") {
                if (access & kZeftWrite) {
                    uint8_t buf[48] = {};
                    srv_->GetRequestData(std::span<uint8_t>(buf));
                    const char* text = reinterpret_cast<const char*>(buf);
                    name_ = std::string(text, strnlen(text, sizeof buf));
                }
                if (access & kZeftRead)
                    srv_->PutReplyData(std::string_view(name_));
            } else if (prop == "RO") {
                srv_->SetCallStatus(515, "Internal error!");
            }
        });
    }

    bool onMain_ = true;
    int calls_ = 0;
    uint32_t value_ = 5;
    std::string name_ = "Camera 0";
    std::string lastDevice_;
};

TEST_F(ZeftCallTest, ReadWriteAndReadWriteRunTheHandlerOnTheMainThread) {
    std::string addr = Address();
    ZeftWireReply r;
    EXPECT_EQ(OnClient([&] { return ZeftCall(addr.c_str(), "VALUE", {}, 1, 3000, &r); }), 0);
    EXPECT_EQ(r.format, kZeftFormatInt);
    EXPECT_EQ(ReplyInt(r), 5);

    EXPECT_EQ(OnClient([&] { return ZeftCall(addr.c_str(), "VALUE", IntRequest(7), 2, 3000, &r); }),
              0);
    EXPECT_EQ(value_, 7u);
    EXPECT_EQ(r.count, 0u);  // a pure write returns no data

    EXPECT_EQ(OnClient([&] { return ZeftCall(addr.c_str(), "VALUE", IntRequest(9), 3, 3000, &r); }),
              0);
    EXPECT_EQ(ReplyInt(r), 9);

    // The same through ExecLinkEx, reading into a double buffer and writing text.
    double d = 0;
    ZeftData reply{&d, kZeftFormatDouble, 1, 0};
    const char* text = "11";
    ZeftData request{const_cast<char*>(text), kZeftFormatChar, 0, 2};
    EXPECT_EQ(
        OnClient([&] { return ExecLinkEx(addr.c_str(), "VALUE", &reply, &request, 3, 3000); }), 0);
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(d, 11.0);

    EXPECT_EQ(calls_, 4);
    EXPECT_TRUE(onMain_);
    EXPECT_EQ(lastDevice_, "DEV");
}

TEST_F(ZeftCallTest, TextPropertyRoundTripsThroughExecLinkEx) {
    std::string addr = Address();
    std::string written = "Beamline camera";
    ZeftData request{written.data(), kZeftFormatChar, 0, static_cast<uint32_t>(written.size())};
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ZeftData reply{buf, kZeftFormatChar, sizeof buf, 0};
    EXPECT_EQ(OnClient([&] { return ExecLinkEx(addr.c_str(), "NAME", &reply, &request, 3, 3000); }),
              0);
    EXPECT_EQ(std::string(buf, reply.count), written);
    EXPECT_EQ(name_, written);

    // Too small a buffer is an error, never a silent cut.
    char small[4];
    ZeftData tiny{small, kZeftFormatChar, sizeof small, 0};
    EXPECT_EQ(OnClient([&] { return ExecLinkEx(addr.c_str(), "NAME", &tiny, nullptr, 1, 3000); }),
              kZeftReplyTooLarge);
    // A text buffer receives a terminated text.
    char term[64];
    ZeftData asText{term, kZeftFormatText, sizeof term, 0};
    EXPECT_EQ(OnClient([&] { return ExecLinkEx(addr.c_str(), "NAME", &asText, nullptr, 1, 3000); }),
              0);
    EXPECT_STREQ(term, written.c_str());
    // A number buffer cannot take a name.
    int32_t n;
    ZeftData asInt{&n, kZeftFormatInt, 1, 0};
    EXPECT_EQ(OnClient([&] { return ExecLinkEx(addr.c_str(), "NAME", &asInt, nullptr, 1, 3000); }),
              kZeftFormatMismatch);
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
    ZeftRequest huge = TextRequest(std::string(200, 'a'));
    std::vector<Case> cases = {
        {"DEV", "RO", 1, {}, 515, "Internal error!"},
        {"DEV", "VALUE", 2, TextRequest("abc"), 2, ""},
        {"OTHER", "VALUE", 1, {}, kZeftIllegalDevice, "Illegal device."},
        {"DEV", "C_GAIN", 1, {}, kZeftIllegalProperty, "Illegal property."},
        {"DEV", "RO", 2, IntRequest(1), kZeftAccessDenied, "Access denied."},
        {"DEV", "NAME", 2, huge, kZeftRequestTooLarge, "Request too large."},
    };
    for (const Case& c : cases) {
        std::string addr = Address(c.device);
        ZeftWireReply r;
        int16_t rc = OnClient(
            [&] { return ZeftCall(addr.c_str(), c.property, c.request, c.access, 3000, &r); });
        EXPECT_EQ(rc, c.status) << c.device << " " << c.property;
        EXPECT_EQ(r.message, c.message) << c.device << " " << c.property;
    }
    // Refusals never reached the handler; the two handler codes did.
    EXPECT_EQ(calls_, 2);
}

TEST_F(ZeftCallTest, RequestAboveTheWorkAreaIsRefusedAndTheConnectionGoesOn) {
    ASSERT_EQ(setWorkAreaSize(64 * 1024), 0);
    std::string addr = Address();
    ZeftWireReply r;
    ZeftRequest big = TextRequest(std::string(3 * 1024 * 1024, 'x'));
    EXPECT_EQ(OnClient([&] { return ZeftCall(addr.c_str(), "NAME", big, 2, 5000, &r); }),
              kZeftRequestTooLarge);
    uint64_t accepted = ZeftGetServerStats().connectionsAccepted;
    EXPECT_EQ(OnClient([&] { return ZeftCall(addr.c_str(), "VALUE", {}, 1, 3000, &r); }), 0);
    EXPECT_EQ(ReplyInt(r), 5);
    // The second call used the same connection: the refused bytes were skipped in step.
    EXPECT_EQ(ZeftGetServerStats().connectionsAccepted, accepted);
    EXPECT_EQ(calls_, 1);
    EXPECT_EQ(setWorkAreaSize(1024 * 1024), 0);
}

TEST_F(ZeftCallTest, DisabledControlAnswersNoCallAndComesBack) {
    std::string named = Named(), direct = Address();
    ZeftWireReply r;
    srv_->SetEnabled(false);
    EXPECT_EQ(srv_->EquipmentStatus(), kZeftNotEnabled);
    EXPECT_EQ(OnClient([&] { return ZeftCall(named.c_str(), "VALUE", {}, 1, 3000, &r); }),
              kZeftIllegalEquipment);
    EXPECT_EQ(OnClient([&] { return ZeftCall(direct.c_str(), "VALUE", {}, 1, 3000, &r); }),
              kZeftIllegalDevice);
    srv_->SetEnabled(true);
    EXPECT_EQ(OnClient([&] { return ZeftCall(named.c_str(), "VALUE", {}, 1, 3000, &r); }), 0);
    EXPECT_EQ(calls_, 1);
}

TEST_F(ZeftCallTest, SeveralControlsInOneProcessAreAddressedByName) {
    CSrv frames(&queue_);
    frames.SetEquipmentName("TESTSRVF");
    frames.RegisterDeviceName("device_0", 0);
    ASSERT_EQ(frames.AddProperty("FRAME.GET", 1, kZeftFormatByte, "", 440920, kZeftFormatByte, "",
                                 1, "read single frame"),
              0);
    std::vector<uint8_t> frame(440920);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    frames.SetPropertyCallHandler([&](const std::string&, const std::string&, int32_t, int32_t,
                                      int16_t) { frames.PutReplyArray(frame, 440920); });
    frames.SetEnabled(true);
    ASSERT_EQ(frames.EquipmentStatus(), 0);

    // A second control may not take a name in use.
    CSrv clash(&queue_);
    clash.SetEquipmentName("testsrvf");
    clash.SetEnabled(true);
    EXPECT_EQ(clash.EquipmentStatus(), kZeftEquipmentInUse);

    TempDir dir;
    ASSERT_TRUE(WriteFileText(dir.File("zeftnames.cfg"),
                              "[TAVO]\nTESTSRVF=127.0.0.1:" + std::to_string(port_) + "\n"));
    ZeftSetNamesFile(dir.path());
    std::vector<uint8_t> got(440920);
    ZeftData reply{got.data(), kZeftFormatByte, static_cast<uint32_t>(got.size()), 0};
    EXPECT_EQ(OnClient([&] {
                  return ExecLinkEx("/TAVO/TESTSRVF/device_0", "FRAME.GET", &reply, nullptr, 1,
                                    3000);
              }),
              0);
    EXPECT_EQ(reply.count, 440920u);
    EXPECT_EQ(got, frame);
    // Given as HOST:PORT, the device picks the control.
    std::string viaOther = Address("device_0");
    ZeftWireReply r;
    EXPECT_EQ(OnClient([&] { return ZeftCall(viaOther.c_str(), "FRAME.GET", {}, 1, 3000, &r); }),
              0);
    EXPECT_EQ(r.data.size(), 440920u);
    ZeftSetNamesFile("");
}

TEST_F(ZeftCallTest, AddressesThatDoNotResolveFailAtOnce) {
    TempDir dir;
    ASSERT_TRUE(WriteFileText(
        dir.File("zeftnames.cfg"),
        "[TAVO]\nTESTSRV=127.0.0.1:" + std::to_string(port_) + "\nBROKEN=nohostport\n"));
    ZeftSetNamesFile(dir.path());
    const char* bad[] = {
        "/TAVO/NOSUCH/DEV",
        "/OTHER/TESTSRV/DEV",
        "/TAVO/BROKEN/DEV",
        "TAVO/TESTSRV/DEV",
        "/TAVO/TESTSRV",
        "/TAVO/TESTSRV/DEV/X",
        "//TESTSRV/DEV",
        "/TAVO/127.0.0.1:0/DEV",
        "/TAVO/127.0.0.1:99999/DEV",
        "",
    };
    for (const char* a : bad) {
        int32_t v;
        ZeftData reply{&v, kZeftFormatInt, 1, 0};
        int64_t start = ZeftNowMs();
        EXPECT_EQ(ExecLinkEx(a, "VALUE", &reply, nullptr, 1, 5000), kZeftUnknownName) << a;
        EXPECT_LT(ZeftNowMs() - start, 2000) << a;
    }
    int32_t v = 0;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    EXPECT_EQ(OnClient([&] {
                  return ExecLinkEx("/tavo/TESTSRV/DEV", "VALUE", &reply, nullptr, 1, 3000);
              }),
              0);
    EXPECT_EQ(v, 5);
    ZeftSetNamesFile("");
}

TEST(ZeftClient, NobodyListeningAndSilentServerFailWithTheirCodes) {
    // A port nobody listens on: bind one, learn it, close it.
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    std::string refused = "/TAVO/127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/DEV";
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    EXPECT_EQ(ExecLinkEx(refused.c_str(), "X", &reply, nullptr, 1, 3000), kZeftConnectFailed);

    // A server that accepts (the kernel does, through the backlog) and never answers.
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    a.sin_port = 0;
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(l, 4), 0);
    len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    std::string silent = "/TAVO/127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/DEV";
    int64_t start = ZeftNowMs();
    EXPECT_EQ(ExecLinkEx(silent.c_str(), "X", &reply, nullptr, 1, 300), kZeftTimeout);
    int64_t took = ZeftNowMs() - start;
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 5000);
    ::close(l);
}

TEST(ZeftClient, ArgumentsAreChecked) {
    int32_t v;
    ZeftData reply{&v, kZeftFormatInt, 1, 0};
    ZeftData noData{nullptr, kZeftFormatInt, 1, 0};
    ZeftData badFormat{&v, 999, 1, 0};
    ZeftData badRequest{&v, 999, 0, 1};
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
