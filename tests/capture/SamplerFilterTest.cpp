#include <gtest/gtest.h>

#include "QueuedEvents.h"
#include "ScriptedV4l2.h"

namespace {

MediaType Type(uint32_t subtype, int32_t width, int32_t height, uint32_t stride = 0) {
    MediaType t;
    t.subtype = subtype;
    t.hasFormat = true;
    t.header.biWidth = width;
    t.header.biHeight = height;
    t.stride = stride;
    return t;
}

// Drives the filter with samples of a 4 × 2 GREY source and a simulated clock.
class FilterFixture : public ::testing::Test {
  protected:
    void Make(double rateLimit) {
        filter_ = std::make_unique<CSamplerFilter>(&queue_, rateLimit, &events_, true);
        filter_->SetClock([this] {
            return ArrivalTime{nowMs_ / 1000, static_cast<uint16_t>(nowMs_ % 1000), -60, 1};
        });
        ASSERT_TRUE(filter_->CheckMediaType(Type(V4L2_PIX_FMT_GREY, 4, -2)));
    }
    bool Deliver(int64_t startMs, bool hasTime = true, uint32_t length = 8) {
        MediaSample s;
        s.data = pixels_;
        s.length = length;
        s.hasTime = hasTime;
        s.startTime = startMs * 10000;
        return filter_->DoRenderSample(s);
    }
    int Posted() {
        return poster_.Pump(
            [](const PostedMessage& m) { EXPECT_EQ(m.id, CQueuedCaptureEvents::kFrameQueued); });
    }
    void TearDown() override { Drain(queue_); }

    CCaptureQueue queue_;
    CMessageQueue poster_;
    CQueuedCaptureEvents events_{poster_};
    std::unique_ptr<CSamplerFilter> filter_;
    int64_t nowMs_ = 1700000000000;
    uint8_t pixels_[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

}  // namespace

TEST(SamplerFilter, CheckMediaTypeAcceptsOnlyTheKnownFormats) {
    struct Case {
        uint32_t subtype;
        int32_t width, height;
        int conversion;  // -1: refused
        bool known;
    } cases[] = {
        {V4L2_PIX_FMT_BGR24, 640, 480, 0, true},  {V4L2_PIX_FMT_BGR32, 640, -480, 1, true},
        {V4L2_PIX_FMT_ABGR32, 8, 8, 1, true},     {V4L2_PIX_FMT_UYVY, 8, 8, 2, true},
        {V4L2_PIX_FMT_YUYV, 8, 8, 3, true},       {V4L2_PIX_FMT_GREY, 8, 8, 4, true},
        {V4L2_PIX_FMT_YUYV, 0, 8, 3, false},      {V4L2_PIX_FMT_YUYV, 8, 0, 3, false},
        {V4L2_PIX_FMT_RGB565, 8, 8, -1, false},   {V4L2_PIX_FMT_MJPEG, 8, 8, -1, false},
        {V4L2_PIX_FMT_GREY, 40000, 8, -1, false}, {V4L2_PIX_FMT_GREY, 8, INT32_MIN, -1, false},
    };
    for (const Case& c : cases) {
        CSamplerFilter f(nullptr, -1, nullptr, true);
        EXPECT_EQ(f.CheckMediaType(Type(c.subtype, c.width, c.height)), c.conversion >= 0)
            << c.subtype << " " << c.width;
        EXPECT_EQ(f.GetConversion(), c.conversion) << c.subtype;
        EXPECT_EQ(f.IsFormatKnown(), c.known) << c.subtype << " " << c.width;
    }
    CSamplerFilter f(nullptr, -1, nullptr, true);
    MediaType noFormat = Type(V4L2_PIX_FMT_YUYV, 8, 8);
    noFormat.hasFormat = false;
    EXPECT_FALSE(f.CheckMediaType(noFormat));
    // A stride shorter than a row would make the conversion overrun.
    EXPECT_FALSE(f.CheckMediaType(Type(V4L2_PIX_FMT_YUYV, 8, 8, 15)));
    EXPECT_TRUE(f.CheckMediaType(Type(V4L2_PIX_FMT_YUYV, 8, -8, 16)));
    // A later rejected type leaves the recorded one.
    EXPECT_FALSE(f.CheckMediaType(Type(V4L2_PIX_FMT_MJPEG, 4, 4)));
    EXPECT_TRUE(f.GetConversion() == 3 && f.GetWidth() == 8u && f.GetHeight() == 8u);
}

TEST_F(FilterFixture, RateLimitPassesTheFirstSampleAtLeastOneIntervalLater) {
    Make(10.0);
    std::vector<int64_t> passedAt;
    for (int64_t t = 0; t <= 480; t += 40) {
        uint32_t before = filter_->GetFrameCounter();
        EXPECT_TRUE(Deliver(t));
        if (filter_->GetFrameCounter() != before)
            passedAt.push_back(t);
    }
    EXPECT_EQ(passedAt, (std::vector<int64_t>{0, 120, 240, 360, 480}));
    auto headers = Drain(queue_);
    ASSERT_EQ(headers.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(headers[i].frameNumber, i + 1);  // dropped samples take no number
    EXPECT_EQ(Posted(), 5);

    // After a stop the next sample passes whatever its time.
    filter_->ResetTiming();
    EXPECT_TRUE(Deliver(10));
    EXPECT_EQ(filter_->GetFrameCounter(), 6u);
    // A sample without a start time cannot be placed: it passes.
    EXPECT_TRUE(Deliver(20, false));
    EXPECT_EQ(filter_->GetFrameCounter(), 7u);

    for (double limit : {0.0, -1.0}) {
        Make(limit);
        // Times going backwards and repeating would be dropped by any limit.
        for (int64_t t : {0, 0, 5, 3, 1, 1})
            EXPECT_TRUE(Deliver(t));
        EXPECT_EQ(filter_->GetFrameCounter(), 6u) << limit;
    }
}

// 10 s at 25 Hz, then 100 Hz for longer than the history holds.
TEST_F(FilterFixture, FrameRateStartsAtZeroSettlesAndCapsAtSixty) {
    Make(-1);
    std::vector<double> rates;
    for (int i = 0; i < 950; ++i) {
        Deliver(0);
        rates.push_back(Drain(queue_).back().frameRate);
        nowMs_ += i < 250 ? 40 : 10;
    }
    EXPECT_EQ(rates[0], 0.0);
    EXPECT_NEAR(rates[1], 0.2, 1e-9);
    EXPECT_NEAR(rates[249], 25.0, 0.3);
    EXPECT_NEAR(*std::max_element(rates.begin(), rates.end()), 60.0, 1e-9);
    EXPECT_GE(rates.back(), 59.8 - 1e-9);
}

TEST_F(FilterFixture, TrimKeepsTheNewestOldRecordAndTheNewOne) {
    Make(-1);
    for (int i = 0; i < 7; ++i)
        Deliver(i);
    EXPECT_EQ(Posted(), 7);  // every frame was announced, even the trimmed ones
    // A failed post takes the record back and the number.
    poster_.Close();
    EXPECT_FALSE(Deliver(40));
    EXPECT_EQ(filter_->GetFrameCounter(), 7u);
    EXPECT_EQ(filter_->GetDroppedCount(), 5u);
    auto headers = Drain(queue_);
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_TRUE(headers[0].frameNumber == 6 && headers[1].frameNumber == 7);
}

TEST_F(FilterFixture, HeaderAtCaptureAndGrayPixels) {
    Make(-1);
    nowMs_ = 1700000000123;
    ASSERT_TRUE(Deliver(0));
    auto headers = Drain(queue_, [&](const FrameHeader&, const uint8_t* gray) {
        EXPECT_EQ(std::memcmp(gray, pixels_, 8), 0);
    });
    ASSERT_EQ(headers.size(), 1u);
    // At capture both lengths count the pixels; the pipeline completes them.
    FrameHeader expected;
    expected.totalLength = expected.dataLength = 8;
    expected.frameNumber = 1;
    expected.time = 1700000000;
    expected.millitm = 123;
    expected.timezone = -60;
    expected.dstflag = 1;
    expected.width = 4;
    expected.height = 2;
    EXPECT_EQ(std::memcmp(&headers[0], &expected, sizeof expected), 0);
}

TEST_F(FilterFixture, UnusableSamplesNeverPost) {
    Make(-1);
    EXPECT_FALSE(Deliver(0, true, 7));  // one byte short of the format
    EXPECT_FALSE(filter_->DoRenderSample(MediaSample{}));
    // A filter that never accepted a format ignores every sample.
    filter_ = std::make_unique<CSamplerFilter>(&queue_, -1, &events_, true);
    EXPECT_FALSE(filter_->CheckMediaType(Type(V4L2_PIX_FMT_RGB565, 4, 2)));
    EXPECT_FALSE(Deliver(0));
    EXPECT_EQ(queue_.GetCount(), 0);
    EXPECT_EQ(Posted(), 0);
}
