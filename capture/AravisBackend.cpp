#include "capture/AravisBackend.h"

#include <arv.h>

#include <cmath>
#include <cstdlib>
#include <set>

#include "base/LogSink.h"
#include "capture/AravisDevice.h"

namespace {

constexpr const char* kPrefix = "aravis:";

GenicamInterfaces& Interfaces() {
    static GenicamInterfaces interfaces;
    return interfaces;
}

void ApplyInterfaces(const GenicamInterfaces& i) {
    auto set = [](const char* id, bool on) {
        on ? arv_enable_interface(id) : arv_disable_interface(id);
    };
    set("GigEVision", i.gigEVision);
    set("USB3Vision", i.usb3Vision);
    set("Fake", i.fake);
}

}  // namespace

void SetGenicamInterfaces(const GenicamInterfaces& interfaces) {
    Interfaces() = interfaces;
    ApplyInterfaces(interfaces);
}

CResult<GenicamPathParameters> ParseGenicamPath(const std::string& devicePath) {
    const std::string prefix = kPrefix;
    GenicamPathParameters out;
    if (devicePath.compare(0, prefix.size(), prefix) != 0)
        return CError{kGrabberOpenFailed, "not a GenICam device path"};
    const size_t query = devicePath.find('?', prefix.size());
    out.deviceId = devicePath.substr(
        prefix.size(), query == std::string::npos ? std::string::npos : query - prefix.size());
    if (out.deviceId.empty())
        return CError{kGrabberOpenFailed, "no device id after \"aravis:\""};
    if (query == std::string::npos)
        return out;
    std::set<std::string> keys;
    std::string rest = devicePath.substr(query + 1);
    while (true) {
        const size_t amp = rest.find('&');
        const std::string item = rest.substr(0, amp);
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string text = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* end = nullptr;
        const double v = text.empty() || text.find_first_not_of("0123456789.") != std::string::npos
                             ? -1
                             : std::strtod(text.c_str(), &end);
        const bool whole = v >= 0 && v == std::floor(v);
        const bool ok =
            !keys.count(key) && v >= 0 && end != nullptr && *end == '\0' &&
            ((key == "rate" && v > 0 && v <= kMaxGenicamRate) ||
             ((key == "width" || key == "height") && whole && v >= 1 && v <= kMaxFrameSide) ||
             ((key == "x" || key == "y") && whole && v <= kMaxFrameSide));
        if (!ok)
            return CError{kGrabberOpenFailed, "bad parameter \"" + item + "\" in " + devicePath};
        keys.insert(key);
        if (key == "rate")
            out.rate = v;
        else if (key == "width")
            out.width = static_cast<int>(v);
        else if (key == "height")
            out.height = static_cast<int>(v);
        else if (key == "x")
            out.x = static_cast<int>(v);
        else
            out.y = static_cast<int>(v);
        if (amp == std::string::npos)
            return out;
        rest = rest.substr(amp + 1);
    }
}

CAravisBackend::CAravisBackend(Opener opener) : opener_(std::move(opener)) {
    if (!opener_) {
        opener_ = [](const std::string& id, GError** error) {
            return arv_camera_new(id.c_str(), error);
        };
    }
    // The library searches GigE Vision by default; this system does not unless told to.
    ApplyInterfaces(Interfaces());
}

void CAravisBackend::EnumerateDevices(std::vector<DeviceInfo>* devices) {
    arv_update_device_list();
    const unsigned count = arv_get_n_devices();
    for (unsigned i = 0; i < count; ++i) {
        const char* id = arv_get_device_id(i);
        if (id == nullptr || *id == '\0')
            continue;
        auto text = [](const char* s) { return std::string(s != nullptr ? s : ""); };
        std::string name = text(arv_get_device_vendor(i));
        const std::string model = text(arv_get_device_model(i));
        const std::string serial = text(arv_get_device_serial_nbr(i));
        name += (name.empty() || model.empty() ? "" : " ") + model;
        if (!serial.empty())
            name += " (" + serial + ")";  // two cameras of one model are told apart
        devices->push_back(DeviceInfo{kPrefix + std::string(id), name.empty() ? id : name});
    }
}

bool CAravisBackend::Matches(const std::string& identity, const std::string& devicePath) const {
    return devicePath.substr(0, devicePath.find('?')) == identity;
}

CResult<std::unique_ptr<ICaptureDevice>> CAravisBackend::Open(const std::string& devicePath) {
    auto parsed = ParseGenicamPath(devicePath);
    if (!parsed)
        return CError{kGrabberOpenFailed, "GenICam: " + parsed.Message()};
    const GenicamPathParameters& p = parsed.Value();
    GError* e = nullptr;
    ArvCamera* camera = opener_(p.deviceId, &e);
    if (camera == nullptr)
        return CError{kGrabberOpenFailed,
                      FormatLogText("GenICam: %s could not be opened: %s", p.deviceId.c_str(),
                                    TakeError(e, "not found").c_str())};
    g_clear_error(&e);
    auto device = std::make_unique<CAravisDevice>(camera, p.deviceId);
    if (auto prepared = device->Prepare(p); !prepared)
        return prepared.Error();
    return std::unique_ptr<ICaptureDevice>(std::move(device));
}
