#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/Result.h"
#include "base/StatusModel.h"
#include "capture/CaptureBackend.h"
#include "compression/CodecSet.h"
#include "core/CameraSession.h"
#include "core/ControllerStates.h"
#include "core/FramePipeline.h"

class CCameraSettingsState;
class CFrameChannels;
class CIniFile;
class CSrv;
class CWriteTrail;
class IServiceNotifier;

// The controller's subsystems, each set up, torn down and reported as the bring-up, the
// reconfiguration, an apply and the shutdown ask: the camera, the codecs, the control
// system's registration and access rules, and the frame channels. Main thread only.
class CSubsystems {
  public:
    struct Hosts {
        ILogSink* log = nullptr;
        IMessagePoster* poster = nullptr;
        ITimerHost* timers = nullptr;
        IServiceNotifier* service = nullptr;  // null: no service manager is told
    };

    CSubsystems(Hosts hosts, std::string programDir, std::vector<ICaptureBackend*> backends,
                CCameraSession::Hooks hooks, CFrameChannels& channels,
                CCameraSettingsState& settings);
    ~CSubsystems();
    CSubsystems(const CSubsystems&) = delete;
    CSubsystems& operator=(const CSubsystems&) = delete;

    // Grabbing, codecs, control system and network in this order, each with its line (those
    // of a reconfiguration when `again`); true when every one came up.
    bool BringUp(CIniFile& config, CSrv& control, const std::string& frameEqpName, bool again);
    // Grabbing and codecs again for new camera settings, each with its line; true when both
    // came up.
    bool Reinitialize(const CIniFile& config);
    // Opens the camera the stored description names; its geometry becomes current.
    CResult<> OpenCamera(ILogSink* log);
    // One try of a lost camera; kBack once it streams again ("Camera is back" logged).
    CCameraSession::Reopen TryReopen();

    void DeinitializeGrabbing() { camera_.Deinitialize(); }
    void DeinitializeCodecs() { codecs_.DeinitializeCompressionCodec(); }
    void StopNetwork();
    void DisableControl(CSrv* control);
    // Before the configuration dialog: network, control system, codecs and grabbing.
    void TearDown(CSrv* control);
    // The rules and the trail belong to the controller; the control system outlives it.
    void ForgetAccess();

    void SetJpegQuality(int quality) { jpegQuality_ = quality; }
    CCameraSession& Camera() { return camera_; }
    const CCameraSession& Camera() const { return camera_; }
    CCodecSet& Codecs() { return codecs_; }
    const CCodecSet& Codecs() const { return codecs_; }
    CWriteTrail& Trail() { return *trail_; }
    // Every counter of the status model, as of now.
    StatusCounters Health(const CFramePipeline::Counters& pipeline) const;
    // The service manager's status line: grabbing at `frameRate` (negative before the first
    // frame), and the clients of each channel.
    std::string StatusText(ControllerState state, double frameRate) const;

  private:
    bool InitializeGrabbing(const CIniFile& config);
    // The codecs for the camera's geometry after orientation; the error says why not.
    CResult<> InitializeCodecs();
    // Reads the Access section and puts its lists in force for the control system and the
    // frame channels; malformed entries are logged.
    void ApplyAccessRules(const CIniFile& config);

    Hosts hosts_;
    std::string programDir_;
    CFrameChannels& channels_;
    CCameraSettingsState& settings_;
    CCameraSession camera_;
    CCodecSet codecs_;
    // Shared with the control system's network thread, which records into it.
    std::shared_ptr<CWriteTrail> trail_;
    int jpegQuality_ = 30;
};
