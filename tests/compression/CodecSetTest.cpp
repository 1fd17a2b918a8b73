#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestImages.h"
#include "base/LogSink.h"
#include "compression/CodecSet.h"
#include "tests/support/LogRecorder.h"

namespace {

void ExpectNothingLeft(const CCodecSet& set) {
    EXPECT_FALSE(set.IsInitialized());
    EXPECT_TRUE(!set.Codec() && !set.JpegEncoder() && !set.JpegBuffer() && !set.OutputFormat() &&
                !set.LosslessRecord() && !set.CompressedImage());
    EXPECT_EQ(set.JpegCapacity() + set.OutputFormatLength() + set.LosslessRecordCapacity(), 0u);
}

TEST(CCodecSet, SetsUpBothChannelsForAGeometry) {
    CLogRecorder log;
    CCodecSet set(&log);
    auto up = set.InitializeCompressionCodec(768, 574, 8, 150);
    ASSERT_TRUE(up) << up.Message();
    ASSERT_NE(set.JpegEncoder(), nullptr);
    EXPECT_EQ(set.JpegCapacity(), 2u * 768 * 574 + 88);
    ASSERT_NE(set.Codec(), nullptr);
    const uint32_t length = set.OutputFormatLength();
    EXPECT_EQ(set.LosslessRecordCapacity(), 88 + length + set.MaxCompressedSize());
    EXPECT_EQ(set.CompressedImage(), set.LosslessRecord() + 88 + length);

    // The record holds the compressed form and the raw one (ASan checks the bounds).
    const auto pixels = MakeImage(ImageKind::kNoise, 768, 574);
    ASSERT_TRUE(set.Codec()->Compress(pixels.data(), set.CompressedImage()));
    std::memcpy(set.LosslessRecord() + 88, pixels.data(), pixels.size());

    // Small odd frames keep room for the raw form.
    ASSERT_TRUE(set.InitializeCompressionCodec(3, 1, 8, 30));
    EXPECT_GE(set.LosslessRecordCapacity(), 88u + 3u);
    EXPECT_GE(set.LosslessRecordCapacity(),
              88u + set.OutputFormatLength() + set.MaxCompressedSize());

    set.DeinitializeCompressionCodec();
    ExpectNothingLeft(set);
    set.DeinitializeCompressionCodec();
}

TEST(CCodecSet, FailuresLeaveNothingBehind) {
    const int cases[][3] = {
        {0, 0, 8}, {-5, 10, 8}, {768, 574, 16}, {70000, 2, 8}, {20000, 20000, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1] << "x" << c[2]);
        CLogRecorder log;
        CCodecSet set(&log);
        ASSERT_TRUE(set.InitializeCompressionCodec(64, 48, 8, 30));
        auto up = set.InitializeCompressionCodec(c[0], c[1], c[2], 30);
        ASSERT_FALSE(up);
        ExpectNothingLeft(set);
        EXPECT_TRUE(log.lines.empty());
        EXPECT_FALSE(up.Message().empty());  // for the controller's log
        EXPECT_EQ(up.Message(), set.FailureReason());
    }
    // A geometry the JPEG side takes but libavcodec refuses carries the library's words.
    CCodecSet set(nullptr);
    auto up = set.InitializeCompressionCodec(20000, 20000, 8, 30);
    EXPECT_NE(up.Message().find("(libavcodec: Invalid argument)"), std::string::npos)
        << up.Message();
}

}  // namespace
