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
}  // namespace

// clang-format off
const std::array<StateRule, 20> kStateRules = {{
    // state        command              outcome  reason
    {S::kDown,      C::kStart,           Refuse,  kNotReady},
    {S::kDown,      C::kStop,            Refuse,  kNotGrabbing},
    {S::kDown,      C::kApplySettings,   Refuse,  kNotReady},
    {S::kDown,      C::kQuit,            Take,    ""},
    {S::kStopped,   C::kStart,           Take,    ""},
    {S::kStopped,   C::kStop,            Refuse,  kNotGrabbing},
    {S::kStopped,   C::kApplySettings,   Take,    ""},
    {S::kStopped,   C::kQuit,            Take,    ""},
    {S::kGrabbing,  C::kStart,           Refuse,  kAlready},
    {S::kGrabbing,  C::kStop,            Take,    ""},
    {S::kGrabbing,  C::kApplySettings,   Take,    ""},
    {S::kGrabbing,  C::kQuit,            Take,    ""},
    {S::kReopening, C::kStart,           Refuse,  kAlready},
    {S::kReopening, C::kStop,            Take,    ""},
    {S::kReopening, C::kApplySettings,   Take,    ""},
    {S::kReopening, C::kQuit,            Take,    ""},
    {S::kShutDown,  C::kStart,           Refuse,  kGone},
    {S::kShutDown,  C::kStop,            Refuse,  kGone},
    {S::kShutDown,  C::kApplySettings,   Refuse,  kGone},
    {S::kShutDown,  C::kQuit,            Refuse,  kGone},
}};
// clang-format on

Outcome Decide(ControllerState state, ControllerCommand command) {
    for (const StateRule& r : kStateRules)
        if (r.state == state && r.command == command)
            return {r.code, r.reason};
    return {Outcome::kRefused, kGone};
}
