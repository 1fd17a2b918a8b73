#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "config/IniFile.h"

class ILogSink;

// The server's configuration file, in the program directory.
inline constexpr char kConfigFileName[] = "Lumerix2.cfg";

// Sections and keys of the configuration file.
inline constexpr char kSectionDefault[] = "DEFAULT";
inline constexpr char kKeyMaxClients[] = "MAXCLIENTS";
inline constexpr char kKeyListenPort[] = "LISTENPORTNUMBER";
inline constexpr char kKeyMaxClientsLossy[] = "MAXCLIENTSLOSSY";
inline constexpr char kKeyListenPortLossy[] = "LISTENPORTNUMBERLOSSY";
inline constexpr char kKeyLossyEnabled[] = "LOSSYENABLED";
inline constexpr char kKeyJpegQuality[] = "JPEGQuality";
inline constexpr char kKeyZeftFrameEqpName[] = "ZEFTFRAMEEQPNAME";
inline constexpr char kKeyZeftControlEqpName[] = "ZEFTCONTROLEQPNAME";
inline constexpr char kKeyZeftPortNumber[] = "ZEFTPORTNUMBER";
inline constexpr char kKeyZeftContext[] = "ZEFTCONTEXT";

inline constexpr char kSectionCameraSettings[] = "CameraSettings";
inline constexpr char kKeyCameraName[] = "Name";
inline constexpr char kKeyScale[] = "Scale";
inline constexpr char kKeyOrientation[] = "Orientation";
inline constexpr char kKeyCamId[] = "CAMID";
inline constexpr char kKeyStallSeconds[] = "StallSeconds";

inline constexpr char kSectionAccess[] = "Access";
inline constexpr char kKeyControlHosts[] = "ControlHosts";
inline constexpr char kKeyViewHosts[] = "ViewHosts";

inline constexpr char kSectionSelvex[] = "SELVEX";
inline constexpr char kKeySelvexContext[] = "Context";
inline constexpr char kKeySelvexServerName[] = "ServerName";
inline constexpr char kKeyMandatorySelvex[] = "MandatorySELVEX";

inline constexpr char kSectionGenicam[] = "GenICam";
inline constexpr char kKeyGigEVision[] = "GigEVision";
inline constexpr char kKeyUsb3Vision[] = "USB3Vision";
inline constexpr char kKeyFakeCamera[] = "FakeCamera";

inline constexpr char kSectionHttp[] = "HTTP";
inline constexpr char kKeyHttpEnabled[] = "Enabled";
inline constexpr char kKeyHttpPort[] = "Port";
inline constexpr char kKeyHttpBindAddress[] = "BindAddress";
inline constexpr char kKeyHttpMaxConnections[] = "MaxConnections";
inline constexpr char kKeyHttpMaxPerAddress[] = "MaxConnectionsPerAddress";

inline constexpr char kSectionAnalysis[] = "Analysis";
inline constexpr char kKeyRoiX[] = "RoiX";
inline constexpr char kKeyRoiY[] = "RoiY";
inline constexpr char kKeyRoiWidth[] = "RoiWidth";
inline constexpr char kKeyRoiHeight[] = "RoiHeight";

// The settings as the server reads them. Each member's initial value is the fallback used
// when its key is absent, which is not always the default written into a fresh file.

// Section HTTP: the embedded web server, read with the network settings.
struct HttpSettings {
    bool enabled = true;
    int port = 31780;
    std::string bindAddress = "0.0.0.0";
    int maxConnections = 64;
    int maxPerAddress = 8;
};

// Section DEFAULT, read at start-up and at every reconfiguration.
struct NetworkSettings {
    int maxClients = 255;
    int listenPort = 31777;
    int maxClientsLossy = 255;
    int listenPortLossy = 31778;
    int lossyEnabledValue = 1;     // LOSSYENABLED as stored
    std::string zeftFrameEqpName;  // frame-transfer equipment of the lossless channel
    HttpSettings http;             // section HTTP

    // Only exactly 1 enables the lossy channel.
    bool LossyEnabled() const { return lossyEnabledValue == 1; }
};

// Section DEFAULT, read by the control-system registration and the property handler.
struct ZeftSettings {
    std::string controlEqpName;
    int portNumber = 11;
    std::string context = "TAVO";
};

// Section CameraSettings, read at start-up; written by the camera settings update.
struct StoredCameraSettings {
    std::string name = "DefaultCamName";
    double scale = 1.0;
    std::string orientation = "NORM";
    std::string camId = "0x0";  // hexadecimal text, used verbatim
};

// Section SELVEX, read at every grabbing set-up.
struct SelvexSettings {
    std::string context;
    std::string serverName;
    int mandatory = 0;  // nonzero: a failed multiplexer query fails the grabbing set-up
};

// Section GenICam: where GenICam cameras are looked for, read at every bring-up. GigE
// Vision discovery broadcasts on the networks, so it is off unless turned on here.
struct GenicamSettings {
    bool gigEVision = false;
    bool usb3Vision = true;
    bool fakeCamera = false;  // the camera library's in-process test camera
};

// Section Access, read at every bring-up: host lists (see CHostList); empty allows everyone.
struct AccessSettings {
    std::string controlHosts;  // who may write
    std::string viewHosts;     // who may connect at all
};

// CameraSettings StallSeconds, read at every bring-up: seconds without a frame while
// grabbing before the camera counts as lost; 0 turns the watchdog off.
constexpr int kDefaultStallSeconds = 5;

// Section Analysis: the beam measurement's region in pixels of the oriented frame, read at
// start-up; width 0 is the whole frame. Checked by the reader's caller.
struct AnalysisSettings {
    int roiX = 0;
    int roiY = 0;
    int roiWidth = 0;
    int roiHeight = 0;
};

// Every key of the file. JPEGQuality counts at start-up only.
struct Settings {
    int jpegQuality = 30;
    NetworkSettings network;
    ZeftSettings zeft;
    StoredCameraSettings camera;
    SelvexSettings selvex;
};

int ReadJpegQuality(const CIniFile& ini);
NetworkSettings ReadNetworkSettings(const CIniFile& ini);
ZeftSettings ReadZeftSettings(const CIniFile& ini);
StoredCameraSettings ReadCameraSettings(const CIniFile& ini);
SelvexSettings ReadSelvexSettings(const CIniFile& ini);
GenicamSettings ReadGenicamSettings(const CIniFile& ini);
AccessSettings ReadAccessSettings(const CIniFile& ini);
int ReadStallSeconds(const CIniFile& ini);
// Adds the Access keys (empty) and StallSeconds (its default) where absent, so an older
// file shows them; the caller saves. True when something was added.
bool AddAccessAndWatchdogKeys(CIniFile& ini);
HttpSettings ReadHttpSettings(const CIniFile& ini);
AnalysisSettings ReadAnalysisSettings(const CIniFile& ini);
// Sets the four region keys; the caller saves. With `onlyMissing`, only those absent (an
// older file); true when one was set.
bool WriteAnalysisSettings(CIniFile& ini, const AnalysisSettings& s, bool onlyMissing = false);
// Writes whichever of Enabled, Port and BindAddress section HTTP lacks (a file from before
// the web server) with its default; true when it wrote one. The caller saves.
bool WriteMissingHttpSettings(CIniFile& ini);
Settings ReadSettings(const CIniFile& ini);

// Sets Name, CAMID, Orientation and Scale ("%f") in section CameraSettings, in that order;
// the caller saves. False when a text cannot be stored (it holds a line break).
bool WriteCameraSettings(CIniFile& ini, const StoredCameraSettings& camera);

// The machine's name as the equipment names use it: the host name up to its first '.',
// in upper case ("camsrv3.example.org" gives "CAMSRV3").
std::string ComputerName();
std::string ComputerNameFromHostName(std::string_view hostName);

// Sets the 20 keys of a fresh configuration to their written defaults, in the file's order.
// Keys already present are overwritten; other keys stay.
void WriteDefaultSettings(CIniFile& ini, std::string_view computerName);

// Creates the configuration store and loads kConfigFileName from `programDir`. Without a
// usable configuration (no LISTENPORTNUMBER in the first DEFAULT section) it logs so,
// writes the defaults and saves them; a missing HTTP section alone is added and saved; the store
// then holds the defaults even when saving failed. Null only when the store cannot be created. Main
// thread (it logs).
std::unique_ptr<CIniFile> InitializeIniFile(const std::string& programDir, ILogSink* log,
                                            std::string_view computerName);
