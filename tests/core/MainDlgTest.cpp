// The controller with its real subsystems (synthetic camera, codecs, both channels on
// loopback, the control system), driven as the window's loop drives it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "base/Messages.h"
#include "capture/SyntheticCamera.h"
#include "compression/HuffyuvDecoder.h"
#include "config/IniFile.h"
#include "control/zeft/Zeft.h"
#include "core/MainDlg.h"
#include "net/FrameClient.h"
#include "tests/core/Turn.h"
#include "tests/support/Program.h"

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
    }
    void Write(const std::string& extraConfig, const char* hardware = kSpotHardware) {
        ports_ = ProgramDir::FreePorts();
        WriteFileText(dir_.File("Lumerix2.cfg"), ProgramDir::Config(ports_, extraConfig));
        if (hardware != nullptr)
            WriteFileText(dir_.File("curhardware.cfg"), hardware);
    }
    void Up(char switchLetter = 0) {
        dlg_ = std::make_unique<CMainDlg>(
            CMainDlg::Hosts{&log_, &poster_, &hosts_, &hosts_, &hosts_}, dir_.path(), switchLetter);
        dlg_->OnInitDialog();
    }
    // The window's loop until `done` holds (or `limit` passes).
    bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end)
            poster_.WaitAndPump([this](const PostedMessage& m) { dlg_->OnMessage(m); }, 20ms);
        return done();
    }
    // Reads `count` messages of a channel while the loop runs.
    std::vector<FrameMessage> Read(uint16_t port, int count) {
        auto reading = std::async(std::launch::async, [port, count] {
            std::vector<FrameMessage> got;
            CFrameClient client;
            std::string error;
            if (!client.Connect("127.0.0.1", port, error))
                return got;
            client.SetReceiveTimeout(10000);
            for (FrameMessage m; int(got.size()) < count && client.ReadMessage(m, error) == 1;)
                got.push_back(m);
            return got;
        });
        Pump([&] { return reading.wait_for(0ms) == std::future_status::ready; });
        return reading.get();
    }
    int Count(const std::string& text) const {
        return int(std::count(log_.lines.begin(), log_.lines.end(), text));
    }

    TempDir dir_;
    ProgramDir::Ports ports_;
    CLogRecorder log_;
    CMessageQueue poster_;
    Hosts hosts_;
    std::unique_ptr<CMainDlg> dlg_;
};

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
    float xm = 0, ym = 0, xrms = 0, yrms = 0;
    ASSERT_EQ(std::sscanf(dlg_->Model().Text(IDC_SPOTDATA).c_str(), "xm=%f ym=%f xrms=%f yrms=%f",
                          &xm, &ym, &xrms, &yrms),
              4);
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
    poster_.PostMessage(WM_GRAB_START, 0, 0);
    Pump([] { return false; }, 300ms);
    EXPECT_EQ(Count("Grabbing started."), 1);
}

TEST_F(MainDlgTest, ButtonsAndRequestsFollowTheStateTable) {
    Write("");
    Up();
    const CDialogModel& m = dlg_->Model();
    EXPECT_TRUE(m.IsEnabled(IDC_START_GRABBING) && !m.IsEnabled(IDC_STOP_GRABBING));
    poster_.PostMessage(WM_GRAB_START, 0, 0);
    ASSERT_TRUE(Pump([&] { return dlg_->IsGrabbing(); }));
    poster_.PostMessage(WM_GRAB_START, 0, 0);
    dlg_->OnCommand(IDC_START_GRABBING);  // disabled while grabbing
    Pump([&] { return poster_.Pending() == 0; });
    EXPECT_EQ(Count("Grabbing started."), 1);
    dlg_->OnCommand(IDC_STOP_GRABBING);
    EXPECT_FALSE(dlg_->IsGrabbing());
    EXPECT_TRUE(m.IsEnabled(IDC_START_GRABBING) && m.IsEnabled(IDC_CONFIG));
    poster_.PostMessage(WM_GRAB_STOP, 0, 0);  // not grabbing: ignored
    Pump([&] { return poster_.Pending() == 0; });
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

TEST_F(MainDlgTest, MultiplexerAnswerReplacesTheDescriptionOnDisk) {
    std::string folder = dir_.File("hw");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileText(folder + "/0x0A.cfg", kSpotHardware));
    FILE* out =
        ::popen(("echo $$; exec " SELVEX_BIN " --dir " + folder + " --base-port 0").c_str(), "r");
    int pid = 0, port = 0;
    char line[256] = {};
    ASSERT_TRUE(out && std::fscanf(out, "%d\n", &pid) == 1 && std::fgets(line, sizeof line, out));
    ASSERT_TRUE(std::strstr(line, "port ") && (port = std::atoi(std::strstr(line, "port ") + 5)));
    WriteFileText(dir_.File("zeftnames.cfg"), "[TAVO]\nSELVEX=127.0.0.1:" + std::to_string(port));
    Write("[CameraSettings]\nCAMID=0x0A\n[SELVEX]\nContext=TAVO\nServerName=SELVEX\n",
          "[GlobalSettings]\nType=Other\n");
    Up();
    ::kill(pid, SIGTERM);
    ::pclose(out);
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
        poster_.PostMessage(WM_GRAB_START, 0, 0);
        Pump([&] { return poster_.Pending() == 0; });
        EXPECT_FALSE(dlg_->IsGrabbing());
        dlg_->ShutDownServer();
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
}

}  // namespace
