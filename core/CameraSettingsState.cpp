#include "core/CameraSettingsState.h"

#include <cstdio>

#include "base/LogSink.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "core/DialogModel.h"
#include "processing/Orientation.h"

namespace {

std::string Fixed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

CameraSettings FromStored(const StoredCameraSettings& s) {
    return {s.name, s.camId, s.scale, s.orientation};
}

}  // namespace

CCameraSettingsState::CCameraSettingsState(CDialogModel& model)
    : model_(model), current_(FromStored({})), pending_(current_) {}

void CCameraSettingsState::Load(const CIniFile& config) {
    current_ = pending_ = FromStored(ReadCameraSettings(config));
}

void CCameraSettingsState::MakePendingCurrent(CIniFile* config, ILogSink* log) {
    current_ = pending_;
    if (config == nullptr)
        return;
    const StoredCameraSettings stored{current_.name, current_.scale, current_.orientation,
                                      current_.camId};
    if (!WriteCameraSettings(*config, stored) || !config->Save())
        LogMessage(log, "Error on saving settings to config file in UpdateCameraSettings.");
}

std::vector<CameraField> CCameraSettingsState::Changed(const Snapshot& before) const {
    const std::pair<CameraField, bool> fields[] = {
        {CameraField::kName, before.camera.name != current_.name},
        {CameraField::kCamId, before.camera.camId != current_.camId},
        {CameraField::kWidth, before.width != width_},
        {CameraField::kHeight, before.height != height_},
        {CameraField::kBitsPerPixel, before.bitsPerPixel != bitsPerPixel_},
        {CameraField::kScale, before.camera.scale != current_.scale},
        {CameraField::kOrientation, before.camera.orientation != current_.orientation},
    };
    std::vector<CameraField> changed;
    for (const auto& [field, differs] : fields)
        if (differs)
            changed.push_back(field);
    return changed;
}

void CCameraSettingsState::SetScale(double scale) {
    current_.scale = scale;
    ShowCurrent();
}

bool CCameraSettingsState::Turns() const {
    return OrientationSwapsWidthHeight(current_.orientation);
}

void CCameraSettingsState::SetGeometry(int width, int height, int bitsPerPixel) {
    width_ = width;
    height_ = height;
    bitsPerPixel_ = bitsPerPixel;
}

void CCameraSettingsState::ShowCurrent() {
    model_.SetText(IDC_CURRENT_NAME, current_.name);
    model_.SetText(IDC_CURRENT_ORIENTATION, current_.orientation);
    model_.SetText(IDC_CURRENT_CAMID, current_.camId);
    model_.SetText(IDC_CURRENT_SCALE, Fixed(current_.scale));
    model_.SetText(IDC_CURRENT_WIDTH, std::to_string(width_));
    model_.SetText(IDC_CURRENT_HEIGHT, std::to_string(height_));
    model_.SetText(IDC_CURRENT_BPP, std::to_string(bitsPerPixel_));
}

void CCameraSettingsState::ShowPending() {
    model_.SetText(IDC_PENDING_NAME, pending_.name);
    model_.SetText(IDC_PENDING_ORIENTATION, pending_.orientation);
    model_.SetText(IDC_PENDING_CAMID, pending_.camId);
    model_.SetText(IDC_PENDING_SCALE, Fixed(pending_.scale));
}
