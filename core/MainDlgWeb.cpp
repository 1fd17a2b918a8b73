// The main controller as the web server sees it: the published status.
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
    s.device = bridge_.Device();
    s.zeftClients = controlClientActive_ ? 1 : 0;
    s.counters = Health();
    s.beam = bridge_.StatusJson();
    s.gauges = bridge_.Gauges();
    web.PublishStatus(s, event);
}
