#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "compression/CodecSet.h"
#include "compression/HuffyuvDecoder.h"
#include "core/FramePipeline.h"
#include "frame/FrameHeader.h"
#include "tests/core/Turn.h"
#include "tests/support/FrameHeaders.h"
#include "tests/support/LogRecorder.h"

namespace {

// A frame record as the capture side makes it.
CPoolBlock Record(uint32_t width, uint32_t height, uint32_t frameNumber,
                  const std::vector<uint8_t>& pixels, uint32_t effectiveBits = 8) {
    CPoolBlock block = CPoolBlock::Alloc(kFrameHeaderSize + width * height);
    FrameHeader h = TestFrameHeader(width, height, frameNumber);
    h.totalLength = width * height;  // the capture side's records count the pixels only
    h.frameRate = 24.96;
    h.effectiveBits = effectiveBits;
    WriteHeader(block.Data(), h);
    std::memcpy(block.Data() + kFrameHeaderSize, pixels.data(), width * height);
    return block;
}

std::vector<uint8_t> Gradient(uint32_t width, uint32_t height) {
    std::vector<uint8_t> p(width * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            p[y * width + x] = static_cast<uint8_t>(x / 3 + y / 2);
    return p;
}

std::vector<uint8_t> Noise(uint32_t width, uint32_t height) {
    std::vector<uint8_t> p(width * height);
    uint32_t s = 12345;
    for (auto& v : p) {
        s = s * 1103515245 + 12345;
        v = static_cast<uint8_t>(s >> 16);
    }
    return p;
}

struct Sent {
    std::vector<std::vector<uint8_t>> lossless, lossy;
};

class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pipeline_.SetSinks(
            [this](const uint8_t* m, uint32_t n) { sent_.lossless.emplace_back(m, m + n); },
            [this](const uint8_t* m, uint32_t n) { sent_.lossy.emplace_back(m, m + n); });
    }
    void Open(int width, int height) {
        ASSERT_TRUE(codecs_.InitializeCompressionCodec(width, height, 8, 50));
    }
    bool Run() { return pipeline_.OnFrameReady(queue_, &codecs_, settings_); }

    CLogRecorder log_;
    CFramePipeline pipeline_{&log_};
    CCodecSet codecs_{nullptr};
    CCaptureQueue queue_;
    CFramePipeline::Settings settings_;
    Sent sent_;
};

TEST_F(PipelineTest, DrainsABacklogToTheNewestAndIgnoresSurplusCommands) {
    Open(16, 8);
    const auto pixels = Gradient(16, 8);
    for (uint32_t n = 1; n <= 7; ++n)
        queue_.AddTail(Record(16, 8, n, pixels));
    EXPECT_TRUE(Run());
    EXPECT_EQ(queue_.GetCount(), 0);
    ASSERT_EQ(sent_.lossless.size(), 1u);
    EXPECT_EQ(ReadHeader<FrameHeader>(sent_.lossless[0].data()).frameNumber, 7u);
    EXPECT_EQ(pipeline_.GetCounters().drained, 6u);

    // Within the limit every frame goes, one per command, encoded several at a time and
    // handed on in frame order once the queue is empty: also when a later frame is done
    // first (noise goes raw at once, a gradient is compressed).
    for (uint32_t n = 8; n <= 12; ++n)
        queue_.AddTail(Record(16, 8, n, n % 2 ? Gradient(16, 8) : Noise(16, 8)));
    EXPECT_TRUE(Run());
    EXPECT_EQ(queue_.GetCount(), 4);
    while (queue_.GetCount() > 0)
        EXPECT_TRUE(Run());
    ASSERT_EQ(sent_.lossless.size(), 6u);
    for (uint32_t n = 8; n <= 12; ++n) {
        const auto& m = sent_.lossless[n - 7];
        EXPECT_EQ(ReadHeader<FrameHeader>(m.data()).frameNumber, n);
        CHuffyuvDecoder decoder;
        std::vector<uint8_t> gray;
        uint32_t w = 0, h = 0;
        const CResult<> decoded = decoder.DecodeMessage(m.data(), m.size(), gray, w, h);
        ASSERT_TRUE(decoded.Ok()) << decoded.Message();
        EXPECT_EQ(gray, n % 2 ? Gradient(16, 8) : Noise(16, 8));
    }

    // A command that finds nothing changes nothing.
    EXPECT_FALSE(Run());
    EXPECT_EQ(sent_.lossless.size(), 6u);
}

TEST_F(PipelineTest, CompressedRecordDecodesToTheFrameWithItsHeaderAndStatus) {
    Open(160, 120);
    settings_.scale = 0.125;
    const auto pixels = Gradient(160, 120);
    queue_.AddTail(Record(160, 120, 5, pixels));
    ASSERT_TRUE(Run());
    ASSERT_EQ(sent_.lossless.size(), 1u);
    const auto& m = sent_.lossless[0];
    const FrameHeader h = ReadHeader<FrameHeader>(m.data());
    EXPECT_EQ(h.compressed, 1u);
    EXPECT_EQ(h.totalLength, m.size());
    EXPECT_EQ(h.totalLength, kFrameHeaderSize + h.formatLength + h.dataLength);
    EXPECT_EQ(h.scale, 0.125);
    EXPECT_EQ(h.time, 1700000000);
    EXPECT_EQ(h.millitm, 250);
    CHuffyuvDecoder decoder;
    std::vector<uint8_t> gray;
    uint32_t w = 0, hh = 0;
    auto decoded = decoder.DecodeMessage(m.data(), m.size(), gray, w, hh);
    ASSERT_TRUE(decoded) << decoded.Message();
    EXPECT_TRUE(w == 160 && hh == 120 && gray == pixels);

    EXPECT_EQ(pipeline_.LastFrameTime().timezone, -60);
    EXPECT_EQ(pipeline_.LastFrameTime().dstflag, 1);
    // Lossy channel off: no JPEG.
    EXPECT_TRUE(sent_.lossy.empty());
}

TEST_F(PipelineTest, IncompressibleFramesGoRaw) {
    Open(32, 16);
    const auto pixels = Noise(32, 16);
    queue_.AddTail(Record(32, 16, 1, pixels));
    ASSERT_TRUE(Run());
    const auto& m = sent_.lossless.at(0);
    const FrameHeader h = ReadHeader<FrameHeader>(m.data());
    EXPECT_EQ(h.compressed, 0u);
    EXPECT_EQ(h.formatLength, 0u);
    EXPECT_EQ(h.dataLength, 32u * 16);
    EXPECT_EQ(h.totalLength, kFrameHeaderSize + 32 * 16);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), m.begin() + kFrameHeaderSize));
}

// The codec works on the turned frame, so its format block describes the image as the
// header does and a stock decoder returns the turned picture, also when a side is odd.
TEST_F(PipelineTest, QuarterTurnIsCompressedInTheTurnedGeometry) {
    settings_.orientation = "ROT90CW";
    for (auto [w, h] : {std::pair{158u, 101u}, std::pair{157u, 100u}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        Open(static_cast<int>(h), static_cast<int>(w));
        sent_ = {};
        const auto pixels = Gradient(w, h);
        queue_.AddTail(Record(w, h, 1, pixels));
        ASSERT_TRUE(Run());
        const auto& m = sent_.lossless.at(0);
        const FrameHeader header = ReadHeader<FrameHeader>(m.data());
        EXPECT_EQ(header.width, h);
        EXPECT_EQ(header.height, w);
        EXPECT_EQ(header.compressed, 1u);
        CHuffyuvDecoder decoder;
        std::vector<uint8_t> gray;
        uint32_t dw = 0, dh = 0;
        auto decoded = decoder.DecodeMessage(m.data(), m.size(), gray, dw, dh);
        ASSERT_TRUE(decoded) << decoded.Message();
        EXPECT_TRUE(gray == TurnClockwise(pixels, w, h));
    }
}

TEST_F(PipelineTest, JpegGoesOutOnlyWhenEncoded) {
    Open(64, 48);
    settings_.lossyEnabled = true;
    settings_.cameraName = "CAM7";
    queue_.AddTail(Record(64, 48, 3, Gradient(64, 48)));
    ASSERT_TRUE(Run());
    ASSERT_EQ(sent_.lossy.size(), 1u);
    const auto& j = sent_.lossy[0];
    const JpegFrameHeader h = ReadHeader<JpegFrameHeader>(j.data());
    EXPECT_EQ(h.totalLength, j.size());
    EXPECT_EQ(std::string(h.cameraName), "CAM7");
    EXPECT_EQ(j[kFrameHeaderSize], 0xFF);  // a JPEG starts with SOI
    EXPECT_EQ(j[kFrameHeaderSize + 1], 0xD8);

    // An encoder that cannot encode (reset) leaves a stale buffer: nothing is sent.
    codecs_.JpegEncoder()->Reset();
    queue_.AddTail(Record(64, 48, 4, Gradient(64, 48)));
    ASSERT_TRUE(Run());
    EXPECT_EQ(sent_.lossy.size(), 1u);
    EXPECT_EQ(sent_.lossless.size(), 2u);
    EXPECT_EQ(pipeline_.GetCounters().jpegFailed, 1u);
}

TEST_F(PipelineTest, FramesWithoutCodecsAreDroppedAndCounted) {
    queue_.AddTail(Record(8, 4, 1, Gradient(8, 4)));
    EXPECT_TRUE(Run());
    queue_.AddTail(Record(8, 4, 2, Gradient(8, 4)));
    EXPECT_TRUE(pipeline_.OnFrameReady(queue_, nullptr, settings_));
    EXPECT_TRUE(sent_.lossless.empty());
    EXPECT_EQ(pipeline_.GetCounters().withoutCodecs, 2u);
    EXPECT_EQ(pipeline_.Spot().xm, -1.0f);
}

TEST_F(PipelineTest, SpotOfAPointAndTheEffectiveBitsWarningOnce) {
    Open(21, 11);
    std::vector<uint8_t> pixels(21 * 11, 0);
    pixels[5 * 21 + 13] = 200;  // one bright pixel at x 13, y 5
    queue_.AddTail(Record(21, 11, 1, pixels));
    ASSERT_TRUE(Run());
    EXPECT_NEAR(pipeline_.Spot().xm, 13.0f, 0.5f);
    EXPECT_NEAR(pipeline_.Spot().ym, 5.0f, 0.5f);
    EXPECT_TRUE(log_.lines.empty());

    // 200 does not fit in 4 effective bits: said once for the run, never again.
    for (uint32_t n = 2; n <= 3; ++n) {
        queue_.AddTail(Record(21, 11, n, pixels, 4));
        ASSERT_TRUE(Run());
    }
    ASSERT_EQ(log_.lines.size(), 2u);
    EXPECT_EQ(log_.lines[0], "8bpp: out of effective bits range (ebr=4) bits found (fno=2)!");
    EXPECT_EQ(log_.lines[1], "This warning will only appear once! It is now disabled.");
    EXPECT_EQ(sent_.lossless.size(), 3u);  // the frames still go out
}

}  // namespace
