#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestImages.h"
#include "base/LogSink.h"
#include "compression/CodecSet.h"
#include "net/FrameHeader.h"

namespace {

void ExpectNothingLeft(const CCodecSet& set) {
    EXPECT_FALSE(set.IsInitialized());
    EXPECT_EQ(set.Codec(), nullptr);
    EXPECT_EQ(set.JpegEncoder(), nullptr);
    EXPECT_EQ(set.JpegBuffer(), nullptr);
    EXPECT_EQ(set.JpegCapacity(), 0u);
    EXPECT_EQ(set.OutputFormat(), nullptr);
    EXPECT_EQ(set.OutputFormatLength(), 0u);
    EXPECT_EQ(set.LosslessRecord(), nullptr);
    EXPECT_EQ(set.LosslessRecordCapacity(), 0u);
    EXPECT_EQ(set.CompressedImage(), nullptr);
    EXPECT_EQ(set.GetFourCC(), 0u);
}

TEST(CCodecSet, SetsUpBothChannelsForAGeometry) {
    CLogRecorder log;
    CCodecSet set(&log);
    ASSERT_EQ(set.InitializeCompressionCodec(768, 574, 8, 150), 1) << set.LastTrace();
    ASSERT_NE(set.JpegEncoder(), nullptr);
    EXPECT_EQ(set.JpegEncoder()->GetQuality(), 100);
    EXPECT_EQ(set.JpegCapacity(), 2u * 768 * 574 + 88);
    ASSERT_NE(set.JpegBuffer(), nullptr);
    ASSERT_NE(set.Codec(), nullptr);
    EXPECT_EQ(set.GetFourCC(), kFourCCHfyu);

    uint32_t length = 0, max = 0;
    ASSERT_EQ(set.Codec()->GetOutputFormatLength(&length), 1);
    ASSERT_EQ(set.Codec()->GetMaxCompressedSize(&max), 1);
    EXPECT_EQ(set.OutputFormatLength(), length);
    EXPECT_EQ(set.MaxCompressedSize(), max);
    uint32_t copyLength = 0;
    std::memcpy(&copyLength, set.OutputFormat(), 4);
    EXPECT_EQ(copyLength, length);
    EXPECT_EQ(set.LosslessRecordCapacity(), 88 + length + max);
    EXPECT_EQ(set.CompressedImage(), set.LosslessRecord() + 88 + length);
    EXPECT_TRUE(log.lines.empty());

    // The record holds the compressed form and the raw one.
    const auto pixels = MakeImage(ImageKind::kNoise, 768, 574);
    ASSERT_EQ(set.Codec()->Compress(pixels.data(), set.CompressedImage()), 1);
    std::memcpy(set.LosslessRecord() + 88, pixels.data(), pixels.size());

    set.DeinitializeCompressionCodec();
    ExpectNothingLeft(set);
    set.DeinitializeCompressionCodec();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Deinitializing compression codec...",
                                                   "Deinitializing compression codec..."}));
}

TEST(CCodecSet, FailuresLeaveNothingBehind) {
    struct Case {
        const char* name;
        int width, height, bits;
    };
    const Case cases[] = {
        {"no frame size yet", 0, 0, 8},
        {"negative width", -5, 10, 8},
        {"not 8 bits per pixel", 768, 574, 16},
        {"wider than the lossy header", 70000, 2, 8},
        {"too large for the codec", 20000, 20000, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogRecorder log;
        CCodecSet set(&log);
        ASSERT_EQ(set.InitializeCompressionCodec(64, 48, 8, 30), 1);
        EXPECT_EQ(set.InitializeCompressionCodec(c.width, c.height, c.bits, 30), 0);
        ExpectNothingLeft(set);
        EXPECT_TRUE(log.lines.empty());
    }
    CCodecSet set(nullptr);
    EXPECT_EQ(set.InitializeCompressionCodec(20000, 20000, 8, 30), 0);
    EXPECT_EQ(set.LastTrace().rfind("CCompression::Init : Could not get frame output format", 0),
              0u);
}

TEST(CCodecSet, SmallOddFramesKeepRoomForTheRawForm) {
    CCodecSet set(nullptr);
    ASSERT_EQ(set.InitializeCompressionCodec(3, 1, 8, 30), 1);
    EXPECT_GE(set.LosslessRecordCapacity(), 88u + 3u);
    EXPECT_GE(set.LosslessRecordCapacity(),
              88u + set.OutputFormatLength() + set.MaxCompressedSize());
    ASSERT_EQ(set.InitializeCompressionCodec(1920, 1080, 8, 30), 1);  // replaces the set-up
    EXPECT_EQ(set.JpegCapacity(), 2u * 1920 * 1080 + 88);
}

}  // namespace
