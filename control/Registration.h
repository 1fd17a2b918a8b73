#pragma once

#include <array>
#include <cstdint>

#include "base/LogSink.h"

class CIniFile;
class CSrv;

// The server's registration with the control system: its identity from the configuration
// store, the library limits, the main control and the twenty control properties of the
// device "LUMERIX". Main thread.

// Device of every control property.
constexpr const char* kControlDeviceName = "LUMERIX";
// Contact address announced with the registration.
constexpr const char* kControlContact = "lumerix2@localhost";

struct ControlPropertyDef {
    const char* name;
    int32_t requestSize;
    int16_t requestFormat;
    int32_t replySize;
    int16_t replyFormat;
    int16_t access;
    const char* description;
};

// In registration order.
extern const std::array<ControlPropertyDef, 20> kControlProperties;
// Registered after the twenty, under a name no existing client uses: the health line.
extern const ControlPropertyDef kHealthProperty;

// Registers the process under ZEFTCONTROLEQPNAME of section "DEFAULT", enables `control`
// and declares the control properties on it. 1 when all is done, 0 otherwise; every
// failure but a missing name is logged once to `log`. What was done before a failure
// stays in place.
int InitializeControlSystem(const CIniFile& config, CSrv& control, ILogSink* log);
