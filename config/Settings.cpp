#include "config/Settings.h"

#include <unistd.h>

#include <algorithm>
#include <new>

#include "base/LogSink.h"

int ReadJpegQuality(const CIniFile& ini) {
    return ini.GetInt(kSectionDefault, kKeyJpegQuality, Settings().jpegQuality);
}

NetworkSettings ReadNetworkSettings(const CIniFile& ini) {
    NetworkSettings s;
    s.maxClients = ini.GetInt(kSectionDefault, kKeyMaxClients, s.maxClients);
    s.listenPort = ini.GetInt(kSectionDefault, kKeyListenPort, s.listenPort);
    s.maxClientsLossy = ini.GetInt(kSectionDefault, kKeyMaxClientsLossy, s.maxClientsLossy);
    s.listenPortLossy = ini.GetInt(kSectionDefault, kKeyListenPortLossy, s.listenPortLossy);
    s.lossyEnabledValue = ini.GetInt(kSectionDefault, kKeyLossyEnabled, s.lossyEnabledValue);
    s.zeftFrameEqpName = ini.GetValue(kSectionDefault, kKeyZeftFrameEqpName, s.zeftFrameEqpName);
    s.http = ReadHttpSettings(ini);
    return s;
}

ZeftSettings ReadZeftSettings(const CIniFile& ini) {
    ZeftSettings s;
    s.controlEqpName = ini.GetValue(kSectionDefault, kKeyZeftControlEqpName, s.controlEqpName);
    s.portNumber = ini.GetInt(kSectionDefault, kKeyZeftPortNumber, s.portNumber);
    s.context = ini.GetValue(kSectionDefault, kKeyZeftContext, s.context);
    return s;
}

StoredCameraSettings ReadCameraSettings(const CIniFile& ini) {
    StoredCameraSettings s;
    s.name = ini.GetValue(kSectionCameraSettings, kKeyCameraName, s.name);
    s.scale = ini.GetDouble(kSectionCameraSettings, kKeyScale, s.scale);
    s.orientation = ini.GetValue(kSectionCameraSettings, kKeyOrientation, s.orientation);
    s.camId = ini.GetValue(kSectionCameraSettings, kKeyCamId, s.camId);
    return s;
}

SelvexSettings ReadSelvexSettings(const CIniFile& ini) {
    SelvexSettings s;
    s.context = ini.GetValue(kSectionSelvex, kKeySelvexContext, s.context);
    s.serverName = ini.GetValue(kSectionSelvex, kKeySelvexServerName, s.serverName);
    s.mandatory = ini.GetInt(kSectionSelvex, kKeyMandatorySelvex, s.mandatory);
    return s;
}

GenicamSettings ReadGenicamSettings(const CIniFile& ini) {
    GenicamSettings s;
    s.gigEVision = ini.GetInt(kSectionGenicam, kKeyGigEVision, s.gigEVision) != 0;
    s.usb3Vision = ini.GetInt(kSectionGenicam, kKeyUsb3Vision, s.usb3Vision) != 0;
    s.fakeCamera = ini.GetInt(kSectionGenicam, kKeyFakeCamera, s.fakeCamera) != 0;
    return s;
}

AccessSettings ReadAccessSettings(const CIniFile& ini) {
    AccessSettings s;
    s.controlHosts = ini.GetValue(kSectionAccess, kKeyControlHosts, s.controlHosts);
    s.viewHosts = ini.GetValue(kSectionAccess, kKeyViewHosts, s.viewHosts);
    return s;
}

int ReadStallSeconds(const CIniFile& ini) {
    return std::max(0, ini.GetInt(kSectionCameraSettings, kKeyStallSeconds, kDefaultStallSeconds));
}

bool AddAccessAndWatchdogKeys(CIniFile& ini) {
    // No value can hold a line break, so this one stands for "absent".
    constexpr std::string_view kAbsent = "\n";
    bool added = false;
    auto add = [&](const char* section, const char* key, std::string_view value) {
        if (ini.GetValue(section, key, kAbsent) == kAbsent)
            added = ini.SetValue(section, key, value) || added;
    };
    add(kSectionAccess, kKeyControlHosts, "");
    add(kSectionAccess, kKeyViewHosts, "");
    add(kSectionCameraSettings, kKeyStallSeconds, std::to_string(kDefaultStallSeconds));
    return added;
}

HttpSettings ReadHttpSettings(const CIniFile& ini) {
    HttpSettings s;
    s.enabled = ini.GetInt(kSectionHttp, kKeyHttpEnabled, s.enabled) != 0;
    s.port = ini.GetInt(kSectionHttp, kKeyHttpPort, s.port);
    s.bindAddress = ini.GetValue(kSectionHttp, kKeyHttpBindAddress, s.bindAddress);
    s.maxConnections = ini.GetInt(kSectionHttp, kKeyHttpMaxConnections, s.maxConnections);
    s.maxPerAddress = ini.GetInt(kSectionHttp, kKeyHttpMaxPerAddress, s.maxPerAddress);
    return s;
}

AnalysisSettings ReadAnalysisSettings(const CIniFile& ini) {
    AnalysisSettings s;
    s.roiX = ini.GetInt(kSectionAnalysis, kKeyRoiX, s.roiX);
    s.roiY = ini.GetInt(kSectionAnalysis, kKeyRoiY, s.roiY);
    s.roiWidth = ini.GetInt(kSectionAnalysis, kKeyRoiWidth, s.roiWidth);
    s.roiHeight = ini.GetInt(kSectionAnalysis, kKeyRoiHeight, s.roiHeight);
    return s;
}

bool WriteAnalysisSettings(CIniFile& ini, const AnalysisSettings& s, bool onlyMissing) {
    const std::pair<const char*, int> keys[] = {{kKeyRoiX, s.roiX},
                                                {kKeyRoiY, s.roiY},
                                                {kKeyRoiWidth, s.roiWidth},
                                                {kKeyRoiHeight, s.roiHeight}};
    bool wrote = false;
    for (const auto& [key, value] : keys) {
        if (!onlyMissing || ini.GetValue(kSectionAnalysis, key, "\n") == "\n")
            wrote = ini.SetInt(kSectionAnalysis, key, value) || wrote;
    }
    return wrote;
}

bool WriteMissingHttpSettings(CIniFile& ini) {
    const HttpSettings d;
    const std::pair<const char*, std::string> keys[] = {{kKeyHttpEnabled, d.enabled ? "1" : "0"},
                                                        {kKeyHttpPort, std::to_string(d.port)},
                                                        {kKeyHttpBindAddress, d.bindAddress}};
    bool wrote = false;
    for (const auto& [key, value] : keys) {
        if (ini.GetValue(kSectionHttp, key, "empty") == "empty") {
            ini.SetValue(kSectionHttp, key, value);
            wrote = true;
        }
    }
    return wrote;
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
    const std::string name(computerName);
    struct Default {
        const char* section;
        const char* key;
        std::string value;
    };
    const Default defaults[] = {
        {kSectionDefault, kKeyMaxClients, "255"},
        {kSectionDefault, kKeyListenPort, "31777"},
        {kSectionDefault, kKeyMaxClientsLossy, "255"},
        {kSectionDefault, kKeyListenPortLossy, "31778"},
        {kSectionDefault, kKeyLossyEnabled, "0"},
        {kSectionDefault, kKeyJpegQuality, "60"},
        {kSectionDefault, kKeyZeftFrameEqpName, name + "F"},
        {kSectionDefault, kKeyZeftControlEqpName, name},
        {kSectionDefault, kKeyZeftPortNumber, "11"},
        {kSectionDefault, kKeyZeftContext, "TAVO"},
        {kSectionCameraSettings, kKeyCameraName, "Camera 0"},
        {kSectionCameraSettings, kKeyScale, "1.0000"},
        {kSectionCameraSettings, kKeyOrientation, "NORM"},
        {kSectionCameraSettings, kKeyCamId, "0x01000000"},
        {kSectionSelvex, kKeySelvexContext, "TAVO"},
        {kSectionSelvex, kKeySelvexServerName, "SELVEX"},
        {kSectionSelvex, kKeyMandatorySelvex, "0"},
        {kSectionHttp, kKeyHttpEnabled, "1"},
        {kSectionHttp, kKeyHttpPort, "31780"},
        {kSectionHttp, kKeyHttpBindAddress, "0.0.0.0"},
    };
    for (const Default& d : defaults)
        ini.SetValue(d.section, d.key, d.value);
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
