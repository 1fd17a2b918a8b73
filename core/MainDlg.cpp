#include "core/MainDlg.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/Messages.h"
#include "base/ProgramDir.h"
#include "capture/AravisBackend.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/HardwareLookup.h"
#include "control/Registration.h"
#include "core/PidFile.h"
#include "processing/Orientation.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

constexpr int kEnvironmentPeriodMs = 5000;
constexpr int kClientActivityMs = 2000;

std::string FormatInt(int value) {
    return std::to_string(value);
}

}  // namespace

// What a bring-up says of each step: grabbing, codecs, control system, network.
struct BringUpLines {
    const char* ok[4];
    const char* failed[4];
};

namespace {

constexpr BringUpLines kStartUpLines{
    {"Successful initialized grabbing subsystem.", "Successful initialized compression codec.",
     "Successful initialized ZEFT.", "Successful initialized network subsystem."},
    {"Could not initialize grabbing subsystem!", "Could not initialize compression codec.",
     "Could not initialize ZEFT control connections!", "Could not initialize network subsystem!"}};
constexpr BringUpLines kReconfigureLines{
    {"Successful reinitialized grabbing subsystem.", "Successful reinitialized compression codec.",
     "Successful reinitialized ZEFT. ", "Successful reinitialized networking subsystem."},
    {"Could not reinitialize grabbing subsystem!", "Could not reinitialize compression codec!",
     "Could not reinitialize ZEFT !", "Could not reinitialize networking subsystem!"}};

}  // namespace

CMainDlg::CMainDlg(Hosts hosts, std::string programDir, char switchLetter,
                   std::vector<ICaptureBackend*> backends)
    : hosts_(hosts),
      programDir_(std::move(programDir)),
      switch_(switchLetter),
      bridge_({hosts.app, hosts.poster, [this] { return State() == ControllerState::kGrabbing; },
               [this] {
                   if (control_)
                       _SystemScheduleProperty(control_->ExportName().c_str(), "X_ROI");
               }}),
      camera_(hosts.app, hosts.poster, hosts.timers, programDir_, std::move(backends),
              {[this] { OnFrameReady(); }, [this] { OnCameraLost(); }}),
      codecs_(hosts.app),
      channels_(hosts.poster, hosts.app, [this] { MarkControlClientActivity(); }),
      pipeline_(hosts.app, &model_) {
    // Writes are recorded on other threads; the lines reach the log on this one.
    trail_ =
        std::make_shared<CWriteTrail>([poster = hosts.poster, log = hosts.app](std::string line) {
            if (poster != nullptr)
                poster->PostTask(
                    [log, line = std::move(line)] { LogMessage(log, "%s", line.c_str()); });
        });
    StoredCameraSettings placeholders;
    current_ = {placeholders.name, placeholders.camId, placeholders.scale,
                placeholders.orientation};
    pending_ = current_;
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_CLOSE, "Close");
    model_.SetVisible(IDC_SPOTDATA, false);
    pipeline_.SetSinks([this](const uint8_t* m, uint32_t n) { channels_.DistributeLossless(m, n); },
                       [this](const uint8_t* m, uint32_t n) { channels_.DistributeLossy(m, n); });
    pipeline_.SetFrameSink([this](const FrameHeader& h, const uint8_t* pixels) {
        lastFrameNumber_ = h.frameNumber;
        lastFrameRate_ = h.frameRate;
        channels_.DistributeFrame(h.frameNumber, h.width, h.height, pixels);
        bridge_.Monitor().Submit(h.frameNumber, h.width, h.height, pixels,
                                 h.time + h.millitm / 1000.0);
    });
    channels_.SetWebLinks({hosts.poster, this, &bridge_});
    channels_.SetClientCountDisplays(
        [this](int n) { model_.SetText(IDC_LOSSLESS_CLIENTS, FormatInt(n)); },
        [this](int n) { model_.SetText(IDC_LOSSY_CLIENTS, FormatInt(n)); });
}

// A window destroyed without its shutdown (a failed start-up) still stops its threads:
// the camera and the channels do so themselves.
CMainDlg::~CMainDlg() = default;

bool CMainDlg::OnInitDialog() {
    subsystemsUp_ = false;
    model_.SetTitle("Lumerix2 Directshow");
    if (!WritePidFile(JoinPath(programDir_, kPidFileName), static_cast<unsigned long>(::getpid())))
        LogMessage(hosts_.app, "Temporary file (pid) could not be created/accessed.");

    camera_.ForgetGeometry();
    // The multiplexer's address is resolved beside the program, like every other file.
    ZeftSetNamesFile(programDir_);
    config_ = InitializeIniFile(programDir_, hosts_.app, ComputerName());
    if (!config_) {
        LogMessage(hosts_.app,
                   "Could not initialize config file. This is a severe error. Program must quit.");
        ShutDownServer();
        return false;
    }
    jpegQuality_ = ReadJpegQuality(*config_);
    StoredCameraSettings camera = ReadCameraSettings(*config_);
    current_ = {camera.name, camera.camId, camera.scale, camera.orientation};
    bridge_.Start(config_.get(), programDir_);

    cameraActiveSince_ = serverStart_ = ::time(nullptr);
    pipeline_.ResetSpot();
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_HEARTBEAT, "");

    control_ = std::make_unique<CSrv>(hosts_.poster);
    properties_ = std::make_unique<CPropertyHandler>(*control_, *this, *this);
    control_->SetPropertyCallHandler(
        [this](const std::string& device, const std::string& property, int32_t, int32_t,
               int16_t access) { properties_->OnPropertyCall(device, property, access); });
    frameEqpName_ = ::ReadNetworkSettings(*config_).zeftFrameEqpName;
    const bool failed = !BringUp(kStartUpLines);
    channels_.ShowClientCounts(true, channels_.LossyEnabled());
    ShowCurrentSettings();

    if (!failed) {
        subsystemsUp_ = true;
        SetButtons(true, false, true);
        // The delayed start keeps the loop running (and the window drawn) meanwhile.
        if (switch_ == 'a' || switch_ == 'A')
            hosts_.timers->SetTimer(IDT_AUTOSTART, kAutoStartDelayMs);
    } else {
        SetButtons(false, false, true);
    }

    hosts_.timers->SetTimer(IDT_ENVIRONMENT, kEnvironmentPeriodMs);
    hosts_.timers->SetTimer(IDT_HEALTH, kHealthPeriodMs);
    hosts_.timers->SetTimer(IDT_WRITE_TRAIL, kWriteTrailPeriodMs);
    controlClientActive_ = false;
    model_.SetText(IDC_ZEFT_CLIENTS, "0");
    if (hosts_.environment != nullptr)
        hosts_.environment->Start();
    pending_ = current_;
    ShowPendingSettings();
    PublishWebStatus(true);
    return true;
}

bool CMainDlg::BringUp(const BringUpLines& lines) {
    // A failed step does not stop the others; only the result records it.
    const GenicamSettings genicam = ReadGenicamSettings(*config_);
    SetGenicamInterfaces({genicam.gigEVision, genicam.usb3Vision, genicam.fakeCamera});
    AddAccessAndWatchdogKeys(*config_);
    camera_.SetStallSeconds(ReadStallSeconds(*config_));
    ApplyAccessRules();
    bool allUp = true;
    auto step = [&](int i, bool ok) {
        LogMessage(hosts_.app, "%s", ok ? lines.ok[i] : lines.failed[i]);
        allUp = allUp && ok;
    };
    step(0, InitializeGrabbing() == 1);
    const bool codecsUp = InitializeCompressionCodec() == 1;
    step(1, codecsUp);
    if (!codecsUp)
        LogMessage(hosts_.app, "Codec set-up failed: %s", codecs_.FailureReason().c_str());
    step(2, InitializeControlSystem(*config_, *control_, hosts_.app) == 1);
    const bool networkUp = InitializeNetwork() == 1;
    step(3, networkUp);
    if (networkUp && hosts_.service != nullptr)
        hosts_.service->Ready();
    return allUp;
}

void CMainDlg::SetButtons(bool start, bool stop, bool config) {
    model_.SetEnabled(IDC_START_GRABBING, start);
    model_.SetEnabled(IDC_STOP_GRABBING, stop);
    model_.SetEnabled(IDC_CONFIG, config);
}

void CMainDlg::OnCommand(int id) {
    if (shutDown_)
        return;
    switch (id) {
        case IDC_CLOSE:
            Request(ControllerCommand::kQuit);
            break;
        case IDC_CONFIG:
            if (model_.IsEnabled(IDC_CONFIG))
                OnConfig();
            break;
        case IDC_START_GRABBING:
            Request(ControllerCommand::kStart);
            break;
        case IDC_STOP_GRABBING:
            Request(ControllerCommand::kStop);
            break;
        default:
            break;
    }
}

void CMainDlg::OnTimer(int id) {
    switch (id) {
        case IDT_ENVIRONMENT:
            if (hosts_.environment != nullptr)
                hosts_.environment->Request();
            PublishWebStatus(true);
            break;
        case IDT_CLIENT_ACTIVITY:
            controlClientActive_ = false;
            model_.SetText(IDC_ZEFT_CLIENTS, "0");
            hosts_.timers->KillTimer(IDT_CLIENT_ACTIVITY);
            activityTimer_ = false;
            break;
        case IDT_HEALTH:
            LogMessage(hosts_.app, "%s", HealthText().c_str());
            break;
        case IDT_REOPEN:
            TryReopenCamera();
            break;
        case IDT_STALL:
            if (!shutDown_ && grabbing_)
                camera_.CheckStall();
            break;
        case IDT_WRITE_TRAIL:
            trail_->Tick(CWriteTrail::NowMs());
            break;
        case IDT_AUTOSTART:
            hosts_.timers->KillTimer(IDT_AUTOSTART);
            Request(ControllerCommand::kStart);
            break;
        default:
            break;
    }
}

void CMainDlg::MarkControlClientActivity() {
    controlClientActive_ = true;
    if (activityTimer_)
        hosts_.timers->KillTimer(IDT_CLIENT_ACTIVITY);
    hosts_.timers->SetTimer(IDT_CLIENT_ACTIVITY, kClientActivityMs);
    activityTimer_ = true;
    model_.SetText(IDC_ZEFT_CLIENTS, ">= 1");
}

void CMainDlg::OnStartGrabbing() {
    // A camera lost while not grabbing, or while it was being opened again, is opened
    // anew first.
    if (camera_.Grabber() && camera_.Grabber()->StreamFailed())
        camera_.Close();
    if (!camera_.Grabber() && subsystemsUp_ && !shutDown_ && !OpenCamera(hosts_.app)) {
        camera_.Close();
        LogMessage(hosts_.app, "Error while starting up grabbing.");
        return;
    }
    CGrabber* grabber = camera_.Grabber();
    if (!grabber)
        return;
    if (grabber->Start()) {
        LogMessage(hosts_.app, "Grabbing started.");
        grabbing_ = true;
        camera_.StartWatch();
        SetButtons(false, true, false);
        PublishWebStatus(true);
    } else {
        LogMessage(hosts_.app, "Error while starting up grabbing.");
    }
}

void CMainDlg::OnStopGrabbing() {
    model_.SetEnabled(IDC_CLOSE, false);
    camera_.StopWatch();
    if (camera_.IsReopening()) {
        camera_.StopReopening();
        LogMessage(hosts_.app, "Grabbing stopped.");
        grabbing_ = false;
        model_.SetEnabled(IDC_START_GRABBING, true);
        model_.SetEnabled(IDC_STOP_GRABBING, false);
    } else if (CGrabber* grabber = camera_.Grabber()) {
        if (grabber->Stop()) {
            LogMessage(hosts_.app, "Grabbing stopped.");
            grabbing_ = false;
            model_.SetEnabled(IDC_START_GRABBING, true);
            model_.SetEnabled(IDC_STOP_GRABBING, false);
        } else {
            LogMessage(hosts_.app, "Error while stopping grabbing.");
        }
    }
    model_.SetEnabled(IDC_CLOSE, true);
    model_.SetEnabled(IDC_CONFIG, true);
    PublishWebStatus(true);
}

void CMainDlg::OnFrameReady() {
    camera_.FrameReadyTaken();
    CCaptureQueue* queue = camera_.Queue();
    if (!queue)
        return;
    CFramePipeline::Settings settings;
    settings.scale = current_.scale;
    settings.orientation = current_.orientation;
    settings.cameraName = current_.name;
    // The JPEG is also made while a web viewer watches.
    settings.lossyEnabled = channels_.LossyEnabled() || channels_.WebWantsJpeg();
    // The frames waiting now and no more, so a faster camera cannot hold the loop here.
    for (int n = std::max(1, queue->GetCount()); n > 0; --n) {
        if (!pipeline_.OnFrameReady(*queue, &codecs_, settings))
            break;
        if (channels_.Web().StatusDue())
            PublishWebStatus(true);
    }
    camera_.FrameReadyDone();
}

void CMainDlg::OnConfig() {
    CIniFile hardware(programDir_);
    const std::string frameEqpName =
        config_ ? ::ReadNetworkSettings(*config_).zeftFrameEqpName : std::string();
    if (!config_ || !hardware.Load(kHardwareFileName)) {
        LogMessage(hosts_.app, "Hardware settings configuration file (\"%s\") could not be opened.",
                   kHardwareFileName);
        return;
    }
    StopNetwork();
    DisableControl();
    DeinitializeCompressionCodec();
    DeinitializeGrabbing();
    SetButtons(true, false, true);

    if (hosts_.configDialog == nullptr || !hosts_.configDialog->Run(*config_, hardware))
        LogMessage(hosts_.app, "Configdialog could not be created!");
    // A quit request handled while the dialog was open has torn everything down already.
    if (shutDown_)
        return;

    frameEqpName_ = frameEqpName;
    const bool failed = !BringUp(kReconfigureLines);
    ShowCurrentSettings();
    subsystemsUp_ = !failed;
    model_.SetEnabled(IDC_START_GRABBING, !failed);
    model_.SetEnabled(IDC_STOP_GRABBING, false);
    PublishWebStatus(true);
}

void CMainDlg::AppendMessage(const std::string& line) {
    std::string box = model_.Text(IDC_MESSAGES);
    AppendMessageBoxLine(box, line);
    model_.SetText(IDC_MESSAGES, box);
}

void CMainDlg::ShutDownServer() {
    // Several routes may ask at once (a signal and the close box); the sequence runs once.
    if (shutDown_)
        return;
    shutDown_ = true;
    if (hosts_.service != nullptr)
        hosts_.service->Stopping();
    DeinitializeGrabbing();
    bridge_.Stop();
    DeinitializeCompressionCodec();
    DisableControl();
    StopNetwork();
    if (config_) {
        config_->Save();
        config_.reset();
    }
    for (int timer : {IDT_ENVIRONMENT, IDT_CLIENT_ACTIVITY, IDT_AUTOSTART, IDT_HEALTH, IDT_REOPEN,
                      IDT_STALL, IDT_WRITE_TRAIL})
        hosts_.timers->KillTimer(timer);
    // The rules and the trail belong to this window; the control system outlives it.
    ZeftSetAccess({});
    activityTimer_ = false;
    if (hosts_.environment != nullptr)
        hosts_.environment->Stop();
    hosts_.dialog->EndDialog(IDOK);
}
