#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/FrameClient.h"
#include "tests/net/NetTestSupport.h"

namespace {

// Hands out a byte string in pieces of `step` bytes, then ends.
class MemorySource : public IByteSource {
  public:
    MemorySource(std::vector<uint8_t> bytes, size_t step) : bytes_(std::move(bytes)), step_(step) {}
    ssize_t Read(void* buffer, size_t length) override {
        size_t n = std::min({length, step_, bytes_.size() - pos_});
        std::memcpy(buffer, bytes_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t step_;
    size_t pos_ = 0;
};

template <typename T>
void Poke(std::vector<uint8_t>& m, size_t offset, T value) {
    std::memcpy(m.data() + offset, &value, sizeof value);
}

TEST(FrameClient, ReadsBackToBackMessagesOfBothKinds) {
    std::vector<uint8_t> stream;
    auto raw = MakeRawMessage(7, 4, 2);
    auto jpeg = MakeJpegMessage(8, 300, "Cam");
    FrameHeader c;  // a compressed lossless message: format block, then codec data
    c.formatLength = 44;
    c.dataLength = 20;
    c.totalLength = 88 + 44 + 20;
    c.compressed = 1;
    c.width = 640;
    c.height = 480;
    c.frameNumber = 9;
    std::vector<uint8_t> compressed(c.totalLength, 0x5A);
    WriteHeader(compressed.data(), c);
    for (const auto* m : {&raw, &jpeg, &compressed})
        stream.insert(stream.end(), m->begin(), m->end());

    for (size_t step : {1u, 7u, 100000u}) {
        MemorySource src(stream, step);
        FrameMessage m;
        std::string error;
        ASSERT_EQ(ReadMessage(src, m, error), kReadMessage) << error;
        EXPECT_TRUE(m.bytes == raw);
        EXPECT_EQ(m.info.kind, MessageKind::Lossless);
        EXPECT_EQ(m.info.width, 4u);
        EXPECT_FALSE(m.info.compressed);
        EXPECT_EQ(m.Data()[0], raw[88]);
        ASSERT_EQ(ReadMessage(src, m, error), kReadMessage) << error;
        EXPECT_EQ(m.info.kind, MessageKind::Lossy);
        EXPECT_EQ(m.info.cameraName, "Cam");
        EXPECT_EQ(m.info.dataLength, 300u);
        ASSERT_EQ(ReadMessage(src, m, error), kReadMessage) << error;
        EXPECT_TRUE(m.info.compressed);
        EXPECT_EQ(m.Data() - m.Format(), 44);
        EXPECT_EQ(ReadMessage(src, m, error), kReadEnd);
    }
}

TEST(FrameClient, RefusesWhatIsNotAMessage) {
    auto good = MakeRawMessage(1, 4, 2);
    auto jpeg = MakeJpegMessage(1, 10, "x");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    auto with = [&](const char* what, const std::vector<uint8_t>& base, auto edit) {
        auto m = base;
        edit(m);
        cases.push_back({what, m});
    };
    with("wrong magic", good, [](auto& m) { Poke<uint32_t>(m, 0, 0x11223345); });
    with("unknown kind", good, [](auto& m) { std::memcpy(m.data() + 4, "MJPG", 4); });
    with("total under 88", good, [](auto& m) { Poke<uint32_t>(m, 8, 87); });
    with("total over the bound", good,
         [](auto& m) { Poke<uint32_t>(m, 8, kMaxMessageLength + 1); });
    with("lengths do not add up", good, [](auto& m) { Poke<uint32_t>(m, 12, 9); });
    with("raw size differs from width x height", good, [](auto& m) { Poke<uint32_t>(m, 40, 5); });
    with("raw frame with a format block", good, [](auto& m) {
        Poke<uint32_t>(m, 16, 4);
        Poke<uint32_t>(m, 12, 4);
    });
    with("huge width x height overflowing 32 bits", good, [](auto& m) {
        Poke<uint32_t>(m, 40, 0x10000);
        Poke<uint32_t>(m, 44, 0x10000);
        Poke<uint32_t>(m, 12, 0);
        Poke<uint32_t>(m, 8, 88);
    });
    with("compressed flag 2", good, [](auto& m) { Poke<uint32_t>(m, 48, 2); });
    with("compressed without a format block", good, [](auto& m) { Poke<uint32_t>(m, 48, 1); });
    with("lossy with a format length", jpeg, [](auto& m) {
        Poke<uint32_t>(m, 16, 2);
        Poke<uint32_t>(m, 12, 8);
    });
    with("lossy data length beyond total", jpeg, [](auto& m) { Poke<uint32_t>(m, 12, 11); });
    with("cut inside the body", good, [](auto& m) { m.resize(m.size() - 1); });
    with("cut inside the header", good, [](auto& m) { m.resize(50); });

    for (const auto& c : cases) {
        MemorySource src(c.bytes, 1 << 20);
        FrameMessage m;
        std::string error;
        EXPECT_EQ(ReadMessage(src, m, error), kReadError) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(FrameClient, HostPortParsing) {
    struct {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"localhost:31777", true, "localhost", 31777},
        {"10.0.0.1:1", true, "10.0.0.1", 1},
        {"host:65535", true, "host", 65535},
        {"host:65536", false, "", 0},
        {"host:0", false, "", 0},
        {"host:", false, "", 0},
        {":31777", false, "", 0},
        {"host", false, "", 0},
        {"host:12x", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host;
        uint16_t port = 0;
        EXPECT_EQ(ParseHostPort(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

}  // namespace
