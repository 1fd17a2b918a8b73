// The main controller as the web server sees it: the published status and the start and
// stop requests of the live page.
#include "core/MainDlg.h"

void CMainDlg::PublishWebStatus(bool event) {
    CWebServer& web = channels_.Web();
    if (!web.IsRunning())
        return;
    WebStatus s;
    const ControllerState state = State();
    if (state == ControllerState::kGrabbing)
        s.state = "grabbing";
    else if (state == ControllerState::kStopped)
        s.state = "stopped";
    s.frame = lastFrameNumber_;
    s.fps = s.state == "grabbing" ? lastFrameRate_ : 0.0;
    s.width = CurrentWidth();
    s.height = CurrentHeight();
    if (CurrentOrientationTurns())
        std::swap(s.width, s.height);
    s.orientation = CurrentCamera().orientation;
    s.scale = CurrentCamera().scale;
    const SpotResults& spot = pipeline_.Spot();
    s.hasSpot = spot.xm >= 0.0f;
    s.spotX = spot.xm;
    s.spotY = spot.ym;
    s.spotSx = spot.xrms;
    s.spotSy = spot.yrms;
    s.cameraName = CurrentCamera().name;
    s.cameraId = CurrentCamera().camId;
    s.device = webDevice_;
    s.zeftClients = controlClientActive_ ? 1 : 0;
    s.counters = Health();
    s.beam = BeamStatusJson();
    web.PublishStatus(s, event);
}

void CMainDlg::OnWebCommand(CWebServer::Command command, const CWebServer::CommandArgs& args,
                            const CWebServer::Reply& reply) {
    if (command != CWebServer::Command::kStart && command != CWebServer::Command::kStop)
        return OnBeamCommand(command, args, reply);
    const Outcome done = Request(command == CWebServer::Command::kStart ? ControllerCommand::kStart
                                                                        : ControllerCommand::kStop);
    if (done.Accepted())
        reply(204, "");
    else
        reply(done.code == Outcome::kRefused ? 409 : 500, done.reason);
}
