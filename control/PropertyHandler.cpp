#include "control/PropertyHandler.h"

#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "base/LittleEndian.h"
#include "base/Messages.h"
#include "control/Registration.h"
#include "control/zeft/Srv.h"
#include "control/zeft/ZeftTypes.h"

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

void CPropertyHandler::Request(int16_t access, uint32_t message, bool allowed) {
    bool wroteOne = false;
    bool lastOk = false;
    if (Writes(access)) {
        uint32_t value = 0;
        wroteOne = control_.GetRequestData(value) == 0 && value == 1;
        lastOk = wroteOne;
        if (wroteOne && allowed) {
            if (message == WM_APPLY_CAMERA_SETTINGS)
                state_.SetSettingsApplied(false);
            state_.PostRequest(message);
        }
    }
    if (Reads(access))
        lastOk = control_.PutReplyData(uint32_t{wroteOne ? 1u : 0u}) == 0;
    if (lastOk)
        control_.SetCallStatus(kOk, "");
    else
        control_.SetCallStatus(kInternalError, "Internal error!");
}

void CPropertyHandler::Dispatch(const std::string& property, int16_t access) {
    auto end = [this](int16_t code, const char* message) { control_.SetCallStatus(code, message); };
    // A property that cannot be written: a write ends the call with `writeCode`; otherwise
    // the read (when asked) decides between 0 and 515 with `readFailed`.
    auto readOnly = [&](int16_t writeCode, const char* writeMessage, const char* readFailed,
                        const auto& put) {
        if (Writes(access))
            return end(writeCode, writeMessage);
        if (Reads(access) && !put())
            return end(kInternalError, readFailed);
        end(kOk, "");
    };
    auto putInt = [this](int64_t v) { return control_.PutReplyData(uint32_t(v)) == 0; };

    const CameraSettings& current = state_.CurrentCamera();
    const bool turned = state_.CurrentOrientationTurns();
    if (property == "C_WIDTH" || property == "C_HEIGHT") {
        const bool width = (property == "C_WIDTH") != turned;
        readOnly(kNotWritable, "", "Error!",
                 [&] { return putInt(width ? state_.CurrentWidth() : state_.CurrentHeight()); });
    } else if (property == "C_BPP") {
        readOnly(kNotWritable, "", "Error!", [&] { return putInt(state_.CurrentBitsPerPixel()); });
    } else if (property == "C_CAMNAME" || property == "C_CAMID" || property == "C_ORIENTATION") {
        CameraSettings& pending = state_.PendingCamera();
        std::string& target = property == "C_CAMNAME" ? pending.name
                              : property == "C_CAMID" ? pending.camId
                                                      : pending.orientation;
        const std::string& value = property == "C_CAMNAME" ? current.name
                                   : property == "C_CAMID" ? current.camId
                                                           : current.orientation;
        if (Writes(access) && !ReadTextRequest(target))
            return end(kRejected, "");
        if (Reads(access) && !SendTextReply(value))
            return end(kInternalError, "Error!");
        end(kOk, "");
    } else if (property == "C_SCALE" || property == "C_DYNAMICSCALE") {
        const bool dynamic = property == "C_DYNAMICSCALE";
        if (Writes(access)) {
            double v = 0;
            if (control_.GetRequestData(v) != 0 || !(v >= kMinScale && v <= kMaxScale))
                return end(kRejected, dynamic ? "scale not accepted!" : "");
            if (dynamic)
                state_.SetCurrentScale(v);
            else
                state_.PendingCamera().scale = v;
        }
        if (Reads(access) && control_.PutReplyData(state_.CurrentCamera().scale) != 0)
            return end(kInternalError, "Error!");
        end(kOk, dynamic ? "scale set." : "");
    } else if (property == "S_Servername") {
        readOnly(kNotWritable, "", "Error!",
                 [&] { return SendTextReply(state_.ControlEquipmentName()); });
    } else if (property == kHealthProperty.name) {
        readOnly(kNotWritable, "", "Error!", [&] { return SendTextReply(state_.HealthText()); });
    } else if (property == "S_COMPRESSION") {
        readOnly(kNotWritable, "not_implemented", "Unknown internal error!",
                 [&] { return putInt(state_.CodecFourCC()); });
    } else if (property == "S_availVideodata") {
        // Writes are ignored.
        timeval now{};
        gettimeofday(&now, nullptr);
        const int64_t seconds = state_.LastFrameSeconds();
        const int64_t elapsedMs = 1000 * (int64_t{now.tv_sec} - seconds) -
                                  state_.LastFrameMilliseconds() + now.tv_usec / 1000;
        const bool available = seconds != 0 && elapsedMs <= kVideoAvailableMs;
        if (Reads(access) && !putInt(available ? 1 : 0))
            return end(kInternalError, "Error!");
        end(kOk, "");
    } else if (property == "S_SPOTDATA") {
        if (Writes(access))
            return end(kNotWritable, "");
        float xm = 0, ym = 0, xrms = 0, yrms = 0;
        state_.Spot(&xm, &ym, &xrms, &yrms);
        std::array<uint8_t, kSpotRecordBytes> record{};
        StoreLE32(record.data(), static_cast<uint32_t>(static_cast<int32_t>(xm * 1000)));
        StoreLEFloat(record.data() + 4, ym);
        StoreLEFloat(record.data() + 8, xrms);
        StoreLEFloat(record.data() + 12, yrms);
        if (!Reads(access) || control_.PutReplyArray(record, kSpotRecordBytes) != 0)
            return end(kNoSpotData, "Could not send spot data.");
        end(kOk, "");
    } else if (property == "S_START") {
        Request(access, WM_GRAB_START, !state_.IsGrabbing());
    } else if (property == "S_STOP") {
        Request(access, WM_GRAB_STOP, state_.IsGrabbing());
    } else if (property == "S_UPDATE") {
        Request(access, WM_APPLY_CAMERA_SETTINGS, state_.SubsystemsUp());
    } else if (property == "S_isStarted" || property == "S_isStopped" ||
               property == "S_isUpdated") {
        const bool value = property == "S_isStarted"   ? state_.IsGrabbing()
                           : property == "S_isStopped" ? !state_.IsGrabbing()
                                                       : state_.SettingsApplied();
        readOnly(kNotWritable, "", "Unknown internal error!", [&] { return putInt(value); });
    } else if (property == "C_ActiveSince" || property == "S_StartTime") {
        const std::string text =
            property == "C_ActiveSince"
                ? "Camera " + current.name + " active since " +
                      FormatControlTime(state_.CameraActiveSince())
                : "Server alive since " + FormatControlTime(state_.ServerStartTime());
        readOnly(kInternalError, "Error!", "Error!", [&] { return SendTextReply(text); });
    } else {
        end(kIllegalProperty, "Illegal property.");
    }
}

void CPropertyHandler::OnPropertyCall(const std::string& device, const std::string& property,
                                      int16_t access) {
    if (device == kControlDeviceName)
        Dispatch(property, access);
    // Every call, also one for another device, refreshes the pending fields.
    state_.ShowPendingSettings();
}
