// The main controller's state as the property handler and the window see it: the camera
// settings in effect and pending, their display, applying them, the access rules, and the
// health counters.
#include <cstdio>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/Registration.h"
#include "core/MainDlg.h"
#include "processing/Orientation.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

void CMainDlg::ShowCurrentSettings() {
    model_.SetText(IDC_CURRENT_NAME, current_.name);
    model_.SetText(IDC_CURRENT_ORIENTATION, current_.orientation);
    model_.SetText(IDC_CURRENT_CAMID, current_.camId);
    model_.SetText(IDC_CURRENT_SCALE, Format("%f", current_.scale));
    model_.SetText(IDC_CURRENT_WIDTH, std::to_string(shownWidth_));
    model_.SetText(IDC_CURRENT_HEIGHT, std::to_string(shownHeight_));
    model_.SetText(IDC_CURRENT_BPP, std::to_string(shownBitsPerPixel_));
}

void CMainDlg::ShowPendingSettings() {
    model_.SetText(IDC_PENDING_NAME, pending_.name);
    model_.SetText(IDC_PENDING_ORIENTATION, pending_.orientation);
    model_.SetText(IDC_PENDING_CAMID, pending_.camId);
    model_.SetText(IDC_PENDING_SCALE, Format("%f", pending_.scale));
}

bool CMainDlg::CurrentOrientationTurns() const {
    return OrientationSwapsWidthHeight(current_.orientation);
}

void CMainDlg::SetCurrentScale(double scale) {
    current_.scale = scale;
    ShowCurrentSettings();
}

void CMainDlg::Spot(float* xm, float* ym, float* xrms, float* yrms) const {
    const SpotResults& s = pipeline_.Spot();
    *xm = s.xm;
    *ym = s.ym;
    *xrms = s.xrms;
    *yrms = s.yrms;
}

std::string CMainDlg::ControlEquipmentName() const {
    return config_ ? config_->GetValue(kSectionDefault, kKeyZeftControlEqpName, "") : "";
}

StatusCounters CMainDlg::Health() const {
    StatusCounters h;
    const CFramePipeline::Counters& p = pipeline_.GetCounters();
    h[kFramesProcessed] = p.processed;
    h[kCaptureDrops] = camera_.CaptureDrops();
    h[kCameraLost] = camera_.Losses();
    h[kCameraStalled] = camera_.Stalls();
    h[kPipelineDrains] = p.drained;
    h[kNoCodec] = p.withoutCodecs;
    h[kJpegFailed] = p.jpegFailed;
    const StatusId channels[][3] = {{kLosslessClients, kLosslessSent, kLosslessDropped},
                                    {kLossyClients, kLossySent, kLossyDropped},
                                    {kWebClients, kWebSent, kWebDropped}};
    const WebStatus::Channel stats[] = {channels_.LosslessStats(), channels_.LossyStats(),
                                        channels_.WebStats()};
    for (size_t i = 0; i < 3; ++i) {
        h[channels[i][0]] = uint64_t(stats[i].clients);
        h[channels[i][1]] = stats[i].sent;
        h[channels[i][2]] = stats[i].dropped;
    }
    const ZeftServerStats zeft = ZeftGetServerStats();
    h[kZeftCalls] = zeft.calls;
    h[kZeftRefused] = zeft.callsRefused;
    h[kAccessRefused] = channels_.AccessRefused();
    return h;
}

void CMainDlg::OnApplyCameraSettings() {
    if (shutDown_)
        return;
    if (grabbing_)
        OnStopGrabbing();
    UpdateCameraSettings();
    // Started again whatever the state before, when the update left everything up.
    Request(ControllerCommand::kStart);
    settingsApplied_ = true;
}

bool CMainDlg::UpdateCameraSettings() {
    const CameraSettings before = current_;
    const int width = shownWidth_, height = shownHeight_, bpp = shownBitsPerPixel_;
    current_.name = pending_.name;
    current_.camId = pending_.camId;
    current_.scale = pending_.scale;
    current_.orientation = pending_.orientation;
    if (before.orientation != current_.orientation || before.camId != current_.camId)
        bridge_.ResetStability();  // another beam: the window's statistics no longer hold
    if (config_) {
        const StoredCameraSettings stored{current_.name, current_.scale, current_.orientation,
                                          current_.camId};
        if (!WriteCameraSettings(*config_, stored) || !config_->Save())
            LogMessage(hosts_.app,
                       "Error on saving settings to config file in UpdateCameraSettings.");
    }
    DeinitializeCompressionCodec();
    DeinitializeGrabbing();
    const bool grabbingUp = InitializeGrabbing() == 1;
    if (grabbingUp)
        LogMessage(hosts_.app, "Successful reinitialized grabber card for new settings.");
    const bool codecsUp = InitializeCompressionCodec() == 1;
    if (codecsUp)
        LogMessage(hosts_.app, "Successful initialized compression codec for new settings.");
    subsystemsUp_ = grabbingUp && codecsUp;
    model_.SetEnabled(IDC_START_GRABBING, subsystemsUp_);
    model_.SetEnabled(IDC_STOP_GRABBING, false);
    cameraActiveSince_ = ::time(nullptr);
    ShowCurrentSettings();
    ShowPendingSettings();

    // Clients watching a setting hear of it now, in this order, only when it changed.
    const std::pair<CameraField, bool> changed[] = {
        {CameraField::kName, before.name != current_.name},
        {CameraField::kCamId, before.camId != current_.camId},
        {CameraField::kWidth, width != shownWidth_},
        {CameraField::kHeight, height != shownHeight_},
        {CameraField::kBitsPerPixel, bpp != shownBitsPerPixel_},
        {CameraField::kScale, before.scale != current_.scale},
        {CameraField::kOrientation, before.orientation != current_.orientation},
    };
    for (const auto& [field, differs] : changed) {
        if (differs && control_)
            _SystemScheduleProperty(control_->ExportName().c_str(), ControlPropertyName(field));
    }
    return true;
}

std::string CMainDlg::ServiceStatusText() const {
    std::string text = "Not grabbing";
    if (camera_.IsReopening()) {
        text = "Camera lost, opening it again";
    } else if (grabbing_ && pipeline_.LastFrameTime().time == 0) {
        text = "Grabbing";
    } else if (grabbing_) {
        char rate[40];
        std::snprintf(rate, sizeof rate, "%.1f", lastFrameRate_);
        text = std::string("Grabbing at ") + rate + " frames/s";
    }
    text +=
        "; lossless " + std::to_string(channels_.Lossless().GetClientCount()) + " clients, lossy ";
    text += channels_.LossyEnabled()
                ? std::to_string(channels_.Lossy().GetClientCount()) + " clients"
                : "off";
    return text;
}

void CMainDlg::ApplyAccessRules() {
    const AccessSettings access = ReadAccessSettings(*config_);
    auto parse = [this](const char* key, const std::string& text, const char* whoNot) {
        std::vector<std::string> malformed;
        CHostList list = CHostList::Parse(text, &malformed);
        for (const std::string& entry : malformed)
            LogMessage(hosts_.app, "Access: malformed entry \"%s\" in %s is ignored!",
                       entry.c_str(), key);
        if (list.AllowsNobody())
            LogMessage(hosts_.app, "Access: %s has no valid entry, so no host may %s!", key,
                       whoNot);
        return list;
    };
    controlHosts_ = parse(kKeyControlHosts, access.controlHosts, "write");
    viewHosts_ = parse(kKeyViewHosts, access.viewHosts, "connect");
    channels_.SetAccess(viewHosts_, controlHosts_, trail_);
    ZeftSetAccess({viewHosts_, controlHosts_, [trail = trail_](const ZeftWriteNote& note) {
                       trail->Record(FormatIPv4(note.peer), note.property, note.value, note.status,
                                     CWriteTrail::NowMs());
                   }});
}
