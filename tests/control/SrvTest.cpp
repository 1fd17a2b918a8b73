#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "base/MessageQueue.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"
#include "control/zeft/ZeftProtocol.h"

namespace {

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

std::vector<uint8_t> Text(const char* s) {
    return Bytes(s, std::strlen(s));
}

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

    // Runs `handler` as the handler of one call of `property`.
    ZeftWireReply Run(const char* property, const std::function<void()>& handler,
                      uint16_t format = kZeftFormatNone, std::vector<uint8_t> data = {},
                      uint32_t count = 0) {
        ZeftWireCall call;
        call.access = count ? kZeftWrite : kZeftRead;
        call.device = "DEV";
        call.property = property;
        call.requestFormat = format;
        call.requestCount = count;
        call.data = std::move(data);
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

TEST_F(SrvTest, RequestConversions) {
    int32_t seven = 7, minus = -1;
    uint8_t b200 = 200;
    double three = 3.0, half = 2.5;
    constexpr int64_t kNoUint = -1;  // kZeftConversion expected
    const double kNoDouble = NAN;
    struct Case {
        const char* what;
        uint16_t format;
        std::vector<uint8_t> data;
        int64_t asUint;
        double asDouble;
    } cases[] = {
        {"int", kZeftFormatInt, Bytes(&seven, 4), 7, 7.0},
        {"negative int", kZeftFormatInt, Bytes(&minus, 4), kNoUint, -1.0},
        {"byte", kZeftFormatByte, Bytes(&b200, 1), 200, 200.0},
        {"whole double", kZeftFormatDouble, Bytes(&three, 8), 3, 3.0},
        {"fraction", kZeftFormatDouble, Bytes(&half, 8), kNoUint, 2.5},
        {"text", kZeftFormatChar, Text(" 42 "), 42, 42.0},
        {"hex text", kZeftFormatChar, Text("0x10"), 16, 16.0},
        {"text with NUL", kZeftFormatChar, Bytes("1\0\0", 3), 1, 1.0},
        {"not a number", kZeftFormatChar, Text("abc"), kNoUint, kNoDouble},
        {"signed text", kZeftFormatChar, Text("-1"), kNoUint, -1.0},
        {"too large", kZeftFormatChar, Text("4294967296"), kNoUint, 4294967296.0},
        {"scientific", kZeftFormatChar, Text("1e-4"), kNoUint, 0.0001},
        {"no data", kZeftFormatNone, {}, kNoUint, kNoDouble},
    };
    for (const Case& c : cases) {
        int16_t urc = 99, drc = 99;
        uint32_t u = 0;
        double d = 0;
        uint32_t count = c.format == kZeftFormatChar ? static_cast<uint32_t>(c.data.size())
                                                     : (c.data.empty() ? 0 : 1);
        Run(
            "INT",
            [&] {
                urc = srv_.GetRequestData(u);
                drc = srv_.GetRequestData(d);
            },
            c.format, c.data, count);
        EXPECT_EQ(urc, c.asUint < 0 ? kZeftConversion : kZeftOk) << c.what;
        if (c.asUint >= 0) {
            EXPECT_EQ(u, c.asUint) << c.what;
        }
        EXPECT_EQ(drc, std::isnan(c.asDouble) ? kZeftConversion : kZeftOk) << c.what;
        if (!std::isnan(c.asDouble)) {
            EXPECT_DOUBLE_EQ(d, c.asDouble) << c.what;
        }
    }
}

TEST_F(SrvTest, ReplyConversionsAndBounds) {
    std::vector<uint8_t> sixteen(16, 1), seventeen(17, 1), five(5, 1);
    using P = std::function<int16_t()>;
    struct Case {
        const char* property;
        P put;
        int16_t rc;
        uint16_t format;  // of the reply stored; count and bytes follow
        uint32_t count;
        size_t bytes;
    } cases[] = {
        {"INT", P([&] { return srv_.PutReplyData(768u); }), 0, kZeftFormatInt, 1, 4},
        {"INT", P([&] { return srv_.PutReplyData(-2.9); }), 0, kZeftFormatInt, 1, 4},
        {"INT", P([&] { return srv_.PutReplyData(1e12); }), kZeftConversion, 0, 0, 0},
        {"DBL", P([&] { return srv_.PutReplyData(2u); }), 0, kZeftFormatDouble, 1, 8},
        {"BYTE4", P([&] { return srv_.PutReplyData(300u); }), kZeftConversion, 0, 0, 0},
        {"TEXT", P([&] { return srv_.PutReplyData("NORM"); }), 0, kZeftFormatText, 1, 4},
        {"TEXT", P([&] { return srv_.PutReplyData(std::string(1025, 'a')); }), kZeftReplyOverflow,
         0, 0, 0},
        {"TEXT", P([&] { return srv_.PutReplyData(574u); }), 0, kZeftFormatText, 1, 3},
        {"CHARS", P([&] { return srv_.PutReplyData("12345678"); }), 0, kZeftFormatChar, 8, 8},
        {"CHARS", P([&] { return srv_.PutReplyData("123456789"); }), kZeftReplyOverflow, 0, 0, 0},
        {"REC", P([&] { return srv_.PutReplyArray(sixteen, 16); }), 0, kZeftFormatRecord, 1, 16},
        {"REC", P([&] { return srv_.PutReplyArray(seventeen, 17); }), kZeftConversion, 0, 0, 0},
        {"REC", P([&] { return srv_.PutReplyArray(sixteen, 17); }), kZeftInvalidArgument, 0, 0, 0},
        {"BYTE4", P([&] { return srv_.PutReplyArray(five, 5); }), kZeftReplyOverflow, 0, 0, 0},
        {"BYTE4", P([&] { return srv_.PutReplyArray(five, 0); }), 0, kZeftFormatByte, 0, 0},
    };
    for (const Case& c : cases) {
        int16_t rc = 99;
        ZeftWireReply r = Run(c.property, [&] { rc = c.put(); });
        EXPECT_EQ(rc, c.rc) << c.property;
        EXPECT_EQ(r.format, c.format) << c.property;
        EXPECT_EQ(r.count, c.count) << c.property;
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

TEST_F(SrvTest, AddPropertyChecksItsArguments) {
    struct Case {
        const char* name;
        int32_t reqSize;
        int16_t reqFormat;
        int32_t replySize;
        int16_t replyFormat;
        int16_t access;
        int16_t rc;
    } cases[] = {
        {"INT", 32, kZeftFormatChar, 1, kZeftFormatInt, 3, 0},  // same again: fine
        {"INT", 32, kZeftFormatChar, 2, kZeftFormatInt, 3, kZeftDuplicateProperty},
        {"NEW1", 1, 999, 1, kZeftFormatInt, 3, kZeftUnknownFormat},
        {"NEW2", 1, kZeftFormatInt, 1, 0, 3, kZeftUnknownFormat},
        {"NEW3", 0, kZeftFormatInt, 1, kZeftFormatInt, 3, kZeftBadSize},
        {"NEW4", 1, kZeftFormatInt, -5, kZeftFormatInt, 3, kZeftBadSize},
        {"NEW5", 1, kZeftFormatInt, 2, kZeftFormatText, 3, kZeftBadSize},
        {"NEW6", 1, kZeftFormatInt, 0x7FFFFFFF, kZeftFormatDouble, 3, kZeftBadSize},
        {"NEW7", 1, kZeftFormatInt, 1, kZeftFormatInt, 0, kZeftBadAccess},
        {"NEW8", 1, kZeftFormatInt, 1, kZeftFormatInt, 4, kZeftBadAccess},
        {"bad name", 1, kZeftFormatInt, 1, kZeftFormatInt, 3, kZeftInvalidArgument},
        {"", 1, kZeftFormatInt, 1, kZeftFormatInt, 3, kZeftInvalidArgument},
    };
    for (const Case& c : cases)
        EXPECT_EQ(srv_.AddProperty(c.name, c.reqSize, c.reqFormat, "", c.replySize, c.replyFormat,
                                   "", c.access, "d"),
                  c.rc)
            << c.name;
    EXPECT_EQ(srv_.Properties().size(), 6u);  // the same declaration again adds nothing
}

}  // namespace
