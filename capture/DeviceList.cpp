#include "capture/DeviceList.h"

#include "capture/AravisBackend.h"
#include "capture/Grabber.h"
#include "capture/ReplayCamera.h"
#include "capture/SyntheticCamera.h"
#include "capture/V4l2Backend.h"
#include "capture/VideoMode.h"

std::vector<ICaptureBackend*> DefaultBackends() {
    static CSyntheticBackend synthetic;
    static CV4l2Backend v4l2;
    static CAravisBackend genicam;
    static CReplayBackend replay;
    return {&synthetic, &v4l2, &genicam, &replay};
}

void EnumerateAllDevices(const std::vector<ICaptureBackend*>& backends,
                         std::vector<EnumeratedDevice>* devices) {
    devices->clear();
    for (ICaptureBackend* backend : backends) {
        std::vector<DeviceInfo> found;
        backend->EnumerateDevices(&found);
        for (DeviceInfo& info : found) {
            // A device without a name or identity cannot be told apart: left out.
            if (info.identity.empty() || info.friendlyName.empty())
                continue;
            devices->push_back(EnumeratedDevice{std::move(info), backend});
        }
    }
}

void AddUnlistedDevice(const std::vector<ICaptureBackend*>& backends, const std::string& devicePath,
                       std::vector<EnumeratedDevice>* devices) {
    for (const EnumeratedDevice& d : *devices) {
        if (d.backend->Matches(d.info.identity, devicePath))
            return;
    }
    for (ICaptureBackend* backend : backends) {
        DeviceInfo info;
        if (backend->DescribeUnlisted(devicePath, &info)) {
            devices->push_back(EnumeratedDevice{std::move(info), backend});
            return;
        }
    }
}

bool RefreshDeviceList(const std::string& configuredPath, DeviceList* list,
                       const std::vector<ICaptureBackend*>& backends) {
    list->entries.clear();
    list->selected = -1;
    std::vector<EnumeratedDevice> devices;
    EnumerateAllDevices(backends, &devices);
    AddUnlistedDevice(backends, configuredPath, &devices);
    if (devices.empty())
        return false;
    for (const EnumeratedDevice& d : devices) {
        bool configured = d.backend->Matches(d.info.identity, configuredPath);
        if (configured && list->selected < 0)
            list->selected = static_cast<int>(list->entries.size());
        list->entries.push_back(
            DeviceListEntry{d.info.friendlyName, configured ? configuredPath : d.info.identity});
    }
    if (list->selected < 0)
        list->selected = 0;
    return true;
}

CResult<> ShowVideoModeInfo(ILogSink* log, const std::string& devicePath, int modeIndex,
                            int* chosenIndex, std::string* infoText,
                            const std::vector<ICaptureBackend*>& backends) {
    CCaptureQueue queue;
    CGrabber grabber(log, nullptr, backends);
    if (auto built = grabber.Init(devicePath, modeIndex, -1.0, &queue); !built)
        return built;
    const int index = grabber.CurrentMode().Value();
    if (chosenIndex != nullptr)
        *chosenIndex = index;
    if (infoText != nullptr)
        *infoText = FormatModeInfo(index, grabber.ModeInfo(index).Value());
    grabber.Deinit();
    return Success();
}
