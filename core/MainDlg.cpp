#include "core/MainDlg.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/Messages.h"
#include "base/ProgramDir.h"
#include "base/ReplaceFile.h"
#include "capture/AravisBackend.h"
#include "capture/Grabber.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/Registration.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"
#include "control/zeft/ZeftClient.h"
#include "core/PidFile.h"
#include "processing/Orientation.h"

namespace {

constexpr int kEnvironmentPeriodMs = 5000;
constexpr int kClientActivityMs = 2000;

constexpr char kHardwareFileName[] = "curhardware.cfg";
constexpr char kHardwareSection[] = "GlobalSettings";
constexpr char kHardwareType[] = "DirectShow";  // the marker of every stored description

// The multiplexer query.
constexpr char kSelvexAddressFormat[] = "/%s/%s/MPServer";
constexpr char kSelvexProperty[] = "GetConfigforID";
constexpr uint32_t kSelvexReplyChars = 8192;
constexpr size_t kCamIdBufferBytes = 92;  // camera ids are at most 91 characters
constexpr int16_t kSelvexAccess = 3;
constexpr int32_t kSelvexTimeoutMs = 1100;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatInt(int value) {
    return std::to_string(value);
}

}  // namespace

// What a bring-up says of each step: grabbing, codecs, control system, network.
struct BringUpLines {
    const char* ok[4];
    const char* failed[4];
};

namespace {

constexpr BringUpLines kStartUpLines{
    {"Successful initialized grabbing subsystem.", "Successful initialized compression codec.",
     "Successful initialized ZEFT.", "Successful initialized network subsystem."},
    {"Could not initialize grabbing subsystem!", "Could not initialize compression codec.",
     "Could not initialize ZEFT control connections!", "Could not initialize network subsystem!"}};
constexpr BringUpLines kReconfigureLines{
    {"Successful reinitialized grabbing subsystem.", "Successful reinitialized compression codec.",
     "Successful reinitialized ZEFT. ", "Successful reinitialized networking subsystem."},
    {"Could not reinitialize grabbing subsystem!", "Could not reinitialize compression codec!",
     "Could not reinitialize ZEFT !", "Could not reinitialize networking subsystem!"}};

}  // namespace

CMainDlg::CMainDlg(Hosts hosts, std::string programDir, char switchLetter,
                   std::vector<ICaptureBackend*> backends)
    : hosts_(hosts),
      programDir_(std::move(programDir)),
      switch_(switchLetter),
      backends_(std::move(backends)),
      codecs_(hosts.app),
      lossless_(hosts.poster, hosts.app),
      lossy_(hosts.poster, hosts.app),
      pipeline_(hosts.app, &model_) {
    StoredCameraSettings placeholders;
    current_ = {placeholders.name, placeholders.camId, placeholders.scale,
                placeholders.orientation};
    pending_ = current_;
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_CLOSE, "Close");
    model_.SetVisible(IDC_SPOTDATA, false);
    pipeline_.SetSinks([this](const uint8_t* m, uint32_t n) { lossless_.Distribute(m, n); },
                       [this](const uint8_t* m, uint32_t n) { lossy_.Distribute(m, n); });
    // Every lossless message also goes to the control system's frame transfer.
    lossless_.SetMessageSink([this](const uint8_t* m, uint32_t n) {
        if (transfer_)
            transfer_->SendFrame(m, n);
    });
    lossless_.SetClientCountDisplay(
        [this](int n) { model_.SetText(IDC_LOSSLESS_CLIENTS, FormatInt(n)); });
    lossy_.SetClientCountDisplay(
        [this](int n) { model_.SetText(IDC_LOSSY_CLIENTS, FormatInt(n)); });
}

CMainDlg::~CMainDlg() {
    // A window destroyed without its shutdown (a failed start-up) still stops its threads.
    if (grabber_)
        grabber_->Deinit();
    lossless_.Stop();
    lossy_.Stop();
}

bool CMainDlg::OnInitDialog() {
    subsystemsUp_ = false;
    model_.SetTitle("Lumerix2 Directshow");
    if (!WritePidFile(JoinPath(programDir_, kPidFileName), static_cast<unsigned long>(::getpid())))
        LogMessage(hosts_.app, "Temporary file (pid) could not be created/accessed.");

    width_ = height_ = 0;
    // The multiplexer's address is resolved beside the program, like every other file.
    ZeftSetNamesFile(programDir_);
    config_ = InitializeIniFile(programDir_, hosts_.app, ComputerName());
    if (!config_) {
        LogMessage(hosts_.app,
                   "Could not initialize config file. This is a severe error. Program must quit.");
        ShutDownServer();
        return false;
    }
    jpegQuality_ = ReadJpegQuality(*config_);
    StoredCameraSettings camera = ReadCameraSettings(*config_);
    current_ = {camera.name, camera.camId, camera.scale, camera.orientation};

    cameraActiveSince_ = serverStart_ = ::time(nullptr);
    pipeline_.ResetSpot();
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_HEARTBEAT, "");

    control_ = std::make_unique<CSrv>(hosts_.poster);
    properties_ = std::make_unique<CPropertyHandler>(*control_, *this);
    control_->SetPropertyCallHandler(
        [this](const std::string& device, const std::string& property, int32_t, int32_t,
               int16_t access) { properties_->OnPropertyCall(device, property, access); });
    frameEqpName_ = ::ReadNetworkSettings(*config_).zeftFrameEqpName;
    const bool failed = !BringUp(kStartUpLines);
    lossless_.SetShowClientCount(1);
    if (lossyEnabled_)
        lossy_.SetShowClientCount(1);
    ShowCurrentSettings();

    if (!failed) {
        subsystemsUp_ = true;
        SetButtons(true, false, true);
        // The delayed start keeps the loop running (and the window drawn) meanwhile.
        if (switch_ == 'a' || switch_ == 'A')
            hosts_.timers->SetTimer(IDT_AUTOSTART, kAutoStartDelayMs);
    } else {
        SetButtons(false, false, true);
    }

    hosts_.timers->SetTimer(IDT_ENVIRONMENT, kEnvironmentPeriodMs);
    environmentTimer_ = true;
    hosts_.timers->SetTimer(IDT_HEALTH, kHealthPeriodMs);
    controlClientActive_ = false;
    model_.SetText(IDC_ZEFT_CLIENTS, "0");
    if (hosts_.environment != nullptr)
        hosts_.environment->Start();
    pending_ = current_;
    ShowPendingSettings();
    return true;
}

bool CMainDlg::BringUp(const BringUpLines& lines) {
    // A failed step does not stop the others; only the result records it.
    const GenicamSettings genicam = ReadGenicamSettings(*config_);
    SetGenicamInterfaces({genicam.gigEVision, genicam.usb3Vision, genicam.fakeCamera});
    bool allUp = true;
    auto step = [&](int i, bool ok) {
        LogMessage(hosts_.app, "%s", ok ? lines.ok[i] : lines.failed[i]);
        allUp = allUp && ok;
    };
    step(0, InitializeGrabbing() == 1);
    step(1, InitializeCompressionCodec() == 1);
    step(2, InitializeControlSystem(*config_, *control_, hosts_.app) == 1);
    ReadNetworkSettings();
    const bool networkUp = InitializeNetwork() == 1;
    step(3, networkUp);
    if (networkUp && hosts_.service != nullptr)
        hosts_.service->Ready();
    return allUp;
}

void CMainDlg::ReadNetworkSettings() {
    NetworkSettings net = ::ReadNetworkSettings(*config_);
    listenPort_ = net.listenPort;
    maxClients_ = net.maxClients;
    listenPortLossy_ = net.listenPortLossy;
    maxClientsLossy_ = net.maxClientsLossy;
    lossyEnabledValue_ = net.lossyEnabledValue;
    lossyEnabled_ = net.LossyEnabled();
}

bool CMainDlg::QuerySelvex() {
    SelvexSettings selvex = ReadSelvexSettings(*config_);
    std::string address(512, '\0');
    int n = std::snprintf(address.data(), address.size(), kSelvexAddressFormat,
                          selvex.context.c_str(), selvex.serverName.c_str());
    address.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), address.size() - 1));
    char camId[kCamIdBufferBytes] = {};
    std::strncpy(camId, current_.camId.c_str(), sizeof camId - 1);

    std::vector<char> reply(kSelvexReplyChars + 1, '\0');  // one zero always stays behind
    ZeftData request;
    request.data = camId;
    request.format = kZeftFormatChar;
    request.count = static_cast<uint32_t>(std::strlen(camId));
    request.capacity = request.count;
    ZeftData answer;
    answer.data = reply.data();
    answer.format = kZeftFormatChar;
    answer.capacity = kSelvexReplyChars;
    if (ExecLinkEx(address.c_str(), kSelvexProperty, &answer, &request, kSelvexAccess,
                   kSelvexTimeoutMs) != 0)
        return selvex.mandatory == 0 ? true : false;
    const size_t length = std::min<size_t>(answer.count, kSelvexReplyChars);
    // A crash mid-write must not leave half a description for the next start.
    return ReplaceFileAtomically(JoinPath(programDir_, kHardwareFileName),
                                 std::string_view(reply.data(), length));
}

int CMainDlg::InitializeGrabbing() {
    StopReopening();
    grabbing_ = false;
    settingsApplied_ = true;
    if (!QuerySelvex())
        return 0;
    return OpenCamera(hosts_.app);
}

int CMainDlg::OpenCamera(ILogSink* log) {
    queue_ = std::make_unique<CCaptureQueue>();
    grabber_ = std::make_unique<CGrabber>(log, hosts_.poster, backends_);

    CIniFile hardware(programDir_);
    if (!hardware.Load(kHardwareFileName)) {
        LogMessage(log, "FATAL: Hardware settings configuration file (\"%s\") could not be opened.",
                   kHardwareFileName);
        return 0;
    }
    if (hardware.GetValue(kHardwareSection, "Type", "") != kHardwareType) {
        LogMessage(log,
                   "FATAL: Hardware settings configuration file (\"%s\") contains improper type.",
                   kHardwareFileName);
        return 0;
    }
    const double limit = hardware.GetDouble(kHardwareSection, "LimitFramerate", -1.0);
    const int mode = hardware.GetInt(kHardwareSection, "DeviceVideoMode", 0);
    const std::string device = hardware.GetValue(kHardwareSection, "DevicePath", "");
    if (!grabber_->Init(device, mode, limit, queue_.get())) {
        LogMessage(log, "Grabbing Subsystem Init() error.");
        return 0;
    }
    grabber_->SetLog(hosts_.app);
    width_ = shownWidth_ = grabber_->GetWidth();
    height_ = shownHeight_ = grabber_->GetHeight();
    bitsPerPixel_ = shownBitsPerPixel_ = grabber_->GetBitsPerPixel();
    return 1;
}

void CMainDlg::CloseCamera() {
    if (grabber_) {
        captureDropsBefore_ += grabber_->DroppedCount();  // Deinit deletes filter and device
        grabber_->Deinit();
        grabber_.reset();
    }
    queue_.reset();
}

void CMainDlg::OnCameraLost() {
    // A torn-down grabber's late message, or one already handled, changes nothing.
    if (shutDown_ || !grabbing_ || reopening_ || !grabber_ || !grabber_->StreamFailed())
        return;
    ++cameraLosses_;
    LogMessage(hosts_.app, "Camera lost (%s). Trying to open it again every %d s.",
               grabber_->DeviceErrorText().c_str(), kReopenPeriodMs / 1000);
    CloseCamera();
    reopening_ = true;
    hosts_.timers->SetTimer(IDT_REOPEN, kReopenPeriodMs);
}

void CMainDlg::TryReopenCamera() {
    if (!reopening_) {
        hosts_.timers->KillTimer(IDT_REOPEN);
        return;
    }
    const int width = width_, height = height_;
    // Each try is quiet: a camera away for hours must not fill the log.
    if (!OpenCamera(nullptr) || !grabber_->Start()) {
        CloseCamera();
        return;
    }
    StopReopening();
    if (width_ != width || height_ != height) {
        DeinitializeCompressionCodec();
        InitializeCompressionCodec();
        ShowCurrentSettings();
    }
    LogMessage(hosts_.app, "Camera is back: grabbing resumed.");
}

void CMainDlg::StopReopening() {
    if (reopening_)
        hosts_.timers->KillTimer(IDT_REOPEN);
    reopening_ = false;
}

void CMainDlg::DeinitializeGrabbing() {
    StopReopening();
    if (grabber_) {
        if (grabber_->IsRunning()) {
            LogMessage(hosts_.app, "Shutting down grabbing.");
            grabber_->Stop();
        }
        LogMessage(hosts_.app, "Deinitializing grabbing subsystem...");
    }
    CloseCamera();
}

int CMainDlg::InitializeCompressionCodec() {
    // The codecs see the frames after orientation: a quarter turn exchanges the sides.
    int w = width_, h = height_;
    if (OrientationSwapsWidthHeight(current_.orientation))
        std::swap(w, h);
    return codecs_.InitializeCompressionCodec(w, h, bitsPerPixel_, jpegQuality_);
}

void CMainDlg::DeinitializeCompressionCodec() {
    codecs_.DeinitializeCompressionCodec();
}

int CMainDlg::InitializeNetwork() {
    int result = 1;
    if (!lossless_.Start(static_cast<uint16_t>(listenPort_), maxClients_)) {
        result = 0;
    } else {
        // The channel serves its frames to control-system clients too; without that it
        // still serves its sockets.
        transfer_ = std::make_unique<CFrameTransfer>(hosts_.poster, hosts_.app,
                                                     [this] { MarkControlClientActivity(); });
        const uint64_t frameBytes = uint64_t(width_) * uint64_t(height_) * bitsPerPixel_ / 8;
        if (!transfer_->StartTransfer(frameEqpName_, static_cast<uint32_t>(frameBytes))) {
            transfer_->StopTransfer();
            transfer_.reset();
        }
    }
    model_.SetChecked(IDC_LOSSY_CHECK, false);
    model_.SetEnabled(IDC_LOSSY_ENABLED_TEXT, false);
    model_.SetEnabled(IDC_LOSSY_CLIENTS_TEXT, false);
    model_.SetEnabled(IDC_LOSSY_CLIENTS, false);
    if (lossyEnabledValue_ == 1) {
        if (!lossy_.Start(static_cast<uint16_t>(listenPortLossy_), maxClientsLossy_)) {
            result = 0;
        } else {
            model_.SetChecked(IDC_LOSSY_CHECK, true);
            model_.SetEnabled(IDC_LOSSY_ENABLED_TEXT, true);
            model_.SetEnabled(IDC_LOSSY_CLIENTS_TEXT, true);
            model_.SetEnabled(IDC_LOSSY_CLIENTS, true);
        }
    }
    return result;
}

void CMainDlg::StopNetwork() {
    LogMessage(hosts_.app, "Deinitializing network...");
    lossless_.Stop();
    transfer_.reset();
    if (lossyEnabled_)
        lossy_.Stop();
}

void CMainDlg::DisableControl() {
    LogMessage(hosts_.app, "Deinitializing ZEFT control connections...");
    if (control_)
        control_->SetEnabled(false);
}

void CMainDlg::ShowCurrentSettings() {
    model_.SetText(IDC_CURRENT_NAME, current_.name);
    model_.SetText(IDC_CURRENT_ORIENTATION, current_.orientation);
    model_.SetText(IDC_CURRENT_CAMID, current_.camId);
    model_.SetText(IDC_CURRENT_SCALE, Format("%f", current_.scale));
    model_.SetText(IDC_CURRENT_WIDTH, FormatInt(shownWidth_));
    model_.SetText(IDC_CURRENT_HEIGHT, FormatInt(shownHeight_));
    model_.SetText(IDC_CURRENT_BPP, FormatInt(shownBitsPerPixel_));
}

void CMainDlg::ShowPendingSettings() {
    model_.SetText(IDC_PENDING_NAME, pending_.name);
    model_.SetText(IDC_PENDING_ORIENTATION, pending_.orientation);
    model_.SetText(IDC_PENDING_CAMID, pending_.camId);
    model_.SetText(IDC_PENDING_SCALE, Format("%f", pending_.scale));
}

void CMainDlg::SetButtons(bool start, bool stop, bool config) {
    model_.SetEnabled(IDC_START_GRABBING, start);
    model_.SetEnabled(IDC_STOP_GRABBING, stop);
    model_.SetEnabled(IDC_CONFIG, config);
}

void CMainDlg::OnMessage(const PostedMessage& msg) {
    switch (msg.id) {
        case WM_CLIENTGONE:
            if (msg.wParam == CHANNEL_LOSSLESS)
                lossless_.RemoveClient(msg.lParam);
            else if (msg.wParam == CHANNEL_LOSSY)
                lossy_.RemoveClient(msg.lParam);
            break;
        case WM_SERVER_QUIT:
            ShutDownServer();
            break;
        case WM_GRAB_START:
            if (!grabbing_ && subsystemsUp_)
                OnStartGrabbing();
            break;
        case WM_GRAB_STOP:
            if (grabbing_)
                OnStopGrabbing();
            break;
        case WM_GRAB_FAILED:
            OnCameraLost();
            break;
        case WM_APPLY_CAMERA_SETTINGS:
            OnApplyCameraSettings();
            break;
        case WM_COMMAND:
            if (msg.wParam == ID_FRAME_READY)
                OnFrameReady();
            else
                OnCommand(static_cast<int>(msg.wParam));
            break;
        default:
            break;
    }
}

void CMainDlg::OnCommand(int id) {
    if (shutDown_)
        return;
    switch (id) {
        case IDC_CLOSE:
            ShutDownServer();
            break;
        case IDC_CONFIG:
            if (model_.IsEnabled(IDC_CONFIG))
                OnConfig();
            break;
        case IDC_START_GRABBING:
            if (model_.IsEnabled(IDC_START_GRABBING))
                OnStartGrabbing();
            break;
        case IDC_STOP_GRABBING:
            if (model_.IsEnabled(IDC_STOP_GRABBING))
                OnStopGrabbing();
            break;
        default:
            break;
    }
}

void CMainDlg::OnTimer(int id) {
    switch (id) {
        case IDT_ENVIRONMENT:
            if (hosts_.environment != nullptr)
                hosts_.environment->Request();
            break;
        case IDT_CLIENT_ACTIVITY:
            controlClientActive_ = false;
            model_.SetText(IDC_ZEFT_CLIENTS, "0");
            hosts_.timers->KillTimer(IDT_CLIENT_ACTIVITY);
            activityTimer_ = false;
            break;
        case IDT_HEALTH:
            LogMessage(hosts_.app, "%s", HealthText().c_str());
            break;
        case IDT_REOPEN:
            TryReopenCamera();
            break;
        case IDT_AUTOSTART:
            hosts_.timers->KillTimer(IDT_AUTOSTART);
            if (!shutDown_ && !grabbing_ && subsystemsUp_)
                OnStartGrabbing();
            break;
        default:
            break;
    }
}

void CMainDlg::MarkControlClientActivity() {
    controlClientActive_ = true;
    if (activityTimer_)
        hosts_.timers->KillTimer(IDT_CLIENT_ACTIVITY);
    hosts_.timers->SetTimer(IDT_CLIENT_ACTIVITY, kClientActivityMs);
    activityTimer_ = true;
    model_.SetText(IDC_ZEFT_CLIENTS, ">= 1");
}

void CMainDlg::OnStartGrabbing() {
    // A camera lost while not grabbing, or while it was being opened again, is opened
    // anew first.
    if (grabber_ && grabber_->StreamFailed())
        CloseCamera();
    if (!grabber_ && subsystemsUp_ && !shutDown_ && !OpenCamera(hosts_.app)) {
        CloseCamera();
        LogMessage(hosts_.app, "Error while starting up grabbing.");
        return;
    }
    if (!grabber_)
        return;
    if (grabber_->Start()) {
        LogMessage(hosts_.app, "Grabbing started.");
        grabbing_ = true;
        SetButtons(false, true, false);
    } else {
        LogMessage(hosts_.app, "Error while starting up grabbing.");
    }
}

void CMainDlg::OnStopGrabbing() {
    model_.SetEnabled(IDC_CLOSE, false);
    if (reopening_) {
        StopReopening();
        LogMessage(hosts_.app, "Grabbing stopped.");
        grabbing_ = false;
        model_.SetEnabled(IDC_START_GRABBING, true);
        model_.SetEnabled(IDC_STOP_GRABBING, false);
    } else if (grabber_) {
        if (grabber_->Stop()) {
            LogMessage(hosts_.app, "Grabbing stopped.");
            grabbing_ = false;
            model_.SetEnabled(IDC_START_GRABBING, true);
            model_.SetEnabled(IDC_STOP_GRABBING, false);
        } else {
            LogMessage(hosts_.app, "Error while stopping grabbing.");
        }
    }
    model_.SetEnabled(IDC_CLOSE, true);
    model_.SetEnabled(IDC_CONFIG, true);
}

void CMainDlg::OnFrameReady() {
    if (!queue_)
        return;
    CFramePipeline::Settings settings;
    settings.scale = current_.scale;
    settings.orientation = current_.orientation;
    settings.cameraName = current_.name;
    settings.lossyEnabled = lossyEnabled_;
    pipeline_.OnFrameReady(*queue_, &codecs_, settings);
}

void CMainDlg::OnConfig() {
    CIniFile hardware(programDir_);
    const std::string frameEqpName =
        config_ ? ::ReadNetworkSettings(*config_).zeftFrameEqpName : std::string();
    if (!config_ || !hardware.Load(kHardwareFileName)) {
        LogMessage(hosts_.app, "Hardware settings configuration file (\"%s\") could not be opened.",
                   kHardwareFileName);
        return;
    }
    StopNetwork();
    DisableControl();
    DeinitializeCompressionCodec();
    DeinitializeGrabbing();
    SetButtons(true, false, true);

    if (hosts_.configDialog == nullptr || !hosts_.configDialog->Run(*config_, hardware))
        LogMessage(hosts_.app, "Configdialog could not be created!");
    // A quit request handled while the dialog was open has torn everything down already.
    if (shutDown_)
        return;

    frameEqpName_ = frameEqpName;
    const bool failed = !BringUp(kReconfigureLines);
    ShowCurrentSettings();
    subsystemsUp_ = !failed;
    model_.SetEnabled(IDC_START_GRABBING, !failed);
    model_.SetEnabled(IDC_STOP_GRABBING, false);
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

std::string CMainDlg::HealthText() const {
    uint64_t captureDrops = captureDropsBefore_;
    if (grabber_)
        captureDrops += grabber_->DroppedCount();
    struct Channel {
        int clients = 0;
        unsigned long long sent = 0, dropped = 0;
    };
    // Departed clients take their counts with them: the sums cover those connected now.
    auto channel = [](const CFrameServerBase& server) {
        Channel c;
        for (const CFrameServerBase::SessionStats& s : server.GetSessionStats()) {
            ++c.clients;
            c.sent += s.sent;
            c.dropped += s.dropped;
        }
        return c;
    };
    const Channel lossless = channel(lossless_);
    const Channel lossy = channel(lossy_);
    const CFramePipeline::Counters& p = pipeline_.GetCounters();
    const ZeftServerStats zeft = ZeftGetServerStats();
    using ull = unsigned long long;
    return FormatLogText(
        "Health: frames %llu processed, capture drops %llu, camera lost %llu, "
        "pipeline drains %llu, no codec %llu, jpeg failed %llu; "
        "lossless %d clients, %llu sent, %llu dropped; "
        "lossy %d clients, %llu sent, %llu dropped; zeft %llu calls, %llu refused",
        ull(p.processed), ull(captureDrops), ull(cameraLosses_), ull(p.drained),
        ull(p.withoutCodecs), ull(p.jpegFailed), lossless.clients, lossless.sent, lossless.dropped,
        lossy.clients, lossy.sent, lossy.dropped, ull(zeft.calls), ull(zeft.callsRefused));
}

std::string CMainDlg::ServiceStatusText() const {
    const std::string rate = model_.Text(IDC_FRAMERATE);
    std::string text = "Not grabbing";
    if (reopening_)
        text = "Camera lost, opening it again";
    else if (grabbing_)
        text = rate.empty() ? "Grabbing" : "Grabbing at " + rate + " frames/s";
    text += "; lossless " + FormatInt(lossless_.GetClientCount()) + " clients, lossy ";
    text += lossyEnabled_ ? FormatInt(lossy_.GetClientCount()) + " clients" : "off";
    return text;
}

void CMainDlg::PostRequest(uint32_t message) {
    hosts_.poster->PostMessage(message, 0, 0);
}

void CMainDlg::OnApplyCameraSettings() {
    if (shutDown_)
        return;
    if (grabbing_)
        OnStopGrabbing();
    UpdateCameraSettings();
    // Started again whatever the state before and whatever the update's outcome.
    OnStartGrabbing();
    settingsApplied_ = true;
}

bool CMainDlg::UpdateCameraSettings() {
    const CameraSettings before = current_;
    const int width = shownWidth_, height = shownHeight_, bpp = shownBitsPerPixel_;
    current_.name = pending_.name;
    current_.camId = pending_.camId;
    current_.scale = pending_.scale;
    current_.orientation = pending_.orientation;
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
    const std::pair<const char*, bool> changed[] = {
        {"C_CAMNAME", before.name != current_.name},
        {"C_CAMID", before.camId != current_.camId},
        {"C_WIDTH", width != shownWidth_},
        {"C_HEIGHT", height != shownHeight_},
        {"C_BPP", bpp != shownBitsPerPixel_},
        {"C_SCALE", before.scale != current_.scale},
        {"C_ORIENTATION", before.orientation != current_.orientation},
    };
    for (const auto& [property, differs] : changed) {
        if (differs && control_)
            _SystemScheduleProperty(control_->ExportName().c_str(), property);
    }
    return true;
}

void CMainDlg::AppendMessage(const std::string& line) {
    std::string box = model_.Text(IDC_MESSAGES);
    AppendMessageBoxLine(box, line);
    model_.SetText(IDC_MESSAGES, box);
}

void CMainDlg::ShutDownServer() {
    // Several routes may ask at once (a signal and the close box); the sequence runs once.
    if (shutDown_)
        return;
    shutDown_ = true;
    if (hosts_.service != nullptr)
        hosts_.service->Stopping();
    DeinitializeGrabbing();
    DeinitializeCompressionCodec();
    DisableControl();
    StopNetwork();
    if (config_) {
        config_->Save();
        config_.reset();
    }
    for (int timer : {IDT_ENVIRONMENT, IDT_CLIENT_ACTIVITY, IDT_AUTOSTART, IDT_HEALTH, IDT_REOPEN})
        hosts_.timers->KillTimer(timer);
    environmentTimer_ = activityTimer_ = false;
    if (hosts_.environment != nullptr)
        hosts_.environment->Stop();
    hosts_.dialog->EndDialog(IDOK);
}
