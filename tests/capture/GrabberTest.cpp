#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "ScriptedV4l2.h"
#include "base/MessageQueue.h"
#include "capture/DeviceList.h"
#include "capture/Grabber.h"
#include "capture/SyntheticCamera.h"
#include "capture/V4l2Backend.h"
#include "net/BufferPool.h"
#include "net/FrameHeader.h"

namespace {

const char* const kCam = "/dev/v4l/by-id/usb-Scripted_Cam-video-index0";

// Eight capabilities, of which 2 (YUYV), 5 (UYVY) and 7 (GREY) are usable.
ScriptedNode EightCapabilityCamera() {
    ScriptedNode n;
    n.identity = kCam;
    n.card = "Scripted Cam";
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

v4l2_queryctrl Control(uint32_t id, const char* name, uint32_t flags = 0) {
    v4l2_queryctrl q{};
    q.id = id;
    q.type = V4L2_CTRL_TYPE_INTEGER;
    std::strncpy(reinterpret_cast<char*>(q.name), name, sizeof q.name - 1);
    q.minimum = 0;
    q.maximum = 255;
    q.step = 1;
    q.default_value = 128;
    q.flags = flags;
    return q;
}

// A scripted driver, its backend and a grabber that sees only that backend.
struct Rig {
    explicit Rig(std::vector<ScriptedNode> nodes) : io(std::move(nodes)) {}
    CScriptedV4l2 io;
    CV4l2Backend backend{io};
    CLogRecorder log;
    CMessageQueue poster;
    CCaptureQueue queue;
    std::unique_ptr<CGrabber> grabber =
        std::make_unique<CGrabber>(&log, &poster, std::vector<ICaptureBackend*>{&backend});

    ~Rig() {
        grabber.reset();
        while (uint8_t* r = queue.RemoveHead())
            g_BufferPool.Free(r);
    }

    // Pumps frame-ready commands until `done` holds or 10 s pass.
    bool WaitFor(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            poster.WaitAndPump([this](const PostedMessage&) { ++commands; },
                               std::chrono::milliseconds(20));
        }
        return true;
    }

    int commands = 0;
};

}  // namespace

TEST(Grabber, ModeTableHoldsTheCompatibleCapabilitiesInOrder) {
    struct Case {
        int modeIndex;
        int chosen;
        uint32_t pin;
    } cases[] = {{1, 1, 5}, {5, 0, 2}, {-1, 0, 2}, {0, 0, 2}, {2, 2, 7}};
    for (const Case& c : cases) {
        Rig rig({EightCapabilityCamera()});
        ASSERT_EQ(rig.grabber->Init(kCam, c.modeIndex, -1, &rig.queue), 1) << c.modeIndex;
        int count = 0;
        ASSERT_EQ(rig.grabber->GetModeCount(&count), 1);
        EXPECT_EQ(count, 3);
        VideoModeEntry entry;
        const uint32_t pins[] = {2, 5, 7};
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(rig.grabber->GetModeInfo(i, &entry), 1);
            EXPECT_EQ(entry.indexAtCapturePin, pins[i]);
        }
        EXPECT_EQ(rig.grabber->GetModeInfo(3, &entry), 0);
        int index = -5;
        ASSERT_EQ(rig.grabber->GetCurrentMode(&entry, &index), 1);
        EXPECT_EQ(index, c.chosen) << c.modeIndex;
        EXPECT_EQ(entry.indexAtCapturePin, c.pin) << c.modeIndex;
        EXPECT_EQ(rig.grabber->GetWidth(), entry.width);
        EXPECT_EQ(rig.grabber->GetHeight(), -entry.height);
        std::string name;
        ASSERT_EQ(rig.grabber->GetFriendlyName(&name), 1);
        EXPECT_EQ(name, "Scripted Cam");
    }
    // The mode index is first checked against all capabilities, not only the usable ones.
    Rig rig({EightCapabilityCamera()});
    EXPECT_EQ(rig.grabber->Init(kCam, 8, -1, &rig.queue), 0);
    EXPECT_EQ(rig.grabber->GetLastError(), -115);
    int count = 0;
    EXPECT_EQ(rig.grabber->GetModeCount(&count), 0);
    ASSERT_FALSE(rig.log.lines.empty());
    EXPECT_EQ(rig.log.lines.back(), "Unable to initialize grabber subsystem: Error -115");
}

TEST(Grabber, BuildFailuresCarryTheirCodes) {
    auto withNode = [](std::function<void(ScriptedNode&)> change) {
        ScriptedNode n = EightCapabilityCamera();
        change(n);
        return n;
    };
    struct Case {
        const char* what;
        ScriptedNode node;
        std::string path;
        bool queue;
        std::function<void(CScriptedV4l2&)> script;
        int code;
    } cases[] = {
        {"unknown identity", EightCapabilityCamera(), "/dev/video7", true, {}, -110},
        {"identity in other case",
         EightCapabilityCamera(),
         "/dev/v4l/by-id/usb-scripted_cam-video-index0",
         true,
         {},
         -110},
        {"empty path", EightCapabilityCamera(), "", true, {}, -10},
        {"server mode without queue", EightCapabilityCamera(), kCam, false, {}, -10},
        {"no usable format",
         withNode([](ScriptedNode& n) { n.formats.resize(1); }),
         kCam,
         true,
         {},
         -118},
        {"format enumeration fails", EightCapabilityCamera(), kCam, true,
         [](CScriptedV4l2& io) { io.FailIoctl(VIDIOC_ENUM_FMT, EIO); }, -114},
        {"driver replaces the format",
         withNode([](ScriptedNode& n) {
             n.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480}}, {{1, 30}}},
                          {V4L2_PIX_FMT_BGR24, {{640, 480}}, {{1, 30}}}};
             n.listedButUnsettable = {V4L2_PIX_FMT_BGR24};
         }),
         kCam,
         true,
         {},
         -121},
        {"S_FMT fails", EightCapabilityCamera(), kCam, true,
         [](CScriptedV4l2& io) { io.FailIoctl(VIDIOC_S_FMT, EIO); }, -121},
        {"no buffers", EightCapabilityCamera(), kCam, true,
         [](CScriptedV4l2& io) { io.FailIoctl(VIDIOC_REQBUFS, ENOMEM); }, -122},
    };
    for (Case& c : cases) {
        Rig rig({c.node});
        if (c.script)
            c.script(rig.io);
        int mode = c.code == -121 ? 1 : 0;  // the BGR24 mode of the replacing driver
        EXPECT_EQ(rig.grabber->Init(c.path, mode, -1, c.queue ? &rig.queue : nullptr), 0) << c.what;
        EXPECT_EQ(rig.grabber->GetLastError(), c.code) << c.what;
        ASSERT_FALSE(rig.log.lines.empty()) << c.what;
        EXPECT_EQ(rig.log.lines.back(),
                  "Unable to initialize grabber subsystem: Error " + std::to_string(c.code))
            << c.what;
        EXPECT_EQ(rig.grabber->Start(), 0) << c.what;
        rig.grabber.reset();
        EXPECT_EQ(rig.io.OpenDescriptors(), 0) << c.what;
        EXPECT_EQ(rig.io.Mappings(), 0) << c.what;
    }

    CLogRecorder log;
    CGrabber none(&log, nullptr, {});
    CCaptureQueue queue;
    EXPECT_EQ(none.Init(kCam, 0, -1, &queue), 0);
    EXPECT_EQ(none.GetLastError(), -109);
}

TEST(Grabber, StreamsScriptedFramesAndStopsCleanly) {
    Rig rig({EightCapabilityCamera()});
    ASSERT_EQ(rig.grabber->Init(kCam, 0, -1, &rig.queue), 1);  // YUYV 640 × 480
    EXPECT_EQ(rig.io.LastTimePerFrameDenominator(), 30u);
    EXPECT_EQ(rig.grabber->Start(), 1);
    EXPECT_EQ(rig.grabber->Start(), 1);
    EXPECT_TRUE(rig.grabber->IsRunning());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.commands >= 5; }));
    EXPECT_EQ(rig.io.StreamOnCount(), 1);

    // Every record still queued shows the image of its sample.
    int checked = 0;
    while (uint8_t* record = rig.queue.RemoveHead()) {
        FrameHeader h = ReadHeader<FrameHeader>(record);
        EXPECT_EQ(h.width, 640u);
        EXPECT_EQ(h.height, 480u);
        const uint8_t* px = record + kFrameHeaderSize;
        bool same = true;
        for (uint32_t y = 0; y < 480 && same; ++y)
            for (uint32_t x = 0; x < 640 && same; ++x)
                same = px[y * 640 + x] == ScriptedGray(h.frameNumber - 1, x, y);
        EXPECT_TRUE(same) << "frame " << h.frameNumber;
        g_BufferPool.Free(record);
        ++checked;
    }
    EXPECT_GT(checked, 0);

    EXPECT_EQ(rig.grabber->Stop(), 1);
    EXPECT_FALSE(rig.io.Streaming());
    EXPECT_EQ(rig.grabber->Stop(), 1);
    // The buffers go back to the driver on a restart.
    uint32_t counted = rig.grabber->GetSampler()->GetFrameCounter();
    EXPECT_EQ(rig.grabber->Start(), 1);
    ASSERT_TRUE(
        rig.WaitFor([&] { return rig.grabber->GetSampler()->GetFrameCounter() >= counted + 3; }));
    EXPECT_EQ(rig.io.StreamOnCount(), 2);

    // Deinit of a running grabber stops it first and hands everything back.
    EXPECT_EQ(rig.grabber->Deinit(), 1);
    EXPECT_FALSE(rig.grabber->IsRunning());
    int count = -1;
    EXPECT_EQ(rig.grabber->GetModeCount(&count), 0);
    EXPECT_EQ(rig.io.OpenDescriptors(), 0);
    EXPECT_EQ(rig.io.Mappings(), 0);
    EXPECT_FALSE(rig.io.Streaming());
    EXPECT_EQ(rig.grabber->Deinit(), 1);
}

TEST(Grabber, DriverTimestampsDriveTheRateLimit) {
    Rig rig({EightCapabilityCamera()});
    ASSERT_EQ(rig.grabber->Init(kCam, 2, 10.0, &rig.queue), 1);  // GREY; samples 40 ms apart
    ASSERT_EQ(rig.grabber->Start(), 1);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.io.FramesDequeued() >= 12; }));
    rig.grabber->Stop();
    // Passes at 0, 120, 240 … ms: sample 3k becomes frame k + 1.
    while (uint8_t* record = rig.queue.RemoveHead()) {
        FrameHeader h = ReadHeader<FrameHeader>(record);
        uint32_t sequence = 3 * (h.frameNumber - 1);
        EXPECT_EQ(record[kFrameHeaderSize + 161], ScriptedGray(sequence, 1, 1));
        g_BufferPool.Free(record);
    }
    EXPECT_LE(rig.grabber->GetSampler()->GetFrameCounter(),
              static_cast<uint32_t>(rig.io.FramesDequeued() + 2) / 3 + 1);
}

TEST(Grabber, AdjustedSizeAndPaddedRowsAreHonoured) {
    ScriptedNode n;
    n.identity = "/dev/video0";
    n.formats = {{V4L2_PIX_FMT_GREY, {{100, 574}}, {}}};  // no interval list
    n.heightAlign = 16;
    n.strideAlign = 64;
    Rig rig({n});
    ASSERT_EQ(rig.grabber->Init("/dev/video0", 0, -1, &rig.queue), 1);
    VideoModeEntry entry;
    int index;
    rig.grabber->GetCurrentMode(&entry, &index);
    EXPECT_EQ(entry.framesPerSecond, 0.0);
    EXPECT_EQ(rig.grabber->GetWidth(), 100);
    EXPECT_EQ(rig.grabber->GetHeight(), 576);  // what the driver made of 574
    ASSERT_EQ(rig.grabber->Start(), 1);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.queue.GetCount() > 0; }));
    rig.grabber->Stop();
    uint8_t* record = rig.queue.RemoveHead();
    FrameHeader h = ReadHeader<FrameHeader>(record);
    EXPECT_EQ(h.height, 576u);
    EXPECT_EQ(record[kFrameHeaderSize + 575 * 100 + 99], ScriptedGray(h.frameNumber - 1, 99, 575));
    g_BufferPool.Free(record);
}

TEST(Grabber, DequeueErrorEndsStreamingCleanly) {
    Rig rig({EightCapabilityCamera()});
    rig.io.FailDequeueAfter(3);
    ASSERT_EQ(rig.grabber->Init(kCam, 0, -1, &rig.queue), 1);
    ASSERT_EQ(rig.grabber->Start(), 1);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.grabber->StreamFailed(); }));
    rig.WaitFor([&] { return rig.commands >= 3; });
    EXPECT_EQ(rig.commands, 3);
    EXPECT_EQ(rig.grabber->GetSampler()->GetFrameCounter(), 3u);
    EXPECT_EQ(rig.grabber->Stop(), 1);
    EXPECT_EQ(rig.grabber->Deinit(), 1);
    EXPECT_EQ(rig.io.OpenDescriptors(), 0);
    EXPECT_EQ(rig.io.Mappings(), 0);
}

TEST(Grabber, StartAndStopFailuresLeaveAConsistentState) {
    Rig rig({EightCapabilityCamera()});
    ASSERT_EQ(rig.grabber->Init(kCam, 0, -1, &rig.queue), 1);
    rig.io.FailIoctl(VIDIOC_STREAMON, EIO);
    EXPECT_EQ(rig.grabber->Start(), 0);
    EXPECT_FALSE(rig.grabber->IsRunning());
    EXPECT_TRUE(rig.log.lines.empty());  // the caller reports a failed start

    Rig stuck({EightCapabilityCamera()});
    ASSERT_EQ(stuck.grabber->Init(kCam, 0, -1, &stuck.queue), 1);
    ASSERT_EQ(stuck.grabber->Start(), 1);
    stuck.io.FailIoctl(VIDIOC_STREAMOFF, EIO);
    EXPECT_EQ(stuck.grabber->Stop(), 0);
    EXPECT_TRUE(stuck.grabber->IsRunning());
    EXPECT_EQ(stuck.grabber->GetLastError(), -1);
    EXPECT_EQ(stuck.log.lines.back(), "Grabbing could not be stopped.");
    // The teardown goes on regardless.
    EXPECT_EQ(stuck.grabber->Deinit(), 1);
    EXPECT_FALSE(stuck.grabber->IsRunning());
    EXPECT_EQ(stuck.io.OpenDescriptors(), 0);
    EXPECT_EQ(stuck.io.Mappings(), 0);
}

TEST(Grabber, InterruptedIoctlsAreRetried) {
    Rig rig({EightCapabilityCamera()});
    rig.io.InterruptEveryOtherIoctl(true);
    ASSERT_EQ(rig.grabber->Init(kCam, 1, -1, &rig.queue), 1);
    ASSERT_EQ(rig.grabber->Start(), 1);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.commands >= 3; }));
    EXPECT_EQ(rig.grabber->Deinit(), 1);
    EXPECT_GT(rig.io.Interruptions(), 10);
    EXPECT_FALSE(rig.grabber->StreamFailed());
    EXPECT_EQ(rig.io.OpenDescriptors(), 0);
}

TEST(Grabber, DeviceControlsStandInForPropertyPages) {
    ScriptedNode n = EightCapabilityCamera();
    n.controls = {Control(V4L2_CID_BRIGHTNESS, "Brightness"),
                  Control(V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_FLAG_DISABLED),
                  Control(V4L2_CID_GAIN, "Gain")};
    Rig rig({n});
    EXPECT_EQ(rig.grabber->HasPropertyPages(), 0);  // not built
    ASSERT_EQ(rig.grabber->Init(kCam, 0, -1, &rig.queue), 1);
    EXPECT_EQ(rig.grabber->HasPropertyPages(), 1);
    std::vector<DeviceControl> controls;
    ASSERT_EQ(rig.grabber->GetControls(&controls), 1);
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].name, "Brightness");
    EXPECT_EQ(controls[1].name, "Gain");
    EXPECT_EQ(controls[1].value, 128);
    EXPECT_EQ(rig.grabber->ShowPropertyPages(), 0);  // no dialog yet
    int shown = 0;
    rig.grabber->SetPropertyPagesHandler([&](CGrabber&) { ++shown; });
    EXPECT_EQ(rig.grabber->ShowPropertyPages(), 1);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(rig.grabber->SetGrayscalePreview(true), 0);  // server mode

    Rig plain({EightCapabilityCamera()});
    ASSERT_EQ(plain.grabber->Init(kCam, 0, -1, &plain.queue), 1);
    EXPECT_EQ(plain.grabber->HasPropertyPages(), 0);
}

TEST(DeviceList, ListsCaptureDevicesAndSelectsTheConfiguredOne) {
    ScriptedNode meta = EightCapabilityCamera();
    meta.identity = "/dev/v4l/by-id/usb-Scripted_Cam-video-index1";
    meta.caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    ScriptedNode twin = EightCapabilityCamera();
    twin.identity = "/dev/video4";
    ScriptedNode longName = EightCapabilityCamera();
    longName.identity = "/dev/video5";
    longName.card = std::string(40, 'N');  // fills the driver's field without a terminator
    CScriptedV4l2 io({EightCapabilityCamera(), meta, twin, longName});
    CV4l2Backend v4l2(io);
    CSyntheticBackend synthetic;
    std::vector<ICaptureBackend*> backends{&synthetic, &v4l2};

    DeviceList list;
    ASSERT_EQ(RefreshDeviceList("/dev/video4", &list, backends), 1);
    ASSERT_EQ(list.entries.size(), 4u);
    EXPECT_EQ(list.entries[0].identity, "synthetic:0");
    EXPECT_EQ(list.entries[1].identity, kCam);
    EXPECT_EQ(list.entries[1].friendlyName, "Scripted Cam");
    EXPECT_EQ(list.entries[2].friendlyName, "Scripted Cam");  // same name, other identity
    EXPECT_EQ(list.entries[3].friendlyName, std::string(32, 'N'));
    EXPECT_EQ(list.selected, 2);

    ASSERT_EQ(RefreshDeviceList("/dev/gone", &list, backends), 1);
    EXPECT_EQ(list.selected, 0);
    // Spot parameters of the synthetic camera survive the round trip through the list.
    ASSERT_EQ(RefreshDeviceList("synthetic:0?x=4&y=5", &list, backends), 1);
    EXPECT_EQ(list.selected, 0);
    EXPECT_EQ(list.entries[0].identity, "synthetic:0?x=4&y=5");

    EXPECT_EQ(RefreshDeviceList("", &list, {&v4l2}), 1);
    CScriptedV4l2 empty({});
    CV4l2Backend nothing(empty);
    EXPECT_EQ(RefreshDeviceList("", &list, {&nothing}), 0);
    EXPECT_TRUE(list.entries.empty());
    EXPECT_EQ(io.OpenDescriptors(), 0);
}

TEST(DeviceList, ShowVideoModeInfoDescribesTheChosenMode) {
    CScriptedV4l2 io({EightCapabilityCamera()});
    CV4l2Backend v4l2(io);
    CLogRecorder log;
    int chosen = -1;
    std::string text;
    ASSERT_EQ(ShowVideoModeInfo(&log, kCam, 1, &chosen, &text, {&v4l2}), 1);
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(text,
              "Choosed Video Mode (#1): lSampleSize = 153600, Frames per Second = 25.000000, "
              "Source Rectangle=(0,0,320,240), Target Rectangle=(0,0,320,240), BitRate = "
              "30720000, biWidth = 320, biHeight = -240, biPlanes = 1, biBitCount = 16, "
              "biCompression = \"UYVY\", biSizeImage = 153600, biXPelsPerMeter = 0, "
              "biYPelsPerMeter = 0, indexAtCapturePin = 5");
    EXPECT_EQ(io.OpenDescriptors(), 0);

    std::string untouched = "keep";
    EXPECT_EQ(ShowVideoModeInfo(&log, "/dev/none", 0, &chosen, &untouched, {&v4l2}), 0);
    EXPECT_EQ(untouched, "keep");
    EXPECT_EQ(log.lines.back(), "Unable to initialize grabber subsystem: Error -110");
}

TEST(V4l2Device, RealDeviceBuildsWhenPresent) {
    std::vector<std::string> nodes = SystemV4l2Io().ListDeviceNodes();
    if (nodes.empty())
        GTEST_SKIP() << "no /dev/video* device on this machine";
    CV4l2Backend backend;
    std::vector<DeviceInfo> devices;
    backend.EnumerateDevices(&devices);
    if (devices.empty())
        GTEST_SKIP() << "no streaming capture device on this machine";
    CLogRecorder log;
    CCaptureQueue queue;
    CGrabber grabber(&log, nullptr, {&backend});
    if (!grabber.Init(devices[0].identity, 0, -1, &queue))
        GTEST_SKIP() << "device busy or without usable mode: "
                     << (log.lines.empty() ? "" : log.lines.back());
    int count = 0;
    EXPECT_EQ(grabber.GetModeCount(&count), 1);
    EXPECT_GT(count, 0);
    EXPECT_GT(grabber.GetWidth(), 0);
}
