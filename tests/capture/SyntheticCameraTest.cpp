#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "ScriptedV4l2.h"
#include "capture/Grabber.h"
#include "capture/SyntheticCamera.h"
#include "tests/support/LogRecorder.h"

TEST(SyntheticCamera, IdentityIsParsedStrictly) {
    struct Good {
        const char* path;
        double x, y, sx, sy, noise, stop = 0;
    } good[] = {{"synthetic:0", -1, -1, -1, -1, 2},
                {"synthetic:0?sy=2.5&noise=0&x=0&y=20&sx=5", 0, 20, 5, 2.5, 0},
                {"synthetic:0?stop=25", -1, -1, -1, -1, 2, 25}};
    for (const Good& g : good) {
        int number = -1;
        SyntheticSpot spot;
        std::string error;
        ASSERT_TRUE(ParseSyntheticIdentity(g.path, &number, &spot, &error)) << g.path << error;
        EXPECT_EQ(
            (std::vector{double(number), spot.x, spot.y, spot.sx, spot.sy, spot.noise, spot.stop}),
            (std::vector{0.0, g.x, g.y, g.sx, g.sy, g.noise, g.stop}))
            << g.path;
    }
    for (std::string suffix : {"", "1", "-0", "0?", "0?x=", "0?x=1e3", "0?x=nan", "0?x= 5",
                               "0?sx=0", "0?q=1", "0?x=1&x=2", "0?x=1&", "0?noise=1000",
                               "0?x=99999999999999999999999", "0?stop=2.5", "0?stop=-1"}) {
        const std::string path = "synthetic:" + suffix;
        int number = -1;
        SyntheticSpot spot;
        std::string error;
        EXPECT_FALSE(ParseSyntheticIdentity(path, &number, &spot, &error)) << path;
        EXPECT_FALSE(error.empty()) << path;
    }
    // The grabber passes the reason on.
    CSyntheticBackend synthetic;
    CLogRecorder log;
    CCaptureQueue queue;
    CGrabber grabber(&log, nullptr, {&synthetic});
    EXPECT_EQ(grabber.Init("synthetic:0?sx=0", 0, -1, &queue).Code(), -111);
    EXPECT_EQ(log.lines.size(), 2u);
}

TEST(SyntheticCamera, PreviewDrawsEverySampleAndControlsChangeTheNextFrames) {
    CSyntheticBackend synthetic;
    CLogRecorder log;
    CGrabber grabber(&log, nullptr, {&synthetic});
    std::atomic<int> brightest{-1};
    std::atomic<bool> gray{false};
    ASSERT_TRUE(grabber.InitPreview("synthetic:0?noise=0&x=80&y=60", 7, [&](const PreviewFrame& f) {
        const MediaSample& s = *f.sample;
        gray.store(f.grayscale);
        brightest.store(*std::max_element(s.data, s.data + s.length));
    }));
    EXPECT_TRUE(grabber.SetGrayscalePreview(true));
    const std::vector<DeviceControl> controls = grabber.Controls();
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[1].value, 200);
    EXPECT_FALSE(grabber.SetControl(CSyntheticBackend::kGainId, 256));
    ASSERT_TRUE(grabber.Start());
    auto waitFor = [&](int value) {
        for (int i = 0; i < 2000 && brightest.load() != value; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return brightest.load() == value;
    };
    EXPECT_TRUE(waitFor(212));
    EXPECT_TRUE(gray.load());
    EXPECT_TRUE(grabber.SetControl(CSyntheticBackend::kGainId, 0));
    EXPECT_TRUE(grabber.SetControl(CSyntheticBackend::kBrightnessId, 50));
    EXPECT_TRUE(waitFor(50));
    grabber.Deinit();
}
