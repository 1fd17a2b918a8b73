#include "control/Registration.h"

#include <string>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"

namespace {

// The frame server's tuning of the layer; clients rely on its monitor rate and on
// writes of a few MiB being accepted.
constexpr int16_t kMinPollingRateMs = 8;
constexpr int16_t kBurstLimit = 500;
constexpr int16_t kCycleDelayMs = 0;
constexpr int32_t kWorkAreaBytes = 4 * 1024 * 1024;

}  // namespace

const std::array<ControlPropertyDef, 20> kControlProperties = {{
    {"C_CAMNAME", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite,
     "Grabber: read camera name string"},
    {"S_Servername", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: read server name"},
    {"C_ActiveSince", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: camera active since"},
    {"S_StartTime", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: server startup time"},
    {"C_CAMID", 10, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite, "Grabber: r/w camera id"},
    {"S_SPOTDATA", 1, kZeftFormatByte, 1, kZeftFormatRecord, kZeftReadWrite,
     "Grabber: Get spot size and position"},
    {"C_SCALE", 1, kZeftFormatDouble, 1, kZeftFormatDouble, kZeftReadWrite,
     "Grabber: r/w scale factor of camera"},
    {"C_DYNAMICSCALE", 1, kZeftFormatDouble, 1, kZeftFormatDouble, kZeftReadWrite,
     "Grabber: set dynamic scale factor"},
    {"C_ORIENTATION", 20, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite,
     "Grabber: rw rotation setting"},
    {"C_WIDTH", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read width of video frame"},
    {"C_HEIGHT", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read height of video frame"},
    {"S_START", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: write 1 to activate server"},
    {"S_STOP", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: write 1 to deactivate server"},
    {"S_isStarted", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: server started [yes=1, no=0]"},
    {"S_isStopped", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: server stopped [yes=1, no=0]"},
    {"S_UPDATE", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: update to new settings"},
    {"S_isUpdated", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read whether updating was successful"},
    {"C_BPP", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read bits per pixel setting"},
    {"S_availVideodata", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: are frames coming in from card ?"},
    {"S_COMPRESSION", 1, kZeftFormatByte, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read compression id"},
}};

const ControlPropertyDef kHealthProperty = {
    "X_HEALTH",
    1,
    kZeftFormatInt,
    1,
    kZeftFormatText,
    kZeftRead,
    "Grabber: frames processed and dropped per stage, clients, ZEFT calls"};

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
    std::array<const ControlPropertyDef*, kControlProperties.size() + 1> all{};
    for (size_t i = 0; i < kControlProperties.size(); ++i)
        all[i] = &kControlProperties[i];
    all.back() = &kHealthProperty;
    for (const ControlPropertyDef* def : all) {
        const ControlPropertyDef& p = *def;
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
