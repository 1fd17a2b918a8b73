#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "control/PropertyHandler.h"
#include "core/FramePipeline.h"

class CDialogModel;
class CIniFile;
class ILogSink;

// The camera settings twice, in effect and waiting for an apply, with the geometry of the
// opened camera and whether the last apply request was carried out; shows them in the
// window's "current" and "to be applied" fields. Main thread only.
class CCameraSettingsState {
  public:
    // What an apply compares to announce the changed properties.
    struct Snapshot {
        CameraSettings camera;
        int width = 0;
        int height = 0;
        int bitsPerPixel = 0;
    };

    explicit CCameraSettingsState(CDialogModel& model);

    // The stored settings become current and pending.
    void Load(const CIniFile& config);
    // Pending becomes current and is stored in `config` (when there is one); a failure to
    // store is logged.
    void MakePendingCurrent(CIniFile* config, ILogSink* log);
    Snapshot Take() const { return {current_, width_, height_, bitsPerPixel_}; }
    // The properties whose value differs from `before`, in the order clients hear of them.
    std::vector<CameraField> Changed(const Snapshot& before) const;

    const CameraSettings& Current() const { return current_; }
    // What the pipeline processes the next frame with.
    CFramePipeline::Settings FrameSettings(bool lossy) const {
        return {current_.scale, current_.orientation, current_.name, lossy};
    }
    CameraSettings& Pending() { return pending_; }
    void SetScale(double scale);
    // True when the current orientation is a quarter turn.
    bool Turns() const;

    // Geometry of the frames of the opened camera, before orientation.
    void SetGeometry(int width, int height, int bitsPerPixel);
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitsPerPixel() const { return bitsPerPixel_; }

    bool Applied() const { return applied_; }
    void SetApplied(bool applied) { applied_ = applied; }
    time_t ActiveSince() const { return activeSince_; }
    void SetActiveSince(time_t t) { activeSince_ = t; }

    void ShowCurrent();
    void ShowPending();

  private:
    CDialogModel& model_;
    CameraSettings current_;
    CameraSettings pending_;
    int width_ = 768;
    int height_ = 574;
    int bitsPerPixel_ = 8;
    bool applied_ = false;
    time_t activeSince_ = 0;
};
