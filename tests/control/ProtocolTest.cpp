#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "control/zeft/ZeftProtocol.h"

namespace {

// Acceptance of well-formed messages is the fuzzer's round trip; these are the refusals.
TEST(ZeftProtocol, TruncatedMalformedAndForeignMessagesAreRefused) {
    ZeftWireCall call;
    call.access = kZeftReadWrite;
    call.requestFormat = kZeftFormatChar;
    call.requestCount = 5;
    call.data = {'C', 'a', 'm', ' ', '1'};
    call.context = "TAVO";
    call.equipment = "CAM7";
    call.device = "LUMERIX";
    call.property = "C_CAMNAME";
    std::vector<uint8_t> good = ZeftEncodeCall(ZeftMsgType::Call, 1, call);
    ZeftWireReply reply{515, kZeftFormatDouble, 2, "Error!", std::vector<uint8_t>(16, 7)};
    std::vector<uint8_t> answer = ZeftEncodeReply(9, kZeftFlagFinal, reply);
    ZeftWireCall c;
    ZeftWireReply r;
    for (size_t n = 0; n < good.size() - kZeftHeaderSize; ++n)
        EXPECT_EQ(ZeftParseCall(good.data() + kZeftHeaderSize, n, &c), kZeftProtocolError) << n;
    for (size_t n = 0; n < answer.size() - kZeftHeaderSize; ++n)
        EXPECT_EQ(ZeftParseReply(answer.data() + kZeftHeaderSize, n, &r), kZeftProtocolError) << n;

    size_t names = kZeftCallFixedSize;
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
    } cases[] = {
        {"unchanged", [](auto&) {}},
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
    for (const Case& k : cases) {
        std::vector<uint8_t> b(good.begin() + kZeftHeaderSize, good.end());
        k.change(b);
        EXPECT_EQ(ZeftParseCall(b.data(), b.size(), &c),
                  k.what == cases[0].what ? kZeftOk : kZeftProtocolError)
            << k.what;
    }

    ZeftWireHeader h;
    EXPECT_TRUE(ZeftParseHeader(good.data(), &h));
    for (size_t at : {0u, 4u, 5u}) {
        std::vector<uint8_t> bad(good.begin(), good.begin() + kZeftHeaderSize);
        bad[at] = at == 5 ? 9 : bad[at] + 1;  // magic, version, type
        EXPECT_FALSE(ZeftParseHeader(bad.data(), &h)) << at;
    }
}

}  // namespace
