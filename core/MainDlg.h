#pragma once

#include <array>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/ControllerRequests.h"
#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "base/MessageQueue.h"
#include "base/StatusModel.h"
#include "capture/CaptureBackend.h"
#include "compression/CodecSet.h"
#include "control/FrameTransfer.h"
#include "control/PropertyHandler.h"
#include "core/CameraSession.h"
#include "core/CameraSettingsState.h"
#include "core/ControllerStates.h"
#include "core/DialogModel.h"
#include "core/FrameChannels.h"
#include "core/FramePipeline.h"
#include "core/HostInterfaces.h"
#include "core/Subsystems.h"
#include "core/WebBridge.h"

class CGrabber;
class CIniFile;
class CSrv;

// The server's main window controller: owns one object of every subsystem, brings them up
// in a fixed order, tears them down and up again around the configuration dialog, starts
// and stops grabbing, runs the timers and the status display, and runs the one shutdown
// sequence. Its state is one value; every command goes through Request and the state table
// of ControllerStates.cpp. The per-frame work is CFramePipeline's. Main thread only; other
// threads reach it by posting.
class CMainDlg : public IControllerState, public IControllerRequests {
  public:
    struct Hosts {
        ILogSink* app = nullptr;  // first argument of every LogMessage call
        IMessagePoster* poster = nullptr;
        ITimerHost* timers = nullptr;
        IDialogHost* dialog = nullptr;
        IConfigDialog* configDialog = nullptr;         // null: "Configdialog could not be created!"
        IEnvironmentPublisher* environment = nullptr;  // null: nothing is published
        IServiceNotifier* service = nullptr;           // null: no service manager is told
    };

    // Timer of the delayed start after switch a.
    static constexpr int IDT_AUTOSTART = 2244;
    static constexpr int kAutoStartDelayMs = 2000;
    // Timer of the health line in the log.
    static constexpr int IDT_HEALTH = 2245;
    static constexpr int kHealthPeriodMs = 60000;
    // Timer of the attempts to open a camera that went away while grabbing.
    static constexpr int IDT_REOPEN = CCameraSession::IDT_REOPEN;
    static constexpr int kReopenPeriodMs = CCameraSession::kReopenPeriodMs;
    static constexpr int IDT_STALL = CCameraSession::IDT_STALL;
    // Timer of the write trail's summary lines.
    static constexpr int IDT_WRITE_TRAIL = 2248;
    static constexpr int kWriteTrailPeriodMs = 1000;
    // Timer of the window's frame rate and heartbeat: a display rate, not the camera's.
    static constexpr int IDT_STATUS = 2249;
    static constexpr int kStatusPeriodMs = 100;

    CMainDlg(Hosts hosts, std::string programDir, char switchLetter,
             std::vector<ICaptureBackend*> backends = DefaultBackends());
    ~CMainDlg() override;
    CMainDlg(const CMainDlg&) = delete;
    CMainDlg& operator=(const CMainDlg&) = delete;

    CDialogModel& Model() { return model_; }

    // Bring-up when the window opens.
    bool OnInitDialog();
    // A button (control id) was pressed.
    void OnCommand(int id);
    void OnTimer(int id);
    // Escape and the window's close box.
    void OnCancel() { Request(ControllerCommand::kQuit); }

    // Appends one finished log line to the message box.
    void AppendMessage(const std::string& line);
    void ShutDownServer();
    bool IsShutDown() const { return state_ == ControllerState::kShutDown; }
    bool IsReopeningCamera() const { return state_ == ControllerState::kReopening; }

    // The state the property handler reads and changes.
    const CameraSettings& CurrentCamera() const override { return settings_.Current(); }
    int CurrentWidth() const override { return settings_.Width(); }
    int CurrentHeight() const override { return settings_.Height(); }
    int CurrentBitsPerPixel() const override { return settings_.BitsPerPixel(); }
    bool CurrentOrientationTurns() const override { return settings_.Turns(); }
    CameraSettings& PendingCamera() override { return settings_.Pending(); }
    void SetCurrentScale(double scale) override { settings_.SetScale(scale); }
    bool IsGrabbing() const override {
        return state_ == ControllerState::kGrabbing || state_ == ControllerState::kReopening;
    }
    bool SubsystemsUp() const override {
        return state_ == ControllerState::kStopped || IsGrabbing();
    }
    bool SettingsApplied() const override { return settings_.Applied(); }
    void SetSettingsApplied(bool applied) override { settings_.SetApplied(applied); }
    int64_t LastFrameSeconds() const override { return pipeline_.LastFrameTime().time; }
    int LastFrameMilliseconds() const override { return pipeline_.LastFrameTime().millitm; }
    time_t ServerStartTime() const override { return serverStart_; }
    time_t CameraActiveSince() const override { return settings_.ActiveSince(); }
    void Spot(float* xm, float* ym, float* xrms, float* yrms) const override {
        const SpotResults& s = pipeline_.Spot();
        *xm = s.xm, *ym = s.ym, *xrms = s.xrms, *yrms = s.yrms;
    }
    uint32_t CodecFourCC() const override { return subsystems_.Codecs().GetFourCC(); }
    std::string ControlEquipmentName() const override;
    std::string HealthText() const override { return RenderHealthLine(Health()); }
    std::array<double, kBeamValues> BeamValues() const override { return bridge_.BeamValues(); }
    std::array<double, kStabilityValues> StabilityValues() const override {
        return bridge_.StabilityValues();
    }
    std::array<int32_t, 4> BeamRegion() const override { return bridge_.BeamRegion(); }
    std::string SetBeamRegion(const std::array<int32_t, 4>& region) override {
        return bridge_.SetBeamRegion(region);
    }
    uint32_t DarkFrames() const override { return bridge_.DarkFrames(); }
    std::string RequestDarkFrame(uint32_t frames) override {
        return bridge_.RequestDarkFrame(frames);
    }
    void ShowPendingSettings() override { settings_.ShowPending(); }
    StatusCounters Health() const { return subsystems_.Health(pipeline_.GetCounters()); }
    // The web server's view of the state; `event` also tells the live pages.
    void PublishWebStatus(bool event);
    // One line for the service manager: grabbing, frame rate and clients of each channel.
    std::string ServiceStatusText() const {
        const bool framed = pipeline_.LastFrameTime().time != 0;
        return subsystems_.StatusText(state_, framed ? lastFrameRate_ : -1);
    }

    // The one way in for a command; see ControllerStates.cpp for what each state allows.
    Outcome Request(ControllerCommand command) override;
    Outcome Check(ControllerCommand command) const override {
        const StateRule& rule = Rule(state_, command);
        return {rule.code, rule.reason};
    }
    void Post(ControllerCommand command) override {
        hosts_.poster->PostTask([this, command] { Request(command); });
    }
    ControllerState State() const { return state_; }

    CFrameServer& LosslessServer() { return channels_.Lossless(); }
    CLossyFrameServer& LossyServer() { return channels_.Lossy(); }
    CGrabber* Grabber() const { return subsystems_.Camera().Grabber(); }

  private:
    // What Request carries out once the state table allowed it.
    void StartGrabbing();
    void StopGrabbing();
    void ApplyCameraSettings();
    void Configure();
    void OnFrameReady();
    // The camera went away while grabbing; it is opened again by the timer.
    void OnCameraLost();
    // A control-system client asked for a frame: the clients field shows ">= 1" for 2 s.
    void MarkControlClientActivity();
    // `state` becomes the controller's; the buttons show what it allows.
    void Enter(ControllerState state);
    // The frame channels' fields and the device path the web shows, after a bring-up.
    void ShowNetwork();
    // The frame rate and heartbeat of the newest frame, at the display's rate.
    void ShowFrameStatus();

    Hosts hosts_;
    std::string programDir_;
    char switch_;
    ControllerState state_ = ControllerState::kDown;
    CDialogModel model_;
    CCameraSettingsState settings_;

    // Shared with a running configuration dialog, which a quit must not pull it from under.
    std::shared_ptr<CIniFile> config_;
    // Before the channels: the web server's thread reads the beam until they stop.
    CWebBridge bridge_;
    CFrameChannels channels_;
    CSubsystems subsystems_;
    std::unique_ptr<CSrv> control_;
    std::unique_ptr<CPropertyHandler> properties_;
    CFramePipeline pipeline_;

    time_t serverStart_ = 0;
    uint32_t lastFrameNumber_ = 0;
    double lastFrameRate_ = 0;
    uint32_t shownFrameNumber_ = 0;  // of the window's heartbeat
    bool controlClientActive_ = false;
};
