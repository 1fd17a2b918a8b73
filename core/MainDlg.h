#pragma once

#include <array>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/ControllerRequests.h"
#include "base/HostList.h"
#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "base/MessageQueue.h"
#include "base/StatusModel.h"
#include "base/WriteTrail.h"
#include "capture/CaptureBackend.h"
#include "compression/CodecSet.h"
#include "control/FrameTransfer.h"
#include "control/PropertyHandler.h"
#include "core/CameraSession.h"
#include "core/ControllerStates.h"
#include "core/DialogModel.h"
#include "core/FrameChannels.h"
#include "core/FramePipeline.h"
#include "core/HostInterfaces.h"
#include "core/WebBridge.h"

class CGrabber;
class CIniFile;
class CSrv;
struct BringUpLines;

// The server's main window controller: owns one object of every subsystem, brings them up
// in a fixed order, tears them down and up again around the configuration dialog, starts
// and stops grabbing, runs the timers and the status display, and runs the one shutdown
// sequence. The per-frame work is CFramePipeline's. Main thread only; other threads reach
// it by posting.
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
    void OnCancel() { ShutDownServer(); }
    void OnConfig();
    void OnStartGrabbing();
    void OnStopGrabbing();
    void OnFrameReady();
    // The camera went away while grabbing; it is opened again by the timer.
    void OnCameraLost();
    bool IsReopeningCamera() const { return camera_.IsReopening(); }
    // Stop, make the pending settings current, start again.
    void OnApplyCameraSettings();
    bool UpdateCameraSettings();

    // Appends one finished log line to the message box.
    void AppendMessage(const std::string& line);
    void ShutDownServer();
    bool IsShutDown() const { return shutDown_; }

    // A control-system client asked for a frame: the clients field shows ">= 1" for 2 s.
    void MarkControlClientActivity();

    // Subsystem set-up and tear-down; each reports through the log as the callers say.
    int InitializeGrabbing();
    void DeinitializeGrabbing();
    int InitializeCompressionCodec();
    void DeinitializeCompressionCodec();
    int InitializeNetwork();
    void ShowCurrentSettings();
    void ShowPendingSettings() override;

    // The state the property handler reads and changes.
    const CameraSettings& CurrentCamera() const override { return current_; }
    int CurrentWidth() const override { return shownWidth_; }
    int CurrentHeight() const override { return shownHeight_; }
    int CurrentBitsPerPixel() const override { return shownBitsPerPixel_; }
    bool CurrentOrientationTurns() const override;
    CameraSettings& PendingCamera() override { return pending_; }
    void SetCurrentScale(double scale) override;
    bool IsGrabbing() const override { return grabbing_; }
    bool SubsystemsUp() const override { return subsystemsUp_; }
    bool SettingsApplied() const override { return settingsApplied_; }
    void SetSettingsApplied(bool applied) override { settingsApplied_ = applied; }
    int64_t LastFrameSeconds() const override { return pipeline_.LastFrameTime().time; }
    int LastFrameMilliseconds() const override { return pipeline_.LastFrameTime().millitm; }
    time_t ServerStartTime() const override { return serverStart_; }
    time_t CameraActiveSince() const override { return cameraActiveSince_; }
    void Spot(float* xm, float* ym, float* xrms, float* yrms) const override;
    uint32_t CodecFourCC() const override { return codecs_.GetFourCC(); }
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
    StatusCounters Health() const;
    // The web server's view of the state; `event` also tells the live pages.
    void PublishWebStatus(bool event);
    // One line for the service manager: grabbing, frame rate and clients of each channel.
    std::string ServiceStatusText() const;

    // The one way in for a command; see ControllerStates.cpp for what each state allows.
    Outcome Request(ControllerCommand command) override;
    Outcome Check(ControllerCommand command) const override;
    void Post(ControllerCommand command) override;
    ControllerState State() const;

    CFrameServer& LosslessServer() { return channels_.Lossless(); }
    CLossyFrameServer& LossyServer() { return channels_.Lossy(); }
    CGrabber* Grabber() const { return camera_.Grabber(); }

  private:
    // Grabbing, codecs, control system and network in this order, each with its line; true
    // when every one came up.
    bool BringUp(const BringUpLines& lines);
    void SetButtons(bool start, bool stop, bool config);
    void StopNetwork();
    void DisableControl();
    // The camera's geometry becomes the window's.
    int OpenCamera(ILogSink* log);
    void TryReopenCamera();
    // Reads the Access section and puts its lists in force for the control system and
    // the frame channels; malformed entries are logged.
    void ApplyAccessRules();

    Hosts hosts_;
    std::string programDir_;
    char switch_;
    CDialogModel model_;

    std::unique_ptr<CIniFile> config_;
    // Before the channels: the web server's thread reads the beam until they stop.
    CWebBridge bridge_;
    CCameraSession camera_;
    CCodecSet codecs_;
    CFrameChannels channels_;
    std::unique_ptr<CSrv> control_;
    std::unique_ptr<CPropertyHandler> properties_;
    CFramePipeline pipeline_;

    CameraSettings current_;
    CameraSettings pending_;
    int shownWidth_ = 768;  // what the window shows as current
    int shownHeight_ = 574;
    int shownBitsPerPixel_ = 8;
    int jpegQuality_ = 30;
    std::string frameEqpName_;
    time_t serverStart_ = 0;
    time_t cameraActiveSince_ = 0;
    CHostList controlHosts_;
    CHostList viewHosts_;
    // Shared with the control system's network thread, which records into it.
    std::shared_ptr<CWriteTrail> trail_;
    uint32_t lastFrameNumber_ = 0;
    double lastFrameRate_ = 0;

    bool activityTimer_ = false;
    bool controlClientActive_ = false;
    bool grabbing_ = false;  // stays set while a lost camera is being opened again
    bool settingsApplied_ = false;
    bool subsystemsUp_ = false;
    bool shutDown_ = false;
};
