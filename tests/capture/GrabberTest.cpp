#include <gtest/gtest.h>

#include "QueuedEvents.h"
#include "ScriptedV4l2.h"
#include "base/MessageQueue.h"
#include "capture/DeviceList.h"
#include "capture/Grabber.h"
#include "capture/SyntheticCamera.h"
#include "capture/V4l2Backend.h"
#include "tests/support/LogRecorder.h"

namespace {

const char* const kCam = "/dev/v4l/by-id/usb-Scripted_Cam-video-index0";

// Eight capabilities, of which 2 (YUYV), 5 (UYVY) and 7 (GREY) are usable.
ScriptedNode EightCapabilityCamera() {
    ScriptedNode n;
    n.identity = kCam;
    n.formats = {
        {V4L2_PIX_FMT_MJPEG, {{1280, 720}, {640, 480}}, {{1, 30}}},
        {V4L2_PIX_FMT_YUYV, {{640, 480}}, {{1, 30}}},
        {V4L2_PIX_FMT_H264, {{1920, 1080}, {1280, 720}}, {{1, 30}}},
        {V4L2_PIX_FMT_UYVY, {{320, 240}}, {{1, 25}}},
        {V4L2_PIX_FMT_RGB565, {{320, 240}}, {{1, 25}}},
        {V4L2_PIX_FMT_GREY, {{160, 120}}, {{1, 60}}},
    };
    return n;
}

// A scripted driver, its backend and a grabber that sees only that backend.
struct Rig {
    explicit Rig(ScriptedNode node = EightCapabilityCamera()) : io({std::move(node)}) {}
    ~Rig() {
        grabber.reset();
        Drain(queue);
    }
    bool Init(int mode, double rateLimit = -1) {
        return grabber->Init(kCam, mode, rateLimit, &queue).Ok();
    }
    // Pumps frame-ready commands until `done` holds or 10 s pass.
    bool WaitFor(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            poster.WaitAndPump(
                [this](const PostedMessage& m) {
                    ++commands;
                    failures += m.id == CQueuedCaptureEvents::kStreamFailed;
                },
                std::chrono::milliseconds(20));
        }
        return true;
    }
    void ExpectAllReleased() {
        EXPECT_EQ(io.Get().fds, 0);
        EXPECT_EQ(io.Get().mappings, 0);
    }

    CScriptedV4l2 io;
    CV4l2Backend backend{io};
    CLogRecorder log;
    CMessageQueue poster;
    CQueuedCaptureEvents events{poster};
    CCaptureQueue queue;
    std::unique_ptr<CGrabber> grabber =
        std::make_unique<CGrabber>(&log, &events, std::vector<ICaptureBackend*>{&backend});
    int commands = 0;
    int failures = 0;  // stream failures seen
};

}  // namespace

TEST(Grabber, ModeTableHoldsTheCompatibleCapabilitiesInOrder) {
    Rig rig;
    ASSERT_TRUE(rig.Init(1));
    EXPECT_EQ(rig.grabber->ModeCount(), 3);
    const uint32_t pins[] = {2, 5, 7};
    for (int i = 0; i < 3; ++i) {
        auto entry = rig.grabber->ModeInfo(i);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry.Value().indexAtCapturePin, pins[i]);
    }
    EXPECT_FALSE(rig.grabber->ModeInfo(3));

    // Out-of-range choices fall back to the first mode.
    for (auto [modeIndex, chosen] : {std::pair{5, 0}, {-1, 0}, {2, 2}}) {
        Rig r;
        ASSERT_TRUE(r.Init(modeIndex));
        EXPECT_EQ(r.grabber->CurrentMode().ValueOr(-5), chosen) << modeIndex;
    }
}

TEST(Grabber, BuildFailuresCarryTheirCodes) {
    ScriptedNode noUsable = EightCapabilityCamera();
    noUsable.formats.resize(1);
    ScriptedNode replacing = EightCapabilityCamera();
    replacing.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480}}, {{1, 30}}},
                         {V4L2_PIX_FMT_BGR24, {{640, 480}}, {{1, 30}}}};
    replacing.listedButUnsettable = {V4L2_PIX_FMT_BGR24};
    struct Case {
        ScriptedNode node;
        std::string path;
        bool queue;
        unsigned long failing;
        int code, mode = 0;
    } cases[] = {
        {EightCapabilityCamera(), "/dev/video7", true, 0, -110},
        {EightCapabilityCamera(), "", true, 0, -10},
        {EightCapabilityCamera(), kCam, false, 0, -10},
        {noUsable, kCam, true, 0, -118},
        {EightCapabilityCamera(), kCam, true, VIDIOC_ENUM_FMT, -114},
        {replacing, kCam, true, 0, -121, 1},  // the BGR24 mode
        {EightCapabilityCamera(), kCam, true, VIDIOC_S_FMT, -121},
        // Checked against all capabilities, not only the usable ones.
        {EightCapabilityCamera(), kCam, true, 0, -115, 8},
        {EightCapabilityCamera(), kCam, true, VIDIOC_REQBUFS, -122},
    };
    for (Case& c : cases) {
        if (c.failing)
            c.node.faults = {{c.failing, EIO}};
        Rig rig(c.node);
        auto built = rig.grabber->Init(c.path, c.mode, -1, c.queue ? &rig.queue : nullptr);
        ASSERT_FALSE(built);
        EXPECT_EQ(built.Code(), c.code) << c.path;
        EXPECT_EQ(rig.log.lines.back(),
                  "Unable to initialize grabber subsystem: Error " + std::to_string(c.code));
        EXPECT_FALSE(rig.grabber->Start());
        rig.grabber.reset();
        rig.ExpectAllReleased();
    }
}

// Every other ioctl is interrupted: all of them must be retried.
TEST(Grabber, StreamsScriptedFramesAndStopsCleanly) {
    ScriptedNode node = EightCapabilityCamera();
    node.faults = {{0, EINTR, 0, true}};
    Rig rig(node);
    ASSERT_TRUE(rig.Init(0));  // YUYV 640 × 480
    EXPECT_TRUE(rig.grabber->Start());
    EXPECT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.commands >= 5; }));
    EXPECT_EQ(rig.io.Get().streamOns, 1);

    // Every record still queued shows the image of its sample.
    auto headers = Drain(rig.queue, [](const FrameHeader& h, const uint8_t* px) {
        EXPECT_EQ(h.width, 640u);
        EXPECT_EQ(h.height, 480u);
        bool same = true;
        for (uint32_t i = 0; i < 640 * 480 && same; ++i)
            same = px[i] == ScriptedGray(h.frameNumber - 1, i % 640, i / 640);
        EXPECT_TRUE(same) << "frame " << h.frameNumber;
    });
    EXPECT_FALSE(headers.empty());

    EXPECT_TRUE(rig.grabber->Stop());
    EXPECT_FALSE(rig.io.Get().streaming);
    EXPECT_TRUE(rig.grabber->Stop());
    // The buffers go back to the driver on a restart.
    uint32_t counted = rig.grabber->GetSampler()->GetFrameCounter();
    EXPECT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(
        rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= counted + 3; }));
    EXPECT_EQ(rig.io.Get().streamOns, 2);

    EXPECT_GT(rig.io.Get().interruptions, 10);
    EXPECT_FALSE(rig.grabber->StreamFailed());
    // Deinit of a running grabber stops it first and hands everything back.
    rig.grabber->Deinit();
    EXPECT_FALSE(rig.grabber->IsRunning());
    rig.ExpectAllReleased();
    EXPECT_FALSE(rig.io.Get().streaming);
    rig.grabber->Deinit();
}

// Samples 1, 2 and 4 come flagged as damaged; a dequeue error ends the stream after
// sample 5.
TEST(Grabber, DamagedBuffersAreSkippedAndDriverErrorsEndStreamingCleanly) {
    ScriptedNode node = EightCapabilityCamera();
    node.damaged = {1, 2, 4};
    node.faults = {{VIDIOC_DQBUF, EIO, 6}};
    Rig rig(node);
    ASSERT_TRUE(rig.Init(2));  // GREY 160 × 120
    ASSERT_TRUE(rig.grabber->Start());
    // The failure message is posted after the flag is set: both are waited for.
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->StreamFailed() && rig.failures == 1; }));
    EXPECT_EQ(rig.grabber->GetSampler()->GetFrameCounter(), 3u);
    EXPECT_TRUE(rig.grabber->Stop());
    std::vector<uint32_t> samples;
    Drain(rig.queue, [&](const FrameHeader&, const uint8_t* px) {
        for (uint32_t sequence = 0; sequence < 6; ++sequence)
            if (px[60 * 160 + 80] == ScriptedGray(sequence, 80, 60) &&
                px[0] == ScriptedGray(sequence, 0, 0))
                samples.push_back(sequence);
    });
    EXPECT_EQ(samples, (std::vector<uint32_t>{0, 3, 5}));
    EXPECT_EQ(rig.io.Get().dequeued, 6);
    EXPECT_EQ(rig.failures, 1);
    EXPECT_EQ(rig.grabber->DroppedCount(), 3u);
    rig.grabber->Deinit();
    rig.ExpectAllReleased();
}

// A USB camera pulled while streaming: one failure message, a clean stop although the
// device refuses everything, nothing left open; plugged in again it streams anew.
TEST(Grabber, UnpluggedCameraFailsOnceAndStreamsAgainAfterReplug) {
    Rig rig;
    ASSERT_TRUE(rig.Init(2));
    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= 3; }));
    rig.io.SetPlugged(false);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.failures == 1; }));
    EXPECT_TRUE(rig.grabber->StreamFailed());
    EXPECT_NE(rig.grabber->DeviceErrorText().find("No such device"), std::string::npos);
    rig.grabber->Deinit();
    rig.ExpectAllReleased();
    EXPECT_EQ(rig.grabber->Init(kCam, 2, -1, &rig.queue).Code(), kGrabberNoDevices);

    rig.io.SetPlugged(true);
    Drain(rig.queue);
    ASSERT_TRUE(rig.Init(2));
    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= 3; }));
    EXPECT_FALSE(rig.grabber->StreamFailed());
    EXPECT_EQ(rig.failures, 1);
}

// Ranges offer their largest and smallest size, each at the range's fastest rate; the
// driver knows rates only for sizes it has. It streams the smallest GREY size with rows
// padded and the height rounded up.
TEST(Grabber, SizeAndIntervalRangesBecomeModes) {
    ScriptedNode node;
    node.identity = kCam;
    const uint32_t sizeSteps = V4L2_FRMSIZE_TYPE_STEPWISE, sizeRange = V4L2_FRMSIZE_TYPE_CONTINUOUS;
    const uint32_t rateSteps = V4L2_FRMIVAL_TYPE_STEPWISE, rateRange = V4L2_FRMIVAL_TYPE_CONTINUOUS;
    node.formats = {
        {V4L2_PIX_FMT_GREY, {{100, 570}, {1300, 970}}, {{1, 60}, {1, 5}}, sizeSteps, rateSteps},
        {V4L2_PIX_FMT_YUYV, {{64, 48}, {640, 480}}, {{1, 30}, {1, 15}}, sizeRange},
        {V4L2_PIX_FMT_UYVY, {{320, 240}, {320, 240}}, {{2, 50}, {1, 1}}, sizeSteps, rateRange},
    };
    const struct {
        int32_t width, height;
        double fps;
    } modes[] = {{1300, 970, 60}, {100, 570, 60}, {640, 480, 30}, {640, 480, 15},
                 {64, 48, 30},    {64, 48, 15},   {320, 240, 25}};
    node.heightAlign = 16;
    node.strideAlign = 64;
    Rig rig(node);
    ASSERT_TRUE(rig.Init(1));
    const int count = rig.grabber->ModeCount();
    ASSERT_EQ(count, static_cast<int>(std::size(modes)));
    for (int i = 0; i < count; ++i) {
        const VideoModeEntry e = rig.grabber->ModeInfo(i).Value();
        EXPECT_TRUE(e.width == modes[i].width && -e.height == modes[i].height) << i;
        EXPECT_EQ(e.framesPerSecond, modes[i].fps) << i;
        EXPECT_EQ(e.indexAtCapturePin, static_cast<uint32_t>(i)) << i;
    }
    EXPECT_EQ(rig.grabber->GetHeight(), 576);  // what the driver made of 570
    ASSERT_TRUE(rig.grabber->Start());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.queue.GetCount() > 0; }));
    ASSERT_TRUE(rig.grabber->Stop());
    const auto headers = Drain(rig.queue, [](const FrameHeader& h, const uint8_t* px) {
        EXPECT_EQ(px[575 * 100 + 99], ScriptedGray(h.frameNumber - 1, 99, 575));
    });
    EXPECT_TRUE(headers.at(0).width == 100 && headers[0].height == 576);
}

TEST(DeviceList, ListsDevicesSelectsTheConfiguredOneAndDescribesItsMode) {
    ScriptedNode meta = EightCapabilityCamera(), longName = meta;
    meta.identity = "/dev/v4l/by-id/usb-Scripted_Cam-video-index1";
    meta.caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    longName.identity = "/dev/video5";
    longName.card = std::string(40, 'N');  // fills the driver's field without a terminator
    CScriptedV4l2 io({EightCapabilityCamera(), meta, longName});
    CV4l2Backend v4l2(io);
    CSyntheticBackend synthetic;
    std::vector<ICaptureBackend*> backends{&synthetic, &v4l2};

    DeviceList list;
    ASSERT_TRUE(RefreshDeviceList("/dev/video5", &list, backends));
    ASSERT_EQ(list.entries.size(), 3u);
    EXPECT_EQ(list.entries[0].identity, "synthetic:0");
    EXPECT_EQ(list.entries[1].identity, kCam);
    EXPECT_EQ(list.entries[2].friendlyName, std::string(32, 'N'));
    EXPECT_EQ(list.selected, 2);

    ASSERT_TRUE(RefreshDeviceList("/dev/gone", &list, backends));
    EXPECT_EQ(list.selected, 0);
    // Spot parameters of the synthetic camera survive the round trip through the list.
    ASSERT_TRUE(RefreshDeviceList("synthetic:0?x=4&y=5", &list, backends));
    EXPECT_EQ(list.entries[0].identity, "synthetic:0?x=4&y=5");
    EXPECT_FALSE(RefreshDeviceList("", &list, {}));
    EXPECT_TRUE(list.entries.empty());

    CLogRecorder log;
    int chosen = -1;
    std::string text = "keep";
    EXPECT_FALSE(ShowVideoModeInfo(&log, "/dev/none", 0, &chosen, &text, {&v4l2}));
    EXPECT_EQ(text, "keep");
    ASSERT_TRUE(ShowVideoModeInfo(&log, kCam, 1, &chosen, &text, {&v4l2}));
    EXPECT_EQ(chosen, 1);
    EXPECT_NE(text.find("indexAtCapturePin = 5"), std::string::npos);
    EXPECT_EQ(io.Get().fds, 0);
}
