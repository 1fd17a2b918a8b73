// The main controller as the web server sees it: the published status and the start and
// stop requests of the live page.
#include "core/MainDlg.h"

void CMainDlg::PublishWebStatus(bool event) {
    CWebServer& web = channels_.Web();
    if (!web.IsRunning())
        return;
    WebStatus s;
    if (grabbing_ && !camera_.IsReopening())
        s.state = "grabbing";
    else if (subsystemsUp_ && !grabbing_)
        s.state = "stopped";
    s.frame = lastFrameNumber_;
    s.fps = s.state == "grabbing" ? lastFrameRate_ : 0.0;
    s.width = shownWidth_;
    s.height = shownHeight_;
    if (CurrentOrientationTurns())
        std::swap(s.width, s.height);
    s.orientation = current_.orientation;
    s.scale = current_.scale;
    const SpotResults& spot = pipeline_.Spot();
    s.hasSpot = spot.xm >= 0.0f;
    s.spotX = spot.xm;
    s.spotY = spot.ym;
    s.spotSx = spot.xrms;
    s.spotSy = spot.yrms;
    s.cameraName = current_.name;
    s.cameraId = current_.camId;
    s.device = webDevice_;
    const HealthCounters h = Health();
    s.lossless = {h.lossless.clients, h.lossless.sent, h.lossless.dropped};
    s.lossy = {h.lossy.clients, h.lossy.sent, h.lossy.dropped};
    s.zeftClients = controlClientActive_ ? 1 : 0;
    s.processed = h.processed;
    s.captureDrops = h.captureDrops;
    s.cameraLosses = h.cameraLosses;
    s.cameraStalls = h.cameraStalls;
    s.zeftCalls = h.zeftCalls;
    s.zeftRefused = h.zeftRefused;
    s.accessRefused = h.accessRefused;
    s.beam = BeamStatusJson();
    s.health = {{"frames_processed", h.processed},
                {"capture_drops", h.captureDrops},
                {"camera_lost", h.cameraLosses},
                {"camera_stalled", h.cameraStalls},
                {"pipeline_drains", h.pipelineDrains},
                {"no_codec", h.withoutCodecs},
                {"jpeg_failed", h.jpegFailed},
                {"lossless_clients", uint64_t(h.lossless.clients)},
                {"lossless_sent", h.lossless.sent},
                {"lossless_dropped", h.lossless.dropped},
                {"lossy_clients", uint64_t(h.lossy.clients)},
                {"lossy_sent", h.lossy.sent},
                {"lossy_dropped", h.lossy.dropped},
                {"web_clients", uint64_t(h.web.clients)},
                {"web_sent", h.web.sent},
                {"web_dropped", h.web.dropped},
                {"zeft_calls", h.zeftCalls},
                {"zeft_refused", h.zeftRefused},
                {"access_refused", h.accessRefused}};
    web.PublishStatus(s, event);
}

void CMainDlg::OnWebCommand(CWebServer::Command command, const CWebServer::CommandArgs& args,
                            const CWebServer::Reply& reply) {
    if (command != CWebServer::Command::kStart && command != CWebServer::Command::kStop)
        return OnBeamCommand(command, args, reply);
    // The same state table as the control system's requests and the buttons.
    if (command == CWebServer::Command::kStart) {
        if (shutDown_ || grabbing_ || !subsystemsUp_) {
            reply(409, grabbing_ ? "Already grabbing." : "The server is not ready to grab.");
            return;
        }
        OnStartGrabbing();
        if (grabbing_)
            reply(204, "");
        else
            reply(500, "Grabbing could not be started.");
        return;
    }
    if (shutDown_ || !grabbing_) {
        reply(409, "Not grabbing.");
        return;
    }
    OnStopGrabbing();
    if (grabbing_)
        reply(500, "Grabbing could not be stopped.");
    else
        reply(204, "");
}
