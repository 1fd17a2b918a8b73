#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "base/ControllerRequests.h"

class CSrv;
class CPropertyHandler;

// The camera settings the controller keeps twice: in effect (current), and written through
// the control system and waiting for an apply request (pending).
struct CameraSettings {
    std::string name;
    std::string camId;
    double scale = 1.0;
    std::string orientation;
};

// What the property handler reads and changes of the main controller, which implements it.
// Main thread only.
class IControllerState {
  public:
    virtual ~IControllerState() = default;

    virtual const CameraSettings& CurrentCamera() const = 0;
    // Geometry of the acquired frames as the window shows it (before orientation).
    virtual int CurrentWidth() const = 0;
    virtual int CurrentHeight() const = 0;
    virtual int CurrentBitsPerPixel() const = 0;
    // True when the current orientation is a quarter turn (width and height exchange).
    virtual bool CurrentOrientationTurns() const = 0;
    virtual CameraSettings& PendingCamera() = 0;
    // C_DYNAMICSCALE: takes effect with the next frame.
    virtual void SetCurrentScale(double scale) = 0;

    virtual bool IsGrabbing() const = 0;
    virtual bool SubsystemsUp() const = 0;
    virtual bool SettingsApplied() const = 0;
    virtual void SetSettingsApplied(bool applied) = 0;

    // Capture time of the last processed frame (0 before the first).
    virtual int64_t LastFrameSeconds() const = 0;
    virtual int LastFrameMilliseconds() const = 0;
    virtual time_t ServerStartTime() const = 0;
    virtual time_t CameraActiveSince() const = 0;
    // xm, ym, xrms, yrms of the last measured frame, -1 before the first.
    virtual void Spot(float* xm, float* ym, float* xrms, float* yrms) const = 0;
    // The lossless codec's four-character code, 0 without a codec.
    virtual uint32_t CodecFourCC() const = 0;
    // ZEFTCONTROLEQPNAME of the configuration.
    virtual std::string ControlEquipmentName() const = 0;
    // The health line the log gets once a minute, as of now.
    virtual std::string HealthText() const = 0;

    // The newest beam: frame, valid (1 or 0), centroid x and y, σx, σy, σxy, D4σ major and
    // minor, angle, peak, total; all 0 before the first.
    static constexpr size_t kBeamValues = 12;
    virtual std::array<double, kBeamValues> BeamValues() const = 0;
    // The beam's stability over its window: frames, mean x and y, Δx, Δy (4 s along the
    // principal axes), azimuth, then frequency and amplitude of the strongest jitter line in
    // x and in y; all 0 before the first figures (a line's two values also without a line).
    static constexpr size_t kStabilityValues = 10;
    virtual std::array<double, kStabilityValues> StabilityValues() const = 0;
    // The beam's region: x, y, width, height (width 0: the whole frame).
    virtual std::array<int32_t, 4> BeamRegion() const = 0;
    // "" when the region is taken (and stored), else why not, one line.
    virtual std::string SetBeamRegion(const std::array<int32_t, 4>& region) = 0;
    // Frames averaged into the dark frame in use; 0 for none.
    virtual uint32_t DarkFrames() const = 0;
    // Starts capturing a dark frame of `frames` frames, or clears it for 0: "" when done,
    // else why not, one line.
    virtual std::string RequestDarkFrame(uint32_t frames) = 0;

    // Refreshes the "Settings to be applied" fields.
    virtual void ShowPendingSettings() = 0;
};

// The camera setting a property shows; clients watching it hear of every change.
enum class CameraField : uint8_t {
    kNone,
    kName,
    kCamId,
    kWidth,
    kHeight,
    kBitsPerPixel,
    kScale,
    kOrientation
};

// One property of device "LUMERIX": what registration declares and who answers it.
struct ControlPropertyDef {
    const char* name;
    int32_t requestSize;
    int16_t requestFormat;
    int32_t replySize;
    int16_t replyFormat;
    int16_t access;
    const char* description;
    void (CPropertyHandler::*handle)(const ControlPropertyDef& row, int16_t access);
    CameraField field = CameraField::kNone;
};

// The device's properties in registration order: the twenty, then X_HEALTH and the beam's
// under names no earlier client uses.
extern const std::array<ControlPropertyDef, 25> kControlProperties;
// The row of `name` (exact), or null.
const ControlPropertyDef* FindControlProperty(std::string_view name);
// The property that shows `field`, or null.
const char* ControlPropertyName(CameraField field);

// Answers the calls on the properties of device "LUMERIX": reads and writes the
// controller's state and ends each call with its reply code. Start, stop and apply are
// requested, never carried out inside a call. Main thread only.
class CPropertyHandler {
  public:
    // Written values of C_SCALE and C_DYNAMICSCALE outside this range are refused.
    static constexpr double kMinScale = 0.0001;
    static constexpr double kMaxScale = 10000;
    // A frame at most this old counts as video coming in.
    static constexpr int64_t kVideoAvailableMs = 2000;
    // Text writes are read through an array of this many bytes.
    static constexpr size_t kTextRequestBytes = 48;

    CPropertyHandler(CSrv& control, IControllerState& state, IControllerRequests& requests)
        : control_(control), state_(state), requests_(requests) {}

    void OnPropertyCall(const std::string& device, const std::string& property, int16_t access);

    // The rows' handlers; each ends the call with its reply code.
    void Geometry(const ControlPropertyDef& row, int16_t access);
    void CameraText(const ControlPropertyDef& row, int16_t access);
    void Scale(const ControlPropertyDef& row, int16_t access);
    void DynamicScale(const ControlPropertyDef& row, int16_t access);
    void ServerName(const ControlPropertyDef& row, int16_t access);
    void Health(const ControlPropertyDef& row, int16_t access);
    void Compression(const ControlPropertyDef& row, int16_t access);
    void VideoAvailable(const ControlPropertyDef& row, int16_t access);
    void SpotData(const ControlPropertyDef& row, int16_t access);
    void Start(const ControlPropertyDef& row, int16_t access);
    void Stop(const ControlPropertyDef& row, int16_t access);
    void Update(const ControlPropertyDef& row, int16_t access);
    void IsStarted(const ControlPropertyDef& row, int16_t access);
    void IsStopped(const ControlPropertyDef& row, int16_t access);
    void IsUpdated(const ControlPropertyDef& row, int16_t access);
    void ActiveSince(const ControlPropertyDef& row, int16_t access);
    void StartTime(const ControlPropertyDef& row, int16_t access);
    void Beam(const ControlPropertyDef& row, int16_t access);
    void Stability(const ControlPropertyDef& row, int16_t access);
    void Region(const ControlPropertyDef& row, int16_t access);
    void Dark(const ControlPropertyDef& row, int16_t access);

  private:
    // Reads the written text (up to the first NUL, at most kTextRequestBytes) into `target`.
    // False when the control reports an error, or the text holds a line break or an inner
    // NUL: such a text could not be stored in the configuration file.
    bool ReadTextRequest(std::string& target);
    bool SendTextReply(const std::string& text);
    bool PutInt(int64_t value);
    void End(int16_t code, const char* message);
    // A property that cannot be written: a write ends the call with `writeCode`; otherwise
    // the read (when asked) decides between 0 and 515 with `readFailed`.
    template <class Put>
    void ReadOnly(int16_t access, int16_t writeCode, const char* writeMessage,
                  const char* readFailed, const Put& put);
    // X_BEAM, X_STABILITY: read-only doubles, little-endian.
    template <size_t N>
    void Doubles(int16_t access, const std::array<double, N>& values);
    // S_START, S_STOP, S_UPDATE: a written 1 posts `command`; the state table decides.
    void Request(int16_t access, ControllerCommand command);

    CSrv& control_;
    IControllerState& state_;
    IControllerRequests& requests_;
};

// "%d.%m.%Y %H:%M:%S " of `t` in local time, with the trailing blank.
std::string FormatControlTime(time_t t);
