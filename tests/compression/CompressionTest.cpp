#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <vector>

#include "TestImages.h"
#include "compression/CodecSet.h"
#include "compression/Compression.h"
#include "compression/HuffyuvDecoder.h"
#include "frame/LosslessRecord.h"

namespace {

BITMAPINFOHEADER InputDescription(int32_t width, int32_t height) {
    BITMAPINFOHEADER d;
    d.biWidth = width;
    d.biHeight = height;
    d.biBitCount = 24;
    d.biSizeImage = static_cast<uint32_t>(int64_t{width} * height);
    return d;
}

BITMAPINFOHEADER FormatOf(const uint8_t* block) {
    BITMAPINFOHEADER b;
    std::memcpy(&b, block, sizeof b);
    return b;
}

// The output format block of an open codec, read through a destination of `length` bytes.
std::vector<uint8_t> OutputFormat(CCompression& codec, uint32_t length, bool expected = true) {
    std::vector<uint8_t> format(length, 0xAB);
    std::memcpy(format.data(), &length, 4);
    EXPECT_EQ(codec.GetOutputFormat(format.data()).Ok(), expected);
    return format;
}

// The compressed lossless message of one frame, built as the frame pipeline builds it.
std::vector<uint8_t> CompressedMessage(CCodecSet& set, const std::vector<uint8_t>& pixels,
                                       uint32_t width, uint32_t height) {
    EXPECT_TRUE(set.Codec()->Compress(pixels.data(), set.CompressedImage()));
    EXPECT_TRUE(set.Codec()->GetOutputFormat(set.OutputFormat()));
    const BITMAPINFOHEADER format = FormatOf(set.OutputFormat());
    EXPECT_LE(format.biSizeImage, set.MaxCompressedSize());
    FrameHeader h;
    h.width = width;
    h.height = height;
    const uint32_t length = PutCompressedRecord(set.LosslessRecord(), set.LosslessRecordCapacity(),
                                                h, set.OutputFormat(), format.biSize,
                                                set.CompressedImage(), format.biSizeImage);
    EXPECT_GT(length, 0u);
    return std::vector<uint8_t>(set.LosslessRecord(), set.LosslessRecord() + length);
}

CResult<> Decode(CHuffyuvDecoder& decoder, const std::vector<uint8_t>& m,
                 std::vector<uint8_t>& gray) {
    uint32_t w = 0, h = 0;
    return decoder.DecodeMessage(m.data(), m.size(), gray, w, h);
}

struct Geometry {
    uint32_t width, height;
};

// A fresh decoder per message: each frame decodes on its own, after others were compressed.
TEST(HuffyuvRoundTrip, EveryGeometryAndContentDecodesBitExact) {
    const Geometry geometries[] = {{1, 1},     {2, 1},       {1, 2},      {3, 5},
                                   {7, 3},     {33, 17},     {640, 480},  {641, 479},
                                   {768, 574}, {1280, 1024}, {1920, 1080}};
    for (const Geometry& g : geometries) {
        CCodecSet set(nullptr);
        ASSERT_TRUE(set.InitializeCompressionCodec(int(g.width), int(g.height), 8, 30));
        for (ImageKind kind :
             {ImageKind::kNoise, ImageKind::kSpot, ImageKind::kBlack, ImageKind::kWhite}) {
            SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << " " << int(kind));
            const auto pixels = MakeImage(kind, g.width, g.height);
            const auto message = CompressedMessage(set, pixels, g.width, g.height);
            CHuffyuvDecoder decoder;
            std::vector<uint8_t> gray;
            uint32_t w = 0, h = 0;
            auto decoded = decoder.DecodeMessage(message.data(), message.size(), gray, w, h);
            ASSERT_TRUE(decoded) << decoded.Message();
            EXPECT_TRUE(w == g.width && h == g.height && gray == pixels);
        }
    }
}

// The encoder reads the caller's block in place: a row or byte outside it would hit an
// inaccessible page on either side.
TEST(CCompression, NeverReadsOutsideThePixelBlock) {
    std::vector<Geometry> geometries = {{768, 574}, {1920, 1080}, {642, 3}};
    for (uint32_t w = 1; w <= 66; ++w)
        for (uint32_t h : {1u, 2u, 17u})
            geometries.push_back({w, h});
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (const Geometry& g : geometries) {
        const size_t n = size_t{g.width} * g.height;
        const size_t length = ((n + page - 1) / page + 2) * page;
        void* mapped =
            mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mapped, MAP_FAILED);
        auto* base = static_cast<uint8_t*>(mapped);
        ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
        ASSERT_EQ(mprotect(base + length - page, page, PROT_NONE), 0);
        CCompression codec;
        const BITMAPINFOHEADER input = InputDescription(int32_t(g.width), int32_t(g.height));
        ASSERT_TRUE(codec.Init(kFourCCHfyu, &input));
        std::vector<uint8_t> out(codec.GetMaxCompressedSize().ValueOr(0));
        const auto image = MakeImage(ImageKind::kNoise, g.width, g.height);
        for (uint8_t* block : {base + page, base + length - page - n}) {
            std::memcpy(block, image.data(), n);
            EXPECT_TRUE(codec.Compress(block, out.data())) << g.width << "x" << g.height;
        }
        munmap(mapped, length);
    }
}

TEST(CCompression, LifecycleOperations) {
    CCompression codec;
    uint8_t pixels[64 * 48] = {};
    std::vector<uint8_t> out(1 << 20);
    EXPECT_FALSE(codec.Compress(pixels, out.data()));  // not open
    const BITMAPINFOHEADER small = InputDescription(64, 48), large = InputDescription(640, 480);
    ASSERT_TRUE(codec.Init(kFourCCHfyu, &small));
    const uint32_t length = codec.GetOutputFormatLength().ValueOr(0);
    // A second Init keeps the open codec and its geometry.
    EXPECT_TRUE(codec.Init(kFourCCHfyu, &large));
    EXPECT_EQ(FormatOf(OutputFormat(codec, length).data()).biWidth, 64);
    // A destination of another length receives nothing.
    const auto wrong = OutputFormat(codec, length + 1, false);
    EXPECT_EQ(std::count(wrong.begin() + 4, wrong.end(), 0xAB), length - 3);

    // A failed compression leaves the largest size, so that the raw form wins.
    const uint32_t max = codec.GetMaxCompressedSize().ValueOr(0);
    ASSERT_TRUE(codec.Compress(pixels, out.data()));  // small stale size
    EXPECT_FALSE(codec.Compress(nullptr, out.data()));
    EXPECT_EQ(FormatOf(OutputFormat(codec, length).data()).biSizeImage, max);
    EXPECT_GT(max, 64u * 48u);

    EXPECT_TRUE(codec.Done());
    EXPECT_EQ(codec.GetFourCC(), 0u);
    EXPECT_TRUE(codec.Done());
    EXPECT_FALSE(codec.Compress(pixels, out.data()));
    EXPECT_TRUE(codec.Init(kFourCCHfyu, &large));
}

TEST(CCompression, InitFailuresLeaveItClosed) {
    BITMAPINFOHEADER compressedInput = InputDescription(64, 48);
    compressedInput.biCompression = kFourCCHfyu;
    BITMAPINFOHEADER shortBlock = InputDescription(64, 48);
    shortBlock.biSizeImage = 64 * 48 - 1;
    const struct {
        uint32_t fourCC;
        BITMAPINFOHEADER input;
    } cases[] = {
        {0x44434241, InputDescription(64, 48)}, {kFourCCHfyu, InputDescription(0, 48)},
        {kFourCCHfyu, InputDescription(64, 0)}, {kFourCCHfyu, shortBlock},
        {kFourCCHfyu, compressedInput},         {kFourCCHfyu, InputDescription(60000, 60000)},
    };
    for (size_t i = 0; i <= std::size(cases); ++i) {
        SCOPED_TRACE(i);
        CCompression codec;
        EXPECT_FALSE(
            codec.Init(i ? cases[i - 1].fourCC : kFourCCHfyu, i ? &cases[i - 1].input : nullptr));
        EXPECT_FALSE(codec.IsInitialized());
        EXPECT_FALSE(codec.GetOutputFormatLength());
    }
}

// Headers that contradict the frame or the codec's format are refused with a reason; what
// random bytes do to the decoder is the fuzzer's part.
TEST(CHuffyuvDecoder, RefusesMalformedMessages) {
    CCodecSet set(nullptr);
    ASSERT_TRUE(set.InitializeCompressionCodec(33, 20, 8, 30));
    const auto pixels = MakeImage(ImageKind::kSpot, 33, 20);
    const std::vector<uint8_t> good = CompressedMessage(set, pixels, 33, 20);
    EXPECT_GT(ReadHeader<FrameHeader>(good.data()).formatLength, 40u);

    using Edit = void (*)(std::vector<uint8_t>&, FrameHeader&, BITMAPINFOHEADER&);
    const Edit edits[] = {
        [](auto&, FrameHeader& h, auto&) { h.magic = 0x11223345; },
        [](auto&, FrameHeader& h, auto&) { h.codec = kFourCCJfif; },
        [](auto&, FrameHeader& h, auto&) { h.dataLength -= 1; },
        [](auto&, FrameHeader& h, auto&) { h.compressed = 2; },
        [](auto&, FrameHeader& h, auto&) { h.compressed = 0; },
        [](auto&, FrameHeader& h, auto&) { h.width = 0; },
        [](auto&, FrameHeader& h, auto&) { h.width = 31; },
        [](auto&, FrameHeader& h, auto&) { h.height = 21; },
        [](auto&, auto&, BITMAPINFOHEADER& b) { b.biSize += 1; },
        [](auto&, auto&, BITMAPINFOHEADER& b) { b.biCompression = 0x32435644; },
        [](auto&, auto&, BITMAPINFOHEADER& b) { b.biHeight = -b.biHeight; },
        [](auto&, auto&, BITMAPINFOHEADER& b) { b.biWidth += 2; },
    };
    CHuffyuvDecoder decoder;
    std::vector<uint8_t> gray;
    for (size_t i = 0; i < std::size(edits); ++i) {
        SCOPED_TRACE(i);
        std::vector<uint8_t> m = good;
        FrameHeader h = ReadHeader<FrameHeader>(m.data());
        BITMAPINFOHEADER b = FormatOf(m.data() + kFrameHeaderSize);
        edits[i](m, h, b);
        WriteHeader(m.data(), h);
        if (h.formatLength >= 40)
            std::memcpy(m.data() + kFrameHeaderSize, &b, sizeof b);
        auto decoded = Decode(decoder, m, gray);
        EXPECT_FALSE(decoded);
        EXPECT_FALSE(decoded.Message().empty());
    }
    uint32_t w = 0, h = 0;
    EXPECT_FALSE(decoder.DecodeMessage(good.data(), 87, gray, w, h));
    EXPECT_FALSE(decoder.DecodeMessage(nullptr, 0, gray, w, h));
    // After every refusal a good message still decodes.
    auto decoded = Decode(decoder, good, gray);
    ASSERT_TRUE(decoded) << decoded.Message();
    EXPECT_TRUE(gray == pixels);
}

}  // namespace
