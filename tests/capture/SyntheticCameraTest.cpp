#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>

#include "ScriptedV4l2.h"
#include "base/MessageQueue.h"
#include "capture/Grabber.h"
#include "capture/SyntheticCamera.h"
#include "capture/VideoMode.h"

TEST(SyntheticCamera, IdentityIsParsedStrictly) {
    struct Good {
        const char* path;
        double x, y, sx, sy, noise;
    } good[] = {
        {"synthetic:0", -1, -1, -1, -1, 2},
        {"synthetic:0?x=40&y=20&sx=5&sy=3", 40, 20, 5, 3, 2},
        {"synthetic:0?sy=2.5&noise=0&x=0", 0, -1, -1, 2.5, 0},
    };
    for (const Good& g : good) {
        int number = -1;
        SyntheticSpot spot;
        std::string error;
        ASSERT_TRUE(ParseSyntheticIdentity(g.path, &number, &spot, &error)) << g.path << error;
        EXPECT_EQ(number, 0);
        EXPECT_EQ((std::vector{spot.x, spot.y, spot.sx, spot.sy, spot.noise}),
                  (std::vector{g.x, g.y, g.sx, g.sy, g.noise}))
            << g.path;
    }
    const char* const bad[] = {"synthetic:",
                               "synthetic:1",
                               "synthetic:-0",
                               "synthetic:0?",
                               "synthetic:0?x=",
                               "synthetic:0?x=1e3",
                               "synthetic:0?x=nan",
                               "synthetic:0?x= 5",
                               "synthetic:0?sx=0",
                               "synthetic:0?q=1",
                               "synthetic:0?x=1&x=2",
                               "synthetic:0?x=1&",
                               "synthetic:0?noise=1000",
                               "synthetic:0?x=99999999999999999999999"};
    for (const char* path : bad) {
        int number = -1;
        SyntheticSpot spot;
        std::string error;
        EXPECT_FALSE(ParseSyntheticIdentity(path, &number, &spot, &error)) << path;
        EXPECT_FALSE(error.empty()) << path;
    }
}

TEST(SyntheticCamera, BadIdentitiesFailTheBuildWithAReason) {
    CSyntheticBackend synthetic;
    struct Case {
        const char* path;
        int code;
        bool detail;
    } cases[] = {{"synthetic:0?sx=0", -111, true}, {"SYNTHETIC:0", -110, false}};
    for (const Case& c : cases) {
        CLogRecorder log;
        CCaptureQueue queue;
        CGrabber grabber(&log, nullptr, {&synthetic});
        EXPECT_EQ(grabber.Init(c.path, 0, -1, &queue), 0) << c.path;
        EXPECT_EQ(grabber.GetLastError(), c.code) << c.path;
        ASSERT_EQ(log.lines.size(), c.detail ? 2u : 1u) << c.path;
    }
}

TEST(SyntheticCamera, SpotSitsWhereTheIdentitySaysAndNoiseVariesPerFrame) {
    SyntheticSpot spot{40, 20, 5, 3, 0};
    std::vector<uint8_t> a, b;
    RenderSyntheticGray(spot, 768, 574, 0, &a);
    auto above = [&](int x, int y) { return a[static_cast<size_t>(y * 768 + x)] - a[0]; };
    EXPECT_EQ(std::max_element(a.begin(), a.end()) - a.begin(), 20 * 768 + 40);
    // One width off the centre the spot is down to e^-½ in both directions.
    for (auto [x, y] : {std::pair{35, 20}, {45, 20}, {40, 17}, {40, 23}})
        EXPECT_NEAR(above(x, y), above(40, 20) * std::exp(-0.5), 1) << x << "," << y;

    spot.noise = 2;
    RenderSyntheticGray(spot, 64, 48, 1, &a);
    RenderSyntheticGray(spot, 64, 48, 2, &b);
    EXPECT_NE(a, b);
    RenderSyntheticGray(spot, 64, 48, 1, &b);
    EXPECT_EQ(a, b);
}

// Each 768 × 574 format of the synthetic camera, through the grabber and the renderer
// filter: frames come at about the nominal rate and show the same gray image.
TEST(SyntheticCamera, EveryFormatDeliversTheSameFramesEndToEnd) {
    const SyntheticSpot spot{40, 20, 5, 3, 2};
    CSyntheticBackend synthetic;
    std::vector<uint8_t> expected;
    for (int mode = 0; mode < 5; ++mode) {
        CLogRecorder log;
        CMessageQueue poster;
        CCaptureQueue queue;
        CGrabber grabber(&log, &poster, {&synthetic});
        ASSERT_EQ(grabber.Init("synthetic:0?x=40&y=20&sx=5&sy=3", mode, -1, &queue), 1) << mode;
        ASSERT_EQ(grabber.GetHeight(), 574);

        auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(grabber.Start(), 1);
        std::map<uint32_t, std::vector<uint8_t>> frames;
        auto deadline = begin + std::chrono::seconds(20);
        while (frames.size() < 8 && std::chrono::steady_clock::now() < deadline) {
            poster.WaitAndPump([](const PostedMessage&) {}, std::chrono::milliseconds(50));
            Drain(queue, [&](const FrameHeader& h, const uint8_t* px) {
                frames[h.frameNumber].assign(px, px + 768 * 574);
            });
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        uint32_t delivered = grabber.GetSampler()->GetFrameCounter();
        ASSERT_EQ(grabber.Stop(), 1);
        Drain(queue);
        ASSERT_GE(frames.size(), 8u) << mode;

        // Never faster than nominal (with a frame of slack for the start); slow machines
        // and sanitizers may skip frames.
        EXPECT_LE(delivered, 25 * seconds + 2) << mode;
        EXPECT_GE(delivered / seconds, 2.0) << mode;
        for (const auto& [frameNumber, pixels] : frames) {
            RenderSyntheticGray(spot, 768, 574, frameNumber - 1, &expected);
            EXPECT_TRUE(pixels == expected) << "mode " << mode << " frame " << frameNumber;
        }
    }
}

TEST(SyntheticCamera, PreviewDrawsEverySampleAndControlsChangeTheNextFrames) {
    CSyntheticBackend synthetic;
    CLogRecorder log;
    CGrabber grabber(&log, nullptr, {&synthetic});
    std::atomic<int> brightest{-1};
    std::atomic<bool> gray{false};
    ASSERT_EQ(grabber.InitPreview("synthetic:0?noise=0&x=80&y=60", 7,
                                  [&](const PreviewFrame& f) {
                                      const MediaSample& s = *f.sample;
                                      gray.store(f.grayscale);
                                      brightest.store(*std::max_element(s.data, s.data + s.length));
                                      return S_OK;
                                  }),
              1);
    EXPECT_EQ(grabber.SetGrayscalePreview(true), 1);
    std::vector<DeviceControl> controls;
    ASSERT_EQ(grabber.GetControls(&controls), 1);
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[1].value, 200);
    EXPECT_EQ(grabber.SetControl(CSyntheticBackend::kGainId, 256), 0);
    ASSERT_EQ(grabber.Start(), 1);
    auto waitFor = [&](int value) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (brightest.load() != value && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return brightest.load() == value;
    };
    EXPECT_TRUE(waitFor(212));
    EXPECT_TRUE(gray.load());
    EXPECT_EQ(grabber.SetControl(CSyntheticBackend::kGainId, 0), 1);
    EXPECT_EQ(grabber.SetControl(CSyntheticBackend::kBrightnessId, 50), 1);
    EXPECT_TRUE(waitFor(50));
    EXPECT_EQ(grabber.Deinit(), 1);
}

TEST(VideoMode, TextsOfTheModeTable) {
    struct Case {
        VideoCapability cap;
        const char* line;
    } cases[] = {
        {{V4L2_PIX_FMT_YUYV, 640, 480, 333333, 10000000},
         "(#1) 640 by 480 pixels (16 Bit (\"YUY2\")) <=30.00 fps"},
        {{V4L2_PIX_FMT_BGR24, 768, 574, 1, 25},
         "(#1) 768 by 574 pixels (24 Bit (\"RGB\")) <=25.00 fps"},
        {{V4L2_PIX_FMT_GREY, 8, 8, 0, 30}, "(#1) 8 by 8 pixels (8 Bit (\"GREY\")) <=0.00 fps"},
    };
    for (const Case& c : cases) {
        auto entry = ModeEntryFromCapability(c.cap, 0);
        ASSERT_TRUE(entry) << c.line;
        EXPECT_EQ(FormatModeListLine(0, *entry), c.line);
    }
    // Unusable formats and sizes never make an entry; indices stay those of the device.
    auto table = BuildModeTable({{V4L2_PIX_FMT_MJPEG, 8, 8, 1, 30},
                                 {V4L2_PIX_FMT_GREY, 0, 8, 1, 30},
                                 {V4L2_PIX_FMT_GREY, 40000, 8, 1, 30},
                                 {V4L2_PIX_FMT_GREY, 8, 8, 1, 30}});
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].indexAtCapturePin, 3u);
    EXPECT_EQ(FormatModeListLine(4, table[0]), "(#5) 8 by 8 pixels (8 Bit (\"GREY\")) <=30.00 fps");
}
