#pragma once

#include <array>

#include "base/ControllerRequests.h"

// The controller's states. Starting, stopping and applying run to their end inside one call
// on the main thread, so nothing else ever sees them.
enum class ControllerState {
    kDown,       // a subsystem did not come up: nothing can grab
    kStopped,    // everything up, not grabbing
    kGrabbing,   // the camera delivers
    kReopening,  // grabbing, but the camera went away and is being opened again
    kShutDown,   // the shutdown sequence ran; nothing more happens
};

struct StateRule {
    ControllerState state;
    ControllerCommand command;
    Outcome::Code code;  // kAccepted: carry it out; kRefused: say `reason`
    const char* reason;
};

// One row for every state and command.
extern const std::array<StateRule, 20> kStateRules;

// The rule of `command` in `state`, as an outcome: accepted, or refused with its reason.
Outcome Decide(ControllerState state, ControllerCommand command);
