#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "analysis/BeamMonitor.h"
#include "base/StatusModel.h"
#include "control/PropertyHandler.h"
#include "web/WebServer.h"

class CIniFile;
class ILogSink;

// The beam as /api/beam (with the profiles) and /api/status (without) give it. Any thread.
std::string RenderBeamJson(const BeamResult& beam, const CBeamMonitor& monitor, bool profiles);
// The stability figures as /api/stability gives them. Any thread.
std::string RenderStabilityJson(const StabilityResult& s);

// The beam measurement between the main controller, the control system and the web server:
// it owns the beam monitor, keeps its region in the configuration and renders its results
// for every surface. Main thread, except where a method says otherwise.
class CWebBridge : public IWebBeam {
  public:
    struct Hooks {
        ILogSink* log = nullptr;
        IMessagePoster* poster = nullptr;     // the monitor's log lines reach the log through it
        std::function<bool()> grabbing;       // whether a dark frame can be captured now
        std::function<void()> regionChanged;  // after a region was taken and stored
    };
    explicit CWebBridge(Hooks hooks);
    ~CWebBridge() override;
    CWebBridge(const CWebBridge&) = delete;
    CWebBridge& operator=(const CWebBridge&) = delete;

    // Reads the region (writing its keys where missing) and starts the monitor with the dark
    // frame stored in `programDir`; `config` is kept until Stop.
    void Start(CIniFile* config, const std::string& programDir);
    void Stop();
    CBeamMonitor& Monitor() { return *beam_; }

    // The DevicePath of the hardware description beside the program, as the web shows it.
    void ReadDevice(const std::string& programDir);
    // Adds the camera, the spot, the device, the beam and its gauges to the controller's
    // `status` and hands it to `web`; `event` also tells the live pages.
    void Publish(CWebServer& web, const IControllerState& controller, WebStatus status, bool event);
    // The beam of the status, rendered again only when it changed.
    const std::string& StatusJson();
    // The beam and stability gauges of /metrics.
    StatusGauges Gauges() const;

    // The control system's view (see IControllerState).
    std::array<double, 12> BeamValues() const;
    std::array<double, 10> StabilityValues() const;
    std::array<int32_t, 4> BeamRegion() const;
    std::string SetBeamRegion(const std::array<int32_t, 4>& region);
    uint32_t DarkFrames() const { return beam_->DarkFrames(); }
    std::string RequestDarkFrame(uint32_t frames);

    // IWebBeam.
    std::string BeamJson() const override;
    std::string StabilityJson() const override;
    void ResetStability() override { beam_->ResetStability(); }
    CResult<> SetRegion(const std::array<int32_t, 4>& region) override;
    CResult<> DarkFrame(int frames) override;
    std::string DarkPgm() const override;

  private:
    Hooks hooks_;
    CIniFile* config_ = nullptr;
    // Shared with the web server's thread, which renders /api/beam from it.
    std::shared_ptr<CBeamMonitor> beam_;
    std::shared_ptr<const BeamResult> shownBeam_;
    uint32_t shownDark_ = 0;
    bool shownCapturing_ = false;
    std::string beamJson_ = "null";
    std::string device_;
};
