#pragma once

#include <cstdint>

#include "base/LogSink.h"
#include "control/PropertyHandler.h"

class CIniFile;
class CSrv;

// The server's registration with the control system: its identity from the configuration
// store, the library limits, the main control and the twenty control properties of the
// device "LUMERIX". Main thread.

// Device of every control property.
constexpr const char* kControlDeviceName = "LUMERIX";
// Contact address announced with the registration.
constexpr const char* kControlContact = "lumerix2@localhost";

// Registers the process under ZEFTCONTROLEQPNAME of section "DEFAULT", enables `control`
// and declares the control properties on it. 1 when all is done, 0 otherwise; every
// failure but a missing name is logged once to `log`. What was done before a failure
// stays in place.
int InitializeControlSystem(const CIniFile& config, CSrv& control, ILogSink* log);
