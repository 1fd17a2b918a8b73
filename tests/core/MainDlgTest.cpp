// The controller with its real subsystems (synthetic camera, codecs, both channels on
// loopback, the control system), driven as the window's loop drives it.
#include <arv.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/LittleEndian.h"
#include "base/Messages.h"
#include "capture/AravisBackend.h"
#include "capture/SyntheticCamera.h"
#include "capture/V4l2Backend.h"
#include "compression/HuffyuvDecoder.h"
#include "config/IniFile.h"
#include "core/MainDlg.h"
#include "net/FrameClient.h"
#include "tests/capture/ScriptedV4l2.h"
#include "tests/core/Turn.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/Program.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

extern "C" {
#include <jpeglib.h>
}

namespace {

using namespace std::chrono_literals;

const char* kSpotHardware =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0?x=200&y=100&sx=8&sy=5&noise=0\n"
    "DeviceVideoMode=4\nLimitFramerate=-1\n";

class Hosts : public ITimerHost, public IDialogHost, public IConfigDialog {
  public:
    void SetTimer(int id, int periodMs) override { timers[id] = periodMs; }
    void KillTimer(int id) override { timers.erase(id); }
    void EndDialog(int result) override { ended = result; }
    bool Run(CIniFile& config, CIniFile& hardware) override {
        return script ? script(config, hardware) : true;
    }
    std::map<int, int> timers;
    int ended = 0;
    std::function<bool(CIniFile&, CIniFile&)> script;
};

class MainDlgTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (dlg_)
            dlg_->ShutDownServer();
        dlg_.reset();
        ZeftShutdown();  // the next test registers under other values
        if (selvexPid_ > 0)
            ::kill(selvexPid_, SIGTERM);
        if (selvex_ != nullptr)
            ::pclose(selvex_);
    }
    // selvex-sim answering from `descriptions` (camera id → description), named SELVEX in
    // context TAVO through the names file beside the program.
    void StartSelvex(const std::map<std::string, std::string>& descriptions) {
        const std::string folder = dir_.File("hw");
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        for (const auto& [id, text] : descriptions)
            ASSERT_TRUE(WriteFileText(folder + "/" + id + ".cfg", text));
        selvex_ = ::popen(
            ("echo $$; exec " SELVEX_BIN " --dir " + folder + " --base-port 0").c_str(), "r");
        char line[256] = {};
        ASSERT_TRUE(selvex_ && std::fscanf(selvex_, "%d\n", &selvexPid_) == 1 &&
                    std::fgets(line, sizeof line, selvex_) && std::strstr(line, "port "));
        WriteFileText(dir_.File("zeftnames.cfg"),
                      "[TAVO]\nSELVEX=127.0.0.1:" + std::string(std::strstr(line, "port ") + 5));
    }
    static constexpr const char* kSelvexConfig = "[SELVEX]\nContext=TAVO\nServerName=SELVEX\n";
    void Write(const std::string& extraConfig, const char* hardware = kSpotHardware) {
        ports_ = ProgramDir::FreePorts();
        WriteFileText(dir_.File("Lumerix2.cfg"), ProgramDir::Config(ports_, extraConfig));
        if (hardware != nullptr)
            WriteFileText(dir_.File("curhardware.cfg"), hardware);
    }
    void Up(char switchLetter = 0, std::vector<ICaptureBackend*> backends = DefaultBackends()) {
        dlg_ =
            std::make_unique<CMainDlg>(CMainDlg::Hosts{&log_, &poster_, &hosts_, &hosts_, &hosts_},
                                       dir_.path(), switchLetter, std::move(backends));
        dlg_->OnInitDialog();
    }
    // The window's loop until `done` holds (or `limit` passes).
    bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end)
            poster_.WaitAndPump([](const PostedMessage&) {}, 20ms);
        return done();
    }
    // Runs everything posted so far: tasks run in the order they were posted.
    bool Settle() {
        bool reached = false;
        poster_.PostTask([&] { reached = true; });
        return Pump([&] { return reached; });
    }
    // What a client does on its own thread, while the window's loop runs.
    template <typename F>
    auto WhileLooping(F client) {
        auto result = std::async(std::launch::async, client);
        Pump([&] { return result.wait_for(0ms) == std::future_status::ready; });
        return result.get();
    }
    // Reads `count` messages of a channel.
    std::vector<FrameMessage> Read(uint16_t port, int count) {
        return WhileLooping([port, count] {
            std::vector<FrameMessage> got;
            CFrameClient client;
            std::string error;
            if (client.Connect("127.0.0.1", port, error)) {
                client.SetReceiveTimeout(10000);
                for (FrameMessage m; int(got.size()) < count && client.ReadMessage(m, error) == 1;)
                    got.push_back(m);
            }
            return got;
        });
    }
    static std::string Address(const std::string& device) {
        return "/TEST/127.0.0.1:" + std::to_string(ZeftGetRegistration().port) + "/" + device;
    }
    // One control-system call.
    ZeftWireReply Call(const std::string& device, const char* property, int16_t access,
                       const ZeftRequest& request = {}) {
        return WhileLooping([&] {
            ZeftWireReply r;
            r.status = ZeftCall(Address(device).c_str(), property, request, access, 10000, &r);
            return r;
        });
    }
    int Count(const std::string& text) const {
        return int(std::count(log_.lines.begin(), log_.lines.end(), text));
    }

    TempDir dir_;
    std::unique_ptr<CScriptedV4l2> scripted_;  // both outlive the controller
    std::unique_ptr<ICaptureBackend> backend_;
    ProgramDir::Ports ports_;
    struct : CLogRecorder {  // with the time of every line
        void Log(std::string_view text) override {
            CLogRecorder::Log(text);
            at.push_back(std::chrono::steady_clock::now());
        }
        std::vector<std::chrono::steady_clock::time_point> at;
    } log_;
    CMessageQueue poster_;
    Hosts hosts_;
    std::unique_ptr<CMainDlg> dlg_;
    FILE* selvex_ = nullptr;
    int selvexPid_ = 0;
};

ZeftRequest Int(uint32_t v) {
    ZeftRequest r{kZeftFormatInt, 1, std::vector<uint8_t>(4)};
    StoreLE32(r.data.data(), v);
    return r;
}
ZeftRequest Double(double v) {
    ZeftRequest r{kZeftFormatDouble, 1, std::vector<uint8_t>(8)};
    StoreLEDouble(r.data.data(), v);
    return r;
}
ZeftRequest Text(const std::string& t) {
    return {kZeftFormatChar, uint32_t(t.size()), std::vector<uint8_t>(t.begin(), t.end())};
}

TEST_F(MainDlgTest, SwitchAServesBothChannelsTurnedAndMeasured) {
    Write("LOSSYENABLED=1\n[CameraSettings]\nScale=0.5\nOrientation=ROT90CW\n");
    Up('a');
    EXPECT_TRUE(dlg_->SubsystemsUp());
    EXPECT_EQ(hosts_.timers[CMainDlg::IDT_AUTOSTART], 2000);
    dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
    ASSERT_TRUE(dlg_->IsGrabbing());
    EXPECT_FALSE(dlg_->Model().IsEnabled(IDC_CONFIG));

    const auto lossless = Read(ports_.lossless, 2);
    ASSERT_EQ(lossless.size(), 2u);
    SyntheticSpot spot{200, 100, 8, 5, 0};
    std::vector<uint8_t> camera;
    RenderSyntheticGray(spot, 768, 574, 0, &camera);
    for (const FrameMessage& m : lossless) {
        EXPECT_TRUE(m.info.compressed && m.info.width == 574 && m.info.height == 768);
        EXPECT_EQ(m.info.scale, 0.5);
        EXPECT_NEAR(double(m.info.time), double(::time(nullptr)), 5.0);
        CHuffyuvDecoder decoder;
        std::vector<uint8_t> gray;
        uint32_t w = 0, h = 0;
        ASSERT_TRUE(decoder.DecodeMessage(m.bytes.data(), m.bytes.size(), gray, w, h));
        EXPECT_TRUE(gray == TurnClockwise(camera, 768, 574));
    }
    // The window shows the frame rate at the display's tick, not at every frame.
    EXPECT_EQ(dlg_->Model().Text(IDC_FRAMERATE), "");
    dlg_->OnTimer(CMainDlg::IDT_STATUS);
    EXPECT_NE(dlg_->Model().Text(IDC_FRAMERATE), "");
    float xm = 0, ym = 0, xrms = 0, yrms = 0;
    dlg_->Spot(&xm, &ym, &xrms, &yrms);
    EXPECT_NEAR(xm, 573 - 100, 1.0);  // turned: the camera's y counts from the right
    EXPECT_NEAR(ym, 200, 1.0);

    const auto lossy = Read(ports_.lossy, 1);
    ASSERT_EQ(lossy.size(), 1u);
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, lossy[0].Data(), lossy[0].info.dataLength);
    ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
    EXPECT_TRUE(cinfo.image_width == 574 && cinfo.image_height == 768);
    jpeg_destroy_decompress(&cinfo);

    // A start request while grabbing is ignored; the Stop button stops, Close tears down
    // grabbing before anything else.
    dlg_->Post(ControllerCommand::kStart);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Count("Grabbing started."), 1);
}

// A camera that offers frames faster than the server takes them (unpaced) must not fill the
// window's queue: a quit or a control call would wait behind the backlog.
TEST_F(MainDlgTest, AFasterCameraKeepsOneFrameTaskWaiting) {
    Write("",
          "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0?pace=0\n"
          "DeviceVideoMode=0\n");
    Up();
    dlg_->OnCommand(IDC_START_GRABBING);
    ASSERT_TRUE(dlg_->IsGrabbing());
    std::this_thread::sleep_for(300ms);  // the loop is busy elsewhere; the camera is not
    EXPECT_LE(poster_.Pending(), 2u);
    const uint64_t processed = dlg_->Health()[kFramesProcessed];
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(Pump([&] { return dlg_->Health()[kFramesProcessed] > processed + 10; }));
}

TEST_F(MainDlgTest, ButtonsAndRequestsFollowTheStateTable) {
    Write("");
    Up();
    const CDialogModel& m = dlg_->Model();
    EXPECT_TRUE(m.IsEnabled(IDC_START_GRABBING) && !m.IsEnabled(IDC_STOP_GRABBING));
    dlg_->Post(ControllerCommand::kStart);
    ASSERT_TRUE(Pump([&] { return dlg_->IsGrabbing(); }));
    dlg_->Post(ControllerCommand::kStart);
    dlg_->OnCommand(IDC_START_GRABBING);  // disabled while grabbing
    Settle();
    EXPECT_EQ(Count("Grabbing started."), 1);
    dlg_->OnCommand(IDC_STOP_GRABBING);
    EXPECT_FALSE(dlg_->IsGrabbing());
    EXPECT_TRUE(m.IsEnabled(IDC_START_GRABBING) && m.IsEnabled(IDC_CONFIG));
    dlg_->Post(ControllerCommand::kStop);  // not grabbing: ignored
    Settle();
    EXPECT_EQ(Count("Grabbing stopped."), 1);

    dlg_->OnCommand(IDC_START_GRABBING);
    const size_t before = log_.lines.size();
    dlg_->OnCommand(IDC_CLOSE);
    ASSERT_GT(log_.lines.size(), before);
    EXPECT_EQ(log_.lines[before], "Shutting down grabbing.");
    EXPECT_EQ(hosts_.ended, IDOK);
    EXPECT_TRUE(hosts_.timers.empty());
    CFrameClient client;
    std::string error;
    EXPECT_FALSE(client.Connect("127.0.0.1", ports_.lossless, error));  // channel closed
}

// Every row of the state table on the real controller: brought into the row's state, asked
// the row's command, it answers as the row says and lands where the row leads. Configuring
// is asked from inside the dialog; from down, the dialog repairs the description.
TEST_F(MainDlgTest, EveryCommandInEveryStateFollowsTheTable) {
    using S = ControllerState;
    using C = ControllerCommand;
    ScriptedNode node;
    node.identity = "/dev/video7";
    node.formats = {{V4L2_PIX_FMT_GREY, {{160, 120}}, {{1, 30}}}};
    for (const StateRule& row : kStateRules) {
        SCOPED_TRACE(testing::Message() << int(row.state) << " " << int(row.command));
        scripted_ = std::make_unique<CScriptedV4l2>(std::vector<ScriptedNode>{node});
        backend_ = std::make_unique<CV4l2Backend>(*scripted_);
        Write("", row.state == S::kDown
                      ? "[GlobalSettings]\nType=directshow\nDevicePath=/dev/video7\n"
                      : "[GlobalSettings]\nType=DirectShow\nDevicePath=/dev/video7\n"
                        "DeviceVideoMode=0\n");
        Up(0, {backend_.get()});
        if (row.state == S::kGrabbing || row.state == S::kReopening) {
            ASSERT_TRUE(dlg_->Request(C::kStart).Accepted());
        }
        if (row.state == S::kReopening) {
            scripted_->SetPlugged(false);
            ASSERT_TRUE(Pump([&] { return dlg_->IsReopeningCamera(); }));
            scripted_->SetPlugged(true);  // only the timer would find it back; an apply does
        }
        if (row.state == S::kShutDown)
            dlg_->ShutDownServer();
        auto ask = [&] {
            ASSERT_EQ(dlg_->State(), row.state);
            const size_t lines = log_.lines.size();
            const Outcome outcome = dlg_->Request(row.command);
            EXPECT_EQ(outcome.code, row.code);
            EXPECT_STREQ(outcome.reason, row.reason);
            EXPECT_TRUE(row.code == Outcome::kAccepted || log_.lines.size() == lines);
            EXPECT_EQ(dlg_->State(), row.next);
            EXPECT_TRUE(row.next != S::kGrabbing || log_.lines.back() == "Grabbing started.");
        };
        hosts_.script = [&](CIniFile&, CIniFile& hardware) {
            if (row.state == S::kConfiguring)
                ask();
            return hardware.SetValue("GlobalSettings", "Type", "DirectShow") &&
                   hardware.SetValue("GlobalSettings", "DeviceVideoMode", "0") && hardware.Save();
        };
        if (row.state == S::kConfiguring) {
            EXPECT_TRUE(dlg_->Request(C::kConfigure).Accepted());
            EXPECT_EQ(dlg_->State(), row.command == C::kQuit ? S::kShutDown : S::kStopped);
        } else {
            ask();
        }
        dlg_->ShutDownServer();
        Settle();  // what the camera posted before it stopped still reaches this controller
        dlg_.reset();
    }
}

TEST_F(MainDlgTest, MultiplexerAnswerReplacesTheDescriptionOnDisk) {
    StartSelvex({{"0x0A", kSpotHardware}});
    Write(std::string("[CameraSettings]\nCAMID=0x0A\n") + kSelvexConfig,
          "[GlobalSettings]\nType=Other\n");
    Up();
    EXPECT_EQ(ReadFileText(dir_.File("curhardware.cfg")), kSpotHardware);
    EXPECT_TRUE(dlg_->SubsystemsUp());
    EXPECT_EQ(Count("Successful initialized grabbing subsystem."), 1);
}

TEST_F(MainDlgTest, MultiplexerDownOrAnImproperDescriptionLeavesGrabbingOff) {
    struct Case {
        std::string mandatory;
        const char* hardware;
        const char* line;  // null: nothing but the caller's line
        bool grabber;
    } cases[] = {
        {"1", kSpotHardware, nullptr, false},
        {"0", "[GlobalSettings]\nType=directshow\nDevicePath=synthetic:0\n",
         "FATAL: Hardware settings configuration file (\"curhardware.cfg\") contains improper "
         "type.",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mandatory);
        // The names file points at a port nobody serves.
        WriteFileText(dir_.File("zeftnames.cfg"),
                      "[TAVO]\nSELVEX=127.0.0.1:" + std::to_string(FreePort()));
        Write("[SELVEX]\nContext=TAVO\nServerName=SELVEX\nMandatorySELVEX=" + c.mandatory + "\n",
              c.hardware);
        log_.lines.clear();
        Up('a');
        EXPECT_EQ(dlg_->Grabber() != nullptr, c.grabber);
        EXPECT_EQ(Count("Could not initialize grabbing subsystem!"), 1);
        if (c.line != nullptr) {
            EXPECT_EQ(Count(c.line), 1);
        }
        EXPECT_FALSE(dlg_->SubsystemsUp() || dlg_->Model().IsEnabled(IDC_START_GRABBING));
        EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_AUTOSTART), 0u);  // /a starts nothing
        dlg_->Post(ControllerCommand::kStart);
        Settle();
        EXPECT_FALSE(dlg_->IsGrabbing());
        dlg_->ShutDownServer();
        Settle();  // the frames it posted run while it still exists
        dlg_.reset();
        ZeftShutdown();
    }
}

TEST_F(MainDlgTest, ReconfigurationKeepsServingOrAppliesTheDialog) {
    Write("LOSSYENABLED=1\n");
    Up();
    ASSERT_TRUE(dlg_->Model().IsChecked(IDC_LOSSY_CHECK));
    ::rename(dir_.File("curhardware.cfg").c_str(), dir_.File("hw.cfg").c_str());
    const size_t before = log_.lines.size();
    dlg_->OnCommand(IDC_CONFIG);
    ASSERT_EQ(log_.lines.size(), before + 1);
    EXPECT_EQ(log_.lines.back(),
              "Hardware settings configuration file (\"curhardware.cfg\") could not be opened.");
    CFrameClient client;
    std::string error;
    EXPECT_TRUE(client.Connect("127.0.0.1", ports_.lossless, error)) << error;  // still serving

    ::rename(dir_.File("hw.cfg").c_str(), dir_.File("curhardware.cfg").c_str());
    hosts_.script = [](CIniFile& config, CIniFile&) {
        return config.SetValue("DEFAULT", "LOSSYENABLED", "0") && config.Save();
    };
    dlg_->OnCommand(IDC_CONFIG);
    EXPECT_EQ(Count("Successful reinitialized networking subsystem."), 1);
    EXPECT_TRUE(dlg_->SubsystemsUp() && dlg_->Model().IsEnabled(IDC_START_GRABBING));
    EXPECT_FALSE(dlg_->Model().IsChecked(IDC_LOSSY_CHECK));
    EXPECT_FALSE(dlg_->Model().IsEnabled(IDC_LOSSY_CLIENTS));
    EXPECT_FALSE(dlg_->LossyServer().IsStarted());
    EXPECT_TRUE(dlg_->LosslessServer().IsStarted());

    // A quit that arrives while the dialog is open ends the server; nothing comes up again.
    hosts_.script = [this](CIniFile&, CIniFile&) { return dlg_->ShutDownServer(), true; };
    dlg_->OnCommand(IDC_CONFIG);
    EXPECT_TRUE(dlg_->IsShutDown() && !dlg_->LosslessServer().IsStarted());
}

TEST_F(MainDlgTest, ControlPropertiesAnswerAndDriveTheServer) {
    Write("[CameraSettings]\nOrientation=ROT90CW\nName=CAM7\n");
    Up();
    struct Case {
        const char* property;
        int16_t access;
        ZeftRequest request;
        int16_t status;
        const char* message;
    } cases[] = {
        {"C_BPP", kZeftWrite, Int(8), 73, ""},
        {"S_COMPRESSION", kZeftWrite, Int(1), 73, "not_implemented"},
        {"S_StartTime", kZeftWrite, Int(1), 515, "Error!"},
        {"C_GAIN", kZeftRead, {}, 36, "Illegal property."},
        {"S_START", kZeftWrite, Int(2), 515, "Internal error!"},
        {"C_DYNAMICSCALE", kZeftWrite, Double(20000), 2, "scale not accepted!"},
        {"C_CAMNAME", kZeftWrite, Text("A\nB"), 2, ""},
        {"C_DYNAMICSCALE", kZeftWrite, Double(2.5), 0, "scale set."},
        {"C_SCALE", kZeftWrite, Double(4), 0, ""},
    };
    for (const Case& c : cases) {
        const ZeftWireReply r = Call("LUMERIX", c.property, c.access, c.request);
        EXPECT_EQ(r.status, c.status) << c.property;
        EXPECT_EQ(r.message, c.message) << c.property;
    }
    EXPECT_FALSE(dlg_->IsGrabbing());
    EXPECT_EQ(dlg_->CurrentCamera().scale, 2.5);  // C_SCALE waits for an apply
    EXPECT_EQ(dlg_->PendingCamera().scale, 4.0);
    EXPECT_EQ(dlg_->Model().Text(IDC_PENDING_SCALE), "4.000000");

    auto read = [&](const char* property) { return Call("LUMERIX", property, kZeftRead); };
    EXPECT_EQ(LoadLE32(read("C_WIDTH").data.data()), 574u);  // turned: the height
    EXPECT_EQ(LoadLE32(read("S_availVideodata").data.data()), 0u);
    ZeftWireReply spot = read("S_SPOTDATA");
    ASSERT_EQ(spot.data.size(), 16u);
    EXPECT_EQ(int32_t(LoadLE32(spot.data.data())), -1000);
    EXPECT_EQ(LoadLEFloat(spot.data.data() + 12), -1.0f);

    EXPECT_EQ(Call("LUMERIX", "S_START", kZeftWrite, Int(1)).status, 0);
    ASSERT_TRUE(Pump([&] { return dlg_->IsGrabbing(); }));
    const auto frames = Read(ports_.lossless, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].info.scale, 2.5);
    EXPECT_EQ(LoadLE32(read("S_isStarted").data.data()), 1u);
    EXPECT_EQ(LoadLE32(read("S_availVideodata").data.data()), 1u);
    spot = read("S_SPOTDATA");
    EXPECT_NEAR(int32_t(LoadLE32(spot.data.data())), 473000, 1000);
    EXPECT_NEAR(LoadLEFloat(spot.data.data() + 4), 200.0f, 1.0f);
}

TEST_F(MainDlgTest, ApplyMakesPendingSettingsCurrentAndAnnouncesOnlyChanges) {
    StartSelvex({{"0x0A", kSpotHardware},
                 {"0x0B",
                  "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\n"
                  "DeviceVideoMode=7\n"}});
    Write(std::string("[CameraSettings]\nCAMID=0x0A\n") + kSelvexConfig);
    Up();
    CZeftMonitor width, scale;
    ASSERT_EQ(width.Open(Address("LUMERIX").c_str(), "C_WIDTH", {}, kZeftRead, 0, 5000), 0);
    ASSERT_EQ(scale.Open(Address("LUMERIX").c_str(), "C_SCALE", {}, kZeftRead, 0, 5000), 0);
    // The next monitor reply: its status, and its value when a number.
    auto next = [&](CZeftMonitor& m) {
        return WhileLooping([&] {
            ZeftWireReply r;
            const int16_t rc = m.Next(1000, &r);
            return std::pair{rc, r.data.size() == 4 ? LoadLE32(r.data.data()) : 0u};
        });
    };
    EXPECT_EQ(next(width), std::pair(int16_t{0}, 768u));  // a new subscriber hears the value
    EXPECT_EQ(next(scale).first, 0);
    EXPECT_EQ(Call("LUMERIX", "C_CAMNAME", kZeftWrite, Text("Beamline 2")).status, 0);
    EXPECT_EQ(Call("LUMERIX", "C_CAMID", kZeftWrite, Text("0x0B")).status, 0);
    EXPECT_EQ(Call("LUMERIX", "S_UPDATE", kZeftWrite, Int(1)).status, 0);
    ASSERT_TRUE(Pump([&] { return dlg_->IsGrabbing(); }));  // started although it was not
    EXPECT_EQ(LoadLE32(Call("LUMERIX", "S_isUpdated", kZeftRead).data.data()), 1u);
    EXPECT_EQ(dlg_->CurrentCamera().name, "Beamline 2");
    EXPECT_NE(ReadFileText(dir_.File("Lumerix2.cfg")).find("Name=Beamline 2"), std::string::npos);
    const auto frames = Read(ports_.lossless, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].info.width == 160 && frames[0].info.height == 120);

    // The changed width reaches its watcher; the unchanged scale is not announced.
    EXPECT_EQ(next(width), std::pair(int16_t{0}, 160u));
    EXPECT_EQ(next(scale).first, kZeftTimeout);
}

TEST_F(MainDlgTest, FramesForControlSystemClients) {
    Write("");
    Up();
    auto get = [&](const char* p) { return Call("device_0", p, kZeftRead, Int(0)); };
    EXPECT_EQ(get("FRAME.GET").status, 607);
    EXPECT_EQ(get("FRAME.GET").message, "No data to send.");
    EXPECT_TRUE(get("NONSCHED.GET").status == 0 && get("NONSCHED.GET").data.empty());
    EXPECT_EQ(dlg_->Model().Text(IDC_ZEFT_CLIENTS), ">= 1");

    dlg_->OnCommand(IDC_START_GRABBING);
    ASSERT_EQ(Read(ports_.lossless, 1).size(), 1u);
    dlg_->OnCommand(IDC_STOP_GRABBING);
    Settle();
    const ZeftWireReply latest = get("NONSCHED.GET");
    EXPECT_EQ(get("NONSCHED.GET").data, latest.data);  // not consumed
    const ZeftWireReply frame = get("FRAME.GET");
    EXPECT_EQ(frame.data, latest.data);
    EXPECT_EQ(get("FRAME.GET").status, 607);
    CHuffyuvDecoder decoder;
    std::vector<uint8_t> gray;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(decoder.DecodeMessage(frame.data.data(), frame.data.size(), gray, w, h));
    EXPECT_TRUE(w == 768 && h == 574);
}

}  // namespace

TEST_F(MainDlgTest, HealthLineInTheLogAndThroughTheControlSystem) {
    Write("");
    Up('a');
    EXPECT_EQ(hosts_.timers[CMainDlg::IDT_HEALTH], 60000);
    dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
    ASSERT_EQ(Read(ports_.lossless, 3).size(), 3u);
    dlg_->Request(ControllerCommand::kStop);
    // The reader has gone and its departure has been handled.
    ASSERT_TRUE(Pump([&] { return dlg_->LosslessServer().GetSessionStats().empty(); }));
    ASSERT_TRUE(Settle());
    EXPECT_NE(Call("NOSUCHDEVICE", "X_HEALTH", kZeftRead).status, 0);  // refused by the layer
    const ZeftWireReply r = Call("LUMERIX", "X_HEALTH", kZeftRead);
    dlg_->OnTimer(CMainDlg::IDT_HEALTH);
    const std::string& line = log_.lines.back();
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), line);
    EXPECT_GE(std::stoul(line.substr(std::strlen("Health: frames "))), 3u);
    EXPECT_NE(line.find("no codec 0, jpeg failed 0; lossless 0 clients"), std::string::npos);
    EXPECT_NE(line.find("; zeft 2 calls, 1 refused"), std::string::npos);
}

// A USB camera pulled out while grabbing: one line in the log, quiet tries every few
// seconds, grabbing back by itself once it is plugged in again; a stop meanwhile ends the
// tries and a start opens the camera anew.
TEST_F(MainDlgTest, UnpluggedCameraIsOpenedAgainAndGrabbingResumes) {
    ScriptedNode node;
    node.identity = "/dev/video7";
    node.formats = {{V4L2_PIX_FMT_GREY, {{160, 120}}, {{1, 30}}}};
    scripted_ = std::make_unique<CScriptedV4l2>(std::vector<ScriptedNode>{node});
    CScriptedV4l2& io = *scripted_;
    backend_ = std::make_unique<CV4l2Backend>(io);
    Write("",
          "[GlobalSettings]\nType=DirectShow\nDevicePath=/dev/video7\nDeviceVideoMode=0\n"
          "LimitFramerate=-1\n");
    Up('a', {backend_.get()});
    dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
    ASSERT_EQ(Read(ports_.lossless, 2).size(), 2u);

    io.SetPlugged(false);
    ASSERT_TRUE(Pump([&] { return dlg_->IsReopeningCamera(); }));
    EXPECT_EQ(hosts_.timers[CMainDlg::IDT_REOPEN], 3000);
    EXPECT_EQ(log_.lines.back(),
              "Camera lost (V4L2: streaming on /dev/video7 ended: No such device). Trying to "
              "open it again every 3 s.");
    EXPECT_TRUE(dlg_->IsGrabbing());
    const size_t lines = log_.lines.size();
    for (int i = 0; i < 3; ++i)
        dlg_->OnTimer(CMainDlg::IDT_REOPEN);
    EXPECT_EQ(log_.lines.size(), lines);
    EXPECT_EQ(io.Get().fds, 0);

    io.SetPlugged(true);
    dlg_->OnTimer(CMainDlg::IDT_REOPEN);
    EXPECT_FALSE(dlg_->IsReopeningCamera());
    EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_REOPEN), 0u);
    EXPECT_EQ(log_.lines.back(), "Camera is back: grabbing resumed.");
    const std::vector<FrameMessage> frames = Read(ports_.lossless, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].info.width, 160u);
    EXPECT_NE(dlg_->HealthText().find(", camera lost 1,"), std::string::npos);

    io.SetPlugged(false);
    ASSERT_TRUE(Pump([&] { return dlg_->IsReopeningCamera(); }));
    dlg_->Request(ControllerCommand::kStop);
    EXPECT_FALSE(dlg_->IsGrabbing());
    EXPECT_FALSE(dlg_->IsReopeningCamera());
    EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_REOPEN), 0u);
    EXPECT_EQ(dlg_->Request(ControllerCommand::kStart).code, Outcome::kFailed);
    EXPECT_EQ(log_.lines.back(), "Error while starting up grabbing.");
    io.SetPlugged(true);
    EXPECT_TRUE(dlg_->Request(ControllerCommand::kStart).Accepted());
    EXPECT_EQ(Read(ports_.lossless, 2).size(), 2u);
}

// A camera that stops sending while its stream stays up (the synthetic camera told to go
// silent after a few frames, a scripted V4L2 device that fills no more buffers): after
// StallSeconds it is logged, closed and tried again like a lost one, and counted apart.
// A device that went away as quietly (no longer listed) is counted and logged as lost.
// With StallSeconds=0 (externally triggered cameras) it is left alone.
TEST_F(MainDlgTest, StalledCameraIsOpenedAgainAndCountedAsStalled) {
    ScriptedNode node;
    node.identity = "/dev/video7";
    node.formats = {{V4L2_PIX_FMT_GREY, {{160, 120}}, {{1, 30}}}};
    // synthetic, V4L2, synthetic without the watch, V4L2 gone
    for (const int mode : {0, 1, 2, 3}) {
        SCOPED_TRACE(mode);
        const bool v4l2 = mode == 1 || mode == 3, gone = mode == 3;
        scripted_ = std::make_unique<CScriptedV4l2>(std::vector<ScriptedNode>{node});
        backend_ = std::make_unique<CV4l2Backend>(*scripted_);
        Write(
            mode == 2 ? "[CameraSettings]\nStallSeconds=0\n" : "[CameraSettings]\nStallSeconds=1\n",
            v4l2 ? "[GlobalSettings]\nType=DirectShow\nDevicePath=/dev/video7\n"
                   "DeviceVideoMode=0\n"
                 : "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0?stop=3\n"
                   "DeviceVideoMode=7\n");
        Up('a', v4l2 ? std::vector<ICaptureBackend*>{backend_.get()} : DefaultBackends());
        dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
        ASSERT_TRUE(Pump([&] { return dlg_->Health()[kFramesProcessed] > 0; }));
        EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_STALL), mode == 2 ? 0u : 1u);
        gone ? scripted_->Vanish() : scripted_->SetSilent(true);
        const auto end = std::chrono::steady_clock::now() + (mode == 2 ? 1500ms : 30s);
        Pump([&] {
            dlg_->OnTimer(CMainDlg::IDT_STALL);
            return dlg_->IsReopeningCamera() || std::chrono::steady_clock::now() > end;
        });
        const StatusCounters stalled = dlg_->Health();
        EXPECT_EQ(stalled[kCameraStalled], mode == 0 || mode == 1 ? 1u : 0u);
        EXPECT_EQ(stalled[kCameraLost], gone ? 1u : 0u);
        if (mode == 2)
            continue;
        EXPECT_EQ(log_.lines.back(),
                  gone ? "Camera lost (/dev/video7 is not among the devices present). Trying to "
                         "open it again every 3 s."
                       : "Camera stalled (no frame for 1 s). Trying to open it again every 3 s.");
        EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_STALL), 0u);
        EXPECT_EQ(scripted_->Get().fds, 0);
        scripted_->SetSilent(false);
        if (gone)
            scripted_->SetPlugged(true);
        dlg_->OnTimer(CMainDlg::IDT_REOPEN);
        EXPECT_EQ(log_.lines.back(), "Camera is back: grabbing resumed.");
        EXPECT_EQ(hosts_.timers.count(CMainDlg::IDT_STALL), 1u);
        EXPECT_TRUE(
            Pump([&] { return dlg_->Health()[kFramesProcessed] > stalled[kFramesProcessed]; }));
        dlg_->ShutDownServer();
        Settle();  // the frames it posted run while it still exists
        dlg_.reset();
        ZeftShutdown();
    }
}

// A GigE Vision camera killed while grabbing says nothing: its stream goes quiet. At the
// stall check it is found missing and counted as lost, not as stalled, and grabbing
// resumes once it runs again.
TEST_F(MainDlgTest, KilledGigECameraCountsAsLost) {
#if defined(__SANITIZE_THREAD__)
    // A GigE Vision device streams and keeps its heartbeat on threads of its own inside
    // GLib and GIO, which are not built with TSan and whose locks and wake-ups it cannot
    // see: every report here is of the library's internals. Our only code on those threads
    // is the loss handler (an atomic flag, then a task posted to the main thread).
    GTEST_SKIP();
#endif
    struct Camera {  // the fake camera as a process of its own, to be killed
        bool Start() {
            out = ::popen("echo $$; exec " FAKE_GV_BIN " LXT01", "r");
            char ready[16] = {};
            return out && std::fscanf(out, "%d\n", &pid) == 1 &&
                   std::fgets(ready, sizeof ready, out) != nullptr;
        }
        // One left running would answer for the serial in the next test of this process.
        void Kill() {
            if (out != nullptr)
                ::kill(pid, SIGKILL), ::pclose(std::exchange(out, nullptr));
        }
        ~Camera() { Kill(); }
        int pid = 0;
        FILE* out = nullptr;
    } camera;
    ASSERT_TRUE(camera.Start());
    Write("[GenICam]\nGigEVision=1\nFakeCamera=0\nUSB3Vision=0\n",
          "[GlobalSettings]\nType=DirectShow\nDevicePath=aravis:Aravis-Fake-LXT01?width=320&"
          "height=200&rate=25\nDeviceVideoMode=0\nLimitFramerate=-1\n");
    Up('a');
    dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
    ASSERT_EQ(Read(ports_.lossless, 2).size(), 2u);

    camera.Kill();
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(Pump(
        [&] {
            dlg_->OnTimer(CMainDlg::IDT_STALL);
            return dlg_->IsReopeningCamera();
        },
        20s));
    EXPECT_EQ(log_.lines.back().rfind("Camera lost (", 0), 0u) << log_.lines.back();
    EXPECT_LT(log_.at.back() - killed, 10s);
    EXPECT_EQ(dlg_->Health()[kCameraLost], 1u);
    EXPECT_EQ(dlg_->Health()[kCameraStalled], 0u);

    ASSERT_TRUE(camera.Start());
    EXPECT_TRUE(Pump([&] {
        dlg_->OnTimer(CMainDlg::IDT_REOPEN);
        return !dlg_->IsReopeningCamera();
    }));
    EXPECT_EQ(log_.lines.back(), "Camera is back: grabbing resumed.");
}

// A GenICam camera whose control connection is lost (the library's signal for a pulled
// cable) and whose interface then no longer lists it: grabbing resumes once it is back.
TEST_F(MainDlgTest, LostGenicamCameraIsOpenedAgainWhenItIsBack) {
    std::shared_ptr<ArvDevice*> opened = std::make_shared<ArvDevice*>(nullptr);
    backend_ = std::make_unique<CAravisBackend>([opened](const std::string& id, GError** e) {
        ArvCamera* camera = arv_camera_new(id.c_str(), e);
        if (camera != nullptr)
            *opened = arv_camera_get_device(camera);
        return camera;
    });
    Write("[GenICam]\nFakeCamera=1\nUSB3Vision=0\n",
          "[GlobalSettings]\nType=DirectShow\nDevicePath=aravis:Fake_1?width=320&height=200&"
          "rate=100\nDeviceVideoMode=0\nLimitFramerate=-1\n");
    Up('a', {backend_.get()});
    dlg_->OnTimer(CMainDlg::IDT_AUTOSTART);
    ASSERT_EQ(Read(ports_.lossless, 2).size(), 2u);

    ASSERT_NE(*opened, nullptr);
    g_signal_emit_by_name(*opened, "control-lost");
    arv_disable_interface("Fake");
    ASSERT_TRUE(Pump([&] { return dlg_->IsReopeningCamera(); }));
    EXPECT_EQ(log_.lines.back(),
              "Camera lost (GenICam: the control connection to Fake_1 was lost). Trying to open "
              "it again every 3 s.");
    dlg_->OnTimer(CMainDlg::IDT_REOPEN);
    EXPECT_TRUE(dlg_->IsReopeningCamera());

    arv_enable_interface("Fake");
    dlg_->OnTimer(CMainDlg::IDT_REOPEN);
    EXPECT_FALSE(dlg_->IsReopeningCamera());
    const std::vector<FrameMessage> frames = Read(ports_.lossless, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].info.width, 320u);
}
