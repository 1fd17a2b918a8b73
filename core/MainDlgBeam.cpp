// The main controller's beam measurement: its region and dark frame as the configuration,
// the control system and the web server set them, and its results as they read them.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/ProgramDir.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "core/MainDlg.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

constexpr char kDarkFileName[] = "Lumerix2-dark.pgm";

std::string Num(double v) {
    if (!std::isfinite(v))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string Roi(const BeamRoi& r) {
    return "{\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
           ",\"width\":" + std::to_string(r.width) + ",\"height\":" + std::to_string(r.height) +
           "}";
}

std::string Fit(const GaussianFit& f) {
    if (!f.ok)
        return "null";
    return "{\"amplitude\":" + Num(f.amplitude) + ",\"centre\":" + Num(f.centre) +
           ",\"sigma\":" + Num(f.sigma) + ",\"offset\":" + Num(f.offset) + ",\"r2\":" + Num(f.r2) +
           "}";
}

std::string Profile(const std::vector<float>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? "," : "") + Num(values[i]);
    return out + "]";
}

}  // namespace

std::string RenderBeamJson(const BeamResult& b, const CBeamMonitor& monitor, bool profiles) {
    std::string j =
        "{\"frame\":" + std::to_string(b.frame) + ",\"valid\":" + (b.valid ? "true" : "false") +
        ",\"reason\":" + JsonString(b.reason ? b.reason : "") +
        ",\"background\":" + JsonString(BackgroundName(b.background)) +
        ",\"dark\":{\"frames\":" + std::to_string(monitor.DarkFrames()) +
        ",\"capturing\":" + (monitor.CapturingDark() ? "true" : "false") +
        "},\"skipped\":" + std::to_string(monitor.Skipped()) + ",\"roi\":" + Roi(b.roi) +
        ",\"centroid\":{\"x\":" + Num(b.centroidX) + ",\"y\":" + Num(b.centroidY) +
        "},\"sigma\":{\"x\":" + Num(b.sigmaX) + ",\"y\":" + Num(b.sigmaY) +
        ",\"xy\":" + Num(b.sigmaXY) + "},\"width\":{\"major\":" + Num(b.widthMajor) +
        ",\"minor\":" + Num(b.widthMinor) + "},\"angle\":" + Num(b.angle) +
        ",\"ellipticity\":" + Num(b.ellipticity) + ",\"peak\":{\"value\":" + Num(b.peakValue) +
        ",\"x\":" + std::to_string(b.peakX) + ",\"y\":" + std::to_string(b.peakY) +
        "},\"total\":" + Num(b.total) + ",\"saturated\":" + std::to_string(b.saturated);
    if (profiles)
        j += ",\"profiles\":{\"x0\":" + std::to_string(b.area.x) +
             ",\"y0\":" + std::to_string(b.area.y) + ",\"x\":" + Profile(b.profileX) +
             ",\"y\":" + Profile(b.profileY) + ",\"fit_x\":" + Fit(b.fitX) +
             ",\"fit_y\":" + Fit(b.fitY) + "}";
    return j + "}";
}

void CMainDlg::StartBeam() {
    const AnalysisSettings a = ReadAnalysisSettings(*config_);
    BeamRoi roi{a.roiX, a.roiY, a.roiWidth, a.roiHeight};
    const std::string reason = CheckRoi(roi);
    if (!reason.empty()) {
        LogMessage(hosts_.app, "Analysis: region not used (%s); the whole frame is measured.",
                   reason.c_str());
        roi = {};
    }
    WriteAnalysisSettings(*config_, a, true);
    beam_->SetStabilityFrames(uint32_t(std::max(0, a.stabilityFrames)));
    std::string error;
    if (!beam_->Start(JoinPath(programDir_, kDarkFileName), roi, &error))
        LogMessage(hosts_.app, "Dark frame not loaded: %s", error.c_str());
    channels_.Web().SetBeamSource([beam = beam_] {
        const std::shared_ptr<const BeamResult> b = beam->Latest();
        return b ? RenderBeamJson(*b, *beam, true) : "";
    });
    channels_.Web().SetDarkSource([beam = beam_] {
        const std::shared_ptr<const DarkFrame> d = beam->Dark();
        return d ? EncodeDarkFrame(*d) : std::string();
    });
}

std::string CMainDlg::BeamStatusJson() {
    std::shared_ptr<const BeamResult> latest = beam_->Latest();
    const uint32_t dark = beam_->DarkFrames();
    const bool capturing = beam_->CapturingDark();
    // Rendered once per result; holding the shown one keeps its address from being reused.
    if (latest != shownBeam_ || dark != shownDark_ || capturing != shownCapturing_) {
        shownBeam_ = latest;
        shownDark_ = dark;
        shownCapturing_ = capturing;
        beamJson_ = latest ? RenderBeamJson(*latest, *beam_, false) : "null";
    }
    return beamJson_;
}

std::array<double, IControllerState::kBeamValues> CMainDlg::BeamValues() const {
    const std::shared_ptr<const BeamResult> b = beam_->Latest();
    if (!b)
        return {};
    return {double(b->frame), b->valid ? 1.0 : 0.0,
            b->centroidX,     b->centroidY,
            b->sigmaX,        b->sigmaY,
            b->sigmaXY,       b->widthMajor,
            b->widthMinor,    b->angle,
            b->peakValue,     b->total};
}

std::array<int32_t, 4> CMainDlg::BeamRegion() const {
    const BeamRoi r = beam_->Roi();
    return {r.x, r.y, r.width, r.height};
}

std::string CMainDlg::SetBeamRegion(const std::array<int32_t, 4>& region) {
    const BeamRoi roi{region[0], region[1], region[2], region[3]};
    std::string reason = CheckRoi(roi);
    if (!reason.empty())
        return reason;
    beam_->SetRoi(roi);
    if (config_ && !(WriteAnalysisSettings(*config_, {roi.x, roi.y, roi.width, roi.height}) &&
                     config_->Save()))
        LogMessage(hosts_.app, "Error saving the region to %s.", kConfigFileName);
    if (control_)
        _SystemScheduleProperty(control_->ExportName().c_str(), "X_ROI");
    return "";
}

uint32_t CMainDlg::DarkFrames() const {
    return beam_->DarkFrames();
}

std::string CMainDlg::RequestDarkFrame(uint32_t frames) {
    if (frames == 0) {
        beam_->ClearDark();
        return "";
    }
    if (frames > CBeamMonitor::kMaxDarkFrames)
        return "A dark frame takes 1 to 256 frames.";
    if (State() != ControllerState::kGrabbing)
        return "Not grabbing.";
    beam_->CaptureDark(frames);
    return "";
}

void CMainDlg::OnBeamCommand(CWebServer::Command command, const CWebServer::CommandArgs& args,
                             const CWebServer::Reply& reply) {
    std::string reason;
    int status = 400;
    if (command == CWebServer::Command::kClearDark) {
        reason = RequestDarkFrame(0);
    } else if (command == CWebServer::Command::kCaptureDark) {
        const int frames = args.frames < 0 ? int(CBeamMonitor::kDefaultDarkFrames) : args.frames;
        if (frames < 1)
            reason = "A dark frame takes 1 to 256 frames.";
        else
            reason = RequestDarkFrame(uint32_t(frames));
        if (reason == "Not grabbing.")
            status = 409;
    } else {
        reason = SetBeamRegion({args.x, args.y, args.width, args.height});
    }
    reply(reason.empty() ? 204 : status, reason);
}
