#include "control/Registration.h"

#include <string>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

// The frame server's tuning of the layer; clients rely on its monitor rate and on
// writes of a few MiB being accepted.
constexpr int16_t kMinPollingRateMs = 8;
constexpr int16_t kBurstLimit = 500;
constexpr int16_t kCycleDelayMs = 0;
constexpr int32_t kWorkAreaBytes = 4 * 1024 * 1024;

}  // namespace

int InitializeControlSystem(const CIniFile& config, CSrv& control, ILogSink* log) {
    ZeftSettings settings = ReadZeftSettings(config);
    const std::string& name = settings.controlEqpName;
    if (name.empty())
        return 0;
    int port = settings.portNumber;
    const std::string& context = settings.context;

    LogMessage(log, "%s%s%s", "Lumerix2 Directshow", " on ", name.c_str());

    std::string description = "Grabber server control of " + name;
    // An offset outside 16 bits must not wrap into a valid one.
    int16_t offset =
        (port < INT16_MIN || port > INT16_MAX) ? INT16_MIN : static_cast<int16_t>(port);
    int16_t rc = RegisterFecInformation(name.c_str(), "TEST", context.c_str(), description.c_str(),
                                        "TAVO", "none", kControlContact, offset);
    if (rc != 0) {
        LogMessage(log, "ZEFT: Error in RegisterFecInformation: Status=%d", rc);
        return 0;
    }

    control.SetEquipmentName(name);
    MinPollingRate = kMinPollingRateMs;
    SetBurstLimit(kBurstLimit);
    SetCycleDelay(kCycleDelayMs);
    setWorkAreaSize(kWorkAreaBytes);

    control.SetEnabled(true);
    int16_t status = control.EquipmentStatus();
    if (status != 0) {
        LogMessage(log, "ZEFT: Init Controls: EqpStatus=%d", status);
        return 0;
    }

    control.RegisterDeviceName(kControlDeviceName, 0);
    for (const ControlPropertyDef& p : kControlProperties) {
        int16_t retval =
            control.AddProperty(p.name, p.requestSize, p.requestFormat, "", p.replySize,
                                p.replyFormat, "", p.access, p.description);
        if (retval < 0) {
            LogMessage(log, "ZEFT: Error registering property. Retval = %d", retval);
            return 0;
        }
    }
    return 1;
}
