#include "core/ControllerStates.h"

namespace {
using S = ControllerState;
using C = ControllerCommand;
constexpr Outcome::Code Take = Outcome::kAccepted;
constexpr Outcome::Code Refuse = Outcome::kRefused;
constexpr const char* kNotReady = "The server is not ready to grab.";
constexpr const char* kAlready = "Already grabbing.";
constexpr const char* kNotGrabbing = "Not grabbing.";
constexpr const char* kGone = "The server is shutting down.";
constexpr const char* kInDialog = "The configuration dialog is open.";
constexpr const char* kStopFirst = "Grabbing: stop it first.";
}  // namespace

// Configuring leads to stopped when everything comes up again, else to down; an apply that
// cannot bring the camera up ends down or stopped. The controller says which.
// clang-format off
const std::array<StateRule, 30> kStateRules = {{
    // state          command           outcome reason        next
    {S::kDown,        C::kStart,        Refuse, kNotReady,    S::kDown},
    {S::kDown,        C::kStop,         Refuse, kNotGrabbing, S::kDown},
    {S::kDown,        C::kApplySettings,Refuse, kNotReady,    S::kDown},
    {S::kDown,        C::kQuit,         Take,   "",           S::kShutDown},
    {S::kDown,        C::kConfigure,    Take,   "",           S::kStopped},
    {S::kStopped,     C::kStart,        Take,   "",           S::kGrabbing},
    {S::kStopped,     C::kStop,         Refuse, kNotGrabbing, S::kStopped},
    {S::kStopped,     C::kApplySettings,Take,   "",           S::kGrabbing},
    {S::kStopped,     C::kQuit,         Take,   "",           S::kShutDown},
    {S::kStopped,     C::kConfigure,    Take,   "",           S::kStopped},
    {S::kGrabbing,    C::kStart,        Refuse, kAlready,     S::kGrabbing},
    {S::kGrabbing,    C::kStop,         Take,   "",           S::kStopped},
    {S::kGrabbing,    C::kApplySettings,Take,   "",           S::kGrabbing},
    {S::kGrabbing,    C::kQuit,         Take,   "",           S::kShutDown},
    {S::kGrabbing,    C::kConfigure,    Refuse, kStopFirst,   S::kGrabbing},
    {S::kReopening,   C::kStart,        Refuse, kAlready,     S::kReopening},
    {S::kReopening,   C::kStop,         Take,   "",           S::kStopped},
    {S::kReopening,   C::kApplySettings,Take,   "",           S::kGrabbing},
    {S::kReopening,   C::kQuit,         Take,   "",           S::kShutDown},
    {S::kReopening,   C::kConfigure,    Refuse, kStopFirst,   S::kReopening},
    {S::kConfiguring, C::kStart,        Refuse, kInDialog,    S::kConfiguring},
    {S::kConfiguring, C::kStop,         Refuse, kNotGrabbing, S::kConfiguring},
    {S::kConfiguring, C::kApplySettings,Refuse, kInDialog,    S::kConfiguring},
    {S::kConfiguring, C::kQuit,         Take,   "",           S::kShutDown},
    {S::kConfiguring, C::kConfigure,    Refuse, kInDialog,    S::kConfiguring},
    {S::kShutDown,    C::kStart,        Refuse, kGone,        S::kShutDown},
    {S::kShutDown,    C::kStop,         Refuse, kGone,        S::kShutDown},
    {S::kShutDown,    C::kApplySettings,Refuse, kGone,        S::kShutDown},
    {S::kShutDown,    C::kQuit,         Refuse, kGone,        S::kShutDown},
    {S::kShutDown,    C::kConfigure,    Refuse, kGone,        S::kShutDown},
}};
// clang-format on

const StateRule& Rule(ControllerState state, ControllerCommand command) {
    for (const StateRule& r : kStateRules)
        if (r.state == state && r.command == command)
            return r;
    return kStateRules.back();  // every pair has its row; the test walks them all
}
