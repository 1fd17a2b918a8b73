#include "config/Settings.h"

#include <unistd.h>

#include <new>

#include "base/LogSink.h"

int ReadJpegQuality(const CIniFile& ini) {
    return ReadInt(ini, kJpegQualityKey);
}

NetworkSettings ReadNetworkSettings(const CIniFile& ini) {
    NetworkSettings s;
    s.maxClients = ReadInt(ini, kMaxClientsKey);
    s.listenPort = ReadInt(ini, kListenPortKey);
    s.maxClientsLossy = ReadInt(ini, kMaxClientsLossyKey);
    s.listenPortLossy = ReadInt(ini, kListenPortLossyKey);
    s.lossyEnabledValue = ReadInt(ini, kLossyEnabledKey);
    s.zeftFrameEqpName = ReadText(ini, kZeftFrameEqpNameKey);
    s.http = ReadHttpSettings(ini);
    s.stream = ReadStreamSettings(ini);
    return s;
}

ZeftSettings ReadZeftSettings(const CIniFile& ini) {
    ZeftSettings s;
    s.controlEqpName = ReadText(ini, kZeftControlEqpNameKey);
    s.portNumber = ReadInt(ini, kZeftPortNumberKey);
    s.context = ReadText(ini, kZeftContextKey);
    return s;
}

StoredCameraSettings ReadCameraSettings(const CIniFile& ini) {
    StoredCameraSettings s;
    s.name = ReadText(ini, kCameraNameKey);
    s.scale = ReadReal(ini, kScaleKey);
    s.orientation = ReadText(ini, kOrientationKey);
    s.camId = ReadText(ini, kCamIdKey);
    return s;
}

SelvexSettings ReadSelvexSettings(const CIniFile& ini) {
    SelvexSettings s;
    s.context = ReadText(ini, kSelvexContextKey);
    s.serverName = ReadText(ini, kSelvexServerNameKey);
    s.mandatory = ReadInt(ini, kMandatorySelvexKey);
    return s;
}

GenicamSettings ReadGenicamSettings(const CIniFile& ini) {
    GenicamSettings s;
    s.gigEVision = ReadInt(ini, kGigEVisionKey) != 0;
    s.usb3Vision = ReadInt(ini, kUsb3VisionKey) != 0;
    s.fakeCamera = ReadInt(ini, kFakeCameraKey) != 0;
    return s;
}

AccessSettings ReadAccessSettings(const CIniFile& ini) {
    AccessSettings s;
    s.controlHosts = ReadText(ini, kControlHostsKey);
    s.viewHosts = ReadText(ini, kViewHostsKey);
    return s;
}

int ReadStallSeconds(const CIniFile& ini) {
    return ReadInt(ini, kStallSecondsKey);
}

bool AddAccessAndWatchdogKeys(CIniFile& ini) {
    const bool access = WriteMissingKeys(ini, kAccessKeys);
    return WriteMissingKeys(ini, std::span(&kStallSecondsKey, 1)) || access;
}

WebSettings ReadHttpSettings(const CIniFile& ini) {
    WebSettings s;
    s.enabled = ReadInt(ini, kHttpEnabledKey) != 0;
    s.port = ReadInt(ini, kHttpPortKey);
    s.bindAddress = ReadText(ini, kHttpBindAddressKey);
    s.maxConnections = ReadInt(ini, kHttpMaxConnectionsKey);
    s.maxPerAddress = ReadInt(ini, kHttpMaxPerAddressKey);
    return s;
}

StreamSettings ReadStreamSettings(const CIniFile& ini) {
    StreamSettings s;
    s.enabled = ReadInt(ini, kStreamEnabledKey) != 0;
    s.endpoint = ReadText(ini, kStreamEndpointKey);
    s.pattern = ReadText(ini, kStreamPatternKey);
    s.content = ReadText(ini, kStreamContentKey);
    s.highWaterMark = ReadInt(ini, kStreamHighWaterMarkKey);
    return s;
}

HardwareSettings ReadHardwareSettings(const CIniFile& hardware) {
    HardwareSettings s;
    s.type = ReadText(hardware, kHardwareTypeKey);
    s.devicePath = ReadText(hardware, kDevicePathKey);
    s.videoMode = ReadInt(hardware, kDeviceVideoModeKey);
    s.limitFramerate = ReadReal(hardware, kLimitFramerateKey);
    return s;
}

AnalysisSettings ReadAnalysisSettings(const CIniFile& ini) {
    AnalysisSettings s;
    s.roiX = ReadInt(ini, kRoiXKey);
    s.roiY = ReadInt(ini, kRoiYKey);
    s.roiWidth = ReadInt(ini, kRoiWidthKey);
    s.roiHeight = ReadInt(ini, kRoiHeightKey);
    s.stabilityFrames = ReadInt(ini, kStabilityFramesKey);
    return s;
}

bool WriteAnalysisSettings(CIniFile& ini, const AnalysisSettings& s, bool onlyMissing) {
    const std::pair<const KeyDef&, int> keys[] = {{kRoiXKey, s.roiX},
                                                  {kRoiYKey, s.roiY},
                                                  {kRoiWidthKey, s.roiWidth},
                                                  {kRoiHeightKey, s.roiHeight}};
    bool wrote = false;
    for (const auto& [def, value] : keys) {
        if (!onlyMissing || !HasKey(ini, def))
            wrote = ini.SetInt(def.section, def.key, value) || wrote;
    }
    if (!HasKey(ini, kStabilityFramesKey))
        wrote = ini.SetInt(kSectionAnalysis, kKeyStabilityFrames, s.stabilityFrames) || wrote;
    return wrote;
}

bool WriteMissingHttpSettings(CIniFile& ini) {
    return WriteMissingKeys(ini, kHttpKeys);
}

Settings ReadSettings(const CIniFile& ini) {
    Settings s;
    s.jpegQuality = ReadJpegQuality(ini);
    s.network = ReadNetworkSettings(ini);
    s.zeft = ReadZeftSettings(ini);
    s.camera = ReadCameraSettings(ini);
    s.selvex = ReadSelvexSettings(ini);
    return s;
}

bool WriteCameraSettings(CIniFile& ini, const StoredCameraSettings& camera) {
    bool ok = ini.SetValue(kSectionCameraSettings, kKeyCameraName, camera.name);
    ok = ini.SetValue(kSectionCameraSettings, kKeyCamId, camera.camId) && ok;
    ok = ini.SetValue(kSectionCameraSettings, kKeyOrientation, camera.orientation) && ok;
    ok = ini.SetDouble(kSectionCameraSettings, kKeyScale, camera.scale) && ok;
    return ok;
}

std::string ComputerNameFromHostName(std::string_view hostName) {
    std::string name(hostName.substr(0, hostName.find('.')));
    for (char& c : name) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

std::string ComputerName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return {};
    return ComputerNameFromHostName(host);
}

void WriteDefaultSettings(CIniFile& ini, std::string_view computerName) {
    for (std::span<const KeyDef> table :
         {std::span<const KeyDef>(kDefaultKeys), std::span<const KeyDef>(kCameraKeys),
          std::span<const KeyDef>(kSelvexKeys), std::span<const KeyDef>(kHttpKeys)}) {
        for (const KeyDef& def : table) {
            if (def.written && def.inFreshFile)
                ini.SetValue(def.section, def.key, WrittenDefault(def, computerName));
        }
    }
}

std::unique_ptr<CIniFile> InitializeIniFile(const std::string& programDir, ILogSink* log,
                                            std::string_view computerName) {
    std::unique_ptr<CIniFile> ini(new (std::nothrow) CIniFile(programDir));
    if (!ini)
        return nullptr;
    ini->Load(kConfigFileName);
    if (ini->GetValue(kSectionDefault, kKeyListenPort, "empty") != "empty") {
        if (WriteMissingHttpSettings(*ini) && !ini->Save())
            LogMessage(log, "Error saving the HTTP settings to %s.", kConfigFileName);
        return ini;
    }

    LogMessage(log, "Config file (\"%s\") could not be properly opened or is empty.",
               kConfigFileName);
    LogMessage(log, "Default config is written. Please check!");
    WriteDefaultSettings(*ini, computerName);
    if (!ini->Save())
        LogMessage(log, "Error saving default settings to %s in InitializeIniFile.",
                   kConfigFileName);
    return ini;
}
