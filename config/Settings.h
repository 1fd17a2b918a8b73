#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "config/IniFile.h"
#include "config/KeyTable.h"

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
inline constexpr char kKeyStabilityFrames[] = "StabilityFrames";

inline constexpr char kSectionStream[] = "Stream";
inline constexpr char kKeyStreamEnabled[] = "Enabled";
inline constexpr char kKeyStreamEndpoint[] = "Endpoint";
inline constexpr char kKeyStreamPattern[] = "Pattern";
inline constexpr char kKeyStreamContent[] = "Content";
inline constexpr char kKeyStreamHighWaterMark[] = "HighWaterMark";

// The hardware description of the capture device: a key file beside the program, written
// by the video multiplexer SELVEX for the camera id when one is configured.
inline constexpr char kHardwareFileName[] = "curhardware.cfg";
inline constexpr char kHardwareSection[] = "GlobalSettings";
inline constexpr char kKeyHardwareType[] = "Type";
inline constexpr char kKeyDevicePath[] = "DevicePath";
inline constexpr char kKeyDeviceVideoMode[] = "DeviceVideoMode";
inline constexpr char kKeyLimitFramerate[] = "LimitFramerate";
// The marker of every stored description.
inline constexpr char kHardwareType[] = "DirectShow";

// The key tables: one per section, in the file's order. Each key's fallback is what counts
// when the file lacks it, which is not always the default written into a fresh file; the
// settings structs below take their initial values from here.
// {hostname} in a written default is the machine's name (ComputerName).
inline constexpr KeyDef kMaxClientsKey{kSectionDefault, kKeyMaxClients, KeyType::kInt, "255", 255};
inline constexpr KeyDef kListenPortKey{kSectionDefault, kKeyListenPort, KeyType::kInt, "31777",
                                       31777};
inline constexpr KeyDef kMaxClientsLossyKey{kSectionDefault, kKeyMaxClientsLossy, KeyType::kInt,
                                            "255", 255};
inline constexpr KeyDef kListenPortLossyKey{kSectionDefault, kKeyListenPortLossy, KeyType::kInt,
                                            "31778", 31778};
inline constexpr KeyDef kLossyEnabledKey{kSectionDefault, kKeyLossyEnabled, KeyType::kInt, "0", 1};
inline constexpr KeyDef kJpegQualityKey{kSectionDefault, kKeyJpegQuality, KeyType::kInt, "60", 30};
inline constexpr KeyDef kZeftFrameEqpNameKey{kSectionDefault, kKeyZeftFrameEqpName, KeyType::kText,
                                             "{hostname}F"};
inline constexpr KeyDef kZeftControlEqpNameKey{kSectionDefault, kKeyZeftControlEqpName,
                                               KeyType::kText, "{hostname}"};
inline constexpr KeyDef kZeftPortNumberKey{kSectionDefault, kKeyZeftPortNumber, KeyType::kInt, "11",
                                           11};
inline constexpr KeyDef kZeftContextKey{kSectionDefault, kKeyZeftContext, KeyType::kText, "TAVO", 0,
                                        "TAVO"};
inline constexpr KeyDef kDefaultKeys[] = {
    kMaxClientsKey,     kListenPortKey,  kMaxClientsLossyKey,  kListenPortLossyKey,
    kLossyEnabledKey,   kJpegQualityKey, kZeftFrameEqpNameKey, kZeftControlEqpNameKey,
    kZeftPortNumberKey, kZeftContextKey};

inline constexpr KeyDef kCameraNameKey{
    kSectionCameraSettings, kKeyCameraName, KeyType::kText, "Camera 0", 0, "DefaultCamName"};
inline constexpr KeyDef kScaleKey{kSectionCameraSettings, kKeyScale, KeyType::kReal, "1.0000", 1.0};
inline constexpr KeyDef kOrientationKey{
    kSectionCameraSettings, kKeyOrientation, KeyType::kText, "NORM", 0, "NORM"};
inline constexpr KeyDef kCamIdKey{kSectionCameraSettings, kKeyCamId, KeyType::kText,
                                  "0x01000000",           0,         "0x0"};
// Seconds without a frame while grabbing before the camera counts as lost; 0 turns the
// watchdog off. Not in a fresh file: added at the first bring-up.
inline constexpr KeyDef kStallSecondsKey{
    kSectionCameraSettings, kKeyStallSeconds, KeyType::kInt, "5", 5, "", false, 0};
inline constexpr KeyDef kCameraKeys[] = {kCameraNameKey, kScaleKey, kOrientationKey, kCamIdKey,
                                         kStallSecondsKey};

inline constexpr KeyDef kSelvexContextKey{kSectionSelvex, kKeySelvexContext, KeyType::kText,
                                          "TAVO"};
inline constexpr KeyDef kSelvexServerNameKey{kSectionSelvex, kKeySelvexServerName, KeyType::kText,
                                             "SELVEX"};
inline constexpr KeyDef kMandatorySelvexKey{kSectionSelvex, kKeyMandatorySelvex, KeyType::kInt,
                                            "0"};
inline constexpr KeyDef kSelvexKeys[] = {kSelvexContextKey, kSelvexServerNameKey,
                                         kMandatorySelvexKey};

inline constexpr KeyDef kHttpEnabledKey{kSectionHttp, kKeyHttpEnabled, KeyType::kInt, "1", 1};
inline constexpr KeyDef kHttpPortKey{kSectionHttp, kKeyHttpPort, KeyType::kInt, "31780", 31780};
inline constexpr KeyDef kHttpBindAddressKey{
    kSectionHttp, kKeyHttpBindAddress, KeyType::kText, "0.0.0.0", 0, "0.0.0.0"};
inline constexpr KeyDef kHttpMaxConnectionsKey{kSectionHttp, kKeyHttpMaxConnections, KeyType::kInt,
                                               "64", 64};
inline constexpr KeyDef kHttpMaxPerAddressKey{kSectionHttp, kKeyHttpMaxPerAddress, KeyType::kInt,
                                              "8", 8};
inline constexpr KeyDef kHttpKeys[] = {kHttpEnabledKey, kHttpPortKey, kHttpBindAddressKey,
                                       kHttpMaxConnectionsKey, kHttpMaxPerAddressKey};

// Host lists (see CHostList); empty allows everyone. Added at the first bring-up.
inline constexpr KeyDef kControlHostsKey{
    kSectionAccess, kKeyControlHosts, KeyType::kText, "", 0, "", false};
inline constexpr KeyDef kViewHostsKey{kSectionAccess, kKeyViewHosts, KeyType::kText, "", 0, "",
                                      false};
inline constexpr KeyDef kAccessKeys[] = {kControlHostsKey, kViewHostsKey};

// Never written: GigE Vision discovery broadcasts on the networks, so it is off unless
// turned on here.
inline constexpr KeyDef kGigEVisionKey{kSectionGenicam, kKeyGigEVision, KeyType::kInt, nullptr, 0};
inline constexpr KeyDef kUsb3VisionKey{kSectionGenicam, kKeyUsb3Vision, KeyType::kInt, nullptr, 1};
inline constexpr KeyDef kFakeCameraKey{kSectionGenicam, kKeyFakeCamera, KeyType::kInt, nullptr, 0};
inline constexpr KeyDef kGenicamKeys[] = {kGigEVisionKey, kUsb3VisionKey, kFakeCameraKey};

// The beam measurement's region in pixels of the oriented frame; width 0 is the whole
// frame. Added when the measurement starts.
inline constexpr KeyDef kRoiXKey{kSectionAnalysis, kKeyRoiX, KeyType::kInt, "0", 0, "", false};
inline constexpr KeyDef kRoiYKey{kSectionAnalysis, kKeyRoiY, KeyType::kInt, "0", 0, "", false};
inline constexpr KeyDef kRoiWidthKey{
    kSectionAnalysis, kKeyRoiWidth, KeyType::kInt, "0", 0, "", false};
inline constexpr KeyDef kRoiHeightKey{
    kSectionAnalysis, kKeyRoiHeight, KeyType::kInt, "0", 0, "", false};
// Valid results in the beam stability window.
inline constexpr KeyDef kStabilityFramesKey{
    kSectionAnalysis, kKeyStabilityFrames, KeyType::kInt, "1024", 1024, "", false, 16, 16384};
inline constexpr KeyDef kAnalysisKeys[] = {kRoiXKey, kRoiYKey, kRoiWidthKey, kRoiHeightKey,
                                           kStabilityFramesKey};

// The frame stream for analysis farms; off unless the file turns it on, so never written.
inline constexpr KeyDef kStreamEnabledKey{kSectionStream, kKeyStreamEnabled, KeyType::kInt, nullptr,
                                          0};
inline constexpr KeyDef kStreamEndpointKey{
    kSectionStream, kKeyStreamEndpoint, KeyType::kText, nullptr, 0, "tcp://*:31779"};
inline constexpr KeyDef kStreamPatternKey{
    kSectionStream, kKeyStreamPattern, KeyType::kText, nullptr, 0, "PUSH"};
inline constexpr KeyDef kStreamContentKey{
    kSectionStream, kKeyStreamContent, KeyType::kText, nullptr, 0, "raw"};
// Frames queued per peer; beyond it a frame is dropped for that peer.
inline constexpr KeyDef kStreamHighWaterMarkKey{
    kSectionStream, kKeyStreamHighWaterMark, KeyType::kInt, nullptr, 8, "", false, 1, 1000};
inline constexpr KeyDef kStreamKeys[] = {kStreamEnabledKey, kStreamEndpointKey, kStreamPatternKey,
                                         kStreamContentKey, kStreamHighWaterMarkKey};

// Section GlobalSettings of the hardware description; never written with defaults (the
// build and the package place a whole file).
inline constexpr KeyDef kHardwareTypeKey{kHardwareSection, kKeyHardwareType, KeyType::kText,
                                         nullptr};
inline constexpr KeyDef kDevicePathKey{kHardwareSection, kKeyDevicePath, KeyType::kText, nullptr};
inline constexpr KeyDef kDeviceVideoModeKey{kHardwareSection, kKeyDeviceVideoMode, KeyType::kInt,
                                            nullptr, 0};
inline constexpr KeyDef kLimitFramerateKey{kHardwareSection, kKeyLimitFramerate, KeyType::kReal,
                                           nullptr, -1.0};  // frames/s, -1: no limit
inline constexpr KeyDef kHardwareKeys[] = {kHardwareTypeKey, kDevicePathKey, kDeviceVideoModeKey,
                                           kLimitFramerateKey};

// The settings as the server reads them.

// Section HTTP: the embedded web server, read with the network settings. The idle time is
// not a key: the server's own.
struct WebSettings {
    bool enabled = kHttpEnabledKey.IntFallback() != 0;
    int port = kHttpPortKey.IntFallback();
    std::string bindAddress = kHttpBindAddressKey.fallbackText;
    int maxConnections = kHttpMaxConnectionsKey.IntFallback();
    int maxPerAddress = kHttpMaxPerAddressKey.IntFallback();
    int idleSeconds = 30;
};

// Section Stream, read with the network settings. Pattern and content are checked where the
// stream starts, so that a bad value is reported there.
struct StreamSettings {
    bool enabled = false;
    std::string endpoint = kStreamEndpointKey.fallbackText;
    std::string pattern = kStreamPatternKey.fallbackText;  // PUSH or PUB
    std::string content = kStreamContentKey.fallbackText;  // raw or lossless
    int highWaterMark = kStreamHighWaterMarkKey.IntFallback();
};

// Section DEFAULT, read at start-up and at every reconfiguration.
struct NetworkSettings {
    int maxClients = kMaxClientsKey.IntFallback();
    int listenPort = kListenPortKey.IntFallback();
    int maxClientsLossy = kMaxClientsLossyKey.IntFallback();
    int listenPortLossy = kListenPortLossyKey.IntFallback();
    int lossyEnabledValue = kLossyEnabledKey.IntFallback();  // LOSSYENABLED as stored
    std::string zeftFrameEqpName;  // frame-transfer equipment of the lossless channel
    WebSettings http;              // section HTTP
    StreamSettings stream;         // section Stream

    // Only exactly 1 enables the lossy channel.
    bool LossyEnabled() const { return lossyEnabledValue == 1; }
};

// Section DEFAULT, read by the control-system registration and the property handler.
struct ZeftSettings {
    std::string controlEqpName;
    int portNumber = kZeftPortNumberKey.IntFallback();
    std::string context = kZeftContextKey.fallbackText;
};

// Section CameraSettings, read at start-up; written by the camera settings update.
struct StoredCameraSettings {
    std::string name = kCameraNameKey.fallbackText;
    double scale = kScaleKey.fallback;
    std::string orientation = kOrientationKey.fallbackText;
    std::string camId = kCamIdKey.fallbackText;  // hexadecimal text, used verbatim
};

// Section SELVEX, read at every grabbing set-up.
struct SelvexSettings {
    std::string context;
    std::string serverName;
    int mandatory = 0;  // nonzero: a failed multiplexer query fails the grabbing set-up
};

// Section GenICam: where GenICam cameras are looked for, read at every bring-up.
struct GenicamSettings {
    bool gigEVision = false;
    bool usb3Vision = true;
    bool fakeCamera = false;  // the camera library's in-process test camera
};

// Section Access, read at every bring-up.
struct AccessSettings {
    std::string controlHosts;  // who may write
    std::string viewHosts;     // who may connect at all
};

constexpr int kDefaultStallSeconds = kStallSecondsKey.IntFallback();

// Section Analysis, read at start-up. Checked by the reader's caller.
struct AnalysisSettings {
    int roiX = 0;
    int roiY = 0;
    int roiWidth = 0;
    int roiHeight = 0;
    int stabilityFrames = 1024;  // results in the beam stability window; bounded by its user
};

// Section GlobalSettings of the hardware description.
struct HardwareSettings {
    std::string type;
    std::string devicePath;
    int videoMode = kDeviceVideoModeKey.IntFallback();
    double limitFramerate = kLimitFramerateKey.fallback;
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
WebSettings ReadHttpSettings(const CIniFile& ini);
StreamSettings ReadStreamSettings(const CIniFile& ini);
HardwareSettings ReadHardwareSettings(const CIniFile& hardware);
AnalysisSettings ReadAnalysisSettings(const CIniFile& ini);
// Sets the four region keys, and StabilityFrames where absent (nothing changes it at run
// time); the caller saves. With `onlyMissing`, only those absent (an older file); true when
// one was set.
bool WriteAnalysisSettings(CIniFile& ini, const AnalysisSettings& s, bool onlyMissing = false);
// Writes whichever key of section HTTP the file lacks (a file from before the web server)
// with its default; true when it wrote one. The caller saves.
bool WriteMissingHttpSettings(CIniFile& ini);
Settings ReadSettings(const CIniFile& ini);

// Sets Name, CAMID, Orientation and Scale ("%f") in section CameraSettings, in that order;
// the caller saves. False when a text cannot be stored (it holds a line break).
bool WriteCameraSettings(CIniFile& ini, const StoredCameraSettings& camera);

// The machine's name as the equipment names use it: the host name up to its first '.',
// in upper case ("camsrv3.example.org" gives "CAMSRV3").
std::string ComputerName();
std::string ComputerNameFromHostName(std::string_view hostName);

// Sets the keys of a fresh configuration (those of the tables marked so) to their written
// defaults, in the file's order.
// Keys already present are overwritten; other keys stay.
void WriteDefaultSettings(CIniFile& ini, std::string_view computerName);

// Creates the configuration store and loads kConfigFileName from `programDir`. Without a
// usable configuration (no LISTENPORTNUMBER in the first DEFAULT section) it logs so,
// writes the defaults and saves them; a missing HTTP section alone is added and saved; the store
// then holds the defaults even when saving failed. Null only when the store cannot be created. Main
// thread (it logs).
std::unique_ptr<CIniFile> InitializeIniFile(const std::string& programDir, ILogSink* log,
                                            std::string_view computerName);
