#include <gtest/gtest.h>

#include <vector>

#include "base/MessageQueue.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"
#include "control/zeft/ZeftProtocol.h"

namespace {

// Calls go straight to Execute, as the network thread's task does: conversions without
// sockets.
class SrvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZeftShutdown();
        srv_.SetEquipmentName("UNIT");
        srv_.RegisterDeviceName("DEV", 0);
        srv_.SetEnabled(true);
        EXPECT_EQ(srv_.EquipmentStatus(), kZeftNotRegistered);
        struct {
            const char* name;
            int32_t size;
            int16_t format;
        } props[] = {{"INT", 1, kZeftFormatInt},    {"DBL", 1, kZeftFormatDouble},
                     {"BYTE4", 4, kZeftFormatByte}, {"TEXT", 1, kZeftFormatText},
                     {"REC", 1, kZeftFormatRecord}, {"CHARS", 8, kZeftFormatChar}};
        for (auto& p : props)
            ASSERT_EQ(srv_.AddProperty(p.name, 32, kZeftFormatChar, "", p.size, p.format, "",
                                       kZeftReadWrite, "d"),
                      0);
    }

    // Runs `handler` as the handler of one read of `property`.
    ZeftWireReply Run(const char* property, const std::function<void()>& handler) {
        ZeftWireCall call;
        call.access = kZeftRead;
        call.device = "DEV";
        call.property = property;
        srv_.SetPropertyCallHandler(
            [&](const std::string&, const std::string&, int32_t, int32_t, int16_t) { handler(); });
        std::vector<uint8_t> body = srv_.Execute(call);
        ZeftWireReply r;
        EXPECT_EQ(ZeftParseReply(body.data(), body.size(), &r), 0);
        return r;
    }

    CMessageQueue queue_;
    CSrv srv_{&queue_};
};

TEST_F(SrvTest, RepliesBeyondThePropertySizeAreRefused) {
    std::vector<uint8_t> sixteen(16, 1), seventeen(17, 1), five(5, 1);
    using P = std::function<int16_t()>;
    struct Case {
        const char* property;
        P put;
        int16_t rc;
        size_t bytes;  // of the reply stored
    } cases[] = {
        {"INT", P([&] { return srv_.PutReplyData(1e12); }), kZeftConversion, 0},
        {"BYTE4", P([&] { return srv_.PutReplyData(300u); }), kZeftConversion, 0},
        {"TEXT", P([&] { return srv_.PutReplyData(std::string(1025, 'a')); }), kZeftReplyOverflow,
         0},
        {"CHARS", P([&] { return srv_.PutReplyData("12345678"); }), 0, 8},
        {"CHARS", P([&] { return srv_.PutReplyData("123456789"); }), kZeftReplyOverflow, 0},
        {"REC", P([&] { return srv_.PutReplyArray(seventeen, 17); }), kZeftConversion, 0},
        {"REC", P([&] { return srv_.PutReplyArray(sixteen, 17); }), kZeftInvalidArgument, 0},
        {"BYTE4", P([&] { return srv_.PutReplyArray(five, 5); }), kZeftReplyOverflow, 0},
        {"BYTE4", P([&] { return srv_.PutReplyArray(five, 4); }), 0, 4},
    };
    for (const Case& c : cases) {
        int16_t rc = 99;
        ZeftWireReply r = Run(c.property, [&] { rc = c.put(); });
        EXPECT_EQ(rc, c.rc) << c.property;
        EXPECT_EQ(r.data.size(), c.bytes) << c.property;
    }
}

TEST_F(SrvTest, StatusIsTheLastSetAndCallMembersOutsideAHandlerAreRefused) {
    ZeftWireReply r = Run("INT", [&] {
        srv_.SetCallStatus(2, "first");
        srv_.SetCallStatus(516, std::string(400, 'm'));
    });
    EXPECT_EQ(r.status, 516);
    EXPECT_EQ(r.message, std::string(kZeftMaxMessage, 'm'));

    uint32_t u;
    EXPECT_EQ(srv_.GetRequestData(u), kZeftNotInCall);
    EXPECT_EQ(srv_.PutReplyData(1u), kZeftNotInCall);
    EXPECT_EQ(srv_.PutReplyArray({}, 0), kZeftNotInCall);
    srv_.SetCallStatus(5, "ignored");  // no effect, no crash
}

TEST_F(SrvTest, AddPropertyRefusesConflictsAndBadSizes) {
    struct Case {
        const char* name;
        int32_t reqSize, replySize;
        int16_t replyFormat, rc;
    } cases[] = {
        {"INT", 32, 1, kZeftFormatInt, 0},  // same again: fine
        {"INT", 32, 2, kZeftFormatInt, kZeftDuplicateProperty},
        {"NEW3", 0, 1, kZeftFormatInt, kZeftBadSize},
        {"NEW4", 1, -5, kZeftFormatInt, kZeftBadSize},
        {"NEW5", 1, 2, kZeftFormatText, kZeftBadSize},
        {"NEW6", 1, 0x7FFFFFFF, kZeftFormatDouble, kZeftBadSize},
        {"bad name", 1, 1, kZeftFormatInt, kZeftInvalidArgument},
    };
    for (const Case& c : cases)
        EXPECT_EQ(srv_.AddProperty(c.name, c.reqSize, kZeftFormatChar, "", c.replySize,
                                   c.replyFormat, "", kZeftReadWrite, "d"),
                  c.rc)
            << c.name;
    EXPECT_EQ(srv_.Properties().size(), 6u);  // the same declaration again adds nothing
}

}  // namespace
