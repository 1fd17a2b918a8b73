#include "core/WebBridge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/LogSink.h"
#include "base/ProgramDir.h"
#include "config/IniFile.h"
#include "config/Settings.h"

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

template <class Values>
std::string Array(const Values& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? "," : "") + Num(values[i]);
    return out + "]";
}

// The strongest line of `axis`: peaks come strongest first per axis.
const StabilityPeak* Strongest(const StabilityResult& s, char axis) {
    for (const StabilityPeak& p : s.peaks)
        if (p.axis == axis)
            return &p;
    return nullptr;
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
             ",\"y0\":" + std::to_string(b.area.y) + ",\"x\":" + Array(b.profileX) +
             ",\"y\":" + Array(b.profileY) + ",\"fit_x\":" + Fit(b.fitX) +
             ",\"fit_y\":" + Fit(b.fitY) + "}";
    return j + "}";
}

std::string RenderStabilityJson(const StabilityResult& s) {
    std::string j =
        "{\"frames\":" + std::to_string(s.frames) + ",\"seconds\":" + Num(s.seconds) +
        ",\"rate_hz\":" + Num(s.rateHz) + ",\"mean\":{\"x\":" + Num(s.mean.x) +
        ",\"y\":" + Num(s.mean.y) + "},\"std\":{\"x\":" + Num(s.std.x) + ",\"y\":" + Num(s.std.y) +
        "},\"delta\":{\"x\":" + Num(s.delta.x) + ",\"y\":" + Num(s.delta.y) +
        ",\"azimuth\":" + Num(s.delta.azimuth) +
        "},\"width_std\":{\"major\":" + Num(s.widthStd.major) +
        ",\"minor\":" + Num(s.widthStd.minor) + "},\"intensity_rsd\":" + Num(s.intensityRsd) +
        ",\"spectrum\":{\"f_hz\":" + Array(s.spectrum.f) + ",\"x\":" + Array(s.spectrum.x) +
        ",\"y\":" + Array(s.spectrum.y) + "},\"peaks\":[";
    for (size_t i = 0; i < s.peaks.size(); ++i) {
        const StabilityPeak& p = s.peaks[i];
        j += std::string(i ? "," : "") + "{\"axis\":\"" + p.axis +
             "\",\"f_hz\":" + Num(p.frequency) + ",\"amplitude\":" + Num(p.amplitude) + "}";
    }
    return j + "]}";
}

CWebBridge::CWebBridge(Hooks hooks)
    : hooks_(std::move(hooks)),
      beam_(std::make_shared<CBeamMonitor>(
          [poster = hooks_.poster, log = hooks_.log](const std::string& line) {
              if (poster != nullptr)
                  poster->PostTask([log, line] { LogMessage(log, "%s", line.c_str()); });
          })) {}

CWebBridge::~CWebBridge() = default;

void CWebBridge::Start(CIniFile* config, const std::string& programDir) {
    config_ = config;
    const AnalysisSettings a = config_ ? ReadAnalysisSettings(*config_) : AnalysisSettings{};
    BeamRoi roi{a.roiX, a.roiY, a.roiWidth, a.roiHeight};
    const std::string reason = CheckRoi(roi);
    if (!reason.empty()) {
        LogMessage(hooks_.log, "Analysis: region not used (%s); the whole frame is measured.",
                   reason.c_str());
        roi = {};
    }
    if (config_)
        WriteAnalysisSettings(*config_, a, true);
    beam_->SetStabilityFrames(uint32_t(std::max(0, a.stabilityFrames)));
    std::string error;
    if (!beam_->Start(JoinPath(programDir, kDarkFileName), roi, &error))
        LogMessage(hooks_.log, "Dark frame not loaded: %s", error.c_str());
}

void CWebBridge::Stop() {
    beam_->Stop();
    config_ = nullptr;
}

const std::string& CWebBridge::StatusJson() {
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

StatusGauges CWebBridge::Gauges() const {
    StatusGauges g;
    if (const std::shared_ptr<const BeamResult> b = beam_->Latest()) {
        g[kBeamValid] = b->valid ? 1.0 : 0.0;
        if (b->valid) {
            g[kBeamCentroidX] = b->centroidX;
            g[kBeamCentroidY] = b->centroidY;
            g[kBeamWidthMajor] = b->widthMajor;
            g[kBeamWidthMinor] = b->widthMinor;
            g[kBeamAngle] = b->angle;
        }
    }
    if (const std::shared_ptr<const StabilityResult> s = beam_->Stability()) {
        g[kStabilityDeltaX] = s->delta.x;
        g[kStabilityDeltaY] = s->delta.y;
        if (const StabilityPeak* p = Strongest(*s, 'x'))
            g[kStabilityLineXHz] = p->frequency, g[kStabilityLineXAmplitude] = p->amplitude;
        if (const StabilityPeak* p = Strongest(*s, 'y'))
            g[kStabilityLineYHz] = p->frequency, g[kStabilityLineYAmplitude] = p->amplitude;
    }
    return g;
}

std::array<double, 12> CWebBridge::BeamValues() const {
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

std::array<double, 10> CWebBridge::StabilityValues() const {
    const std::shared_ptr<const StabilityResult> s = beam_->Stability();
    if (!s)
        return {};
    std::array<double, 10> v = {double(s->frames), s->mean.x,  s->mean.y,
                                s->delta.x,        s->delta.y, s->delta.azimuth};
    if (const StabilityPeak* p = Strongest(*s, 'x'))
        v[6] = p->frequency, v[7] = p->amplitude;
    if (const StabilityPeak* p = Strongest(*s, 'y'))
        v[8] = p->frequency, v[9] = p->amplitude;
    return v;
}

std::array<int32_t, 4> CWebBridge::BeamRegion() const {
    const BeamRoi r = beam_->Roi();
    return {r.x, r.y, r.width, r.height};
}

std::string CWebBridge::SetBeamRegion(const std::array<int32_t, 4>& region) {
    const BeamRoi roi{region[0], region[1], region[2], region[3]};
    std::string reason = CheckRoi(roi);
    if (!reason.empty())
        return reason;
    beam_->SetRoi(roi);
    if (config_ && !(WriteAnalysisSettings(*config_, {roi.x, roi.y, roi.width, roi.height}) &&
                     config_->Save()))
        LogMessage(hooks_.log, "Error saving the region to %s.", kConfigFileName);
    if (hooks_.regionChanged)
        hooks_.regionChanged();
    return "";
}

std::string CWebBridge::RequestDarkFrame(uint32_t frames) {
    if (frames == 0) {
        beam_->ClearDark();
        return "";
    }
    if (frames > CBeamMonitor::kMaxDarkFrames)
        return "A dark frame takes 1 to 256 frames.";
    if (hooks_.grabbing && !hooks_.grabbing())
        return "Not grabbing.";
    beam_->CaptureDark(frames);
    return "";
}

std::string CWebBridge::BeamJson() const {
    const std::shared_ptr<const BeamResult> b = beam_->Latest();
    return b ? RenderBeamJson(*b, *beam_, true) : "";
}

std::string CWebBridge::DarkPgm() const {
    const std::shared_ptr<const ::DarkFrame> d = beam_->Dark();
    return d ? EncodeDarkFrame(*d) : std::string();
}

std::string CWebBridge::StabilityJson() const {
    // An empty window is an answer too: a page polling it sees no failed request.
    if (const std::shared_ptr<const StabilityResult> s = beam_->Stability())
        return RenderStabilityJson(*s);
    return R"({"frames":0,"seconds":0,"rate_hz":null,"mean":null,"std":null,"delta":null,)"
           R"("width_std":null,"intensity_rsd":null,"spectrum":{"f_hz":[],"x":[],"y":[]},)"
           R"("peaks":[]})";
}

CResult<> CWebBridge::SetRegion(const std::array<int32_t, 4>& region) {
    const std::string reason = SetBeamRegion(region);
    if (!reason.empty())
        return CError{400, reason};
    return Success();
}

CResult<> CWebBridge::DarkFrame(int frames) {
    if (frames != 0 && hooks_.grabbing && !hooks_.grabbing())
        return CError{409, "Not grabbing."};
    const std::string reason = RequestDarkFrame(frames < 0 ? CBeamMonitor::kDefaultDarkFrames
                                                           : static_cast<uint32_t>(frames));
    if (!reason.empty())
        return CError{400, reason};
    return Success();
}

void CWebBridge::ReadDevice(const std::string& programDir) {
    CIniFile hardware(programDir);
    device_ = hardware.Load(kHardwareFileName) ? ReadText(hardware, kDevicePathKey) : std::string();
}

void CWebBridge::Publish(CWebServer& web, const IControllerState& controller, WebStatus status,
                         bool event) {
    status.width = controller.CurrentWidth();
    status.height = controller.CurrentHeight();
    if (controller.CurrentOrientationTurns())
        std::swap(status.width, status.height);
    const CameraSettings& camera = controller.CurrentCamera();
    status.orientation = camera.orientation;
    status.scale = camera.scale;
    status.cameraName = camera.name;
    status.cameraId = camera.camId;
    float x = -1, y = 0, sx = 0, sy = 0;
    controller.Spot(&x, &y, &sx, &sy);
    status.hasSpot = x >= 0.0f;
    status.spotX = x, status.spotY = y, status.spotSx = sx, status.spotSy = sy;
    status.device = device_;
    status.beam = StatusJson();
    status.gauges = Gauges();
    web.PublishStatus(status, event);
}
