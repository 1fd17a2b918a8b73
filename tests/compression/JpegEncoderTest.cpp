#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "TestImages.h"
#include "compression/JpegEncoder.h"
#include "frame/FrameHeader.h"
#include "tests/support/FrameHeaders.h"

#include <jpeglib.h>

namespace {

// The JPEG that libjpeg writes for the false-colour RGB image with the same parameters.
std::vector<uint8_t> BareRgbJpeg(const std::vector<uint8_t>& gray, uint32_t width, uint32_t height,
                                 int quality) {
    std::vector<uint8_t> rgb;
    for (uint8_t v : gray) {
        const FalseColour c = FalseColourTable()[v];
        rgb.insert(rgb.end(), {c.r, c.g, c.b});
    }
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + size_t{cinfo.next_scanline} * width * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

FrameHeader FrameOf(uint32_t width, uint32_t height) {
    FrameHeader h = TestFrameHeader(width, height, 4711);
    h.millitm = 999;
    h.reserved0 = 0x12345678;
    h.scale = 0.125;
    return h;
}

// Encodes `pixels` with an encoder set to `sizeW` × `sizeH` (the frame's size when 0); the
// message, or empty on failure.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& pixels, const FrameHeader& h, int quality,
                            const char* name = "Cam", int sizeW = 0, int sizeH = 0) {
    CJpegEncoder encoder;
    (void)encoder.SetSize(sizeW ? sizeW : int(h.width), sizeH ? sizeH : int(h.height));
    encoder.SetQuality(quality);
    std::vector<uint8_t> out(encoder.GetMaxOutputSize());
    uint32_t size = static_cast<uint32_t>(out.size());
    if (!encoder.Encode(pixels.data(), h, out.data(), size, name))
        return {};
    out.resize(size);
    return out;
}

// The encoder hands libjpeg the false colours as YCbCr; the JPEG must be the one libjpeg
// writes for the RGB image, byte for byte. A rotated frame is encoded at the size its
// header gives, not the one the encoder was set to.
TEST(CJpegEncoder, WritesTheJpegOfTheFalseColourRgbImage) {
    const struct {
        uint32_t width, height;
        ImageKind kind;
        int quality, sizeW = 0, sizeH = 0;
    } cases[] = {{320, 240, ImageKind::kSpot, 30},  {333, 217, ImageKind::kSpot, 60},
                 {256, 192, ImageKind::kSpot, 100}, {97, 61, ImageKind::kNoise, 1},
                 {768, 574, ImageKind::kSpot, 30},  {161, 113, ImageKind::kNoise, 50},
                 {31, 33, ImageKind::kSpot, 10},    {1001, 3, ImageKind::kSpot, 90},
                 {2, 1001, ImageKind::kNoise, 20},  {100, 100, ImageKind::kWhite, 75},
                 {100, 100, ImageKind::kBlack, 30}, {480, 640, ImageKind::kSpot, 30, 640, 480}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " q" << c.quality);
        const auto pixels = MakeImage(c.kind, c.width, c.height);
        const auto message =
            Encode(pixels, FrameOf(c.width, c.height), c.quality, "Cam", c.sizeW, c.sizeH);
        ASSERT_FALSE(message.empty());
        const JpegFrameHeader j = ReadHeader<JpegFrameHeader>(message.data());
        EXPECT_TRUE(j.width == c.width && j.height == c.height);
        EXPECT_TRUE(std::vector<uint8_t>(message.begin() + 88, message.end()) ==
                    BareRgbJpeg(pixels, c.width, c.height, c.quality));
    }
}

// Every byte of the lossy header: the frame's fields, the lengths, the camera name cut to
// 29 bytes, zeros elsewhere.
TEST(CJpegEncoder, LossyHeaderCarriesTheFrame) {
    const char* name = "a-camera-name-longer-than-29-bytes";
    const auto message = Encode(MakeImage(ImageKind::kSpot, 64, 48), FrameOf(64, 48), 30, name);
    ASSERT_GT(message.size(), 88u);
    JpegFrameHeader j;
    j.totalLength = static_cast<uint32_t>(message.size());
    j.dataLength = j.totalLength - 88;
    j.frameNumber = 4711;
    j.time = 1700000000;
    j.millitm = 999;
    j.timezone = -60;
    j.dstflag = 1;
    j.reserved0 = 0x5678;
    j.width = 64;
    j.height = 48;
    j.scale = 0.125;
    std::memcpy(j.cameraName, name, 29);
    uint8_t expected[88] = {};
    WriteHeader(expected, j);
    EXPECT_EQ(std::vector<uint8_t>(message.begin(), message.begin() + 88),
              std::vector<uint8_t>(expected, expected + 88));
}

// After each failure the encoder still encodes the next frame.
TEST(CJpegEncoder, FailuresLeaveTheOutputAloneAndOnlyFailTheFrame) {
    const struct {
        int sizeW, sizeH;  // 0: never set
        bool reset;
        FrameHeader frame;
        uint32_t capacity;
    } cases[] = {
        {0, 0, false, FrameOf(64, 64), 2 * 64 * 64 + 88},
        {64, 64, true, FrameOf(64, 64), 2 * 64 * 64 + 88},
        {64, 64, false, FrameOf(64, 64), 300},
        // Any JPEG of a 4 × 4 frame is longer than 2 × 16 bytes: its block must not overflow.
        {64, 64, false, FrameOf(4, 4), 1 << 16},
        {64, 64, false, FrameOf(65536, 1), 1 << 20},
        {64, 64, false, FrameOf(64, 0), 1 << 16},
        // Wider than libjpeg's largest image: the library reports an error.
        {65501, 1, false, FrameOf(65501, 1), 1 << 18},
    };
    const auto good = MakeImage(ImageKind::kSpot, 64, 64);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        CJpegEncoder encoder;
        ASSERT_TRUE(c.sizeW == 0 || encoder.SetSize(c.sizeW, c.sizeH).Ok());
        if (c.reset)
            encoder.Reset();
        std::vector<uint8_t> out(c.capacity, 0x5A);
        uint32_t size = c.capacity;
        const auto pixels = MakeImage(ImageKind::kNoise, c.frame.width, c.frame.height + 1);
        EXPECT_FALSE(encoder.Encode(pixels.data(), c.frame, out.data(), size, "Cam"));
        EXPECT_EQ(size, c.capacity);
        EXPECT_EQ(std::count(out.begin(), out.end(), 0x5A), c.capacity);
        ASSERT_TRUE(encoder.SetSize(64, 64));
        out.resize(size = encoder.GetMaxOutputSize());
        EXPECT_TRUE(encoder.Encode(good.data(), FrameOf(64, 64), out.data(), size, "Cam"));
    }
}

}  // namespace
