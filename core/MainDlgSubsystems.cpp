// The main controller's subsystems: each set up, torn down and reported as the bring-up,
// the reconfiguration and the shutdown of MainDlg.cpp ask.
#include "base/LogSink.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/HardwareLookup.h"
#include "core/MainDlg.h"
#include "processing/Orientation.h"
#include "zeft/Srv.h"

int CMainDlg::InitializeGrabbing() {
    camera_.StopReopening();
    grabbing_ = false;
    settingsApplied_ = true;
    if (!QuerySelvex(*config_, current_.camId, programDir_))
        return 0;
    return OpenCamera(hosts_.app);
}

int CMainDlg::OpenCamera(ILogSink* log) {
    if (!camera_.Open(log))
        return 0;
    shownWidth_ = camera_.Width();
    shownHeight_ = camera_.Height();
    shownBitsPerPixel_ = camera_.BitsPerPixel();
    return 1;
}

void CMainDlg::OnCameraLost() {
    // A torn-down grabber's late message, or one already handled, changes nothing.
    CGrabber* grabber = camera_.Grabber();
    if (State() != ControllerState::kGrabbing || !grabber || !grabber->StreamFailed())
        return;
    camera_.BeginReopening();
}

void CMainDlg::TryReopenCamera() {
    const int width = camera_.Width(), height = camera_.Height();
    const CCameraSession::Reopen outcome = camera_.TryReopen();
    if (outcome == CCameraSession::Reopen::kNotReopening)
        return;
    // A device that opened shows its geometry, even when it then failed to start.
    shownWidth_ = camera_.Width();
    shownHeight_ = camera_.Height();
    shownBitsPerPixel_ = camera_.BitsPerPixel();
    if (outcome != CCameraSession::Reopen::kBack)
        return;
    if (camera_.Width() != width || camera_.Height() != height) {
        DeinitializeCompressionCodec();
        InitializeCompressionCodec();
        ShowCurrentSettings();
    }
    LogMessage(hosts_.app, "Camera is back: grabbing resumed.");
}

void CMainDlg::DeinitializeGrabbing() {
    camera_.Deinitialize();
}

int CMainDlg::InitializeCompressionCodec() {
    // The codecs see the frames after orientation: a quarter turn exchanges the sides.
    int w = camera_.Width(), h = camera_.Height();
    if (OrientationSwapsWidthHeight(current_.orientation))
        std::swap(w, h);
    return codecs_.InitializeCompressionCodec(w, h, camera_.BitsPerPixel(), jpegQuality_).Ok();
}

void CMainDlg::DeinitializeCompressionCodec() {
    codecs_.DeinitializeCompressionCodec();
}

int CMainDlg::InitializeNetwork() {
    const uint64_t frameBytes =
        uint64_t(camera_.Width()) * uint64_t(camera_.Height()) * camera_.BitsPerPixel() / 8;
    CIniFile hardware(programDir_);
    webDevice_ =
        hardware.Load(kHardwareFileName) ? ReadText(hardware, kDevicePathKey) : std::string();
    const int result = channels_.Start(::ReadNetworkSettings(*config_), frameEqpName_, frameBytes);
    PublishWebStatus(true);
    const bool lossy = channels_.LossyServing();
    model_.SetChecked(IDC_LOSSY_CHECK, lossy);
    model_.SetEnabled(IDC_LOSSY_ENABLED_TEXT, lossy);
    model_.SetEnabled(IDC_LOSSY_CLIENTS_TEXT, lossy);
    model_.SetEnabled(IDC_LOSSY_CLIENTS, lossy);
    return result;
}

void CMainDlg::StopNetwork() {
    LogMessage(hosts_.app, "Deinitializing network...");
    channels_.Stop();
}

void CMainDlg::DisableControl() {
    LogMessage(hosts_.app, "Deinitializing ZEFT control connections...");
    if (control_)
        control_->SetEnabled(false);
}
