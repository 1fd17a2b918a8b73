// Every command of the buttons, the autostart, the signals, the control system, the web and
// a settings apply: one state table decides, then the main thread carries it out.
#include "core/MainDlg.h"

ControllerState CMainDlg::State() const {
    if (shutDown_)
        return ControllerState::kShutDown;
    if (grabbing_)
        return camera_.IsReopening() ? ControllerState::kReopening : ControllerState::kGrabbing;
    return subsystemsUp_ ? ControllerState::kStopped : ControllerState::kDown;
}

Outcome CMainDlg::Check(ControllerCommand command) const {
    return Decide(State(), command);
}

Outcome CMainDlg::Request(ControllerCommand command) {
    const Outcome rule = Check(command);
    if (!rule.Accepted())
        return rule;
    switch (command) {
        case ControllerCommand::kStart:
            OnStartGrabbing();
            if (!grabbing_)
                return {Outcome::kFailed, "Grabbing could not be started."};
            break;
        case ControllerCommand::kStop:
            OnStopGrabbing();
            if (grabbing_)
                return {Outcome::kFailed, "Grabbing could not be stopped."};
            break;
        case ControllerCommand::kApplySettings:
            OnApplyCameraSettings();
            break;
        case ControllerCommand::kQuit:
            ShutDownServer();
            break;
    }
    return rule;
}

void CMainDlg::Post(ControllerCommand command) {
    hosts_.poster->PostTask([this, command] { Request(command); });
}
