#include "control/PropertyHandler.h"

#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "base/LittleEndian.h"
#include "control/Registration.h"
#include "zeft/Srv.h"
#include "zeft/ZeftTypes.h"

namespace {

// Reply codes of the handler.
constexpr int16_t kOk = 0;
constexpr int16_t kRejected = 2;
constexpr int16_t kIllegalProperty = 36;
constexpr int16_t kNotWritable = 73;
constexpr int16_t kInternalError = 515;
constexpr int16_t kNoSpotData = 516;

constexpr size_t kSpotRecordBytes = 16;

bool Reads(int16_t access) {
    return (access & kZeftRead) != 0;
}
bool Writes(int16_t access) {
    return (access & kZeftWrite) != 0;
}

}  // namespace

std::string FormatControlTime(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S ", &local);
    return std::string(text, n);
}

bool CPropertyHandler::ReadTextRequest(std::string& target) {
    std::array<uint8_t, kTextRequestBytes> bytes{};
    uint32_t count = 0;
    if (control_.GetRequestData(bytes, &count) != 0)
        return false;
    count = std::min<uint32_t>(count, kTextRequestBytes);
    const auto* begin = reinterpret_cast<const char*>(bytes.data());
    const size_t length = strnlen(begin, count);
    std::string text(begin, length);
    // Only terminators may follow the first NUL; a line break would split the stored line.
    for (size_t i = length; i < count; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    if (text.find_first_of("\r\n") != std::string::npos)
        return false;
    target = std::move(text);
    return true;
}

bool CPropertyHandler::SendTextReply(const std::string& text) {
    return control_.PutReplyData(std::string_view(text)) == 0;
}

using P = CPropertyHandler;

const std::array<ControlPropertyDef, 25> kControlProperties = {{
    {"C_CAMNAME", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite,
     "Grabber: read camera name string", &P::CameraText, CameraField::kName},
    {"S_Servername", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: read server name", &P::ServerName},
    {"C_ActiveSince", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: camera active since", &P::ActiveSince},
    {"S_StartTime", 32, kZeftFormatChar, 1, kZeftFormatText, kZeftRead,
     "Grabber: server startup time", &P::StartTime},
    {"C_CAMID", 10, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite, "Grabber: r/w camera id",
     &P::CameraText, CameraField::kCamId},
    {"S_SPOTDATA", 1, kZeftFormatByte, 1, kZeftFormatRecord, kZeftReadWrite,
     "Grabber: Get spot size and position", &P::SpotData},
    {"C_SCALE", 1, kZeftFormatDouble, 1, kZeftFormatDouble, kZeftReadWrite,
     "Grabber: r/w scale factor of camera", &P::Scale, CameraField::kScale},
    {"C_DYNAMICSCALE", 1, kZeftFormatDouble, 1, kZeftFormatDouble, kZeftReadWrite,
     "Grabber: set dynamic scale factor", &P::DynamicScale},
    {"C_ORIENTATION", 20, kZeftFormatChar, 1, kZeftFormatText, kZeftReadWrite,
     "Grabber: rw rotation setting", &P::CameraText, CameraField::kOrientation},
    {"C_WIDTH", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read width of video frame", &P::Geometry, CameraField::kWidth},
    {"C_HEIGHT", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read height of video frame", &P::Geometry, CameraField::kHeight},
    {"S_START", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: write 1 to activate server", &P::Start},
    {"S_STOP", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: write 1 to deactivate server", &P::Stop},
    {"S_isStarted", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: server started [yes=1, no=0]", &P::IsStarted},
    {"S_isStopped", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: server stopped [yes=1, no=0]", &P::IsStopped},
    {"S_UPDATE", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftWrite,
     "Grabber: update to new settings", &P::Update},
    {"S_isUpdated", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read whether updating was successful", &P::IsUpdated},
    {"C_BPP", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read bits per pixel setting", &P::Geometry, CameraField::kBitsPerPixel},
    {"S_availVideodata", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftRead,
     "Grabber: are frames coming in from card ?", &P::VideoAvailable},
    {"S_COMPRESSION", 1, kZeftFormatByte, 1, kZeftFormatInt, kZeftRead,
     "Grabber: read compression id", &P::Compression},
    {"X_HEALTH", 1, kZeftFormatInt, 1, kZeftFormatText, kZeftRead,
     "Grabber: frames processed and dropped per stage, clients, ZEFT calls", &P::Health},
    {"X_BEAM", 1, kZeftFormatInt, 12, kZeftFormatDouble, kZeftRead,
     "Grabber: beam frame, valid, centroid x y, sigma x y xy, D4sigma major minor, angle, peak, "
     "total",
     &P::Beam},
    {"X_ROI", 4, kZeftFormatInt, 4, kZeftFormatInt, kZeftReadWrite,
     "Grabber: r/w beam region x, y, width, height (width 0: whole frame)", &P::Region},
    {"X_DARK", 1, kZeftFormatInt, 1, kZeftFormatInt, kZeftReadWrite,
     "Grabber: write N to capture a dark frame of N frames, 0 to clear; read its frames", &P::Dark},
    {"X_STABILITY", 1, kZeftFormatInt, 10, kZeftFormatDouble, kZeftRead,
     "Grabber: beam stability frames, mean x y, delta x y, azimuth, strongest line x f amplitude, "
     "y f amplitude",
     &P::Stability},
}};

const ControlPropertyDef* FindControlProperty(std::string_view name) {
    for (const ControlPropertyDef& row : kControlProperties) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

const char* ControlPropertyName(CameraField field) {
    for (const ControlPropertyDef& row : kControlProperties) {
        if (field != CameraField::kNone && row.field == field)
            return row.name;
    }
    return nullptr;
}

void CPropertyHandler::End(int16_t code, const char* message) {
    control_.SetCallStatus(code, message);
}

bool CPropertyHandler::PutInt(int64_t value) {
    return control_.PutReplyData(uint32_t(value)) == 0;
}

template <class Put>
void CPropertyHandler::ReadOnly(int16_t access, int16_t writeCode, const char* writeMessage,
                                const char* readFailed, const Put& put) {
    if (Writes(access))
        return End(writeCode, writeMessage);
    if (Reads(access) && !put())
        return End(kInternalError, readFailed);
    End(kOk, "");
}

void CPropertyHandler::Request(int16_t access, ControllerCommand command) {
    bool wroteOne = false;
    bool lastOk = false;
    if (Writes(access)) {
        uint32_t value = 0;
        wroteOne = control_.GetRequestData(value) == 0 && value == 1;
        lastOk = wroteOne;
        if (wroteOne) {
            // A client polls the flag after its write: it is false from the reply on.
            if (command == ControllerCommand::kApplySettings && requests_.Check(command).Accepted())
                state_.SetSettingsApplied(false);
            requests_.Post(command);
        }
    }
    if (Reads(access))
        lastOk = control_.PutReplyData(uint32_t{wroteOne ? 1u : 0u}) == 0;
    if (lastOk)
        End(kOk, "");
    else
        End(kInternalError, "Internal error!");
}

void CPropertyHandler::Geometry(const ControlPropertyDef& row, int16_t access) {
    // The frame as oriented: a quarter turn exchanges width and height.
    const bool turned = state_.CurrentOrientationTurns();
    int value = state_.CurrentBitsPerPixel();
    if (row.field == CameraField::kWidth)
        value = turned ? state_.CurrentHeight() : state_.CurrentWidth();
    else if (row.field == CameraField::kHeight)
        value = turned ? state_.CurrentWidth() : state_.CurrentHeight();
    ReadOnly(access, kNotWritable, "", "Error!", [&] { return PutInt(value); });
}

void CPropertyHandler::CameraText(const ControlPropertyDef& row, int16_t access) {
    CameraSettings& pending = state_.PendingCamera();
    const CameraSettings& current = state_.CurrentCamera();
    std::string& target = row.field == CameraField::kName    ? pending.name
                          : row.field == CameraField::kCamId ? pending.camId
                                                             : pending.orientation;
    const std::string& value = row.field == CameraField::kName    ? current.name
                               : row.field == CameraField::kCamId ? current.camId
                                                                  : current.orientation;
    if (Writes(access) && !ReadTextRequest(target))
        return End(kRejected, "");
    if (Reads(access) && !SendTextReply(value))
        return End(kInternalError, "Error!");
    End(kOk, "");
}

void CPropertyHandler::Scale(const ControlPropertyDef&, int16_t access) {
    if (Writes(access)) {
        double v = 0;
        if (control_.GetRequestData(v) != 0 || !(v >= kMinScale && v <= kMaxScale))
            return End(kRejected, "");
        state_.PendingCamera().scale = v;
    }
    if (Reads(access) && control_.PutReplyData(state_.CurrentCamera().scale) != 0)
        return End(kInternalError, "Error!");
    End(kOk, "");
}

void CPropertyHandler::DynamicScale(const ControlPropertyDef&, int16_t access) {
    if (Writes(access)) {
        double v = 0;
        if (control_.GetRequestData(v) != 0 || !(v >= kMinScale && v <= kMaxScale))
            return End(kRejected, "scale not accepted!");
        state_.SetCurrentScale(v);
    }
    if (Reads(access) && control_.PutReplyData(state_.CurrentCamera().scale) != 0)
        return End(kInternalError, "Error!");
    End(kOk, "scale set.");
}

void CPropertyHandler::ServerName(const ControlPropertyDef&, int16_t access) {
    ReadOnly(access, kNotWritable, "", "Error!",
             [&] { return SendTextReply(state_.ControlEquipmentName()); });
}

void CPropertyHandler::Health(const ControlPropertyDef&, int16_t access) {
    ReadOnly(access, kNotWritable, "", "Error!",
             [&] { return SendTextReply(state_.HealthText()); });
}

void CPropertyHandler::Compression(const ControlPropertyDef&, int16_t access) {
    ReadOnly(access, kNotWritable, "not_implemented", "Unknown internal error!",
             [&] { return PutInt(state_.CodecFourCC()); });
}

void CPropertyHandler::VideoAvailable(const ControlPropertyDef&, int16_t access) {
    // Writes are ignored.
    timeval now{};
    gettimeofday(&now, nullptr);
    const int64_t seconds = state_.LastFrameSeconds();
    const int64_t elapsedMs = 1000 * (int64_t{now.tv_sec} - seconds) -
                              state_.LastFrameMilliseconds() + now.tv_usec / 1000;
    const bool available = seconds != 0 && elapsedMs <= kVideoAvailableMs;
    if (Reads(access) && !PutInt(available ? 1 : 0))
        return End(kInternalError, "Error!");
    End(kOk, "");
}

void CPropertyHandler::SpotData(const ControlPropertyDef&, int16_t access) {
    if (Writes(access))
        return End(kNotWritable, "");
    float xm = 0, ym = 0, xrms = 0, yrms = 0;
    state_.Spot(&xm, &ym, &xrms, &yrms);
    std::array<uint8_t, kSpotRecordBytes> record{};
    StoreLE32(record.data(), static_cast<uint32_t>(static_cast<int32_t>(xm * 1000)));
    StoreLEFloat(record.data() + 4, ym);
    StoreLEFloat(record.data() + 8, xrms);
    StoreLEFloat(record.data() + 12, yrms);
    if (!Reads(access) || control_.PutReplyArray(record, kSpotRecordBytes) != 0)
        return End(kNoSpotData, "Could not send spot data.");
    End(kOk, "");
}

void CPropertyHandler::Start(const ControlPropertyDef&, int16_t access) {
    Request(access, ControllerCommand::kStart);
}

void CPropertyHandler::Stop(const ControlPropertyDef&, int16_t access) {
    Request(access, ControllerCommand::kStop);
}

void CPropertyHandler::Update(const ControlPropertyDef&, int16_t access) {
    Request(access, ControllerCommand::kApplySettings);
}

void CPropertyHandler::IsStarted(const ControlPropertyDef&, int16_t access) {
    const bool value = state_.IsGrabbing();
    ReadOnly(access, kNotWritable, "", "Unknown internal error!", [&] { return PutInt(value); });
}

void CPropertyHandler::IsStopped(const ControlPropertyDef&, int16_t access) {
    const bool value = !state_.IsGrabbing();
    ReadOnly(access, kNotWritable, "", "Unknown internal error!", [&] { return PutInt(value); });
}

void CPropertyHandler::IsUpdated(const ControlPropertyDef&, int16_t access) {
    const bool value = state_.SettingsApplied();
    ReadOnly(access, kNotWritable, "", "Unknown internal error!", [&] { return PutInt(value); });
}

void CPropertyHandler::ActiveSince(const ControlPropertyDef&, int16_t access) {
    const std::string text = "Camera " + state_.CurrentCamera().name + " active since " +
                             FormatControlTime(state_.CameraActiveSince());
    ReadOnly(access, kInternalError, "Error!", "Error!", [&] { return SendTextReply(text); });
}

void CPropertyHandler::StartTime(const ControlPropertyDef&, int16_t access) {
    const std::string text = "Server alive since " + FormatControlTime(state_.ServerStartTime());
    ReadOnly(access, kInternalError, "Error!", "Error!", [&] { return SendTextReply(text); });
}

template <size_t N>
void CPropertyHandler::Doubles(int16_t access, const std::array<double, N>& values) {
    std::array<uint8_t, N * 8> bytes{};
    for (size_t i = 0; i < N; ++i)
        StoreLEDouble(bytes.data() + 8 * i, values[i]);
    ReadOnly(access, kNotWritable, "", "Error!",
             [&] { return control_.PutReplyArray(bytes, uint32_t(bytes.size())) == 0; });
}

void CPropertyHandler::Beam(const ControlPropertyDef&, int16_t access) {
    Doubles(access, state_.BeamValues());
}

void CPropertyHandler::Stability(const ControlPropertyDef&, int16_t access) {
    Doubles(access, state_.StabilityValues());
}

void CPropertyHandler::Region(const ControlPropertyDef&, int16_t access) {
    if (Writes(access)) {
        std::array<int32_t, 4> region{};
        uint32_t count = 0;
        if (control_.GetRequestData(region, &count) != 0 || count != region.size())
            return End(kRejected, "Write four integers: x, y, width, height.");
        const std::string reason = state_.SetBeamRegion(region);
        if (!reason.empty())
            return End(kRejected, reason.c_str());
    }
    if (Reads(access)) {
        std::array<uint8_t, 16> bytes{};
        const auto region = state_.BeamRegion();
        for (size_t i = 0; i < region.size(); ++i)
            StoreLE32(bytes.data() + 4 * i, static_cast<uint32_t>(region[i]));
        if (control_.PutReplyArray(bytes, uint32_t(bytes.size())) != 0)
            return End(kInternalError, "Error!");
    }
    End(kOk, "");
}

void CPropertyHandler::Dark(const ControlPropertyDef&, int16_t access) {
    if (Writes(access)) {
        uint32_t frames = 0;
        if (control_.GetRequestData(frames) != 0)
            return End(kRejected, "Write the number of frames, or 0 to clear.");
        const std::string reason = state_.RequestDarkFrame(frames);
        if (!reason.empty())
            return End(kRejected, reason.c_str());
    }
    if (Reads(access) && !PutInt(state_.DarkFrames()))
        return End(kInternalError, "Error!");
    End(kOk, "");
}

void CPropertyHandler::OnPropertyCall(const std::string& device, const std::string& property,
                                      int16_t access) {
    if (device == kControlDeviceName) {
        if (const ControlPropertyDef* row = FindControlProperty(property))
            (this->*row->handle)(*row, access);
        else
            End(kIllegalProperty, "Illegal property.");
    }
    // Every call, also one for another device, refreshes the pending fields.
    state_.ShowPendingSettings();
}
