#include "core/MainDlg.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/Messages.h"
#include "base/ProgramDir.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/HardwareLookup.h"
#include "core/PidFile.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

constexpr int kEnvironmentPeriodMs = 5000;
constexpr int kClientActivityMs = 2000;
const char* const kHeartbeat[4] = {"|", "\\", "--", "/"};

}  // namespace

CMainDlg::CMainDlg(Hosts hosts, std::string programDir, char switchLetter,
                   std::vector<ICaptureBackend*> backends)
    : hosts_(hosts),
      programDir_(std::move(programDir)),
      switch_(switchLetter),
      settings_(model_),
      bridge_({hosts.app, hosts.poster, [this] { return State() == ControllerState::kGrabbing; },
               [this] {
                   if (control_)
                       _SystemScheduleProperty(control_->ExportName().c_str(), "X_ROI");
               }}),
      channels_(hosts.poster, hosts.app, [this] { MarkControlClientActivity(); }),
      subsystems_({hosts.app, hosts.poster, hosts.timers, hosts.service}, programDir_,
                  std::move(backends), {[this] { OnFrameReady(); }, [this] { OnCameraLost(); }},
                  channels_, settings_),
      pipeline_(hosts.app) {
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_CLOSE, "Close");
    pipeline_.SetSinks([this](const uint8_t* m, uint32_t n) { channels_.DistributeLossless(m, n); },
                       [this](const uint8_t* m, uint32_t n) { channels_.DistributeLossy(m, n); });
    pipeline_.SetFrameSink([this](const FrameHeader& h, const uint8_t* pixels) {
        lastFrameNumber_ = h.frameNumber;
        lastFrameRate_ = h.frameRate;
        channels_.DistributeFrame(h.frameNumber, h.width, h.height, pixels);
        bridge_.Monitor().Submit(h.frameNumber, h.width, h.height, pixels,
                                 h.time + h.millitm / 1000.0);
    });
    channels_.SetStreamContext([this](StreamFrameInfo& f) {
        const SpotResults& s = pipeline_.Spot();
        f.orientation = settings_.Current().orientation;
        f.spot[0] = s.xm, f.spot[1] = s.ym, f.spot[2] = s.xrms, f.spot[3] = s.yrms;
        const std::string& beam = bridge_.StatusJson();
        f.beamJson = beam == "null" ? std::string() : beam;
    });
    channels_.SetWebLinks({hosts.poster, this, &bridge_});
    channels_.SetClientCountDisplays(
        [this](int n) { model_.SetText(IDC_LOSSLESS_CLIENTS, std::to_string(n)); },
        [this](int n) { model_.SetText(IDC_LOSSY_CLIENTS, std::to_string(n)); });
}

// A window destroyed without its shutdown (a failed start-up) still stops its threads:
// the camera and the channels do so themselves.
CMainDlg::~CMainDlg() = default;

bool CMainDlg::OnInitDialog() {
    state_ = ControllerState::kDown;
    model_.SetTitle("Lumerix2 Directshow");
    if (!WritePidFile(JoinPath(programDir_, kPidFileName), static_cast<unsigned long>(::getpid())))
        LogMessage(hosts_.app, "Temporary file (pid) could not be created/accessed.");

    subsystems_.Camera().ForgetGeometry();
    // The multiplexer's address is resolved beside the program, like every other file.
    ZeftSetNamesFile(programDir_);
    config_ = InitializeIniFile(programDir_, hosts_.app, ComputerName());
    if (!config_) {
        LogMessage(hosts_.app,
                   "Could not initialize config file. This is a severe error. Program must quit.");
        ShutDownServer();
        return false;
    }
    subsystems_.SetJpegQuality(ReadJpegQuality(*config_));
    settings_.Load(*config_);
    bridge_.Start(config_.get(), programDir_);

    settings_.SetActiveSince(serverStart_ = ::time(nullptr));
    pipeline_.ResetSpot();
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_HEARTBEAT, "");

    control_ = std::make_unique<CSrv>(hosts_.poster);
    properties_ = std::make_unique<CPropertyHandler>(*control_, *this, *this);
    control_->SetPropertyCallHandler(
        [this](const std::string& device, const std::string& property, int32_t, int32_t,
               int16_t access) { properties_->OnPropertyCall(device, property, access); });
    const bool up = subsystems_.BringUp(*config_, *control_,
                                        ReadNetworkSettings(*config_).zeftFrameEqpName, false);
    ShowNetwork();
    channels_.ShowClientCounts(true, channels_.LossyEnabled());
    settings_.ShowCurrent();
    Enter(up ? ControllerState::kStopped : ControllerState::kDown);
    // The delayed start keeps the loop running (and the window drawn) meanwhile.
    if (up && (switch_ == 'a' || switch_ == 'A'))
        hosts_.timers->SetTimer(IDT_AUTOSTART, kAutoStartDelayMs);

    hosts_.timers->SetTimer(IDT_ENVIRONMENT, kEnvironmentPeriodMs);
    hosts_.timers->SetTimer(IDT_HEALTH, kHealthPeriodMs);
    hosts_.timers->SetTimer(IDT_WRITE_TRAIL, kWriteTrailPeriodMs);
    hosts_.timers->SetTimer(IDT_STATUS, kStatusPeriodMs);
    controlClientActive_ = false;
    model_.SetText(IDC_ZEFT_CLIENTS, "0");
    if (hosts_.environment != nullptr)
        hosts_.environment->Start();
    ShowPendingSettings();
    PublishWebStatus(true);
    return true;
}

void CMainDlg::Enter(ControllerState state) {
    using S = ControllerState;
    state_ = state;
    model_.SetEnabled(IDC_START_GRABBING, state_ == S::kStopped);
    model_.SetEnabled(IDC_STOP_GRABBING, state_ == S::kGrabbing || state_ == S::kReopening);
    model_.SetEnabled(IDC_CONFIG, state_ == S::kStopped || state_ == S::kDown);
}

void CMainDlg::ShowNetwork() {
    bridge_.ReadDevice(programDir_);
    const bool lossy = channels_.LossyServing();
    model_.SetChecked(IDC_LOSSY_CHECK, lossy);
    model_.SetEnabled(IDC_LOSSY_ENABLED_TEXT, lossy);
    model_.SetEnabled(IDC_LOSSY_CLIENTS_TEXT, lossy);
    model_.SetEnabled(IDC_LOSSY_CLIENTS, lossy);
}

void CMainDlg::ShowFrameStatus() {
    if (pipeline_.LastFrameTime().time == 0 || lastFrameNumber_ == shownFrameNumber_)
        return;
    shownFrameNumber_ = lastFrameNumber_;
    char rate[40];
    std::snprintf(rate, sizeof rate, "%.1f", lastFrameRate_);
    model_.SetText(IDC_FRAMERATE, rate);
    model_.SetText(IDC_HEARTBEAT, kHeartbeat[lastFrameNumber_ % 4]);
    PublishWebStatus(true);  // the web, too, hears of frames at the display's rate
}

void CMainDlg::PublishWebStatus(bool event) {
    CWebServer& web = channels_.Web();
    if (!web.IsRunning())
        return;
    WebStatus s;
    const bool grabbing = state_ == ControllerState::kGrabbing;
    s.state = grabbing ? "grabbing" : state_ == ControllerState::kStopped ? "stopped" : "down";
    s.frame = lastFrameNumber_;
    s.fps = grabbing ? lastFrameRate_ : 0.0;
    s.zeftClients = controlClientActive_ ? 1 : 0;
    s.counters = Health();
    bridge_.Publish(web, *this, std::move(s), event);
}

void CMainDlg::OnCommand(int id) {
    using C = ControllerCommand;
    const std::pair<int, C> buttons[] = {
        {IDC_CLOSE, C::kQuit},
        {IDC_CONFIG, C::kConfigure},
        {IDC_START_GRABBING, C::kStart},
        {IDC_STOP_GRABBING, C::kStop},
    };
    for (const auto& [button, command] : buttons)
        if (button == id)
            Request(command);
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
            break;
        case IDT_HEALTH:
            LogMessage(hosts_.app, "%s", HealthText().c_str());
            break;
        case IDT_REOPEN:
            if (subsystems_.TryReopen() == CCameraSession::Reopen::kBack)
                Enter(ControllerState::kGrabbing);
            break;
        case IDT_STALL:
            if (state_ == ControllerState::kGrabbing && subsystems_.Camera().CheckStall())
                Enter(ControllerState::kReopening);
            break;
        case IDT_WRITE_TRAIL:
            subsystems_.Trail().Tick(CWriteTrail::NowMs());
            break;
        case IDT_STATUS:
            ShowFrameStatus();
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
    hosts_.timers->SetTimer(IDT_CLIENT_ACTIVITY, kClientActivityMs);  // restarts a running one
    model_.SetText(IDC_ZEFT_CLIENTS, ">= 1");
}

Outcome CMainDlg::Request(ControllerCommand command) {
    const StateRule& rule = Rule(state_, command);
    if (rule.code != Outcome::kAccepted)
        return {rule.code, rule.reason};
    const char* failed = "Grabbing could not be started.";
    switch (command) {
        case ControllerCommand::kStart:
            StartGrabbing();
            break;
        case ControllerCommand::kStop:
            StopGrabbing();
            failed = "Grabbing could not be stopped.";
            break;
        case ControllerCommand::kApplySettings:
            ApplyCameraSettings();
            break;
        case ControllerCommand::kQuit:
            ShutDownServer();
            break;
        case ControllerCommand::kConfigure:
            Configure();
            failed = "Not every subsystem came up.";
            break;
    }
    // A quit while the configuration dialog was open ends every command.
    if (state_ == rule.next || state_ == ControllerState::kShutDown)
        return {Outcome::kAccepted, ""};
    return {Outcome::kFailed, failed};
}

void CMainDlg::StartGrabbing() {
    // A camera lost while not grabbing, or while it was being opened again, is opened
    // anew first.
    CCameraSession& camera = subsystems_.Camera();
    if (camera.Grabber() && camera.Grabber()->StreamFailed())
        camera.Close();
    if (!camera.Grabber() && !subsystems_.OpenCamera(hosts_.app).Ok()) {
        camera.Close();
        LogMessage(hosts_.app, "Error while starting up grabbing.");
        return;
    }
    if (!camera.Grabber()->Start()) {
        LogMessage(hosts_.app, "Error while starting up grabbing.");
        return;
    }
    LogMessage(hosts_.app, "Grabbing started.");
    camera.StartWatch();
    Enter(ControllerState::kGrabbing);
    PublishWebStatus(true);
}

void CMainDlg::StopGrabbing() {
    CCameraSession& camera = subsystems_.Camera();
    camera.StopWatch();
    bool stopped = state_ == ControllerState::kReopening;
    if (stopped)
        camera.StopReopening();
    else if (CGrabber* grabber = camera.Grabber())
        stopped = grabber->Stop().Ok();
    LogMessage(hosts_.app, stopped ? "Grabbing stopped." : "Error while stopping grabbing.");
    Enter(stopped ? ControllerState::kStopped : state_);
    PublishWebStatus(true);
}

void CMainDlg::OnFrameReady() {
    CCameraSession& camera = subsystems_.Camera();
    camera.FrameReadyTaken();
    CCaptureQueue* queue = camera.Queue();
    if (!queue)
        return;
    // The JPEG is also made while a web viewer watches.
    const CFramePipeline::Settings settings =
        settings_.FrameSettings(channels_.LossyEnabled() || channels_.WebWantsJpeg());
    // The frames waiting now and no more, so a faster camera cannot hold the loop here.
    for (int n = std::max(1, queue->GetCount()); n > 0; --n) {
        if (!pipeline_.OnFrameReady(*queue, &subsystems_.Codecs(), settings))
            break;
    }
    camera.FrameReadyDone();
}

void CMainDlg::OnCameraLost() {
    // A torn-down grabber's late message, or one already handled, changes nothing.
    CGrabber* grabber = subsystems_.Camera().Grabber();
    if (state_ != ControllerState::kGrabbing || !grabber || !grabber->StreamFailed())
        return;
    subsystems_.Camera().BeginReopening();
    Enter(ControllerState::kReopening);
}

void CMainDlg::ApplyCameraSettings() {
    if (IsGrabbing())
        StopGrabbing();
    const CCameraSettingsState::Snapshot before = settings_.Take();
    settings_.MakePendingCurrent(config_.get(), hosts_.app);
    const CameraSettings& now = settings_.Current();
    if (before.camera.orientation != now.orientation || before.camera.camId != now.camId)
        bridge_.ResetStability();  // another beam: the window's statistics no longer hold
    const bool up = subsystems_.Reinitialize(*config_);
    Enter(up ? ControllerState::kStopped : ControllerState::kDown);
    settings_.SetActiveSince(::time(nullptr));
    settings_.ShowCurrent();
    settings_.ShowPending();
    // Clients watching a setting hear of it now, in this order, only when it changed.
    for (const CameraField field : settings_.Changed(before))
        if (control_)
            _SystemScheduleProperty(control_->ExportName().c_str(), ControlPropertyName(field));
    // Started again whatever the state before, when the update left everything up.
    Request(ControllerCommand::kStart);
    settings_.SetApplied(true);
}

void CMainDlg::Configure() {
    CIniFile hardware(programDir_);
    if (!config_ || !hardware.Load(kHardwareFileName)) {
        LogMessage(hosts_.app, "Hardware settings configuration file (\"%s\") could not be opened.",
                   kHardwareFileName);
        return;
    }
    // The frame channels keep the equipment name they started with until the next start.
    const std::string frameEqpName = ReadNetworkSettings(*config_).zeftFrameEqpName;
    subsystems_.TearDown(control_.get());
    Enter(ControllerState::kConfiguring);

    // A quit handled inside the dialog's loop lets go of config_; the dialog's OK still
    // writes to it.
    const std::shared_ptr<CIniFile> config = config_;
    if (hosts_.configDialog == nullptr || !hosts_.configDialog->Run(*config, hardware))
        LogMessage(hosts_.app, "Configdialog could not be created!");
    // A quit request handled while the dialog was open has torn everything down already.
    if (state_ == ControllerState::kShutDown)
        return;

    const bool up = subsystems_.BringUp(*config_, *control_, frameEqpName, true);
    ShowNetwork();
    settings_.ShowCurrent();
    Enter(up ? ControllerState::kStopped : ControllerState::kDown);
    PublishWebStatus(true);
}

void CMainDlg::AppendMessage(const std::string& line) {
    std::string box = model_.Text(IDC_MESSAGES);
    AppendMessageBoxLine(box, line);
    model_.SetText(IDC_MESSAGES, box);
}

void CMainDlg::ShutDownServer() {
    // Several routes may ask at once (a signal and the close box); the sequence runs once.
    if (state_ == ControllerState::kShutDown)
        return;
    state_ = ControllerState::kShutDown;
    if (hosts_.service != nullptr)
        hosts_.service->Stopping();
    subsystems_.DeinitializeGrabbing();
    bridge_.Stop();
    subsystems_.DeinitializeCodecs();
    subsystems_.DisableControl(control_.get());
    subsystems_.StopNetwork();
    if (config_) {
        config_->Save();
        config_.reset();
    }
    for (int timer : {IDT_ENVIRONMENT, IDT_CLIENT_ACTIVITY, IDT_AUTOSTART, IDT_HEALTH, IDT_REOPEN,
                      IDT_STALL, IDT_WRITE_TRAIL, IDT_STATUS})
        hosts_.timers->KillTimer(timer);
    subsystems_.ForgetAccess();
    if (hosts_.environment != nullptr)
        hosts_.environment->Stop();
    hosts_.dialog->EndDialog(IDOK);
}

std::string CMainDlg::ControlEquipmentName() const {
    return config_ ? config_->GetValue(kSectionDefault, kKeyZeftControlEqpName, "") : "";
}
