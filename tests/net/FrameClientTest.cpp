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

TEST(FrameClient, ReadsBackToBackMessagesOfBothKinds) {
    auto raw = MakeRawMessage(7, 4, 2);
    auto jpeg = MakeJpegMessage(8, 300, "Cam");
    auto compressed = MakeCompressedMessage(9, 44, 20);
    std::vector<uint8_t> stream = raw;
    stream.insert(stream.end(), jpeg.begin(), jpeg.end());
    stream.insert(stream.end(), compressed.begin(), compressed.end());
    for (size_t step : {1u, 7u, 100000u}) {
        MemorySource src(stream, step);
        FrameMessage m;
        std::string error;
        for (const auto* expected : {&raw, &jpeg, &compressed}) {
            ASSERT_EQ(ReadMessage(src, m, error), kReadMessage) << error;
            EXPECT_TRUE(m.bytes == *expected);
            EXPECT_EQ(m.info.kind, expected == &jpeg ? MessageKind::Lossy : MessageKind::Lossless);
            EXPECT_EQ(m.Data() - m.bytes.data(), expected == &compressed ? 88 + 44 : 88);
            EXPECT_EQ(m.info.cameraName, expected == &jpeg ? "Cam" : "");
        }
        EXPECT_EQ(ReadMessage(src, m, error), kReadEnd);
    }
}

TEST(FrameClient, RefusesWhatIsNotAMessage) {
    struct Case {
        const char* what;
        bool jpeg;
        std::vector<std::pair<size_t, uint32_t>> pokes;  // 32-bit values at offsets
    } cases[] = {
        {"wrong magic", false, {{0, 0x11223345}}},
        {"unknown kind", false, {{4, 0x47504A4D}}},
        {"raw size differs from width x height", false, {{40, 5}}},
        {"raw frame with a format block", false, {{16, 4}, {12, 4}}},
        {"width x height overflowing 32 bits",
         false,
         {{40, 0x10000}, {44, 0x10000}, {12, 0}, {8, 88}}},
        {"compressed flag 2", false, {{48, 2}}},
        {"compressed without a format block", false, {{48, 1}}},
        {"lossy with a format length", true, {{16, 2}, {12, 8}}},
    };
    for (const auto& c : cases) {
        auto m = c.jpeg ? MakeJpegMessage(1, 10, "x") : MakeRawMessage(1, 4, 2);
        for (auto [offset, value] : c.pokes)
            std::memcpy(m.data() + offset, &value, 4);
        MemorySource src(m, 1 << 20);
        FrameMessage got;
        std::string error;
        EXPECT_EQ(ReadMessage(src, got, error), kReadError) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

}  // namespace
