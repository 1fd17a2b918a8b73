#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TestImages.h"
#include "compression/JpegEncoder.h"
#include "net/FrameHeader.h"

#include <jpeglib.h>

namespace {

struct DecodedJpeg {
    bool ok = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

struct TestErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void TestErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<TestErrorManager*>(cinfo->err)->jump, 1);
}

DecodedJpeg DecodeJpeg(const uint8_t* data, size_t length) {
    DecodedJpeg out;
    jpeg_decompress_struct cinfo;
    TestErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = TestErrorExit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        out.ok = false;
        return out;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<uint8_t*>(data), static_cast<unsigned long>(length));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    out.rgb.resize(size_t{out.width} * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.rgb.data() + size_t{cinfo.output_scanline} * out.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    out.ok = true;
    return out;
}

// The JPEG that libjpeg writes for the false-colour RGB image with the same parameters.
std::vector<uint8_t> BareRgbJpeg(const std::vector<uint8_t>& gray, uint32_t width, uint32_t height,
                                 int quality) {
    std::vector<uint8_t> rgb(gray.size() * 3);
    for (size_t i = 0; i < gray.size(); ++i) {
        const FalseColour c = FalseColourTable()[gray[i]];
        rgb[3 * i] = c.r;
        rgb[3 * i + 1] = c.g;
        rgb[3 * i + 2] = c.b;
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
    FrameHeader h;
    h.width = width;
    h.height = height;
    h.totalLength = kFrameHeaderSize + width * height;
    h.dataLength = width * height;
    h.frameNumber = 4711;
    h.time = 1700000000;
    h.millitm = 999;
    h.timezone = -60;
    h.dstflag = 1;
    h.reserved0 = 0x12345678;
    h.frameRate = 25.0;
    h.scale = 0.125;
    return h;
}

// Encodes `pixels` with a fresh encoder; the message, or empty on failure.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& pixels, const FrameHeader& h, int quality,
                            const char* name = "Cam") {
    CJpegEncoder encoder;
    encoder.SetSize(int(h.width), int(h.height));
    encoder.SetQuality(quality);
    std::vector<uint8_t> out(encoder.GetMaxOutputSize());
    uint32_t size = static_cast<uint32_t>(out.size());
    if (encoder.Encode(pixels.data(), h, out.data(), size, name) != 1)
        return {};
    out.resize(size);
    return out;
}

TEST(FalseColour, TableMatchesTheColourRamp) {
    struct Row {
        int v;
        uint8_t r, g, b;
    };
    const Row rows[] = {
        {0, 0, 0, 0},         {1, 0, 0, 135},     {31, 0, 0, 255},    {32, 0, 3, 255},
        {64, 0, 131, 255},    {95, 0, 255, 255},  {96, 3, 255, 251},  {127, 127, 255, 127},
        {158, 251, 255, 3},   {159, 255, 255, 0}, {160, 255, 251, 0}, {192, 255, 123, 0},
        {222, 255, 3, 0},     {223, 255, 0, 0},   {224, 251, 0, 0},   {254, 131, 0, 0},
        {255, 255, 255, 255},
    };
    for (const Row& row : rows) {
        const FalseColour c = FalseColourTable()[static_cast<size_t>(row.v)];
        EXPECT_EQ(c.r, row.r) << "v=" << row.v;
        EXPECT_EQ(c.g, row.g) << "v=" << row.v;
        EXPECT_EQ(c.b, row.b) << "v=" << row.v;
    }
}

// The message decodes to the false-colour image, within JPEG tolerance.
TEST(CJpegEncoder, MessageDecodesToTheFalseColourImage) {
    struct Case {
        ImageKind kind;
        int quality;
        double meanLimit, maxLimit;
    };
    const Case cases[] = {{ImageKind::kSpot, 95, 3.5, 255},
                          {ImageKind::kSpot, 30, 4.5, 255},
                          {ImageKind::kBlack, 30, 0.01, 1},
                          {ImageKind::kWhite, 30, 0.01, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(ImageKindName(c.kind)) + " q" + std::to_string(c.quality));
        const auto pixels = MakeImage(c.kind, 320, 240);
        const auto message = Encode(pixels, FrameOf(320, 240), c.quality);
        ASSERT_FALSE(message.empty());
        ASSERT_EQ(ReadHeader<JpegFrameHeader>(message.data()).totalLength, message.size());
        const DecodedJpeg image = DecodeJpeg(message.data() + 88, message.size() - 88);
        ASSERT_TRUE(image.ok);
        ASSERT_EQ(image.width * image.height, pixels.size());
        double sum = 0, max = 0;
        for (size_t i = 0; i < 3 * pixels.size(); ++i) {
            const FalseColour e = FalseColourTable()[pixels[i / 3]];
            const double d = std::abs(image.rgb[i] - (i % 3 == 0 ? e.r : i % 3 == 1 ? e.g : e.b));
            sum += d;
            max = std::max(max, d);
        }
        EXPECT_LT(sum / (3.0 * pixels.size()), c.meanLimit);
        EXPECT_LE(max, c.maxLimit);
    }
}

// The encoder hands libjpeg the false colours as YCbCr; the JPEG must be the one libjpeg
// writes for the RGB image, byte for byte.
TEST(CJpegEncoder, WritesTheJpegOfTheFalseColourRgbImage) {
    struct Case {
        uint32_t width, height;
        ImageKind kind;
        int quality;
    };
    const Case cases[] = {{320, 240, ImageKind::kSpot, 30},  {333, 217, ImageKind::kSpot, 60},
                          {256, 192, ImageKind::kSpot, 100}, {97, 61, ImageKind::kNoise, 1},
                          {768, 574, ImageKind::kSpot, 30},  {161, 113, ImageKind::kNoise, 50},
                          {31, 33, ImageKind::kSpot, 10},    {1001, 3, ImageKind::kSpot, 90},
                          {2, 1001, ImageKind::kNoise, 20},  {100, 100, ImageKind::kWhite, 75}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " q" +
                     std::to_string(c.quality));
        const auto pixels = MakeImage(c.kind, c.width, c.height);
        const auto message = Encode(pixels, FrameOf(c.width, c.height), c.quality);
        ASSERT_FALSE(message.empty());
        const std::vector<uint8_t> ours(message.begin() + 88, message.end());
        EXPECT_TRUE(ours == BareRgbJpeg(pixels, c.width, c.height, c.quality));
    }
}

TEST(CJpegEncoder, LossyHeaderCarriesTheFrame) {
    const auto pixels = MakeImage(ImageKind::kSpot, 64, 48);
    const auto message = Encode(pixels, FrameOf(64, 48), 30, "Screen1");
    ASSERT_FALSE(message.empty());
    const JpegFrameHeader j = ReadHeader<JpegFrameHeader>(message.data());
    EXPECT_EQ(j.magic, kFrameMagic);
    EXPECT_EQ(std::memcmp(message.data() + 4, "JFIF", 4), 0);
    EXPECT_EQ(j.totalLength, 88 + j.dataLength);
    EXPECT_EQ(j.formatLength, 0u);
    EXPECT_EQ(j.frameNumber, 4711u);
    EXPECT_EQ(j.time, 1700000000);
    EXPECT_EQ(j.millitm, 999);
    EXPECT_EQ(j.timezone, -60);
    EXPECT_EQ(j.dstflag, 1);
    EXPECT_EQ(j.reserved0, 0x5678);
    EXPECT_EQ(j.width, 64);
    EXPECT_EQ(j.height, 48);
    EXPECT_EQ(j.compressed, 1);
    EXPECT_EQ(j.scale, 0.125);
    EXPECT_EQ(j.bitsPerPixel, 24);
    EXPECT_STREQ(j.cameraName, "Screen1");
    // A complete datastream: start-of-image to end-of-image.
    EXPECT_EQ(message[88], 0xFF);
    EXPECT_EQ(message[89], 0xD8);
    EXPECT_EQ(message[message.size() - 2], 0xFF);
    EXPECT_EQ(message.back(), 0xD9);
}

TEST(CJpegEncoder, CameraNameIsCutAndPadded) {
    const auto pixels = MakeImage(ImageKind::kSpot, 32, 32);
    const std::string long29(29, 'x'), long40 = std::string(28, 'y') + "zABCDEFGHIJK";
    struct Case {
        const char* name;
        std::string expected;
    };
    const Case cases[] = {{nullptr, ""},
                          {"", ""},
                          {"Cam", "Cam"},
                          {long29.c_str(), long29},
                          {long40.c_str(), long40.substr(0, 29)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const auto message = Encode(pixels, FrameOf(32, 32), 30, c.name);
        ASSERT_FALSE(message.empty());
        const std::string field(reinterpret_cast<const char*>(message.data()) + 58, 29);
        EXPECT_EQ(field, c.expected + std::string(29 - c.expected.size(), '\0'));
        EXPECT_EQ(message[87], 0);
    }
}

TEST(CJpegEncoder, QualityIsClampedAndSizesBounded) {
    const int cases[][2] = {{-5, 1}, {0, 1}, {1, 1}, {50, 50}, {100, 100}, {101, 100}, {150, 100}};
    CJpegEncoder encoder;
    EXPECT_EQ(encoder.GetQuality(), 30);
    for (const auto& c : cases) {
        encoder.SetQuality(c[0]);
        EXPECT_EQ(encoder.GetQuality(), c[1]) << c[0];
    }
    EXPECT_EQ(encoder.GetMaxOutputSize(), 0u);
    EXPECT_EQ(encoder.SetSize(0, 10), 0);
    EXPECT_EQ(encoder.SetSize(10, 65536), 0);
    EXPECT_EQ(encoder.GetMaxOutputSize(), 0u);
}

TEST(CJpegEncoder, FailuresLeaveTheOutputAlone) {
    const auto pixels = MakeImage(ImageKind::kNoise, 64, 64);
    struct Case {
        const char* name;
        bool setSize;
        FrameHeader frame;
        uint32_t capacity;
    };
    const Case cases[] = {
        {"before SetSize", false, FrameOf(64, 64), 2 * 64 * 64 + 88},
        {"after Reset", true, FrameOf(64, 64), 2 * 64 * 64 + 88},
        {"output too small", true, FrameOf(64, 64), 300},
        // Any JPEG of a 4 × 4 frame is longer than 2 × 16 bytes: its block must not overflow.
        {"JPEG longer than its block", true, FrameOf(4, 4), 1 << 16},
        {"width beyond the lossy header", true, FrameOf(65536, 1), 1 << 20},
        {"zero height", true, FrameOf(64, 0), 1 << 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CJpegEncoder encoder;
        if (c.setSize) {
            ASSERT_EQ(encoder.SetSize(64, 64), 1);
        }
        if (std::string(c.name) == "after Reset")
            encoder.Reset();
        std::vector<uint8_t> out(c.capacity, 0x5A);
        uint32_t size = c.capacity;
        std::vector<uint8_t> source(size_t{c.frame.width} * c.frame.height + 1, 0x80);
        EXPECT_EQ(encoder.Encode(c.frame.width * c.frame.height <= pixels.size() ? pixels.data()
                                                                                 : source.data(),
                                 c.frame, out.data(), size, "Cam"),
                  0);
        EXPECT_EQ(size, c.capacity);
        for (uint8_t b : out)
            ASSERT_EQ(b, 0x5A);
    }
}

TEST(CJpegEncoder, LibraryErrorFailsOnlyTheFrame) {
    // Wider than libjpeg's largest image: the library reports an error.
    const uint32_t w = 65501;
    std::vector<uint8_t> pixels(w, 100);
    CJpegEncoder encoder;
    ASSERT_EQ(encoder.SetSize(int(w), 1), 1);
    std::vector<uint8_t> out(encoder.GetMaxOutputSize(), 0x5A);
    uint32_t size = static_cast<uint32_t>(out.size());
    EXPECT_EQ(encoder.Encode(pixels.data(), FrameOf(w, 1), out.data(), size, "Cam"), 0);
    EXPECT_EQ(size, out.size());
    // And the next frame encodes.
    ASSERT_EQ(encoder.SetSize(64, 64), 1);
    const auto good = MakeImage(ImageKind::kSpot, 64, 64);
    EXPECT_EQ(encoder.Encode(good.data(), FrameOf(64, 64), out.data(), size, "Cam"), 1);
}

TEST(CJpegEncoder, RotatedFrameUsesTheHeaderSize) {
    CJpegEncoder encoder;
    ASSERT_EQ(encoder.SetSize(640, 480), 1);
    EXPECT_EQ(encoder.GetMaxOutputSize(), 2u * 640 * 480 + 88);
    const auto pixels = MakeImage(ImageKind::kSpot, 480, 640);
    std::vector<uint8_t> out(encoder.GetMaxOutputSize());
    uint32_t size = static_cast<uint32_t>(out.size());
    ASSERT_EQ(encoder.Encode(pixels.data(), FrameOf(480, 640), out.data(), size, "Cam"), 1);
    const JpegFrameHeader j = ReadHeader<JpegFrameHeader>(out.data());
    EXPECT_EQ(j.width, 480);
    EXPECT_EQ(j.height, 640);
    const DecodedJpeg image = DecodeJpeg(out.data() + 88, j.dataLength);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(image.width, 480u);
    EXPECT_EQ(image.height, 640u);
}

}  // namespace
