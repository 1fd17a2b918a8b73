#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "compression/HuffyuvDecoder.h"
#include "compression/LosslessEncoders.h"
#include "frame/BufferPool.h"
#include "tests/compression/TestImages.h"

namespace {

// Frames of unequal cost (noise goes raw, a spot compresses, one frame of another size)
// through three workers: every record comes back in the order given, decodes to its own
// frame, and no more frames are in flight than there are workers.
TEST(LosslessEncoders, RecordsComeBackInOrderAndDecodeToTheirOwnFrames) {
    constexpr uint32_t kWidth = 320, kHeight = 240;
    CLosslessEncoders encoders(3);
    ASSERT_TRUE(encoders.Open(kWidth, kHeight));
    struct Frame {
        std::vector<uint8_t> pixels;
        uint32_t width, height;
    };
    std::vector<Frame> frames;
    for (uint32_t n = 0; n < 12; ++n) {
        const bool odd = n == 7;
        const uint32_t w = odd ? 64 : kWidth, h = odd ? 32 : kHeight;
        frames.push_back(
            {MakeImage(n % 4 == 0 ? ImageKind::kNoise : ImageKind::kSpot, w, h, n + 1), w, h});
    }

    std::vector<uint32_t> order;
    auto take = [&](bool wait) {
        const CLosslessEncoders::Record* r = encoders.Oldest(wait);
        if (r == nullptr)
            return false;
        const auto header = ReadHeader<FrameHeader>(r->data);
        order.push_back(header.frameNumber);
        const Frame& f = frames.at(header.frameNumber);
        EXPECT_EQ(r->length, header.totalLength);
        EXPECT_EQ(header.compressed, header.frameNumber % 4 == 0 || f.width != kWidth ? 0u : 1u)
            << header.frameNumber;
        CHuffyuvDecoder decoder;
        std::vector<uint8_t> gray;
        uint32_t w = 0, h = 0;
        EXPECT_TRUE(decoder.DecodeMessage(r->data, r->length, gray, w, h)) << decoder.Error();
        EXPECT_TRUE(w == f.width && h == f.height && gray == f.pixels) << header.frameNumber;
        encoders.PopOldest();
        return true;
    };
    for (uint32_t n = 0; n < frames.size(); ++n) {
        if (encoders.InFlight() == encoders.Capacity())
            take(true);
        CLosslessEncoders::Job job;
        job.header.frameNumber = n;
        job.header.width = frames[n].width;
        job.header.height = frames[n].height;
        // The frame lives in a pool block the job holds, as the pipeline's do.
        job.hold[0] = CPoolBlock::Alloc(uint32_t(frames[n].pixels.size()));
        std::memcpy(job.hold[0].Data(), frames[n].pixels.data(), frames[n].pixels.size());
        job.pixels = job.hold[0].Data();
        encoders.Submit(std::move(job));
        EXPECT_LE(encoders.InFlight(), 3);
        while (take(false)) {
        }
    }
    while (take(true)) {
    }
    ASSERT_EQ(order.size(), frames.size());
    for (uint32_t n = 0; n < order.size(); ++n)
        EXPECT_EQ(order[n], n);
    EXPECT_EQ(encoders.InFlight(), 0);
}

}  // namespace
