// GenICam cameras through the camera library's in-process fake camera: no network.
#include <arv.h>
#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <tuple>

#include "QueuedEvents.h"
#include "ScriptedV4l2.h"
#include "base/MessageQueue.h"
#include "capture/AravisBackend.h"
#include "capture/DeviceList.h"
#include "capture/Grabber.h"
#include "tests/support/LogRecorder.h"

namespace {

using namespace std::chrono_literals;

struct FakeRig {
    FakeRig() { SetGenicamInterfaces({false, false, true}); }
    // Keeps the device of the camera opened last, as the test's handle on the "hardware".
    explicit FakeRig(ArvDevice** opened)
        : backend([opened](const std::string& id, GError** e) {
              ArvCamera* camera = arv_camera_new(id.c_str(), e);
              *opened = camera != nullptr ? arv_camera_get_device(camera) : nullptr;
              return camera;
          }) {
        SetGenicamInterfaces({false, false, true});
    }
    ~FakeRig() {
        grabber.reset();
        Drain(queue);
        SetGenicamInterfaces({});
    }
    // Pumps frame-ready commands until `done` holds or 10 s pass.
    bool WaitFor(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            poster.WaitAndPump([](const PostedMessage&) {}, 20ms);
        return done();
    }
    // The mean gray of a frame taken after this call.
    double MeanOfNextFrame() {
        Drain(queue);
        const uint64_t from = grabber->GetSampler()->GetFrameCounter();
        if (!WaitFor([&] { return grabber->GetSampler()->GetFrameCounter() >= from + 3; }))
            return -1;
        double mean = -1;
        Drain(queue, [&](const FrameHeader& h, const uint8_t* px) {
            const size_t n = size_t(h.width) * h.height;
            mean = std::accumulate(px, px + n, 0.0) / double(n);
        });
        return mean;
    }
    std::optional<DeviceControl> Control(const std::string& name) {
        for (const DeviceControl& c : grabber->Controls())
            if (c.name == name)
                return c;
        return std::nullopt;
    }

    CAravisBackend backend;
    CLogRecorder log;
    CMessageQueue poster;
    CQueuedCaptureEvents events{poster};
    CCaptureQueue queue;
    std::unique_ptr<CGrabber> grabber =
        std::make_unique<CGrabber>(&log, &events, std::vector<ICaptureBackend*>{&backend});
};

}  // namespace

TEST(Genicam, DevicePathParameters) {
    GenicamPathParameters p = ParseGenicamPath("aravis:Basler-21234567").Value();
    EXPECT_EQ(p.deviceId, "Basler-21234567");
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.x, -1);
    p = ParseGenicamPath("aravis:Fake_1?width=768&height=574&x=0&y=16&rate=12.5").Value();
    EXPECT_EQ(p.deviceId, "Fake_1");
    EXPECT_EQ(std::tie(p.width, p.height, p.x, p.y), std::make_tuple(768, 574, 0, 16));
    EXPECT_EQ(p.rate, 12.5);
    for (const char* bad :
         {"aravis:", "aravis:?width=5", "synthetic:0", "aravis:F?width=0", "aravis:F?width=32768",
          "aravis:F?width=7.5", "aravis:F?width=-1", "aravis:F?rate=0", "aravis:F?rate=10001",
          "aravis:F?gain=3", "aravis:F?x=1&x=2", "aravis:F?width=", "aravis:F?width=1e3",
          "aravis:F?width=5&"})
        EXPECT_FALSE(ParseGenicamPath(bad)) << bad;
    EXPECT_EQ(ParseGenicamPath("aravis:F?width=5&").Message(),
              "bad parameter \"\" in aravis:F?width=5&");
}

// Listed with its identity and name; the region and rate of the path make the modes;
// frames arrive at that size; a bad path or an absent camera fails with its code.
TEST(Genicam, FakeCameraIsListedConfiguredAndStreams) {
    FakeRig rig;
    std::vector<DeviceInfo> devices;
    rig.backend.EnumerateDevices(&devices);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].identity, "aravis:Fake_1");
    EXPECT_EQ(devices[0].friendlyName, "Aravis Fake (1)");

    const std::string path = "aravis:Fake_1?width=320&height=200&rate=200";
    ASSERT_TRUE(rig.grabber->Init(path, 0, -1, &rig.queue)) << rig.log.lines.back();
    // Mono8 and RGB8; the Bayer and 16-bit formats are not offered
    ASSERT_EQ(rig.grabber->ModeCount(), 2);
    const VideoModeEntry mono = rig.grabber->ModeInfo(0).Value();
    const VideoModeEntry rgb = rig.grabber->ModeInfo(1).Value();
    EXPECT_EQ(std::tie(mono.width, mono.height, mono.bitCount), std::make_tuple(320, -200, 8));
    EXPECT_EQ(mono.framesPerSecond, 200);
    EXPECT_EQ(CompressionText(mono.compression), "\"GREY\"");
    EXPECT_EQ(std::tie(rgb.width, rgb.bitCount, rgb.compression), std::make_tuple(320, 24, 0u));

    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= 5; }));
    rig.grabber->Deinit();
    const std::vector<FrameHeader> frames = Drain(rig.queue);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().width, 320);
    EXPECT_EQ(frames.back().height, 200);

    // The colour mode streams too, at the same size.
    ASSERT_TRUE(rig.grabber->Init(path, 1, -1, &rig.queue));
    EXPECT_TRUE(rig.grabber->Start());
    EXPECT_GE(rig.MeanOfNextFrame(), 0);
    rig.grabber->Deinit();

    for (const auto& [bad, code] : {std::pair{"aravis:Fake_1?width=0", kGrabberOpenFailed},
                                    std::pair{"aravis:Fake_9", kGrabberNoSuchDevice}}) {
        EXPECT_EQ(rig.grabber->Init(bad, 0, -1, &rig.queue).Code(), code) << bad;
        rig.grabber->Deinit();
    }
    const std::string line = "GenICam: bad parameter \"width=0\" in aravis:Fake_1?width=0";
    EXPECT_NE(std::find(rig.log.lines.begin(), rig.log.lines.end(), line), rig.log.lines.end());
}

// The camera's features become the device's controls; a longer exposure shows in the
// frames, and "Default" brings back the value found at open.
TEST(Genicam, ControlsComeFromTheFeaturesAndTakeEffect) {
    FakeRig rig;
    ASSERT_TRUE(
        rig.grabber->Init("aravis:Fake_1?width=256&height=128&rate=200", 0, -1, &rig.queue));
    std::optional<DeviceControl> exposure = rig.Control("ExposureTimeAbs");
    ASSERT_TRUE(exposure);
    EXPECT_EQ(exposure->decimals, 2);  // up to 10 s in µs with two decimals fits
    EXPECT_EQ(exposure->minimum, 1000);
    EXPECT_EQ(exposure->value, exposure->defaultValue);
    const std::optional<DeviceControl> trigger = rig.Control("TriggerMode");
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->kind, ControlKind::kMenu);
    ASSERT_EQ(trigger->menu.size(), 2u);
    EXPECT_TRUE(rig.Control("GainRaw"));  // not in a category, yet an operator's setting
    for (const char* hidden : {"Width", "PixelFormat", "PayloadSize", "DeviceVendorName"})
        EXPECT_FALSE(rig.Control(hidden)) << hidden;

    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.grabber->SetControl(exposure->id, 100000));  // 1 ms
    const double dark = rig.MeanOfNextFrame();
    ASSERT_TRUE(rig.grabber->SetControl(exposure->id, 2000000));  // 20 ms
    const double bright = rig.MeanOfNextFrame();
    EXPECT_GT(bright, dark + 50) << dark << " " << bright;
    EXPECT_EQ(rig.Control("ExposureTimeAbs")->value, 2000000);
    EXPECT_EQ(rig.Control("ExposureTimeAbs")->defaultValue, exposure->value);
    EXPECT_FALSE(rig.grabber->SetControl(9999, 1));
}

// Frames the camera sends in another shape than the one set up (here: its width changed
// behind the server's back) are counted and never handed on.
TEST(Genicam, FramesNotAsSetUpAreCountedAndDropped) {
    ArvDevice* device = nullptr;
    FakeRig rig(&device);
    ASSERT_TRUE(
        rig.grabber->Init("aravis:Fake_1?width=256&height=128&rate=500", 0, -1, &rig.queue));
    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= 3; }));
    EXPECT_EQ(rig.grabber->DroppedCount(), 0u);
    GError* e = nullptr;
    arv_device_set_integer_feature_value(device, "Width", 128, &e);
    ASSERT_EQ(e, nullptr);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->DroppedCount() >= 5; }));
    const uint64_t frames = rig.grabber->GetSampler()->GetFrameCounter();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->DroppedCount() >= 10; }));
    EXPECT_EQ(rig.grabber->GetSampler()->GetFrameCounter(), frames);
    rig.grabber->Deinit();
    for (const FrameHeader& h : Drain(rig.queue))
        EXPECT_EQ(h.width, 256);
}
