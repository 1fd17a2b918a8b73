#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "control/zeft/ZeftProtocol.h"

namespace {

ZeftWireCall SampleCall() {
    ZeftWireCall c;
    c.access = 3;
    c.requestFormat = kZeftFormatChar;
    c.requestCount = 5;
    c.data = {'C', 'a', 'm', ' ', '1'};
    c.context = "TAVO";
    c.equipment = "CAM7";
    c.device = "LUMERIX";
    c.property = "C_CAMNAME";
    c.intervalMs = 40;
    return c;
}

// Every proper prefix of a message body is refused; the whole body parses.
template <class T, class Parse>
T ParseEveryPrefix(const std::vector<uint8_t>& msg, Parse parse) {
    ZeftWireHeader h;
    EXPECT_TRUE(ZeftParseHeader(msg.data(), &h));
    EXPECT_EQ(h.bodyLength, msg.size() - kZeftHeaderSize);
    T out;
    for (size_t n = 0; n < h.bodyLength; ++n)
        EXPECT_EQ(parse(msg.data() + kZeftHeaderSize, n, &out), kZeftProtocolError) << n;
    EXPECT_EQ(parse(msg.data() + kZeftHeaderSize, h.bodyLength, &out), kZeftOk);
    return out;
}

TEST(ZeftProtocol, BodiesRoundTripAndEveryProperPrefixIsRefused) {
    ZeftWireCall c = ParseEveryPrefix<ZeftWireCall>(
        ZeftEncodeCall(ZeftMsgType::Call, 9, SampleCall()), ZeftParseCall);
    EXPECT_EQ(c.property, "C_CAMNAME");
    EXPECT_EQ(c.data, SampleCall().data);
    EXPECT_EQ(c.intervalMs, 40u);

    ZeftWireReply r;
    r.status = 515;
    r.message = "Error!";
    r.format = kZeftFormatDouble;
    r.count = 2;
    r.data.assign(16, 7);
    std::vector<uint8_t> reply = ZeftEncodeReply(9, kZeftFlagFinal, r);
    ZeftWireHeader h;
    ASSERT_TRUE(ZeftParseHeader(reply.data(), &h));
    EXPECT_EQ(h.type, ZeftMsgType::Reply);
    EXPECT_EQ(h.flags, kZeftFlagFinal);
    ZeftWireReply back = ParseEveryPrefix<ZeftWireReply>(reply, ZeftParseReply);
    EXPECT_EQ(back.status, 515);
    EXPECT_EQ(back.message, "Error!");
    EXPECT_EQ(back.data, r.data);
}

TEST(ZeftProtocol, MalformedFieldsAreRefused) {
    std::vector<uint8_t> good = ZeftEncodeCall(ZeftMsgType::Call, 1, SampleCall());
    auto body = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> b(good.begin() + kZeftHeaderSize, good.end());
        change(b);
        ZeftWireCall c;
        return ZeftParseCall(b.data(), b.size(), &c);
    };
    size_t names = kZeftCallFixedSize;
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
    } cases[] = {
        {"data length too long", [](auto& b) { b[8] = 6; }},
        {"count disagrees with the data", [](auto& b) { b[4] = 4; }},
        {"trailing byte", [](auto& b) { b.push_back(0); }},
        {"blank in a name", [&](auto& b) { b[names + 1] = ' '; }},
        {"control character in a name", [&](auto& b) { b[names + 2] = '\n'; }},
        // Length bytes of context "TAVO" and equipment "CAM7", then the device's.
        {"empty device", [&](auto& b) { b[names + 10] = 0; }},
        {"name longer than allowed",
         [&](auto& b) {
             b[names] = 64;
             b.insert(b.begin() + static_cast<ptrdiff_t>(names) + 5, 60, 'A');
         }},
    };
    EXPECT_EQ(body([](auto&) {}), kZeftOk);
    for (const Case& c : cases)
        EXPECT_EQ(body(c.change), kZeftProtocolError) << c.what;

    uint8_t h[kZeftHeaderSize];
    ZeftWriteHeader(h, ZeftWireHeader{ZeftMsgType::Call, 0, 1, 0});
    ZeftWireHeader out;
    EXPECT_TRUE(ZeftParseHeader(h, &out));
    for (size_t at : {0u, 4u, 5u}) {
        uint8_t bad[kZeftHeaderSize];
        std::memcpy(bad, h, sizeof bad);
        bad[at] = at == 5 ? 9 : bad[at] + 1;
        EXPECT_FALSE(ZeftParseHeader(bad, &out)) << at;
    }
}

}  // namespace
