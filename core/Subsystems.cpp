#include "core/Subsystems.h"

#include <cstdio>

#include "base/HostList.h"
#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "base/WriteTrail.h"
#include "capture/AravisBackend.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/HardwareLookup.h"
#include "control/Registration.h"
#include "core/CameraSettingsState.h"
#include "core/FrameChannels.h"
#include "processing/Orientation.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

// What a bring-up says of each step: grabbing, codecs, control system, network.
struct BringUpLines {
    const char* ok[4];
    const char* failed[4];
};

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

CSubsystems::CSubsystems(Hosts hosts, std::string programDir,
                         std::vector<ICaptureBackend*> backends, CCameraSession::Hooks hooks,
                         CFrameChannels& channels, CCameraSettingsState& settings)
    : hosts_(hosts),
      programDir_(std::move(programDir)),
      channels_(channels),
      settings_(settings),
      camera_(hosts.log, hosts.poster, hosts.timers, programDir_, std::move(backends),
              std::move(hooks)),
      codecs_(hosts.log) {
    // Writes are recorded on other threads; the lines reach the log on this one.
    trail_ =
        std::make_shared<CWriteTrail>([poster = hosts.poster, log = hosts.log](std::string line) {
            if (poster != nullptr)
                poster->PostTask(
                    [log, line = std::move(line)] { LogMessage(log, "%s", line.c_str()); });
        });
}

CSubsystems::~CSubsystems() = default;

bool CSubsystems::BringUp(CIniFile& config, CSrv& control, const std::string& frameEqpName,
                          bool again) {
    const BringUpLines& lines = again ? kReconfigureLines : kStartUpLines;
    // A failed step does not stop the others; only the result records it.
    const GenicamSettings genicam = ReadGenicamSettings(config);
    SetGenicamInterfaces({genicam.gigEVision, genicam.usb3Vision, genicam.fakeCamera});
    AddAccessAndWatchdogKeys(config);
    camera_.SetStallSeconds(ReadStallSeconds(config));
    ApplyAccessRules(config);
    bool allUp = true;
    auto step = [&](int i, bool ok) {
        LogMessage(hosts_.log, "%s", ok ? lines.ok[i] : lines.failed[i]);
        allUp = allUp && ok;
    };
    step(0, InitializeGrabbing(config));
    const CResult<> codecs = InitializeCodecs();
    step(1, codecs.Ok());
    if (!codecs)
        LogMessage(hosts_.log, "Codec set-up failed: %s", codecs.Message().c_str());
    step(2, InitializeControlSystem(config, control, hosts_.log) == 1);
    const uint64_t frameBytes =
        uint64_t(camera_.Width()) * uint64_t(camera_.Height()) * camera_.BitsPerPixel() / 8;
    const bool networkUp =
        channels_.Start(ReadNetworkSettings(config), frameEqpName, frameBytes) == 1;
    step(3, networkUp);
    if (networkUp && hosts_.service != nullptr)
        hosts_.service->Ready();
    return allUp;
}

bool CSubsystems::Reinitialize(const CIniFile& config) {
    DeinitializeCodecs();
    DeinitializeGrabbing();
    const bool grabbingUp = InitializeGrabbing(config);
    if (grabbingUp)
        LogMessage(hosts_.log, "Successful reinitialized grabber card for new settings.");
    const bool codecsUp = InitializeCodecs().Ok();
    if (codecsUp)
        LogMessage(hosts_.log, "Successful initialized compression codec for new settings.");
    return grabbingUp && codecsUp;
}

bool CSubsystems::InitializeGrabbing(const CIniFile& config) {
    camera_.StopReopening();
    settings_.SetApplied(true);
    return QuerySelvex(config, settings_.Current().camId, programDir_) &&
           OpenCamera(hosts_.log).Ok();
}

CResult<> CSubsystems::OpenCamera(ILogSink* log) {
    CResult<> opened = camera_.Open(log);
    if (!opened) {
        LogMessage(log, "%s", opened.Message().c_str());
        return opened;
    }
    settings_.SetGeometry(camera_.Width(), camera_.Height(), camera_.BitsPerPixel());
    return opened;
}

CCameraSession::Reopen CSubsystems::TryReopen() {
    const int width = camera_.Width(), height = camera_.Height();
    const CCameraSession::Reopen outcome = camera_.TryReopen();
    if (outcome == CCameraSession::Reopen::kNotReopening)
        return outcome;
    // A device that opened shows its geometry, even when it then failed to start.
    settings_.SetGeometry(camera_.Width(), camera_.Height(), camera_.BitsPerPixel());
    if (outcome != CCameraSession::Reopen::kBack)
        return outcome;
    if (camera_.Width() != width || camera_.Height() != height) {
        DeinitializeCodecs();
        (void)InitializeCodecs();  // without codecs the frames are dropped and counted
        settings_.ShowCurrent();
    }
    LogMessage(hosts_.log, "Camera is back: grabbing resumed.");
    return outcome;
}

CResult<> CSubsystems::InitializeCodecs() {
    // The codecs see the frames after orientation: a quarter turn exchanges the sides.
    int w = camera_.Width(), h = camera_.Height();
    if (settings_.Turns())
        std::swap(w, h);
    return codecs_.InitializeCompressionCodec(w, h, camera_.BitsPerPixel(), jpegQuality_);
}

void CSubsystems::StopNetwork() {
    LogMessage(hosts_.log, "Deinitializing network...");
    channels_.Stop();
}

void CSubsystems::DisableControl(CSrv* control) {
    LogMessage(hosts_.log, "Deinitializing ZEFT control connections...");
    if (control != nullptr)
        control->SetEnabled(false);
}

void CSubsystems::TearDown(CSrv* control) {
    StopNetwork();
    DisableControl(control);
    DeinitializeCodecs();
    DeinitializeGrabbing();
}

void CSubsystems::ForgetAccess() {
    ZeftSetAccess({});
}

void CSubsystems::ApplyAccessRules(const CIniFile& config) {
    const AccessSettings access = ReadAccessSettings(config);
    auto parse = [this](const char* key, const std::string& text, const char* whoNot) {
        std::vector<std::string> malformed;
        CHostList list = CHostList::Parse(text, &malformed);
        for (const std::string& entry : malformed)
            LogMessage(hosts_.log, "Access: malformed entry \"%s\" in %s is ignored!",
                       entry.c_str(), key);
        if (list.AllowsNobody())
            LogMessage(hosts_.log, "Access: %s has no valid entry, so no host may %s!", key,
                       whoNot);
        return list;
    };
    const CHostList control = parse(kKeyControlHosts, access.controlHosts, "write");
    const CHostList view = parse(kKeyViewHosts, access.viewHosts, "connect");
    channels_.SetAccess(view, control, trail_);
    ZeftSetAccess({view, control, [trail = trail_](const ZeftWriteNote& note) {
                       trail->Record(FormatIPv4(note.peer), note.property, note.value, note.status,
                                     CWriteTrail::NowMs());
                   }});
}

StatusCounters CSubsystems::Health(const CFramePipeline::Counters& p) const {
    StatusCounters h;
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
    h[kStreamSent] = channels_.StreamSent();
    h[kStreamDropped] = channels_.StreamDropped();
    return h;
}

std::string CSubsystems::StatusText(ControllerState state, double frameRate) const {
    std::string text = "Not grabbing";
    if (state == ControllerState::kReopening) {
        text = "Camera lost, opening it again";
    } else if (state == ControllerState::kGrabbing && frameRate < 0) {
        text = "Grabbing";
    } else if (state == ControllerState::kGrabbing) {
        char rate[40];
        std::snprintf(rate, sizeof rate, "%.1f", frameRate);
        text = std::string("Grabbing at ") + rate + " frames/s";
    }
    text +=
        "; lossless " + std::to_string(channels_.Lossless().GetClientCount()) + " clients, lossy ";
    text += channels_.LossyEnabled()
                ? std::to_string(channels_.Lossy().GetClientCount()) + " clients"
                : "off";
    return text;
}
